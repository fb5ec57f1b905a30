// The window benchmarks. Start-up: how long after its start a program's
// window is mapped on the X server that DISPLAY names, for the relaypanel
// program against a bare Qt window with the same twelve controls
// (window_probe). The benchmark selects SubstructureNotify on the root window
// before it starts the program and takes the time when the MapNotify of the
// window with the panel's caption arrives; nothing polls. At that moment it
// also reads the CPU time the program's threads have used, and its peak
// resident set once it has ended it. The two programs alternate, so a
// disturbance of the machine falls on both alike. Echo lines: the resident
// set of Form1 after 100,000 echo lines against none (echo_probe, offscreen).
//   window_bench PANEL BARE ECHO_PROBE [RUNS]
// Prints its rows of the benchmark table on stdout (see tools/bench).
#include "bench_table.h"
#include "window/form1_layout.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

long long MonotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "window_bench: %s\n", what.c_str());
    std::exit(EXIT_FAILURE);
}

// Starts the program on the given Qt platform with its stdout on the given
// descriptor (or left as it is, for -1).
pid_t Launch(const std::string& program, const std::vector<std::string>& arguments, const char* platform, int output)
{
    // execv takes char* for historical reasons; it writes to none of them.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setenv("QT_QPA_PLATFORM", platform, 1);
        if (output >= 0) {
            dup2(output, STDOUT_FILENO);
            close(output);
        }
        execv(program.c_str(), argv.data());
        std::perror("window_bench: exec");
        _exit(127);
    }
    if (child < 0) {
        Fail("fork: " + std::string(std::strerror(errno)));
    }
    return child;
}

// Nanoseconds on a CPU so far, summed over the process's threads.
long long CpuNanoseconds(pid_t process)
{
    long long total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(process) + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        long long onCpu = 0;
        if (schedstat >> onCpu) {
            total += onCpu;
        }
    }
    if (error) {
        Fail("cannot read the threads of process " + std::to_string(process) + ": " + error.message());
    }
    return total;
}

struct Connection {
    xcb_connection_t* x = nullptr;
    xcb_window_t root = 0;

    Connection()
    {
        int screenNumber = 0;
        x = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(x) != 0) {
            Fail("cannot connect to the X server of DISPLAY");
        }
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x));
        for (int i = 0; i < screenNumber; ++i) {
            xcb_screen_next(&screens);
        }
        root = screens.data->root;
        // Every window mapped on the root from now on is reported to us.
        const std::array<std::uint32_t, 1> mask{XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
        xcb_generic_error_t* error =
            xcb_request_check(x, xcb_change_window_attributes_checked(x, root, XCB_CW_EVENT_MASK, mask.data()));
        if (error != nullptr) {
            std::free(error);
            Fail("cannot select SubstructureNotify on the root window");
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Connection(Connection&&) = delete;
    Connection& operator=(Connection&&) = delete;
    ~Connection() { xcb_disconnect(x); }

    [[nodiscard]] std::string WindowName(xcb_window_t window) const
    {
        const xcb_get_property_cookie_t cookie =
            xcb_get_property(x, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024);
        const std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(x, cookie, nullptr), &std::free);
        if (!reply) {
            return {};
        }
        return {static_cast<const char*>(xcb_get_property_value(reply.get())),
                static_cast<std::size_t>(xcb_get_property_value_length(reply.get()))};
    }
};

struct Start {
    double mappedMilliseconds = 0;  // from just before the fork to the MapNotify
    double cpuMilliseconds = 0;     // the program's CPU time when the MapNotify came
    double peakBytes = 0;           // its peak resident set
};

// Starts the program and waits for the MapNotify of a top-level window that
// carries the panel's caption; then ends the program.
Start MeasureStart(Connection& connection, const std::string& program)
{
    Start start;
    const long long started = MonotonicNanoseconds();
    const pid_t child = Launch(program, {}, "xcb", -1);
    // Wakes the wait when the program ends before its window is mapped.
    // (glibc 2.36's pidfd_open lacks C linkage in C++: the system call itself.)
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (ended < 0) {
        Fail("pidfd_open: " + std::string(std::strerror(errno)));
    }
    std::array<pollfd, 2> waits{{{xcb_get_file_descriptor(connection.x), POLLIN, 0}, {ended, POLLIN, 0}}};
    for (bool mapped = false; !mapped;) {
        xcb_generic_event_t* event = xcb_poll_for_event(connection.x);
        if (event == nullptr) {
            if (xcb_connection_has_error(connection.x) != 0) {
                Fail("lost the connection to the X server");
            }
            if (poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR) {
                Fail("poll: " + std::string(std::strerror(errno)));
            }
            if (waits[1].revents != 0) {
                Fail(program + " ended before its window was mapped");
            }
            continue;
        }
        const std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> owned(event, &std::free);
        if ((event->response_type & 0x7F) != XCB_MAP_NOTIFY) {
            continue;
        }
        const long long now = MonotonicNanoseconds();
        const long long cpu = CpuNanoseconds(child);
        const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event);
        if (map->event == connection.root && connection.WindowName(map->window) == form1_layout::kCaption) {
            mapped = true;
            start.mappedMilliseconds = static_cast<double>(now - started) / 1e6;
            start.cpuMilliseconds = static_cast<double>(cpu) / 1e6;
        }
    }
    close(ended);
    kill(child, SIGKILL);
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        Fail("lost " + program);
    }
    start.peakBytes = static_cast<double>(usage.ru_maxrss) * 1024.0;  // Linux counts KiB
    return start;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Starts {
    std::vector<double> mapped;
    std::vector<double> cpu;
    std::vector<double> peak;

    void Add(const Start& start)
    {
        mapped.push_back(start.mappedMilliseconds);
        cpu.push_back(start.cpuMilliseconds);
        peak.push_back(start.peakBytes);
    }
};

void StartUpRows(const std::string& panel, const std::string& bare, int runs)
{
    Connection connection;
    // One start of each first, unmeasured, so that both find the libraries
    // in the page cache.
    MeasureStart(connection, bare);
    MeasureStart(connection, panel);
    Starts bareStarts;
    Starts panelStarts;
    for (int run = 0; run < runs; ++run) {
        if (run % 2 == 0) {
            bareStarts.Add(MeasureStart(connection, bare));
            panelStarts.Add(MeasureStart(connection, panel));
        } else {
            panelStarts.Add(MeasureStart(connection, panel));
            bareStarts.Add(MeasureStart(connection, bare));
        }
    }

    const std::string of = ", Xvfb (median of " + std::to_string(runs) + ")";
    // Three rows per measure: the bare window, the panel, and their ratio
    // against its goal, where the measure has one.
    const auto rows = [&of](const std::string& measure, double bareValue, double panelValue,
                            std::string (*format)(double), std::optional<double> goal) {
        bench::Row(measure + ", bare window" + of, format(bareValue), "", std::nullopt);
        bench::Row(measure + ", relaypanel" + of, format(panelValue), "", std::nullopt);
        const double ratio = panelValue / bareValue;
        bench::Row(measure + ", relaypanel / bare window", bench::Ratio(ratio),
                   goal ? "<= " + bench::Fixed(*goal, 2) + "x" : "",
                   goal ? std::optional(ratio <= *goal) : std::nullopt);
    };
    rows("Start to window mapped", Median(bareStarts.mapped), Median(panelStarts.mapped), bench::Milli, 1.10);
    rows("CPU time until mapped", Median(bareStarts.cpu), Median(panelStarts.cpu), bench::Milli, std::nullopt);
    rows("Peak RSS when mapped", Median(bareStarts.peak), Median(panelStarts.peak), bench::Mebi, 1.10);
}

// The resident set after the echo lines against none, alternated likewise.
void EchoRows(const std::string& probe)
{
    constexpr long kLines = 100000;
    std::vector<double> none;
    std::vector<double> echoed;
    std::vector<double> perLine;
    for (int run = 0; run < 5; ++run) {
        for (const long lines : run % 2 == 0 ? std::array<long, 2>{0, kLines} : std::array<long, 2>{kLines, 0}) {
            std::array<int, 2> pipeEnds{};
            if (pipe(pipeEnds.data()) != 0) {
                Fail("pipe: " + std::string(std::strerror(errno)));
            }
            const pid_t child = Launch(probe, {std::to_string(lines)}, "offscreen", pipeEnds[1]);
            close(pipeEnds[1]);
            std::string output;
            std::array<char, 256> buffer{};
            for (ssize_t got = 0; (got = read(pipeEnds[0], buffer.data(), buffer.size())) > 0;) {
                output.append(buffer.data(), static_cast<std::size_t>(got));
            }
            close(pipeEnds[0]);
            int status = 0;
            if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                Fail(probe + " failed");
            }
            double resident = 0;
            double nanoseconds = 0;
            if (std::sscanf(output.c_str(), "%lf %lf", &resident, &nanoseconds) != 2) {
                Fail("unreadable echo report: " + output);
            }
            (lines == 0 ? none : echoed).push_back(resident);
            if (lines != 0) {
                perLine.push_back(nanoseconds / 1000.0 / static_cast<double>(lines));
            }
        }
    }
    const double growth = Median(echoed) - Median(none);
    bench::Row("RSS growth after 100,000 echo lines against none (median of 5)", bench::Mebi(growth), "< 1 MiB",
               growth < 1024.0 * 1024.0);
    bench::Row("One echo line (a box click) on Form1", bench::Micro(Median(perLine)), "", std::nullopt);
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 4) {
        std::fputs("usage: window_bench PANEL BARE ECHO_PROBE [RUNS]\n", stderr);
        return 2;
    }
    // A start takes some 50 to 100 ms and varies by milliseconds with the
    // machine's load: the more pairs, the steadier the medians.
    const int runs = argc >= 5 ? std::max(10, std::atoi(argv[4])) : 41;
    StartUpRows(argv[1], argv[2], runs);
    EchoRows(argv[3]);
    return EXIT_SUCCESS;
}
