// A DLL that needs the driver library: it imports from FTD2XX.DLL, so
// Windows looks that up wherever it loads this one from.
#include "virtual_board_control.h"

extern "C" __declspec(dllexport) void driver_dependent_reset()
{
    vboard_reset();
}
