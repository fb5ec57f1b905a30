// The bridge's connection to its broker over libmosquitto. A network thread
// of its own runs the library's loop, which calls back here; the callbacks
// only log and hand what arrived to the handlers. Whatever ends a connection
// or an attempt, a broker gone or one whose certificate does not check out
// (it may be put right while the bridge runs), the thread connects again
// after a delay it logs: one second, doubled after each failure up to half a
// minute, and one second again after a connection.
//
// Two bridges with one node share a client id, and the broker closes the
// older connection whenever the other connects; mosquitto before 2.0.15 says
// nothing to the client it throws off. So each connection leaves a mark of
// this process, retained, on a topic of the node, read back before it is
// written: a connection after a loss that finds another client's mark was
// taken over. The bridge then says so, with what to change, and waits a
// minute, doubled at each further takeover up to a quarter of an hour,
// instead of throwing the other off again within the second.
#pragma once

#include "publisher.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

struct Config;
struct mosquitto;
struct mosquitto_message;

// Seconds to wait before connecting again after the `takeovers`-th takeover
// (from 1): a minute, doubled at each one up to a quarter of an hour.
unsigned TakeoverDelay(int takeovers);

class MqttClient : public Publisher {
public:
    struct Message {
        std::string topic;
        // The library's own copy, valid during the handler's call: a payload
        // of any length is judged before any of it is copied.
        std::string_view payload;
        bool retained = false;  // delivered because a subscription was made: an old message
    };
    // Both run on the network thread.
    struct Handlers {
        std::function<void()> connected;  // after every connection the broker accepted
        std::function<void(const Message&)> message;
    };

    // What the client needs to know besides the config.
    struct Setup {
        std::string configFile;  // named in the advice after a takeover
        std::string willTopic;   // gets `offline`, retained, when the bridge goes without a clean stop
        std::string claimTopic;  // where each connection leaves this process's mark
    };

    MqttClient(const Config& config, Setup setup, Handlers handlers);
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;
    MqttClient(MqttClient&&) = delete;
    MqttClient& operator=(MqttClient&&) = delete;
    ~MqttClient() override;

    // Sets the client up and starts connecting; false, with the reason, when
    // the library takes the settings or the start amiss.
    bool Start(std::string& reason);
    void Subscribe(const std::string& filter) override;
    void Publish(const std::string& topic, std::string_view payload, bool retain) override;
    // Publishes, then waits until the broker has taken the message; false when
    // not connected, or when the broker has not answered within `timeout`.
    bool PublishAndWait(const std::string& topic, std::string_view payload, bool retain,
                        std::chrono::milliseconds timeout);
    // Disconnects and ends the network thread. After a disconnect the broker
    // drops the last will: the bridge says `offline` itself before.
    void Stop();

private:
    static void OnConnect(mosquitto* client, void* self, int result);
    static void OnDisconnect(mosquitto* client, void* self, int result);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto* client, void* self, int id);
    static void OnLog(mosquitto* client, void* self, int level, const char* text);

    // The network thread; `failure`: why the first connect failed, empty
    // while it is under way.
    void Run(std::string failure);
    // Publishes; the message id, or -1 when the library refused it.
    int Send(const std::string& topic, std::string_view payload, bool retain);

    // A mark found on the claim topic, retained: another client's after a
    // loss means a takeover.
    void Claimed(std::string_view mark);
    // Leaves this process's mark for the connection made.
    void MarkConnection();

    const Config& m_config;
    Setup m_setup;
    std::string m_mark;  // this process's, made at random
    Handlers m_handlers;
    mosquitto* m_client = nullptr;
    bool m_started = false;
    std::thread m_thread;

    std::mutex m_mutex;
    std::condition_variable m_published;
    bool m_recording = false;      // while PublishAndWait waits
    std::set<int> m_acknowledged;  // message ids the broker has taken, while recording
    bool m_connected = false;
    bool m_lost = false;  // a connection ended other than by Stop, not logged yet
    bool m_stopping = false;
    std::condition_variable m_stop;
    unsigned m_retryDelay = 0;  // seconds before the loop is started again
    // Only the network thread uses these.
    int m_connections = 0;     // connections the broker accepted so far
    bool m_markDue = false;    // connected: the mark is to be left once the callback is done
    bool m_takenOver = false;  // this connection follows a takeover: it ends in the longer wait
    int m_takeovers = 0;       // takeovers waited out so far
};
