// Transmit power control on hand-built snapshots: which radios are lowered,
// raised or left alone for given RF scenarios, the channel overlap of HD
// mode, how lowered APs are kept in the result, and the power step of a run
// after its channel assignment.

#include "TransmitPowerControl.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "ChannelPlan.h"
#include "DomainConfig.h"
#include "LogCapture.h"
#include "RadioResultMap.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using rrm::ApEntry;
using rrm::BAND_2G;
using rrm::BAND_5G;
using rrm::BAND_6G;
using rrm::MacAddress;
using rrm::Neighbour;
using rrm::Radio;

constexpr int32_t TOP = std::numeric_limits<int32_t>::max();
constexpr int32_t BOTTOM = std::numeric_limits<int32_t>::min();

// AP n has the base MAC 00:00:00:00:0(n+1):00 and its radio r the MAC base
// + 16 r (radio 1 of AP 0 is 00:00:00:00:01:10).
MacAddress base_of(int ap)
{
    return rrm::mac_from_u48(static_cast<uint64_t>(ap + 1) * 256);
}

struct RadioSpec {
    int ap;
    int id;
    int band;
    int channel;
    int power;
    int min_power;  // negative: the domain's default (10)
    int max_power;  // negative: the domain's default (16)
    int bandwidth = 20;
    int locked_tpc = 0;
    bool no_channels = false;  // empty available_channels
};

// `listener` hears radio `radio` of AP `ap` at dbm, under its MAC (or with
// the locally-administered bit flipped); the record carries the radio's
// channel and width, and its band unless `record_band` is given.
struct Hearing {
    int listener;
    int ap;
    int radio;
    int dbm;
    bool flipped = false;
    int record_band = -1;
};

struct Expected {
    int ap;
    int id;
    int power;
    bool conflicted;
};

struct Scenario {
    const char* name;
    bool hd_mode;
    std::vector<RadioSpec> radios;
    std::vector<Hearing> hearings;
    std::vector<int> not_ready;  // APs whose scan results did not arrive
    std::vector<Expected> expected;
    std::set<int> stored;  // APs in the result
    std::function<void(rrm::DomainConfig&)> settings = nullptr;
};

// Defaults of every band: threshold -70, hysteresis 2, so a record lowers
// above -68 (upper), by its excess over -70, and raises below -72 (lower)
// by its gap to -70. Power bounds are [min, max] of each radio.
const Scenario SCENARIOS[] = {
    {"two 5 GHz APs too loud for each other", true,
     {{0, 1, BAND_5G, 36, 24, 1, 30}, {1, 1, BAND_5G, 36, 22, 1, 30}},
     {{0, 1, 1, -50}, {1, 0, 1, -50}},
     {},
     // -50 > -68: each lowers the other by -50 - (-70) = 20:
     // AP 0 24 - 20 = 4, AP 1 22 - 20 = 2; both conflicted, so neither rises.
     {{0, 1, 4, true}, {1, 1, 2, true}},
     {0, 1}},
    {"heard exactly at the upper threshold", true,
     {{0, 1, BAND_5G, 36, 20, 1, 30}, {1, 1, BAND_5G, 36, 20, 1, 30}},
     {{0, 1, 1, -68}, {1, 0, 1, -68}},
     {},
     // -68 is not above -68: nothing lowered; raising needs below -72.
     {{0, 1, 20, false}, {1, 1, 20, false}},
     {}},
    {"heard one dB above the upper threshold", true,
     {{0, 1, BAND_5G, 36, 20, 1, 30}, {1, 1, BAND_5G, 36, 20, 1, 30}},
     {{0, 1, 1, -67}, {1, 0, 1, -67}},
     {},
     // -67 > -68: each lowered by -67 - (-70) = 3: 20 - 3 = 17.
     {{0, 1, 17, true}, {1, 1, 17, true}},
     {0, 1}},
    {"quiet neighbours raise by the gap to the threshold", true,
     {{0, 1, BAND_5G, 36, 10, 5, 25}, {1, 1, BAND_5G, 36, 10, 5, 25}},
     {{0, 1, 1, -73}, {1, 0, 1, -80}},
     {},
     // AP 0: -73 < -72, +(-70 - (-73)) = +3 -> 13. AP 1: -80, +10 -> 20.
     {{0, 1, 13, false}, {1, 1, 20, false}},
     {0, 1}},
    {"heard exactly at the lower threshold", true,
     {{0, 1, BAND_5G, 36, 10, 5, 25}, {1, 1, BAND_5G, 36, 10, 5, 25}},
     {{0, 1, 1, -72}, {1, 0, 1, -72}},
     {},
     // -72 is not below -72: nothing raised.
     {{0, 1, 10, false}, {1, 1, 10, false}},
     {}},
    {"an AP that hears nobody goes to its upper bounds", true,
     {{0, 0, BAND_2G, 6, 12, 5, 20}, {0, 1, BAND_5G, 36, 12, -1, -1}},
     {},
     {},
     // No neighbour: raise with best -100, threshold 0, lower 0: +100, fitted
     // to the upper bound: 2.4 GHz 20; 5 GHz the domain default 16.
     {{0, 0, 20, false}, {0, 1, 16, false}},
     {0}},
    {"a TPC-locked radio is lowered but lends no threshold and never rises", true,
     {{0, 1, BAND_5G, 36, 25, 1, 30, 20, 1}, {1, 1, BAND_5G, 36, 12, 1, 30}},
     {{0, 1, 1, -50}, {1, 0, 1, -50}},
     {},
     // AP 0's locked radio gives no threshold: AP 1 is not lowered. AP 1
     // hears AP 0 at -50: AP 0 lowered by 20: 25 - 20 = 5, conflicted. AP 1
     // hears -50, not below -72: stays 12.
     {{0, 1, 5, true}, {1, 1, 12, false}},
     {0}},
    {"an AP without scan results takes no part", true,
     {{0, 1, BAND_5G, 36, 20, 1, 30}, {1, 1, BAND_5G, 36, 20, 1, 30}},
     {{0, 1, 1, -50}, {1, 0, 1, -50}},
     {1},
     // AP 1 is neither lowered, nor a viewer, nor a neighbour: AP 0 hears
     // nobody suitable and goes to 30.
     {{0, 1, 30, false}, {1, 1, 20, false}},
     {0}},
    {"an AP does not turn itself down for its own BSSs", true,
     {{0, 0, BAND_2G, 1, 10, 5, 20}, {0, 1, BAND_5G, 36, 10, 5, 25}},
     {{0, 0, 0, -30}, {0, 0, 1, -30}, {0, 0, 1, -30, true}},
     {},
     // Its own radios at -30 count for nothing: it hears nobody, so both
     // radios go to their upper bounds 20 and 25, not down by 40.
     {{0, 0, 20, false}, {0, 1, 25, false}},
     {0}},
    {"every enabled radio of the heard band is lowered", false,
     {{0, 1, BAND_5G, 36, 10, 5, 25},
      {1, 0, BAND_2G, 6, 15, 5, 20},
      {1, 1, BAND_5G, 36, 20, 1, 30},
      {1, 2, BAND_5G, 149, 24, 1, 30}},
     {{0, 1, 1, -60}},
     {},
     // -60 > -68: AP 1's 5 GHz radios lowered by 10: 20 -> 10, 24 -> 14,
     // both conflicted. Its 2.4 GHz radio hears nobody: 15 + 100 -> 20.
     // AP 0 hears -60, not below -72: stays 10.
     {{0, 1, 10, false}, {1, 0, 20, false}, {1, 1, 10, true}, {1, 2, 14, true}},
     {1}},
    {"of several listeners the largest cut stands", false,
     {{0, 0, BAND_2G, 1, 10, 5, 20},
      {1, 0, BAND_2G, 6, 10, 5, 20},
      {2, 0, BAND_2G, 11, 25, 1, 30}},
     {{0, 2, 0, -50}, {1, 2, 0, -60}},
     {},
     // AP 2 is cut by 20 (from AP 0) and by 10 (from AP 1), in either order
     // the larger cut stands: 25 - 20 = 5. AP 0 and AP 1 hear -50 and -60:
     // no rise.
     {{0, 0, 10, false}, {1, 0, 10, false}, {2, 0, 5, true}},
     {2}},
    {"a BSSID heard with the locally-administered bit flipped", true,
     {{0, 1, BAND_5G, 36, 10, 5, 25}, {1, 1, BAND_5G, 36, 20, 1, 30}},
     {{0, 1, 1, -55, true}},
     {},
     // 02:00:00:00:02:10 finds AP 1: lowered by 15: 20 -> 5. AP 0 hears
     // -55: no rise.
     {{0, 1, 10, false}, {1, 1, 5, true}},
     {1}},
    {"HD mode: 2.4 GHz channels 1 and 6 at 20 MHz do not overlap", true,
     {{0, 0, BAND_2G, 1, 10, 5, 20}, {1, 0, BAND_2G, 6, 10, 5, 20}},
     {{0, 1, 0, -75}},
     {},
     // |1 - 6| = 5 > 3: AP 1 does not count for AP 0, which hears nobody and
     // goes to 20; AP 1 hears nobody: 20.
     {{0, 0, 20, false}, {1, 0, 20, false}},
     {0, 1}},
    {"HD mode: 2.4 GHz channels 1 and 6 overlap at 40 MHz", true,
     {{0, 0, BAND_2G, 1, 10, 5, 20}, {1, 0, BAND_2G, 6, 10, 5, 20, 40}},
     {{0, 1, 0, -75}},
     {},
     // Width max(20, 40) = 40: every 2.4 GHz pair overlaps. AP 0: -75 < -72,
     // +5 -> 15. AP 1 hears nobody: 20.
     {{0, 0, 15, false}, {1, 0, 20, false}},
     {0, 1}},
    {"without HD mode every neighbour of the band counts", false,
     {{0, 0, BAND_2G, 1, 10, 5, 20}, {1, 0, BAND_2G, 6, 10, 5, 20}},
     {{0, 1, 0, -75}},
     {},
     // AP 1 has no radio on channel 1, its first 2.4 GHz radio is on 6 (not
     // 0): it counts. AP 0: +5 -> 15; AP 1: 20.
     {{0, 0, 15, false}, {1, 0, 20, false}},
     {0, 1}},
    {"without HD mode the viewer is the radio on the record's channel", false,
     {{0, 1, BAND_5G, 36, 10, 5, 25, 20, 1},
      {0, 2, BAND_5G, 149, 10, 5, 25},
      {1, 1, BAND_5G, 149, 25, 1, 30}},
     {{0, 1, 1, -50}},
     {},
     // AP 0 hears AP 1 on 149: its viewer is radio 2 (on 149), not radio 1
     // (first of the band, on 36, locked for TPC: no threshold). -50 > -68:
     // AP 1 lowered by 20: 25 -> 5, conflicted. AP 0: radio 1 locked, radio
     // 2 hears -50, not below -72: both stay 10.
     {{0, 1, 10, false}, {0, 2, 10, false}, {1, 1, 5, true}},
     {1}},
    {"a record without band counts for 5 GHz, never for 6 GHz", false,
     {{0, 1, BAND_5G, 36, 10, 5, 25},
      {0, 2, BAND_6G, 37, 10, 5, 23},
      {1, 1, BAND_5G, 36, 10, 5, 25},
      {1, 2, BAND_6G, 37, 10, 5, 23}},
     {{0, 1, 1, -75, false, 0}, {0, 1, 2, -74, false, 0}},
     {},
     // AP 0's 5 GHz radio: the loudest band-less record is -74, +4 -> 14.
     // Its 6 GHz radio takes neither record: hears nobody, -> 23. AP 1 hears
     // nobody: 25 and 23.
     {{0, 1, 14, false}, {0, 2, 23, false}, {1, 1, 25, false}, {1, 2, 23, false}},
     {0, 1}},
    {"6 GHz takes its own threshold and hysteresis", true,
     {{0, 2, BAND_6G, 37, 10, 5, 23}, {1, 2, BAND_6G, 37, 18, 5, 23}},
     {{0, 1, 2, -61}},
     {},
     // 6 GHz: threshold -65, hysteresis 3, upper -62: -61 lowers AP 1 by
     // -61 - (-65) = 4: 18 -> 14. AP 0 hears -61, not below -68: stays 10.
     {{0, 2, 10, false}, {1, 2, 14, true}},
     {1},
     [](rrm::DomainConfig& c) {
         c.ap_rssi_threshold_6g = -65;
         c.hysteresis_6g = 3;
     }},
    {"2.4 GHz takes its own threshold; a lowered radio never rises", true,
     {{0, 0, BAND_2G, 6, 10, 5, 20}, {1, 0, BAND_2G, 6, 10, 5, 20}},
     {{0, 1, 0, -85}, {1, 0, 0, -69}},
     {},
     // 2.4 GHz: threshold -75, hysteresis 5, upper -70, lower -80. AP 1
     // hears AP 0 at -69 > -70: AP 0 cut by 6: 10 - 6 = 4, fitted to 5,
     // conflicted, so its quiet neighbour (-85) does not raise it. AP 1
     // hears -69, not below -80: stays 10.
     {{0, 0, 5, true}, {1, 0, 10, false}},
     {0},
     [](rrm::DomainConfig& c) {
         c.ap_rssi_threshold_2g = -75;
         c.hysteresis_2g = 5;
     }},
    {"a radio without available channels neither views nor rises", true,
     {{0, 1, BAND_5G, 36, 12, 5, 25, 20, 0, true}, {1, 1, BAND_5G, 36, 20, 1, 30}},
     {{0, 1, 1, -50}, {1, 0, 1, -80}},
     {},
     // AP 0 gives no threshold (AP 1 not lowered) and is not raised. AP 1:
     // -80, +10 -> 30.
     {{0, 1, 12, false}, {1, 1, 30, false}},
     {1}},
    {"five 5 GHz APs in a row", true,
     {{0, 1, BAND_5G, 36, 20, 5, 25},
      {1, 1, BAND_5G, 36, 22, 5, 25},
      {2, 1, BAND_5G, 36, 18, 5, 25},
      {3, 1, BAND_5G, 36, 16, 5, 25},
      {4, 1, BAND_5G, 36, 24, 5, 25}},
     {{0, 1, 1, -60},
      {1, 0, 1, -62},
      {1, 2, 1, -66},
      {2, 1, 1, -64},
      {2, 3, 1, -67},
      {3, 2, 1, -69},
      {3, 4, 1, -75},
      {4, 3, 1, -77}},
     {},
     // Cuts above -68, each by the excess over -70: AP 1 by 10 (from AP 0)
     // and 6 (from AP 2), the larger stands: 22 - 10 = 12; AP 0 by 8: 12;
     // AP 2 by 4: 14; AP 3 by 3: 13. -69, -75 and -77 cut nothing. AP 4,
     // not cut, hears AP 3 at -77 < -72: +7 -> 31, fitted to 25.
     {{0, 1, 12, true}, {1, 1, 12, true}, {2, 1, 14, true}, {3, 1, 13, true}, {4, 1, 25, false}},
     {0, 1, 2, 3, 4}},
    {"signal levels and powers at the 32-bit limits", true,
     {{0, 1, BAND_5G, 36, 20, 5, 25}, {1, 1, BAND_5G, 36, TOP, 5, 25}, {2, 1, BAND_5G, 36, BOTTOM, 5, 25}},
     {{0, 1, 1, TOP}, {1, 0, 1, BOTTOM}},
     {},
     // AP 1 heard at 2^31 - 1: cut by 2^31 - 1 + 70 from 2^31 - 1, fitted up
     // to 5. AP 0 heard at -2^31: nothing. AP 0 hears 2^31 - 1: no rise.
     // AP 2 hears nobody: -2^31 + 100 is still below 5: fitted to 5.
     {{0, 1, 20, false}, {1, 1, 5, true}, {2, 1, 5, false}},
     {1, 2}},
};

class TpcScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(TpcScenario, Powers)
{
    const Scenario& scenario = GetParam();
    testsupport::LogCapture log;
    rrm::DomainConfig config;
    config.use_hd_mode = scenario.hd_mode;
    if (scenario.settings)
        scenario.settings(config);

    rrm::ApMap snapshot;
    std::vector<std::shared_ptr<ApEntry>> aps;
    auto ap_at = [&](int n) -> ApEntry& {
        while (static_cast<int>(aps.size()) <= n) {
            const int next = static_cast<int>(aps.size());
            auto ap = std::make_shared<ApEntry>(&config, base_of(next), rrm::null_session);
            ap->radios.set_received();
            snapshot.table.emplace(ap->base_mac, ap);
            aps.push_back(ap);
        }
        return *aps[static_cast<std::size_t>(n)];
    };
    for (const RadioSpec& spec : scenario.radios) {
        Radio& r = ap_at(spec.ap).radios.radios[static_cast<std::size_t>(spec.id)];
        r.status = true;
        r.band = spec.band;
        r.channel = spec.channel;
        r.bandwidth = spec.bandwidth;
        r.power = spec.power;
        r.min_power = spec.min_power;
        r.max_power = spec.max_power;
        r.locked_tpc = spec.locked_tpc;
        if (!spec.no_channels)
            r.available_channels = {spec.channel};
    }
    for (int n : scenario.not_ready)
        ap_at(n).radios.reset_received();
    for (const Hearing& h : scenario.hearings) {
        const Radio& heard = ap_at(h.ap).radios.radios[static_cast<std::size_t>(h.radio)];
        const MacAddress bssid = h.flipped ? rrm::mac_flip_local_bit(heard.mac) : heard.mac;
        const int band = h.record_band >= 0 ? h.record_band : heard.band;
        ap_at(h.listener)
            .visible_members.insert(bssid,
                                    Neighbour(h.dbm, heard.channel, band, heard.bandwidth, 20, 0));
    }

    rrm::RadioResultMap out;
    rrm::Tpc::run(snapshot, config, out);

    for (const Expected& e : scenario.expected) {
        const Radio& r = ap_at(e.ap).radios.radios[static_cast<std::size_t>(e.id)];
        EXPECT_EQ(e.power, r.power) << "AP " << e.ap << " radio " << e.id;
        EXPECT_EQ(e.conflicted, r.conflicted) << "AP " << e.ap << " radio " << e.id;
        if (scenario.stored.count(e.ap)) {
            auto it = out.find(base_of(e.ap));
            ASSERT_NE(out.end(), it) << "AP " << e.ap << " not in the result";
            ASSERT_EQ(3u, it->second.size());
            EXPECT_EQ(e.power, it->second[static_cast<std::size_t>(e.id)].power)
                << "result of AP " << e.ap << " radio " << e.id;
        }
    }
    std::set<int> stored;
    for (const auto& entry : out)
        for (std::size_t n = 0; n < aps.size(); ++n)
            if (entry.first == base_of(static_cast<int>(n)))
                stored.insert(static_cast<int>(n));
    EXPECT_EQ(out.size(), stored.size()) << "result keys that are no AP's";
    EXPECT_EQ(scenario.stored, stored);
    EXPECT_TRUE(log.records().empty());
}

INSTANTIATE_TEST_SUITE_P(Tpc, TpcScenario, ::testing::ValuesIn(SCENARIOS),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

TEST(Tpc, EirpLimitBoundsTheRaise)
{
    // Power bounds 5..25, antenna gain 3, cable loss 1, EIRP at most 20: the
    // upper bound is min(25, 20 - 3 + 1) = 18. Hearing nobody, the radio goes
    // to 18, EIRP 18 + 3 - 1 = 20.
    rrm::DomainConfig config;
    rrm::ApMap snapshot;
    auto ap = std::make_shared<ApEntry>(&config, base_of(0), rrm::null_session);
    ap->radios.set_received();
    Radio& r = ap->radios.radios[1];
    r.status = true;
    r.band = BAND_5G;
    r.channel = 36;
    r.available_channels = {36, 40};
    r.power = 10;
    r.min_power = 5;
    r.max_power = 25;
    r.antenna_configured = true;
    r.antenna_gain = 3;
    r.cable_loss = 1;
    r.eirp_max = 20;
    snapshot.table.emplace(ap->base_mac, ap);

    rrm::RadioResultMap out;
    rrm::Tpc::run(snapshot, config, out);
    EXPECT_EQ(18, r.power);
    EXPECT_EQ(8, r.power_changed);
    EXPECT_EQ(20, r.eirp);
    ASSERT_EQ(1u, out.count(ap->base_mac));
    EXPECT_EQ(20, out.at(ap->base_mac)[1].eirp);
}

TEST(Tpc, IndexFindsEveryMacOfTheFirstOwner)
{
    rrm::DomainConfig config;
    rrm::ApMap snapshot;
    auto a = std::make_shared<ApEntry>(&config, base_of(0), rrm::null_session);
    auto b = std::make_shared<ApEntry>(&config, base_of(1), rrm::null_session);
    // A disabled radio of A with a VAP, and a VAP of B that claims A's
    // radio 2 MAC.
    Radio& a2 = a->radios.radios[2];
    a2.vaps.set("corp", rrm::Vap(1, "corp", rrm::mac_with_offset(a2.mac, 1), false, false, false));
    Radio& b0 = b->radios.radios[0];
    b0.status = true;
    b0.vaps.set("dup", rrm::Vap(1, "dup", a2.mac, false, false, false));
    snapshot.table.emplace(a->base_mac, a);
    snapshot.table.emplace(b->base_mac, b);

    rrm::Tpc::MacIndex index;
    rrm::Tpc::build_index(snapshot, index);
    // Radio 0's MAC is the base MAC itself: 2 bases + 2 x 2 radio MACs + 2
    // VAPs = 8, one of them claimed twice: 7 keys.
    EXPECT_EQ(7u, index.size());
    EXPECT_GE(index.bucket_count(), 2u * 52u);
    EXPECT_EQ(a.get(), rrm::Tpc::find_ap(index, a->base_mac));
    EXPECT_EQ(a.get(), rrm::Tpc::find_ap(index, rrm::mac_with_offset(a2.mac, 1)));
    EXPECT_EQ(a.get(), rrm::Tpc::find_ap(index, rrm::mac_flip_local_bit(a->radios.radios[1].mac)));
    EXPECT_EQ(b.get(), rrm::Tpc::find_ap(index, b->radios.radios[1].mac));
    EXPECT_EQ(nullptr, rrm::Tpc::find_ap(index, rrm::mac_from_string("00:00:00:00:09:00")));
    // The first AP of the table keeps the shared MAC.
    const ApEntry* first = snapshot.table.begin()->second.get();
    EXPECT_EQ(first, rrm::Tpc::find_ap(index, a2.mac));
}

TEST(Tpc, ChannelOverlapOfHdMode)
{
    struct Case {
        int band;
        int first;
        int second;
        int width;
        bool overlap;
    } cases[] = {
        // 5 GHz, 40 MHz: the centre of the pair (36-40 -> 38, 44-48 -> 46),
        // else ((c - 1) & ~7) + 3: 161 -> 159 (pair), 165 -> 163, 167 -> 163.
        {BAND_5G, 36, 40, 40, true},
        {BAND_5G, 40, 44, 40, false},
        {BAND_5G, 161, 165, 40, false},
        {BAND_5G, 165, 167, 40, true},
        // 80 MHz: 36-48 -> 42, 52-64 -> 58; else ((c - 1) & ~15) + 7:
        // 165 -> 167, 169 -> 167.
        {BAND_5G, 36, 48, 80, true},
        {BAND_5G, 48, 52, 80, false},
        {BAND_5G, 165, 169, 80, true},
        // 160 MHz: 36-64 -> 50, 100-128 -> 114; else ((c - 1) & ~31) + 15:
        // 132 -> 143, 144 -> 143.
        {BAND_5G, 36, 64, 160, true},
        {BAND_5G, 64, 100, 160, false},
        {BAND_5G, 132, 144, 160, true},
        // 320 MHz: the nearest of 31, 63, ...: 36 -> 31, 64 -> 63; 47 is 16
        // from 31 and from 63 and takes 31, as does 15.
        {BAND_5G, 36, 64, 320, false},
        {BAND_5G, 47, 15, 320, true},
        // Any other width: equal channels only. Outside 1..233 a channel is
        // its own centre.
        {BAND_5G, 36, 36, 20, true},
        {BAND_5G, 36, 40, 20, false},
        {BAND_5G, 36, 40, 30, false},
        {BAND_5G, 234, 242, 40, false},
        {BAND_5G, 0, 0, 40, true},
        // 6 GHz: at most 7, 15, 31, 63 apart at 40, 80, 160, 320; else 3.
        {BAND_6G, 1, 8, 40, true},
        {BAND_6G, 1, 9, 40, false},
        {BAND_6G, 1, 16, 80, true},
        {BAND_6G, 1, 17, 80, false},
        {BAND_6G, 1, 32, 160, true},
        {BAND_6G, 1, 33, 160, false},
        {BAND_6G, 1, 64, 320, true},
        {BAND_6G, 1, 65, 320, false},
        {BAND_6G, 1, 4, 20, true},
        {BAND_6G, 1, 5, 20, false},
        // 2.4 GHz (and any other band): always at 40, else at most 3 apart.
        {BAND_2G, 1, 6, 20, false},
        {BAND_2G, 1, 4, 20, true},
        {BAND_2G, 1, 11, 40, true},
        {0, 1, 4, 20, true},
        // Distances of channel numbers at the 32-bit limits.
        {BAND_6G, TOP, BOTTOM, 320, false},
        {BAND_2G, BOTTOM, TOP, 20, false},
        {BAND_5G, TOP, BOTTOM, 320, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.overlap, rrm::Tpc::channels_overlap(c.band, c.first, c.second, c.width))
            << "band " << c.band << " channels " << c.first << "/" << c.second << " width "
            << c.width;
}

std::vector<Radio> radios_with(const rrm::DomainConfig& config,
                               const std::vector<std::pair<int, int>>& channel_power)
{
    std::vector<Radio> radios;
    uint32_t id = 0;
    for (const auto& cp : channel_power)
        radios.emplace_back(&config, base_of(0), id++, true, cp.first, cp.second, 30, 1, 20);
    return radios;
}

TEST(Tpc, StoreResultIfLower)
{
    rrm::DomainConfig config;
    const MacAddress key = base_of(0);
    struct Case {
        const char* name;
        bool stored_before;
        std::vector<std::pair<int, int>> before;  // (channel, power)
        std::vector<std::pair<int, int>> next;
        int expected_power_of_radio_0;
        int expected_power_of_radio_1;
    } cases[] = {
        {"no entry yet: inserted", false, {}, {{36, 12}, {1, 9}}, 12, 9},
        {"lower on a common channel: replaced", true, {{36, 12}, {1, 9}}, {{36, 8}, {1, 9}}, 8, 9},
        {"higher on the common channel: kept", true, {{36, 12}, {1, 9}}, {{36, 14}, {1, 9}}, 12, 9},
        {"lower but on no common channel: kept", true, {{36, 12}, {1, 9}}, {{40, 5}, {6, 5}}, 12, 9},
        {"one radio lower, another higher: replaced", true, {{36, 12}, {1, 9}},
         {{36, 13}, {1, 8}}, 13, 8},
    };
    for (const Case& c : cases) {
        rrm::RadioResultMap results;
        if (c.stored_before)
            results.emplace(key, radios_with(config, c.before));
        rrm::store_result_if_lower(results, key, radios_with(config, c.next));
        ASSERT_EQ(1u, results.size()) << c.name;
        EXPECT_EQ(c.expected_power_of_radio_0, results.at(key)[0].power) << c.name;
        EXPECT_EQ(c.expected_power_of_radio_1, results.at(key)[1].power) << c.name;
    }
}

// The power step of a run: AP 0 hears nobody (TPC raises it), AP 1 has no
// scan results (TPC leaves it); the channel assignment changed both.
class PowerStep : public ::testing::Test {
protected:
    rrm::DomainConfig config;
    rrm::ApMap snapshot;
    rrm::RadioResultMap dca;
    rrm::RadioResultMap results;

    void SetUp() override
    {
        for (int n = 0; n < 2; ++n) {
            auto ap = std::make_shared<ApEntry>(&config, base_of(n), rrm::null_session);
            Radio& r = ap->radios.radios[1];
            r.status = true;
            r.band = BAND_5G;
            r.channel = 44;
            r.available_channels = {36, 44};
            r.power = 10;
            r.min_power = 5;
            r.max_power = 20;
            if (n == 0)
                ap->radios.set_received();
            snapshot.table.emplace(ap->base_mac, ap);
            // What the channel assignment stored: channel 44 (from 36).
            dca.emplace(ap->base_mac, ap->radios.radios);
        }
    }
};

TEST_F(PowerStep, WithTpcKeepsItsEntriesAndAddsTheChannelOnlyOnes)
{
    rrm::run_power_step(snapshot, config, true, dca, results);
    ASSERT_EQ(2u, results.size());
    // AP 0 from the power control: 10 + 100 fitted to 20, on channel 44.
    EXPECT_EQ(20, results.at(base_of(0))[1].power);
    EXPECT_EQ(44, results.at(base_of(0))[1].channel);
    // AP 1 as the channel assignment left it.
    EXPECT_EQ(10, results.at(base_of(1))[1].power);
    EXPECT_EQ(44, results.at(base_of(1))[1].channel);
}

TEST_F(PowerStep, WithoutTpcTheChannelResultsAreTheResults)
{
    rrm::run_power_step(snapshot, config, false, dca, results);
    ASSERT_EQ(2u, results.size());
    EXPECT_EQ(10, results.at(base_of(0))[1].power);
    EXPECT_EQ(10, snapshot.table.at(base_of(0))->radios.radios[1].power);
}

TEST_F(PowerStep, NothingChangedGivesAnEmptyResult)
{
    dca.clear();
    snapshot.table.at(base_of(0))->radios.reset_received();
    rrm::run_power_step(snapshot, config, true, dca, results);
    EXPECT_TRUE(results.empty());
}

}  // namespace
