// The status lines on Form1: drawn on the window behind the controls, from
// the top left corner, in the window's font and text colour; and one
// read-only text object for assistive technology, whose name is the kept
// lines, those below the bottom edge included, and which announces every
// line added.
#pragma once

#include "window/status_lines.h"

#include <QWidget>

#include <string_view>

class StatusView : public QWidget {
    Q_OBJECT

public:
    // Covers the parent's whole client area; made before the controls, it
    // stays behind them.
    explicit StatusView(QWidget* parent);

    // Adds one line below the previous one.
    void Print(std::string_view text);

    [[nodiscard]] const StatusLines& lines() const { return m_lines; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    StatusLines m_lines;
    bool m_measured = false;  // m_lines made for the font's line height
};
