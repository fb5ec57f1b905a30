// Installed next to relaypanel, with the same RUNPATH, by the install test
// only. It binds the driver library exactly as the program does, through
// Module1, and prints the file the loader took, then the status of FT_Close
// on handle 0.
#include "../recording_services.h"

#include <dlfcn.h>
#include <link.h>

#include <iostream>

int main()
{
    RecordingServices services;
    Module1 driver(services);
    d2xx::FT_STATUS status = d2xx::FT_OK;
    try {
        status = driver.FT_Close(nullptr);
    } catch (const ProgramEnded& ended) {
        std::cout << (ended.fault ? DescribeDriverFault(*ended.fault) : "ended") << "\n";
        return 2;
    }
    void* library = dlopen(d2xx::kLibraryName, RTLD_NOW | RTLD_NOLOAD);
    link_map* map = nullptr;
    if (library == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        std::cout << "the bound library is not loaded\n";
        return 3;
    }
    std::cout << map->l_name << "\n" << status << "\n";
    return 0;
}
