// The domain worker end to end: simulated APs on real WebSocket connections
// over 127.0.0.1 to the real registry, transport and domain worker.

#include "ApSimulator.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "LogCapture.h"
#include "RrmWorker.h"
#include "WebsockHarness.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>
#include <string>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::SimRadio;
using testsupport::SimVap;
using testsupport::wait_until;

class DomainE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.start()); }

    // The domain's "details" as the management API reads it: inside the
    // worker's lock. Empty when the domain has no worker.
    std::string details()
    {
        std::string text;
        harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& worker) {
            rrm::JsonWriter out("");
            worker.to_json(out);
            text = out.to_string();
        });
        return text;
    }
    // Waits until the details satisfy pred.
    bool details_become(const std::function<bool(const rrm::JsonReader&)>& pred)
    {
        return wait_until([&] {
            const std::string text = details();
            if (text.empty())
                return false;
            const rrm::JsonReader json(text.c_str());
            return pred(json.child("details"));
        });
    }
    bool counts_become(int active, int unanswered, int deleted)
    {
        return details_become([&](const rrm::JsonReader& d) {
            return d.get_int("ap-count") == active && d.get_int("unanswered-ap-count") == unanswered &&
                   d.get_int("deleted-ap-count") == deleted;
        });
    }

    // Made first: its handlers are in place before any thread starts.
    testsupport::LogCapture log;
    testsupport::WebsockHarness harness{{"lab"}};
};

// One radio on channel 6, one VAP "ab" with 802.11k and 802.11r.
ApSpec small_ap(const std::string& mac)
{
    ApSpec spec;
    spec.mac = mac;
    spec.domain = "lab";
    SimRadio radio;
    radio.id = 0;
    radio.channel = 6;
    radio.band = 2;
    SimVap vap;
    vap.id = 0;
    vap.ssid = "ab";
    vap.r = true;
    vap.r0 = "SN0001";
    vap.r1 = "00:00:00:00:01:00";
    vap.rrb_key = "KEYabcdefghijklm";
    radio.vaps.push_back(vap);
    spec.radios.push_back(radio);
    return spec;
}

TEST_F(DomainE2E, ApSubscribesAndReceivesItsConfigurationAndFbtInfo)
{
    ApSimulator ap(small_ap("02:00:00:00:01:00"));
    ASSERT_TRUE(ap.connect(harness.port()));
    ASSERT_TRUE(ap.subscribe());

    // Worked out by hand: the header, the settings of the common pattern
    // (TPC, DCA, balancing and 802.11r on, 802.11v off), the one enabled
    // radio as sent to APs (20 MHz: "none"; the steering defaults -75, -65,
    // 600, 15, 20, 2, 0), and the AP's 802.11k list, empty: it hears nobody.
    auto response = ap.wait_for("subscribe-response");
    ASSERT_TRUE(response);
    EXPECT_EQ(*response,
              R"({"service":"rrm","version":"2.4","cmd":"subscribe-response","status":"success",)"
              R"("domain":"lab","ap-mac":"02:00:00:00:01:00","config":{"use-tpc":1,"use-dca":1,)"
              R"("use-load-balance":1,"use-80211r":1,"use-80211v":0,"radios":[{"id":0,)"
              R"("channel":6,"band":2,"power":17,"bandwidth":20,"primary-channel":"none",)"
              R"("tavik-sta-rssi-thr-low":-75,"tavik-sta-rssi-thr-high":-65,)"
              R"("tavik-roam-attempt-timeout":600,"tavik-client-rssi-renew":15,)"
              R"("tavik-client-max-age":20,"tavik-try-no-balance":2,"no-balance-enterprise":0}],)"
              R"("802dot11k":[]}})");
    // The mobility domain of "ab" is 0x6162; the R1 key holder takes the
    // local bit of the radio (heard by nobody, so named by its own MAC).
    auto fbt = ap.wait_for("fbt-info");
    ASSERT_TRUE(fbt);
    EXPECT_EQ(*fbt,
              R"({"service":"rrm","version":"2.4","cmd":"fbt-info","ap-mac":"02:00:00:00:01:00",)"
              R"("wendara-use-80211r":1,"fbt-over-ds":0,"fbt-reassoc-deadline":1000,"vaps":[{)"
              R"("vap_id":0,"radio_id":0,"fbt-rrb-key":"KEYabcdefghijklm",)"
              R"("mobility-domain":24930,"r0-key-holder-id":"SN0001",)"
              R"("r1-key-holder-id":"02:00:00:00:01:00","remotes":[]}]})");
    // The answer comes first, then "fbt-info", and nothing else.
    EXPECT_EQ(ap.received(), (std::vector<std::string>{*response, *fbt}));
    EXPECT_TRUE(counts_become(1, 0, 0));
    // The new AP, and the cycle it plans (state 0 -> 4), change the domain.
    EXPECT_EQ(log.event_count(rrm::EVENT_DOMAIN_CHANGED), 2u);
}

TEST_F(DomainE2E, TypicalApsSubscribe)
{
    // Three radios with four VAPs each, two APs: both answered, each
    // "subscribe-response" with the three enabled radios.
    ApSimulator first(ApSpec::typical("02:00:00:00:01:00"));
    ApSimulator second(ApSpec::typical("02:00:00:00:02:00"));
    for (ApSimulator* ap : {&first, &second}) {
        ASSERT_TRUE(ap->connect(harness.port()));
        ASSERT_TRUE(ap->subscribe());
        auto response = ap->wait_for("subscribe-response");
        ASSERT_TRUE(response);
        const rrm::JsonReader json(response->c_str());
        EXPECT_STREQ(json.get_string("status"), "success");
        EXPECT_STREQ(json.get_string("ap-mac"), ap->spec().mac.c_str());
        EXPECT_EQ(json.child("config").child("radios").size(), 3);
        auto fbt = ap->wait_for("fbt-info");
        ASSERT_TRUE(fbt);
        EXPECT_EQ(rrm::JsonReader(fbt->c_str()).child("vaps").size(), 12);
    }
    ASSERT_TRUE(counts_become(2, 0, 0));
    const rrm::JsonReader status(details().c_str());
    const rrm::JsonReader aps = status.child("details").child("aps");
    ASSERT_EQ(aps.size(), 2);
    EXPECT_STREQ(aps.child(0).get_string("mac"), "02:00:00:00:01:00");
    EXPECT_STREQ(aps.child(1).get_string("mac"), "02:00:00:00:02:00");
}

TEST_F(DomainE2E, SecondSubscriptionFromANewSessionTakesTheApOver)
{
    ApSimulator old_link(small_ap("02:00:00:00:01:00"));
    ASSERT_TRUE(old_link.connect(harness.port()));
    ASSERT_TRUE(old_link.subscribe());
    ASSERT_TRUE(old_link.wait_for("subscribe-response"));

    // The AP comes back on a new connection while the old one still looks
    // alive: the old connection is closed, the AP answered on the new one.
    ApSimulator new_link(small_ap("02:00:00:00:01:00"));
    ASSERT_TRUE(new_link.connect(harness.port()));
    ASSERT_TRUE(new_link.subscribe());
    auto response = new_link.wait_for("subscribe-response");
    ASSERT_TRUE(response);
    EXPECT_STREQ(rrm::JsonReader(response->c_str()).get_string("status"), "success");
    EXPECT_TRUE(new_link.wait_for("fbt-info"));
    EXPECT_TRUE(old_link.wait_closed());
    EXPECT_EQ(old_link.close_code(), 1000);

    // The closed session's notice reaches the worker, and leaves the AP,
    // now on the new session, where it is.
    ASSERT_TRUE(wait_until([&] { return harness.session_count() == 1; }));
    EXPECT_TRUE(counts_become(1, 0, 0));
    uint32_t held_session = 0;
    harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& worker) {
        for (const auto& entry : worker.aps.table)
            held_session = entry.second->session.id;
    });
    EXPECT_EQ(held_session, harness.sessions().at(0).id);
}

TEST_F(DomainE2E, UnsubscribeAndDroppedSessionsMoveApsBetweenMaps)
{
    ApSimulator leaving(small_ap("02:00:00:00:01:00"));
    ApSimulator lost(small_ap("02:00:00:00:02:00"));
    for (ApSimulator* ap : {&leaving, &lost}) {
        ASSERT_TRUE(ap->connect(harness.port()));
        ASSERT_TRUE(ap->subscribe());
        ASSERT_TRUE(ap->wait_for("subscribe-response"));
    }
    ASSERT_TRUE(counts_become(2, 0, 0));

    // An unsubscription forgets the AP at once.
    ASSERT_TRUE(leaving.unsubscribe());
    EXPECT_TRUE(counts_become(1, 0, 0));

    // A connection that ends leaves its AP in the deleted map for the away
    // time: 120 s / 10 s = 12 domain-timer runs.
    lost.drop();
    ASSERT_TRUE(counts_become(0, 0, 1));
    int ttl = 0;
    bool dropped = false;
    harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& worker) {
        for (const auto& entry : worker.aps_to_delete.table) {
            ttl = entry.second->ttl;
            dropped = entry.second->session_dropped;
        }
    });
    EXPECT_EQ(ttl, 12);
    EXPECT_TRUE(dropped);

    // It comes back on a new connection and is active again.
    ASSERT_TRUE(lost.connect(harness.port()));
    ASSERT_TRUE(lost.subscribe());
    auto response = lost.wait_for("subscribe-response");
    ASSERT_TRUE(response);
    EXPECT_STREQ(rrm::JsonReader(response->c_str()).get_string("status"), "success");
    EXPECT_TRUE(counts_become(1, 0, 0));
    // Each change of the domain was announced: two subscriptions, the
    // unsubscription, the drop, the return.
    EXPECT_TRUE(wait_until([&] { return log.event_count(rrm::EVENT_DOMAIN_CHANGED) >= 5; }));
}

TEST_F(DomainE2E, MessageChecksOverTheWire)
{
    ApSimulator ap(small_ap("02:00:00:00:01:00"));
    ASSERT_TRUE(ap.connect(harness.port()));
    ASSERT_TRUE(ap.subscribe());
    ASSERT_TRUE(ap.wait_for("subscribe-response"));
    const ApSpec spec = ap.spec();

    struct Case {
        const char* name;
        std::string text;
        const char* warning;
        int event;
    };
    ApSpec old_version = spec;
    old_version.version = "2.5";
    const Case cases[] = {
        {"unknown command", spec.message("rrm-hello"), "Incoming message validation failed",
         rrm::EVENT_MSG_VALIDATION_FAILED},
        {"service in capitals",
         R"({"service":"RRM","cmd":"rrm-config-changed","version":"2.4","domain":"lab","ap-mac":"02:00:00:00:01:00"})",
         "Incoming message validation failed", rrm::EVENT_MSG_VALIDATION_FAILED},
        {"no ap-mac", R"({"service":"rrm","cmd":"rrm-config-changed","version":"2.4","domain":"lab"})",
         "Incoming message validation failed", rrm::EVENT_MSG_VALIDATION_FAILED},
        // The worker's own commands, sent by an AP: not admitted.
        {"stop from an AP", R"({"service":"internal-ipc","cmd":"stop","domain":"lab"})",
         "Incoming message validation failed", rrm::EVENT_MSG_VALIDATION_FAILED},
        {"drop-session from an AP", R"({"service":"rrm-internal","cmd":"drop-session","domain":"lab"})",
         "Incoming message validation failed", rrm::EVENT_MSG_VALIDATION_FAILED},
        {"version 2.5", old_version.config_changed(), "Incoming message version failed",
         rrm::EVENT_MSG_VERSION_FAILED},
        {"no version",
         R"({"service":"rrm","cmd":"rrm-sta-roam","domain":"lab","ap-mac":"02:00:00:00:01:00"})",
         "Incoming message version failed", rrm::EVENT_MSG_VERSION_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t warnings = log.count(rrm::LOG_LEVEL_WARNING, c.warning);
        const size_t events = log.event_count(c.event);
        ASSERT_TRUE(ap.send(c.text));
        EXPECT_TRUE(wait_until([&] {
            return log.count(rrm::LOG_LEVEL_WARNING, c.warning) == warnings + 1 &&
                   log.event_count(c.event) == events + 1;
        }));
    }
    // None of it was answered, and the domain is as it was: the AP's stop
    // stopped nothing and its drop-session dropped nothing.
    EXPECT_FALSE(log.has(rrm::LOG_LEVEL_DEBUG, "Aborting lab"));
    EXPECT_TRUE(counts_become(1, 0, 0));
    // A configuration change with a version from 2.0 to 2.4 is served.
    ApSpec older = spec;
    older.version = "2.0";
    ASSERT_TRUE(ap.send(older.config_changed()));
    EXPECT_TRUE(ap.wait_for("rrm-info"));
    EXPECT_EQ(ap.count("subscribe-response"), 1u);
}

TEST_F(DomainE2E, ConfigChangedIsAnsweredWithRrmInfo)
{
    ApSimulator ap(small_ap("02:00:00:00:01:00"));
    ASSERT_TRUE(ap.connect(harness.port()));
    ASSERT_TRUE(ap.subscribe());
    ASSERT_TRUE(ap.wait_for("subscribe-response"));

    ap.update_spec([](ApSpec& s) { s.radios[0].power_max = 14; });
    ASSERT_TRUE(ap.config_changed());
    auto info = ap.wait_for("rrm-info");
    ASSERT_TRUE(info);
    // The settings, the radios and the 802.11k list, for the AP's own MAC.
    EXPECT_EQ(*info,
              R"({"service":"rrm","version":"2.4","cmd":"rrm-info","ap-mac":"02:00:00:00:01:00",)"
              R"("use-tpc":1,"use-dca":1,"use-load-balance":1,"use-80211v":0,"radios":[{"id":0,)"
              R"("channel":6,"band":2,"power":14,"bandwidth":20,"primary-channel":"none",)"
              R"("tavik-sta-rssi-thr-low":-75,"tavik-sta-rssi-thr-high":-65,)"
              R"("tavik-roam-attempt-timeout":600,"tavik-client-rssi-renew":15,)"
              R"("tavik-client-max-age":20,"tavik-try-no-balance":2,"no-balance-enterprise":0}],)"
              R"("802dot11k":[]})");
    // A new power limit is a new configuration: planned anew.
    EXPECT_TRUE(wait_until([&] {
        return log.count(rrm::LOG_LEVEL_DEBUG, "Force optimization dmain lab") >= 2;
    }));
    EXPECT_TRUE(details_become([](const rrm::JsonReader& d) {
        return d.child("metrics").get_int("rrm-config-changed-count") == 1;
    }));
}

TEST_F(DomainE2E, DomainTimerReportsTheDomain)
{
    ApSimulator ap(small_ap("02:00:00:00:01:00"));
    ASSERT_TRUE(ap.connect(harness.port()));
    ASSERT_TRUE(ap.subscribe());
    ASSERT_TRUE(ap.wait_for("subscribe-response"));
    // The first run comes 10 s after the worker started, while the cycle
    // that the AP's radio on a channel planned waits its 20 s (state 4).
    const std::string line =
        "Domain lab state (4) aps: 1 unanswered_aps: 0 aps_to_delete: 0 queued: 0 "
        "load_balancer_lock: 0 load_balancer_stop: 0 counter: 0\n\tMetrics: subscribe-request ";
    EXPECT_TRUE(wait_until([&] {
        for (const auto& r : log.records())
            if (r.level == rrm::LOG_LEVEL_DEBUG && r.text.compare(0, line.size(), line) == 0)
                return true;
        return false;
    }));
    std::string found;
    for (const auto& r : log.records())
        if (r.text.compare(0, line.size(), line) == 0)
            found = r.text;
    // One subscription counted; its average duration is whatever it took.
    const size_t at = found.find("/1 unsubscribe-request 0/0\n\trrm-response 0/0 "
                                 "rrm-mode-response 0/0 rrm-config-changed 0/0\n\t"
                                 "timer-request-modes 0/0 timer-request-scan 0/0 "
                                 "timer-optimize 0/0");
    EXPECT_NE(at, std::string::npos) << found;
}

TEST_F(DomainE2E, FailedSubscriptionIsAnsweredAndClosed)
{
    ApSpec spec = small_ap("02:00:00:00:01:00");
    spec.version = "3.0";
    ApSimulator ap(spec);
    ASSERT_TRUE(ap.connect(harness.port()));
    ASSERT_TRUE(ap.subscribe());
    auto response = ap.wait_for("subscribe-response");
    ASSERT_TRUE(response);
    EXPECT_EQ(*response, R"({"service":"rrm","version":"2.4","cmd":"subscribe-response",)"
                         R"("status":"fail","code":503,"ap-mac":"02:00:00:00:01:00"})");
    EXPECT_TRUE(ap.wait_closed());
    EXPECT_EQ(ap.close_code(), 1000);
}

TEST_F(DomainE2E, ApThatSubscribesAndVanishesBehindABacklogLeavesNoGhost)
{
    ApSimulator first(small_ap("02:00:00:00:01:00"));
    ASSERT_TRUE(first.connect(harness.port()));
    ASSERT_TRUE(first.subscribe());
    ASSERT_TRUE(first.wait_for("subscribe-response"));
    ASSERT_TRUE(counts_become(1, 0, 0));
    auto worker = harness.registry->find_worker("lab");
    ASSERT_TRUE(worker);

    // The domain is busy (a long management query holds its worker) while
    // the first AP's messages pile up, and a new AP subscribes and its
    // connection is lost at once: its request waits behind the backlog, the
    // drop notice goes ahead of it.
    std::promise<void> entered;
    std::promise<void> go;
    std::thread busy([&] {
        harness.registry->run_on_domain("lab", [&](rrm::RrmWorker&) {
            entered.set_value();
            go.get_future().wait();
        });
    });
    entered.get_future().wait();
    const std::string idle = first.spec().message("rrm-client-disassoc");
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(first.send(idle));
    ApSimulator vanishing(small_ap("02:00:00:00:02:00"));
    ASSERT_TRUE(vanishing.connect(harness.port()));
    ASSERT_TRUE(vanishing.subscribe());
    ASSERT_TRUE(wait_until([&] { return worker->queue_size() == 51; }));
    vanishing.drop();
    // The transport has closed the session and told the worker.
    ASSERT_TRUE(wait_until([&] { return worker->queue_size() == 52; }));
    go.set_value();
    busy.join();

    // The subscription came from a session that no longer exists: the AP
    // is not taken, so no entry that never ages stays active in the domain.
    ASSERT_TRUE(wait_until([&] { return worker->queue_size() == 0; }));
    EXPECT_TRUE(counts_become(1, 0, 0));
    EXPECT_TRUE(wait_until([&] {
        return log.has(rrm::LOG_LEVEL_DEBUG,
                       "Subscription of 02:00:00:00:02:00 from a closed session not taken");
    }));
    const rrm::JsonReader status(details().c_str());
    const rrm::JsonReader aps = status.child("details").child("aps");
    ASSERT_EQ(aps.size(), 1);
    EXPECT_STREQ(aps.child(0).get_string("mac"), "02:00:00:00:01:00");
}

}  // namespace
