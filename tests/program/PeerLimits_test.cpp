// The real binary against APs that speak for others, or say too much, over
// real WebSocket sessions on 127.0.0.1: steering messages count only from
// the session that holds their AP, a session holds one AP, a radio takes at
// most 2007 clients, and what an AP sends reaches the log quoted, one record
// a line. The domain's state is read through the TCP API.
//
// The domain "lab" runs on a pattern without event-driven optimisation, so
// no planning cycle holds its steering back while the tests look at it.
#include "ApSimulator.h"
#include "SteeringDomain.h"
#include "WendaraProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::lines_of;
using testsupport::steering_ap;
using testsupport::WendaraProcess;
using namespace std::chrono_literals;

const std::string A = "02:00:00:00:01:00";
const std::string B = "02:00:00:00:02:00";

// A client of `ap` on `radio`, marked not to be steered and heard between
// the thresholds: it is only recorded.
std::string assoc(const ApSpec& ap, int radio, const std::string& sta)
{
    return ap.message("rrm-client-assoc", ",\"radio\":" + std::to_string(radio) +
                                              ",\"rssi\":-70,\"sta-mac\":\"" + sta +
                                              "\",\"ssid\":\"corp\",\"no-balance\":1");
}

std::string nth(int n)
{
    char text[18];
    std::snprintf(text, sizeof text, "00:99:00:%02X:%02X:%02X", (n >> 16) & 0xff,
                  (n >> 8) & 0xff, n & 0xff);
    return text;
}

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        ++n;
    return n;
}

class ProgramPeers : public ::testing::Test {
protected:
    void SetUp() override
    {
        p.write_logger_config();
        p.write_config("", R"("patterns":[{"pattern":"calm","use_optimization_event":0}],)"
                           R"("domains":[{"domain":"lab","pattern":"calm"}])");
        p.start({p.config_path()});
        ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
        ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.all_logs_text() << p.stderr_text();
    }
    void TearDown() override
    {
        p.interrupt();
        EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
    }
    std::string ask(const std::string& request)
    {
        return testsupport::tcp_exchange(p.cli_port, request, 30s);
    }
    // The AP's state as the management API shows it ("" when none).
    std::string ap_state(const std::string& mac)
    {
        return ask(R"({"rrm":{"domain":"lab","ap":")" + mac + "\"}}");
    }
    // The clients the AP's radios hold, as the API lists them.
    size_t clients_of(const std::string& mac) { return occurrences(ap_state(mac), "\"dbm-signal\""); }
    bool clients_become(const std::string& mac, size_t n)
    {
        return testsupport::wait_until([&] { return clients_of(mac) == n; }, 30s);
    }
    bool subscribe(ApSimulator& ap)
    {
        if (!ap.connect(p.listen_port) || !ap.subscribe())
            return false;
        return ap.wait_for("subscribe-response").value_or("").find(R"("status":"success")") !=
               std::string::npos;
    }

    WendaraProcess p;
};

// A connection that never subscribed, and another AP's, used to plant
// clients on any AP, remove them, and empty its table. Only A's own session
// changes A now; the others get one Warning a period.
TEST_F(ProgramPeers, SteeringMessagesCountOnlyFromTheSessionThatHoldsTheirAp)
{
    const ApSpec a = steering_ap(A, "lab");
    const ApSpec b = steering_ap(B, "lab");
    ApSimulator ap_a(a), ap_b(b), stranger(a);
    ASSERT_TRUE(subscribe(ap_a));
    ASSERT_TRUE(subscribe(ap_b));
    ASSERT_TRUE(ap_a.send(assoc(a, 1, nth(1))));
    ASSERT_TRUE(ap_a.send(assoc(a, 1, nth(2))));
    ASSERT_TRUE(clients_become(A, 2)) << ap_state(A);

    const std::vector<std::string> foreign = {
        a.message("rrm-disassoc-all-clients"),
        assoc(a, 1, nth(3)),
        a.message("rrm-client-disassoc", R"(,"radio":1,"sta-mac":")" + nth(1) +
                                              R"(","ssid":"corp")"),
    };
    ASSERT_TRUE(stranger.connect(p.listen_port));
    for (const std::string& text : foreign) {
        ASSERT_TRUE(stranger.send(text));
        ASSERT_TRUE(ap_b.send(text));
    }
    // What each sent before is handled before its own next message: B's own
    // client, and the stranger's refused subscription.
    ASSERT_TRUE(ap_b.send(assoc(b, 1, nth(4))));
    ApSpec newer = a;
    newer.version = "2.9";
    ASSERT_TRUE(stranger.send(newer.subscribe_request()));
    ASSERT_TRUE(stranger.wait_for("subscribe-response"));
    ASSERT_TRUE(clients_become(B, 1));

    const std::string state = ap_state(A);
    EXPECT_EQ(occurrences(state, "\"dbm-signal\""), 2u) << state;
    EXPECT_EQ(occurrences(state, nth(1)), 1u);
    EXPECT_EQ(occurrences(state, nth(2)), 1u);
    const std::string log = p.all_logs_text();
    const size_t warnings = occurrences(log, "not taken: invalid session");
    EXPECT_GE(warnings, 1u);
    EXPECT_LT(warnings, 6u) << "one a period, not one a message";

    // A itself is still heard.
    ASSERT_TRUE(ap_a.send(a.message("rrm-disassoc-all-clients")));
    EXPECT_TRUE(clients_become(A, 0));
}

// One connection subscribed APs made up by the thousand. A session now
// holds one AP: asking for another is refused with 400 and the connection
// closed; the other AP is never added, nor taken from its own session.
TEST_F(ProgramPeers, ASessionThatAsksForASecondApIsRefusedAndClosed)
{
    ApSimulator ap_a(steering_ap(A, "lab")), ap_b(steering_ap(B, "lab"));
    ASSERT_TRUE(subscribe(ap_b));
    ASSERT_TRUE(subscribe(ap_a));
    ASSERT_TRUE(ap_a.send(steering_ap("02:00:00:00:03:00", "lab").subscribe_request()));
    EXPECT_EQ(ap_a.wait_for("subscribe-response").value_or(""),
              R"({"service":"rrm","version":"2.4","cmd":"subscribe-response",)"
              R"("status":"fail","code":400,"ap-mac":"02:00:00:00:03:00"})");
    EXPECT_TRUE(ap_a.wait_closed());
    ASSERT_TRUE(ap_b.send(steering_ap(A, "lab").subscribe_request()));
    EXPECT_EQ(ap_b.wait_for("subscribe-response").value_or(""),
              R"({"service":"rrm","version":"2.4","cmd":"subscribe-response",)"
              R"("status":"fail","code":400,"ap-mac":"02:00:00:00:01:00"})");
    EXPECT_TRUE(ap_b.wait_closed());

    // Both wait as deleted, the made-up AP is nowhere.
    const std::string entry = R"({"name":"lab","ap-count":0,"unanswered-ap-count":0,)"
                              R"("deleted-ap-count":2,"common-config":0})";
    EXPECT_TRUE(testsupport::wait_until(
        [&] { return ask(R"({"rrm":{}})").find(entry) != std::string::npos; }, 30s))
        << ask(R"({"rrm":{}})");
    EXPECT_NE(ap_state("02:00:00:00:03:00").find(R"("error":"ap not found")"), std::string::npos);
    EXPECT_NE(p.all_logs_text().find("Send subscribe-response 'fail': session "),
              std::string::npos);

    // A comes back on a connection of its own.
    ApSimulator again(steering_ap(A, "lab"));
    EXPECT_TRUE(subscribe(again));
}

// A flood of forged associations used to leave tens of thousands of
// clients on one radio. An 802.11 radio associates at most 2007 stations:
// the rest are refused, with one Warning a period.
TEST_F(ProgramPeers, ARadioHoldsAtMost2007Clients)
{
    const ApSpec a = steering_ap(A, "lab");
    ApSimulator ap_a(a);
    ASSERT_TRUE(subscribe(ap_a));
    // In batches, each closed by a "rrm-config-changed" that is answered
    // with "rrm-info" once everything before it was handled: a full domain
    // queue drops what comes, and a slow (sanitizer) build would fill it.
    for (int i = 0; i < 2100; i += 150) {
        for (int k = i; k < std::min(i + 150, 2100); ++k)
            ASSERT_TRUE(ap_a.send(assoc(a, 1, nth(k))));
        ASSERT_TRUE(ap_a.send(a.config_changed()));
        ASSERT_TRUE(ap_a.wait_for("rrm-info", 60000)) << "batch from " << i;
    }
    const std::string state = ap_state(A);
    EXPECT_EQ(occurrences(state, "\"dbm-signal\""), 2007u);
    EXPECT_EQ(occurrences(state, nth(2006)), 1u);
    EXPECT_EQ(occurrences(state, nth(2007)), 0u);
    const std::string log = p.all_logs_text();
    const size_t warnings = occurrences(log, " refused on radio 1 of AP " + A);
    EXPECT_GE(warnings, 1u);
    EXPECT_LT(warnings, 10u) << "93 refusals, one Warning a period";
    EXPECT_NE(log.find("Client " + nth(2007) + " refused on radio 1 of AP " + A +
                       ": the radio holds 2007, the most an 802.11 radio can associate"),
              std::string::npos);
}

// SSIDs, client and target MACs used to reach Warning and Error records
// whole: a text with a line break wrote a record of the AP's making, and
// a long one grew the log by its length. They are quoted now: control
// bytes as \xNN, at most 1024 bytes and the length.
TEST_F(ProgramPeers, RecordsQuoteWhatAnApSaysOnOneLine)
{
    const std::string forged = "2030-01-01 00:00:00,000 ERROR forged record";
    const std::string tail(3000, 'x');
    ApSpec a = steering_ap(A, "lab");
    // The VAP's MAC lies outside its radio's range: the Warning names the
    // SSID. In JSON the line break is "\n".
    a.radios[0].vaps[0].ssid = "corp\\n" + forged + tail;
    a.radios[0].vaps[0].mac = "02:00:00:00:09:00";
    ApSimulator ap_a(a);
    ASSERT_TRUE(subscribe(ap_a));
    ASSERT_TRUE(ap_a.send(a.message("rrm-sta-roam", R"(,"radio":1,"sta-mac":")" + nth(1) +
                                                         R"(","target-mac":"nowhere\n)" +
                                                         forged + tail + "\"")));
    ASSERT_TRUE(ap_a.send(a.config_changed()));
    ASSERT_TRUE(ap_a.wait_for("rrm-info"));

    const std::string log = p.all_logs_text();
    size_t longest = 0;
    for (const std::string& line : lines_of(log)) {
        longest = std::max(longest, line.size());
        EXPECT_NE(line.rfind(forged, 0), 0u) << "a record of the AP's making: " << line;
    }
    EXPECT_LT(longest, 1300u);
    const std::string ssid_length = std::to_string(5 + forged.size() + tail.size());
    EXPECT_NE(log.find("for ssid=corp\\x0a" + forged + "xxx"), std::string::npos);
    EXPECT_NE(log.find("... (" + ssid_length + " bytes)"), std::string::npos);
    EXPECT_NE(log.find("No target ap with mac nowhere\\x0a" + forged), std::string::npos);
}

}  // namespace
