// The status lines a window shows, apart from any window toolkit: one below
// the other from the top left corner of the client area, one line height
// apart, never wrapped, scrolled or erased. In the fixed-size window only the
// lines whose top lies inside the client area can ever be seen, so only those
// are kept; any further line is counted. Each realisation of the window draws
// these lines and hands the same lines to assistive technology.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class StatusLines {
public:
    // Indexes of kept lines, first to one past the last.
    struct Range {
        std::size_t first = 0;
        std::size_t end = 0;
    };

    StatusLines() = default;
    // For a client area that many pixels high and lines that many pixels apart.
    StatusLines(int areaHeight, int lineHeight);

    // Adds a line below the last one. True when it is kept, false when its
    // top falls below the client area and it is only counted.
    bool Add(std::string_view text);

    [[nodiscard]] const std::vector<std::string>& lines() const { return m_lines; }
    [[nodiscard]] std::size_t linesBelowBottom() const { return m_linesBelowBottom; }
    [[nodiscard]] int lineHeight() const { return m_lineHeight; }

    // Where the kept line of that index starts, from the top of the client area.
    [[nodiscard]] int TopOf(std::size_t index) const;
    // The kept lines that reach into the band from top to bottom (exclusive):
    // those a repaint of that band has to draw.
    [[nodiscard]] Range LinesIn(int top, int bottom) const;

    // The kept lines in order, one per line: what a screen reader reads.
    [[nodiscard]] std::string Text() const;

private:
    std::vector<std::string> m_lines;
    std::size_t m_linesBelowBottom = 0;
    std::size_t m_capacity = 0;
    int m_lineHeight = 1;
};
