#include "TimerQueue.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <climits>
#include <thread>
#include <functional>
#include <new>
#include <utility>
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

// Runs `add` early in a second of the monotonic clock and returns that
// second, so that the due times of what it adds are exact.
int64_t add_within_one_second(const std::function<void()>& add)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    if (ts.tv_nsec > 500000000L)
        std::this_thread::sleep_for(std::chrono::nanoseconds(1000000000L - ts.tv_nsec + 1000000L));
    const int64_t second = rrm::TimerQueue::now_seconds();
    add();
    return second;
}

TEST(TimerQueue, PeriodicEntryOutlivesWhatItsCallbackThrows)
{
    // A periodic timer must keep its beat whatever a run throws: an
    // allocation failure, another std::exception, or something else.
    struct Case {
        const char* name;
        std::function<void()> fail;
        const char* reported;  // null: no std::exception
    };
    const Case cases[] = {
        {"bad_alloc", [] { throw std::bad_alloc(); }, "std::bad_alloc"},
        {"runtime_error", [] { throw std::runtime_error("boom"); }, "boom"},
        {"int", [] { throw 7; }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rrm::TimerQueue q;
        std::vector<std::pair<int, std::string>> errors;
        q.set_error_handler([&](int32_t id, const char* what) {
            errors.emplace_back(id, what ? what : "(none)");
        });
        int runs = 0;
        const int64_t now = add_within_one_second([&] {
            q.add_periodic(
                [&] {
                    ++runs;
                    if (runs == 1)
                        c.fail();
                },
                3, 2, 5);
        });
        q.fire_due(now + 1);  // not due yet (first delay 2 s)
        EXPECT_EQ(0, runs);
        q.fire_due(now + 2);  // throws, rescheduled for now + 2 + 5
        EXPECT_EQ(1, runs);
        ASSERT_EQ(1u, errors.size());
        EXPECT_EQ(3, errors[0].first);
        EXPECT_EQ(c.reported ? c.reported : "(none)", errors[0].second);
        ASSERT_EQ(1u, q.size());
        q.fire_due(now + 6);
        EXPECT_EQ(1, runs);
        q.fire_due(now + 7);
        EXPECT_EQ(2, runs);
        q.fire_due(now + 12);
        EXPECT_EQ(3, runs);
        EXPECT_EQ(1u, errors.size());
    }
}

TEST(TimerQueue, CancelStopsAPeriodicEntryAlsoFromInsideAPass)
{
    rrm::TimerQueue q;
    std::vector<std::string> fired;
    // Cancelled by its own run: this run completes, no further one.
    q.add_periodic([&] {
        fired.push_back("self");
        q.cancel_timer(1);
    }, 1, 0, 1);
    // Cancelled by an earlier entry of the same pass: it still fires in
    // that pass (as one-shot entries do), and never again.
    q.add_timer([&] {
        fired.push_back("canceller");
        q.cancel_timer(2);
    }, 9, 0);
    q.add_periodic([&] { fired.push_back("other"); }, 2, 0, 1);
    // Restarted as a one-shot entry from inside its own run.
    q.add_periodic([&] {
        fired.push_back("restarted");
        q.restart_timer([&] { fired.push_back("once"); }, 3, 1);
    }, 3, 0, 1);
    const int64_t now = rrm::TimerQueue::now_seconds();
    q.fire_due(now);
    EXPECT_EQ((std::vector<std::string>{"self", "canceller", "other", "restarted"}), fired);
    fired.clear();
    q.fire_due(now + 100);
    EXPECT_EQ((std::vector<std::string>{"once"}), fired);
    EXPECT_TRUE(q.empty());
}

TEST(TimerQueue, PeriodicEntryKeepsItsPlaceAmongOthers)
{
    // Rescheduled from the pass's second: a 1 s periodic entry and a 3 s
    // one-shot entry, both added at the same second.
    rrm::TimerQueue q;
    std::vector<std::string> fired;
    const int64_t now = add_within_one_second([&] {
        q.add_periodic([&] { fired.push_back("tick"); }, 0, 1, 1);
        q.add_timer([&] { fired.push_back("once"); }, 1, 3);
    });
    for (int64_t t = now + 1; t <= now + 4; ++t)
        q.fire_due(t);
    // At now + 3 the one-shot entry, due there first, goes before the tick
    // rescheduled to the same second.
    EXPECT_EQ((std::vector<std::string>{"tick", "tick", "once", "tick", "tick"}), fired);
    // A zero period still means once a second, never a busy loop.
    rrm::TimerQueue zero;
    int runs = 0;
    const int64_t start = add_within_one_second([&] { zero.add_periodic([&] { ++runs; }, 0, 0, 0); });
    zero.fire_due(start);
    zero.fire_due(start);
    EXPECT_EQ(1, runs);
    zero.fire_due(start + 1);
    EXPECT_EQ(2, runs);
}

TEST(TimerQueue, ErrorHandlerThatThrowsIsSwallowed)
{
    rrm::TimerQueue q;
    int runs = 0;
    q.set_error_handler([](int32_t, const char*) { throw std::runtime_error("handler"); });
    q.add_periodic([&] {
        ++runs;
        throw std::runtime_error("boom");
    }, 0, 0, 1);
    const int64_t now = rrm::TimerQueue::now_seconds();
    EXPECT_NO_THROW(q.fire_due(now));
    EXPECT_NO_THROW(q.fire_due(now + 1));
    EXPECT_EQ(2, runs);
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

// A queue on a clock of its own: what it arms and what poll fires follow
// that clock, one step apart, whatever the real clock says.
int64_t own_seconds = 0;

TEST(TimerQueue, RunsOnAClockOfItsOwn)
{
    rrm::TimerQueue q;
    q.set_clock([] { return own_seconds; });
    own_seconds = 100;
    std::vector<int64_t> fired;
    q.add_periodic([&] { fired.push_back(own_seconds); }, 1, 2, 3);
    // Re-arms itself for 5 s after the second it ran in.
    std::function<void()> step = [&] {
        fired.push_back(-own_seconds);
        q.add_timer(step, 2, 5);
    };
    q.add_timer(step, 2, 1);
    for (own_seconds = 101; own_seconds <= 112; ++own_seconds)
        q.poll();
    // Periodic at 102, 105, 108, 111; the one-shot (negative) at 101, 106,
    // 111, where it was armed before the periodic one was rescheduled.
    EXPECT_EQ((std::vector<int64_t>{-101, 102, 105, -106, 108, -111, 111}), fired);
}

}  // namespace
