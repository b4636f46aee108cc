#pragma once
// Client steering test support:
// - steering_ap: an AP description whose radios serve SSIDs open to the
//   load balancer (an AP that omits "locked-for-balancer" locks its radios);
// - the steering messages an AP sends, built from its description;
// - the texts the server sends for steering, written from the protocol's
//   field order (for expected values in tables);
// - SteeringDomain: a domain worker driven by hand (no thread, no network)
//   holding such APs, with the steering ticks fired by the test.

#include "ApEntry.h"
#include "ApMap.h"
#include "ApSimulator.h"
#include "BlacklistSubworker.h"
#include "DomainFixture.h"
#include "LoadBalancerSubworker.h"
#include "MacAddress.h"
#include "Neighbour.h"
#include "Radio.h"
#include "RrmWorker.h"

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// Radio i of the AP on the i-th band of `bands` (2: channel 6, 5: channel
// 36, 6: channel 37; 20 MHz), each with one VAP per SSID, all open to the
// balancer.
inline ApSpec steering_ap(const std::string& mac, const std::string& domain,
                          const std::vector<int>& bands = {2, 5},
                          const std::vector<std::string>& ssids = {"corp"})
{
    ApSpec spec;
    spec.mac = mac;
    spec.domain = domain;
    spec.serial = "SN-" + mac;
    for (size_t r = 0; r < bands.size(); ++r) {
        SimRadio radio;
        radio.id = static_cast<int>(r);
        radio.band = bands[r];
        radio.channel = bands[r] == 2 ? 6 : bands[r] == 5 ? 36 : 37;
        radio.locked_balancer = 0;
        radio.locked_80211v = 0;
        for (size_t v = 0; v < ssids.size(); ++v) {
            SimVap vap;
            vap.id = static_cast<int>(v);
            vap.ssid = ssids[v];
            radio.vaps.push_back(vap);
        }
        spec.radios.push_back(radio);
    }
    return spec;
}

// The MAC of radio `id` of an AP that sends no MAC offsets: its base MAC
// plus 16 per radio id.
inline std::string radio_mac(const std::string& ap_mac, int id)
{
    return rrm::mac_to_string(rrm::mac_with_offset(rrm::mac_from_string(ap_mac.c_str()), id * 16));
}
inline std::string radio_mac(const ApSpec& ap, int id) { return radio_mac(ap.mac, id); }

inline std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// ---- What an AP sends ----

inline std::string client_assoc(const ApSpec& ap, int radio, int rssi, const std::string& sta,
                                const std::string& ssid, int no_balance = 0, int need_ack = 0)
{
    return ap.message("rrm-client-assoc", ",\"radio\":" + std::to_string(radio) +
                                              ",\"rssi\":" + std::to_string(rssi) +
                                              ",\"sta-mac\":" + quoted(sta) +
                                              ",\"ssid\":" + quoted(ssid) +
                                              ",\"no-balance\":" + std::to_string(no_balance) +
                                              ",\"need-ack\":" + std::to_string(need_ack));
}

inline std::string client_disassoc(const ApSpec& ap, int radio, const std::string& sta,
                                   const std::string& ssid)
{
    return ap.message("rrm-client-disassoc", ",\"radio\":" + std::to_string(radio) +
                                                 ",\"sta-mac\":" + quoted(sta) +
                                                 ",\"ssid\":" + quoted(ssid));
}

// Without rssi the member is not sent.
inline std::string assoc_state_changed(const ApSpec& ap, int radio, std::optional<int> rssi,
                                       const std::string& sta, const std::string& ssid,
                                       const std::string& state = "")
{
    std::string members = ",\"sta-mac\":" + quoted(sta) + ",\"ssid\":" + quoted(ssid);
    if (!state.empty())
        members += ",\"state\":" + quoted(state);
    if (rssi)
        members += ",\"rssi\":" + std::to_string(*rssi);
    members += ",\"radio\":" + std::to_string(radio);
    return ap.message("rrm-assoc-state-changed", members);
}

inline std::string disassoc_all_clients(const ApSpec& ap)
{
    return ap.message("rrm-disassoc-all-clients");
}

// One heard client of an "rrm-probe-response".
struct Heard {
    int radio;
    std::string sta;
    std::string ssid;
    int rssi;
};

// Entries of one radio are grouped under it, radios in order of first
// appearance.
inline std::string probe_response(const ApSpec& ap, const std::vector<Heard>& heard)
{
    std::vector<int> order;
    std::map<int, std::string> lists;
    for (const Heard& h : heard) {
        std::string& list = lists[h.radio];
        if (list.empty())
            order.push_back(h.radio);
        else
            list += ',';
        list += "{\"mac\":" + quoted(h.sta) + ",\"ssid\":" + quoted(h.ssid) +
                ",\"rssi\":" + std::to_string(h.rssi) + "}";
    }
    std::string radios;
    for (int id : order) {
        if (!radios.empty())
            radios += ',';
        radios += "{\"id\":" + std::to_string(id) + ",\"probe-list\":[" + lists[id] + "]}";
    }
    return ap.message("rrm-probe-response", ",\"radios\":[" + radios + "]");
}

// ---- What the server sends, field by field as the protocol orders them ----

inline std::string probe_request(const std::string& ap_mac, const std::string& domain,
                                 const std::vector<int>& radios, const std::string& sta,
                                 const std::string& ssid)
{
    std::string list;
    for (int id : radios) {
        if (!list.empty())
            list += ',';
        list += "{\"id\":" + std::to_string(id) + ",\"probe-list\":[{\"ssid\":" + quoted(ssid) +
                ",\"mac\":" + quoted(sta) + ",\"timeout\":0}]}";
    }
    return "{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":\"rrm-probe-request\",\"ap-mac\":" +
           quoted(ap_mac) + ",\"domain\":" + quoted(domain) + ",\"radios\":[" + list + "]}";
}

inline std::string assoc_ack(const std::string& ap_mac, const std::string& domain,
                             const std::string& sta, int radio, const std::string& ssid)
{
    return "{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":\"rrm-client-assoc-ack\",\"domain\":" +
           quoted(domain) + ",\"ap-mac\":" + quoted(ap_mac) + ",\"sta-mac\":" + quoted(sta) +
           ",\"radio\":" + std::to_string(radio) + ",\"ssid\":" + quoted(ssid) + "}";
}

// One block-list change: action "block" carries the timeout.
struct Change {
    std::string sta;
    std::string action;
    int timeout = 0;
};

inline std::string blacklist(const std::string& ap_mac, const std::string& domain,
                             const std::vector<std::pair<int, std::vector<Change>>>& radios)
{
    std::string list;
    for (const auto& radio : radios) {
        if (!list.empty())
            list += ',';
        std::string entries;
        for (const Change& c : radio.second) {
            if (!entries.empty())
                entries += ',';
            entries += "{\"mac\":" + quoted(c.sta) + ",\"action\":" + quoted(c.action);
            if (c.action == "block")
                entries += ",\"timeout\":" + std::to_string(c.timeout);
            entries += "}";
        }
        list += "{\"id\":" + std::to_string(radio.first) + ",\"blacklist\":[" + entries + "]}";
    }
    return "{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":\"rrm-blacklist\",\"radios\":[" +
           list + "],\"ap-mac\":" + quoted(ap_mac) + ",\"domain\":" + quoted(domain) + "}";
}

// One pending disassociation.
struct Disassoc {
    std::string sta;
    std::string ssid;
    int timeout;
};

inline std::string disassoc_request(
    const std::string& ap_mac, const std::string& domain,
    const std::vector<std::pair<int, std::vector<Disassoc>>>& radios)
{
    std::string list;
    for (const auto& radio : radios) {
        if (!list.empty())
            list += ',';
        std::string entries;
        for (const Disassoc& d : radio.second) {
            if (!entries.empty())
                entries += ',';
            entries += "{\"mac\":" + quoted(d.sta) + ",\"ssid\":" + quoted(d.ssid) +
                       ",\"timeout\":" + std::to_string(d.timeout) + "}";
        }
        list += "{\"id\":" + std::to_string(radio.first) + ",\"diassoc-list\":[" + entries + "]}";
    }
    return "{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":\"rrm-disassoc-request\",\"ap-mac\":" +
           quoted(ap_mac) + ",\"domain\":" + quoted(domain) + ",\"radios\":[" + list + "]}";
}

// ---- A domain driven by hand ----

class SteeringDomain : public DomainFixture {
public:
    explicit SteeringDomain(const rrm::DomainConfig& settings = rrm::DomainConfig())
        : DomainFixture(settings, "d")
    {
    }

    // Subscribes the AP on a session of its own (ids from 1 in order).
    ApSpec add(ApSpec spec)
    {
        spec.domain = "d";
        const uint32_t id = static_cast<uint32_t>(specs.size() + 1);
        specs.push_back(spec);
        sessions[spec.mac] = id;
        from_ap(spec.subscribe_request(), id);
        if (!find(worker->aps, spec.mac))
            throw std::runtime_error("AP did not subscribe: " + spec.mac);
        return specs.back();
    }
    uint32_t session_of(const std::string& mac) const { return sessions.at(mac); }
    // A message of that AP on its session.
    void send(const ApSpec& from, const std::string& text) { from_ap(text, session_of(from.mac)); }

    // `listener` heard the BSSID in its scans (any map the AP is in).
    void hears(const std::string& listener, const std::string& bssid)
    {
        ap(listener).visible_members.insert(rrm::mac_from_string(bssid.c_str()),
                                            rrm::Neighbour(-60, 36, 5, 20, 17, 0));
    }
    // Every AP of the list hears every radio of every other.
    void all_hear(const std::vector<std::string>& macs)
    {
        for (const auto& listener : macs)
            for (const auto& heard : macs)
                if (listener != heard)
                    for (int id = 0; id < 3; ++id)
                        hears(listener, radio_mac(heard, id));
    }

    // The AP wherever it is held.
    rrm::ApEntry& ap(const std::string& mac)
    {
        for (rrm::ApMap* map : {&worker->aps, &worker->unanswered_aps, &worker->aps_to_delete})
            if (auto found = find(*map, mac))
                return *found;
        throw std::out_of_range("no AP " + mac);
    }
    rrm::Radio& radio(const std::string& mac, int id) { return ap(mac).radios.radios.at(id); }
    // The AP leaves the active map for the unanswered one, as an AP that
    // did not answer a planning step.
    void park_unanswered(const std::string& mac)
    {
        auto entry = find(worker->aps, mac);
        worker->aps.index.erase_ap(entry);
        worker->aps.table.erase(entry->base_mac);
        worker->unanswered_aps.insert(entry->base_mac, entry);
    }

    rrm::BlacklistSubworker& blacklist() { return *worker->subworkers.get_blacklist(); }
    rrm::LoadBalancerSubworker& balancer() { return *worker->subworkers.get_load_balancer(); }
    rrm::RrmProblist& rounds() { return balancer().get_problist(); }
    void blacklist_tick() { blacklist().process_timer(); }
    // The domain worker's one-second load-balancer tick (expected stations
    // age, then the probe rounds).
    void balancer_tick() { worker->load_balancer_tick(); }
    // Both, in the order the worker's timer pass runs them.
    void second_passes()
    {
        balancer_tick();
        blacklist_tick();
    }

    // Messages sent to APs from now on: mark() then since(mark).
    size_t mark() { return registry->sent().size(); }
    // Texts sent since the mark, to the AP with that MAC (any when empty),
    // with that "cmd" (any when empty).
    std::vector<std::string> since(size_t from, const std::string& ap_mac = "",
                                   const std::string& cmd = "")
    {
        std::vector<std::string> out;
        const auto all = registry->sent();
        for (size_t i = from; i < all.size(); ++i) {
            if (!ap_mac.empty() && all[i].session.id != session_of(ap_mac))
                continue;
            if (!cmd.empty() && cmd_of(all[i].text) != cmd)
                continue;
            out.push_back(all[i].text);
        }
        return out;
    }

    std::vector<ApSpec> specs;
    std::map<std::string, uint32_t> sessions;
};

}  // namespace testsupport
