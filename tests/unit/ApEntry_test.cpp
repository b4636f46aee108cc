// The AP entry: identity, platform detection, radio MACs, the state object,
// restore from a backup element, copy and the per-radio clearing.

#include "ApEntry.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "JsonWriter.h"

#include "ApFixtures.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using rrm::ApEntry;
using rrm::FactorySettings;
using rrm::JsonReader;
using rrm::JsonWriter;
using testsupport::add_vap;
using testsupport::enable_radio;
using testsupport::mac;
using testsupport::make_ap;

std::string state_of(const ApEntry& ap)
{
    JsonWriter object("");
    ap.to_json(object);
    return object.to_string();
}

std::string full_vaps_of(const ApEntry& ap)
{
    JsonWriter object("");
    ap.vaps_to_json_full(object);
    return object.to_string();
}

// The state form of a radio that nothing was read into.
std::string idle_radio(int id, const char* mac_text)
{
    return std::string(R"({"id":)") + std::to_string(id) + R"(,"mac":")" + mac_text +
           R"(","mac-offset":)" + std::to_string(id * 16) +
           R"(,"radio-mac-count":16,"status":0,"power-changed":0,"conflicted":0,)"
           R"("locked-tpc":0,"locked-dca":0,"locked-balancer":0,"locked-80211v":0,"channel":1,)"
           R"("band":0,"power":0,"max-power":0,"min-power":0,"bandwidth":20,"primary-channel":0,)"
           R"("available-channels":[],"vaps":[],"assoc_clients":[]})";
}

TEST(ApEntry, NewEntryStateObject)
{
    rrm::DomainConfig config;
    auto ap = make_ap(config, "00:11:22:33:44:50", 3);
    EXPECT_EQ(std::string(R"({"mac":"00:11:22:33:44:50","active":0,"ap-mac-count":48,)"
                          R"("use-wildcard-80211r":0,"radios":{"received":0,"interfaces":[)") +
                  idle_radio(0, "00:11:22:33:44:50") + "," + idle_radio(1, "00:11:22:33:44:60") +
                  "," + idle_radio(2, "00:11:22:33:44:70") +
                  R"(]},"visible-members":[],"visible-rogue":[]})",
              state_of(*ap));
    EXPECT_EQ(3u, ap->session.id);
    EXPECT_EQ(0, ap->ttl);
    EXPECT_FALSE(ap->session_dropped);
    EXPECT_FALSE(ap->fbt_changed);
}

TEST(ApEntry, FactorySettingsFromTheSubscribeRequest)
{
    JsonReader json(R"({"factory":{"board":"TSDK-7","hw":"rev B","serial":"S1",
                                   "mac":"aa:bb:cc:dd:ee:ff"},
                        "bad":{"board":7,"mac":"aa-bb-cc-dd-ee-ff"}})");
    FactorySettings good(json.child("factory"));
    EXPECT_EQ("TSDK-7", good.board);
    EXPECT_EQ("rev B", good.hw);
    EXPECT_EQ("S1", good.serial);
    EXPECT_EQ(mac("AA:BB:CC:DD:EE:FF"), good.mac);
    FactorySettings bad(json.child("bad"));
    EXPECT_EQ("", bad.board);
    EXPECT_EQ("", bad.hw);
    EXPECT_EQ(rrm::MacAddress{}, bad.mac);
    FactorySettings none(json.child("missing"));
    EXPECT_EQ("", none.serial);
}

TEST(ApEntry, PlatformDetection)
{
    struct Case {
        const char* board;
        int platform;
        const char* name;
    } cases[] = {
        {"FP-AP320", 1, "FastPath"},
        {"fp-ap320", 1, "FastPath"},      // prefixes ignore case
        {"TVK-FP-20", 1, "FastPath"},     // also a platform-0 prefix: list 1 is tried first
        {"TVK-100", 0, "TSDK"},
        {"tsdk-ax", 0, "TSDK"},
        {"RTL8197F", 2, "Realtek"},
        {"rtax-6", 2, "Realtek"},
        {"FP-AP320-emu", -1, "Unknown"},  // the exclusion marker anywhere
        {"x-EMU-RTL8", -1, "Unknown"},
        {"ACME-1", -1, "Unknown"},
        {"RT", -1, "Unknown"},            // shorter than every prefix
        {"", -1, "Unknown"},
        {" FP-AP", -1, "Unknown"},        // a prefix must start the board name
    };
    rrm::DomainConfig config;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.board);
        auto ap = make_ap(config, "00:00:00:00:00:01", 1, FactorySettings(c.board, "", "", {}));
        EXPECT_EQ(c.platform, ap->get_platform());
        EXPECT_EQ(c.name, ap->get_platform_name());
        ApEntry copy(*ap);
        EXPECT_EQ(c.platform, copy.get_platform());
    }
}

TEST(ApEntry, RadioMacOfAnyRadioElseTheBaseMac)
{
    rrm::DomainConfig config;
    auto ap = make_ap(config, "00:11:22:33:44:50");
    testsupport::LogCapture logs;
    EXPECT_EQ(mac("00:11:22:33:44:70"), ap->get_radio_mac(2));  // disabled, still its MAC
    EXPECT_TRUE(logs.records().empty());
    for (int id : {-1, 3}) {
        logs.clear();
        EXPECT_EQ(ap->base_mac, ap->get_radio_mac(id));
        const auto records = logs.records();
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ(rrm::LOG_LEVEL_WARNING, records[0].level);
        EXPECT_EQ("get_radio_mac", records[0].func);
        EXPECT_EQ("get_radio_mac fallback to base_mac=00:11:22:33:44:50 for invalid/disabled "
                  "radio_id=" +
                      std::to_string(id),
                  records[0].text);
    }
}

TEST(ApEntry, RestoreOfTheTopLevelMembers)
{
    struct Case {
        const char* element;
        int ap_mac_count;
        bool wildcard;
    } cases[] = {
        {"{}", 48, false},
        {R"({"ap-mac-count":null})", 0, false},
        {R"({"ap-mac-count":1.5})", 0, false},
        {R"({"ap-mac-count":"60","use-wildcard-80211r":true})", 60, true},
        {R"({"ap-mac-count":64,"use-wildcard-80211r":2})", 64, true},
        {R"({"use-wildcard-80211r":"0"})", 48, false},
        {R"({"use-wildcard-80211r":"1"})", 48, true},
    };
    rrm::DomainConfig config;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.element);
        auto ap = make_ap(config, "00:11:22:33:44:50");
        ap->ap_mac_count = 7;
        ap->use_wildcard_80211r = !c.wildcard;
        rrm::ChannelSets sets;
        JsonReader json(c.element);
        ap->restore(json, sets);
        EXPECT_EQ(c.ap_mac_count, ap->ap_mac_count);
        EXPECT_EQ(c.wildcard, ap->use_wildcard_80211r);
    }

    // A null "radios" leaves the radio list as constructed.
    auto ap = make_ap(config, "00:11:22:33:44:50");
    rrm::ChannelSets sets;
    JsonReader json(R"({"radios":null,"visible-members":null})");
    ap->restore(json, sets);
    EXPECT_TRUE(ap->radios.defaults_pending);
    EXPECT_EQ(1, ap->radios.radios[0].channel);
}

// One AP element of a domain backup file: the state object whose interfaces
// carry the full VAP form (key holders, RRB key, link objects) as their last
// member, with the identity appended.
const char* const BACKUP_ELEMENT = R"({
  "mac":"00:11:22:33:44:50","active":1,"ap-mac-count":32,"use-wildcard-80211r":1,
  "radios":{"received":1,"interfaces":[
    {"id":0,"mac":"00:11:22:33:44:50","mac-offset":0,"radio-mac-count":16,"status":0,
     "power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":0,
     "locked-80211v":0,"channel":0,"band":0,"power":0,"max-power":0,"min-power":0,
     "bandwidth":20,"primary-channel":0,"available-channels":[],"assoc_clients":[],
     "vaps":[]},
    {"id":1,"mac":"00:11:22:33:44:60","mac-offset":16,"radio-mac-count":16,"status":1,
     "power-changed":-2,"conflicted":1,"locked-tpc":0,"locked-dca":0,"locked-balancer":1,
     "locked-80211v":0,"channel":44,"band":5,"power":18,"max-power":23,"min-power":3,
     "bandwidth":40,"primary-channel":256,"available-channels":[36,40,44,48],
     "assoc_clients":[{"mac":"AA:BB:CC:DD:EE:01","dbm-signal":-55,"ssid":"corp","no-balance":0}],
     "vaps":[{"id":1,"ssid":"corp","mac":"00:11:22:33:44:61","mobility-domain":47383,
              "use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":1,
              "fbt-r0-keyholder":"corp-r0","fbt-r1-keyholder":"001122334461",
              "fbt-rrb-key":"AbCdEfGhIjKlMnOp",
              "fbt-links":[{"remote-r0-kh-id":"corp-r0","remote-r1-kh-id":"00:AA:00:00:00:11",
                            "remote-r1-kh-key":"QrStUvWxYzAbCdEf"},
                           {"remote-r0-kh-id":"*","remote-r1-kh-id":"ff:ff:ff:ff:ff:ff",
                            "remote-r1-kh-key":"WildWildWildWild"}]},
             {"id":2,"ssid":"guest","mac":"00:11:22:33:44:62","mobility-domain":52163,
              "use_802dot11k":0,"use_802dot11r":0,"use_802dot11v":0,
              "fbt-r0-keyholder":"","fbt-r1-keyholder":"","fbt-rrb-key":""}]},
    {"id":2,"mac":"00:11:22:33:44:70","mac-offset":32,"radio-mac-count":16,"status":0,
     "power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":0,
     "locked-80211v":0,"channel":0,"band":0,"power":0,"max-power":0,"min-power":0,
     "bandwidth":20,"primary-channel":0,"available-channels":[],"assoc_clients":[],
     "vaps":[]}]},
  "visible-members":[{"mac":"00:AA:00:00:00:10","dbm-signal":-61,"channel":36,"band":5,
                      "bandwidth":80,"tx-power":20,"primary":256}],
  "visible-rogue":[{"mac":"12:34:56:78:9A:BC","dbm-signal":-80,"channel":6,"band":2,
                    "bandwidth":20,"tx-power":17,"primary":0}],
  "board":"TSDK-7","hw":"rev B","serial":"S1"})";

TEST(ApEntry, RestoreOfAFullBackupElementKeepsKeysAndLinks)
{
    rrm::DomainConfig config;
    auto ap = make_ap(config, "00:11:22:33:44:50");
    rrm::ChannelSets sets;
    JsonReader element(BACKUP_ELEMENT);
    ASSERT_FALSE(element.is_null());
    ap->restore(element, sets);

    EXPECT_FALSE(ap->active);  // not restored
    EXPECT_EQ(32, ap->ap_mac_count);
    EXPECT_TRUE(ap->use_wildcard_80211r);
    EXPECT_EQ((std::unordered_set<int32_t>{36, 40, 44, 48}), sets[5]);
    const rrm::Radio& radio = ap->radios.radios[1];
    EXPECT_TRUE(radio.status);
    EXPECT_EQ(44, radio.channel);
    EXPECT_EQ(1, radio.locked_balancer);
    EXPECT_TRUE(radio.client_table.clients.empty());  // clients are not restored
    ASSERT_EQ(2u, radio.vaps.size());
    const rrm::Vap* corp = radio.vaps.find("corp");
    ASSERT_NE(nullptr, corp);
    EXPECT_TRUE(corp->use_802dot11r);
    EXPECT_EQ("corp-r0", corp->fbt_r0_keyholder);
    EXPECT_EQ("001122334461", corp->fbt_r1_keyholder);
    EXPECT_EQ("AbCdEfGhIjKlMnOp", corp->fbt_rrb_key);
    ASSERT_EQ(2u, corp->fbt_links.size());
    EXPECT_EQ("QrStUvWxYzAbCdEf", corp->fbt_links[0].remote_r1_kh_key());
    EXPECT_EQ("ff:ff:ff:ff:ff:ff", corp->fbt_links[1].remote_r1_kh_id());
    // A restored broadcast link counts: no second one is added.
    rrm::Vap copy = *corp;
    EXPECT_FALSE(copy.link_broadcast_802dot11r());
    EXPECT_EQ(1u, ap->visible_members.size());
    EXPECT_EQ(1u, ap->visible_rogue.size());

    // What the restored AP gives for the next backup: the same full VAP
    // form, so keys and links survive any number of fail-overs.
    const std::string full = full_vaps_of(*ap);
    EXPECT_NE(std::string::npos,
              full.find(R"({"id":1,"ssid":"corp","mac":"00:11:22:33:44:61","mobility-domain":47383,)"
                        R"("use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":1,)"
                        R"("fbt-r0-keyholder":"corp-r0","fbt-r1-keyholder":"001122334461",)"
                        R"("fbt-rrb-key":"AbCdEfGhIjKlMnOp","fbt-links":[)"
                        R"({"remote-r0-kh-id":"corp-r0","remote-r1-kh-id":"00:AA:00:00:00:11",)"
                        R"("remote-r1-kh-key":"QrStUvWxYzAbCdEf"},)"
                        R"({"remote-r0-kh-id":"*","remote-r1-kh-id":"ff:ff:ff:ff:ff:ff",)"
                        R"("remote-r1-kh-key":"WildWildWildWild"}]})"))
        << full;

    // The state object after the restore: "active", power change, conflict
    // and clients start over; the rest is what the backup held.
    const std::string state = state_of(*ap);
    EXPECT_NE(std::string::npos,
              state.find(R"({"id":1,"mac":"00:11:22:33:44:60","mac-offset":16,)"
                         R"("radio-mac-count":16,"status":1,"power-changed":0,"conflicted":0,)"
                         R"("locked-tpc":0,"locked-dca":0,"locked-balancer":1,"locked-80211v":0,)"
                         R"("channel":44,"band":5,"power":18,"max-power":23,"min-power":3,)"
                         R"("bandwidth":40,"primary-channel":256,)"
                         R"("available-channels":[36,40,44,48],"vaps":[)"))
        << state;
    EXPECT_NE(std::string::npos,
              state.find(R"("visible-members":[{"mac":"00:AA:00:00:00:10","dbm-signal":-61,)"
                         R"("channel":36,"band":5,"bandwidth":80,"tx-power":20,"primary":256}],)"
                         R"("visible-rogue":[{"mac":"12:34:56:78:9A:BC")"))
        << state;
}

TEST(ApEntry, CopyKeepsEverythingButTheSession)
{
    rrm::DomainConfig config;
    auto source = make_ap(config, "00:11:22:33:44:50", 9, FactorySettings("RTL8197F", "h", "s", {}));
    rrm::Radio& radio = enable_radio(*source, 1, 44);
    add_vap(radio, "corp", 1).fbt_rrb_key = "K";
    radio.block_list.block(mac("aa:00:00:00:00:01"), 30);
    source->ttl = 4;
    source->session_dropped = true;
    source->active = true;
    source->fbt_changed = true;
    source->ap_mac_count = 64;
    source->use_wildcard_80211r = true;
    source->radios.set_received();
    source->visible_members.insert(mac("00:AA:00:00:00:10"), rrm::Neighbour(-60, 36, 5, 80, 20, 256));

    auto copy = std::make_shared<ApEntry>(*source);
    EXPECT_EQ(0u, copy->session.id);
    EXPECT_EQ(nullptr, copy->session.wsi);
    EXPECT_EQ(source->platform, copy->platform);
    EXPECT_EQ(2, copy->platform);
    EXPECT_EQ(source->config, copy->config);
    EXPECT_EQ(4, copy->ttl);
    EXPECT_TRUE(copy->session_dropped);
    EXPECT_TRUE(copy->active);
    EXPECT_TRUE(copy->fbt_changed);
    EXPECT_EQ(64, copy->ap_mac_count);
    EXPECT_TRUE(copy->use_wildcard_80211r);
    EXPECT_EQ("RTL8197F", copy->factory.board);
    EXPECT_EQ(state_of(*source), state_of(*copy));
    EXPECT_EQ(full_vaps_of(*source), full_vaps_of(*copy));

    copy->clear_blacklists();
    copy->radios.radios[1].vaps.clear();
    EXPECT_EQ(1u, radio.block_list.members.size());
    EXPECT_EQ(1u, radio.vaps.size());
}

TEST(ApEntry, ClearingBlockListsAndClients)
{
    rrm::DomainConfig config;
    auto ap = make_ap(config, "00:11:22:33:44:50");
    for (rrm::Radio& radio : ap->radios.radios) {
        radio.block_list.block(mac("aa:00:00:00:00:01"), 30);
        radio.block_list.block_disassoc(mac("aa:00:00:00:00:02"), 30, "s");
        radio.block_list.unblock(mac("aa:00:00:00:00:01"));
        radio.block_list.block(mac("aa:00:00:00:00:03"), 30);
        radio.client_table.add_client(mac("aa:00:00:00:00:04"), -50, "s", false, false);
    }
    ap->requeue_blacklists();
    for (const rrm::Radio& radio : ap->radios.radios) {
        ASSERT_EQ(2u, radio.block_list.changes.size());  // a block per member
        EXPECT_TRUE(radio.block_list.changes.at(mac("aa:00:00:00:00:02")));
    }
    ap->clear_blacklists();
    ap->clear_clients();
    for (const rrm::Radio& radio : ap->radios.radios) {
        EXPECT_TRUE(radio.block_list.members.empty());
        EXPECT_TRUE(radio.block_list.changes.empty());
        EXPECT_TRUE(radio.block_list.disassoc.empty());
        EXPECT_TRUE(radio.client_table.clients.empty());
    }
}

TEST(ApEntry, SeesRadioOfAnotherAp)
{
    rrm::DomainConfig config;
    auto viewer = make_ap(config, "00:11:22:33:44:50");
    auto other = make_ap(config, "00:AA:00:00:00:00");  // radios :00, :10, :20, all disabled
    EXPECT_FALSE(viewer->sees_radio_of(other));
    EXPECT_FALSE(viewer->sees_radio_of(nullptr));
    viewer->visible_members.insert(mac("02:AA:00:00:00:20"), rrm::Neighbour());
    EXPECT_TRUE(viewer->sees_radio_of(other));
    viewer->visible_members.clear();
    viewer->visible_members.insert(mac("00:AA:00:00:00:21"), rrm::Neighbour());
    viewer->visible_rogue.insert(mac("00:AA:00:00:00:10"), rrm::Neighbour());
    EXPECT_FALSE(viewer->sees_radio_of(other));
}

}  // namespace
