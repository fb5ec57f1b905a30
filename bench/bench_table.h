// Rows of the benchmark table that tools/bench prints: each benchmark
// program writes its rows on stdout as Markdown table rows.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace bench {

inline std::string Fixed(double value, int decimals)
{
    std::string text(32, '\0');
    const int length = std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return text;
}

// A time per command: in nanoseconds below one microsecond.
inline std::string Micro(double microseconds)
{
    return microseconds < 1 ? Fixed(microseconds * 1000, 0) + " ns" : Fixed(microseconds, 2) + " us";
}

inline std::string Milli(double milliseconds)
{
    return Fixed(milliseconds, 1) + " ms";
}

inline std::string Mebi(double bytes)
{
    return Fixed(bytes / (1024.0 * 1024.0), 2) + " MiB";
}

inline std::string Ratio(double ratio)
{
    return Fixed(ratio, 2) + "x";
}

// One row: what was measured, the result, the goal and whether it was met
// (no verdict for a row that only gives context).
inline void Row(const std::string& measure, const std::string& result, const std::string& goal, std::optional<bool> met)
{
    const char* verdict = !met ? "" : *met ? "met" : "MISSED";
    std::printf("| %s | %s | %s | %s |\n", measure.c_str(), result.c_str(), goal.c_str(), verdict);
    std::fflush(stdout);
}

}  // namespace bench
