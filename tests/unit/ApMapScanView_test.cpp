#include "ApMap.h"

#include "DomainConfig.h"
#include "JsonReader.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using rrm::ApEntry;
using rrm::ApMap;
using rrm::JsonReader;
using rrm::mac_from_string;
using rrm::MacAddress;
using rrm::Neighbour;
using rrm::NeighbourMap;

class ScanView : public ::testing::Test {
protected:
    // Radio 1 of `known` is 00:11:22:33:44:50 (base + 16); its VAP 44:51.
    void SetUp() override
    {
        known = add_ap("00:11:22:33:44:40");
        rrm::Radio& radio = known->radios.radios[1];
        radio.status = true;
        radio.band = rrm::BAND_5G;
        radio.channel = 36;
        radio.vaps.set("corp", rrm::Vap(1, "corp", mac_from_string("00:11:22:33:44:51"), true,
                                        false, false));
        map.reindex_ap(known);
        viewer = add_ap("00:aa:00:00:00:00");
        log.clear();  // the index's own trace lines
    }

    std::shared_ptr<ApEntry> add_ap(const char* base)
    {
        auto ap = std::make_shared<ApEntry>(&config, mac_from_string(base), rrm::null_session);
        map.insert(ap->base_mac, ap);
        return ap;
    }

    // Feeds the "rf-environment" of a whole "rrm-response" to the viewer.
    void respond(const std::string& rf_environment)
    {
        const std::string text = R"({"service":"rrm","version":"2.4","cmd":"rrm-response",)"
                                 R"("ap-mac":"00:AA:00:00:00:00","rf-environment":)" +
                                 rf_environment + "}";
        JsonReader message(text.c_str());
        ASSERT_FALSE(message.is_null()) << text;
        map.update_rf_environment(*viewer, message.child("rf-environment"));
    }

    // Something heard before, to see what a response keeps.
    void seed_view()
    {
        viewer->visible_members.insert(mac_from_string("00:11:22:33:44:50"),
                                       Neighbour(-1, 1, 2, 20, 1, 256));
        viewer->visible_rogue.insert(mac_from_string("0e:00:00:00:00:01"),
                                     Neighbour(-2, 2, 2, 20, 2, 256));
    }

    rrm::DomainConfig config;
    ApMap map;
    std::shared_ptr<ApEntry> known;
    std::shared_ptr<ApEntry> viewer;
    testsupport::LogCapture log;
};

const MacAddress RADIO = mac_from_string("00:11:22:33:44:50");
const MacAddress VAP = mac_from_string("00:11:22:33:44:51");
const MacAddress ROGUE = mac_from_string("aa:bb:cc:dd:ee:01");

TEST_F(ScanView, OneScanSortsMembersFromRogues)
{
    seed_view();
    respond(R"([[
        {"bssid":"00:11:22:33:44:50","channel":36,"rssi":-60,"bandwidth":80,"tx-power":20,"primary-channel":"lu"},
        {"bssid":"00:11:22:33:44:51","channel":36,"rssi":-61,"bandwidth":80,"tx-power":20,"band":5,"primary-channel":"upper"},
        {"bssid":"AA:BB:CC:DD:EE:01","channel":6,"rssi":-75,"bandwidth":20,"tx-power":17}
    ]])");

    ASSERT_EQ(2u, viewer->visible_members.size());
    EXPECT_EQ(Neighbour(-60, 36, 5, 80, 20, 256), viewer->visible_members.table.at(RADIO));
    EXPECT_EQ(Neighbour(-61, 36, 5, 80, 20, 512), viewer->visible_members.table.at(VAP));
    ASSERT_EQ(1u, viewer->visible_rogue.size());
    EXPECT_EQ(Neighbour(-75, 6, 2, 20, 17, 256), viewer->visible_rogue.table.at(ROGUE));
    EXPECT_TRUE(log.records().empty());  // bands inferred silently
}

TEST_F(ScanView, EntryFields)
{
    struct Case {
        const char* entry;
        Neighbour expected;
    };
    const Case cases[] = {
        {R"({"primary-channel":"upper","channel":1})", Neighbour(0, 1, 2, 0, 0, 512)},
        {R"({"primary-channel":"Upper","channel":1})", Neighbour(0, 1, 2, 0, 0, 256)},
        {R"({"primary-channel":"lower","channel":1})", Neighbour(0, 1, 2, 0, 0, 256)},
        {R"({"primary-channel":"uu","channel":1})", Neighbour(0, 1, 2, 0, 0, 256)},
        {R"({"primary-channel":7,"channel":1})", Neighbour(0, 1, 2, 0, 0, 256)},
        {R"({"channel":14})", Neighbour(0, 14, 2, 0, 0, 256)},
        {R"({"channel":165})", Neighbour(0, 165, 5, 0, 0, 256)},
        {R"({"channel":166})", Neighbour(0, 166, 6, 0, 0, 256)},
        {R"({"channel":233})", Neighbour(0, 233, 6, 0, 0, 256)},
        // A given band is taken as read, never inferred.
        {R"({"channel":36,"band":null})", Neighbour(0, 36, 0, 0, 0, 256)},
        {R"({"channel":36,"band":"6"})", Neighbour(0, 36, 6, 0, 0, 256)},
        {R"({"channel":36,"band":[5]})", Neighbour(0, 36, 0, 0, 0, 256)},
        {R"({"channel":"11","rssi":true,"tx-power":1.5,"bandwidth":"40"})",
         Neighbour(1, 11, 2, 40, 0, 256)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        respond(std::string("[[") + c.entry + "]]");
        ASSERT_EQ(1u, viewer->visible_rogue.size());
        EXPECT_EQ(c.expected, viewer->visible_rogue.table.at(MacAddress{}));
    }
    EXPECT_TRUE(log.records().empty());
}

TEST_F(ScanView, WarningForEntryWithoutBand)
{
    respond(R"([[
        {"bssid":"aa:bb:cc:dd:ee:01","channel":0,"rssi":-70,"bandwidth":20},
        {"channel":20},
        {"bssid":"aa:bb:cc:dd:ee:03","channel":0,"band":null}
    ]])");
    const auto records = log.records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(rrm::LOG_LEVEL_WARNING, records[0].level);
    EXPECT_EQ("server/lib/ApMap.cpp", records[0].file);
    EXPECT_EQ("fill_from_json_rf_environment", records[0].func);
    EXPECT_EQ("rf-environment entry without band: bssid=aa:bb:cc:dd:ee:01 channel=0 "
              "bandwidth=20 rssi=-70",
              records[0].text);
    EXPECT_EQ("rf-environment entry without band: bssid= channel=20 bandwidth=0 rssi=0",
              records[1].text);
    EXPECT_EQ(0, viewer->visible_rogue.table.at(ROGUE).band);
    EXPECT_EQ(3u, viewer->visible_rogue.size());
}

TEST_F(ScanView, BssidForms)
{
    respond(R"([[
        {"bssid":"02:11:22:33:44:50","channel":36,"rssi":-60},
        {"bssid":"00-11-22-33-44-51","channel":36,"rssi":-61},
        {"bssid":"aa:bb:cc:dd:ee:01","channel":6,"rssi":-70},
        {"bssid":"AA:BB:CC:DD:EE:01","channel":11,"rssi":-80}
    ]])");
    // Known with the other locally-administered bit: a member, stored as heard.
    ASSERT_EQ(1u, viewer->visible_members.size());
    EXPECT_EQ(-60, viewer->visible_members.table.at(mac_from_string("02:11:22:33:44:50"))
                       .dbm_signal);
    // Hyphens read as 00:..:00; the first record of a BSSID stays.
    ASSERT_EQ(2u, viewer->visible_rogue.size());
    EXPECT_EQ(-61, viewer->visible_rogue.table.at(MacAddress{}).dbm_signal);
    EXPECT_EQ(6, viewer->visible_rogue.table.at(ROGUE).channel);
}

TEST_F(ScanView, ClassifiesAgainstThisMapOnly)
{
    ApMap deleted;
    auto away = std::make_shared<ApEntry>(&config, mac_from_string("00:22:00:00:00:00"),
                                          rrm::null_session);
    away->radios.radios[0].status = true;
    deleted.insert(away->base_mac, away);
    ASSERT_TRUE(deleted.find_ap_by_bssid(away->base_mac));

    respond(R"([[{"bssid":"00:22:00:00:00:00","channel":6}]])");
    EXPECT_TRUE(viewer->visible_members.empty());
    EXPECT_EQ(1u, viewer->visible_rogue.table.count(away->base_mac));
}

TEST_F(ScanView, SeveralScansMerge)
{
    respond(R"([
        [{"bssid":"00:11:22:33:44:50","channel":36,"rssi":-61,"bandwidth":80},
         {"bssid":"aa:bb:cc:dd:ee:01","channel":6,"rssi":-70}],
        [{"bssid":"00:11:22:33:44:50","channel":40,"rssi":-64,"bandwidth":40}],
        []
    ])");
    ASSERT_EQ(1u, viewer->visible_members.size());
    EXPECT_EQ(Neighbour(-62, 40, 5, 40, 0, 256), viewer->visible_members.table.at(RADIO));
    ASSERT_EQ(1u, viewer->visible_rogue.size());
    EXPECT_EQ(-70, viewer->visible_rogue.table.at(ROGUE).dbm_signal);

    // The same BSSID twice in one scan: its first record is that scan's sample.
    respond(R"([
        [{"bssid":"00:11:22:33:44:50","channel":36,"rssi":-60},
         {"bssid":"00:11:22:33:44:50","channel":36,"rssi":-10}],
        [{"bssid":"00:11:22:33:44:50","channel":36,"rssi":-62}]
    ])");
    EXPECT_EQ(-61, viewer->visible_members.table.at(RADIO).dbm_signal);
}

TEST_F(ScanView, WhatChangesTheView)
{
    const char* e1 = R"({"bssid":"00:11:22:33:44:50","channel":36,"rssi":-60})";
    const char* e3 = R"({"bssid":"aa:bb:cc:dd:ee:01","channel":6,"rssi":-70})";
    struct Case {
        std::string rf_environment;  // empty: the member is left out
        size_t members;
        size_t rogue;
        bool seeded_view_kept;
    };
    const Case cases[] = {
        {"", 1, 1, true},
        {"null", 1, 1, true},
        {"[null]", 1, 1, true},
        {std::string("[[") + e1 + "],null]", 1, 1, true},
        {std::string("[[") + e1 + ",null," + e3 + "]]", 1, 0, false},
        {"[]", 0, 0, false},
        {"[[]]", 0, 0, false},
        {"{}", 0, 0, false},
        {R"({"a":[[1]]})", 0, 0, false},
        {"\"text\"", 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rf_environment);
        viewer->visible_members.clear();
        viewer->visible_rogue.clear();
        seed_view();
        if (c.rf_environment.empty()) {
            JsonReader message(R"({"cmd":"rrm-response"})");
            map.update_rf_environment(*viewer, message.child("rf-environment"));
        } else {
            respond(c.rf_environment);
        }
        EXPECT_EQ(c.members, viewer->visible_members.size());
        EXPECT_EQ(c.rogue, viewer->visible_rogue.size());
        if (c.seeded_view_kept) {
            EXPECT_EQ(-1, viewer->visible_members.table.at(RADIO).dbm_signal);
        }
    }
}

TEST_F(ScanView, CountNeighbourChannels)
{
    const int channels[] = {1, 6, 6, 36, 0, -1, 255, 256};
    uint8_t last = 0;
    for (int ch : channels) {
        MacAddress m = RADIO;
        m.octets[5] = ++last;
        viewer->visible_members.insert(m, Neighbour(-50, ch, 2, 20, 0, 256));
    }
    // Rogues do not count.
    viewer->visible_rogue.insert(ROGUE, Neighbour(-50, 11, 2, 20, 0, 256));
    rrm::Radio& radio = viewer->radios.radios[0];
    radio.count_neighbour_channels(*viewer);
    EXPECT_EQ(4, radio.dca_channel_count);  // 1, 6, 36, 255

    viewer->visible_members.clear();
    radio.count_neighbour_channels(*viewer);
    EXPECT_EQ(0, radio.dca_channel_count);
}

TEST_F(ScanView, ChangedChannelReachesWhatOthersHear)
{
    // The viewer hears the radio with the other locally-administered bit;
    // a third AP hears both forms; a fourth does not hear it at all.
    respond(R"([[{"bssid":"02:11:22:33:44:50","channel":36,"rssi":-60,"bandwidth":80,"tx-power":20},
                 {"bssid":"00:11:22:33:44:51","channel":36,"rssi":-62}]])");
    auto both = add_ap("00:bb:00:00:00:00");
    both->visible_members.insert(RADIO, Neighbour(-70, 36, 5, 80, 20, 256));
    both->visible_members.insert(mac_from_string("02:11:22:33:44:50"),
                                 Neighbour(-71, 36, 5, 80, 20, 256));
    auto deaf = add_ap("00:cc:00:00:00:00");
    deaf->visible_members.insert(ROGUE, Neighbour(-70, 6, 2, 20, 20, 256));

    const rrm::Radio& moved = known->radios.radios[1];
    moved.update_neighbour_channel(map.table, moved.mac, 44);

    EXPECT_EQ(Neighbour(-60, 44, 5, 80, 20, 256),
              viewer->visible_members.table.at(mac_from_string("02:11:22:33:44:50")));
    EXPECT_EQ(36, viewer->visible_members.table.at(VAP).channel);  // the VAP record stays
    // An exact record wins over the flipped one.
    EXPECT_EQ(44, both->visible_members.table.at(RADIO).channel);
    EXPECT_EQ(36, both->visible_members.table.at(mac_from_string("02:11:22:33:44:50")).channel);
    EXPECT_EQ(Neighbour(-70, 6, 2, 20, 20, 256), deaf->visible_members.table.at(ROGUE));
    EXPECT_EQ(1u, deaf->visible_members.size());

    // The channel assignment then counts the new channel.
    rrm::Radio& ranking = viewer->radios.radios[0];
    ranking.count_neighbour_channels(*viewer);
    EXPECT_EQ(2, ranking.dca_channel_count);  // 44 and 36
}

TEST_F(ScanView, SeesRadioOfAnotherAp)
{
    // Radio 0 of `known` is disabled but still counts.
    viewer->visible_members.insert(mac_from_string("02:11:22:33:44:40"), Neighbour());
    EXPECT_TRUE(viewer->visible_members.contains_radio_of(*known));
    EXPECT_TRUE(viewer->sees_radio_of(known));
    EXPECT_FALSE(known->sees_radio_of(viewer));
    EXPECT_FALSE(viewer->sees_radio_of(nullptr));

    // A VAP MAC is not a radio MAC.
    viewer->visible_members.clear();
    viewer->visible_members.insert(VAP, Neighbour());
    EXPECT_FALSE(viewer->visible_members.contains_radio_of(*known));
}

}  // namespace
