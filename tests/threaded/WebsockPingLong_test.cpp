// The ping worker against real silent clients: a session silent for 30 s is
// pinged every ten seconds and, still silent after 90 s, dropped with 1000
// "done" at the WebSocket worker and at every domain worker; a session that
// answers its pings stays. Runs for about 95 seconds.

#include "Log.h"
#include "LogCapture.h"
#include "WebsockHarness.h"
#include "WsTestClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::WsTestClient;
using testsupport::wait_until;

TEST(WebsockPingLong, SilentSessionIsPingedFromThirtySecondsAndDroppedAfterNinety)
{
    testsupport::LogCapture log;
    testsupport::WebsockHarness harness;
    ASSERT_TRUE(harness.start());
    auto domain = harness.add_recorder("rec");

    WsTestClient silent, answering;
    silent.auto_pong = false;
    ASSERT_EQ(silent.connect(harness.port()), 101);
    ASSERT_EQ(answering.connect(harness.port()), 101);
    const auto connected = Clock::now();
    ASSERT_TRUE(wait_until([&] { return harness.session_count() == 2; }));
    const BaseSession silent_session = harness.session_by_id(1);

    // The answering client reads (and answers pings) on a thread of its own.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done && !answering.eof && !answering.close_received)
            answering.read_text(200);
    });

    std::vector<double> ping_at;
    bool closed = false;
    while (!closed && Clock::now() - connected < std::chrono::seconds(110)) {
        auto frame = silent.read_frame(1000);
        if (!frame) {
            if (silent.eof)
                break;
            continue;
        }
        const double at = std::chrono::duration<double>(Clock::now() - connected).count();
        if (frame->opcode == testsupport::WS_PING) {
            EXPECT_EQ(frame->payload, "lws_ping");
            ping_at.push_back(at);
        } else if (frame->opcode == testsupport::WS_CLOSE) {
            closed = true;
            ASSERT_GE(frame->payload.size(), 2u);
            EXPECT_EQ((static_cast<unsigned char>(frame->payload[0]) << 8) |
                          static_cast<unsigned char>(frame->payload[1]),
                      1000);
            EXPECT_EQ(frame->payload.substr(2), "done");
            // Activity is kept in whole seconds, so the drop may come up to
            // a second before 90 s measured from the connect.
            EXPECT_GE(at, 89.0);
            EXPECT_LT(at, 95.0);
        }
    }
    done = true;
    reader.join();

    ASSERT_TRUE(closed);
    // Pings at 30, 40, ..., 90 s of silence; as with the drop, whole-second
    // activity stamps let each come up to a second early.
    ASSERT_EQ(ping_at.size(), 7u);
    for (size_t i = 0; i < ping_at.size(); ++i) {
        EXPECT_GE(ping_at[i], 28.0 + 10.0 * static_cast<double>(i));
        EXPECT_LT(ping_at[i], 33.0 + 10.0 * static_cast<double>(i));
    }
    // Only the silent one is gone; the domain workers were told of it.
    EXPECT_EQ(harness.session_count(), 1u);
    EXPECT_FALSE(answering.eof);
    EXPECT_FALSE(answering.close_received);
    EXPECT_GE(answering.pings, 1);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "drop_session_at_websock_worker: " +
                                                  std::to_string(silent_session.id) + " force: 1"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "cmd:drop-session " + std::to_string(silent_session.id)));
    EXPECT_TRUE(domain->wait_internal(silent_session.id));
}

}  // namespace
