#include "ChannelAssignment.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "ChannelPlan.h"
#include "DcaDomain.h"
#include "DcaReference.h"
#include "DomainConfig.h"
#include "LogCapture.h"
#include "OptimizationResult.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <unordered_set>

namespace {

using rrm::ApEntry;
using rrm::mac_from_string;
using rrm::MacAddress;
using rrm::Neighbour;
using rrm::Radio;

// Hand-built snapshots. Every AP's radio 1 is a 5 GHz radio whose MAC is
// the base MAC + 16 (base 00:00:00:00:0N:00 -> radio 00:00:00:00:0N:10).
// A record heard at -60 dBm weighs 40 in the histogram, -90 dBm 10 (dBm +
// 100); a 20 MHz record of weight w adds w at its channel, 70 % of w one
// channel away and 30 % two channels away, so a 20 MHz radio on that same
// channel pays 3 w (12 + 28 + 40 + 28 + 12 = 120 for w = 40) and one four
// channels away nothing.
class DcaSnapshot : public ::testing::Test {
protected:
    testsupport::LogCapture log;
    rrm::DomainConfig config;
    rrm::ApMap aps;
    rrm::RadioResultMap out;

    std::shared_ptr<ApEntry> add_ap(const char* base)
    {
        auto ap = std::make_shared<ApEntry>(&config, mac_from_string(base), rrm::null_session);
        aps.insert(ap->base_mac, ap);
        return ap;
    }

    static Radio& radio(ApEntry& ap, int id, int band, int channel,
                        std::unordered_set<int> available, int bandwidth = 20)
    {
        Radio& r = ap.radios.radios[static_cast<std::size_t>(id)];
        r.status = true;
        r.band = band;
        r.channel = channel;
        r.bandwidth = bandwidth;
        r.available_channels = std::move(available);
        r.update_primary_channel();
        return r;
    }

    static Radio& radio5(ApEntry& ap, int channel, std::unordered_set<int> available,
                         int bandwidth = 20)
    {
        return radio(ap, 1, rrm::BAND_5G, channel, std::move(available), bandwidth);
    }

    // `listener` hears the radio under `bssid` (default: its own MAC) as it
    // is now.
    static void hear(ApEntry& listener, const Radio& r, int dbm)
    {
        hear_as(listener, r.mac, r, dbm);
    }
    static void hear_as(ApEntry& listener, const MacAddress& bssid, const Radio& r, int dbm)
    {
        listener.visible_members.insert(
            bssid, Neighbour(dbm, r.channel, r.band, r.bandwidth, 20, r.primary_channel));
    }
    // A member BSSID whose AP is not in the snapshot, 20 MHz.
    static void hear_member(ApEntry& listener, const char* bssid, int channel, int dbm)
    {
        listener.visible_members.insert(mac_from_string(bssid),
                                        Neighbour(dbm, channel, rrm::BAND_5G, 20, 20, 0));
    }
    static void hear_rogue(ApEntry& listener, const char* bssid, int channel, int dbm)
    {
        listener.visible_rogue.insert(mac_from_string(bssid),
                                      Neighbour(dbm, channel, rrm::BAND_5G, 20, 20, 0));
    }

    static const Neighbour& record_of(const ApEntry& listener, const MacAddress& bssid)
    {
        return listener.visible_members.table.at(bssid);
    }

    // The run leaves nothing in the log.
    void run_passes(int passes)
    {
        const std::size_t records = log.records().size();
        rrm::Dca dca;
        for (int i = 0; i < passes; ++i)
            dca.run(aps, config, out);
        EXPECT_EQ(records, log.records().size());
    }

    const std::vector<Radio>& result(const ApEntry& ap) { return out.at(ap.base_mac); }
};

TEST_F(DcaSnapshot, MostConstrainedApMovesFirst)
{
    // A and B share channel 36 and hear each other at -60 dBm. The one
    // handled first pays 120 on 36 and 0 on 44, so it moves to 44; the other
    // then hears it on 44, pays 0 on 36 and stays. Selection: most distinct heard channels,
    // then most heard member BSSIDs, then the first in the candidate list.
    struct Case {
        const char* name;
        const char* extra_of_a;  // extra member BSSID heard by A, or null
        int extra_a_channel;
        const char* extra_of_b;
        int extra_b_channel;
        int mover;  // 0 A, 1 B, -1 the first in the main table
    } cases[] = {
        {"A hears two channels", "00:00:00:00:09:10", 149, nullptr, 0, 0},
        {"B hears two channels", nullptr, 0, "00:00:00:00:09:10", 149, 1},
        // Same channel count (1), A hears one more BSSID.
        {"A hears more BSSIDs", "00:00:00:00:09:10", 36, nullptr, 0, 0},
        {"B hears more BSSIDs", nullptr, 0, "00:00:00:00:09:10", 36, 1},
        {"equal ranks", nullptr, 0, nullptr, 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        aps.table.clear();
        aps.index.table.clear();
        out.clear();
        auto a = add_ap("00:00:00:00:01:00");
        auto b = add_ap("00:00:00:00:02:00");
        Radio& ra = radio5(*a, 36, {36, 44});
        Radio& rb = radio5(*b, 36, {36, 44});
        hear(*a, rb, -60);
        hear(*b, ra, -60);
        // -90 dBm: weight 10; on 149 it touches neither 36 nor 44, on 36 it
        // only adds to the cost of staying.
        if (c.extra_of_a != nullptr)
            hear_member(*a, c.extra_of_a, c.extra_a_channel, -90);
        if (c.extra_of_b != nullptr)
            hear_member(*b, c.extra_of_b, c.extra_b_channel, -90);
        int mover = c.mover;
        if (mover < 0)
            mover = aps.table.begin()->second == a ? 0 : 1;
        ApEntry& moved = mover == 0 ? *a : *b;
        ApEntry& stayed = mover == 0 ? *b : *a;

        run_passes(1);

        EXPECT_EQ(44, moved.radios.radios[1].channel);
        EXPECT_EQ(36, stayed.radios.radios[1].channel);
        EXPECT_EQ(44, record_of(stayed, moved.radios.radios[1].mac).channel);
        EXPECT_EQ(36, record_of(moved, stayed.radios.radios[1].mac).channel);
        ASSERT_EQ(1u, out.size());
        EXPECT_EQ(44, result(moved)[1].channel);
        EXPECT_EQ(3u, result(moved).size());
    }
}

TEST_F(DcaSnapshot, LockedDisabledAndEmptySetRadiosStay)
{
    // A: radio 0 locked on 6, radio 1 free on 36, radio 2 disabled on 100.
    // B: radio 0 enabled on 6 with no available channels, radio 1 locked on
    // 36. Both radios 0 hear each other on 6, both radios 1 on 36, and A
    // hears a strong foreign BSSID on 100: only A's radio 1 may move.
    auto a = add_ap("00:00:00:00:01:00");
    auto b = add_ap("00:00:00:00:02:00");
    Radio& a0 = radio(*a, 0, rrm::BAND_2G, 6, {1, 6, 11});
    a0.locked_dca = 1;
    Radio& a1 = radio5(*a, 36, {36, 44});
    Radio& a2 = radio(*a, 2, rrm::BAND_5G, 100, {100, 104});
    a2.status = false;
    Radio& b0 = radio(*b, 0, rrm::BAND_2G, 6, {});
    Radio& b1 = radio5(*b, 36, {36, 44});
    b1.locked_dca = 1;
    for (Radio* r : {&a0, &a2, &b0, &b1}) {
        r->dca_channel_count = 7;
        r->dca_neighbour_count = 7;
    }
    hear(*a, b0, -50);
    hear(*a, b1, -60);
    hear(*b, a0, -50);
    hear(*b, a1, -60);
    hear_rogue(*a, "02:aa:00:00:00:01", 100, -40);

    run_passes(2);

    // A's radio 1 pays 120 on 36 (B's radio 1; the 2.4 GHz record is not
    // its band) and 0 on 44.
    EXPECT_EQ(44, a1.channel);
    EXPECT_EQ(6, a0.channel);
    EXPECT_EQ(100, a2.channel);
    EXPECT_EQ(6, b0.channel);
    EXPECT_EQ(36, b1.channel);
    for (const Radio* r : {&a0, &a2, &b0, &b1}) {
        EXPECT_EQ(7, r->dca_channel_count) << r->id;
        EXPECT_EQ(7, r->dca_neighbour_count) << r->id;
    }
    // Handled in the last pass; A hears two member BSSIDs.
    EXPECT_EQ(-1, a1.dca_channel_count);
    EXPECT_EQ(2, a1.dca_neighbour_count);
    EXPECT_EQ(44, record_of(*b, a1.mac).channel);

    // A's entry carries its unchanged radios too; B changed nothing.
    ASSERT_EQ(1u, out.size());
    const auto& list = result(*a);
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(6, list[0].channel);
    EXPECT_EQ(1, list[0].locked_dca);
    EXPECT_EQ(44, list[1].channel);
    EXPECT_EQ(100, list[2].channel);
    EXPECT_FALSE(list[2].status);
}

TEST_F(DcaSnapshot, ChannelOutsideTheSetAndUnscorableSets)
{
    // C sits on 36, which its set no longer holds. It hears foreign BSSIDs on
    // 40 at -60 (weight 40) and on 44 at -80 (weight 20):
    //   40: 12 + 28 + 40 + 28 + (12 + 6) = 126
    //   44: (12 + 6) + 14 + 20 + 14 + 6 = 72
    //   (36 would cost 12.)
    // D is an 80 MHz radio whose set holds only 2.4 GHz numbers, which have
    // no 80 MHz centre: nothing can be scored and it keeps 36.
    auto c = add_ap("00:00:00:00:03:00");
    Radio& rc = radio5(*c, 36, {40, 44});
    hear_rogue(*c, "02:aa:00:00:00:40", 40, -60);
    hear_rogue(*c, "02:aa:00:00:00:44", 44, -80);
    auto d = add_ap("00:00:00:00:04:00");
    Radio& rd = radio5(*d, 36, {1, 6, 11}, 80);
    hear_rogue(*d, "02:aa:00:00:00:36", 36, -40);

    run_passes(1);

    EXPECT_EQ(44, rc.channel);
    EXPECT_EQ(36, rd.channel);
    EXPECT_EQ(rrm::PRIMARY_LL, rd.primary_channel);
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(44, result(*c)[1].channel);
}

TEST_F(DcaSnapshot, PrimaryOnlyChange)
{
    // A's 40 MHz radio on 36 carries "upper", which 36 cannot be (its pair
    // is 36/40 around 38). Nothing is heard near it, so it keeps 36, but the
    // position becomes "lower": A lands in the result and B's record of the
    // radio takes the position without its channel (B's record is stale on
    // 40 and stays so).
    auto a = add_ap("00:00:00:00:01:00");
    auto b = add_ap("00:00:00:00:02:00");
    Radio& ra = radio5(*a, 36, {36, 44}, 40);
    ra.primary_channel = rrm::PRIMARY_UPPER;
    b->visible_members.insert(ra.mac, Neighbour(-60, 40, rrm::BAND_5G, 40, 20,
                                                rrm::PRIMARY_UPPER));

    run_passes(1);

    EXPECT_EQ(36, ra.channel);
    EXPECT_EQ(rrm::PRIMARY_LOWER, ra.primary_channel);
    EXPECT_EQ(40, record_of(*b, ra.mac).channel);
    EXPECT_EQ(rrm::PRIMARY_LOWER, record_of(*b, ra.mac).primary);
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(36, result(*a)[1].channel);
    EXPECT_EQ(rrm::PRIMARY_LOWER, result(*a)[1].primary_channel);
}

TEST_F(DcaSnapshot, MovedRadioIsFollowedUnderItsFlippedMacOnly)
{
    // B hears A's radio only with the locally-administered bit flipped, C
    // only under a VAP BSSID of it (radio MAC + 1). A leaves 36 (foreign BSSID
    // there) for 44: B's record follows, C's does not.
    auto a = add_ap("00:00:00:00:01:00");
    auto b = add_ap("00:00:00:00:02:00");
    auto c = add_ap("00:00:00:00:03:00");
    Radio& ra = radio5(*a, 36, {36, 44});
    hear_rogue(*a, "02:aa:00:00:00:36", 36, -60);
    const MacAddress flipped = rrm::mac_flip_local_bit(ra.mac);
    const MacAddress vap = rrm::mac_with_offset(ra.mac, 1);
    hear_as(*b, flipped, ra, -60);
    hear_as(*c, vap, ra, -60);

    run_passes(1);

    EXPECT_EQ(44, ra.channel);
    EXPECT_EQ(44, record_of(*b, flipped).channel);
    EXPECT_EQ(36, record_of(*c, vap).channel);
}

TEST_F(DcaSnapshot, RanksAreCountedAgainAfterEachMove)
{
    // A hears three members on 52, 100 and 120 (-90 dBm, far from anything
    // else) and is handled first; a foreign BSSID at -50 dBm on its channel
    // 149 (cost 15 + 35 + 50 + 35 + 15 = 150) sends it to 36 (cost 0).
    // B and C share 149 and hear each other at -60 dBm.
    //   B also hears members N1, N2 on 149: 1 channel, 3 BSSIDs.
    //   C also hears A (on 149 at first): 1 channel, 2 BSSIDs.
    // Before A moves B ranks above C; once C's record of A says 36, C hears
    // two channels and goes next. C pays 120 on 149 (B) and 0 on 157 and
    // moves; B then pays 60 on 149 (N1 and N2, 30 each) against 120 on 157
    // (C) and stays. Had B gone first, B would have moved and C stayed.
    auto a = add_ap("00:00:00:00:01:00");
    auto b = add_ap("00:00:00:00:02:00");
    auto c = add_ap("00:00:00:00:03:00");
    Radio& ra = radio5(*a, 149, {149, 36});
    Radio& rb = radio5(*b, 149, {149, 157});
    Radio& rc = radio5(*c, 149, {149, 157});
    hear_member(*a, "00:00:00:00:09:10", 52, -90);
    hear_member(*a, "00:00:00:00:09:20", 100, -90);
    hear_member(*a, "00:00:00:00:09:30", 120, -90);
    hear_rogue(*a, "02:aa:00:00:01:49", 149, -50);
    hear(*b, rc, -60);
    hear_member(*b, "00:00:00:00:09:40", 149, -90);
    hear_member(*b, "00:00:00:00:09:50", 149, -90);
    hear(*c, rb, -60);
    hear(*c, ra, -90);

    run_passes(1);

    EXPECT_EQ(36, ra.channel);
    EXPECT_EQ(157, rc.channel);
    EXPECT_EQ(149, rb.channel);
    EXPECT_EQ(36, record_of(*c, ra.mac).channel);
    EXPECT_EQ(157, record_of(*b, rc.mac).channel);
    EXPECT_EQ(2u, out.size());
    EXPECT_EQ(1u, out.count(a->base_mac));
    EXPECT_EQ(1u, out.count(c->base_mac));
}

TEST_F(DcaSnapshot, SecondPassMovesAgainAndLeavesOneEntryPerAp)
{
    // A on 36, set {36, 44, 149}, hears B (-60, weight 40) on 36, member X
    // (-40, weight 60) on 44 and a foreign BSSID (-90, weight 10) on 149.
    // B on 36, set {44, 149} (36 is not in it), hears A (-60) on 36 and a
    // foreign BSSID (-90) on 44.
    // Pass 1, A first (2 channels against 1):
    //   A: 36 = 120, 44 = 180, 149 = 30 -> 149.
    //   B: hears A on 149: 44 = 30, 149 = 120 -> 44 (36 not in its set).
    // Pass 2, A first (1 channel, 2 BSSIDs against 1 and 1):
    //   A: B and X both on 44: 36 = 0, 44 = 300, 149 = 30 -> 36.
    //   B: hears A on 36: 44 = 30, 149 = 0 -> 149.
    auto a = add_ap("00:00:00:00:01:00");
    auto b = add_ap("00:00:00:00:02:00");
    Radio& ra = radio5(*a, 36, {36, 44, 149});
    Radio& rb = radio5(*b, 36, {44, 149});
    hear(*a, rb, -60);
    hear_member(*a, "00:00:00:00:09:10", 44, -40);
    hear_rogue(*a, "02:aa:00:00:01:49", 149, -90);
    hear(*b, ra, -60);
    hear_rogue(*b, "02:aa:00:00:00:44", 44, -90);

    rrm::Dca dca;
    dca.run(aps, config, out);
    EXPECT_EQ(149, ra.channel);
    EXPECT_EQ(44, rb.channel);
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(149, result(*a)[1].channel);
    EXPECT_EQ(44, result(*b)[1].channel);

    dca.run(aps, config, out);
    EXPECT_EQ(36, ra.channel);
    EXPECT_EQ(149, rb.channel);
    EXPECT_EQ(149, record_of(*a, rb.mac).channel);
    EXPECT_EQ(36, record_of(*b, ra.mac).channel);
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(36, result(*a)[1].channel);
    EXPECT_EQ(149, result(*b)[1].channel);
}

TEST_F(DcaSnapshot, ThresholdStaysOutOfTheRun)
{
    // A's costs:
    //   36: B (locked) at -60 on 36 -> 120;
    //   44: a foreign BSSID at -62 on 44, weight 38: 11 + 26 + 38 + 26 + 11
    //       = 112 (70 % and 30 % of 38 truncated).
    // Whatever the domain's threshold, a fresh context ignores it and the
    // run moves to the strictly cheaper channel.
    auto a = add_ap("00:00:00:00:01:00");
    auto b = add_ap("00:00:00:00:02:00");
    Radio& ra = radio5(*a, 36, {36, 44});
    Radio& rb = radio5(*b, 36, {36, 44});
    rb.locked_dca = 1;
    hear(*a, rb, -60);
    hear_rogue(*a, "02:aa:00:00:00:44", 44, -62);
    config.dca_threshold = 90;

    run_passes(1);
    EXPECT_EQ(44, ra.channel);

    // The same snapshot with the threshold in force keeps the radio:
    // 120 x (100 - 90) / 100 = 12 <= 112.
    ra.channel = 36;
    rrm::Dca strict;
    strict.ignore_threshold = false;
    strict.run(aps, config, out);
    EXPECT_EQ(36, ra.channel);
}

TEST(DcaGenerated, SameOutcomeAsTheStepByStepPass)
{
    testsupport::LogCapture log;
    for (uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        auto domain = testsupport::make_dca_domain(60, seed, seed % 2 == 0);
        auto fast = domain->aps.copy();
        auto slow = domain->aps.copy();
        rrm::RadioResultMap fast_out;
        rrm::RadioResultMap slow_out;
        rrm::Dca dca;
        for (int pass = 0; pass < 2; ++pass) {
            dca.run(*fast, domain->config, fast_out);
            testsupport::reference_dca_pass(*slow, domain->config, true, slow_out);
        }

        std::size_t moved = 0;
        for (const auto& entry : domain->aps.table) {
            const ApEntry& before = *entry.second;
            const ApEntry& f = *fast->table.at(entry.first);
            const ApEntry& s = *slow->table.at(entry.first);
            for (std::size_t i = 0; i < 3; ++i) {
                const Radio& fr = f.radios.radios[i];
                const Radio& sr = s.radios.radios[i];
                EXPECT_EQ(sr.channel, fr.channel);
                EXPECT_EQ(sr.primary_channel, fr.primary_channel);
                EXPECT_EQ(sr.dca_channel_count, fr.dca_channel_count);
                EXPECT_EQ(sr.dca_neighbour_count, fr.dca_neighbour_count);
                moved += fr.channel != before.radios.radios[i].channel;
            }
            EXPECT_TRUE(f.visible_members.table == s.visible_members.table);
        }
        EXPECT_GT(moved, 10u);
        ASSERT_EQ(slow_out.size(), fast_out.size());
        for (const auto& entry : slow_out) {
            auto it = fast_out.find(entry.first);
            ASSERT_NE(fast_out.end(), it);
            for (std::size_t i = 0; i < 3; ++i) {
                EXPECT_EQ(entry.second[i].channel, it->second[i].channel);
                EXPECT_EQ(entry.second[i].primary_channel, it->second[i].primary_channel);
            }
        }
    }
}

TEST(Dca, FortyMhzCentreChannel)
{
    struct Case {
        int channel;
        int centre;
    } cases[] = {
        {36, 38},   {40, 38},   {44, 46},   {48, 46},   {52, 54},   {56, 54},
        {60, 62},   {64, 62},   {100, 102}, {104, 102}, {108, 110}, {112, 110},
        {116, 118}, {120, 118}, {124, 126}, {128, 126}, {132, 134}, {136, 134},
        {140, 142}, {144, 142}, {149, 151}, {153, 151}, {157, 159}, {161, 159},
        // Everything else 1..233 on the grid of eight: ((ch - 1) & ~7) + 3.
        {1, 0 + 3},     // 0
        {6, 0 + 3},     // 5 -> 0
        {8, 0 + 3},     // 7 -> 0
        {9, 8 + 3},     // 8
        {11, 8 + 3},    // 10 -> 8
        {13, 8 + 3},    // 12 -> 8
        {14, 8 + 3},    // 13 -> 8
        {41, 40 + 3},   // 40
        {42, 40 + 3},   // 41 -> 40
        {65, 64 + 3},   // 64
        {145, 144 + 3}, // 144
        {148, 144 + 3}, // 147 -> 144
        {162, 160 + 3}, // 161 -> 160
        {165, 160 + 3}, // 164 -> 160
        {233, 232 + 3}, // 232
        // Anything else unchanged.
        {0, 0},
        {234, 234},
        {-7, -7},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.centre, rrm::get_40mhz_center_channel(c.channel)) << c.channel;
}

TEST(OptimizationResultType, NewResultIsAFailureWithNothing)
{
    rrm::OptimizationResult result;
    EXPECT_TRUE(result.radios.empty());
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(result.error.empty());
}

}  // namespace
