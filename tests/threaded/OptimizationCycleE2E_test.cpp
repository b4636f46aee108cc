// The optimisation cycle end to end: simulated APs on real WebSocket
// connections over 127.0.0.1 to the real registry, transport, domain worker
// and optimisation thread. A forced optimisation goes through the mode
// requests, the scans and the run to "rrm-info".
//
// The domain workers are built with planning delays of a second or two
// instead of 20 s and 15 s (settings without a configuration key), and
// subscriptions plan no cycle (use_optimization_event off): every cycle
// here is started by the management API's forced optimisation.

#include "ApSimulator.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "LogCapture.h"
#include "LogFolder.h"
#include "RrmWorker.h"
#include "TpcDcaSubworker.h"
#include "WebsockHarness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::SimRadio;
using testsupport::LogFolder;
using testsupport::SimVap;
using testsupport::wait_until;

// One BSSID an AP hears in its scan.
struct Heard {
    std::string bssid;
    int rssi;
    int channel;
};

// "rf-environment" with one scan of 5 GHz, 20 MHz neighbours.
std::string scan_of(const std::vector<Heard>& heard)
{
    std::string out = "[[";
    for (size_t i = 0; i < heard.size(); ++i) {
        if (i)
            out += ',';
        out += "{\"bssid\":\"" + heard[i].bssid + "\",\"primary-channel\":\"lower\",\"channel\":" +
               std::to_string(heard[i].channel) +
               ",\"band\":5,\"tx-power\":17,\"bandwidth\":20,\"rssi\":" +
               std::to_string(heard[i].rssi) + "}";
    }
    return out + "]]";
}

// An AP with one 5 GHz radio (id 0, 20 MHz, its MAC the AP's own) and one
// VAP that asks for neither 802.11k nor 802.11r, so "rrm-info" carries the
// radios alone and no "fbt-info" is sent.
ApSpec five_ghz_ap(const std::string& mac, const std::string& domain, int channel, int power,
                   const std::string& available = "36")
{
    ApSpec spec;
    spec.mac = mac;
    spec.domain = domain;
    spec.serial = "SN-" + mac;
    SimRadio radio;
    radio.id = 0;
    radio.channel = channel;
    radio.band = 5;
    radio.power = power;
    radio.power_max = 20;
    radio.power_min = 5;
    radio.available_channels = available;
    SimVap vap;
    vap.id = 0;
    vap.ssid = "corp";
    vap.k = false;
    radio.vaps.push_back(vap);
    spec.radios.push_back(radio);
    return spec;
}

// Planning steps a second or two apart; cycles only on request.
rrm::DomainConfig fast_settings()
{
    rrm::DomainConfig settings;
    settings.use_optimization_event = false;
    settings.replan_delay = 1;
    settings.mode_response_wait = 2;
    // scan_step 1 s: the scan wait is 3 x 1 + 1 = 4 s after the latest
    // answer (the run starts at once when every AP has answered).
    settings.own_scan_time = 1;
    return settings;
}

// A and B of domain "lab" on channel 36 at power 17: A hears B at -50 dBm,
// B hears A at -60 dBm.
std::pair<ApSpec, ApSpec> hearing_pair()
{
    ApSpec first = five_ghz_ap("02:00:00:00:01:00", "lab", 36, 17);
    ApSpec second = five_ghz_ap("02:00:00:00:02:00", "lab", 36, 17);
    first.rf_environment = scan_of({{"02:00:00:00:02:00", -50, 36}});
    second.rf_environment = scan_of({{"02:00:00:00:01:00", -60, 36}});
    return {first, second};
}

class CycleE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.start()); }

    void start_domain(const std::string& domain, const rrm::DomainConfig& settings)
    {
        harness.registry->add_domain_worker(domain, settings);
    }
    // Connects and subscribes; true once the subscription is answered.
    bool join(ApSimulator& ap)
    {
        return ap.connect(harness.port()) && ap.subscribe() &&
               ap.wait_for("subscribe-response").has_value();
    }
    // The management API's forced optimisation, inside the worker's lock.
    bool force(const std::string& domain)
    {
        bool accepted = false;
        harness.registry->run_on_domain(
            domain, [&](rrm::RrmWorker& worker) { accepted = worker.force_optimization(); });
        return accepted;
    }
    void on_domain(const std::string& domain, const std::function<void(rrm::RrmWorker&)>& fn)
    {
        ASSERT_TRUE(harness.registry->run_on_domain(domain, fn));
    }
    rrm::JsonReader details(const std::string& domain)
    {
        std::string text;
        harness.registry->run_on_domain(domain, [&](rrm::RrmWorker& worker) {
            rrm::JsonWriter out("");
            worker.to_json(out);
            text = out.to_string();
        });
        return rrm::JsonReader(text.c_str());
    }
    bool counts_become(const std::string& domain, int active, int unanswered)
    {
        return wait_until([&] {
            const rrm::JsonReader json = details(domain);
            const rrm::JsonReader d = json.child("details");
            return !d.is_null() && d.get_int("ap-count") == active &&
                   d.get_int("unanswered-ap-count") == unanswered;
        });
    }
    bool state_becomes(const std::string& domain, int state)
    {
        return wait_until([&] {
            const rrm::JsonReader json = details(domain);
            const rrm::JsonReader d = json.child("details");
            return d.has("rrm-status") && d.get_int("rrm-status") == state;
        });
    }
    // The domain-state payloads of event 24 so far.
    std::vector<std::string> states_reported()
    {
        std::vector<std::string> out;
        for (const auto& e : log.events())
            if (e.code == rrm::EVENT_TPC_DCA_STATE)
                out.push_back(e.details);
        return out;
    }

    // Made first: its handlers are in place before any thread starts.
    testsupport::LogCapture log;
    testsupport::WebsockHarness harness{{"lab", "tpc0", "tpc1", "tpc2", "tpc3", "tpc4"}};
};

// The radio of an "rrm-info" text: {channel, power}.
std::pair<int, int> planned_radio(const std::string& text)
{
    const rrm::JsonReader info(text.c_str());
    const rrm::JsonReader radio = info.child("radios").child(0);
    return {radio.get_int("channel"), radio.get_int("power")};
}

TEST_F(CycleE2E, ForcedOptimisationGoesThroughModesScansAndTheRun)
{
    start_domain("lab", fast_settings());
    // Two APs that hear each other quietly (-80 and -75 dBm on channel 36).
    ApSpec first = five_ghz_ap("02:00:00:00:01:00", "lab", 36, 10);
    ApSpec second = five_ghz_ap("02:00:00:00:02:00", "lab", 36, 10);
    // A 2.4 GHz radio on each, so that the scan request names both bands.
    for (ApSpec* spec : {&first, &second}) {
        SimRadio radio;
        radio.id = 1;
        radio.channel = 6;
        radio.band = 2;
        radio.power = 10;
        radio.available_channels = "6";
        spec->radios.push_back(radio);
    }
    first.rf_environment = scan_of({{"02:00:00:00:02:00", -80, 36}});
    second.rf_environment = scan_of({{"02:00:00:00:01:00", -75, 36}});
    ApSimulator a(first);
    ApSimulator b(second);
    ASSERT_TRUE(join(a));
    ASSERT_TRUE(join(b));
    ASSERT_TRUE(counts_become("lab", 2, 0));
    log.clear();

    ASSERT_TRUE(force("lab"));
    for (ApSimulator* ap : {&a, &b}) {
        const std::string mac = ap->spec().mac;
        SCOPED_TRACE(mac);
        auto request = ap->wait_for("rrm-request-mode");
        ASSERT_TRUE(request);
        EXPECT_EQ(*request, R"({"service":"rrm","version":"2.4","cmd":"rrm-request-mode",)"
                            R"("domain":"lab","ap-mac":")" +
                                mac + R"("})");
        // The domain scans as a whole: every AP at once ("rrm-scan-delay" 0),
        // over the channels the domain's APs allow: 2.4 GHz first, then 5 GHz.
        auto update = ap->wait_for("rrm-update");
        ASSERT_TRUE(update);
        EXPECT_EQ(*update, R"({"service":"rrm","version":"2.4","cmd":"rrm-update",)"
                           R"("domain":"lab","ap-mac":")" +
                               mac +
                               R"(","rrm-scan-delay":0,"rrm-scan-channels":"6 36",)"
                               R"("rrm-scan-channels-list":[{"2":"6","5":"36","6":""}],)"
                               R"("tavik-rrm-scanning":1})");
        ASSERT_TRUE(ap->wait_for("rrm-info"));
    }
    // Nobody is heard louder than -68 dBm (threshold -70 + hysteresis 2), so
    // nothing is lowered; each 5 GHz radio rises by the gap between the
    // threshold and its loudest neighbour, when that one is below -72:
    //   first hears -80: 10 + (-70 - -80) = 20;  second hears -75: 10 + 5 = 15.
    // The 2.4 GHz radios hear nobody on their band: to their upper bound, 20.
    const auto info_a = rrm::JsonReader(a.received("rrm-info").at(0).c_str());
    const auto info_b = rrm::JsonReader(b.received("rrm-info").at(0).c_str());
    EXPECT_EQ(info_a.child("radios").child(0).get_int("power"), 20);
    EXPECT_EQ(info_b.child("radios").child(0).get_int("power"), 15);
    EXPECT_EQ(info_a.child("radios").child(1).get_int("power"), 20);
    EXPECT_EQ(info_b.child("radios").child(1).get_int("power"), 20);

    // Each AP saw the cycle's messages in order, nothing else.
    for (ApSimulator* ap : {&a, &b})
        EXPECT_EQ(ap->received().size(), 4u);
    EXPECT_EQ(testsupport::cmd_of(a.received()[1]), "rrm-request-mode");
    EXPECT_EQ(testsupport::cmd_of(a.received()[2]), "rrm-update");
    EXPECT_EQ(testsupport::cmd_of(a.received()[3]), "rrm-info");

    // The domain state through the cycle: planned by force (4), the mode
    // wait entered and restarted by each answer (2), the scan wait entered
    // and restarted by each answer (3), the run (5), its end (0) and the
    // idle planning after it (0).
    ASSERT_TRUE(state_becomes("lab", 0));
    ASSERT_TRUE(wait_until([&] { return states_reported().size() >= 10; }));
    std::vector<std::string> expected;
    for (int status : {4, 2, 2, 2, 3, 3, 3, 5, 0, 0})
        expected.push_back(R"({"location":"lab", "status":)" + std::to_string(status) + "}");
    EXPECT_EQ(states_reported(), expected);

    const rrm::JsonReader status = details("lab");
    const rrm::JsonReader metrics = status.child("details").child("metrics");
    EXPECT_EQ(metrics.get_int("rrm-mode-response-count"), 2);
    EXPECT_EQ(metrics.get_int("rrm-response-count"), 2);
    EXPECT_EQ(metrics.get_int("timer-request-modes-count"), 1);
    EXPECT_EQ(metrics.get_int("timer-request-scan-count"), 1);
    // The start of the run and at least one completion check.
    EXPECT_GE(metrics.get_int("timer-optimize-count"), 2);
    for (const auto& record : log.records())
        EXPECT_NE(record.level, rrm::LOG_LEVEL_ERROR) << record.text;
}

TEST_F(CycleE2E, LargeDomainIsCopiedAndToldItsRrmInfoInShares)
{
    rrm::DomainConfig settings = fast_settings();
    settings.use_80211k = true;
    start_domain("lab", settings);
    // Typical tri-band APs (4 VAPs with 802.11k a radio), each hearing the
    // three radios of the next four: more APs than one share of the run's
    // snapshot, and more "rrm-info" text (some 5 KB an AP) than one share of
    // the outbox.
    const int n = static_cast<int>(rrm::TpcDcaSubworker::SNAPSHOT_APS_PER_PASS) + 16;
    auto radio_mac = [](int ap, int radio) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "02:30:00:00:%02X:%02X", ap, radio * 16);
        return std::string(mac);
    };
    std::vector<std::unique_ptr<ApSimulator>> aps;
    for (int i = 0; i < n; ++i) {
        ApSpec spec = ApSpec::typical(radio_mac(i, 0), "lab");
        std::string scan = "[[";
        static const int channels[] = {6, 36, 37};
        static const int bands[] = {2, 5, 6};
        for (int k = 1; k <= 4; ++k)
            for (int r = 0; r < 3; ++r)
                scan += std::string(k == 1 && r == 0 ? "" : ",") + "{\"bssid\":\"" +
                        radio_mac((i + k) % n, r) + "\",\"channel\":" + std::to_string(channels[r]) +
                        ",\"band\":" + std::to_string(bands[r]) +
                        ",\"rssi\":-60,\"bandwidth\":20,\"tx-power\":17}";
        spec.rf_environment = scan + "]]";
        aps.push_back(std::make_unique<ApSimulator>(spec));
        ASSERT_TRUE(join(*aps.back()));
    }
    ASSERT_TRUE(counts_become("lab", n, 0));
    ASSERT_TRUE(force("lab"));
    for (auto& ap : aps)
        ASSERT_TRUE(ap->wait_for("rrm-info")) << ap->spec().mac;
    ASSERT_TRUE(state_becomes("lab", 0));
    // One "rrm-info" each, after the cycle's requests, with the radios and
    // the four APs heard (three radios each) in the 802.11k list. (The
    // "fbt-info" of their 802.11r VAPs come with the subscriptions and the
    // updates.)
    for (auto& ap : aps) {
        SCOPED_TRACE(ap->spec().mac);
        EXPECT_EQ(ap->count("rrm-info"), 1u);
        std::vector<std::string> cmds;
        for (const std::string& text : ap->received())
            if (testsupport::cmd_of(text) != "fbt-info")
                cmds.push_back(testsupport::cmd_of(text));
        EXPECT_EQ(cmds, (std::vector<std::string>{"subscribe-response", "rrm-request-mode",
                                                  "rrm-update", "rrm-info"}));
        const rrm::JsonReader info(ap->received("rrm-info").at(0).c_str());
        EXPECT_STREQ(info.get_string("ap-mac"), ap->spec().mac.c_str());
        EXPECT_EQ(info.child("radios").size(), 3);
        EXPECT_EQ(info.child("802dot11k").size(), 12);
    }
    for (const auto& record : log.records())
        EXPECT_NE(record.level, rrm::LOG_LEVEL_ERROR) << record.text;
}

TEST_F(CycleE2E, TransmitPowersOfSmallDomains)
{
    struct ApCase {
        const char* mac;
        int power;
        std::vector<Heard> heard;
        int expected_power;
        // Raw members appended to the radio ("locked-for-tpc", another bound).
        std::string extra;
        int power_max = 20;
    };
    struct Case {
        const char* name;
        std::vector<ApCase> aps;
    };
    const char* A = "02:00:00:00:01:00";
    const char* B = "02:00:00:00:02:00";
    const char* C = "02:00:00:00:03:00";
    const char* D = "02:00:00:00:04:00";
    const char* E = "02:00:00:00:05:00";
    // Thresholds of the 5 GHz band: -70 dBm, hysteresis 2. A neighbour heard
    // above -68 lowers the radio it hears by (rssi - -70), within 5..20; a
    // radio that nobody hears that loud rises by (-70 - loudest) when its
    // loudest neighbour is below -72, to 20 when it hears nobody.
    const Case cases[] = {
        {"two APs heard too loud by each other",
         // B: 17 - (-50 - -70) = -3, held at the floor 5.
         // A: 17 - (-60 - -70) = 7. Both lowered: neither is raised.
         {{A, 17, {{B, -50, 36}}, 7, ""}, {B, 17, {{A, -60, 36}}, 5, ""}}},
        {"two quiet APs",
         // Nobody above -68. A: loudest -80 < -72: 10 + 10 = 20.
         // B: loudest -73 < -72: 10 + 3 = 13.
         {{A, 10, {{B, -80, 36}}, 20, ""}, {B, 10, {{A, -73, 36}}, 13, ""}}},
        {"at the edges of the hysteresis",
         // A heard at -67 > -68: 17 - 3 = 14. B heard at exactly -68: not
         // lowered; its loudest neighbour, -67, is not below -72: kept at 17.
         {{A, 17, {{B, -68, 36}}, 14, ""}, {B, 17, {{A, -67, 36}}, 17, ""}}},
        {"three APs in a row",
         // A and B hear each other at -60: each 17 - 10 = 7. B hears C at
         // -70: not lowered. C hears B at -75 < -72: 12 + 5 = 17.
         {{A, 17, {{B, -60, 36}}, 7, ""},
          {B, 17, {{A, -60, 36}, {C, -70, 36}}, 7, ""},
          {C, 12, {{B, -75, 36}}, 17, ""}}},
        {"five APs around one",
         // A hears B at -55: 17 - 15 = 2, held at 5; C at -66: 17 - 4 = 13,
         // although C is locked for power planning (a lock keeps a radio
         // from rising and from judging others, not from being lowered);
         // D at -69 and E at -90: not lowered. A itself is heard only by E,
         // at -78: not lowered; its loudest neighbour is B at -55, not below
         // -72: kept at 17. D hears nobody: to its upper bound 18. E hears A
         // at -78 < -72: 10 + 8 = 18.
         {{A, 17, {{B, -55, 36}, {C, -66, 36}, {D, -69, 36}, {E, -90, 36}}, 17, ""},
          {B, 17, {}, 5, ""},
          {C, 17, {}, 13, ",\"locked-for-tpc\":1"},
          {D, 8, {}, 18, "", 18},
          {E, 10, {{A, -78, 36}}, 18, ""}}},
    };
    rrm::DomainConfig settings = fast_settings();
    settings.use_dca = false;  // the channels stay; only powers are planned
    // One domain per case, all planned at once.
    std::vector<std::vector<std::unique_ptr<ApSimulator>>> sims(std::size(cases));
    for (size_t n = 0; n < std::size(cases); ++n) {
        const std::string domain = "tpc" + std::to_string(n);
        start_domain(domain, settings);
        for (const ApCase& ap : cases[n].aps) {
            ApSpec spec = five_ghz_ap(ap.mac, domain, 36, ap.power);
            spec.radios[0].extra = ap.extra;
            spec.radios[0].power_max = ap.power_max;
            spec.rf_environment = scan_of(ap.heard);
            sims[n].push_back(std::make_unique<ApSimulator>(spec));
            ASSERT_TRUE(join(*sims[n].back()));
        }
        ASSERT_TRUE(counts_become(domain, static_cast<int>(cases[n].aps.size()), 0));
    }
    for (size_t n = 0; n < std::size(cases); ++n)
        ASSERT_TRUE(force("tpc" + std::to_string(n)));
    for (size_t n = 0; n < std::size(cases); ++n) {
        const Case& c = cases[n];
        SCOPED_TRACE(c.name);
        for (size_t i = 0; i < c.aps.size(); ++i) {
            SCOPED_TRACE(c.aps[i].mac);
            auto info = sims[n][i]->wait_for("rrm-info");
            ASSERT_TRUE(info);
            EXPECT_EQ(planned_radio(*info), std::make_pair(36, c.aps[i].expected_power));
        }
    }
}

TEST_F(CycleE2E, RrmInfoAfterARunInFull)
{
    start_domain("lab", fast_settings());
    const auto [first, second] = hearing_pair();
    ApSimulator a(first);
    ApSimulator b(second);
    ASSERT_TRUE(join(a));
    ASSERT_TRUE(join(b));
    ASSERT_TRUE(counts_become("lab", 2, 0));
    ASSERT_TRUE(force("lab"));
    auto info = a.wait_for("rrm-info");
    ASSERT_TRUE(info);
    // The domain's flags from its settings (channel assignment on, 802.11v
    // off), then the AP's radio as planned: B heard A at -60, so A's power
    // is 17 - 10 = 7; the radio object as sent to APs (20 MHz: primary
    // "none", the steering defaults).
    EXPECT_EQ(*info,
              R"({"service":"rrm","version":"2.4","cmd":"rrm-info","ap-mac":"02:00:00:00:01:00",)"
              R"("use-tpc":1,"use-dca":1,"use-load-balance":1,"use-80211v":0,"radios":[{"id":0,)"
              R"("channel":36,"band":5,"power":7,"bandwidth":20,"primary-channel":"none",)"
              R"("tavik-sta-rssi-thr-low":-75,"tavik-sta-rssi-thr-high":-65,)"
              R"("tavik-roam-attempt-timeout":600,"tavik-client-rssi-renew":15,)"
              R"("tavik-client-max-age":20,"tavik-try-no-balance":2,"no-balance-enterprise":0}]})");
}

TEST_F(CycleE2E, ChannelAssignmentMovesCoChannelApsApart)
{
    rrm::DomainConfig settings = fast_settings();
    settings.use_dca = true;
    settings.use_tpc = false;  // the powers stay as the APs report them
    start_domain("lab", settings);
    const std::string all = "36 40 44 48";
    ApSpec a_spec = five_ghz_ap("02:00:00:00:01:00", "lab", 36, 17, all);
    ApSpec b_spec = five_ghz_ap("02:00:00:00:02:00", "lab", 36, 17, all);
    ApSpec c_spec = five_ghz_ap("02:00:00:00:03:00", "lab", 48, 17, "48");
    c_spec.radios[0].extra = ",\"locked-for-dca\":1";
    a_spec.rf_environment =
        scan_of({{"02:00:00:00:02:00", -50, 36}, {"02:00:00:00:03:00", -60, 48}});
    b_spec.rf_environment = scan_of({{"02:00:00:00:01:00", -50, 36}});
    ApSimulator a(a_spec);
    ApSimulator b(b_spec);
    ApSimulator c(c_spec);
    for (ApSimulator* ap : {&a, &b, &c})
        ASSERT_TRUE(join(*ap));
    ASSERT_TRUE(counts_become("lab", 3, 0));
    ASSERT_TRUE(force("lab"));

    // Worked out by hand. C is locked: never a candidate. A hears two
    // distinct channels (36, 48), B one (36): A is handled first.
    // A's histogram (20 MHz masks: 100 % at the channel, 70 % at +-1, 30 %
    // at +-2, weight rssi + 100): B at -50 gives 36:50, 35/37:35, 34/38:15;
    // C at -60 gives 48:40, 47/49:28, 46/50:12. Costs (sum of ch-2..ch+2):
    // 36 = 150, 40 = 15 (bin 38), 44 = 12 (bin 46), 48 = 120. A moves to 44.
    // B's record of A follows (44). B's histogram: A at 44: 44:50, 43/45:35,
    // 42/46:15. Costs: 36 = 0, 40 = 15, 44 = 150, 48 = 15: B stays on 36.
    // The second pass finds A's 44 (12) and B's 36 (0) cheapest: no move.
    std::map<std::string, std::pair<int, int>> planned;
    for (ApSimulator* ap : {&a, &b, &c}) {
        auto info = ap->wait_for("rrm-info");
        ASSERT_TRUE(info);
        planned[ap->spec().mac] = planned_radio(*info);
        EXPECT_EQ(rrm::JsonReader(info->c_str()).get_int("use-dca"), 1);
    }
    EXPECT_EQ(planned["02:00:00:00:01:00"], std::make_pair(44, 17));
    EXPECT_EQ(planned["02:00:00:00:02:00"], std::make_pair(36, 17));
    EXPECT_EQ(planned["02:00:00:00:03:00"], std::make_pair(48, 17));

    // The live record B keeps of A followed the move.
    on_domain("lab", [](rrm::RrmWorker& worker) {
        auto b_ap = worker.aps.table.at(rrm::mac_from_string("02:00:00:00:02:00"));
        const auto& heard = b_ap->visible_members.table;
        auto it = heard.find(rrm::mac_from_string("02:00:00:00:01:00"));
        ASSERT_NE(it, heard.end());
        EXPECT_EQ(it->second.channel, 44);
    });
}

TEST_F(CycleE2E, SilentApsWaitInTheUnansweredMapAndComeBack)
{
    rrm::DomainConfig settings = fast_settings();
    settings.use_dca = false;
    settings.own_scan_time = 0;  // the scan wait: 3 x 0 + 1 = 1 s
    start_domain("lab", settings);
    ApSpec answering = five_ghz_ap("02:00:00:00:01:00", "lab", 36, 10);
    ApSpec no_scan = five_ghz_ap("02:00:00:00:02:00", "lab", 36, 10);
    ApSpec silent = five_ghz_ap("02:00:00:00:03:00", "lab", 36, 10);
    ApSimulator a(answering);
    ApSimulator b(no_scan);
    ApSimulator c(silent);
    b.answer_requests = false;
    c.answer_requests = false;
    for (ApSimulator* ap : {&a, &b, &c})
        ASSERT_TRUE(join(*ap));
    ASSERT_TRUE(counts_become("lab", 3, 0));
    ASSERT_TRUE(force("lab"));

    // B answers the mode request and then falls silent; C says nothing.
    ASSERT_TRUE(b.wait_for("rrm-request-mode"));
    ASSERT_TRUE(b.send(b.spec().mode_response()));
    ASSERT_TRUE(c.wait_for("rrm-request-mode"));
    // After the mode wait C is parked; B and A are asked to scan; A answers
    // at once, B never: after the scan wait B is parked too, and the run
    // goes on with A alone.
    ASSERT_TRUE(a.wait_for("rrm-info"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "Send rrm-update messages on domain lab size 2 drop 1"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "Start optimization on domain lab size 1 drop 1"));
    EXPECT_EQ(b.count("rrm-update"), 1u);
    EXPECT_EQ(c.count("rrm-update"), 0u);
    // The end of the run takes both back; they had no "rrm-info" from it.
    ASSERT_TRUE(counts_become("lab", 3, 0));
    EXPECT_EQ(b.count("rrm-info"), 0u);
    EXPECT_EQ(c.count("rrm-info"), 0u);
    // A hears nobody: to its upper bound.
    EXPECT_EQ(planned_radio(a.received("rrm-info").at(0)), std::make_pair(36, 20));

    // The next cycle asks all three again; now they all answer.
    b.answer_requests = true;
    c.answer_requests = true;
    ASSERT_TRUE(state_becomes("lab", 0));
    ASSERT_TRUE(force("lab"));
    for (ApSimulator* ap : {&a, &b, &c}) {
        SCOPED_TRACE(ap->spec().mac);
        EXPECT_TRUE(wait_until([&] { return ap->count("rrm-info") >= (ap == &a ? 2u : 1u); }));
    }
    EXPECT_EQ(c.count("rrm-request-mode"), 2u);
    EXPECT_TRUE(counts_become("lab", 3, 0));
}

std::vector<std::string> fields_of(const std::string& line)
{
    std::vector<std::string> out;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, ',');)
        out.push_back(field);
    return out;
}

TEST_F(CycleE2E, RunWritesItsReportAndAFailedRunChangesNothing)
{
    rrm::DomainConfig settings = fast_settings();
    settings.use_dca = false;
    start_domain("lab", settings);
    const auto [first, second] = hearing_pair();
    ApSimulator a(first);
    ApSimulator b(second);
    ASSERT_TRUE(join(a));
    ASSERT_TRUE(join(b));
    ASSERT_TRUE(counts_become("lab", 2, 0));

    // The first run fails inside the optimisation thread (an allocation
    // failure while the report is saved): no AP hears of it, the domain
    // goes back to idle and the worker serves on.
    log.fail_once("report_file_name = ");
    ASSERT_TRUE(force("lab"));
    ASSERT_TRUE(wait_until([&] {
        return log.has(rrm::LOG_LEVEL_WARNING,
                       "Optimization cancelled or failed: exception during optimization: "
                       "std::bad_alloc");
    }));
    ASSERT_TRUE(state_becomes("lab", 0));
    EXPECT_EQ(a.count("rrm-info"), 0u);
    EXPECT_EQ(b.count("rrm-info"), 0u);
    EXPECT_TRUE(LogFolder::lines(harness.reports / "report_lab.txt").empty());

    // The second run goes through and leaves one line per radio it may
    // change, the settings line and the index line.
    ASSERT_TRUE(force("lab"));
    ASSERT_TRUE(a.wait_for("rrm-info"));
    ASSERT_TRUE(b.wait_for("rrm-info"));
    const auto report = LogFolder::lines(harness.reports / "report_lab.txt");
    ASSERT_EQ(report.size(), 2u);
    std::map<std::string, std::vector<std::string>> by_ap;
    for (const std::string& line : report) {
        auto fields = fields_of(line);
        ASSERT_GE(fields.size(), 9u) << line;
        EXPECT_EQ(fields[0], "1.1");
        by_ap[fields[3]] = fields;
    }
    // Fields 3 to 8: AP MAC, radio MAC, power before and after, channel
    // before and after:
    // A 17 -> 7 (B hears it at -60), B 17 -> 5 (A hears it at -50, 17 - 20
    // held at the floor), both on 36.
    const auto& a_line = by_ap["02:00:00:00:01:00"];
    const auto& b_line = by_ap["02:00:00:00:02:00"];
    ASSERT_FALSE(a_line.empty());
    ASSERT_FALSE(b_line.empty());
    EXPECT_EQ(a_line[4], "02:00:00:00:01:00");
    EXPECT_EQ(a_line[5], "17");
    EXPECT_EQ(a_line[6], "7");
    EXPECT_EQ(a_line[7], "36");
    EXPECT_EQ(a_line[8], "36");
    EXPECT_EQ(b_line[5], "17");
    EXPECT_EQ(b_line[6], "5");
    // Lines of one run share its start (fields 1 and 2), which the index
    // names.
    EXPECT_EQ(a_line[1] + "," + a_line[2], b_line[1] + "," + b_line[2]);
    const auto index = LogFolder::lines(harness.reports / "report_idx_lab.txt");
    ASSERT_EQ(index.size(), 1u);
    EXPECT_NE(index[0].find(a_line[1] + "," + a_line[2]), std::string::npos) << index[0];
    EXPECT_EQ(LogFolder::lines(harness.reports / "report_cfg_lab.txt").size(), 1u);
}

}  // namespace
