#include "Worker.h"

#include "LogCapture.h"
#include "TestWorker.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::kPatience;
using testsupport::LogCapture;
using testsupport::RecordingOwner;
using testsupport::TestWorker;
using Clock = std::chrono::steady_clock;

struct Fixture {
    LogCapture capture;  // first in, last out: outlives every worker thread
    RecordingOwner owner;
    std::shared_ptr<TestWorker> worker;

    explicit Fixture(bool eventfd = true, int32_t idle_wait_us = 10000, int32_t capacity = 2048)
        : worker(std::make_shared<TestWorker>(&owner, eventfd, idle_wait_us, capacity))
    {
        owner.watch(worker);
    }
    ~Fixture()
    {
        worker->open_gate();
        worker->stop();
        // A thread that the owner detached may still be on its way out.
        std::weak_ptr<TestWorker> gone = worker;
        worker.reset();
        while (!gone.expired())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

bool wait_until(const std::function<bool()>& done)
{
    auto end = Clock::now() + kPatience;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(Worker, MessagesQueuedBeforeStartRunAfterConnectForceFirst)
{
    Fixture f;
    for (int i = 0; i < 10; ++i)
        f.worker->send("n" + std::to_string(i));
    f.worker->send("forced", "", true);
    f.worker->start();
    ASSERT_TRUE(f.worker->wait_handled(11));
    std::vector<std::string> expect{"forced"};
    for (int i = 0; i < 10; ++i)
        expect.push_back("n" + std::to_string(i));
    EXPECT_EQ(expect, f.worker->handled());
    EXPECT_EQ(1, f.worker->connect_calls.load());
}

TEST(Worker, ForceMessageOvertakesTenWaitingOnes)
{
    Fixture f;
    f.worker->start();
    f.worker->send("blocker", "\"gate\":1");
    ASSERT_TRUE(f.worker->wait_in_gate());
    for (int i = 0; i < 10; ++i)
        f.worker->send("n" + std::to_string(i));
    f.worker->send("forced", "", true);
    EXPECT_EQ(11u, f.worker->queue_size());
    f.worker->open_gate();
    ASSERT_TRUE(f.worker->wait_handled(12));
    auto handled = f.worker->handled();
    EXPECT_EQ("blocker", handled[0]);
    EXPECT_EQ("forced", handled[1]);
    EXPECT_EQ("n0", handled[2]);
    EXPECT_EQ("n9", handled[11]);
}

TEST(Worker, ThreadIsNamedWorker)
{
    std::promise<std::string> name;
    Fixture f;
    f.worker->start();
    // The timer pass runs on the worker thread.
    f.worker->run_locked([&] {
        f.worker->timers.add_timer([&] {
            char buf[16] = {};
            prctl(PR_GET_NAME, buf, 0, 0, 0);
            name.set_value(buf);
        }, 1, 0);
    });
    auto fut = name.get_future();
    ASSERT_EQ(std::future_status::ready, fut.wait_for(kPatience));
    EXPECT_EQ("Worker", fut.get());
}

TEST(Worker, ConnectIsRetriedAtOnceUntilItSucceeds)
{
    Fixture f(false, 1000000);  // a pause between connects would be a whole second
    f.worker->connect_failures = 3;
    auto begin = Clock::now();
    f.worker->send("m");
    f.worker->start();
    ASSERT_TRUE(f.worker->wait_handled(1));
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(900));
    EXPECT_EQ(4, f.worker->connect_calls.load());
    EXPECT_EQ((std::vector<std::string>{"m"}), f.worker->handled());
}

TEST(Worker, StartTwiceMakesOneThreadAndStartAfterStopANewOne)
{
    Fixture f;
    f.worker->start();
    f.worker->start();
    f.worker->send("a");
    ASSERT_TRUE(f.worker->wait_handled(1));
    EXPECT_EQ(1, f.worker->connect_calls.load());
    f.worker->stop();
    EXPECT_FALSE(f.worker->is_thread_started());
    EXPECT_EQ(1, f.worker->disconnect_calls.load());
    f.worker->start();
    EXPECT_TRUE(f.worker->is_thread_started());
    f.worker->send("b");
    // Whatever the first run left behind (its stop message included) must
    // not end the second run.
    ASSERT_TRUE(wait_until([&] {
        auto h = f.worker->handled();
        return !h.empty() && h.back() == "b";
    }));
    EXPECT_EQ(2, f.worker->connect_calls.load());
    EXPECT_EQ(1, f.worker->disconnect_calls.load());
    EXPECT_TRUE(f.owner.calls().empty());
}

TEST(Worker, StaleStopMessageDoesNotEndARestartedWorker)
{
    Fixture f;
    // Stopped before it ever ran: the stop message stays queued.
    f.worker->stop();
    EXPECT_EQ(1u, f.worker->queue_size());
    f.worker->start();
    f.worker->send("after restart");
    ASSERT_TRUE(f.worker->wait_handled(2));
    EXPECT_EQ((std::vector<std::string>{"internal", "after restart"}), f.worker->handled());
    EXPECT_TRUE(f.worker->is_running());
    EXPECT_EQ(0, f.worker->disconnect_calls.load());
    EXPECT_FALSE(f.capture.has(rrm::LOG_LEVEL_DEBUG, "Aborting test-worker"));
    f.worker->stop();
    EXPECT_EQ(1, f.worker->disconnect_calls.load());
    EXPECT_TRUE(f.owner.calls().empty());
}

TEST(Worker, StopCommandInTheQueueEndsTheWorkerAndTellsTheOwner)
{
    Fixture f;
    f.worker->start();
    BaseSession s{nullptr, 0, 3};
    // The same text as an AP's message is no command: it stops nothing and
    // is handled as an ordinary message.
    f.worker->enqueue_message(rrm::JsonReader("{\"service\":\"internal-ipc\", \"cmd\":\"stop\"}"), s);
    f.worker->send("after");
    ASSERT_TRUE(f.worker->wait_handled(2));
    EXPECT_EQ((std::vector<std::string>{"", "after"}), f.worker->handled());
    EXPECT_FALSE(f.capture.has(rrm::LOG_LEVEL_DEBUG, "Aborting test-worker"));
    // Queued by the server itself (its notices go through the force ring).
    f.worker->enqueue_message_force(rrm::JsonReader("{\"service\":\"internal-ipc\", \"cmd\":\"stop\"}"), s);
    ASSERT_TRUE(f.owner.wait_for_calls(1));
    EXPECT_EQ((std::vector<std::string>{"test-worker"}), f.owner.calls());
    EXPECT_TRUE(f.capture.has(rrm::LOG_LEVEL_DEBUG, "Aborting test-worker"));
    EXPECT_EQ(1, f.worker->disconnect_calls.load());
    EXPECT_FALSE(f.worker->is_thread_started());  // detached by the owner
}

TEST(Worker, StopDuringALongMessageFinishesItAndDropsTheRest)
{
    Fixture f;
    auto tracked = std::make_shared<int>(0);
    f.worker->start();
    f.worker->send("long", "\"gate\":1");
    ASSERT_TRUE(f.worker->wait_in_gate());
    for (int i = 0; i < 100; ++i)
        f.worker->send("queued" + std::to_string(i));
    EXPECT_EQ(100u, f.worker->queue_size());

    std::atomic<bool> stop_returned{false};
    std::thread stopper([&] {
        f.worker->stop();
        stop_returned = true;
    });
    // stop has emptied the rings and queued its stop message; it now waits
    // for the message in progress.
    ASSERT_TRUE(wait_until([&] { return f.worker->queue_size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(stop_returned.load());
    f.worker->open_gate();
    stopper.join();

    EXPECT_EQ((std::vector<std::string>{"long"}), f.worker->handled());
    EXPECT_EQ(1, f.worker->disconnect_calls.load());
    EXPECT_TRUE(f.owner.calls().empty());
    EXPECT_FALSE(f.worker->is_thread_started());
}

TEST(Worker, StopOfAnIdleWorkerWithEventFdReturnsWithoutWaitingOutItsIdleWait)
{
    // An idle wait of 60 s: only the stop message's wake-up ends it early.
    Fixture f(true, 60 * 1000 * 1000);
    f.worker->start();
    f.worker->send("a");
    ASSERT_TRUE(f.worker->wait_handled(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // now asleep
    auto begin = Clock::now();
    f.worker->stop();
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(20));
    EXPECT_EQ(1, f.worker->disconnect_calls.load());
}

TEST(Worker, EventFdWakesAnIdleWorkerAtOnce)
{
    Fixture f(true, 60 * 1000 * 1000);
    ASSERT_TRUE(f.worker->has_eventfd());
    f.worker->start();
    f.worker->send("first");
    ASSERT_TRUE(f.worker->wait_handled(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // now asleep
    auto begin = Clock::now();
    f.worker->send("second");
    ASSERT_TRUE(f.worker->wait_handled(2));
    // Well before the 60 s that the wait would otherwise last.
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(20));
}

// Messages that follow each other at every pace, from back to back to well
// after the thread went to sleep: each is handled, none waits for the 60 s
// idle wait (a lost wake-up fails the test after its patience).
TEST(Worker, EventFdWakeUpsAreNotLostAtAnyPace)
{
    Fixture f(true, 60 * 1000 * 1000);
    f.worker->start();
    unsigned seed = 777;
    for (size_t i = 1; i <= 400; ++i) {
        seed = seed * 1103515245u + 12345u;
        const unsigned r = (seed >> 16) % 100;
        // Mostly inside the thread's short spin, some past it.
        std::this_thread::sleep_for(std::chrono::microseconds(r < 80 ? r : 20 * r));
        f.worker->send("m" + std::to_string(i));
        ASSERT_TRUE(f.worker->wait_handled(i)) << "message " << i;
    }
}

// Timers are due at whole seconds, so an idle thread with an eventfd has
// nothing to look at in between: it passes about once a second (it used to
// pass every 10 ms, spinning before each sleep), yet its timers still fire.
TEST(Worker, AnIdleWorkerWithAnEventFdPassesOncePerSecondAndItsTimersStillFire)
{
    // Before the fixture: the worker's timer uses them until it is stopped.
    std::atomic<int> ticks{0};
    std::function<void()> periodic;
    Fixture f(true, 10000);  // a domain worker's idle wait
    f.worker->start();
    f.worker->run_locked([&] {
        periodic = [&] {
            ++ticks;
            f.worker->timers.add_timer(periodic, 1, 1);
        };
        f.worker->timers.add_timer(periodic, 1, 1);
    });
    ASSERT_TRUE(wait_until([&] { return ticks.load() >= 1; }));
    const int passes = f.worker->timer_passes.load();
    const int ticks_before = ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_GE(ticks.load() - ticks_before, 2) << "one tick per second goes on";
    // Three or four second boundaries in 3.5 s; 10 ms waits would give ~350.
    EXPECT_LE(f.worker->timer_passes.load() - passes, 12);
}

TEST(Worker, WithoutEventFdAnIdleWorkerSleepsItsIdleWait)
{
    Fixture f(false, 10000);
    EXPECT_FALSE(f.worker->has_eventfd());
    f.worker->start();
    f.worker->send("first");
    ASSERT_TRUE(f.worker->wait_handled(1));
    f.worker->send("second");
    ASSERT_TRUE(f.worker->wait_handled(2));
}

TEST(Worker, FullRingMakesProducersWaitNotDrop)
{
    Fixture f(true, 10000, 2);
    f.worker->start();
    f.worker->send("blocker", "\"gate\":1");
    ASSERT_TRUE(f.worker->wait_in_gate());
    std::thread producer([&] {
        for (int i = 0; i < 20; ++i)
            f.worker->send("p" + std::to_string(i));
    });
    ASSERT_TRUE(wait_until([&] { return f.worker->queue_size() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    f.worker->open_gate();
    producer.join();
    ASSERT_TRUE(f.worker->wait_handled(21));
    EXPECT_EQ(0u, f.worker->dropped());
    auto h = f.worker->handled();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ("p" + std::to_string(i), h[size_t(i) + 1]);
}

TEST(Worker, QueueOverflowDropsWithRecordAndEvent)
{
    Fixture f(true, 10000, 2);
    f.worker->set_attempt_limit(5);
    f.worker->send("a");
    f.worker->send("b");
    f.worker->send("c", "", false, 7);
    f.worker->send("d", "", true);
    f.worker->send("e", "", true);
    f.worker->send("f", "", true, 9);
    EXPECT_EQ(2u, f.worker->dropped());
    EXPECT_EQ(4u, f.worker->queue_size());
    EXPECT_TRUE(f.capture.has(rrm::LOG_LEVEL_ERROR,
                              "Worker 'test-worker' queue overflow: message dropped from session 7"));
    EXPECT_TRUE(f.capture.has(
        rrm::LOG_LEVEL_ERROR, "Worker 'test-worker' force queue overflow: message dropped from session 9"));
    auto records = f.capture.records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ("server/lib/Worker.cpp", records[0].file);
    auto events = f.capture.events();
    ASSERT_EQ(2u, events.size());
    for (const auto& e : events) {
        EXPECT_EQ(rrm::EVENT_WORKER_QUEUE_OVERFLOW, e.code);
        EXPECT_EQ("test-worker", e.details);
    }
    // The dropped ones are gone; the kept ones run, force first.
    f.worker->start();
    ASSERT_TRUE(f.worker->wait_handled(4));
    EXPECT_EQ((std::vector<std::string>{"d", "e", "a", "b"}), f.worker->handled());
}

TEST(Worker, TimersRunInTheTimerPassInDueOrder)
{
    Fixture f;
    f.worker->start();
    f.worker->run_locked([&] {
        auto& t = f.worker->timers;
        t.add_timer([&] { f.worker->record("A"); }, 1, 1);
        t.add_timer([&] { f.worker->record("B"); }, 2, 1);
        t.add_timer([&] { f.worker->record("C"); }, 3, 0);
        t.add_timer([&] { f.worker->record("D"); }, 4, 0);
    });
    ASSERT_TRUE(f.worker->wait_handled(4));
    EXPECT_EQ((std::vector<std::string>{"C", "D", "A", "B"}), f.worker->handled());
}

TEST(Worker, TimerCancelledInsideAPollAndPeriodicRestart)
{
    std::atomic<int> ticks{0};
    std::function<void()> periodic;
    Fixture f;
    f.worker->start();
    f.worker->run_locked([&] {
        auto& t = f.worker->timers;
        periodic = [&] {
            ++ticks;
            t.restart_timer(periodic, 7, 1);
        };
        // Due together: the canceller cannot stop "same pass", but it stops
        // "later" for good.
        t.add_timer([&] {
            f.worker->record("canceller");
            t.cancel_timer(5);
            t.cancel_timer(6);
        }, 4, 0);
        t.add_timer([&] { f.worker->record("same pass"); }, 5, 0);
        t.add_timer([&] { f.worker->record("later"); }, 6, 2);
        t.add_timer(periodic, 7, 0);
    });
    ASSERT_TRUE(wait_until([&] { return ticks.load() >= 3; }));
    // By now (two seconds on) "later" would have fired.
    EXPECT_EQ((std::vector<std::string>{"canceller", "same pass"}), f.worker->handled());
    f.worker->run_locked([&] { EXPECT_EQ(1u, f.worker->timers.size()); });
}

TEST(Worker, ThrowingTimerCallbackLeavesTheWorkerRunning)
{
    Fixture f;
    f.worker->start();
    f.worker->run_locked([&] {
        f.worker->timers.add_timer([] { throw std::runtime_error("timer failed"); }, 3, 0);
        f.worker->timers.add_timer([&] { f.worker->record("next timer"); }, 4, 0);
    });
    ASSERT_TRUE(f.worker->wait_handled(1));
    f.worker->send("after");
    ASSERT_TRUE(f.worker->wait_handled(2));
    EXPECT_EQ((std::vector<std::string>{"next timer", "after"}), f.worker->handled());
    EXPECT_TRUE(f.capture.has(rrm::LOG_LEVEL_ERROR, "Unhandled exception 'timer failed' at timer 3"));
    EXPECT_EQ(1u, f.capture.event_count(rrm::EVENT_WORKER_THREAD_EXCEPTION));
    EXPECT_TRUE(f.owner.calls().empty());
    EXPECT_EQ(0, f.worker->disconnect_calls.load());
    EXPECT_TRUE(f.worker->is_running());
}

TEST(Worker, ThrowingRunLockedFunctionReachesTheCallerAndTheWorkerGoesOn)
{
    Fixture f;
    f.worker->start();
    EXPECT_THROW(f.worker->run_locked([] { throw std::runtime_error("query failed"); }),
                 std::runtime_error);
    EXPECT_THROW(f.worker->run_locked(std::function<void()>()), std::bad_function_call);
    f.worker->send("still running");
    ASSERT_TRUE(f.worker->wait_handled(1));
    bool ran = false;
    f.worker->run_locked([&] { ran = true; });  // the lock was released
    EXPECT_TRUE(ran);
    EXPECT_TRUE(f.owner.calls().empty());
}

// A worker with a stream of messages used to take its lock again at once
// after each of them, and a management query waiting for the lock could
// wait for hundreds of messages. It now gets in after the current one.
TEST(Worker, ARunLockedCallerGetsInWhileTheWorkerHasAStreamOfMessages)
{
    Fixture f;
    f.worker->start();
    constexpr int kMessages = 2000;
    for (int i = 0; i < kMessages; ++i)
        f.worker->send("busy", "\"spin_us\":1000");
    ASSERT_TRUE(f.worker->wait_handled(10));
    // Messages handled between the caller's count and its getting in: one
    // or two, unless the caller itself was held up between the two (the
    // least of five rounds then tells).
    size_t least = kMessages;
    for (int round = 0; round < 5; ++round) {
        const size_t before = f.worker->handled().size();
        size_t inside = 0;
        f.worker->run_locked([&] { inside = f.worker->handled().size(); });
        least = std::min(least, inside - before);
        EXPECT_LT(inside, static_cast<size_t>(kMessages)) << "the stream ended first";
    }
    EXPECT_LE(least, 2u) << "messages handled while the caller waited";
}

TEST(Worker, ExceptionEscapingAMessageEndsTheThreadWithRecordAndEvent)
{
    struct Case {
        const char* throw_kind;
        const char* record;
    };
    for (Case c : {Case{"1", "Unhandled exception 'bad message' at worker Worker"},
                   Case{"2", "Unhandled exception at worker Worker"}}) {
        Fixture f(true, 10000, 2);
        f.worker->send("boom", std::string("\"throw\":") + c.throw_kind);
        f.worker->start();
        ASSERT_TRUE(f.owner.wait_for_calls(1));
        EXPECT_EQ((std::vector<std::string>{"test-worker"}), f.owner.calls());
        EXPECT_TRUE(f.capture.has(rrm::LOG_LEVEL_ERROR, c.record)) << c.throw_kind;
        auto events = f.capture.events();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(rrm::EVENT_WORKER_THREAD_EXCEPTION, events[0].code);
        EXPECT_EQ("Worker", events[0].details);
        EXPECT_EQ(0, f.worker->disconnect_calls.load());
        EXPECT_FALSE(f.worker->is_running());
        // The message's ring cell went back: both cells take a message with
        // a single attempt.
        f.worker->set_attempt_limit(1);
        f.worker->send("x");
        f.worker->send("y");
        EXPECT_EQ(0u, f.worker->dropped());
        // Stopped and started again, it works.
        f.worker->stop();
        f.worker->start();
        f.worker->send("z");
        ASSERT_TRUE(wait_until([&] {
            auto h = f.worker->handled();
            return !h.empty() && h.back() == "z";
        }));
    }
}

TEST(Worker, RequestStopEndsAfterThePassThenDisconnectAndOwner)
{
    Fixture f;
    f.worker->start();
    f.worker->send("last", "\"request_stop\":1");
    f.worker->send("never");
    ASSERT_TRUE(f.owner.wait_for_calls(1));
    EXPECT_EQ((std::vector<std::string>{"last"}), f.worker->handled());
    EXPECT_EQ(1, f.worker->disconnect_calls.load());
    EXPECT_EQ(1u, f.worker->queue_size());  // request_stop leaves the queue alone
    EXPECT_FALSE(f.worker->is_thread_started());
}

TEST(Worker, ATimerThatEndsTheWorkerLetsNoFurtherMessageInAndItsQueueIsHandedOut)
{
    Fixture f;
    f.worker->start();
    ASSERT_TRUE(f.worker->wait_handled(0));
    f.worker->run_locked([&] {
        f.worker->timers.add_timer(
            [w = f.worker.get()] {
                // A message arrives in the very pass in which the worker
                // decides to end.
                w->send("late");
                w->request_stop();
            },
            1, 0);
    });
    ASSERT_TRUE(f.owner.wait_for_calls(1));
    EXPECT_TRUE(f.worker->handled().empty()) << "taken by a worker that is ending";
    EXPECT_EQ(1, f.worker->disconnect_calls.load());

    // What the owner finds: the message, and a worker that takes no more.
    auto left = f.worker->close_and_take();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_STREQ(left[0]->json.get_string("tag"), "late");
    EXPECT_FALSE(f.worker->offer_message(rrm::JsonReader(R"({"tag":"later"})"),
                                         BaseSession{nullptr, 0, 1}));
    EXPECT_EQ(f.worker->queue_size(), 0u);
    // A start opens it again.
    f.worker->start();
    EXPECT_TRUE(f.worker->offer_message(rrm::JsonReader(R"({"tag":"again"})"),
                                        BaseSession{nullptr, 0, 1}));
    ASSERT_TRUE(f.worker->wait_handled(1));
    EXPECT_EQ(f.worker->handled(), (std::vector<std::string>{"again"}));
}

TEST(Worker, OffersThatRaceTheCloseEitherLandInWhatIsTakenOrAreRefused)
{
    LogCapture capture;
    for (int round = 0; round < 50; ++round) {
        auto worker = std::make_shared<TestWorker>(nullptr, true);
        std::atomic<bool> go{false};
        std::atomic<int> accepted{0};
        std::vector<std::thread> producers;
        for (int p = 0; p < 3; ++p)
            producers.emplace_back([&] {
                while (!go)
                    std::this_thread::yield();
                for (int i = 0; i < 200; ++i)
                    if (worker->offer_message(rrm::JsonReader(R"({"tag":"x"})"),
                                              BaseSession{nullptr, 0, 1}))
                        ++accepted;
            });
        go = true;
        std::this_thread::yield();
        auto taken = worker->close_and_take();
        for (auto& t : producers)
            t.join();
        // Every accepted offer is in what the close took: none is left in
        // the rings, none lost.
        EXPECT_EQ(static_cast<int>(taken.size()), accepted.load());
        EXPECT_EQ(worker->queue_size(), 0u);
    }
}

TEST(Worker, StopRacingAWorkerThatEndsByItselfNeverJoinsADetachedThread)
{
    LogCapture capture;
    // Owners outlive every thread that may still be calling them.
    std::vector<std::unique_ptr<RecordingOwner>> owners;
    std::vector<std::weak_ptr<TestWorker>> workers;
    for (int i = 0; i < 200; ++i) {
        owners.push_back(std::make_unique<RecordingOwner>());
        auto worker = std::make_shared<TestWorker>(owners.back().get(), true);
        owners.back()->watch(worker);
        workers.push_back(worker);
        worker->start();
        worker->send("end", "\"request_stop\":1");
        if (i % 2)
            std::this_thread::yield();
        worker->stop();  // may meet the owner's detach at any point
        EXPECT_FALSE(worker->is_thread_started());
        EXPECT_EQ(1, worker->disconnect_calls.load());
        EXPECT_LE(owners.back()->calls().size(), 1u);
    }
    for (auto& w : workers)
        ASSERT_TRUE(wait_until([&] { return w.expired(); }));
}

TEST(Worker, WorkerEndingByItselfWithoutDetachIsDestroyedSafely)
{
    LogCapture capture;
    auto worker = std::make_shared<TestWorker>(nullptr, true);
    worker->start();
    worker->send("end", "\"request_stop\":1");
    ASSERT_TRUE(worker->wait_handled(1));
    ASSERT_TRUE(wait_until([&] { return worker->disconnect_calls.load() == 1; }));
    worker.reset();  // joins the ended thread instead of terminating
}

TEST(Worker, StopOfAnEndedWorkerDoesNotHangOnARefilledRing)
{
    LogCapture capture;
    auto worker = std::make_shared<TestWorker>(nullptr, false, 10000, 2);
    worker->set_attempt_limit(1);
    worker->start();
    worker->send("end", "\"request_stop\":1");
    ASSERT_TRUE(worker->wait_handled(1));
    ASSERT_TRUE(wait_until([&] { return worker->disconnect_calls.load() == 1; }));
    std::atomic<bool> done{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p)
        producers.emplace_back([&] {
            while (!done)
                worker->send("spam");
        });
    auto stopper = std::async(std::launch::async, [&] {
        for (int i = 0; i < 20; ++i)
            worker->stop();
    });
    EXPECT_EQ(std::future_status::ready, stopper.wait_for(kPatience));
    done = true;
    for (auto& t : producers)
        t.join();
    stopper.get();
}

}  // namespace
