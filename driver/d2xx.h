// The slice of the D2XX driver interface this program calls: types, the
// calling convention, status codes and the signatures of the five functions.
// The binding looks the functions up by these names; every stand-in driver
// library exports them with exactly these signatures.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define FTAPI __stdcall
#else
#define FTAPI
#endif

namespace d2xx {

// Every call answers with a 32-bit status; 0 alone means success.
using FT_STATUS = std::uint32_t;
// Opaque and pointer-sized; the program never looks inside it.
using FT_HANDLE = void*;

// Status values as the D2XX programmer's guide numbers them.
inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_STATUS FT_INVALID_HANDLE = 1;
inline constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
inline constexpr FT_STATUS FT_IO_ERROR = 4;
inline constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
inline constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
inline constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;
inline constexpr FT_STATUS FT_NOT_SUPPORTED = 17;
inline constexpr FT_STATUS FT_OTHER_ERROR = 18;

// Bit modes accepted by FT_SetBitMode.
inline constexpr std::uint8_t FT_BITMODE_RESET = 0x00;
inline constexpr std::uint8_t FT_BITMODE_ASYNC_BITBANG = 0x01;
inline constexpr std::uint8_t FT_BITMODE_SYNC_BITBANG = 0x04;

using FT_Open_t = FT_STATUS(FTAPI*)(int deviceNumber, FT_HANDLE* handle);
using FT_SetBaudRate_t = FT_STATUS(FTAPI*)(FT_HANDLE handle, std::uint32_t baudRate);
using FT_SetBitMode_t = FT_STATUS(FTAPI*)(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode);
using FT_Write_t = FT_STATUS(FTAPI*)(FT_HANDLE handle, void* buffer, std::uint32_t bytesToWrite,
                                     std::uint32_t* bytesWritten);
using FT_Close_t = FT_STATUS(FTAPI*)(FT_HANDLE handle);

// File name of the driver library, found through the system's search rules.
#if defined(_WIN32)
inline constexpr const char* kLibraryName = "FTD2XX.DLL";
#elif defined(__APPLE__)
inline constexpr const char* kLibraryName = "libftd2xx.dylib";
#else
inline constexpr const char* kLibraryName = "libftd2xx.so";
#endif

}  // namespace d2xx
