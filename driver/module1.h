// Module1: the binding of the D2XX functions the programs call: the five of
// the relay panel, and the four more relayctl needs to choose a board and
// read its lines.
//
// The driver library is loaded at the first call, each function is looked up
// by name at its own first call, and the address is kept for every later
// call, so a library that lacks a function no one calls serves well. A
// library or function that cannot be found is reported through FatalError,
// which ends the program.
#pragma once

#include "d2xx.h"

#include <cstdint>

class PanelServices;

class Module1 {
public:
    explicit Module1(PanelServices& services);
    Module1(const Module1&) = delete;
    Module1& operator=(const Module1&) = delete;
    Module1(Module1&&) = delete;
    Module1& operator=(Module1&&) = delete;
    // The library stays loaded: a device left open belongs to the driver
    // until the process ends, and unloading it under an open device is unsafe.
    ~Module1() = default;

    d2xx::FT_STATUS FT_Open(int deviceNumber, d2xx::FT_HANDLE* handle);
    d2xx::FT_STATUS FT_SetBaudRate(d2xx::FT_HANDLE handle, std::uint32_t baudRate);
    d2xx::FT_STATUS FT_SetBitMode(d2xx::FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode);
    d2xx::FT_STATUS FT_Write(d2xx::FT_HANDLE handle, void* buffer, std::uint32_t bytesToWrite,
                             std::uint32_t* bytesWritten);
    d2xx::FT_STATUS FT_Close(d2xx::FT_HANDLE handle);

    d2xx::FT_STATUS FT_GetBitMode(d2xx::FT_HANDLE handle, std::uint8_t* lines);
    d2xx::FT_STATUS FT_CreateDeviceInfoList(std::uint32_t* deviceCount);
    d2xx::FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                           std::uint32_t* id, std::uint32_t* locationId, void* serialNumber,
                                           void* description, d2xx::FT_HANDLE* handle);
    d2xx::FT_STATUS FT_OpenEx(void* argument, std::uint32_t flags, d2xx::FT_HANDLE* handle);

private:
    // Loads the library on first use and returns the address of the named
    // function; reports a failure through FatalError and does not return then.
    void* Lookup(const char* function);
    // The function in that slot, looked up by name when the slot is still empty.
    template <typename Function>
    Function Bound(Function& slot, const char* name);

    PanelServices& m_services;
    void* m_library = nullptr;
    d2xx::FT_Open_t m_open = nullptr;
    d2xx::FT_SetBaudRate_t m_setBaudRate = nullptr;
    d2xx::FT_SetBitMode_t m_setBitMode = nullptr;
    d2xx::FT_Write_t m_write = nullptr;
    d2xx::FT_Close_t m_close = nullptr;
    d2xx::FT_GetBitMode_t m_getBitMode = nullptr;
    d2xx::FT_CreateDeviceInfoList_t m_createDeviceInfoList = nullptr;
    d2xx::FT_GetDeviceInfoDetail_t m_getDeviceInfoDetail = nullptr;
    d2xx::FT_OpenEx_t m_openEx = nullptr;
};
