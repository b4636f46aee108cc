#include "SafeQueue.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <vector>

namespace {

using IntQueue = rrm::_SafeQueue<int>;
using PtrQueue = rrm::_SafeQueue<std::shared_ptr<int>>;

TEST(SafeQueue, CapacityIsPowerOfTwoOfAtLeastTwo)
{
    struct Case {
        int32_t requested;
        uint64_t cells;
    };
    for (Case c : {Case{-5, 2}, {0, 2}, {1, 2}, {2, 2}, {3, 4}, {16, 16}, {17, 32}, {2048, 2048},
                   {2049, 4096}}) {
        IntQueue q(c.requested, false);
        EXPECT_EQ(c.cells, q.normal.capacity) << c.requested;
        EXPECT_EQ(c.cells, q.force.capacity) << c.requested;
        EXPECT_EQ(c.cells - 1, q.normal.mask) << c.requested;
        // Exactly `cells` pushes fit into each ring.
        for (uint64_t i = 0; i < c.cells; ++i) {
            ASSERT_TRUE(q.push(int(i), 1));
            ASSERT_TRUE(q.push_force(int(i), 1));
        }
        EXPECT_FALSE(q.push(0, 1));
        EXPECT_FALSE(q.push_force(0, 1));
        EXPECT_EQ(2u, q.dropped.load());
    }
}

TEST(SafeQueue, QueueIsCacheLineAligned)
{
    EXPECT_EQ(0u, alignof(PtrQueue) % 64);
    auto q = std::make_unique<PtrQueue>(16, false);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(q.get()) % 64);
    EXPECT_NE(reinterpret_cast<char*>(&q->normal.enqueue_pos) - reinterpret_cast<char*>(&q->normal),
              reinterpret_cast<char*>(&q->normal.dequeue_pos) - reinterpret_cast<char*>(&q->normal));
    EXPECT_GE(reinterpret_cast<char*>(&q->normal.dequeue_pos) -
                  reinterpret_cast<char*>(&q->normal.enqueue_pos),
              64);
}

TEST(SafeQueue, FifoPerRingAndForceOvertakes)
{
    IntQueue q(2048, false);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(q.push(int(i), rrm::QUEUE_ATTEMPT_LIMIT));
    ASSERT_TRUE(q.push_force(100, rrm::QUEUE_ATTEMPT_LIMIT));
    ASSERT_TRUE(q.push_force(101, rrm::QUEUE_ATTEMPT_LIMIT));
    EXPECT_EQ(12u, q.size());
    std::vector<int> got;
    int v;
    while (q.pop(v))
        got.push_back(v);
    EXPECT_EQ((std::vector<int>{100, 101, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), got);
    EXPECT_FALSE(q.pop(v));
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(0u, q.size());
}

TEST(SafeQueue, NamedRingPops)
{
    IntQueue q(4, false);
    ASSERT_TRUE(q.push(1, 1));
    ASSERT_TRUE(q.push_force(2, 1));
    int v = 0;
    EXPECT_TRUE(q.pop_normal(v));
    EXPECT_EQ(1, v);
    EXPECT_FALSE(q.pop_normal(v));
    EXPECT_TRUE(q.pop_force(v));
    EXPECT_EQ(2, v);
}

TEST(SafeQueue, WrapsAroundManyLaps)
{
    IntQueue q(4, false);
    int v;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(q.push(int(i), 1));
        ASSERT_TRUE(q.push(int(i + 1), 1));
        ASSERT_TRUE(q.pop(v));
        ASSERT_EQ(i, v);
        ASSERT_TRUE(q.pop(v));
        ASSERT_EQ(i + 1, v);
    }
    EXPECT_EQ(2000u, q.normal.enqueue_pos.load());
}

TEST(SafeQueue, SizeCountsBothRings)
{
    IntQueue q(8, false);
    for (int i = 0; i < 3; ++i)
        q.push(int(i), 1);
    for (int i = 0; i < 2; ++i)
        q.push_force(int(i), 1);
    EXPECT_EQ(5u, q.size());
    EXPECT_FALSE(q.empty());
}

TEST(SafeQueue, GivingUpReleasesTheValueAndCounts)
{
    PtrQueue q(2, false);
    auto a = std::make_shared<int>(1);
    auto b = std::make_shared<int>(2);
    auto c = std::make_shared<int>(3);
    auto keep_a = a, keep_c = c;
    ASSERT_TRUE(q.push(std::move(a), rrm::CONNECTION_QUEUE_ATTEMPT_LIMIT));
    ASSERT_TRUE(q.push(std::move(b), rrm::CONNECTION_QUEUE_ATTEMPT_LIMIT));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(q.push(std::move(c), rrm::CONNECTION_QUEUE_ATTEMPT_LIMIT));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(1u, q.dropped.load());
    EXPECT_EQ(nullptr, c);
    EXPECT_EQ(1, keep_c.use_count());  // the queue kept no reference
    EXPECT_EQ(2, keep_a.use_count());
    // 129 sleeps of 1 us doubling to 1 ms: at least 0.1 s.
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_EQ(2u, q.size());
}

TEST(SafeQueue, PushWhileStopsWhenAskedOnlyOnceTheRingIsFull)
{
    IntQueue q(2, false);
    int asked = 0;
    EXPECT_TRUE(q.push_while(1, [&] { return ++asked, false; }));
    EXPECT_EQ(0, asked);
    ASSERT_TRUE(q.push(2, 1));
    EXPECT_FALSE(q.push_while(3, [&] { return ++asked < 200; }));
    EXPECT_EQ(200, asked);
    EXPECT_EQ(1u, q.dropped.load());
}

TEST(SafeQueue, EventFdIsSignalledPerPushAndResetByClear)
{
    IntQueue q(8, true);
    ASSERT_NE(-1, q.event_fd);
    pollfd p{q.event_fd, POLLIN, 0};
    EXPECT_EQ(0, poll(&p, 1, 0));
    for (int i = 0; i < 5; ++i)
        q.push(int(i), 1);
    EXPECT_EQ(1, poll(&p, 1, 0));
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(0, poll(&p, 1, 0));
    IntQueue plain(8, false);
    EXPECT_EQ(-1, plain.event_fd);
}

TEST(SafeQueue, SignalForSleepersOnlySkipsTheEventFdWhileNobodyWaits)
{
    IntQueue q(8, true);
    q.signal_sleepers_only(true);
    int calls = 0;
    q.set_notify([&] { ++calls; });
    pollfd p{q.event_fd, POLLIN, 0};
    q.push(1, 1);
    EXPECT_EQ(0, poll(&p, 1, 0));
    EXPECT_EQ(1, calls);  // the callback still runs for every push
    // Something queued: the wait returns at once without sleeping.
    EXPECT_FALSE(q.wait_for_push(60000));
    int v = 0;
    EXPECT_TRUE(q.pop(v));
    // Nothing queued, nobody pushing: it sleeps its timeout.
    EXPECT_TRUE(q.wait_for_push(1));
    IntQueue plain(8, false);
    EXPECT_FALSE(plain.wait_for_push(60000));
}

TEST(SafeQueue, PushCallbackRunsAfterEachPush)
{
    IntQueue q(2, false);
    int calls = 0;
    q.set_notify([&] { ++calls; });
    q.push(1, 1);
    q.push_force(2, 1);
    EXPECT_EQ(2, calls);
    q.push(3, 1);
    EXPECT_FALSE(q.push(4, 1));  // full: no callback
    EXPECT_EQ(3, calls);
}

TEST(SafeQueue, ClearAndDestructionReleaseEachValueOnce)
{
    auto v = std::make_shared<int>(7);
    {
        PtrQueue q(16, false);
        for (int i = 0; i < 3; ++i) {
            auto c = v;
            q.push(std::move(c), 1);
            auto f = v;
            q.push_force(std::move(f), 1);
        }
        EXPECT_EQ(7, v.use_count());
        q.clear();
        EXPECT_EQ(1, v.use_count());
        for (int i = 0; i < 4; ++i) {
            auto c = v;
            q.push(std::move(c), 1);
        }
        std::shared_ptr<int> out;
        ASSERT_TRUE(q.pop(out));  // leaves a ring with a gap before its live cells
        out.reset();
        EXPECT_EQ(4, v.use_count());
    }
    EXPECT_EQ(1, v.use_count());
}

}  // namespace
