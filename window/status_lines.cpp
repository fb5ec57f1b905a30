#include "status_lines.h"

#include <algorithm>

StatusLines::StatusLines(int areaHeight, int lineHeight) : m_lineHeight(std::max(1, lineHeight))
{
    m_capacity = static_cast<std::size_t>(std::max(0, (areaHeight + m_lineHeight - 1) / m_lineHeight));
    m_lines.reserve(m_capacity);
}

bool StatusLines::Add(std::string_view text)
{
    if (m_lines.size() >= m_capacity) {
        ++m_linesBelowBottom;
        return false;
    }
    m_lines.emplace_back(text);
    return true;
}

int StatusLines::TopOf(std::size_t index) const
{
    return static_cast<int>(index) * m_lineHeight;
}

StatusLines::Range StatusLines::LinesIn(int top, int bottom) const
{
    // Line i covers [i * height, (i + 1) * height).
    const auto first = static_cast<std::size_t>(std::max(0, top / m_lineHeight));
    const auto end = static_cast<std::size_t>(std::max(0, (bottom + m_lineHeight - 1) / m_lineHeight));
    return {std::min(first, m_lines.size()), std::min(end, m_lines.size())};
}

std::string StatusLines::Text() const
{
    std::string text;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        if (i > 0) {
            text += '\n';
        }
        text += m_lines.at(i);
    }
    return text;
}
