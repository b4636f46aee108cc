#pragma once
// The 802.11r link planning written out step by step, as literally as the
// rule reads: every link is compared with every VAP of every other AP, R1
// texts are parsed where they are compared, and the VAP operations
// (is_linked, unlink, link, link_broadcast_802dot11r) do the work. Table
// order is ascending MAC order, VAPs ascending SSID, and "the first visible
// member" is the lowest one, as in the server. For comparing the server's
// indexed planning with on generated domains, and as the slow peer of the
// benchmark.

#include "ApEntry.h"
#include "ApMap.h"
#include "ChannelPlan.h"
#include "MacAddress.h"
#include "VapMap.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<rrm::ApEntry*> reference_aps_in_order(rrm::ApMap& aps)
{
    std::vector<rrm::ApEntry*> out;
    for (const auto* entry : aps.sorted())
        out.push_back(entry->second.get());
    return out;
}

inline std::vector<rrm::Vap*> reference_vaps_in_order(rrm::Radio& radio)
{
    std::vector<rrm::Vap*> out;
    for (auto& entry : radio.vaps.table)
        out.push_back(&entry.second);
    std::sort(out.begin(), out.end(),
              [](const rrm::Vap* a, const rrm::Vap* b) { return a->ssid < b->ssid; });
    return out;
}

inline bool reference_has_six(const rrm::ApEntry& ap)
{
    for (const rrm::Radio& radio : ap.radios.radios)
        if (radio.status && radio.get_band() == rrm::BAND_6G)
            return true;
    return false;
}

// The band rule for radio r of a and radio r2 of b.
inline bool reference_band_rule(const rrm::ApEntry& a, const rrm::Radio& r, const rrm::ApEntry& b,
                                const rrm::Radio& r2)
{
    return r.get_band() == r2.get_band() || reference_has_six(a) || reference_has_six(b);
}

// The lowest visible member of a that the index gives to radio radio_id of
// the AP with MAC owner.
inline bool reference_seen_bssid(const rrm::ApMap& aps, const rrm::ApEntry& a,
                                 const rrm::MacAddress& owner, int radio_id, rrm::MacAddress& z)
{
    std::vector<rrm::MacAddress> heard;
    for (const auto& record : a.visible_members.table)
        heard.push_back(record.first);
    std::sort(heard.begin(), heard.end(), [](const rrm::MacAddress& x, const rrm::MacAddress& y) {
        return std::memcmp(x.octets, y.octets, 6) < 0;
    });
    for (const rrm::MacAddress& k : heard) {
        auto ap = aps.index.find_ap(k);
        if (aps.index.find_radio_id(k) == radio_id && ap && ap->base_mac == owner) {
            z = k;
            return true;
        }
    }
    return false;
}

// Some visible member of the hearer that the index gives to the heard AP.
inline bool reference_hears(const rrm::ApMap& aps, const rrm::ApEntry& hearer,
                            const rrm::ApEntry& heard)
{
    for (const auto& record : hearer.visible_members.table) {
        auto ap = aps.index.find_ap(record.first);
        if (ap && ap->base_mac == heard.base_mac)
            return true;
    }
    return false;
}

// Whether b counts as one of "the other APs" when a's links are planned:
// always within the full mesh and for an AP without scan data; past it,
// the APs that hear a or that a hears.
inline bool reference_partner(const rrm::ApMap& aps, const rrm::ApEntry& a, const rrm::ApEntry& b,
                              std::size_t full_mesh_max)
{
    if (aps.size() <= full_mesh_max)
        return true;
    if (a.visible_members.table.empty() && a.visible_rogue.table.empty())
        return true;
    return reference_hears(aps, a, b) || reference_hears(aps, b, a);
}

// Steps 3a to 3e for every AP; returns `changed`. Past full_mesh_max APs
// "every other AP" is taken as reference_partner says.
inline bool reference_plan_fbt_links(rrm::ApMap& aps, bool server_wildcard,
                                     std::size_t full_mesh_max = SIZE_MAX)
{
    using rrm::mac_equal_ignoring_local_bit;
    using rrm::mac_from_string;
    bool changed = false;
    const std::vector<rrm::ApEntry*> order = reference_aps_in_order(aps);
    for (rrm::ApEntry* a : order) {
        for (rrm::Radio& r : a->radios.radios) {
            if (!r.status)
                continue;
            for (rrm::Vap* v : reference_vaps_in_order(r)) {
                if (!v->use_802dot11r)
                    continue;
                // a. broken links
                for (auto it = v->fbt_links.begin(); it != v->fbt_links.end();) {
                    if (server_wildcard && a->use_wildcard_80211r &&
                        it->remote_r1_kh_id() == "ff:ff:ff:ff:ff:ff") {
                        ++it;
                        continue;
                    }
                    bool partner = false;
                    for (rrm::ApEntry* b : order) {
                        if (b->base_mac == a->base_mac ||
                            !reference_partner(aps, *a, *b, full_mesh_max))
                            continue;
                        for (rrm::Radio& r2 : b->radios.radios) {
                            if (!r2.status || !reference_band_rule(*a, r, *b, r2))
                                continue;
                            for (rrm::Vap* v2 : reference_vaps_in_order(r2)) {
                                if (v2->use_802dot11r && v2->ssid == v->ssid &&
                                    mac_equal_ignoring_local_bit(
                                        mac_from_string(v2->fbt_r1_keyholder.c_str()),
                                        mac_from_string(it->remote_r1_kh_id().c_str())) &&
                                    v2->fbt_rrb_key == it->remote_r1_kh_key())
                                    partner = true;
                            }
                        }
                    }
                    if (partner) {
                        ++it;
                    } else {
                        it = v->fbt_links.erase(it);
                        a->fbt_changed = true;
                    }
                }
                // b.
                changed = changed || a->fbt_changed;
                // c. links to the other APs
                for (rrm::ApEntry* b : order) {
                    if (b->base_mac == a->base_mac ||
                        !reference_partner(aps, *a, *b, full_mesh_max))
                        continue;
                    for (rrm::Radio& r2 : b->radios.radios) {
                        if (!r2.status || !reference_band_rule(*a, r, *b, r2))
                            continue;
                        for (rrm::Vap* v2 : reference_vaps_in_order(r2)) {
                            if (!v2->use_802dot11r)
                                continue;
                            if (v2->ssid != v->ssid) {
                                if (v->is_linked(*v2)) {
                                    v->unlink(*v2);
                                    changed = true;
                                    a->fbt_changed = true;
                                }
                                continue;
                            }
                            if (mac_equal_ignoring_local_bit(
                                    mac_from_string(v->fbt_r1_keyholder.c_str()),
                                    mac_from_string(v2->fbt_r1_keyholder.c_str())))
                                continue;
                            if (v->is_linked(*v2))
                                continue;
                            std::string t = v2->fbt_r1_keyholder;
                            rrm::MacAddress z;
                            if (reference_seen_bssid(aps, *a, b->base_mac, static_cast<int>(r2.id), z)) {
                                rrm::MacAddress m = mac_from_string(v2->fbt_r1_keyholder.c_str());
                                if (mac_equal_ignoring_local_bit(m, z) ||
                                    mac_equal_ignoring_local_bit(r2.mac, z))
                                    m.octets[0] = static_cast<uint8_t>((m.octets[0] & ~rrm::MAC_LOCAL_BIT) |
                                                                       (z.octets[0] & rrm::MAC_LOCAL_BIT));
                                t = rrm::mac_to_string(m);
                            }
                            v->link(*v2, t);
                            a->fbt_changed = true;
                            changed = true;
                        }
                    }
                }
                // d. broadcast link
                if (a->use_wildcard_80211r && server_wildcard && v->link_broadcast_802dot11r()) {
                    a->fbt_changed = true;
                    changed = true;
                }
            }
        }
    }
    return changed;
}

}  // namespace testsupport
