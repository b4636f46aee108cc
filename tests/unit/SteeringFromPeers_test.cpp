// What one AP may do to the domain's client steering, driven by hand: its
// steering messages count only for itself (from any other session they
// change nothing), and a radio takes no more clients than an 802.11 radio
// can associate. The refusals are Warnings at most one a period.
//
//   A 02:00:00:00:01:00  session 1, radios 0 (2.4 GHz, ...01:00), 1 (5 GHz, ...01:10)
//   B 02:00:00:00:02:00  session 2, radios 0 (2.4 GHz, ...02:00), 1 (5 GHz, ...02:10)
//   C 02:00:00:00:03:00  session 3, radios 0 (2.4 GHz, ...03:00), 1 (5 GHz, ...03:10)
//   one VAP "corp" on every radio, open to the balancer and to 802.11v;
//   every AP hears every radio of the others.

#include "SteeringDomain.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using testsupport::assoc_state_changed;
using testsupport::client_assoc;
using testsupport::client_disassoc;
using testsupport::disassoc_all_clients;
using testsupport::Heard;
using testsupport::probe_response;
using testsupport::radio_mac;
using testsupport::steering_ap;
using testsupport::SteeringDomain;

const std::string A = "02:00:00:00:01:00";
const std::string B = "02:00:00:00:02:00";
const std::string C = "02:00:00:00:03:00";
const std::string X = "00:11:22:33:44:55";

// The clock of the domain worker's records in these tests.
int64_t fake_now = 1000;
int64_t fake_clock() { return fake_now; }

testsupport::ApSpec open_ap(const std::string& mac)
{
    testsupport::ApSpec spec = steering_ap(mac, "d");
    for (auto& radio : spec.radios)
        for (auto& vap : radio.vaps)
            vap.v = true;
    return spec;
}

struct Domain : SteeringDomain {
    explicit Domain(const rrm::DomainConfig& settings = rrm::DomainConfig())
        : SteeringDomain(settings)
    {
        worker->timers.set_clock(&fake_clock);
        a = add(open_ap(A));
        b = add(open_ap(B));
        c = add(open_ap(C));
        all_hear({A, B, C});
    }
    testsupport::ApSpec a, b, c;
};

std::string roam(const testsupport::ApSpec& from, int radio, const std::string& sta,
                 const std::string& target)
{
    return from.message("rrm-sta-roam", ",\"radio\":" + std::to_string(radio) +
                                            ",\"sta-mac\":\"" + sta + "\",\"target-mac\":\"" +
                                            target + "\"");
}

// Everything the steering keeps of the domain: per radio its clients (with
// signal and SSID), expected stations and block list; the probe rounds.
std::string steering_state(Domain& d)
{
    std::string out;
    for (const std::string& ap : {A, B, C})
        for (int id = 0; id < 2; ++id) {
            const rrm::Radio& r = d.radio(ap, id);
            std::map<std::string, std::string> lines;
            for (const auto& e : r.client_table.clients)
                lines["client " + rrm::mac_to_string(e.first)] =
                    std::to_string(e.second.rssi) + " " + e.second.ssid;
            for (const auto& e : r.client_table.expected)
                lines["expected " + rrm::mac_to_string(e.first)] = "";
            for (const auto& e : r.block_list.members)
                lines["blocked " + rrm::mac_to_string(e.first)] = "";
            for (const auto& e : r.block_list.changes)
                lines["change " + rrm::mac_to_string(e.first)] = e.second ? "block" : "unblock";
            for (const auto& line : lines)
                out += ap + "/" + std::to_string(id) + " " + line.first + " " + line.second + "\n";
        }
    for (const auto& round : d.rounds().table) {
        out += "round " + rrm::mac_to_string(round.first) + " awaits " +
               std::to_string(round.second.awaited.size()) + " heard " +
               std::to_string(round.second.results.size()) + "\n";
    }
    return out;
}

// Every steering command, sent as its AP (the owner) would: from the
// owner's session it changes the domain; from any other it must not.
struct Command {
    const char* name;
    char owner;  // 'a' or 'b'
    std::function<void(Domain&)> setup;
    std::function<std::string(Domain&)> message;
};

const std::vector<Command>& commands()
{
    // X on A's 5 GHz radio at -70: between the thresholds, not steered.
    static const auto x_on_a = [](Domain& d) {
        d.send(d.a, client_assoc(d.a, 1, -70, X, "corp", 1));
    };
    static const std::vector<Command> all = {
        {"rrm-client-assoc", 'a', [](Domain&) {},
         [](Domain& d) { return client_assoc(d.a, 1, -50, X, "corp"); }},
        {"rrm-client-disassoc", 'a', x_on_a,
         [](Domain& d) { return client_disassoc(d.a, 1, X, "corp"); }},
        {"rrm-disassoc-all-clients", 'a', x_on_a,
         [](Domain& d) { return disassoc_all_clients(d.a); }},
        {"rrm-assoc-state-changed", 'a', x_on_a,
         [](Domain& d) { return assoc_state_changed(d.a, 1, -90, X, "corp"); }},
        {"rrm-sta-roam", 'a', [](Domain&) {},
         [](Domain& d) { return roam(d.a, 1, X, radio_mac(B, 1)); }},
        // A weak X on A starts a round that asks B and C to listen.
        {"rrm-probe-response", 'b',
         [](Domain& d) { d.send(d.a, client_assoc(d.a, 1, -80, X, "corp")); },
         [](Domain& d) { return probe_response(d.b, {{1, X, "corp", -50}}); }},
    };
    return all;
}

const char* const kRefused = "not taken: invalid session (0 more since the last such record)";

// Records of the level whose text starts with `head`.
size_t starting(const testsupport::LogCapture& log, int level, const std::string& head)
{
    size_t n = 0;
    for (const auto& r : log.records())
        n += r.level == level && r.text.compare(0, head.size(), head) == 0 ? 1 : 0;
    return n;
}

TEST(SteeringFromPeers, AnApsSteeringMessagesCountOnlyFromItsOwnSession)
{
    enum From { OWNER, OTHER_AP, NO_AP, OWNER_CLOSED };
    struct Sender {
        const char* name;
        From from;
    };
    const Sender senders[] = {
        {"the AP's own session", OWNER},
        {"another AP's session", OTHER_AP},
        {"a session that holds no AP", NO_AP},
        {"the AP's session once closed", OWNER_CLOSED},
    };
    for (const Command& command : commands())
        for (const Sender& sender : senders) {
            SCOPED_TRACE(std::string(command.name) + " from " + sender.name);
            Domain d;
            command.setup(d);
            const std::string text = command.message(d);
            const std::string owner = command.owner == 'a' ? A : B;
            const uint32_t owner_session = d.session_of(owner);
            uint32_t session = owner_session;
            if (sender.from == OTHER_AP)
                session = d.session_of(C);
            else if (sender.from == NO_AP)
                session = 99;
            else if (sender.from == OWNER_CLOSED)
                d.registry->end_session(owner_session);

            const std::string before = steering_state(d);
            const size_t mark = d.mark();
            d.log.clear();
            d.from_ap(text, session);

            const std::string refused = "Steering message " + std::string(command.name) +
                                        " for " + owner + " from session " +
                                        std::to_string(session) + " " + kRefused;
            const std::string closed = "Steering message " + std::string(command.name) +
                                       " for " + owner + " from a closed session not taken";
            if (sender.from == OWNER) {
                EXPECT_NE(steering_state(d), before) << "the message must matter";
                EXPECT_EQ(d.log.count(rrm::LOG_LEVEL_WARNING, refused), 0u);
                continue;
            }
            EXPECT_EQ(steering_state(d), before);
            EXPECT_TRUE(d.since(mark).empty());
            EXPECT_EQ(d.log.count(rrm::LOG_LEVEL_WARNING, refused),
                      sender.from == OWNER_CLOSED ? 0u : 1u);
            EXPECT_EQ(d.log.count(rrm::LOG_LEVEL_DEBUG, closed),
                      sender.from == OWNER_CLOSED ? 1u : 0u);
            // The AP itself is still heard.
            if (sender.from != OWNER_CLOSED) {
                d.from_ap(text, owner_session);
                EXPECT_NE(steering_state(d), before);
            }
        }
}

TEST(SteeringFromPeers, AnApNamedByABssidIsStillOnlyItsOwn)
{
    Domain d;
    // A's 5 GHz radio MAC names A.
    testsupport::ApSpec by_radio = d.a;
    by_radio.mac = radio_mac(A, 1);
    d.from_ap(client_assoc(by_radio, 1, -70, X, "corp", 1), d.session_of(B));
    EXPECT_EQ(d.radio(A, 1).client_table.clients.count(rrm::mac_from_string(X.c_str())), 0u);
    d.from_ap(client_assoc(by_radio, 1, -70, X, "corp", 1), d.session_of(A));
    EXPECT_EQ(d.radio(A, 1).client_table.clients.count(rrm::mac_from_string(X.c_str())), 1u);
    // An AP parked in the unanswered map keeps its session test.
    d.park_unanswered(A);
    d.from_ap(client_disassoc(d.a, 1, X, "corp"), d.session_of(B));
    EXPECT_EQ(d.radio(A, 1).client_table.clients.size(), 1u);
    d.from_ap(client_disassoc(d.a, 1, X, "corp"), d.session_of(A));
    EXPECT_EQ(d.radio(A, 1).client_table.clients.size(), 0u);
}

// A flood of refused messages writes one Warning a period, the next one
// telling how many were held back.
TEST(SteeringFromPeers, RefusalsAreRecordedAtMostOnceAPeriod)
{
    Domain d;
    d.log.clear();
    fake_now = 5000;
    for (int i = 0; i < 50; ++i) {
        char sta[18];
        std::snprintf(sta, sizeof sta, "00:99:00:00:00:%02X", i);
        d.from_ap(client_assoc(d.a, 1, -70, sta, "corp", 1), 99);
    }
    fake_now = 5009;
    d.from_ap(client_assoc(d.a, 1, -70, X, "corp", 1), 99);
    EXPECT_EQ(starting(d.log, rrm::LOG_LEVEL_WARNING, "Steering message "), 1u);
    fake_now = 5010;
    d.from_ap(disassoc_all_clients(d.a), 98);
    EXPECT_TRUE(d.log.has(rrm::LOG_LEVEL_WARNING,
                          "Steering message rrm-disassoc-all-clients for " + A +
                              " from session 98 not taken: invalid session (50 more since the "
                              "last such record)"));
    EXPECT_TRUE(d.radio(A, 1).client_table.clients.empty()) << "none of them was taken";
}

// The n-th client, 00:99:xx:xx:xx:xx.
std::string nth(int n)
{
    char text[18];
    std::snprintf(text, sizeof text, "00:99:%02X:%02X:%02X:%02X", (n >> 24) & 0xff,
                  (n >> 16) & 0xff, (n >> 8) & 0xff, n & 0xff);
    return text;
}

// 2007 associated clients on A's 5 GHz radio, as its own list says.
void fill(Domain& d)
{
    rrm::AssocMap& table = d.radio(A, 1).client_table;
    for (int i = 0; i < rrm::AssocMap::MAX_CLIENTS; ++i)
        table.clients[rrm::mac_from_string(nth(i).c_str())] =
            rrm::AssocClient(-70, 0, "corp", true, false);
}

TEST(SteeringFromPeers, AFullRadioRefusesNewClientsAndKeepsServingItsOwn)
{
    struct Case {
        const char* name;
        bool use_balance;  // else the 802.11v balancer takes the associations
    };
    const Case cases[] = {{"probe balancer", true}, {"802.11v balancer", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rrm::DomainConfig settings;
        settings.use_balance = c.use_balance;
        settings.use_80211v = true;
        Domain d(settings);
        fill(d);
        fake_now = 7000;
        d.log.clear();
        const size_t mark = d.mark();
        // A new client, strong and asking for an ack: nothing of it is kept,
        // blocked or acknowledged.
        d.send(d.a, client_assoc(d.a, 1, -50, X, "corp", 0, 1));
        d.send(d.a, client_assoc(d.a, 1, -50, nth(5000), "corp", 0, 1));
        const rrm::AssocMap& table = d.radio(A, 1).client_table;
        EXPECT_EQ(table.clients.size(), 2007u);
        EXPECT_EQ(table.clients.count(rrm::mac_from_string(X.c_str())), 0u);
        EXPECT_TRUE(d.since(mark).empty());
        d.blacklist_tick();
        EXPECT_TRUE(d.since(mark).empty()) << "no block went out for the refused client";
        EXPECT_EQ(d.log.count(rrm::LOG_LEVEL_WARNING,
                              "Client " + X + " refused on radio 1 of AP " + A +
                                  ": the radio holds 2007, the most an 802.11 radio can "
                                  "associate (0 more since the last such record)"),
                  1u);
        EXPECT_EQ(starting(d.log, rrm::LOG_LEVEL_WARNING, "Client "), 1u);
        // A client it holds is still updated; the other radio still takes.
        d.send(d.a, client_assoc(d.a, 1, -60, nth(7), "corp", 1));
        EXPECT_EQ(table.clients.at(rrm::mac_from_string(nth(7).c_str())).rssi, -60);
        d.send(d.a, client_assoc(d.a, 0, -60, X, "corp", 1));
        EXPECT_EQ(d.radio(A, 0).client_table.clients.size(), 1u);
        // The next period's record tells of the one held back.
        fake_now = 7010;
        d.send(d.a, client_assoc(d.a, 1, -50, nth(5001), "corp"));
        EXPECT_TRUE(d.log.has(rrm::LOG_LEVEL_WARNING,
                              "Client " + nth(5001) + " refused on radio 1 of AP " + A +
                                  ": the radio holds 2007, the most an 802.11 radio can "
                                  "associate (1 more since the last such record)"));
    }
}

TEST(SteeringFromPeers, AnnouncedRoamsBeyondTheBoundAreRefused)
{
    Domain d;
    rrm::AssocMap& target = d.radio(B, 1).client_table;
    for (int i = 0; i < rrm::AssocMap::MAX_CLIENTS; ++i)
        d.send(d.a, roam(d.a, 1, nth(i), radio_mac(B, 1)));
    EXPECT_EQ(target.expected.size(), 2007u);
    fake_now = 9000;
    d.log.clear();
    d.send(d.a, roam(d.a, 1, X, radio_mac(B, 1)));
    EXPECT_EQ(target.expected.size(), 2007u);
    EXPECT_EQ(target.expected.count(rrm::mac_from_string(X.c_str())), 0u);
    EXPECT_TRUE(d.log.has(rrm::LOG_LEVEL_WARNING,
                          "Announced client " + X + " refused on radio 1 of AP " + B +
                              ": the radio holds 2007, the most an 802.11 radio can associate "
                              "(0 more since the last such record)"));
    // Once they have aged out (five ticks), the radio expects again.
    for (int i = 0; i < 5; ++i)
        d.balancer_tick();
    d.send(d.a, roam(d.a, 1, X, radio_mac(B, 1)));
    EXPECT_EQ(target.expected.size(), 1u);
}

TEST(SteeringFromPeers, AnAssoclistBeyondTheBoundKeepsItsFirstClientsWithAWarning)
{
    Domain d;
    testsupport::ApSpec spec = d.a;
    std::string list = ",\"assoclist\":[";
    for (int i = 0; i < 2010; ++i)
        list += std::string(i ? "," : "") + "{\"mac\":\"" + nth(i) +
                "\",\"ssid\":\"corp\",\"rssi\":-60}";
    spec.radios[1].extra = list + "]";
    d.log.clear();
    d.send(d.a, spec.config_changed());
    EXPECT_EQ(d.radio(A, 1).client_table.clients.size(), 2007u);
    EXPECT_EQ(d.radio(A, 1).client_table.clients.count(rrm::mac_from_string(nth(2006).c_str())),
              1u);
    EXPECT_TRUE(d.log.has(rrm::LOG_LEVEL_WARNING,
                          "Radio 1 of AP " + A +
                              ": 3 clients of its assoclist left out; a radio holds at most 2007"));
}

}  // namespace
