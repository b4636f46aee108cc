#include "ChannelPlan.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace rrm;

TEST(BandRules, EachRuleByChannelAndRadioBand)
{
    struct Case {
        int32_t channel;
        int32_t radio_band;
        int32_t channel_rule;
        int32_t advertised_rule;
        int32_t inferred;
    } cases[] = {
        {36, 0, 5, 5, 5},
        {200, 0, 0, 6, 6},
        {200, 5, 0, 6, 6},
        {200, 6, 6, 6, 6},
        {20, 0, 0, 0, 0},
        {0, 0, 0, 0, 0},
        {234, 0, 0, 0, 0},
        {-1, 6, 0, 0, 0},
        {1, 0, 2, 2, 2},
        {14, 0, 2, 2, 2},
        {15, 0, 0, 0, 0},
        {35, 0, 0, 0, 0},
        {165, 0, 5, 5, 5},
        {166, 0, 0, 6, 6},
        {233, 6, 6, 6, 6},
        // A radio keeps its band for channels 1..165 whatever the channel.
        {36, 6, 6, 6, 5},
        {20, 5, 5, 5, 0},
        {11, 5, 5, 5, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("channel " + std::to_string(c.channel) + " band " +
                     std::to_string(c.radio_band));
        EXPECT_EQ(c.channel_rule, channel_band(c.radio_band, c.channel));
        EXPECT_EQ(c.advertised_rule, advertised_band(c.radio_band, c.channel));
        EXPECT_EQ(c.inferred, infer_band(c.channel));
    }
}

TEST(PrimaryChannelText, ByWidthAndCode)
{
    struct Case {
        int32_t bandwidth;
        int32_t code;
        const char* text;
        bool valid;
    } cases[] = {
        {20, 256, "none", false},   {40, 0, "none", false},    {40, 256, "lower", true},
        {40, 512, "upper", true},   {40, 768, "none", false},  {160, 256, "lower", true},
        {320, 512, "upper", true},  {80, 256, "ll", true},     {80, 512, "lu", true},
        {80, 768, "ul", true},      {80, 1024, "uu", true},    {80, 300, "none", false},
        {80, 0, "none", false},     {60, 256, "none", false},  {320, 1024, "none", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.bandwidth) + "/" + std::to_string(c.code));
        EXPECT_STREQ(c.text, primary_channel_text(c.bandwidth, c.code));
        EXPECT_EQ(c.valid, primary_channel_valid(c.bandwidth, c.code));
    }
}

TEST(PrimaryChannelNormalisation, BondingPlans)
{
    struct Case {
        int32_t channel;
        int32_t band;
        int32_t bandwidth;
        int32_t stored;
        int32_t expected;
    } cases[] = {
        // 20 MHz has no position.
        {36, 5, 20, 512, 0},
        // 5 GHz, 40 MHz.
        {36, 5, 40, 0, 256},
        {40, 5, 40, 0, 512},
        {161, 5, 40, 0, 512},
        {157, 5, 40, 512, 256},
        {38, 5, 40, 256, 256},  // a centre keeps a valid code
        {38, 5, 40, 512, 512},
        {38, 5, 40, 768, 0},
        {165, 5, 40, 256, 256},  // outside the plan: keep-or-clear
        {165, 5, 40, 768, 0},
        {42, 5, 40, 0, 256},  // in no group: regular grid, centre 43
        // 5 GHz, 80 MHz.
        {36, 5, 80, 0, 256},
        {40, 5, 80, 0, 512},
        {44, 5, 80, 0, 768},
        {48, 5, 80, 0, 1024},
        {149, 5, 80, 0, 256},
        {153, 5, 80, 0, 512},
        {157, 5, 80, 0, 768},
        {161, 5, 80, 0, 1024},
        {42, 5, 80, 768, 768},
        {42, 5, 80, 300, 0},
        {100, 0, 80, 0, 256},  // band 0 on a 5 GHz channel takes the plan
        // 5 GHz, 160 MHz.
        {36, 5, 160, 0, 256},
        {64, 5, 160, 0, 512},
        {100, 5, 160, 0, 256},
        {128, 5, 160, 0, 512},
        {100, 0, 160, 0, 256},
        {132, 5, 160, 512, 512},
        {132, 5, 160, 768, 0},
        {80, 5, 160, 256, 256},
        {50, 5, 160, 1024, 0},
        // 5 GHz, 320 MHz and other widths.
        {36, 5, 320, 512, 512},
        {36, 5, 320, 0, 0},
        {36, 5, 60, 256, 0},
        // 6 GHz.
        {1, 6, 40, 0, 256},
        {5, 6, 40, 0, 512},
        {1, 6, 80, 0, 256},
        {5, 6, 80, 0, 512},
        {9, 6, 80, 0, 768},
        {13, 6, 80, 0, 1024},
        {7, 6, 80, 1024, 1024},
        {1, 6, 160, 0, 256},
        {29, 6, 160, 0, 512},
        {1, 6, 320, 0, 256},
        {33, 6, 320, 0, 512},
        {47, 6, 320, 0, 512},  // as far from 31 as from 63: the lower centre
        {49, 6, 320, 0, 256},  // nearer to 63
        {37, 6, 320, 256, 256},
        {31, 6, 320, 0, 0},
        {31, 6, 320, 768, 0},
        {233, 6, 320, 0, 512},
        {36, 6, 80, 0, 512},  // a 6 GHz radio uses the 6 GHz grid (centre 39) on channel 36
        {1, 6, 60, 256, 0},
        // No plan.
        {200, 0, 80, 768, 768},  // no 6 GHz plan without band 6
        {200, 0, 80, 300, 0},
        {200, 5, 40, 256, 256},
        {6, 2, 40, 0, 0},
        {6, 2, 40, 512, 512},
        {20, 0, 40, 256, 256},
        {0, 5, 40, 256, 256},
        {234, 6, 40, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("channel " + std::to_string(c.channel) + " band " + std::to_string(c.band) +
                     " width " + std::to_string(c.bandwidth) + " stored " +
                     std::to_string(c.stored));
        EXPECT_EQ(c.expected, normalize_primary_channel(c.channel, c.band, c.bandwidth, c.stored));
    }
}

TEST(PrimaryChannelNormalisation, EveryFiveGhzGroupOnItsOwnCentre)
{
    // Each group's lowest channel is "lower"/"ll" and its highest "upper"/"uu".
    for (const auto& plan : CHANNEL_BONDING_PLANS) {
        for (std::size_t i = 0; i < plan.group_count; ++i) {
            const int32_t first = plan.group_starts[i];
            const int32_t last = first + plan.group_size - 1;
            SCOPED_TRACE(std::to_string(plan.bandwidth) + " from " + std::to_string(first));
            EXPECT_EQ(256, normalize_primary_channel(first, 5, plan.bandwidth, 0));
            EXPECT_EQ(plan.bandwidth == 40 ? 512 : 1024,
                      normalize_primary_channel(last, 5, plan.bandwidth, 0));
            EXPECT_EQ(0, normalize_primary_channel(first + plan.centre_offset, 5, plan.bandwidth,
                                                   0));
        }
    }
}

}  // namespace
