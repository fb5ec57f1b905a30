// The open driver layer: the D2XX functions the panel and relayctl call,
// carried out by libftdi1, so that a relay board works on Linux without the
// chip maker's closed library. It is built under the driver library's file
// name and bound by the programs exactly like it.
//
// Handles are tokens of this layer, never addresses: a zero, unknown or
// closed handle is refused by looking it up, without being dereferenced.
// The panel's message boxes carry no reason, so every failed call writes
// libftdi1's own words to stderr ("relay board: failed to open device: ...");
// when the board cannot be opened, the layer finds out why and says what to do.
// Nothing here writes to a device or leaves bit-bang mode by itself: either
// would move the relays.

#include "libftdi_layer.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
// Beside each, the chip type as D2XX numbers it (FT2232H, FT4232H, FT232H, X series).
struct FtdiProduct {
    std::uint16_t id;
    std::uint32_t type;
};
constexpr std::array<FtdiProduct, 5> kFtdiProducts = {
    {{0x6001, d2xx::FT_DEVICE_232R}, {0x6010, 6}, {0x6011, 7}, {0x6014, 8}, {0x6015, 9}}};
// The fastest rate of the FT232R; libftdi1 judges the rates below it.
constexpr std::uint32_t kMaxBaudRate = 3000000;
// What ftdi_usb_open_dev returns when libusb_open, or claiming the interface,
// failed.
constexpr int kFtdiOpenFailed = -4;
constexpr int kFtdiClaimFailed = -5;

// The reason line written last. A caller that retries a busy open every few
// hundred milliseconds would otherwise fill its terminal with one line.
struct LastReason {
    std::mutex mutex;
    std::string line;
};

LastReason& TheLastReason()
{
    static auto* const last = new LastReason;
    return *last;
}

// Writes the reason line, unless it is the one written just before.
void Report(const char* action, const std::string& reason)
{
    std::string line = "relay board: failed to " + std::string(action) + ": " + reason + "\n";
    LastReason& last = TheLastReason();
    const std::lock_guard lock(last.mutex);
    if (line == last.line) {
        return;
    }
    std::fputs(line.c_str(), stderr);
    last.line = std::move(line);
}

// After a device opened, a failure that looks like an earlier one is news.
void ForgetLastReason()
{
    LastReason& last = TheLastReason();
    const std::lock_guard lock(last.mutex);
    last.line.clear();
}

// Where a device sits: its bus and its address on that bus, unique among the
// devices attached, whichever libusb context found it.
struct UsbAddress {
    std::uint8_t bus = 0;
    std::uint8_t address = 0;

    explicit UsbAddress(libusb_device* device)
        : bus(libusb_get_bus_number(device)), address(libusb_get_device_address(device))
    {
    }
    bool operator==(const UsbAddress&) const = default;
};

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
    FtdiDevice(FtdiContext context, UsbAddress address) : m_context(std::move(context)), m_address(address) {}

    [[nodiscard]] UsbAddress Address() const { return m_address; }

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

    FT_STATUS ReadLines(std::uint8_t* lines)
    {
        if (lines == nullptr) {
            Report("read the lines", "no place for the value");
            return d2xx::FT_INVALID_PARAMETER;
        }
        unsigned char pins = 0;
        if (ftdi_read_pins(m_context.get(), &pins) != 0) {
            Report("read the lines", ErrorText());
            return d2xx::FT_IO_ERROR;
        }
        *lines = pins;
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
    UsbAddress m_address;
};

// libusb's answer to claiming the interface of the opened device; a claimed
// interface is given back at once.
int TryClaim(libusb_device_handle* handle)
{
    const int answer = libusb_claim_interface(handle, 0);
    if (answer == LIBUSB_SUCCESS) {
        libusb_release_interface(handle, 0);
    }
    return answer;
}

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
        cause = TryClaim(handle);
        libusb_close(handle);
    }
    switch (cause) {
    case LIBUSB_ERROR_ACCESS:
        return "no permission to use the USB device " + std::string(node) + " (" + said +
               "): install the udev rule 70-relaypanel.rules and plug the board in again; see \"When Open failed "
               "appears\" in docs/real-board.md";
    case LIBUSB_ERROR_BUSY:
        return "the board is in use by another program (" + said + "): close the other relay panel, or whatever else " +
               "holds " + node + ", and try again";
    case LIBUSB_ERROR_NO_DEVICE:
        return "the board went away while it was being opened (" + said + "): plug it in again";
    default:
        return said;
    }
}

// Whether another program holds the device, as far as libusb can tell: its
// interface cannot be claimed. A kernel driver bound to it (the serial
// driver) answers the same, but then the device is free: opening detaches
// the driver.
bool HeldElsewhere(libusb_device* device)
{
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS) {
        return false;  // cannot tell; the strings' reason says why
    }
    const bool held = libusb_kernel_driver_active(handle, 0) == 0 && TryClaim(handle) == LIBUSB_ERROR_BUSY;
    libusb_close(handle);
    return held;
}

// The attached FTDI devices in the order FT_Open counts them, found through
// one libftdi1 context.
class FtdiDevices {
public:
    struct Found {
        libusb_device* device;
        FtdiProduct product;
    };

    // Sets up libftdi1 and looks for the devices; a failure is reported as
    // failing to do the action.
    FT_STATUS Find(const char* action)
    {
        m_context.reset(ftdi_new());
        if (!m_context) {
            Report(action, "libftdi1 could not set up (ftdi_new failed)");
            return d2xx::FT_INSUFFICIENT_RESOURCES;
        }
        for (const FtdiProduct& product : kFtdiProducts) {
            ftdi_device_list* list = nullptr;
            const int count = ftdi_usb_find_all(m_context.get(), &list, kFtdiVendor, product.id);
            m_lists.emplace_back(list);
            if (count < 0) {
                Report(action, ftdi_get_error_string(m_context.get()));
                return d2xx::FT_DEVICE_NOT_FOUND;
            }
            for (const ftdi_device_list* entry = list; entry != nullptr; entry = entry->next) {
                m_found.push_back({entry->dev, product});
            }
        }
        return d2xx::FT_OK;
    }

    [[nodiscard]] const std::vector<Found>& All() const { return m_found; }
    [[nodiscard]] ftdi_context* Context() const { return m_context.get(); }

    // Opens the index-th device; on success the device is handed over with
    // the context.
    FT_STATUS Open(std::size_t index, std::unique_ptr<FtdiDevice>& device)
    {
        // Detaches the kernel's serial driver and claims the interface.
        libusb_device* const chosen = m_found.at(index).device;
        const int step = ftdi_usb_open_dev(m_context.get(), chosen);
        if (step != 0) {
            Report("open device", OpenFailureReason(chosen, step, ftdi_get_error_string(m_context.get())));
            return d2xx::FT_DEVICE_NOT_OPENED;
        }
        device = std::make_unique<FtdiDevice>(std::move(m_context), UsbAddress(chosen));
        return d2xx::FT_OK;
    }

private:
    FtdiContext m_context;
    // Declared after the context so that the lists let go of their devices
    // before the context shuts libusb down.
    std::vector<DeviceList> m_lists;
    std::vector<Found> m_found;
};

// The serial number and the product string from the device's string
// descriptors. A device whose strings cannot be read (no permission) gets
// empty ones, and the reason is written.
struct DeviceStrings {
    std::string serialNumber;
    std::string description;
    bool read = false;
};

DeviceStrings ReadStrings(ftdi_context* context, libusb_device* device)
{
    // A USB string has at most 126 characters.
    std::array<char, 128> serialNumber{};
    std::array<char, 128> description{};
    const int step =
        ftdi_usb_get_strings2(context, device, nullptr, 0, description.data(), static_cast<int>(description.size()),
                              serialNumber.data(), static_cast<int>(serialNumber.size()));
    if (step != 0) {
        Report("read the serial number", OpenFailureReason(device, step, ftdi_get_error_string(context)));
        return {};
    }
    return {serialNumber.data(), description.data(), true};
}

// Opens the index-th FTDI device; on success the device is handed over.
FT_STATUS OpenFtdiDevice(int index, std::unique_ptr<FtdiDevice>& device)
{
    FtdiDevices devices;
    const FT_STATUS status = devices.Find("open device");
    if (status != d2xx::FT_OK) {
        return status;
    }
    const std::size_t count = devices.All().size();
    if (index < 0 || static_cast<std::size_t>(index) >= count) {
        Report("open device", "no relay board found: no FTDI device with index " + std::to_string(index) + " (" +
                                  std::to_string(count) +
                                  " attached): check that the board is plugged in and that lsusb lists 0403:6001");
        return d2xx::FT_DEVICE_NOT_FOUND;
    }
    return devices.Open(static_cast<std::size_t>(index), device);
}

// Opens the first FTDI device whose serial number (or description) is the
// one wanted. Only the strings of the devices before it are read; no other
// device is opened.
FT_STATUS OpenNamedFtdiDevice(bool bySerialNumber, const std::string& wanted, std::unique_ptr<FtdiDevice>& device)
{
    FtdiDevices devices;
    const FT_STATUS status = devices.Find("open device");
    if (status != d2xx::FT_OK) {
        return status;
    }
    std::string present;
    for (std::size_t index = 0; index < devices.All().size(); ++index) {
        const DeviceStrings strings = ReadStrings(devices.Context(), devices.All()[index].device);
        if (!strings.read) {
            continue;
        }
        const std::string& name = bySerialNumber ? strings.serialNumber : strings.description;
        if (name == wanted) {
            return devices.Open(index, device);
        }
        present += (present.empty() ? "\"" : ", \"") + name + "\"";
    }
    const std::string what = bySerialNumber ? "serial number" : "description";
    const std::string missing = "no relay board found: no FTDI device with the " + what + " \"" + wanted + "\"";
    Report("open device", present.empty() ? missing + " (none whose " + what +
                                                " could be read): check that the board is plugged in and that lsusb "
                                                "lists 0403:6001"
                                          : missing + " (" + what + "s present: " + present + "): name one of these");
    return d2xx::FT_DEVICE_NOT_FOUND;
}

// One entry of the device list, as FT_GetDeviceInfoDetail tells it.
struct DeviceInfo {
    std::uint32_t flags = 0;
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t locationId = 0;
    std::string serialNumber;
    std::string description;
    FT_HANDLE handle = nullptr;
};

// Stable per USB port: the bus number in the top byte, then one nibble per
// port from the root hub down (ports 1 to 15, six hubs deep).
std::uint32_t LocationId(libusb_device* device)
{
    std::array<std::uint8_t, 7> ports{};
    const int depth = std::min(libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size())), 6);
    std::uint32_t id = std::uint32_t{libusb_get_bus_number(device)} << 24U;
    for (int level = 0; level < depth; ++level) {
        id |= (ports.at(static_cast<std::size_t>(level)) & 0xFU) << (20U - 4U * static_cast<unsigned>(level));
    }
    return id;
}

// Copies the string null-terminated, cut to fit the buffer.
void CopyCut(const std::string& text, void* buffer, std::size_t size)
{
    const std::size_t length = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), length);
    static_cast<char*>(buffer)[length] = '\0';
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

    // The handle of the device at that address, when this process has it open.
    [[nodiscard]] FT_HANDLE HandleAt(UsbAddress address) const
    {
        for (const auto& [token, device] : m_devices) {
            if (device->Address() == address) {
                return reinterpret_cast<FT_HANDLE>(token);  // NOLINT(performance-no-int-to-ptr)
            }
        }
        return nullptr;
    }

private:
    std::map<std::uintptr_t, std::unique_ptr<FtdiDevice>> m_devices;
    std::uintptr_t m_lastToken = 0;
};

struct Layer {
    std::mutex mutex;
    HandleRegistry handles;
    // What the last FT_CreateDeviceInfoList found.
    std::vector<DeviceInfo> deviceList;
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

// Opens a device the way open chooses it and hands out its handle.
template <typename Open>
FT_STATUS OpenAndRegister(FT_HANDLE* handle, Open open)
{
    if (handle == nullptr) {
        Report("open device", "no place for the handle");
        return d2xx::FT_INVALID_PARAMETER;
    }
    Layer& layer = TheLayer();
    const std::lock_guard lock(layer.mutex);
    std::unique_ptr<FtdiDevice> device;
    const FT_STATUS status = open(device);
    if (status == d2xx::FT_OK) {
        *handle = layer.handles.Add(std::move(device));
        ForgetLastReason();
    }
    return status;
}

}  // namespace

extern "C" {

FT_STATUS FTAPI FT_Open(int deviceNumber, FT_HANDLE* handle)
{
    return OpenAndRegister(handle,
                           [&](std::unique_ptr<FtdiDevice>& device) { return OpenFtdiDevice(deviceNumber, device); });
}

FT_STATUS FTAPI FT_OpenEx(void* argument, std::uint32_t flags, FT_HANDLE* handle)
{
    if (flags != d2xx::FT_OPEN_BY_SERIAL_NUMBER && flags != d2xx::FT_OPEN_BY_DESCRIPTION) {
        Report("open device", "opening by flags " + std::to_string(flags) +
                                  " is not supported: open by serial number or by description");
        return d2xx::FT_NOT_SUPPORTED;
    }
    if (argument == nullptr) {
        Report("open device", "no serial number or description given");
        return d2xx::FT_INVALID_PARAMETER;
    }
    const std::string wanted(static_cast<const char*>(argument));
    return OpenAndRegister(handle, [&](std::unique_ptr<FtdiDevice>& device) {
        return OpenNamedFtdiDevice(flags == d2xx::FT_OPEN_BY_SERIAL_NUMBER, wanted, device);
    });
}

FT_STATUS FTAPI FT_CreateDeviceInfoList(std::uint32_t* deviceCount)
{
    if (deviceCount == nullptr) {
        Report("list devices", "no place for the count");
        return d2xx::FT_INVALID_PARAMETER;
    }
    Layer& layer = TheLayer();
    const std::lock_guard lock(layer.mutex);
    layer.deviceList.clear();
    FtdiDevices devices;
    const FT_STATUS status = devices.Find("list devices");
    if (status != d2xx::FT_OK) {
        return status;
    }
    for (const FtdiDevices::Found& found : devices.All()) {
        DeviceStrings strings = ReadStrings(devices.Context(), found.device);
        DeviceInfo info;
        info.type = found.product.type;
        info.id = std::uint32_t{kFtdiVendor} << 16U | found.product.id;
        info.locationId = LocationId(found.device);
        info.serialNumber = std::move(strings.serialNumber);
        info.description = std::move(strings.description);
        // A device this process holds is not probed: claiming it again
        // would only say busy.
        info.handle = layer.handles.HandleAt(UsbAddress(found.device));
        if (info.handle != nullptr || HeldElsewhere(found.device)) {
            info.flags |= d2xx::FT_FLAGS_OPENED;
        }
        layer.deviceList.push_back(std::move(info));
    }
    *deviceCount = static_cast<std::uint32_t>(layer.deviceList.size());
    return d2xx::FT_OK;
}

FT_STATUS FTAPI FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                       std::uint32_t* id, std::uint32_t* locationId, void* serialNumber,
                                       void* description, FT_HANDLE* handle)
{
    if (flags == nullptr || type == nullptr || id == nullptr || locationId == nullptr || serialNumber == nullptr ||
        description == nullptr || handle == nullptr) {
        Report("tell a device's details", "no place for one of them");
        return d2xx::FT_INVALID_PARAMETER;
    }
    Layer& layer = TheLayer();
    const std::lock_guard lock(layer.mutex);
    if (index >= layer.deviceList.size()) {
        Report("tell a device's details", "no device with index " + std::to_string(index) + " in the list (" +
                                              std::to_string(layer.deviceList.size()) + " listed)");
        return d2xx::FT_DEVICE_NOT_FOUND;
    }
    const DeviceInfo& info = layer.deviceList[index];
    *flags = info.flags;
    *type = info.type;
    *id = info.id;
    *locationId = info.locationId;
    CopyCut(info.serialNumber, serialNumber, d2xx::kSerialNumberSize);
    CopyCut(info.description, description, d2xx::kDescriptionSize);
    *handle = info.handle;
    return d2xx::FT_OK;
}

FT_STATUS FTAPI FT_GetBitMode(FT_HANDLE handle, std::uint8_t* lines)
{
    return WithDevice(handle, "read the lines", [&](FtdiDevice& device) { return device.ReadLines(lines); });
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
