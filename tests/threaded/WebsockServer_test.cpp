// The AP WebSocket transport against real clients on 127.0.0.1: upgrade,
// sessions, reassembly, the parsing thread's hand-over to the registry, the
// send path with its per-connection queues, session commands and domain
// removal.

#include "ApEntry.h"
#include "ApMap.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "LogCapture.h"
#include "MacAddress.h"
#include "RrmWorker.h"
#include "SendWindow.h"
#include "WebsockHarness.h"
#include "WsTestClient.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::LogCapture;
using testsupport::WebsockHarness;
using testsupport::WsTestClient;
using testsupport::wait_until;

constexpr int kPatienceMs = 20000;

std::string message(const std::string& domain, const std::string& cmd, const std::string& extra = "")
{
    return R"({"service":"rrm","cmd":")" + cmd + R"(","version":"2.4","domain":")" + domain + "\"" +
           extra + "}";
}

bool has_record_starting(const LogCapture& log, int level, const std::string& prefix)
{
    for (const auto& r : log.records())
        if (r.level == level && r.text.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

class WebsockServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.start()); }

    // Connects a client and returns its session, the newest one.
    BaseSession open(WsTestClient& client, int rcvbuf = 0)
    {
        const size_t before = harness.session_count();
        EXPECT_EQ(client.connect(harness.port(), "/apb/rrm", "websock-rrm", false, rcvbuf), 101);
        EXPECT_TRUE(wait_until([&] { return harness.session_count() > before; }));
        BaseSession newest = null_session;
        for (const auto& s : harness.sessions())
            if (s.id > newest.id)
                newest = s;
        return newest;
    }

    // Makes the connection stall: a text larger than the client's and the
    // kernel's buffers goes out first and the client does not read, so the
    // library keeps the rest and the connection is not writeable until the
    // client reads again. Returns the filler's size.
    size_t stall(const BaseSession& session)
    {
        std::string filler(12 * 1024 * 1024, 'F');
        filler[0] = '"';
        filler.back() = '"';
        const size_t size = filler.size();
        harness.registry->enqueue_serialized(std::move(filler), session);
        EXPECT_TRUE(wait_until([&] { return has_record_starting(log, rrm::LOG_LEVEL_DEBUG, "Send \"FFFF"); }));
        return size;
    }

    LogCapture log;
    WebsockHarness harness;
};

TEST_F(WebsockServerTest, UpgradeOnThePathWithTheProtocolAndIpv4Only)
{
    WsTestClient client;
    ASSERT_EQ(client.connect(harness.port()), 101);
    EXPECT_NE(client.response_head.find("Sec-WebSocket-Protocol: websock-rrm"), std::string::npos)
        << client.response_head;
    ASSERT_TRUE(wait_until([&] { return harness.session_count() == 1; }));
    EXPECT_EQ(harness.sessions()[0].id, 1u);

    rrm::JsonWriter out("");
    harness.server()->to_json_full(out);
    EXPECT_STREQ(out.to_string(), R"({"websock-sessions":[{"id":1,"peer":"127.0.0.1"}]})");

    WsTestClient v6;
    EXPECT_EQ(v6.connect(harness.port(), "/apb/rrm", "websock-rrm", true), -1);
    EXPECT_EQ(v6.connect_errno, ECONNREFUSED);

    client.disconnect();
    ASSERT_TRUE(wait_until([&] { return harness.session_count() == 0; }));
    rrm::JsonWriter empty("");
    harness.server()->to_json(empty);
    EXPECT_STREQ(empty.to_string(), R"({"websock-sessions":[]})");
}

// A WebSocket opened without "websock-rrm" is upgraded all the same but
// never becomes an AP session, so no ping would ever end it: it is closed
// after a short time, whether it stays silent or keeps talking.
TEST_F(WebsockServerTest, AWebSocketWithoutTheApProtocolIsClosedAfterAShortTime)
{
    auto recorder = harness.add_recorder("rec");
    WsTestClient ap;
    open(ap);
    struct Case {
        const char* name;
        const char* path;
        bool chatty;
    };
    const Case cases[] = {{"silent, on the AP path", "/apb/rrm", false},
                          {"talking, on the AP path", "/apb/rrm", true},
                          {"silent, elsewhere", "/", false}};
    std::vector<std::thread> threads;
    std::atomic<int> closed{0};
    for (const Case& c : cases)
        threads.emplace_back([&, c] {
            WsTestClient stray;
            ASSERT_EQ(stray.connect(harness.port(), c.path, ""), 101) << c.name;
            const auto begin = std::chrono::steady_clock::now();
            while (std::chrono::steady_clock::now() - begin < std::chrono::seconds(40)) {
                if (c.chatty) {
                    stray.send_text(message("rec", "stray"));
                    stray.send_frame(testsupport::WS_PING, "p");
                }
                stray.read_text(300);
                if (stray.eof || stray.close_received) {
                    ++closed;
                    return;
                }
            }
            ADD_FAILURE() << c.name << ": still open after 40 s";
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(closed.load(), 3);
    // None was an AP session, nothing it sent was taken, and the AP's own
    // session was left alone.
    EXPECT_TRUE(recorder->received().empty());
    EXPECT_EQ(harness.session_count(), 1u);
    ASSERT_TRUE(ap.send_text(message("rec", "still-here")));
    ASSERT_TRUE(recorder->wait_received(1));
}

TEST_F(WebsockServerTest, SessionIdsGoOnAcrossARestartOfTheWorker)
{
    WsTestClient a, b;
    EXPECT_EQ(open(a).id, 1u);
    EXPECT_EQ(open(b).id, 2u);

    // Stopping closes every connection and tells the registry once each.
    harness.server()->stop();
    EXPECT_EQ(harness.session_count(), 0u);
    EXPECT_EQ(harness.port(), 0);
    EXPECT_TRUE(a.wait_closed(kPatienceMs));
    EXPECT_TRUE(b.wait_closed(kPatienceMs));

    harness.server()->start();
    ASSERT_TRUE(wait_until([&] { return harness.port() != 0; }));
    WsTestClient c;
    EXPECT_EQ(open(c).id, 3u);
}

TEST_F(WebsockServerTest, UnknownDomainAndUnparsableTextAreReportedByRouting)
{
    WsTestClient client;
    open(client);
    ASSERT_TRUE(client.send_text(message("nowhere", "subscribe-request")));
    ASSERT_TRUE(client.send_text("{not json"));
    ASSERT_TRUE(wait_until([&] { return log.event_count(rrm::EVENT_JSON_PARSE_FAILED) == 1; }));
    ASSERT_TRUE(wait_until([&] { return log.event_count(rrm::EVENT_DOMAIN_WORKER_CREATE_FAILED) == 1; }));

    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                        "Exception at processing message for domain 'nowhere': Domain not found"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "process_incoming_message: json parse failed or null root"));
    for (const auto& e : log.events()) {
        if (e.code == rrm::EVENT_DOMAIN_WORKER_CREATE_FAILED) {
            EXPECT_EQ(e.details, "nowhere");
        }
        if (e.code == rrm::EVENT_JSON_PARSE_FAILED) {
            EXPECT_FALSE(e.has_details);
        }
    }
    // The session stays open and gets nothing.
    EXPECT_FALSE(client.read_text(200).has_value());
    EXPECT_FALSE(client.eof);
    EXPECT_EQ(harness.session_count(), 1u);
}

TEST_F(WebsockServerTest, LargeAndFragmentedMessagesArriveOnceAndWhole)
{
    auto recorder = harness.add_recorder("rec");
    WsTestClient client;
    const BaseSession session = open(client);

    const std::string big = message("rec", "big", R"(,"blob":")" + std::string(200 * 1024, 'b') + "\"");
    const std::string pieces = message("rec", "pieces", R"(,"blob":")" + std::string(5000, 'p') + "\"");
    const std::string small = message("rec", "small");
    const std::string empty;
    ASSERT_TRUE(client.send_text(big));
    ASSERT_TRUE(client.send_fragmented(pieces, 50));
    ASSERT_TRUE(client.send_text(empty));  // no text: nothing to route
    ASSERT_TRUE(client.send_fragmented(big, 7));
    ASSERT_TRUE(client.send_text(small));

    ASSERT_TRUE(recorder->wait_received(4));
    // Nothing more arrives later.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto got = recorder->received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].text, big);
    EXPECT_EQ(got[1].text, pieces);
    EXPECT_EQ(got[2].text, big);
    EXPECT_EQ(got[3].text, small);
    for (const auto& r : got) {
        EXPECT_EQ(r.session.id, session.id);
    }
}

TEST_F(WebsockServerTest, OversizedMessagesAreRefusedAndTheirConnectionClosed)
{
    auto recorder = harness.add_recorder("rec");
    constexpr uint64_t kMax = rrm::WebsockServerWorker::MAX_MESSAGE_SIZE;
    const std::string part(256 * 1024, 'x');
    struct Case {
        const char* name;
        std::function<void(WsTestClient&)> send;
    };
    const std::vector<Case> cases = {
        {"one frame announcing one byte too many",
         [&](WsTestClient& c) { c.send_frame_start(testsupport::WS_TEXT, kMax + 1, part); }},
        {"fragments that add up to one byte too many",
         [&](WsTestClient& c) {
             const std::string first(kMax / 8, 'y');
             c.send_frame(testsupport::WS_TEXT, first, false);
             c.send_frame_start(testsupport::WS_CONTINUATION, kMax + 1 - first.size(), part);
         }},
        {"a fragment of exactly the limit, then a final frame of one byte",
         [&](WsTestClient& c) {
             c.send_frame(testsupport::WS_TEXT, std::string(kMax, 'z'), false);
             c.send_frame(testsupport::WS_CONTINUATION, "z", true);
         }},
    };
    uint32_t id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WsTestClient client;
        id = open(client).id;
        c.send(client);
        ASSERT_TRUE(client.wait_closed(kPatienceMs));
        EXPECT_EQ(client.close_code, 1009);
        // The server still waits for the announced bytes, so it would not
        // read a close frame as one: the client just goes.
        client.disconnect();
        EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "websocket message exceeds " + std::to_string(kMax) +
                                                      " bytes; session " + std::to_string(id) +
                                                      " closed"));
        ASSERT_TRUE(wait_until([&] { return harness.session_count() == 0; }));
    }
    // Nothing of them was handed on, and the next connection is served.
    WsTestClient next;
    open(next);
    ASSERT_TRUE(next.send_text(message("rec", "after")));
    ASSERT_TRUE(recorder->wait_received(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(recorder->received().size(), 1u);
    EXPECT_EQ(recorder->received()[0].text, message("rec", "after"));
}

TEST_F(WebsockServerTest, AnExceptionWhileHandingOverDropsOnlyThatMessage)
{
    auto recorder = harness.add_recorder("rec");
    WsTestClient client;
    open(client);
    ASSERT_TRUE(client.send_text(message("rec", "throw")));
    ASSERT_TRUE(client.send_text(message("rec", "throw-int")));
    ASSERT_TRUE(client.send_text(message("rec", "after")));
    ASSERT_TRUE(recorder->wait_received(1));
    EXPECT_EQ(recorder->received()[0].text, message("rec", "after"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                        "Exception at handling message from session 1: refused by test; message dropped"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                        "Exception at handling message from session 1: unknown exception; message dropped"));
}

TEST_F(WebsockServerTest, TextsNotParsedBeforeAStopAreNotHandedOnAfterTheRestart)
{
    auto recorder = harness.add_recorder("rec");
    WsTestClient client;
    open(client);
    ASSERT_TRUE(client.send_text(message("rec", "block")));
    ASSERT_TRUE(recorder->wait_blocked());
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(client.send_text(message("rec", "queued-" + std::to_string(i))));
    // Let the service thread queue them behind the blocked one.
    ASSERT_TRUE(wait_until([&] {
        size_t n = 0;
        for (const auto& r : log.records())
            if (r.text.compare(0, 5, "Recv ") == 0)
                ++n;
        return n == 6;
    }));

    std::thread stopper([&] { harness.server()->stop(); });
    // The stop waits for the parsing thread; it is let go once the stop is
    // under way.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    recorder->release();
    stopper.join();

    harness.server()->start();
    ASSERT_TRUE(wait_until([&] { return harness.port() != 0; }));
    WsTestClient again;
    open(again);
    ASSERT_TRUE(again.send_text(message("rec", "fresh")));
    ASSERT_TRUE(recorder->wait_received(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto got = recorder->received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, message("rec", "block"));
    EXPECT_EQ(got[1].text, message("rec", "fresh"));
}

// A session whose texts wait for the parsing thread is read only up to
// SESSION_WAITING_TEXTS of them: the rest waits in TCP, other sessions are
// read meanwhile, and once the parsing thread goes on nothing is lost and
// the order holds.
TEST_F(WebsockServerTest, ASessionWhoseTextsPileUpIsReadOnlyAsTheyAreParsed)
{
    auto recorder = harness.add_recorder("rec");
    WsTestClient client, other;
    open(client);
    open(other);
    ASSERT_TRUE(client.send_text(message("rec", "block")));
    ASSERT_TRUE(recorder->wait_blocked());
    constexpr int kSent = 100;
    for (int i = 0; i < kSent; ++i)
        ASSERT_TRUE(client.send_text(message("rec", "m", ",\"n\":" + std::to_string(i))));
    const auto received = [&](const std::string& cmd) {
        const std::string head = "Recv " + message("rec", cmd).substr(0, 40);
        size_t n = 0;
        for (const auto& r : log.records())
            if (r.text.compare(0, head.size(), head) == 0)
                ++n;
        return n;
    };
    // The blocked text and 15 more make 16 waiting.
    constexpr size_t kRead = rrm::WebsockServerWorker::SESSION_WAITING_TEXTS - 1;
    ASSERT_TRUE(wait_until([&] { return received("m") >= kRead; }));
    ASSERT_TRUE(other.send_text(message("rec", "other")));
    ASSERT_TRUE(wait_until([&] { return received("other") == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(kRead, received("m"));

    recorder->release();
    ASSERT_TRUE(recorder->wait_received(kSent + 2));
    std::vector<std::string> from_client;
    for (const auto& r : recorder->received())
        if (r.text.find("\"other\"") == std::string::npos)
            from_client.push_back(r.text);
    ASSERT_EQ(static_cast<size_t>(kSent + 1), from_client.size());
    EXPECT_EQ(message("rec", "block"), from_client[0]);
    for (int i = 0; i < kSent; ++i)
        EXPECT_EQ(message("rec", "m", ",\"n\":" + std::to_string(i)), from_client[i + 1]);
}

// A paused session is read again once its waiting texts are down to half
// (SESSION_RESUME_TEXTS), not at the first one done: otherwise a sender that
// keeps its connection full costs a wake-up and a pause per message.
TEST_F(WebsockServerTest, APausedSessionIsReadAgainOnceHalfItsTextsAreDone)
{
    using Server = rrm::WebsockServerWorker;
    auto recorder = harness.add_recorder("rec");
    WsTestClient client;
    open(client);
    constexpr int kSent = 60;
    for (int i = 0; i < kSent; ++i)
        ASSERT_TRUE(client.send_text(message("rec", "step", ",\"n\":" + std::to_string(i))));
    const std::string head = "Recv " + message("rec", "step").substr(0, 40);
    const auto read = [&] {
        size_t n = 0;
        for (const auto& r : log.records())
            if (r.text.compare(0, head.size(), head) == 0)
                ++n;
        return n;
    };
    // The first text waits for its permit inside the parsing thread; it and
    // the 15 behind it make 16 waiting.
    ASSERT_TRUE(wait_until([&] { return read() >= Server::SESSION_WAITING_TEXTS; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(Server::SESSION_WAITING_TEXTS, read());

    // 7 done: 9 wait, one above the mark.
    constexpr int kAboveMark = Server::SESSION_WAITING_TEXTS - Server::SESSION_RESUME_TEXTS - 1;
    recorder->allow(kAboveMark);
    ASSERT_TRUE(recorder->wait_received(kAboveMark));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Server::SESSION_WAITING_TEXTS, read());

    // One more: 8 wait, and the session is read again.
    recorder->allow(1);
    ASSERT_TRUE(wait_until([&] { return read() > Server::SESSION_WAITING_TEXTS; }));

    recorder->allow(kSent);
    ASSERT_TRUE(recorder->wait_received(kSent));
    const auto got = recorder->received();
    ASSERT_EQ(static_cast<size_t>(kSent), got.size());
    for (int i = 0; i < kSent; ++i)
        EXPECT_EQ(message("rec", "step", ",\"n\":" + std::to_string(i)), got[i].text);
}

TEST_F(WebsockServerTest, RepliesReachTheSessionTheyAreFor)
{
    auto recorder = harness.add_recorder("rec");
    WsTestClient a, b;
    open(a);
    open(b);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(a.send_text(message("rec", "echo", R"(,"who":"a","n":)" + std::to_string(i))));
        ASSERT_TRUE(b.send_text(message("rec", "echo", R"(,"who":"b","n":)" + std::to_string(i))));
    }
    for (int i = 0; i < 20; ++i) {
        auto ra = a.read_text(kPatienceMs);
        auto rb = b.read_text(kPatienceMs);
        ASSERT_TRUE(ra && rb);
        EXPECT_EQ(*ra, message("rec", "echo", R"(,"who":"a","n":)" + std::to_string(i)));
        EXPECT_EQ(*rb, message("rec", "echo", R"(,"who":"b","n":)" + std::to_string(i)));
    }
}

TEST_F(WebsockServerTest, PreSerializedTextsAreSentUnchanged)
{
    WsTestClient client;
    const BaseSession session = open(client);
    const std::vector<std::string> texts = {
        R"({"service":"rrm-internal", "cmd":"drop-session"} )",
        "not json at all",
        R"({ "spaced" : [ 1 , 2 ] })",
    };
    harness.registry->enqueue_serialized(texts[0].c_str(), session);
    harness.registry->enqueue_serialized(std::string(texts[1]), session);
    harness.registry->enqueue_serialized(std::string(texts[2]), session);
    for (const auto& t : texts) {
        auto got = client.read_text(kPatienceMs);
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, t);
    }
    EXPECT_EQ(harness.session_count(), 1u);

    // An empty text has nothing to send: its document is null.
    harness.server()->enqueue_serialized(std::string(), session);
    ASSERT_TRUE(wait_until([&] { return log.event_count(rrm::EVENT_WS_SEND_JSON_NULL) == 1; }));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "ws_send json null"));
}

TEST_F(WebsockServerTest, StaleAndDeadHandlesAreDropped)
{
    WsTestClient client;
    const BaseSession session = open(client);
    BaseSession stale = session;
    stale.id += 100;
    harness.server()->enqueue_serialized(std::string("\"x\""), stale);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG,
                        "enqueue_serialized: BaseSession stale or mismatched (msg id=101 tsi=0 vs live id=1 tsi=0)"));
    BaseSession bad_index = session;
    bad_index.tsi = 8;
    harness.server()->enqueue_serialized(std::string("\"x\""), bad_index);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "enqueue_serialized: invalid lws tsi 8"));
    harness.server()->enqueue_serialized(std::string("\"x\""), null_session);

    client.disconnect();
    ASSERT_TRUE(wait_until([&] { return harness.session_count() == 0; }));
    harness.server()->enqueue_message(rrm::JsonReader("{}"), session);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG,
                        "enqueue_message: no live websocket session for wsi (dropped id=1)"));
}

TEST_F(WebsockServerTest, ForceQueueGoesFirst)
{
    WsTestClient client;
    const BaseSession session = open(client, 4096);
    const size_t filler = stall(session);
    for (int i = 1; i <= 5; ++i)
        harness.registry->enqueue_serialized(std::string("\"normal-" + std::to_string(i) + "\""), session);
    harness.server()->enqueue_message_force(rrm::JsonReader(R"({"forced":1})"), session);

    auto first = client.read_text(kPatienceMs);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), filler);
    std::vector<std::string> order;
    for (int i = 0; i < 6; ++i) {
        auto got = client.read_text(kPatienceMs);
        ASSERT_TRUE(got);
        order.push_back(*got);
    }
    EXPECT_EQ(order, (std::vector<std::string>{R"({"forced":1})", "\"normal-1\"", "\"normal-2\"",
                                               "\"normal-3\"", "\"normal-4\"", "\"normal-5\""}));
}

TEST_F(WebsockServerTest, AClientThatStopsReadingLosesWhatExceedsItsQueueOnly)
{
    auto recorder = harness.add_recorder("rec");
    WsTestClient slow, other;
    const BaseSession slow_session = open(slow, 4096);
    open(other);
    const size_t filler = stall(slow_session);

    // 16 fit the connection's queue; the next is given up after its
    // attempts, and from then on each further one at once (the queue is
    // stalled). The producer keeps adding such messages until the other
    // client has been served meanwhile, so the test does not depend on how
    // long an echo takes on a loaded machine.
    constexpr int kQueued = 16, kMaxExtra = 3000, kMinExtra = 3;
    std::atomic<bool> served{false};
    std::atomic<int> extra{0};
    std::thread producer([&] {
        for (int i = 0; i < kQueued; ++i)
            harness.registry->enqueue_serialized(std::string("\"m" + std::to_string(i) + "\""),
                                                 slow_session);
        while (extra < kMaxExtra && (extra < kMinExtra || !served)) {
            harness.registry->enqueue_serialized(std::string("\"x\""), slow_session);
            if (++extra >= kMinExtra)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    for (int i = 0; i < 5; ++i) {
        const std::string req = message("rec", "echo", ",\"n\":" + std::to_string(i));
        ASSERT_TRUE(other.send_text(req));
        auto reply = other.read_text(kPatienceMs);
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, req);
        served = true;
    }
    producer.join();
    // The other client was answered while the slow one's overflow went on.
    EXPECT_LT(extra.load(), kMaxExtra);

    // One Error for the stall, an event for each message lost.
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_ERROR,
                        "per-wsi queue overflow: outgoing message dropped for session " +
                            std::to_string(slow_session.id)),
              1u);
    EXPECT_EQ(log.event_count(rrm::EVENT_WS_QUEUE_OVERFLOW), static_cast<size_t>(extra.load()));
    for (const auto& e : log.events()) {
        if (e.code == rrm::EVENT_WS_QUEUE_OVERFLOW) {
            EXPECT_FALSE(e.has_details);
        }
    }

    // Once it reads again it gets the filler and the first 16, in order.
    auto first = slow.read_text(kPatienceMs);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), filler);
    for (int i = 0; i < kQueued; ++i) {
        auto got = slow.read_text(kPatienceMs);
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, "\"m" + std::to_string(i) + "\"");
    }
    EXPECT_FALSE(slow.read_text(300).has_value());
    // The rest of the stall is counted once the client takes messages again.
    EXPECT_TRUE(wait_until([&] {
        return log.has(rrm::LOG_LEVEL_WARNING,
                       "per-wsi queue overflow: " + std::to_string(extra.load() - 1) +
                           " more outgoing messages dropped for session " +
                           std::to_string(slow_session.id) + " while it took none");
    }));
    // Stalled no more: a message queued now is sent.
    harness.registry->enqueue_serialized(std::string("\"again\""), slow_session);
    auto again = slow.read_text(kPatienceMs);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, "\"again\"");
}

TEST_F(WebsockServerTest, AHeldTextIsReleasedOnceTheConnectionTookItWhole)
{
    // A sender's window, and texts larger than the client's and the
    // kernel's buffers, so that the library must keep the rest of each.
    auto window = std::make_shared<rrm::SendWindow>(1);
    std::atomic<int> wakes{0};
    window->set_waker([&] { ++wakes; });
    auto big = [](char fill) {
        std::string text(12 * 1024 * 1024, fill);
        text.front() = '"';
        text.back() = '"';
        return text;
    };

    WsTestClient client;
    const BaseSession session = open(client, 4096);
    const size_t size = big('A').size();
    harness.registry->enqueue_serialized(big('A'), session, window->take(size));
    ASSERT_TRUE(wait_until([&] { return has_record_starting(log, rrm::LOG_LEVEL_DEBUG, "Send \"AAAA"); }));
    // Written as far as the socket takes it, not yet whole: still held.
    EXPECT_EQ(window->held_bytes(), size);
    EXPECT_FALSE(window->has_room());
    EXPECT_EQ(wakes.load(), 0);

    // The client reads it: the hold goes, and the sender is woken.
    auto got = client.read_text(kPatienceMs);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), size);
    EXPECT_TRUE(wait_until([&] { return window->held_bytes() == 0; }));
    EXPECT_EQ(wakes.load(), 1);

    // A connection that goes away before it took the text releases it too.
    WsTestClient gone;
    const BaseSession gone_session = open(gone, 4096);
    harness.registry->enqueue_serialized(big('B'), gone_session, window->take(size));
    ASSERT_TRUE(wait_until([&] { return has_record_starting(log, rrm::LOG_LEVEL_DEBUG, "Send \"BBBB"); }));
    EXPECT_EQ(window->held_bytes(), size);
    gone.disconnect();
    EXPECT_TRUE(wait_until([&] { return window->held_bytes() == 0; }));
    // And one for a session that no longer exists is released at once.
    harness.registry->enqueue_serialized(big('C'), gone_session, window->take(size));
    EXPECT_EQ(window->held_bytes(), 0u);
    window->set_waker(nullptr);
}

TEST_F(WebsockServerTest, DropSessionClosesWithDoneAndPingIsAnswered)
{
    WsTestClient a, b;
    const BaseSession sa = open(a);
    const BaseSession sb = open(b);

    harness.registry->ping_session_at_websock_worker(sb);
    auto frame = b.read_frame(kPatienceMs);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->opcode, testsupport::WS_PING);
    EXPECT_EQ(frame->payload, "lws_ping");

    // An unforced drop waits behind what is queued before it.
    harness.registry->enqueue_serialized(std::string("\"before\""), sa);
    harness.registry->drop_session_at_websock_worker(sa, false);
    auto before = a.read_text(kPatienceMs);
    ASSERT_TRUE(before);
    EXPECT_EQ(*before, "\"before\"");
    ASSERT_TRUE(a.wait_closed(kPatienceMs));
    EXPECT_EQ(a.close_code, 1000);
    EXPECT_EQ(a.close_reason, "done");
    ASSERT_TRUE(wait_until([&] { return harness.session_count() == 1; }));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "cmd:drop-session " + std::to_string(sa.id)));

    // The command was for a session that is gone: nothing happens.
    harness.registry->drop_session_at_websock_worker(sa, true);
    EXPECT_EQ(harness.session_count(), 1u);
    EXPECT_FALSE(b.eof);
}

TEST_F(WebsockServerTest, RemovingADomainClosesEveryApSessionWithDone)
{
    WsTestClient unanswered, deleted, active, outsider;
    const BaseSession s1 = open(unanswered);
    const BaseSession s2 = open(deleted);
    const BaseSession s3 = open(active);
    open(outsider);

    ASSERT_TRUE(outsider.send_text(message("lab", "subscribe-request")));
    ASSERT_TRUE(wait_until([&] { return log.has(rrm::LOG_LEVEL_DEBUG, "Created new worker 'lab'."); }));
    ASSERT_TRUE(harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& w) {
        auto put = [&](rrm::ApMap& list, const char* mac, const BaseSession& s) {
            const rrm::MacAddress m = rrm::mac_from_string(mac);
            list.insert(m, std::make_shared<rrm::ApEntry>(&w.config, m, s));
        };
        put(w.unanswered_aps, "02:00:00:00:00:01", s1);
        put(w.aps_to_delete, "02:00:00:00:00:02", s2);
        put(w.aps, "02:00:00:00:00:03", s3);
    }));

    harness.registry->remove_workers({"lab"});
    for (WsTestClient* c : {&unanswered, &deleted, &active}) {
        ASSERT_TRUE(c->wait_closed(kPatienceMs));
        EXPECT_EQ(c->close_code, 1000);
        EXPECT_EQ(c->close_reason, "done");
    }
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "Drop session 02:00:00:00:00:01(1) on worker 'lab'."));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "Drop session 02:00:00:00:00:02(2) on worker 'lab'."));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "Drop session 02:00:00:00:00:03(3) on worker 'lab'."));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "Worker with domain 'lab' erased."));
    ASSERT_TRUE(wait_until([&] { return harness.session_count() == 1; }));
    EXPECT_FALSE(outsider.eof);
}

TEST_F(WebsockServerTest, AFloodOfMessagesPausesLoadBalancingOnceIn30Seconds)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    if (ts.tv_sec < 31)
        GTEST_SKIP() << "needs a monotonic clock past 30 s";
    WsTestClient client;
    open(client);
    const std::string text = message("nowhere", "noise");
    // Twice: each burst fills one window, the first message of a later
    // second looks at it. Only the first may pause the load balancers.
    for (int round = 0; round < 2; ++round) {
        // Start right after a second begins, so that the burst falls in one
        // window.
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (timespec now = start; now.tv_sec == start.tv_sec;)
            clock_gettime(CLOCK_MONOTONIC, &now);
        for (int i = 0; i < 1100; ++i) {
            ASSERT_TRUE(client.send_text(text));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        ASSERT_TRUE(client.send_text(text));
        if (round == 0) {
            ASSERT_TRUE(wait_until([&] { return log.has(rrm::LOG_LEVEL_INFO, "rrm: stop-load-balancer:"); }));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_INFO, "rrm: stop-load-balancer:"), 1u);
}

TEST(WebsockServerPort, APortInUseIsRetriedOnceASecondWithOneError)
{
    LogCapture log;
    // Hold a port.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);

    WebsockHarness harness({"lab"}, port);
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    harness.registry->start();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(harness.port(), 0);
    const std::string error = "Can't open the access point port " + std::to_string(port) +
                              "; retrying every second";
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_ERROR, error), 1u);
    // Waiting between the attempts, not spinning: well under a second of
    // processor time in 2.5 s.
    auto cpu_s = [](const rusage& u) {
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    EXPECT_LT(cpu_s(after) - cpu_s(before), 0.5);

    ::close(holder);
    ASSERT_TRUE(wait_until([&] { return harness.port() == port; }));
    WsTestClient client;
    EXPECT_EQ(client.connect(port), 101);
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_ERROR, error), 1u);
}

TEST(WebsockServerCallback, ReasonsOutsideTheTableAndADestroyedServer)
{
    LogCapture log;
    {
        WebsockHarness harness;
        rrm::WebsockServerWorker* server = harness.server();
        log.clear();
        EXPECT_EQ(server->worker_lws_callback(nullptr, LWS_CALLBACK_HTTP, nullptr, nullptr, 0), 0);
        EXPECT_EQ(server->worker_lws_callback(nullptr, static_cast<lws_callback_reasons>(72), nullptr,
                                              nullptr, 0),
                  0);
        EXPECT_TRUE(log.records().empty());
        EXPECT_EQ(rrm::websock_protocol_callback(nullptr, LWS_CALLBACK_PROTOCOL_INIT, nullptr,
                                                 nullptr, 0),
                  0);
        EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "LWS_CALLBACK_PROTOCOL_INIT"));
    }
    EXPECT_EQ(rrm::websock_protocol_callback(nullptr, LWS_CALLBACK_ESTABLISHED, nullptr, nullptr, 0),
              -1);
}

}  // namespace
