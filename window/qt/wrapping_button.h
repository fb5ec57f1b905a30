// A push button that wraps a long caption onto several lines inside itself,
// as the classic push button does. The caption stays one text; only the
// drawing wraps.
#pragma once

#include <QPushButton>

class WrappingButton : public QPushButton {
    Q_OBJECT

public:
    WrappingButton(const QString& caption, QWidget* parent);

    // Where the caption is drawn: inside the bevel, word-wrapped and centred.
    [[nodiscard]] QRect captionArea() const;
    static constexpr int kCaptionFlags = Qt::AlignCenter | Qt::TextWordWrap;

protected:
    void paintEvent(QPaintEvent* event) override;
};
