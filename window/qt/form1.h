// Form1: the panel's only window. It carries the four command buttons and
// the eight relay boxes, owns the one RelayPanel, forwards every click to
// the panel's command and realises the panel services on the window.
#pragma once

#include "control/relay_panel.h"
#include "window/form1_layout.h"
#include "window/panel_services.h"

#include <QString>
#include <QWidget>

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

class QCheckBox;
class QPushButton;

class Form1 : public QWidget, public PanelServices {
    Q_OBJECT

public:
    // The client area in pixels; Qt scales the window for the screen itself.
    static constexpr int kClientWidth = form1_layout::ToPixels(form1_layout::kClientWidth, 96);
    static constexpr int kClientHeight = form1_layout::ToPixels(form1_layout::kClientHeight, 96);
    // The exit status of a process ended by EndProgram or FatalError.
    static constexpr int kEndedStatus = 1;

    explicit Form1(QWidget* parent = nullptr);

    using PanelServices::StatusPrint;
    void StatusPrint(std::string_view text) override;
    void FailureBox(std::string_view text) override;
    int BoxValue(int relay) override;
    void UntickBox(int relay) override;

    // The status lines kept for drawing, top first: those whose top lies
    // inside the window. Lines printed further down can never be seen in
    // this fixed-size window; they are only counted.
    [[nodiscard]] const std::vector<QString>& statusLines() const { return m_lines; }
    [[nodiscard]] std::size_t linesBelowBottom() const { return m_linesBelowBottom; }

    [[nodiscard]] const RelayPanel& panel() const { return m_panel; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    [[noreturn]] void DoEndProgram() override;
    [[noreturn]] void DoFatalError(const DriverFault& fault) override;

    void CreateControls();
    void WireClicks();

    RelayPanel m_panel{*this};

    QPushButton* m_command1 = nullptr;
    QPushButton* m_ausgabe = nullptr;
    QPushButton* m_command2 = nullptr;
    QPushButton* m_command3 = nullptr;
    std::array<QCheckBox*, 8> m_boxes{};

    std::vector<QString> m_lines;
    std::size_t m_linesBelowBottom = 0;
    std::size_t m_lineCapacity = 0;
};
