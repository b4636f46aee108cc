// The registry with real domain-worker threads: routing and creation of
// domain workers, the default worker's answer, the notices to every domain
// worker, a worker's own end, stop, restart and removal.

#include "ApEntry.h"
#include "ApSimulator.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LogCapture.h"
#include "MacAddress.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::eventually;
using testsupport::LogCapture;
using testsupport::TestRegistry;

std::string subscribe(const std::string& domain, const std::string& mac)
{
    return R"({"service":"rrm","cmd":"subscribe-request","version":"2.4","domain":")" + domain +
           R"(","ap-mac":")" + mac + "\"}";
}

std::string mac_text(int n)
{
    char buf[18];
    std::snprintf(buf, sizeof buf, "00:00:00:00:%02X:%02X", (n >> 8) & 0xFF, n & 0xFF);
    return buf;
}

BaseSession session(uint32_t id)
{
    return BaseSession{nullptr, 0, id};
}

// Domain settings whose timer never fires during a test, so that a worker
// without APs ends only when a test makes it.
rrm::DomainConfig quiet_settings()
{
    rrm::DomainConfig settings;
    settings.domain_timer_period = 100000;
    return settings;
}

void add_ap(rrm::RrmWorker& worker, rrm::ApMap& map, const std::string& mac, uint32_t session_id)
{
    auto ap = std::make_shared<rrm::ApEntry>(&worker.config, rrm::mac_from_string(mac.c_str()),
                                             session(session_id));
    ap->ttl = 100;
    map.insert(ap->base_mac, ap);
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override { capture.clear(); }
    void route(const std::string& text, uint32_t session_id = 1)
    {
        rrm->process_incoming_message(rrm::JsonReader(text.c_str()), session(session_id));
    }
    size_t debug_count(const std::string& text) { return capture.count(rrm::LOG_LEVEL_DEBUG, text); }
    bool debug_eventually(const std::string& text, size_t n = 1)
    {
        return eventually([&] { return debug_count(text) >= n; });
    }
    // Holds the domain worker's lock on another thread until release().
    void hold(const std::string& domain)
    {
        std::promise<void> held;
        auto entered = held.get_future();
        holder = std::thread([this, domain, &held] {
            rrm->run_on_domain(domain, [&](rrm::RrmWorker&) {
                held.set_value();
                gate.get_future().wait();
            });
        });
        entered.wait();
    }
    void release()
    {
        gate.set_value();
        if (holder.joinable())
            holder.join();
    }
    // Makes the domain worker's own thread wait, inside its lock, until
    // release().
    void stall(const std::string& domain)
    {
        auto entered = std::make_shared<std::promise<void>>();
        auto in_timer = entered->get_future();
        std::shared_future<void> opened = gate.get_future().share();
        rrm->run_on_domain(domain, [&](rrm::RrmWorker& w) {
            w.timers.add_timer([entered, opened] {
                entered->set_value();
                opened.wait();
            }, 99, 0);
        });
        in_timer.wait();
    }

    LogCapture capture;
    std::unique_ptr<rrm::GlobalConfig> config = testsupport::make_config({"d1", "d2", "d3"});
    std::unique_ptr<TestRegistry> rrm = std::make_unique<TestRegistry>(config.get());
    std::promise<void> gate;
    std::thread holder;
};

TEST_F(Registry, SubscriptionForAnUnknownDomainIsRefusedEveryTime)
{
    route(subscribe("nowhere", mac_text(1)));
    route(subscribe("nowhere", mac_text(1)));
    EXPECT_EQ(capture.count(rrm::LOG_LEVEL_ERROR,
                            "Exception at processing message for domain 'nowhere': Domain not found"),
              2u);
    auto events = capture.events();
    ASSERT_EQ(events.size(), 2u);
    for (const auto& e : events) {
        EXPECT_EQ(e.code, rrm::EVENT_DOMAIN_WORKER_CREATE_FAILED);
        EXPECT_EQ(e.details, "nowhere");
    }
    EXPECT_EQ(rrm->worker_count(), 0u);
    EXPECT_TRUE(rrm->sent().empty()) << "no reply";
}

TEST_F(Registry, OtherMessagesForADomainWithoutWorkerAreDroppedSilently)
{
    route(R"({"service":"rrm","cmd":"rrm-response","version":"2.4","domain":"d1","ap-mac":"A"})");
    route(R"({"service":"rrm","cmd":"Subscribe-request","domain":"d1","ap-mac":"A"})");
    route(R"({"service":"rrm","cmd":"subscribe-request","ap-mac":"A"})");
    route(R"({"service":"rrm","domain":"d1"})");
    route(R"([1,2,3])");
    EXPECT_EQ(rrm->worker_count(), 0u);
    EXPECT_EQ(capture.count(rrm::LOG_LEVEL_ERROR,
                            "Exception at processing message for domain '': Domain not found"),
              1u)
        << "a subscription without a domain is refused under the empty name";
    EXPECT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.events().size(), 1u);
}

TEST_F(Registry, UnparsableTextIsReportedAndDropped)
{
    for (const char* text : {"{\"domain\":", "null", ""}) {
        capture.clear();
        route(text);
        auto records = capture.records();
        ASSERT_EQ(records.size(), 1u) << text;
        EXPECT_EQ(records[0].level, rrm::LOG_LEVEL_ERROR);
        EXPECT_EQ(records[0].text, "process_incoming_message: json parse failed or null root");
        EXPECT_EQ(records[0].func, "process_incoming_message");
        EXPECT_EQ(records[0].file, "server/lib/RRM.cpp");
        auto events = capture.events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].code, rrm::EVENT_JSON_PARSE_FAILED);
        EXPECT_FALSE(events[0].has_details) << "an empty pointer, not an empty text";
    }
}

TEST_F(Registry, DisabledServerRoutesNothing)
{
    config->global_update(rrm::JsonReader(R"({"enabled":0})"));
    capture.clear();
    rrm->start();
    EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_DEBUG, "Wendara version 1.0.0 disabled\n"));
    capture.clear();
    route(subscribe("d1", mac_text(1)));
    route(subscribe("nowhere", mac_text(1)));
    EXPECT_EQ(rrm->worker_count(), 0u);
    EXPECT_TRUE(capture.records().empty());
    EXPECT_TRUE(capture.events().empty());
}

TEST_F(Registry, SubscriptionCreatesTheDomainWorkerWhichTakesItFirst)
{
    route(subscribe("d1", mac_text(1)), 3);
    EXPECT_EQ(debug_count("Created new worker 'd1'."), 1u);
    for (const auto& r : capture.records())
        if (r.text == "Created new worker 'd1'.") {
            EXPECT_EQ(r.func, "route_domain");
            EXPECT_EQ(r.file, "server/lib/RRM.cpp");
        }
    ASSERT_TRUE(debug_eventually("process_message subscribe-request for " + mac_text(1)));
    route(subscribe("d1", mac_text(2)), 4);
    ASSERT_TRUE(debug_eventually("process_message subscribe-request for " + mac_text(2)));
    EXPECT_EQ(rrm->worker_count(), 1u);
    EXPECT_EQ(debug_count("Created new worker 'd1'."), 1u);
    EXPECT_EQ(debug_count("Start worker d1"), 1u);

    auto records = capture.records();
    auto start = std::find_if(records.begin(), records.end(),
                              [](const auto& r) { return r.text == "Start worker d1"; });
    auto first = std::find_if(records.begin(), records.end(), [](const auto& r) {
        return r.text.rfind("process_message ", 0) == 0;
    });
    ASSERT_NE(first, records.end());
    EXPECT_LT(start - records.begin(), first - records.begin());
}

TEST_F(Registry, ADomainWorkerQueuesTwoThousandFortyEightMessagesInEachRing)
{
    std::shared_ptr<rrm::Worker> worker(rrm->make_rrm_worker("d1"));
    ASSERT_TRUE(worker);
    // Checked first: a smaller ring would make the pushes below wait for
    // room that no thread makes.
    ASSERT_EQ(worker->queue_capacity(), 2048u);
    for (int i = 0; i < 2048; ++i) {
        worker->enqueue_message(rrm::JsonReader("{}"), session(1));
        worker->enqueue_message_force(rrm::JsonReader("{}"), session(1));
    }
    EXPECT_EQ(worker->queue_size(), 4096u);
    EXPECT_EQ(capture.event_count(rrm::EVENT_WORKER_QUEUE_OVERFLOW), 0u);
}

// What routing offers a domain worker whose ring is full is dropped at
// once: the parsing thread serves every domain and must not wait for one.
// The offer still counts as taken (only a worker that has ended refuses
// it). A Warning at most every ten seconds counts the drops; each raises
// event 25.
TEST_F(Registry, AFullDomainQueueDropsWhatIsOfferedWithAWarningNowAndThen)
{
    std::shared_ptr<rrm::Worker> worker(rrm->make_rrm_worker("d1"));
    ASSERT_TRUE(worker);
    for (int i = 0; i < 2048; ++i)
        ASSERT_TRUE(worker->offer_message(rrm::JsonReader("{}"), session(1)));
    EXPECT_TRUE(worker->offer_message(rrm::JsonReader("{}"), session(7)));
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(worker->offer_message(rrm::JsonReader("{}"), session(8)));
    EXPECT_EQ(worker->queue_size(), 2048u);
    EXPECT_EQ(worker->offers_dropped(), 11u);
    EXPECT_EQ(capture.event_count(rrm::EVENT_WORKER_QUEUE_OVERFLOW), 11u);
    size_t warnings = 0;
    for (const auto& r : capture.records())
        if (r.text.find("queue overflow") != std::string::npos) {
            ++warnings;
            EXPECT_EQ(r.level, rrm::LOG_LEVEL_WARNING);
            EXPECT_EQ(r.text, "Worker 'd1' queue overflow: 1 messages dropped since the last such "
                              "record, the latest from session 7; the worker does not keep up "
                              "with what is sent to it");
        }
    EXPECT_EQ(warnings, 1u);
}

TEST_F(Registry, RacingCreationsMakeExactlyOneWorker)
{
    constexpr int kThreads = 8;
    for (const std::string domain : {"d1", "d2", "d3"}) {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                ++ready;
                while (ready < kThreads)
                    std::this_thread::yield();
                route(subscribe(domain, mac_text(t)), t + 1);
            });
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(debug_count("Created new worker '" + domain + "'."), 1u) << domain;
        for (int t = 0; t < kThreads; ++t)
            EXPECT_TRUE(debug_eventually("process_message subscribe-request for " + mac_text(t)))
                << "every request reaches the one worker";
        EXPECT_EQ(debug_count("Start worker " + domain), 1u) << "the losers never started";
        capture.clear();
    }
    EXPECT_EQ(rrm->worker_count(), 3u);
}

TEST_F(Registry, DefaultWorkerRefusesSubscriptionsWith503)
{
    rrm->start();
    auto worker = rrm->default_service();
    worker->enqueue_message(rrm::JsonReader(R"({"service":"rrm","cmd":"subscribe-request"})"),
                            session(42));
    ASSERT_TRUE(rrm->wait_sent(1));
    auto sent = rrm->sent();
    EXPECT_EQ(sent[0].text,
              R"({"service":"rrm","version":"2.4","cmd":"subscribe-response","status":"fail","code":503})");
    EXPECT_EQ(sent[0].session.id, 42u);

    for (const char* ignored : {R"({"service":"rrm","cmd":"rrm-response"})",
                                R"({"service":"rrm2","cmd":"subscribe-request"})",
                                R"({"service":"internal-ipc","cmd":"other"})", "null"})
        worker->enqueue_message(rrm::JsonReader(ignored), session(43));
    worker->enqueue_message(rrm::JsonReader(R"({"service":"rrm","cmd":"subscribe-request"})"),
                            session(44));
    ASSERT_TRUE(rrm->wait_sent(2));
    sent = rrm->sent();
    ASSERT_EQ(sent.size(), 2u) << "the others produce nothing";
    EXPECT_EQ(sent[1].session.id, 44u);

    worker->enqueue_message_force(rrm::JsonReader(R"({"service":"internal-ipc", "cmd":"stop"})"),
                                  null_session);
    ASSERT_TRUE(debug_eventually("Aborting default-domain"));
    EXPECT_EQ(rrm->sent().size(), 2u);
    for (const auto& r : capture.records())
        EXPECT_LT(r.level, rrm::LOG_LEVEL_ERROR) << r.text;
}

TEST_F(Registry, NoticesReachEveryDomainWorkerAheadOfQueuedMessages)
{
    rrm->drop_session_at_rrm_worker(session(1));
    EXPECT_TRUE(capture.records().empty()) << "no worker, nothing queued, nothing logged";

    for (const std::string domain : {"d1", "d2", "d3"})
        ASSERT_TRUE(rrm->add_domain_worker(domain, quiet_settings()));
    ASSERT_TRUE(debug_eventually("Start worker d3"));

    // With d1 held, five AP messages wait in its normal ring; the notice,
    // queued after them, is handled first.
    hold("d1");
    for (int i = 0; i < 5; ++i)
        route(R"({"service":"rrm","cmd":"rrm-response","version":"9.0","domain":"d1","ap-mac":"A"})");
    rrm->drop_session_at_rrm_worker(session(77));
    release();
    ASSERT_TRUE(eventually([&] {
        return capture.event_count(rrm::EVENT_DOMAIN_CHANGED) == 3 &&
               capture.event_count(rrm::EVENT_MSG_VERSION_FAILED) == 5;
    }));
    auto events = capture.events();
    std::vector<std::string> changed;
    size_t d1_notice = 0, first_version = events.size();
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].code == rrm::EVENT_DOMAIN_CHANGED) {
            changed.push_back(events[i].details);
            if (events[i].details == "d1")
                d1_notice = i;
        } else if (events[i].code == rrm::EVENT_MSG_VERSION_FAILED) {
            first_version = std::min(first_version, i);
        }
    }
    std::sort(changed.begin(), changed.end());
    EXPECT_EQ(changed, (std::vector<std::string>{"d1", "d2", "d3"}));
    EXPECT_LT(d1_notice, first_version) << "the force ring goes first";

    rrm->stop_load_balancer_at_rrm_worker(session(5));
    rrm->stop_load_balancer_at_rrm_worker(session(5));
    EXPECT_EQ(capture.count(rrm::LOG_LEVEL_INFO, "rrm: stop-load-balancer:"), 2u);
    for (const std::string domain : {"d1", "d2", "d3"}) {
        EXPECT_TRUE(eventually([&] {
            bool paused = false;
            rrm->run_on_domain(domain, [&](rrm::RrmWorker& w) {
                paused = w.load_balancer_stop;
            });
            return paused;
        })) << domain;
    }
    EXPECT_EQ(rrm->worker_count(), 3u) << "no worker ended on a notice";
}

TEST_F(Registry, DropOfTheLastApsSessionEndsOnlyThatWorker)
{
    ASSERT_TRUE(rrm->add_domain_worker("d1", quiet_settings()));
    ASSERT_TRUE(rrm->add_domain_worker("d2", quiet_settings()));
    rrm->run_on_domain("d1", [](rrm::RrmWorker& w) { add_ap(w, w.unanswered_aps, mac_text(1), 5); });

    rrm->drop_session_at_rrm_worker(session(5));
    ASSERT_TRUE(eventually([&] { return rrm->worker_count() == 1; }));
    EXPECT_FALSE(rrm->find_worker("d1"));
    EXPECT_TRUE(debug_eventually("Stop worker d1"));

    // d2 had no AP (like a worker whose creating subscription is still
    // queued): it handled the same notice and keeps working.
    ASSERT_TRUE(eventually([&] { return capture.event_count(rrm::EVENT_DOMAIN_CHANGED) == 2; }));
    rrm->stop_load_balancer_at_rrm_worker(session(5));
    EXPECT_TRUE(eventually([&] {
        bool paused = false;
        rrm->run_on_domain("d2", [&](rrm::RrmWorker& w) { paused = w.load_balancer_stop; });
        return paused;
    }));
    EXPECT_EQ(debug_count("Stop worker d2"), 0u);
    EXPECT_EQ(capture.event_count(rrm::EVENT_STOP_DOMAIN_EXCEPTION), 0u);

    // The domain's next subscription creates a new worker.
    route(subscribe("d1", mac_text(1)));
    EXPECT_EQ(rrm->worker_count(), 2u);
    EXPECT_EQ(debug_count("Created new worker 'd1'."), 1u);
}

TEST_F(Registry, IdleWorkerEndsThroughItsDomainTimer)
{
    rrm::DomainConfig fast;
    fast.domain_timer_period = 1;
    auto worker = rrm->add_domain_worker("d1", fast);
    ASSERT_TRUE(worker);
    std::weak_ptr<rrm::Worker> watch = worker;
    worker.reset();
    ASSERT_TRUE(eventually([&] { return rrm->worker_count() == 0; }));
    EXPECT_TRUE(debug_eventually("Stop worker d1"));
    EXPECT_TRUE(eventually([&] { return watch.expired(); })) << "its detached thread let go";
    EXPECT_EQ(capture.event_count(rrm::EVENT_STOP_DOMAIN_EXCEPTION), 0u);
}

TEST_F(Registry, SubscriptionOvertakenByTheDropOfItsSessionTakesNoAp)
{
    ASSERT_TRUE(rrm->add_domain_worker("d1", quiet_settings()));
    stall("d1");
    // A new AP subscribes and its connection closes at once: the request
    // waits in the normal ring, the registry's drop notice comes behind it
    // into the force ring, which the worker takes first.
    const testsupport::ApSpec spec = testsupport::ApSpec::typical("02:00:00:00:01:00", "d1", 2, 1);
    route(spec.subscribe_request(), 7);
    rrm->end_session(7);
    rrm->drop_session_at_rrm_worker(session(7));
    release();
    ASSERT_TRUE(debug_eventually("Subscription of 02:00:00:00:01:00 from a closed session not taken"));
    size_t held = 1;
    rrm->run_on_domain("d1", [&](rrm::RrmWorker& w) {
        held = w.aps.size() + w.aps_to_delete.size() + w.unanswered_aps.size();
    });
    EXPECT_EQ(held, 0u) << "an AP active on a session nobody hears would never age";
    for (const auto& sent : rrm->sent())
        EXPECT_NE(sent.session.id, 7u) << sent.text;
}

TEST_F(Registry, MessagesReachingAWorkerAfterItDecidedToEndGoToTheDomainsNextWorker)
{
    // Workers that routing makes end one second after they are left without
    // an AP; refused subscriptions leave none.
    rrm->adjust_settings = [](rrm::DomainConfig& s) { s.domain_timer_period = 1; };
    int ends = 0;
    rrm->before_end_report = [&](const std::string& domain) {
        // Its thread has left its loop; the registry still has it under the
        // domain's name, so routing queues on it.
        if (domain != "d1")
            return;
        if (++ends == 1)
            route(subscribe("d1", mac_text(2)), 2);
        else if (ends == 2)
            route(R"({"service":"rrm","cmd":"rrm-config-changed","version":"2.4","domain":"d1",)"
                  R"("ap-mac":"00:00:00:00:00:03"})", 3);
    };
    route(subscribe("d1", mac_text(1)), 1);
    ASSERT_TRUE(rrm->wait_reports(1));
    // The subscription that came in the window is answered by the next
    // worker (refused: it has no "factory"), which then ends in turn.
    ASSERT_TRUE(rrm->wait_sent(2));
    ASSERT_TRUE(rrm->wait_reports(2));
    const auto sent = rrm->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].session.id, 2u);
    EXPECT_NE(sent[1].text.find("\"subscribe-response\""), std::string::npos);
    EXPECT_EQ(debug_count("Created new worker 'd1'."), 2u);
    // Another message in the window finds no next worker: dropped, as for
    // any domain without one.
    EXPECT_TRUE(eventually([&] { return rrm->worker_count() == 0 && !rrm->removal_pending("d1"); }));
    EXPECT_EQ(debug_count("Created new worker 'd1'."), 2u);
    EXPECT_EQ(rrm->sent().size(), 2u);
}

TEST_F(Registry, EndOfAnOldWorkerLeavesTheNewerOneOfItsName)
{
    // The old worker is no longer registered (it was replaced); its end is
    // reported under the same name as the registered one.
    rrm::DomainConfig fast;
    fast.domain_timer_period = 1;
    auto old_worker =
        std::make_shared<rrm::RrmWorker>(config.get(), fast, "d1", rrm.get(), 0, 2048);
    auto current = rrm->add_domain_worker("d1", quiet_settings());
    ASSERT_TRUE(current);
    old_worker->start();
    ASSERT_TRUE(rrm->wait_reports(1));
    old_worker->stop();  // joins the ended thread
    EXPECT_EQ(rrm->find_worker("d1"), current);
    EXPECT_TRUE(current->is_thread_started());

    // Nor does a report from a thread that is not the worker's.
    rrm->stop_domain_event("d1");
    rrm->stop_domain_event("nowhere");
    EXPECT_EQ(rrm->find_worker("d1"), current);
    EXPECT_EQ(capture.event_count(rrm::EVENT_STOP_DOMAIN_EXCEPTION), 0u);
}

TEST_F(Registry, StopStopsAndForgetsEveryDomainWorker)
{
    rrm->start();
    rrm->stop();
    EXPECT_EQ(capture.count(rrm::LOG_LEVEL_DEBUG, "Cancel domain d1"), 0u);

    rrm->start();
    std::vector<std::shared_ptr<rrm::Worker>> workers;
    for (const std::string domain : {"d1", "d2"}) {
        route(subscribe(domain, mac_text(1)));
        workers.push_back(rrm->find_worker(domain));
        ASSERT_TRUE(workers.back());
    }
    capture.clear();
    rrm->stop();
    EXPECT_EQ(rrm->worker_count(), 0u);
    for (const std::string domain : {"d1", "d2"}) {
        auto records = capture.records();
        auto it = std::find_if(records.begin(), records.end(), [&](const auto& r) {
            return r.text == "Cancel domain " + domain;
        });
        ASSERT_NE(it, records.end()) << domain;
        EXPECT_EQ(it->func, "operator()");
    }
    for (auto& w : workers)
        EXPECT_FALSE(w->is_thread_started()) << "joined";
    EXPECT_EQ(debug_count("Stop worker d1"), 1u);

    route(subscribe("d1", mac_text(1)));
    EXPECT_EQ(rrm->worker_count(), 1u) << "workers are created again after a stop";
}

TEST_F(Registry, StopCreatesNoWorkerWhileItRuns)
{
    rrm->start();
    ASSERT_TRUE(rrm->add_domain_worker("d1", quiet_settings()));
    stall("d1");  // the stop cannot join d1 until released
    std::thread stopper([&] { rrm->stop(); });
    ASSERT_TRUE(debug_eventually("Cancel domain d1"));
    route(subscribe("d2", mac_text(1)));
    release();
    stopper.join();
    EXPECT_EQ(debug_count("Created new worker 'd2'."), 0u);
    EXPECT_EQ(debug_count("Start worker d2"), 0u);
    EXPECT_EQ(rrm->worker_count(), 0u);
}

TEST_F(Registry, StartAndRestartFollowTheVrrpRole)
{
    rrm->start();
    EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_DEBUG, "Wendara version 1.0.0 start\n"));
    EXPECT_EQ(rrm->get_vrrp_role(), 1);
    EXPECT_TRUE(rrm->default_service()->is_thread_started());
    rrm->start();  // no second thread
    rrm->stop();
    EXPECT_FALSE(rrm->default_service()->is_thread_started());

    config->global_update(rrm::JsonReader(R"({"vrrp_enabled":1})"));
    capture.clear();
    rrm->start();
    EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_DEBUG, "Wendara start in vrrp mode\n"));
    EXPECT_EQ(rrm->get_vrrp_role(), 0);
    EXPECT_FALSE(rrm->default_service()->is_thread_started()) << "backup runs no service worker";

    capture.clear();
    rrm->restart();
    EXPECT_TRUE(
        capture.has(rrm::LOG_LEVEL_DEBUG, "Wendara start in vrrp mode, preserving role: backup\n"));
    EXPECT_EQ(rrm->get_vrrp_role(), 0);
    EXPECT_FALSE(rrm->default_service()->is_thread_started());
    for (const auto& r : capture.records())
        if (r.text.rfind("Wendara", 0) == 0) {
            EXPECT_EQ(r.func, "start");
        }

    // VRRP turned off while backup: no role request would ever make the
    // server master again, so the restart does, restoring the domains of
    // the backup files as any switch to master does.
    int asked = 0;
    rrm->set_backup_source([&] {
        ++asked;
        return std::make_shared<std::string>(
            R"([{"name":"d2","rrm-status":0,"fbt-status":0,"aps":[],"unanswered-aps":[],)"
            R"("deleted-aps":[]}])");
    });
    config->global_update(rrm::JsonReader(R"({"vrrp_enabled":0})"));
    capture.clear();
    rrm->restart();
    EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_INFO, "VRRP is disabled: serving as master"));
    EXPECT_EQ(rrm->get_vrrp_role(), 1);
    EXPECT_TRUE(rrm->default_service()->is_thread_started());
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(rrm->find_worker("d2"));
    // A master stays master: the next restart restores nothing.
    rrm->restart();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(capture.count(rrm::LOG_LEVEL_INFO, "VRRP is disabled: serving as master"), 1u);
}

TEST_F(Registry, RemoveWorkerDropsTheApSessionsStopsAndForgetsTheWorker)
{
    auto worker = rrm->add_domain_worker("d1", quiet_settings());
    ASSERT_TRUE(worker);
    rrm->run_on_domain("d1", [](rrm::RrmWorker& w) {
        add_ap(w, w.aps, "00:00:00:00:00:0A", 10);
        add_ap(w, w.aps_to_delete, "00:00:00:00:00:0B", 11);
        add_ap(w, w.unanswered_aps, "00:00:00:00:00:0C", 12);
    });
    capture.clear();
    rrm->remove_workers({"d1", "d1"});
    EXPECT_EQ(rrm->worker_count(), 0u);
    EXPECT_FALSE(worker->is_thread_started());

    std::vector<std::string> lines;
    for (const auto& r : capture.records())
        if (r.text.rfind("Drop session", 0) == 0 || r.text.rfind("Worker with", 0) == 0) {
            lines.push_back(r.text);
            if (r.text.rfind("Drop session", 0) == 0) {
                EXPECT_EQ(r.func, "operator()");
            }
        }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Drop session 00:00:00:00:00:0C(12) on worker 'd1'.",
                         "Drop session 00:00:00:00:00:0B(11) on worker 'd1'.",
                         "Drop session 00:00:00:00:00:0A(10) on worker 'd1'.",
                         "Worker with domain 'd1' erased.",
                         "Worker with domain 'd1' erased.",
                     }));
    EXPECT_EQ(debug_count("drop_session_at_websock_worker: 12 force: 1"), 1u);
}

TEST_F(Registry, MessagesArrivingDuringARemovalAreRoutedAfterIt)
{
    auto old_worker = rrm->add_domain_worker("d1", quiet_settings());
    ASSERT_TRUE(old_worker);
    hold("d1");  // remove_worker waits to read the AP lists
    std::thread remover([&] { rrm->remove_worker("d1"); });
    // Messages routed from now on are either queued on the old worker (before
    // the removal began) or held back until it is gone; keep sending until
    // one is provably held back.
    ASSERT_TRUE(eventually([&] {
        route(subscribe("d1", mac_text(7)), 7);
        return rrm->find_worker("d1") == old_worker && rrm->worker_count() == 1 &&
               capture.count(rrm::LOG_LEVEL_DEBUG, "Created new worker 'd1'.") == 0 &&
               rrm->removal_pending("d1");
    }));
    route(subscribe("d1", mac_text(8)), 8);
    EXPECT_EQ(rrm->find_worker("d1"), old_worker) << "nothing new while the old one stops";
    release();
    remover.join();

    auto current = rrm->find_worker("d1");
    ASSERT_TRUE(current);
    EXPECT_NE(current, old_worker);
    EXPECT_FALSE(old_worker->is_thread_started());
    EXPECT_EQ(debug_count("Created new worker 'd1'."), 1u);
    EXPECT_TRUE(debug_eventually("process_message subscribe-request for " + mac_text(8)))
        << "held-back messages reach the new worker";
}

}  // namespace

namespace {

TEST_F(Registry, AChangeAroundARemovalRunsWithTheWorkersStoppedAndTheirMessagesHeldBack)
{
    auto d1 = rrm->add_domain_worker("d1", quiet_settings());
    auto d2 = rrm->add_domain_worker("d2", quiet_settings());
    ASSERT_TRUE(d1 && d2);
    bool ran = false;
    rrm->remove_workers({"d1", "d3"}, [&] {
        ran = true;
        // The listed domain's worker is stopped; the other one runs on.
        EXPECT_FALSE(d1->is_thread_started());
        EXPECT_TRUE(d2->is_thread_started());
        // Subscriptions of the listed domains, with or without a worker
        // before, wait for the change.
        route(subscribe("d1", mac_text(1)), 1);
        route(subscribe("d3", mac_text(3)), 3);
        EXPECT_EQ(0u, debug_count("Created new worker 'd1'."));
        EXPECT_EQ(0u, debug_count("Created new worker 'd3'."));
        bool invalid = false;
        bool changed = false;
        rrm::JsonWriter rejects("");
        rrm::JsonWriter list = rejects.add_array("r");
        ASSERT_TRUE(config->pattern_change("common", rrm::JsonReader(R"({"dca_threshold":30})"),
                                           list, invalid, changed));
        ASSERT_TRUE(changed);
    });
    EXPECT_TRUE(ran);
    EXPECT_EQ(rrm->find_worker("d2"), d2);
    // The held subscriptions made workers from the changed settings.
    for (const char* domain : {"d1", "d3"}) {
        SCOPED_TRACE(domain);
        auto worker = rrm->find_worker(domain);
        ASSERT_TRUE(worker);
        EXPECT_NE(worker, d1);
        int threshold = 0;
        ASSERT_TRUE(rrm->run_on_domain(domain, [&](rrm::RrmWorker& w) {
            threshold = w.config.dca_threshold;
        }));
        EXPECT_EQ(30, threshold);
    }
    EXPECT_EQ(1u, debug_count("Worker with domain 'd1' erased."));
    EXPECT_EQ(1u, debug_count("Worker with domain 'd3' erased."));
}

}  // namespace
