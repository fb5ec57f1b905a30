#include "bridge.h"

#include "cli/console_services.h"
#include "control/board_access.h"
#include "control/boards_file.h"
#include "control/relay_board.h"
#include "control/relay_panel.h"
#include "control/relay_rules.h"
#include "log.h"
#include "publisher.h"
#include "saved_states.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <set>
#include <vector>

namespace {

constexpr int kRelays = 8;

// Thrown when the binding cannot load the driver or one of its functions:
// nothing the bridge does can work then.
struct DriverMissing {};

// The panel services as the bridge needs them: the binding's fatal report as
// a log line. The bridge drives no panel, so nothing else comes here.
class BridgeServices : public PanelServices {
public:
    void StatusPrint(std::string_view /*text*/) override {}
    void FailureBox(std::string_view text) override { Log(text); }
    int BoxValue(int /*relay*/) override { return 0; }
    void UntickBox(int /*relay*/) override {}

private:
    [[noreturn]] void DoEndProgram() override { throw DriverMissing{}; }
    [[noreturn]] void DoFatalError(const DriverFault& fault) override
    {
        Log(ConsoleServices::Describe(fault));
        throw DriverMissing{};
    }
};

std::string Describe(const StepFailure& failure)
{
    std::string text = failure.step + " failed: ";
    if (!failure.detail.empty()) {
        return text + failure.detail;
    }
    const std::string_view name = d2xx::StatusName(failure.status);
    return text + (name.empty() ? "status " + std::to_string(failure.status) : std::string(name));
}

std::string_view OnOff(bool on)
{
    return on ? kOn : kOff;
}

}  // namespace

// What the worker thread owns: the binding, and the boards with what was
// last published of each.
class BoardWorker {
public:
    BoardWorker(const Config& config, const Topics& topics, Publisher& publisher)
        : m_config(config), m_topics(topics), m_publisher(publisher), m_driver(m_services), m_saved(config.savedStates)
    {
        for (const std::string& serial : config.boards) {
            m_boards.push_back({serial, TopicId(serial), {}, {}, config.boardsFile.BySerial(serial)});
        }
    }

    // At every connection and on Home Assistant's birth message. A new
    // connection has no subscriptions (a clean session): each known board's
    // commands are subscribed to again, an unplugged one's too, so that its
    // commands are answered with why they switch nothing.
    void Announce()
    {
        for (const Board& board : m_boards) {
            m_publisher.Subscribe(m_topics.BoardCommandFilter(board.id));
        }
        m_publisher.Publish(m_topics.BridgeDiscovery(), m_topics.BridgeDiscoveryObject(), true);
        m_publisher.Publish(m_topics.BridgeAvailability(), kOnline, true);
        Survey(true);
    }

    // Every poll interval: publishes only what changed.
    void Poll() { Survey(false); }

    void Command(const std::string& id, int relay, bool on)
    {
        const auto found =
            std::find_if(m_boards.begin(), m_boards.end(), [&](const Board& board) { return board.id == id; });
        const std::string what = "relay " + std::to_string(relay) + " of board " + id + " " + std::string(OnOff(on));
        if (found == m_boards.end()) {
            Log(what + ": not switched: no such board attached");
            return;
        }
        Board& board = *found;
        RelayBoard device(m_driver);
        const OpenResult opened = OpenWaiting(m_driver, device, BoardChoice{board.serial}, m_config.wait);
        switch (opened.outcome) {
        case OpenOutcome::Opened:
            break;
        case OpenOutcome::Busy:
            Log(what + ": not switched: the board stayed in use by another program for " +
                std::to_string(m_config.wait.count()) + " s");
            return;
        case OpenOutcome::NotFound:
            Log(what + ": not switched: the board is not attached");
            SetAvailability(board, false, false, "not attached");
            return;
        case OpenOutcome::Failed:
        default:
            Log(what + ": not switched: " + Describe(opened.failure));
            SetAvailability(board, false, false, Describe(opened.failure));
            return;
        }
        std::uint8_t lines = 0;
        StepResult failed = device.SetUp();
        if (!failed && board.attachDue) {
            failed = Attach(board, device, lines);
        }
        RelayChangeResult changed;
        if (!failed) {
            changed = ChangeRelays(device, on ? RelayChange::On : RelayChange::Off, RelayWeight(relay), Rules(board));
            failed = changed.failed;
            lines = changed.plan.relays;
        }
        if (failed) {
            Log(what + ": not switched: " + Describe(*failed));
            SetAvailability(board, false, false, Describe(*failed));
            return;
        }
        if (changed.plan.refused()) {
            // Nothing written: the states as they are answer the command.
            Log(what + ": not switched: " + Refusal(changed.plan));
            if (StepResult closeFailed = device.Close()) {
                Log("board " + board.id + ": " + Describe(*closeFailed));
            }
            PublishStates(board, changed.before, board.online != true, relay);
            SetAvailability(board, true, false, {});
            return;
        }
        Keep(board, lines);
        if (StepResult closeFailed = device.Close()) {
            Log(what + ": switched, but " + Describe(*closeFailed));
        } else {
            Log(what + ": switched");
        }
        PublishStates(board, lines, board.online != true, relay);
        SetAvailability(board, true, false, {});
    }

private:
    struct Board {
        std::string serial;
        std::string id;                     // the serial number as topics carry it
        std::optional<std::uint8_t> lines;  // as last published
        std::optional<bool> online;         // as last published
        const BoardEntry* entry = nullptr;  // its section of the boards file, if any
        // It has appeared (the bridge's start, back from offline) and is
        // not yet opened since: its attach policy is due.
        bool attachDue = true;
    };

    static RelayRules Rules(const Board& board) { return board.entry == nullptr ? RelayRules{} : board.entry->rules; }
    static std::string BoardName(const Board& board) { return board.entry == nullptr ? "" : board.entry->name; }
    static std::string RelayName(const Board& board, int relay)
    {
        return board.entry == nullptr ? "" : board.entry->relayNames.at(static_cast<std::size_t>(relay - 1));
    }

    static std::string Refusal(const RelayPlan& plan)
    {
        std::string relays;
        for (const int relay : RelaysIn(plan.group)) {
            relays += (relays.empty() ? "" : " ") + std::to_string(relay);
        }
        return "relays " + relays + " are an interlock group and more than one of them would be on";
    }

    // A board has appeared, at the bridge's start or back from offline (a
    // replug): its attach policy applied, `relays` coming in as read and
    // going out as left. Only a board the boards file names has a policy
    // that writes: an FT232R it does not name may be a USB-serial cable.
    StepResult Attach(Board& board, RelayBoard& device, std::uint8_t& relays)
    {
        board.attachDue = false;
        if (board.entry == nullptr || board.entry->onAttach == AttachPolicy::Keep) {
            return std::nullopt;
        }
        std::uint8_t target = 0;
        std::string done = "all relays off (on_attach = off)";
        if (board.entry->onAttach == AttachPolicy::Restore) {
            const std::optional<std::uint8_t> saved = m_saved.Find(board.serial);
            if (!saved) {
                Log("board " + board.id + " attached: no commanded state kept yet; relays left as they are");
                return std::nullopt;
            }
            target = *saved;
            done = "the last commanded state restored (on_attach = restore)";
        }
        const RelayChangeResult changed = ChangeRelays(device, RelayChange::Exactly, target, board.entry->rules);
        if (changed.failed) {
            return changed.failed;
        }
        if (changed.plan.refused()) {
            Log("board " + board.id + " attached: not switched: " + Refusal(changed.plan));
            return std::nullopt;
        }
        relays = changed.plan.relays;
        Log("board " + board.id + " attached: " + done);
        return std::nullopt;
    }

    // The state a command left, kept for a board that restores it.
    void Keep(const Board& board, std::uint8_t relays)
    {
        if (board.entry == nullptr || board.entry->onAttach != AttachPolicy::Restore) {
            return;
        }
        if (std::string reason; !m_saved.Save(board.serial, relays, reason)) {
            Log("board " + board.id + ": the commanded state is not kept: " + reason);
        }
    }

    // The boards read, and what they show published: everything when
    // `announce`, otherwise what changed. A board seen for the first time is
    // announced whole.
    void Survey(bool announce)
    {
        const std::size_t known = m_boards.size();
        if (m_config.boards.empty()) {
            FindBoards();
        }
        for (std::size_t index = 0; index < m_boards.size(); ++index) {
            Board& board = m_boards[index];
            const bool whole = announce || index >= known;
            if (whole) {
                for (int relay = 1; relay <= kRelays; ++relay) {
                    m_publisher.Publish(m_topics.Discovery(board.id, relay),
                                        m_topics.DiscoveryObject(board.id, board.serial, relay, BoardName(board),
                                                                 RelayName(board, relay)),
                                        true);
                }
            }
            Read(board, whole);
        }
    }

    // Adds the relay boards the driver lists that are not known yet. A board
    // whose serial number leaves no id, or the id of a board known already,
    // is skipped: a command must never reach a board it was not meant for.
    void FindBoards()
    {
        std::vector<DeviceEntry> devices;
        if (StepResult failed = ListDevices(m_driver, devices)) {
            const std::string fault = Describe(*failed);
            if (fault != m_listFault) {
                Log("cannot list the boards: " + fault);
            }
            m_listFault = fault;
            return;
        }
        m_listFault.clear();
        for (const DeviceEntry& device : RelayBoards(devices)) {
            if (std::any_of(m_boards.begin(), m_boards.end(),
                            [&](const Board& board) { return board.serial == device.serial; })) {
                continue;
            }
            const std::string id = TopicId(device.serial);
            std::string skipped;
            if (device.serial.empty()) {
                skipped = "a board listed without a serial number (held by another program?) is skipped";
            } else if (id.empty()) {
                skipped = "board '" + Loggable(device.serial) +
                          "' skipped: its serial number has no letter, digit, '_' "
                          "or '-' to name it in topics";
            } else if (std::any_of(m_boards.begin(), m_boards.end(),
                                   [&](const Board& board) { return board.id == id; })) {
                skipped = "board '" + Loggable(device.serial) + "' skipped: another board has the id " + id;
            }
            if (!skipped.empty()) {
                if (m_skipped.insert(device.serial).second) {
                    Log(skipped);
                }
                continue;
            }
            Log("found board " + id);
            m_boards.push_back({device.serial, id, {}, {}, m_config.boardsFile.BySerial(device.serial)});
            m_publisher.Subscribe(m_topics.BoardCommandFilter(id));
        }
    }

    // Open, 300 Bd and bit-bang, read, close: no write, no bit-mode reset. A
    // board another program holds is left alone this round and stays online.
    void Read(Board& board, bool whole)
    {
        RelayBoard device(m_driver);
        const OpenResult opened = OpenWaiting(m_driver, device, BoardChoice{board.serial}, {});
        switch (opened.outcome) {
        case OpenOutcome::Opened:
            break;
        case OpenOutcome::Busy:
            if (whole) {
                if (board.lines) {
                    PublishStates(board, *board.lines, true, 0);
                }
                SetAvailability(board, true, true, {});
            }
            return;
        case OpenOutcome::NotFound:
            RepublishOffline(board, whole, "not attached");
            return;
        case OpenOutcome::Failed:
        default:
            RepublishOffline(board, whole, Describe(opened.failure));
            return;
        }
        std::uint8_t lines = 0;
        StepResult failed = device.SetUp();
        if (!failed) {
            failed = ReadRelays(device, Rules(board), lines);
        }
        if (!failed && board.attachDue) {
            failed = Attach(board, device, lines);
        }
        if (!failed) {
            failed = device.Close();
        }
        if (failed) {
            RepublishOffline(board, whole, Describe(*failed));
            return;
        }
        // A board back from offline shows its states again before it is online.
        PublishStates(board, lines, whole || board.online != true, 0);
        SetAvailability(board, true, whole, {});
    }

    // An announcement puts back what a broker that lost its retained
    // messages forgot: the last states known, and offline.
    void RepublishOffline(Board& board, bool whole, const std::string& reason)
    {
        if (whole && board.lines) {
            PublishStates(board, *board.lines, true, 0);
        }
        SetAvailability(board, false, whole, reason);
    }

    // Publishes the states that differ from the last published, all of them
    // when `all`, and relay `always` (0: none) in any case: a command is
    // answered even when the relay was in that state already.
    void PublishStates(Board& board, std::uint8_t lines, bool all, int always)
    {
        for (int relay = 1; relay <= kRelays; ++relay) {
            const std::uint8_t weight = RelayWeight(relay);
            const bool on = (lines & weight) != 0;
            if (all || relay == always || !board.lines || ((*board.lines & weight) != 0) != on) {
                m_publisher.Publish(m_topics.State(board.id, relay), OnOff(on), true);
            }
        }
        board.lines = lines;
    }

    void SetAvailability(Board& board, bool online, bool always, const std::string& reason)
    {
        // Offline, or failing: the policy is due again at the next open that works.
        if (!online) {
            board.attachDue = true;
        }
        if (board.online == online && !always) {
            return;
        }
        if (board.online != online) {
            Log("board " + board.id + (online ? " online" : " offline: " + reason));
        }
        board.online = online;
        m_publisher.Publish(m_topics.Availability(board.id), online ? kOnline : kOffline, true);
    }

    const Config& m_config;
    const Topics& m_topics;
    Publisher& m_publisher;
    BridgeServices m_services;
    Module1 m_driver;
    SavedStates m_saved;
    std::vector<Board> m_boards;
    std::set<std::string> m_skipped;  // serial numbers whose skipping was logged
    std::string m_listFault;          // the last failure to list the boards, logged once
};

Bridge::Bridge(const Config& config, Publisher& publisher, std::function<void()> fatal)
    : m_config(config), m_topics(config), m_worker(std::make_unique<BoardWorker>(config, m_topics, publisher)),
      m_fatal(std::move(fatal))
{
}

Bridge::~Bridge()
{
    Stop();
}

void Bridge::Start()
{
    m_thread = std::thread([this] { Run(); });
}

void Bridge::Stop()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_jobs.empty()) {
        Log(std::to_string(m_jobs.size()) + " queued job(s) dropped at the stop");
        m_jobs.clear();
    }
}

void Bridge::Announce()
{
    Enqueue({Job::Kind::Announce, {}, 0, false});
}

void Bridge::Receive(const std::string& topic, std::string_view payload, bool retained)
{
    if (topic == m_topics.HomeAssistantStatus()) {
        // A birth message kept on the broker arrives at every connection,
        // which is announced anyway.
        if (payload == kOnline && !retained) {
            Log("Home Assistant is online: announcing again");
            Announce();
        }
        return;
    }
    const std::string shown = Loggable(topic);
    // Delivered for the subscription, so sent before it: a restart must not
    // replay an old command.
    if (retained) {
        Log("ignored " + shown + ": a retained command");
        return;
    }
    const CommandTarget target = ParseCommandTopic(topic, m_topics.topicPrefix());
    if (!target.fault.empty()) {
        Log("ignored " + shown + ": " + target.fault);
        return;
    }
    const CommandPayload command = ParseCommandPayload(payload);
    if (!command.fault.empty()) {
        Log("ignored " + shown + ": " + command.fault);
        return;
    }
    Enqueue({Job::Kind::Command, target.id, target.relay, command.on});
}

void Bridge::Enqueue(Job job)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        // One announcement waiting is enough: it reads everything when it runs.
        if (job.kind == Job::Kind::Announce && std::any_of(m_jobs.begin(), m_jobs.end(), [](const Job& queued) {
                return queued.kind == Job::Kind::Announce;
            })) {
            return;
        }
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void Bridge::Run()
{
    using Clock = std::chrono::steady_clock;
    const bool polling = m_config.pollInterval.count() > 0;
    auto nextPoll = Clock::now() + m_config.pollInterval;
    try {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            const auto ready = [this] { return m_stopping || !m_jobs.empty(); };
            if (!polling) {
                m_wake.wait(lock, ready);
            } else if (!m_wake.wait_until(lock, nextPoll, ready)) {
                lock.unlock();
                m_worker->Poll();
                nextPoll = Clock::now() + m_config.pollInterval;
                lock.lock();
                continue;
            }
            if (m_stopping) {
                return;
            }
            const Job job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            if (job.kind == Job::Kind::Announce) {
                m_worker->Announce();
            } else {
                m_worker->Command(job.id, job.relay, job.on);
            }
            lock.lock();
        }
    } catch (const DriverMissing&) {
        m_fatal();
    } catch (const std::exception& error) {
        // The last resort: a worker that ended cannot switch anything, so
        // the bridge ends too, and its service starts it afresh.
        Log(std::string("the board worker stopped: ") + error.what());
        m_fatal();
    }
}
