#include "status_lines.h"

#include <algorithm>

StatusLines::StatusLines(int areaHeight, int lineHeight) : m_lineHeight(std::max(1, lineHeight))
{
    m_capacity = static_cast<std::size_t>(std::max(0, (areaHeight + m_lineHeight - 1) / m_lineHeight));
    m_lines.reserve(m_capacity);
}

bool StatusLines::Add(std::string_view text)
{
    if (m_lines.size() < m_capacity) {
        m_lines.emplace_back(text);
        return true;
    }
    ++m_linesBelowBottom;
    if (m_keptBelowBottom.size() == kKeptBelowBottom) {
        m_keptBelowBottom.pop_front();
    }
    m_keptBelowBottom.emplace_back(text);
    return false;
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
    bool first = true;
    const auto append = [&](const std::string& line) {
        if (!first) {
            text += '\n';
        }
        text += line;
        first = false;
    };
    std::for_each(m_lines.begin(), m_lines.end(), append);
    std::for_each(m_keptBelowBottom.begin(), m_keptBelowBottom.end(), append);
    return text;
}
