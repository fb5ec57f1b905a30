// RelayBoard: one relay board for relayctl, which needs what RelayPanel does
// not give: the attached devices listed, one opened by serial number, its
// lines read back and the board held across two writes. Each step calls the
// driver through Module1 and compares the status at once; a refusal comes back
// as a value that names the step, for the caller to report.
#pragma once

#include "../driver/module1.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A driver step that did not do what was asked.
struct StepFailure {
    std::string step;                      // the D2XX function, "FT_OpenEx"
    d2xx::FT_STATUS status = d2xx::FT_OK;  // what it answered; FT_OK for a short write
    std::string detail;                    // what else went wrong, when the status does not tell
};

// Empty when the step was done.
using StepResult = std::optional<StepFailure>;

// One device of the driver's list.
struct DeviceEntry {
    int index = 0;  // the device index FT_Open takes
    std::string serial;
    std::string description;
    std::uint32_t type = 0;
    bool inUse = false;  // open here or held by another program

    // An FT232R or FT245R, the chips relay boards of this kind carry. A device
    // held elsewhere may be listed without its type; it might be one.
    bool MayBeRelayBoard() const;
};

// The devices the driver knows, in its order.
[[nodiscard]] StepResult ListDevices(Module1& driver, std::vector<DeviceEntry>& devices);

class RelayBoard {
public:
    explicit RelayBoard(Module1& driver) : m_driver(driver) {}
    RelayBoard(const RelayBoard&) = delete;
    RelayBoard& operator=(const RelayBoard&) = delete;
    RelayBoard(RelayBoard&&) = delete;
    RelayBoard& operator=(RelayBoard&&) = delete;
    // A board still open when a failure cut the run short is closed without a
    // report: the failure that ended the run is the one worth telling.
    ~RelayBoard();

    [[nodiscard]] StepResult OpenBySerial(const std::string& serial);
    [[nodiscard]] StepResult OpenByIndex(int index);
    // 300 baud, then asynchronous bit-bang on all eight lines. The lines keep
    // their level: the bit mode is never reset, which would move relays.
    [[nodiscard]] StepResult SetUp();
    [[nodiscard]] StepResult ReadLines(std::uint8_t& lines);
    // A byte the driver takes only in part is a failure too.
    [[nodiscard]] StepResult WriteLines(std::uint8_t lines);
    [[nodiscard]] StepResult Close();

    bool isOpen() const { return m_open; }

private:
    Module1& m_driver;
    d2xx::FT_HANDLE m_handle = nullptr;
    bool m_open = false;
};
