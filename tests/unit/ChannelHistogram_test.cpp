#include "ChannelHistogram.h"

#include "ApEntry.h"
#include "ChannelPlan.h"
#include "DomainConfig.h"
#include "Radio.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

using rrm::ChannelHistogram;
using rrm::mac_from_string;
using rrm::Neighbour;

// The bins that differ from 0, as channel -> value.
std::map<int, int> nonzero(const ChannelHistogram& h)
{
    std::map<int, int> values;
    for (int b = 0; b < ChannelHistogram::BIN_COUNT; ++b)
        if (h.bins[static_cast<size_t>(b)] != 0)
            values[b - ChannelHistogram::CHANNEL_OFFSET] = h.bins[static_cast<size_t>(b)];
    return values;
}

// Channels first..last all holding value.
void fill(std::map<int, int>& values, int first, int last, int value)
{
    for (int ch = first; ch <= last; ++ch)
        values[ch] = value;
}

std::string show(const std::map<int, int>& values)
{
    std::string text;
    for (const auto& v : values)
        text += std::to_string(v.first) + ":" + std::to_string(v.second) + " ";
    return text;
}

TEST(HistogramMasks, SpansOfEveryWidth)
{
    // Weight 30: 70 % = 21, 30 % = 9. Weight 10: 7 and 3. Weight 45: 31 and
    // 13 (31.5 and 13.5 truncated).
    std::map<int, int> mask40_11_upper = {
        // centre 9: 7..11 full, 6/12 70 %, 5/13 30 %; 20 MHz of 11 on 9..13
        {5, 9}, {6, 21}, {7, 30}, {8, 30}, {9, 30 + 9}, {10, 30 + 21},
        {11, 30 + 30}, {12, 21 + 21}, {13, 9 + 9}};
    std::map<int, int> mask40_36 = {
        // centre 38: 36..40 full, 35/41, 34/42; 20 MHz of 36 on 34..38
        {34, 9 + 9}, {35, 21 + 21}, {36, 30 + 30}, {37, 30 + 21}, {38, 30 + 9},
        {39, 30}, {40, 30}, {41, 21}, {42, 9}};
    std::map<int, int> mask40_165_upper = {
        // centre 163: 161..165 full, 160/166, 159/167; 20 MHz of 165 on 163..167
        {159, 3}, {160, 7}, {161, 10}, {162, 10}, {163, 10 + 3},
        {164, 10 + 7}, {165, 10 + 10}, {166, 7 + 7}, {167, 3 + 3}};
    // centre 267 above the last bin: only 263..266 exist; 265 has no 20 MHz
    // mask of its own.
    std::map<int, int> mask40_265_lower = {{263, 3}, {264, 7}, {265, 10}, {266, 10}};
    std::map<int, int> mask80_36;  // centre 42: 36..48 full; 20 MHz of 36
    fill(mask80_36, 39, 48, 10);
    mask80_36.insert({{34, 3 + 3}, {35, 7 + 7}, {36, 10 + 10}, {37, 10 + 7},
                      {38, 10 + 3}, {49, 7}, {50, 3}});
    std::map<int, int> mask160_100;  // centre 114: 100..128 full; 20 MHz of 100
    fill(mask160_100, 103, 128, 10);
    mask160_100.insert({{98, 3 + 3}, {99, 7 + 7}, {100, 10 + 10}, {101, 10 + 7},
                        {102, 10 + 3}, {129, 7}, {130, 3}});
    std::map<int, int> mask320_47;  // centre 31: 1..61 full; 20 MHz of 47
    fill(mask320_47, 1, 61, 10);
    mask320_47.insert({{-1, 3}, {0, 7}, {62, 7}, {63, 3}});
    mask320_47[45] += 3;
    mask320_47[46] += 7;
    mask320_47[47] += 10;
    mask320_47[48] += 7;
    mask320_47[49] += 3;
    std::map<int, int> mask320_1;  // centre 31, 30 away; 20 MHz of 1
    fill(mask320_1, 1, 61, 10);
    mask320_1.insert({{-1, 3 + 3}, {0, 7 + 7}, {62, 7}, {63, 3}});
    mask320_1[1] += 10;
    mask320_1[2] += 7;
    mask320_1[3] += 3;

    struct Case {
        const char* name;
        int width;
        int weight;
        int channel;
        int primary;
        std::map<int, int> expected;
    } cases[] = {
        {"20 at 36", 20, 30, 36, 0, {{34, 9}, {35, 21}, {36, 30}, {37, 21}, {38, 9}}},
        {"20 at 1", 20, 30, 1, 0, {{-1, 9}, {0, 21}, {1, 30}, {2, 21}, {3, 9}}},
        {"20 at 233", 20, 45, 233, 0, {{231, 13}, {232, 31}, {233, 45}, {234, 31}, {235, 13}}},
        {"20 at 14", 20, 30, 14, 0, {}},
        {"20 at 35", 20, 30, 35, 0, {}},
        {"20 at 234", 20, 30, 234, 0, {}},
        {"20 at 0", 20, 30, 0, 0, {}},
        {"40 at 11 upper", 40, 30, 11, rrm::PRIMARY_UPPER, mask40_11_upper},
        {"40 at 11 lower (centre 13)", 40, 30, 11, rrm::PRIMARY_LOWER, {}},
        {"40 at 36", 40, 30, 36, rrm::PRIMARY_LOWER, mask40_36},
        {"40 at 36, upper code", 40, 30, 36, rrm::PRIMARY_UPPER, mask40_36},
        {"40 at 42 (no pair)", 40, 30, 42, 0, {}},
        {"40 at 165 upper", 40, 10, 165, rrm::PRIMARY_UPPER, mask40_165_upper},
        {"40 at 265 lower", 40, 10, 265, rrm::PRIMARY_LOWER, mask40_265_lower},
        {"40 at int max lower", 40, 10, INT_MAX, rrm::PRIMARY_LOWER, {}},
        {"40 at int max upper", 40, 10, INT_MAX, rrm::PRIMARY_UPPER, {}},
        {"80 at 36", 80, 10, 36, 0, mask80_36},
        {"80 at 6", 80, 10, 6, 0, {}},
        {"80 at 222", 80, 10, 222, 0, {}},
        {"160 at 100", 160, 10, 100, 0, mask160_100},
        {"160 at 6", 160, 10, 6, 0, {}},
        {"160 at 140", 160, 10, 140, 0, {}},
        {"320 at 47", 320, 10, 47, 0, mask320_47},
        {"320 at 1", 320, 10, 1, 0, mask320_1},
        {"320 at 234", 320, 10, 234, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelHistogram h;
        switch (c.width) {
        case 20:
            h.add_mask_20mhz(c.weight, c.channel);
            break;
        case 40:
            h.add_mask_40mhz(c.weight, c.channel, c.primary);
            break;
        case 80:
            h.add_mask_80mhz(c.weight, c.channel);
            break;
        case 160:
            h.add_mask_160mhz(c.weight, c.channel);
            break;
        default:
            h.add_mask_320mhz(c.weight, c.channel);
            break;
        }
        EXPECT_EQ(show(c.expected), show(nonzero(h)));
    }
}

TEST(HistogramMasks, NeighbourWeightBySignal)
{
    struct Case {
        const char* name;
        Neighbour record;
        int centre;  // bin of channel 36
        int total;   // all bins
    } cases[] = {
        // -70 dBm weighs 30: 30 + 2 x 21 + 2 x 9 = 90.
        {"-70 dBm", Neighbour(-70, 36, 5, 20, 20, 0), 30, 90},
        // -99 dBm weighs 1: 70 % and 30 % of 1 truncate to 0.
        {"-99 dBm", Neighbour(-99, 36, 5, 20, 20, 0), 1, 1},
        {"-100 dBm", Neighbour(-100, 36, 5, 20, 20, 0), 0, 0},
        // Below the noise floor a record weighs nothing rather than making
        // its channel cheaper than silence.
        {"-110 dBm", Neighbour(-110, 36, 5, 20, 20, 0), 0, 0},
        {"int min dBm", Neighbour(INT_MIN, 36, 5, 20, 20, 0), 0, 0},
        {"no channel", Neighbour(-50, 0, 5, 20, 20, 0), 0, 0},
        {"negative channel", Neighbour(-50, -4, 5, 20, 20, 0), 0, 0},
        {"width 0", Neighbour(-50, 36, 5, 0, 20, 0), 0, 0},
        {"width 60", Neighbour(-50, 36, 5, 60, 20, 0), 0, 0},
        // -60 dBm weighs 40 at 40 MHz around 38, plus the 20 MHz of 36:
        // 5 x 40 + 2 x 28 + 2 x 12 = 280, and 40 + 56 + 24 = 120.
        {"40 MHz -60 dBm", Neighbour(-60, 36, 5, 40, 20, rrm::PRIMARY_LOWER), 80, 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelHistogram h;
        h.add_neighbour(c.record);
        EXPECT_EQ(c.centre, h.bins[36 + 8]);
        long long total = 0;
        for (int v : h.bins)
            total += v;
        EXPECT_EQ(c.total, total);
    }
}

TEST(HistogramMasks, AdditionsSaturateInsteadOfOverflowing)
{
    // A signal no AP can hear, but one a message can carry: its weight and
    // every bin it reaches stop at the int32 maximum.
    ChannelHistogram h;
    h.add_neighbour(Neighbour(INT_MAX, 36, 5, 20, 20, 0));
    h.add_neighbour(Neighbour(INT_MAX, 36, 5, 20, 20, 0));
    EXPECT_EQ(INT_MAX, h.bins[36 + 8]);
    EXPECT_EQ(INT_MAX, h.channel_cost(36, 20, 0));
    EXPECT_EQ(36 + 8, h.add_bin(36, INT_MIN));
    EXPECT_EQ(-1, h.bins[36 + 8]);
    EXPECT_EQ(44, h.best_channel({36, 44}, 36, 20, 0, 25, true));
}

TEST(HistogramNeighbours, BandFilterAndOwnMac)
{
    // One record per band code, 20 MHz at -60 dBm (weight 40), on channels
    // far enough apart that their masks do not meet; one record under the
    // radio's own MAC.
    rrm::DomainConfig config;
    rrm::ApEntry ap(&config, mac_from_string("00:10:00:00:00:00"),
                   rrm::null_session);
    rrm::Radio& radio = ap.radios.radios[1];
    ap.visible_members.insert(mac_from_string("00:20:00:00:00:00"), Neighbour(-60, 100, 0, 20, 0, 0));
    ap.visible_members.insert(mac_from_string("00:20:00:00:00:01"), Neighbour(-60, 6, 2, 20, 0, 0));
    ap.visible_rogue.insert(mac_from_string("00:20:00:00:00:02"), Neighbour(-60, 36, 5, 20, 0, 0));
    ap.visible_rogue.insert(mac_from_string("00:20:00:00:00:03"), Neighbour(-60, 197, 6, 20, 0, 0));
    ap.visible_members.insert(radio.mac, Neighbour(-60, 149, 5, 20, 0, 0));

    struct Case {
        int band;
        bool ch100, ch6, ch36, ch197;
    } cases[] = {
        {rrm::BAND_NONE, true, true, true, true},
        {rrm::BAND_2G, true, true, false, false},
        {rrm::BAND_5G, true, false, true, false},
        {rrm::BAND_6G, false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("radio band " + std::to_string(c.band));
        radio.band = c.band;
        ChannelHistogram h;
        h.add_ap_neighbours(ap, radio);
        EXPECT_EQ(c.ch100 ? 40 : 0, h.bins[100 + 8]);
        EXPECT_EQ(c.ch6 ? 40 : 0, h.bins[6 + 8]);
        EXPECT_EQ(c.ch36 ? 40 : 0, h.bins[36 + 8]);
        EXPECT_EQ(c.ch197 ? 40 : 0, h.bins[197 + 8]);
        EXPECT_EQ(0, h.bins[149 + 8]);
    }
}

TEST(HistogramPlan, CentresOfEveryWidth)
{
    const int L = rrm::PRIMARY_LOWER;
    const int U = rrm::PRIMARY_UPPER;
    struct Case {
        int channel;
        int primary;
        int c40, c80, c160, c320;
    } cases[] = {
        {1, L, 3, -1, -1, 31},
        {1, U, -1, -1, -1, 31},  // 1 - 2 is off the 3..11 range
        {5, U, 3, -1, -1, 31},
        {9, L, 11, -1, -1, 31},
        {10, L, -1, -1, -1, 31},
        {13, U, 11, -1, -1, 31},
        {13, L, -1, -1, -1, 31},
        {13, 768, -1, -1, -1, 31},  // only 512 counts as upper
        {14, U, -1, -1, -1, 31},
        {20, L, -1, -1, -1, 31},
        {35, U, -1, -1, -1, 31},
        {36, L, 38, 42, 50, 31},
        {40, U, 38, 42, 50, 31},
        {41, L, -1, 42, 50, 31},
        {47, L, 46, 42, 50, 31},  // 16 from both 31 and 63: the lower
        {48, L, 46, 42, 50, 63},
        {64, L, 62, 58, 50, 63},
        {65, L, -1, -1, -1, 63},
        {100, L, 102, 106, 114, 95},
        {128, L, 126, 122, 114, 127},
        {144, L, 142, 138, -1, 159},
        {145, L, -1, -1, -1, 159},
        {149, L, 151, 155, -1, 159},
        {161, U, 159, 155, -1, 159},
        {164, L, -1, -1, -1, 159},
        {165, L, 167, 167, 175, 159},
        {165, U, 163, 167, 175, 159},
        {173, L, 175, 167, 175, 159},
        {174, L, 176, 183, 175, 159},  // 15 from 159, 17 from 191
        {189, U, 187, 183, 175, 191},
        {190, L, 192, 199, 207, 191},
        {205, L, 207, 199, 207, 191},
        {206, L, 208, 215, 207, 191},
        {221, L, 223, 215, 207, 223},
        {222, L, 224, -1, -1, 223},
        {233, L, 235, -1, -1, 223},
        {233, U, 231, -1, -1, 223},
        {234, L, 236, -1, -1, -1},
        {0, L, -1, -1, -1, -1},
        {-3, U, -1, -1, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("channel " + std::to_string(c.channel) + " primary " +
                     std::to_string(c.primary));
        EXPECT_EQ(c.c40, ChannelHistogram::center_40mhz(c.channel, c.primary));
        EXPECT_EQ(c.c80, ChannelHistogram::center_80mhz(c.channel));
        EXPECT_EQ(c.c160, ChannelHistogram::center_160mhz(c.channel));
        EXPECT_EQ(c.c320, ChannelHistogram::center_320mhz(c.channel));
        const int pair = c.channel >= 36 && c.channel <= 164 ? c.c40 : -1;
        EXPECT_EQ(pair, ChannelHistogram::center_40mhz_5ghz(c.channel));
    }

    struct Valid {
        int channel;
        int expected;
    } valid[] = {{-1, -1}, {0, -1}, {1, 1}, {13, 13}, {14, -1}, {35, -1},
                 {36, 36}, {233, 233}, {234, -1}, {INT_MAX, -1}};
    for (const auto& v : valid)
        EXPECT_EQ(v.expected, ChannelHistogram::valid_channel(v.channel)) << v.channel;
}

TEST(HistogramPlan, BinsAndWindowsStayOnTheAxis)
{
    ChannelHistogram h;
    EXPECT_EQ(0, h.add_bin(-8, 1));
    EXPECT_EQ(274, h.add_bin(266, 1));
    EXPECT_EQ(-1, h.add_bin(-9, 1));
    EXPECT_EQ(-1, h.add_bin(267, 1));
    EXPECT_EQ(-1, h.add_bin(INT_MIN, 1));
    EXPECT_EQ(2, nonzero(h).size());

    // Bin of channel c holds c: a window's sum is checked by hand.
    ChannelHistogram axis;
    for (int ch = -8; ch <= 266; ++ch)
        axis.add_bin(ch, ch);
    struct Case {
        int channel;
        int half;
        int sum;
    } cases[] = {
        {36, 0, 36},
        {36, 2, 5 * 36},
        {31, 32, 65 * 31},
        {266, 2, 264 + 265 + 266},  // clamped at the last bin
        {-8, 2, -8 - 7 - 6},        // clamped at the first bin
        {-7, 4, -8 - 7 - 6 - 5 - 4 - 3},
        {267, 2, 0},
        {-9, 2, 0},
        {36, 33, 0},
        {36, -1, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.sum, axis.window_sum(c.channel, c.half)) << c.channel << "/" << c.half;
}

TEST(HistogramCost, ChannelCostByWidth)
{
    // Bin of channel c holds c, so a window of half width h around an
    // unclamped centre k sums to (2h + 1) x k.
    ChannelHistogram h;
    for (int ch = -8; ch <= 266; ++ch)
        h.add_bin(ch, ch);
    const int L = rrm::PRIMARY_LOWER;
    const int U = rrm::PRIMARY_UPPER;
    struct Case {
        int channel;
        int width;
        int primary;
        int cost;
    } cases[] = {
        {36, 20, 0, 5 * 36},
        {1, 20, 0, -1 + 0 + 1 + 2 + 3},
        {233, 20, 0, 5 * 233},
        {14, 20, 0, -1},
        {0, 20, 0, -1},
        {234, 20, 0, -1},
        // An unknown width counts its 20 MHz window twice.
        {36, 60, 0, 2 * 5 * 36},
        {36, 0, 0, 2 * 5 * 36},
        {20, 60, 0, -1},
        {36, 40, L, 9 * 38 + 5 * 36},
        {36, 40, U, 9 * 38 + 5 * 36},
        {6, 40, U, 9 * 4 + 5 * 6},
        {6, 40, L, 9 * 8 + 5 * 6},
        {11, 40, L, -1},
        {42, 40, L, -1},
        {233, 40, U, 9 * 231 + 5 * 233},
        {233, 40, L, 9 * 235 + 5 * 233},
        // Above 233 nothing fits, also not at 40 MHz, whose centre two
        // channels away would otherwise still exist.
        {235, 40, U, -1},
        {260, 40, L, -1},
        {36, 80, 0, 17 * 42 + 5 * 36},
        {6, 80, 0, -1},
        {100, 160, 0, 33 * 114 + 5 * 100},
        {140, 160, 0, -1},
        {47, 320, 0, 65 * 31 + 5 * 47},
        {1, 320, 0, 65 * 31 + (-1 + 0 + 1 + 2 + 3)},
        {20, 320, 0, 65 * 31 + 5 * 20},
        {0, 320, 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("channel " + std::to_string(c.channel) + " width " +
                     std::to_string(c.width) + " primary " + std::to_string(c.primary));
        EXPECT_EQ(c.cost, h.channel_cost(c.channel, c.width, c.primary));
    }
}

// The first channel of the set, in the set's own iteration order, that fits
// the width: what the choice falls back to when all cost the same.
int first_fitting(const std::unordered_set<int>& set, int width, int primary)
{
    ChannelHistogram empty;
    for (int ch : set)
        if (empty.channel_cost(ch, width, primary) >= 0)
            return ch;
    return 0;
}

TEST(HistogramChoice, BestChannel)
{
    // Histogram "one neighbour on 36": 20 MHz at -60 dBm, weight 40:
    //   34:12 35:28 36:40 37:28 38:12.
    // Costs at 20 MHz: 36 = 120, 40 = 12 (window 38..42), 44 = 0.
    ChannelHistogram on36;
    on36.add_neighbour(Neighbour(-60, 36, 5, 20, 0, 0));
    // Histogram "two neighbours": 20 MHz at 40 weight 40, at 44 weight 20:
    //   38:12 39:28 40:40 41:28 42:12+6 43:14 44:20 45:14 46:6.
    // Costs: 36 = 12, 40 = 12+28+40+28+18 = 126, 44 = 18+14+20+14+6 = 72.
    ChannelHistogram two;
    two.add_neighbour(Neighbour(-60, 40, 5, 20, 0, 0));
    two.add_neighbour(Neighbour(-80, 44, 5, 20, 0, 0));
    // Histogram "negative": 36 costs 3, 44 costs -5 (only add_bin can do
    // that, and such a channel is never taken).
    ChannelHistogram negative;
    negative.add_bin(36, 3);
    negative.add_bin(44, -5);
    ChannelHistogram empty;

    const std::unordered_set<int> set_36_40_44 = {36, 40, 44};
    const std::unordered_set<int> set_40_44 = {40, 44};
    const std::unordered_set<int> set_36_44 = {36, 44};
    const std::unordered_set<int> set_36_42_44 = {36, 42, 44};
    const std::unordered_set<int> set_unscorable = {0, 14, 35, 300};

    struct Case {
        const char* name;
        const ChannelHistogram& h;
        const std::unordered_set<int>& set;
        int current;
        int width;
        int expected;
    } cases[] = {
        {"quiet: current stays", empty, set_36_40_44, 40, 20, 40},
        {"quiet, current outside the set", empty, set_36_42_44, 52, 40,
         first_fitting(set_36_42_44, 40, 0)},
        {"neighbour on the current channel", on36, set_36_40_44, 36, 20, 44},
        {"already on the quiet channel", on36, set_36_40_44, 44, 20, 44},
        // Outside the set the radio takes the cheapest channel of the set
        // (44 at 72), although 36 would cost only 12.
        {"current outside the set", two, set_40_44, 36, 20, 44},
        {"negative sum never chosen", negative, set_36_44, 44, 20, 36},
        {"nothing scorable", on36, set_unscorable, 36, 20, 0},
        {"empty set", on36, {}, 36, 20, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, c.h.best_channel(c.set, c.current, c.width, 0, 25, true));
    }
}

TEST(HistogramChoice, ThresholdBranch)
{
    // The current channel 36 costs `current` (one bin), channel 44 costs
    // `best`; the windows 34..38 and 42..46 do not meet.
    struct Case {
        int current;
        int best;
        int threshold;
        bool ignore;
        int expected;
    } cases[] = {
        // Ignored: any strictly cheaper channel wins.
        {100, 80, 25, true, 44},
        {100, 100, 25, true, 36},
        // 25 %: stay while 100 x 75 / 100 = 75 <= best.
        {100, 80, 25, false, 36},
        {100, 75, 25, false, 36},
        {100, 74, 25, false, 44},
        // Integer arithmetic: 101 x 75 / 100 = 75 (75.75 truncated).
        {101, 75, 25, false, 36},
        // 0 %, 100 % and above, and negative thresholds act as no threshold.
        {100, 99, 0, false, 44},
        {100, 99, 100, false, 44},
        {100, 99, 250, false, 44},
        {100, 99, -5, false, 44},
        // 99 %: 100 x 1 / 100 = 1, so only a channel costing 0 wins.
        {100, 1, 99, false, 36},
        {100, 0, 99, false, 44},
    };
    const std::unordered_set<int> set = {36, 44};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.current) + " vs " + std::to_string(c.best) +
                     " threshold " + std::to_string(c.threshold) +
                     (c.ignore ? " ignored" : ""));
        ChannelHistogram h;
        h.add_bin(36, c.current);
        h.add_bin(44, c.best);
        EXPECT_EQ(c.expected, h.best_channel(set, 36, 20, 0, c.threshold, c.ignore));
    }
}

}  // namespace
