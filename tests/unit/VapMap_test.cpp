#include "VapMap.h"

#include "JsonWriter.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using rrm::MacAddress;
using rrm::Vap;
using rrm::VapMap;

MacAddress mac(const char* text)
{
    return rrm::mac_from_string(text);
}

TEST(MobilityDomain, RemainderOfTheSsidBits)
{
    struct Case {
        std::string ssid;
        unsigned value;
    } cases[] = {
        {"a", 97},
        {"ab", 24930},
        {"abc", 58150},
        {"123456789", 54574},  // CRC-16/UMTS would give 0xFEE8
        {"", 0},
        {std::string("\0\0", 2), 0},
        {std::string(65536, 'x'), 0},         // the length is taken modulo 65536
        {std::string(65537, 'x'), 'x'},       // only the first byte counts
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ssid.substr(0, 12) + " (" + std::to_string(c.ssid.size()) + " bytes)");
        EXPECT_EQ(c.value, rrm::mobility_domain(c.ssid));
        Vap vap(1, c.ssid, MacAddress{}, false, false, false);
        EXPECT_EQ(c.value, vap.get_mobility_domain());
    }
}

TEST(Vap, ConstructedWithoutFastTransitionData)
{
    Vap vap(3, "office", mac("00:11:22:33:44:53"), true, false, true);
    EXPECT_EQ(3, vap.vap_id);
    EXPECT_EQ("office", vap.ssid);
    EXPECT_EQ(mac("00:11:22:33:44:53"), vap.mac);
    EXPECT_TRUE(vap.use_802dot11k);
    EXPECT_FALSE(vap.use_802dot11r);
    EXPECT_TRUE(vap.use_802dot11v);
    EXPECT_TRUE(vap.fbt_r0_keyholder.empty());
    EXPECT_TRUE(vap.fbt_r1_keyholder.empty());
    EXPECT_TRUE(vap.fbt_rrb_key.empty());
    EXPECT_TRUE(vap.fbt_links.empty());
}

TEST(Vap, EqualityLooksAtIdAndFlagsOnly)
{
    Vap base(1, "s", mac("00:00:00:00:00:01"), true, true, false);
    Vap other_mac_and_links = base;
    other_mac_and_links.mac = mac("00:00:00:00:00:02");
    other_mac_and_links.ssid = "t";
    other_mac_and_links.fbt_rrb_key = "key";
    other_mac_and_links.fbt_links.push_back({"r0", "00:00:00:00:00:09", "k"});
    EXPECT_EQ(base, other_mac_and_links);

    Vap other_id = base;
    other_id.vap_id = 2;
    Vap other_k = base;
    other_k.use_802dot11k = false;
    Vap other_r = base;
    other_r.use_802dot11r = false;
    Vap other_v = base;
    other_v.use_802dot11v = true;
    for (const Vap* v : {&other_id, &other_k, &other_r, &other_v})
        EXPECT_NE(base, *v);
}

VapMap make_map(std::initializer_list<Vap> vaps)
{
    VapMap map;
    for (const Vap& v : vaps)
        map.set(v.ssid, v);
    return map;
}

TEST(VapMap, QueriesBySsidAndOverAllVaps)
{
    VapMap empty;
    EXPECT_FALSE(empty.has_80211k());
    EXPECT_FALSE(empty.has_80211r());
    EXPECT_FALSE(empty.has_80211v());
    EXPECT_EQ(nullptr, empty.find("x"));

    VapMap map = make_map({Vap(0, "a", {}, true, false, false), Vap(1, "b", {}, false, true, false),
                           Vap(2, "c", {}, false, false, true)});
    EXPECT_TRUE(map.has_80211k());
    EXPECT_TRUE(map.has_80211r());
    EXPECT_TRUE(map.has_80211v());
    EXPECT_TRUE(map.has_80211k_ssid("a"));
    EXPECT_FALSE(map.has_80211k_ssid("b"));
    EXPECT_FALSE(map.has_80211k_ssid("A"));  // case-sensitive
    EXPECT_FALSE(map.has_80211k_ssid("zz"));
    ASSERT_NE(nullptr, map.find("b"));
    EXPECT_EQ(1, map.find("b")->vap_id);
    EXPECT_EQ(nullptr, map.find("B"));

    // set replaces the SSID's VAP.
    map.set("a", Vap(7, "a", {}, false, false, false));
    EXPECT_EQ(3u, map.size());
    EXPECT_EQ(7, map.find("a")->vap_id);
    EXPECT_FALSE(map.has_80211k());

    map.clear();
    EXPECT_TRUE(map.empty());
}

TEST(VapMap, TablesCompareBySsidIdAndFlags)
{
    Vap a(0, "a", mac("00:00:00:00:00:01"), true, true, false);
    Vap b(1, "b", mac("00:00:00:00:00:02"), false, false, false);
    VapMap left = make_map({a, b});

    Vap a_moved = a;
    a_moved.mac = mac("00:00:00:00:00:11");
    a_moved.fbt_links.push_back({"*", "ff:ff:ff:ff:ff:ff", "k"});
    EXPECT_TRUE(left == make_map({a_moved, b}));
    EXPECT_TRUE(make_map({}) == make_map({}));

    Vap a_other_r = a;
    a_other_r.use_802dot11r = false;
    EXPECT_FALSE(left == make_map({a_other_r, b}));
    EXPECT_FALSE(left == make_map({a}));
    EXPECT_FALSE(make_map({a}) == left);
    Vap c = b;
    c.ssid = "c";
    EXPECT_FALSE(left == make_map({a, c}));
}

TEST(VapMap, DumpWritesOneTraceLinePerVap)
{
    testsupport::LogCapture capture;
    make_map({Vap(4, "net", {}, true, false, true)}).dump();
    auto records = capture.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(rrm::LOG_LEVEL_TRACE, records[0].level);
    EXPECT_EQ("dump", records[0].func);
    EXPECT_EQ("      vap_id = 4, 802.11k = 1, 802.11r = 0, 802.11v = 1, ssid = net",
              records[0].text);

    // With Trace not written the dump hands nothing to the handler.
    capture.clear();
    rrm::set_log_levels(rrm::LOG_LEVELS_ALL & ~rrm::LOG_LEVEL_TRACE);
    make_map({Vap(4, "net", {}, true, false, true)}).dump();
    EXPECT_TRUE(capture.records().empty());
}


std::string short_form(const Vap& vap)
{
    rrm::JsonWriter object("");
    vap.to_json(object);
    return object.to_string();
}

std::string full_form(const Vap& vap)
{
    rrm::JsonWriter object("");
    vap.to_json_full(object);
    return object.to_string();
}

Vap linked_vap(bool use_802dot11r)
{
    Vap vap(3, "abc", mac("0a:11:22:33:44:53"), true, use_802dot11r, false);
    vap.fbt_r0_keyholder = "serial";
    vap.fbt_r1_keyholder = "0A:11:22:33:44:53";
    vap.fbt_rrb_key = "KeyKeyKeyKeyKeyK";
    vap.fbt_links.push_back({"r0-a", "00:11:22:33:44:55", "key-a"});
    vap.fbt_links.push_back({"*", "ff:ff:ff:ff:ff:ff", "wild"});
    return vap;
}

TEST(VapJson, ShortFormWithLinks)
{
    EXPECT_EQ(R"({"id":3,"ssid":"abc","mac":"0A:11:22:33:44:53","mobility-domain":58150,)"
              R"("use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":0,)"
              R"("fbt-links":["00:11:22:33:44:55","ff:ff:ff:ff:ff:ff"]})",
              short_form(linked_vap(true)));
}

TEST(VapJson, FullFormWithLinks)
{
    EXPECT_EQ(R"({"id":3,"ssid":"abc","mac":"0A:11:22:33:44:53","mobility-domain":58150,)"
              R"("use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":0,)"
              R"("fbt-r0-keyholder":"serial","fbt-r1-keyholder":"0A:11:22:33:44:53",)"
              R"("fbt-rrb-key":"KeyKeyKeyKeyKeyK","fbt-links":[)"
              R"({"remote-r0-kh-id":"r0-a","remote-r1-kh-id":"00:11:22:33:44:55",)"
              R"("remote-r1-kh-key":"key-a"},)"
              R"({"remote-r0-kh-id":"*","remote-r1-kh-id":"ff:ff:ff:ff:ff:ff",)"
              R"("remote-r1-kh-key":"wild"}]})",
              full_form(linked_vap(true)));
}

TEST(VapJson, LinksOnlyWhile80211rIsOn)
{
    // Stored links of a VAP without 802.11r are not written; the full form
    // still writes the key holders and key.
    EXPECT_EQ(R"({"id":3,"ssid":"abc","mac":"0A:11:22:33:44:53","mobility-domain":58150,)"
              R"("use_802dot11k":1,"use_802dot11r":0,"use_802dot11v":0})",
              short_form(linked_vap(false)));
    EXPECT_EQ(R"({"id":3,"ssid":"abc","mac":"0A:11:22:33:44:53","mobility-domain":58150,)"
              R"("use_802dot11k":1,"use_802dot11r":0,"use_802dot11v":0,)"
              R"("fbt-r0-keyholder":"serial","fbt-r1-keyholder":"0A:11:22:33:44:53",)"
              R"("fbt-rrb-key":"KeyKeyKeyKeyKeyK"})",
              full_form(linked_vap(false)));

    // 802.11r without links: no "fbt-links" either; empty texts are written.
    Vap bare(-1, "", MacAddress{}, false, true, true);
    EXPECT_EQ(R"({"id":-1,"ssid":"","mac":"00:00:00:00:00:00","mobility-domain":0,)"
              R"("use_802dot11k":0,"use_802dot11r":1,"use_802dot11v":1})",
              short_form(bare));
    EXPECT_EQ(R"({"id":-1,"ssid":"","mac":"00:00:00:00:00:00","mobility-domain":0,)"
              R"("use_802dot11k":0,"use_802dot11r":1,"use_802dot11v":1,)"
              R"("fbt-r0-keyholder":"","fbt-r1-keyholder":"","fbt-rrb-key":""})",
              full_form(bare));
}

TEST(VapJson, MapAppendsOneObjectPerVap)
{
    VapMap map;
    {
        rrm::JsonWriter root("");
        rrm::JsonWriter array = root.add_array("vaps");
        map.to_json(array);
        map.to_json_full(array);
        EXPECT_STREQ(R"({"vaps":[]})", root.to_string());
    }
    map.set("a", Vap(1, "a", mac("00:00:00:00:00:01"), false, false, false));
    map.set("123456789", Vap(2, "123456789", mac("00:00:00:00:00:02"), false, false, false));
    rrm::JsonWriter root("");
    rrm::JsonWriter short_array = root.add_array("short");
    rrm::JsonWriter full_array = root.add_array("full");
    map.to_json(short_array);
    map.to_json_full(full_array);
    std::string expected_short;
    std::string expected_full;
    for (const auto& entry : map) {  // the table's own order
        expected_short += (expected_short.empty() ? "" : ",") + short_form(entry.second);
        expected_full += (expected_full.empty() ? "" : ",") + full_form(entry.second);
    }
    EXPECT_EQ("{\"short\":[" + expected_short + "],\"full\":[" + expected_full + "]}",
              root.to_string());
    EXPECT_NE(std::string::npos, expected_short.find("\"mobility-domain\":54574"));
    EXPECT_NE(std::string::npos, expected_short.find("\"mobility-domain\":97"));
}

}  // namespace
