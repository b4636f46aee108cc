#include "SafeQueue.h"
#include "SafeUnorderedMap.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Several producers and consumers on a small ring: every value arrives
// exactly once, and values of one producer keep their order per ring.
TEST(SafeQueueThreads, ManyProducersAndConsumersLoseNothing)
{
    constexpr int kProducers = 4;
    constexpr int kConsumers = 2;
    constexpr int kPerProducer = 20000;
    rrm::_SafeQueue<std::shared_ptr<int>> q(64, false);
    std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
    std::atomic<int> consumed{0};
    std::atomic<bool> order_ok{true};

    std::vector<std::thread> threads;
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&] {
            std::vector<int> last(kProducers, -1);
            std::shared_ptr<int> v;
            while (consumed.load() < kProducers * kPerProducer) {
                if (!q.pop(v)) {
                    std::this_thread::yield();
                    continue;
                }
                int producer = *v / kPerProducer;
                int n = *v % kPerProducer;
                // One consumer sees any producer's values in increasing order.
                if (n <= last[producer])
                    order_ok = false;
                last[producer] = n;
                seen[*v].fetch_add(1);
                consumed.fetch_add(1);
            }
        });
    }
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                auto v = std::make_shared<int>(p * kPerProducer + i);
                ASSERT_TRUE(q.push(std::move(v), rrm::QUEUE_NO_LIMIT));
            }
        });
    }
    for (auto& t : threads)
        t.join();
    for (auto& s : seen)
        ASSERT_EQ(1, s.load());
    EXPECT_TRUE(order_ok.load());
    EXPECT_EQ(0u, q.dropped.load());
    EXPECT_TRUE(q.empty());
}

// A consumer asleep on the eventfd is woken by a push from another thread.
TEST(SafeQueueThreads, EventFdWakesASleepingConsumer)
{
    rrm::_SafeQueue<int> q(16, true);
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q.push(42, rrm::QUEUE_ATTEMPT_LIMIT);
    });
    pollfd p{q.event_fd, POLLIN, 0};
    // Far longer than the test could ever need: a missing wake-up fails it.
    ASSERT_EQ(1, poll(&p, 1, 30000));
    int v = 0;
    EXPECT_TRUE(q.pop(v));
    EXPECT_EQ(42, v);
    producer.join();
}

// A consumer that looks before it sleeps sees a value another thread pushes
// meanwhile, and stops looking when told to. (A minute's look: a value or a
// stop it missed shows as a test that runs far longer, and a wrong answer.)
TEST(SafeQueueThreads, SpinForPushEndsWithAValueOrAStop)
{
    rrm::_SafeQueue<int> q(16, true);
    std::atomic<bool> stop{false};
    q.push(1, 1);
    EXPECT_TRUE(q.spin_for_push(60000000, stop));  // already there
    int v = 0;
    ASSERT_TRUE(q.pop(v));
    EXPECT_FALSE(q.spin_for_push(1, stop));  // nothing came while it looked

    std::thread pusher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q.push(2, 1);
    });
    EXPECT_TRUE(q.spin_for_push(60000000, stop));
    pusher.join();
    ASSERT_TRUE(q.pop(v));
    EXPECT_EQ(2, v);

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop.store(true);
    });
    EXPECT_FALSE(q.spin_for_push(60000000, stop));
    stopper.join();
}

// With signals for sleepers only, each push must still wake a consumer that
// is about to sleep. Ping-pong: the producer pushes the next value only once
// the previous one was taken, so one lost wake-up leaves the consumer asleep
// for its whole timeout. The pauses before a push, from none to a few
// hundred microseconds, land pushes before, during and after the consumer's
// announcement and re-check.
TEST(SafeQueueThreads, SignalForSleepersOnlyLosesNoWakeUp)
{
    constexpr int kRounds = 20000;
    constexpr int kTimeoutMs = 20000;
    rrm::_SafeQueue<int> q(16, true);
    q.signal_sleepers_only(true);
    std::atomic<int> taken{0};
    std::atomic<bool> lost{false};
    std::atomic<int> slept{0};

    std::thread consumer([&] {
        int v = 0;
        while (taken.load() < kRounds && !lost.load()) {
            if (q.pop(v)) {
                taken.fetch_add(1);
                continue;
            }
            auto begin = std::chrono::steady_clock::now();
            if (q.wait_for_push(kTimeoutMs)) {
                slept.fetch_add(1);
                if (std::chrono::steady_clock::now() - begin > std::chrono::milliseconds(kTimeoutMs / 2))
                    lost = true;
            }
        }
    });
    unsigned seed = 12345;
    for (int i = 0; i < kRounds && !lost.load(); ++i) {
        seed = seed * 1103515245u + 12345u;
        const unsigned r = (seed >> 16) % 1000;
        // Mostly a few microseconds (the push meets the consumer on its way
        // to sleep), sometimes long enough for it to be asleep.
        const auto pause = std::chrono::nanoseconds(r < 950 ? 100 * (r % 40) : 300 * r);
        const auto until = std::chrono::steady_clock::now() + pause;
        while (std::chrono::steady_clock::now() < until) {
        }
        ASSERT_TRUE(q.push(int(i), rrm::QUEUE_NO_LIMIT));
        while (taken.load() <= i && !lost.load())
            std::this_thread::yield();
    }
    consumer.join();
    EXPECT_FALSE(lost.load());
    EXPECT_EQ(kRounds, taken.load());
    // The consumer did sleep, so the wake-ups were exercised.
    EXPECT_GT(slept.load(), 0);
}

TEST(SafeUnorderedMap, ValueCopiedOutOutlivesItsErasure)
{
    rrm::SafeUnorderedMap<std::string, std::string> m;
    {
        std::lock_guard<std::mutex> g(m.mutex);
        m.map["a"] = std::make_shared<std::string>("alpha");
    }
    std::shared_ptr<std::string> found;
    {
        std::lock_guard<std::mutex> g(m.mutex);
        found = m.map["a"];
    }
    std::thread eraser([&] {
        std::lock_guard<std::mutex> g(m.mutex);
        m.map.erase("a");
    });
    eraser.join();
    EXPECT_EQ("alpha", *found);
    EXPECT_EQ(1, found.use_count());
    std::lock_guard<std::mutex> g(m.mutex);
    EXPECT_TRUE(m.map.empty());
}

TEST(SafeUnorderedMap, DestructionReleasesValues)
{
    auto v = std::make_shared<std::string>("x");
    {
        rrm::SafeUnorderedMap<int, std::string> m;
        m.map[1] = v;
        m.map[2] = v;
        EXPECT_EQ(3, v.use_count());
    }
    EXPECT_EQ(1, v.use_count());
}

}  // namespace
