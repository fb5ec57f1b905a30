// The window benchmarks: start-up to the first painted frame and peak
// resident set of Form1 against a bare window with twelve plain controls,
// and the resident set after 100,000 echo lines against none. Each sample is
// one fresh process of window_probe on the given Qt platform (offscreen, or
// xcb on the X server that DISPLAY names); the kinds alternate, so a
// disturbance of the machine falls on both alike. The echo lines are
// measured offscreen only: they cost the same on every platform.
//   window_bench PROBE PLATFORM [RUNS]
// Prints its rows of the benchmark table on stdout (see tools/bench).
#include "bench_table.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

long long MonotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

struct Sample {
    long long started = 0;  // monotonic time just before the process was made
    std::string output;     // what the probe printed
    double peakBytes = 0;   // the probe's peak resident set
};

// Runs the probe with the arguments and waits for it; stops the benchmark
// when it fails.
Sample Probe(const std::string& probe, const std::vector<std::string>& arguments)
{
    // execv takes char* for historical reasons; it writes to none of them.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(probe.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    std::array<int, 2> pipeEnds{};
    if (pipe(pipeEnds.data()) != 0) {
        std::perror("window_bench: pipe");
        std::exit(EXIT_FAILURE);
    }
    Sample sample;
    sample.started = MonotonicNanoseconds();
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        execv(probe.c_str(), argv.data());
        std::perror("window_bench: exec");
        _exit(127);
    }
    close(pipeEnds[1]);
    std::array<char, 256> buffer{};
    for (ssize_t got = 0; (got = read(pipeEnds[0], buffer.data(), buffer.size())) > 0;) {
        sample.output.append(buffer.data(), static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "window_bench: %s %s failed\n", probe.c_str(), arguments.front().c_str());
        std::exit(EXIT_FAILURE);
    }
    sample.peakBytes = static_cast<double>(usage.ru_maxrss) * 1024.0;  // Linux counts KiB
    return sample;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Starts {
    std::vector<double> milliseconds;
    std::vector<double> peakBytes;
};

void StartOnce(const std::string& probe, const std::string& kind, Starts& starts)
{
    const Sample sample = Probe(probe, {kind});
    const double painted = std::strtod(sample.output.c_str(), nullptr);
    starts.milliseconds.push_back((painted - static_cast<double>(sample.started)) / 1e6);
    starts.peakBytes.push_back(sample.peakBytes);
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fputs("usage: window_bench PROBE PLATFORM [RUNS]\n", stderr);
        return 2;
    }
    const std::string probe = argv[1];
    const std::string platform = argv[2];
    // A start takes some 10 to 50 ms and varies by milliseconds with the
    // machine's load: the more pairs, the steadier the medians.
    const int runs = argc >= 4 ? std::max(10, std::atoi(argv[3])) : 41;
    setenv("QT_QPA_PLATFORM", platform.c_str(), 1);

    // One start of each first, unmeasured, so that both find the libraries
    // in the page cache.
    Starts warmUp;
    StartOnce(probe, "bare", warmUp);
    StartOnce(probe, "form1", warmUp);

    Starts bare;
    Starts form1;
    for (int run = 0; run < runs; ++run) {
        if (run % 2 == 0) {
            StartOnce(probe, "bare", bare);
            StartOnce(probe, "form1", form1);
        } else {
            StartOnce(probe, "form1", form1);
            StartOnce(probe, "bare", bare);
        }
    }
    const double bareStart = Median(bare.milliseconds);
    const double formStart = Median(form1.milliseconds);
    const double barePeak = Median(bare.peakBytes);
    const double formPeak = Median(form1.peakBytes);
    const std::string on = ", " + platform;
    const std::string of = on + " (median of " + std::to_string(runs) + ")";
    bench::Row("Start-up to first frame, bare window" + of, bench::Milli(bareStart), "", std::nullopt);
    bench::Row("Start-up to first frame, Form1" + of, bench::Milli(formStart), "", std::nullopt);
    bench::Row("Start-up, Form1 / bare window" + on, bench::Ratio(formStart / bareStart), "<= 1.10x",
               formStart / bareStart <= 1.10);
    bench::Row("Peak RSS, bare window" + of, bench::Mebi(barePeak), "", std::nullopt);
    bench::Row("Peak RSS, Form1" + of, bench::Mebi(formPeak), "", std::nullopt);
    bench::Row("Peak RSS, Form1 / bare window" + on, bench::Ratio(formPeak / barePeak), "<= 1.10x",
               formPeak / barePeak <= 1.10);
    if (platform != "offscreen") {
        return EXIT_SUCCESS;
    }

    // Resident set after the echo lines against none, alternated likewise.
    constexpr long kLines = 100000;
    std::vector<double> none;
    std::vector<double> echoed;
    std::vector<double> perLine;
    for (int run = 0; run < 5; ++run) {
        for (const long lines : run % 2 == 0 ? std::array<long, 2>{0, kLines} : std::array<long, 2>{kLines, 0}) {
            const Sample sample = Probe(probe, {"echo", std::to_string(lines)});
            double resident = 0;
            double nanoseconds = 0;
            if (std::sscanf(sample.output.c_str(), "%lf %lf", &resident, &nanoseconds) != 2) {
                std::fprintf(stderr, "window_bench: unreadable echo report: %s\n", sample.output.c_str());
                return EXIT_FAILURE;
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
    return EXIT_SUCCESS;
}
