#pragma once
// A registry whose outgoing texts are recorded instead of reaching a
// WebSocket worker, with hooks to register domain workers with chosen
// settings (a short domain timer, say), and small waiting helpers.

#include "Config.h"
#include "JsonReader.h"
#include "DefaultWorker.h"
#include "RRM.h"
#include "RrmWorker.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Polls pred until it holds or the patience runs out.
inline bool eventually(const std::function<bool()>& pred,
                       std::chrono::milliseconds patience = std::chrono::seconds(30))
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class TestRegistry : public rrm::RRM {
public:
    struct Sent {
        std::string text;
        BaseSession session;
    };

    using RRM::RRM;

    // The overrides below are this class's: worker threads that call them
    // must be gone before this part of the object is.
    ~TestRegistry() override { stop(); }

    void enqueue_serialized(const char* text, const BaseSession& session) override
    {
        record(text ? text : "", session);
    }
    void enqueue_serialized(std::string text, const BaseSession& session) override
    {
        record(text, session);
    }
    // The hold is released at once (the text counts as sent), or, with
    // keep_holds, kept until release_holds.
    void enqueue_serialized(std::string text, const BaseSession& session,
                            std::shared_ptr<const void> hold) override
    {
        record(text, session);
        std::lock_guard<std::mutex> g(m);
        if (keep_holds)
            holds.push_back(std::move(hold));
    }
    void release_holds()
    {
        std::vector<std::shared_ptr<const void>> released;
        {
            std::lock_guard<std::mutex> g(m);
            released.swap(holds);
        }
    }
    bool keep_holds = false;

    // Counts the end reports of worker threads, then hands them on. The
    // registry's own handling comes last: a thread that it detaches may
    // still be returning from here while the registry is being destroyed.
    // before_end_report, when set, runs first on the ending thread: what it
    // routes reaches the domain after its worker decided to end and before
    // the registry forgets it.
    void stop_domain_event(const std::string& domain) override
    {
        if (before_end_report)
            before_end_report(domain);
        {
            std::lock_guard<std::mutex> g(m);
            ++reports;
            cv.notify_all();
        }
        RRM::stop_domain_event(domain);
    }
    std::function<void(const std::string&)> before_end_report;

    // Sessions the test has closed, as the transport would have: messages
    // from them act for no session.
    void end_session(uint32_t id)
    {
        std::lock_guard<std::mutex> g(m);
        ended.insert(id);
    }
    bool session_ended(const BaseSession& session) override
    {
        {
            std::lock_guard<std::mutex> g(m);
            if (ended.count(session.id) != 0)
                return true;
        }
        return RRM::session_ended(session);
    }

    // Settings for the workers that routing makes (a short domain timer,
    // say); the configuration's own when unset.
    std::function<void(rrm::DomainConfig&)> adjust_settings;
    rrm::Worker* make_rrm_worker(const std::string& domain) override
    {
        if (!adjust_settings)
            return RRM::make_rrm_worker(domain);
        rrm::DomainConfig settings = config->get_domain_config(domain);
        adjust_settings(settings);
        return new rrm::RrmWorker(config, settings, domain, this, 0, DOMAIN_QUEUE_CAPACITY);
    }
    size_t report_count()
    {
        std::lock_guard<std::mutex> g(m);
        return reports;
    }
    bool wait_reports(size_t n)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(30), [&] { return reports >= n; });
    }

    std::vector<Sent> sent()
    {
        std::lock_guard<std::mutex> g(m);
        return texts;
    }
    bool wait_sent(size_t n)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(30), [&] { return texts.size() >= n; });
    }

    // Builds, registers and starts a domain worker as the routing does, but
    // with the given settings; returns the worker registered under the name.
    std::shared_ptr<rrm::Worker> add_domain_worker(const std::string& domain,
                                                   const rrm::DomainConfig& settings)
    {
        auto worker = std::make_shared<rrm::RrmWorker>(config, settings, domain, this, 0,
                                                       DOMAIN_QUEUE_CAPACITY);
        bool inserted = false;
        auto found = insert_domain_worker(domain, worker, inserted);
        if (inserted) {
            worker->start();
            finish_start();
        }
        return found;
    }

    std::shared_ptr<rrm::DefaultWorker> default_service() { return default_worker; }
    using RRM::removal_pending;

    // When set, sees what goes to APs instead of the record (which then
    // stays empty), on the sending thread.
    std::function<void(const std::string&, const BaseSession&)> on_sent;

private:
    void record(const std::string& text, const BaseSession& session)
    {
        if (on_sent) {
            on_sent(text, session);
            return;
        }
        std::lock_guard<std::mutex> g(m);
        texts.push_back({text, session});
        cv.notify_all();
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<Sent> texts;
    std::set<uint32_t> ended;
    std::vector<std::shared_ptr<const void>> holds;
    size_t reports = 0;
};

// A configuration without a file, holding the given domains on the common
// settings. The AP port is 0: a started registry listens on a free port.
inline std::unique_ptr<rrm::GlobalConfig> make_config(const std::vector<std::string>& domains)
{
    auto config = std::make_unique<rrm::GlobalConfig>("");
    config->global_update(rrm::JsonReader(R"({"listen_port":0})"));
    bool changed = false;
    for (const auto& d : domains)
        config->domain_add(d, "common", "+01:00", 3600, changed);
    return config;
}

}  // namespace testsupport
