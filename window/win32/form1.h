// Form1 in plain Win32: the panel's only window. It carries the four command
// buttons and the eight relay boxes laid out as form1_layout.h describes them,
// owns the one RelayPanel, forwards every click to the panel's command and
// realises the panel services on the window.
#pragma once

#include "control/relay_panel.h"
#include "window/panel_services.h"
#include "window/status_lines.h"

#include <windows.h>

#include <cstddef>
#include <string_view>

class Form1 : public PanelServices {
public:
    static constexpr const wchar_t* kClassName = L"RelayPanelForm1";
    // A fixed size: no sizing border and no maximise button; minimising stays.
    static constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;
    Form1(Form1&&) = delete;
    Form1& operator=(Form1&&) = delete;
    ~Form1() override;

    static bool RegisterWindowClass(HINSTANCE instance);
    // Creates the window, hidden, with its Form1, which lives as long as the
    // window does. Null when the window could not be made.
    static HWND Create(HINSTANCE instance);
    // The Form1 of a window that Create made.
    static Form1* FromWindow(HWND window);

    // Hands one message on; keys go through the dialog manager first, so that
    // Tab, Shift+Tab and Space work as in a dialog.
    static void Dispatch(HWND window, MSG& message);
    // The event loop, until the window is closed; returns the exit status.
    static int RunMessageLoop(HWND window);

    using PanelServices::StatusPrint;
    void StatusPrint(std::string_view text) override;
    void FailureBox(std::string_view text) override;
    int BoxValue(int relay) override;
    void UntickBox(int relay) override;

    // The control of the given name in form1_layout.h, or null.
    [[nodiscard]] HWND Control(std::string_view name) const;
    [[nodiscard]] int dotsPerInch() const { return m_dpi; }

    // The status lines as drawn and as assistive technology reads them.
    [[nodiscard]] const StatusLines& statusLines() const { return m_status; }

    [[nodiscard]] const RelayPanel& panel() const { return m_panel; }

private:
    Form1(HWND window, int dpi);

    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    bool OnCreate();
    void OnCommand(int id, UINT code);
    void OnDrawItem(const DRAWITEMSTRUCT& item);
    void OnActivate(UINT state, bool minimized);
    void OnSetFocus();

    void CreateControls();
    void CreateStatusControl();
    void WidenForCaption(HWND box, std::size_t index);
    [[nodiscard]] HWND RelayBox(int relay) const;
    void ShowMessage(std::string_view text, UINT icon);

    [[noreturn]] void DoEndProgram() override;
    [[noreturn]] void DoFatalError(const DriverFault& fault) override;

    HWND m_window;
    int m_dpi;
    RelayPanel m_panel{*this};
    HFONT m_font = nullptr;
    // The control that has the focus when the window is next activated.
    HWND m_focus = nullptr;

    StatusLines m_status;
    HWND m_statusWindow = nullptr;
};
