// The planning sub-worker of a domain worker: the domain-state event, mode
// responses, the restore hold, its stop with an optimisation thread running,
// and the "rrm-info", "rrm-request-mode" and "fbt-info" messages.

#include "ApSimulator.h"
#include "DomainFixture.h"
#include "LoadBalancer802dot11vSubworker.h"
#include "JsonReader.h"
#include "TimerQueue.h"
#include "TpcDcaSubworker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>

namespace {

using testsupport::ApSpec;
using testsupport::DomainFixture;
using testsupport::SimRadio;
using testsupport::SimVap;

ApSpec one_vap_ap(const std::string& mac, const std::string& ssid = "corp")
{
    ApSpec spec;
    spec.mac = mac;
    spec.domain = "d";
    SimRadio radio;
    radio.id = 0;
    radio.channel = 6;
    radio.band = 2;
    SimVap vap;
    vap.id = 0;
    vap.ssid = ssid;
    vap.r = true;
    vap.r0 = "R0-" + mac;
    vap.r1 = mac;
    vap.rrb_key = "KEY-" + mac;
    radio.vaps.push_back(vap);
    spec.radios.push_back(radio);
    return spec;
}

TEST(TpcDcaSubworker, DomainStateEventCarriesTheNameAsJson)
{
    struct Case {
        std::string name;
        std::string payload;
    };
    // A plain name gives the same bytes whether escaped or not; quotes,
    // backslashes and control characters are escaped.
    const Case cases[] = {
        {"d", R"({"location":"d", "status":2})"},
        {"office-3", R"({"location":"office-3", "status":2})"},
        {"a\"b", R"({"location":"a\"b", "status":2})"},
        {"back\\slash", R"({"location":"back\\slash", "status":2})"},
        {"line\nbreak", R"({"location":"line\nbreak", "status":2})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain(rrm::DomainConfig(), c.name);
        domain.tpc().wait_mode_responses();
        auto events = domain.log.events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].code, rrm::EVENT_TPC_DCA_STATE);
        EXPECT_EQ(events[0].details, c.payload);
        const rrm::JsonReader parsed(events[0].details.c_str());
        EXPECT_EQ(parsed.get_string("location"), c.name);
        EXPECT_EQ(parsed.get_int("status"), 2);
    }
}

TEST(TpcDcaSubworker, ModeResponseInStateTwo)
{
    DomainFixture domain;
    ApSpec spec = one_vap_ap("02:00:00:00:01:00");
    domain.from_ap(spec.subscribe_request(), 1);
    auto ap = domain.find(domain.worker->aps, spec.mac);
    rrm::Vap* vap = ap->radios.radios[0].vaps.find("corp");
    ASSERT_NE(vap, nullptr);
    vap->fbt_links.push_back({"r0", "r1", "key"});  // learnt since

    // Outside state 2 the answer is ignored.
    domain.log.clear();
    domain.from_ap(spec.mode_response(), 1);
    EXPECT_EQ(domain.tpc().mode_response_metric.count, 0);
    EXPECT_FALSE(ap->active);

    domain.tpc().state = 2;
    // Same VAPs, another power: the VAPs (and their links) stay, the other
    // values are taken over.
    spec.radios[0].power = 12;
    domain.log.clear();
    domain.from_ap(spec.mode_response(), 1);
    EXPECT_TRUE(ap->active);
    EXPECT_EQ(domain.tpc().mode_response_metric.count, 1);
    EXPECT_EQ(ap->radios.radios[0].vaps.find("corp")->fbt_links.size(), 1u);
    EXPECT_TRUE(domain.worker->load_balancer_lock);
    auto events = domain.log.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].details, R"({"location":"d", "status":2})");
    // The wait restarts: timer 0 due mode_response_wait (15 s) from now.
    ASSERT_EQ(domain.tpc().timers.size(), 1u);
    int fired = 0;
    domain.tpc().timer_callback = [&] { ++fired; };  // observe, not plan
    domain.tpc().wait_mode_responses();
    domain.tpc().timers.fire_due(rrm::TimerQueue::now_seconds() + 13);
    EXPECT_EQ(fired, 0);
    domain.tpc().timers.fire_due(rrm::TimerQueue::now_seconds() + 16);
    EXPECT_EQ(fired, 1);

    // Different VAPs replace them, links and all.
    spec.radios[0].vaps[0].ssid = "guest";
    domain.from_ap(spec.mode_response(), 1);
    EXPECT_EQ(ap->radios.radios[0].vaps.find("corp"), nullptr);
    ASSERT_NE(ap->radios.radios[0].vaps.find("guest"), nullptr);
    EXPECT_TRUE(ap->radios.radios[0].vaps.find("guest")->fbt_links.empty());
}

// Only the answer that the current step waits for is handled (timed in its
// metric); late, early and other commands, and every command of a domain
// whose settings plan nothing, are ignored.
TEST(TpcDcaSubworker, AnswersAreHandledOnlyInTheStateThatWaitsForThem)
{
    struct Case {
        bool planning;  // channel assignment on (else nothing that wakes it)
        int state;
        const char* cmd;
        bool handled;
    };
    const Case cases[] = {
        {true, 3, "rrm-response", true},        {true, 2, "rrm-response", false},
        {true, 5, "rrm-response", false},       {true, 2, "rrm-mode-response", true},
        {true, 3, "rrm-mode-response", false},  {true, 0, "rrm-mode-response", false},
        {true, 0, "client-event", false},       {true, 5, "client-event", false},
        {false, 3, "rrm-response", false},      {false, 2, "rrm-mode-response", false},
        {false, 0, "client-event", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cmd) + " in state " + std::to_string(c.state) +
                     (c.planning ? "" : " without planning"));
        rrm::DomainConfig settings;
        settings.use_dca = c.planning;
        settings.use_tpc = false;
        settings.use_balance = false;
        settings.use_80211k = false;
        settings.use_80211v = false;
        DomainFixture domain(settings);
        const ApSpec spec = one_vap_ap("02:00:00:00:01:00");
        domain.from_ap(spec.subscribe_request(), 1);
        auto ap = domain.find(domain.worker->aps, spec.mac);
        ASSERT_TRUE(ap);
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        tpc.state = static_cast<rrm::DomainState>(c.state);
        const int32_t before = tpc.rrm_response_metric.count + tpc.mode_response_metric.count;
        const rrm::JsonReader message("{}");
        EXPECT_TRUE(tpc.process_message(message, c.cmd, ap.get()));
        EXPECT_EQ(before + (c.handled ? 1 : 0),
                  tpc.rrm_response_metric.count + tpc.mode_response_metric.count);
    }
}

TEST(TpcDcaSubworker, VapsChangedLeavesTheApAlone)
{
    DomainFixture domain;
    ApSpec spec = one_vap_ap("02:00:00:00:01:00");
    domain.from_ap(spec.subscribe_request(), 1);
    auto ap = domain.find(domain.worker->aps, spec.mac);
    const rrm::TpcDcaSubworker& tpc = domain.tpc();

    // Another power with the same VAPs is no VAP change.
    spec.radios[0].power = 12;
    EXPECT_FALSE(tpc.vaps_changed(rrm::JsonReader(spec.mode_response().c_str()), ap.get()));
    // Another SSID or a second VAP is; the AP keeps its own either way.
    ApSpec renamed = spec;
    renamed.radios[0].vaps[0].ssid = "guest";
    EXPECT_TRUE(tpc.vaps_changed(rrm::JsonReader(renamed.mode_response().c_str()), ap.get()));
    ApSpec grown = spec;
    SimVap second = grown.radios[0].vaps[0];
    second.id = 1;
    second.ssid = "guest";
    grown.radios[0].vaps.push_back(second);
    EXPECT_TRUE(tpc.vaps_changed(rrm::JsonReader(grown.mode_response().c_str()), ap.get()));
    EXPECT_NE(ap->radios.radios[0].vaps.find("corp"), nullptr);
    EXPECT_EQ(ap->radios.radios[0].vaps.find("guest"), nullptr);
    EXPECT_NE(ap->radios.radios[0].power, 12);
}

TEST(TpcDcaSubworker, NothingIsDoneForADomainWithoutRadioPlanning)
{
    rrm::DomainConfig settings;
    settings.use_dca = false;
    settings.use_tpc = false;
    settings.use_balance = false;
    settings.use_80211k = false;
    settings.use_80211v = false;
    DomainFixture domain(settings);
    ApSpec spec = one_vap_ap("02:00:00:00:01:00");
    domain.from_ap(spec.subscribe_request(), 1);
    domain.tpc().state = 2;
    domain.log.clear();
    domain.from_ap(spec.mode_response(), 1);
    EXPECT_EQ(domain.tpc().mode_response_metric.count, 0);
    EXPECT_TRUE(domain.log.events().empty());
}

TEST(TpcDcaSubworker, RestoreHoldsPlanningUntilUnlock)
{
    struct Case {
        int state;
        int fbt_status;
        bool forces;        // "Force optimization dmain d" at unlock
        bool plans_80211r;  // "Planning update 802dot11r domain d" at unlock
    };
    const Case cases[] = {
        {0, 0, false, false}, {0, 1, false, true}, {2, 0, true, false},
        {4, 1, true, false},  // state 4 plans no 802.11r update
        {5, 1, true, false},  // no run here: planned again like 1 to 4
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + "/" + std::to_string(c.fbt_status));
        DomainFixture domain;
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        tpc.restore(c.state, c.fbt_status, 120);
        EXPECT_TRUE(tpc.restore_lock);
        auto events = domain.log.events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].details,
                  R"({"location":"d", "status":)" + std::to_string(c.state) + "}");

        // While held: an 802.11r planning only records itself, a forced
        // optimisation only marks state 4.
        tpc.planning_update_802dot11r();
        EXPECT_EQ(tpc.fbt_status, 1);
        EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11r domain d"));
        tpc.fbt_status = c.fbt_status;
        EXPECT_FALSE(domain.worker->force_optimization());

        domain.log.clear();
        tpc.timers.fire_due(rrm::TimerQueue::now_seconds() + 119);
        EXPECT_TRUE(tpc.restore_lock) << "not before 120 s";
        tpc.timers.fire_due(rrm::TimerQueue::now_seconds() + 121);
        EXPECT_FALSE(tpc.restore_lock);
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Force optimization dmain d"), c.forces);
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11r domain d"),
                  c.plans_80211r);
        EXPECT_NE(tpc.state, 5) << "a restored run that does not exist ends at the unlock";
    }
}

TEST(TpcDcaSubworker, ForcedOptimisationWhileHeldOrRunning)
{
    DomainFixture domain;
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    tpc.restore(1, 0, 60);
    domain.log.clear();
    tpc.force_optimization();
    EXPECT_EQ(tpc.state, 4);
    ASSERT_EQ(domain.log.events().size(), 1u);
    EXPECT_EQ(domain.log.events()[0].details, R"({"location":"d", "status":4})");
    EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Force optimization dmain d"));

    DomainFixture running;
    running.tpc().state = 5;
    running.tpc().force_optimization();
    EXPECT_TRUE(running.tpc().replan_pending);
    EXPECT_TRUE(running.tpc().replan_forced);
    EXPECT_FALSE(running.log.has(rrm::LOG_LEVEL_DEBUG, "Force optimization dmain d"));
}

TEST(TpcDcaSubworker, StopWaitsForTheOptimisationThreadAndDropsItsResult)
{
    for (bool by_destruction : {false, true}) {
        SCOPED_TRACE(by_destruction ? "destruction" : "stop");
        auto domain = std::make_unique<DomainFixture>();
        rrm::TpcDcaSubworker& tpc = domain->tpc();
        std::atomic<bool> returned{false};
        // A run that only gives up when asked to, then leaves a result.
        tpc.optimization_cancel = false;
        tpc.optimization_thread = std::thread([&tpc, &returned] {
            while (!tpc.optimization_cancel.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            returned = true;
        });
        tpc.optimization_result = std::make_unique<rrm::OptimizationResult>();
        tpc.optimization_done = true;
        if (by_destruction) {
            domain.reset();
            EXPECT_TRUE(returned);
            continue;
        }
        tpc.stop();
        EXPECT_TRUE(returned) << "joined before stop returns";
        EXPECT_FALSE(tpc.optimization_thread.joinable());
        EXPECT_EQ(tpc.optimization_result, nullptr);
        EXPECT_FALSE(tpc.optimization_done);
        tpc.stop();  // again: harmless
        domain.reset();
    }
}

TEST(TpcDcaSubworker, RrmInfoForOneAp)
{
    struct Case {
        const char* name;
        bool use_80211k;
        bool with_radios;
        std::string expected;
    };
    const std::string head =
        R"({"service":"rrm","version":"2.4","cmd":"rrm-info","ap-mac":"02:00:00:00:01:00",)"
        R"("use-tpc":1,"use-dca":1,"use-load-balance":1,"use-80211v":0)";
    const std::string radios =
        R"(,"radios":[{"id":0,"channel":6,"band":2,"power":17,"bandwidth":20,)"
        R"("primary-channel":"none","tavik-sta-rssi-thr-low":-75,"tavik-sta-rssi-thr-high":-65,)"
        R"("tavik-roam-attempt-timeout":600,"tavik-client-rssi-renew":15,)"
        R"("tavik-client-max-age":20,"tavik-try-no-balance":2,"no-balance-enterprise":0}])";
    const Case cases[] = {
        {"802.11k, with radios", true, true, head + radios + R"(,"802dot11k":[]})"},
        {"802.11k, without radios", true, false, head + R"(,"802dot11k":[]})"},
        {"no 802.11k: no list, the flags still", false, false, head + "}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rrm::DomainConfig settings;
        settings.use_80211k = c.use_80211k;
        DomainFixture domain(settings);
        ApSpec spec = one_vap_ap("02:00:00:00:01:00");
        spec.radios[0].vaps[0].k = true;
        domain.from_ap(spec.subscribe_request(), 1);
        auto ap = domain.find(domain.worker->aps, spec.mac);
        domain.tpc().post_tpc_results_ap(ap.get(), true, c.with_radios, false);
        EXPECT_EQ(domain.last("rrm-info"), c.expected);
    }

    // Addressed in lower case, written in upper case.
    DomainFixture domain;
    domain.from_ap(one_vap_ap("0a:bc:00:00:01:00").subscribe_request(), 1);
    auto ap = domain.find(domain.worker->aps, "0A:BC:00:00:01:00");
    ASSERT_NE(ap, nullptr);
    domain.tpc().post_tpc_results_ap(ap.get(), true, false, false);
    EXPECT_STREQ(rrm::JsonReader(domain.last("rrm-info").c_str()).get_string("ap-mac"),
                 "0A:BC:00:00:01:00");
}

TEST(TpcDcaSubworker, RrmInfoToEveryActiveApInOneFlush)
{
    DomainFixture domain;
    for (const char* mac : {"02:00:00:00:01:00", "02:00:00:00:02:00", "02:00:00:00:03:00"})
        domain.from_ap(one_vap_ap(mac).subscribe_request(), mac[13] - '0');
    domain.drop(3);  // one AP is deleted: it gets nothing
    const size_t before = domain.sent().size();
    domain.tpc().post_tpc_results(false);
    auto sent = domain.sent();
    ASSERT_EQ(sent.size(), before + 2);
    std::set<std::string> macs;
    for (size_t i = before; i < sent.size(); ++i) {
        const rrm::JsonReader info(sent[i].text.c_str());
        EXPECT_STREQ(info.get_string("cmd"), "rrm-info");
        EXPECT_FALSE(info.has("radios"));
        macs.insert(info.get_string("ap-mac"));
    }
    EXPECT_EQ(macs, (std::set<std::string>{"02:00:00:00:01:00", "02:00:00:00:02:00"}));
    EXPECT_TRUE(domain.worker->broadcast_buffer.empty());
}

TEST(TpcDcaSubworker, RrmInfoListsTheNeighboursAmongTheActiveThenTheDeletedAps)
{
    // V hears A (active) and D (deleted); all serve "corp" with 802.11k.
    rrm::DomainConfig settings;
    settings.use_80211k = true;
    DomainFixture domain(settings);
    const std::string V = "02:00:00:00:01:00", A = "02:00:00:00:02:00", D = "02:00:00:00:03:00";
    uint32_t session = 0;
    for (const std::string& mac : {V, A, D}) {
        ApSpec spec = one_vap_ap(mac);
        spec.radios[0].vaps[0].k = true;
        domain.from_ap(spec.subscribe_request(), ++session);
    }
    domain.drop(3);
    ASSERT_NE(domain.find(domain.worker->aps_to_delete, D), nullptr);
    auto viewer = domain.find(domain.worker->aps, V);
    for (const std::string& heard : {D, A})
        viewer->visible_members.insert(rrm::mac_from_string(heard.c_str()),
                                       rrm::Neighbour(-60, 6, rrm::BAND_2G, 20, 17, 0));
    domain.tpc().post_tpc_results_ap(viewer.get(), true, false, false);

    const rrm::JsonReader info(domain.last("rrm-info").c_str());
    const rrm::JsonReader list = info.child("802dot11k");
    ASSERT_EQ(list.size(), 2);
    EXPECT_STREQ(list.child(0).get_string("neighbour-mac"), A.c_str());
    EXPECT_STREQ(list.child(1).get_string("neighbour-mac"), D.c_str());
    EXPECT_STREQ(list.child(1).child("vaps").child(0).get_string("ssid"), "corp");
}

TEST(TpcDcaSubworker, RrmInfoToEveryApMarksTheListsSent)
{
    // 802.11v on: the lists come from the 802.11v balancer, whose step sends
    // only lists that changed since they were last sent.
    rrm::DomainConfig settings;
    settings.use_80211v = true;
    DomainFixture domain(settings);
    uint32_t session = 0;
    for (const char* mac : {"02:00:00:00:01:00", "02:00:00:00:02:00"}) {
        ApSpec spec = one_vap_ap(mac);
        spec.radios[0].locked_80211v = 0;
        spec.radios[0].vaps[0].v = true;
        domain.from_ap(spec.subscribe_request(), ++session);
    }
    domain.idle();
    for (auto& entry : domain.worker->aps.table)
        entry.second->radios.mark_lists_changed();
    domain.tpc().post_tpc_results(false);
    ASSERT_EQ(domain.sent("rrm-info").size(), 2u);
    for (const auto& entry : domain.worker->aps.table)
        for (const rrm::Radio& radio : entry.second->radios.radios) {
            EXPECT_FALSE(radio.list_changed);
            EXPECT_EQ(radio.priority_sent, radio.priority);
        }
    // The 802.11v step finds nothing new to send.
    domain.worker->subworkers.get_load_balancer_802dot11v()->optimize_lists();
    EXPECT_EQ(domain.sent("rrm-info").size(), 2u);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG,
                               "802.11kv list has not changed on 02:00:00:00:01:00, no need to "
                               "send new one"));
}

TEST(TpcDcaSubworker, ModeRequestsToEveryApOfTheMap)
{
    DomainFixture domain;
    ApSpec idle = one_vap_ap("02:00:00:00:01:00");
    idle.radios[0].enabled = false;  // asked as well
    domain.from_ap(idle.subscribe_request(), 1);
    domain.from_ap(one_vap_ap("02:00:00:00:02:00").subscribe_request(), 2);
    domain.tpc().post_request_mode(&domain.worker->aps);
    auto requests = domain.sent("rrm-request-mode");
    ASSERT_EQ(requests.size(), 2u);
    std::set<std::string> texts;
    for (const auto& r : requests)
        texts.insert(std::to_string(r.session.id) + " " + r.text);
    EXPECT_EQ(texts, (std::set<std::string>{
                         R"(1 {"service":"rrm","version":"2.4","cmd":"rrm-request-mode",)"
                         R"("domain":"d","ap-mac":"02:00:00:00:01:00"})",
                         R"(2 {"service":"rrm","version":"2.4","cmd":"rrm-request-mode",)"
                         R"("domain":"d","ap-mac":"02:00:00:00:02:00"})"}));
}

TEST(TpcDcaSubworker, PlannedUpdatesOf80211k)
{
    DomainFixture domain;
    domain.from_ap(one_vap_ap("02:00:00:00:01:00").subscribe_request(), 1);
    domain.idle();
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    // Three changes in a row: one pending update, 20 s after the last.
    tpc.update_802dot11k();
    tpc.update_802dot11k();
    tpc.update_802dot11k();
    EXPECT_EQ(domain.log.count(rrm::LOG_LEVEL_DEBUG, "Update  domain d"), 3u);
    EXPECT_EQ(tpc.timers.size(), 1u);
    const size_t before = domain.sent("rrm-info").size();
    tpc.timers.fire_due(rrm::TimerQueue::now_seconds() + 18);
    EXPECT_EQ(domain.sent("rrm-info").size(), before);
    tpc.timers.fire_due(rrm::TimerQueue::now_seconds() + 21);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Process update 802dot11k domain d"));
    EXPECT_EQ(domain.sent("rrm-info").size(), before + 1);

    // Planned, but due while a cycle collects answers: dropped.
    tpc.planning_update_802dot11k();
    tpc.state = 3;
    tpc.timers.fire_due(rrm::TimerQueue::now_seconds() + 21);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Not update 802dot11k domain d"));
    EXPECT_EQ(domain.sent("rrm-info").size(), before + 1);
    tpc.planning_update_802dot11k();
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "NOT Planning update 802dot11k domain d status 3"));
    EXPECT_TRUE(tpc.timers.empty());

    rrm::DomainConfig off;
    off.use_80211k = false;
    DomainFixture without(off);
    without.tpc().planning_update_802dot11k();
    EXPECT_TRUE(without.log.has(rrm::LOG_LEVEL_DEBUG, "NOT Planning update 802dot11k domain d status 0"));
    EXPECT_TRUE(without.tpc().timers.empty());
}

TEST(TpcDcaSubworker, FbtInfoOfOneAp)
{
    // The R1 key holder is written under the BSSID the domain hears the
    // radio as: here nobody hears it, so that is the radio's own MAC, and
    // the key holder takes its locally-administered bit.
    struct Case {
        const char* name;
        bool use_80211r;
        bool vap_80211r;
        bool fbt_changed;
        bool force;
        const char* r1_given;
        const char* r1_sent;  // null: no message
    };
    const Case cases[] = {
        {"forced, 802.11r VAP", true, true, false, true, "00:00:00:00:01:00", "02:00:00:00:01:00"},
        {"links changed", true, true, true, false, "02:00:00:00:01:00", "02:00:00:00:01:00"},
        // Heard as its own MAC, the radio passes its bit on to any key holder.
        {"another key holder MAC", true, true, true, false, "00:00:00:00:09:00",
         "02:00:00:00:09:00"},
        {"local bit already set", true, true, true, false, "06:00:00:00:09:00",
         "06:00:00:00:09:00"},
        {"nothing changed, not forced", true, true, false, false, "00:00:00:00:01:00", nullptr},
        {"no 802.11r VAP", true, false, false, true, "00:00:00:00:01:00", nullptr},
        {"802.11r off", false, true, true, true, "00:00:00:00:01:00", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rrm::DomainConfig settings;
        settings.use_80211r = c.use_80211r;
        settings.fbt_over_ds = true;
        settings.fbt_reassoc_deadline = 2000;
        DomainFixture domain(settings);
        ApSpec spec = one_vap_ap("02:00:00:00:01:00", "a");
        spec.radios[0].vaps[0].r = c.vap_80211r;
        spec.radios[0].vaps[0].r1 = c.r1_given;
        domain.from_ap(spec.subscribe_request(), 1);
        auto ap = domain.find(domain.worker->aps, spec.mac);
        ap->fbt_changed = c.fbt_changed;
        const size_t before = domain.sent("fbt-info").size();
        domain.log.clear();
        domain.tpc().post_results_802dot11r_ap(ap.get(), true, c.force);
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "d"));
        auto sent = domain.sent("fbt-info");
        if (!c.r1_sent) {
            EXPECT_EQ(sent.size(), before);
            continue;
        }
        ASSERT_EQ(sent.size(), before + 1);
        // Mobility domain of "a": the one byte 0x61 = 97.
        EXPECT_EQ(sent.back().text,
                  std::string(R"({"service":"rrm","version":"2.4","cmd":"fbt-info",)") +
                      R"("ap-mac":"02:00:00:00:01:00","wendara-use-80211r":1,"fbt-over-ds":1,)" +
                      R"("fbt-reassoc-deadline":2000,"vaps":[{"vap_id":0,"radio_id":0,)" +
                      R"("fbt-rrb-key":"KEY-02:00:00:00:01:00","mobility-domain":97,)" +
                      R"("r0-key-holder-id":"R0-02:00:00:00:01:00","r1-key-holder-id":")" +
                      c.r1_sent + R"(","remotes":[]}]})");
    }
}

}  // namespace
