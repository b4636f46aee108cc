// The block-list sub-worker on a domain driven by hand: what its tick sends
// and forgets, and what an "rrm-assoc-state-changed" report does to a
// client's blocks and probe round. Messages go through the domain worker's
// dispatch, as the AP sends them.
//
//   A 02:00:00:00:01:00  radios 0 (2.4 GHz), 1 (5 GHz), "corp"
//   B 02:00:00:00:02:00  radios 0 (2.4 GHz), 1 (5 GHz), "corp"
//
// Defaults: blacklist_thr_low -75, blacklist_thr_high -65,
// blacklist_timeout 30, load_balance_sta_low 5.

#include "SteeringDomain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using rrm::MacAddress;
using testsupport::assoc_state_changed;
using testsupport::blacklist;
using testsupport::Change;
using testsupport::client_assoc;
using testsupport::Disassoc;
using testsupport::disassoc_request;
using testsupport::probe_request;
using testsupport::radio_mac;
using testsupport::steering_ap;
using testsupport::SteeringDomain;

const std::string A = "02:00:00:00:01:00";
const std::string B = "02:00:00:00:02:00";
const std::string STA = "00:11:22:33:44:55";
const std::string STA2 = "00:11:22:33:44:66";
const MacAddress M = rrm::mac_from_string(STA.c_str());
const MacAddress M2 = rrm::mac_from_string(STA2.c_str());

struct Domain : SteeringDomain {
    Domain()
    {
        a = add(steering_ap(A, "d"));
        b = add(steering_ap(B, "d"));
    }
    testsupport::ApSpec a;
    testsupport::ApSpec b;
};

TEST(BlacklistSubworker, TickSendsDisassociationsFirstThenBlockLists)
{
    struct Case {
        const char* name;
        std::function<void(Domain&)> queue;
        std::vector<std::string> expected;  // in sending order
    } cases[] = {
        {"nothing pending: nothing sent", [](Domain&) {}, {}},
        {"only the radios with changes are listed; entries in MAC order",
         [](Domain& d) {
             d.radio(A, 1).block_list.block(M2, 30);
             d.radio(A, 1).block_list.block(M, 30);
             // Sent before: a member without change.
             d.radio(A, 0).block_list.block(M, 30);
             d.radio(A, 0).block_list.changes.clear();
         },
         {blacklist(A, "d", {{1, {{STA, "block", 30}, {STA2, "block", 30}}}})}},
        {"an unblock carries no timeout",
         [](Domain& d) {
             d.radio(B, 0).block_list.block(M, 30);
             d.radio(B, 0).block_list.changes.clear();
             d.radio(B, 0).block_list.unblock(M);
         },
         {blacklist(B, "d", {{0, {{STA, "unblock", 0}}}})}},
        {"disassociation requests of every AP go before the block lists",
         [](Domain& d) {
             d.radio(A, 0).block_list.block(M2, 30);
             d.radio(B, 1).block_list.block_disassoc(M, 30, "corp");
             d.radio(B, 0).block_list.block(M, 30);
         },
         {disassoc_request(B, "d", {{1, {{STA, "corp", 30}}}}),
          // The two block lists in the map's order, whichever that is.
          "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Domain d;
        c.queue(d);
        const size_t mark = d.mark();
        d.blacklist_tick();
        std::vector<std::string> sent = d.since(mark);
        if (c.expected.size() == 3) {
            // The last case: one disassociation request, then one block list
            // for each AP.
            ASSERT_EQ(sent.size(), 3u);
            EXPECT_EQ(sent[0], c.expected[0]);
            const std::vector<std::string> lists{sent[1], sent[2]};
            EXPECT_NE(std::find(lists.begin(), lists.end(),
                                blacklist(A, "d", {{0, {{STA2, "block", 30}}}})),
                      lists.end());
            EXPECT_NE(std::find(lists.begin(), lists.end(),
                                blacklist(B, "d", {{0, {{STA, "block", 30}}}})),
                      lists.end());
        } else {
            EXPECT_EQ(sent, c.expected);
        }
        // Sent once: the next tick has nothing to say.
        const size_t again = d.mark();
        d.blacklist_tick();
        EXPECT_TRUE(d.since(again).empty());
    }
}

TEST(BlacklistSubworker, BlockedClientsAgeSilently)
{
    Domain d;
    d.radio(B, 0).block_list.block(M, 3);
    d.radio(B, 0).block_list.block_disassoc(M2, 2, "corp");
    const size_t mark = d.mark();
    d.blacklist_tick();  // sends both, 2 and 1 seconds left
    EXPECT_EQ(d.since(mark).size(), 2u);
    EXPECT_EQ(d.radio(B, 0).block_list.members.at(M), 2);
    EXPECT_EQ(d.radio(B, 0).block_list.members.at(M2), 1);
    const size_t later = d.mark();
    d.blacklist_tick();  // M2 below 1: forgotten
    EXPECT_EQ(d.radio(B, 0).block_list.members.count(M2), 0u);
    d.blacklist_tick();  // M forgotten
    EXPECT_TRUE(d.radio(B, 0).block_list.members.empty());
    // The AP lifts its blocks by the timeout it was sent: nothing is said.
    EXPECT_TRUE(d.since(later).empty());
}

TEST(BlacklistSubworker, PausedSteeringSendsNothingAndDropsWhatWasQueued)
{
    struct Case {
        const char* name;
        bool stop;
        bool lock;
    } cases[] = {{"locked by a planning cycle", false, true},
                 {"stopped", true, false},
                 {"both", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Domain d;
        d.radio(B, 0).block_list.block(M, 30);
        d.radio(B, 0).block_list.changes.clear();
        d.worker->load_balancer_stop = c.stop;
        d.worker->load_balancer_lock = c.lock;
        const size_t mark = d.mark();
        for (int second = 0; second < 3; ++second) {
            d.radio(A, 0).block_list.block(M2, 30);
            d.radio(A, 1).block_list.block_disassoc(M, 30, "corp");
            d.blacklist_tick();
        }
        EXPECT_TRUE(d.since(mark).empty());
        // Members do not age meanwhile; the queued changes are gone.
        EXPECT_EQ(d.radio(B, 0).block_list.members.at(M), 30);
        EXPECT_TRUE(d.radio(A, 0).block_list.changes.empty());
        EXPECT_TRUE(d.radio(A, 1).block_list.disassoc.empty());
        d.worker->load_balancer_stop = false;
        d.worker->load_balancer_lock = false;
        d.blacklist_tick();
        EXPECT_TRUE(d.since(mark).empty());
        EXPECT_EQ(d.radio(B, 0).block_list.members.at(M), 29);
    }
}

TEST(BlacklistSubworker, EntriesOfApsThatAreNotActiveAreNeverSent)
{
    Domain d;
    d.radio(B, 0).block_list.block(M, 30);
    d.radio(B, 1).block_list.block_disassoc(M, 30, "corp");
    d.park_unanswered(B);
    const size_t mark = d.mark();
    d.blacklist_tick();
    EXPECT_TRUE(d.since(mark).empty());
    EXPECT_TRUE(d.radio(B, 0).block_list.changes.empty());
    EXPECT_TRUE(d.radio(B, 1).block_list.disassoc.empty());
}

TEST(BlacklistSubworker, TimerRunsTenSecondsAfterStartThenEverySecond)
{
    // The clock's second may turn while the worker is built: the first run
    // is due 10 s after one of these two.
    const int64_t before = rrm::TimerQueue::now_seconds();
    Domain d;
    const int64_t after = rrm::TimerQueue::now_seconds();
    rrm::TimerQueue& timers = d.blacklist().timers;
    ASSERT_EQ(timers.size(), 1u);
    d.radio(B, 0).block_list.block(M, 30);
    size_t mark = d.mark();
    timers.fire_due(before + 9);
    EXPECT_TRUE(d.since(mark).empty());
    timers.fire_due(after + 10);
    EXPECT_EQ(d.since(mark),
              (std::vector<std::string>{blacklist(B, "d", {{0, {{STA, "block", 30}}}})}));
    EXPECT_EQ(d.radio(B, 0).block_list.members.at(M), 29);
    timers.fire_due(after + 11);
    EXPECT_EQ(d.radio(B, 0).block_list.members.at(M), 28);
}

// ---- "rrm-assoc-state-changed" ----

// The client's state around the report: blocks of A0, B0, B1 as
// "block"/"unblock"/"member"/"", and its round.
struct After {
    std::string a0, b0, b1;
    int stored_rssi;
    bool round;
    std::vector<std::string> probe_requests;  // to B
};

std::string block_state(const rrm::Radio& r)
{
    if (auto it = r.block_list.changes.find(M); it != r.block_list.changes.end())
        return it->second ? "block" : "unblock";
    return r.block_list.members.count(M) ? "member" : "";
}

TEST(BlacklistSubworker, AssocStateChangedRules)
{
    const std::string request_5ghz = probe_request(B, "d", {1}, STA, "corp");
    struct Case {
        const char* name;
        std::function<void(Domain&)> setup;  // after the client associated on A1 at -60
        std::optional<int> rssi;
        std::string state;
        After expected;
    } cases[] = {
        {"falling from -60 to -80: released, then a probe round on the APs that hear A",
         nullptr, -80, "", {"unblock", "unblock", "unblock", -80, true, {request_5ghz}}},
        {"the same with B holding a newer association: only released",
         [](Domain& d) { d.radio(B, 1).client_table.add_client(M, -50, "corp", false, false); },
         -80, "", {"unblock", "unblock", "unblock", -80, false, {}}},
        {"an association from an AP's own list (time 0) elsewhere counts as newer",
         [](Domain& d) {
             d.radio(B, 0).client_table.clients[M] = rrm::AssocClient(-50, 0, "corp", false, false);
             d.radio(A, 1).client_table.clients[M].assoc_time = 0;
         },
         -80, "", {"unblock", "unblock", "unblock", -80, false, {}}},
        {"unstable without a signal: taken as -75, a fall, and a round", nullptr, std::nullopt,
         "unstable", {"unblock", "unblock", "unblock", -75, true, {request_5ghz}}},
        {"-70 is no fall: the blocks stay, no round", nullptr, -70, "",
         {"member", "member", "member", -70, false, {}}},
        {"not reported, any state: nothing stored, nothing happens", nullptr, 0, "roaming",
         {"member", "member", "member", -60, false, {}}},
        {"above the high threshold: a pending round ends, the blocks stay",
         [](Domain& d) {
             d.rounds().add(M, rrm::mac_from_string(radio_mac(A, 1).c_str()), 5, "corp");
         },
         -50, "", {"member", "member", "member", -50, false, {}}},
        {"already weak before: no release, but a new round", [](Domain& d) {
             d.radio(A, 1).client_table.clients[M].rssi = -78;
         },
         -80, "", {"member", "member", "member", -80, true, {request_5ghz}}},
        {"a client that must not be steered: only its signal is stored",
         [](Domain& d) { d.radio(A, 1).client_table.clients[M].no_balance = true; }, -80, "",
         {"member", "member", "member", -80, false, {}}},
        {"nobody hears A any more: released on A only, no round",
         [](Domain& d) { d.ap(B).visible_members.clear(); }, -80, "",
         {"unblock", "member", "member", -80, false, {}}},
        {"steering locked: nothing, not even the signal",
         [](Domain& d) { d.worker->load_balancer_lock = true; }, -80, "",
         {"member", "member", "member", -60, false, {}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Domain d;
        d.hears(B, radio_mac(A, 1));
        // Associated on A's 5 GHz radio at -60: held there, blocks sent.
        d.send(d.a, client_assoc(d.a, 1, -60, STA, "corp"));
        d.blacklist_tick();
        ASSERT_EQ(block_state(d.radio(A, 0)), "member");
        if (c.setup)
            c.setup(d);
        const size_t mark = d.mark();
        d.send(d.a, assoc_state_changed(d.a, 1, c.rssi, STA, "corp", c.state));
        EXPECT_EQ(block_state(d.radio(A, 0)), c.expected.a0);
        EXPECT_EQ(block_state(d.radio(B, 0)), c.expected.b0);
        EXPECT_EQ(block_state(d.radio(B, 1)), c.expected.b1);
        EXPECT_EQ(d.radio(A, 1).client_table.clients.at(M).rssi, c.expected.stored_rssi);
        EXPECT_EQ(d.since(mark, B, "rrm-probe-request"), c.expected.probe_requests);
        const rrm::RrmProblistEntry* round = d.rounds().find(M);
        ASSERT_EQ(round != nullptr, c.expected.round);
        if (round) {
            EXPECT_EQ(round->countdown, 5);
            EXPECT_EQ(rrm::mac_to_string(round->get_src_mac()), radio_mac(A, 1));
            EXPECT_EQ(round->get_ssid(), "corp");
            EXPECT_EQ(round->awaited.size(), 1u);
            EXPECT_EQ(round->awaited.count(rrm::mac_from_string(radio_mac(B, 1).c_str())), 1u);
        }
    }
}

TEST(BlacklistSubworker, ReportsThatAreIgnored)
{
    struct Case {
        const char* name;
        std::string text;  // from A
        std::string warning;
    };
    Domain d;
    d.hears(B, radio_mac(A, 1));
    d.send(d.a, client_assoc(d.a, 1, -60, STA, "corp"));
    const Case cases[] = {
        {"no sta-mac", assoc_state_changed(d.a, 1, -80, "", "corp"), ""},
        {"no ssid", assoc_state_changed(d.a, 1, -80, STA, ""), ""},
        {"a radio the AP does not have",
         assoc_state_changed(d.a, 7, -80, STA, "corp"),
         "get_radio_mac fallback to base_mac=02:00:00:00:01:00 for invalid/disabled radio_id=7"},
        {"a client the radio does not hold", assoc_state_changed(d.a, 0, -80, STA, "corp"), ""},
        {"a sta-mac that is no MAC", assoc_state_changed(d.a, 1, -80, "00:11:22", "corp"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        d.log.clear();
        const size_t mark = d.mark();
        d.send(d.a, c.text);
        EXPECT_TRUE(d.since(mark).empty());
        EXPECT_TRUE(d.rounds().empty());
        EXPECT_EQ(d.radio(A, 1).client_table.clients.at(M).rssi, -60);
        if (!c.warning.empty()) {
            EXPECT_TRUE(d.log.has(rrm::LOG_LEVEL_WARNING, c.warning));
        }
    }
}

TEST(BlacklistSubworker, ReportIsLoggedWithTheLockState)
{
    struct Case {
        bool stop;
        bool lock;
        std::string line;
    } cases[] = {
        {false, false,
         "Assocc state change client 00:11:22:33:44:55 rssi -80 state  radio_id 1 ssid corp (ap "
         "02:00:00:00:01:00) lock_balancer 0"},
        {true, false,
         "Assocc state change client 00:11:22:33:44:55 rssi -80 state  radio_id 1 ssid corp (ap "
         "02:00:00:00:01:00) lock_balancer 1"},
        {false, true,
         "Assocc state change client 00:11:22:33:44:55 rssi -80 state  radio_id 1 ssid corp (ap "
         "02:00:00:00:01:00) lock_balancer 1"},
    };
    for (const auto& c : cases) {
        Domain d;
        d.worker->load_balancer_stop = c.stop;
        d.worker->load_balancer_lock = c.lock;
        d.send(d.a, assoc_state_changed(d.a, 1, -80, STA, "corp"));
        EXPECT_TRUE(d.log.has(rrm::LOG_LEVEL_DEBUG, c.line)) << c.line;
    }
    // Load balancing off: not a word.
    rrm::DomainConfig off;
    off.use_balance = false;
    SteeringDomain quiet(off);
    const testsupport::ApSpec a = quiet.add(steering_ap(A, "d"));
    quiet.log.clear();
    quiet.send(a, assoc_state_changed(a, 1, -80, STA, "corp"));
    for (const auto& r : quiet.log.records())
        EXPECT_EQ(r.text.find("Assocc state change"), std::string::npos);
}

TEST(BlacklistSubworker, SecondFallingReportStartsTheRoundAgain)
{
    Domain d;
    d.hears(B, radio_mac(A, 1));
    d.send(d.a, client_assoc(d.a, 1, -60, STA, "corp"));
    d.send(d.a, assoc_state_changed(d.a, 1, -80, STA, "corp"));
    d.balancer_tick();
    ASSERT_NE(d.rounds().find(M), nullptr);
    EXPECT_EQ(d.rounds().find(M)->countdown, 4);
    d.send(d.a, assoc_state_changed(d.a, 1, -81, STA, "corp"));
    EXPECT_EQ(d.rounds().find(M)->countdown, 5);
}

}  // namespace
