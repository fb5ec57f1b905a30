// Test control of the libusb-1.0 stand-in: plug emulated FTDI chips in and
// out, make calls fail, and read back every call that reached the USB.
//
// The stand-in is built as libusb-1.0.so.0 and loaded ahead of the system's
// libusb, so the real libftdi1 talks to it. Each attached device answers with
// the descriptors of the real chip: an FT232R is vendor 0x0403, product
// 0x6001, one configuration with one vendor-specific interface and bulk
// endpoints 0x81 IN and 0x02 OUT of 64 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#define USB_STAND_IN_API __attribute__((visibility("default")))

namespace usb_stand_in {

// Product ids of the FTDI chips the stand-in can emulate.
inline constexpr std::uint16_t kFT232R = 0x6001;  // also the FT245R
inline constexpr std::uint16_t kFT2232 = 0x6010;
inline constexpr std::uint16_t kFT232H = 0x6014;

// One call that reached a device, oldest first.
struct Event {
    std::string call;              // the libusb function, e.g. "libusb_claim_interface"
    int result = 0;                // what it returned: 0 or bytes moved, or a LIBUSB_ERROR code
    std::uint8_t address = 0;      // the device's address on the bus
    int number = -1;               // interface or configuration, where the call takes one
    std::uint8_t requestType = 0;  // control transfers
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint8_t endpoint = 0;       // bulk transfers
    int transferred = 0;             // bulk transfers: bytes the device took or gave
    std::vector<std::uint8_t> data;  // bytes sent, or bytes answered
};

// Unplugs every device, forgets faults and events. Devices that are still
// open somewhere stay valid, but answer as unplugged.
USB_STAND_IN_API void Reset();

// Plugs in one chip with the kernel's serial driver bound to it; returns
// its address on the bus.
USB_STAND_IN_API std::uint8_t Attach(std::uint16_t product = kFT232R);
// Unplugs the chip at that address.
USB_STAND_IN_API void Detach(std::uint8_t address);

// From now on the call answers with this LIBUSB_ERROR code; a control
// transfer with that request, or only with that request and value.
USB_STAND_IN_API void FailOpen(int error);
USB_STAND_IN_API void FailRelease(int error);
USB_STAND_IN_API void FailControl(std::uint8_t request, int error, std::optional<std::uint16_t> value = std::nullopt);
USB_STAND_IN_API void FailBulkOut(int error);
// From now on a bulk OUT transfer times out after the device took at most
// this many bytes, as when the chip stops reading.
USB_STAND_IN_API void StallBulkOutAfter(int bytes);

USB_STAND_IN_API std::vector<Event> Events();
USB_STAND_IN_API void ClearEvents();

// State of the chip at that address: the data lines D0..D7 as it drives
// them (lines set as inputs read 0), its bit mode and bit mask, and whether
// the kernel's serial driver is still bound to it.
USB_STAND_IN_API std::uint8_t Lines(std::uint8_t address);
USB_STAND_IN_API std::uint8_t BitMode(std::uint8_t address);
USB_STAND_IN_API bool KernelDriverBound(std::uint8_t address);

// What is alive: libusb contexts, open device handles, device references
// held outside the bus itself.
USB_STAND_IN_API int LiveContexts();
USB_STAND_IN_API int OpenHandles();
USB_STAND_IN_API int DeviceReferences();

}  // namespace usb_stand_in
