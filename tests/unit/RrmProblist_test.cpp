// The pending probe rounds: what each operation does to a client's round,
// step by step, and what a round holds afterwards.

#include "RrmProblist.h"

#include "Log.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using rrm::MacAddress;
using rrm::mac_from_string;
using rrm::mac_to_string;
using rrm::RrmProblist;

const MacAddress CLIENT = mac_from_string("00:11:22:33:44:55");
const MacAddress OTHER = mac_from_string("00:11:22:33:44:66");
const MacAddress SRC = mac_from_string("02:00:00:00:01:10");
const MacAddress R1 = mac_from_string("02:00:00:00:02:00");
const MacAddress R2 = mac_from_string("02:00:00:00:03:10");

// A round as the tests compare it: results and awaited radios as texts.
struct RoundView {
    bool present = false;
    std::map<std::string, int> results;
    std::set<std::string> awaited;
    std::string ssid;
    std::string src;
    int countdown = 0;

    bool operator==(const RoundView& o) const
    {
        return present == o.present && results == o.results && awaited == o.awaited &&
               ssid == o.ssid && src == o.src && countdown == o.countdown;
    }
};

std::ostream& operator<<(std::ostream& os, const RoundView& v)
{
    if (!v.present)
        return os << "{no round}";
    os << "{results:";
    for (const auto& r : v.results)
        os << ' ' << r.first << '=' << r.second;
    os << "; awaited:";
    for (const auto& a : v.awaited)
        os << ' ' << a;
    return os << "; ssid '" << v.ssid << "' src " << v.src << " countdown " << v.countdown << "}";
}

RoundView view(const RrmProblist& list, const MacAddress& client)
{
    RoundView v;
    const rrm::RrmProblistEntry* round = list.find(client);
    if (!round)
        return v;
    v.present = true;
    for (const auto& r : round->results)
        v.results[mac_to_string(r.first)] = r.second;
    for (const auto& a : round->awaited)
        v.awaited.insert(mac_to_string(a));
    v.ssid = round->get_ssid();
    v.src = mac_to_string(round->get_src_mac());
    v.countdown = round->countdown;
    return v;
}

TEST(RrmProblist, OperationsOnOneClientsRound)
{
    enum Op { ADD, REMOVE, EXPECT, PUT, ANSWER };
    struct Step {
        Op op;
        MacAddress radio;  // source radio for ADD
        int value;         // countdown for ADD, rssi for PUT
        std::string ssid;
    };
    const std::string R1s = "02:00:00:00:02:00";
    const std::string R2s = "02:00:00:00:03:10";
    const std::string SRCs = "02:00:00:00:01:10";
    struct Case {
        const char* name;
        std::vector<Step> steps;
        RoundView expected;
    } cases[] = {
        {"a new round is empty", {{ADD, SRC, 5, "corp"}}, {true, {}, {}, "corp", SRCs, 5}},
        {"an empty SSID starts nothing", {{ADD, SRC, 5, ""}}, {}},
        {"asked radios are awaited once",
         {{ADD, SRC, 5, "corp"}, {EXPECT, R1, 0, ""}, {EXPECT, R2, 0, ""}, {EXPECT, R1, 0, ""}},
         {true, {}, {R1s, R2s}, "corp", SRCs, 5}},
        {"an answer is recorded and ends the wait for its radio",
         {{ADD, SRC, 5, "corp"}, {EXPECT, R1, 0, ""}, {EXPECT, R2, 0, ""},
          {PUT, R1, -60, "corp"}, {ANSWER, R1, 0, "corp"}},
         {true, {{R1s, -60}}, {R2s}, "corp", SRCs, 5}},
        {"a later answer of a radio replaces its earlier one",
         {{ADD, SRC, 5, "corp"}, {PUT, R1, -60, "corp"}, {PUT, R1, -58, "corp"}},
         {true, {{R1s, -58}}, {}, "corp", SRCs, 5}},
        {"a radio that was never asked still counts",
         {{ADD, SRC, 5, "corp"}, {EXPECT, R1, 0, ""}, {PUT, R2, -55, "corp"},
          {ANSWER, R2, 0, "corp"}},
         {true, {{R2s, -55}}, {R1s}, "corp", SRCs, 5}},
        {"an SSID that differs only in case is another SSID",
         {{ADD, SRC, 5, "corp"}, {EXPECT, R1, 0, ""}, {PUT, R1, -60, "Corp"},
          {ANSWER, R1, 0, "Corp"}},
         {true, {}, {R1s}, "corp", SRCs, 5}},
        {"an answer without SSID is ignored",
         {{ADD, SRC, 5, "corp"}, {EXPECT, R1, 0, ""}, {PUT, R1, -60, ""}, {ANSWER, R1, 0, ""}},
         {true, {}, {R1s}, "corp", SRCs, 5}},
        {"a longer SSID is another SSID",
         {{ADD, SRC, 5, "corp"}, {PUT, R1, -60, "corp2"}}, {true, {}, {}, "corp", SRCs, 5}},
        {"a new round replaces the old one whole",
         {{ADD, SRC, 5, "corp"}, {EXPECT, R1, 0, ""}, {PUT, R1, -60, "corp"},
          {PUT, R2, -61, "corp"}, {ADD, R2, 4, "guest"}},
         {true, {}, {}, "guest", R2s, 4}},
        {"removed", {{ADD, SRC, 5, "corp"}, {PUT, R1, -60, "corp"}, {REMOVE, R1, 0, ""}}, {}},
        {"nothing happens to a client without a round",
         {{REMOVE, R1, 0, ""}, {EXPECT, R1, 0, ""}, {PUT, R1, -60, "corp"},
          {ANSWER, R1, 0, "corp"}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RrmProblist list;
        for (const Step& s : c.steps) {
            switch (s.op) {
            case ADD:
                list.add(CLIENT, s.radio, s.value, s.ssid);
                break;
            case REMOVE:
                list.remove(CLIENT);
                break;
            case EXPECT:
                list.expect_ap(CLIENT, s.radio);
                break;
            case PUT:
                list.put_result(CLIENT, s.radio, s.value, s.ssid);
                break;
            case ANSWER:
                list.mark_answered(CLIENT, s.radio, s.ssid);
                break;
            }
        }
        EXPECT_EQ(view(list, CLIENT), c.expected);
        EXPECT_EQ(list.size(), c.expected.present ? 1u : 0u);
    }
}

TEST(RrmProblist, RoundsOfClientsAreIndependent)
{
    RrmProblist list;
    list.add(CLIENT, SRC, 5, "corp");
    list.add(OTHER, SRC, 5, "corp");
    list.expect_ap(CLIENT, R1);
    list.expect_ap(OTHER, R1);
    list.put_result(OTHER, R1, -60, "corp");
    list.mark_answered(OTHER, R1, "corp");
    // OTHER's answer did nothing to CLIENT's round.
    EXPECT_FALSE(list.find(CLIENT)->all_answered());
    EXPECT_TRUE(list.find(CLIENT)->results.empty());
    EXPECT_TRUE(list.find(OTHER)->all_answered());
    list.remove(OTHER);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_NE(list.find(CLIENT), nullptr);
}

TEST(RrmProblist, AllAnsweredOnceTheLastAwaitedRadioAnswers)
{
    RrmProblist list;
    list.add(CLIENT, SRC, 5, "corp");
    // Nobody asked yet: nothing to wait for.
    EXPECT_TRUE(list.find(CLIENT)->all_answered());
    list.expect_ap(CLIENT, R1);
    list.expect_ap(CLIENT, R2);
    list.mark_answered(CLIENT, R1, "corp");
    EXPECT_FALSE(list.find(CLIENT)->all_answered());
    // An answer below the usable signal is no result, but it is an answer.
    list.mark_answered(CLIENT, R2, "corp");
    EXPECT_TRUE(list.find(CLIENT)->all_answered());
    EXPECT_TRUE(list.find(CLIENT)->results.empty());
}

TEST(RrmProblist, DropIsLoggedInCapitals)
{
    testsupport::LogCapture log;
    rrm::log_problist_drop(mac_from_string("0a:1b:2c:3d:4e:5f"));
    ASSERT_EQ(log.records().size(), 1u);
    const auto record = log.records().front();
    EXPECT_EQ(record.level, rrm::LOG_LEVEL_DEBUG);
    EXPECT_EQ(record.text, "RrmProblist: drop - 0A:1B:2C:3D:4E:5F");
    EXPECT_EQ(record.func, "log_problist_drop");
}

}  // namespace
