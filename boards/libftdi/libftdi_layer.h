// The five D2XX functions as the open driver layer exports them, for the
// layer itself and for tests that call it directly. The panel never includes
// this: it binds the functions by name through Module1.
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
}
