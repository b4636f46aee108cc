// The order in which received texts are parsed: each session's texts in
// their order, and among sessions the one with the least recent parse time
// first (halved every second), a text's length standing in for the parse
// time of a session that has had none yet.
#include "ParseScheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using rrm::ParseScheduler;
using rrm::RawMessage;
using rrm::WebsockSession;

std::shared_ptr<WebsockSession> session(uint32_t id)
{
    return std::make_shared<WebsockSession>(BaseSession{nullptr, 0, id}, "peer", 0);
}

// A text known by a tag (kept in the handle's id) and its length.
RawMessage text(uint32_t tag, uint32_t size = 100)
{
    RawMessage item;
    item.session.id = tag;
    item.size = size;
    return item;
}

// Takes the next text, charges it `cost` seconds at `now`, returns its tag
// (0 when nothing was ready).
uint32_t take(ParseScheduler& s, double cost = 0.001, double now = 1000)
{
    std::shared_ptr<WebsockSession> from;
    RawMessage item;
    if (!s.next(from, item))
        return 0;
    s.charge(*from, cost, now);
    return item.session.id;
}

TEST(ParseScheduler, EachSessionsTextsKeepTheirOrder)
{
    ParseScheduler s;
    auto a = session(1);
    for (uint32_t tag = 11; tag <= 15; ++tag)
        s.add(a, text(tag), 1000);
    EXPECT_EQ(5u, s.size());
    std::vector<uint32_t> order;
    while (uint32_t tag = take(s))
        order.push_back(tag);
    EXPECT_EQ((std::vector<uint32_t>{11, 12, 13, 14, 15}), order);
    EXPECT_TRUE(s.empty());
}

TEST(ParseScheduler, TheSessionWithLessRecentParseTimeGoesFirst)
{
    struct Case {
        const char* what;
        double a_cost, a_at;  // what A's last text cost, and when
        double b_cost, b_at;
        double now;           // when both have a text waiting
        uint32_t first;       // 1: A's text first, 2: B's
    };
    const Case cases[] = {
        // 0.5 s against 0.1 s at the same moment.
        {"more parse time waits", 0.5, 100, 0.1, 100, 100, 2},
        // Three seconds later both have decayed by 2^-3 (0.0625 against
        // 0.0125): the order is the same.
        {"decay keeps the order", 0.5, 100, 0.1, 100, 103, 2},
        // At 101.5 A's 0.5 s have decayed to 0.5 x 2^-1.5 = 0.177, below
        // B's fresh 0.3.
        {"older parse time counts for less", 0.5, 100, 0.3, 101.5, 101.5, 1},
        // 0.5 x 2^-1 = 0.25 against 0.3 charged at 101; B has had more.
        {"half a second's difference", 0.5, 100, 0.3, 101, 101, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ParseScheduler s;
        auto a = session(1);
        auto b = session(2);
        // One text each to charge their history.
        s.add(a, text(1), c.a_at);
        EXPECT_EQ(1u, take(s, c.a_cost, c.a_at));
        s.add(b, text(2), c.b_at);
        EXPECT_EQ(2u, take(s, c.b_cost, c.b_at));
        // A's text arrives first; the history decides.
        s.add(a, text(1), c.now);
        s.add(b, text(2), c.now);
        EXPECT_EQ(c.first, take(s, 0.001, c.now));
        EXPECT_EQ(3 - c.first, take(s, 0.001, c.now));
    }
}

TEST(ParseScheduler, ANewSessionOvertakesOneWhoseTextsAreCostly)
{
    ParseScheduler s;
    auto costly = session(1);
    // Two texts of a session that has just taken 0.8 s.
    s.add(costly, text(11, 1u << 20), 10);
    EXPECT_EQ(11u, take(s, 0.8, 10.8));
    s.add(costly, text(12, 1u << 20), 10.8);
    s.add(costly, text(13, 1u << 20), 10.8);
    // A session with nothing parsed yet comes later and goes first, and so
    // do its next texts: its parse time stays far below.
    auto light = session(2);
    s.add(light, text(21, 3000), 10.9);
    s.add(light, text(22, 3000), 10.9);
    EXPECT_EQ(21u, take(s, 0.0001, 10.9));
    EXPECT_EQ(22u, take(s, 0.0001, 10.9));
    EXPECT_EQ(12u, take(s, 0.8, 11.7));
    EXPECT_EQ(13u, take(s, 0.8, 12.5));
    EXPECT_EQ(0u, take(s));
}

TEST(ParseScheduler, SessionsWithoutParseTimeGoByLengthThenByArrival)
{
    ParseScheduler s;
    auto big = session(1);
    auto small = session(2);
    auto same = session(3);
    // 1 MiB is taken for about 10 ms of parsing, 3,000 bytes for 30 us.
    s.add(big, text(1, 1u << 20), 5);
    s.add(small, text(2, 3000), 5);
    s.add(same, text(3, 3000), 5);
    EXPECT_EQ(2u, take(s, 0.001, 5));
    EXPECT_EQ(3u, take(s, 0.001, 5));
    EXPECT_EQ(1u, take(s, 0.001, 5));
}

TEST(ParseScheduler, ASessionBeingParsedIsLeftOutUntilItIsCharged)
{
    ParseScheduler s;
    auto a = session(1);
    auto b = session(2);
    s.add(a, text(11, 10), 1);
    s.add(a, text(12, 10), 1);
    s.add(b, text(21, 5000), 1);

    std::shared_ptr<WebsockSession> from;
    RawMessage item;
    ASSERT_TRUE(s.next(from, item));
    EXPECT_EQ(11u, item.session.id);
    // A's second text would come first by length, but A is being parsed
    // (another parsing thread would take B's text meanwhile).
    std::shared_ptr<WebsockSession> other;
    RawMessage second;
    ASSERT_TRUE(s.next(other, second));
    EXPECT_EQ(21u, second.session.id);
    RawMessage none;
    EXPECT_FALSE(s.next(other, none));
    // A text that comes while A is parsed waits behind its others.
    s.add(a, text(13, 10), 1);
    s.charge(*other, 0.01, 1);
    EXPECT_FALSE(s.next(other, none));
    s.charge(*from, 0.001, 1);
    EXPECT_EQ(12u, take(s, 0.001, 1));
    EXPECT_EQ(13u, take(s, 0.001, 1));
    EXPECT_TRUE(s.empty());
}

TEST(ParseScheduler, DrainHandsOverEveryHeldText)
{
    ParseScheduler s;
    auto a = session(1);
    auto b = session(2);
    s.add(a, text(11), 1);
    s.add(a, text(12), 1);
    s.add(b, text(21), 1);
    std::vector<uint32_t> drained;
    s.drain([&](const std::shared_ptr<WebsockSession>& from, RawMessage& item) {
        EXPECT_TRUE(from == a || from == b);
        drained.push_back(item.session.id);
    });
    std::sort(drained.begin(), drained.end());
    EXPECT_EQ((std::vector<uint32_t>{11, 12, 21}), drained);
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(0u, take(s));
}

}  // namespace
