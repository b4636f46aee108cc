#include "AssocMap.h"

#include "JsonReader.h"
#include "JsonWriter.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

namespace {

using rrm::AssocMap;
using rrm::ExpectedSta;
using rrm::MacAddress;

const MacAddress A = rrm::mac_from_string("aa:bb:cc:dd:ee:01");
const MacAddress B = rrm::mac_from_string("aa:bb:cc:dd:ee:02");

int64_t monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

ExpectedSta expected(int ttl, uint32_t radio = 1)
{
    ExpectedSta sta;
    sta.ap_mac = B;
    sta.radio_id = radio;
    sta.ttl = ttl;
    return sta;
}

TEST(AssocMap, AddClientStampsMonotonicSecondsAndReplacesWhole)
{
    AssocMap map;
    const int64_t before = monotonic_seconds();
    map.add_client(A, -50, "net", true, true);
    ASSERT_EQ(1u, map.clients.count(A));
    const auto& first = map.clients.at(A);
    EXPECT_EQ(-50, first.rssi);
    EXPECT_EQ("net", first.ssid);
    EXPECT_GE(first.assoc_time, before);
    EXPECT_LE(first.assoc_time, monotonic_seconds());
    EXPECT_TRUE(first.no_balance);
    EXPECT_TRUE(first.need_ack);

    map.clients.at(A).assoc_time = 1;
    map.add_client(A, -60, "other", false, false);
    const auto& second = map.clients.at(A);
    EXPECT_EQ(-60, second.rssi);
    EXPECT_EQ("other", second.ssid);
    EXPECT_GE(second.assoc_time, before);
    EXPECT_FALSE(second.no_balance);
    EXPECT_FALSE(second.need_ack);
    EXPECT_EQ(1, map.size());
}

TEST(AssocMap, AddClientWithoutSsidChangesNothing)
{
    AssocMap map;
    map.add_client(A, -50, "net", true, false);
    map.add_client(A, -70, "", false, true);
    map.add_client(A, -80, nullptr, false, true);
    map.add_client(B, -80, "", false, true);
    ASSERT_EQ(1u, map.clients.size());
    EXPECT_EQ(-50, map.clients.at(A).rssi);
    EXPECT_EQ("net", map.clients.at(A).ssid);
    EXPECT_TRUE(map.clients.at(A).no_balance);
}

TEST(AssocMap, UpdateRssiTakesOnlyNegativeLevelsOfKnownClients)
{
    struct Case {
        int rssi;
        int result;
        int stored;
    } cases[] = {{0, 0, -50}, {5, 0, -50}, {-1, 1, -1}, {INT_MIN, 1, INT_MIN}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rssi);
        AssocMap map;
        map.add_client(A, -50, "net", false, false);
        EXPECT_EQ(c.result, map.update_rssi(A, c.rssi));
        EXPECT_EQ(c.stored, map.clients.at(A).rssi);
        EXPECT_EQ(0, map.update_rssi(B, -40));
        EXPECT_EQ(0u, map.clients.count(B));
    }
}

TEST(AssocMap, ExpectedStationsAreNotAddedForAssociatedClientsAndReplaceEachOther)
{
    AssocMap map;
    map.add_client(A, -50, "net", false, false);
    map.add_expected_sta(A, expected(5));
    EXPECT_EQ(0u, map.expected.size());
    EXPECT_EQ(1, map.size());

    map.add_expected_sta(B, expected(5, 1));
    map.add_expected_sta(B, expected(30, 2));
    ASSERT_EQ(1u, map.expected.size());
    EXPECT_EQ(30, map.expected.at(B).ttl);
    EXPECT_EQ(2u, map.expected.at(B).radio_id);
    EXPECT_EQ(2, map.size());

    map.erase_expected_sta(B);
    map.erase_expected_sta(B);
    EXPECT_EQ(1, map.size());
}

TEST(AssocMap, ClientAndExpectedEntryOfOneMacCountTwice)
{
    AssocMap map;
    map.add_expected_sta(A, expected(5));
    map.add_client(A, -50, "net", false, false);  // the steering erases the entry itself
    EXPECT_EQ(2, map.size());
    map.disassoc_client(A);
    EXPECT_EQ(1, map.size());
    map.erase_client(A);
    EXPECT_EQ(1, map.size());
}

TEST(AssocMap, AgeingRemovesAnEntryByItsTtlthTick)
{
    struct Case {
        int ttl;
        int survives;  // ticks survived
    } cases[] = {{5, 4}, {1, 0}, {0, 0}, {-3, 0}, {INT_MIN, 0}, {2, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ttl);
        AssocMap map;
        map.add_expected_sta(B, expected(c.ttl));
        for (int tick = 1; tick <= c.survives; ++tick) {
            map.age_expected_stas();
            ASSERT_EQ(1u, map.expected.count(B)) << "after tick " << tick;
            EXPECT_EQ(c.ttl - tick, map.expected.at(B).ttl);
        }
        map.age_expected_stas();
        EXPECT_EQ(0u, map.expected.count(B));
    }
}

TEST(AssocMap, AgeingWalksAllEntriesWhileRemoving)
{
    AssocMap map;
    for (int i = 0; i < 100; ++i)
        map.add_expected_sta(rrm::mac_from_u48(0x100000 + static_cast<uint64_t>(i) * 3),
                             expected(i % 2 + 1));
    map.age_expected_stas();
    EXPECT_EQ(50u, map.expected.size());
    for (const auto& e : map.expected)
        EXPECT_EQ(1, e.second.ttl);
}

TEST(AssocMap, ClearEmptiesBothTables)
{
    AssocMap map;
    map.add_client(A, -50, "net", false, false);
    map.add_expected_sta(B, expected(5));
    map.clear();
    EXPECT_EQ(0, map.size());
}

TEST(AssocMap, DumpCountsBothTablesAndListsClients)
{
    AssocMap map;
    map.add_client(A, -50, "n1", true, false);
    map.add_client(B, -60, "n2", false, false);
    map.add_expected_sta(rrm::mac_from_string("00:00:00:00:00:03"), expected(5));
    testsupport::LogCapture capture;
    map.dump();
    auto records = capture.records();
    ASSERT_EQ(3u, records.size());
    for (const auto& r : records) {
        EXPECT_EQ(rrm::LOG_LEVEL_DEBUG, r.level);
        EXPECT_EQ("dump", r.func);
    }
    EXPECT_EQ("Assocc clients:  2 - 1", records[0].text);
    // The table's own order decides which client is first.
    std::string line_a = "AA:BB:CC:DD:EE:01 - n1 rssi -50 no_balance 1";
    std::string line_b = "AA:BB:CC:DD:EE:02 - n2 rssi -60 no_balance 0";
    const bool a_first = map.clients.begin()->first == A;
    EXPECT_EQ("Client (1/2) " + (a_first ? line_a : line_b), records[1].text);
    EXPECT_EQ("Client (2/2) " + (a_first ? line_b : line_a), records[2].text);

    // With Debug not written the dump hands nothing to the handler.
    capture.clear();
    rrm::set_log_levels(rrm::LOG_LEVEL_TRACE | rrm::LOG_LEVEL_INFO | rrm::LOG_LEVEL_WARNING |
                        rrm::LOG_LEVEL_ERROR);
    map.dump();
    EXPECT_TRUE(capture.records().empty());
}


// Reads {"assoclist": <list>} the way the radio reader passes it.
void read_assoclist(AssocMap& map, const char* radio_object)
{
    rrm::JsonReader radio(radio_object);
    ASSERT_FALSE(radio.is_null()) << radio_object;
    map.from_json(radio.child("assoclist"));
}

// The n-th client MAC, 02:00:00:xx:xx:xx.
MacAddress nth(int n)
{
    MacAddress mac = rrm::mac_from_string("02:00:00:00:00:00");
    mac.octets[3] = static_cast<uint8_t>(n >> 16);
    mac.octets[4] = static_cast<uint8_t>(n >> 8);
    mac.octets[5] = static_cast<uint8_t>(n);
    return mac;
}

// 2007 association ids: each table of a radio takes that many clients and
// refuses the next new one, while clients it holds are still updated.
TEST(AssocMap, EachTableHoldsAtMostTheAssociationIdSpace)
{
    ASSERT_EQ(AssocMap::MAX_CLIENTS, 2007);
    AssocMap table;
    for (int i = 0; i < 2007; ++i)
        ASSERT_TRUE(table.add_client(nth(i), -60, "corp", false, false)) << i;
    EXPECT_FALSE(table.add_client(nth(2007), -60, "corp", false, true));
    EXPECT_EQ(table.clients.size(), 2007u);
    EXPECT_EQ(table.clients.count(nth(2007)), 0u);
    // Known clients: replaced as ever; one that left makes room.
    EXPECT_TRUE(table.add_client(nth(5), -40, "guest", true, true));
    EXPECT_EQ(table.clients.at(nth(5)).ssid, "guest");
    table.erase_client(nth(6));
    EXPECT_TRUE(table.add_client(nth(2007), -60, "corp", false, false));
    EXPECT_EQ(table.clients.size(), 2007u);
    // Nothing refused without an SSID: nothing is taken either.
    EXPECT_TRUE(table.add_client(nth(3000), -60, "", false, false));
    EXPECT_EQ(table.clients.count(nth(3000)), 0u);

    // Expected stations: their own 2007; an associated client is never
    // refused, it is simply not expected.
    for (int i = 0; i < 2007; ++i)
        ASSERT_TRUE(table.add_expected_sta(nth(10000 + i), expected(5))) << i;
    EXPECT_FALSE(table.add_expected_sta(nth(20000), expected(5)));
    EXPECT_TRUE(table.add_expected_sta(nth(10000), expected(3)));
    EXPECT_EQ(table.expected.at(nth(10000)).ttl, 3);
    EXPECT_TRUE(table.add_expected_sta(nth(0), expected(5)));
    EXPECT_EQ(table.expected.size(), 2007u);
    EXPECT_EQ(table.size(), 4014);
}

TEST(AssocMapJson, AnAssoclistBeyondTheBoundKeepsItsFirstClients)
{
    struct Case {
        const char* name;
        int elements;
        int duplicates;  // elements repeating the first MAC, at the end
        size_t kept;
        int left_out;
    };
    const Case cases[] = {
        {"2007", 2007, 0, 2007, 0},
        {"2008", 2008, 0, 2007, 1},
        {"5000", 5000, 0, 2007, 2993},
        // A MAC already taken is no client more: not counted as left out.
        {"2007 and repeats", 2007, 3, 2007, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string list = "[";
        for (int i = 0; i < c.elements + c.duplicates; ++i) {
            const int n = i < c.elements ? i : 0;
            list += std::string(i ? "," : "") + "{\"mac\":\"" + rrm::mac_to_string(nth(n)) +
                    "\",\"ssid\":\"corp\",\"rssi\":-50}";
        }
        list += "]";
        AssocMap table;
        table.add_expected_sta(A, expected(5));
        EXPECT_EQ(table.from_json(rrm::JsonReader(list.c_str())), c.left_out);
        EXPECT_EQ(table.clients.size(), c.kept);
        EXPECT_EQ(table.clients.count(nth(0)), 1u);
        EXPECT_EQ(table.clients.count(nth(2006)), 1u);
        EXPECT_EQ(table.expected.size(), 1u);
    }
}

TEST(AssocMapJson, AssoclistReplacesClientsAndKeepsExpected)
{
    struct Case {
        const char* radio;
        bool replaced;  // false: the old client stays
        std::vector<std::tuple<const char*, int, const char*>> clients;  // mac, rssi, ssid
    } cases[] = {
        {R"({})", false, {}},
        {R"({"assoclist":null})", false, {}},
        {R"({"assoclist":[]})", true, {}},
        {R"({"assoclist":{}})", true, {}},
        {R"({"assoclist":"x"})", true, {}},
        {R"({"assoclist":[null,{"mac":"aa:bb:cc:dd:ee:ff","ssid":"x","rssi":-60}]})", true,
         {{"AA:BB:CC:DD:EE:FF", -60, "x"}}},
        {R"({"assoclist":[{"mac":"aa:bb:cc:dd:ee:ff","ssid":"x"}]})", true,
         {{"AA:BB:CC:DD:EE:FF", 0, "x"}}},
        {R"({"assoclist":[{"mac":"aa:bb:cc:dd:ee:ff","ssid":"x","rssi":"-61"}]})", true,
         {{"AA:BB:CC:DD:EE:FF", -61, "x"}}},
        {R"({"assoclist":[{"mac":"aa:bb:cc:dd:ee:ff","ssid":"x","rssi":-60.5}]})", true,
         {{"AA:BB:CC:DD:EE:FF", 0, "x"}}},
        {R"({"assoclist":[{"mac":"aa:bb:cc:dd:ee:ff","ssid":"x","rssi":4294967236}]})", true,
         {{"AA:BB:CC:DD:EE:FF", -60, "x"}}},
        {R"({"assoclist":[{"mac":"","ssid":"x"},{"mac":"aa:bb:cc:dd:ee:01","ssid":""},)"
         R"({"mac":5,"ssid":"x"},{"mac":"aa:bb:cc:dd:ee:02"},{"ssid":"x"},7,"s",[]]})",
         true,
         {}},
        {R"({"assoclist":[{"mac":"aabbccddeeff","ssid":"x","rssi":-1}]})", true,
         {{"00:00:00:00:00:00", -1, "x"}}},
        {R"({"assoclist":[{"mac":"aa:bb:cc:dd:ee:ff","ssid":"first","rssi":-1},)"
         R"({"mac":"AA:BB:CC:DD:EE:FF","ssid":"second","rssi":-2}]})",
         true,
         {{"AA:BB:CC:DD:EE:FF", -1, "first"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.radio);
        AssocMap map;
        map.add_client(A, -50, "old", true, true);
        map.add_expected_sta(B, expected(5));
        read_assoclist(map, c.radio);
        EXPECT_EQ(1u, map.expected.count(B));
        if (!c.replaced) {
            ASSERT_EQ(1u, map.clients.size());
            EXPECT_EQ("old", map.clients.at(A).ssid);
            continue;
        }
        ASSERT_EQ(c.clients.size(), map.clients.size());
        for (const auto& [text, rssi, ssid] : c.clients) {
            auto it = map.clients.find(rrm::mac_from_string(text));
            ASSERT_NE(map.clients.end(), it) << text;
            EXPECT_EQ(rssi, it->second.rssi);
            EXPECT_EQ(ssid, it->second.ssid);
            EXPECT_EQ(0, it->second.assoc_time);
            EXPECT_FALSE(it->second.no_balance);
            EXPECT_FALSE(it->second.need_ack);
        }
    }
}

TEST(AssocMapJson, AssoclistResetsRecordsOfKnownClients)
{
    AssocMap map;
    map.add_client(A, -50, "net", true, true);
    read_assoclist(map, R"({"assoclist":[{"mac":"aa:bb:cc:dd:ee:01","ssid":"net","rssi":-55}]})");
    ASSERT_EQ(1u, map.clients.size());
    EXPECT_EQ(-55, map.clients.at(A).rssi);
    EXPECT_EQ(0, map.clients.at(A).assoc_time);
    EXPECT_FALSE(map.clients.at(A).no_balance);
    EXPECT_FALSE(map.clients.at(A).need_ack);

    // An expected station named by the AP counts twice.
    map.add_expected_sta(B, expected(5));
    read_assoclist(map, R"({"assoclist":[{"mac":"aa:bb:cc:dd:ee:02","ssid":"net"}]})");
    EXPECT_EQ(2, map.size());
}

TEST(AssocMapJson, AssocClientsElements)
{
    AssocMap map;
    {
        rrm::JsonWriter radio("");
        rrm::JsonWriter array = radio.add_array("assoc_clients");
        map.to_json(array);
        EXPECT_STREQ(R"({"assoc_clients":[]})", radio.to_string());
    }
    map.add_client(A, -50, "net", true, true);
    map.add_expected_sta(B, expected(5));  // never written
    rrm::JsonWriter radio("");
    rrm::JsonWriter array = radio.add_array("assoc_clients");
    map.to_json(array);
    EXPECT_STREQ(R"({"assoc_clients":[{"mac":"AA:BB:CC:DD:EE:01","dbm-signal":-50,"ssid":"net",)"
                 R"("no-balance":1}]})",
                 radio.to_string());

    map.add_client(B, -70, "x", false, false);
    rrm::JsonWriter two("");
    rrm::JsonWriter two_array = two.add_array("assoc_clients");
    map.to_json(two_array);
    std::string elements;
    for (const auto* entry : rrm::entries_by_mac(map.clients)) {  // ascending MAC order
        rrm::JsonWriter object("");
        object.add_string("mac", rrm::mac_to_string(entry->first).c_str());
        entry->second.to_json(object);
        elements += (elements.empty() ? "" : ",") + std::string(object.to_string());
    }
    EXPECT_EQ("{\"assoc_clients\":[" + elements + "]}", two.to_string());
}

TEST(AssocMapJson, ClientRecordWritesItsThreeKeys)
{
    rrm::JsonWriter object("");
    rrm::AssocClient(-42, 77, "s", false, true).to_json(object);
    EXPECT_STREQ(R"({"dbm-signal":-42,"ssid":"s","no-balance":0})", object.to_string());
}

}  // namespace
