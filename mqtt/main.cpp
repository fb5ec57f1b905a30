// relaymqtt's entry: the command line, the config, then the bridge and its
// broker connection until SIGTERM or SIGINT.
#include "bridge.h"
#include "config.h"
#include "log.h"
#include "mqtt_client.h"
#include "saved_states.h"
#include "text.h"
#include "topics.h"

#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// How long a clean stop waits for the broker to take the bridge's offline.
constexpr std::chrono::seconds kOfflineTimeout{3};

constexpr std::string_view kUsageText = "usage: relaymqtt [--config FILE] [--boards FILE] [--help] [--version]\n";
constexpr std::string_view kHelpText =
    "Publishes the relays of FT232R relay boards on an MQTT broker, with Home Assistant's\n"
    "MQTT discovery, and switches them on the commands it receives there.\n"
    "\n"
    "  --config FILE   the config file (default /etc/relaypanel/relaymqtt.conf)\n"
    "  --boards FILE   the boards file (default /etc/relaypanel/boards.conf and the\n"
    "                  user's ~/.config/relaypanel/boards.conf): names, interlocks,\n"
    "                  active-low boards, what to do when a board appears\n"
    "  --help          this text\n"
    "  --version       the version\n"
    "\n"
    "Runs until SIGTERM or SIGINT; logs one event a line on stderr.\n"
    "Exit status: 0 stopped by a signal, 1 failed, 2 bad command line or config.\n";

std::string HostName()
{
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) {
        return {};
    }
    return name.data();
}

}  // namespace

int main(int argc, char* argv[])
{
    const std::span<char*> words(argv, static_cast<std::size_t>(argc));
    std::string configFile(kDefaultConfigFile);
    std::optional<std::string> boardsFile;
    for (std::size_t at = 1; at < words.size(); ++at) {
        const std::string_view word = words[at];
        if (word == "--help") {
            std::cout << kUsageText << '\n' << kHelpText;
            return kDone;
        }
        if (word == "--version") {
            std::cout << "relaymqtt " << RELAYMQTT_VERSION << '\n';
            return kDone;
        }
        if (word == "--config" && at + 1 < words.size()) {
            configFile = words[++at];
        } else if (word.starts_with("--config=")) {
            configFile = word.substr(std::string_view("--config=").size());
        } else if (word == "--boards" && at + 1 < words.size()) {
            boardsFile = words[++at];
        } else if (word.starts_with("--boards=")) {
            boardsFile = word.substr(std::string_view("--boards=").size());
        } else {
            std::cerr << "relaymqtt: "
                      << (word == "--config" || word == "--boards" ? std::string(word) + " needs a file"
                                                                   : "unknown argument '" + Loggable(word) + "'")
                      << '\n'
                      << kUsageText;
            return kUsage;
        }
    }

    const ParsedConfig parsed = LoadConfig(configFile, HostName());
    if (!parsed.config) {
        Log("relaymqtt: " + parsed.error.Describe());
        return kUsage;
    }
    Config config = *parsed.config;
    const ParsedBoards parsedBoards = LoadBoardsFiles(boardsFile ? std::vector<std::filesystem::path>{*boardsFile}
                                                                 : DefaultBoardsFiles(ProcessEnvironment),
                                                      boardsFile.has_value());
    if (!parsedBoards.boards) {
        Log("relaymqtt: " + parsedBoards.error.Describe());
        return kUsage;
    }
    config.boardsFile = *parsedBoards.boards;
    config.savedStates = SavedStatesFile(ProcessEnvironment);

    // The signals are taken by this thread alone, with sigwait below; the
    // threads started from here on inherit the blocked set. SIGUSR1 is how
    // the board worker wakes this thread when the driver cannot be loaded. A
    // broker gone mid-write must not end the program.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Log("relaymqtt " RELAYMQTT_VERSION " starting, node " + config.node);
    const Topics topics(config);
    Bridge* bridge = nullptr;
    // The boards' command topics are subscribed to by their announcement.
    MqttClient client(config, {configFile, topics.BridgeAvailability(), topics.BridgeClaim()},
                      {[&] {
                           client.Subscribe(topics.HomeAssistantStatus());
                           bridge->Announce();
                       },
                       [&](const MqttClient::Message& message) {
                           bridge->Receive(message.topic, message.payload, message.retained);
                       }});
    // A driver that cannot be loaded ends the bridge.
    std::atomic<bool> failed = false;
    const pthread_t mainThread = pthread_self();
    Bridge boards(config, client, [&] {
        failed = true;
        pthread_kill(mainThread, SIGUSR1);
    });
    bridge = &boards;
    boards.Start();

    std::string reason;
    if (!client.Start(reason)) {
        Log(reason);
        return kFailed;
    }
    int signal = 0;
    do {
        sigwait(&stopSignals, &signal);
    } while (signal == SIGUSR1 && !failed);
    if (!failed) {
        Log(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    }
    boards.Stop();
    const bool offline = client.PublishAndWait(topics.BridgeAvailability(), kOffline, true, kOfflineTimeout);
    if (offline) {
        Log("published offline");
    } else {
        Log("offline not published: the broker publishes it as the last will");
    }
    client.Stop();
    return failed ? kFailed : kDone;
}
