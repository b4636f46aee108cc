// Push/pop throughput of the worker queue against a mutex-guarded deque and
// boost::lockfree::queue, all bounded at 2048 cells, with one consumer and
// one or four producers. Every producer backs off on a full queue with the
// same schedule (63 spins, 64 yields, sleeps of 1 us doubling to 1 ms), so
// the queues differ only in their own work.

#include "SafeQueue.h"

#include <benchmark/benchmark.h>
#include <boost/lockfree/queue.hpp>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kCells = 2048;
constexpr uint64_t kItemsPerRound = 1 << 18;

template <typename TryPush>
void push_with_backoff(TryPush try_push)
{
    unsigned delay_us = 1;
    for (uint64_t attempt = 1;; ++attempt) {
        if (try_push())
            return;
        if (attempt < 64) {
        } else if (attempt < 128) {
            sched_yield();
        } else {
            usleep(delay_us);
            if (delay_us <= 999)
                delay_us = std::min(2 * delay_us, 1000u);
        }
    }
}

struct OurQueue {
    rrm::_SafeQueue<uint64_t> q{kCells, false};
    void push(uint64_t v) { q.push(std::move(v), rrm::QUEUE_NO_LIMIT); }
    bool pop(uint64_t& v) { return q.pop(v); }
};

struct MutexDequeQueue {
    std::mutex m;
    std::deque<uint64_t> d;
    void push(uint64_t v)
    {
        push_with_backoff([&] {
            std::lock_guard<std::mutex> g(m);
            if (d.size() >= size_t(kCells))
                return false;
            d.push_back(v);
            return true;
        });
    }
    bool pop(uint64_t& v)
    {
        std::lock_guard<std::mutex> g(m);
        if (d.empty())
            return false;
        v = d.front();
        d.pop_front();
        return true;
    }
};

struct BoostQueue {
    boost::lockfree::queue<uint64_t, boost::lockfree::capacity<kCells>> q;
    void push(uint64_t v)
    {
        push_with_backoff([&] { return q.bounded_push(v); });
    }
    bool pop(uint64_t& v) { return q.pop(v); }
};

// One round: `producers` threads push kItemsPerRound values in all, the
// calling thread pops them.
template <typename Queue>
void run_round(Queue& queue, int producers)
{
    std::vector<std::thread> threads;
    uint64_t per = kItemsPerRound / producers;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&queue, per, p] {
            for (uint64_t i = 0; i < per; ++i)
                queue.push(p * per + i);
        });
    }
    uint64_t got = 0, sum = 0, v = 0;
    uint64_t want = per * producers;
    while (got < want) {
        if (queue.pop(v)) {
            sum += v;
            ++got;
        }
    }
    for (auto& t : threads)
        t.join();
    benchmark::DoNotOptimize(sum);
}

template <typename Queue>
void BM_Queue(benchmark::State& state)
{
    int producers = int(state.range(0));
    auto queue = std::make_unique<Queue>();
    for (auto _ : state)
        run_round(*queue, producers);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kItemsPerRound / producers * producers));
}

BENCHMARK_TEMPLATE(BM_Queue, OurQueue)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Queue, BoostQueue)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Queue, MutexDequeQueue)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
