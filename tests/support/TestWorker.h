#pragma once
// A worker whose messages say what to do ("tag" to record, "gate" to block
// until released, "spin_us" to keep busy, "throw", "request_stop"), with counters for connect and
// disconnect, a timer queue polled in its timer pass, and an owner that
// records thread ends and detaches the thread as the registry does.

#include "JsonReader.h"
#include "TimerQueue.h"
#include "Worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// Generous: only a missing wake-up or a hang ever takes this long.
constexpr std::chrono::seconds kPatience{30};

class RecordingOwner : public rrm::WorkerOwner {
public:
    void stop_domain_event(const std::string& domain) override
    {
        std::shared_ptr<rrm::Worker> w;
        {
            std::lock_guard<std::mutex> g(m);
            w = worker.lock();
        }
        if (w && detach_on_end)
            w->detach();
        std::lock_guard<std::mutex> g(m);
        names.push_back(domain);
        cv.notify_all();
    }
    bool wait_for_calls(size_t n)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, kPatience, [&] { return names.size() >= n; });
    }
    std::vector<std::string> calls()
    {
        std::lock_guard<std::mutex> g(m);
        return names;
    }
    void watch(const std::shared_ptr<rrm::Worker>& w)
    {
        std::lock_guard<std::mutex> g(m);
        worker = w;
    }

    bool detach_on_end = true;

private:
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> names;
    std::weak_ptr<rrm::Worker> worker;
};

class TestWorker : public rrm::Worker {
public:
    TestWorker(rrm::WorkerOwner* owner, bool use_eventfd, int32_t idle_wait_us = 10000,
               int32_t capacity = 2048)
        : Worker("test-worker", owner, idle_wait_us, capacity, use_eventfd)
    {
    }

    void process_message(const rrm::JsonReader& json, const rrm::QueueMessage& msg) override
    {
        if (process_internal_ipc_msg(json, msg)) {
            record("internal");
            return;
        }
        if (json.get_int("gate"))
            wait_gate();
        if (const int spin_us = json.get_int("spin_us")) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(spin_us);
            while (std::chrono::steady_clock::now() < until) {
            }
        }
        if (json.get_int("throw") == 1)
            throw std::runtime_error("bad message");
        if (json.get_int("throw") == 2)
            throw 7;
        if (json.get_int("request_stop"))
            request_stop();
        std::string tag = json.get_string("tag");
        record(tag + (connect_calls.load() > 0 ? "" : " before connect"));
    }
    bool connect() override
    {
        ++connect_calls;
        if (connect_failures > 0) {
            --connect_failures;
            return false;
        }
        return Worker::connect();
    }
    void disconnect() override
    {
        ++disconnect_calls;
        Worker::disconnect();
    }
    void poll_timers() override
    {
        ++timer_passes;
        timers.poll();
    }
    void to_json(rrm::JsonWriter&) override {}
    void to_json_full(rrm::JsonWriter&) override {}

    // Queues {"tag": tag} plus extra members given as JSON text ("\"gate\":1").
    void send(const std::string& tag, const std::string& extra = "", bool force = false,
              uint32_t session_id = 1)
    {
        std::string text = "{\"tag\":\"" + tag + "\"" + (extra.empty() ? "" : "," + extra) + "}";
        BaseSession s{nullptr, 0, session_id};
        if (force)
            enqueue_message_force(rrm::JsonReader(text.c_str()), s);
        else
            enqueue_message(rrm::JsonReader(text.c_str()), s);
    }

    std::vector<std::string> handled()
    {
        std::lock_guard<std::mutex> g(m);
        return log;
    }
    bool wait_handled(size_t n)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, kPatience, [&] { return log.size() >= n; });
    }
    // Blocks until a gated message has been entered.
    bool wait_in_gate()
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, kPatience, [&] { return in_gate; });
    }
    void open_gate()
    {
        std::lock_guard<std::mutex> g(m);
        gate_open = true;
        cv.notify_all();
    }

    void record(const std::string& what)
    {
        std::lock_guard<std::mutex> g(m);
        log.push_back(what);
        cv.notify_all();
    }

    // Reach into the base for assertions.
    bool is_running() const { return running; }
    bool is_stop_requested() const { return stop_requested; }
    uint64_t dropped() const { return queue.dropped.load(); }
    uint64_t ring_capacity() const { return queue.capacity(); }
    bool has_eventfd() const { return queue.event_fd != -1; }
    void set_attempt_limit(uint64_t n) { enqueue_attempt_limit = n; }

    std::atomic<int> connect_calls{0};
    std::atomic<int> disconnect_calls{0};
    std::atomic<int> connect_failures{0};
    std::atomic<int> timer_passes{0};
    // Used on the worker thread and under run_locked only.
    rrm::TimerQueue timers;

private:
    void wait_gate()
    {
        std::unique_lock<std::mutex> g(m);
        in_gate = true;
        cv.notify_all();
        cv.wait_for(g, kPatience, [&] { return gate_open; });
        in_gate = false;
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> log;
    bool in_gate = false;
    bool gate_open = false;
};

}  // namespace testsupport
