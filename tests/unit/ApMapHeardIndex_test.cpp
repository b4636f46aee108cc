// The BSSID under which a map's other APs hear a radio, found through the
// map's index of who hears what: it must follow every change of the APs'
// scan views and of the map's membership, and answer what a walk over all
// APs of the map answers.

#include "ApMap.h"

#include "DomainConfig.h"
#include "JsonReader.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using rrm::ApEntry;
using rrm::ApMap;
using rrm::mac_from_string;
using rrm::MacAddress;
using rrm::Neighbour;

bool mac_less(const MacAddress& a, const MacAddress& b)
{
    return std::memcmp(a.octets, b.octets, 6) < 0;
}

// The rule written out: the APs of the map in ascending MAC order, other
// than the AP itself; the first one with a visible member that the map's
// index gives to that radio of that AP answers, with its lowest such
// member; nobody: the radio's own MAC.
MacAddress walk_heard_as(const ApMap& map, const ApEntry& ap, int radio_id)
{
    std::vector<MacAddress> keys;
    for (const auto& entry : map.table)
        keys.push_back(entry.first);
    std::sort(keys.begin(), keys.end(), mac_less);
    for (const MacAddress& key : keys) {
        const ApEntry& hearer = *map.table.at(key);
        if (hearer.base_mac == ap.base_mac)
            continue;
        std::vector<MacAddress> heard;
        for (const auto& record : hearer.visible_members.table)
            heard.push_back(record.first);
        std::sort(heard.begin(), heard.end(), mac_less);
        for (const MacAddress& bssid : heard) {
            auto owner = map.index.find_ap(bssid);
            if (owner && owner->base_mac == ap.base_mac &&
                map.index.find_radio_id(bssid) == radio_id)
                return bssid;
        }
    }
    return ap.get_radio_mac(radio_id);
}

// Every BSSID of every AP the map holds is in its heard index once per
// hearer, and nothing else is.
void expect_heard_index_exact(const ApMap& map)
{
    std::size_t pairs = 0;
    for (const auto& entry : map.table) {
        for (const auto& record : entry.second->visible_members.table) {
            ++pairs;
            const auto* hearers = map.heard.hearers_of(record.first);
            ASSERT_NE(hearers, nullptr);
            EXPECT_EQ(1, std::count_if(hearers->begin(), hearers->end(), [&](const auto& h) {
                          return h.key == entry.first && h.base_mac == entry.second->base_mac;
                      }));
        }
    }
    EXPECT_EQ(pairs, map.heard.pair_count());
}

class HeardIndex : public ::testing::Test {
protected:
    std::shared_ptr<ApEntry> make_ap(const std::string& base)
    {
        auto ap = std::make_shared<ApEntry>(&config, mac_from_string(base.c_str()), rrm::null_session);
        // Radios 0 and 1 enabled, two VAPs each at the radio MAC and the
        // next address (default radio MACs: base + 16 x id).
        for (int id = 0; id < 2; ++id) {
            rrm::Radio& radio = ap->radios.radios[static_cast<size_t>(id)];
            radio.status = true;
            radio.band = id == 0 ? rrm::BAND_2G : rrm::BAND_5G;
            radio.channel = id == 0 ? 6 : 36;
            MacAddress second = radio.mac;
            second.octets[5] = static_cast<uint8_t>(second.octets[5] + 1);
            radio.vaps.set("a", rrm::Vap(0, "a", radio.mac, true, true, false));
            radio.vaps.set("b", rrm::Vap(1, "b", second, true, true, false));
        }
        return ap;
    }
    void hear(ApEntry& ap, const MacAddress& bssid)
    {
        ap.visible_members.insert(bssid, Neighbour(-60, 6, 2, 20, 20, 256));
    }

    rrm::DomainConfig config;
    testsupport::LogCapture log;
};

TEST_F(HeardIndex, FollowsScanViewsAndMembership)
{
    ApMap map;
    auto x = make_ap("00:00:00:00:01:00");
    auto early = make_ap("00:00:00:00:00:10");
    auto late = make_ap("00:00:00:00:09:00");
    for (const auto& ap : {x, early, late})
        map.insert(ap->base_mac, ap);
    const MacAddress radio1 = x->radios.radios[1].mac;  // 00:00:00:00:01:10
    const MacAddress vap1 = mac_from_string("00:00:00:00:01:11");
    const MacAddress vap1_flipped = mac_from_string("02:00:00:00:01:11");

    // Nobody hears it: its own MAC.
    EXPECT_EQ(radio1, map.get_visible_radio_mac(*x, 1, nullptr));

    // Heard after the AP entered the map: the index learns it anyway.
    hear(*late, vap1);
    EXPECT_EQ(vap1, map.get_visible_radio_mac(*x, 1, nullptr));
    // A hearer lower in MAC order answers first, with its lowest BSSID: the
    // flipped form of a VAP MAC names the same radio.
    hear(*early, vap1_flipped);
    hear(*early, radio1);
    EXPECT_EQ(radio1, map.get_visible_radio_mac(*x, 1, nullptr));
    // X hearing itself counts for nothing.
    hear(*x, mac_from_string("00:00:00:00:01:10"));
    EXPECT_EQ(radio1, map.get_visible_radio_mac(*x, 1, nullptr));

    // The early hearer's scan view emptied: the late one answers again.
    early->visible_members.clear();
    EXPECT_EQ(vap1, map.get_visible_radio_mac(*x, 1, nullptr));
    // A scan report replaces the late one's view.
    map.update_rf_environment(
        *late, rrm::JsonReader(R"([[{"bssid":"02:00:00:00:01:10","channel":36,"band":5}]])"));
    EXPECT_EQ(mac_from_string("02:00:00:00:01:10"), map.get_visible_radio_mac(*x, 1, nullptr));
    expect_heard_index_exact(map);

    // The hearer leaves the map: nobody hears the radio any more; its view,
    // changed while it is elsewhere, does not reach this map.
    ApMap other;
    map.move_all_from(other);  // nothing to take
    EXPECT_TRUE(map.erase(late->base_mac));
    EXPECT_EQ(radio1, map.get_visible_radio_mac(*x, 1, nullptr));
    hear(*late, radio1);
    other.insert(late->base_mac, late);
    EXPECT_EQ(radio1, map.get_visible_radio_mac(*x, 1, nullptr));
    expect_heard_index_exact(map);
    expect_heard_index_exact(other);

    // Back in the map: heard again.
    map.move_all_from(other);
    EXPECT_EQ(radio1, map.get_visible_radio_mac(*x, 1, nullptr));
    late->visible_members.clear();
    hear(*late, vap1_flipped);
    EXPECT_EQ(vap1_flipped, map.get_visible_radio_mac(*x, 1, nullptr));

    // Radio 1's VAP moves to another MAC (re-indexed): the old BSSID no
    // longer names the radio.
    rrm::Vap moved = *x->radios.radios[1].vaps.find("b");
    moved.mac = mac_from_string("00:00:00:00:01:1e");
    x->radios.radios[1].vaps.set("b", moved);
    map.reindex_ap(x);
    EXPECT_EQ(radio1, map.get_visible_radio_mac(*x, 1, nullptr));

    // A copy has its own index, which follows the copies' views.
    auto snapshot = map.copy();
    expect_heard_index_exact(*snapshot);
    ApEntry& late_copy = *snapshot->table.at(late->base_mac);
    late_copy.visible_members.clear();
    hear(late_copy, mac_from_string("02:00:00:00:01:10"));
    EXPECT_EQ(mac_from_string("02:00:00:00:01:10"), snapshot->get_visible_radio_mac(*x, 1, nullptr));
    EXPECT_EQ(radio1, map.get_visible_radio_mac(*x, 1, nullptr));
    expect_heard_index_exact(map);
}

TEST_F(HeardIndex, AnswersWhatTheWalkAnswersThroughRandomChanges)
{
    // A small domain, changed at random for a few thousand steps: every AP's
    // radios are looked up in both maps after each step.
    std::vector<std::shared_ptr<ApEntry>> pool;
    for (int i = 1; i <= 8; ++i) {
        char base[32];
        std::snprintf(base, sizeof base, "%02X:00:00:00:%02X:00", i % 3 == 0 ? 2 : 0, i);
        pool.push_back(make_ap(base));
    }
    // What the APs may hear: every radio and VAP MAC in both forms of the
    // local bit, and strangers.
    std::vector<MacAddress> universe;
    for (const auto& ap : pool) {
        for (const rrm::Radio& radio : ap->radios.radios) {
            universe.push_back(radio.mac);
            universe.push_back(rrm::mac_flip_local_bit(radio.mac));
            for (const auto& vap : radio.vaps) {
                universe.push_back(vap.second.mac);
                universe.push_back(rrm::mac_flip_local_bit(vap.second.mac));
            }
        }
    }
    universe.push_back(mac_from_string("00:AA:00:00:00:01"));
    universe.push_back(mac_from_string("00:AA:00:00:00:02"));

    ApMap active;
    ApMap deleted;
    std::mt19937 random(20261210);
    auto pick = [&](std::size_t n) {
        return static_cast<std::size_t>(std::uniform_int_distribution<std::size_t>(0, n - 1)(random));
    };
    auto check = [&] {
        for (const ApMap* map : {&active, &deleted}) {
            for (const auto& ap : pool) {
                const std::vector<MacAddress> all = map->get_visible_radio_macs(*ap);
                for (int id = 0; id < 3; ++id) {
                    const MacAddress expected = walk_heard_as(*map, *ap, id);
                    ASSERT_EQ(expected, map->get_visible_radio_mac(*ap, id, nullptr));
                    ASSERT_EQ(expected, all[static_cast<std::size_t>(id)]);
                }
            }
            expect_heard_index_exact(*map);
        }
    };

    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        auto& ap = pool[pick(pool.size())];
        switch (pick(9)) {
        case 0:
        case 1:
            (pick(2) ? active : deleted).insert(ap->base_mac, ap);
            break;
        case 2:
            (pick(2) ? active : deleted).erase(ap->base_mac);
            break;
        case 3:
            ap->ttl = static_cast<int32_t>(pick(3));
            deleted.age();
            break;
        case 4:
            (pick(2) ? active : deleted).move_all_from(pick(2) ? active : deleted);
            break;
        case 5:
        case 6:
            hear(*ap, universe[pick(universe.size())]);
            break;
        case 7:
            ap->visible_members.clear();
            break;
        case 8: {
            // Several scans merged: the view is replaced whole.
            std::string scans = "[";
            for (int s = 0; s < 2; ++s) {
                scans += s ? ",[" : "[";
                for (int e = 0; e < 3; ++e)
                    scans += std::string(e ? "," : "") + "{\"bssid\":\"" +
                             rrm::mac_to_string(universe[pick(universe.size())]) +
                             "\",\"channel\":6,\"band\":2}";
                scans += "]";
            }
            (pick(2) ? active : deleted).update_rf_environment(*ap, rrm::JsonReader((scans + "]").c_str()));
            break;
        }
        }
        check();
        if (HasFatalFailure())
            return;
    }
}

}  // namespace
