// What the bridge's tests run it against: a mosquitto broker of their own on
// a free loopback port, a client that watches every topic, the bridge as a
// real process on the virtual board posing as boards A1 and B2, and the
// board's files read and its boards unplugged from outside.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace bridge_test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A program the test started, killed when the test is done with it.
class Child {
public:
    // `environment`: NAME=VALUE settings on top of this process's own.
    Child(const std::vector<std::string>& command, const std::vector<std::string>& environment, const fs::path& output);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&&) = delete;
    Child& operator=(Child&&) = delete;
    ~Child();

    void Signal(int signal);
    int pid() const { return m_pid; }
    // The exit status, 128 + the signal that ended it, or nothing while it
    // still runs after `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout);

private:
    int m_pid = -1;
    std::optional<int> m_status;
};

// Runs a command to its end; its exit status.
int Run(const std::vector<std::string>& command, const std::vector<std::string>& environment, const fs::path& output);

// The files a TLS broker and its clients need, made by openssl once per run.
struct Certificates {
    fs::path ca;       // the CA that signed the broker's certificate
    fs::path otherCa;  // a CA that did not
    fs::path cert;
    fs::path key;
    fs::path passwords;  // mosquitto_passwd's file: user "bridge", password kPassword
};
inline constexpr const char* kUser = "bridge";
inline constexpr const char* kPassword = "relay-secret";
const Certificates& MakeCertificates(const fs::path& folder);

class Broker {
public:
    // With certificates: TLS and a password only.
    explicit Broker(fs::path folder, const Certificates* tls = nullptr);
    // Without TLS, with these lines added to its config.
    Broker(fs::path folder, const std::string& moreConfig);
    void Start();
    void Stop();
    int port() const { return m_port; }

private:
    fs::path m_folder;
    int m_port = 0;
    std::optional<Child> m_process;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
    int qos = 0;  // as delivered to the watcher, which subscribed with QoS 1
};

// A client subscribed to every topic, recording what arrives. It reconnects
// and subscribes again after the broker has been away.
class Watcher {
public:
    explicit Watcher(int port, const Certificates* tls = nullptr);
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    Watcher(Watcher&&) = delete;
    Watcher& operator=(Watcher&&) = delete;
    ~Watcher();

    void Publish(const std::string& topic, const std::string& payload, bool retain = false);
    // Waits until the messages received satisfy `done`; whether they did.
    bool WaitFor(const std::function<bool(const std::vector<Message>&)>& done, std::chrono::milliseconds timeout = 5s);
    // Waits until the last message on `topic` has that payload.
    bool WaitForLast(const std::string& topic, const std::string& payload, std::chrono::milliseconds timeout = 5s);
    std::vector<Message> Received();
    std::vector<Message> On(const std::string& topic);
    // The payload of the last message on `topic`; "(nothing)" when none came.
    std::string Last(const std::string& topic);
    void Forget();

private:
    static void OnConnect(mosquitto* client, void* self, int result);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);

    mosquitto* m_client = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<Message> m_received;
    bool m_subscribed = false;
};

// The virtual boards' folder: their lines, and the ones unplugged.
class Boards {
public:
    // `serials`: the boards the virtual board poses as, as VBOARD_SERIALS gives them.
    explicit Boards(const fs::path& folder, std::string serials = "A1,B2");
    const fs::path& folder() const { return m_folder; }
    std::vector<std::string> Environment() const;
    std::uint8_t Lines(const std::string& serial) const;
    void SetUnplugged(const std::vector<std::string>& serials) const;
    // relayctl on these boards; its exit status.
    int Relayctl(const std::vector<std::string>& args) const;

private:
    fs::path m_folder;
    std::string m_serials;
};

// The bridge as a process, its stderr in a file.
class Bridge {
public:
    // Writes the config file (mode 0644) and starts the bridge on it, with
    // `environment` (NAME=VALUE) on top of the boards'.
    Bridge(const fs::path& folder, const std::string& config, const Boards& boards,
           const std::vector<std::string>& environment = {});
    Child& process() { return *m_process; }
    std::string Log() const;
    // Waits until the log holds `text` at least `count` times.
    bool WaitForLog(const std::string& text, int count = 1, std::chrono::milliseconds timeout = 5s) const;

private:
    fs::path m_log;
    std::optional<Child> m_process;
};

int CountOf(const std::string& text, const std::string& part);

// The processor time a process has used so far, user and system.
std::chrono::milliseconds ProcessorTime(int pid);

// A loopback port that takes no connection: it listens, but its queue is full
// and never emptied, so a connect to it waits for an answer that never comes.
class SilentPort {
public:
    SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;
    SilentPort(SilentPort&&) = delete;
    SilentPort& operator=(SilentPort&&) = delete;
    ~SilentPort();
    int port() const { return m_port; }

private:
    int m_listener = -1;
    int m_queued = -1;  // the connection that fills the queue
    int m_port = 0;
};

}  // namespace bridge_test
