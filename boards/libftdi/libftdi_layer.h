// The D2XX functions as the open driver layer exports them, for the layer
// itself and for tests that call it directly. The programs never include
// this: they bind the functions by name through Module1.
#pragma once

#include "../../driver/d2xx.h"

#include <cstdint>

#if defined(_WIN32)
#define FTDI_LAYER_API __declspec(dllexport)
#else
#define FTDI_LAYER_API __attribute__((visibility("default")))
#endif

extern "C" {
FTDI_LAYER_API d2xx::FT_STATUS FTAPI FT_Open(int deviceNumber, d2xx::FT_HANDLE* handle);
FTDI_LAYER_API d2xx::FT_STATUS FTAPI FT_SetBaudRate(d2xx::FT_HANDLE handle, std::uint32_t baudRate);
FTDI_LAYER_API d2xx::FT_STATUS FTAPI FT_SetBitMode(d2xx::FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode);
FTDI_LAYER_API d2xx::FT_STATUS FTAPI FT_Write(d2xx::FT_HANDLE handle, void* buffer, std::uint32_t bytesToWrite,
                                              std::uint32_t* bytesWritten);
FTDI_LAYER_API d2xx::FT_STATUS FTAPI FT_Close(d2xx::FT_HANDLE handle);

// Reads the eight data lines as they are now (vendor request 0x0C).
FTDI_LAYER_API d2xx::FT_STATUS FTAPI FT_GetBitMode(d2xx::FT_HANDLE handle, std::uint8_t* lines);
// Lists the attached FTDI devices in the order FT_Open counts them and keeps
// the list for FT_GetDeviceInfoDetail. Location ids: the bus number in the
// top byte, then one nibble per port from the root hub down.
FTDI_LAYER_API d2xx::FT_STATUS FTAPI FT_CreateDeviceInfoList(std::uint32_t* deviceCount);
FTDI_LAYER_API d2xx::FT_STATUS FTAPI FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                                            std::uint32_t* type, std::uint32_t* id,
                                                            std::uint32_t* locationId, void* serialNumber,
                                                            void* description, d2xx::FT_HANDLE* handle);
// Opens the first device with that serial number or description (a
// null-terminated string); other ways of naming a device are not supported.
FTDI_LAYER_API d2xx::FT_STATUS FTAPI FT_OpenEx(void* argument, std::uint32_t flags, d2xx::FT_HANDLE* handle);
}
