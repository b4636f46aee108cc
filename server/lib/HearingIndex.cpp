#include "HearingIndex.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "Radio.h"

#include <algorithm>

namespace rrm {

namespace {

// Both forms of a BSSID (the local bit set or not) under one key.
MacAddress heard_key(const MacAddress& mac)
{
    MacAddress key = mac;
    key.octets[0] &= static_cast<uint8_t>(~MAC_LOCAL_BIT);
    return key;
}

}  // namespace

bool HearingIndex::current(const ApMap& map) const
{
    if (built_for != &map || seen.size() != map.table.size())
        return false;
    std::size_t i = 0;
    for (const auto& entry : map.table) {
        const Seen& s = seen[i++];
        const ApEntry* ap = entry.second.get();
        if (s.ap != ap || s.version != ap->visible_members.version ||
            s.size != ap->visible_members.size())
            return false;
    }
    return true;
}

void HearingIndex::build(const ApMap& map)
{
    ++build_count;
    built_for = &map;
    seen.clear();
    order.clear();
    keys.clear();
    by_bssid.clear();
    uint32_t position = 0;
    for (const auto& entry : map.table) {
        ApEntry* ap = entry.second.get();
        seen.push_back({ap, ap->visible_members.version, ap->visible_members.size()});
        order.push_back(ap);
        keys.push_back(entry.first);
        for (const auto& record : ap->visible_members.table) {
            std::vector<uint32_t>& list = by_bssid[heard_key(record.first)];
            // Both forms of one BSSID heard by the same AP count once.
            if (list.empty() || list.back() != position)
                list.push_back(position);
        }
        ++position;
    }
}

const std::vector<ApEntry*>& HearingIndex::hearers(const ApMap& map, const ApEntry& ap)
{
    if (!current(map))
        build(map);
    positions.clear();
    for (const Radio& radio : ap.radios.radios) {
        auto it = by_bssid.find(heard_key(radio.mac));
        if (it != by_bssid.end())
            positions.insert(positions.end(), it->second.begin(), it->second.end());
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    result.clear();
    for (uint32_t p : positions)
        if (keys[p] != ap.base_mac)
            result.push_back(order[p]);
    return result;
}

}  // namespace rrm
