// The domain worker's own handling of messages and timer runs, driven
// directly on the test thread (no worker thread is started).

#include "ApEntry.h"
#include "JsonReader.h"
#include "LogCapture.h"
#include "MacAddress.h"
#include "QueueMessage.h"
#include "RrmWorker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using testsupport::LogCapture;

class ExposedWorker : public rrm::RrmWorker {
public:
    using RrmWorker::RrmWorker;
    using RrmWorker::process_timer_message;
    bool stop_was_requested() const { return stop_requested; }
};

std::shared_ptr<ExposedWorker> make_worker(const rrm::DomainConfig& settings = rrm::DomainConfig())
{
    return std::make_shared<ExposedWorker>(nullptr, settings, "d", nullptr, 3600, 2048);
}

// A message as an AP's session sends it (from_server false), or as the
// server itself queues it (its notices, a worker's own stop).
void deliver(rrm::RrmWorker& worker, const char* text, uint32_t session_id = 1,
             bool from_server = false)
{
    auto msg = std::make_shared<rrm::QueueMessage>(rrm::JsonReader(text),
                                                   BaseSession{nullptr, 0, session_id});
    msg->from_server = from_server;
    worker.process_message(msg->json, *msg);
}

void notice(rrm::RrmWorker& worker, const char* text, uint32_t session_id = 1)
{
    deliver(worker, text, session_id, true);
}

std::shared_ptr<rrm::ApEntry> add_ap(rrm::RrmWorker& worker, rrm::ApMap& map, const char* mac,
                                     uint32_t session_id, int ttl = 0)
{
    auto ap = std::make_shared<rrm::ApEntry>(&worker.config, rrm::mac_from_string(mac),
                                             BaseSession{nullptr, 0, session_id});
    ap->ttl = ttl;
    map.insert(ap->base_mac, ap);
    return ap;
}

const std::string validation_failed = "Incoming message validation failed";
const std::string version_failed = "Incoming message version failed";

TEST(RrmWorker, AdmissionOfMessages)
{
    struct Case {
        const char* text;
        const char* warning;  // null: none
        int event;            // -1: none
        bool from_server = false;
    };
    const Case cases[] = {
        {R"({"service":"rrm","cmd":"rrm-response","version":"2.4"})", validation_failed.c_str(),
         rrm::EVENT_MSG_VALIDATION_FAILED},
        {R"({"service":"rrm-internal","cmd":"ping-session"})", validation_failed.c_str(),
         rrm::EVENT_MSG_VALIDATION_FAILED},
        {R"({"service":"rrm","cmd":"unknown","ap-mac":"AA"})", validation_failed.c_str(),
         rrm::EVENT_MSG_VALIDATION_FAILED},
        {R"({"service":"rrm","cmd":"rrm-response","ap-mac":"AA","version":"2.5"})",
         version_failed.c_str(), rrm::EVENT_MSG_VERSION_FAILED},
        {R"({"service":"rrm","cmd":"rrm-config-changed","ap-mac":"AA"})", version_failed.c_str(),
         rrm::EVENT_MSG_VERSION_FAILED},
        // A subscription tests its version itself; "rrm-internal" has none.
        {R"({"service":"rrm","cmd":"subscribe-request","ap-mac":"AA","version":"9.9"})", nullptr,
         -1},
        {R"({"service":"rrm-internal","cmd":"stop-load-balancer"})", nullptr, -1, true},
        // Only the server gives internal commands: the same texts from an
        // AP are messages that are not admitted. An AP's stop stops nothing.
        {R"({"service":"internal-ipc","cmd":"stop","domain":"d"})", validation_failed.c_str(),
         rrm::EVENT_MSG_VALIDATION_FAILED},
        {R"({"service":"internal-ipc","cmd":"stop","generation":1})",
         validation_failed.c_str(), rrm::EVENT_MSG_VALIDATION_FAILED},
        {R"({"service":"internal-ipc","cmd":"flush"})", validation_failed.c_str(),
         rrm::EVENT_MSG_VALIDATION_FAILED},
        {R"({"service":"rrm-internal","cmd":"drop-session"})", validation_failed.c_str(),
         rrm::EVENT_MSG_VALIDATION_FAILED},
        {R"({"service":"rrm-internal","cmd":"stop-load-balancer"})", validation_failed.c_str(),
         rrm::EVENT_MSG_VALIDATION_FAILED},
        // A server's notice is still checked like any message.
        {R"({"service":"rrm-internal","cmd":"ping-session"})", validation_failed.c_str(),
         rrm::EVENT_MSG_VALIDATION_FAILED, true},
        {R"({"service":"rrm","cmd":"rrm-sta-roam","ap-mac":"AA","version":"2.0"})", nullptr, -1},
        {"null", validation_failed.c_str(), rrm::EVENT_MSG_VALIDATION_FAILED},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        auto worker = make_worker();
        add_ap(*worker, worker->aps, "00:00:00:00:00:01", 1);  // what a drop would take
        deliver(*worker, c.text, 1, c.from_server);
        size_t warnings = 0;
        for (const auto& r : capture.records())
            if (r.level == rrm::LOG_LEVEL_WARNING)
                ++warnings;
        EXPECT_EQ(warnings, c.warning ? 1u : 0u) << c.text;
        if (c.warning) {
            EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_WARNING, c.warning)) << c.text;
        }
        auto events = capture.events();
        if (c.event < 0) {
            EXPECT_TRUE(events.empty()) << c.text;
        } else {
            ASSERT_EQ(events.size(), 1u) << c.text;
            EXPECT_EQ(events[0].code, c.event);
            EXPECT_FALSE(events[0].has_details);
        }
        EXPECT_FALSE(worker->stop_was_requested()) << c.text;
        EXPECT_EQ(worker->aps.size(), 1u) << c.text;
        EXPECT_EQ(worker->load_balancer_stop, c.event < 0 && c.from_server) << c.text;
    }
}

TEST(RrmWorker, OwnStopMessageIsNotAnInvalidMessage)
{
    LogCapture capture;
    auto worker = make_worker();
    notice(*worker, R"({"service":"internal-ipc", "cmd":"stop"})");
    EXPECT_TRUE(worker->stop_was_requested());
    EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_DEBUG, "Aborting d"));
    EXPECT_EQ(capture.count(rrm::LOG_LEVEL_WARNING, validation_failed), 0u);
    EXPECT_TRUE(capture.events().empty());
}

TEST(RrmWorker, DropSessionMovesActiveApsAndForgetsUnansweredOnes)
{
    LogCapture capture;
    auto worker = make_worker();
    auto gone = add_ap(*worker, worker->aps, "00:00:00:00:00:01", 5);
    auto stays = add_ap(*worker, worker->aps, "00:00:00:00:00:02", 6);
    add_ap(*worker, worker->unanswered_aps, "00:00:00:00:00:03", 5);
    add_ap(*worker, worker->unanswered_aps, "00:00:00:00:00:04", 7);

    notice(*worker, R"({"service":"rrm-internal", "cmd":"drop-session"})", 5);

    EXPECT_EQ(worker->aps.size(), 1u);
    EXPECT_EQ(worker->aps.table.count(stays->base_mac), 1u);
    ASSERT_EQ(worker->aps_to_delete.size(), 1u);
    EXPECT_EQ(worker->aps_to_delete.table.at(gone->base_mac), gone);
    EXPECT_TRUE(gone->session_dropped);
    EXPECT_EQ(gone->ttl, 12) << "away_timeout 120 s over a 10 s domain timer";
    EXPECT_FALSE(stays->session_dropped);
    EXPECT_EQ(worker->unanswered_aps.size(), 1u);
    EXPECT_FALSE(worker->stop_was_requested());

    auto events = capture.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, rrm::EVENT_DOMAIN_CHANGED);
    EXPECT_EQ(events[0].details, "d");
}

TEST(RrmWorker, DropSessionEndsTheWorkerOnlyWhenItTookTheLastAp)
{
    struct Case {
        const char* name;
        uint32_t unanswered_session;  // 0: no unanswered AP
        bool deleted_ap;
        uint32_t dropped;
        bool stops;
    };
    const Case cases[] = {
        {"last unanswered AP of the session", 5, false, 5, true},
        {"an AP of another session", 5, false, 6, false},
        // A worker whose creating subscription is still queued has no AP.
        {"a worker without APs", 0, false, 7, false},
        {"a deleted AP remains", 5, true, 5, false},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        auto worker = make_worker();
        if (c.unanswered_session)
            add_ap(*worker, worker->unanswered_aps, "00:00:00:00:00:01", c.unanswered_session);
        if (c.deleted_ap)
            add_ap(*worker, worker->aps_to_delete, "00:00:00:00:00:02", 0, 5);
        notice(*worker, R"({"service":"rrm-internal", "cmd":"drop-session"})", c.dropped);
        EXPECT_EQ(worker->stop_was_requested(), c.stops) << c.name;
        EXPECT_EQ(capture.event_count(rrm::EVENT_DOMAIN_CHANGED), 1u) << c.name;
    }
}

TEST(RrmWorker, StopLoadBalancerPausesSteeringForAMinuteOfDomainTimerRuns)
{
    LogCapture capture;
    auto worker = make_worker();
    add_ap(*worker, worker->aps, "00:00:00:00:00:01", 1);  // keeps the worker alive
    notice(*worker, R"({"service":"rrm-internal", "cmd":"stop-load-balancer"})", 9);
    EXPECT_TRUE(worker->load_balancer_stop);
    EXPECT_EQ(worker->stop_counter, 6);

    for (int run = 1; run <= 5; ++run) {
        worker->process_timer_message();
        EXPECT_TRUE(worker->load_balancer_stop) << run;
        if (run == 3)  // a second stop starts the count again
            notice(*worker, R"({"service":"rrm-internal", "cmd":"stop-load-balancer"})");
    }
    EXPECT_EQ(worker->stop_counter, 4);
    for (int run = 0; run < 3; ++run)
        worker->process_timer_message();
    EXPECT_TRUE(worker->load_balancer_stop);
    worker->process_timer_message();
    EXPECT_FALSE(worker->load_balancer_stop);
    EXPECT_EQ(worker->stop_counter, 0);
    EXPECT_TRUE(capture.events().empty());

    rrm::DomainConfig slow;
    slow.domain_timer_period = 100;
    auto idle = make_worker(slow);
    add_ap(*idle, idle->aps, "00:00:00:00:00:01", 1);
    notice(*idle, R"({"service":"rrm-internal", "cmd":"stop-load-balancer"})");
    EXPECT_TRUE(idle->load_balancer_stop);
    EXPECT_EQ(idle->stop_counter, 0);
    idle->process_timer_message();
    EXPECT_FALSE(idle->load_balancer_stop) << "lifted at the next run";
}

TEST(RrmWorker, DomainTimerAgesDeletedApsAndEndsAnEmptyWorker)
{
    {
        LogCapture capture;
        auto worker = make_worker();
        worker->process_timer_message();
        EXPECT_TRUE(worker->stop_was_requested()) << "no AP at all";
        EXPECT_TRUE(capture.events().empty());
    }
    {
        LogCapture capture;
        auto worker = make_worker();
        add_ap(*worker, worker->aps_to_delete, "00:00:00:00:00:01", 0, 2);
        worker->process_timer_message();
        EXPECT_FALSE(worker->stop_was_requested());
        EXPECT_EQ(worker->aps_to_delete.size(), 1u);
        worker->process_timer_message();
        EXPECT_TRUE(worker->aps_to_delete.empty());
        EXPECT_TRUE(worker->stop_was_requested());
        ASSERT_EQ(capture.events().size(), 1u);
        EXPECT_EQ(capture.events()[0].code, rrm::EVENT_DOMAIN_CHANGED);
        EXPECT_EQ(capture.events()[0].details, "d");
    }
    {
        LogCapture capture;
        auto worker = make_worker();
        add_ap(*worker, worker->aps, "00:00:00:00:00:01", 1);
        add_ap(*worker, worker->aps_to_delete, "00:00:00:00:00:02", 0, 1);
        worker->process_timer_message();
        EXPECT_FALSE(worker->stop_was_requested());
        // The ageing, and the cycle it plans for the active AP (0 -> 4).
        EXPECT_EQ(capture.event_count(rrm::EVENT_DOMAIN_CHANGED), 2u);
    }
}

TEST(RrmWorker, AnEmptyWorkerWithMessagesWaitingDoesNotEndYet)
{
    // A worker without APs ends at its domain timer or when a drop took its
    // last AP, but not while messages wait: they would go unanswered, and
    // their senders would push into a queue nobody takes from.
    LogCapture capture;
    auto worker = make_worker();
    worker->enqueue_message(
        rrm::JsonReader(R"({"service":"rrm","cmd":"rrm-sta-roam","ap-mac":"AA","version":"2.4"})"),
        BaseSession{nullptr, 0, 1});
    worker->process_timer_message();
    EXPECT_FALSE(worker->stop_was_requested());

    add_ap(*worker, worker->unanswered_aps, "00:00:00:00:00:01", 5);
    notice(*worker, R"({"service":"rrm-internal", "cmd":"drop-session"})", 5);
    EXPECT_TRUE(worker->unanswered_aps.empty());
    EXPECT_FALSE(worker->stop_was_requested());

    EXPECT_FALSE(worker->process_next_message());  // the waiting message
    worker->process_timer_message();
    EXPECT_TRUE(worker->stop_was_requested());
}

TEST(RrmWorker, ConnectArmsTheDomainTimerAndDisconnectCancelsItAndTheTick)
{
    struct Case {
        bool use_balance;
        bool use_80211v;
        size_t timers_before;
    };
    const Case cases[] = {{true, false, 1}, {false, true, 1}, {false, false, 0}};
    for (const Case& c : cases) {
        LogCapture capture;
        rrm::DomainConfig settings;
        settings.use_balance = c.use_balance;
        settings.use_80211v = c.use_80211v;
        auto worker = make_worker(settings);
        EXPECT_EQ(worker->timers.size(), c.timers_before) << "the 1 s tick";
        EXPECT_TRUE(worker->connect());
        EXPECT_EQ(worker->timers.size(), c.timers_before + 1);
        EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_DEBUG, "Start worker d"));
        worker->disconnect();
        EXPECT_TRUE(worker->timers.empty());
        EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_DEBUG, "Stop worker d"));
    }
}

}  // namespace
