// The program's entry: the one window, then the event loop.
#include "form1.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int show)
{
    if (!Form1::RegisterWindowClass(instance)) {
        return Form1::kEndedStatus;
    }
    HWND window = Form1::Create(instance);
    if (window == nullptr) {
        return Form1::kEndedStatus;
    }
    ShowWindow(window, show);
    UpdateWindow(window);
    return Form1::RunMessageLoop(window);
}
