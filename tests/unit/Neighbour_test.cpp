#include "Neighbour.h"

#include "JsonReader.h"
#include "JsonWriter.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace {

using rrm::mac_from_string;
using rrm::MacAddress;
using rrm::Neighbour;
using rrm::NeighbourMap;
using rrm::robust_mean_dbm;

const MacAddress A = mac_from_string("00:11:22:33:44:50");
const MacAddress B = mac_from_string("00:11:22:33:44:51");
const MacAddress C = mac_from_string("02:11:22:33:44:52");

std::string state_json(const NeighbourMap& map)
{
    rrm::JsonWriter root("");
    rrm::JsonWriter array = root.add_array("list");
    map.to_json(array);
    return array.to_string();
}

TEST(RobustMeanDbm, TableOfSamples)
{
    struct Case {
        std::vector<int32_t> samples;
        int expected;
    };
    const Case cases[] = {
        {{}, 0},
        {{-70}, -70},
        {{-55, -55, -55, -55}, -55},
        {{-61, -64}, -62},  // truncation toward zero, not -63
        {{-60, -62, -61, -90}, -61},
        {{-65, -66, -67, -68, -69, -90, -91}, -67},
        // A first mean of 0 takes the second mean from a single kept sample.
        {{-12, -2, 12}, -7},
        {{0, 0, 0}, 0},
        {{-40, -80}, -60},
        // Extreme values no scan reports still give a defined mean: the
        // squared deviations exceed 64 bits here.
        {{INT32_MIN, INT32_MIN, INT32_MIN}, INT32_MIN},
        {{INT32_MAX, INT32_MAX, INT32_MIN}, INT32_MAX},
        {{INT32_MIN, INT32_MAX}, 0},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (int32_t s : c.samples)
            trace += std::to_string(s) + " ";
        SCOPED_TRACE(trace);
        EXPECT_EQ(c.expected, robust_mean_dbm(c.samples));

        // The order of the samples does not change the result.
        std::vector<int32_t> permuted = c.samples;
        std::sort(permuted.begin(), permuted.end());
        do {
            EXPECT_EQ(c.expected, robust_mean_dbm(permuted));
        } while (std::next_permutation(permuted.begin(), permuted.end()));
    }
}

TEST(NeighbourMap, InsertKeepsTheFirstRecord)
{
    NeighbourMap map;
    map.insert(A, Neighbour(-60, 36, 5, 80, 20, 256));
    map.insert(A, Neighbour(-70, 40, 5, 20, 10, 512));
    ASSERT_EQ(1u, map.size());
    EXPECT_EQ(Neighbour(-60, 36, 5, 80, 20, 256), map.table.at(A));

    // The constructor without band leaves band 0.
    EXPECT_EQ(Neighbour(-50, 6, 0, 20, 17, 256), Neighbour(-50, 6, 20, 17, 256));
}

TEST(NeighbourMap, MergeOfScans)
{
    NeighbourMap scan1, scan2, scan3;
    scan1.insert(A, Neighbour(-60, 36, 5, 80, 20, 256));
    scan3.insert(A, Neighbour(-64, 40, 5, 40, 17, 512));
    scan2.insert(B, Neighbour(-71, 6, 2, 20, 15, 256));
    // Three samples of C, one far off: it is left out of the mean.
    scan1.insert(C, Neighbour(-50, 1, 2, 20, 20, 256));
    scan2.insert(C, Neighbour(-52, 1, 2, 20, 20, 256));
    scan3.insert(C, Neighbour(-90, 11, 2, 20, 18, 256));

    NeighbourMap merged;
    merged.insert(mac_from_string("aa:aa:aa:aa:aa:aa"), Neighbour());  // replaced whole
    merged.merge_scans({scan1, scan2, scan3});

    ASSERT_EQ(3u, merged.size());
    // Signal from both samples, the rest from the last scan that holds A.
    EXPECT_EQ(Neighbour(-62, 40, 5, 40, 17, 512), merged.table.at(A));
    // Heard in one scan only: unchanged.
    EXPECT_EQ(Neighbour(-71, 6, 2, 20, 15, 256), merged.table.at(B));
    // m0 = -64, t0 = 19 keeps -50 and -52 only; with two kept the mean and
    // tolerance stay, and -90 (26 away) is left out.
    EXPECT_EQ(Neighbour(-51, 11, 2, 20, 18, 256), merged.table.at(C));

    // Empty scans contribute nothing; no scans leave the table empty.
    NeighbourMap empty;
    merged.merge_scans({empty, scan2, empty});
    ASSERT_EQ(2u, merged.size());
    EXPECT_EQ(Neighbour(-52, 1, 2, 20, 20, 256), merged.table.at(C));
    merged.merge_scans({});
    EXPECT_TRUE(merged.empty());
}

TEST(NeighbourMap, MergeIntoOneOfItsOwnScans)
{
    std::vector<NeighbourMap> scans(2);
    scans[0].insert(A, Neighbour(-61, 36, 5, 80, 20, 256));
    scans[1].insert(A, Neighbour(-64, 44, 5, 80, 20, 256));
    scans[0].merge_scans(scans);
    ASSERT_EQ(1u, scans[0].size());
    EXPECT_EQ(Neighbour(-62, 44, 5, 80, 20, 256), scans[0].table.at(A));
}

TEST(NeighbourMap, StateFormIsInAscendingBssidOrder)
{
    NeighbourMap map;
    EXPECT_EQ("[]", state_json(map));

    // Inserted out of order, and many enough to spread over buckets.
    map.insert(C, Neighbour(-40, 1, 2, 20, 20, 256));
    map.insert(mac_from_string("ff:00:00:00:00:01"), Neighbour(-1, 2, 3, 4, 5, 6));
    map.insert(A, Neighbour(-60, 36, 5, 80, 20, 512));
    EXPECT_EQ(R"([{"mac":"00:11:22:33:44:50","dbm-signal":-60,"channel":36,"band":5,)"
              R"("bandwidth":80,"tx-power":20,"primary":512},)"
              R"({"mac":"02:11:22:33:44:52","dbm-signal":-40,"channel":1,"band":2,)"
              R"("bandwidth":20,"tx-power":20,"primary":256},)"
              R"({"mac":"FF:00:00:00:00:01","dbm-signal":-1,"channel":2,"band":3,)"
              R"("bandwidth":4,"tx-power":5,"primary":6}])",
              state_json(map));

    // Equal content written equally, whatever the insertion history.
    NeighbourMap other;
    for (int i = 0; i < 200; ++i) {
        MacAddress m = A;
        m.octets[5] = static_cast<uint8_t>(i);
        other.insert(m, Neighbour(-i, i, 2, 20, 0, 256));
    }
    NeighbourMap reversed;
    for (int i = 199; i >= 0; --i) {
        MacAddress m = A;
        m.octets[5] = static_cast<uint8_t>(i);
        reversed.insert(m, Neighbour(-i, i, 2, 20, 0, 256));
    }
    EXPECT_EQ(state_json(other), state_json(reversed));

    // A record alone.
    rrm::JsonWriter object("");
    Neighbour(-60, 36, 5, 80, 20, 512).to_json(object);
    EXPECT_STREQ(R"({"dbm-signal":-60,"channel":36,"band":5,"bandwidth":80,"tx-power":20,)"
                 R"("primary":512})",
                 object.to_string());
}

TEST(NeighbourMap, StateFormReadsBack)
{
    NeighbourMap map;
    map.insert(A, Neighbour(-60, 36, 5, 80, 20, 512));
    map.insert(C, Neighbour(-40, 1, 2, 20, 20, 256));
    rrm::JsonReader doc(("{\"list\":" + state_json(map) + "}").c_str());
    NeighbourMap back;
    back.restore(doc.child("list"));
    EXPECT_EQ(map.table, back.table);
}

TEST(NeighbourMap, RestoreOfBackupElements)
{
    testsupport::LogCapture log;
    rrm::JsonReader doc(R"({"list":[
        {"mac":"00:11:22:33:44:50","dbm-signal":-60,"channel":100,"bandwidth":80,"tx-power":"20","primary":256},
        null,
        {"mac":"00:11:22:33:44:50","dbm-signal":-99,"channel":1,"band":2},
        {"mac":"00:11:22:33:44:51","dbm-signal":true,"channel":0},
        {"mac":"00:11:22:33:44:52","channel":0,"band":null},
        {"mac":"00:11:22:33:44:53","channel":170,"band":"5"},
        {"mac":"00:11:22:33:44:54","channel":6},
        {"mac":"00-11-22-33-44-55","channel":11,"dbm-signal":-70},
        {"mac":7,"channel":11,"dbm-signal":-80},
        {"channel":200}
    ]})");
    NeighbourMap map;
    const MacAddress kept = mac_from_string("00:11:22:33:44:54");
    map.insert(kept, Neighbour(-30, 44, 5, 40, 10, 512));  // not emptied first
    map.restore(doc.child("list"));

    EXPECT_EQ(Neighbour(-60, 100, 5, 80, 20, 256), map.table.at(A));  // band inferred
    EXPECT_EQ(Neighbour(1, 0, 0, 0, 0, 0), map.table.at(B));           // no band: 0 and a log
    EXPECT_EQ(Neighbour(0, 0, 0, 0, 0, 0),
              map.table.at(mac_from_string("00:11:22:33:44:52")));  // null band, no log
    EXPECT_EQ(Neighbour(0, 170, 5, 0, 0, 0),
              map.table.at(mac_from_string("00:11:22:33:44:53")));  // given band wins
    EXPECT_EQ(Neighbour(-30, 44, 5, 40, 10, 512), map.table.at(kept));
    // Hyphens, a non-string and a missing "mac" all name 00:..:00; the first stays.
    EXPECT_EQ(Neighbour(-70, 11, 2, 0, 0, 0), map.table.at(MacAddress{}));
    EXPECT_EQ(6u, map.size());

    const auto records = log.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(rrm::LOG_LEVEL_DEBUG, records[0].level);
    EXPECT_EQ("neighbour state entry without band: mac=00:11:22:33:44:51 channel=0",
              records[0].text);

    // Values that are not arrays add nothing.
    rrm::JsonReader not_array(R"({"o":{"mac":"00:11:22:33:44:59"},"s":"x"})");
    NeighbourMap none;
    none.restore(not_array.child("o"));
    none.restore(not_array.child("s"));
    none.restore(not_array.child("missing"));
    EXPECT_TRUE(none.empty());
}

}  // namespace
