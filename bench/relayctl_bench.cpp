// One whole run of `relayctl on 3` on the virtual relay board, from the start
// of the process to its end, against a C program that makes the same driver
// calls and nothing else (direct_on.c): what relayctl's parsing, choosing of
// the board, binding and reporting add to a run a script or a home-automation
// rule makes. Each sample is a fresh process; the two alternate, after one
// unmeasured run of each.
//
//   relayctl_bench RELAYCTL DIRECT_ON
// with the virtual board's folder on LD_LIBRARY_PATH. Prints its rows of the
// benchmark table on stdout (see tools/bench).
#include "bench_process.h"
#include "bench_table.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kSamples = 41;

double Median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: relayctl_bench RELAYCTL DIRECT_ON\n");
        return EXIT_FAILURE;
    }
    // A board of its own, so that a board someone holds does not make the runs wait.
    const std::string folder = bench::ScratchFolder("relayctl-bench");
    if (folder.empty() || setenv("VBOARD_DIR", folder.c_str(), 1) != 0 || unsetenv("VBOARD_SERIALS") != 0) {
        std::perror("relayctl_bench: scratch folder");
        return EXIT_FAILURE;
    }
    const std::vector<std::string> relayctl = {argv[1], "on", "3"};
    const std::vector<std::string> direct = {argv[2]};
    std::vector<double> relayctlTimes;
    std::vector<double> directTimes;
    bool failed = bench::TimedRun(relayctl) < 0 || bench::TimedRun(direct) < 0;
    for (int sample = 0; sample < kSamples && !failed; ++sample) {
        relayctlTimes.push_back(bench::TimedRun(relayctl));
        directTimes.push_back(bench::TimedRun(direct));
        failed = relayctlTimes.back() < 0 || directTimes.back() < 0;
    }
    std::filesystem::remove_all(folder);
    if (failed) {
        std::fprintf(stderr, "relayctl_bench: a run failed; run it by hand to see why\n");
        return EXIT_FAILURE;
    }
    const double ours = Median(relayctlTimes);
    const double theirs = Median(directTimes);
    const std::string samples = " (median of " + std::to_string(kSamples) + ")";
    bench::Row("relayctl on 3, one run on the virtual board" + samples, bench::Milli(ours), "", std::nullopt);
    bench::Row("The same driver calls from a C program" + samples, bench::Milli(theirs), "", std::nullopt);
    bench::Row("relayctl on 3 / C program", bench::Ratio(ours / theirs), "<= 1.5x", ours / theirs <= 1.5);
    return EXIT_SUCCESS;
}
