#pragma once
// Small builders for AP-model tests: APs with enabled radios and VAPs, and a
// check that an AP map's index names only APs its table holds.

#include "ApEntry.h"
#include "ApMap.h"
#include "DomainConfig.h"
#include "MacAddress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

namespace testsupport {

inline rrm::MacAddress mac(const char* text)
{
    return rrm::mac_from_string(text);
}

inline std::shared_ptr<rrm::ApEntry> make_ap(const rrm::DomainConfig& config, const char* base,
                                             uint32_t session_id = 0,
                                             const rrm::FactorySettings& factory = {})
{
    return std::make_shared<rrm::ApEntry>(&config, mac(base),
                                          BaseSession{nullptr, 0, session_id}, factory);
}

// Enables radio `id` on `channel`; its MAC stays the one derived from the
// AP's base MAC (id x 16 further on).
inline rrm::Radio& enable_radio(rrm::ApEntry& ap, int id, int channel = 36)
{
    rrm::Radio& radio = ap.radios.radios.at(static_cast<std::size_t>(id));
    radio.status = true;
    radio.channel = channel;
    return radio;
}

// A VAP `offset` MACs after its radio's MAC.
inline rrm::Vap& add_vap(rrm::Radio& radio, const std::string& ssid, int offset)
{
    rrm::Vap vap(offset, ssid, rrm::mac_with_offset(radio.mac, offset), false, false, false);
    radio.vaps.set(ssid, vap);
    return *radio.vaps.find(ssid);
}

// Every index entry names an AP held by the map's table, under some key.
inline ::testing::AssertionResult index_within_table(const rrm::ApMap& map)
{
    for (const auto& entry : map.index.table) {
        bool held = false;
        for (const auto& ap : map.table)
            held = held || ap.second == entry.second.ap;
        if (!held)
            return ::testing::AssertionFailure()
                   << "index entry " << rrm::mac_to_string(entry.first) << " names AP "
                   << rrm::mac_to_string(entry.second.ap->base_mac) << " outside the table";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace testsupport
