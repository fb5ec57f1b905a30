// The Win32 window on the virtual relay board, on a (virtual) display: its
// layout, the keys and clicks that drive the panel, the status lines, the
// message boxes and the program's end. A failing driver call ends the
// process, so those cases run this program again as a child and watch it.
#include "board_record.h"
#include "window/form1_layout.h"
#include "window/win32/form1.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <oleacc.h>
#include <windowsx.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace layout = form1_layout;

std::string Text(HWND window)
{
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<std::size_t>(GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::string ClassOf(HWND window)
{
    char name[64] = {};
    GetClassNameA(window, name, sizeof(name));
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

std::vector<std::string> LinesOf(const Form1& form)
{
    return form.statusLines().lines();
}

// Which of the system's icons a message box shows.
std::string IconKind(HICON icon)
{
    if (icon == nullptr) {
        return "no icon";
    }
    if (icon == LoadIconW(nullptr, IDI_ERROR)) {
        return "error icon";
    }
    return "other icon";
}

// What the message box showed while it was open, and what the window showed then.
struct SeenBox {
    bool seen = false;
    std::string title, text;
    std::string icon = "no icon";
    int buttons = 0;
    bool formDisabled = false;
    std::size_t lines = 0;
};

// Watches for the next message box of this thread, records it and presses
// OK. The box runs a message loop of its own, which a thread timer reaches.
struct BoxWatch {
    static inline HWND form = nullptr;
    static inline SeenBox seen;
    static inline bool report = false;  // the child says what it saw on stdout

    static void Start(HWND window)
    {
        form = window;
        seen = {};
        SetTimer(nullptr, 0, 20, &Tick);
    }

    static BOOL CALLBACK ReadPart(HWND part, LPARAM /*unused*/)
    {
        if (IsWindowVisible(part) == FALSE) {
            return TRUE;
        }
        if (ClassOf(part) == "Button") {
            ++seen.buttons;
        } else if ((GetWindowLongW(part, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            seen.icon = IconKind(reinterpret_cast<HICON>(SendMessageW(part, STM_GETICON, 0, 0)));
        } else if (!Text(part).empty()) {
            seen.text = Text(part);
        }
        return TRUE;
    }

    static void CALLBACK Tick(HWND /*window*/, UINT /*message*/, UINT_PTR timer, DWORD /*time*/)
    {
        HWND box = FindWindowA("#32770", nullptr);
        if (box == nullptr || GetWindowThreadProcessId(box, nullptr) != GetCurrentThreadId()) {
            return;
        }
        KillTimer(nullptr, timer);
        seen.seen = true;
        seen.title = Text(box);
        EnumChildWindows(box, &ReadPart, 0);
        seen.formDisabled = IsWindowEnabled(form) == FALSE;
        seen.lines = Form1::FromWindow(form)->statusLines().lines().size();
        if (report) {
            std::string text = seen.text;
            for (char& c : text) {
                c = c == '\n' || c == '\r' ? ' ' : c;
            }
            std::printf("box|%s|%s|%s|%d buttons|%zu lines\n", seen.title.c_str(), text.c_str(), seen.icon.c_str(),
                        seen.buttons, seen.lines);
            std::fflush(stdout);
        }
        SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    }
};

int ScreenDpi()
{
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

// A control's rectangle in its parent's client area.
RECT PlaceOf(HWND control)
{
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// The client area as drawn, one value per pixel, row by row.
struct Picture {
    RECT client{};
    std::vector<std::uint32_t> pixels;

    explicit Picture(HWND window)
    {
        GetClientRect(window, &client);
        HDC source = GetDC(window);
        HDC memory = CreateCompatibleDC(source);
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), client.right, -client.bottom, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, client.right, client.bottom, source, 0, 0, SRCCOPY);
        const auto* first = static_cast<const std::uint32_t*>(bits);
        pixels.assign(first, first + static_cast<std::ptrdiff_t>(client.right) * client.bottom);
        SelectObject(memory, previous);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(window, source);
    }

    [[nodiscard]] bool SameAs(const Picture& other, const RECT& area) const
    {
        for (LONG y = area.top; y < area.bottom; ++y) {
            for (LONG x = area.left; x < area.right; ++x) {
                const auto at =
                    static_cast<std::size_t>(y) * static_cast<std::size_t>(client.right) + static_cast<std::size_t>(x);
                if (pixels.at(at) != other.pixels.at(at)) {
                    return false;
                }
            }
        }
        return true;
    }
};

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

    [[nodiscard]] HWND Box(int relay) const
    {
        return form->Control(layout::kRelayBoxes.at(static_cast<std::size_t>(relay - 1)).name);
    }
    [[nodiscard]] bool Ticked(int relay) const { return Button_GetCheck(Box(relay)) == BST_CHECKED; }
    [[nodiscard]] std::vector<std::string> Lines() const { return LinesOf(*form); }
    void Click(const std::string& name) const
    {
        SendMessageW(form->Control(name), BM_CLICK, 0, 0);
        Pump(window);
    }

    // Presses the keys one after the other and lets them go in reverse order.
    void Press(std::initializer_list<WORD> keys) const
    {
        std::vector<INPUT> inputs(2 * keys.size());
        std::size_t i = 0;
        for (WORD key : keys) {
            inputs.at(i).type = inputs.at(inputs.size() - 1 - i).type = INPUT_KEYBOARD;
            inputs.at(i).ki.wVk = inputs.at(inputs.size() - 1 - i).ki.wVk = key;
            inputs.at(inputs.size() - 1 - i).ki.dwFlags = KEYEVENTF_KEYUP;
            ++i;
        }
        SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
        Pump(window, 150);
    }

    // The four lines of a successful initialisation.
    [[nodiscard]] std::vector<std::string> InitLines() const
    {
        const auto handle = reinterpret_cast<std::intptr_t>(form->panel().devHandle());
        return {" FTDI 232 RL erfolgreich geoeffnet", "FTDI hat den USBHandle : " + std::to_string(handle),
                "FTDI 232 Baudrate auf 300 Baud gesetzt", "serieller Bit-Bang Mode erfolgreich gesetzt"};
    }

    HWND window = nullptr;
    Form1* form = nullptr;
};

using Win32Layout = Win32Window;

TEST_F(Win32Layout, CaptionFixedFrameAndClientAreaAtTheSystemDpi)
{
    const int dpi = ScreenDpi();
    if (const char* systemDpi = std::getenv("RELAYPANEL_WINE_DPI")) {
        EXPECT_EQ(dpi, std::atoi(systemDpi));
    }
    EXPECT_EQ(Text(window), "FT232 RL  USB Relais Ansteuerung von Tellmar");
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 10815 * dpi / 1440);
    EXPECT_EQ(client.bottom, 5265 * dpi / 1440);
    const auto style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
    EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0U);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_CLIPCHILDREN), static_cast<DWORD>(WS_MINIMIZEBOX | WS_CLIPCHILDREN));
    EXPECT_TRUE(Lines().empty());
}

// Each control where the layout puts it, in the message font. A relay box is
// widened only as far as its caption needs, never into the next box.
TEST_F(Win32Layout, ControlsHaveTheirKindCaptionPlaceAndFont)
{
    const int dpi = ScreenDpi();
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0));

    for (const layout::Control& expected : layout::kTabOrder) {
        HWND control = form->Control(expected.name);
        ASSERT_NE(control, nullptr) << expected.name;
        EXPECT_EQ(ClassOf(control), "Button") << expected.name;
        EXPECT_EQ(Text(control), expected.caption) << expected.name;
        EXPECT_TRUE(IsWindowVisible(control) && IsWindowEnabled(control)) << expected.name;
        LOGFONTW font{};
        GetObjectW(GetWindowFont(control), sizeof(font), &font);
        EXPECT_EQ(std::wstring(font.lfFaceName), std::wstring(metrics.lfMessageFont.lfFaceName)) << expected.name;
        EXPECT_EQ(font.lfHeight, metrics.lfMessageFont.lfHeight) << expected.name;

        const RECT got = PlaceOf(control);
        EXPECT_EQ(got.left, layout::ToPixels(expected.left, dpi)) << expected.name;
        EXPECT_EQ(got.top, layout::ToPixels(expected.top, dpi)) << expected.name;
        EXPECT_EQ(got.bottom - got.top, layout::ToPixels(expected.height, dpi)) << expected.name;
        const int width = got.right - got.left;
        const auto style = static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE));
        if (expected.kind == layout::Kind::PushButton) {
            EXPECT_EQ(style & (BS_TYPEMASK | BS_MULTILINE), static_cast<DWORD>(BS_PUSHBUTTON | BS_MULTILINE))
                << expected.name << ": a default button, or one that does not wrap";
            EXPECT_EQ(width, layout::ToPixels(expected.width, dpi)) << expected.name;
        } else {
            EXPECT_EQ(style & BS_TYPEMASK, static_cast<DWORD>(BS_AUTOCHECKBOX)) << expected.name;
            EXPECT_FALSE(Button_GetCheck(control) == BST_CHECKED) << expected.name;
            SIZE ideal{};
            ASSERT_TRUE(Button_GetIdealSize(control, &ideal)) << expected.name << ": not a themed control";
            EXPECT_GE(width, ideal.cx) << expected.name << " cuts its caption";
            EXPECT_EQ(width, std::max<int>(ideal.cx, layout::ToPixels(expected.width, dpi))) << expected.name;
        }
    }
    for (int relay = 1; relay < 8; ++relay) {
        EXPECT_LE(PlaceOf(Box(relay)).right, PlaceOf(Box(relay + 1)).left) << "box " << relay << " reaches the next";
    }
}

using Win32Keys = Win32Window;

TEST_F(Win32Keys, FocusStartsOnCommand1AndTabFollowsTheTabIndexes)
{
    EXPECT_EQ(GetFocus(), form->Control("Command1"));
    for (const char* next : {"Command3", "Ausgabe", "Command2", "Check1", "Check2", "Check3", "Check4", "Check5",
                             "Check6", "Check7", "Check8", "Command1"}) {
        Press({VK_TAB});
        EXPECT_EQ(GetFocus(), form->Control(next)) << "Tab did not move on to " << next;
    }
    Press({VK_SHIFT, VK_TAB});
    EXPECT_EQ(GetFocus(), form->Control("Check8"));
}

// No default and no cancel button: Enter and Esc press nothing. Space clicks
// the focused control.
TEST_F(Win32Keys, EnterAndEscapePressNothingAndSpaceClicks)
{
    for (const char* name : {"Command1", "Check1"}) {
        SetFocus(form->Control(name));
        Press({VK_RETURN});
        Press({VK_ESCAPE});
    }
    EXPECT_EQ(vboard_call_count(), 0U);
    EXPECT_TRUE(Lines().empty());
    EXPECT_FALSE(Ticked(1));

    SetFocus(form->Control("Command1"));
    Press({VK_SPACE});
    SetFocus(Box(8));
    Press({VK_SPACE});
    EXPECT_TRUE(Ticked(8));
    Press({VK_SPACE});
    std::vector<std::string> expected = InitLines();
    expected.insert(expected.end(), {" 128 ", " 0 "});
    EXPECT_EQ(Lines(), expected);
}

// A keyboard user who switches to another window and back finds the focus
// on the box they were on.
TEST_F(Win32Keys, FocusComesBackToTheBoxAfterAnotherWindowWasActive)
{
    for (int i = 0; i < 5; ++i) {
        Press({VK_TAB});
    }
    ASSERT_EQ(GetFocus(), Box(2));
    Press({VK_SPACE});
    EXPECT_TRUE(Ticked(2));

    HWND other = CreateWindowExW(0, WC_STATICW, L"another window", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    SetForegroundWindow(other);
    Pump(window, 100);
    EXPECT_EQ(GetActiveWindow(), other);
    EXPECT_NE(GetFocus(), Box(2));

    SetForegroundWindow(window);
    Pump(window, 100);
    EXPECT_EQ(GetActiveWindow(), window);
    EXPECT_EQ(GetFocus(), Box(2)) << "the focus did not come back to the box";
    DestroyWindow(other);
}

using Win32Clicks = Win32Window;

TEST_F(Win32Clicks, TypicalUse)
{
    Click("Command1");
    EXPECT_EQ(Lines(), InitLines());
    EXPECT_EQ(vboard_bit_mode(), 1);
    Click("Check1");
    Click("Check3");
    Click("Ausgabe");
    EXPECT_EQ(WrittenBytes(), std::vector<std::uint8_t>{0x05});
    // Each untick raises its box's toggle inside ReleaseAll.
    Click("Command2");
    EXPECT_FALSE(Ticked(1) || Ticked(3));
    EXPECT_EQ(WrittenBytes(), (std::vector<std::uint8_t>{0x05, 0x00}));
    Click("Command3");
    EXPECT_EQ(vboard_is_open(), 0);
    std::vector<std::string> expected = InitLines();
    expected.insert(expected.end(), {" 1 ", " 5 ", " 4 ", " 0 "});
    EXPECT_EQ(Lines(), expected);
}

TEST_F(Win32Clicks, UntickBoxRaisesTheToggleOnlyWhenTheValueChanges)
{
    PanelServices& services = *form;
    services.UntickBox(3);
    EXPECT_TRUE(Lines().empty()) << "an unticked box raised its toggle";
    Click("Check3");
    EXPECT_EQ(services.BoxValue(3), 1);
    services.UntickBox(3);
    EXPECT_EQ(services.BoxValue(3), 0);
    EXPECT_EQ(Lines(), (std::vector<std::string>{" 4 ", " 0 "}));
}

// A refused close is the one failure the program survives; after OK the
// window goes on working.
TEST_F(Win32Clicks, RefusedCloseShowsItsBoxModalToTheWindow)
{
    ASSERT_EQ(vboard_fail("FT_Close", 4), 0);
    BoxWatch::Start(window);
    Click("Command3");
    const SeenBox& box = BoxWatch::seen;
    ASSERT_TRUE(box.seen);
    EXPECT_EQ(box.title, "pellmon");
    EXPECT_EQ(box.text, "Schliessen FTDI Schaltkreis fehlerhaft");
    EXPECT_EQ(box.icon, "no icon");
    EXPECT_EQ(box.buttons, 1);
    EXPECT_TRUE(box.formDisabled) << "the box is not modal to the window";
    Click("Check5");
    EXPECT_EQ(Lines(), std::vector<std::string>{" 16 "});
}

using Win32StatusLines = Win32Window;

// Drawn from the top-left corner, covered by the controls, drawn again after
// the window was minimised, and kept only as far as they can be seen.
TEST_F(Win32StatusLines, DrawnBehindTheControlsAgainAfterMinimisingAndBounded)
{
    const Picture before(window);
    for (int i = 0; i < 40; ++i) {
        form->StatusPrint(std::string(200, 'M'));
    }
    UpdateWindow(window);
    const Picture after(window);
    for (const layout::Control& control : layout::kTabOrder) {
        EXPECT_TRUE(before.SameAs(after, PlaceOf(form->Control(control.name)))) << control.name << " shows a line";
    }
    const int dpi = ScreenDpi();
    const int lineHeight = form->statusLines().lineHeight();
    EXPECT_FALSE(before.SameAs(after, {0, 0, layout::ToPixels(240, dpi), lineHeight}));
    EXPECT_FALSE(
        before.SameAs(after, {0, layout::ToPixels(1335, dpi), after.client.right, layout::ToPixels(2400, dpi)}));

    ShowWindow(window, SW_MINIMIZE);
    Pump(window, 100);
    ShowWindow(window, SW_RESTORE);
    UpdateWindow(window);
    Pump(window, 100);
    EXPECT_TRUE(Picture(window).SameAs(after, after.client));

    // Only the lines whose top lies inside the window are kept; the rest are counted.
    for (int i = 0; i < 20'000; ++i) {
        form->StatusPrint(static_cast<std::uint8_t>(i % 256));
    }
    const auto kept = static_cast<int>(Lines().size());
    EXPECT_LT((kept - 1) * lineHeight, after.client.bottom) << "a kept line is out of sight";
    EXPECT_GE(kept * lineHeight, after.client.bottom) << "a line that shows was dropped";
    EXPECT_EQ(Lines().size() + form->statusLines().linesBelowBottom(), 20'040U);
}

using Win32Accessibility = Win32Window;

// The interface id, defined here: MinGW-w64's import library gives a wrong one.
const IID kIAccessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

std::vector<HWND> g_nameChanges;  // the windows whose client object's name changed, in order

void CALLBACK RecordNameChange(HWINEVENTHOOK /*hook*/, DWORD event, HWND changed, LONG object, LONG child,
                               DWORD /*thread*/, DWORD /*time*/)
{
    if (event == EVENT_OBJECT_NAMECHANGE && object == OBJID_CLIENT && child == CHILDID_SELF) {
        g_nameChanges.push_back(changed);
    }
}

BOOL CALLBACK CollectChild(HWND child, LPARAM children)
{
    reinterpret_cast<std::vector<HWND>*>(children)->push_back(child);
    return TRUE;
}

// What a screen reader gets of the status lines: one static text child of
// the window whose text is the lines, those below the bottom edge too,
// announced as each line comes, never in the keyboard's way.
TEST_F(Win32Accessibility, StatusLinesAreOneStaticTextAnnouncedOnEveryLine)
{
    g_nameChanges.clear();
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_NAMECHANGE, nullptr, &RecordNameChange,
                                         GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    ASSERT_NE(hook, nullptr);
    Click("Command1");
    Click("Check3");
    // Up to line 40; the last ones fall below the window's bottom edge.
    for (int line = 6; line <= 40; ++line) {
        form->StatusPrint("line " + std::to_string(line));
    }
    Pump(window, 100);
    UnhookWinEvent(hook);
    ASSERT_GT(form->statusLines().linesBelowBottom(), 0U);

    std::vector<HWND> children;
    EnumChildWindows(window, &CollectChild, reinterpret_cast<LPARAM>(&children));
    std::vector<HWND> others;
    std::copy_if(children.begin(), children.end(), std::back_inserter(others),
                 [](HWND child) { return ClassOf(child) != "Button"; });
    ASSERT_EQ(others.size(), 1U) << "the status lines are not one child window beside the twelve controls";
    HWND status = others.front();
    // Windows' own accessible object for a static control is static text
    // that takes no focus. Wine's oleacc gives every child window a plain
    // client object instead, so the kind is checked through the class.
    EXPECT_EQ(ClassOf(status), "Static");
    EXPECT_NE(SendMessageW(status, WM_GETDLGCODE, 0, 0) & DLGC_STATIC, 0) << "the dialog manager may focus it";
    EXPECT_EQ(GetWindowLongW(status, GWL_STYLE) & WS_TABSTOP, 0);
    EXPECT_TRUE(IsWindowVisible(status));
    std::string expected;
    for (const std::string& line : InitLines()) {
        expected += line + "\n";
    }
    expected += " 4 ";
    for (int line = 6; line <= 40; ++line) {
        expected += "\nline " + std::to_string(line);
    }
    EXPECT_EQ(Text(status), expected);
    EXPECT_EQ(g_nameChanges, std::vector<HWND>(40, status)) << "not every line was announced";

    IAccessible* accessible = nullptr;
    ASSERT_EQ(AccessibleObjectFromWindow(status, static_cast<DWORD>(OBJID_CLIENT), kIAccessible,
                                         reinterpret_cast<void**>(&accessible)),
              S_OK);
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    EXPECT_EQ(accessible->get_accName(self, &name), S_OK);
    EXPECT_EQ(std::wstring(name != nullptr ? name : L""), std::wstring(expected.begin(), expected.end()));
    SysFreeString(name);
    accessible->Release();
}

// Closing the window the way an operator does (the system menu's Close,
// Alt+F4) ends the program itself, with status 0.
TEST(Win32Program, ClosingTheWindowEndsTheProgram)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring program(path);
    program.replace(program.find_last_of(L'\\') + 1, std::wstring::npos, L"relaypanel.exe");
    std::wstring command = L"\"" + program + L"\"";
    STARTUPINFOW start{};
    start.cb = sizeof(start);
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &child))
        << "cannot start relaypanel.exe beside the test";
    WaitForInputIdle(child.hProcess, 10000);
    HWND panel = nullptr;
    for (int waited = 0; panel == nullptr && waited < 10000; waited += 50) {
        for (HWND found = FindWindowW(Form1::kClassName, nullptr); found != nullptr;
             found = FindWindowExW(nullptr, found, Form1::kClassName, nullptr)) {
            DWORD process = 0;
            GetWindowThreadProcessId(found, &process);
            if (process == child.dwProcessId) {
                panel = found;
            }
        }
        if (panel == nullptr && WaitForSingleObject(child.hProcess, 50) == WAIT_OBJECT_0) {
            break;  // it ended without a window
        }
    }
    if (panel == nullptr) {
        // Nothing below can work without the window: stop here, and the program with it.
        DWORD early = STILL_ACTIVE;
        GetExitCodeProcess(child.hProcess, &early);
        TerminateProcess(child.hProcess, 1);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        if (early != STILL_ACTIVE) {
            FAIL() << "relaypanel.exe ended with status " << early << " without showing its window";
        }
        FAIL() << "relaypanel.exe showed no window within 10 s; stopped it";
    }
    PostMessageW(panel, WM_SYSCOMMAND, SC_CLOSE, 0);
    const DWORD ended = WaitForSingleObject(child.hProcess, 5000);
    DWORD status = STILL_ACTIVE;
    GetExitCodeProcess(child.hProcess, &status);
    if (ended != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, 1);
    }
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    EXPECT_EQ(ended, WAIT_OBJECT_0) << "still running 5 s after its window was closed";
    EXPECT_EQ(status, 0U);
}

// ---- The program's end, watched from a child process ----

// The child clicks the controls named in WIN32_CHILD_CLICKS, one after the
// other, and says on stdout what each box showed and when each click came back.
TEST_F(Win32Clicks, DISABLED_ChildClicksThrough)
{
    BoxWatch::report = true;
    BoxWatch::Start(window);
    const char* clicks = std::getenv("WIN32_CHILD_CLICKS");
    std::istringstream names(clicks != nullptr ? clicks : "");
    for (std::string name; std::getline(names, name, ',');) {
        Click(name);
        std::printf("after %s\n", name.c_str());
        std::fflush(stdout);
    }
}

struct ChildRun {
    DWORD exitCode = STILL_ACTIVE;
    std::string output;
    std::vector<std::string> said;  // the box and "after" lines, in order
};

ChildRun RunChild(const wchar_t* clicks, const wchar_t* boardFaults)
{
    // An earlier case may have left the board open: the child, another
    // process, would find it in use.
    vboard_reset();
    SetEnvironmentVariableW(L"WIN32_CHILD_CLICKS", clicks);
    SetEnvironmentVariableW(L"VBOARD_FAIL", boardFaults);
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE reading = nullptr;
    HANDLE writing = nullptr;
    CreatePipe(&reading, &writing, &inherited, 0);
    SetHandleInformation(reading, HANDLE_FLAG_INHERIT, 0);
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(program) +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=Win32Clicks.DISABLED_ChildClicksThrough";
    STARTUPINFOW start{};
    start.cb = sizeof(start);
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = start.hStdError = writing;
    PROCESS_INFORMATION child{};
    ChildRun run;
    const BOOL started =
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child);
    CloseHandle(writing);
    if (started != FALSE) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(reading, buffer, sizeof(buffer), &got, nullptr) != FALSE && got > 0) {
            run.output.append(buffer, got);
        }
        WaitForSingleObject(child.hProcess, INFINITE);
        GetExitCodeProcess(child.hProcess, &run.exitCode);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
    }
    CloseHandle(reading);
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("box|", 0) == 0 || line.rfind("after ", 0) == 0) {
            run.said.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
        }
    }
    return run;
}

// ReleaseAll's nested echoes come before its write: the box of the refused
// write finds the four lines of the initialisation, two ticks and two unticks.
TEST(Win32End, RefusedWriteInReleaseAllShowsItsBoxAfterTheEchoesThenEnds)
{
    const ChildRun run = RunChild(L"Command1,Check2,Check8,Command2,Check1", L"FT_Write=4");
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(Form1::kEndedStatus)) << run.output;
    EXPECT_EQ(run.said, (std::vector<std::string>{"after Command1", "after Check2", "after Check8",
                                                  "box|pellmon|Schreiben fehlerhaft|no icon|1 buttons|8 lines"}))
        << run.output;
}

TEST(Win32MissingFunction, IsNamedInTheBoxThenTheProgramEnds)
{
    const ChildRun run = RunChild(L"Command1,Check1", nullptr);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(Form1::kEndedStatus)) << run.output;
    ASSERT_EQ(run.said.size(), 1U) << run.output;
    EXPECT_EQ(run.said.front().rfind("box|pellmon|Die Funktion FT_Open fehlt in der Treiberbibliothek FTD2XX.DLL", 0),
              0U)
        << run.said.front();
    EXPECT_NE(run.said.front().find("|error icon|1 buttons|0 lines"), std::string::npos) << run.said.front();
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
