// The pace of records a peer can repeat at will, and the bound on how far a
// debounced timer can be pushed back: both on seconds given by the test.
#include "BoundedDelay.h"
#include "RecordPace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(RecordPace, OneRecordAPeriodEachTellingHowManyWereHeldBack)
{
    rrm::RecordPace pace;
    struct Step {
        int64_t now;
        bool written;
        unsigned long long held_back;  // read after a written record
    };
    // Period 10 s: written at 100, held at 101 to 109 (five of them), written
    // at 110 telling of the five, held at 111, then written at 500 after a
    // quiet spell, telling of that one.
    const Step steps[] = {
        {100, true, 0},  {101, false, 0}, {103, false, 0}, {105, false, 0}, {109, false, 0},
        {109, false, 0}, {110, true, 5},  {111, false, 0}, {500, true, 1},  {509, false, 0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.now));
        EXPECT_EQ(pace.allow(s.now), s.written);
        if (s.written) {
            EXPECT_EQ(pace.held_back(), s.held_back);
        }
    }
    // Any second counts as a start, the first call included.
    rrm::RecordPace early;
    EXPECT_TRUE(early.allow(-5));
    EXPECT_FALSE(early.allow(4));
    EXPECT_TRUE(early.allow(5));
}

TEST(BoundedDelay, RequestsPushTheTimerBackOnlyUpToTheBoundAfterTheFirst)
{
    // Delay 20 s, bound 60 s after the first request still waiting, at
    // least 1 s.
    struct Case {
        const char* name;
        std::vector<int64_t> requests;  // seconds of the requests, in order
        std::vector<int32_t> delays;    // what each request arms
    };
    const Case cases[] = {
        {"one request", {1000}, {20}},
        // The bound is 1060: 1015 and 1030 still get 20 s, 1045 would be due
        // at 1065 and gets 15 s, 1050 gets 10, 1059 gets 1 s, and so does
        // 1070, past it.
        {"a trickle every 15 s", {1000, 1015, 1030, 1045, 1050, 1059, 1070},
         {20, 20, 20, 15, 10, 1, 1}},
        {"a burst within a second", {1000, 1000, 1000}, {20, 20, 20}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rrm::BoundedDelay delay;
        std::vector<int32_t> armed;
        for (int64_t at : c.requests)
            armed.push_back(delay.next(at, 20, 60, 1));
        EXPECT_EQ(armed, c.delays);
        EXPECT_TRUE(delay.waiting());
        EXPECT_EQ(delay.since(), c.requests.front());
    }

    // Served: the next request starts a bound of its own.
    rrm::BoundedDelay delay;
    delay.next(1000, 20, 60);
    EXPECT_EQ(delay.next(1059, 20, 60), 1);
    delay.reset();
    EXPECT_FALSE(delay.waiting());
    EXPECT_EQ(delay.next(1070, 20, 60), 20);
    EXPECT_EQ(delay.since(), 1070);

    // Without a floor a request past the bound is due at once; a delay of
    // its own below the floor is raised to it; huge bounds do not wrap.
    rrm::BoundedDelay unfloored;
    unfloored.next(0, 5, 10);
    EXPECT_EQ(unfloored.next(12, 5, 10), 0);
    rrm::BoundedDelay floored;
    EXPECT_EQ(floored.next(0, 0, 60, 1), 1);
    rrm::BoundedDelay wide;
    EXPECT_EQ(wide.next(INT64_MAX / 2, INT32_MAX, INT64_MAX / 4), INT32_MAX);
}

}  // namespace
