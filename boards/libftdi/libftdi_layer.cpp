// The open driver layer: the five D2XX functions the panel calls, carried out
// by libftdi1, so that a relay board works on Linux without the chip maker's
// closed library. It is built under the driver library's file name and bound
// by the panel exactly like it.
//
// Handles are tokens of this layer, never addresses: a zero, unknown or
// closed handle is refused by looking it up, without being dereferenced.
// The panel's message boxes carry no reason, so every failed call writes
// libftdi1's own words to stderr ("relay board: failed to open device: ...");
// when the board cannot be opened, the layer finds out why and says what to do.

#include "libftdi_layer.h"

#include <ftdi.h>
#include <libusb.h>

#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using d2xx::FT_HANDLE;
using d2xx::FT_STATUS;

constexpr int kFtdiVendor = 0x0403;
// FTDI's own product ids in the order devices are counted: FT232R and FT245R
// (both 6001) first, so index 0 is such a chip whenever one is plugged in.
constexpr std::array<int, 5> kFtdiProducts = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};
// The fastest rate of the FT232R; libftdi1 judges the rates below it.
constexpr std::uint32_t kMaxBaudRate = 3000000;
// What ftdi_usb_open_dev returns when libusb_open, or claiming the interface,
// failed.
constexpr int kFtdiOpenFailed = -4;
constexpr int kFtdiClaimFailed = -5;

void Report(const char* action, const std::string& reason)
{
    std::fprintf(stderr, "relay board: failed to %s: %s\n", action, reason.c_str());
}

struct FtdiFree {
    void operator()(ftdi_context* context) const { ftdi_free(context); }
};
// ftdi_free closes the device when it is still open, then releases libusb.
using FtdiContext = std::unique_ptr<ftdi_context, FtdiFree>;

struct DeviceListFree {
    void operator()(ftdi_device_list* list) const { ftdi_list_free2(list); }
};
using DeviceList = std::unique_ptr<ftdi_device_list, DeviceListFree>;

// One opened device; its libftdi1 context goes with it.
class FtdiDevice {
public:
    explicit FtdiDevice(FtdiContext context) : m_context(std::move(context)) {}

    FT_STATUS SetBaudRate(std::uint32_t baudRate)
    {
        if (baudRate == 0 || baudRate > kMaxBaudRate) {
            Report("set baud rate", std::to_string(baudRate) + " baud is out of range");
            return d2xx::FT_INVALID_BAUD_RATE;
        }
        switch (ftdi_set_baudrate(m_context.get(), static_cast<int>(baudRate))) {
        case 0:
            return d2xx::FT_OK;
        case -1:  // a rate the chip cannot make
            Report("set baud rate", ErrorText());
            return d2xx::FT_INVALID_BAUD_RATE;
        default:
            Report("set baud rate", ErrorText());
            return d2xx::FT_IO_ERROR;
        }
    }

    FT_STATUS SetBitMode(std::uint8_t mask, std::uint8_t mode)
    {
        // The modes are single bits; 0 leaves bit-bang.
        if (mode != d2xx::FT_BITMODE_RESET && !std::has_single_bit(mode)) {
            Report("set bit mode", "mode " + std::to_string(mode) + " is not a bit mode");
            return d2xx::FT_INVALID_PARAMETER;
        }
        if (ftdi_set_bitmode(m_context.get(), mask, mode) != 0) {
            Report("set bit mode", ErrorText());
            return d2xx::FT_IO_ERROR;
        }
        return d2xx::FT_OK;
    }

    FT_STATUS Write(const void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten)
    {
        if (bytesWritten == nullptr || (buffer == nullptr && bytesToWrite != 0) || bytesToWrite > INT_MAX) {
            Report("write", "invalid buffer or byte count");
            return d2xx::FT_INVALID_PARAMETER;
        }
        *bytesWritten = 0;
        const int written =
            ftdi_write_data(m_context.get(), static_cast<const unsigned char*>(buffer), static_cast<int>(bytesToWrite));
        if (written < 0) {
            Report("write", ErrorText());
            return d2xx::FT_IO_ERROR;
        }
        // libftdi1 keeps sending until every byte is taken or a transfer fails.
        *bytesWritten = static_cast<std::uint32_t>(written);
        return d2xx::FT_OK;
    }

    // Releases the interface and closes the device; the context is freed
    // with the object whatever the answer.
    FT_STATUS Close()
    {
        // libftdi1 closes the device even when the release fails, and leaves
        // no text of its own for that.
        if (ftdi_usb_close(m_context.get()) != 0) {
            Report("close device", "the USB interface could not be released (board unplugged?)");
            return d2xx::FT_IO_ERROR;
        }
        return d2xx::FT_OK;
    }

private:
    [[nodiscard]] std::string ErrorText() const
    {
        const char* text = ftdi_get_error_string(m_context.get());
        return text != nullptr ? text : "libftdi1 gave no reason";
    }

    FtdiContext m_context;
};

// libftdi1 names only the step that failed ("libusb_open() failed"), not the
// cause. Taking the same steps again with libusb gives the cause; the reason
// then says what the operator can do about it.
std::string OpenFailureReason(libusb_device* device, int step, const char* libftdiText)
{
    std::string said = libftdiText != nullptr ? libftdiText : "libftdi1 gave no reason";
    if (step != kFtdiOpenFailed && step != kFtdiClaimFailed) {
        return said;
    }
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", unsigned{libusb_get_bus_number(device)},
                  unsigned{libusb_get_device_address(device)});
    libusb_device_handle* handle = nullptr;
    int cause = libusb_open(device, &handle);
    if (cause == LIBUSB_SUCCESS) {
        cause = libusb_claim_interface(handle, 0);
        if (cause == LIBUSB_SUCCESS) {
            libusb_release_interface(handle, 0);
        }
        libusb_close(handle);
    }
    switch (cause) {
    case LIBUSB_ERROR_ACCESS:
        return "no permission to use the USB device " + std::string(node) + " (" + said +
               "): install the udev rule 70-relaypanel.rules and plug the board in again; see \"When Open failed "
               "appears\" in the README";
    case LIBUSB_ERROR_BUSY:
        return "the board is in use by another program (" + said + "): close the other relay panel, or whatever else " +
               "holds " + node + ", and try again";
    case LIBUSB_ERROR_NO_DEVICE:
        return "the board went away while it was being opened (" + said + "): plug it in again";
    default:
        return said;
    }
}

// Opens the index-th FTDI device; on success the device is handed over.
FT_STATUS OpenFtdiDevice(int index, std::unique_ptr<FtdiDevice>& device)
{
    FtdiContext context(ftdi_new());
    if (!context) {
        Report("open device", "libftdi1 could not set up (ftdi_new failed)");
        return d2xx::FT_INSUFFICIENT_RESOURCES;
    }
    // Declared after the context so that the lists let go of their devices
    // before the context shuts libusb down.
    std::vector<DeviceList> lists;
    std::vector<libusb_device*> found;
    for (const int product : kFtdiProducts) {
        ftdi_device_list* list = nullptr;
        const int count = ftdi_usb_find_all(context.get(), &list, kFtdiVendor, product);
        lists.emplace_back(list);
        if (count < 0) {
            Report("open device", ftdi_get_error_string(context.get()));
            return d2xx::FT_DEVICE_NOT_FOUND;
        }
        for (const ftdi_device_list* entry = list; entry != nullptr; entry = entry->next) {
            found.push_back(entry->dev);
        }
    }
    if (index < 0 || static_cast<std::size_t>(index) >= found.size()) {
        Report("open device", "no relay board found: no FTDI device with index " + std::to_string(index) + " (" +
                                  std::to_string(found.size()) +
                                  " attached): check that the board is plugged in and that lsusb lists 0403:6001");
        return d2xx::FT_DEVICE_NOT_FOUND;
    }
    // Detaches the kernel's serial driver and claims the interface.
    libusb_device* const chosen = found[static_cast<std::size_t>(index)];
    const int step = ftdi_usb_open_dev(context.get(), chosen);
    if (step != 0) {
        Report("open device", OpenFailureReason(chosen, step, ftdi_get_error_string(context.get())));
        return d2xx::FT_DEVICE_NOT_OPENED;
    }
    device = std::make_unique<FtdiDevice>(std::move(context));
    return d2xx::FT_OK;
}

// The live handles. Tokens count up and are never handed out twice, so a
// handle kept after its close can never name a later device.
class HandleRegistry {
public:
    FT_HANDLE Add(std::unique_ptr<FtdiDevice> device)
    {
        const std::uintptr_t token = ++m_lastToken;
        m_devices.emplace(token, std::move(device));
        return reinterpret_cast<FT_HANDLE>(token);  // NOLINT(performance-no-int-to-ptr)
    }

    FtdiDevice* Find(FT_HANDLE handle) const
    {
        const auto it = m_devices.find(reinterpret_cast<std::uintptr_t>(handle));
        return it != m_devices.end() ? it->second.get() : nullptr;
    }

    std::unique_ptr<FtdiDevice> Take(FT_HANDLE handle)
    {
        auto node = m_devices.extract(reinterpret_cast<std::uintptr_t>(handle));
        return node.empty() ? nullptr : std::move(node.mapped());
    }

private:
    std::map<std::uintptr_t, std::unique_ptr<FtdiDevice>> m_devices;
    std::uintptr_t m_lastToken = 0;
};

struct Layer {
    std::mutex mutex;
    HandleRegistry handles;
};

// Never destroyed: a device still open when the process ends is released
// by the system with the process, not by a destructor running at exit.
Layer& TheLayer()
{
    static auto* const layer = new Layer;
    return *layer;
}

void ReportUnknownHandle(const char* action, FT_HANDLE handle)
{
    Report(action, "handle " + std::to_string(reinterpret_cast<std::uintptr_t>(handle)) + " is not an open device");
}

// Runs the call on the handle's device, or refuses an unknown handle.
template <typename Call>
FT_STATUS WithDevice(FT_HANDLE handle, const char* action, Call call)
{
    Layer& layer = TheLayer();
    const std::lock_guard lock(layer.mutex);
    FtdiDevice* device = layer.handles.Find(handle);
    if (device == nullptr) {
        ReportUnknownHandle(action, handle);
        return d2xx::FT_INVALID_HANDLE;
    }
    return call(*device);
}

}  // namespace

extern "C" {

FT_STATUS FTAPI FT_Open(int deviceNumber, FT_HANDLE* handle)
{
    if (handle == nullptr) {
        Report("open device", "no place for the handle");
        return d2xx::FT_INVALID_PARAMETER;
    }
    Layer& layer = TheLayer();
    const std::lock_guard lock(layer.mutex);
    std::unique_ptr<FtdiDevice> device;
    const FT_STATUS status = OpenFtdiDevice(deviceNumber, device);
    if (status == d2xx::FT_OK) {
        *handle = layer.handles.Add(std::move(device));
    }
    return status;
}

FT_STATUS FTAPI FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate)
{
    return WithDevice(handle, "set baud rate", [&](FtdiDevice& device) { return device.SetBaudRate(baudRate); });
}

FT_STATUS FTAPI FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
{
    return WithDevice(handle, "set bit mode", [&](FtdiDevice& device) { return device.SetBitMode(mask, mode); });
}

FT_STATUS FTAPI FT_Write(FT_HANDLE handle, void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten)
{
    return WithDevice(handle, "write",
                      [&](FtdiDevice& device) { return device.Write(buffer, bytesToWrite, bytesWritten); });
}

FT_STATUS FTAPI FT_Close(FT_HANDLE handle)
{
    Layer& layer = TheLayer();
    const std::lock_guard lock(layer.mutex);
    // Out of the registry first: the handle is dead whatever closing answers.
    const std::unique_ptr<FtdiDevice> device = layer.handles.Take(handle);
    if (!device) {
        ReportUnknownHandle("close device", handle);
        return d2xx::FT_INVALID_HANDLE;
    }
    return device->Close();
}

}  // extern "C"
