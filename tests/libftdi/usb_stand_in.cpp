// A stand-in for libusb-1.0 with the functions libftdi1 calls, behind which
// sit emulated FTDI chips instead of hardware. Every call that reaches a
// device is recorded; the control API in usb_stand_in.h plugs chips in and
// out and makes calls fail.
//
// The FT232R is emulated as far as libftdi1 and the relay board need it:
// its descriptors, the kernel's serial driver bound until detached, one
// interface that only one handle can claim, the vendor requests (reset, baud
// rate, latency timer, bit mode, modem status, pins), and bulk OUT bytes
// that drive the data lines in bit-bang mode. Devices are kept until the
// process ends, so a handle left open by a test never dangles.

#include "usb_stand_in.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

struct libusb_context {
    int unused = 0;
};

struct libusb_device {
    std::uint16_t product = usb_stand_in::kFT232R;
    std::uint8_t address = 0;
    bool attached = true;
    bool kernelDriverBound = true;
    int references = 0;  // held by callers, not by the bus
    const libusb_device_handle* claimedBy = nullptr;
    int configuration = 1;
    // The chip.
    std::uint8_t bitMode = 0;
    std::uint8_t bitMask = 0;
    std::uint8_t latch = 0;
    std::uint8_t latency = 16;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
};

namespace {

constexpr std::uint16_t kFtdiVendor = 0x0403;
constexpr std::uint8_t kBulkIn = 0x81;
constexpr std::uint8_t kBulkOut = 0x02;
constexpr std::uint16_t kMaxPacket = 64;
// Vendor requests to the device, host to device and device to host.
constexpr std::uint8_t kVendorOut = 0x40;
constexpr std::uint8_t kVendorIn = 0xC0;
// The FTDI vendor requests the emulation answers.
constexpr std::uint8_t kSetLatencyTimer = 0x09;
constexpr std::uint8_t kSetBitMode = 0x0B;
constexpr std::uint8_t kPollModemStatus = 0x05;
constexpr std::uint8_t kGetLatencyTimer = 0x0A;
constexpr std::uint8_t kReadPins = 0x0C;
constexpr std::uint8_t kReadEeprom = 0x90;
// Modem status as an idle FT232R reports it: the two bytes that also head
// every bulk IN packet.
constexpr std::array<std::uint8_t, 2> kModemStatus = {0x01, 0x60};
// Bit-bang modes in which written bytes drive the data lines.
constexpr std::uint8_t kAsyncBitBang = 0x01;
constexpr std::uint8_t kSyncBitBang = 0x04;

// The configuration descriptor with everything hanging off it, in one block
// so that libusb_free_config_descriptor can free it whole.
struct ConfigBlock {
    libusb_config_descriptor config{};
    libusb_interface interface {
    };
    libusb_interface_descriptor setting{};
    std::array<libusb_endpoint_descriptor, 2> endpoints{};
};

std::uint16_t ReleaseNumber(std::uint16_t product)
{
    switch (product) {
    case usb_stand_in::kFT232R:
        return 0x0600;
    case usb_stand_in::kFT2232:
        return 0x0500;
    case usb_stand_in::kFT232H:
        return 0x0900;
    default:
        return 0x1000;
    }
}

const char* ProductString(std::uint16_t product)
{
    return product == usb_stand_in::kFT232R ? "FT232R USB UART" : "FTDI USB device";
}

class Bus {
public:
    std::mutex mutex;

    void Reset()
    {
        for (libusb_device& device : m_devices) {
            device.attached = false;
        }
        m_failOpen.reset();
        m_failRelease.reset();
        m_failControl.clear();
        m_failBulkOut.reset();
        m_stallBulkOutAfter.reset();
        m_events.clear();
    }

    std::uint8_t Attach(std::uint16_t product)
    {
        libusb_device& device = m_devices.emplace_back();
        device.product = product;
        device.address = static_cast<std::uint8_t>(m_devices.size());
        return device.address;
    }

    libusb_device* Find(std::uint8_t address)
    {
        const auto it = std::find_if(m_devices.begin(), m_devices.end(),
                                     [address](const libusb_device& device) { return device.address == address; });
        return it != m_devices.end() ? &*it : nullptr;
    }

    std::vector<libusb_device*> Attached()
    {
        std::vector<libusb_device*> attached;
        for (libusb_device& device : m_devices) {
            if (device.attached) {
                attached.push_back(&device);
            }
        }
        return attached;
    }

    [[nodiscard]] int References() const
    {
        int references = 0;
        for (const libusb_device& device : m_devices) {
            references += device.references;
        }
        return references;
    }

    int Record(usb_stand_in::Event event)
    {
        const int result = event.result;
        m_events.push_back(std::move(event));
        return result;
    }

    // The injected answer for a call, when there is one.
    [[nodiscard]] std::optional<int> FailOpen() const { return m_failOpen; }
    [[nodiscard]] std::optional<int> FailRelease() const { return m_failRelease; }
    [[nodiscard]] std::optional<int> FailControl(std::uint8_t request, std::uint16_t value) const
    {
        const auto it = std::find_if(m_failControl.begin(), m_failControl.end(), [&](const ControlFault& fault) {
            return fault.request == request && fault.value.value_or(value) == value;
        });
        return it != m_failControl.end() ? std::optional<int>(it->error) : std::nullopt;
    }
    [[nodiscard]] std::optional<int> FailBulkOut() const { return m_failBulkOut; }
    [[nodiscard]] std::optional<int> StallBulkOutAfter() const { return m_stallBulkOutAfter; }

    void SetFailOpen(int error) { m_failOpen = error; }
    void SetFailRelease(int error) { m_failRelease = error; }
    void SetFailControl(std::uint8_t request, int error, std::optional<std::uint16_t> value)
    {
        m_failControl.push_back({request, value, error});
    }
    void SetFailBulkOut(int error) { m_failBulkOut = error; }
    void SetStallBulkOutAfter(int bytes) { m_stallBulkOutAfter = bytes; }
    [[nodiscard]] const std::vector<usb_stand_in::Event>& Events() const { return m_events; }
    void ClearEvents() { m_events.clear(); }

    int liveContexts = 0;
    int openHandles = 0;

private:
    struct ControlFault {
        std::uint8_t request;
        std::optional<std::uint16_t> value;  // any value when empty
        int error;
    };

    std::deque<libusb_device> m_devices;  // a deque keeps every device where it is
    std::optional<int> m_failOpen;
    std::optional<int> m_failRelease;
    std::vector<ControlFault> m_failControl;
    std::optional<int> m_failBulkOut;
    std::optional<int> m_stallBulkOutAfter;
    std::vector<usb_stand_in::Event> m_events;
};

Bus& TheBus()
{
    static Bus bus;
    return bus;
}

usb_stand_in::Event EventOn(const char* call, const libusb_device* device)
{
    usb_stand_in::Event event;
    event.call = call;
    event.address = device->address;
    return event;
}

// One recorded call on the handle's device; `decide` answers it and
// changes the device, under the bus's lock.
template <typename Decide>
int RecordedCall(const char* call, libusb_device_handle* handle, int number, Decide decide)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    usb_stand_in::Event event = EventOn(call, handle->device);
    event.number = number;
    event.result = decide(*handle->device);
    return bus.Record(std::move(event));
}

// Answers a vendor request as the chip does; the result is the number of
// bytes moved or a LIBUSB_ERROR code.
int AnswerControl(libusb_device& device, std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                  unsigned char* data, std::uint16_t length)
{
    if (requestType == kVendorOut) {
        if (request == kSetBitMode) {
            device.bitMode = static_cast<std::uint8_t>(value >> 8U);
            device.bitMask = static_cast<std::uint8_t>(value & 0xFFU);
        } else if (request == kSetLatencyTimer) {
            device.latency = static_cast<std::uint8_t>(value & 0xFFU);
        }
        return length;
    }
    if (requestType != kVendorIn) {
        return LIBUSB_ERROR_PIPE;  // the chip stalls what it does not know
    }
    std::vector<std::uint8_t> answer;
    switch (request) {
    case kPollModemStatus:
        answer.assign(kModemStatus.begin(), kModemStatus.end());
        break;
    case kGetLatencyTimer:
        answer = {device.latency};
        break;
    case kReadPins:
        answer = {static_cast<std::uint8_t>(device.latch & device.bitMask)};
        break;
    case kReadEeprom:
        answer = {0xFF, 0xFF};  // a blank EEPROM
        break;
    default:
        return LIBUSB_ERROR_PIPE;
    }
    const std::size_t count = std::min<std::size_t>(answer.size(), length);
    if (data != nullptr) {
        std::copy_n(answer.begin(), count, data);
    }
    return static_cast<int>(count);
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    if (context != nullptr) {
        *context = new libusb_context;
    }
    ++bus.liveContexts;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* context)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    delete context;
    --bus.liveContexts;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* /*context*/, libusb_device*** list)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    const std::vector<libusb_device*> attached = bus.Attached();
    auto* devices = new libusb_device*[attached.size() + 1];
    for (std::size_t i = 0; i < attached.size(); ++i) {
        devices[i] = attached[i];
        ++attached[i]->references;
    }
    devices[attached.size()] = nullptr;
    *list = devices;
    return static_cast<ssize_t>(attached.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unrefDevices)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    if (list == nullptr) {
        return;
    }
    if (unrefDevices != 0) {
        for (libusb_device** device = list; *device != nullptr; ++device) {
            --(*device)->references;
        }
    }
    delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* device)
{
    const std::lock_guard lock(TheBus().mutex);
    ++device->references;
    return device;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* device)
{
    const std::lock_guard lock(TheBus().mutex);
    if (device != nullptr) {
        --device->references;
    }
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* /*device*/)
{
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* device)
{
    return device->address;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor)
{
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bDeviceClass = 0;  // each interface says what it is
    descriptor->bMaxPacketSize0 = 8;
    descriptor->idVendor = kFtdiVendor;
    descriptor->idProduct = device->product;
    descriptor->bcdDevice = ReleaseNumber(device->product);
    descriptor->iManufacturer = 1;
    descriptor->iProduct = 2;
    descriptor->iSerialNumber = 3;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* /*device*/, uint8_t configIndex,
                                             libusb_config_descriptor** config)
{
    if (configIndex != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    auto* block = new ConfigBlock;
    block->endpoints[0] = {LIBUSB_DT_ENDPOINT_SIZE,
                           LIBUSB_DT_ENDPOINT,
                           kBulkIn,
                           LIBUSB_TRANSFER_TYPE_BULK,
                           kMaxPacket,
                           0,
                           0,
                           0,
                           nullptr,
                           0};
    block->endpoints[1] = {LIBUSB_DT_ENDPOINT_SIZE,
                           LIBUSB_DT_ENDPOINT,
                           kBulkOut,
                           LIBUSB_TRANSFER_TYPE_BULK,
                           kMaxPacket,
                           0,
                           0,
                           0,
                           nullptr,
                           0};
    block->setting = {LIBUSB_DT_INTERFACE_SIZE,
                      LIBUSB_DT_INTERFACE,
                      0,
                      0,
                      2,
                      LIBUSB_CLASS_VENDOR_SPEC,
                      0xFF,
                      0xFF,
                      2,
                      block->endpoints.data(),
                      nullptr,
                      0};
    block->interface = {&block->setting, 1};
    const auto totalLength =
        static_cast<std::uint16_t>(LIBUSB_DT_CONFIG_SIZE + LIBUSB_DT_INTERFACE_SIZE + 2 * LIBUSB_DT_ENDPOINT_SIZE);
    // Bus powered with remote wake-up, 90 mA: the FT232R's defaults.
    block->config = {
        LIBUSB_DT_CONFIG_SIZE, LIBUSB_DT_CONFIG, totalLength, 1, 1, 0, 0xA0, 45, &block->interface, nullptr, 0};
    *config = &block->config;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config)
{
    // The descriptor is the first member of its block.
    delete reinterpret_cast<ConfigBlock*>(config);  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    usb_stand_in::Event event = EventOn("libusb_open", device);
    if (!device->attached) {
        event.result = LIBUSB_ERROR_NO_DEVICE;
    } else if (const auto fault = bus.FailOpen()) {
        event.result = *fault;
    } else {
        *handle = new libusb_device_handle{device};
        ++device->references;
        ++bus.openHandles;
    }
    return bus.Record(std::move(event));
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    if (handle == nullptr) {
        return;
    }
    libusb_device* device = handle->device;
    bus.Record(EventOn("libusb_close", device));
    if (device->claimedBy == handle) {
        device->claimedBy = nullptr;  // closing lets go of the interface
    }
    --device->references;
    --bus.openHandles;
    delete handle;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* configuration)
{
    const std::lock_guard lock(TheBus().mutex);
    if (!handle->device->attached) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    *configuration = handle->device->configuration;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int configuration)
{
    return RecordedCall("libusb_set_configuration", handle, configuration, [&](libusb_device& device) -> int {
        if (!device.attached) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (configuration != 1 && configuration != -1) {
            return LIBUSB_ERROR_NOT_FOUND;
        }
        if (device.claimedBy != nullptr) {
            return LIBUSB_ERROR_BUSY;
        }
        device.configuration = configuration == -1 ? 0 : configuration;
        return LIBUSB_SUCCESS;
    });
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int interfaceNumber)
{
    return RecordedCall("libusb_detach_kernel_driver", handle, interfaceNumber, [&](libusb_device& device) -> int {
        if (!device.attached) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (interfaceNumber != 0 || !device.kernelDriverBound) {
            errno = ENODATA;  // what the kernel answers when no driver is bound
            return LIBUSB_ERROR_NOT_FOUND;
        }
        device.kernelDriverBound = false;
        return LIBUSB_SUCCESS;
    });
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int enable)
{
    return RecordedCall("libusb_set_auto_detach_kernel_driver", handle, enable,
                        [](libusb_device& /*device*/) -> int { return LIBUSB_SUCCESS; });
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interfaceNumber)
{
    return RecordedCall("libusb_claim_interface", handle, interfaceNumber, [&](libusb_device& device) -> int {
        if (!device.attached) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (interfaceNumber != 0) {
            return LIBUSB_ERROR_NOT_FOUND;
        }
        if (device.kernelDriverBound || (device.claimedBy != nullptr && device.claimedBy != handle)) {
            return LIBUSB_ERROR_BUSY;
        }
        device.claimedBy = handle;
        return LIBUSB_SUCCESS;
    });
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interfaceNumber)
{
    return RecordedCall("libusb_release_interface", handle, interfaceNumber, [&](libusb_device& device) -> int {
        if (interfaceNumber != 0 || device.claimedBy != handle) {
            return LIBUSB_ERROR_NOT_FOUND;
        }
        if (const auto fault = TheBus().FailRelease()) {
            return *fault;
        }
        device.claimedBy = nullptr;
        // Gone with the device, but reported.
        return device.attached ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
    });
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                        unsigned int /*timeout*/)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    libusb_device& device = *handle->device;
    usb_stand_in::Event event = EventOn("libusb_control_transfer", &device);
    event.requestType = requestType;
    event.request = request;
    event.value = value;
    event.index = index;
    const bool out = (requestType & LIBUSB_ENDPOINT_IN) == 0;
    if (out && data != nullptr) {
        event.data.assign(data, data + length);
    }
    if (!device.attached) {
        event.result = LIBUSB_ERROR_NO_DEVICE;
    } else if (const auto fault = bus.FailControl(request, value)) {
        event.result = *fault;
    } else {
        event.result = AnswerControl(device, requestType, request, value, data, length);
        if (!out && event.result > 0) {
            event.data.assign(data, data + event.result);
        }
    }
    return bus.Record(std::move(event));
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* transferred, unsigned int /*timeout*/)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    libusb_device& device = *handle->device;
    usb_stand_in::Event event = EventOn("libusb_bulk_transfer", &device);
    event.endpoint = endpoint;
    int moved = 0;
    if (endpoint == kBulkOut && data != nullptr && length > 0) {
        event.data.assign(data, data + length);
    }
    if (!device.attached) {
        event.result = LIBUSB_ERROR_NO_DEVICE;
    } else if (device.claimedBy != handle || (endpoint != kBulkOut && endpoint != kBulkIn)) {
        event.result = LIBUSB_ERROR_NOT_FOUND;  // the interface was never claimed, or no such endpoint
    } else if (endpoint == kBulkOut) {
        if (const auto fault = bus.FailBulkOut()) {
            event.result = *fault;
        } else {
            const auto stall = bus.StallBulkOutAfter();
            moved = std::min(length, stall.value_or(length));
            if (stall && moved < length) {
                event.result = LIBUSB_ERROR_TIMEOUT;
            }
            if (moved > 0 && (device.bitMode == kAsyncBitBang || device.bitMode == kSyncBitBang)) {
                device.latch = data[moved - 1];  // each byte drives the lines in turn; the last one stays
            }
        }
    } else {
        moved = std::min(static_cast<int>(kModemStatus.size()), length);
        std::copy_n(kModemStatus.begin(), moved, data);
        event.data.assign(data, data + moved);
    }
    if (transferred != nullptr) {
        *transferred = moved;
    }
    event.transferred = moved;
    return bus.Record(std::move(event));
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t descriptorIndex,
                                                   unsigned char* data, int length)
{
    const std::lock_guard lock(TheBus().mutex);
    const libusb_device& device = *handle->device;
    if (!device.attached) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    std::string text;
    switch (descriptorIndex) {
    case 1:
        text = "FTDI";
        break;
    case 2:
        text = ProductString(device.product);
        break;
    case 3:
        text = "RP0000" + std::to_string(device.address);
        break;
    default:
        return LIBUSB_ERROR_PIPE;
    }
    if (length <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const auto count = std::min(text.size(), static_cast<std::size_t>(length - 1));
    std::memcpy(data, text.data(), count);
    data[count] = 0;
    return static_cast<int>(count);
}

// The asynchronous interface: present because libftdi1 links against it,
// refused because nothing on the panel's road uses it.
libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets)
{
    const std::size_t size = sizeof(libusb_transfer) +
                             static_cast<std::size_t>(std::max(isoPackets, 0)) * sizeof(libusb_iso_packet_descriptor);
    return static_cast<libusb_transfer*>(std::calloc(1, size));
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer* transfer)
{
    if (transfer != nullptr && (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) {
        std::free(transfer->buffer);
    }
    std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* transfer)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    usb_stand_in::Event event = EventOn("libusb_submit_transfer", transfer->dev_handle->device);
    event.endpoint = transfer->endpoint;
    event.result = LIBUSB_ERROR_NOT_SUPPORTED;
    return bus.Record(std::move(event));
}

int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer* /*transfer*/)
{
    return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* /*context*/, timeval* /*timeout*/)
{
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* /*context*/, timeval* /*timeout*/,
                                                       int* completed)
{
    if (completed != nullptr) {
        *completed = 1;  // nothing is ever in flight
    }
    return LIBUSB_SUCCESS;
}

}  // extern "C"

namespace usb_stand_in {

namespace {

// Runs the query or change on the bus under its lock.
template <typename Action>
auto Locked(Action action)
{
    Bus& bus = TheBus();
    const std::lock_guard lock(bus.mutex);
    return action(bus);
}

}  // namespace

void Reset()
{
    Locked([](Bus& bus) { bus.Reset(); });
}

std::uint8_t Attach(std::uint16_t product)
{
    return Locked([&](Bus& bus) { return bus.Attach(product); });
}

void Detach(std::uint8_t address)
{
    Locked([&](Bus& bus) {
        if (libusb_device* device = bus.Find(address)) {
            device->attached = false;
        }
    });
}

void FailOpen(int error)
{
    Locked([&](Bus& bus) { bus.SetFailOpen(error); });
}

void FailRelease(int error)
{
    Locked([&](Bus& bus) { bus.SetFailRelease(error); });
}

void FailControl(std::uint8_t request, int error, std::optional<std::uint16_t> value)
{
    Locked([&](Bus& bus) { bus.SetFailControl(request, error, value); });
}

void FailBulkOut(int error)
{
    Locked([&](Bus& bus) { bus.SetFailBulkOut(error); });
}

void StallBulkOutAfter(int bytes)
{
    Locked([&](Bus& bus) { bus.SetStallBulkOutAfter(bytes); });
}

std::vector<Event> Events()
{
    return Locked([](Bus& bus) { return bus.Events(); });
}

void ClearEvents()
{
    Locked([](Bus& bus) { bus.ClearEvents(); });
}

std::uint8_t Lines(std::uint8_t address)
{
    return Locked([&](Bus& bus) {
        const libusb_device* device = bus.Find(address);
        return device != nullptr ? static_cast<std::uint8_t>(device->latch & device->bitMask) : std::uint8_t{0};
    });
}

std::uint8_t BitMode(std::uint8_t address)
{
    return Locked([&](Bus& bus) {
        const libusb_device* device = bus.Find(address);
        return device != nullptr ? device->bitMode : std::uint8_t{0};
    });
}

bool KernelDriverBound(std::uint8_t address)
{
    return Locked([&](Bus& bus) {
        const libusb_device* device = bus.Find(address);
        return device != nullptr && device->kernelDriverBound;
    });
}

int LiveContexts()
{
    return Locked([](Bus& bus) { return bus.liveContexts; });
}

int OpenHandles()
{
    return Locked([](Bus& bus) { return bus.openHandles; });
}

int DeviceReferences()
{
    return Locked([](Bus& bus) { return bus.References(); });
}

}  // namespace usb_stand_in
