#pragma once
// The pending probe rounds of a domain's probe balancer: per client, the
// radios asked to listen for it that have not answered yet, the radios that
// heard it well (with the signal they heard), the SSID of its association,
// the radio it was on when the round started, and the seconds left.
//
// A plain table: no timer, no lock. The balancer's one-second tick counts
// the rounds down and ends them; everything runs on the domain worker's
// thread. Radio MACs are the radio records' own MACs on both sides (the
// asking side registers the MAC of the radio it asked, the answering side
// uses the MAC of the radio that answered), so they match.

#include "MacAddress.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace rrm {

class RrmProblistEntry {
public:
    RrmProblistEntry(int32_t countdown, std::string_view ssid, const MacAddress& src_mac);

    // Radios that answered with a usable signal, each with the signal it
    // heard; a later answer of a radio replaces its earlier one.
    std::unordered_map<MacAddress, int32_t, MacHash> results;
    // Radios asked to listen that have not answered yet.
    std::unordered_set<MacAddress, MacHash> awaited;
    // Answers for another SSID (compared byte for byte) do not count.
    std::string ssid;
    // The radio the client was associated with when the round started.
    MacAddress src_mac;
    // Seconds left.
    int32_t countdown;

    bool all_answered() const { return awaited.empty(); }
    const MacAddress& get_src_mac() const { return src_mac; }
    const std::string& get_ssid() const { return ssid; }

    void expect_ap(const MacAddress& radio_mac);
    // Nothing for an empty SSID or another SSID than the round's.
    void put_result(const MacAddress& radio_mac, int32_t rssi, std::string_view answer_ssid);
    void mark_answered(const MacAddress& radio_mac, std::string_view answer_ssid);

private:
    bool same_ssid(std::string_view answer_ssid) const
    {
        return !answer_ssid.empty() && answer_ssid == ssid;
    }
};

class RrmProblist {
public:
    using Table = std::unordered_map<MacAddress, RrmProblistEntry, MacHash>;

    RrmProblist() = default;

    // Starts a round, replacing any round pending for the client (with its
    // answers). An empty SSID starts nothing.
    void add(const MacAddress& client, const MacAddress& src_mac, int32_t countdown,
             std::string_view ssid);
    void remove(const MacAddress& client);
    // The per-round operations for the client's round; a client without a
    // round: nothing.
    void expect_ap(const MacAddress& client, const MacAddress& radio_mac);
    void put_result(const MacAddress& client, const MacAddress& radio_mac, int32_t rssi,
                    std::string_view ssid);
    void mark_answered(const MacAddress& client, const MacAddress& radio_mac,
                       std::string_view ssid);

    // The client's round, or null.
    RrmProblistEntry* find(const MacAddress& client);
    const RrmProblistEntry* find(const MacAddress& client) const;

    std::size_t size() const { return table.size(); }
    bool empty() const { return table.empty(); }

    // Walked by the balancer's tick.
    Table table;
};

// Debug "RrmProblist: drop - <client>" for a round that ends.
void log_problist_drop(const MacAddress& client);

}  // namespace rrm
