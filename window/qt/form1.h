// Form1: the panel's only window. It carries the four command buttons and
// the eight relay boxes, owns the one RelayPanel, forwards every click to
// the panel's command and realises the panel services on the window.
#pragma once

#include "control/relay_panel.h"
#include "window/form1_layout.h"
#include "window/panel_services.h"
#include "window/status_lines.h"

#include <QWidget>

#include <array>
#include <string_view>

class QCheckBox;
class QPushButton;
class StatusView;

class Form1 : public QWidget, public PanelServices {
    Q_OBJECT

public:
    // The client area in pixels; Qt scales the window for the screen itself.
    static constexpr int kClientWidth = form1_layout::ToPixels(form1_layout::kClientWidth, 96);
    static constexpr int kClientHeight = form1_layout::ToPixels(form1_layout::kClientHeight, 96);

    explicit Form1(QWidget* parent = nullptr);

    using PanelServices::StatusPrint;
    void StatusPrint(std::string_view text) override;
    void FailureBox(std::string_view text) override;
    int BoxValue(int relay) override;
    void UntickBox(int relay) override;

    // The status lines as drawn and as assistive technology reads them.
    [[nodiscard]] const StatusLines& statusLines() const;

    [[nodiscard]] const RelayPanel& panel() const { return m_panel; }

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    [[noreturn]] void DoEndProgram() override;
    [[noreturn]] void DoFatalError(const DriverFault& fault) override;

    void CreateControls();
    void WireClicks();
    void WidenBoxesForCaptions();

    RelayPanel m_panel{*this};

    QPushButton* m_command1 = nullptr;
    QPushButton* m_ausgabe = nullptr;
    QPushButton* m_command2 = nullptr;
    QPushButton* m_command3 = nullptr;
    std::array<QCheckBox*, 8> m_boxes{};
    StatusView* m_status = nullptr;
    bool m_boxesWidened = false;
};
