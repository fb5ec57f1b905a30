// The boards' side of the bridge. One worker thread makes every driver call,
// since the binding serves one thread: it takes commands and announcements
// from a queue in the order they arrived, and reads the boards back every
// poll interval in between. What it learns goes out through the publisher.
// Each board is held only for the few milliseconds a read or a command takes.
#pragma once

#include "config.h"
#include "topics.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class Publisher;
class BoardWorker;

class Bridge {
public:
    // `fatal` is called from the worker when the driver cannot be used at
    // all (no driver library), or when anything was thrown in it; the worker
    // has stopped then.
    Bridge(const Config& config, Publisher& publisher, std::function<void()> fatal);
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;
    Bridge(Bridge&&) = delete;
    Bridge& operator=(Bridge&&) = delete;
    ~Bridge();

    void Start();
    // Finishes the job at hand; what is still queued is dropped, with a log line.
    void Stop();

    // Queues the announcement: the bridge online, and for every board its
    // discovery objects, its availability and its relays' states read afresh.
    void Announce();
    // A message on a command topic or on Home Assistant's status topic: checked
    // here, on the network thread, and queued when it is a good command.
    void Receive(const std::string& topic, std::string_view payload, bool retained);

private:
    struct Job {
        enum class Kind { Announce, Command };
        Kind kind = Kind::Announce;
        std::string id;
        int relay = 0;
        bool on = false;
    };

    void Enqueue(Job job);
    void Run();

    const Config& m_config;
    Topics m_topics;
    std::unique_ptr<BoardWorker> m_worker;
    std::function<void()> m_fatal;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};
