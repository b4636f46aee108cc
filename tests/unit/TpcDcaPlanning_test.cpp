// The planning cycle of a domain, driven by hand on the test's thread:
// planning by force and for the time of day (with a fake wall clock),
// forcing in every state, the mode and scan steps with their messages and
// waits, the end of a run, and a cycle step that fails. No optimisation
// thread is started here (tests/threaded/TpcDcaCycle_test.cpp runs it).

#include "ApSimulator.h"
#include "DomainFixture.h"
#include "JsonReader.h"
#include "OptimizationResult.h"
#include "TimerQueue.h"
#include "TpcDcaSubworker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::ApSpec;
using testsupport::DomainFixture;
using testsupport::SimRadio;

// One 5 GHz radio (id 0) on 36 that may use `available`.
ApSpec radio_ap(const std::string& mac, const std::string& available = "36")
{
    ApSpec spec;
    spec.mac = mac;
    spec.domain = "d";
    spec.serial = "SN-" + mac;
    SimRadio radio;
    radio.id = 0;
    radio.channel = 36;
    radio.band = 5;
    radio.available_channels = available;
    spec.radios.push_back(radio);
    return spec;
}

std::string state_text(int status)
{
    return R"({"location":"d", "status":)" + std::to_string(status) + "}";
}

// The event 24 payloads recorded so far.
std::vector<std::string> states(const DomainFixture& domain)
{
    std::vector<std::string> out;
    for (const auto& e : domain.log.events())
        if (e.code == rrm::EVENT_TPC_DCA_STATE)
            out.push_back(e.details);
    return out;
}

// Fires the sub-worker's timers due `seconds` from now.
void after(DomainFixture& domain, int seconds)
{
    domain.tpc().timers.fire_due(rrm::TimerQueue::now_seconds() + seconds);
}

TEST(TpcDcaPlanning, PlanningTheNextCycle)
{
    struct Case {
        const char* name;
        std::function<void(rrm::DomainConfig&)> settings;
        bool force;
        int state;
        std::vector<std::string> events;  // event 24 payloads
        size_t domain_changed;            // event 23
        const char* debug;                // a Debug line the planning writes
    };
    auto none = [](rrm::DomainConfig&) {};
    auto inactive = [](rrm::DomainConfig& s) {
        s.use_dca = s.use_tpc = s.use_balance = s.use_80211k = s.use_80211v = false;
    };
    const Case cases[] = {
        {"forced: state 4 for replan_delay", none, true, 4, {state_text(4)}, 1,
         "Planning domain d update 1 after 20 sec"},
        {"not forced, no time of day: idle", none, false, 0, {state_text(0)}, 1, nullptr},
        {"forced with no delay: idle",
         [](rrm::DomainConfig& s) { s.replan_delay = 0; }, true, 0, {state_text(0)}, 1, nullptr},
        // No radio planning, no lists from scans: nothing to plan; the
        // 802.11r update still is.
        {"inactive domain", inactive, true, 0, {state_text(0)}, 0,
         "Planning update 802dot11r domain d"},
        // Every AP counts for the 802.11k lists: planned without a cycle.
        {"inactive, lists over all APs",
         [](rrm::DomainConfig& s) {
             s.use_dca = s.use_tpc = false;
             s.use_all_ap_balance = true;
         },
         true, 0, {state_text(0)}, 0, "Planning update 802dot11k domain d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rrm::DomainConfig settings;
        c.settings(settings);
        DomainFixture domain(settings);
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        tpc.fbt_status = 1;
        tpc.planning_update_802dot11k();  // pending list updates
        domain.log.clear();
        tpc.planning_request_modes(c.force);
        EXPECT_EQ(tpc.state, c.state);
        EXPECT_EQ(states(domain), c.events);
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), c.domain_changed);
        EXPECT_FALSE(domain.worker->load_balancer_lock);
        if (c.debug) {
            EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, c.debug));
        }
    }

    // A forced plan takes the pending list updates over (they run when the
    // cycle starts, see below) and runs its first step replan_delay seconds
    // later.
    DomainFixture domain;
    domain.from_ap(radio_ap("02:00:00:00:01:00").subscribe_request(), 1);
    domain.idle();
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    tpc.planning_update_802dot11k();
    tpc.planning_update_802dot11r();
    ASSERT_EQ(tpc.fbt_status, 1);
    tpc.planning_request_modes(true);
    EXPECT_EQ(tpc.fbt_status, 0);
    EXPECT_EQ(tpc.timers.size(), 1u) << "only timer 0 is left";
    domain.log.clear();
    after(domain, 18);
    EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Send rrm-request-mode messages on domain d"));
    after(domain, 21);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Send rrm-request-mode messages on domain d"));
    EXPECT_EQ(tpc.state, 2);

    // A second forcing event restarts the delay without a second report.
    DomainFixture twice;
    twice.tpc().planning_request_modes(true);
    twice.log.clear();
    twice.tpc().planning_request_modes(true);
    EXPECT_EQ(twice.tpc().state, 4);
    EXPECT_TRUE(twice.log.events().empty());
}

TEST(TpcDcaPlanning, TimeOfDayWithAFakeClock)
{
    // 2026-01-01 00:00:00 UTC.
    const int64_t midnight = 1767225600;
    struct Case {
        const char* name;
        const char* time;
        int seconds;
        int zone;     // seconds east of UTC
        int64_t now;  // seconds of the UTC day
        int interval;
    };
    const Case cases[] = {
        // 0 - 10800 - 77400 = -88200; + 86400 = -1800, still not ahead:
        // -88200 + 172800 = 84600, the next local midnight (21:00 UTC).
        {"00:00 at +03:00, 21:30 UTC", "00:00", 0, 10800, 77400, 84600},
        // 0 exactly: a whole day ahead, never now.
        {"the planned second itself", "10:00", 36000, 0, 36000, 86400},
        // 82800 + 43200 - 18000 = 108000: more than a day, kept.
        {"23:00 at -12:00, 05:00 UTC", "23:00", 82800, -43200, 18000, 108000},
        // 43200 - 3600 - 28800 = 10800.
        {"12:00 at +01:00, 08:00 UTC", "12:00", 43200, 3600, 28800, 10800},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rrm::DomainConfig settings;
        settings.use_optimization_time = true;
        settings.optimization_time = c.time;
        settings.optimization_seconds = c.seconds;
        DomainFixture domain(settings);
        domain.worker->time_zone_offset = c.zone;
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        tpc.wall_clock = [&](int64_t& now) {
            now = midnight + c.now;
            return true;
        };
        domain.log.clear();
        tpc.planning_request_modes(false);
        EXPECT_EQ(tpc.state, 1);
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG,
                                   "Optimization interval " + std::to_string(c.interval)));
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Planning domain d update 0 after " +
                                                             std::to_string(c.interval) + " sec"));
        EXPECT_EQ(states(domain), std::vector<std::string>{state_text(1)});
        // The cycle starts when the monotonic clock has gone that far.
        after(domain, c.interval - 2);
        EXPECT_EQ(tpc.state, 1);
        after(domain, c.interval + 1);
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Send rrm-request-mode messages on domain d"));
    }

    // A wall clock that cannot be read leaves the domain idle.
    rrm::DomainConfig settings;
    settings.use_optimization_time = true;
    DomainFixture domain(settings);
    domain.tpc().wall_clock = [](int64_t&) { return false; };
    domain.tpc().planning_request_modes(false);
    EXPECT_EQ(domain.tpc().state, 0);
    EXPECT_TRUE(domain.tpc().timers.empty());
}

TEST(TpcDcaPlanning, ForcedOptimisationInEachState)
{
    struct Case {
        int state;
        bool locked;
        bool on_event;
        int after;
        std::vector<int> reported;  // event 24 statuses
        size_t domain_changed;
        bool steering_locked;
        bool pending;
    };
    const Case cases[] = {
        {0, false, true, 4, {4}, 1, false, false},
        {1, false, true, 4, {4}, 1, false, false},
        // A forcing event abandons the mode or scan step: planned again.
        {2, false, true, 4, {4}, 1, false, false},
        {3, false, true, 4, {4}, 1, false, false},
        // Already planned: the delay starts over, nothing is reported.
        {4, false, true, 4, {}, 0, false, false},
        // A run goes on; the next cycle follows it.
        {5, false, true, 5, {}, 0, true, true},
        // Held after a restore: only the state is marked.
        {2, true, true, 4, {4}, 0, true, false},
        // Without event planning, the domain plans as if no event came.
        {0, false, false, 0, {0}, 1, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + (c.locked ? " locked" : "") +
                     (c.on_event ? "" : " no events"));
        rrm::DomainConfig settings;
        settings.use_optimization_event = c.on_event;
        DomainFixture domain(settings);
        domain.from_ap(radio_ap("02:00:00:00:01:00").subscribe_request(), 1);
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        tpc.state = c.state;
        tpc.restore_lock = c.locked;
        domain.worker->load_balancer_lock = c.state == 2 || c.state == 3 || c.state == 5;
        domain.log.clear();
        tpc.force_optimization();
        EXPECT_EQ(tpc.state, c.after);
        std::vector<std::string> expected;
        for (int s : c.reported)
            expected.push_back(state_text(s));
        EXPECT_EQ(states(domain), expected);
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), c.domain_changed);
        EXPECT_EQ(domain.worker->load_balancer_lock, c.steering_locked);
        EXPECT_EQ(tpc.replan_pending, c.pending);
        EXPECT_EQ(tpc.replan_forced, c.pending);
    }
}

// The seconds of the planning's timers in the tests below.
int64_t fake_seconds = 0;
int64_t fake_clock() { return fake_seconds; }

std::string nth_ap(int n)
{
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:00", n + 1);
    return mac;
}

// Each new AP forces a cycle. A domain that APs keep joining a little
// faster than replan_delay (20 s) still plans: the cycle starts at the
// latest 3 x 20 s after the first forcing event. Once it collects answers
// that late, a further forcing event waits for its run instead of starting
// it over; earlier, it starts the cycle over, still within the bound.
TEST(TpcDcaPlanning, ForcingEventsPushACycleBackNoFurtherThanThreeDelays)
{
    struct Case {
        const char* name;
        std::vector<int> joins;  // seconds after the first AP's forcing event
        int mode_step;           // when the mode requests go out
        int late_join;           // a join while the domain collects modes
        int after_late;          // the state it leaves
        int late_delay;          // 4 again: its delay; else the join waits for the run
    };
    const Case cases[] = {
        {"one AP", {}, 20, 25, 4, 20},
        // 15 -> 35, 30 -> 50, 45 -> 60 (not 65); the join at 61 waits.
        {"an AP every 15 s", {15, 30, 45, 60, 75}, 60, 61, 2, 0},
        // 10 -> 30, 25 -> 45; the join at 46 starts it over, due at the
        // bound (60), 14 s later, not 20.
        {"started within the bound", {10, 25}, 45, 46, 4, 14},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_seconds = 1000;
        DomainFixture domain;
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        tpc.timers.set_clock(&fake_clock);
        int joined = 0;
        auto join = [&] {
            domain.from_ap(radio_ap(nth_ap(joined)).subscribe_request(), 10 + joined);
            ++joined;
        };
        join();
        ASSERT_EQ(tpc.state, 4);
        int started = -1;
        for (int t = 1; t <= 200 && started < 0; ++t) {
            fake_seconds = 1000 + t;
            tpc.timers.poll();
            if (tpc.state == 2)
                started = t;
            else if (std::find(c.joins.begin(), c.joins.end(), t) != c.joins.end())
                join();
        }
        EXPECT_EQ(started, c.mode_step);
        fake_seconds = 1000 + c.late_join;
        join();
        EXPECT_EQ(tpc.state, c.after_late);
        const bool deferred = c.after_late == 2;
        EXPECT_EQ(tpc.replan_pending, deferred);
        EXPECT_EQ(tpc.replan_forced, deferred);
        if (!deferred) {
            EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG,
                                       "Planning domain d update 1 after " +
                                           std::to_string(c.late_delay) + " sec"));
        }
    }
}

// An 802.11k or 802.11r update that a forced cycle takes over is held, not
// dropped: it runs at the cycle's mode step, before the mode requests, and
// so does one asked for while the cycle is planned.
TEST(TpcDcaPlanning, UpdatesAForcedCycleTakesOverRunWhenItStarts)
{
    fake_seconds = 3000;
    DomainFixture domain;
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    tpc.timers.set_clock(&fake_clock);
    domain.from_ap(radio_ap("02:00:00:00:01:00").subscribe_request(), 1);
    domain.idle();
    tpc.planning_update_802dot11k();
    tpc.planning_update_802dot11r();
    fake_seconds = 3010;
    domain.from_ap(radio_ap("02:00:00:00:02:00").subscribe_request(), 2);
    ASSERT_EQ(tpc.state, 4);
    EXPECT_EQ(tpc.fbt_status, 0);
    domain.log.clear();
    const size_t mark = domain.sent().size();
    for (int t = 3011; t <= 3029; ++t) {
        fake_seconds = t;
        tpc.timers.poll();
    }
    EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Process update 802dot11k domain d"));
    EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Update 802dot11r domain d"));
    fake_seconds = 3030;
    tpc.timers.poll();
    EXPECT_EQ(tpc.state, 2);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Process held update 802dot11r domain d"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Update 802dot11r domain d"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Process held update 802dot11k domain d"));
    // The lists reach both APs before the cycle asks them for their modes.
    std::vector<std::string> cmds;
    const auto sent = domain.sent();
    for (size_t i = mark; i < sent.size(); ++i)
        cmds.push_back(testsupport::cmd_of(sent[i].text));
    EXPECT_EQ(cmds, (std::vector<std::string>{"rrm-info", "rrm-info", "rrm-request-mode",
                                               "rrm-request-mode"}));

    // Asked for while the forced cycle is planned: held the same way.
    DomainFixture planned;
    rrm::TpcDcaSubworker& other = planned.tpc();
    other.timers.set_clock(&fake_clock);
    fake_seconds = 5000;
    planned.from_ap(radio_ap("02:00:00:00:01:00").subscribe_request(), 1);
    ASSERT_EQ(other.state, 4);
    other.planning_update_802dot11r();
    EXPECT_EQ(other.fbt_status, 0);
    planned.log.clear();
    fake_seconds = 5020;
    other.timers.poll();
    EXPECT_TRUE(planned.log.has(rrm::LOG_LEVEL_DEBUG, "Process held update 802dot11r domain d"));
    // Given way to an idle plan instead, the held update is planned anew.
    DomainFixture calm;
    calm.tpc().timers.set_clock(&fake_clock);
    calm.from_ap(radio_ap("02:00:00:00:01:00").subscribe_request(), 1);
    calm.tpc().planning_update_802dot11r();
    calm.idle();
    EXPECT_EQ(calm.tpc().fbt_status, 1);
    EXPECT_EQ(calm.tpc().timers.size(), 1u) << "timer 2 only";
}

// Changes that keep coming a little faster than replan_delay push the
// 802.11k and 802.11r updates back at most 3 x 20 s after the first.
TEST(TpcDcaPlanning, ListUpdatesArePushedBackNoFurtherThanThreeDelays)
{
    struct Case {
        const char* name;
        void (rrm::TpcDcaSubworker::*plan)();
        const char* done;
    };
    const Case cases[] = {
        {"802.11k", &rrm::TpcDcaSubworker::planning_update_802dot11k,
         "Process update 802dot11k domain d"},
        {"802.11r", &rrm::TpcDcaSubworker::planning_update_802dot11r,
         "Process update 802dot11r domain d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain;
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        tpc.timers.set_clock(&fake_clock);
        fake_seconds = 4000;
        (tpc.*c.plan)();
        int done = -1;
        for (int t = 1; t <= 200 && done < 0; ++t) {
            fake_seconds = 4000 + t;
            tpc.timers.poll();
            if (domain.log.has(rrm::LOG_LEVEL_DEBUG, c.done))
                done = t;
            else if (t % 15 == 0)
                (tpc.*c.plan)();
        }
        EXPECT_EQ(done, 60);
        // Served: the next change waits its 20 s again.
        domain.log.clear();
        (tpc.*c.plan)();
        fake_seconds += 19;
        tpc.timers.poll();
        EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG, c.done));
        fake_seconds += 1;
        tpc.timers.poll();
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, c.done));
    }
}

TEST(TpcDcaPlanning, ModeAndScanSteps)
{
    // Each AP scans its own channels, one after the other.
    rrm::DomainConfig settings;
    settings.use_tavik_rrm_scan = false;
    DomainFixture domain(settings);
    ApSpec first = radio_ap("02:00:00:00:01:00", "36 40");
    SimRadio low;
    low.id = 1;
    low.channel = 6;
    low.band = 2;
    low.available_channels = "1 6 11";
    first.radios.push_back(low);
    ApSpec second = radio_ap("02:00:00:00:02:00", "149");
    SimRadio six;
    six.id = 2;
    six.channel = 5;
    six.band = 6;
    six.available_channels = "1 5";
    second.radios.push_back(six);
    ApSpec third = radio_ap("02:00:00:00:03:00", "");  // no channels to offer
    ApSpec idle = radio_ap("02:00:00:00:04:00");
    idle.radios[0].channel = 0;  // no radio on a channel: not asked
    const std::vector<ApSpec*> specs = {&first, &second, &third, &idle};
    for (uint32_t i = 0; i < specs.size(); ++i)
        domain.from_ap(specs[i]->subscribe_request(), i + 1);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    ASSERT_EQ(tpc.state, 4);
    domain.log.clear();

    // Timer 0 of state 4: the AP without an active radio waits aside, the
    // others are asked for their modes.
    after(domain, 21);
    EXPECT_EQ(tpc.state, 2);
    EXPECT_TRUE(domain.worker->load_balancer_lock);
    EXPECT_EQ(domain.worker->aps.size(), 3u);
    EXPECT_NE(domain.find(domain.worker->unanswered_aps, idle.mac), nullptr);
    EXPECT_EQ(domain.sent("rrm-request-mode").size(), 3u);

    // Every answer restarts the 15 s wait.
    for (uint32_t i = 0; i < 3; ++i)
        domain.from_ap(specs[i]->mode_response(), i + 1);
    EXPECT_EQ(tpc.mode_response_metric.count, 3);
    after(domain, 13);
    EXPECT_EQ(tpc.state, 2);
    after(domain, 16);
    EXPECT_EQ(tpc.state, 3);

    // The scan step from the domain's 5 and 6 GHz sets (36 40 149; 1 5):
    // n = max(14, 3, 2) = 14, (14 x 7 / 10 + 1) x 5 = (9 + 1) x 5 = 50 s;
    // the APs scan 50 s apart in the order the active map is walked.
    EXPECT_EQ(tpc.scan_step, 50);
    std::map<std::string, int> position;
    for (const auto& entry : domain.worker->aps.table)
        position.emplace(rrm::mac_to_string(entry.first), static_cast<int>(position.size()));
    std::map<std::string, std::string> lists = {
        {first.mac, R"([{"2":"1 6 11","5":"36 40","6":""}])"},
        {second.mac, R"([{"2":"","5":"149","6":"1 5"}])"},
        {third.mac, R"([{"2":"","5":"","6":""}])"},
    };
    const auto updates = domain.sent("rrm-update");
    ASSERT_EQ(updates.size(), 3u);
    for (const auto& sent : updates) {
        const rrm::JsonReader update(sent.text.c_str());
        const std::string mac = update.get_string("ap-mac");
        SCOPED_TRACE(mac);
        EXPECT_EQ(update.get_int("rrm-scan-delay"), 50 * position.at(mac));
        EXPECT_EQ(update.get_int("tavik-rrm-scanning"), 0);
        EXPECT_EQ(update.child("rrm-scan-channels-list").to_string(), lists.at(mac));
        // 2.4 GHz first, then 5 GHz, each set in its own order; no 6 GHz.
        std::istringstream words(update.get_string("rrm-scan-channels"));
        std::vector<int> channels;
        for (int n; words >> n;)
            channels.push_back(n);
        std::vector<int> expected;
        if (mac == first.mac) {
            std::vector<int> low_part(channels.begin(), channels.begin() + 3);
            std::sort(low_part.begin(), low_part.end());
            EXPECT_EQ(low_part, (std::vector<int>{1, 6, 11}));
            std::vector<int> high_part(channels.begin() + 3, channels.end());
            std::sort(high_part.begin(), high_part.end());
            EXPECT_EQ(high_part, (std::vector<int>{36, 40}));
        } else {
            EXPECT_EQ(update.get_string("rrm-scan-channels"),
                      std::string(mac == second.mac ? "149" : ""));
        }
    }

    // The scan wait: 3 x 50 + 1 = 151 s after the latest answer. Nobody
    // answers: all three wait aside, and with nobody left the cycle is
    // planned again by force (4); the parked APs are back for it.
    after(domain, 149);
    EXPECT_EQ(tpc.state, 3);
    after(domain, 152);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Start optimization on domain d size 0 drop 3"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Optimization on domain d delayed"));
    EXPECT_EQ(tpc.state, 4);
    EXPECT_EQ(domain.worker->aps.size(), 4u);
    EXPECT_TRUE(domain.worker->unanswered_aps.empty());
    EXPECT_FALSE(domain.worker->load_balancer_lock);
    EXPECT_EQ(tpc.request_modes_metric.count, 1);
    EXPECT_EQ(tpc.request_scan_metric.count, 1);
    EXPECT_EQ(tpc.optimize_metric.count, 1);
}

TEST(TpcDcaPlanning, NoAnswerToTheModeRequests)
{
    // A timer pass drops what its callbacks arm for a second it has already
    // reached: the first step comes 1 s after the plan, so that the 15 s
    // wait it arms outlives the pass.
    rrm::DomainConfig settings;
    settings.replan_delay = 1;
    DomainFixture domain(settings);
    domain.from_ap(radio_ap("02:00:00:00:01:00").subscribe_request(), 1);
    domain.from_ap(radio_ap("02:00:00:00:02:00").subscribe_request(), 2);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    after(domain, 2);
    ASSERT_EQ(tpc.state, 2);
    // Answers in the wrong state are ignored; so are scan results now.
    domain.from_ap(radio_ap("02:00:00:00:01:00").scan_response(), 1);
    EXPECT_EQ(tpc.rrm_response_metric.count, 0);
    domain.log.clear();
    after(domain, 16);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Send rrm-update messages on domain d size 0 drop 2"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Optimization scan on domain d delayed"));
    EXPECT_EQ(states(domain), (std::vector<std::string>{state_text(0), state_text(4)}));
    EXPECT_EQ(domain.worker->aps.size(), 2u);
    EXPECT_TRUE(domain.sent("rrm-update").empty());
}

TEST(TpcDcaPlanning, EndOfARun)
{
    struct Case {
        const char* name;
        bool result;
        bool success;
        const char* error;
        const char* warning;
        bool pending;
        bool time_of_day;
        int next_state;
    };
    const Case cases[] = {
        {"no result", false, false, "", "Optimization thread completed on domain d but no result was produced", false, false, 0},
        {"failed", true, false, "cancelled after DCA", "Optimization cancelled or failed: cancelled after DCA", false, false, 0},
        {"failed without a word", true, false, "", "Optimization on domain d finished unsuccessfully with no error message", false, false, 0},
        {"success", true, true, "", nullptr, false, false, 0},
        {"success, planned for the time of day", true, true, "", nullptr, false, true, 1},
        {"success, forced meanwhile", true, true, "", nullptr, true, false, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rrm::DomainConfig settings;
        settings.use_optimization_time = c.time_of_day;
        DomainFixture domain(settings);
        for (uint32_t i = 1; i <= 3; ++i)
            domain.from_ap(radio_ap("02:00:00:00:0" + std::to_string(i) + ":00").subscribe_request(), i);
        auto first = domain.find(domain.worker->aps, "02:00:00:00:01:00");
        auto third = domain.find(domain.worker->aps, "02:00:00:00:03:00");
        // The third AP waits aside; the run changed the first AP's radio.
        domain.worker->aps.index.erase_ap(third);
        domain.worker->aps.table.erase(third->base_mac);
        domain.worker->unanswered_aps.insert(third->base_mac, third);
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        tpc.state = 5;
        tpc.replan_pending = tpc.replan_forced = c.pending;
        domain.worker->load_balancer_lock = true;
        if (c.result) {
            auto result = std::make_unique<rrm::OptimizationResult>();
            result->success = c.success;
            result->error = c.error;
            std::vector<rrm::Radio> radios = first->radios.radios;
            radios[0].power = 9;
            radios[0].power_changed = -8;
            radios[0].conflicted = true;
            result->radios[first->base_mac] = radios;
            tpc.optimization_result = std::move(result);
        }
        // Not done yet: only the next look is planned.
        tpc.process_timer();
        EXPECT_EQ(tpc.state, 5);
        EXPECT_TRUE(domain.sent("rrm-info").empty());
        tpc.optimization_done = true;
        domain.log.clear();
        tpc.process_timer();

        if (c.warning) {
            EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_WARNING, c.warning));
        }
        const auto infos = domain.sent("rrm-info");
        if (c.success) {
            // Every AP active at the end gets its radios; not the one aside.
            ASSERT_EQ(infos.size(), 2u);
            std::set<std::string> macs;
            for (const auto& s : infos) {
                const rrm::JsonReader info(s.text.c_str());
                macs.insert(info.get_string("ap-mac"));
                if (std::string(info.get_string("ap-mac")) == "02:00:00:00:01:00") {
                    EXPECT_EQ(info.child("radios").child(0).get_int("power"), 9);
                }
            }
            EXPECT_EQ(macs, (std::set<std::string>{"02:00:00:00:01:00", "02:00:00:00:02:00"}));
            EXPECT_EQ(first->radios.radios[0].power, 9);
        } else {
            EXPECT_TRUE(infos.empty());
            EXPECT_EQ(first->radios.radios[0].power, 17);
        }
        // Whatever the outcome: the parked AP is back, the cycle's marks
        // are cleared, steering resumes and the next cycle is planned.
        EXPECT_EQ(domain.worker->aps.size(), 3u);
        EXPECT_TRUE(domain.worker->unanswered_aps.empty());
        EXPECT_FALSE(first->radios.radios[0].conflicted);
        EXPECT_EQ(first->radios.radios[0].power_changed, 0);
        EXPECT_FALSE(domain.worker->load_balancer_lock);
        EXPECT_EQ(tpc.state, c.next_state);
        EXPECT_FALSE(tpc.replan_pending);
        EXPECT_FALSE(tpc.replan_forced);
        EXPECT_EQ(tpc.optimization_result, nullptr);
        EXPECT_EQ(states(domain)[0], state_text(0));
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Optimization on domain d finished"));
    }
}

TEST(TpcDcaPlanning, AFailingStepEndsTheCycleNotTheDomain)
{
    DomainFixture domain;
    domain.from_ap(radio_ap("02:00:00:00:01:00").subscribe_request(), 1);
    domain.from_ap(radio_ap("02:00:00:00:02:00").subscribe_request(), 2);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    after(domain, 21);
    domain.from_ap(radio_ap("02:00:00:00:01:00").mode_response(), 1);
    ASSERT_EQ(tpc.state, 2);
    // The scan requests fail half-way (an allocation failure).
    domain.log.fail_once("Post rrm-update");
    domain.log.clear();
    after(domain, 16);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR,
                               "Exception at processing timer on worker 'd': std::bad_alloc"));
    EXPECT_EQ(domain.log.event_count(rrm::EVENT_WORKER_MSG_EXCEPTION), 1u);
    // The cycle is given up: the silent AP is back, steering resumes, the
    // domain is idle and can be planned again.
    EXPECT_EQ(tpc.state, 0);
    EXPECT_EQ(domain.worker->aps.size(), 2u);
    EXPECT_FALSE(domain.worker->load_balancer_lock);
    EXPECT_TRUE(domain.worker->force_optimization());
    EXPECT_EQ(tpc.state, 4);

    // The end of a run that fails while it sends still ends the cycle.
    tpc.state = 5;
    auto result = std::make_unique<rrm::OptimizationResult>();
    result->success = true;
    tpc.optimization_result = std::move(result);
    tpc.optimization_done = true;
    tpc.timers.restart_timer(tpc.timer_callback, rrm::TpcDcaSubworker::CYCLE_TIMER, 1);
    domain.log.fail_once("Post tpc-results");
    domain.log.clear();
    after(domain, 2);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR,
                               "Exception at processing timer on worker 'd': std::bad_alloc"));
    EXPECT_EQ(tpc.state, 0);
    EXPECT_FALSE(domain.worker->load_balancer_lock);
    EXPECT_TRUE(domain.worker->broadcast_buffer.empty());
}

TEST(TpcDcaPlanning, LaunchWithoutActiveAps)
{
    DomainFixture domain;
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    tpc.state = 3;
    domain.worker->load_balancer_lock = true;
    tpc.launch_optimization_thread();
    EXPECT_FALSE(tpc.optimization_thread.joinable());
    EXPECT_EQ(tpc.state, 0);
    EXPECT_FALSE(domain.worker->load_balancer_lock);
    // Only the idle planning reports a state.
    EXPECT_EQ(states(domain), std::vector<std::string>{state_text(0)});
}

TEST(TpcDcaPlanning, RestoredValuesOutOfRange)
{
    struct Case {
        int state;
        int fbt;
        int state_taken;
        int fbt_taken;
        size_t warnings;
    };
    const Case cases[] = {
        {3, 1, 3, 1, 0}, {6, 0, 0, 0, 1}, {-1, 0, 0, 0, 1}, {2, 7, 2, 1, 1}, {9, -3, 0, 1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + "/" + std::to_string(c.fbt));
        DomainFixture domain;
        domain.tpc().restore(c.state, c.fbt, 120);
        EXPECT_EQ(domain.tpc().state, c.state_taken);
        EXPECT_EQ(domain.tpc().fbt_status, c.fbt_taken);
        size_t warnings = 0;
        for (const auto& r : domain.log.records())
            if (r.level == rrm::LOG_LEVEL_WARNING)
                ++warnings;
        EXPECT_EQ(warnings, c.warnings);
        EXPECT_EQ(states(domain), std::vector<std::string>{state_text(c.state_taken)});
    }
    DomainFixture domain;
    domain.tpc().restore(12, 0, 120);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_WARNING,
                               "Unknown rrm-status 12 in backup of domain d, restored as 0"));
    domain.tpc().restore(0, 2, 120);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_WARNING,
                               "Restored fbt-status 2 of domain d is neither 0 nor 1, taken as 1"));
}

TEST(TpcDcaPlanning, RestoredRunResumesCyclesAtTheUnlock)
{
    // A backup taken during a run: no run exists here. At the end of the
    // hold the domain plans a cycle and goes through it like any other.
    DomainFixture domain;
    domain.from_ap(radio_ap("02:00:00:00:01:00").subscribe_request(), 1);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    tpc.timers.cancel_timer(rrm::TpcDcaSubworker::CYCLE_TIMER);
    // A short hold, so that the 20 s plan it ends in outlives the pass.
    tpc.restore(5, 0, 1);
    after(domain, 2);
    EXPECT_FALSE(tpc.restore_lock);
    EXPECT_EQ(tpc.state, 4);
    after(domain, 2 + 21);
    EXPECT_EQ(tpc.state, 2);
    EXPECT_EQ(domain.sent("rrm-request-mode").size(), 1u);
}

}  // namespace
