// Push/pop throughput of the worker queue against a mutex-guarded deque,
// boost::lockfree::queue (many producers) and, for one producer and one
// consumer (the parsing queue's case), boost::lockfree::spsc_queue; all
// bounded at 2048 cells, with one consumer and one or four producers. Every
// producer backs off on a full queue with the same schedule (63 spins with a pause
// instruction, 64 yields, sleeps of 1 us doubling to 1 ms), so the queues differ only in
// their own work. Each round checks that every value arrived exactly once
// (count and sum) and in its producer's order, and counts how often a
// producer found the queue full.

#include "SafeQueue.h"

#include <benchmark/benchmark.h>
#include <boost/lockfree/queue.hpp>
#include <boost/lockfree/spsc_queue.hpp>

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

// Attempts that found the queue full, counted by each producer.
thread_local uint64_t full_attempts = 0;

template <typename TryPush>
void push_with_backoff(TryPush try_push)
{
    unsigned delay_us = 1;
    for (uint64_t attempt = 1;; ++attempt) {
        if (try_push())
            return;
        ++full_attempts;
        rrm::back_off(attempt, delay_us);
    }
}

// The queue's own back-off; the callback runs after each full attempt.
struct OurQueue {
    rrm::_SafeQueue<uint64_t> q{kCells, false};
    void push(uint64_t v)
    {
        q.push_while(std::move(v), [] {
            ++full_attempts;
            return true;
        });
    }
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

// One producer and one consumer only.
struct BoostSpscQueue {
    boost::lockfree::spsc_queue<uint64_t, boost::lockfree::capacity<kCells>> q;
    void push(uint64_t v)
    {
        push_with_backoff([&] { return q.push(v); });
    }
    bool pop(uint64_t& v) { return q.pop(v); }
};

struct RoundResult {
    bool delivered = false;
    uint64_t full = 0;
};

// One round: `producers` threads push kItemsPerRound values in all, the
// calling thread pops them. Producer p pushes p * per + i for i = 0 .. per-1.
template <typename Queue>
RoundResult run_round(Queue& queue, int producers)
{
    std::vector<std::thread> threads;
    const uint64_t per = kItemsPerRound / producers;
    std::atomic<uint64_t> full{0};
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&queue, &full, per, p] {
            full_attempts = 0;
            for (uint64_t i = 0; i < per; ++i)
                queue.push(p * per + i);
            full.fetch_add(full_attempts);
        });
    }
    uint64_t got = 0, sum = 0, v = 0;
    const uint64_t want = per * producers;
    // Each producer's values come out in the order it pushed them.
    std::vector<uint64_t> next(static_cast<size_t>(producers), 0);
    bool in_order = true;
    while (got < want) {
        if (queue.pop(v)) {
            sum += v;
            ++got;
            const uint64_t p = v / per;
            if (p >= static_cast<uint64_t>(producers) || v != p * per + next[p]++)
                in_order = false;
        }
    }
    for (auto& t : threads)
        t.join();
    // Nothing left over, and 0 + 1 + ... + (want - 1) in all.
    const bool nothing_more = !queue.pop(v);
    RoundResult r;
    r.delivered = in_order && nothing_more && got == want && sum == want * (want - 1) / 2;
    r.full = full.load();
    return r;
}

template <typename Queue>
void BM_Queue(benchmark::State& state)
{
    int producers = int(state.range(0));
    auto queue = std::make_unique<Queue>();
    uint64_t full = 0;
    for (auto _ : state) {
        const RoundResult r = run_round(*queue, producers);
        if (!r.delivered) {
            state.SkipWithError("a value was lost, duplicated or reordered");
            break;
        }
        full += r.full;
    }
    const double items = double(state.iterations()) * double(kItemsPerRound / producers * producers);
    state.SetItemsProcessed(int64_t(items));
    // Attempts that found the queue full, per value pushed.
    state.counters["full/item"] = items > 0 ? double(full) / items : 0;
}

BENCHMARK_TEMPLATE(BM_Queue, OurQueue)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Queue, BoostSpscQueue)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Queue, BoostQueue)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Queue, MutexDequeQueue)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
