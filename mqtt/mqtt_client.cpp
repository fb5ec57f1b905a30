#include "mqtt_client.h"

#include "config.h"
#include "log.h"
#include "topics.h"

#include <mosquitto.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <random>

namespace {

constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
// Seconds between reconnection attempts: doubled from the first to the last.
constexpr unsigned kFirstReconnectDelay = 1;
constexpr unsigned kLastReconnectDelay = 30;
// Seconds before connecting again after a takeover: doubled at each one.
constexpr unsigned kFirstTakeoverDelay = 60;
constexpr unsigned kLastTakeoverDelay = 900;
// SSL_VERIFY_PEER: the broker's certificate must check out against the CA file.
constexpr int kVerifyPeer = 1;

// Keeps the network thread from being cancelled while this code runs: a
// thread cancelled halfway through a log line would leave the log locked.
class NoCancel {
public:
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_before); }
    NoCancel(const NoCancel&) = delete;
    NoCancel& operator=(const NoCancel&) = delete;
    NoCancel(NoCancel&&) = delete;
    NoCancel& operator=(NoCancel&&) = delete;
    ~NoCancel() { pthread_setcancelstate(m_before, nullptr); }

private:
    int m_before = 0;
};

MqttClient& Self(void* self)
{
    return *static_cast<MqttClient*>(self);
}

// The library's words for a result, without their full stop, to go inside a
// log line.
std::string Reason(const char* text)
{
    std::string reason(text);
    if (!reason.empty() && reason.back() == '.') {
        reason.pop_back();
    }
    return reason;
}

std::string Where(const Config& config)
{
    return config.host + ':' + std::to_string(config.port);
}

// A mark no other process makes: 128 random bits in hex.
std::string RandomMark()
{
    std::random_device random;
    std::string mark;
    for (int part = 0; part < 4; ++part) {
        std::array<char, 9> hex{};
        std::snprintf(hex.data(), hex.size(), "%08x", static_cast<unsigned>(random()));
        mark += hex.data();
    }
    return mark;
}

}  // namespace

unsigned TakeoverDelay(int takeovers)
{
    unsigned delay = kFirstTakeoverDelay;
    for (int takeover = 1; takeover < takeovers && delay < kLastTakeoverDelay; ++takeover) {
        delay = std::min(2 * delay, kLastTakeoverDelay);
    }
    return delay;
}

MqttClient::MqttClient(const Config& config, Setup setup, Handlers handlers)
    : m_config(config), m_setup(std::move(setup)), m_mark(RandomMark()), m_handlers(std::move(handlers))
{
    mosquitto_lib_init();
}

MqttClient::~MqttClient()
{
    Stop();
    if (m_client != nullptr) {
        mosquitto_destroy(m_client);
    }
    mosquitto_lib_cleanup();
}

bool MqttClient::Start(std::string& reason)
{
    // A clean session: commands sent while the bridge was away are not kept
    // for it, so none is carried out late.
    const std::string id = "relaymqtt-" + m_config.node;
    m_client = mosquitto_new(id.c_str(), true, this);
    if (m_client == nullptr) {
        reason = "cannot make an MQTT client";
        return false;
    }
    // A state goes out as soon as it is known: without this, Nagle's
    // algorithm holds a small publish back until the broker's delayed
    // acknowledgement of the last one, some 40 ms.
    mosquitto_int_option(m_client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(m_client, OnConnect);
    mosquitto_disconnect_callback_set(m_client, OnDisconnect);
    mosquitto_message_callback_set(m_client, OnMessage);
    mosquitto_publish_callback_set(m_client, OnPublish);
    mosquitto_log_callback_set(m_client, OnLog);

    const auto refused = [&](const std::string& step, int result) {
        reason = step + ": " + Reason(mosquitto_strerror(result));
        return false;
    };
    int result = mosquitto_will_set(m_client, m_setup.willTopic.c_str(), static_cast<int>(kOffline.size()),
                                    kOffline.data(), kQos, true);
    if (result != MOSQ_ERR_SUCCESS) {
        return refused("cannot set the last will", result);
    }
    if (!m_config.username.empty()) {
        result = mosquitto_username_pw_set(m_client, m_config.username.c_str(),
                                           m_config.password.empty() ? nullptr : m_config.password.c_str());
        if (result != MOSQ_ERR_SUCCESS) {
            return refused("cannot set the user name and password", result);
        }
    }
    if (!m_config.caFile.empty()) {
        result = mosquitto_tls_set(m_client, m_config.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (result != MOSQ_ERR_SUCCESS) {
            return refused("cannot use the CA file " + m_config.caFile, result);
        }
        result = mosquitto_tls_opts_set(m_client, kVerifyPeer, nullptr, nullptr);
        if (result == MOSQ_ERR_SUCCESS) {
            // The broker's name must match its certificate too.
            result = mosquitto_tls_insecure_set(m_client, false);
        }
        if (result != MOSQ_ERR_SUCCESS) {
            return refused("cannot require the broker's certificate", result);
        }
    }
    Log("connecting to " + Where(m_config) + (m_config.caFile.empty() ? "" : " over TLS") +
        (m_config.username.empty() ? "" : " as " + m_config.username));
    // A broker that cannot be reached now is tried again by the network
    // thread. The reason is taken here: errno is this thread's.
    result = mosquitto_connect_async(m_client, m_config.host.c_str(), m_config.port, kKeepAliveSeconds);
    std::string failure = result == MOSQ_ERR_SUCCESS ? std::string() : Reason(mosquitto_strerror(result));
    m_retryDelay = kFirstReconnectDelay;
    m_thread = std::thread([this, failure = std::move(failure)]() mutable { Run(std::move(failure)); });
    m_started = true;
    return true;
}

void MqttClient::Run(std::string failure)
{
    // Cancelled only inside the library's calls, as in a connect to a host
    // that does not answer.
    int cancelState = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    for (;;) {
        if (failure.empty()) {
            pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
            int result = MOSQ_ERR_SUCCESS;
            do {
                result = mosquitto_loop(m_client, -1, 1);
                if (result == MOSQ_ERR_SUCCESS && m_markDue) {
                    MarkConnection();
                }
            } while (result == MOSQ_ERR_SUCCESS);
            // A connection lost before its mark was left: the next one leaves it.
            m_markDue = false;
            failure = Reason(mosquitto_strerror(result));
            pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stopping) {
            return;
        }
        // Every wait is logged with its length: doubled after each failure up
        // to the longest, back to the first after a connection; after a
        // takeover a longer one, doubled at each takeover.
        unsigned delay = m_retryDelay;
        std::string line = m_lost ? "lost the connection to " + Where(m_config) + " (" + failure + ")"
                                  : "cannot reach " + Where(m_config) + ": " + failure;
        if (m_lost && m_takenOver) {
            delay = TakeoverDelay(++m_takeovers);
            line += ": another client with the same node '" + m_config.node + "' holds it";
        } else {
            m_retryDelay = std::min(2 * delay, kLastReconnectDelay);
        }
        line += "; trying again in " + std::to_string(delay) + " s";
        Log(line);
        m_lost = false;
        m_takenOver = false;
        if (m_stop.wait_for(lock, std::chrono::seconds(delay), [this] { return m_stopping; })) {
            return;
        }
        lock.unlock();
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        const int result = mosquitto_reconnect(m_client);
        failure = result == MOSQ_ERR_SUCCESS ? std::string() : Reason(mosquitto_strerror(result));
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    }
}

void MqttClient::Subscribe(const std::string& filter)
{
    const int result = mosquitto_subscribe(m_client, nullptr, filter.c_str(), kQos);
    // Without a connection the next one subscribes again.
    if (result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_NO_CONN) {
        Log("cannot subscribe to " + filter + ": " + Reason(mosquitto_strerror(result)));
    }
}

int MqttClient::Send(const std::string& topic, std::string_view payload, bool retain)
{
    int id = 0;
    const int result =
        mosquitto_publish(m_client, &id, topic.c_str(), static_cast<int>(payload.size()), payload.data(), kQos, retain);
    if (result == MOSQ_ERR_NO_CONN) {
        // Everything is published again on the next connection.
        return -1;
    }
    if (result != MOSQ_ERR_SUCCESS) {
        Log("cannot publish to " + topic + ": " + Reason(mosquitto_strerror(result)));
        return -1;
    }
    return id;
}

void MqttClient::Publish(const std::string& topic, std::string_view payload, bool retain)
{
    Send(topic, payload, retain);
}

bool MqttClient::PublishAndWait(const std::string& topic, std::string_view payload, bool retain,
                                std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_connected || m_stopping) {
        return false;
    }
    m_recording = true;
    m_acknowledged.clear();
    lock.unlock();
    const int id = Send(topic, payload, retain);
    lock.lock();
    const bool taken = id >= 0 && m_published.wait_for(lock, timeout, [&] { return m_acknowledged.count(id) != 0; });
    m_recording = false;
    m_acknowledged.clear();
    return taken;
}

void MqttClient::Stop()
{
    if (!m_started) {
        return;
    }
    m_started = false;
    bool connected = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        connected = m_connected;
    }
    m_stop.notify_all();
    mosquitto_disconnect(m_client);
    if (!connected) {
        // The thread may be in a connect to a host that does not answer,
        // which the library's disconnect does not end: the thread is
        // cancelled, as the library's own loop_stop does. In its own wait
        // the notify above ends it.
        pthread_cancel(m_thread.native_handle());
    }
    m_thread.join();
}

void MqttClient::OnConnect(mosquitto* /*client*/, void* self, int result)
{
    const NoCancel noCancel;
    MqttClient& client = Self(self);
    if (result != 0) {
        Log("the broker at " + Where(client.m_config) +
            " refused the connection: " + Reason(mosquitto_connack_string(result)));
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(client.m_mutex);
        client.m_connected = true;
        client.m_retryDelay = kFirstReconnectDelay;
    }
    Log("connected to " + Where(client.m_config));
    ++client.m_connections;
    // The broker handles one client's packets in order: the mark kept until
    // now arrives before this connection's own replaces it.
    client.Subscribe(client.m_setup.claimTopic);
    client.m_markDue = true;
    client.m_handlers.connected();
}

void MqttClient::MarkConnection()
{
    // Published outside the library's callbacks, which run under a lock of
    // its own that a publish must not be taken under; and not cancelled
    // halfway, holding the library's locks.
    const NoCancel noCancel;
    m_markDue = false;
    Send(m_setup.claimTopic, m_mark, true);
}

void MqttClient::Claimed(std::string_view mark)
{
    // A mark left by an earlier run of this bridge is found at its first
    // connection, and tells nothing.
    if (mark == m_mark || m_connections < 2) {
        return;
    }
    m_takenOver = true;
    Log("another client with the same node '" + m_config.node + "' took over the connection to " + Where(m_config) +
        "; give each bridge its own node in " + Loggable(m_setup.configFile, kLongestPath));
}

void MqttClient::OnDisconnect(mosquitto* /*client*/, void* self, int result)
{
    const NoCancel noCancel;
    MqttClient& client = Self(self);
    {
        const std::lock_guard<std::mutex> lock(client.m_mutex);
        // A loss is logged by the network thread, with the wait before the
        // next attempt.
        client.m_lost = client.m_connected && result != 0;
        client.m_connected = false;
    }
    if (result == 0) {
        Log("disconnected from " + Where(client.m_config));
    }
}

void MqttClient::OnMessage(mosquitto* /*client*/, void* self, const mosquitto_message* message)
{
    const NoCancel noCancel;
    const std::size_t length = message->payloadlen > 0 ? static_cast<std::size_t>(message->payloadlen) : 0;
    if (Self(self).m_setup.claimTopic == message->topic) {
        if (message->retain) {
            Self(self).Claimed(std::string_view(static_cast<const char*>(message->payload), length));
        }
        return;
    }
    // Nothing thrown may cross the library's C code.
    try {
        const MqttClient::Message received{
            message->topic, std::string_view(static_cast<const char*>(message->payload), length), message->retain};
        Self(self).m_handlers.message(received);
    } catch (const std::exception& error) {
        Log(std::string("a message dropped: ") + error.what());
    }
}

void MqttClient::OnPublish(mosquitto* /*client*/, void* self, int id)
{
    const NoCancel noCancel;
    MqttClient& client = Self(self);
    {
        const std::lock_guard<std::mutex> lock(client.m_mutex);
        if (client.m_recording) {
            client.m_acknowledged.insert(id);
        }
    }
    client.m_published.notify_all();
}

void MqttClient::OnLog(mosquitto* /*client*/, void* /*self*/, int level, const char* text)
{
    const NoCancel noCancel;
    // The library's own warnings and errors (a certificate that does not
    // check out); its chatter about each packet stays out.
    if ((level & (MOSQ_LOG_WARNING | MOSQ_LOG_ERR)) != 0) {
        Log(std::string("mqtt: ") + text);
    }
}
