// Subscription, unsubscription and the MAC-range check of the domain worker,
// driven message by message on the test thread; what the worker sends is
// recorded by the registry.

#include "ApSimulator.h"
#include "DomainFixture.h"
#include "Log.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <unordered_set>

namespace {

using testsupport::ApSpec;
using testsupport::DomainFixture;
using testsupport::SimRadio;
using testsupport::SimVap;

// One radio on channel 6 with one VAP "ab" (802.11k and 802.11r, key holders
// given, the R1 one without the locally-administered bit).
ApSpec one_radio_ap(const std::string& mac = "02:00:00:00:01:00")
{
    ApSpec spec;
    spec.mac = mac;
    spec.domain = "d";
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

TEST(RrmWorkerSubscribe, NewApIsAnsweredWithItsConfigurationAndFbtInfo)
{
    DomainFixture domain;
    domain.from_ap(one_radio_ap().subscribe_request(), 1);

    // The answer by hand: the header ("version" 2.4 for service "rrm"), the
    // worker's settings (defaults: TPC, DCA, balancing, 802.11r on, 802.11v
    // off), the enabled radio in the form sent to APs (20 MHz: primary
    // "none"; steering values are the defaults -75, -65, 600, 15, 20, 2, 0),
    // then the 802.11k list: the AP has an 802.11k VAP and hears nobody.
    const std::string response =
        R"({"service":"rrm","version":"2.4","cmd":"subscribe-response","status":"success",)"
        R"("domain":"d","ap-mac":"02:00:00:00:01:00","config":{"use-tpc":1,"use-dca":1,)"
        R"("use-load-balance":1,"use-80211r":1,"use-80211v":0,"radios":[{"id":0,"channel":6,)"
        R"("band":2,"power":17,"bandwidth":20,"primary-channel":"none",)"
        R"("tavik-sta-rssi-thr-low":-75,"tavik-sta-rssi-thr-high":-65,)"
        R"("tavik-roam-attempt-timeout":600,"tavik-client-rssi-renew":15,)"
        R"("tavik-client-max-age":20,"tavik-try-no-balance":2,"no-balance-enterprise":0}],)"
        R"("802dot11k":[]}})";
    // "fbt-info": mobility domain of "ab" is 0x6162 = 24930 (two bytes shift
    // in without reaching the polynomial). The R1 key holder names the
    // radio, which nobody hears, so it takes the radio MAC's local bit:
    // 00:00:00:00:01:00 becomes 02:00:00:00:01:00.
    const std::string fbt =
        R"({"service":"rrm","version":"2.4","cmd":"fbt-info","ap-mac":"02:00:00:00:01:00",)"
        R"("wendara-use-80211r":1,"fbt-over-ds":0,"fbt-reassoc-deadline":1000,"vaps":[{)"
        R"("vap_id":0,"radio_id":0,"fbt-rrb-key":"KEYabcdefghijklm","mobility-domain":24930,)"
        R"("r0-key-holder-id":"SN0001","r1-key-holder-id":"02:00:00:00:01:00","remotes":[]}]})";
    auto sent = domain.sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].text, response);
    EXPECT_EQ(sent[0].session.id, 1u);
    EXPECT_EQ(sent[1].text, fbt);
    EXPECT_EQ(sent[1].session.id, 1u);

    ASSERT_NE(domain.find(domain.worker->aps, "02:00:00:00:01:00"), nullptr);
    // The new AP, then the planned state (0 -> 4) change the domain.
    EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), 2u);
    // An enabled radio on a channel: the domain plans again.
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Force optimization dmain d"));
    EXPECT_EQ(domain.tpc().state, 4);
    EXPECT_EQ(domain.worker->subscribe_metric.count, 1);
}

TEST(RrmWorkerSubscribe, RefusedSubscriptions)
{
    struct Case {
        const char* name;
        std::string request;
        bool server_off;
        int code;
        const char* answered_mac;
    };
    ApSpec good = one_radio_ap();
    ApSpec newer = good;
    newer.version = "2.5";
    ApSpec no_mac = good;
    no_mac.mac = "x";
    ApSpec zero_count = good;
    zero_count.ap_mac_count = 0;
    auto without_factory = [&](const std::string& factory) {
        return good.message("subscribe-request", factory + good.radios_member());
    };
    const Case cases[] = {
        {"server disabled", good.subscribe_request(), true, 404, "02:00:00:00:01:00"},
        {"version 2.5", newer.subscribe_request(), false, 503, "02:00:00:00:01:00"},
        {"no factory", without_factory(""), false, 503, "02:00:00:00:01:00"},
        {"factory null", without_factory(R"(,"factory":null)"), false, 503, "02:00:00:00:01:00"},
        {"empty serial",
         without_factory(R"(,"factory":{"board":"b","hw":"h","serial":"","mac":"m"})"), false,
         503, "02:00:00:00:01:00"},
        {"hw a number",
         without_factory(R"(,"factory":{"board":"b","hw":7,"serial":"s","mac":"m"})"), false,
         503, "02:00:00:00:01:00"},
        // Not kept under 00:00:00:00:00:00.
        {"ap-mac not a MAC", no_mac.subscribe_request(), false, 400, "00:00:00:00:00:00"},
        {"ap-mac-count 0", zero_count.subscribe_request(), false, 400, "02:00:00:00:01:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain;
        if (c.server_off)
            domain.config->global_update(rrm::JsonReader(R"({"enabled":0})"));
        domain.from_ap(c.request, 3);
        auto sent = domain.sent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].text, std::string(R"({"service":"rrm","version":"2.4",)") +
                                    R"("cmd":"subscribe-response","status":"fail","code":)" +
                                    std::to_string(c.code) + R"(,"ap-mac":")" +
                                    c.answered_mac + "\"}");
        EXPECT_EQ(sent[0].session.id, 3u);
        // Then the session is closed, once the answer is out.
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "drop_session_at_websock_worker: 3 force: 0"));
        EXPECT_TRUE(domain.worker->aps.empty());
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), 0u);
    }
}

// A session holds one AP: the one it subscribed, or took over. A
// subscription for any other AP on it is refused with 400, and the session
// closed as after every refusal; the other AP is neither added nor taken
// over. A holds session 1 in every case.
TEST(RrmWorkerSubscribe, ASessionHoldsOneAp)
{
    const std::string a = "02:00:00:00:01:00";
    const std::string b = "02:00:00:00:02:00";
    struct Case {
        const char* name;
        std::function<void(DomainFixture&)> before;  // after A subscribed on 1
        std::string request;                         // sent on session 1
        bool refused;
    };
    ApSpec spec_a = one_radio_ap(a);
    SimVap second;
    second.id = 1;
    second.ssid = "cd";
    spec_a.radios[0].vaps.push_back(second);
    const ApSpec spec_b = one_radio_ap(b);
    ApSpec a_by_vap = spec_a;
    a_by_vap.mac = "02:00:00:00:01:01";  // A's VAP 1: radio 0's MAC + 1
    auto nothing = [](DomainFixture&) {};
    const Case cases[] = {
        {"a new AP", nothing, spec_b.subscribe_request(), true},
        {"an AP active on another session: not taken over",
         [&](DomainFixture& d) { d.from_ap(spec_b.subscribe_request(), 2); },
         spec_b.subscribe_request(), true},
        {"an AP waiting as deleted",
         [&](DomainFixture& d) {
             d.from_ap(spec_b.subscribe_request(), 2);
             d.drop(2);
         },
         spec_b.subscribe_request(), true},
        {"A again: answered", nothing, spec_a.subscribe_request(), false},
        {"A again by its VAP's MAC: answered", nothing, a_by_vap.subscribe_request(), false},
        {"A parked as unanswered still holds the session",
         [&](DomainFixture& d) {
             auto ap = d.find(d.worker->aps, a);
             d.worker->aps.erase(ap->base_mac);
             d.worker->unanswered_aps.insert(ap->base_mac, ap);
         },
         spec_b.subscribe_request(), true},
        {"A left: the session holds nothing",
         [&](DomainFixture& d) { d.from_ap(spec_a.unsubscribe_request(), 1); },
         spec_b.subscribe_request(), false},
        {"A taken over by session 3: session 1 holds nothing",
         [&](DomainFixture& d) { d.from_ap(spec_a.subscribe_request(), 3); },
         spec_b.subscribe_request(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain;
        domain.from_ap(spec_a.subscribe_request(), 1);
        c.before(domain);
        auto b_before = domain.find(domain.worker->aps, b);
        const uint32_t b_session = b_before ? b_before->session.id : 0;
        const size_t aps = domain.worker->aps.size();
        const size_t deleted = domain.worker->aps_to_delete.size();
        const size_t mark = domain.sent().size();
        domain.log.clear();
        domain.from_ap(c.request, 1);

        auto sent = domain.sent();
        ASSERT_GT(sent.size(), mark);
        const std::string& answer = sent[mark].text;
        EXPECT_EQ(sent[mark].session.id, 1u);
        if (!c.refused) {
            EXPECT_NE(answer.find(R"("status":"success")"), std::string::npos) << answer;
            EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG,
                                        "drop_session_at_websock_worker: 1 force: 0"));
            continue;
        }
        EXPECT_EQ(answer, R"({"service":"rrm","version":"2.4","cmd":"subscribe-response",)"
                          R"("status":"fail","code":400,"ap-mac":"02:00:00:00:02:00"})");
        EXPECT_EQ(sent.size(), mark + 1) << "no fbt-info";
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG,
                                   "drop_session_at_websock_worker: 1 force: 0"));
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_WARNING,
                                   "Send subscribe-response 'fail': session 1 holds AP " + a +
                                       ", not " + b + " (0 more since the last such record)"));
        // Nothing changed: B is where it was, on its own session; nobody
        // else's session was closed.
        EXPECT_EQ(domain.worker->aps.size(), aps);
        EXPECT_EQ(domain.worker->aps_to_delete.size(), deleted);
        auto b_after = domain.find(domain.worker->aps, b);
        EXPECT_EQ(b_after, b_before);
        if (b_after) {
            EXPECT_EQ(b_after->session.id, b_session);
        }
        EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG,
                                    "drop_session_at_websock_worker: 2 force: 1"));
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), 0u);
    }
}

TEST(RrmWorkerSubscribe, MacRangesOfANewAp)
{
    struct RadioMacs {
        bool enabled;
        int offset;
        int count;
    };
    struct Case {
        const char* name;
        int ap_mac_count;  // -1: not sent (48)
        std::vector<RadioMacs> radios;
        std::vector<std::string> errors;  // in order; none: accepted
    };
    // Base MAC 00:11:22:33:44:00: offset 16 is 00:11:22:33:44:10.
    const Case cases[] = {
        {"two 16-MAC ranges within 48", 48, {{true, 0, 16}, {true, 16, 16}}, {}},
        {"48 when not sent", -1, {{true, 0, 16}, {true, 16, 16}, {true, 32, 16}}, {}},
        {"first range reaches the second",
         48,
         {{true, 0, 17}, {true, 16, 16}},
         {"MAC ranges overlapped: radio0 00:11:22:33:44:00 max_mac_count=17, radio1 "
          "00:11:22:33:44:10"}},
        {"same MAC: reported from both sides",
         48,
         {{true, 0, 16}, {true, 0, 16}},
         {"MAC ranges overlapped: radio0 00:11:22:33:44:00 max_mac_count=16, radio1 "
          "00:11:22:33:44:00",
          "MAC ranges overlapped: radio1 00:11:22:33:44:00 max_mac_count=16, radio0 "
          "00:11:22:33:44:00"}},
        {"ap-mac-count 0", 0, {{true, 0, 16}}, {"Invalid ap-mac-count(0)"}},
        {"range beyond the AP's count",
         48,
         {{true, 40, 16}},
         {"Invalid one or more radio MAC parameters:  radio-mac-count(16), mac-offset(40), "
          "ap-mac-count(48)"}},
        {"zero count", 48, {{true, 0, 0}},
         {"Invalid one or more radio MAC parameters:  radio-mac-count(0), mac-offset(0), "
          "ap-mac-count(48)"}},
        // 2147483640 + 16 does not fit 32 bits; wrapped, it would pass.
        {"range beyond the 32-bit limit",
         2147483647,
         {{true, 2147483640, 16}},
         {"Invalid one or more radio MAC parameters:  radio-mac-count(16), "
          "mac-offset(2147483640), ap-mac-count(2147483647)"}},
        {"a disabled radio is not examined", 48, {{true, 0, 16}, {false, 200, 0}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain;
        ApSpec spec;
        spec.mac = "00:11:22:33:44:00";
        spec.domain = "d";
        spec.ap_mac_count = c.ap_mac_count;
        for (size_t i = 0; i < c.radios.size(); ++i) {
            SimRadio radio;
            radio.id = static_cast<int>(i);
            radio.enabled = c.radios[i].enabled;
            radio.channel = 36;
            radio.available_channels = "36 40";
            radio.mac_offset = c.radios[i].offset;
            radio.radio_mac_count = c.radios[i].count;
            spec.radios.push_back(radio);
        }
        domain.from_ap(spec.subscribe_request(), 1);
        std::vector<std::string> errors;
        for (const auto& r : domain.log.records())
            if (r.level == rrm::LOG_LEVEL_ERROR)
                errors.push_back(r.text);
        const auto answer = rrm::JsonReader(domain.last("subscribe-response").c_str());
        if (c.errors.empty()) {
            EXPECT_TRUE(errors.empty());
            EXPECT_STREQ(answer.get_string("status"), "success");
            EXPECT_EQ(domain.worker->aps.size(), 1u);
            EXPECT_EQ(domain.worker->channel_sets[5], (std::unordered_set<int32_t>{36, 40}));
            continue;
        }
        std::vector<std::string> expected = c.errors;
        expected.push_back("Send subscribe-response 'fail' due to invalid MAC parameters");
        EXPECT_EQ(errors, expected);
        EXPECT_STREQ(answer.get_string("status"), "fail");
        EXPECT_EQ(answer.get_int("code"), 400);
        EXPECT_TRUE(domain.worker->aps.empty());
        // A refused AP's channels are not the domain's to plan with.
        for (const auto& band : domain.worker->channel_sets)
            EXPECT_TRUE(band.empty());
        auto events = domain.log.events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].code, rrm::EVENT_INVALID_MAC_PARAMS);
        EXPECT_EQ(events[0].details, "00:11:22:33:44:00");
    }
}

TEST(RrmWorkerSubscribe, KnownActiveApTakesTheNewSessionOver)
{
    struct Case {
        const char* name;
        uint32_t second_session;
        bool old_session_dropped;
        const char* drop_line;  // null: no drop asked for
    };
    const Case cases[] = {
        {"same session: nothing replaced", 1, false, nullptr},
        {"new session: the old one is closed first", 2, false,
         "drop_session_at_websock_worker: 1 force: 1"},
        {"old session already gone", 2, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain;
        domain.from_ap(one_radio_ap().subscribe_request(), 1);
        auto ap = domain.find(domain.worker->aps, "02:00:00:00:01:00");
        ASSERT_NE(ap, nullptr);
        ap->session_dropped = c.old_session_dropped;
        domain.log.clear();
        domain.from_ap(one_radio_ap().subscribe_request(), c.second_session);

        EXPECT_EQ(domain.log.count(rrm::LOG_LEVEL_DEBUG, "To exists subscribe request"), 1u);
        size_t drops = 0;
        for (const auto& r : domain.log.records())
            if (r.text.rfind("drop_session_at_websock_worker", 0) == 0)
                ++drops;
        EXPECT_EQ(drops, c.drop_line ? 1u : 0u);
        if (c.drop_line) {
            EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, c.drop_line));
        }
        EXPECT_EQ(ap->session.id, c.second_session);
        EXPECT_FALSE(ap->session_dropped);
        EXPECT_EQ(domain.worker->aps.size(), 1u);
        // Answered again on the new session, "fbt-info" included.
        ASSERT_EQ(domain.sent().size(), 4u);
        EXPECT_EQ(domain.sent()[2].session.id, c.second_session);
        EXPECT_EQ(testsupport::cmd_of(domain.sent()[2].text), "subscribe-response");
        EXPECT_EQ(testsupport::cmd_of(domain.sent()[3].text), "fbt-info");
    }
}

TEST(RrmWorkerSubscribe, DeletedApComesBackUnderItsOwnMacWhicheverBssidItGives)
{
    // The AP subscribes again with the MAC of its VAP (radio 0's MAC + 1):
    // it returns to the active map under its base MAC and leaves the
    // deleted map.
    struct Case {
        const char* name;
        const char* given_mac;
    };
    const Case cases[] = {
        {"base MAC", "02:00:00:00:01:00"},
        {"VAP BSSID", "02:00:00:00:01:01"},
        {"VAP BSSID, local bit flipped", "00:00:00:00:01:01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain;
        ApSpec spec = one_radio_ap();
        spec.radios[0].vaps[0].id = 1;  // VAP MAC 02:00:00:00:01:01
        domain.from_ap(spec.subscribe_request(), 1);
        domain.drop(1);
        ASSERT_EQ(domain.worker->aps_to_delete.size(), 1u);
        domain.log.clear();

        ApSpec again = spec;
        again.mac = c.given_mac;
        domain.from_ap(again.subscribe_request(), 2);
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "To delete subscribe request, scan state 0"));
        ASSERT_EQ(domain.worker->aps.size(), 1u);
        auto ap = domain.find(domain.worker->aps, "02:00:00:00:01:00");
        ASSERT_NE(ap, nullptr) << "held under its base MAC";
        EXPECT_EQ(ap->session.id, 2u);
        EXPECT_TRUE(domain.worker->aps_to_delete.empty());
        EXPECT_TRUE(domain.worker->aps_to_delete.index.empty());
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), 1u);
        EXPECT_STREQ(rrm::JsonReader(domain.last("subscribe-response").c_str()).get_string("ap-mac"),
                     "02:00:00:00:01:00");
    }
}

TEST(RrmWorkerSubscribe, DeletedApReturningDuringAPlanningCycleForcesAPlan)
{
    for (int state : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(state);
        DomainFixture domain;
        domain.from_ap(one_radio_ap().subscribe_request(), 1);
        domain.drop(1);
        domain.tpc().state = state;
        domain.log.clear();
        domain.from_ap(one_radio_ap().subscribe_request(), 2);
        const bool scanning = state == 2 || state == 3;
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG,
                                   std::string("To delete subscribe request, scan state ") +
                                       (scanning ? "1" : "0")));
        // Unchanged radios: only a cycle that is collecting answers makes
        // the comparison count as not equivalent.
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Not-equivalent or force (1) subscribe request"),
                  scanning);
    }
}

TEST(RrmWorkerSubscribe, UnansweredApStaysWhereItIs)
{
    DomainFixture domain;
    domain.from_ap(one_radio_ap().subscribe_request(), 1);
    auto ap = domain.find(domain.worker->aps, "02:00:00:00:01:00");
    domain.worker->aps.erase(ap->base_mac);
    domain.worker->unanswered_aps.insert(ap->base_mac, ap);
    domain.log.clear();

    domain.from_ap(one_radio_ap().subscribe_request(), 2);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "To unanswered subscribe request"));
    EXPECT_TRUE(domain.worker->aps.empty());
    EXPECT_EQ(domain.find(domain.worker->unanswered_aps, "02:00:00:00:01:00"), ap);
    EXPECT_EQ(ap->session.id, 2u);
    EXPECT_STREQ(rrm::JsonReader(domain.last("subscribe-response").c_str()).get_string("status"),
                 "success");
}

TEST(RrmWorkerSubscribe, NewApWithoutAnActiveRadioForcesNoPlan)
{
    ApSpec spec = one_radio_ap();
    spec.radios[0].channel = 0;
    DomainFixture domain;
    domain.from_ap(spec.subscribe_request(), 1);
    EXPECT_EQ(domain.worker->aps.size(), 1u);
    EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Force optimization dmain d"));
    EXPECT_STREQ(rrm::JsonReader(domain.last("subscribe-response").c_str()).get_string("status"),
                 "success");
}

TEST(RrmWorkerSubscribe, WildcardChangeOfAKnownApPlansAn80211rUpdate)
{
    DomainFixture domain;
    ApSpec spec = one_radio_ap();
    domain.from_ap(spec.subscribe_request(), 1);
    domain.idle();
    domain.log.clear();
    domain.from_ap(spec.subscribe_request(), 1);  // same: nothing to plan
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_INFO, "process_exists_ap update_802dot11r 0"));
    EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11r domain d"));

    spec.wildcard_80211r = 1;
    domain.log.clear();
    domain.from_ap(spec.subscribe_request(), 1);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_INFO, "process_exists_ap update_802dot11r 1"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11r domain d"));
    EXPECT_EQ(domain.tpc().fbt_status, 1);
    EXPECT_TRUE(domain.find(domain.worker->aps, "02:00:00:00:01:00")->use_wildcard_80211r);
}

TEST(RrmWorkerSubscribe, Unsubscription)
{
    struct Case {
        const char* name;
        bool unanswered;
        bool deleted;
        uint32_t session;
        bool removed;
    };
    const Case cases[] = {
        {"active, own session", false, false, 1, true},
        {"active, other session", false, false, 2, false},
        {"unanswered, own session", true, false, 1, true},
        {"unanswered, other session", true, false, 2, false},
        {"deleted: not searched", false, true, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain;
        ApSpec spec = one_radio_ap();
        domain.from_ap(spec.subscribe_request(), 1);
        auto ap = domain.find(domain.worker->aps, spec.mac);
        rrm::ApMap* held = &domain.worker->aps;
        if (c.unanswered || c.deleted) {
            domain.worker->aps.erase(ap->base_mac);
            held = c.unanswered ? &domain.worker->unanswered_aps : &domain.worker->aps_to_delete;
            held->insert(ap->base_mac, ap);
        }
        domain.log.clear();
        domain.from_ap(spec.unsubscribe_request(), c.session);
        EXPECT_EQ(held->empty(), c.removed);
        EXPECT_EQ(held->index.empty(), c.removed);
        // The domain changed when an AP left it.
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), c.removed ? 1u : 0u);
        // Only an active AP leaving makes the domain plan again.
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Force optimization dmain d"),
                  c.removed && !c.unanswered);
        // Never answered, and the worker does not end here.
        EXPECT_EQ(domain.sent().size(), 2u);
        EXPECT_FALSE(domain.worker->stop_was_requested());
        EXPECT_EQ(domain.worker->unsubscribe_metric.count, 1);
    }
}

TEST(RrmWorkerSubscribe, MessagesFromAClosedSessionActForNoSession)
{
    // The transport closed the session; its drop notice travels in the force
    // ring and may be handled before or after what the session queued.
    enum Before { NOTHING, SUBSCRIBED, SUBSCRIBED_DROPPED };
    struct Case {
        const char* name;
        Before before;       // the AP on session 1 before the late message
        bool drop_first;     // the drop notice of session 1 is handled first
        std::string (*late)(const ApSpec&);
        size_t active, deleted;
        const char* error;  // the Error record of the message, if any
    };
    auto subscribe = [](const ApSpec& s) { return s.subscribe_request(); };
    auto changed = [](const ApSpec& s) { return s.config_changed(); };
    auto leave = [](const ApSpec& s) { return s.unsubscribe_request(); };
    auto mode = [](const ApSpec& s) { return s.message("rrm-mode-response"); };
    const char* invalid = "Exception at processing message on worker 'd': invalid exist session";
    const Case cases[] = {
        {"a new AP's subscription overtaken by its drop is not taken", NOTHING, true, subscribe,
         0, 0, nullptr},
        {"a new AP's subscription from a session closed before the drop came", NOTHING, false,
         subscribe, 0, 0, nullptr},
        {"a dropped AP's subscription from its own closed session leaves it deleted",
         SUBSCRIBED_DROPPED, false, subscribe, 0, 1, nullptr},
        {"a configuration change handled after the drop: no rrm-info to the dead session",
         SUBSCRIBED_DROPPED, false, changed, 0, 1, invalid},
        {"a configuration change before the drop is handled: the same", SUBSCRIBED, false,
         changed, 1, 0, invalid},
        {"an unsubscription from the closed session: the AP waits for the drop", SUBSCRIBED,
         false, leave, 1, 0, nullptr},
        {"a planning answer from the closed session", SUBSCRIBED, false, mode, 1, 0,
         "Exception at processing message on worker 'd': invalid session"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain;
        const ApSpec spec = one_radio_ap();
        if (c.before != NOTHING)
            domain.from_ap(spec.subscribe_request(), 1);
        domain.registry->end_session(1);
        if (c.before == SUBSCRIBED_DROPPED || c.drop_first)
            domain.drop(1);
        domain.log.clear();
        const size_t sent_before = domain.sent().size();
        domain.from_ap(c.late(spec), 1);

        EXPECT_EQ(domain.worker->aps.size(), c.active);
        EXPECT_EQ(domain.worker->aps_to_delete.size(), c.deleted);
        EXPECT_TRUE(domain.worker->unanswered_aps.empty());
        EXPECT_EQ(domain.sent().size(), sent_before) << "nothing can reach a closed session";
        if (c.error) {
            EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR, c.error));
        }
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_WORKER_MSG_EXCEPTION), c.error ? 1u : 0u);
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), 0u);
    }
    // The record of a subscription that is not taken.
    DomainFixture domain;
    domain.registry->end_session(3);
    domain.from_ap(one_radio_ap().subscribe_request(), 3);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG,
                               "Subscription of 02:00:00:00:01:00 from a closed session not taken"));
}

}  // namespace
