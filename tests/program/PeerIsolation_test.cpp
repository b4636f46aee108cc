// What one access point's flood costs the others, on the real binary over
// real connections: a domain whose worker cannot keep up loses its own
// messages (with a Warning now and then), and texts that are costly to parse
// wait behind everybody else's; either way an AP of another domain is
// answered and the TCP API serves meanwhile.
#include "ApSimulator.h"
#include "WebsockServerWorker.h"
#include "WendaraProcess.h"
#include "WsTestClient.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::WendaraProcess;
using testsupport::WsTestClient;
using namespace std::chrono_literals;

constexpr int kPatienceMs = 60000;

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        ++n;
    return n;
}

// Connections that send as fast as the server takes, and never read.
class Flood {
public:
    ~Flood() { stop(); }

    // Each sender gets a connected client; `next` gives the text to send
    // after `first`.
    void start(int port, int senders, const std::function<std::string(int)>& first,
               const std::function<std::string(int)>& next)
    {
        for (int i = 0; i < senders; ++i)
            threads_.emplace_back([=] {
                WsTestClient c;
                if (c.connect(port) != 101)
                    return;
                {
                    std::lock_guard<std::mutex> g(m_);
                    fds_.push_back(c.fd());
                }
                std::string text = first(i);
                while (running_ && c.send_text(text)) {
                    ++sent_;
                    text = next(i);
                }
            });
    }
    void stop()
    {
        running_ = false;
        {
            // Unblocks a send the server does not take.
            std::lock_guard<std::mutex> g(m_);
            for (int fd : fds_)
                ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& t : threads_)
            t.join();
        threads_.clear();
    }
    uint64_t sent() const { return sent_.load(); }

private:
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> sent_{0};
    std::vector<std::thread> threads_;
    std::mutex m_;
    std::vector<int> fds_;
};

class ProgramPeerIsolation : public ::testing::Test {
protected:
    void SetUp() override
    {
        // As in production: the Debug and Trace records of every message
        // would make the service thread, not the floods, set the pace.
        p.write_logger_config(WendaraProcess::logger_config("* DEBUG:\n    ENABLED = false\n"
                                                            "* TRACE:\n    ENABLED = false\n"));
        p.write_config("", "\"domains\":[{\"domain\":\"flooded\",\"pattern\":\"common\"},"
                           "{\"domain\":\"quiet\",\"pattern\":\"common\"}]");
        p.start({p.config_path()});
        ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.stderr_text();
        ASSERT_TRUE(p.wait_for_port(p.cli_port));
    }
    void TearDown() override
    {
        flood.stop();
        p.interrupt();
        EXPECT_EQ(0, p.wait(120s).code) << p.stderr_text();
    }

    // An AP of "quiet" subscribes and is answered.
    void quiet_ap_subscribes(const std::string& mac)
    {
        ApSimulator ap(ApSpec::typical(mac, "quiet"));
        ASSERT_TRUE(ap.connect(p.listen_port));
        ASSERT_TRUE(ap.subscribe());
        auto answer = ap.wait_for("subscribe-response", kPatienceMs);
        ASSERT_TRUE(answer.has_value());
        EXPECT_NE(answer->find("\"status\":\"success\""), std::string::npos) << *answer;
    }
    // The TCP API lists the domains that have a worker (reading each inside
    // its worker's lock).
    void tcp_api_lists(const std::vector<std::string>& domains)
    {
        const std::string list = testsupport::tcp_exchange(p.cli_port, "{\"rrm\":{}}",
                                                           std::chrono::milliseconds(kPatienceMs));
        for (const std::string& domain : domains)
            EXPECT_NE(list.find("\"" + domain + "\""), std::string::npos) << list;
    }

    WendaraProcess p;
    Flood flood;
};

// Three APs of one domain send their subscription again and again and read
// nothing: each costs the domain worker more than parsing it costs, so the
// worker's queue fills. The parsing thread used to wait for room (up to
// 65 s a message), the service thread behind it, and no AP of any domain
// was answered for minutes. Now the flooding sessions' messages wait for
// room, and their reading with them, while everybody else is served.
TEST_F(ProgramPeerIsolation, ADomainThatCannotKeepUpSlowsItsOwnSendersOnly)
{
    const auto subscription = [](int i) {
        // An AP's radios and VAPs take the MACs after its own (16 a radio):
        // APs one MAC apart would share them and take each other over.
        return ApSpec::typical("02:0f:00:00:0" + std::to_string(i) + ":00", "flooded").subscribe_request();
    };
    flood.start(p.listen_port, 3, subscription, subscription);
    ASSERT_TRUE(p.wait_for_log("Worker 'flooded' queue full: ", 120s)) << flood.sent();

    quiet_ap_subscribes("02:0a:00:00:00:01");
    tcp_api_lists({"flooded", "quiet"});
    flood.stop();

    // The flooded domain itself serves again.
    ApSimulator again(ApSpec::typical("02:0f:00:00:09:00", "flooded"));
    ASSERT_TRUE(again.connect(p.listen_port));
    // What the flood left queued may still fill the domain's queue for a
    // while: the AP asks again, as a real one does when its subscription
    // goes unanswered.
    bool answered = false;
    for (int tries = 0; tries < 12 && !answered; ++tries) {
        ASSERT_TRUE(again.subscribe());
        answered = again.wait_for("subscribe-response", kPatienceMs / 12).has_value();
    }
    EXPECT_TRUE(answered);

    // A record now and then, not one per message that waited; none lost.
    const std::string log = p.all_logs_text();
    const size_t warnings = count(log, "WARNING server/lib/Worker.cpp offer_or_keep: Worker "
                                       "'flooded' queue full: ");
    EXPECT_GE(warnings, 1u);
    EXPECT_LE(warnings, 20u);
    EXPECT_EQ(0u, count(log, "Worker 'flooded' queue overflow"));
    EXPECT_EQ(0u, count(log, "ERROR server/lib/Worker.cpp enqueue_message: Worker 'flooded'"));
}

// Three connections send texts of the parser's costliest known shape, just
// under the message limit (each takes a large fraction of a second to
// parse, and is then dropped for its size). They used to be parsed in the
// order they came, 32 MiB of them ahead of anybody else's message.
TEST_F(ProgramPeerIsolation, TextsThatAreCostlyToParseWaitBehindTheOthers)
{
    std::string costly = R"({"service":"rrm","cmd":"x","version":"2.4","domain":"flooded","list":[)";
    while (costly.size() + 12 < 1024 * 1024 - 64)
        costly += R"({"a":0},)";
    costly += R"({"a":0}]})";
    // By value: the senders run until TearDown, after this body's locals are gone.
    const auto same = [costly](int) { return costly; };
    flood.start(p.listen_port, 3, same, same);
    const std::string dropped = "bytes once parsed, more than any AP message needs; dropped";
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return count(p.all_logs_text(), dropped) >= 3; }, std::chrono::milliseconds(kPatienceMs)));

    // Between the subscription and its answer, at most the parse in
    // progress and one that began as the subscription arrived end on each
    // parsing thread (the others go on with the costly texts meanwhile);
    // in arrival order it was every text queued before it.
    const size_t before = count(p.all_logs_text(), dropped);
    quiet_ap_subscribes("02:0a:00:00:01:00");
    const size_t after = count(p.all_logs_text(), dropped);
    EXPECT_LE(after - before, 2u * rrm::WebsockServerWorker::MAX_PARSE_THREADS);
    tcp_api_lists({"quiet"});
    // The costly connections are slowed, not shut out.
    EXPECT_TRUE(testsupport::wait_until(
        [&] { return count(p.all_logs_text(), dropped) >= after + 2; },
        std::chrono::milliseconds(kPatienceMs)));
}

}  // namespace
