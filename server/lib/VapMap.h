#pragma once
// The VAPs of one radio, by SSID, with the 802.11r data each carries.

#include "MacAddress.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace rrm {

// One remote key holder of a VAP.
struct FbtLink {
    std::string remote_r0_kh_id;
    std::string remote_r1_kh_id;
    std::string remote_r1_kh_key;
};

// The 802.11r mobility domain of an SSID: the SSID's bits, first byte and
// most significant bit first, reduced modulo x^16 + x^15 + x^2 + 1 from a
// zero register, without augmentation, inversion or reflection.
uint16_t mobility_domain(const std::string& ssid);

class Vap {
public:
    int32_t vap_id = 0;
    MacAddress mac;
    std::string ssid;
    bool use_802dot11k = false;
    bool use_802dot11r = false;
    bool use_802dot11v = false;
    std::string fbt_r0_keyholder;
    std::string fbt_r1_keyholder;
    std::string fbt_rrb_key;
    std::vector<FbtLink> fbt_links;  // in the order they were added

    Vap() = default;
    Vap(int32_t vap_id, const std::string& ssid, const MacAddress& mac, bool use_802dot11k,
        bool use_802dot11r, bool use_802dot11v);

    uint16_t get_mobility_domain() const { return mobility_domain(ssid); }

    // What an AP's configuration is about: id and 802.11 flags. The MAC and
    // the fast-transition data are not compared.
    bool operator==(const Vap& other) const;
    bool operator!=(const Vap& other) const { return !(*this == other); }
};

class VapMap {
public:
    using Table = std::unordered_map<std::string, Vap>;

    Table table;

    Vap* find(const std::string& ssid);
    const Vap* find(const std::string& ssid) const;

    bool has_80211k_ssid(const std::string& ssid) const;
    bool has_80211k() const;
    bool has_80211r() const;
    bool has_80211v() const;

    // Same SSIDs, each with an equal VAP.
    bool operator==(const VapMap& other) const;
    bool operator!=(const VapMap& other) const { return !(*this == other); }

    void clear() { table.clear(); }
    void set(const std::string& ssid, const Vap& vap);
    void dump() const;

    std::size_t size() const { return table.size(); }
    bool empty() const { return table.empty(); }
    Table::iterator begin() { return table.begin(); }
    Table::iterator end() { return table.end(); }
    Table::const_iterator begin() const { return table.begin(); }
    Table::const_iterator end() const { return table.end(); }
};

}  // namespace rrm
