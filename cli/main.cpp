// relayctl's entry: hands the command line to RunRelayctl and exits with its status.
#include "relayctl.h"

#include <cstddef>
#include <iostream>
#include <span>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include "driver/safe_dll_search.h"

#include <windows.h>
#endif

int main(int argc, char* argv[])
{
#if defined(_WIN32)
    TakeWorkingFolderOutOfDllSearch();
    // A script has no one to answer a system error box (a drive not ready,
    // a damaged DLL): the failure comes back to the program, which reports it on stderr.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
#endif
    const std::span<char*> words(argv, static_cast<std::size_t>(argc));
    // The words after the program's own name; a start with no name at all has none.
    const std::vector<std::string_view> args(words.empty() ? words.end() : words.begin() + 1, words.end());
    return RunRelayctl(args, std::cout, std::cerr);
}
