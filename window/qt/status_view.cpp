#include "status_view.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPaintEvent>
#include <QPainter>

namespace {

QString FromText(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Static text, as a label is: a screen reader reads its name where it stands
// in the window, and never moves the focus to it.
class StatusAccessible : public QAccessibleWidget {
public:
    explicit StatusAccessible(StatusView* view) : QAccessibleWidget(view, QAccessible::StaticText), m_view(view) {}

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Name) {
            return FromText(m_view->lines().Text());
        }
        return QAccessibleWidget::text(kind);
    }

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        return state;
    }

private:
    StatusView* m_view;
};

QAccessibleInterface* MakeAccessible(const QString& /*className*/, QObject* object)
{
    auto* view = qobject_cast<StatusView*>(object);
    return view != nullptr ? new StatusAccessible(view) : nullptr;
}

}  // namespace

StatusView::StatusView(QWidget* parent) : QWidget(parent)
{
    // Qt asks its factories for each object's accessible interface; once is enough.
    [[maybe_unused]] static const bool factoryInstalled = (QAccessible::installFactory(&MakeAccessible), true);

    setGeometry(parent->rect());
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

// A line below the bottom edge is not drawn, but a screen reader still gets it.
void StatusView::Print(std::string_view text)
{
    // The line height comes from the font when the first line does: measuring
    // text loads the font database, which a window that has printed nothing
    // yet should not wait for before it appears.
    if (!m_measured) {
        m_lines = StatusLines(height(), fontMetrics().lineSpacing());
        m_measured = true;
    }
    if (m_lines.Add(text)) {
        update(0, m_lines.TopOf(m_lines.lines().size() - 1), width(), m_lines.lineHeight());
    }
    QAccessibleEvent changed(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

void StatusView::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const int ascent = fontMetrics().ascent();
    const QRect dirty = event->rect();
    const StatusLines::Range range = m_lines.LinesIn(dirty.top(), dirty.top() + dirty.height());
    for (std::size_t i = range.first; i < range.end; ++i) {
        painter.drawText(0, m_lines.TopOf(i) + ascent, FromText(m_lines.lines().at(i)));
    }
}
