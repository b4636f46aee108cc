#include "ApMap.h"

#include "DomainConfig.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>
#include <string>

namespace {

using rrm::ApEntry;
using rrm::ApMap;
using rrm::JsonWriter;
using rrm::mac_from_string;
using rrm::MacAddress;
using rrm::Neighbour;
using rrm::Radio;

Radio& enable(ApEntry& ap, int id, int band, int channel, int bandwidth = 20, int primary = 0,
              int priority = 0)
{
    Radio& radio = ap.radios.radios[static_cast<size_t>(id)];
    radio.status = true;
    radio.band = band;
    radio.channel = channel;
    radio.bandwidth = bandwidth;
    radio.primary_channel = primary;
    radio.priority = priority;
    return radio;
}

void add_vap(Radio& radio, int id, const char* ssid, const char* mac, bool with_80211k)
{
    radio.vaps.set(ssid, rrm::Vap(id, ssid, mac_from_string(mac), with_80211k, false, false));
}

void hear(ApEntry& ap, const char* bssid)
{
    ap.visible_members.insert(mac_from_string(bssid), Neighbour(-60, 0, 0, 20, 20, 256));
}

std::string neighbour_list(const ApEntry& viewer, const ApMap& active, const ApMap* deleted = nullptr)
{
    JsonWriter message("rrm", "rrm-info", "");
    JsonWriter array = message.add_array("802dot11k");
    active.neighbours_to_json(viewer, array, viewer.visible_members);
    if (deleted != nullptr)
        deleted->neighbours_to_json(viewer, array, viewer.visible_members);
    return array.to_string();
}

// The viewer V and two neighbours, N1 and N2:
//   V  radio 0: 2.4 GHz ch 6,  corp (11k), guest
//      radio 1: 5 GHz ch 36,   corp (11k), iot (11k)
//   N1 radio 0: 2.4 GHz ch 1,  corp (11k) 02:00, guest (11k) 02:01
//      radio 1: 5 GHz ch 36 80 MHz "ll", priority 255,
//               corp (11k) 02:10, iot (11k) 02:11, other (11k) 02:12
//   N2 radio 1: 5 GHz ch 44 40 MHz "upper", priority 127, corp (11k) 03:10, iot 03:11
//      radio 2: disabled, 5 GHz ch 100, corp (11k) 03:20
class NeighbourList : public ::testing::Test {
protected:
    void SetUp() override
    {
        viewer = make_ap("00:00:00:00:01:00");
        add_vap(enable(*viewer, 0, rrm::BAND_2G, 6), 0, "corp", "00:00:00:00:01:00", true);
        add_vap(viewer->radios.radios[0], 1, "guest", "00:00:00:00:01:01", false);
        add_vap(enable(*viewer, 1, rrm::BAND_5G, 36), 0, "corp", "00:00:00:00:01:10", true);
        add_vap(viewer->radios.radios[1], 1, "iot", "00:00:00:00:01:11", true);

        n1 = make_ap("00:00:00:00:02:00");
        Radio& n1r0 = enable(*n1, 0, rrm::BAND_2G, 1);
        add_vap(n1r0, 0, "corp", "00:00:00:00:02:00", true);
        add_vap(n1r0, 1, "guest", "00:00:00:00:02:01", true);
        Radio& n1r1 = enable(*n1, 1, rrm::BAND_5G, 36, 80, rrm::PRIMARY_LL, 255);
        add_vap(n1r1, 2, "corp", "00:00:00:00:02:10", true);
        add_vap(n1r1, 3, "iot", "00:00:00:00:02:11", true);
        add_vap(n1r1, 4, "other", "00:00:00:00:02:12", true);

        n2 = make_ap("00:00:00:00:03:00");
        Radio& n2r1 = enable(*n2, 1, rrm::BAND_5G, 44, 40, rrm::PRIMARY_UPPER, 127);
        add_vap(n2r1, 5, "corp", "00:00:00:00:03:10", true);
        add_vap(n2r1, 6, "iot", "00:00:00:00:03:11", false);
        Radio& n2r2 = n2->radios.radios[2];
        n2r2.band = rrm::BAND_5G;
        n2r2.channel = 100;
        add_vap(n2r2, 7, "corp", "00:00:00:00:03:20", true);

        for (const auto& ap : {viewer, n1, n2})
            active.insert(ap->base_mac, ap);
    }

    std::shared_ptr<ApEntry> make_ap(const char* base)
    {
        return std::make_shared<ApEntry>(&config, mac_from_string(base), rrm::null_session);
    }

    rrm::DomainConfig config;
    ApMap active;
    std::shared_ptr<ApEntry> viewer, n1, n2;
};

const std::string N1_RADIO1_VAPS =
    R"("vaps":[{"id":2,"ssid":"corp","mac":"00:00:00:00:02:10"},)"
    R"({"id":3,"ssid":"iot","mac":"00:00:00:00:02:11"}]})";

TEST_F(NeighbourList, VisibleModeListsTheHeardRadios)
{
    hear(*viewer, "00:00:00:00:02:11");  // N1 radio 1 through its VAP iot
    hear(*viewer, "aa:bb:cc:dd:ee:01");  // unknown to the index
    hear(*viewer, "02:00:00:00:02:01");  // N1 radio 0's VAP guest, other local bit
    hear(*viewer, "00:00:00:00:02:10");  // N1 radio 1
    hear(*viewer, "00:00:00:00:03:20");  // N2's disabled radio: not indexed

    // One entry per BSSID, in ascending BSSID order; N2 is not heard.
    EXPECT_EQ(
        R"([{"neighbour-mac":"00:00:00:00:02:10","channel":36,"band":5,"bandwidth":80,)"
        R"("primary-channel":"ll","priority":255,)" +
            N1_RADIO1_VAPS + "," +
            R"({"neighbour-mac":"00:00:00:00:02:11","channel":36,"band":5,"bandwidth":80,)"
            R"("primary-channel":"ll","priority":255,)" +
            N1_RADIO1_VAPS + "," +
            // Matched against the viewer's 2.4 GHz radio on another channel;
            // guest lacks 802.11k on the viewer, so only corp is shared.
            R"({"neighbour-mac":"02:00:00:00:02:01","channel":1,"band":2,"bandwidth":20,)"
            R"("primary-channel":"none","priority":0,)"
            R"("vaps":[{"id":0,"ssid":"corp","mac":"00:00:00:00:02:00"}]}])",
        neighbour_list(*viewer, active));
}

TEST_F(NeighbourList, AllModeListsEveryEnabledRadio)
{
    config.use_all_ap_balance = true;
    hear(*viewer, "00:00:00:00:02:11");
    hear(*viewer, "00:00:00:00:02:10");
    hear(*viewer, "02:00:00:00:02:01");

    // APs in ascending MAC order, the viewer left out; a heard radio under
    // its lowest heard BSSID, an unheard one under its own MAC.
    EXPECT_EQ(
        R"([{"neighbour-mac":"02:00:00:00:02:01","channel":1,"band":2,"bandwidth":20,)"
        R"("primary-channel":"none","priority":0,)"
        R"("vaps":[{"id":0,"ssid":"corp","mac":"00:00:00:00:02:00"}]},)"
        R"({"neighbour-mac":"00:00:00:00:02:10","channel":36,"band":5,"bandwidth":80,)"
        R"("primary-channel":"ll","priority":255,)" +
            N1_RADIO1_VAPS + "," +
            R"({"neighbour-mac":"00:00:00:00:03:10","channel":44,"band":5,"bandwidth":40,)"
            R"("primary-channel":"upper","priority":127,)"
            R"("vaps":[{"id":5,"ssid":"corp","mac":"00:00:00:00:03:10"}]}])",
        neighbour_list(*viewer, active));
}

TEST_F(NeighbourList, DeletedMapAppendsItsOwnAps)
{
    ApMap deleted;
    active.erase(n2->base_mac);
    deleted.insert(n2->base_mac, n2);
    hear(*viewer, "00:00:00:00:03:10");
    hear(*viewer, "00:00:00:00:02:10");

    // Each map lists only the BSSIDs its own index knows; the deleted map's
    // entries follow the active map's.
    const std::string list = neighbour_list(*viewer, active, &deleted);
    rrm::JsonReader parsed(("{\"l\":" + list + "}").c_str());
    const rrm::JsonReader entries = parsed.child("l");
    ASSERT_EQ(2, entries.size()) << list;
    EXPECT_STREQ("00:00:00:00:02:10", entries.child(0).get_string("neighbour-mac"));
    EXPECT_STREQ("00:00:00:00:03:10", entries.child(1).get_string("neighbour-mac"));
}

TEST_F(NeighbourList, LocallyAdministeredBitOfTheHeardBssid)
{
    // The radio heard with the bit set: its VAPs are written with it too.
    hear(*viewer, "02:00:00:00:02:10");
    EXPECT_EQ(R"([{"neighbour-mac":"02:00:00:00:02:10","channel":36,"band":5,"bandwidth":80,)"
              R"("primary-channel":"ll","priority":255,)"
              R"("vaps":[{"id":2,"ssid":"corp","mac":"02:00:00:00:02:10"},)"
              R"({"id":3,"ssid":"iot","mac":"02:00:00:00:02:11"}]}])",
              neighbour_list(*viewer, active));

    // Heard through the VAP "other" that the viewer does not serve: neither
    // the radio MAC nor a shared VAP is the heard BSSID, MACs stay as stored.
    viewer->visible_members.clear();
    hear(*viewer, "02:00:00:00:02:12");
    EXPECT_EQ(R"([{"neighbour-mac":"02:00:00:00:02:12","channel":36,"band":5,"bandwidth":80,)"
              R"("primary-channel":"ll","priority":255,)" +
                  N1_RADIO1_VAPS + "]",
              neighbour_list(*viewer, active));

    // Heard through iot with the bit set: only iot takes it.
    viewer->visible_members.clear();
    hear(*viewer, "02:00:00:00:02:11");
    EXPECT_EQ(R"([{"neighbour-mac":"02:00:00:00:02:11","channel":36,"band":5,"bandwidth":80,)"
              R"("primary-channel":"ll","priority":255,)"
              R"("vaps":[{"id":2,"ssid":"corp","mac":"00:00:00:00:02:10"},)"
              R"({"id":3,"ssid":"iot","mac":"02:00:00:00:02:11"}]}])",
              neighbour_list(*viewer, active));
}

TEST_F(NeighbourList, ModeChoice)
{
    struct Case {
        const char* name;
        bool all_ap_balance, k, v;
        unsigned locked;   // bit per viewer radio locked for 802.11v
        int disabled_radio;  // -1: radios 0 and 1 stay enabled
        bool all;
    };
    const Case cases[] = {
        {"defaults", false, true, false, 0, -1, false},
        {"all-AP balance", true, false, false, 0, -1, true},
        {"11k+11v, 11k radios unlocked", false, true, true, 0, -1, false},
        {"11k+11v, every 11k radio locked", false, true, true, 3, -1, true},
        {"11k+11v, one 11k radio locked", false, true, true, 1, -1, false},
        {"11k+11v, 11k radios locked or disabled", false, true, true, 1, 1, true},
        {"11v alone", false, false, true, 3, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        config.use_all_ap_balance = c.all_ap_balance;
        config.use_80211k = c.k;
        config.use_80211v = c.v;
        for (Radio& radio : viewer->radios.radios) {
            radio.locked_80211v = (c.locked >> radio.id) & 1;
            radio.status = c.disabled_radio != int(radio.id) && radio.id != 2;
        }
        EXPECT_EQ(c.all, active.use_all_neighbours(*viewer));
        // The viewer hears nothing: only mode "all" lists N1's 2.4 GHz radio.
        EXPECT_EQ(c.all, neighbour_list(*viewer, active)
                                 .find(R"("neighbour-mac":"00:00:00:00:02:00")") !=
                             std::string::npos);
    }

    // With no viewer radio carrying 802.11k VAPs the mode stays "visible".
    config.use_80211k = config.use_80211v = true;
    config.use_all_ap_balance = false;
    for (Radio& radio : viewer->radios.radios) {
        radio.locked_80211v = 1;
        radio.vaps.clear();
    }
    EXPECT_FALSE(active.use_all_neighbours(*viewer));

    ApEntry no_settings(nullptr, mac_from_string("00:00:00:00:09:00"), rrm::null_session);
    EXPECT_FALSE(active.use_all_neighbours(no_settings));
}

TEST_F(NeighbourList, OneEntryPerNeighbourRadio)
{
    // A viewer with two 5 GHz radios (36 first, then 44) and a 2.4 GHz one.
    auto w = make_ap("00:00:00:00:04:00");
    add_vap(enable(*w, 0, rrm::BAND_5G, 36), 0, "a", "00:00:00:00:04:00", true);
    Radio& second = enable(*w, 1, rrm::BAND_5G, 44);
    add_vap(second, 1, "b", "00:00:00:00:04:10", true);
    add_vap(enable(*w, 2, rrm::BAND_2G, 6), 2, "a", "00:00:00:00:04:20", true);
    add_vap(w->radios.radios[2], 3, "b", "00:00:00:00:04:21", true);

    struct Case {
        const char* name;
        int band, channel;
        bool enabled;
        bool b_on_second;  // the second viewer radio's b has 802.11k
        const char* expected;  // "" for no entry: band, then the SSIDs
    };
    const Case cases[] = {
        {"same channel picks the second radio", 5, 44, true, true, "5:b"},
        {"other channel picks the first radio", 5, 100, true, true, "5:a"},
        {"no fallback to another viewer radio", 5, 44, true, false, ""},
        {"band 0 on 44 counts as 5 GHz", 0, 44, true, true, "5:b"},
        {"band 0 on channel 0", 0, 0, true, true, ""},
        {"band 0 on channel 20", 0, 20, true, true, ""},
        {"5 GHz radio on 170 is written as 6", 5, 170, true, true, "6:a"},
        {"2.4 GHz shares both", 2, 6, true, true, "2:ab"},
        {"6 GHz: no viewer radio", 6, 37, true, true, ""},
        {"disabled neighbour", 5, 44, false, true, ""},
    };
    const MacAddress bssid = mac_from_string("00:00:00:00:05:00");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        second.vaps.table.at("b").use_802dot11k = c.b_on_second;
        Radio neighbour(&config, bssid, 0, c.enabled, c.channel, 10, 20, 1, 20);
        neighbour.band = c.band;
        add_vap(neighbour, 7, "a", "00:00:00:00:05:00", true);
        add_vap(neighbour, 8, "b", "00:00:00:00:05:01", true);

        JsonWriter root("");
        JsonWriter array = root.add_array("802dot11k");
        active.write_neighbour_entry(*w, array, neighbour, bssid);
        rrm::JsonReader written(root.to_string());
        const rrm::JsonReader list = written.child("802dot11k");
        if (*c.expected == '\0') {
            EXPECT_EQ(0, list.size()) << root.to_string();
            continue;
        }
        ASSERT_EQ(1, list.size());
        const rrm::JsonReader entry = list.child(0);
        std::string got = std::to_string(entry.get_int("band")) + ":";
        for (int i = 0; i < entry.child("vaps").size(); ++i)
            got += entry.child("vaps").child(i).get_string("ssid");
        EXPECT_EQ(c.expected, got);
        EXPECT_EQ(c.channel, entry.get_int("channel"));
    }
}

TEST_F(NeighbourList, SharedVapsNeed80211kOnBothSides)
{
    std::vector<rrm::NeighbourVap> vaps;
    const Radio& n2r1 = n2->radios.radios[1];
    // iot: 802.11k on the viewer, not on N2.
    active.collect_neighbour_vaps(n2r1, n2r1.mac, viewer->radios.radios[1], vaps);
    ASSERT_EQ(1u, vaps.size());
    EXPECT_EQ(5u, vaps[0].id);
    EXPECT_EQ("corp", vaps[0].ssid);
    EXPECT_EQ("00:00:00:00:03:10", vaps[0].mac);

    // guest: 802.11k on N1, not on the viewer; the list is appended to.
    active.collect_neighbour_vaps(n1->radios.radios[0], n1->radios.radios[0].mac,
                                  viewer->radios.radios[0], vaps);
    ASSERT_EQ(2u, vaps.size());
    EXPECT_EQ("corp", vaps[1].ssid);
    EXPECT_EQ(0u, vaps[1].id);
}

TEST_F(NeighbourList, SeenBssidOfARadio)
{
    testsupport::LogCapture log;
    const Radio& n1r1 = n1->radios.radios[1];

    // Nobody hears it: its own MAC.
    EXPECT_EQ(n1r1.mac, active.get_visible_radio_mac(*n1, 1, nullptr));
    EXPECT_EQ(n1r1.mac, active.get_visible_radio_mac(*n1, 1, viewer.get()));

    // Heard by the viewer under two BSSIDs: the lower one. N1 hearing
    // itself does not count.
    hear(*viewer, "00:00:00:00:02:12");
    hear(*viewer, "02:00:00:00:02:11");
    hear(*n1, "00:00:00:00:02:10");
    EXPECT_EQ(mac_from_string("00:00:00:00:02:12"),
              active.get_visible_radio_mac(*n1, 1, viewer.get()));
    EXPECT_EQ(mac_from_string("00:00:00:00:02:12"), active.get_visible_radio_mac(*n1, 1, nullptr));
    // The AP itself as viewer: its own MAC.
    EXPECT_EQ(n1r1.mac, active.get_visible_radio_mac(*n1, 1, n1.get()));
    // Another radio of the same AP is not matched by these BSSIDs.
    EXPECT_EQ(n1->radios.radios[0].mac, active.get_visible_radio_mac(*n1, 0, viewer.get()));

    // Without a viewer the hearing APs are taken in ascending MAC order: an
    // AP below the viewer's MAC answers first, with its own BSSID.
    auto low = make_ap("00:00:00:00:00:05");
    hear(*low, "02:00:00:00:02:10");
    active.insert(low->base_mac, low);
    EXPECT_EQ(mac_from_string("02:00:00:00:02:10"), active.get_visible_radio_mac(*n1, 1, nullptr));
    EXPECT_EQ(mac_from_string("00:00:00:00:02:12"),
              active.get_visible_radio_mac(*n1, 1, viewer.get()));

    // All radios at once give what each gives alone: radio 1 heard by the
    // low AP, the others by nobody.
    const std::vector<rrm::MacAddress> all = active.get_visible_radio_macs(*n1);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(mac_from_string("02:00:00:00:02:10"), all[1]);
    for (int id = 0; id < 3; ++id)
        EXPECT_EQ(active.get_visible_radio_mac(*n1, id, nullptr), all[static_cast<size_t>(id)]) << id;

    // A radio id the AP does not have: the base MAC, with the entry's Warning.
    log.clear();
    EXPECT_EQ(n1->base_mac, active.get_visible_radio_mac(*n1, 5, nullptr));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_WARNING,
                        "get_radio_mac fallback to base_mac=00:00:00:00:02:00 for "
                        "invalid/disabled radio_id=5"));
}

TEST_F(NeighbourList, NullArrayWriterGetsNothing)
{
    hear(*viewer, "00:00:00:00:02:10");
    JsonWriter root("");
    JsonWriter taken(std::move(root));
    ASSERT_TRUE(root.is_null());
    active.neighbours_to_json(*viewer, root, viewer->visible_members);
    config.use_all_ap_balance = true;
    active.neighbours_to_json(*viewer, root, viewer->visible_members);
    EXPECT_TRUE(root.is_null());
}

}  // namespace
