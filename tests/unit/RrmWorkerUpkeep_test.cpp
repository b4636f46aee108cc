// The domain worker's upkeep, on the test thread: "rrm-config-changed" and
// the comparison of reported radios, the domain timer (status line, ageing,
// forced planning), the management API's forced optimisation, and timers
// whose callbacks throw.

#include "ApSimulator.h"
#include "DomainFixture.h"
#include "LoadBalancer802dot11vSubworker.h"
#include "Log.h"
#include "TimerQueue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::ApSpec;
using testsupport::DomainFixture;
using testsupport::SimRadio;
using testsupport::SimVap;

ApSpec k_ap(const std::string& mac = "02:00:00:00:01:00")
{
    ApSpec spec;
    spec.mac = mac;
    spec.domain = "d";
    SimRadio radio;
    radio.id = 1;
    radio.channel = 36;
    radio.band = 5;
    SimVap vap;
    vap.id = 0;
    vap.ssid = "corp";
    radio.vaps.push_back(vap);
    spec.radios.push_back(radio);
    return spec;
}

TEST(RrmWorkerUpkeep, ConfigChangedComparesTheReportWithTheKnownRadios)
{
    struct Case {
        const char* name;
        std::function<void(ApSpec&)> change;
        bool plans_80211k;
        bool forces;
    };
    const Case cases[] = {
        {"nothing changed", [](ApSpec&) {}, false, false},
        {"channel only (802.11k on, 802.11v off)",
         [](ApSpec& s) { s.radios[0].channel = 40; }, true, false},
        {"allowed channels", [](ApSpec& s) { s.radios[0].available_channels = "36 40 44"; },
         false, true},
        // A new power limit is a new configuration; it must be noticed
        // before the AP's radios take the limit over.
        {"power limit", [](ApSpec& s) { s.radios[0].power_max = 14; }, false, true},
        {"power floor", [](ApSpec& s) { s.radios[0].power_min = 8; }, false, true},
        {"bandwidth", [](ApSpec& s) { s.radios[0].bandwidth = 40; }, false, true},
    };
    // The channel assignment off: a channel the AP reports is its own.
    rrm::DomainConfig settings;
    settings.use_dca = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain(settings);
        ApSpec spec = k_ap();
        domain.from_ap(spec.subscribe_request(), 1);
        auto ap = domain.find(domain.worker->aps, spec.mac);
        ap->visible_members.table.emplace(rrm::mac_from_string("0A:00:00:00:00:01"),
                                          rrm::Neighbour());
        domain.idle();
        domain.log.clear();

        c.change(spec);
        domain.from_ap(spec.config_changed(), 1);

        // The AP is sent its "rrm-info" with its radios in every case.
        const rrm::JsonReader info(domain.last("rrm-info").c_str());
        ASSERT_FALSE(info.is_null());
        EXPECT_STREQ(info.get_string("ap-mac"), "02:00:00:00:01:00");
        EXPECT_EQ(info.child("radios").size(), 1);
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11k domain d"),
                  c.plans_80211k);
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Force optimization dmain d"), c.forces);
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Not-equivalent or force (0) subscribe request"),
                  c.forces);
        // A changed configuration clears what the AP heard and counts as a
        // change of the domain, and so does the cycle it plans (0 -> 4).
        EXPECT_EQ(ap->visible_members.table.empty(), c.forces);
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), c.forces ? 2u : 0u);
        EXPECT_EQ(domain.worker->config_changed_metric.count, 1);
    }
}

// An AP with one 5 GHz radio open to 802.11v (a VAP with 802.11v, not
// locked), in a domain with 802.11v and balancing on.
ApSpec v_ap(const std::string& mac)
{
    ApSpec spec = k_ap(mac);
    spec.radios[0].locked_80211v = 0;
    spec.radios[0].locked_balancer = 0;
    spec.radios[0].vaps[0].v = true;
    return spec;
}

rrm::DomainConfig v_settings()
{
    rrm::DomainConfig settings;
    settings.use_80211v = true;
    settings.use_dca = false;
    return settings;
}

TEST(RrmWorkerUpkeep, ConfigChangedWithNewPrioritiesPlansAn80211vUpdate)
{
    struct Case {
        const char* name;
        int clients;  // associated on the radio before the report
        const char* info;
        bool plans;
    };
    // Priorities: 255 below load_balance_sta_low (5) clients, 127 below
    // load_balance_sta_high (20). The report changes nothing else.
    const Case cases[] = {
        {"load unchanged: nothing to plan", 0, "process_exists_ap update_802dot11kv 0 (0/0/0)",
         false},
        {"six clients now: priority 127, the lists go again", 6,
         "process_exists_ap update_802dot11kv 1 (0/0/1)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain(v_settings());
        const ApSpec spec = v_ap("02:00:00:00:01:00");
        domain.from_ap(spec.subscribe_request(), 1);
        domain.idle();
        auto ap = domain.find(domain.worker->aps, spec.mac);
        rrm::Radio& radio = ap->radios.radios[1];
        ASSERT_EQ(radio.priority, 255);
        for (int i = 0; i < c.clients; ++i)
            radio.client_table.add_client(rrm::mac_from_u48(0x0a0000000000ull + i), -60, "corp",
                                          false, false);
        domain.log.clear();
        domain.from_ap(spec.config_changed(), 1);
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_INFO, c.info));
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_DEBUG,
                                 "Planning 802.11v optimization (timer restarted)"),
                  c.plans);
        EXPECT_EQ(radio.priority, c.clients ? 127 : 255);
    }
}

TEST(RrmWorkerUpkeep, LastDeletedApAgedOutMarksThe80211vListsForSending)
{
    for (int state : {0, 2}) {
        SCOPED_TRACE(state);
        DomainFixture domain(v_settings());
        domain.from_ap(v_ap("02:00:00:00:01:00").subscribe_request(), 1);
        domain.from_ap(v_ap("02:00:00:00:02:00").subscribe_request(), 2);
        domain.drop(2);
        domain.find(domain.worker->aps_to_delete, "02:00:00:00:02:00")->ttl = 1;
        // The lists as last sent.
        domain.worker->subworkers.get_load_balancer_802dot11v()->mark_priorities_sent();
        auto stays = domain.find(domain.worker->aps, "02:00:00:00:01:00");
        ASSERT_FALSE(stays->radios.radios[1].list_changed);
        domain.tpc().state = state;
        domain.worker->process_timer_message();
        ASSERT_TRUE(domain.worker->aps_to_delete.empty());
        // The neighbour lists lost an AP: sent again, unless a cycle is
        // collecting answers (it ends with "rrm-info" to everyone anyway).
        for (const rrm::Radio& radio : stays->radios.radios)
            EXPECT_EQ(radio.list_changed, state == 0) << radio.id;
    }
}

TEST(RrmWorkerUpkeep, ConfigChangedOfAnApWhoseSessionIsGoneIsAnError)
{
    DomainFixture domain;
    ApSpec spec = k_ap();
    domain.from_ap(spec.subscribe_request(), 1);
    domain.drop(1);
    domain.log.clear();
    domain.from_ap(spec.config_changed(), 2);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "To deleted rrm change request"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR,
                               "Exception at processing message on worker 'd': invalid exist session"));
    auto events = domain.log.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, rrm::EVENT_WORKER_MSG_EXCEPTION);
    EXPECT_EQ(events[0].details, "d");
    // A run that throws is not counted.
    EXPECT_EQ(domain.worker->config_changed_metric.count, 0);
    EXPECT_TRUE(domain.sent("rrm-info").empty());
}

TEST(RrmWorkerUpkeep, ApMessagesReachTheirApOrAreReported)
{
    DomainFixture domain;
    ApSpec spec = k_ap();
    domain.from_ap(spec.subscribe_request(), 1);
    struct Case {
        const char* name;
        std::string text;
        uint32_t session;
        const char* error;   // null: none
        const char* debug;   // expected Debug line, null: none
    };
    // Radio 1 of 02:00:00:00:01:00 has MAC 02:00:00:00:01:10 (offset 16).
    ApSpec by_radio = spec;
    by_radio.mac = "02:00:00:00:01:10";
    const Case cases[] = {
        {"mode response of the AP", spec.message("rrm-mode-response"), 1, nullptr, nullptr},
        {"mode response on another session", spec.message("rrm-mode-response"), 2,
         "Exception at processing message on worker 'd': invalid session", nullptr},
        {"scan results by a radio MAC", by_radio.message("rrm-response"), 1,
         "Exception at processing message on worker 'd': AP not found", nullptr},
        {"steering message by a radio MAC", by_radio.message("rrm-assoc-state-changed"), 1,
         nullptr, "process_message balancer rrm-assoc-state-changed for 02:00:00:00:01:10"},
        {"steering message of an unknown AP", k_ap("0A:00:00:00:00:09").message("rrm-sta-roam"), 1,
         nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        domain.log.clear();
        domain.from_ap(c.text, c.session);
        size_t errors = 0;
        for (const auto& r : domain.log.records())
            if (r.level == rrm::LOG_LEVEL_ERROR)
                ++errors;
        EXPECT_EQ(errors, c.error ? 1u : 0u);
        if (c.error) {
            EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR, c.error));
            EXPECT_EQ(domain.log.event_count(rrm::EVENT_WORKER_MSG_EXCEPTION), 1u);
        }
        if (c.debug) {
            EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, c.debug));
        }
    }
    // A steering message of an AP held as unanswered reaches it too.
    auto ap = domain.find(domain.worker->aps, spec.mac);
    domain.worker->aps.erase(ap->base_mac);
    domain.worker->unanswered_aps.insert(ap->base_mac, ap);
    domain.log.clear();
    domain.from_ap(spec.message("rrm-client-assoc"), 1);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "To unanswered rrm balancer cmd"));
    domain.log.clear();
    domain.from_ap(spec.message("rrm-mode-response"), 1);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR,
                               "Exception at processing message on worker 'd': AP not found"));
}

TEST(RrmWorkerUpkeep, DomainTimerStatusLine)
{
    DomainFixture domain;
    domain.from_ap(k_ap().subscribe_request(), 1);
    domain.idle();
    domain.worker->subscribe_metric.count = 4;
    domain.worker->subscribe_metric.total_us = 1003;  // 1003 / 4 = 250
    domain.tpc().optimize_metric.count = 2;
    domain.tpc().optimize_metric.total_us = 7;        // 7 / 2 = 3
    domain.worker->stop_counter = 5;
    domain.worker->load_balancer_stop = true;
    domain.log.clear();
    domain.worker->process_timer_message();
    // counter 5 is shown before this run counts it down.
    EXPECT_TRUE(domain.log.has(
        rrm::LOG_LEVEL_DEBUG,
        "Domain d state (0) aps: 1 unanswered_aps: 0 aps_to_delete: 0 queued: 0 "
        "load_balancer_lock: 0 load_balancer_stop: 1 counter: 5\n\tMetrics: subscribe-request "
        "250/4 unsubscribe-request 0/0\n\trrm-response 0/0 rrm-mode-response 0/0 "
        "rrm-config-changed 0/0\n\ttimer-request-modes 0/0 timer-request-scan 0/0 "
        "timer-optimize 3/2"));
    EXPECT_EQ(domain.worker->stop_counter, 4);
}

TEST(RrmWorkerUpkeep, LastDeletedApAgedOutPlansAgainUnlessACycleCollects)
{
    for (int state = 0; state <= 5; ++state) {
        SCOPED_TRACE(state);
        DomainFixture domain;
        domain.from_ap(k_ap("02:00:00:00:01:00").subscribe_request(), 1);
        domain.from_ap(k_ap("02:00:00:00:02:00").subscribe_request(), 2);
        domain.drop(2);
        auto gone = domain.find(domain.worker->aps_to_delete, "02:00:00:00:02:00");
        ASSERT_NE(gone, nullptr);
        EXPECT_EQ(gone->ttl, 12);  // away_timeout 120 s / 10 s per run
        gone->ttl = 1;
        domain.tpc().state = state;
        domain.log.clear();
        domain.worker->process_timer_message();
        EXPECT_TRUE(domain.worker->aps_to_delete.empty());
        const bool forced = domain.log.has(rrm::LOG_LEVEL_DEBUG, "Force optimization dmain d") ||
                            domain.tpc().replan_pending;
        EXPECT_EQ(forced, state != 2 && state != 3);
        // The ageing changes the domain; so does a plan that leaves state 0
        // or 1 for 4.
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED),
                  state == 0 || state == 1 ? 2u : 1u);
        EXPECT_FALSE(domain.worker->stop_was_requested());
    }
}

TEST(RrmWorkerUpkeep, DeletedApIsForgottenAtTheTwelfthRun)
{
    DomainFixture domain;
    domain.from_ap(k_ap().subscribe_request(), 1);
    domain.drop(1);
    for (int run = 1; run <= 11; ++run) {
        domain.worker->process_timer_message();
        ASSERT_EQ(domain.worker->aps_to_delete.size(), 1u) << run;
    }
    domain.worker->process_timer_message();
    EXPECT_TRUE(domain.worker->aps_to_delete.empty());
    EXPECT_TRUE(domain.worker->stop_was_requested()) << "no AP left";
}

TEST(RrmWorkerUpkeep, ManagementForcedOptimisation)
{
    struct Case {
        int state;
        bool restore_locked;
        bool accepted;
    };
    const Case cases[] = {{0, false, true},  {1, false, true}, {2, false, false},
                          {3, false, false}, {4, false, false}, {5, false, false},
                          {0, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + (c.restore_locked ? " locked" : ""));
        DomainFixture domain;
        domain.tpc().state = c.state;
        domain.tpc().restore_lock = c.restore_locked;
        EXPECT_EQ(domain.worker->force_optimization(), c.accepted);
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Force optimization from api dmain d"),
                  c.accepted);
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_DEBUG, "NOT Planning optimization domain d status " +
                                                           std::to_string(c.state)),
                  !c.accepted);
    }
}

TEST(RrmWorkerUpkeep, DomainTimerKeepsRunningWhenARunThrows)
{
    rrm::DomainConfig settings;
    settings.use_balance = false;  // no tick: only the domain timer is armed
    DomainFixture domain(settings);
    domain.from_ap(k_ap().subscribe_request(), 1);
    ASSERT_TRUE(domain.worker->connect());
    const int64_t now = rrm::TimerQueue::now_seconds();

    // The first run fails with an allocation failure at its first step.
    domain.log.fail_once("Domain d state");
    domain.log.clear();
    domain.worker->timers.fire_due(now + 10);
    EXPECT_EQ(domain.log.failures(), 1u);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR,
                               "Exception at processing timer on worker 'd': std::bad_alloc"));
    auto events = domain.log.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, rrm::EVENT_WORKER_MSG_EXCEPTION);
    EXPECT_EQ(events[0].details, "d");

    // The timer is still armed and the next run is a whole one.
    ASSERT_EQ(domain.worker->timers.size(), 1u);
    domain.log.clear();
    domain.worker->timers.fire_due(now + 40);
    size_t lines = 0;
    for (const auto& r : domain.log.records())
        if (r.text.rfind("Domain d state", 0) == 0)
            ++lines;
    EXPECT_EQ(lines, 1u);
    EXPECT_EQ(domain.worker->timers.size(), 1u);
    domain.worker->disconnect();
    EXPECT_TRUE(domain.worker->timers.empty());
}

TEST(RrmWorkerUpkeep, SubWorkerTimerThatThrowsIsTheDomainsFailure)
{
    DomainFixture domain;
    domain.from_ap(k_ap().subscribe_request(), 1);
    domain.idle();
    // The planned 802.11k update (timer 1 of the planning sub-worker) fails
    // when it runs.
    domain.tpc().planning_update_802dot11k();
    domain.log.fail_once("Process update 802dot11k domain d");
    domain.log.clear();
    domain.tpc().timers.fire_due(rrm::TimerQueue::now_seconds() + 20);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR,
                               "Exception at processing timer on worker 'd': std::bad_alloc"));
    EXPECT_EQ(domain.log.event_count(rrm::EVENT_WORKER_MSG_EXCEPTION), 1u);
    // The worker goes on with its next message.
    domain.from_ap(k_ap().config_changed(), 1);
    EXPECT_EQ(domain.sent("rrm-info").size(), 1u);
}

TEST(RrmWorkerUpkeep, TimersArePolledWorkerFirstThenSubworkersInOrder)
{
    DomainFixture domain;
    std::vector<std::string> fired;
    domain.worker->timers.add_timer([&] { fired.push_back("worker"); }, 7, 0);
    const char* names[] = {"tpc", "blacklist", "balancer", "80211v"};
    for (int i = 3; i >= 0; --i) {
        const std::string name = names[i];
        domain.worker->subworkers.get(static_cast<size_t>(i))
            ->timers.add_timer([&fired, name] { fired.push_back(name); }, 7, 0);
    }
    domain.worker->poll_timers();
    EXPECT_EQ(fired, (std::vector<std::string>{"worker", "tpc", "blacklist", "balancer", "80211v"}));
}

}  // namespace
