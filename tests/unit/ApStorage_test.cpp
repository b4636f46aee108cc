// The BSSID index of an AP map: enabled radios and their VAPs, first claim
// wins, removal by AP identity, the locally-administered retry.

#include "ApStorage.h"

#include "ApFixtures.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

namespace {

using rrm::ApStorage;
using testsupport::add_vap;
using testsupport::enable_radio;
using testsupport::mac;
using testsupport::make_ap;

class ApStorageTest : public ::testing::Test {
protected:
    rrm::DomainConfig config;
    ApStorage index;
};

TEST_F(ApStorageTest, DisabledRadiosContributeNothing)
{
    auto ap = make_ap(config, "00:11:22:33:44:50");
    add_vap(ap->radios.radios[1], "corp", 1);  // a VAP of a disabled radio
    index.insert_ap(ap);
    EXPECT_TRUE(index.empty());
    for (const auto& radio : ap->radios.radios) {
        EXPECT_EQ(nullptr, index.find_ap(radio.mac));
        EXPECT_EQ(-1, index.find_radio_id(radio.mac));
    }
    EXPECT_EQ(nullptr, index.find_ap(mac("00:11:22:33:44:61")));
    // The base MAC alone is no BSSID.
    EXPECT_EQ(nullptr, index.find_ap(ap->base_mac));
}

TEST_F(ApStorageTest, RadiosAndVapsWithTheLocallyAdministeredRetry)
{
    auto a = make_ap(config, "00:11:22:33:44:40");
    rrm::Radio& radio = enable_radio(*a, 1);  // 00:11:22:33:44:50
    add_vap(radio, "corp", 0);                // same MAC as the radio: no second entry
    add_vap(radio, "guest", 3);
    index.insert_ap(a);
    EXPECT_EQ(2u, index.size());

    struct Case {
        const char* bssid;
        bool found;
    } cases[] = {
        {"00:11:22:33:44:50", true},  {"02:11:22:33:44:50", true},
        {"00:11:22:33:44:53", true},  {"02:11:22:33:44:53", true},
        {"01:11:22:33:44:50", false}, {"00:11:22:33:44:51", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bssid);
        EXPECT_EQ(c.found ? a : nullptr, index.find_ap(mac(c.bssid)));
        EXPECT_EQ(c.found ? 1 : -1, index.find_radio_id(mac(c.bssid)));
    }

    // With both forms stored, each answers its own entry.
    auto b = make_ap(config, "02:11:22:33:44:40");
    enable_radio(*b, 1);  // 02:11:22:33:44:50
    index.insert_ap(b);
    EXPECT_EQ(a, index.find_ap(mac("00:11:22:33:44:50")));
    EXPECT_EQ(b, index.find_ap(mac("02:11:22:33:44:50")));
}

TEST_F(ApStorageTest, FirstClaimOfABssidWins)
{
    auto a = make_ap(config, "00:11:22:33:44:50");
    auto b = make_ap(config, "00:AA:BB:CC:DD:00");
    add_vap(enable_radio(*a, 0), "x", 5);  // 00:11:22:33:44:55
    rrm::Radio& b0 = enable_radio(*b, 0);
    b0.vaps.set("y", rrm::Vap(1, "y", mac("00:11:22:33:44:55"), false, false, false));
    index.insert_ap(a);
    index.insert_ap(b);
    EXPECT_EQ(a, index.find_ap(mac("00:11:22:33:44:55")));
    EXPECT_EQ(b, index.find_ap(b0.mac));

    index.erase_ap(a);
    EXPECT_EQ(nullptr, index.find_ap(mac("00:11:22:33:44:55")));
    index.insert_ap(b);
    EXPECT_EQ(b, index.find_ap(mac("00:11:22:33:44:55")));
}

TEST_F(ApStorageTest, ReenteringFollowsTheRadiosAndVaps)
{
    auto ap = make_ap(config, "00:11:22:33:44:50");
    add_vap(enable_radio(*ap, 0), "a", 1);
    rrm::Radio& r2 = enable_radio(*ap, 2);
    add_vap(r2, "b", 1);
    index.insert_ap(ap);
    EXPECT_EQ(4u, index.size());

    ap->radios.radios[0].vaps.clear();
    index.insert_ap(ap);
    EXPECT_EQ(nullptr, index.find_ap(mac("00:11:22:33:44:51")));
    EXPECT_EQ(3u, index.size());

    r2.status = false;
    index.insert_ap(ap);
    EXPECT_EQ(nullptr, index.find_ap(r2.mac));
    EXPECT_EQ(nullptr, index.find_ap(mac("00:11:22:33:44:71")));
    EXPECT_EQ(1u, index.size());
}

TEST_F(ApStorageTest, TraceLinesAndEmptyPointers)
{
    auto ap = make_ap(config, "00:11:22:33:44:50");
    enable_radio(*ap, 0);
    testsupport::LogCapture logs;
    index.insert_ap(ap);
    auto records = logs.records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("erase_ap", records[0].func);
    EXPECT_EQ("AP 00:11:22:33:44:50, total size=0", records[0].text);
    EXPECT_EQ("insert_ap", records[1].func);
    EXPECT_EQ("AP 00:11:22:33:44:50, total size=1", records[1].text);
    EXPECT_EQ(rrm::LOG_LEVEL_TRACE, records[1].level);

    logs.clear();
    auto other = make_ap(config, "00:AA:00:00:00:00");
    index.erase_ap(other);
    records = logs.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("AP 00:AA:00:00:00:00, total size=1", records[0].text);
    EXPECT_EQ(1u, index.size());

    logs.clear();
    index.insert_ap(nullptr);
    index.erase_ap(nullptr);
    EXPECT_TRUE(logs.records().empty());
    EXPECT_EQ(1u, index.size());
}

}  // namespace
