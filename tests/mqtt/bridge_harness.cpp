#include "bridge_harness.h"

#include "boards/virtual/state_file.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace bridge_test {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what);
}

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
        Fail("cannot write " + path.string());
    }
}

// A loopback port no one listens on now.
int FreePort()
{
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (socket < 0 || bind(socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail(std::string("no free port: ") + std::strerror(errno));
    }
    close(socket);
    return ntohs(address.sin_port);
}

bool Accepts(int port)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool accepted = connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(socket);
    return accepted;
}

std::string UserName()
{
    const passwd* user = getpwuid(geteuid());
    if (user == nullptr) {
        Fail("who am I?");
    }
    return user->pw_name;
}

}  // namespace

Child::Child(const std::vector<std::string>& command, const std::vector<std::string>& environment,
             const fs::path& output)
{
    std::map<std::string, std::string> settings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        settings[text.substr(0, text.find('='))] = text;
    }
    for (const std::string& setting : environment) {
        settings[setting.substr(0, setting.find('='))] = setting;
    }
    std::vector<char*> envp;
    envp.reserve(settings.size() + 1);
    for (auto& [name, setting] : settings) {
        envp.push_back(setting.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> words = command;
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int failed = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        Fail("cannot start " + command[0] + ": " + std::strerror(failed));
    }
}

Child::~Child()
{
    if (!m_status) {
        kill(m_pid, SIGKILL);
        Wait(5s);
    }
}

void Child::Signal(int signal)
{
    kill(m_pid, signal);
}

std::optional<int> Child::Wait(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!m_status) {
        int status = 0;
        const pid_t ended = waitpid(m_pid, &status, WNOHANG);
        if (ended == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (Clock::now() >= deadline) {
            break;
        } else {
            std::this_thread::sleep_for(10ms);
        }
    }
    return m_status;
}

int Run(const std::vector<std::string>& command, const std::vector<std::string>& environment, const fs::path& output)
{
    Child child(command, environment, output);
    const std::optional<int> status = child.Wait(30s);
    if (!status) {
        Fail(command[0] + " did not end");
    }
    return *status;
}

const Certificates& MakeCertificates(const fs::path& folder)
{
    static const Certificates made = [&] {
        fs::create_directories(folder);
        // Two CAs, a certificate for the broker at 127.0.0.1 signed by the
        // first, and the broker's password file.
        const std::string script =
            "cd '" + folder.string() + "' && key='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes' && " +
            OPENSSL_PROGRAM + " req -x509 $key -keyout ca.key -out ca.crt -days 2 -subj /CN=test-CA && " +
            OPENSSL_PROGRAM + " req -x509 $key -keyout other-ca.key -out other-ca.crt -days 2 -subj /CN=other-CA && " +
            OPENSSL_PROGRAM + " req $key -keyout broker.key -out broker.csr -subj /CN=localhost && " +
            "echo subjectAltName=IP:127.0.0.1,DNS:localhost >broker.ext && " + OPENSSL_PROGRAM +
            " x509 -req -in broker.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out broker.crt -days 2"
            " -extfile broker.ext && rm -f passwords && " +
            MOSQUITTO_PASSWD_PROGRAM + " -b -c passwords " + kUser + " " + kPassword;
        if (Run({"/bin/sh", "-c", script}, {}, folder / "certificates.log") != 0) {
            Fail("cannot make the certificates; see " + (folder / "certificates.log").string());
        }
        return Certificates{folder / "ca.crt", folder / "other-ca.crt", folder / "broker.crt", folder / "broker.key",
                            folder / "passwords"};
    }();
    return made;
}

Broker::Broker(fs::path folder, const Certificates* tls) : m_folder(std::move(folder)), m_port(FreePort())
{
    std::string config = "listener " + std::to_string(m_port) +
                         " 127.0.0.1\n"
                         "persistence false\n"
                         // Run as root, the broker would become the user mosquitto,
                         // who cannot read the test's files.
                         "user " +
                         UserName() + "\n";
    if (tls != nullptr) {
        config += "allow_anonymous false\n"
                  "password_file " +
                  tls->passwords.string() +
                  "\n"
                  "cafile " +
                  tls->ca.string() +
                  "\n"
                  "certfile " +
                  tls->cert.string() +
                  "\n"
                  "keyfile " +
                  tls->key.string() + "\n";
    } else {
        config += "allow_anonymous true\n";
    }
    WriteAll(m_folder / "mosquitto.conf", config);
    Start();
}

Broker::Broker(fs::path folder, const std::string& moreConfig) : Broker(std::move(folder))
{
    Stop();
    std::ofstream(m_folder / "mosquitto.conf", std::ios::app) << moreConfig;
    Start();
}

void Broker::Start()
{
    m_process.emplace(std::vector<std::string>{MOSQUITTO_PROGRAM, "-c", (m_folder / "mosquitto.conf").string()},
                      std::vector<std::string>{}, m_folder / "mosquitto.log");
    const auto deadline = Clock::now() + 5s;
    while (!Accepts(m_port)) {
        if (m_process->Wait(0ms) || Clock::now() >= deadline) {
            Fail("the broker did not start; see " + (m_folder / "mosquitto.log").string());
        }
        std::this_thread::sleep_for(10ms);
    }
}

void Broker::Stop()
{
    m_process->Signal(SIGTERM);
    if (!m_process->Wait(5s)) {
        Fail("the broker did not stop");
    }
    m_process.reset();
}

Watcher::Watcher(int port, const Certificates* tls)
{
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    m_client = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(m_client, OnConnect);
    mosquitto_message_callback_set(m_client, OnMessage);
    mosquitto_subscribe_callback_set(m_client, [](mosquitto*, void* self, int, int, const int*) {
        auto* watcher = static_cast<Watcher*>(self);
        {
            const std::lock_guard<std::mutex> lock(watcher->m_mutex);
            watcher->m_subscribed = true;
        }
        watcher->m_arrived.notify_all();
    });
    mosquitto_reconnect_delay_set(m_client, 1, 1, false);
    if (tls != nullptr) {
        mosquitto_tls_set(m_client, tls->ca.c_str(), nullptr, nullptr, nullptr, nullptr);
        mosquitto_username_pw_set(m_client, kUser, kPassword);
    }
    if (mosquitto_connect(m_client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(m_client) != MOSQ_ERR_SUCCESS) {
        Fail("the watcher cannot connect");
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_arrived.wait_for(lock, 5s, [this] { return m_subscribed; })) {
        Fail("the watcher was not subscribed");
    }
}

Watcher::~Watcher()
{
    mosquitto_disconnect(m_client);
    mosquitto_loop_stop(m_client, true);
    mosquitto_destroy(m_client);
}

void Watcher::OnConnect(mosquitto* client, void* /*self*/, int result)
{
    if (result == 0) {
        mosquitto_subscribe(client, nullptr, "#", 1);
    }
}

void Watcher::OnMessage(mosquitto* /*client*/, void* self, const mosquitto_message* message)
{
    auto* watcher = static_cast<Watcher*>(self);
    {
        const std::lock_guard<std::mutex> lock(watcher->m_mutex);
        watcher->m_received.push_back(
            {message->topic,
             std::string(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen)),
             message->retain, message->qos});
    }
    watcher->m_arrived.notify_all();
}

void Watcher::Publish(const std::string& topic, const std::string& payload, bool retain)
{
    if (mosquitto_publish(m_client, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                          retain) != MOSQ_ERR_SUCCESS) {
        Fail("cannot publish to " + topic);
    }
}

bool Watcher::WaitFor(const std::function<bool(const std::vector<Message>&)>& done, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, timeout, [&] { return done(m_received); });
}

bool Watcher::WaitForLast(const std::string& topic, const std::string& payload, std::chrono::milliseconds timeout)
{
    return WaitFor(
        [&](const std::vector<Message>& received) {
            const auto last = std::find_if(received.rbegin(), received.rend(),
                                           [&](const Message& message) { return message.topic == topic; });
            return last != received.rend() && last->payload == payload;
        },
        timeout);
}

std::vector<Message> Watcher::Received()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::vector<Message> Watcher::On(const std::string& topic)
{
    std::vector<Message> on;
    for (Message& message : Received()) {
        if (message.topic == topic) {
            on.push_back(std::move(message));
        }
    }
    return on;
}

std::string Watcher::Last(const std::string& topic)
{
    const std::vector<Message> on = On(topic);
    return on.empty() ? "(nothing)" : on.back().payload;
}

void Watcher::Forget()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_received.clear();
}

Bridge::Bridge(const fs::path& folder, const std::string& config, const Boards& boards,
               const std::vector<std::string>& environment)
    : m_log(folder / "bridge.log")
{
    const fs::path file = folder / "relaymqtt.conf";
    WriteAll(file, config);
    fs::permissions(file, fs::perms(0644));
    std::vector<std::string> settings = boards.Environment();
    settings.insert(settings.end(), environment.begin(), environment.end());
    m_process.emplace(std::vector<std::string>{RELAYMQTT_PROGRAM, "--config", file.string()}, settings, m_log);
}

std::string Bridge::Log() const
{
    return ReadAll(m_log);
}

bool Bridge::WaitForLog(const std::string& text, int count, std::chrono::milliseconds timeout) const
{
    const auto deadline = Clock::now() + timeout;
    while (CountOf(Log(), text) < count) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

Boards::Boards(const fs::path& folder, std::string serials) : m_folder(folder), m_serials(std::move(serials))
{
    fs::create_directories(folder);
}

std::vector<std::string> Boards::Environment() const
{
    return {"VBOARD_DIR=" + m_folder.string(), "VBOARD_SERIALS=" + m_serials};
}

std::uint8_t Boards::Lines(const std::string& serial) const
{
    const fs::path file = vboard::StateFileOf(m_folder, serial);
    if (!fs::exists(file)) {
        return 0;
    }
    const std::optional<std::uint8_t> lines = vboard::ParseLines(ReadAll(file));
    if (!lines) {
        Fail("unreadable board file " + file.string());
    }
    return *lines;
}

void Boards::SetUnplugged(const std::vector<std::string>& serials) const
{
    std::string text;
    for (const std::string& serial : serials) {
        text += serial + '\n';
    }
    WriteAll(m_folder / "unplugged", text);
}

int Boards::Relayctl(const std::vector<std::string>& args) const
{
    std::vector<std::string> command = {RELAYCTL_PROGRAM};
    command.insert(command.end(), args.begin(), args.end());
    return Run(command, Environment(), m_folder / "relayctl.log");
}

int CountOf(const std::string& text, const std::string& part)
{
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

std::chrono::milliseconds ProcessorTime(int pid)
{
    // After the command's name, which may hold anything, in brackets: the
    // state is the 3rd field, utime and stime the 14th and 15th.
    const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos) {
        Fail("cannot read /proc/" + std::to_string(pid) + "/stat");
    }
    std::istringstream fields(stat.substr(end + 1));
    std::string field;
    for (int skipped = 3; skipped < 14; ++skipped) {
        fields >> field;
    }
    long long user = 0;
    long long system = 0;
    if (!(fields >> user >> system)) {
        Fail("cannot read the times in /proc/" + std::to_string(pid) + "/stat");
    }
    return std::chrono::milliseconds((user + system) * 1000 / sysconf(_SC_CLK_TCK));
}

SilentPort::SilentPort()
{
    // A backlog of 0 queues one connection; the kernel drops the next ones'
    // first packets, so their connects wait.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    m_listener = socket(AF_INET, SOCK_STREAM, 0);
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 || listen(m_listener, 0) != 0) {
        Fail(std::string("no silent port: ") + std::strerror(errno));
    }
    m_port = ntohs(address.sin_port);
    m_queued = socket(AF_INET, SOCK_STREAM, 0);
    if (m_queued < 0 || connect(m_queued, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Fail(std::string("cannot fill the silent port's queue: ") + std::strerror(errno));
    }
}

SilentPort::~SilentPort()
{
    close(m_queued);
    close(m_listener);
}

}  // namespace bridge_test
