#pragma once
// Bounded lock-free multi-producer multi-consumer queue of two rings.
//
// Each ring is an array of cells whose sequence numbers tell producers and
// consumers whether a cell is free for the push at a position or holds the
// value pushed there. Consumers take from the force ring first, so a forced
// message overtakes everything waiting in the normal ring. A push that keeps
// finding its ring full backs off (spin, yield, sleep) and gives up after
// its attempt limit; the queue counts what it gave up.

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <new>
#include <utility>

namespace rrm {

// Attempt limit that never gives up.
constexpr uint64_t QUEUE_NO_LIMIT = 0;
// Attempt limit of worker queues and of the parsing queue (about 65 s).
constexpr uint64_t QUEUE_ATTEMPT_LIMIT = 65537;
// Attempt limit of the outgoing queue of one AP connection (about 0.12 s).
constexpr uint64_t CONNECTION_QUEUE_ATTEMPT_LIMIT = 257;

inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// The wait after a failed attempt of a bounded retry: spin for 63, yield for
// 64, then sleep, doubling from 1 us up to 1 ms (`delay_us` starts at 1).
inline void back_off(uint64_t attempt, unsigned& delay_us)
{
    if (attempt < 64) {
        // try again at once, without taking the cell's cache line from the
        // consumer on every turn
        cpu_relax();
    } else if (attempt < 128) {
        sched_yield();
    } else {
        ::usleep(delay_us);
        if (delay_us <= 999)
            delay_us = std::min(2 * delay_us, 1000u);
    }
}

template <typename T>
class alignas(64) _SafeQueue {
public:
    struct Cell {
        std::atomic<uint64_t> sequence;
        alignas(T) unsigned char storage[sizeof(T)];

        T* value() { return std::launder(reinterpret_cast<T*>(storage)); }
    };

    // Producers and consumers each get a cache line of their own.
    struct alignas(64) Ring {
        uint64_t capacity = 0;
        uint64_t mask = 0;
        Cell* cells = nullptr;
        alignas(64) std::atomic<uint64_t> enqueue_pos{0};
        alignas(64) std::atomic<uint64_t> dequeue_pos{0};

        explicit Ring(uint64_t cap) : capacity(cap), mask(cap - 1), cells(new Cell[cap])
        {
            for (uint64_t i = 0; i < cap; ++i)
                cells[i].sequence.store(i, std::memory_order_relaxed);
        }
        ~Ring()
        {
            // Only the owner destroys a queue, so nothing is in flight.
            uint64_t end = enqueue_pos.load(std::memory_order_relaxed);
            for (uint64_t p = dequeue_pos.load(std::memory_order_relaxed); p < end; ++p)
                cells[p & mask].value()->~T();
            delete[] cells;
        }
        Ring(const Ring&) = delete;
        Ring& operator=(const Ring&) = delete;

        // One push attempt; false when the ring is full. The value is moved
        // only when the push succeeds.
        bool try_push(T& value)
        {
            uint64_t pos = enqueue_pos.load(std::memory_order_relaxed);
            for (;;) {
                Cell& cell = cells[pos & mask];
                uint64_t seq = cell.sequence.load(std::memory_order_acquire);
                int64_t diff = static_cast<int64_t>(seq - pos);
                if (diff == 0) {
                    if (enqueue_pos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                        ::new (static_cast<void*>(cell.storage)) T(std::move(value));
                        cell.sequence.store(pos + 1, std::memory_order_release);
                        return true;
                    }
                    // pos now holds the position the swap observed.
                } else if (diff < 0) {
                    return false;
                } else {
                    pos = enqueue_pos.load(std::memory_order_relaxed);
                }
            }
        }

        // One pop attempt; false when the ring is empty.
        bool try_pop(T& out)
        {
            uint64_t pos = dequeue_pos.load(std::memory_order_relaxed);
            for (;;) {
                Cell& cell = cells[pos & mask];
                uint64_t seq = cell.sequence.load(std::memory_order_acquire);
                int64_t diff = static_cast<int64_t>(seq - (pos + 1));
                if (diff == 0) {
                    if (dequeue_pos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                        T* v = cell.value();
                        out = std::move(*v);
                        v->~T();
                        cell.sequence.store(pos + capacity, std::memory_order_release);
                        return true;
                    }
                } else if (diff < 0) {
                    return false;
                } else {
                    pos = dequeue_pos.load(std::memory_order_relaxed);
                }
            }
        }

        uint64_t size() const
        {
            uint64_t e = enqueue_pos.load(std::memory_order_relaxed);
            uint64_t d = dequeue_pos.load(std::memory_order_relaxed);
            return e > d ? e - d : 0;
        }
        bool empty() const
        {
            return enqueue_pos.load(std::memory_order_acquire) <=
                   dequeue_pos.load(std::memory_order_acquire);
        }
    };

    // capacity below 1 gives 2; otherwise the smallest power of two that is
    // at least max(capacity, 2).
    static uint64_t ring_capacity(int32_t requested)
    {
        uint64_t want = requested < 2 ? 2 : static_cast<uint64_t>(requested);
        uint64_t cap = 2;
        while (cap < want)
            cap <<= 1;
        return cap;
    }

    _SafeQueue(int32_t capacity, bool use_eventfd)
        : normal(ring_capacity(capacity)),
          force(ring_capacity(capacity)),
          event_fd(use_eventfd ? eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1)
    {
    }
    ~_SafeQueue()
    {
        if (event_fd != -1)
            ::close(event_fd);
        // The rings release what they still hold: force first, then normal.
    }
    _SafeQueue(const _SafeQueue&) = delete;
    _SafeQueue& operator=(const _SafeQueue&) = delete;

    // Into the normal ring. False when the attempt limit was reached: the
    // value has then been destroyed and `dropped` counted.
    bool push(T&& value, uint64_t attempt_limit)
    {
        return push_into(normal, value, attempt_limit, [] { return true; });
    }
    bool push_force(T&& value, uint64_t attempt_limit)
    {
        return push_into(force, value, attempt_limit, [] { return true; });
    }
    // Into the normal ring, like push, except that a value the ring could
    // not take is left to the caller as it was (for another try later), and
    // is not counted as dropped.
    bool offer(T& value, uint64_t attempt_limit)
    {
        unsigned delay_us = 1;
        for (uint64_t attempt = 1;; ++attempt) {
            if (normal.try_push(value)) {
                signal();
                return true;
            }
            if (attempt >= attempt_limit)
                return false;
            back_off(attempt, delay_us);
        }
    }
    // Into the normal ring with no attempt limit, for as long as
    // keep_trying() says so after each attempt that found the ring full.
    template <typename KeepTrying>
    bool push_while(T&& value, KeepTrying keep_trying)
    {
        return push_into(normal, value, QUEUE_NO_LIMIT, keep_trying);
    }

    // The force ring first, then the normal ring.
    bool pop(T& out) { return force.try_pop(out) || normal.try_pop(out); }
    bool pop_force(T& out) { return force.try_pop(out); }
    bool pop_normal(T& out) { return normal.try_pop(out); }

    void clear()
    {
        T v;
        while (force.try_pop(v))
            v = T();
        while (normal.try_pop(v))
            v = T();
        v = T();
        if (event_fd != -1) {
            uint64_t counter;
            ssize_t r = ::read(event_fd, &counter, sizeof counter);
            (void)r;
        }
    }

    uint64_t size() const { return normal.size() + force.size(); }
    // Both rings empty, as tested before a consumer goes to sleep.
    bool empty() const { return normal.empty() && force.empty(); }

    void set_notify(std::function<void()> fn) { on_push = std::move(fn); }

    // With this set, a push writes the eventfd only while a consumer is in
    // wait_for_push, so a busy consumer costs its producers no system call.
    // Every consumer that sleeps on the eventfd must then sleep through
    // wait_for_push. Set before the queue is shared.
    void signal_sleepers_only(bool on) { sleepers_only = on; }

    // Consumer side, right after a value: looks at the rings for up to
    // `spin_us` before the caller sleeps. Values that come in a stream then
    // find the consumer awake, and neither side pays a system call (an
    // eventfd write, a poll and a read) per value. True when a value came.
    bool spin_for_push(int spin_us, const std::atomic<bool>& stop)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(spin_us);
        for (int i = 0; i < 64; ++i) {
            if (!empty())
                return true;
            cpu_relax();
        }
        // Then give way to whatever else wants this core (on a busy machine,
        // likely the thread that feeds this queue).
        while (!stop.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < until) {
            sched_yield();
            if (!empty())
                return true;
        }
        return !empty();
    }

    // Consumer side: sleep on the eventfd until a push or the timeout, unless
    // a ring holds something (or a push is in flight). True when it slept.
    bool wait_for_push(int timeout_ms)
    {
        if (event_fd == -1)
            return false;
        // Both sides update `sleepers` with a read-modify-write, so they are
        // ordered: either the producer's comes later and sees this sleeper
        // (and writes the eventfd), or it came first and this one reads from
        // it, which makes the producer's value visible to the check below.
        sleepers.fetch_add(1, std::memory_order_seq_cst);
        bool slept = false;
        if (empty()) {
            pollfd p{event_fd, POLLIN, 0};
            if (::poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLIN)) {
                uint64_t counter;
                ssize_t r = ::read(event_fd, &counter, sizeof counter);
                (void)r;
            }
            slept = true;
        }
        sleepers.fetch_sub(1, std::memory_order_relaxed);
        return slept;
    }

    // Wakes a consumer sleeping in wait_for_push, or makes its next wait
    // return at once, with nothing pushed.
    void wake_consumer()
    {
        if (event_fd != -1) {
            uint64_t one = 1;
            ssize_t r = ::write(event_fd, &one, sizeof one);
            (void)r;
        }
    }

    uint64_t capacity() const { return normal.capacity; }
    uint64_t dropped_count() const { return dropped.load(std::memory_order_relaxed); }

    std::function<void()> on_push;
    Ring normal;
    Ring force;
    int32_t event_fd;
    std::atomic<uint64_t> dropped{0};

private:
    bool sleepers_only = false;
    // Consumers inside wait_for_push.
    std::atomic<uint32_t> sleepers{0};

    template <typename KeepTrying>
    bool push_into(Ring& ring, T& value, uint64_t attempt_limit, KeepTrying keep_trying)
    {
        unsigned delay_us = 1;
        for (uint64_t attempt = 1;; ++attempt) {
            if (ring.try_push(value)) {
                signal();
                return true;
            }
            if ((attempt_limit != QUEUE_NO_LIMIT && attempt >= attempt_limit) || !keep_trying()) {
                dropped.fetch_add(1, std::memory_order_relaxed);
                T gone(std::move(value));  // released here
                (void)gone;
                return false;
            }
            back_off(attempt, delay_us);
        }
    }

    // The value is already published, so whoever wakes finds it.
    void signal()
    {
        if (event_fd != -1) {
            bool wake = true;
            if (sleepers_only)
                wake = sleepers.fetch_add(0, std::memory_order_seq_cst) != 0;
            if (wake) {
                uint64_t one = 1;
                ssize_t r = ::write(event_fd, &one, sizeof one);
                (void)r;
            }
        }
        if (on_push)
            on_push();
    }
};

}  // namespace rrm
