#pragma once
// A real registry with its real WebSocket worker listening on a free port of
// 127.0.0.1, plus a recording domain worker that can be registered for a
// domain: it keeps every message that routing hands it, answers "echo" at
// once through the registry, and can be told to block or throw while the
// parsing thread hands it a message, or to hold its own thread ("hold")
// until released.

#include "Config.h"
#include "JsonReader.h"
#include "LogFolder.h"
#include "QueueMessage.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "WebsockServerWorker.h"
#include "Worker.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

inline bool wait_until(const std::function<bool()>& pred,
                       std::chrono::milliseconds patience = std::chrono::seconds(30))
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct Received {
    std::string text;
    BaseSession session;
};

class RecordingWorker : public rrm::Worker {
public:
    RecordingWorker(const std::string& name, rrm::RRM* registry, int32_t capacity = 2048)
        : Worker(name, registry, 10000, capacity, true), registry_(registry)
    {
    }

    // Runs on the parsing thread, inside the registry's routing.
    bool enqueue_message_or_keep(MessagePtr& msg) override
    {
        const char* cmd = msg->json.get_string("cmd");
        if (std::strcmp(cmd, "throw") == 0)
            throw std::runtime_error("refused by test");
        if (std::strcmp(cmd, "throw-int") == 0)
            throw 42;
        if (std::strcmp(cmd, "block") == 0) {
            std::unique_lock<std::mutex> g(m_);
            blocked_ = true;
            cv_.notify_all();
            cv_.wait(g, [&] { return released_; });
        }
        if (std::strcmp(cmd, "step") == 0) {
            // One permit (allow) per text: the parsing thread does them one
            // at a time, when the test says so.
            std::unique_lock<std::mutex> g(m_);
            cv_.wait(g, [&] { return permits_ > 0; });
            --permits_;
        }
        return Worker::enqueue_message_or_keep(msg);
    }

    void process_message(const rrm::JsonReader& json, const rrm::QueueMessage& msg) override
    {
        if (process_internal_ipc_msg(json, msg))
            return;
        // The registry's notices (a session ended, ...) are not AP messages.
        if (std::strcmp(json.get_string("service"), "rrm-internal") == 0) {
            std::lock_guard<std::mutex> g(m_);
            internal_.push_back({json.to_string(), msg.session});
            cv_.notify_all();
            return;
        }
        {
            std::unique_lock<std::mutex> g(m_);
            received_.push_back({json.to_string(), msg.session});
            cv_.notify_all();
            if (std::strcmp(json.get_string("cmd"), "hold") == 0) {
                blocked_ = true;
                cv_.notify_all();
                cv_.wait(g, [&] { return released_; });
            }
        }
        if (std::strcmp(json.get_string("cmd"), "echo") == 0)
            registry_->enqueue_serialized(std::string(json.to_string()), msg.session);
    }
    void to_json(rrm::JsonWriter&) override {}
    void to_json_full(rrm::JsonWriter&) override {}

    std::vector<Received> received()
    {
        std::lock_guard<std::mutex> g(m_);
        return received_;
    }
    bool wait_received(size_t n, std::chrono::milliseconds patience = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, patience, [&] { return received_.size() >= n; });
    }
    // Waits for the registry's drop-session notice for the session id.
    bool wait_internal(uint32_t session_id)
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::seconds(30), [&] {
            for (const auto& r : internal_)
                if (r.session.id == session_id &&
                    r.text.find("\"drop-session\"") != std::string::npos)
                    return true;
            return false;
        });
    }
    bool wait_blocked()
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::seconds(30), [&] { return blocked_; });
    }
    void release()
    {
        std::lock_guard<std::mutex> g(m_);
        released_ = true;
        cv_.notify_all();
    }
    void allow(int steps)
    {
        std::lock_guard<std::mutex> g(m_);
        permits_ += steps;
        cv_.notify_all();
    }

private:
    rrm::RRM* registry_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Received> received_;
    std::vector<Received> internal_;
    bool blocked_ = false;
    bool released_ = false;
    int permits_ = 0;
};

class HarnessRegistry : public rrm::RRM {
public:
    using RRM::RRM;

    // Registers and starts a worker for the domain, as routing does for a
    // domain worker.
    void add_domain_worker(const std::string& domain, const std::shared_ptr<rrm::Worker>& worker)
    {
        bool inserted = false;
        insert_domain_worker(domain, worker, inserted);
        if (!inserted)
            throw std::runtime_error("domain taken: " + domain);
        worker->start();
        finish_start();
    }
    // Builds a domain worker as the routing does, but with the given
    // settings (short planning delays, say), and registers and starts it.
    std::shared_ptr<rrm::RrmWorker> add_domain_worker(const std::string& domain,
                                                      const rrm::DomainConfig& settings)
    {
        auto worker = std::make_shared<rrm::RrmWorker>(get_config(), settings, domain, this,
                                                       get_config()->get_time_zone(domain),
                                                       DOMAIN_QUEUE_CAPACITY);
        add_domain_worker(domain, worker);
        return worker;
    }
};

// The configuration holds the given domains on the common settings, and
// the AP port is 0 (any free port) unless one is given. Optimisation reports
// go to reports_path (the machine's own folder is never written).
inline std::unique_ptr<rrm::GlobalConfig> transport_config(const std::vector<std::string>& domains,
                                                           int listen_port,
                                                           const std::string& reports_path)
{
    auto config = std::make_unique<rrm::GlobalConfig>("");
    const std::string global = "{\"listen_port\":" + std::to_string(listen_port) +
                               ",\"reports_path\":\"" + reports_path + "\"}";
    config->global_update(rrm::JsonReader(global.c_str()));
    bool changed = false;
    for (const auto& d : domains)
        config->domain_add(d, "common", "+00:00", 0, changed);
    return config;
}

class WebsockHarness {
public:
    explicit WebsockHarness(const std::vector<std::string>& domains = {"lab"}, int listen_port = 0)
        : config(transport_config(domains, listen_port, reports.path())),
          registry(std::make_unique<HarnessRegistry>(config.get()))
    {
    }
    ~WebsockHarness() { registry.reset(); }

    // Starts the registry's service workers and waits for the port.
    bool start()
    {
        registry->start();
        return wait_until([&] { return port() != 0; });
    }
    rrm::WebsockServerWorker* server() { return registry->get_websock_worker(); }
    int port() { return server()->listening_port(); }

    std::shared_ptr<RecordingWorker> add_recorder(const std::string& domain,
                                                  int32_t capacity = 2048)
    {
        auto worker = std::make_shared<RecordingWorker>(domain, registry.get(), capacity);
        registry->add_domain_worker(domain, worker);
        return worker;
    }

    std::vector<BaseSession> sessions()
    {
        std::vector<BaseSession> out;
        std::lock_guard<std::mutex> g(server()->sessions.mutex);
        for (const auto& entry : server()->sessions.map)
            out.push_back(entry.second->session);
        return out;
    }
    size_t session_count()
    {
        std::lock_guard<std::mutex> g(server()->sessions.mutex);
        return server()->sessions.map.size();
    }
    // The session with the given id, once it is there.
    BaseSession session_by_id(uint32_t id)
    {
        BaseSession found = null_session;
        wait_until([&] {
            for (const auto& s : sessions())
                if (s.id == id) {
                    found = s;
                    return true;
                }
            return false;
        });
        return found;
    }

    // Made first: the configuration names it.
    LogFolder reports;
    std::unique_ptr<rrm::GlobalConfig> config;
    std::unique_ptr<HarnessRegistry> registry;
};

}  // namespace testsupport
