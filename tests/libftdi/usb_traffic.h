// Reading the stand-in's record of USB traffic in tests, and catching what
// the layer writes to stderr.
#pragma once

#include "usb_stand_in.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace usb_stand_in {

// Shown by gtest when an expectation on events fails.
inline void PrintTo(const Event& event, std::ostream* out)
{
    *out << event.call << " -> " << event.result << std::hex;
    if (event.call == "libusb_control_transfer") {
        *out << " type 0x" << unsigned{event.requestType} << " request 0x" << unsigned{event.request} << " value 0x"
             << event.value << " index 0x" << event.index;
    } else if (event.call == "libusb_bulk_transfer") {
        *out << " endpoint 0x" << unsigned{event.endpoint} << " took " << std::dec << event.transferred << std::hex;
    } else if (event.number >= 0) {
        *out << " number " << event.number;
    }
    for (const std::uint8_t byte : event.data) {
        *out << " " << unsigned{byte};
    }
    *out << std::dec;
}

}  // namespace usb_stand_in

namespace usb_traffic {

using usb_stand_in::Event;

// FTDI vendor requests, as sent host to device.
inline constexpr std::uint8_t kVendorOut = 0x40;
inline constexpr std::uint8_t kSioSetBaudRate = 0x03;
inline constexpr std::uint8_t kSioSetBitMode = 0x0B;
inline constexpr std::uint8_t kBulkOut = 0x02;
// The FT232R divides 3 MHz by the divisor: 10000 = 0x2710 for 300 baud.
inline constexpr std::uint16_t kDivisorFor300Baud = 0x2710;
// Mode 1 (asynchronous bit-bang) in the high byte, mask 0xFF in the low byte.
inline constexpr std::uint16_t kAsyncBitBangAllLines = 0x01FF;

inline bool IsCall(const Event& event, const char* call)
{
    return event.call == call;
}

inline bool IsVendorRequest(const Event& event, std::uint8_t request)
{
    return IsCall(event, "libusb_control_transfer") && event.requestType == kVendorOut && event.request == request;
}

inline bool IsBulkOut(const Event& event)
{
    return IsCall(event, "libusb_bulk_transfer") && event.endpoint == kBulkOut;
}

inline std::vector<Event> Only(const std::vector<Event>& events, const std::function<bool(const Event&)>& keep)
{
    std::vector<Event> kept;
    std::copy_if(events.begin(), events.end(), std::back_inserter(kept), keep);
    return kept;
}

// Position of the first event after `from` that matches, or events.size().
inline std::size_t Find(const std::vector<Event>& events, const std::function<bool(const Event&)>& match,
                        std::size_t from = 0)
{
    const auto it =
        std::find_if(events.begin() + static_cast<std::ptrdiff_t>(std::min(from, events.size())), events.end(), match);
    return static_cast<std::size_t>(it - events.begin());
}

inline std::vector<std::string> CallNames(const std::vector<Event>& events)
{
    std::vector<std::string> names;
    names.reserve(events.size());
    for (const Event& event : events) {
        names.push_back(event.call);
    }
    return names;
}

// What the command writes to stderr; the layer writes its reasons there.
inline std::string StderrOf(const std::function<void()>& command)
{
    testing::internal::CaptureStderr();
    command();
    return testing::internal::GetCapturedStderr();
}

}  // namespace usb_traffic
