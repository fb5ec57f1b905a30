// The slice of the D2XX driver interface the programs call: types, the
// calling convention, status codes and the signatures of the functions. The
// panel calls five of them; relayctl also lists the devices, opens one by
// serial number and reads the lines back. The binding looks the functions up
// by these names; every stand-in driver library exports them with exactly
// these signatures.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

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
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED_FOR_ERASE = 8;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED_FOR_WRITE = 9;
inline constexpr FT_STATUS FT_FAILED_TO_WRITE_DEVICE = 10;
inline constexpr FT_STATUS FT_EEPROM_READ_FAILED = 11;
inline constexpr FT_STATUS FT_EEPROM_WRITE_FAILED = 12;
inline constexpr FT_STATUS FT_EEPROM_ERASE_FAILED = 13;
inline constexpr FT_STATUS FT_EEPROM_NOT_PRESENT = 14;
inline constexpr FT_STATUS FT_EEPROM_NOT_PROGRAMMED = 15;
inline constexpr FT_STATUS FT_INVALID_ARGS = 16;
inline constexpr FT_STATUS FT_NOT_SUPPORTED = 17;
inline constexpr FT_STATUS FT_OTHER_ERROR = 18;
inline constexpr FT_STATUS FT_DEVICE_LIST_NOT_READY = 19;

// The status's name as the programmer's guide spells it ("FT_IO_ERROR"), or
// an empty view for a value it does not name.
constexpr std::string_view StatusName(FT_STATUS status)
{
    constexpr std::array<std::string_view, 20> kNames = {
        "FT_OK",
        "FT_INVALID_HANDLE",
        "FT_DEVICE_NOT_FOUND",
        "FT_DEVICE_NOT_OPENED",
        "FT_IO_ERROR",
        "FT_INSUFFICIENT_RESOURCES",
        "FT_INVALID_PARAMETER",
        "FT_INVALID_BAUD_RATE",
        "FT_DEVICE_NOT_OPENED_FOR_ERASE",
        "FT_DEVICE_NOT_OPENED_FOR_WRITE",
        "FT_FAILED_TO_WRITE_DEVICE",
        "FT_EEPROM_READ_FAILED",
        "FT_EEPROM_WRITE_FAILED",
        "FT_EEPROM_ERASE_FAILED",
        "FT_EEPROM_NOT_PRESENT",
        "FT_EEPROM_NOT_PROGRAMMED",
        "FT_INVALID_ARGS",
        "FT_NOT_SUPPORTED",
        "FT_OTHER_ERROR",
        "FT_DEVICE_LIST_NOT_READY",
    };
    return status < kNames.size() ? kNames.at(status) : std::string_view{};
}

// Bit modes accepted by FT_SetBitMode.
inline constexpr std::uint8_t FT_BITMODE_RESET = 0x00;
inline constexpr std::uint8_t FT_BITMODE_ASYNC_BITBANG = 0x01;
inline constexpr std::uint8_t FT_BITMODE_SYNC_BITBANG = 0x04;

// How FT_OpenEx reads its first argument; by serial number it is a
// null-terminated string.
inline constexpr std::uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
inline constexpr std::uint32_t FT_OPEN_BY_DESCRIPTION = 2;
inline constexpr std::uint32_t FT_OPEN_BY_LOCATION = 4;

// What FT_GetDeviceInfoDetail tells of a device. The flags: open (by this or
// another process) and high speed. The type of an FT232R or FT245R, and the
// ID as vendor << 16 | product. The serial number and description buffers
// the caller hands in must hold this many bytes, the terminating null included.
inline constexpr std::uint32_t FT_FLAGS_OPENED = 1;
inline constexpr std::uint32_t FT_FLAGS_HISPEED = 2;
inline constexpr std::uint32_t FT_DEVICE_232R = 5;
inline constexpr std::uint32_t kFT232RId = 0x04036001;
inline constexpr std::size_t kSerialNumberSize = 16;
inline constexpr std::size_t kDescriptionSize = 64;

using FT_Open_t = FT_STATUS(FTAPI*)(int deviceNumber, FT_HANDLE* handle);
using FT_SetBaudRate_t = FT_STATUS(FTAPI*)(FT_HANDLE handle, std::uint32_t baudRate);
using FT_SetBitMode_t = FT_STATUS(FTAPI*)(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode);
using FT_Write_t = FT_STATUS(FTAPI*)(FT_HANDLE handle, void* buffer, std::uint32_t bytesToWrite,
                                     std::uint32_t* bytesWritten);
using FT_Close_t = FT_STATUS(FTAPI*)(FT_HANDLE handle);
// The instantaneous value of the eight data lines.
using FT_GetBitMode_t = FT_STATUS(FTAPI*)(FT_HANDLE handle, std::uint8_t* lines);
// Builds the driver's list of attached devices and tells how many it holds.
using FT_CreateDeviceInfoList_t = FT_STATUS(FTAPI*)(std::uint32_t* deviceCount);
// One entry of that list; serialNumber and description point to buffers of
// kSerialNumberSize and kDescriptionSize bytes.
using FT_GetDeviceInfoDetail_t = FT_STATUS(FTAPI*)(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                                   std::uint32_t* id, std::uint32_t* locationId, void* serialNumber,
                                                   void* description, FT_HANDLE* handle);
using FT_OpenEx_t = FT_STATUS(FTAPI*)(void* argument, std::uint32_t flags, FT_HANDLE* handle);

// File name of the driver library, found through the system's search rules.
#if defined(_WIN32)
inline constexpr const char* kLibraryName = "FTD2XX.DLL";
#elif defined(__APPLE__)
inline constexpr const char* kLibraryName = "libftd2xx.dylib";
#else
inline constexpr const char* kLibraryName = "libftd2xx.so";
#endif

}  // namespace d2xx
