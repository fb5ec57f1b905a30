#include "form1.h"

#include "window/form1_layout.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

namespace layout = form1_layout;

// The program icon in relaypanel.rc.
constexpr int kIconId = 1;

// Control ids follow the tab indexes. None of them is IDOK or IDCANCEL, the
// commands the dialog manager sends for Enter and Esc, so those keys press nothing.
constexpr int kFirstControlId = 100;
constexpr int ControlId(const layout::Control& control)
{
    return kFirstControlId + control.tabIndex;
}
// The status lines' control, after all the others.
constexpr int kStatusId = kFirstControlId + static_cast<int>(layout::kTabOrder.size());

// The texts are plain ASCII, and the loader's reason in a driver fault comes
// in the ANSI code page.
std::wstring Widen(std::string_view text)
{
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
    return wide;
}

// The system's dots per inch; the process is DPI-aware, so Windows does not scale the window itself.
int SystemDotsPerInch()
{
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

// A push button wraps its caption inside itself; a relay box is a two-state
// check box that ticks and unticks itself on a click.
DWORD ControlStyle(const layout::Control& control)
{
    const DWORD kind = control.kind == layout::Kind::PushButton ? BS_PUSHBUTTON | BS_MULTILINE : BS_AUTOCHECKBOX;
    return WS_CHILD | WS_VISIBLE | WS_TABSTOP | kind;
}

}  // namespace

Form1::Form1(HWND window, int dpi) : m_window(window), m_dpi(dpi) {}

Form1::~Form1()
{
    if (m_font != nullptr) {
        DeleteObject(m_font);
    }
}

bool Form1::RegisterWindowClass(HINSTANCE instance)
{
    // Loads the themed controls that the manifest asks for.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconId));
    windowClass.hIconSm =
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                      GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = kClassName;
    return RegisterClassExW(&windowClass) != 0;
}

HWND Form1::Create(HINSTANCE instance)
{
    const int dpi = SystemDotsPerInch();
    RECT frame{0, 0, layout::ToPixels(layout::kClientWidth, dpi), layout::ToPixels(layout::kClientHeight, dpi)};
    AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
    // The window takes its Form1 over at WM_NCCREATE and deletes it at
    // WM_NCDESTROY; a window never made leaves it here.
    std::unique_ptr<Form1> form(new Form1(nullptr, dpi));
    return CreateWindowExW(0, kClassName, Widen(layout::kCaption).c_str(), kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                           frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, &form);
}

Form1* Form1::FromWindow(HWND window)
{
    return reinterpret_cast<Form1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void Form1::Dispatch(HWND window, MSG& message)
{
    if (IsDialogMessageW(window, &message) == FALSE) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

int Form1::RunMessageLoop(HWND window)
{
    MSG message{};
    BOOL got = FALSE;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) {
            return kEndedStatus;
        }
        Dispatch(window, message);
    }
    return static_cast<int>(message.wParam);
}

LRESULT CALLBACK Form1::WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* owner = static_cast<std::unique_ptr<Form1>*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        Form1* form = owner->release();
        form->m_window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    Form1* form = FromWindow(window);
    if (form == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        delete form;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return form->HandleMessage(message, wParam, lParam);
}

LRESULT Form1::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return OnCreate() ? 0 : -1;
    case WM_COMMAND:
        OnCommand(GET_WM_COMMAND_ID(wParam, lParam), GET_WM_COMMAND_CMD(wParam, lParam));
        return 0;
    case WM_DRAWITEM:
        if (wParam == static_cast<WPARAM>(kStatusId)) {
            OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        }
        return DefWindowProcW(m_window, message, wParam, lParam);
    case WM_ACTIVATE:
        OnActivate(LOWORD(wParam), HIWORD(wParam) != 0);
        return 0;
    case WM_SETFOCUS:
        OnSetFocus();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(m_window, message, wParam, lParam);
    }
}

bool Form1::OnCreate()
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    // For a DPI-aware process the message font comes scaled to the system DPI.
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0) == FALSE) {
        return false;
    }
    m_font = CreateFontIndirectW(&metrics.lfMessageFont);
    if (m_font == nullptr) {
        return false;
    }

    HDC surface = GetDC(m_window);
    HGDIOBJ previous = SelectObject(surface, m_font);
    TEXTMETRICW text{};
    GetTextMetricsW(surface, &text);
    SelectObject(surface, previous);
    ReleaseDC(m_window, surface);
    m_status = StatusLines(layout::ToPixels(layout::kClientHeight, m_dpi),
                           static_cast<int>(text.tmHeight + text.tmExternalLeading));

    CreateControls();
    CreateStatusControl();
    m_focus = Control(layout::kCommand1.name);
    return m_statusWindow != nullptr;
}

// Made in tab order: the dialog manager moves the focus along the order the
// controls were made in.
void Form1::CreateControls()
{
    auto* instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(m_window, GWLP_HINSTANCE));
    for (const layout::Control& control : layout::kTabOrder) {
        HWND made =
            CreateWindowExW(0, WC_BUTTONW, Widen(control.caption).c_str(), ControlStyle(control),
                            layout::ToPixels(control.left, m_dpi), layout::ToPixels(control.top, m_dpi),
                            layout::ToPixels(control.width, m_dpi), layout::ToPixels(control.height, m_dpi), m_window,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(control))), instance, nullptr);
        SetWindowFont(made, m_font, FALSE);
    }
    for (std::size_t i = 0; i < layout::kRelayBoxes.size(); ++i) {
        WidenForCaption(RelayBox(static_cast<int>(i) + 1), i);
    }
}

// The status lines get a static control of their own over the whole client
// area: its window text is the lines, which is what screen readers read of
// it. Made last, it lies below every control in the z-order, and clipping its
// siblings lets them cover it; it takes no focus and has no tab stop. Form1
// draws it (owner-draw), as it drew the lines on its own surface.
void Form1::CreateStatusControl()
{
    auto* instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(m_window, GWLP_HINSTANCE));
    m_statusWindow =
        CreateWindowExW(0, WC_STATICW, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_OWNERDRAW | SS_NOPREFIX, 0, 0,
                        layout::ToPixels(layout::kClientWidth, m_dpi), layout::ToPixels(layout::kClientHeight, m_dpi),
                        m_window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusId)), instance, nullptr);
    if (m_statusWindow != nullptr) {
        SetWindowFont(m_statusWindow, m_font, FALSE);
    }
}

// A relay box keeps its left and top; it is widened only where its caption
// would be cut, and then no further than the next box's left edge. The ideal
// size the control reports leaves a margin of its own after the caption.
void Form1::WidenForCaption(HWND box, std::size_t index)
{
    const layout::Control& place = layout::kRelayBoxes.at(index);
    SIZE ideal{};
    if (box == nullptr || Button_GetIdealSize(box, &ideal) == FALSE) {
        return;
    }
    const int width = layout::ToPixels(place.width, m_dpi);
    const int widest = layout::ToPixels(layout::RoomRightOf(index), m_dpi) - layout::ToPixels(place.left, m_dpi);
    if (ideal.cx > width) {
        SetWindowPos(box, nullptr, 0, 0, std::min(static_cast<int>(ideal.cx), widest),
                     layout::ToPixels(place.height, m_dpi), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

// Only clicks are handled; a box's click means its value has changed.
void Form1::OnCommand(int id, UINT code)
{
    if (code != BN_CLICKED) {
        return;
    }
    switch (id) {
    case ControlId(layout::kCommand1):
        m_panel.InitInterface();
        return;
    case ControlId(layout::kAusgabe):
        m_panel.SendState();
        return;
    case ControlId(layout::kCommand2):
        m_panel.ReleaseAll();
        return;
    case ControlId(layout::kCommand3):
        m_panel.CloseDevice();
        return;
    default:
        break;
    }
    for (std::size_t i = 0; i < layout::kRelayBoxes.size(); ++i) {
        if (id == ControlId(layout::kRelayBoxes.at(i))) {
            m_panel.ToggleRelay(static_cast<int>(i) + 1);
            return;
        }
    }
}

// The status control, drawn as the window's own surface would be: its
// background, then the lines that show in the window's font and text colour. The
// controls above it are clipped away.
void Form1::OnDrawItem(const DRAWITEMSTRUCT& item)
{
    FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
    RECT dirty{};
    GetClipBox(item.hDC, &dirty);
    HGDIOBJ previous = SelectObject(item.hDC, m_font);
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, GetSysColor(COLOR_WINDOWTEXT));
    const StatusLines::Range range = m_status.LinesIn(dirty.top, dirty.bottom);
    for (std::size_t i = range.first; i < range.end; ++i) {
        const std::wstring line = Widen(m_status.lines().at(i));
        TextOutW(item.hDC, 0, m_status.TopOf(i), line.c_str(), static_cast<int>(line.size()));
    }
    SelectObject(item.hDC, previous);
}

// As a dialog does: the focus leaves with the window and comes back to the
// same control, Command1 the first time.
void Form1::OnActivate(UINT state, bool minimized)
{
    if (state == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(m_window, focus) != FALSE) {
            m_focus = focus;
        }
    } else if (!minimized) {
        OnSetFocus();
    }
}

void Form1::OnSetFocus()
{
    if (m_focus != nullptr) {
        SetFocus(m_focus);
    }
}

HWND Form1::Control(std::string_view name) const
{
    for (const layout::Control& control : layout::kTabOrder) {
        if (name == control.name) {
            return GetDlgItem(m_window, ControlId(control));
        }
    }
    return nullptr;
}

HWND Form1::RelayBox(int relay) const
{
    return GetDlgItem(m_window, ControlId(layout::kRelayBoxes.at(static_cast<std::size_t>(relay - 1))));
}

// A new line that shows is drawn where it stands. The status control's text,
// its accessible name, becomes the kept lines, those below the bottom edge
// included, and screen readers are told the name changed. The text is set as
// any window's is, past the static control's own WM_SETTEXT, which would
// repaint the whole control for every line, up to 500 lines below the edge.
void Form1::StatusPrint(std::string_view text)
{
    if (m_status.Add(text)) {
        const int top = m_status.TopOf(m_status.lines().size() - 1);
        const RECT line{0, top, layout::ToPixels(layout::kClientWidth, m_dpi), top + m_status.lineHeight()};
        InvalidateRect(m_statusWindow, &line, FALSE);
    }
    const std::wstring lines = Widen(m_status.Text());
    DefWindowProcW(m_statusWindow, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lines.c_str()));
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, m_statusWindow, OBJID_CLIENT, CHILDID_SELF);
}

void Form1::ShowMessage(std::string_view text, UINT icon)
{
    MessageBoxW(m_window, Widen(text).c_str(), Widen(layout::kApplicationTitle).c_str(), MB_OK | icon);
}

void Form1::FailureBox(std::string_view text)
{
    ShowMessage(text, 0);
}

void Form1::DoFatalError(const DriverFault& fault)
{
    ShowMessage(DescribeDriverFault(fault), MB_ICONERROR);
    EndProgram();
}

// The process ends here and now: no further message, no destructor, no exit
// handler and no library's detach routine runs, so nothing closes the device;
// Windows takes the window away with the process. Only output already written
// is flushed.
void Form1::DoEndProgram()
{
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), kEndedStatus);
    std::_Exit(kEndedStatus);
}

int Form1::BoxValue(int relay)
{
    return Button_GetCheck(RelayBox(relay)) == BST_CHECKED ? 1 : 0;
}

// A box set from code raises no click, so the toggle that its click would
// run is run here, at once, and only when the value changes.
void Form1::UntickBox(int relay)
{
    HWND box = RelayBox(relay);
    if (Button_GetCheck(box) != BST_CHECKED) {
        return;
    }
    Button_SetCheck(box, BST_UNCHECKED);
    m_panel.ToggleRelay(relay);
}
