// The AP transport's threads against each other, with real clients on
// 127.0.0.1: many producers queueing for many connections while the service
// thread drains them (no message lost, none left unsent, each producer's in
// order), and many sessions parsed by several parsing threads (each
// session's messages reach the registry in the order they were sent), and
// a domain whose worker cannot keep up slowing its own senders only.

#include "LogCapture.h"
#include "WebsockHarness.h"
#include "WsTestClient.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::WebsockHarness;
using testsupport::WsTestClient;
using testsupport::wait_until;

// Opens `count` clients and returns their sessions, in the clients' order.
std::vector<BaseSession> open_all(WebsockHarness& harness,
                                  std::vector<std::unique_ptr<WsTestClient>>& clients, int count)
{
    std::vector<BaseSession> out;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<WsTestClient>());
        const size_t before = harness.session_count();
        EXPECT_EQ(clients.back()->connect(harness.port()), 101);
        EXPECT_TRUE(wait_until([&] { return harness.session_count() > before; }));
        BaseSession newest = null_session;
        for (const auto& s : harness.sessions())
            if (s.id > newest.id)
                newest = s;
        out.push_back(newest);
    }
    return out;
}

TEST(WebsockSendPath, EveryMessageOfManyProducersArrivesInOrderOnEveryConnection)
{
    // Each connection is fed by two producers at once, each producer feeds
    // eight connections in turn; a producer keeps at most a few messages of a
    // connection unread (fewer than its queue holds), so no push ever has to
    // wait and a message that does not arrive was lost, not dropped.
    constexpr int kConnections = 32;
    constexpr int kProducers = 8;
    constexpr int kPerProducer = 8;  // connections: 8 x 8 / 32 = 2 producers each
    constexpr int kMessages = 300;   // per producer and connection
    constexpr int kInFlight = 3;     // per producer and connection; 2 x 3 < 16

    WebsockHarness harness;
    ASSERT_TRUE(harness.start());
    std::vector<std::unique_ptr<WsTestClient>> clients;
    const std::vector<BaseSession> sessions = open_all(harness, clients, kConnections);
    ASSERT_EQ(sessions.size(), static_cast<size_t>(kConnections));

    // read[c][p]: messages of producer p that client c has read.
    std::vector<std::array<std::atomic<int>, kProducers>> read(kConnections);
    for (auto& row : read)
        for (auto& n : row)
            n.store(0);
    std::atomic<int> faults{0};
    std::atomic<bool> give_up{false};

    std::vector<std::thread> readers;
    for (int c = 0; c < kConnections; ++c) {
        readers.emplace_back([&, c] {
            int total = 0;
            while (total < 2 * kMessages && !give_up.load()) {
                auto text = clients[c]->read_text(500);
                if (!text)
                    continue;
                int p = -1, n = -1;
                if (std::sscanf(text->c_str(), "\"p%d-%d\"", &p, &n) != 2 || p < 0 ||
                    p >= kProducers || n != read[c][p].load()) {
                    // Out of order, repeated or foreign.
                    faults.fetch_add(1);
                    continue;
                }
                read[c][p].store(n + 1);
                ++total;
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            std::vector<int> sent(kPerProducer, 0);
            int done = 0;
            while (done < kPerProducer && !give_up.load()) {
                done = 0;
                for (int k = 0; k < kPerProducer; ++k) {
                    const int c = (p * kPerProducer + k) % kConnections;
                    if (sent[k] == kMessages) {
                        ++done;
                        continue;
                    }
                    if (sent[k] - read[c][p].load() >= kInFlight)
                        continue;
                    harness.registry->enqueue_serialized(
                        "\"p" + std::to_string(p) + "-" + std::to_string(sent[k]) + "\"",
                        sessions[c]);
                    ++sent[k];
                }
                std::this_thread::yield();
            }
        });
    }
    // A message left unsent would hold its producer (and reader) forever.
    const bool all = wait_until(
        [&] {
            int complete = 0;
            for (int c = 0; c < kConnections; ++c) {
                int sum = 0;
                for (int p = 0; p < kProducers; ++p)
                    sum += read[c][p].load();
                complete += sum == 2 * kMessages;
            }
            return complete == kConnections;
        },
        std::chrono::seconds(120));
    give_up.store(true);
    for (auto& t : producers)
        t.join();
    for (auto& t : readers)
        t.join();
    EXPECT_TRUE(all);
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(harness.server()->open_connections(), static_cast<size_t>(kConnections));
}

TEST(WebsockParsing, EachSessionsMessagesReachTheRegistryInTheOrderSentWithSeveralParsingThreads)
{
    // Many sessions at once, spread over four parsing threads whatever the
    // machine: the recorder keeps what routing hands it, and each session's
    // numbers must come in the order sent, every one once. Each client keeps
    // a few messages unanswered (the recorder echoes each), so the domain's
    // ring never fills and nothing is dropped for want of room.
    constexpr int kClients = 48;
    constexpr int kMessages = 150;
    constexpr int kWindow = 8;

    WebsockHarness harness;
    harness.server()->set_parse_threads(4);
    ASSERT_TRUE(harness.start());
    ASSERT_EQ(harness.server()->parse_threads(), 4);
    auto recorder = harness.add_recorder("rec");
    std::vector<std::unique_ptr<WsTestClient>> clients;
    const std::vector<BaseSession> sessions = open_all(harness, clients, kClients);
    ASSERT_EQ(sessions.size(), static_cast<size_t>(kClients));

    auto text = [](int client, int n) {
        return R"({"service":"rrm","cmd":"echo","version":"2.4","domain":"rec","c":)" +
               std::to_string(client) + R"(,"n":)" + std::to_string(n) + "}";
    };
    std::atomic<int> echo_faults{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            int sent = 0, echoed = 0;
            while (echoed < kMessages) {
                if (sent < kMessages && sent - echoed < kWindow) {
                    if (!clients[c]->send_text(text(c, sent)))
                        return;
                    ++sent;
                    continue;
                }
                auto reply = clients[c]->read_text(30000);
                if (!reply)
                    return;
                if (*reply != text(c, echoed))
                    echo_faults.fetch_add(1);
                ++echoed;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(recorder->wait_received(static_cast<size_t>(kClients) * kMessages));
    EXPECT_EQ(echo_faults.load(), 0);

    std::map<uint32_t, int> index_of;
    for (int c = 0; c < kClients; ++c)
        index_of[sessions[c].id] = c;
    std::vector<int> next(kClients, 0);
    int faults = 0;
    for (const auto& r : recorder->received()) {
        auto it = index_of.find(r.session.id);
        ASSERT_NE(it, index_of.end());
        const int c = it->second;
        if (r.text != text(c, next[c]))
            ++faults;
        ++next[c];
    }
    EXPECT_EQ(faults, 0);
    for (int c = 0; c < kClients; ++c)
        EXPECT_EQ(next[c], kMessages) << "client " << c;
}

// A domain worker that takes nothing for a while (held in its first message)
// with a ring of 8 cells: its senders' messages used to be dropped once the
// ring was full. Now they wait, parsed, until the worker has room, their
// senders' reading paused meanwhile; another domain's session on the same
// parsing thread is served all along, and once the worker goes on every
// message arrives, in the order sent.
TEST(WebsockParsing, AWorkerThatCannotKeepUpSlowsItsSendersAndLosesNothing)
{
    constexpr int kMessages = 400;
    // Before the server's threads start, and gone after they end.
    testsupport::LogCapture log;
    WebsockHarness harness({"slow", "fast"});
    harness.server()->set_parse_threads(1);
    ASSERT_TRUE(harness.start());
    auto slow = harness.add_recorder("slow", 8);
    auto fast = harness.add_recorder("fast");
    std::vector<std::unique_ptr<WsTestClient>> clients;
    const std::vector<BaseSession> sessions = open_all(harness, clients, 3);
    ASSERT_EQ(sessions.size(), 3u);

    auto text = [](const char* domain, const char* cmd, int n) {
        return std::string(R"({"service":"rrm","cmd":")") + cmd +
               R"(","version":"2.4","domain":")" + domain + R"(","n":)" + std::to_string(n) + "}";
    };
    ASSERT_TRUE(clients[0]->send_text(text("slow", "hold", -1)));
    ASSERT_TRUE(slow->wait_blocked());
    // Two senders for the held domain, each with more than its ring and the
    // session's own allowance (16 texts) hold; a sender blocks in TCP once
    // the server reads it no further, so each sends from a thread.
    std::vector<std::thread> senders;
    for (int c = 0; c < 2; ++c)
        senders.emplace_back([&, c] {
            for (int n = 0; n < kMessages; ++n)
                if (!clients[c]->send_text(text("slow", "x", c * kMessages + n)))
                    return;
        });
    // Meanwhile the other domain is answered, again and again.
    for (int n = 0; n < 20; ++n) {
        ASSERT_TRUE(clients[2]->send_text(text("fast", "echo", n)));
        auto reply = clients[2]->read_text(30000);
        ASSERT_TRUE(reply.has_value()) << n;
        EXPECT_EQ(*reply, text("fast", "echo", n));
    }
    // Once, whichever sender was refused first.
    const auto warned = [&](const BaseSession& s) {
        return log.has(rrm::LOG_LEVEL_WARNING,
                       "Worker 'slow' queue full: messages wait for room, the latest from session " +
                           std::to_string(s.id) +
                           ", and their sessions are read no further meanwhile; the worker does "
                           "not keep up with what is sent to it");
    };
    EXPECT_TRUE(wait_until([&] { return warned(sessions[0]) || warned(sessions[1]); }));

    slow->release();
    for (auto& t : senders)
        t.join();
    // The hold, then each sender's numbers in the order sent.
    ASSERT_TRUE(slow->wait_received(1 + 2 * kMessages));
    std::vector<int> next = {0, kMessages};
    int faults = 0;
    for (const auto& r : slow->received()) {
        const int c = r.session.id == sessions[0].id ? 0 : r.session.id == sessions[1].id ? 1 : -1;
        ASSERT_NE(c, -1);
        if (r.text == text("slow", "hold", -1))
            continue;
        if (r.text != text("slow", "x", next[c]))
            ++faults;
        ++next[c];
    }
    EXPECT_EQ(faults, 0);
    EXPECT_EQ(next[0], kMessages);
    EXPECT_EQ(next[1], 2 * kMessages);
    EXPECT_EQ(slow->offers_dropped(), 0u);
    EXPECT_EQ(log.event_count(rrm::EVENT_WORKER_QUEUE_OVERFLOW), 0u);
    EXPECT_EQ(harness.server()->queued_text_bytes(), 0u);
}

}  // namespace
