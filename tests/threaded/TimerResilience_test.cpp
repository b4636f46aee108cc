// Periodic timers of the real workers against a callback that throws, as an
// allocation failure inside it would: the next period still comes.

#include "Log.h"
#include "LogCapture.h"
#include "TestRegistry.h"
#include "TimerQueue.h"
#include "WebsockHarness.h"
#include "WebsockSession.h"
#include "WsTestClient.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {

using testsupport::LogCapture;
using testsupport::WsTestClient;
using testsupport::wait_until;

TEST(TimerResilience, PingCheckThatThrowsStillDropsTheSilentSessionAtTheNextCheck)
{
    LogCapture log;
    testsupport::WebsockHarness harness;
    ASSERT_TRUE(harness.start());
    WsTestClient client;
    ASSERT_EQ(client.connect(harness.port()), 101);
    ASSERT_TRUE(wait_until([&] { return harness.session_count() == 1; }));

    // The check that finds the session silent for too long fails while it
    // drops it; only the next check, a second later, can drop it.
    log.fail_once("drop_session_at_websock_worker");
    {
        std::lock_guard<std::mutex> g(harness.server()->sessions.mutex);
        for (auto& entry : harness.server()->sessions.map)
            entry.second->last_activity = rrm::TimerQueue::now_seconds() - 200;
    }
    EXPECT_TRUE(client.wait_closed(30000));
    EXPECT_EQ(client.close_code, 1000);
    EXPECT_EQ(log.failures(), 1u);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "Unhandled exception 'std::bad_alloc' at timer 0"));
}

TEST(TimerResilience, DomainTimerThatThrowsStillEndsTheIdleWorkerAtItsNextRun)
{
    LogCapture log;
    auto config = testsupport::make_config({"lab"});
    testsupport::TestRegistry registry(config.get());
    // A worker without APs ends at the first whole run of its domain timer.
    // The first run fails at its first step; the next one, a period later,
    // must still come.
    log.fail_once("Domain lab state");
    rrm::DomainConfig settings;
    settings.domain_timer_period = 1;
    registry.add_domain_worker("lab", settings);
    ASSERT_TRUE(registry.wait_reports(1)) << "the worker ended by itself";
    EXPECT_EQ(log.failures(), 1u);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                        "Exception at processing timer on worker 'lab': std::bad_alloc"));
    EXPECT_EQ(log.event_count(rrm::EVENT_WORKER_MSG_EXCEPTION), 1u);
    EXPECT_EQ(log.event_count(rrm::EVENT_WORKER_THREAD_EXCEPTION), 0u);
    EXPECT_TRUE(testsupport::eventually([&] { return registry.worker_count() == 0; }));
}

}  // namespace
