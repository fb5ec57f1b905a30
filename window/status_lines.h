// The status lines a window shows, apart from any window toolkit: one below
// the other from the top left corner of the client area, one line height
// apart, never wrapped, scrolled or erased. In the fixed-size window only the
// lines whose top lies inside the client area can ever be seen; those are the
// lines drawn. A screen reader has no bottom edge: for it the lines after
// them are kept too, the newest kKeptBelowBottom of them, the oldest dropped
// first. Each realisation of the window draws the lines that show and hands
// all kept lines to assistive technology.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

class StatusLines {
public:
    // How many lines below the bottom edge a screen reader still gets.
    static constexpr std::size_t kKeptBelowBottom = 500;

    // Indexes of lines that show, first to one past the last.
    struct Range {
        std::size_t first = 0;
        std::size_t end = 0;
    };

    StatusLines() = default;
    // For a client area that many pixels high and lines that many pixels apart.
    StatusLines(int areaHeight, int lineHeight);

    // Adds a line below the last one. True when it shows, false when its top
    // falls below the client area.
    bool Add(std::string_view text);

    // The lines that show, from the top.
    [[nodiscard]] const std::vector<std::string>& lines() const { return m_lines; }
    // The newest lines below the bottom edge, oldest first.
    [[nodiscard]] const std::deque<std::string>& keptBelowBottom() const { return m_keptBelowBottom; }
    // Every line added below the bottom edge, kept or dropped.
    [[nodiscard]] std::size_t linesBelowBottom() const { return m_linesBelowBottom; }
    [[nodiscard]] int lineHeight() const { return m_lineHeight; }

    // Where the line of that index starts, from the top of the client area.
    [[nodiscard]] int TopOf(std::size_t index) const;
    // The lines that show and reach into the band from top to bottom
    // (exclusive): those a repaint of that band has to draw.
    [[nodiscard]] Range LinesIn(int top, int bottom) const;

    // The lines that show, then those kept below the bottom edge, in order,
    // one per line: what a screen reader reads.
    [[nodiscard]] std::string Text() const;

private:
    std::vector<std::string> m_lines;
    std::deque<std::string> m_keptBelowBottom;
    std::size_t m_linesBelowBottom = 0;
    std::size_t m_capacity = 0;
    int m_lineHeight = 1;
};
