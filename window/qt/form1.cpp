#include "form1.h"

#include "status_view.h"
#include "wrapping_button.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFont>
#include <QMessageBox>
#include <QProxyStyle>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

namespace layout = form1_layout;

const QString kCaption = QString::fromLatin1(layout::kCaption);
const QString kApplicationTitle = QString::fromLatin1(layout::kApplicationTitle);

// A compact size of its own, so the layout does not follow desktop settings.
constexpr int kFontPointSize = 8;
// Between a relay box's indicator and its caption, in pixels.
constexpr int kBoxIndicatorSpacing = 3;
// A widened relay box stays this many pixels short of the next one.
constexpr int kBoxGap = 3;

// Qt scales the whole window itself, so the layout is drawn at 96 dots per inch.
constexpr int kDotsPerInch = 96;
constexpr int Pixels(int twips)
{
    return layout::ToPixels(twips, kDotsPerInch);
}

// The toolkit's own style, with the relay boxes' captions closer to their
// indicators so that they fit the classic widths.
class CompactBoxStyle : public QProxyStyle {
public:
    CompactBoxStyle() : QProxyStyle(QApplication::style()->name()) {}

    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_CheckBoxLabelSpacing) {
            return kBoxIndicatorSpacing;
        }
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

QRect Rectangle(const layout::Control& place)
{
    return {Pixels(place.left), Pixels(place.top), Pixels(place.width), Pixels(place.height)};
}

// Controls are opaque, so they cover the status lines behind them.
template <typename Control>
Control* MakeControl(const layout::Control& place, QWidget* parent)
{
    auto* control = new Control(QString::fromLatin1(place.caption), parent);
    control->setObjectName(QString::fromLatin1(place.name));
    control->setGeometry(Rectangle(place));
    control->setAutoFillBackground(true);
    return control;
}

QPushButton* MakeButton(const layout::Control& place, QWidget* parent)
{
    QPushButton* button = MakeControl<WrappingButton>(place, parent);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

// A relay box keeps its left and top; it is widened only where its caption
// would be cut, and then no further than just short of the next box.
void WidenForCaption(QCheckBox* box, std::size_t index)
{
    const layout::Control& place = layout::kRelayBoxes.at(index);
    const int widest = Pixels(layout::RoomRightOf(index)) - Pixels(place.left) - kBoxGap;
    const int needed = box->sizeHint().width();
    if (needed > box->width()) {
        box->resize(std::min(needed, widest), box->height());
    }
}

void ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, kApplicationTitle, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

QString FromText(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

Form1::Form1(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(kCaption);
    QFont compact = font();
    compact.setPointSize(kFontPointSize);
    setFont(compact);
    setFixedSize(kClientWidth, kClientHeight);
    // A fixed size has nothing to maximise to; minimising stays.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    // First, so that every control covers it.
    m_status = new StatusView(this);
    CreateControls();
    WireClicks();
}

void Form1::CreateControls()
{
    m_command1 = MakeButton(layout::kCommand1, this);
    m_ausgabe = MakeButton(layout::kAusgabe, this);
    m_command2 = MakeButton(layout::kCommand2, this);
    m_command3 = MakeButton(layout::kCommand3, this);
    for (std::size_t i = 0; i < m_boxes.size(); ++i) {
        m_boxes.at(i) = MakeControl<QCheckBox>(layout::kRelayBoxes.at(i), this);
    }
    // A child made after the boxes is deleted after them, so it outlives every box that uses it.
    auto* boxStyle = new CompactBoxStyle;
    boxStyle->setParent(this);
    for (QCheckBox* box : m_boxes) {
        box->setStyle(boxStyle);
    }

    for (std::size_t i = 1; i < layout::kTabOrder.size(); ++i) {
        setTabOrder(findChild<QWidget*>(QString::fromLatin1(layout::kTabOrder.at(i - 1).name)),
                    findChild<QWidget*>(QString::fromLatin1(layout::kTabOrder.at(i).name)));
    }
    findChild<QWidget*>(QString::fromLatin1(layout::kTabOrder.front().name))->setFocus();
}

// How wide a relay box must be depends on its caption in the font, and the
// first text measured loads the font database, which takes longer than all
// the rest of the start. A plain Qt window loads it for its first frame,
// after it is on the screen; Form1 does the same: the boxes are widened when
// the window is first exposed, before that frame is drawn.
void Form1::showEvent(QShowEvent* event)
{
    if (!m_boxesWidened && windowHandle() != nullptr) {
        windowHandle()->installEventFilter(this);
    }
    QWidget::showEvent(event);
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Expose && watched == windowHandle() && windowHandle()->isExposed()) {
        watched->removeEventFilter(this);
        WidenBoxesForCaptions();
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::WidenBoxesForCaptions()
{
    if (m_boxesWidened) {
        return;
    }
    m_boxesWidened = true;
    for (std::size_t i = 0; i < m_boxes.size(); ++i) {
        WidenForCaption(m_boxes.at(i), i);
    }
}

// A box runs its toggle on every change of its value, whether the operator
// clicked it or UntickBox set it, and never when the value stays.
void Form1::WireClicks()
{
    connect(m_command1, &QPushButton::clicked, this, [this] { m_panel.InitInterface(); });
    connect(m_ausgabe, &QPushButton::clicked, this, [this] { m_panel.SendState(); });
    connect(m_command2, &QPushButton::clicked, this, [this] { m_panel.ReleaseAll(); });
    connect(m_command3, &QPushButton::clicked, this, [this] { m_panel.CloseDevice(); });
    for (std::size_t i = 0; i < m_boxes.size(); ++i) {
        const int relay = static_cast<int>(i) + 1;
        connect(m_boxes.at(i), &QCheckBox::toggled, this, [this, relay] { m_panel.ToggleRelay(relay); });
    }
}

void Form1::StatusPrint(std::string_view text)
{
    m_status->Print(text);
}

const StatusLines& Form1::statusLines() const
{
    return m_status->lines();
}

void Form1::FailureBox(std::string_view text)
{
    ShowMessage(this, QMessageBox::NoIcon, FromText(text));
}

void Form1::DoFatalError(const DriverFault& fault)
{
    ShowMessage(this, QMessageBox::Critical, FromText(DescribeDriverFault(fault)));
    EndProgram();
}

// The process ends here and now: no further event, no destructor and no
// exit handler runs, so nothing closes the device; the window system takes
// the window away with the process. Only output already written is flushed.
void Form1::DoEndProgram()
{
    std::fflush(nullptr);
    std::_Exit(kEndedStatus);
}

int Form1::BoxValue(int relay)
{
    return m_boxes.at(static_cast<std::size_t>(relay - 1))->isChecked() ? 1 : 0;
}

// Setting the value raises the box's toggle at once when the value changes.
void Form1::UntickBox(int relay)
{
    m_boxes.at(static_cast<std::size_t>(relay - 1))->setChecked(false);
}
