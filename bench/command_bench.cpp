// Own cost per command on the virtual relay board: ToggleRelay, and
// SendState through the binding against FT_Write called directly, resolved
// once by hand. Were the binding to look a function up at every call,
// SendState would cost what the last row, a lookup per call, costs.
//
// Prints its rows of the benchmark table on stdout (see tools/bench), and
// Google Benchmark's own report on stderr.
#include "bench_table.h"
#include "control/relay_panel.h"
#include "driver/d2xx.h"
#include "virtual_board_control.h"
#include "window/panel_services.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

namespace {

// Panel services that keep nothing, so the panel's own cost is measured.
class DiscardingServices : public PanelServices {
public:
    using PanelServices::StatusPrint;

    void StatusPrint(std::string_view text) override { benchmark::DoNotOptimize(text.data()); }
    void FailureBox(std::string_view text) override
    {
        std::cerr << "failure box during the benchmark: " << text << "\n";
    }
    int BoxValue(int relay) override { return m_boxes.at(static_cast<std::size_t>(relay - 1)); }
    void UntickBox(int relay) override
    {
        int& value = m_boxes.at(static_cast<std::size_t>(relay - 1));
        if (value != 0) {
            value = 0;
            m_panel->ToggleRelay(relay);
        }
    }

    void Attach(RelayPanel& panel) { m_panel = &panel; }
    // An operator's click: the box flips, then its click runs.
    void Click(int relay)
    {
        int& value = m_boxes.at(static_cast<std::size_t>(relay - 1));
        value = 1 - value;
        m_panel->ToggleRelay(relay);
    }

private:
    [[noreturn]] void DoEndProgram() override
    {
        std::cerr << "the panel ended the program during the benchmark\n";
        std::exit(EXIT_FAILURE);
    }
    [[noreturn]] void DoFatalError(const DriverFault& fault) override
    {
        std::cerr << DescribeDriverFault(fault) << "\n";
        std::exit(EXIT_FAILURE);
    }

    RelayPanel* m_panel = nullptr;
    std::array<int, 8> m_boxes{};
};

struct Panel {
    Panel() { services.Attach(panel); }
    DiscardingServices services;
    RelayPanel panel{services};
};

// A fresh board that takes writes without printing each one.
void FreshBoard()
{
    vboard_quiet(1);
    vboard_reset();
}

// The board records every call and every byte; a fresh board every so many
// writes keeps that record, and the cost of its growth, small and alike for
// every benchmark. The refresh itself is not timed.
constexpr unsigned kWritesPerBoard = 1U << 14;

template <typename Refresh>
void RefreshNowAndThen(benchmark::State& state, unsigned& writes, Refresh refresh)
{
    if (++writes % kWritesPerBoard == 0) {
        state.PauseTiming();
        refresh();
        state.ResumeTiming();
    }
}

void BM_ToggleRelay(benchmark::State& state)
{
    Panel p;
    int relay = 0;
    for (auto _ : state) {
        p.services.Click(relay % 8 + 1);
        ++relay;
    }
}
BENCHMARK(BM_ToggleRelay);

void BM_SendState(benchmark::State& state)
{
    FreshBoard();
    Panel p;
    p.services.Click(1);
    p.services.Click(3);
    p.panel.InitInterface();
    unsigned writes = 0;
    for (auto _ : state) {
        p.panel.SendState();
        RefreshNowAndThen(state, writes, [&p] {
            FreshBoard();
            p.panel.InitInterface();
        });
    }
}
BENCHMARK(BM_SendState);

// The driver library as a program without a binding would use it.
struct DirectDriver {
    DirectDriver()
    {
        library = dlopen(d2xx::kLibraryName, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            std::cerr << dlerror() << "\n";
            std::exit(EXIT_FAILURE);
        }
        write = Find<d2xx::FT_Write_t>("FT_Write");
        Open();
    }
    DirectDriver(const DirectDriver&) = delete;
    DirectDriver& operator=(const DirectDriver&) = delete;
    DirectDriver(DirectDriver&&) = delete;
    DirectDriver& operator=(DirectDriver&&) = delete;
    ~DirectDriver() { dlclose(library); }

    // Opens device 0 in bit-bang mode on a fresh board, as InitInterface does.
    void Open()
    {
        FreshBoard();
        d2xx::FT_HANDLE opened = nullptr;
        if (Find<d2xx::FT_Open_t>("FT_Open")(0, &opened) != d2xx::FT_OK ||
            Find<d2xx::FT_SetBaudRate_t>("FT_SetBaudRate")(opened, 300) != d2xx::FT_OK ||
            Find<d2xx::FT_SetBitMode_t>("FT_SetBitMode")(opened, 0xFF, 1) != d2xx::FT_OK) {
            std::cerr << "the virtual board refused the set-up\n";
            std::exit(EXIT_FAILURE);
        }
        handle = opened;
    }

    template <typename Function>
    Function Find(const char* name) const
    {
        return reinterpret_cast<Function>(dlsym(library, name));
    }

    void* library = nullptr;
    d2xx::FT_Write_t write = nullptr;
    d2xx::FT_HANDLE handle = nullptr;
};

// FT_Write resolved once by hand, or, for contrast, looked up at every call.
template <bool kLookUpEachCall>
void BM_DirectWrite(benchmark::State& state)
{
    DirectDriver driver;
    std::uint8_t byte = 0x05;
    unsigned writes = 0;
    for (auto _ : state) {
        const auto write = kLookUpEachCall ? driver.Find<d2xx::FT_Write_t>("FT_Write") : driver.write;
        std::uint32_t written = 0;
        const d2xx::FT_STATUS status = write(driver.handle, &byte, 1, &written);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(written);
        RefreshNowAndThen(state, writes, [&driver] { driver.Open(); });
    }
}
BENCHMARK_TEMPLATE(BM_DirectWrite, false);
BENCHMARK_TEMPLATE(BM_DirectWrite, true);

// Keeps the median of each benchmark's repetitions, in microseconds, and
// passes everything on to the console report.
class MedianCollector : public benchmark::ConsoleReporter {
public:
    MedianCollector() : ConsoleReporter(OO_Tabular) {}  // no colours: the report goes to a log
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_medians[run.run_name.function_name] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e6;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Median(const std::string& name) const { return m_medians.at(name); }

private:
    std::map<std::string, double> m_medians;
};

}  // namespace

int main(int argc, char** argv)
{
    // Five repetitions of each, the median counts; more flags may override.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    std::string minTime = "--benchmark_min_time=0.2";
    args.insert(args.begin() + 1, {repetitions.data(), minTime.data()});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    MedianCollector collector;
    collector.SetOutputStream(&std::cerr);
    collector.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const double toggle = collector.Median("BM_ToggleRelay");
    const double send = collector.Median("BM_SendState");
    const double direct = collector.Median("BM_DirectWrite<false>");
    const double lookup = collector.Median("BM_DirectWrite<true>");
    bench::Row("ToggleRelay, per click", bench::Micro(toggle), "< 10 us", toggle < 10);
    bench::Row("SendState through the binding", bench::Micro(send), "< 10 us", send < 10);
    bench::Row("FT_Write called directly, resolved once", bench::Micro(direct), "", std::nullopt);
    bench::Row("SendState / direct FT_Write", bench::Ratio(send / direct), "<= 1.5x", send / direct <= 1.5);
    bench::Row("FT_Write looked up at every call (for contrast)", bench::Micro(lookup), "", std::nullopt);
    return EXIT_SUCCESS;
}
