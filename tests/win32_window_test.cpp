// The Win32 window on the virtual relay board, on a real (virtual) display:
// its layout, keys and clicks that drive the panel, the status lines, the
// message boxes and the program's end. A failing driver call ends the
// process, so those cases run this program again as a child and watch it
// from outside.
#include "board_record.h"
#include "window/form1_layout.h"
#include "window/win32/form1.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <windowsx.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace layout = form1_layout;

const std::wstring kOpened = L" FTDI 232 RL erfolgreich geoeffnet";

std::wstring Wide(const char* text)
{
    return {text, text + std::char_traits<char>::length(text)};
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text) {
        narrow += c < 128 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

std::wstring WindowText(HWND window)
{
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

// Handles the messages that arrive within the given time, as the program's loop does.
void Pump(HWND window, int milliseconds = 0)
{
    for (int waited = 0;; waited += 10) {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
            Form1::Dispatch(window, message);
        }
        if (waited >= milliseconds) {
            return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// What a message box showed, seen while it was open.
struct SeenBox {
    bool seen = false;
    std::wstring title;
    std::wstring text;
    bool icon = false;
    int buttons = 0;
    bool ownedByForm = false;
    bool formDisabled = false;
    std::vector<std::wstring> statusLines;  // the window's lines at that moment
};

// Watches for the next message box of this thread, records it and presses
// its OK button. The box runs its own message loop; a thread timer reaches it.
class BoxWatch {
public:
    explicit BoxWatch(HWND form, std::function<void(const SeenBox&)> onSeen = {})
        : m_form(form), m_onSeen(std::move(onSeen))
    {
        s_watch = this;
        m_timer = SetTimer(nullptr, 0, 20, &BoxWatch::Tick);
    }
    BoxWatch(const BoxWatch&) = delete;
    BoxWatch& operator=(const BoxWatch&) = delete;
    BoxWatch(BoxWatch&&) = delete;
    BoxWatch& operator=(BoxWatch&&) = delete;
    ~BoxWatch()
    {
        KillTimer(nullptr, m_timer);
        s_watch = nullptr;
    }

    [[nodiscard]] const SeenBox& box() const { return m_box; }

private:
    static void CALLBACK Tick(HWND /*window*/, UINT /*message*/, UINT_PTR /*id*/, DWORD /*time*/)
    {
        if (s_watch != nullptr) {
            s_watch->Poll();
        }
    }

    static BOOL CALLBACK FindBox(HWND window, LPARAM found)
    {
        if (ClassOf(window) == L"#32770" && IsWindowVisible(window) != FALSE) {
            *reinterpret_cast<HWND*>(found) = window;
            return FALSE;
        }
        return TRUE;
    }

    static BOOL CALLBACK ReadPart(HWND part, LPARAM seen)
    {
        auto& box = *reinterpret_cast<SeenBox*>(seen);
        if (IsWindowVisible(part) == FALSE) {
            return TRUE;
        }
        if (ClassOf(part) == L"Button") {
            ++box.buttons;
        } else if ((GetWindowLongW(part, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            box.icon = box.icon || SendMessageW(part, STM_GETICON, 0, 0) != 0;
        } else if (GetWindowTextLengthW(part) > 0) {
            box.text = WindowText(part);
        }
        return TRUE;
    }

    void Poll()
    {
        HWND box = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), &BoxWatch::FindBox, reinterpret_cast<LPARAM>(&box));
        if (box == nullptr) {
            return;
        }
        KillTimer(nullptr, m_timer);
        m_box.seen = true;
        m_box.title = WindowText(box);
        EnumChildWindows(box, &BoxWatch::ReadPart, reinterpret_cast<LPARAM>(&m_box));
        m_box.ownedByForm = GetWindow(box, GW_OWNER) == m_form;
        m_box.formDisabled = IsWindowEnabled(m_form) == FALSE;
        m_box.statusLines = Form1::FromWindow(m_form)->statusLines();
        if (m_onSeen) {
            m_onSeen(m_box);
        }
        SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    }

    static inline BoxWatch* s_watch = nullptr;
    HWND m_form;
    std::function<void(const SeenBox&)> m_onSeen;
    UINT_PTR m_timer = 0;
    SeenBox m_box;
};

// The system's dots per inch, as the test reads them.
int ScreenDpi()
{
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

RECT Pixels(const layout::Control& control, int dpi)
{
    const int left = layout::ToPixels(control.left, dpi);
    const int top = layout::ToPixels(control.top, dpi);
    return {left, top, left + layout::ToPixels(control.width, dpi), top + layout::ToPixels(control.height, dpi)};
}

// A control's rectangle in its parent's client coordinates.
RECT PlaceOf(HWND control)
{
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// The client area as drawn, one value per pixel, row by row.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;

    [[nodiscard]] bool SameAs(const Picture& other, const RECT& area) const
    {
        for (int y = area.top; y < area.bottom; ++y) {
            for (int x = area.left; x < area.right; ++x) {
                const std::size_t at =
                    static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
                if (pixels.at(at) != other.pixels.at(at)) {
                    return false;
                }
            }
        }
        return true;
    }
};

Picture Grab(HWND window)
{
    RECT client{};
    GetClientRect(window, &client);
    Picture picture{client.right, client.bottom, {}};
    HDC source = GetDC(window);
    HDC memory = CreateCompatibleDC(source);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), picture.width, -picture.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, picture.width, picture.height, source, 0, 0, SRCCOPY);
    const auto* first = static_cast<const std::uint32_t*>(bits);
    picture.pixels.assign(first, first + static_cast<std::ptrdiff_t>(picture.width) * picture.height);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, source);
    return picture;
}

class Win32Window : public ::testing::Test {
protected:
    void SetUp() override
    {
        vboard_reset();
        window = Form1::Create(GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr);
        form = Form1::FromWindow(window);
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);
        SetForegroundWindow(window);
        Pump(window, 100);
    }

    void TearDown() override
    {
        DestroyWindow(window);
        Pump(nullptr);
    }

    [[nodiscard]] HWND Control(const char* name) const { return form->Control(name); }
    [[nodiscard]] HWND Box(int relay) const
    {
        return Control(layout::kRelayBoxes.at(static_cast<std::size_t>(relay - 1)).name);
    }
    [[nodiscard]] bool Ticked(int relay) const { return Button_GetCheck(Box(relay)) == BST_CHECKED; }
    void Click(const char* name) const
    {
        SendMessageW(Control(name), BM_CLICK, 0, 0);
        Pump(window);
    }
    [[nodiscard]] std::vector<std::wstring> Lines() const { return form->statusLines(); }

    // Presses the keys one after the other and lets them go in reverse order,
    // as the keyboard would.
    void Press(std::initializer_list<WORD> keys) const
    {
        std::vector<INPUT> inputs;
        for (WORD key : keys) {
            INPUT down{};
            down.type = INPUT_KEYBOARD;
            down.ki.wVk = key;
            inputs.push_back(down);
        }
        for (auto key = std::rbegin(keys); key != std::rend(keys); ++key) {
            INPUT up{};
            up.type = INPUT_KEYBOARD;
            up.ki.wVk = *key;
            up.ki.dwFlags = KEYEVENTF_KEYUP;
            inputs.push_back(up);
        }
        SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
        Pump(window, 150);
    }

    [[nodiscard]] std::string FocusName() const
    {
        HWND focus = GetFocus();
        for (const layout::Control& control : layout::kTabOrder) {
            if (Control(control.name) == focus) {
                return control.name;
            }
        }
        return focus == nullptr ? "nothing" : "another window";
    }

    // The four lines of a successful initialisation.
    [[nodiscard]] std::vector<std::wstring> InitLines() const
    {
        const auto handle = reinterpret_cast<std::intptr_t>(form->panel().devHandle());
        return {kOpened, L"FTDI hat den USBHandle : " + std::to_wstring(handle),
                L"FTDI 232 Baudrate auf 300 Baud gesetzt", L"serieller Bit-Bang Mode erfolgreich gesetzt"};
    }

    HWND window = nullptr;
    Form1* form = nullptr;
};

using Win32Layout = Win32Window;

TEST_F(Win32Layout, CaptionFixedFrameAndClientAreaAtTheSystemDpi)
{
    const int dpi = ScreenDpi();
    // The DPI the system is set to, when the test run sets one.
    if (const char* systemDpi = std::getenv("RELAYPANEL_WINE_DPI")) {
        EXPECT_EQ(dpi, std::atoi(systemDpi));
    }
    EXPECT_EQ(WindowText(window), L"FT232 RL  USB Relais Ansteuerung von Tellmar");
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 10815 * dpi / 1440);
    EXPECT_EQ(client.bottom, 5265 * dpi / 1440);
    if (dpi == 96) {
        EXPECT_EQ(client.right, 721);
        EXPECT_EQ(client.bottom, 351);
    }
    const auto style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
    EXPECT_EQ(style & WS_MAXIMIZEBOX, 0U);
    EXPECT_EQ(style & WS_THICKFRAME, 0U);
    EXPECT_NE(style & WS_MINIMIZEBOX, 0U);
    EXPECT_NE(style & WS_CLIPCHILDREN, 0U);
    EXPECT_TRUE(Lines().empty());
}

// Each control where the layout puts it, in the message font; a relay box is
// widened only as far as its caption needs and never into the next box, and
// every caption shows whole.
TEST_F(Win32Layout, ControlsHaveTheirKindCaptionPlaceAndShowTheirCaptionWhole)
{
    const int dpi = ScreenDpi();
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0));

    for (const layout::Control& expected : layout::kTabOrder) {
        HWND control = Control(expected.name);
        ASSERT_NE(control, nullptr) << expected.name;
        EXPECT_EQ(ClassOf(control), L"Button") << expected.name;
        EXPECT_EQ(WindowText(control), Wide(expected.caption)) << expected.name;
        EXPECT_TRUE(IsWindowVisible(control) && IsWindowEnabled(control)) << expected.name;
        LOGFONTW font{};
        GetObjectW(GetWindowFont(control), sizeof(font), &font);
        EXPECT_EQ(std::wstring(font.lfFaceName), std::wstring(metrics.lfMessageFont.lfFaceName)) << expected.name;
        EXPECT_EQ(font.lfHeight, metrics.lfMessageFont.lfHeight) << expected.name;

        const RECT want = Pixels(expected, dpi);
        const RECT got = PlaceOf(control);
        EXPECT_EQ(got.left, want.left) << expected.name;
        EXPECT_EQ(got.top, want.top) << expected.name;
        EXPECT_EQ(got.bottom, want.bottom) << expected.name;
        const auto style = static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE));
        const int width = got.right - got.left;
        if (expected.kind == layout::Kind::PushButton) {
            EXPECT_EQ(style & BS_TYPEMASK, static_cast<DWORD>(BS_PUSHBUTTON))
                << expected.name << " is a default button";
            EXPECT_NE(style & BS_MULTILINE, 0U) << expected.name;
            EXPECT_EQ(got.right, want.right) << expected.name;
            // The caption, wrapped at word breaks, inside the button's edges.
            HDC surface = GetDC(control);
            HGDIOBJ previous = SelectObject(surface, GetWindowFont(control));
            const int edge = 2 * (GetSystemMetrics(SM_CXEDGE) + 1);
            RECT text{0, 0, width - 2 * edge, 0};
            const std::wstring caption = WindowText(control);
            DrawTextW(surface, caption.c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
            SelectObject(surface, previous);
            ReleaseDC(control, surface);
            EXPECT_LE(text.right, width - 2 * edge) << expected.name << " cuts a word";
            EXPECT_LE(text.bottom, got.bottom - got.top - 2 * edge) << expected.name << " cuts a line";
        } else {
            EXPECT_EQ(style & BS_TYPEMASK, static_cast<DWORD>(BS_AUTOCHECKBOX)) << expected.name;
            EXPECT_FALSE(Button_GetCheck(control) == BST_CHECKED) << expected.name;
            SIZE ideal{};
            ASSERT_TRUE(Button_GetIdealSize(control, &ideal)) << expected.name;
            EXPECT_LE(ideal.cx, width) << expected.name << " cuts its caption";
            EXPECT_GE(got.right, want.right) << expected.name;
            if (got.right > want.right) {
                EXPECT_EQ(width, ideal.cx) << expected.name << " widened more than needed";
            }
        }
    }
    for (std::size_t i = 0; i + 1 < layout::kRelayBoxes.size(); ++i) {
        EXPECT_LE(PlaceOf(Box(static_cast<int>(i) + 1)).right, PlaceOf(Box(static_cast<int>(i) + 2)).left)
            << layout::kRelayBoxes.at(i).name << " reaches the next box";
    }
}

using Win32Keys = Win32Window;

TEST_F(Win32Keys, FocusStartsOnCommand1AndTabFollowsTheTabIndexes)
{
    EXPECT_EQ(FocusName(), "Command1");
    for (const char* next : {"Command3", "Ausgabe", "Command2", "Check1", "Check2", "Check3", "Check4", "Check5",
                             "Check6", "Check7", "Check8", "Command1"}) {
        Press({VK_TAB});
        EXPECT_EQ(FocusName(), next);
    }
    Press({VK_SHIFT, VK_TAB});
    EXPECT_EQ(FocusName(), "Check8");
}

// No default and no cancel button: Enter and Esc press nothing. Space
// clicks the focused control.
TEST_F(Win32Keys, EnterAndEscapePressNothingAndSpaceClicks)
{
    for (const char* name : {"Command1", "Check1"}) {
        SetFocus(Control(name));
        Press({VK_RETURN});
        Press({VK_ESCAPE});
    }
    EXPECT_EQ(vboard_call_count(), 0U);
    EXPECT_TRUE(Lines().empty());
    EXPECT_FALSE(Ticked(1));
    EXPECT_TRUE(IsWindowVisible(window));

    SetFocus(Control("Command1"));
    Press({VK_SPACE});
    EXPECT_EQ(Lines(), InitLines());
    SetFocus(Box(8));
    Press({VK_SPACE});
    EXPECT_TRUE(Ticked(8));
    Press({VK_SPACE});
    EXPECT_FALSE(Ticked(8));
    std::vector<std::wstring> expected = InitLines();
    expected.insert(expected.end(), {L" 128 ", L" 0 "});
    EXPECT_EQ(Lines(), expected);
}

using Win32Clicks = Win32Window;

TEST_F(Win32Clicks, TypicalUse)
{
    Click("Command1");
    EXPECT_EQ(Lines(), InitLines());
    EXPECT_EQ(vboard_is_open(), 1);
    EXPECT_EQ(vboard_bit_mode(), 1);

    Click("Check1");
    Click("Check3");
    std::vector<std::wstring> expected = InitLines();
    expected.insert(expected.end(), {L" 1 ", L" 5 "});
    EXPECT_EQ(Lines(), expected);
    EXPECT_TRUE(WrittenBytes().empty()) << "ticking wrote to the board";

    Click("Ausgabe");
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x05});
    EXPECT_EQ(Lines(), expected) << "sending printed";

    // Each untick raises its toggle inside ReleaseAll.
    Click("Command2");
    expected.insert(expected.end(), {L" 4 ", L" 0 "});
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0x05, 0x00}));
    EXPECT_FALSE(Ticked(1));
    EXPECT_FALSE(Ticked(3));

    Click("Command3");
    EXPECT_EQ(vboard_is_open(), 0);
    EXPECT_EQ(Lines(), expected) << "closing printed";
}

TEST_F(Win32Clicks, UntickBoxRaisesTheToggleOnlyWhenTheValueChanges)
{
    PanelServices& services = *form;
    services.UntickBox(3);
    EXPECT_TRUE(Lines().empty()) << "an unticked box raised its toggle";

    Click("Check3");
    EXPECT_EQ(services.BoxValue(3), 1);
    EXPECT_EQ(services.BoxValue(4), 0);
    services.UntickBox(3);
    EXPECT_EQ(services.BoxValue(3), 0);
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{L" 4 ", L" 0 "}));
}

// A refused close is the one failure the program survives, so its box can
// be watched here; the window goes on working after OK.
using Win32Boxes = Win32Window;

TEST_F(Win32Boxes, RefusedCloseShowsItsBoxModalToTheWindow)
{
    ASSERT_EQ(vboard_fail("FT_Close", 4), 0);
    BoxWatch watch(window);
    Click("Command3");

    const SeenBox& box = watch.box();
    ASSERT_TRUE(box.seen);
    EXPECT_EQ(box.title, L"pellmon");
    EXPECT_EQ(box.text, L"Schliessen FTDI Schaltkreis fehlerhaft");
    EXPECT_FALSE(box.icon);
    EXPECT_EQ(box.buttons, 1);
    EXPECT_TRUE(box.ownedByForm);
    EXPECT_TRUE(box.formDisabled) << "the box is not modal to the window";

    EXPECT_TRUE(IsWindowEnabled(window));
    Click("Check5");
    EXPECT_EQ(Lines(), std::vector<std::wstring>{L" 16 "});
}

using Win32StatusLines = Win32Window;

// Status lines are drawn on the window from its top-left corner; the
// controls cover them, and they come back after the window was minimised.
TEST_F(Win32StatusLines, DrawnBehindTheControlsAndAgainAfterMinimising)
{
    const Picture before = Grab(window);
    PanelServices& services = *form;
    const std::string wide(200, 'M');
    for (int i = 0; i < 40; ++i) {
        services.StatusPrint(wide);
    }
    UpdateWindow(window);
    Pump(window, 100);
    const Picture after = Grab(window);

    for (const layout::Control& control : layout::kTabOrder) {
        EXPECT_TRUE(before.SameAs(after, PlaceOf(Control(control.name))))
            << control.name << " lets a status line through";
    }
    // Left of the buttons and between the two rows, the lines show.
    const int dpi = ScreenDpi();
    const RECT corner{0, 0, layout::ToPixels(240, dpi), form->lineHeight()};
    const RECT between{0, layout::ToPixels(1335, dpi), after.width, layout::ToPixels(2400, dpi)};
    EXPECT_FALSE(before.SameAs(after, corner));
    EXPECT_FALSE(before.SameAs(after, between));

    ShowWindow(window, SW_MINIMIZE);
    Pump(window, 100);
    ShowWindow(window, SW_RESTORE);
    UpdateWindow(window);
    Pump(window, 100);
    const Picture restored = Grab(window);
    EXPECT_TRUE(restored.SameAs(after, {0, 0, after.width, after.height}));
}

// Only the lines whose top lies inside the window are kept; the rest are counted.
TEST_F(Win32StatusLines, KeptLinesStayBounded)
{
    PanelServices& services = *form;
    constexpr std::size_t kLines = 20'000;
    for (std::size_t i = 0; i < kLines; ++i) {
        services.StatusPrint(static_cast<std::uint8_t>(i % 256));
    }
    RECT client{};
    GetClientRect(window, &client);
    const std::size_t kept = Lines().size();
    EXPECT_LT(static_cast<int>(kept - 1) * form->lineHeight(), client.bottom) << "a kept line is out of sight";
    EXPECT_GE(static_cast<int>(kept) * form->lineHeight(), client.bottom) << "a line that shows was dropped";
    EXPECT_EQ(kept + form->linesBelowBottom(), kLines);
    EXPECT_EQ(Lines().at(1), L" 1 ");
}

// ---- The program's end, watched from a child process ----

// The child clicks the controls named in WIN32_CHILD_CLICKS (comma-separated)
// and says on stdout what each box showed and when each click came back. A
// failing driver call ends it inside one of the clicks.
using Win32Child = Win32Window;

TEST_F(Win32Child, DISABLED_ClickThrough)
{
    BoxWatch watch(window, [](const SeenBox& box) {
        std::string text = Narrow(box.text);
        for (char& c : text) {
            c = c == '\n' || c == '\r' ? ' ' : c;
        }
        std::printf("box|%s|%s|%d buttons|%zu lines\n", Narrow(box.title).c_str(), text.c_str(), box.buttons,
                    box.statusLines.size());
        std::fflush(stdout);
    });
    const char* clicks = std::getenv("WIN32_CHILD_CLICKS");
    std::istringstream names(clicks != nullptr ? clicks : "");
    for (std::string name; std::getline(names, name, ',');) {
        Click(name.c_str());
        std::printf("after %s\n", name.c_str());
        std::fflush(stdout);
    }
}

struct ChildRun {
    DWORD exitCode = STILL_ACTIVE;
    std::vector<std::string> lines;  // what the child said it saw and did, in order
    std::string output;
};

ChildRun RunChild(const wchar_t* clicks, const wchar_t* boardFaults)
{
    SetEnvironmentVariableW(L"WIN32_CHILD_CLICKS", clicks);
    SetEnvironmentVariableW(L"VBOARD_FAIL", boardFaults);
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE reading = nullptr;
    HANDLE writing = nullptr;
    ChildRun run;
    if (CreatePipe(&reading, &writing, &inherited, 0) == FALSE) {
        return run;
    }
    SetHandleInformation(reading, HANDLE_FLAG_INHERIT, 0);

    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(program) +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=Win32Child.DISABLED_ClickThrough";
    STARTUPINFOW start{};
    start.cb = sizeof(start);
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = writing;
    start.hStdError = writing;
    PROCESS_INFORMATION child{};
    const BOOL started =
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child);
    CloseHandle(writing);
    SetEnvironmentVariableW(L"WIN32_CHILD_CLICKS", nullptr);
    SetEnvironmentVariableW(L"VBOARD_FAIL", nullptr);
    if (started != FALSE) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(reading, buffer, sizeof(buffer), &got, nullptr) != FALSE && got > 0) {
            run.output.append(buffer, got);
        }
        WaitForSingleObject(child.hProcess, 30000);
        GetExitCodeProcess(child.hProcess, &run.exitCode);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
    }
    CloseHandle(reading);

    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("box|", 0) == 0 || line.rfind("after ", 0) == 0) {
            run.lines.push_back(line);
        }
    }
    return run;
}

// The nested echoes of ReleaseAll come before its write: when the write is
// refused, the box finds the four lines of the initialisation, the two ticks'
// echoes and both echoes of the unticks.
TEST(Win32End, RefusedWriteInReleaseAllShowsItsBoxAfterTheEchoesThenEnds)
{
    const ChildRun run = RunChild(L"Command1,Check2,Check8,Command2,Check1", L"FT_Write=4");
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(Form1::kEndedStatus)) << run.output;
    EXPECT_EQ(run.lines, (std::vector<std::string>{"after Command1", "after Check2", "after Check8",
                                                   "box|pellmon|Schreiben fehlerhaft|1 buttons|8 lines"}))
        << run.output;
}

TEST(Win32MissingFunction, IsNamedInTheBoxThenTheProgramEnds)
{
    const ChildRun run = RunChild(L"Command1,Check1", nullptr);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(Form1::kEndedStatus)) << run.output;
    ASSERT_EQ(run.lines.size(), 1U) << run.output;
    const std::string& box = run.lines.front();
    EXPECT_EQ(box.rfind("box|pellmon|", 0), 0U) << box;
    EXPECT_NE(box.find("FT_Open"), std::string::npos) << box;
    EXPECT_NE(box.find("FTD2XX.DLL"), std::string::npos) << box;
    EXPECT_NE(box.find("|1 buttons|0 lines"), std::string::npos) << box;
}

}  // namespace

int main(int argc, char* argv[])
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!Form1::RegisterWindowClass(GetModuleHandleW(nullptr))) {
        std::fputs("cannot register the window class\n", stderr);
        return 1;
    }
    return RUN_ALL_TESTS();
}
