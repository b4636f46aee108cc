// Radios in JSON: the "radios" of AP messages, the backup's "interfaces",
// the radio object sent to APs, the state form, the VAP lists, the steering
// lists, and the domain's channel sets.

#include "DomainConfig.h"
#include "JsonAppender.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "RadioList.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using rrm::ChannelSets;
using rrm::JsonReader;
using rrm::JsonWriter;
using rrm::MacAddress;
using rrm::Radio;
using rrm::RadioList;

const MacAddress BASE = rrm::mac_from_string("00:11:22:33:44:50");

std::set<int32_t> as_set(const std::unordered_set<int32_t>& s)
{
    return std::set<int32_t>(s.begin(), s.end());
}

// The radios of one "subscribe-request" as an AP sends them.
const char* const SUBSCRIBE_RADIOS = R"({"radios":[
  {"id":0,"status":1,"channel":6,"band":2,"power":17,"power-max":20,"power-min":5,
   "bandwidth":20,"available-channels":"1,6,11","locked-for-balancer":0,
   "locked-for-80211v":0,
   "vaps":[{"id":0,"ssid":"corp","802dot11k":1,"802dot11r":1,"802dot11v":1}]},
  {"id":1,"status":1,"channel":36,"power":20,"power-max":23,"power-min":3,"bandwidth":80,
   "primary-channel":"uu","eirp-min":10,"eirp-max":30,
   "antenna-configuration":{"antenna-gain":3,"cable-loss":1},
   "available-channels":"48 44 40 36",
   "vaps":[{"id":1,"ssid":"guest","802dot11v":1},
           {"id":0,"ssid":"corp","mac":"00:11:22:33:44:60"}],
   "assoclist":[{"mac":"aa:bb:cc:dd:ee:01","ssid":"guest","rssi":-55}]}]})";

// What the server sends back in "subscribe-response" / "rrm-info": the
// enabled radios only, with the domain's steering values. Radio 1's
// "uu" is overridden by the bonding plan (channel 36 is the lowest of its
// 80 MHz block); its EIRP is power + gain - loss.
const char* const RADIOS_TO_AP =
    R"({"radios":[{"id":0,"channel":6,"band":2,"power":17,"bandwidth":20,)"
    R"("primary-channel":"none","tavik-sta-rssi-thr-low":-75,"tavik-sta-rssi-thr-high":-65,)"
    R"("tavik-roam-attempt-timeout":600,"tavik-client-rssi-renew":15,"tavik-client-max-age":20,)"
    R"("tavik-try-no-balance":2,"no-balance-enterprise":0},)"
    R"({"id":1,"channel":36,"band":5,"power":20,"eirp-min":10,"eirp-max":30,"eirp":22,)"
    R"("antenna-configuration":{"antenna-gain":3,"cable-loss":1},"bandwidth":80,)"
    R"("primary-channel":"ll","tavik-sta-rssi-thr-low":-75,"tavik-sta-rssi-thr-high":-65,)"
    R"("tavik-roam-attempt-timeout":600,"tavik-client-rssi-renew":15,"tavik-client-max-age":20,)"
    R"("tavik-try-no-balance":2,"no-balance-enterprise":0}]})";

// The state form of the same list: all three radios, locks absent from the
// message read as 1, channels ascending, VAPs by SSID; radio 1's "guest"
// loses 802.11v to its lock.
const char* const RADIO_STATE =
    R"({"received":0,"interfaces":[)"
    R"({"id":0,"mac":"00:11:22:33:44:50","mac-offset":0,"radio-mac-count":16,"status":1,)"
    R"("power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":0,)"
    R"("locked-80211v":0,"channel":6,"band":2,"power":17,"max-power":20,"min-power":5,)"
    R"("bandwidth":20,"primary-channel":0,"available-channels":[1,6,11],)"
    R"("vaps":[{"id":0,"ssid":"corp","mac":"00:11:22:33:44:50","mobility-domain":47383,)"
    R"("use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":1}],"assoc_clients":[]},)"
    R"({"id":1,"mac":"00:11:22:33:44:60","mac-offset":16,"radio-mac-count":16,"status":1,)"
    R"("power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":1,)"
    R"("locked-80211v":1,"channel":36,"band":5,"power":20,"max-power":23,"min-power":3,)"
    R"("bandwidth":80,"primary-channel":256,"eirp-min":10,"eirp-max":30,"eirp":22,)"
    R"("available-channels":[36,40,44,48],)"
    R"("antenna-configuration":{"antenna-gain":3,"cable-loss":1},)"
    R"("vaps":[{"id":0,"ssid":"corp","mac":"00:11:22:33:44:60","mobility-domain":47383,)"
    R"("use_802dot11k":0,"use_802dot11r":0,"use_802dot11v":0},)"
    R"({"id":1,"ssid":"guest","mac":"00:11:22:33:44:61","mobility-domain":52163,)"
    R"("use_802dot11k":0,"use_802dot11r":0,"use_802dot11v":0}],)"
    R"("assoc_clients":[{"mac":"AA:BB:CC:DD:EE:01","dbm-signal":-55,"ssid":"guest",)"
    R"("no-balance":0}]},)"
    R"({"id":2,"mac":"00:11:22:33:44:70","mac-offset":32,"radio-mac-count":16,"status":0,)"
    R"("power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":0,)"
    R"("locked-80211v":0,"channel":0,"band":0,"power":0,"max-power":0,"min-power":0,)"
    R"("bandwidth":20,"primary-channel":0,"available-channels":[],"vaps":[],)"
    R"("assoc_clients":[]}]})";

class RadioJson : public ::testing::Test {
protected:
    rrm::DomainConfig config;
    ChannelSets sets;
    testsupport::LogCapture logs;

    RadioList list() { return RadioList(&config, BASE); }

    void apply(RadioList& radios, const char* message, bool parse_vaps = true)
    {
        JsonReader json(message);
        ASSERT_FALSE(json.is_null()) << message;
        radios.from_json(json, sets, parse_vaps, false);
    }

    // One radio element applied to radio `id` of a fresh list.
    Radio one(const std::string& element, int id = 0)
    {
        RadioList radios = list();
        apply(radios, ("{\"radios\":[" + element + "]}").c_str());
        return radios.radios[static_cast<size_t>(id)];
    }

    static std::string to_ap(const RadioList& radios)
    {
        JsonWriter object("");
        radios.to_json(object);
        return object.to_string();
    }
    // The same, appended to a text.
    static std::string appended_to_ap(const RadioList& radios)
    {
        std::string text;
        {
            rrm::JsonAppender object(text, nullptr, nullptr, nullptr);
            radios.to_json(object);
        }
        return text;
    }
    static std::string state(const RadioList& radios)
    {
        JsonWriter object("");
        radios.state_to_json(object);
        return object.to_string();
    }
};

TEST_F(RadioJson, SubscribeRadiosWrittenBackExactly)
{
    RadioList radios = list();
    apply(radios, SUBSCRIBE_RADIOS);
    EXPECT_EQ(RADIOS_TO_AP, to_ap(radios));
    EXPECT_EQ(RADIOS_TO_AP, appended_to_ap(radios));
    EXPECT_EQ(RADIO_STATE, state(radios));
    EXPECT_FALSE(radios.defaults_pending);
    EXPECT_EQ((std::set<int32_t>{1, 6, 11}), as_set(sets[2]));
    EXPECT_EQ((std::set<int32_t>{36, 40, 44, 48}), as_set(sets[5]));
    EXPECT_TRUE(sets[6].empty());
    EXPECT_TRUE(sets[0].empty());

    // A list without enabled radio sends an empty array.
    RadioList none = list();
    EXPECT_EQ(R"({"radios":[]})", to_ap(none));
}

TEST_F(RadioJson, SingleRadioMessageDisablesTheOthers)
{
    RadioList radios = list();
    apply(radios, R"({"radios":[{"id":2,"status":1,"channel":1}]})");
    apply(radios, R"({"radios":[{"id":1,"status":1,"channel":40,"bandwidth":80,
                                 "primary-channel":"ll"}]})");
    const Radio& r1 = radios.radios[1];
    EXPECT_TRUE(r1.status);
    EXPECT_EQ(40, r1.channel);
    EXPECT_EQ(5, r1.band);
    EXPECT_EQ(512, r1.primary_channel);  // second in its 80 MHz block
    for (int id : {0, 2}) {
        EXPECT_FALSE(radios.radios[id].status) << id;
        EXPECT_EQ(0, radios.radios[id].channel) << id;
        EXPECT_EQ(0, radios.radios[id].band) << id;
    }
    EXPECT_TRUE(logs.has(rrm::LOG_LEVEL_DEBUG,
                         "radio message without band: inferred/reused band=5 "
                         "mac=00:11:22:33:44:60 id=1 channel=40"));
}

TEST_F(RadioJson, RadioNumbersOfElements)
{
    struct Case {
        const char* radios;
        int enabled;      // -1: none
        const char* warning;
    } cases[] = {
        {R"([null,null,{"status":1,"channel":6}])", 2, nullptr},
        {R"([{"id":3,"status":1,"channel":6}])", -1, "Skip invalid radio id=3, radios_count=3"},
        {R"([{"id":-1,"status":1,"channel":6}])", -1, "Skip invalid radio id=-1, radios_count=3"},
        {R"({"id":0,"status":1})", -1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.radios);
        logs.clear();
        RadioList radios = list();
        apply(radios, (std::string("{\"radios\":") + c.radios + "}").c_str());
        for (int id = 0; id < 3; ++id)
            EXPECT_EQ(id == c.enabled, radios.radios[id].status) << id;
        EXPECT_EQ(c.warning ? 1u : 0u, logs.count(rrm::LOG_LEVEL_WARNING,
                                                  c.warning ? c.warning : ""));
        EXPECT_FALSE(radios.defaults_pending);
    }

    // Without "radios" nothing changes but the defaults flag.
    RadioList radios = list();
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6}]})");
    RadioList fresh = list();
    apply(fresh, R"({"radios":null})");
    EXPECT_FALSE(fresh.defaults_pending);
    apply(radios, R"({})");
    EXPECT_TRUE(radios.radios[0].status);
}

TEST_F(RadioJson, LocksForTheBalancers)
{
    struct Case {
        const char* member;
        int value;
    } cases[] = {{"", 1}, {R"(,"locked-for-balancer":null)", 0},
                 {R"(,"locked-for-balancer":"1")", 1}, {R"(,"locked-for-balancer":0)", 0},
                 {R"(,"locked-for-balancer":true)", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.member);
        Radio radio = one(std::string(R"({"status":1,"channel":6)") + c.member + "}");
        EXPECT_EQ(c.value, radio.locked_balancer);
        EXPECT_EQ(1, radio.locked_80211v);
        EXPECT_EQ(0, radio.locked_tpc);
    }
}

TEST_F(RadioJson, PowerManagedByTheTransmitPowerControl)
{
    RadioList radios = list();
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6,"power":15,"power-max":20}]})");
    EXPECT_EQ(15, radios.radios[0].power);
    EXPECT_TRUE(radios.radios[0].power_initialized);
    EXPECT_TRUE(radios.radios[0].channel_initialized);
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6,"power":18,"power-max":20}]})");
    EXPECT_EQ(15, radios.radios[0].power);
    apply(radios, R"({"radios":[{"id":0,"status":0,"channel":6,"power":18,"power-max":20}]})");
    EXPECT_EQ(18, radios.radios[0].power);
    EXPECT_FALSE(radios.radios[0].power_initialized);
    EXPECT_FALSE(radios.radios[0].channel_initialized);

    // A radio locked for power planning always takes the AP's power.
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6,"power":12,"power-max":20,
                                 "locked-for-tpc":1}]})");
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6,"power":13,"power-max":20,
                                 "locked-for-tpc":1}]})");
    EXPECT_EQ(13, radios.radios[0].power);
}

TEST_F(RadioJson, AvailableChannelsText)
{
    struct Case {
        const char* text;
        int band;  // of the radio element
        std::set<int32_t> radio;
        std::set<int32_t> domain;  // the set of the radio's band
    } cases[] = {
        {"36 40,44;48", 5, {36, 40, 44, 48}, {36, 40, 44, 48}},
        {"0 00 -36", 5, {36}, {36}},
        {"36,200", 5, {36, 200}, {36}},
        {"300", 5, {300}, {}},
        // Beyond 32 bits: dropped, not wrapped to channel 36.
        {"4294967332,40", 5, {40}, {40}},
        {"2147483648 2147483647", 5, {2147483647}, {}},
        {"99999999999999999999999 1", 2, {1}, {1}},
        {"1 6 11 13", 2, {1, 6, 11, 13}, {1, 6, 11, 13}},
        {"", 5, {}, {}},
        {"abc", 5, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ChannelSets fresh;
        sets = fresh;
        Radio radio = one(std::string(R"({"status":1,"channel":36,"band":)") +
                          std::to_string(c.band) + R"(,"available-channels":")" + c.text +
                          "\"}");
        EXPECT_EQ(c.radio, as_set(radio.available_channels));
        EXPECT_EQ(c.domain, as_set(sets[static_cast<size_t>(c.band)]));
    }

    // 6 GHz channels above 165 count only for a 6 GHz radio; a radio
    // without band sorts by the channel alone.
    sets = ChannelSets{};
    one(R"({"status":1,"channel":37,"band":6,"available-channels":"5 37 200"})");
    EXPECT_EQ((std::set<int32_t>{5, 37, 200}), as_set(sets[6]));
    sets = ChannelSets{};
    Radio unbanded = one(R"({"status":1,"channel":0,"available-channels":"6 20 36 200"})");
    EXPECT_EQ(0, unbanded.band);
    EXPECT_EQ((std::set<int32_t>{6}), as_set(sets[2]));
    EXPECT_EQ((std::set<int32_t>{36}), as_set(sets[5]));
    EXPECT_TRUE(sets[6].empty());

    // An array is no text: the radio's set is emptied.
    Radio array = one(R"({"status":1,"channel":36,"available-channels":[36,40]})");
    EXPECT_TRUE(array.available_channels.empty());
}

TEST_F(RadioJson, EirpGroup)
{
    RadioList radios = list();
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6,"power":10,"power-max":20,
                                 "eirp-max":20}]})");
    const Radio& r = radios.radios[0];
    EXPECT_EQ(-1, r.eirp);
    EXPECT_EQ(-1, r.eirp_min);
    EXPECT_EQ(20, r.eirp_max);
    EXPECT_FALSE(r.antenna_configured);
    EXPECT_NE(std::string::npos, to_ap(radios).find(R"("power":10,"eirp-max":20,"eirp":-1,)"));

    // Without any EIRP member the previous values stay.
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6,"power":10,"power-max":20}]})");
    EXPECT_EQ(20, radios.radios[0].eirp_max);

    // A null antenna description is none; any other value is one, a
    // non-object without gain or loss.
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6,"antenna-configuration":null}]})");
    EXPECT_FALSE(radios.radios[0].antenna_configured);
    EXPECT_EQ(-1, radios.radios[0].eirp_max);
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6,"antenna-configuration":5}]})");
    EXPECT_TRUE(radios.radios[0].antenna_configured);
    EXPECT_EQ(0, radios.radios[0].antenna_gain);

    // The state form of a radio without EIRP data has none of its members.
    RadioList plain = list();
    apply(plain, R"({"radios":[{"id":0,"status":1,"channel":6}]})");
    const std::string text = state(plain);
    for (const char* key : {"\"eirp-min\"", "\"eirp-max\"", "\"eirp\"", "antenna-configuration"})
        EXPECT_EQ(std::string::npos, text.find(key)) << key;
}

TEST_F(RadioJson, MacParametersWhileDefaultsArePending)
{
    RadioList radios = list();
    apply(radios, R"({"radios":[{"id":1,"status":1,"channel":36}]})");
    EXPECT_EQ(16, radios.radios[1].mac_offset);
    EXPECT_EQ(rrm::mac_from_string("00:11:22:33:44:60"), radios.radios[1].mac);
    const std::string set_mac_line =
        "radio id=1, max_mac_count=16, mac_offset=16, mac = 00:11:22:33:44:60";
    EXPECT_EQ(1u, logs.count(rrm::LOG_LEVEL_TRACE, set_mac_line));

    logs.clear();
    apply(radios, R"({"radios":[{"id":1,"status":1,"channel":36,"mac-offset":16}]})");
    EXPECT_EQ(0u, logs.count(rrm::LOG_LEVEL_TRACE, set_mac_line));
    apply(radios, R"({"radios":[{"id":1,"status":1,"channel":36,"mac-offset":32,
                                 "radio-mac-count":8}]})");
    EXPECT_EQ(rrm::mac_from_string("00:11:22:33:44:70"), radios.radios[1].mac);
    EXPECT_EQ(8, radios.radios[1].radio_mac_count);
    EXPECT_TRUE(logs.has(rrm::LOG_LEVEL_TRACE,
                         "radio id=1, max_mac_count=8, mac_offset=32, mac = 00:11:22:33:44:70"));
}

TEST_F(RadioJson, VapsAndClientsOnlyForFeaturesThatUseThem)
{
    const char* message = R"({"radios":[{"id":0,"status":1,"channel":6,
        "vaps":[{"id":0,"ssid":"a"}],"assoclist":[{"mac":"aa:bb:cc:dd:ee:01","ssid":"a"}]}]})";
    config.use_balance = false;
    config.use_80211k = false;
    config.use_80211r = false;
    config.use_80211v = false;
    RadioList radios = list();
    apply(radios, message);
    EXPECT_TRUE(radios.radios[0].vaps.empty());
    EXPECT_TRUE(radios.radios[0].client_table.clients.empty());

    config.use_80211r = true;
    apply(radios, message);
    EXPECT_EQ(1u, radios.radios[0].vaps.size());
    EXPECT_EQ(1u, radios.radios[0].client_table.clients.size());
    EXPECT_TRUE(logs.has(rrm::LOG_LEVEL_TRACE, "----------------------------------"));
    EXPECT_TRUE(logs.has(rrm::LOG_LEVEL_TRACE, "wlan_id = 0, mac = 00:11:22:33:44:50 , "
                                               "channel = 6, band = 2, power = 0"));

    // Without parse_vaps the VAPs stay as they were; with it, a message
    // without "vaps" leaves none.
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6,"vaps":[]}]})", false);
    EXPECT_EQ(1u, radios.radios[0].vaps.size());
    apply(radios, R"({"radios":[{"id":0,"status":1,"channel":6}]})", true);
    EXPECT_TRUE(radios.radios[0].vaps.empty());
    EXPECT_EQ(1u, radios.radios[0].client_table.clients.size());
}

TEST_F(RadioJson, BackupRadioRestore)
{
    RadioList radios = list();
    JsonReader backup(R"({"received":1,"interfaces":[
        {"id":1,"status":1,"channel":104,"power":14,"max-power":20,"min-power":4,
         "bandwidth":40,"primary-channel":256,"available-channels":[100,0,-3,104,300],
         "mac":"99:99:99:99:99:99","eirp-max":3,"power-changed":4,"conflicted":1,
         "vaps":[{"id":1,"ssid":"corp","use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":1,
                  "802dot11k":0,"fbt-r0-keyholder":"r0","fbt-r1-keyholder":"001122334461",
                  "fbt-rrb-key":"AbCdEfGhIjKlMnOp",
                  "fbt-links":[{"remote-r0-kh-id":"x","remote-r1-kh-id":"02:00:00:00:00:01",
                                "remote-r1-kh-key":"k"}]}]},
        {"id":7}]})");
    radios.restore(backup, sets);
    EXPECT_TRUE(logs.has(rrm::LOG_LEVEL_WARNING, "Skip invalid restore radio id=7, radios_count=3"));
    EXPECT_FALSE(radios.received);
    EXPECT_FALSE(radios.defaults_pending);
    const Radio& r = radios.radios[1];
    EXPECT_TRUE(r.status);
    EXPECT_EQ(0, r.locked_balancer);  // absent: 0, unlike AP messages
    EXPECT_EQ(0, r.locked_80211v);
    EXPECT_EQ(16, r.mac_offset);
    EXPECT_EQ(rrm::mac_from_string("00:11:22:33:44:60"), r.mac);  // recomputed
    EXPECT_EQ(5, r.band);
    EXPECT_EQ(512, r.primary_channel);  // normalised: 104 is above its centre 102
    EXPECT_EQ(14, r.power);
    EXPECT_TRUE(r.power_initialized);
    EXPECT_TRUE(r.channel_initialized);
    EXPECT_EQ(-1, r.eirp_max);  // the EIRP group is not restored
    EXPECT_EQ(0, r.power_changed);
    EXPECT_FALSE(r.conflicted);
    EXPECT_EQ((std::set<int32_t>{-3, 0, 100, 104, 300}), as_set(r.available_channels));
    EXPECT_EQ((std::set<int32_t>{100, 104}), as_set(sets[5]));
    const rrm::Vap* vap = r.vaps.find("corp");
    ASSERT_NE(nullptr, vap);
    EXPECT_TRUE(vap->use_802dot11k);
    EXPECT_TRUE(vap->use_802dot11v);
    EXPECT_EQ(rrm::mac_from_string("00:11:22:33:44:61"), vap->mac);
    EXPECT_EQ("AbCdEfGhIjKlMnOp", vap->fbt_rrb_key);
    ASSERT_EQ(1u, vap->fbt_links.size());
    EXPECT_TRUE(logs.has(rrm::LOG_LEVEL_TRACE,
                         "wlan_id = 1, mac = 00:11:22:33:44:60 , channel = 104, power = 14"));
    for (int id : {0, 2})
        EXPECT_FALSE(radios.radios[id].status);

    // No "interfaces": nothing but the defaults flag.
    RadioList other = list();
    JsonReader empty(R"({"received":1})");
    other.restore(empty, sets);
    EXPECT_FALSE(other.defaults_pending);
}

TEST_F(RadioJson, StateFormRestoresIntoAnEqualRadio)
{
    RadioList radios = list();
    apply(radios, SUBSCRIBE_RADIOS);
    const std::string first = state(radios);
    JsonReader backup(first.c_str());
    RadioList restored = list();
    restored.restore(backup, sets);
    // The locks read by name in both forms; EIRP data and clients are not
    // restored.
    std::string expected = first;
    const std::string eirp =
        R"("eirp-min":10,"eirp-max":30,"eirp":22,)";
    expected.erase(expected.find(eirp), eirp.size());
    const std::string antenna = R"("antenna-configuration":{"antenna-gain":3,"cable-loss":1},)";
    expected.erase(expected.find(antenna), antenna.size());
    const std::string client =
        R"({"mac":"AA:BB:CC:DD:EE:01","dbm-signal":-55,"ssid":"guest","no-balance":0})";
    expected.erase(expected.find(client), client.size());
    EXPECT_EQ(expected, state(restored));
}

TEST_F(RadioJson, VapListsAndSteeringLists)
{
    RadioList radios = list();
    apply(radios, SUBSCRIBE_RADIOS);
    radios.radios[0].vaps.find("corp")->fbt_rrb_key = "K";
    JsonWriter short_form("");
    radios.vaps_to_json(short_form);
    EXPECT_EQ(
        R"({"radios":[{"id":0,"vaps":[{"id":0,"ssid":"corp","mac":"00:11:22:33:44:50",)"
        R"("mobility-domain":47383,"use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":1}]},)"
        R"({"id":1,"vaps":[{"id":0,"ssid":"corp","mac":"00:11:22:33:44:60",)"
        R"("mobility-domain":47383,"use_802dot11k":0,"use_802dot11r":0,"use_802dot11v":0},)"
        R"({"id":1,"ssid":"guest","mac":"00:11:22:33:44:61","mobility-domain":52163,)"
        R"("use_802dot11k":0,"use_802dot11r":0,"use_802dot11v":0}]},{"id":2,"vaps":[]}]})",
        std::string(short_form.to_string()));
    JsonWriter full_form("");
    radios.vaps_to_json_full(full_form);
    EXPECT_NE(std::string::npos,
              std::string(full_form.to_string())
                  .find(R"("use_802dot11v":1,"fbt-r0-keyholder":"","fbt-r1-keyholder":"",)"
                        R"("fbt-rrb-key":"K"})"));

    Radio& r = radios.radios[1];
    JsonWriter message("rrm", "x", "");
    JsonWriter list_writer = message.add_array("radios");
    r.disassoc_list_to_json(list_writer);
    r.block_list.block_disassoc(rrm::mac_from_string("aa:00:00:00:00:02"), 30, "guest");
    r.block_list.block_disassoc(rrm::mac_from_string("aa:00:00:00:00:01"), 30, "corp");
    r.block_list.block(rrm::mac_from_string("aa:00:00:00:00:03"), 30);
    r.disassoc_list_to_json(list_writer);
    r.probe_request_to_json(list_writer, "aa:bb:cc:dd:ee:ff", "corp", 9);
    r.blacklist_to_json(list_writer);
    EXPECT_EQ(
        R"({"service":"rrm","version":"2.4","cmd":"x","radios":[)"
        R"({"id":1,"diassoc-list":[]},)"
        R"({"id":1,"diassoc-list":[{"mac":"AA:00:00:00:00:01","ssid":"corp","timeout":30},)"
        R"({"mac":"AA:00:00:00:00:02","ssid":"guest","timeout":30}]},)"
        R"({"id":1,"probe-list":[{"ssid":"corp","mac":"aa:bb:cc:dd:ee:ff","timeout":9}]},)"
        R"({"id":1,"blacklist":[{"mac":"AA:00:00:00:00:03","action":"block","timeout":30}]}]})",
        std::string(message.to_string()));
}

}  // namespace
