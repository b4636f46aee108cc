// What idle domain workers cost, and how fast a message wakes one.
//
// BM_IdleDomains: 1,000 real domain workers (rrm::RrmWorker, each holding one
// AP so that none ends itself, default settings: a domain timer every 10 s
// and the load-balancer tick every second) sit idle for 5 s; the process's
// CPU time over that window, as a percentage of one core
// (cpu_pct_one_core), and its voluntary context switches per second
// (wakeups_per_s). Side by side, in the same run: 1,000 bare threads that
// each sleep on an eventfd until the next whole second of the monotonic
// clock and then go back to sleep (BM_IdleBareSecondTick, the least any
// thread with whole-second timers can cost), and 1,000 bare threads that
// do what idle domain workers used to do: look at an empty ring for 50 us,
// then sleep on the eventfd for 10 ms (BM_IdleBareSpinThen10ms).
//
// BM_WakeUp: a worker with an eventfd sleeps (the producer waits 3 ms
// between messages, past the worker's short look at its ring); the time
// from the push until the worker's process_message starts (p50_us, p99_us).
// Side by side, a bare thread blocked in poll() on an eventfd, and the time
// from the write until poll() has returned in it (BM_WakeUpBareEventfd).

#include "ApEntry.h"
#include "Config.h"
#include "JsonReader.h"
#include "Log.h"
#include "MacAddress.h"
#include "QueueMessage.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "Worker.h"

#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDomains = 1000;
constexpr auto kSettle = std::chrono::milliseconds(2500);
constexpr auto kWindow = std::chrono::seconds(5);

void discard_log(const char*, int, const char*, int, const char*, va_list)
{
}

void raise_fd_limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

struct Usage {
    double cpu_s;
    long voluntary_switches;
};

Usage usage_now()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            u.ru_nvcsw};
}

// Runs the idle window and reports it.
void measure_idle(benchmark::State& state)
{
    std::this_thread::sleep_for(kSettle);
    const Usage before = usage_now();
    const auto begin = Clock::now();
    std::this_thread::sleep_for(kWindow);
    const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
    const Usage after = usage_now();
    state.counters["cpu_pct_one_core"] = 100.0 * (after.cpu_s - before.cpu_s) / wall;
    state.counters["wakeups_per_s"] =
        static_cast<double>(after.voluntary_switches - before.voluntary_switches) / wall;
}

void BM_IdleDomains(benchmark::State& state)
{
    rrm::set_log_handler(&discard_log);
    raise_fd_limit();
    rrm::GlobalConfig config("");
    rrm::RRM registry(&config);
    rrm::DomainConfig settings;
    std::vector<std::shared_ptr<rrm::RrmWorker>> workers;
    for (int i = 0; i < kDomains; ++i) {
        auto worker = std::make_shared<rrm::RrmWorker>(&config, settings, "d" + std::to_string(i),
                                                       &registry, 0, rrm::RRM::DOMAIN_QUEUE_CAPACITY);
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", (i >> 8) & 0xff, i & 0xff);
        auto ap = std::make_shared<rrm::ApEntry>(&worker->config, rrm::mac_from_string(mac),
                                                 BaseSession{nullptr, 0, static_cast<uint32_t>(i + 1)});
        ap->ttl = 1000000;
        worker->aps.insert(ap->base_mac, ap);
        worker->start();
        workers.push_back(std::move(worker));
    }
    for (auto _ : state)
        measure_idle(state);
    for (auto& worker : workers)
        worker->stop();
}

// Bare threads sleeping on an eventfd with a given policy.
template <typename Sleep>
void run_bare_idle(benchmark::State& state, Sleep sleep)
{
    raise_fd_limit();
    std::atomic<bool> stop{false};
    std::vector<int> fds;
    std::vector<std::thread> threads;
    for (int i = 0; i < kDomains; ++i) {
        fds.push_back(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        const int fd = fds.back();
        threads.emplace_back([&stop, fd, sleep] {
            while (!stop.load(std::memory_order_relaxed))
                sleep(fd);
        });
    }
    for (auto _ : state)
        measure_idle(state);
    stop.store(true);
    for (int fd : fds) {
        uint64_t one = 1;
        if (::write(fd, &one, sizeof one) < 0) {
        }
    }
    for (auto& t : threads)
        t.join();
    for (int fd : fds)
        ::close(fd);
}

void poll_fd(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) > 0) {
        uint64_t counter;
        if (::read(fd, &counter, sizeof counter) < 0) {
        }
    }
}

void BM_IdleBareSecondTick(benchmark::State& state)
{
    run_bare_idle(state, [](int fd) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        poll_fd(fd, static_cast<int>((1000000000 - now.tv_nsec + 999999) / 1000000 + 1));
    });
}

void BM_IdleBareSpinThen10ms(benchmark::State& state)
{
    run_bare_idle(state, [](int fd) {
        const auto until = Clock::now() + std::chrono::microseconds(50);
        for (int i = 0; i < 64; ++i) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        while (Clock::now() < until)
            sched_yield();
        poll_fd(fd, 10);
    });
}

// p50 and p99 of the wake-up times, in microseconds.
void report_percentiles(benchmark::State& state, std::vector<double>& us)
{
    if (us.empty())
        return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
}

// When a message (or a wake-up) reached its thread. The producer waits
// for it blocked, not spinning, so that it does not hold the core that the
// woken thread may need.
class Arrival {
public:
    void stamp()
    {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> g(m_);
        at_ = now;
        arrived_ = true;
        cv_.notify_one();
    }
    void reset()
    {
        std::lock_guard<std::mutex> g(m_);
        arrived_ = false;
    }
    Clock::time_point wait()
    {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [&] { return arrived_; });
        return at_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool arrived_ = false;
    Clock::time_point at_;
};

// A worker that stamps when each message reaches it.
class StampWorker : public rrm::Worker {
public:
    explicit StampWorker(Arrival& arrival)
        : Worker("stamp", nullptr, 10000, rrm::RRM::DOMAIN_QUEUE_CAPACITY, true), arrival_(arrival)
    {
    }
    void process_message(const rrm::JsonReader& json, const rrm::QueueMessage& msg) override
    {
        if (process_internal_ipc_msg(json, msg))
            return;
        arrival_.stamp();
    }
    void to_json(rrm::JsonWriter&) override {}
    void to_json_full(rrm::JsonWriter&) override {}

private:
    Arrival& arrival_;
};

void BM_WakeUp(benchmark::State& state)
{
    rrm::set_log_handler(&discard_log);
    Arrival arrival;
    auto worker = std::make_shared<StampWorker>(arrival);
    worker->start();
    std::vector<double> us;
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        arrival.reset();
        rrm::JsonReader message("{}");
        const auto sent = Clock::now();
        worker->enqueue_message(std::move(message), null_session);
        const double seconds = std::chrono::duration<double>(arrival.wait() - sent).count();
        state.SetIterationTime(seconds);
        us.push_back(seconds * 1e6);
    }
    report_percentiles(state, us);
    worker->stop();
}

void BM_WakeUpBareEventfd(benchmark::State& state)
{
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    Arrival arrival;
    std::atomic<bool> stop{false};
    std::vector<double> us;
    std::thread sleeper([&] {
        while (!stop.load()) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) > 0) {
                uint64_t counter;
                if (::read(fd, &counter, sizeof counter) < 0) {
                }
                arrival.stamp();
            }
        }
    });
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        arrival.reset();
        const auto sent = Clock::now();
        uint64_t one = 1;
        if (::write(fd, &one, sizeof one) < 0) {
        }
        const double seconds = std::chrono::duration<double>(arrival.wait() - sent).count();
        state.SetIterationTime(seconds);
        us.push_back(seconds * 1e6);
    }
    report_percentiles(state, us);
    stop.store(true);
    uint64_t one = 1;
    if (::write(fd, &one, sizeof one) < 0) {
    }
    sleeper.join();
    ::close(fd);
}

}  // namespace

BENCHMARK(BM_IdleDomains)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IdleBareSecondTick)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IdleBareSpinThen10ms)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WakeUp)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WakeUpBareEventfd)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
