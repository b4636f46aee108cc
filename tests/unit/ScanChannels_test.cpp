// Channel texts and scan step of the scan requests.

#include "ScanChannels.h"

#include "ChannelPlan.h"
#include "DomainConfig.h"
#include "MacAddress.h"
#include "RadioList.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

using rrm::BAND_2G;
using rrm::BAND_5G;
using rrm::BAND_6G;
using rrm::ChannelSets;

// The numbers of a set in the set's own walk order, each followed by a
// blank: how the standard container hands them out.
std::string in_walk_order(const std::unordered_set<int32_t>& set)
{
    std::string text;
    for (int32_t channel : set)
        text += std::to_string(channel) + " ";
    return text;
}

TEST(ScanChannels, ScanChannelText)
{
    struct Case {
        const char* name;
        std::unordered_set<int32_t> set_2g;
        std::unordered_set<int32_t> set_5g;
        std::unordered_set<int32_t> set_6g;
        const char* expected;  // null: the two sets in walk order, trimmed
    } cases[] = {
        {"nothing at all", {}, {}, {}, ""},
        {"only 6 GHz channels", {}, {}, {1, 5, 37}, ""},
        {"a single channel", {}, {36}, {}, "36"},
        {"a single 2.4 GHz channel", {11}, {}, {1}, "11"},
        {"2.4 GHz first, then 5 GHz in set order", {1}, {36, 40}, {}, nullptr},
        {"three of each", {1, 6, 11}, {36, 149, 100}, {33}, nullptr},
    };
    for (const Case& c : cases) {
        ChannelSets sets;
        sets[BAND_2G] = c.set_2g;
        sets[BAND_5G] = c.set_5g;
        sets[BAND_6G] = c.set_6g;
        std::string expected;
        if (c.expected) {
            expected = c.expected;
        } else {
            expected = in_walk_order(c.set_2g) + in_walk_order(c.set_5g);
            expected.pop_back();  // the last blank
        }
        EXPECT_EQ(expected, rrm::scan_channels_to_string(sets)) << c.name;
    }
}

TEST(ScanChannels, ScanChannelTextIgnoresTheOtherSets)
{
    ChannelSets sets;
    sets[0] = {99};
    sets[1] = {98};
    sets[3] = {97};
    sets[4] = {96};
    sets[BAND_5G] = {44};
    EXPECT_EQ("44", rrm::scan_channels_to_string(sets));
}

TEST(ScanChannels, SortedSetText)
{
    EXPECT_EQ("", rrm::channel_set_to_string({}));
    EXPECT_EQ("36", rrm::channel_set_to_string({36}));
    EXPECT_EQ("36 40 44", rrm::channel_set_to_string({36, 44, 40}));
    EXPECT_EQ("1 5 37 233", rrm::channel_set_to_string({233, 37, 1, 5}));
}

TEST(ScanChannels, ScanStep)
{
    struct Case {
        const char* name;
        bool own_scan;  // use_tavik_rrm_scan
        std::size_t channels_2g;
        std::size_t channels_5g;
        std::size_t channels_6g;
        int32_t expected;
    } cases[] = {
        // Own scan: own_scan_count x own_scan_time = 1 x 6.
        {"own scan", true, 3, 25, 59, 6},
        {"own scan without channels", true, 0, 0, 0, 6},
        // Otherwise n = max(14, |5 GHz|, |6 GHz|), (n x 7 / 10 + 1) x 5:
        {"no channels: n = 14, (98 / 10 + 1) x 5", false, 0, 0, 0, 50},
        {"14 channels: (98 / 10 + 1) x 5", false, 3, 14, 0, 50},
        {"15 channels: (105 / 10 + 1) x 5", false, 3, 15, 0, 55},
        {"25 on 5 GHz: (175 / 10 + 1) x 5", false, 3, 25, 0, 90},
        {"30 on 6 GHz, 10 on 5 GHz: (210 / 10 + 1) x 5", false, 0, 10, 30, 110},
        {"2.4 GHz does not count: 40 there, n = 14", false, 40, 0, 0, 50},
    };
    for (const Case& c : cases) {
        rrm::DomainConfig config;
        config.use_tavik_rrm_scan = c.own_scan;
        ChannelSets sets;
        for (std::size_t i = 0; i < c.channels_2g; ++i)
            sets[BAND_2G].insert(static_cast<int32_t>(1 + i));
        for (std::size_t i = 0; i < c.channels_5g; ++i)
            sets[BAND_5G].insert(static_cast<int32_t>(36 + 4 * i));
        for (std::size_t i = 0; i < c.channels_6g; ++i)
            sets[BAND_6G].insert(static_cast<int32_t>(1 + 4 * i));
        EXPECT_EQ(c.expected, rrm::scan_step_time(config, sets)) << c.name;
    }
}

TEST(ScanChannels, ScanStepParts)
{
    rrm::DomainConfig config;
    EXPECT_EQ(6, rrm::own_scan_step_time(config));
    // (0 + 1) x 5, (7 / 10 + 1) x 5, (14 / 10 + 1) x 5.
    EXPECT_EQ(5, rrm::scan_time_for_channels(config, 0));
    EXPECT_EQ(5, rrm::scan_time_for_channels(config, 1));
    EXPECT_EQ(10, rrm::scan_time_for_channels(config, 2));
    // A count no domain reaches saturates instead of wrapping.
    EXPECT_EQ(std::numeric_limits<int32_t>::max(),
              rrm::scan_time_for_channels(config, int64_t{1} << 40));
}

TEST(ScanChannels, ChannelsOfOneAp)
{
    rrm::DomainConfig config;
    rrm::RadioList radios(&config, rrm::mac_from_string("00:11:22:33:44:00"));
    // Radio 0, 2.4 GHz, disabled: its channels count all the same.
    radios.radios[0].band = BAND_2G;
    radios.radios[0].available_channels = {1, 6, 11};
    // Radio 1, 5 GHz: 200 lies above 165 and is 6 GHz only for a 6 GHz radio.
    radios.radios[1].status = true;
    radios.radios[1].band = BAND_5G;
    radios.radios[1].available_channels = {36, 40, 200};
    // Radio 2, 6 GHz: below 166 its channels take the radio's band.
    radios.radios[2].status = true;
    radios.radios[2].band = BAND_6G;
    radios.radios[2].available_channels = {1, 37, 200};

    ChannelSets sets = rrm::ap_scan_channel_sets(radios);
    EXPECT_EQ((std::unordered_set<int32_t>{1, 6, 11}), sets[BAND_2G]);
    EXPECT_EQ((std::unordered_set<int32_t>{36, 40}), sets[BAND_5G]);
    EXPECT_EQ((std::unordered_set<int32_t>{1, 37, 200}), sets[BAND_6G]);
    EXPECT_TRUE(sets[0].empty());

    // A radio without band: 1..14 -> 2.4 GHz, 36..165 -> 5 GHz, 20 and 300
    // belong to no band.
    rrm::RadioList bandless(&config, rrm::mac_from_string("00:11:22:33:44:00"));
    bandless.radios[1].available_channels = {6, 20, 40, 300};
    sets = rrm::ap_scan_channel_sets(bandless);
    EXPECT_EQ((std::unordered_set<int32_t>{6}), sets[BAND_2G]);
    EXPECT_EQ((std::unordered_set<int32_t>{40}), sets[BAND_5G]);
    EXPECT_TRUE(sets[BAND_6G].empty());
    EXPECT_TRUE(sets[0].empty());

    // An AP without available channels: every text is empty.
    rrm::RadioList none(&config, rrm::mac_from_string("00:11:22:33:44:00"));
    sets = rrm::ap_scan_channel_sets(none);
    EXPECT_EQ("", rrm::scan_channels_to_string(sets));
    EXPECT_EQ("", rrm::channel_set_to_string(sets[BAND_6G]));
}

TEST(ScanChannels, DebugTexts)
{
    ChannelSets sets;
    sets[BAND_5G] = {36};
    sets[BAND_6G] = {5};
    sets[0] = {7};
    std::string text = "x";
    rrm::channel_sets_text(sets, text);
    // Set 0 first, set 6 last, every number followed by a blank.
    EXPECT_EQ("x7 36 5 ", text);

    rrm::DomainConfig config;
    rrm::RadioList radios(&config, rrm::mac_from_string("00:11:22:33:44:00"));
    radios.radios[0].available_channels = {11};
    radios.radios[2].available_channels = {149};
    text.clear();
    rrm::ap_channels_text(radios, text);
    EXPECT_EQ("11 149 ", text);
}

}  // namespace
