// One start of a window for the window benchmarks (run by window_bench,
// offscreen or on an X server):
//   window_probe form1     the panel's window, as the relaypanel program makes it
//   window_probe bare      a bare window of the same size with twelve plain controls
// Each prints the CLOCK_MONOTONIC time in nanoseconds at which its first
// frame was painted, then ends.
//   window_probe echo N    Form1: after its first frame, N clicks on the relay
//                          boxes (N echo lines), then a repaint; prints the
//                          resident set size in bytes and the time the clicks took.
#include "window/qt/form1.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEvent>
#include <QPushButton>
#include <QWidget>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace {

long long MonotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

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

// The bare window: Form1's size and captions, plain controls, nothing wired.
std::unique_ptr<QWidget> BareWindow()
{
    auto window = std::make_unique<QWidget>();
    window->setFixedSize(Form1::kClientWidth, Form1::kClientHeight);
    const std::array<const char*, 4> buttons = {"Initialisierung USB Schnittstelle", "Ausgabe",
                                                "Alle Relais abgefallen", "Schliessen USB Schnittstelle"};
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        auto* button = new QPushButton(buttons.at(i), window.get());
        button->setGeometry(16, 16 + 56 * static_cast<int>(i), 180, 48);
    }
    const std::array<const char*, 8> boxes = {"Relais 1", "Relais2", "Relais 3", "Relais4",
                                              "Relais5",  "Relais6", "Relais7",  "Relais8"};
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        auto* box = new QCheckBox(boxes.at(i), window.get());
        box->setGeometry(560, 16 + 36 * static_cast<int>(i), 140, 28);
    }
    return window;
}

int Usage()
{
    std::fputs("usage: window_probe form1 | bare | echo N\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    const std::string mode = argc >= 2 ? argv[1] : "";
    if (mode != "form1" && mode != "bare" && !(mode == "echo" && argc == 3)) {
        return Usage();
    }
    QApplication application(argc, argv);

    if (mode == "echo") {
        const long clicks = std::strtol(argv[2], nullptr, 10);
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

    const auto report = [] {
        std::printf("%lld\n", MonotonicNanoseconds());
        QApplication::exit(0);
    };
    if (mode == "form1") {
        Form1 form;
        const AfterFirstFrame painted(form, report);
        form.show();
        return QApplication::exec();
    }
    const auto bare = BareWindow();
    const AfterFirstFrame painted(*bare, report);
    bare->show();
    return QApplication::exec();
}
