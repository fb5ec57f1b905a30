// The status lines apart from any window: which lines a repaint of a band
// draws, and which lines a screen reader gets once the window is full.
#include "window/status_lines.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Lines 10 pixels apart in an area 95 high: ten show, the last one cut.
constexpr int kAreaHeight = 95;
constexpr int kLineHeight = 10;
constexpr std::size_t kShown = 10;

std::string Line(std::size_t number)
{
    return "line " + std::to_string(number);
}

// A repaint draws each line that reaches into its band, and no other: a
// band that starts or ends inside a line draws that line whole.
TEST(StatusLinesRepaint, DrawsEveryLineThatReachesIntoTheBand)
{
    StatusLines lines(kAreaHeight, kLineHeight);
    for (std::size_t i = 1; i <= kShown + 2; ++i) {
        lines.Add(Line(i));
    }
    struct Band {
        int top, bottom;
        std::size_t first, end;
    };
    for (const Band& band : {
             Band{0, 10, 0, 1},     // the first line exactly
             Band{0, 1, 0, 1},      // the first line's top row only
             Band{10, 30, 1, 3},    // two lines exactly
             Band{15, 25, 1, 3},    // starts inside one line, ends inside the next
             Band{12, 18, 1, 2},    // inside one line
             Band{29, 31, 2, 4},    // a line's last row and the next one's first
             Band{-5, 5, 0, 1},     // from above the area
             Band{85, 95, 8, 10},   // the last two, the last cut by the bottom edge
             Band{94, 200, 9, 10},  // the last line's last row and below it
             Band{0, 95, 0, 10},    // the whole area
             Band{30, 30, 3, 3},    // empty
         }) {
        const StatusLines::Range range = lines.LinesIn(band.top, band.bottom);
        EXPECT_EQ(range.first, band.first) << "band " << band.top << " to " << band.bottom;
        EXPECT_EQ(range.end, band.end) << "band " << band.top << " to " << band.bottom;
    }
}

// The lines that show stay as they were drawn; below the bottom edge the
// newest lines are kept for a screen reader, the oldest dropped first, and
// its text holds them all in order.
TEST(StatusLinesKept, BelowTheBottomEdgeTheNewestLinesAreKeptForTheText)
{
    StatusLines lines(kAreaHeight, kLineHeight);
    constexpr std::size_t kDropped = 7;
    constexpr std::size_t kLast = kShown + StatusLines::kKeptBelowBottom + kDropped;
    for (std::size_t i = 1; i <= kLast; ++i) {
        EXPECT_EQ(lines.Add(Line(i)), i <= kShown) << Line(i);
    }
    ASSERT_EQ(lines.lines().size(), kShown) << "a line whose top is inside the area does not show";
    EXPECT_EQ(lines.lines().front(), Line(1));
    EXPECT_EQ(lines.lines().back(), Line(kShown));
    EXPECT_EQ(lines.linesBelowBottom(), kLast - kShown);
    // The number a screen-reader user relies on, not the constant: 500 lines.
    ASSERT_EQ(lines.keptBelowBottom().size(), 500U);
    EXPECT_EQ(lines.keptBelowBottom().front(), Line(kShown + kDropped + 1));
    EXPECT_EQ(lines.keptBelowBottom().back(), Line(kLast));

    std::string expected;
    for (std::size_t i = 1; i <= kLast; ++i) {
        if (i <= kShown || i > kShown + kDropped) {
            expected += (expected.empty() ? "" : "\n") + Line(i);
        }
    }
    EXPECT_EQ(lines.Text(), expected);
}

}  // namespace
