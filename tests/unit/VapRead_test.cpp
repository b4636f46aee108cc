// Reading a radio's "vaps" array under the VAP MAC pool rules.

#include "JsonReader.h"
#include "VapMap.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using rrm::JsonReader;
using rrm::MacAddress;
using rrm::VapMap;
using rrm::VapPool;

MacAddress mac(const char* text)
{
    return rrm::mac_from_string(text);
}

VapPool pool(const char* radio_mac = "00:11:22:33:44:50", int64_t count = 16, bool locked = false)
{
    VapPool p;
    p.radio_mac = mac(radio_mac);
    p.mac_count = count;
    p.locked_80211v = locked;
    return p;
}

void read(VapMap& map, const std::string& vaps, const VapPool& p, bool backup = false)
{
    JsonReader json(("{\"vaps\":" + vaps + "}").c_str());
    map.from_json(json.child("vaps"), p, backup);
}

TEST(VapRead, MacSelectionAgainstThePool)
{
    const char* warning_60_52 =
        "VAP MAC 00:11:22:33:44:60 outside radio pool [00:11:22:33:44:50, +16), using "
        "00:11:22:33:44:52 for ssid=s";
    const char* error_60 =
        "Invalid VAP MAC 00:11:22:33:44:60: radio.mac=00:11:22:33:44:50, radio.max_mac_count=16";
    struct Case {
        const char* element;  // with "ssid":"s"
        const char* vap_mac;  // nullptr: the VAP is left out
        int level;            // 0: no record
        const char* text;
    } cases[] = {
        {R"("id":1,"mac":"00:11:22:33:44:5f")", "00:11:22:33:44:5F", 0, nullptr},
        {R"("id":1,"mac":"00:11:22:33:44:50")", "00:11:22:33:44:50", 0, nullptr},
        {R"("id":2,"mac":"00:11:22:33:44:60")", "00:11:22:33:44:52", rrm::LOG_LEVEL_WARNING,
         warning_60_52},
        {R"("id":2,"mac":"00:11:22:33:44:4F")", "00:11:22:33:44:52", rrm::LOG_LEVEL_WARNING,
         "VAP MAC 00:11:22:33:44:4F outside radio pool [00:11:22:33:44:50, +16), using "
         "00:11:22:33:44:52 for ssid=s"},
        {R"("id":16,"mac":"00:11:22:33:44:60")", nullptr, rrm::LOG_LEVEL_ERROR, error_60},
        {R"("id":15)", "00:11:22:33:44:5F", 0, nullptr},
        {R"("id":16)", nullptr, rrm::LOG_LEVEL_ERROR,
         "Invalid VAP MAC 00:11:22:33:44:60: radio.mac=00:11:22:33:44:50, "
         "radio.max_mac_count=16"},
        // A negative id falls below the radio MAC's block position: the
        // default is the radio MAC itself.
        {R"("id":-1)", "00:11:22:33:44:50", 0, nullptr},
        {R"("id":3,"mac":"00-11-22-33-44-55")", "00:11:22:33:44:53", rrm::LOG_LEVEL_WARNING,
         "VAP MAC 00:00:00:00:00:00 outside radio pool [00:11:22:33:44:50, +16), using "
         "00:11:22:33:44:53 for ssid=s"},
        {R"("id":3,"mac":42)", "00:11:22:33:44:53", rrm::LOG_LEVEL_WARNING,
         "VAP MAC 00:00:00:00:00:00 outside radio pool [00:11:22:33:44:50, +16), using "
         "00:11:22:33:44:53 for ssid=s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.element);
        testsupport::LogCapture logs;
        VapMap map;
        read(map, std::string("[{\"ssid\":\"s\",") + c.element + "}]", pool());
        const auto records = logs.records();
        if (c.vap_mac) {
            ASSERT_EQ(1u, map.size());
            EXPECT_EQ(mac(c.vap_mac), map.find("s")->mac);
            EXPECT_EQ(0u, logs.event_count(rrm::EVENT_INVALID_VAP_MAC));
        } else {
            EXPECT_EQ(0u, map.size());
            const auto events = logs.events();
            ASSERT_EQ(1u, events.size());
            EXPECT_EQ(rrm::EVENT_INVALID_VAP_MAC, events[0].code);
            EXPECT_EQ("00:11:22:33:44:50", events[0].details);
        }
        if (c.level == 0) {
            EXPECT_TRUE(records.empty());
        } else {
            ASSERT_EQ(1u, records.size());
            EXPECT_EQ(c.level, records[0].level);
            EXPECT_EQ(c.text, records[0].text);
            EXPECT_EQ("from_json", records[0].func);
        }
    }
}

TEST(VapRead, EmptyOrNegativePoolRejectsEveryVap)
{
    for (int64_t count : {int64_t{0}, int64_t{-5}}) {
        SCOPED_TRACE(count);
        testsupport::LogCapture logs;
        VapMap map;
        read(map,
             R"([{"id":0,"ssid":"a","mac":"00:11:22:33:44:50"},{"id":1,"ssid":"b"}])",
             pool("00:11:22:33:44:50", count));
        EXPECT_EQ(0u, map.size());
        EXPECT_EQ(2u, logs.event_count(rrm::EVENT_INVALID_VAP_MAC));
        EXPECT_TRUE(logs.has(rrm::LOG_LEVEL_ERROR,
                             "Invalid VAP MAC 00:11:22:33:44:50: radio.mac=00:11:22:33:44:50, "
                             "radio.max_mac_count=" + std::to_string(count)));
    }
}

TEST(VapRead, PoolAtTheTopOfTheAddressSpace)
{
    // The pool's end lies beyond FF:FF:FF:FF:FF:FF and must not wrap.
    VapMap map;
    read(map, R"([{"id":0,"ssid":"a","mac":"ff:ff:ff:ff:ff:ff"},{"id":3,"ssid":"b"}])",
         pool("FF:FF:FF:FF:FF:F8", 16));
    ASSERT_EQ(2u, map.size());
    EXPECT_EQ(mac("FF:FF:FF:FF:FF:FF"), map.find("a")->mac);
    EXPECT_EQ(mac("FF:FF:FF:FF:FF:FB"), map.find("b")->mac);
}

TEST(VapRead, ElementsSkippedAndFirstSsidWins)
{
    testsupport::LogCapture logs;
    VapMap map;
    read(map, R"([{"id":1,"ssid":"dup","802dot11k":1},
                  null,
                  {"id":2},
                  {"id":3,"ssid":""},
                  {"id":4,"ssid":7},
                  {"id":5,"ssid":"dup","802dot11r":1},
                  {"id":6,"ssid":"other","802dot11r":"1","802dot11v":true}])",
         pool());
    ASSERT_EQ(2u, map.size());
    const rrm::Vap* dup = map.find("dup");
    ASSERT_NE(nullptr, dup);
    EXPECT_EQ(1, dup->vap_id);
    EXPECT_TRUE(dup->use_802dot11k);
    EXPECT_FALSE(dup->use_802dot11r);
    const rrm::Vap* other = map.find("other");
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(6, other->vap_id);
    EXPECT_EQ(mac("00:11:22:33:44:56"), other->mac);
    EXPECT_FALSE(other->use_802dot11k);
    EXPECT_TRUE(other->use_802dot11r);
    EXPECT_TRUE(other->use_802dot11v);
    EXPECT_TRUE(logs.records().empty());
}

TEST(VapRead, NullKeepsTheTableOtherValuesEmptyIt)
{
    struct Case {
        const char* vaps;
        size_t size;
    } cases[] = {{"null", 1}, {"[]", 0}, {"{}", 0}, {"5", 0}, {"[null]", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vaps);
        VapMap map;
        read(map, R"([{"id":1,"ssid":"keep"}])", pool());
        ASSERT_EQ(1u, map.size());
        read(map, c.vaps, pool());
        EXPECT_EQ(c.size, map.size());
    }
    // An absent member reads as a null reader too.
    VapMap map;
    read(map, R"([{"id":1,"ssid":"keep"}])", pool());
    JsonReader none("{}");
    map.from_json(none.child("vaps"), pool(), false);
    EXPECT_EQ(1u, map.size());
}

TEST(VapRead, FlagKeysOfMessagesAndBackups)
{
    const char* element =
        R"([{"id":1,"ssid":"s","802dot11k":1,"802dot11r":0,"802dot11v":1,
             "use_802dot11k":0,"use_802dot11r":1,"use_802dot11v":0}])";
    VapMap message;
    read(message, element, pool(), false);
    EXPECT_TRUE(message.find("s")->use_802dot11k);
    EXPECT_FALSE(message.find("s")->use_802dot11r);
    EXPECT_TRUE(message.find("s")->use_802dot11v);

    VapMap backup;
    read(backup, element, pool(), true);
    EXPECT_FALSE(backup.find("s")->use_802dot11k);
    EXPECT_TRUE(backup.find("s")->use_802dot11r);
    EXPECT_FALSE(backup.find("s")->use_802dot11v);

    // A radio locked for 802.11v reads every VAP without it.
    VapMap locked;
    read(locked, R"([{"id":1,"ssid":"a","802dot11v":1},{"id":2,"ssid":"b","802dot11v":5}])",
         pool("00:11:22:33:44:50", 16, true));
    EXPECT_FALSE(locked.find("a")->use_802dot11v);
    EXPECT_FALSE(locked.find("b")->use_802dot11v);
    EXPECT_FALSE(locked.has_80211v());
}

TEST(VapRead, FullFormOfBackupsKeepsKeysAndLinks)
{
    VapMap map;
    read(map, R"([{"id":2,"ssid":"corp","mac":"00:11:22:33:44:52","mobility-domain":1,
                   "use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":0,
                   "fbt-r0-keyholder":"corp-r0","fbt-r1-keyholder":"001122334452",
                   "fbt-rrb-key":"AbCdEfGhIjKlMnOp",
                   "fbt-links":[{"remote-r0-kh-id":"x","remote-r1-kh-id":"00:AA:BB:CC:DD:EE",
                                 "remote-r1-kh-key":"QrStUvWxYzAbCdEf"}]}])",
         pool(), true);
    const rrm::Vap* vap = map.find("corp");
    ASSERT_NE(nullptr, vap);
    EXPECT_EQ("corp-r0", vap->fbt_r0_keyholder);
    EXPECT_EQ("001122334452", vap->fbt_r1_keyholder);
    EXPECT_EQ("AbCdEfGhIjKlMnOp", vap->fbt_rrb_key);
    ASSERT_EQ(1u, vap->fbt_links.size());
    EXPECT_EQ("00:AA:BB:CC:DD:EE", vap->fbt_links[0].remote_r1_kh_id());

    // The short form's links are texts without key: nothing to restore.
    VapMap short_form;
    read(short_form, R"([{"id":2,"ssid":"corp","use_802dot11r":1,
                          "fbt-links":["00:AA:BB:CC:DD:EE"]}])",
         pool(), true);
    EXPECT_TRUE(short_form.find("corp")->fbt_links.empty());
}

}  // namespace
