#pragma once
// A domain worker driven on the test's own thread, without its thread or a
// network: messages are handed to process_message one by one, timers are
// fired by hand, and what the worker sends to APs is recorded by the
// registry (TestRegistry, never started). For the tests of the domain
// worker's handlers and of its sub-workers.

#include "ApEntry.h"
#include "ApSimulator.h"
#include "Config.h"
#include "JsonReader.h"
#include "LogCapture.h"
#include "LogFolder.h"
#include "QueueMessage.h"
#include "RrmWorker.h"
#include "TestRegistry.h"
#include "TpcDcaSubworker.h"

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Opens the worker's protected handlers to the tests.
class ExposedWorker : public rrm::RrmWorker {
public:
    using RrmWorker::RrmWorker;
    using RrmWorker::load_balancer_tick;
    using RrmWorker::process_timer_message;
    bool stop_was_requested() const { return stop_requested; }
};

class DomainFixture {
public:
    explicit DomainFixture(const rrm::DomainConfig& settings = rrm::DomainConfig(),
                           const std::string& domain = "d")
        : config(make_config({domain})),
          registry(std::make_unique<TestRegistry>(config.get())),
          worker(std::make_shared<ExposedWorker>(config.get(), settings, domain,
                                                 registry.get(), 0, 2048))
    {
        // Optimisation runs write their reports here, never on the machine.
        const std::string global = "{\"reports_path\":\"" + reports.path() + "\"}";
        config->global_update(rrm::JsonReader(global.c_str()));
    }

    // A message from an AP's session.
    void from_ap(const std::string& text, uint32_t session_id)
    {
        deliver(text, session_id, false);
    }
    // A notice of the server itself ("rrm-internal").
    void notice(const std::string& text, uint32_t session_id)
    {
        deliver(text, session_id, true);
    }
    void deliver(const std::string& text, uint32_t session_id, bool from_server)
    {
        auto msg = std::make_shared<rrm::QueueMessage>(rrm::JsonReader(text.c_str()),
                                                       session(session_id));
        msg->from_server = from_server;
        worker->process_message(msg->json, *msg);
    }
    void drop(uint32_t session_id)
    {
        notice(R"({"service":"rrm-internal","cmd":"drop-session"})", session_id);
    }

    static BaseSession session(uint32_t id) { return BaseSession{nullptr, 0, id}; }

    // What went to APs so far, in order; with a "cmd" only those.
    std::vector<TestRegistry::Sent> sent(const std::string& cmd = "")
    {
        std::vector<TestRegistry::Sent> out;
        for (auto& s : registry->sent())
            if (cmd.empty() || cmd_of(s.text) == cmd)
                out.push_back(s);
        return out;
    }
    // The text of the last message with that "cmd" ("" when none).
    std::string last(const std::string& cmd)
    {
        auto all = sent(cmd);
        return all.empty() ? "" : all.back().text;
    }

    rrm::TpcDcaSubworker& tpc() { return *worker->subworkers.get_tpc_dca(); }
    // Passes of the worker until the 802.11r update under way and the
    // messages waiting in the outboxes are done (the registry takes each
    // message at once).
    void drain()
    {
        while (tpc().fbt_planning || !tpc().rrm_info_outbox.empty() || !tpc().fbt_outbox.empty())
            worker->poll_timers();
    }
    // The planning at rest, as between two cycles: a subscription of an AP
    // with an active radio plans a cycle (state 4), which blocks the list
    // updates; this ends that plan (state 0, timer 0 cancelled).
    void idle() { tpc().planning_request_modes(false); }
    std::shared_ptr<rrm::ApEntry> find(rrm::ApMap& map, const std::string& mac)
    {
        auto it = map.table.find(rrm::mac_from_string(mac.c_str()));
        return it == map.table.end() ? nullptr : it->second;
    }

    // Made first, so that the handlers are in place before anything logs.
    LogCapture log;
    LogFolder reports;
    std::unique_ptr<rrm::GlobalConfig> config;
    std::unique_ptr<TestRegistry> registry;
    std::shared_ptr<ExposedWorker> worker;
};

}  // namespace testsupport
