// The usbfs side of emulated FTDI chips: what the kernel would answer on
// /dev/bus/usb/001/NNN for an FT232R with no driver bound, in a umockdev
// testbed. umockdev runs the handlers on its own thread; the state they share
// with the test is under one lock.

#include "emulated_ft232r.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <dlfcn.h>
#include <linux/capability.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

namespace usb_emulation {

namespace {

template <typename T>
struct Unref {
    void operator()(T* object) const { g_object_unref(object); }
};
template <typename T>
using GPtr = std::unique_ptr<T, Unref<T>>;
using Data = GPtr<UMockdevIoctlData>;

constexpr std::uint8_t kEndpointIn = 0x80;
// The bit modes in which bulk OUT bytes drive the lines: asynchronous and
// synchronous bit-bang.
constexpr std::uint8_t kAsyncBitBang = 0x01;
constexpr std::uint8_t kSyncBitBang = 0x04;
// The string descriptors' indexes, as the device descriptor names them.
constexpr std::uint8_t kManufacturerString = 1;
constexpr std::uint8_t kProductString = 2;
constexpr std::uint8_t kSerialNumberString = 3;
// Modem status as an idle FT232R reports it, at the head of each bulk IN.
constexpr std::uint8_t kModemStatus0 = 0x01;
constexpr std::uint8_t kModemStatus1 = 0x60;

bool PreloadActive()
{
    void* preload = dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (preload == nullptr) {
        return false;
    }
    dlclose(preload);
    return true;
}

// sysfs's "descriptors": the device descriptor, then the configuration with
// one vendor-specific interface, bulk IN 0x81 and bulk OUT 0x02 of 64 bytes.
std::string Descriptors(std::uint16_t product)
{
    const unsigned release = product == kFT232R ? 0x0600 : 0x0900;
    char device[64];
    std::snprintf(device, sizeof device, "12010002000000080304%02x%02x%02x%02x01020301", product & 0xFFU, product >> 8U,
                  release & 0xFFU, release >> 8U);
    return std::string(device) + "09022000010100a02d" + "0904000002ffffff02" + "0705810240000007050202400000";
}

}  // namespace

struct Device;

// A URB the device has finished, waiting to be reaped by the program that
// submitted it.
struct Finished {
    Data urb;
    int status = 0;
    int length = 0;
};

struct BusState {
    std::mutex mutex;
    GPtr<UMockdevTestbed> testbed;
    std::vector<std::unique_ptr<Device>> devices;
    std::map<const UMockdevIoctlClient*, std::deque<Finished>> finished;
    struct ControlFailure {
        std::uint8_t request = 0;
        std::optional<std::uint16_t> value;
        int error = 0;
    };
    std::vector<ControlFailure> failControl;
    int failBulkOut = 0;
    int failRelease = 0;
    std::vector<Event> events;
};

struct Device {
    BusState* bus = nullptr;
    int number = 0;
    GPtr<UMockdevIoctlBase> handler;
    std::string serialNumber;
    std::string description;
    std::uint8_t lines = 0;
    std::uint8_t bitMode = 0;
    std::uint8_t bitMask = 0;
    bool heldElsewhere = false;
    bool serialDriverBound = false;
    bool unplugged = false;
    const UMockdevIoctlClient* claimedBy = nullptr;
};

namespace {

void Complete(UMockdevIoctlClient* client, int error)
{
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
}

template <typename T>
T& ResolveArgument(UMockdevIoctlData* argument, Data& holder)
{
    holder.reset(umockdev_ioctl_data_resolve(argument, 0, sizeof(T), nullptr));
    return *reinterpret_cast<T*>(holder->data);
}

// A string descriptor: its length, its type, then the text in UTF-16LE; the
// one at index 0 lists the languages (US English only).
std::vector<std::uint8_t> StringDescriptor(const std::string& text)
{
    std::vector<std::uint8_t> descriptor = {static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
    for (const char character : text) {
        descriptor.push_back(static_cast<std::uint8_t>(character));
        descriptor.push_back(0);
    }
    return descriptor;
}

// The chip's answer to a request from device to host, or nothing for a
// request it stalls.
std::optional<std::vector<std::uint8_t>> Answer(const Device& device, const Event& request, std::size_t length)
{
    if (request.requestType == kStandardIn && request.request == kGetDescriptor &&
        (request.value & 0xFF00U) == kStringDescriptor) {
        switch (request.value & 0xFFU) {
        case 0:
            return std::vector<std::uint8_t>{0x04, 0x03, 0x09, 0x04};
        case kManufacturerString:
            return StringDescriptor("FTDI");
        case kProductString:
            return StringDescriptor(device.description);
        case kSerialNumberString:
            return StringDescriptor(device.serialNumber);
        default:
            return std::nullopt;
        }
    }
    if (request.requestType == kVendorIn && request.request == kSioReadPins) {
        return std::vector<std::uint8_t>{device.lines};
    }
    return std::vector<std::uint8_t>(length, 0);
}

// What a request that went through changes in the chip.
void Carry(Device& device, const Event& event)
{
    if (event.call == Call::Control && event.requestType == kVendorOut && event.request == kSioSetBitMode) {
        device.bitMode = static_cast<std::uint8_t>(event.value >> 8U);
        device.bitMask = static_cast<std::uint8_t>(event.value & 0xFFU);
    } else if (event.call == Call::BulkOut && !event.data.empty() &&
               (device.bitMode == kAsyncBitBang || device.bitMode == kSyncBitBang)) {
        device.lines =
            static_cast<std::uint8_t>((device.lines & ~device.bitMask) | (event.data.back() & device.bitMask));
    }
}

void Submit(Device& device, BusState& bus, UMockdevIoctlClient* client, UMockdevIoctlData* argument)
{
    Data urbData;
    auto& urb = ResolveArgument<usbdevfs_urb>(argument, urbData);
    const Data buffer(umockdev_ioctl_data_resolve(urbData.get(), offsetof(usbdevfs_urb, buffer),
                                                  static_cast<gsize>(urb.buffer_length), nullptr));
    std::uint8_t* const bytes = buffer->data;

    Event event;
    event.device = device.number;
    Finished done{Data(umockdev_ioctl_data_ref(urbData.get())), 0, urb.buffer_length};
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        // The setup packet, then wLength bytes of data.
        event.call = Call::Control;
        event.requestType = bytes[0];
        event.request = bytes[1];
        event.value = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8U);
        event.index = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8U);
        for (const auto& failure : bus.failControl) {
            if (failure.request == event.request && failure.value.value_or(event.value) == event.value) {
                event.error = failure.error;
            }
        }
        done.length = urb.buffer_length - 8;
        if ((event.requestType & kEndpointIn) != 0 && event.error == 0) {
            const auto wanted = static_cast<std::size_t>(done.length);
            const auto answer = Answer(device, event, wanted);
            if (answer) {
                event.data.assign(answer->begin(),
                                  answer->begin() + static_cast<std::ptrdiff_t>(std::min(wanted, answer->size())));
                std::copy(event.data.begin(), event.data.end(), bytes + 8);
                done.length = static_cast<int>(event.data.size());
            } else {
                event.error = EPIPE;
            }
        }
    } else if ((urb.endpoint & kEndpointIn) == 0) {
        event.call = Call::BulkOut;
        event.data.assign(bytes, bytes + urb.buffer_length);
        event.error = bus.failBulkOut;
    } else {
        // Nothing received: the modem status alone.
        bytes[0] = kModemStatus0;
        bytes[1] = kModemStatus1;
        done.length = 2;
    }
    if (event.error != 0) {
        done.status = -event.error;
        done.length = 0;
    } else {
        Carry(device, event);
    }
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL || (urb.endpoint & kEndpointIn) == 0) {
        bus.events.push_back(event);
    }
    bus.finished[client].push_back(std::move(done));
    Complete(client, 0);
}

void Reap(BusState& bus, UMockdevIoctlClient* client, UMockdevIoctlData* argument)
{
    std::deque<Finished>& finished = bus.finished[client];
    if (finished.empty()) {
        Complete(client, EAGAIN);
        return;
    }
    const Finished done = std::move(finished.front());
    finished.pop_front();
    auto* urb = reinterpret_cast<usbdevfs_urb*>(done.urb->data);
    urb->status = done.status;
    urb->actual_length = done.length;
    Data pointer;
    ResolveArgument<void*>(argument, pointer);
    umockdev_ioctl_data_set_ptr(pointer.get(), 0, done.urb.get());
    Complete(client, 0);
}

// Claiming and releasing interface 0, the chip's only one.
int ClaimOrRelease(Device& device, BusState& bus, UMockdevIoctlClient* client, UMockdevIoctlData* argument, bool claim)
{
    Data holder;
    const auto interface = static_cast<int>(ResolveArgument<unsigned int>(argument, holder));
    int error = 0;
    if (interface != 0) {
        error = ENOENT;
    } else if (claim) {
        const bool elsewhere = device.heldElsewhere || device.serialDriverBound ||
                               (device.claimedBy != nullptr && device.claimedBy != client);
        error = elsewhere ? EBUSY : 0;
    } else {
        error = bus.failRelease != 0 ? bus.failRelease : device.claimedBy == client ? 0 : EINVAL;
    }
    if (error == 0) {
        device.claimedBy = claim ? client : nullptr;
    }
    Event event;
    event.call = claim ? Call::Claim : Call::Release;
    event.device = device.number;
    event.interface = interface;
    event.error = error;
    bus.events.push_back(event);
    return error;
}

gboolean HandleIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client, gpointer data)
{
    auto& device = *static_cast<Device*>(data);
    BusState& bus = *device.bus;
    const std::lock_guard lock(bus.mutex);
    UMockdevIoctlData* const argument = umockdev_ioctl_client_get_arg(client);
    if (device.unplugged) {
        Complete(client, ENODEV);
        return TRUE;
    }
    switch (umockdev_ioctl_client_get_request(client)) {
    case USBDEVFS_GET_CAPABILITIES: {
        Data holder;
        ResolveArgument<std::uint32_t>(argument, holder) =
            USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
            USBDEVFS_CAP_ZERO_PACKET;
        Complete(client, 0);
        break;
    }
    case USBDEVFS_GETDRIVER:
        if (device.serialDriverBound) {
            Data holder;
            auto& driver = ResolveArgument<usbdevfs_getdriver>(argument, holder);
            std::snprintf(driver.driver, sizeof driver.driver, "ftdi_sio");
            Complete(client, 0);
        } else {
            Complete(client, ENODATA);  // no driver bound
        }
        break;
    case USBDEVFS_IOCTL: {
        Data holder;
        const auto& command = ResolveArgument<usbdevfs_ioctl>(argument, holder);
        if (command.ioctl_code != static_cast<int>(USBDEVFS_DISCONNECT)) {
            Complete(client, ENOTTY);
            break;
        }
        Event event;
        event.call = Call::Detach;
        event.device = device.number;
        event.interface = command.ifno;
        event.error = device.serialDriverBound ? 0 : ENODATA;
        device.serialDriverBound = false;
        bus.events.push_back(event);
        Complete(client, event.error);
        break;
    }
    case USBDEVFS_CLAIMINTERFACE:
        Complete(client, ClaimOrRelease(device, bus, client, argument, true));
        break;
    case USBDEVFS_RELEASEINTERFACE:
        Complete(client, ClaimOrRelease(device, bus, client, argument, false));
        break;
    case USBDEVFS_SUBMITURB:
        Submit(device, bus, client, argument);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        Reap(bus, client, argument);
        break;
    default:
        std::fprintf(stderr, "emulated FT232R: usbfs request 0x%lx not emulated\n",
                     umockdev_ioctl_client_get_request(client));
        Complete(client, ENOTTY);
        break;
    }
    return TRUE;
}

// A program closed the node: the kernel releases what that file held.
void ClientVanished(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client, gpointer data)
{
    auto& device = *static_cast<Device*>(data);
    BusState& bus = *device.bus;
    const std::lock_guard lock(bus.mutex);
    if (device.claimedBy == client) {
        device.claimedBy = nullptr;
    }
    bus.finished.erase(client);
}

}  // namespace

EmulatedBus::EmulatedBus() : m_state(std::make_unique<BusState>())
{
    if (!PreloadActive()) {
        throw std::runtime_error(
            "libumockdev-preload.so.0 is not preloaded, so libusb would see the real USB devices of this machine: "
            "start the test through umockdev-wrapper (ctest does), or with LD_PRELOAD=libumockdev-preload.so.0");
    }
    m_state->testbed.reset(umockdev_testbed_new());
}

EmulatedBus::~EmulatedBus()
{
    // The testbed first: it stops serving the device nodes.
    m_state->testbed.reset();
}

int EmulatedBus::Plug(std::uint16_t product, std::optional<std::string> serialNumber,
                      std::optional<std::string> description)
{
    auto device = std::make_unique<Device>();
    device->bus = m_state.get();
    device->number = static_cast<int>(m_state->devices.size()) + 2;  // 1 is the root hub
    char factorySerialNumber[16];
    std::snprintf(factorySerialNumber, sizeof factorySerialNumber, "A%07d", device->number);
    device->serialNumber = std::move(serialNumber).value_or(factorySerialNumber);
    device->description = std::move(description).value_or(product == kFT232H ? kFT232HDescription : kFT232RDescription);
    device->handler.reset(umockdev_ioctl_base_new());
    g_signal_connect_after(device->handler.get(), "handle-ioctl", G_CALLBACK(HandleIoctl), device.get());
    g_signal_connect(device->handler.get(), "client-vanished", G_CALLBACK(ClientVanished), device.get());

    const std::string node = NodePath(device->number);
    GError* error = nullptr;
    if (umockdev_testbed_attach_ioctl(m_state->testbed.get(), node.c_str(), device->handler.get(), &error) == FALSE) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot emulate " + node + ": " + message);
    }
    const std::string number = std::to_string(device->number);
    char ids[32];
    std::snprintf(ids, sizeof ids, "A: idProduct=%04x\\n\n", product);
    const std::string record = "P: /devices/usb1/1-" + number + "\nN: " + node.substr(5) +
                               "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=" +
                               node.substr(node.size() - 3) + "\nE: DEVNAME=" + node +
                               "\nA: busnum=1\\n\nA: devnum=" + number +
                               "\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\nA: idVendor=0403\\n\n" + ids +
                               "H: descriptors=" + Descriptors(product) + "\n";
    if (umockdev_testbed_add_from_string(m_state->testbed.get(), record.c_str(), &error) == FALSE) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot add " + node + ": " + message);
    }
    const std::lock_guard lock(m_state->mutex);
    m_state->devices.push_back(std::move(device));
    return m_state->devices.back()->number;
}

std::string EmulatedBus::NodePath(int device)
{
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/001/%03d", device);
    return path;
}

void EmulatedBus::DenyAccess(int device)
{
    const std::unique_ptr<gchar, decltype(&g_free)> root(umockdev_testbed_get_root_dir(m_state->testbed.get()), g_free);
    const std::string node = std::string(root.get()) + NodePath(device);
    if (chmod(node.c_str(), 0) != 0) {
        throw std::runtime_error("cannot make " + node + " unreadable");
    }
}

void EmulatedBus::HoldInterfaceElsewhere(int device)
{
    const std::lock_guard lock(m_state->mutex);
    m_state->devices.at(static_cast<std::size_t>(device - 2))->heldElsewhere = true;
}

void EmulatedBus::Unplug(int device)
{
    const std::lock_guard lock(m_state->mutex);
    m_state->devices.at(static_cast<std::size_t>(device - 2))->unplugged = true;
}

void EmulatedBus::BindSerialDriver(int device)
{
    const std::lock_guard lock(m_state->mutex);
    m_state->devices.at(static_cast<std::size_t>(device - 2))->serialDriverBound = true;
}

void EmulatedBus::SetLines(int device, std::uint8_t lines)
{
    const std::lock_guard lock(m_state->mutex);
    m_state->devices.at(static_cast<std::size_t>(device - 2))->lines = lines;
}

std::uint8_t EmulatedBus::Lines(int device) const
{
    const std::lock_guard lock(m_state->mutex);
    return m_state->devices.at(static_cast<std::size_t>(device - 2))->lines;
}

void EmulatedBus::FailControl(std::uint8_t request, int error, std::optional<std::uint16_t> value)
{
    const std::lock_guard lock(m_state->mutex);
    m_state->failControl.push_back({request, value, error});
}

void EmulatedBus::FailBulkOut(int error)
{
    const std::lock_guard lock(m_state->mutex);
    m_state->failBulkOut = error;
}

void EmulatedBus::FailRelease(int error)
{
    const std::lock_guard lock(m_state->mutex);
    m_state->failRelease = error;
}

std::vector<Event> EmulatedBus::Events() const
{
    const std::lock_guard lock(m_state->mutex);
    return m_state->events;
}

void EmulatedBus::ClearEvents()
{
    const std::lock_guard lock(m_state->mutex);
    m_state->events.clear();
}

std::string StderrOf(const std::function<void()>& command)
{
    testing::internal::CaptureStderr();
    command();
    return testing::internal::GetCapturedStderr();
}

namespace {

constexpr std::uint32_t kFileAccessOverride = (1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH);

// The raw system calls change the calling thread only. Returns the effective
// set as it was, or nothing when the change failed.
std::optional<std::uint32_t> ChangeEffectiveCapabilities(std::uint32_t clear, std::uint32_t set)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> data{};
    if (syscall(SYS_capget, &header, data.data()) != 0) {
        return std::nullopt;
    }
    const std::uint32_t before = data[0].effective;
    data[0].effective = (before & ~clear) | set;
    if (syscall(SYS_capset, &header, data.data()) != 0) {
        return std::nullopt;
    }
    return before;
}

}  // namespace

WithoutFileAccessOverride::WithoutFileAccessOverride()
{
    const auto before = ChangeEffectiveCapabilities(kFileAccessOverride, 0);
    if (!before) {
        throw std::runtime_error("cannot give up the override of file permissions");
    }
    m_effective = *before & kFileAccessOverride;
}

WithoutFileAccessOverride::~WithoutFileAccessOverride()
{
    ChangeEffectiveCapabilities(0, m_effective);
}

void PrintTo(const Event& event, std::ostream* out)
{
    static constexpr std::array<const char*, 5> kNames = {"detach", "claim", "release", "control", "bulk OUT"};
    *out << kNames.at(static_cast<std::size_t>(event.call)) << " on device " << event.device << std::hex;
    if (event.call == Call::Control) {
        *out << ": type 0x" << unsigned{event.requestType} << " request 0x" << unsigned{event.request} << " value 0x"
             << event.value << " index 0x" << event.index;
    } else if (event.interface >= 0) {
        *out << ": interface " << event.interface;
    }
    for (const std::uint8_t byte : event.data) {
        *out << " " << unsigned{byte};
    }
    *out << std::dec;
    if (event.error != 0) {
        *out << " -> errno " << event.error;
    }
}

}  // namespace usb_emulation
