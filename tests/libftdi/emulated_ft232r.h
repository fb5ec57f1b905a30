// FTDI chips emulated at the kernel's boundary with umockdev, for the tests of
// the open driver layer: the real libftdi1 and the real libusb-1.0 run
// unchanged and find the chips in an emulated sysfs and /dev/bus/usb. The
// emulation answers the usbfs requests on each device node as the chip
// would, records every control request and every bulk OUT byte, and can be
// told to fail.
//
// What a chip answers:
// - its string descriptors: manufacturer "FTDI", the product string
//   (description) and the serial number given to Plug;
// - read pins (kSioReadPins): its eight lines. They start as SetLines left
//   them (0x00 unless set) and take the last byte of each bulk OUT while the
//   chip is in bit-bang mode (kSioSetBitMode, mode 1 or 4, on the lines of
//   the mask). Setting a mode leaves them as they are; the mode stays across
//   opens and closes, as on the chip; in UART mode a bulk OUT leaves them
//   alone;
// - any other request from device to host: zeros.
//
// What the layer's calls look like in Events() (devices numbered as Plug
// gave them; libusb lists the chips of one kind newest first here, and
// FT_Open's index follows it, so a test names a chip by serial number, not
// by index):
// - an opening: Detach (errno ENODATA: no driver bound), Claim, kSioReset,
//   kSioSetBaudRate 9600 baud; a close: Release;
// - FT_GetBitMode: one Control, type kVendorIn, request kSioReadPins, value
//   0, index 1, data the one byte answered;
// - FT_OpenEx: kGetDescriptor requests (type kStandardIn) on each chip up to
//   the named one, then the opening of the named one only;
// - FT_CreateDeviceInfoList: kGetDescriptor requests on every chip, and on a
//   chip neither this process nor a kernel driver holds, a Claim (answered
//   EBUSY where another program holds it, else followed at once by its
//   Release): the question whether another program holds it. No vendor
//   request, no bulk OUT, no Detach. So an opening is told by its Detach or
//   kSioReset, not by a Claim alone.
//
// For a relayctl run such as `on 3` on lines that read 0x01: SetLines(board,
// 0x01) before, then among the events the read (kSioReadPins, data {0x01})
// and after it BulkOut {0x05}, and no kSioSetBitMode with value 0 (a reset);
// afterwards Lines(board) is 0x05.
//
// libumockdev-preload.so.0 must be preloaded from the process's start (ctest
// starts the tests with it). Without it libusb would look at the real
// machine and could reach a real board, so no emulation is made then: the
// constructor throws, and every test that needs one fails saying so.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace usb_emulation {

inline constexpr std::uint16_t kFT232R = 0x6001;  // also the FT245R
inline constexpr std::uint16_t kFT232H = 0x6014;

// FTDI vendor requests, host to device.
inline constexpr std::uint8_t kVendorOut = 0x40;
inline constexpr std::uint8_t kSioReset = 0x00;
inline constexpr std::uint8_t kSioSetBaudRate = 0x03;
inline constexpr std::uint8_t kSioSetBitMode = 0x0B;
// FTDI vendor requests, device to host: the eight lines as they are now.
inline constexpr std::uint8_t kVendorIn = 0xC0;
inline constexpr std::uint8_t kSioReadPins = 0x0C;
// Standard requests, device to host: a string descriptor, its index in the
// low byte of the value.
inline constexpr std::uint8_t kStandardIn = 0x80;
inline constexpr std::uint8_t kGetDescriptor = 0x06;
inline constexpr std::uint16_t kStringDescriptor = 0x0300;
// The product strings chips come with from the factory.
inline constexpr const char* kFT232RDescription = "FT232R USB UART";
inline constexpr const char* kFT232HDescription = "Single RS232-HS";
// The FT232R divides 3 MHz by the divisor: 10000 = 0x2710 for 300 baud;
// 312.5 for the 9600 baud libftdi1 sets on opening.
inline constexpr std::uint16_t kDivisorFor300Baud = 0x2710;
inline constexpr std::uint16_t kDivisorFor9600Baud = 0x4138;
// Mode 1 (asynchronous bit-bang) in the high byte, mask 0xFF in the low byte.
inline constexpr std::uint16_t kAsyncBitBangAllLines = 0x01FF;

// What reached a device, oldest first.
enum class Call { Detach, Claim, Release, Control, BulkOut };

struct Event {
    Call call = Call::Control;
    int device = 0;  // its number on bus 1
    // Control transfers.
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    int interface = -1;              // Detach, Claim, Release
    std::vector<std::uint8_t> data;  // BulkOut: the bytes sent; Control from device to host: the bytes answered
    int error = 0;                   // the errno the device answered with; 0 when it took the request

    bool operator==(const Event&) const = default;
};

// Shown by GoogleTest when an expectation on events fails.
void PrintTo(const Event& event, std::ostream* out);

// Runs the command and returns what it wrote to stderr, where the layer
// writes its reasons.
std::string StderrOf(const std::function<void()>& command);

// While it lives, the calling thread has no override of file permissions
// (root's CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH), so a node it may not
// open is refused as it would be for a user. Other threads keep theirs.
class WithoutFileAccessOverride {
public:
    WithoutFileAccessOverride();
    ~WithoutFileAccessOverride();
    WithoutFileAccessOverride(const WithoutFileAccessOverride&) = delete;
    WithoutFileAccessOverride& operator=(const WithoutFileAccessOverride&) = delete;
    WithoutFileAccessOverride(WithoutFileAccessOverride&&) = delete;
    WithoutFileAccessOverride& operator=(WithoutFileAccessOverride&&) = delete;

private:
    std::uint32_t m_effective = 0;
};

struct BusState;

class EmulatedBus {
public:
    // An empty bus 1.
    EmulatedBus();
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus&) = delete;
    EmulatedBus& operator=(const EmulatedBus&) = delete;
    EmulatedBus(EmulatedBus&&) = delete;
    EmulatedBus& operator=(EmulatedBus&&) = delete;

    // Plugs a chip in, no kernel driver bound to it; returns its number.
    // Without a serial number it gets "A00000NN" (NN its number), without a
    // description the product string of its kind from the factory.
    int Plug(std::uint16_t product = kFT232R, std::optional<std::string> serialNumber = std::nullopt,
             std::optional<std::string> description = std::nullopt);
    // Its node, as libusb opens it: /dev/bus/usb/001/002 for device 2.
    static std::string NodePath(int device);

    // From now on: the node may not be opened (mode 000); the interface is
    // held by another program (claiming it answers EBUSY); the chip is gone
    // (every request answers ENODEV).
    void DenyAccess(int device);
    void HoldInterfaceElsewhere(int device);
    void Unplug(int device);
    // The kernel's serial driver is bound to the chip's interface, as after
    // plugging in a console cable: claiming it answers EBUSY until the driver
    // is detached (Detach then answers 0 and unbinds it).
    void BindSerialDriver(int device);
    // The chip's eight lines, as read pins answers them.
    void SetLines(int device, std::uint8_t lines);
    std::uint8_t Lines(int device) const;
    // From now on these transfers end with that errno as their status (e.g.
    // EPIPE, a stall): control requests with that request (and value, if
    // given), and every bulk OUT. Releasing the interface answers that errno.
    void FailControl(std::uint8_t request, int error, std::optional<std::uint16_t> value = std::nullopt);
    void FailBulkOut(int error);
    void FailRelease(int error);

    std::vector<Event> Events() const;
    void ClearEvents();

private:
    std::unique_ptr<BusState> m_state;
};

}  // namespace usb_emulation
