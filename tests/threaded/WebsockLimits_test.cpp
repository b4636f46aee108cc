// What AP messages may hold of the server, against real clients on
// 127.0.0.1: the room all sessions together get for messages still being
// reassembled, the room for complete texts waiting to be parsed, and the
// size a parsed message may take. The budgets are made small here; the
// program tests show the server's own figures.

#include "JsonReader.h"
#include "LogCapture.h"
#include "WebsockHarness.h"
#include "WsTestClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <utility>
#include <thread>
#include <vector>

namespace {

using testsupport::LogCapture;
using testsupport::WebsockHarness;
using testsupport::WsTestClient;
using testsupport::wait_until;

constexpr int kPatienceMs = 20000;
constexpr uint64_t KiB = 1024;

std::string message(const std::string& cmd, const std::string& extra = "")
{
    return R"({"service":"rrm","cmd":")" + cmd + R"(","version":"2.4","domain":"rec")" + extra + "}";
}

// A message of about `size` bytes: the rest is a string member.
std::string sized(const std::string& cmd, size_t size)
{
    const std::string head = message(cmd, R"(,"blob":")");
    return head + std::string(size - head.size() - 2, 'b') + "\"}";
}

size_t warnings_starting(const LogCapture& log, const std::string& prefix)
{
    size_t n = 0;
    for (const auto& r : log.records())
        if (r.level == rrm::LOG_LEVEL_WARNING && r.text.compare(0, prefix.size(), prefix) == 0)
            ++n;
    return n;
}

class Limits : public ::testing::Test {
protected:
    bool start(uint64_t reassembly, uint64_t queued)
    {
        harness.server()->set_text_budgets(reassembly, queued);
        if (!harness.start())
            return false;
        recorder = harness.add_recorder("rec");
        return true;
    }
    void open(WsTestClient& client)
    {
        const size_t before = harness.session_count();
        ASSERT_EQ(client.connect(harness.port()), 101);
        ASSERT_TRUE(wait_until([&] { return harness.session_count() > before; }));
    }
    uint64_t reassembling() { return harness.server()->reassembly_bytes(); }
    uint64_t queued() { return harness.server()->queued_text_bytes(); }

    LogCapture log;
    WebsockHarness harness;
    std::shared_ptr<testsupport::RecordingWorker> recorder;
};

// Sessions that each hold a message half-sent share the reassembly room:
// the one whose chunk no longer fits is closed with 1013, the others keep
// theirs, and the room comes back as messages complete or their sessions
// go. Messages that come in one piece are not held up.
TEST_F(Limits, PartialMessagesShareOneRoomAndWhatDoesNotFitIsClosedWithTryAgainLater)
{
    ASSERT_TRUE(start(3000 * KiB, 32 * 1024 * KiB));
    const std::string part(900 * KiB, 'p');
    const std::string head = message("held", R"(,"blob":")");

    // Three sessions hold 900 KiB each of an unfinished message (2700 KiB).
    WsTestClient holders[3];
    for (auto& h : holders) {
        open(h);
        ASSERT_TRUE(h.send_frame(testsupport::WS_TEXT, head + part, false));
    }
    ASSERT_TRUE(wait_until([&] { return reassembling() == 3 * (head.size() + part.size()); }));

    // Two more whose fragments do not fit: closed, one Warning for both.
    for (int i = 0; i < 2; ++i) {
        WsTestClient late;
        open(late);
        ASSERT_TRUE(late.send_frame(testsupport::WS_TEXT, std::string(400 * KiB, 'x'), false));
        ASSERT_TRUE(late.wait_closed(kPatienceMs));
        EXPECT_EQ(late.close_code, 1013);
        EXPECT_EQ(late.close_reason, "try again later");
        late.disconnect();
        ASSERT_TRUE(wait_until([&] { return harness.session_count() == 3; }));
    }
    EXPECT_EQ(warnings_starting(log, "AP messages being received hold "), 1u);
    EXPECT_EQ(reassembling(), 3 * (head.size() + part.size()));

    // A message in one frame of its own still goes through.
    WsTestClient small;
    open(small);
    ASSERT_TRUE(small.send_text(message("small")));
    ASSERT_TRUE(recorder->wait_received(1));

    // One holder finishes, one goes away: their room is free again, and a
    // new partial message fits.
    ASSERT_TRUE(holders[0].send_frame(testsupport::WS_CONTINUATION, "\"}", true));
    ASSERT_TRUE(recorder->wait_received(2));
    EXPECT_EQ(recorder->received()[1].text, head + part + "\"}");
    holders[1].disconnect();
    ASSERT_TRUE(wait_until([&] { return reassembling() == head.size() + part.size(); }));
    WsTestClient fits;
    open(fits);
    ASSERT_TRUE(fits.send_fragmented(sized("fits", 900 * KiB), 3));
    ASSERT_TRUE(recorder->wait_received(3));
    EXPECT_EQ(recorder->received()[2].text, sized("fits", 900 * KiB));

    holders[2].disconnect();
    ASSERT_TRUE(wait_until([&] { return reassembling() == 0 && queued() == 0; }));
}

// Complete texts waiting for the parsing thread share a room too: while the
// parsing thread is held up, the service thread waits for room instead of
// queueing more, and once it is let go every message arrives, in order.
TEST_F(Limits, TextsWaitingToBeParsedStayWithinTheirRoom)
{
    ASSERT_TRUE(start(32 * 1024 * KiB, 1000 * KiB));
    WsTestClient client;
    open(client);
    ASSERT_TRUE(client.send_text(message("block")));
    ASSERT_TRUE(recorder->wait_blocked());

    std::atomic<bool> watching{true};
    std::atomic<uint64_t> most{0};
    std::thread watcher([&] {
        while (watching.load()) {
            const uint64_t now = queued();
            if (now > most.load())
                most.store(now);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::vector<std::string> sent;
    for (int i = 0; i < 6; ++i) {
        sent.push_back(sized("q" + std::to_string(i), 300 * KiB));
        ASSERT_TRUE(client.send_text(sent.back()));
    }
    // Three fit beside the blocked one; the service thread waits with the
    // fourth.
    ASSERT_TRUE(wait_until([&] { return queued() >= 900 * KiB; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(queued(), 1000 * KiB);
    recorder->release();
    ASSERT_TRUE(recorder->wait_received(7));
    watching.store(false);
    watcher.join();
    EXPECT_LE(most.load(), 1000 * KiB);
    const auto got = recorder->received();
    ASSERT_EQ(got.size(), 7u);
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(got[i + 1].text, sent[i]) << i;
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_ERROR, "jsonificator_queue overflow: message dropped from session 1"),
              0u);
    ASSERT_TRUE(wait_until([&] { return queued() == 0 && reassembling() == 0; }));
}

// A message whose parsed document takes far more than its text (a shape
// no AP sends) is dropped before it reaches a domain worker's queue.
TEST_F(Limits, AMessageThatTakesTooMuchOnceParsedIsDroppedBeforeRouting)
{
    harness.server()->set_document_limit(2 * 1024 * KiB);
    ASSERT_TRUE(start(32 * 1024 * KiB, 32 * 1024 * KiB));
    std::string list;
    for (int i = 0; list.size() < 200 * KiB; ++i)
        list += i ? ",[{\"a\":0}]" : "[{\"a\":0}]";
    const std::string nested = message("nested", R"(,"list":[)" + list + "]");
    WsTestClient client;
    open(client);
    ASSERT_TRUE(client.send_text(nested));
    ASSERT_TRUE(client.send_text(sized("plain", 200 * KiB)));
    ASSERT_TRUE(recorder->wait_received(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(recorder->received().size(), 1u);
    EXPECT_EQ(recorder->received()[0].text, sized("plain", 200 * KiB));
    size_t errors = 0, dropped = 0;
    for (const auto& r : log.records()) {
        if (r.level != rrm::LOG_LEVEL_ERROR)
            continue;
        ++errors;
        dropped += r.text.rfind("Message from session 1 takes more than 2097152 bytes", 0) == 0 &&
                   r.text.find(" bytes once parsed, more than any AP message needs; dropped") !=
                       std::string::npos;
    }
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(errors, 1u);
}

// The size limit is what bounds one message's cost: parsed as the parsing
// thread parses (its own arena of 8192 bytes to start with), the costliest
// shapes of text at the limit take at most 256 MiB with the text itself.
TEST(MessageCost, TheCostliestShapesAtTheSizeLimitStayWithin256MiB)
{
    const size_t limit = rrm::WebsockServerWorker::MAX_MESSAGE_SIZE;
    const auto repeated = [&](const std::string& item) {
        std::string text = R"({"service":"rrm","cmd":"x","domain":"d","list":[)";
        while (text.size() + 2 * item.size() + 4 <= limit)
            text += item + ",";
        return text + item + "]}";
    };
    std::string deep;
    for (int i = 0; i < 500; ++i)
        deep += '[';
    deep += std::string(500, ']');
    std::string keys = "{";
    for (int i = 0; keys.size() + 16 < limit; ++i)
        keys += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":[]";
    keys += "}";
    const std::vector<std::pair<std::string, std::string>> shapes = {
        {"one-member objects", repeated(R"({"a":0})")},
        {"arrays of one number", repeated("[0]")},
        {"objects holding an object", repeated(R"({"a":{}})")},
        {"arrays nested 500 deep", repeated(deep)},
        {"empty arrays", repeated("[]")},
        {"many keys", keys},
    };
    for (const auto& [name, text] : shapes) {
        SCOPED_TRACE(name);
        ASSERT_LE(text.size(), limit);
        rrm::JsonReader reader(text.c_str(), static_cast<std::size_t>(8192));
        ASSERT_FALSE(reader.is_null());
        EXPECT_LE(reader.arena_bytes() + text.size(), 256u * 1024 * 1024) << reader.arena_bytes();
    }
}

}  // namespace
