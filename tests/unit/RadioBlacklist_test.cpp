#include "RadioBlacklist.h"

#include "JsonWriter.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using rrm::MacAddress;
using rrm::RadioBlacklist;

const MacAddress A = rrm::mac_from_string("00:00:00:00:00:0a");
const MacAddress B = rrm::mac_from_string("00:00:00:00:00:0b");

// {member counter or -1 when absent, pending change (-1 none, 0 unblock, 1 block),
//  pending disassociation SSID or "" when none}
struct ClientState {
    int counter;
    int change;
    std::string disassoc;
    bool operator==(const ClientState& o) const
    {
        return counter == o.counter && change == o.change && disassoc == o.disassoc;
    }
};

std::ostream& operator<<(std::ostream& os, const ClientState& s)
{
    return os << "{member " << s.counter << ", change " << s.change << ", disassoc '"
              << s.disassoc << "'}";
}

ClientState state(const RadioBlacklist& list, const MacAddress& mac)
{
    ClientState s{-1, -1, ""};
    if (auto it = list.members.find(mac); it != list.members.end())
        s.counter = it->second;
    if (auto it = list.changes.find(mac); it != list.changes.end())
        s.change = it->second ? 1 : 0;
    if (auto it = list.disassoc.find(mac); it != list.disassoc.end())
        s.disassoc = it->second;
    return s;
}

TEST(RadioBlacklist, Transitions)
{
    // SENT: the pending entries went to the AP with the timeout given;
    // DISCARD: they were dropped unsent (steering paused); AGE: a second
    // passed on the AP only (the server's counters are held while paused).
    enum Op {
        BLOCK, UNBLOCK, REMOVE, DISASSOC, DISASSOC_EMPTY, DISASSOC_NULL, TICK, SENT, DISCARD,
        AGE, REQUEUE
    };
    struct Step {
        Op op;
        int timeout;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        ClientState expected;
    } cases[] = {
        {"block queues a block", {{BLOCK, 30}}, {30, 1, ""}},
        {"a second block within what the AP holds only resets the counter",
         {{BLOCK, 30}, {SENT, 30}, {BLOCK, 20}},
         {20, -1, ""}},
        {"a block again in the second the first went out queues nothing",
         {{BLOCK, 5}, {SENT, 5}, {BLOCK, 5}},
         {5, -1, ""}},
        // The AP lifts a block sent with 5 s after 5 s: restarting the
        // server's count two seconds on would outlast it.
        {"a block again past the end of the AP's block is queued again",
         {{BLOCK, 5}, {TICK, 0}, {SENT, 5}, {TICK, 0}, {TICK, 0}, {BLOCK, 5}},
         {5, 1, ""}},
        {"the AP's block runs down while the server's count is held",
         {{BLOCK, 5}, {SENT, 5}, {AGE, 0}, {BLOCK, 5}},
         {5, 1, ""}},
        {"a block dropped unsent leaves the AP holding nothing: the next block goes",
         {{BLOCK, 5}, {DISCARD, 0}, {BLOCK, 5}},
         {5, 1, ""}},
        {"a disassociation that went out holds the client like a block",
         {{DISASSOC, 5}, {SENT, 5}, {BLOCK, 5}},
         {5, -1, ""}},
        {"a refresh past the disassociation's hold queues a block",
         {{DISASSOC, 5}, {SENT, 5}, {TICK, 0}, {BLOCK, 5}},
         {5, 1, ""}},
        {"block twice before sending queues one block", {{BLOCK, 30}, {BLOCK, 10}}, {10, 1, ""}},
        {"block then unblock leaves only the unblock", {{BLOCK, 30}, {UNBLOCK, 0}}, {-1, 0, ""}},
        {"unblock after the block was sent", {{BLOCK, 30}, {SENT, 30}, {UNBLOCK, 0}}, {-1, 0, ""}},
        {"unblock of a stranger does nothing", {{UNBLOCK, 0}}, {-1, -1, ""}},
        {"remove of a stranger does nothing", {{REMOVE, 0}}, {-1, -1, ""}},
        {"block after unblock replaces the pending unblock",
         {{BLOCK, 30}, {UNBLOCK, 0}, {BLOCK, 5}},
         {5, 1, ""}},
        {"disassociation queues no change", {{DISASSOC, 30}}, {30, -1, "ssid"}},
        {"disassociation then unblock drops both, queues nothing",
         {{DISASSOC, 30}, {UNBLOCK, 0}},
         {-1, -1, ""}},
        {"disassociation of a member only resets its counter",
         {{BLOCK, 30}, {SENT, 30}, {DISASSOC, 7}},
         {7, -1, ""}},
        {"disassociation without SSID changes nothing",
         {{BLOCK, 30}, {DISASSOC_EMPTY, 7}, {DISASSOC_NULL, 8}},
         {30, 1, ""}},
        {"disassociation without SSID of a stranger", {{DISASSOC_EMPTY, 7}}, {-1, -1, ""}},
        {"remove keeps a pending block", {{BLOCK, 30}, {REMOVE, 0}}, {-1, 1, ""}},
        {"remove drops the pending disassociation", {{DISASSOC, 30}, {REMOVE, 0}}, {-1, -1, ""}},
        {"timeout 3 survives two ticks", {{BLOCK, 3}, {TICK, 0}, {TICK, 0}}, {1, 1, ""}},
        {"timeout 3 is gone after the third tick",
         {{BLOCK, 3}, {TICK, 0}, {TICK, 0}, {TICK, 0}},
         {-1, 1, ""}},
        {"timeout 0 is gone after the first tick", {{BLOCK, 0}, {TICK, 0}}, {-1, 1, ""}},
        {"tick takes the disassociation along", {{DISASSOC, 1}, {TICK, 0}}, {-1, -1, ""}},
        {"most negative timeout is dropped without wrapping", {{BLOCK, INT_MIN}, {TICK, 0}}, {-1, 1, ""}},
        {"requeue queues a block for a member",
         {{BLOCK, 30}, {SENT, 30}, {REQUEUE, 0}},
         {30, 1, ""}},
        {"requeue drops a pending unblock of a non-member",
         {{BLOCK, 30}, {UNBLOCK, 0}, {REQUEUE, 0}},
         {-1, -1, ""}},
        {"requeue keeps the disassociation", {{DISASSOC, 30}, {REQUEUE, 0}}, {30, 1, "ssid"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RadioBlacklist list;
        for (const auto& step : c.steps) {
            switch (step.op) {
            case BLOCK: list.block(A, step.timeout); break;
            case UNBLOCK: list.unblock(A); break;
            case REMOVE: list.remove(A); break;
            case DISASSOC: list.block_disassoc(A, step.timeout, "ssid"); break;
            case DISASSOC_EMPTY: list.block_disassoc(A, step.timeout, ""); break;
            case DISASSOC_NULL: list.block_disassoc(A, step.timeout, nullptr); break;
            case TICK: list.tick(); break;
            case SENT:
                list.changes_sent(step.timeout);
                list.disassoc_sent(step.timeout);
                list.changes.clear();
                list.disassoc.clear();
                break;
            case DISCARD: list.changes.clear(); list.disassoc.clear(); break;
            case AGE: list.age_held(); break;
            case REQUEUE: list.requeue_blocks(); break;
            }
        }
        EXPECT_EQ(c.expected, state(list, A));
        // Every pending disassociation belongs to a member.
        for (const auto& d : list.disassoc)
            EXPECT_EQ(1u, list.members.count(d.first));
    }
}

TEST(RadioBlacklist, TickLowersEveryMemberOnceWhileDroppingOthers)
{
    RadioBlacklist list;
    // Many members so that erasing during the walk meets every bucket layout.
    std::vector<MacAddress> macs;
    for (int i = 0; i < 200; ++i) {
        MacAddress m = rrm::mac_from_u48(0x001122000000ull + static_cast<uint64_t>(i) * 7);
        macs.push_back(m);
        list.block(m, i % 3 + 1);
    }
    list.tick();
    for (int i = 0; i < 200; ++i) {
        auto it = list.members.find(macs[i]);
        if (i % 3 == 0) {
            EXPECT_EQ(list.members.end(), it);
        } else {
            ASSERT_NE(list.members.end(), it);
            EXPECT_EQ(i % 3, it->second);
        }
    }
    EXPECT_EQ(200u, list.changes.size());
}

TEST(RadioBlacklist, ClearAndRequeueOnTheWholeList)
{
    RadioBlacklist list;
    list.requeue_blocks();
    EXPECT_TRUE(list.changes.empty());

    list.block(A, 30);
    list.block_disassoc(B, 30, "x");
    list.clear();
    EXPECT_TRUE(list.members.empty());
    EXPECT_TRUE(list.changes.empty());
    EXPECT_TRUE(list.disassoc.empty());
}


std::string entry_text(const MacAddress& mac, bool block, int timeout, bool with_timeout)
{
    std::string text = "{\"mac\":\"" + rrm::mac_to_string(mac) + "\",\"action\":\"" +
                       (block ? "block" : "unblock") + "\"";
    if (block && with_timeout)
        text += ",\"timeout\":" + std::to_string(timeout);
    return text + "}";
}

TEST(RadioBlacklistJson, PendingChangesForTheAp)
{
    RadioBlacklist list;
    {
        rrm::JsonWriter radio("");
        list.changes_to_json(radio, 60);
        EXPECT_STREQ(R"({"blacklist":[]})", radio.to_string());
    }
    list.block(A, 5);  // the member's own counter is never written
    list.block(B, 5);
    list.unblock(B);
    list.block_disassoc(rrm::mac_from_string("00:00:00:00:00:0c"), 5, "s");  // not a change
    rrm::JsonWriter radio("");
    list.changes_to_json(radio, 60);
    std::string expected;
    for (const auto* change : rrm::entries_by_mac(list.changes))  // ascending MAC order
        expected += (expected.empty() ? "" : ",") +
                    entry_text(change->first, change->second, 60, true);
    EXPECT_EQ("{\"blacklist\":[" + expected + "]}", radio.to_string());
    EXPECT_NE(std::string::npos,
              expected.find(R"({"mac":"00:00:00:00:00:0A","action":"block","timeout":60})"));
    EXPECT_NE(std::string::npos, expected.find(R"({"mac":"00:00:00:00:00:0B","action":"unblock"})"));
}

TEST(RadioBlacklistJson, StateForm)
{
    RadioBlacklist list;
    {
        rrm::JsonWriter object("");
        list.to_json(object);
        EXPECT_STREQ(R"({"members":[],"changes":[]})", object.to_string());
    }
    list.block(A, 30);
    list.tick();
    list.block_disassoc(B, 7, "s");  // disassociations are not written
    rrm::JsonWriter object("");
    list.to_json(object);
    std::string members;
    for (const auto* member : rrm::entries_by_mac(list.members))  // ascending MAC order
        members += (members.empty() ? "" : ",") + std::string("{\"mac\":\"") +
                   rrm::mac_to_string(member->first) + "\",\"counter\":" +
                   std::to_string(member->second) + "}";
    EXPECT_EQ("{\"members\":[" + members + "],\"changes\":[" + entry_text(A, true, 0, false) +
                  "]}",
              object.to_string());
    EXPECT_NE(std::string::npos, members.find(R"({"mac":"00:00:00:00:00:0A","counter":29})"));
    EXPECT_NE(std::string::npos, members.find(R"({"mac":"00:00:00:00:00:0B","counter":7})"));
}

}  // namespace
