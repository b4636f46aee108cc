// The worker base without its thread: internal commands, queue bookkeeping,
// the stop of a worker that never ran.

#include "Worker.h"

#include "LogCapture.h"
#include "TestWorker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using testsupport::LogCapture;
using testsupport::TestWorker;

TEST(WorkerBase, ConstructedIdleWithRingsOfTheRoundedCapacity)
{
    auto w = std::make_shared<TestWorker>(nullptr, true, 10000, 2000);
    EXPECT_EQ(2048u, w->ring_capacity());
    EXPECT_TRUE(w->has_eventfd());
    EXPECT_TRUE(w->is_running());
    EXPECT_FALSE(w->is_stop_requested());
    EXPECT_FALSE(w->is_thread_started());
    EXPECT_EQ(0u, w->queue_size());
    EXPECT_EQ("test-worker", w->get_name());
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(w.get()) % 64);
    auto plain = std::make_shared<TestWorker>(nullptr, false, 10000, 3);
    EXPECT_EQ(4u, plain->ring_capacity());
    EXPECT_FALSE(plain->has_eventfd());
}

TEST(WorkerBase, InternalCommands)
{
    struct Case {
        const char* text;
        bool internal;
        bool stops;
    };
    const Case cases[] = {
        {"{\"service\":\"internal-ipc\", \"cmd\":\"stop\"}", true, true},
        {"{\"service\":\"internal-ipc\", \"cmd\":\"other\"}", true, false},
        // Tagged by stop with the run it was queued in (none yet: 0).
        {"{\"service\":\"internal-ipc\", \"cmd\":\"stop\", \"generation\":0}", true, true},
        {"{\"service\":\"internal-ipc\", \"cmd\":\"stop\", \"generation\":5}", true, false},
        {"{\"service\":\"internal-ipc\"}", true, false},
        {"{\"cmd\":\"stop\"}", false, false},
        {"{\"service\":\"rrm\", \"cmd\":\"stop\"}", false, false},
        {"{\"service\":\"INTERNAL-IPC\", \"cmd\":\"stop\"}", false, false},
        {"[1,2]", false, false},
        {"", false, false},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        TestWorker w(nullptr, false);
        rrm::JsonReader json(c.text);
        EXPECT_EQ(c.internal, w.process_internal_ipc_msg(json)) << c.text;
        EXPECT_EQ(!c.stops, w.is_running()) << c.text;
        EXPECT_EQ(c.stops, w.is_stop_requested()) << c.text;
        EXPECT_EQ(c.stops, capture.has(rrm::LOG_LEVEL_DEBUG, "Aborting test-worker")) << c.text;
    }
}

TEST(WorkerBase, StopOfAWorkerThatNeverRanLeavesOnlyItsStopMessage)
{
    LogCapture capture;
    TestWorker w(nullptr, true);
    for (int i = 0; i < 3; ++i)
        w.send("n");
    for (int i = 0; i < 2; ++i)
        w.send("f", "", true);
    EXPECT_EQ(5u, w.queue_size());
    w.stop();
    EXPECT_EQ(1u, w.queue_size());
    EXPECT_FALSE(w.is_running());
    EXPECT_TRUE(w.is_stop_requested());
    EXPECT_FALSE(w.is_thread_started());
    EXPECT_EQ(0, w.disconnect_calls.load());
    EXPECT_TRUE(capture.records().empty());
}

TEST(WorkerBase, StartWithoutOwningSharedPointerThrows)
{
    TestWorker w(nullptr, false);
    EXPECT_THROW(w.start(), std::bad_weak_ptr);
    EXPECT_FALSE(w.is_thread_started());
}

TEST(WorkerBase, MessageQueuedForAnIdleWorkerIsKept)
{
    TestWorker w(nullptr, false);
    w.send("a");
    w.send("b", "", true);
    EXPECT_EQ(2u, w.queue_size());
    EXPECT_FALSE(w.process_next_message());
    EXPECT_FALSE(w.process_next_message());
    EXPECT_TRUE(w.process_next_message());
    EXPECT_EQ((std::vector<std::string>{"b before connect", "a before connect"}), w.handled());
}

}  // namespace
