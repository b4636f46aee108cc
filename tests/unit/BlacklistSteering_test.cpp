// The block-list steering helpers on a domain of four APs subscribed as
// real APs do: which radios of which APs end up blocking, unblocking or
// disassociating one client, and which are never touched.
//
//   A 02:00:00:00:01:00  radios 0 (2.4 GHz), 1 (5 GHz), 2 (6 GHz), "corp" on each
//   B 02:00:00:00:02:00  radios 0 (2.4 GHz), 1 (5 GHz), "corp"
//   C 02:00:00:00:03:00  radios 0 (2.4 GHz), 1 (5 GHz), "corp"
//   D 02:00:00:00:04:00  radio 0 locked for the balancer, radio 1 serves only
//                        "guest", radio 2 disabled
//
// Who hears whom is set per case. Defaults: blacklist_timeout 30,
// blacklist_thr_high -65.

#include "SteeringDomain.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

namespace {

using rrm::DomainConfig;
using rrm::MacAddress;
using testsupport::radio_mac;
using testsupport::steering_ap;
using testsupport::SteeringDomain;

const std::string A = "02:00:00:00:01:00";
const std::string B = "02:00:00:00:02:00";
const std::string C = "02:00:00:00:03:00";
const std::string D = "02:00:00:00:04:00";
const std::string STA = "00:11:22:33:44:55";
const MacAddress M = rrm::mac_from_string(STA.c_str());

void build(SteeringDomain& d)
{
    d.add(steering_ap(A, "d", {2, 5, 6}));
    d.add(steering_ap(B, "d"));
    d.add(steering_ap(C, "d"));
    testsupport::ApSpec odd = steering_ap(D, "d", {2, 5, 6});
    odd.radios[0].locked_balancer = 1;
    odd.radios[1].vaps[0].ssid = "guest";
    odd.radios[2].enabled = false;
    d.add(odd);
}

// What one radio holds of the client: "member N", the pending change
// ("block"/"unblock"), "disassoc <ssid>", "associated"; "" for nothing.
std::string state(const rrm::Radio& r)
{
    std::string s;
    auto add = [&](const std::string& part) { s += (s.empty() ? "" : ", ") + part; };
    if (auto it = r.block_list.members.find(M); it != r.block_list.members.end())
        add("member " + std::to_string(it->second));
    if (auto it = r.block_list.changes.find(M); it != r.block_list.changes.end())
        add(it->second ? "block" : "unblock");
    if (auto it = r.block_list.disassoc.find(M); it != r.block_list.disassoc.end())
        add("disassoc " + it->second);
    if (r.client_table.clients.count(M))
        add("associated");
    return s;
}

// "A0" .. "D2" -> state, the empty ones left out.
std::map<std::string, std::string> snapshot(SteeringDomain& d)
{
    std::map<std::string, std::string> out;
    const std::pair<const char*, std::string> aps[] = {{"A", A}, {"B", B}, {"C", C}, {"D", D}};
    for (const auto& ap : aps)
        for (int id = 0; id < 3; ++id) {
            const std::string s = state(d.radio(ap.second, id));
            if (!s.empty())
                out[ap.first + std::to_string(id)] = s;
        }
    return out;
}

void associate(SteeringDomain& d, const std::string& ap, int id)
{
    d.radio(ap, id).client_table.add_client(M, -60, "corp", false, false);
}

// Blocked and already told to the AP, which lets the client go when the
// server forgets it, in `seconds`: a member without pending change.
void blocked(SteeringDomain& d, const std::string& ap, int id, int seconds = 30)
{
    rrm::RadioBlacklist& list = d.radio(ap, id).block_list;
    list.block(M, seconds);
    list.changes_sent(seconds);
    list.changes.clear();
}

struct Case {
    const char* name;
    std::function<void(SteeringDomain&, DomainConfig&)> setup;
    std::function<void(SteeringDomain&, const DomainConfig&)> act;
    std::map<std::string, std::string> expected;
};

void run(const Case& c)
{
    SCOPED_TRACE(c.name);
    SteeringDomain d;
    build(d);
    DomainConfig settings = d.worker->config;
    if (c.setup)
        c.setup(d, settings);
    c.act(d, settings);
    EXPECT_EQ(snapshot(d), c.expected);
}

// update_blacklists from the AP and radio given.
std::function<void(SteeringDomain&, const DomainConfig&)> update(const std::string& ap, int radio,
                                                                  bool block,
                                                                  const char* ssid = "corp")
{
    return [=](SteeringDomain& d, const DomainConfig& settings) {
        rrm::BlacklistSubworker::update_blacklists(M, d.ap(ap), settings, d.worker->aps, ssid,
                                                   radio, block);
    };
}

TEST(BlacklistSteering, BlockAndUnblock)
{
    const std::string block = "member 30, block";
    const Case cases[] = {
        {"a client held on A's 5 GHz radio is blocked on A's 2.4 GHz radio and on every "
         "serving radio of the APs that hear A",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 1));
             d.hears(D, radio_mac(A, 0));
         },
         update(A, 1, true), {{"A0", block}, {"B0", block}, {"B1", block}}},
        {"a client on A's 2.4 GHz radio: A's other radios are 5 and 6 GHz and stay open",
         [](SteeringDomain& d, DomainConfig&) { d.hears(B, radio_mac(A, 1)); },
         update(A, 0, true), {{"B0", block}, {"B1", block}}},
        {"no radio given: every serving radio of A, whatever its band",
         [](SteeringDomain& d, DomainConfig&) { d.hears(B, radio_mac(A, 1)); },
         update(A, rrm::BlacklistSubworker::NO_RADIO, true),
         {{"A0", block}, {"A1", block}, {"A2", block}, {"B0", block}, {"B1", block}}},
        {"load balancing off", [](SteeringDomain& d, DomainConfig& s) {
             d.hears(B, radio_mac(A, 1));
             s.use_balance = false;
         },
         update(A, 1, true), {}},
        {"no SSID", [](SteeringDomain& d, DomainConfig&) { d.hears(B, radio_mac(A, 1)); },
         update(A, 1, true, ""), {}},
        {"an SSID nobody serves",
         [](SteeringDomain& d, DomainConfig&) { d.hears(B, radio_mac(A, 1)); },
         update(A, 1, true, "other"), {}},
        {"the radio the client is associated with is never blocked",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 1));
             associate(d, B, 1);
         },
         update(A, 1, true), {{"A0", block}, {"B0", block}, {"B1", "associated"}}},
        {"a client blocked this very second (its AP holds it the full 30 s) only gets its time "
         "again, nothing is queued",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 1));
             blocked(d, B, 0);
         },
         update(A, 1, true), {{"A0", block}, {"B0", "member 30"}, {"B1", block}}},
        {"a client whose block its AP lifts in 7 s is blocked again for the full 30 s",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 1));
             blocked(d, B, 0, 7);
         },
         update(A, 1, true), {{"A0", block}, {"B0", block}, {"B1", block}}},
        {"release: unblock queued where the client was blocked",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 1));
             blocked(d, A, 0);
             blocked(d, B, 0);
             blocked(d, B, 1);
         },
         update(A, 1, false), {{"A0", "unblock"}, {"B0", "unblock"}, {"B1", "unblock"}}},
        {"release of a client blocked nowhere queues nothing",
         [](SteeringDomain& d, DomainConfig&) { d.hears(B, radio_mac(A, 1)); },
         update(A, 1, false), {}},
        {"release of a client whose disassociation was not sent yet: both dropped, nothing "
         "queued",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 1));
             d.radio(B, 0).block_list.block_disassoc(M, 30, "corp");
         },
         update(A, 1, false), {}},
        {"a radio locked for the balancer, one without the SSID and a disabled one are never "
         "touched",
         [](SteeringDomain& d, DomainConfig&) {
             for (int id = 0; id < 3; ++id)
                 d.hears(D, radio_mac(A, id));
         },
         update(A, 1, true), {{"A0", block}}},
        {"an AP that heard A's radio with the local bit flipped hears A",
         [](SteeringDomain& d, DomainConfig&) { d.hears(C, "00:00:00:00:01:10"); },
         update(A, 1, true), {{"A0", block}, {"C0", block}, {"C1", block}}},
        {"hearing any radio of A is enough",
         [](SteeringDomain& d, DomainConfig&) { d.hears(C, radio_mac(A, 2)); },
         update(A, 1, true), {{"A0", block}, {"C0", block}, {"C1", block}}},
        {"use_all_ap_balance: every other AP counts, heard or not",
         [](SteeringDomain&, DomainConfig& s) { s.use_all_ap_balance = true; },
         update(A, 1, true),
         {{"A0", block}, {"B0", block}, {"B1", block}, {"C0", block}, {"C1", block}}},
        {"a reporting AP that is not in the active map is left alone; the active APs that hear "
         "it get the entries",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 1));
             d.park_unanswered(A);
         },
         update(A, 1, true), {{"B0", block}, {"B1", block}}},
    };
    for (const Case& c : cases)
        run(c);
}

TEST(BlacklistSteering, BlockOrUnblockBySignal)
{
    const std::string block = "member 30, block";
    auto by_rssi = [](int rssi) {
        return [rssi](SteeringDomain& d, const DomainConfig&) {
            d.blacklist().update_blacklists_by_rssi(M, rssi, d.ap(A), "corp", 1);
        };
    };
    auto held = [](SteeringDomain& d, DomainConfig&) {
        d.hears(B, radio_mac(A, 1));
        blocked(d, A, 0);
        blocked(d, B, 0);
    };
    const Case cases[] = {
        {"above blacklist_thr_high: held", held, by_rssi(-50),
         {{"A0", "member 30"}, {"B0", "member 30"}, {"B1", block}}},
        // -65 is not above -65.
        {"at blacklist_thr_high: released", held, by_rssi(-65),
         {{"A0", "unblock"}, {"B0", "unblock"}}},
        {"not reported: released", held, by_rssi(0), {{"A0", "unblock"}, {"B0", "unblock"}}},
        {"load balancing off: nothing",
         [&](SteeringDomain& d, DomainConfig& s) {
             held(d, s);
             s.use_balance = false;
         },
         [](SteeringDomain& d, const DomainConfig& s) {
             rrm::BlacklistSubworker::update_blacklists_by_rssi(M, -50, d.ap(A), s,
                                                                d.worker->aps, "corp", 1);
         },
         {{"A0", "member 30"}, {"B0", "member 30"}}},
    };
    for (const Case& c : cases)
        run(c);
}

TEST(BlacklistSteering, DisassociateElsewhere)
{
    auto disassociate = [](SteeringDomain& d, const DomainConfig& s) {
        rrm::BlacklistSubworker::disassociate_elsewhere(M, d.ap(A), s, d.worker->aps, "corp");
    };
    const std::string pushed = "member 30, disassoc corp";
    const Case cases[] = {
        {"pushed off both radios of an AP that hears A; A itself and an AP that does not hear "
         "it keep the client",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 0));
             associate(d, A, 1);
             associate(d, B, 0);
             associate(d, B, 1);
             associate(d, C, 0);
         },
         disassociate,
         {{"A1", "associated"}, {"B0", pushed}, {"B1", pushed}, {"C0", "associated"}}},
        {"use_all_ap_balance: off every other AP",
         [](SteeringDomain& d, DomainConfig& s) {
             s.use_all_ap_balance = true;
             associate(d, C, 0);
         },
         disassociate, {{"C0", pushed}}},
        {"a radio locked for the balancer keeps the client",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(D, radio_mac(A, 0));
             associate(d, D, 0);
         },
         disassociate, {{"D0", "associated"}}},
        {"a client blocked there already: no second disassociation; its time restarts past "
         "the 4 s its AP still holds it, so the block goes again",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 0));
             blocked(d, B, 0, 4);
             associate(d, B, 0);
         },
         disassociate, {{"B0", "member 30, block"}}},
        {"a client its AP holds the full time: only its time restarts",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 0));
             blocked(d, B, 0);
             associate(d, B, 0);
         },
         disassociate, {{"B0", "member 30"}}},
        {"load balancing off: nothing",
         [](SteeringDomain& d, DomainConfig& s) {
             d.hears(B, radio_mac(A, 0));
             associate(d, B, 0);
             s.use_balance = false;
         },
         disassociate, {{"B0", "associated"}}},
        {"the destination is not in the active map: the APs that hear it still let go",
         [](SteeringDomain& d, DomainConfig&) {
             d.hears(B, radio_mac(A, 0));
             associate(d, B, 0);
             d.park_unanswered(A);
         },
         disassociate, {{"B0", pushed}}},
    };
    for (const Case& c : cases)
        run(c);
}

}  // namespace
