// The hearing index against the plain question asked of every AP
// (NeighbourMap::contains_radio_of), on a generated domain and after each
// kind of change a domain goes through: its answers must be the same APs in
// the same order, and it must not rebuild when nothing changed.

#include "HearingIndex.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "LogCapture.h"
#include "Neighbour.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using rrm::ApEntry;
using rrm::ApMap;
using rrm::HearingIndex;
using rrm::MacAddress;

MacAddress ap_mac(int i)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:00:00:00:%02X:00", i);
    return rrm::mac_from_string(text);
}

MacAddress radio_mac(int i, int id)
{
    MacAddress mac = ap_mac(i);
    mac.octets[5] = static_cast<uint8_t>(id * 16);
    return mac;
}

const rrm::Neighbour HEARD(-60, 36, 5, 20, 17, 0);

struct Domain {
    rrm::DomainConfig settings;
    ApMap map;
    std::vector<std::shared_ptr<ApEntry>> all;  // also those not in the map
    std::mt19937 random{1234};

    std::shared_ptr<ApEntry> make(int i)
    {
        auto ap = std::make_shared<ApEntry>(&settings, ap_mac(i), null_session);
        for (int id = 0; id < 3; ++id)
            ap->radios.radios[id].mac = radio_mac(i, id);
        all.push_back(ap);
        return ap;
    }

    // A random scan: each other AP's radio heard with probability 1/4, one
    // in three of them with the local bit flipped, sometimes both forms.
    void scan(ApEntry& ap, int aps)
    {
        ap.visible_members.clear();
        std::uniform_int_distribution<int> die(0, 11);
        for (int other = 0; other < aps; ++other) {
            if (ap_mac(other) == ap.base_mac)
                continue;
            for (int id = 0; id < 3; ++id) {
                const int roll = die(random);
                if (roll >= 3)
                    continue;
                MacAddress heard = radio_mac(other, id);
                if (roll == 1)
                    heard = rrm::mac_flip_local_bit(heard);
                ap.visible_members.insert(heard, HEARD);
                if (roll == 2)
                    ap.visible_members.insert(rrm::mac_flip_local_bit(heard), HEARD);
            }
        }
    }
};

std::vector<ApEntry*> plain(const ApMap& map, const ApEntry& ap)
{
    std::vector<ApEntry*> out;
    for (const auto& entry : map.table)
        if (entry.first != ap.base_mac && entry.second->visible_members.contains_radio_of(ap))
            out.push_back(entry.second.get());
    return out;
}

std::string names(const std::vector<ApEntry*>& aps)
{
    std::string out;
    for (const ApEntry* ap : aps)
        out += rrm::mac_to_string(ap->base_mac).substr(12, 2) + " ";
    return out;
}

// Every AP ever made is asked about, in the map or not.
void compare(Domain& d, HearingIndex& index)
{
    for (const auto& ap : d.all) {
        const std::vector<ApEntry*> expected = plain(d.map, *ap);
        const std::vector<ApEntry*> got = index.hearers(d.map, *ap);
        EXPECT_EQ(names(got), names(expected)) << "heard: " << rrm::mac_to_string(ap->base_mac);
    }
}

TEST(HearingIndex, AnswersAsTheMapDoesThroughEveryKindOfChange)
{
    testsupport::LogCapture log;
    const int N = 40;
    struct Case {
        const char* name;
        std::function<void(Domain&)> change;
        bool rebuilds;
    } cases[] = {
        {"nothing changed", [](Domain&) {}, false},
        {"a record changed in place (a channel)",
         [](Domain& d) {
             for (auto& record : d.map.table.begin()->second->visible_members.table)
                 record.second.channel = 149;
         },
         false},
        {"a new scan of one AP",
         [&](Domain& d) { d.scan(*d.map.table.begin()->second, N); }, true},
        {"a scan that heard the same number of other BSSIDs",
         [&](Domain& d) {
             ApEntry& ap = *d.all[3];
             const size_t size = ap.visible_members.size();
             ap.visible_members.clear();
             for (int other = 0; ap.visible_members.size() < size; ++other)
                 ap.visible_members.insert(radio_mac(N - 1 - other % N, (other / N) % 3), HEARD);
         },
         true},
        {"scans merged", [&](Domain& d) {
             std::vector<rrm::NeighbourMap> scans(2);
             scans[0].insert(radio_mac(7, 1), HEARD);
             scans[1].insert(radio_mac(8, 2), HEARD);
             d.all[5]->visible_members.merge_scans(scans);
         },
         true},
        {"restored from a backup",
         [](Domain& d) {
             d.all[6]->visible_members.restore(rrm::JsonReader(
                 R"([{"mac":"02:00:00:00:09:10","channel":36,"band":5}])"));
         },
         true},
        {"an AP left the map", [](Domain& d) { d.map.erase(d.all[10]->base_mac); }, true},
        {"one AP left and another came: as many as before",
         [&](Domain& d) {
             d.map.erase(d.all[11]->base_mac);
             auto fresh = d.make(N + 1);
             d.scan(*fresh, N);
             d.map.insert(fresh->base_mac, fresh);
         },
         true},
        {"an AP's radios took other MACs (asked about with the new ones)",
         [](Domain& d) {
             for (int id = 0; id < 3; ++id)
                 d.all[12]->radios.radios[id].mac = radio_mac(60 + id, 0);
             d.all[13]->visible_members.insert(radio_mac(61, 0), HEARD);
         },
         true},
        {"a table assigned from another AP's",
         [](Domain& d) { d.all[16]->visible_members = d.all[17]->visible_members; }, true},
        {"a table moved in",
         [](Domain& d) {
             rrm::NeighbourMap scan;
             scan.insert(radio_mac(20, 1), HEARD);
             d.all[18]->visible_members = std::move(scan);
         },
         true},
        {"a table moved out, its AP left hearing nothing",
         [](Domain& d) {
             const rrm::NeighbourMap taken(std::move(d.all[19]->visible_members));
             EXPECT_FALSE(taken.table.empty());
         },
         true},
        {"an AP heard only as the other form of its radio's MAC",
         [](Domain& d) {
             d.all[14]->visible_members.clear();
             d.all[14]->visible_members.insert(rrm::mac_flip_local_bit(radio_mac(15, 2)), HEARD);
         },
         true},
    };
    Domain d;
    for (int i = 0; i < N; ++i)
        d.make(i);
    for (int i = 0; i < N; ++i)
        d.scan(*d.all[i], N);
    for (int i = 0; i < N; ++i)
        d.map.insert(d.all[i]->base_mac, d.all[i]);
    // Asked about too, though not in the map.
    d.make(N)->visible_members.insert(radio_mac(0, 0), HEARD);
    d.scan(*d.all[N], N);

    HearingIndex index;
    compare(d, index);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t builds = index.builds();
        c.change(d);
        compare(d, index);
        EXPECT_EQ(index.builds(), builds + (c.rebuilds ? 1 : 0));
    }
}

TEST(HearingIndex, EmptyMapAndTwoMaps)
{
    testsupport::LogCapture log;
    rrm::DomainConfig settings;
    ApMap first;
    ApMap second;
    auto a = std::make_shared<ApEntry>(&settings, ap_mac(1), null_session);
    auto b = std::make_shared<ApEntry>(&settings, ap_mac(2), null_session);
    b->visible_members.insert(a->radios.radios[0].mac, HEARD);
    HearingIndex index;
    EXPECT_TRUE(index.hearers(first, *a).empty());
    second.insert(a->base_mac, a);
    second.insert(b->base_mac, b);
    EXPECT_EQ(index.hearers(second, *a), std::vector<ApEntry*>{b.get()});
    // Another map is another index.
    EXPECT_TRUE(index.hearers(first, *a).empty());
    EXPECT_EQ(index.hearers(second, *a), std::vector<ApEntry*>{b.get()});
    // The AP does not hear itself.
    EXPECT_TRUE(index.hearers(second, *b).empty());
}

}  // namespace
