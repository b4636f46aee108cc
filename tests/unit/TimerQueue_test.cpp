#include "TimerQueue.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Well after anything added in a test is due.
int64_t later()
{
    return rrm::TimerQueue::now_seconds() + 1000000;
}

TEST(TimerQueue, FiresByDueSecondThenInsertionOrder)
{
    rrm::TimerQueue q;
    std::vector<std::string> fired;
    q.add_timer([&] { fired.push_back("a"); }, 1, 5);
    q.add_timer([&] { fired.push_back("b"); }, 2, 5);
    q.add_timer([&] { fired.push_back("c"); }, 3, 2);
    q.add_timer([&] { fired.push_back("d"); }, 4, 5);
    EXPECT_EQ(4u, q.size());
    q.fire_due(later());
    EXPECT_EQ((std::vector<std::string>{"c", "a", "b", "d"}), fired);
    EXPECT_TRUE(q.empty());
}

TEST(TimerQueue, PollBeforeDueCallsNothing)
{
    rrm::TimerQueue q;
    int calls = 0;
    q.add_timer([&] { ++calls; }, 1, 3);
    q.poll();
    q.fire_due(rrm::TimerQueue::now_seconds() + 1);
    EXPECT_EQ(0, calls);
    EXPECT_EQ(1u, q.size());
    q.fire_due(rrm::TimerQueue::now_seconds() + 3);
    EXPECT_EQ(1, calls);
    EXPECT_TRUE(q.empty());
}

TEST(TimerQueue, ZeroOrNegativeDelayFiresAtNextPoll)
{
    rrm::TimerQueue q;
    int calls = 0;
    q.add_timer([&] { ++calls; }, 1, 0);
    q.add_timer([&] { ++calls; }, 1, -3);
    q.poll();
    EXPECT_EQ(2, calls);
    EXPECT_TRUE(q.empty());
}

TEST(TimerQueue, CancelRemovesEveryEntryOfTheId)
{
    rrm::TimerQueue q;
    std::vector<int> fired;
    q.add_timer([&] { fired.push_back(5); }, 5, 1);
    q.add_timer([&] { fired.push_back(6); }, 6, 1);
    q.add_timer([&] { fired.push_back(5); }, 5, 2);
    q.cancel_timer(5);
    q.cancel_timer(42);
    EXPECT_EQ(1u, q.size());
    q.fire_due(later());
    EXPECT_EQ((std::vector<int>{6}), fired);
}

TEST(TimerQueue, RestartReplacesThePendingEntry)
{
    rrm::TimerQueue q;
    std::vector<std::string> fired;
    q.add_timer([&] { fired.push_back("old"); }, 1, 1);
    q.restart_timer([&] { fired.push_back("new"); }, 1, 100);
    EXPECT_EQ(1u, q.size());
    q.fire_due(rrm::TimerQueue::now_seconds() + 50);
    EXPECT_TRUE(fired.empty());
    q.fire_due(later());
    EXPECT_EQ((std::vector<std::string>{"new"}), fired);
}

TEST(TimerQueue, CallbacksChangingTheQueueDuringAPass)
{
    rrm::TimerQueue q;
    std::vector<std::string> fired;
    int64_t now = rrm::TimerQueue::now_seconds();
    // A periodic timer that re-arms itself with delay 1, one that re-adds
    // itself with delay 0 (gone after one firing) and one that cancels a
    // later entry that is due in the same pass.
    std::function<void()> periodic = [&] {
        fired.push_back("periodic");
        q.restart_timer(periodic, 1, 1);
    };
    std::function<void()> once = [&] {
        fired.push_back("once");
        q.add_timer(once, 2, 0);
    };
    q.add_timer(periodic, 1, 0);
    q.add_timer(once, 2, 0);
    q.add_timer([&] {
        fired.push_back("canceller");
        q.cancel_timer(4);
    }, 3, 0);
    q.add_timer([&] { fired.push_back("cancelled"); }, 4, 0);
    q.fire_due(now);
    EXPECT_EQ((std::vector<std::string>{"periodic", "once", "canceller", "cancelled"}), fired);
    // Only the periodic entry survives: re-armed with delay 1, its due is
    // later than the pass's second.
    ASSERT_EQ(1u, q.size());
    fired.clear();
    q.fire_due(now + 1000);
    EXPECT_EQ((std::vector<std::string>{"periodic"}), fired);
}

TEST(TimerQueue, DueIsComputedWithoutWrapping)
{
    rrm::TimerQueue q;
    int calls = 0;
    q.add_timer([&] { ++calls; }, 1, INT32_MAX);
    // Far away, not in the past.
    q.fire_due(rrm::TimerQueue::now_seconds() + INT32_MAX - 1);
    EXPECT_EQ(0, calls);
    q.fire_due(rrm::TimerQueue::now_seconds() + int64_t(INT32_MAX) + 1);
    EXPECT_EQ(1, calls);
}

TEST(TimerQueue, ThrowingCallbackIsReportedAndTheOthersRunOnce)
{
    testsupport::LogCapture capture;
    rrm::TimerQueue q;
    std::vector<std::string> fired;
    q.add_timer([&] { fired.push_back("before"); }, 1, 0);
    q.add_timer([&] {
        fired.push_back("throws");
        throw std::runtime_error("boom");
    }, 7, 0);
    q.add_timer([&] { throw 42; }, 8, 0);
    q.add_timer(std::function<void()>(), 9, 0);  // empty: bad_function_call
    q.add_timer([&] { fired.push_back("after"); }, 2, 0);
    q.poll();
    EXPECT_EQ((std::vector<std::string>{"before", "throws", "after"}), fired);
    EXPECT_TRUE(q.empty());
    EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_ERROR, "Unhandled exception 'boom' at timer 7"));
    EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_ERROR, "Unhandled exception at timer 8"));
    EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_ERROR, "Unhandled exception 'bad_function_call' at timer 9"));
    auto events = capture.events();
    ASSERT_EQ(3u, events.size());
    for (const auto& e : events) {
        EXPECT_EQ(rrm::EVENT_WORKER_THREAD_EXCEPTION, e.code);
        EXPECT_EQ("Worker", e.details);
    }
    fired.clear();
    q.poll();
    EXPECT_TRUE(fired.empty());
}

TEST(TimerQueue, DestructionCallsNothing)
{
    int calls = 0;
    {
        rrm::TimerQueue q;
        q.add_timer([&] { ++calls; }, 1, 0);
    }
    EXPECT_EQ(0, calls);
}

}  // namespace
