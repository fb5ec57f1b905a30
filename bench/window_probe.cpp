// The bare window that window_bench starts beside the relaypanel program: a
// window with Form1's caption and size and the same twelve controls at the
// same places, plain Qt push buttons and check boxes with the same captions,
// nothing wired. It links Qt Widgets and nothing of the panel, so that it
// shows what any Qt program with such a window costs to start.
#include "window/form1_layout.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QWidget>

namespace {

namespace layout = form1_layout;

constexpr int Pixels(int twips)
{
    return layout::ToPixels(twips, 96);
}

template <typename Control>
void Place(const layout::Control& place, QWidget& window)
{
    auto* control = new Control(QString::fromLatin1(place.caption), &window);
    control->setGeometry(Pixels(place.left), Pixels(place.top), Pixels(place.width), Pixels(place.height));
}

}  // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QString::fromLatin1(layout::kCaption));
    window.setFixedSize(Pixels(layout::kClientWidth), Pixels(layout::kClientHeight));
    for (const layout::Control& place : {layout::kCommand1, layout::kAusgabe, layout::kCommand2, layout::kCommand3}) {
        Place<QPushButton>(place, window);
    }
    for (const layout::Control& place : layout::kRelayBoxes) {
        Place<QCheckBox>(place, window);
    }
    window.show();
    return QApplication::exec();
}
