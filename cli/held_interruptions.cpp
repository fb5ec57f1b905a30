#include "held_interruptions.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
// Windows calls the console handler on a thread of its own. The handler only
// raises the event, then keeps that thread (and, for a closing console, the
// process) waiting until the main thread has put the relay back and exits.
HANDLE g_interrupted = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD /*event*/)
{
    SetEvent(g_interrupted);
    Sleep(INFINITE);
    return TRUE;
}
#else
// Ctrl+C, a kill and the terminal closing.
sigset_t Held()
{
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    return held;
}

sigset_t g_before;
#endif

}  // namespace

#if defined(_WIN32)
HeldInterruptions::HeldInterruptions()
{
    g_interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

HeldInterruptions::~HeldInterruptions()
{
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

bool HeldInterruptions::WaitFor(std::chrono::microseconds duration)
{
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
    if (WaitForSingleObject(g_interrupted, static_cast<DWORD>(milliseconds)) == WAIT_OBJECT_0) {
        m_caught = 1;
    }
    return m_caught != 0;
}

void HeldInterruptions::EndIfInterrupted()
{
    if (m_caught != 0 || WaitForSingleObject(g_interrupted, 0) == WAIT_OBJECT_0) {
        ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
}
#else
HeldInterruptions::HeldInterruptions()
{
    const sigset_t held = Held();
    pthread_sigmask(SIG_BLOCK, &held, &g_before);
}

HeldInterruptions::~HeldInterruptions()
{
    pthread_sigmask(SIG_SETMASK, &g_before, nullptr);
}

bool HeldInterruptions::WaitFor(std::chrono::microseconds duration)
{
    const sigset_t held = Held();
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = std::max(std::chrono::nanoseconds(0), deadline - std::chrono::steady_clock::now());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{static_cast<std::time_t>(seconds.count()), static_cast<long>((left - seconds).count())};
        const int signal = sigtimedwait(&held, nullptr, &timeout);
        if (signal > 0) {
            m_caught = signal;
            return true;
        }
        // EINTR: another signal's handler ran; wait on for the rest.
        if (errno != EINTR) {
            return false;
        }
    }
}

void HeldInterruptions::EndIfInterrupted()
{
    if (m_caught == 0) {
        const sigset_t held = Held();
        const timespec now{0, 0};
        const int signal = sigtimedwait(&held, nullptr, &now);
        if (signal <= 0) {
            return;
        }
        m_caught = signal;
    }
    // The signal's own ending, so that a shell or a service manager sees how it ended.
    std::signal(m_caught, SIG_DFL);
    pthread_sigmask(SIG_SETMASK, &g_before, nullptr);
    std::raise(m_caught);
    _exit(128 + m_caught);
}
#endif
