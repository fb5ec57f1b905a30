// The MQTT bridge on the virtual relay board over loopback: the time from
// publishing a command to receiving the state it causes, over 1000 commands
// across eight relays of two boards, against the floor of one broker round
// trip plus one `relayctl on N` run; then the bridge's CPU time while idle
// with a read-back every 5 s, and its peak resident memory.
//
//   mqtt_bench RELAYMQTT RELAYCTL MOSQUITTO
// with the virtual board's folder on LD_LIBRARY_PATH. Starts a broker of its
// own on a free loopback port, with set_tcp_nodelay on (see the README).
// Prints its rows of the benchmark table on stdout (see tools/bench).
#include "bench_process.h"
#include "bench_table.h"

#include <mosquitto.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCommands = 1000;
constexpr int kFloorSamples = 41;
constexpr auto kIdle = std::chrono::seconds(60);
constexpr auto kAnswerTimeout = std::chrono::seconds(10);
const std::vector<std::string> kBoards = {"A1", "B2"};

int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0) {
        return -1;
    }
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(fd);
    return bound ? ntohs(address.sin_port) : -1;
}

double Percentile(std::vector<double> samples, double share)
{
    std::sort(samples.begin(), samples.end());
    const auto index = static_cast<std::size_t>(std::lround(share * static_cast<double>(samples.size() - 1)));
    return samples[index];
}

// The CPU time (user and system) a process has used, in seconds.
double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14 || number == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The peak resident set of a process, in bytes.
double PeakResident(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) * 1024;
        }
    }
    return -1;
}

// A client that keeps the last payload of every topic it hears.
class Listener {
public:
    explicit Listener(int port)
    {
        m_client = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(m_client, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_message_callback_set(m_client, [](mosquitto*, void* self, const mosquitto_message* message) {
            static_cast<Listener*>(self)->Heard(message);
        });
        m_connected = m_client != nullptr && mosquitto_connect(m_client, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS &&
                      mosquitto_subscribe(m_client, nullptr, "#", 0) == MOSQ_ERR_SUCCESS &&
                      mosquitto_loop_start(m_client) == MOSQ_ERR_SUCCESS;
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    Listener(Listener&&) = delete;
    Listener& operator=(Listener&&) = delete;
    ~Listener()
    {
        if (m_client != nullptr) {
            mosquitto_disconnect(m_client);
            mosquitto_loop_stop(m_client, false);
            mosquitto_destroy(m_client);
        }
    }

    bool connected() const { return m_connected; }

    void Publish(const std::string& topic, const std::string& payload)
    {
        mosquitto_publish(m_client, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0, false);
    }

    // Waits until the topic's last payload is this one; false on time-out.
    bool Await(const std::string& topic, const std::string& payload, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] {
            const auto found = m_last.find(topic);
            return found != m_last.end() && found->second == payload;
        });
    }

    void Forget(const std::string& topic)
    {
        const std::lock_guard lock(m_mutex);
        m_last.erase(topic);
    }

private:
    void Heard(const mosquitto_message* message)
    {
        const std::lock_guard lock(m_mutex);
        m_last[message->topic] =
            std::string(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
        m_changed.notify_all();
    }

    mosquitto* m_client = nullptr;
    bool m_connected = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, std::string> m_last;
};

std::string StateTopic(const std::string& board, int relay)
{
    return "relayboard/" + board + "/relay/" + std::to_string(relay) + "/state";
}

int Fail(const char* what)
{
    std::fprintf(stderr, "mqtt_bench: %s\n", what);
    return EXIT_FAILURE;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: mqtt_bench RELAYMQTT RELAYCTL MOSQUITTO\n");
        return EXIT_FAILURE;
    }
    const std::string folder = bench::ScratchFolder("mqtt-bench");
    if (folder.empty() || setenv("VBOARD_DIR", (folder + "/boards").c_str(), 1) != 0 ||
        setenv("VBOARD_SERIALS", "A1,B2", 1) != 0) {
        return Fail("cannot make a scratch folder");
    }
    std::filesystem::create_directory(folder + "/boards");
    std::filesystem::permissions(folder + "/boards", std::filesystem::perms::owner_all);
    const int port = FreePort();
    std::ofstream(folder + "/broker.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                                           << "persistence false\nset_tcp_nodelay true\n";
    std::ofstream(folder + "/bridge.conf") << "host = 127.0.0.1\nport = " << port << "\nnode = bench\n";
    std::filesystem::permissions(folder + "/bridge.conf",
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    mosquitto_lib_init();
    const pid_t broker = bench::Spawn({argv[3], "-c", folder + "/broker.conf"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int result = EXIT_SUCCESS;
    pid_t bridge = -1;
    {
        Listener client(port);
        bridge = bench::Spawn({argv[1], "--config", folder + "/bridge.conf"});
        const bool announced = client.connected() &&
                               client.Await(StateTopic("B2", 8), "OFF", std::chrono::seconds(10)) &&
                               client.Await(StateTopic("A1", 8), "OFF", std::chrono::seconds(10));

        // The floor: one round trip through the broker, and one relayctl run.
        std::vector<double> roundTrips;
        std::vector<double> runs;
        for (int sample = 0; announced && sample < kFloorSamples; ++sample) {
            const std::string payload = std::to_string(sample);
            const auto start = Clock::now();
            client.Publish("bench/echo", payload);
            if (!client.Await("bench/echo", payload, kAnswerTimeout)) {
                break;
            }
            roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            runs.push_back(bench::TimedRun({argv[2], "-s", "A1", "get"}));
        }

        // The commands, one after the other, each switching its relay over.
        std::map<std::string, bool> on;
        std::vector<double> latencies;
        for (int command = 0; announced && command < kCommands; ++command) {
            const std::string& board = kBoards[static_cast<std::size_t>(command) % kBoards.size()];
            const int relay = (command / 2) % 8 + 1;
            const std::string topic = StateTopic(board, relay);
            const bool wanted = !on[topic];
            const std::string payload = wanted ? "ON" : "OFF";
            const auto start = Clock::now();
            client.Publish("relayboard/" + board + "/relay/" + std::to_string(relay) + "/set", payload);
            if (!client.Await(topic, payload, kAnswerTimeout)) {
                break;
            }
            latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            on[topic] = wanted;
        }

        // The final states, read from the boards themselves.
        bool statesRight = latencies.size() == static_cast<std::size_t>(kCommands);
        for (const std::string& board : kBoards) {
            std::string expected;
            for (int relay = 1; relay <= 8; ++relay) {
                if (on[StateTopic(board, relay)]) {
                    expected += ' ' + std::to_string(relay);
                }
            }
            const std::string out = folder + "/get.out";
            std::string line = "'";
            line.append(argv[2]).append("' -s ").append(board).append(" get > ").append(out);
            statesRight = statesRight && std::system(line.c_str()) == 0;
            std::ifstream got(out);
            std::string text;
            std::getline(got, text);
            statesRight = statesRight && text == (expected.empty() ? "all relays off" : "relays on:" + expected);
        }

        if (!announced || roundTrips.size() != static_cast<std::size_t>(kFloorSamples) ||
            std::find_if(runs.begin(), runs.end(), [](double run) { return run < 0; }) != runs.end()) {
            result = Fail("the bridge did not announce its boards, or the floor could not be measured");
        } else {
            const double floor = Percentile(roundTrips, 0.5) + Percentile(runs, 0.5);
            const double median = latencies.empty() ? -1 : Percentile(latencies, 0.5);
            bench::Row("MQTT command to its state, median of " + std::to_string(latencies.size()) +
                           " over 8 relays of 2 boards",
                       bench::Milli(median), "<= 1.5x the floor", median >= 0 && median <= 1.5 * floor);
            bench::Row("The same, 99th percentile", bench::Milli(latencies.empty() ? -1 : Percentile(latencies, 0.99)),
                       "", std::nullopt);
            bench::Row("Floor: a broker round trip (" + bench::Milli(Percentile(roundTrips, 0.5)) +
                           ") plus one relayctl run (" + bench::Milli(Percentile(runs, 0.5)) + ")",
                       bench::Milli(floor), "", std::nullopt);
            bench::Row("Every command applied, final states right on both boards", statesRight ? "yes" : "no", "yes",
                       statesRight);

            const double before = CpuSeconds(bridge);
            std::this_thread::sleep_for(kIdle);
            const double share = (CpuSeconds(bridge) - before) / static_cast<double>(kIdle.count()) * 100;
            bench::Row("relaymqtt idle, read-back every 5 s, CPU over a minute", bench::Fixed(share, 2) + " %",
                       "<= 0.5 %", share <= 0.5);
            const double peak = PeakResident(bridge);
            bench::Row("relaymqtt peak resident memory", bench::Mebi(peak), "<= 10 MiB", peak <= 10.0 * 1024 * 1024);
        }
    }
    for (const pid_t child : {bridge, broker}) {
        if (child > 0) {
            kill(child, SIGTERM);
            waitpid(child, nullptr, 0);
        }
    }
    mosquitto_lib_cleanup();
    std::filesystem::remove_all(folder);
    return result;
}
