// The real binary's "rrm" queries and "cfg" commands over the TCP management
// API while simulated access points hold real WebSocket sessions to it: the
// domain's status ("details"), the AP state and its fast-transition links,
// the domain list, forced optimisation, sessions dropped by id, and APs that
// must subscribe again after the server section, a pattern or a domain
// changed.
//
// The domains run on patterns without event-driven optimisation, so their
// planning stays idle while the test looks at them. The expected texts are
// built from the pieces below, worked out by hand from what the APs send.
#include "ApSimulator.h"
#include "Version.h"
#include "WendaraProcess.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::SimRadio;
using testsupport::SimVap;
using testsupport::WendaraProcess;
using namespace std::chrono_literals;

std::string hostname()
{
    char name[1024] = {0};
    ::gethostname(name, sizeof name - 1);
    return name;
}

std::string header()
{
    return "{\"version\":\"2.1\",\"server\":\"" + hostname() + "\",\"wendara_version\":\"" +
           rrm::WENDARA_VERSION + "\"";
}

std::string rrm(const std::string& body)
{
    return "{\"rrm\":{" + body + "}}";
}

// One fast-transition link as an AP reports it and the full VAP form writes
// it back: B's VAP "ab" on its radio 1.
const std::string kLinkToB =
    R"({"remote-r0-kh-id":"SN-B","remote-r1-kh-id":"02:00:00:00:02:10",)"
    R"("remote-r1-kh-key":"KEYBabcdefghijkl"})";

SimRadio radio(int id, int channel, int band, int power, int power_max, SimVap vap)
{
    SimRadio r;
    r.id = id;
    r.channel = channel;
    r.band = band;
    r.power = power;
    r.power_max = power_max;
    r.power_min = 5;
    r.bandwidth = 20;
    r.available_channels = std::to_string(channel);
    r.vaps.push_back(std::move(vap));
    return r;
}

SimVap vap(int id, const std::string& ssid, bool k, bool r, const std::string& r0,
           const std::string& r1, const std::string& key, const std::string& links)
{
    SimVap v;
    v.id = id;
    v.ssid = ssid;
    v.k = k;
    v.r = r;
    v.r0 = r0;
    v.r1 = r1;
    v.rrb_key = key;
    if (!links.empty())
        v.extra = ",\"fbt-links\":[" + links + "]";
    return v;
}

// AP A: radio 0 on channel 6 (2.4 GHz) with VAP 0 "ab" (802.11k and r, one
// link to B), radio 1 on channel 36 (5 GHz) with VAP 2 "cd" (no 802.11r,
// but a key and a link all the same); radio 2 not reported.
ApSpec ap_a(const std::string& domain)
{
    ApSpec spec;
    spec.mac = "02:00:00:00:01:00";
    spec.domain = domain;
    spec.hw = "rev-a";
    spec.serial = "SN-A";
    spec.radios.push_back(radio(0, 6, 2, 17, 20,
                                vap(0, "ab", true, true, "SN-A", "02:00:00:00:01:00",
                                    "KEYAabcdefghijkl", kLinkToB)));
    spec.radios.push_back(radio(1, 36, 5, 20, 23,
                                vap(2, "cd", false, false, "SN-A", "", "KEYCabcdefghijkl",
                                    kLinkToB)));
    return spec;
}

// AP B: only radio 1, on channel 40, with VAP 0 "ab".
ApSpec ap_b(const std::string& domain)
{
    ApSpec spec;
    spec.mac = "02:00:00:00:02:00";
    spec.domain = domain;
    spec.hw = "rev-b";
    spec.serial = "SN-B";
    spec.radios.push_back(radio(1, 40, 5, 14, 20,
                                vap(0, "ab", true, true, "SN-B", "02:00:00:00:02:10",
                                    "KEYBabcdefghijkl", "")));
    return spec;
}

// The VAPs in their short form. A VAP without "mac" takes the radio's MAC
// plus its id: A's radio 1 is A's MAC plus offset 16, 02:00:00:00:01:10, so
// VAP 2 is 02:00:00:00:01:12. An SSID of two bytes is its own mobility
// domain: "ab" 0x6162 = 24930, "cd" 0x6364 = 25444. Links are listed by
// their R1 key holder, and only for a VAP with 802.11r.
const std::string kShortA0 =
    R"({"id":0,"ssid":"ab","mac":"02:00:00:00:01:00","mobility-domain":24930,)"
    R"("use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":0,"fbt-links":["02:00:00:00:02:10"]})";
const std::string kShortA1 =
    R"({"id":2,"ssid":"cd","mac":"02:00:00:00:01:12","mobility-domain":25444,)"
    R"("use_802dot11k":0,"use_802dot11r":0,"use_802dot11v":0})";
const std::string kShortB1 =
    R"({"id":0,"ssid":"ab","mac":"02:00:00:00:02:10","mobility-domain":24930,)"
    R"("use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":0})";

// The short AP form of the domain status: identity, then every radio with
// its VAPs (a radio the AP did not report has none).
const std::string kDetailsA =
    R"({"board":"tavik-ap","mac":"02:00:00:00:01:00","serial":"SN-A","hw":"rev-a","radios":[)"
    R"({"id":0,"vaps":[)" + kShortA0 + R"(]},{"id":1,"vaps":[)" + kShortA1 +
    R"(]},{"id":2,"vaps":[]}]})";
const std::string kDetailsB =
    R"({"board":"tavik-ap","mac":"02:00:00:00:02:00","serial":"SN-B","hw":"rev-b","radios":[)"
    R"({"id":0,"vaps":[]},{"id":1,"vaps":[)" + kShortB1 + R"(]},{"id":2,"vaps":[]}]})";

// Every metric of a domain that has handled no answer and run no planning
// step.
std::string idle_metrics()
{
    std::string out = "{";
    for (const char* name : {"rrm-response", "rrm-mode-response", "rrm-config-changed",
                             "timer-request-modes", "timer-request-scan", "timer-optimize"})
        out += std::string(out.size() > 1 ? "," : "") + "\"" + name + "-expected\":0,\"" + name +
               "-count\":0";
    return out + "}";
}

class ProgramLiveDomain : public ::testing::Test {
protected:
    void SetUp() override
    {
        p.write_logger_config();
        // "calm" and "quiet" plan nothing on AP events; the APs that leave
        // wait an hour in the deleted list.
        p.write_config("",
                       "\"patterns\":[{\"pattern\":\"calm\",\"use_optimization_event\":0,"
                       "\"away_timeout\":3600},{\"pattern\":\"quiet\","
                       "\"use_optimization_event\":0,\"away_timeout\":3600,\"use_dca\":0}],"
                       "\"domains\":[{\"domain\":\"site\",\"pattern\":\"calm\"},"
                       "{\"domain\":\"lab\",\"pattern\":\"calm\"}]");
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
    // Connects (the AP port may be coming back after a restart) and
    // subscribes; the "subscribe-response" text, "" when none came.
    std::string subscribe(ApSimulator& ap)
    {
        if (!testsupport::wait_until([&] { return ap.connect(p.listen_port); }, 20s))
            return "";
        if (!ap.subscribe())
            return "";
        return ap.wait_for("subscribe-response").value_or("");
    }
    // The domain list entry of `domain` ("" when it has no worker).
    std::string domain_entry(const std::string& domain)
    {
        const std::string reply = ask(rrm(""));
        const std::string start = "{\"name\":\"" + domain + "\"";
        const size_t at = reply.find(start);
        if (at == std::string::npos)
            return "";
        return reply.substr(at, reply.find('}', at) + 1 - at);
    }
    static std::string entry(const std::string& domain, int active, int unanswered, int deleted)
    {
        return "{\"name\":\"" + domain + "\",\"ap-count\":" + std::to_string(active) +
               ",\"unanswered-ap-count\":" + std::to_string(unanswered) +
               ",\"deleted-ap-count\":" + std::to_string(deleted) + ",\"common-config\":0}";
    }
    bool entry_becomes(const std::string& domain, int active, int unanswered, int deleted)
    {
        const std::string expected = entry(domain, active, unanswered, deleted);
        return testsupport::wait_until([&] { return domain_entry(domain) == expected; }, 20s);
    }

    WendaraProcess p;
};

bool subscribed(const std::string& response)
{
    return response.find("\"cmd\":\"subscribe-response\",\"status\":\"success\"") !=
           std::string::npos;
}

TEST_F(ProgramLiveDomain, StatusApStateAndLinksOfADomainWithAnActiveAndADeletedAp)
{
    ApSimulator a(ap_a("site"));
    ApSimulator b(ap_b("site"));
    ASSERT_TRUE(subscribed(subscribe(a)));
    ASSERT_TRUE(subscribed(subscribe(b)));
    ASSERT_TRUE(entry_becomes("site", 2, 0, 0)) << ask(rrm(""));
    // B loses its connection: it waits in the deleted list.
    b.drop();
    ASSERT_TRUE(entry_becomes("site", 1, 0, 1)) << ask(rrm(""));
    EXPECT_EQ(header() + ",\"domains\":[" + entry("site", 1, 0, 1) + "]}", ask(rrm("")));

    // The status: counts, an empty queue, planning idle, nothing timed yet,
    // and the short forms of A (active) and B (deleted).
    EXPECT_EQ(header() + ",\"details\":{\"name\":\"site\",\"metrics\":" + idle_metrics() +
                  ",\"ap-count\":1,\"unanswered-ap-count\":0,\"deleted-ap-count\":1,"
                  "\"queue-size\":0,\"rrm-status\":0,\"fbt-status\":0,\"aps\":[" +
                  kDetailsA + "],\"unanswered-aps\":[],\"deleted-aps\":[" + kDetailsB + "]}}",
              ask(rrm("\"domain\":\"site\"")));

    // A's state, found by the BSSID of its VAP "cd". Radio locks that the AP
    // does not send: TPC and DCA 0, balancer and 802.11v 1. Radio 2 was not
    // reported: disabled, channel and band 0, no channels or VAPs, the rest
    // as built (MAC at offset 32, power 0, 20 MHz, no locks).
    const std::string state_a =
        R"({"mac":"02:00:00:00:01:00","active":0,"ap-mac-count":48,"use-wildcard-80211r":0,)"
        R"("radios":{"received":0,"interfaces":[)"
        R"({"id":0,"mac":"02:00:00:00:01:00","mac-offset":0,"radio-mac-count":16,"status":1,)"
        R"("power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":1,)"
        R"("locked-80211v":1,"channel":6,"band":2,"power":17,"max-power":20,"min-power":5,)"
        R"("bandwidth":20,"primary-channel":0,"available-channels":[6],"vaps":[)" +
        kShortA0 + R"(],"assoc_clients":[]},)" +
        R"({"id":1,"mac":"02:00:00:00:01:10","mac-offset":16,"radio-mac-count":16,"status":1,)"
        R"("power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":1,)"
        R"("locked-80211v":1,"channel":36,"band":5,"power":20,"max-power":23,"min-power":5,)"
        R"("bandwidth":20,"primary-channel":0,"available-channels":[36],"vaps":[)" +
        kShortA1 + R"(],"assoc_clients":[]},)" +
        R"({"id":2,"mac":"02:00:00:00:01:20","mac-offset":32,"radio-mac-count":16,"status":0,)"
        R"("power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":0,)"
        R"("locked-80211v":0,"channel":0,"band":0,"power":0,"max-power":0,"min-power":0,)"
        R"("bandwidth":20,"primary-channel":0,"available-channels":[],"vaps":[],)"
        R"("assoc_clients":[]}]},"visible-members":[],"visible-rogue":[]})";
    // The full VAP forms: key holders and key as the AP sent them; links
    // only where 802.11r is on.
    const std::string links_a =
        R"({"radios":[{"id":0,"vaps":[{"id":0,"ssid":"ab","mac":"02:00:00:00:01:00",)"
        R"("mobility-domain":24930,"use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":0,)"
        R"("fbt-r0-keyholder":"SN-A","fbt-r1-keyholder":"02:00:00:00:01:00",)"
        R"("fbt-rrb-key":"KEYAabcdefghijkl","fbt-links":[)" +
        kLinkToB +
        R"(]}]},{"id":1,"vaps":[{"id":2,"ssid":"cd","mac":"02:00:00:00:01:12",)"
        R"("mobility-domain":25444,"use_802dot11k":0,"use_802dot11r":0,"use_802dot11v":0,)"
        R"("fbt-r0-keyholder":"SN-A","fbt-r1-keyholder":"","fbt-rrb-key":"KEYCabcdefghijkl"}]},)"
        R"({"id":2,"vaps":[]}]})";
    const std::string links_b =
        R"({"radios":[{"id":0,"vaps":[]},{"id":1,"vaps":[{"id":0,"ssid":"ab",)"
        R"("mac":"02:00:00:00:02:10","mobility-domain":24930,"use_802dot11k":1,)"
        R"("use_802dot11r":1,"use_802dot11v":0,"fbt-r0-keyholder":"SN-B",)"
        R"("fbt-r1-keyholder":"02:00:00:00:02:10","fbt-rrb-key":"KEYBabcdefghijkl"}]},)"
        R"({"id":2,"vaps":[]}]})";
    struct Case {
        const char* what;
        std::string body;
        std::string rest;  // the reply after the header
    };
    const Case cases[] = {
        {"A by a VAP's BSSID", R"("domain":"site","ap":"02:00:00:00:01:12")",
         ",\"active-ap\":" + state_a + "}"},
        {"A's links", R"("domain":"site","ap":"02:00:00:00:01:00","fbt-links":1)",
         ",\"active-ap\":" + links_a + "}"},
        // 0x02 with the locally administered bit cleared is 0x00.
        {"B's links by its radio's MAC, local bit flipped",
         R"("domain":"site","ap":"00:00:00:00:02:10","fbt-links":null)",
         ",\"deleted-ap\":" + links_b + "}"},
        {"an AP of another domain", R"("domain":"lab","ap":"02:00:00:00:01:00")",
         ",\"error\":\"domain not found\"}"},
        {"a MAC no AP has", R"("domain":"site","ap":"02:00:00:00:03:00")",
         ",\"error\":\"ap not found\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(header() + c.rest, ask(rrm(c.body)));
    }

    // Forced optimisation: only the text "true" asks for it, and an idle
    // domain takes it.
    const std::string failure = header() + ",\"status\":\"failure\"}";
    EXPECT_EQ(failure, ask(rrm(R"("domain":"site","start_optimization":"TRUE")")));
    EXPECT_EQ(failure, ask(rrm(R"("domain":"site","start_optimization":true)")));
    EXPECT_EQ(header() + ",\"error\":\"domain not found\"}",
              ask(rrm(R"("domain":"lab","start_optimization":"true")")));
    EXPECT_EQ(header() + ",\"status\":\"success\"}",
              ask(rrm(R"("domain":"site","start_optimization":"true")")));
}

TEST_F(ProgramLiveDomain, SessionsDroppedByIdCloseTheirApsWhichWaitAsDeleted)
{
    ApSimulator a(ap_a("site"));
    ApSimulator b(ap_b("lab"));
    // Connected one after the other: sessions 1 and 2.
    ASSERT_TRUE(subscribed(subscribe(a)));
    ASSERT_TRUE(subscribed(subscribe(b)));
    ASSERT_TRUE(entry_becomes("site", 1, 0, 0));
    ASSERT_TRUE(entry_becomes("lab", 1, 0, 0));
    const std::string sessions = ask(rrm("\"sessions\":1"));
    EXPECT_NE(std::string::npos, sessions.find("{\"id\":1,\"peer\":\"127.0.0.1\"}")) << sessions;
    EXPECT_NE(std::string::npos, sessions.find("{\"id\":2,\"peer\":\"127.0.0.1\"}")) << sessions;

    // Session 2 (B), named by a decimal text, and one that does not exist.
    EXPECT_EQ(header() + "}", ask(rrm(R"("drop_session":1,"ids":["2",9])")));
    ASSERT_TRUE(b.wait_closed());
    EXPECT_EQ(1000, b.close_code());
    EXPECT_FALSE(a.wait_closed(300));
    EXPECT_TRUE(entry_becomes("lab", 0, 0, 1)) << ask(rrm(""));
    EXPECT_EQ(entry("site", 1, 0, 0), domain_entry("site"));
    EXPECT_EQ(0u, ask(rrm(R"("domain":"lab","ap":"02:00:00:00:02:00")"))
                      .find(header() + ",\"deleted-ap\":{\"mac\":\"02:00:00:00:02:00\","))
        << ask(rrm(R"("domain":"lab","ap":"02:00:00:00:02:00")"));
    EXPECT_EQ(header() + ",\"websock-sessions\":[{\"id\":1,\"peer\":\"127.0.0.1\"}]}",
              ask(rrm("\"sessions\":1")));

    // B comes back on a new session and leaves the deleted list.
    ASSERT_TRUE(subscribed(subscribe(b)));
    EXPECT_TRUE(entry_becomes("lab", 1, 0, 0)) << ask(rrm(""));
    EXPECT_NE(std::string::npos,
              ask(rrm("\"sessions\":1")).find("{\"id\":3,\"peer\":\"127.0.0.1\"}"));
}

TEST_F(ProgramLiveDomain, ApsSubscribeAgainAfterTheServerSectionAPatternOrADomainChanged)
{
    ApSimulator a(ap_a("site"));
    auto flags = [](const std::string& response) {
        const size_t at = response.find("\"config\":{");
        return at == std::string::npos ? response
                                       : response.substr(at, response.find(",\"radios\"", at) - at);
    };
    std::string response = subscribe(a);
    ASSERT_TRUE(subscribed(response)) << response;
    EXPECT_EQ("\"config\":{\"use-tpc\":1,\"use-dca\":1,\"use-load-balance\":1,\"use-80211r\":1,"
              "\"use-80211v\":0",
              flags(response));
    ASSERT_TRUE(entry_becomes("site", 1, 0, 0));

    // A value the pattern already has changes nothing: A keeps its session.
    const std::string pattern_set =
        "{\"version\":\"2.1\",\"invalid_parameters\":[],\"operation\":\"set\",\"level\":"
        "\"pattern\",\"pattern\":\"calm\"}";
    EXPECT_EQ(pattern_set,
              ask(R"({"cfg":{"operation":"set","level":"pattern","pattern":"calm",)"
                  R"("config":{"use_tpc":1}}})"));
    EXPECT_FALSE(a.wait_closed(500));

    // The server section: every worker starts again, the AP transport
    // included; A's connection ends and A subscribes again to a new worker.
    EXPECT_EQ("{\"version\":\"2.1\",\"invalid_parameters\":[],\"operation\":\"set\","
              "\"level\":\"global\"}",
              ask(R"({"cfg":{"operation":"set","level":"global",)"
                  R"("config":{"use_wildcard_80211r":1}}})"));
    ASSERT_TRUE(a.wait_closed());
    response = subscribe(a);
    ASSERT_TRUE(subscribed(response)) << response;
    EXPECT_TRUE(entry_becomes("site", 1, 0, 0)) << ask(rrm(""));

    // The domain's pattern: its worker is removed and A's session closed
    // (status 1000); the new worker has the new settings.
    EXPECT_EQ(pattern_set,
              ask(R"({"cfg":{"operation":"set","level":"pattern","pattern":"calm",)"
                  R"("config":{"use_tpc":0}}})"));
    ASSERT_TRUE(a.wait_closed());
    EXPECT_EQ(1000, a.close_code());
    response = subscribe(a);
    ASSERT_TRUE(subscribed(response)) << response;
    EXPECT_EQ("\"config\":{\"use-tpc\":0,\"use-dca\":1,\"use-load-balance\":1,\"use-80211r\":1,"
              "\"use-80211v\":0",
              flags(response));

    // The domain itself, moved to "quiet" (no channel assignment).
    EXPECT_EQ("{\"version\":\"2.1\",\"invalid_parameters\":[],\"operation\":\"set\","
              "\"level\":\"domain\"}",
              ask(R"({"cfg":{"operation":"set","level":"domain","domain":"site",)"
                  R"("config":{"pattern":"quiet"}}})"));
    ASSERT_TRUE(a.wait_closed());
    EXPECT_EQ(1000, a.close_code());
    response = subscribe(a);
    ASSERT_TRUE(subscribed(response)) << response;
    EXPECT_EQ("\"config\":{\"use-tpc\":1,\"use-dca\":0,\"use-load-balance\":1,\"use-80211r\":1,"
              "\"use-80211v\":0",
              flags(response));
    EXPECT_TRUE(entry_becomes("site", 1, 0, 0)) << ask(rrm(""));
}

}  // namespace
