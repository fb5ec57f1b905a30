// The program's entry: the one window, then the event loop.
#include "form1.h"

#include "driver/safe_dll_search.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int show)
{
    TakeWorkingFolderOutOfDllSearch();
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
