// The probe balancer on a domain driven by hand: client events, probe
// requests and answers, the evaluation of ended rounds, the queue guard.
// AP messages go through the domain worker's dispatch as an AP sends them;
// the ticks are fired by the test.
//
//   A 02:00:00:00:01:00  radios 0 (2.4 GHz, MAC ...01:00), 1 (5 GHz, ...01:10), "corp"
//   B 02:00:00:00:02:00  radios 0 (2.4 GHz, ...02:00), 1 (5 GHz, ...02:10), "corp"
//   C 02:00:00:00:03:00  radios 0 (2.4 GHz, ...03:00), 1 (5 GHz, ...03:10), "corp"
//
// Defaults: blacklist_thr_low -75, blacklist_thr_high -65,
// blacklist_timeout 30, load_balance_sta_low 5, load_balance_sta_high 20.

#include "SteeringDomain.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <unordered_map>
#include <string>
#include <vector>

namespace {

using rrm::MacAddress;
using testsupport::assoc_ack;
using testsupport::blacklist;
using testsupport::Change;
using testsupport::client_assoc;
using testsupport::client_disassoc;
using testsupport::disassoc_all_clients;
using testsupport::Heard;
using testsupport::probe_request;
using testsupport::probe_response;
using testsupport::radio_mac;
using testsupport::steering_ap;
using testsupport::SteeringDomain;

const std::string A = "02:00:00:00:01:00";
const std::string B = "02:00:00:00:02:00";
const std::string C = "02:00:00:00:03:00";
const std::string STA = "00:11:22:33:44:55";
const MacAddress M = rrm::mac_from_string(STA.c_str());

MacAddress mac(const std::string& text) { return rrm::mac_from_string(text.c_str()); }

struct Domain : SteeringDomain {
    explicit Domain(const rrm::DomainConfig& settings = rrm::DomainConfig())
        : SteeringDomain(settings)
    {
        a = add(steering_ap(A, "d"));
        b = add(steering_ap(B, "d"));
        c = add(steering_ap(C, "d"));
    }
    // n other clients on a radio ("assoclist" clients, time 0).
    void load(const std::string& ap_mac, int id, int n)
    {
        for (int i = 0; i < n; ++i) {
            char text[18];
            std::snprintf(text, sizeof text, "00:99:%02X:00:%02X:%02X", id, ap_mac[13] - '0', i);
            radio(ap_mac, id).client_table.clients[mac(text)] =
                rrm::AssocClient(-50, 0, "corp", false, false);
        }
    }
    testsupport::ApSpec a, b, c;
};

// One radio's view of the client M: block list, expected station, table.
std::string state(const rrm::Radio& r)
{
    std::string s;
    auto add = [&](const std::string& part) { s += (s.empty() ? "" : ", ") + part; };
    if (auto it = r.block_list.changes.find(M); it != r.block_list.changes.end())
        add(it->second ? "block" : "unblock");
    else if (r.block_list.members.count(M))
        add("member");
    if (auto it = r.block_list.disassoc.find(M); it != r.block_list.disassoc.end())
        add("disassoc " + it->second);
    if (auto it = r.client_table.expected.find(M); it != r.client_table.expected.end())
        add("expected from " + rrm::mac_to_string(it->second.ap_mac) + "/" +
            std::to_string(it->second.radio_id) + " ttl " + std::to_string(it->second.ttl));
    if (r.client_table.clients.count(M))
        add("associated");
    return s;
}

std::map<std::string, std::string> snapshot(SteeringDomain& d)
{
    std::map<std::string, std::string> out;
    const std::pair<const char*, std::string> aps[] = {{"A", A}, {"B", B}, {"C", C}};
    for (const auto& ap : aps)
        for (int id = 0; id < 2; ++id) {
            const std::string s = state(d.radio(ap.second, id));
            if (!s.empty())
                out[ap.first + std::to_string(id)] = s;
        }
    return out;
}

// ---- Associations ----

TEST(LoadBalancer, ClientAssociation)
{
    const std::string lower = "aa:bb:cc:dd:ee:0f";
    struct Case {
        const char* name;
        std::function<void(Domain&)> setup;
        int radio;
        int rssi;
        int no_balance;
        std::vector<std::string> to_b;  // probe requests
        std::vector<std::string> to_c;
        bool round;
        std::vector<std::string> to_a;  // acks
        std::map<std::string, std::string> after;
        rrm::DomainConfig settings = rrm::DomainConfig();
    };
    rrm::DomainConfig all;
    all.use_all_ap_balance = true;
    const std::string ack1 = assoc_ack(A, "d", lower, 1, "corp");
    const std::string ack0 = assoc_ack(A, "d", lower, 0, "corp");
    const Case cases[] = {
        {"weak, 3 clients on the radio: one request to the AP that hears A, for its 5 GHz radio; "
         "the ack waits",
         [](Domain& d) {
             d.hears(B, radio_mac(A, 1));
             d.load(A, 1, 3);
             d.load(B, 1, 2);
         },
         1, -80, 0, {probe_request(B, "d", {1}, lower, "corp")}, {}, true, {},
         {{"A1", "associated"}}},
        {"weak, nobody hears A: acknowledged at once, sta-mac as received",
         nullptr, 1, -80, 0, {}, {}, false, {ack1}, {{"A1", "associated"}}},
        {"-60 with 6 clients (5 before): held (above -65) and busy, a round",
         [](Domain& d) {
             d.hears(B, radio_mac(A, 0));
             d.load(A, 1, 5);
         },
         1, -60, 0, {probe_request(B, "d", {1}, lower, "corp")}, {}, true, {},
         {{"A0", "block"}, {"A1", "associated"}, {"B0", "block"}, {"B1", "block"}}},
        {"-60 with 5 clients (4 before): held, not busy, acknowledged",
         [](Domain& d) {
             d.hears(B, radio_mac(A, 0));
             d.load(A, 1, 4);
         },
         1, -60, 0, {}, {}, false, {ack1},
         {{"A0", "block"}, {"A1", "associated"}, {"B0", "block"}, {"B1", "block"}}},
        {"signal not reported, 1 client: never weak",
         [](Domain& d) { d.hears(B, radio_mac(A, 0)); }, 1, 0, 0, {}, {}, false, {ack1},
         {{"A1", "associated"}}},
        {"signal not reported, busy radio: a round",
         [](Domain& d) {
             d.hears(B, radio_mac(A, 0));
             d.load(A, 1, 5);
         },
         1, 0, 0, {probe_request(B, "d", {1}, lower, "corp")}, {}, true, {},
         {{"A1", "associated"}}},
        {"strong: held by blocks on A's 2.4 GHz radio and on the APs that hear A",
         [](Domain& d) { d.hears(B, radio_mac(A, 0)); }, 1, -50, 0, {}, {}, false, {ack1},
         {{"A0", "block"}, {"A1", "associated"}, {"B0", "block"}, {"B1", "block"}}},
        {"weak on 2.4 GHz: radios of every band are asked",
         [](Domain& d) { d.hears(B, radio_mac(A, 0)); }, 0, -80, 0,
         {probe_request(B, "d", {0, 1}, lower, "corp")}, {}, true, {}, {{"A0", "associated"}}},
        {"a radio with 20 clients and a radio of another band are not asked; an AP without an "
         "eligible radio gets nothing",
         [](Domain& d) {
             d.hears(B, radio_mac(A, 0));
             d.hears(C, radio_mac(A, 0));
             d.load(B, 1, 20);
         },
         1, -80, 0, {}, {probe_request(C, "d", {1}, lower, "corp")}, true, {},
         {{"A1", "associated"}}},
        {"a radio locked for the balancer is not asked",
         [](Domain& d) {
             d.hears(B, radio_mac(A, 0));
             d.radio(B, 1).locked_balancer = 1;
         },
         1, -80, 0, {}, {}, false, {ack1}, {{"A1", "associated"}}},
        {"use_all_ap_balance: every other AP is asked", nullptr, 1, -80, 0,
         {probe_request(B, "d", {1}, lower, "corp")}, {probe_request(C, "d", {1}, lower, "corp")},
         true, {}, {{"A1", "associated"}}, all},
        {"no-balance: recorded, never steered; its block there and its expected entries on A and "
         "on the APs that hear A go",
         [](Domain& d) {
             d.hears(B, radio_mac(A, 0));
             d.load(A, 1, 9);
             const MacAddress client = mac("aa:bb:cc:dd:ee:0f");
             d.radio(A, 1).block_list.block(client, 30);
             d.radio(A, 1).block_list.changes.clear();
             rrm::ExpectedSta sta;
             sta.ap_mac = mac(radio_mac(C, 1));
             sta.ttl = 30;
             for (const std::string& ap : {A, B, C})
                 d.radio(ap, 0).client_table.add_expected_sta(client, sta);
         },
         1, -80, 1, {}, {}, false, {ack1}, {{"A1", "associated"}, {"C0", "expected"}}},
        {"an expected station arrives: no round, its expected entries on A go",
         [](Domain& d) {
             d.hears(B, radio_mac(A, 0));
             d.load(A, 1, 9);
             rrm::ExpectedSta sta;
             sta.ap_mac = mac(radio_mac(B, 1));
             sta.radio_id = 1;
             sta.ttl = 30;
             d.radio(A, 1).client_table.add_expected_sta(mac("aa:bb:cc:dd:ee:0f"), sta);
             d.radio(A, 0).client_table.add_expected_sta(mac("aa:bb:cc:dd:ee:0f"), sta);
         },
         1, -80, 0, {}, {}, false, {ack1}, {{"A1", "associated"}}},
        {"steering locked: recorded and acknowledged, nothing else",
         [](Domain& d) {
             d.hears(B, radio_mac(A, 0));
             d.worker->load_balancer_lock = true;
         },
         1, -50, 0, {}, {}, false, {ack1}, {{"A1", "associated"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Domain d(c.settings);
        if (c.setup)
            c.setup(d);
        const size_t mark = d.mark();
        d.send(d.a, client_assoc(d.a, c.radio, c.rssi, lower, "corp", c.no_balance, 1));
        EXPECT_EQ(d.since(mark, B), c.to_b);
        EXPECT_EQ(d.since(mark, C), c.to_c);
        EXPECT_EQ(d.since(mark, A), c.to_a);
        const MacAddress client = mac(lower);
        const rrm::RrmProblistEntry* round = d.rounds().find(client);
        EXPECT_EQ(round != nullptr, c.round);
        if (round) {
            EXPECT_EQ(round->countdown, 5);
            EXPECT_EQ(rrm::mac_to_string(round->get_src_mac()), radio_mac(A, c.radio));
            EXPECT_FALSE(round->all_answered());
        }
        const rrm::AssocClient& record = d.radio(A, c.radio).client_table.clients.at(client);
        EXPECT_EQ(record.rssi, c.rssi);
        EXPECT_EQ(record.no_balance, c.no_balance != 0);
        EXPECT_TRUE(record.need_ack);
        // The state of the client on each radio (M is the client here).
        std::map<std::string, std::string> after;
        const std::pair<const char*, std::string> aps[] = {{"A", A}, {"B", B}, {"C", C}};
        for (const auto& ap : aps)
            for (int id = 0; id < 2; ++id) {
                const rrm::Radio& r = d.radio(ap.second, id);
                std::string s;
                if (auto it = r.block_list.changes.find(client); it != r.block_list.changes.end())
                    s = it->second ? "block" : "unblock";
                else if (r.block_list.members.count(client))
                    s = "member";
                if (r.client_table.expected.count(client))
                    s += s.empty() ? "expected" : ", expected";
                if (r.client_table.clients.count(client))
                    s += s.empty() ? "associated" : ", associated";
                if (!s.empty())
                    after[ap.first + std::to_string(id)] = s;
            }
        EXPECT_EQ(after, c.after);
    }
}

TEST(LoadBalancer, AssociationLogAndRefusals)
{
    Domain d;
    d.worker->load_balancer_lock = true;
    d.send(d.a, client_assoc(d.a, 1, -80, STA, "corp", 0, 1));
    EXPECT_TRUE(d.log.has(rrm::LOG_LEVEL_DEBUG,
                          "Assocc client 00:11:22:33:44:55 rssi -80 radio_id 1 ssid corp "
                          "no_balance 0 send_ack 1 lock_balancer 1 (ap 02:00:00:00:01:00)"));
    d.worker->load_balancer_lock = false;

    const size_t mark = d.mark();
    d.send(d.a, client_assoc(d.a, 7, -80, STA, "corp", 0, 1));
    EXPECT_TRUE(d.log.has(rrm::LOG_LEVEL_WARNING,
                          "Skip assoc for invalid/disabled radio_id=7 (ap 02:00:00:00:01:00)"));
    d.send(d.a, client_assoc(d.a, 1, -80, "", "corp", 0, 1));
    d.send(d.a, client_assoc(d.a, 1, -80, STA, "", 0, 1));
    EXPECT_TRUE(d.since(mark).empty());
    EXPECT_EQ(d.radio(A, 1).client_table.clients.size(), 1u);

    // Load balancing off: an association handed to the balancer is ignored.
    d.worker->config.use_balance = false;
    const std::string text = client_assoc(d.a, 0, -80, STA, "corp", 0, 1);
    d.balancer().process_message(rrm::JsonReader(text.c_str()), "rrm-client-assoc", &d.ap(A));
    EXPECT_TRUE(d.radio(A, 0).client_table.clients.empty());
}

// ---- Answers, disassociations ----

TEST(LoadBalancer, ProbeResponses)
{
    Domain d;
    d.hears(B, radio_mac(A, 1));
    d.hears(C, radio_mac(A, 1));
    d.send(d.a, client_assoc(d.a, 1, -80, STA, "corp"));
    const rrm::RrmProblistEntry* round = d.rounds().find(M);
    ASSERT_NE(round, nullptr);
    ASSERT_EQ(round->awaited.size(), 2u);

    // -70 is an answer but no candidate; its second entry names another
    // client without a round, which changes nothing.
    d.send(d.b,
           probe_response(d.b, {{1, STA, "corp", -70}, {1, "00:11:22:33:44:77", "corp", -50}}));
    EXPECT_TRUE(round->results.empty());
    EXPECT_EQ(round->awaited.count(mac(radio_mac(B, 1))), 0u);
    EXPECT_EQ(d.rounds().size(), 1u);

    // An entry without SSID ends the message: the third entry is not read.
    d.send(d.c,
           probe_response(d.c, {{0, STA, "corp", -60}, {0, STA, "", -60}, {1, STA, "corp", -55}}));
    EXPECT_EQ(round->results, (std::unordered_map<MacAddress, int32_t, rrm::MacHash>{
                                  {mac(radio_mac(C, 0)), -60}}));
    EXPECT_EQ(round->awaited.count(mac(radio_mac(C, 1))), 1u);

    // A radio the AP does not have is skipped with a warning; the rest counts.
    d.send(d.c, probe_response(d.c, {{5, STA, "corp", -50}, {1, STA, "corp", -55}}));
    EXPECT_TRUE(d.log.has(
        rrm::LOG_LEVEL_WARNING,
        "Skip probe-response for invalid/disabled radio_id=5 (ap 02:00:00:00:03:00)"));
    EXPECT_EQ(round->results.at(mac(radio_mac(C, 1))), -55);
    EXPECT_TRUE(round->all_answered());
    // A positive or zero signal is no candidate either.
    d.send(d.b, probe_response(d.b, {{0, STA, "corp", 0}, {0, STA, "corp", 3}}));
    EXPECT_EQ(round->results.count(mac(radio_mac(B, 0))), 0u);
}

TEST(LoadBalancer, Disassociation)
{
    struct Case {
        const char* name;
        int stored_rssi;
        std::string ssid;  // of the disassociation
        bool locked;
        std::string b1;  // B1's block state afterwards
        bool still_associated;
    } cases[] = {
        {"left with a good signal: released elsewhere", -60, "corp", false, "unblock", false},
        {"left weak: blocks stay until they time out", -80, "corp", false, "member", false},
        {"signal never reported: blocks stay", 0, "corp", false, "member", false},
        {"another SSID: the client stays, only its round goes", -60, "guest", false, "member",
         true},
        {"steering locked: forgotten, nothing released", -60, "corp", true, "member", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Domain d;
        d.hears(B, radio_mac(A, 1));
        d.radio(A, 1).client_table.add_client(M, c.stored_rssi, "corp", false, false);
        d.radio(A, 1).block_list.block(M, 30);
        d.radio(B, 1).block_list.block(M, 30);
        d.radio(B, 1).block_list.changes.clear();
        d.rounds().add(M, mac(radio_mac(A, 1)), 5, "corp");
        d.worker->load_balancer_lock = c.locked;
        d.send(d.a, client_disassoc(d.a, 1, STA, c.ssid));
        EXPECT_EQ(d.rounds().find(M), nullptr);
        EXPECT_EQ(d.radio(A, 1).client_table.clients.count(M) != 0, c.still_associated);
        // Its own radio forgets the block without telling the AP.
        EXPECT_EQ(d.radio(A, 1).block_list.members.count(M) != 0, c.still_associated);
        const rrm::Radio& b1 = d.radio(B, 1);
        std::string s = b1.block_list.changes.count(M)
                            ? (b1.block_list.changes.at(M) ? "block" : "unblock")
                            : (b1.block_list.members.count(M) ? "member" : "");
        EXPECT_EQ(s, c.b1);
    }
}

TEST(LoadBalancer, DisassociationOfAllClients)
{
    Domain d;
    d.hears(B, radio_mac(A, 1));
    const MacAddress other = mac("00:11:22:33:44:66");
    d.radio(A, 0).client_table.add_client(M, -60, "corp", false, false);
    d.radio(A, 1).client_table.add_client(other, -60, "guest", false, false);
    rrm::ExpectedSta sta;
    sta.ttl = 10;
    d.radio(A, 1).client_table.add_expected_sta(mac("00:11:22:33:44:77"), sta);
    d.radio(A, 0).block_list.block(M, 30);
    for (int id = 0; id < 2; ++id) {
        d.radio(B, id).block_list.block(M, 30);
        d.radio(B, id).block_list.block(other, 30);
        d.radio(B, id).block_list.changes.clear();
    }
    d.rounds().add(M, mac(radio_mac(A, 0)), 5, "corp");
    d.rounds().add(other, mac(radio_mac(A, 1)), 5, "guest");
    d.worker->load_balancer_lock = true;  // not consulted
    d.send(d.a, disassoc_all_clients(d.a));
    for (int id = 0; id < 2; ++id) {
        EXPECT_EQ(d.radio(A, id).client_table.size(), 0);
        // M is released with its SSID "corp"; "guest" is served nowhere, so
        // the other client's blocks stay.
        EXPECT_EQ(d.radio(B, id).block_list.changes.at(M), false);
        EXPECT_EQ(d.radio(B, id).block_list.members.count(other), 1u);
    }
    EXPECT_EQ(d.radio(A, 0).block_list.members.count(M), 0u);
    EXPECT_TRUE(d.rounds().empty());
}

// ---- Round evaluation ----

struct Evaluation {
    const char* name;
    std::function<void(Domain&)> setup;  // loads, hearing, client on A1 (source)
    int src_rssi;                        // the client's stored signal on A1
    std::vector<std::pair<std::string, int>> results;  // radio MAC -> rssi
    std::map<std::string, std::string> after;
    std::vector<std::string> acks;  // to A
    std::vector<std::string> logged; // Debug or Warning lines that must be there
};

void evaluate(const Evaluation& e)
{
    SCOPED_TRACE(e.name);
    Domain d;
    d.radio(A, 1).client_table.add_client(M, e.src_rssi, "corp", false, true);
    if (e.setup)
        e.setup(d);
    d.rounds().add(M, mac(radio_mac(A, 1)), 1, "corp");
    for (const auto& r : e.results)
        d.rounds().put_result(M, mac(r.first), r.second, "corp");
    d.log.clear();
    const size_t mark = d.mark();
    d.balancer_tick();
    EXPECT_TRUE(d.rounds().empty());
    EXPECT_EQ(snapshot(d), e.after);
    EXPECT_EQ(d.since(mark, A), e.acks);
    for (const std::string& line : e.logged)
        EXPECT_TRUE(d.log.has(rrm::LOG_LEVEL_DEBUG, line) ||
                    d.log.has(rrm::LOG_LEVEL_WARNING, line))
            << line;
}

TEST(LoadBalancer, RoundEvaluation)
{
    const std::string B0 = radio_mac(B, 0), B1 = radio_mac(B, 1), C0 = radio_mac(C, 0),
                      C1 = radio_mac(C, 1);
    const std::string ack = assoc_ack(A, "d", STA, 1, "corp");
    // A move to B1: unblocked and expected there (from A1, radio 1, for
    // blacklist_timeout), blocked on B's 2.4 GHz radio and around B,
    // pushed off A, which hears B.
    const std::map<std::string, std::string> moved_to_b1 = {
        {"A0", "block"}, {"A1", "member, disassoc corp"}, {"B0", "block"},
        {"B1", "expected from 02:00:00:00:01:10/1 ttl 30"}};
    auto a_hears_b = [](Domain& d) { d.hears(A, radio_mac(B, 1)); };
    const std::string no_balancer = "LoadBalancer: no balancer";
    const Evaluation cases[] = {
        {"B0 (-60, 2 clients) and B1 (-55, 4) both count as load 4, B1 wins on signal; C1 "
         "(-50, 5 clients) is busier",
         [&](Domain& d) {
             a_hears_b(d);
             d.load(A, 1, 6);
             d.load(B, 0, 2);
             d.load(B, 1, 4);
             d.load(C, 1, 5);
         },
         -70, {{B0, -60}, {B1, -55}, {C1, -50}}, moved_to_b1, {},
         {"LoadBalancer: radio 1 client 00:11:22:33:44:55 src_ap 02:00:00:00:01:10 size 7 "
          "sta_low 5 rssi -70",
          "dst_ap 02:00:00:00:02:10 radio 1 min_size 4 min_rssi -55"}},
        {"source with 5 clients, -70 there, best with 4 clients: no move, acknowledged",
         [&](Domain& d) {
             a_hears_b(d);
             d.load(A, 1, 4);
             d.load(B, 1, 4);
         },
         -70, {{B1, -60}}, {{"A1", "associated"}}, {ack}, {no_balancer}},
        {"the same with -80 on the source: moved (weak signal)",
         [&](Domain& d) {
             a_hears_b(d);
             d.load(A, 1, 4);
             d.load(B, 1, 4);
         },
         -80, {{B1, -60}}, moved_to_b1, {}, {}},
        {"best candidate with 20 clients: no move",
         [&](Domain& d) {
             a_hears_b(d);
             d.load(B, 1, 20);
         },
         -80, {{B1, -60}}, {{"A1", "associated"}}, {ack}, {no_balancer}},
        {"a candidate already holding the client, heard at -60 with 10 clients, is chosen over "
         "an empty radio seen before it: unblocked there, nothing expected, blocked around it, "
         "pushed off A",
         [&](Domain& d) {
             a_hears_b(d);
             d.load(B, 1, 9);
             d.radio(B, 1).client_table.add_client(M, -60, "corp", false, false);
             d.radio(B, 1).block_list.block(M, 30);
             d.radio(B, 1).block_list.changes.clear();
         },
         -70, {{B0, -50}, {B1, -60}, {C1, -40}},
         {{"A0", "block"}, {"A1", "member, disassoc corp"}, {"B0", "block"},
          {"B1", "unblock, associated"}},
         {}, {"LoadBalancer: exist_ap 02:00:00:00:02:10 size 10 rssi -60",
              "dst_ap 02:00:00:00:02:10 radio 1 min_size 9 min_rssi -60"}},
        {"no answer: acknowledged, the client in capitals", nullptr, -80, {},
         {{"A1", "associated"}}, {ack},
         {"LoadBalancer: no find result for 00:11:22:33:44:55"}},
        {"equal load and signal: the lower radio MAC wins, whatever the order of the answers",
         [&](Domain& d) {
             a_hears_b(d);
             d.hears(A, radio_mac(C, 1));
         },
         -80, {{C1, -60}, {B1, -60}}, moved_to_b1, {},
         {"dst_ap 02:00:00:00:02:10 radio 1 min_size 4 min_rssi -60"}},
        {"an answer from a radio that is gone is ignored",
         nullptr, -80, {{"02:00:00:00:09:10", -50}}, {{"A1", "associated"}}, {ack},
         {"LoadBalancer: no find result for 00:11:22:33:44:55"}},
        // The unanswered map exists only inside a planning cycle, while
        // steering is locked; should the source be found there all the
        // same, nothing is moved, and its AP still gets the ack it waits for.
        {"the source AP missed a planning step (unanswered): dropped with a Warning, "
         "acknowledged",
         [&](Domain& d) {
             a_hears_b(d);
             d.park_unanswered(A);
         },
         -80, {{B1, -60}}, {{"A1", "associated"}}, {ack},
         {"Skip balancing: source radio_id not found for src_ap=02:00:00:00:01:10"}},
        // What a move changes would reach no AP while steering is paused
        // (the block-list tick sends nothing then): the model is left as
        // the APs hold it.
        {"a round that would move the client ends while a planning cycle locks steering: no "
         "move, acknowledged",
         [&](Domain& d) {
             a_hears_b(d);
             d.worker->load_balancer_lock = true;
         },
         -80, {{B1, -60}}, {{"A1", "associated"}}, {ack},
         {"LoadBalancer: balancing paused, no move for 00:11:22:33:44:55"}},
        {"the same while the queue guard (or the registry) stops steering",
         [&](Domain& d) {
             a_hears_b(d);
             d.worker->load_balancer_stop = true;
         },
         -80, {{B1, -60}}, {{"A1", "associated"}}, {ack},
         {"LoadBalancer: balancing paused, no move for 00:11:22:33:44:55"}},
        {"paused while the source AP is unanswered: acknowledged through it",
         [&](Domain& d) {
             a_hears_b(d);
             d.park_unanswered(A);
             d.worker->load_balancer_lock = true;
         },
         -80, {{B1, -60}}, {{"A1", "associated"}}, {ack}, {}},
    };
    for (const auto& e : cases)
        evaluate(e);
}

TEST(LoadBalancer, ThresholdsAreReadWhenTheRoundIsEvaluated)
{
    // An answer recorded at -62 (above -65); the high threshold is raised to
    // -60 before the round ends.
    Domain d;
    d.hears(A, radio_mac(B, 1));
    d.hears(B, radio_mac(A, 1));
    d.send(d.a, client_assoc(d.a, 1, -80, STA, "corp", 0, 1));
    d.send(d.b, probe_response(d.b, {{1, STA, "corp", -62}}));
    ASSERT_EQ(d.rounds().find(M)->results.size(), 1u);
    d.worker->config.blacklist_thr_high = -60;
    const size_t mark = d.mark();
    d.balancer_tick();
    EXPECT_TRUE(d.log.has(rrm::LOG_LEVEL_DEBUG, "LoadBalancer: no balancer"));
    EXPECT_EQ(d.since(mark, A), (std::vector<std::string>{assoc_ack(A, "d", STA, 1, "corp")}));
}

TEST(LoadBalancer, EvaluationLogsNameTheirSteps)
{
    Domain d;
    d.hears(A, radio_mac(B, 1));
    d.radio(A, 1).client_table.add_client(M, -70, "corp", false, false);
    d.radio(B, 1).client_table.add_client(M, -60, "corp", false, false);
    d.rounds().add(M, mac(radio_mac(A, 1)), 1, "corp");
    d.rounds().put_result(M, mac(radio_mac(B, 1)), -60, "corp");
    d.balancer_tick();
    std::map<std::string, std::string> func_of;
    for (const auto& r : d.log.records())
        func_of[r.text] = r.func;
    EXPECT_EQ(func_of["RrmProblist: drop - 00:11:22:33:44:55"], "log_problist_drop");
    EXPECT_EQ(func_of["LoadBalancer: exist_ap 02:00:00:00:02:10 size 1 rssi -60"], "operator()");
    EXPECT_EQ(func_of["dst_ap 02:00:00:00:02:10 radio 1 min_size 0 min_rssi -60"],
              "process_result");
}

TEST(LoadBalancer, RoundsEndAfterFiveTicksOrOnceAllAnswered)
{
    Domain d;
    d.hears(B, radio_mac(A, 1));
    d.hears(C, radio_mac(A, 1));
    d.send(d.a, client_assoc(d.a, 1, -80, STA, "corp", 0, 1));
    for (int tick = 1; tick <= 4; ++tick) {
        d.balancer_tick();
        ASSERT_NE(d.rounds().find(M), nullptr) << tick;
        EXPECT_EQ(d.rounds().find(M)->countdown, 5 - tick);
    }
    const size_t mark = d.mark();
    d.balancer_tick();
    EXPECT_TRUE(d.rounds().empty());
    EXPECT_EQ(d.since(mark, A), (std::vector<std::string>{assoc_ack(A, "d", STA, 1, "corp")}));

    // Every asked radio answered: over at the next tick.
    d.send(d.a, client_assoc(d.a, 1, -80, STA, "corp", 0, 1));
    d.send(d.b, probe_response(d.b, {{1, STA, "corp", -70}}));
    d.balancer_tick();
    EXPECT_NE(d.rounds().find(M), nullptr);
    d.send(d.c, probe_response(d.c, {{1, STA, "corp", -90}}));
    d.balancer_tick();
    EXPECT_TRUE(d.rounds().empty());
}

TEST(LoadBalancer, LongQueueStopsLoadBalancing)
{
    struct Case {
        int queued;
        bool stop_before;
        int counter_before;
        bool stop_after;
        int counter_after;
    } cases[] = {
        {255, false, 0, false, 0},
        {256, false, 0, true, 6},
        {300, false, 0, true, 6},
        {300, true, 6, true, 6},
        {300, true, 2, true, 2},
        {300, true, 1, true, 6},
        {255, true, 1, true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.queued) + " queued, counter " +
                     std::to_string(c.counter_before));
        Domain d;
        for (int i = 0; i < c.queued; ++i)
            d.worker->enqueue_message(rrm::JsonReader(R"({"service":"rrm"})"),
                                      testsupport::DomainFixture::session(1));
        d.worker->load_balancer_stop = c.stop_before;
        d.worker->stop_counter = c.counter_before;
        d.balancer_tick();
        EXPECT_EQ(d.worker->load_balancer_stop, c.stop_after);
        EXPECT_EQ(d.worker->stop_counter, c.counter_after);
    }
}

TEST(LoadBalancer, RoundsEndingTogetherAreEvaluatedInClientOrder)
{
    // Two weak clients of A1 end their rounds in the same tick, both heard
    // only by B1, which has room for one more: the lower client MAC is
    // evaluated first and moves; B1 then carries load_balance_sta_high
    // clients and the other stays.
    rrm::DomainConfig settings;
    settings.load_balance_sta_low = 2;
    settings.load_balance_sta_high = 3;
    Domain d(settings);
    d.hears(A, radio_mac(B, 1));
    d.load(B, 1, 2);
    const MacAddress first = mac("00:11:22:33:44:01");
    const MacAddress second = mac("00:11:22:33:44:02");
    for (const MacAddress& client : {second, first}) {
        d.radio(A, 1).client_table.add_client(client, -80, "corp", false, false);
        d.rounds().add(client, mac(radio_mac(A, 1)), 1, "corp");
        d.rounds().put_result(client, mac(radio_mac(B, 1)), -60, "corp");
    }
    d.balancer_tick();
    // first: B1 load 2 (not below low 2), 2 < high 3, -80 is weak: moved,
    // expected on B1 (load 3). second: load 3 < high 3 fails: stays.
    EXPECT_EQ(d.radio(B, 1).client_table.expected.count(first), 1u);
    EXPECT_EQ(d.radio(B, 1).client_table.expected.count(second), 0u);
}

}  // namespace
