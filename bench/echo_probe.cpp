// The echo-line probe of the window benchmarks (run by window_bench,
// offscreen): Form1, after its first frame, takes N clicks on its relay
// boxes (N echo lines), then a repaint; prints the resident set size in
// bytes and the time the clicks took, then ends.
//   echo_probe N
#include "window/qt/form1.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEvent>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

namespace {

long long ResidentBytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoll(line.substr(6)) * 1024;
        }
    }
    return -1;
}

// Runs the action once the window's first frame has been painted, after the
// paint event has been handled.
class AfterFirstFrame : public QObject {
public:
    AfterFirstFrame(QWidget& window, std::function<void()> action) : m_action(std::move(action))
    {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_painted) {
            m_painted = true;
            QMetaObject::invokeMethod(this, m_action, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_action;
    bool m_painted = false;
};

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fputs("usage: echo_probe N\n", stderr);
        return 2;
    }
    QApplication application(argc, argv);
    const long clicks = std::strtol(argv[1], nullptr, 10);
    Form1 form;
    const AfterFirstFrame echo(form, [&form, clicks] {
        const auto boxes = form.findChildren<QCheckBox*>();
        QElapsedTimer timer;
        timer.start();
        for (long i = 0; i < clicks; ++i) {
            boxes.at(static_cast<qsizetype>(i % boxes.size()))->click();
        }
        const long long elapsed = timer.nsecsElapsed();
        form.repaint();
        std::printf("%lld %lld\n", ResidentBytes(), elapsed);
        QApplication::exit(0);
    });
    form.show();
    return QApplication::exec();
}
