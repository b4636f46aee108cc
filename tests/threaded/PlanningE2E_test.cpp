// 802.11k lists, 802.11r links and the restore of a domain end to end:
// simulated APs on real WebSocket connections over 127.0.0.1 to the real
// registry, transport and domain worker.

#include "ApSimulator.h"
#include "DomainBackup.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "LogCapture.h"
#include "RrmWorker.h"
#include "TpcDcaSubworker.h"
#include "VapMap.h"
#include "WebsockHarness.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::BackupAp;
using testsupport::SimRadio;
using testsupport::SimVap;
using testsupport::wait_until;

// Planning cycles are not started by subscriptions; planned updates come
// after `delay` seconds.
rrm::DomainConfig settings_with(int delay, bool all_neighbours = false)
{
    rrm::DomainConfig settings;
    settings.use_optimization_event = false;
    settings.replan_delay = delay;
    settings.use_all_ap_balance = all_neighbours;
    return settings;
}

class PlanningE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.start()); }

    // A worker for "lab" with these settings, restored from `backup` (when
    // one is given) before its thread starts, as the registry does.
    void start_domain(const rrm::DomainConfig& settings, const std::string& backup = "")
    {
        auto worker = std::make_shared<rrm::RrmWorker>(harness.config.get(), settings, "lab",
                                                       harness.registry.get(), 0, 2048);
        if (!backup.empty()) {
            const rrm::JsonReader json(backup.c_str());
            ASSERT_FALSE(json.is_null());
            worker->restore_domain_state(json);
        }
        harness.registry->add_domain_worker("lab", worker);
    }

    // Connected and subscribed, its answer received.
    std::unique_ptr<ApSimulator> join(const ApSpec& spec)
    {
        auto ap = std::make_unique<ApSimulator>(spec);
        EXPECT_TRUE(ap->connect(harness.port()));
        EXPECT_TRUE(ap->subscribe());
        EXPECT_TRUE(ap->wait_for("subscribe-response"));
        return ap;
    }

    // The domain's "details", read as the management API does.
    rrm::JsonReader details()
    {
        std::string text;
        harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& worker) {
            rrm::JsonWriter out("");
            worker.to_json(out);
            text = out.to_string();
        });
        return rrm::JsonReader(text.c_str());
    }
    bool deleted_count_becomes(int n)
    {
        return wait_until([&] {
            const rrm::JsonReader json = details();
            return json.child("details").get_int("deleted-ap-count") == n;
        });
    }

    testsupport::LogCapture log;
    testsupport::WebsockHarness harness{{"lab"}};
};

// The next message with that "cmd", or "(none)" within the deadline.
std::string next(ApSimulator& ap, const std::string& cmd)
{
    auto text = ap.wait_for(cmd);
    return text ? *text : "(none)";
}

// The "802dot11k" member of a message text, to the end of the message.
std::string neighbour_list(const std::string& text)
{
    const auto at = text.find("\"802dot11k\":");
    if (at == std::string::npos)
        return "(none)";
    return text.substr(at + 12, text.size() - at - 13);
}

// ---- 802.11k lists of three APs ------------------------------------------

// One AP of the site, described once for its backup element (with what it
// hears) and for its own messages, so the two agree on every setting the
// domain compares.
struct SiteVap {
    int id;
    std::string ssid;
    std::string mac;
    bool k;
};
struct SiteRadio {
    int id, channel, band;
    std::string available;  // "1 6 11"
    std::vector<SiteVap> vaps;
};
struct SiteAp {
    int n;
    std::vector<SiteRadio> radios;
    std::vector<std::string> heard;

    std::string mac() const { return "02:00:00:00:0" + std::to_string(n) + ":00"; }

    BackupAp backup() const
    {
        BackupAp ap;
        ap.mac = mac();
        ap.serial = "SN000" + std::to_string(n);
        for (const SiteRadio& r : radios) {
            testsupport::BackupRadio radio;
            radio.id = r.id;
            radio.channel = r.channel;
            radio.band = r.band;
            radio.available = r.available;
            for (char& ch : radio.available)
                if (ch == ' ')
                    ch = ',';
            for (const SiteVap& v : r.vaps)
                radio.vaps.push_back({v.id, v.ssid, v.mac, v.k, false, false, "", "", "", {}});
            ap.radios.push_back(radio);
        }
        for (const std::string& bssid : heard)
            ap.heard.push_back({bssid, -60, 6, 2});
        return ap;
    }

    ApSpec spec() const
    {
        ApSpec spec;
        spec.mac = mac();
        spec.domain = "lab";
        spec.serial = "SN000" + std::to_string(n);
        for (const SiteRadio& r : radios) {
            SimRadio radio;
            radio.id = r.id;
            radio.channel = r.channel;
            radio.band = r.band;
            radio.available_channels = r.available;
            radio.locked_balancer = 0;
            radio.locked_80211v = 0;
            for (const SiteVap& v : r.vaps) {
                SimVap vap;
                vap.id = v.id;
                vap.ssid = v.ssid;
                vap.mac = v.mac;
                vap.k = v.k;
                radio.vaps.push_back(vap);
            }
            spec.radios.push_back(radio);
        }
        return spec;
    }
};

// A1 2.4 GHz ch 6: corp (11k), guest (11k)
//    hears A2's radio, A3's 2.4 GHz radio with the local bit cleared and
//    A3's 5 GHz radio (A1 has no 5 GHz radio to compare it with)
// A2 2.4 GHz ch 1: corp (11k), guest (no 11k)
//    hears A1's guest VAP
// A3 2.4 GHz ch 11: corp (11k); 5 GHz ch 36: corp (11k)
//    hears nobody
std::vector<SiteAp> three_aps()
{
    return {
        {1,
         {{0, 6, 2, "1 6 11",
           {{0, "corp", "02:00:00:00:01:00", true}, {1, "guest", "02:00:00:00:01:01", true}}}},
         {"02:00:00:00:02:00", "00:00:00:00:03:00", "02:00:00:00:03:10"}},
        {2,
         {{0, 1, 2, "1 6 11",
           {{0, "corp", "02:00:00:00:02:00", true}, {1, "guest", "02:00:00:00:02:01", false}}}},
         {"02:00:00:00:01:01"}},
        {3,
         {{0, 11, 2, "1 6 11", {{0, "corp", "02:00:00:00:03:00", true}}},
          {1, 36, 5, "36 40", {{0, "corp", "02:00:00:00:03:10", true}}}},
         {}},
    };
}

std::string entry(const std::string& bssid, int channel, const std::string& vap_mac)
{
    return R"({"neighbour-mac":")" + bssid + R"(","channel":)" + std::to_string(channel) +
           R"(,"band":2,"bandwidth":20,"primary-channel":"none","priority":0,)"
           R"("vaps":[{"id":0,"ssid":"corp","mac":")" +
           vap_mac + R"("}]})";
}

TEST_F(PlanningE2E, RrmInfoCarriesTheNeighbourListsOfThreeAps)
{
    // Worked out by hand from the site above. Only "corp" is an SSID that
    // a viewer and a neighbour both serve with 802.11k on 2.4 GHz.
    //
    // Mode "visible": the radios behind the BSSIDs each AP hears, in
    // ascending BSSID order, under the heard BSSID; a VAP heard as such, or
    // on the heard radio, takes the heard BSSID's local bit.
    //   A1: 00:..:03:00 -> A3 2.4 GHz (VAP 02:..:03:00 -> 00:..:03:00),
    //       02:..:02:00 -> A2, 02:..:03:10 -> A3 5 GHz: no 5 GHz radio on A1.
    //   A2: 02:..:01:01 -> A1's radio; its corp VAP 02:..:01:00 is neither
    //       the heard BSSID nor on a radio with that MAC: as stored.
    //   A3: hears nobody.
    // Mode "all": every enabled radio of every other AP in ascending AP
    // order, under the BSSID the viewer hears it as, else its own MAC.
    struct Case {
        const char* name;
        bool all;
        std::vector<std::string> lists;  // A1, A2, A3
    };
    const Case cases[] = {
        {"visible", false,
         {"[" + entry("00:00:00:00:03:00", 11, "00:00:00:00:03:00") + "," +
              entry("02:00:00:00:02:00", 1, "02:00:00:00:02:00") + "]",
          "[" + entry("02:00:00:00:01:01", 6, "02:00:00:00:01:00") + "]", "[]"}},
        {"all", true,
         {"[" + entry("02:00:00:00:02:00", 1, "02:00:00:00:02:00") + "," +
              entry("00:00:00:00:03:00", 11, "00:00:00:00:03:00") + "]",
          "[" + entry("02:00:00:00:01:01", 6, "02:00:00:00:01:00") + "," +
              entry("02:00:00:00:03:00", 11, "02:00:00:00:03:00") + "]",
          "[" + entry("02:00:00:00:01:00", 6, "02:00:00:00:01:00") + "," +
              entry("02:00:00:00:02:00", 1, "02:00:00:00:02:00") + "]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The scan views come from the domain's backup; the APs return with
        // the same radios, so they keep them.
        std::vector<std::string> elements;
        for (const SiteAp& ap : three_aps())
            elements.push_back(ap.backup().json());
        start_domain(settings_with(20, c.all),
                     "{\"name\":\"lab\"," + testsupport::backup_list("aps", elements) + "}");
        std::vector<std::unique_ptr<ApSimulator>> aps;
        for (const SiteAp& ap : three_aps())
            aps.push_back(join(ap.spec()));
        ASSERT_TRUE(deleted_count_becomes(0));

        // A configuration change is answered with "rrm-info": the flags,
        // the radios and the list.
        for (size_t i = 0; i < aps.size(); ++i) {
            SCOPED_TRACE(i + 1);
            ASSERT_TRUE(aps[i]->config_changed());
            auto info = aps[i]->wait_for("rrm-info");
            ASSERT_TRUE(info);
            EXPECT_EQ(info->rfind(R"({"service":"rrm","version":"2.4","cmd":"rrm-info","ap-mac":")" +
                                      three_aps()[i].mac() +
                                      R"(","use-tpc":1,"use-dca":1,"use-load-balance":1,)"
                                      R"("use-80211v":0,"radios":[{"id":0,)",
                                  0),
                      0u)
                << *info;
            EXPECT_EQ(neighbour_list(*info), c.lists[i]);
        }
        for (auto& ap : aps)
            ap->close();
        harness.registry->remove_worker("lab");
    }
}

TEST_F(PlanningE2E, PlannedNeighbourUpdateIsDebounced)
{
    // Channels the domain does not plan itself: a changed one is news.
    rrm::DomainConfig settings = settings_with(3);
    settings.use_dca = false;
    start_domain(settings);
    std::vector<std::unique_ptr<ApSimulator>> aps;
    for (const SiteAp& ap : three_aps())
        aps.push_back(join(ap.spec()));
    auto pending_timers = [&] {
        size_t n = 0;
        harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& worker) {
            n = worker.subworkers.get_tpc_dca()->timers.size();
        });
        return n;
    };
    const size_t before = pending_timers();

    // Three changes of channel in a row: each AP is answered at once, and
    // one 802.11k update is planned, replan_delay after the last change.
    for (auto& ap : aps) {
        ap->update_spec([](ApSpec& spec) { spec.radios[0].channel += 1; });
        ASSERT_TRUE(ap->config_changed());
        ASSERT_TRUE(ap->wait_for("rrm-info"));
    }
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11k domain lab"), 3u);
    for (size_t i = 0; i < aps.size(); ++i) {
        SCOPED_TRACE(i + 1);
        auto planned = aps[i]->wait_for("rrm-info");
        ASSERT_TRUE(planned);
        // Without radios; nobody hears anybody: an empty list.
        EXPECT_EQ(*planned, R"({"service":"rrm","version":"2.4","cmd":"rrm-info","ap-mac":")" +
                                three_aps()[i].mac() +
                                R"(","use-tpc":1,"use-dca":0,"use-load-balance":1,"use-80211v":0,)"
                                R"("802dot11k":[]})");
    }
    // One update only, and nothing more pending.
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_DEBUG, "Process update 802dot11k domain lab"), 1u);
    EXPECT_EQ(pending_timers(), before);
    for (auto& ap : aps)
        EXPECT_EQ(ap->count("rrm-info"), 2u);
}

// ---- 802.11r links ----------------------------------------------------------

// AP n with one 802.11r VAP "ab" on the given radio; R0 "R0-n", R1 its MAC,
// key "KEYnaaaaaaaaaaaa".
ApSpec ft_ap(int n, int radio_id, int band, int channel)
{
    ApSpec spec;
    spec.mac = "02:00:00:00:0" + std::to_string(n) + ":00";
    spec.domain = "lab";
    spec.serial = "SN000" + std::to_string(n);
    SimRadio radio;
    radio.id = radio_id;
    radio.channel = channel;
    radio.band = band;
    SimVap vap;
    vap.ssid = "ab";
    vap.r = true;
    vap.r0 = "R0-" + std::to_string(n);
    vap.r1 = "02:00:00:00:0" + std::to_string(n) + ":" + std::to_string(radio_id) + "0";
    vap.rrb_key = "KEY" + std::to_string(n) + "aaaaaaaaaaaa";
    radio.vaps.push_back(vap);
    spec.radios.push_back(radio);
    return spec;
}

std::string remote(const std::string& r0, const std::string& r1, const std::string& key)
{
    return R"({"remote-r0-kh-id":")" + r0 + R"(","remote-r1-kh-id":")" + r1 +
           R"(","remote-r1-kh-key":")" + key + R"("})";
}

// "fbt-info" of AP n with its one VAP "ab" (mobility domain 0x6162 = 24930)
// on radio 0, named under its own radio MAC.
std::string fbt_info(int n, const std::string& remotes)
{
    const std::string mac = "02:00:00:00:0" + std::to_string(n) + ":00";
    return R"({"service":"rrm","version":"2.4","cmd":"fbt-info","ap-mac":")" + mac +
           R"(","wendara-use-80211r":1,"fbt-over-ds":0,"fbt-reassoc-deadline":1000,"vaps":[{)"
           R"("vap_id":0,"radio_id":0,"fbt-rrb-key":"KEY)" +
           std::to_string(n) + R"(aaaaaaaaaaaa","mobility-domain":24930,"r0-key-holder-id":"R0-)" +
           std::to_string(n) + R"(","r1-key-holder-id":")" + mac + R"(","remotes":[)" + remotes + "]}]}";
}

TEST_F(PlanningE2E, FbtInfoLinksTheVapsOfAMobilityDomain)
{
    harness.config->global_update(rrm::JsonReader(R"({"use_wildcard_80211r":1})"));
    start_domain(settings_with(1));
    // A1 and A2 on 2.4 GHz, A3 on 5 GHz; nobody has a 6 GHz radio.
    auto a1 = join(ft_ap(1, 0, 2, 6));
    auto a2 = join(ft_ap(2, 0, 2, 6));
    auto a3 = join(ft_ap(3, 1, 5, 36));
    for (auto* ap : {a1.get(), a2.get(), a3.get()})
        ASSERT_TRUE(ap->wait_for("fbt-info"));

    // A1 asks for the wildcard key holder: its subscription plans an 802.11r
    // update (and is answered with its "fbt-info" at once, still unlinked).
    a1->update_spec([](ApSpec& spec) { spec.wildcard_80211r = 1; });
    ASSERT_TRUE(a1->subscribe());
    ASSERT_TRUE(a1->wait_for("subscribe-response"));
    EXPECT_EQ(next(*a1, "fbt-info"), fbt_info(1, ""));

    // The update links A1 and A2 (same SSID, same band), gives A1 the
    // broadcast link, and leaves A3 (5 GHz) alone.
    const std::string a1_to_a2 = remote("R0-2", "02:00:00:00:02:00", "KEY2aaaaaaaaaaaa");
    const std::string broadcast = remote("*", "ff:ff:ff:ff:ff:ff", rrm::fbt_wildcard_key());
    EXPECT_EQ(next(*a1, "fbt-info"), fbt_info(1, a1_to_a2 + "," + broadcast));
    EXPECT_EQ(next(*a2, "fbt-info"),
              fbt_info(2, remote("R0-1", "02:00:00:00:01:00", "KEY1aaaaaaaaaaaa")));
    // A3's next message follows anything queued for it before: no
    // "fbt-info" came in between.
    ASSERT_TRUE(a3->config_changed());
    ASSERT_TRUE(a3->wait_for("rrm-info"));
    EXPECT_EQ(a3->count("fbt-info"), 1u);

    // A2 leaves (its connection ends). The next update (A3 asks for the
    // wildcard key holder) erases A1's link to it.
    a2->drop();
    ASSERT_TRUE(deleted_count_becomes(1));
    a3->update_spec([](ApSpec& spec) { spec.wildcard_80211r = 1; });
    ASSERT_TRUE(a3->subscribe());
    ASSERT_TRUE(a3->wait_for("subscribe-response"));
    EXPECT_EQ(next(*a1, "fbt-info"), fbt_info(1, broadcast));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_TRACE,
                        "02:00:00:00:01:00 (ab) erase broken link with 02:00:00:00:02:00"));
    // A3 got its broadcast link.
    ASSERT_TRUE(a3->wait_count("fbt-info", 3));
    const std::string last = a3->received("fbt-info").back();
    EXPECT_NE(last.find(broadcast), std::string::npos) << last;
}

// ---- Restore -------------------------------------------------------------------

TEST_F(PlanningE2E, DomainRestoredFromABackupObject)
{
    // A1 (linked to A2 and to an AP 9 gone long ago, hearing A2), A2, one
    // element without serial, one with an impossible MAC count.
    BackupAp a1 = testsupport::backup_ap(1);
    a1.radios[0].vaps[0].links = {{"R0-2", "02:00:00:00:02:00", "KEY2aaaaaaaaaaaa"},
                                  {"R0-9", "02:00:00:00:09:00", "KEY9aaaaaaaaaaaa"}};
    a1.heard = {{"02:00:00:00:02:00", -58, 6, 2}};
    BackupAp a2 = testsupport::backup_ap(2);
    a2.radios[0].vaps[0].links = {{"R0-1", "02:00:00:00:01:00", "KEY1aaaaaaaaaaaa"}};
    BackupAp nameless = testsupport::backup_ap(3);
    nameless.serial.clear();
    BackupAp uncountable = testsupport::backup_ap(4);
    uncountable.ap_mac_count = 0;
    const std::string domains =
        "[{\"name\":\"lab\",\"rrm-status\":0,\"fbt-status\":1," +
        testsupport::backup_list("aps", {a1.json(), nameless.json()}) + ",\"unanswered-aps\":null," +
        testsupport::backup_list("deleted-aps", {a2.json(), uncountable.json()}) + "}]";
    harness.registry->restore_domains(std::make_shared<std::string>(domains));

    {
        const rrm::JsonReader json = details();
        const rrm::JsonReader d = json.child("details");
        EXPECT_EQ(d.get_int("ap-count"), 0);
        EXPECT_EQ(d.get_int("deleted-ap-count"), 2);
        EXPECT_EQ(d.get_int("rrm-status"), 0);
        EXPECT_EQ(d.get_int("fbt-status"), 1);
    }
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_WARNING,
                        "Can't read factory settings from backup for ap '02:00:00:00:03:00'"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "Invalid ap-mac-count(0)"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                        "Can't restore ap '02:00:00:00:04:00' from backup due to invalid MAC "
                        "parameters"));
    EXPECT_EQ(log.event_count(rrm::EVENT_INVALID_MAC_PARAMS), 1u);

    // A1 comes back with the radio and VAP of its backup: its 802.11k list
    // names A2 (still away: from the deleted map), its "fbt-info" carries
    // the restored key holders and links.
    ApSpec spec = ft_ap(1, 0, 2, 6);
    spec.domain = "lab";
    spec.radios[0].available_channels = "1 6 11";
    spec.radios[0].locked_balancer = 0;
    spec.radios[0].locked_80211v = 0;
    spec.radios[0].vaps[0].rrb_key.clear();  // keeps the restored ones
    ApSimulator ap(spec);
    ASSERT_TRUE(ap.connect(harness.port()));
    ASSERT_TRUE(ap.subscribe());
    auto response = ap.wait_for("subscribe-response");
    ASSERT_TRUE(response);
    EXPECT_EQ(neighbour_list(*response),
              R"([{"neighbour-mac":"02:00:00:00:02:00","channel":6,"band":2,"bandwidth":20,)"
              R"("primary-channel":"none","priority":0,)"
              R"("vaps":[{"id":0,"ssid":"ab","mac":"02:00:00:00:02:00"}]}]})");
    EXPECT_EQ(next(ap, "fbt-info"),
              fbt_info(1, remote("R0-2", "02:00:00:00:02:00", "KEY2aaaaaaaaaaaa") + "," +
                              remote("R0-9", "02:00:00:00:09:00", "KEY9aaaaaaaaaaaa")));

    // Planning stays held: the states are unchanged, and the management
    // API cannot force an optimisation.
    const rrm::JsonReader json = details();
    const rrm::JsonReader d = json.child("details");
    EXPECT_EQ(d.get_int("ap-count"), 1);
    EXPECT_EQ(d.get_int("deleted-ap-count"), 1);
    EXPECT_EQ(d.get_int("fbt-status"), 1);
    bool forced = true;
    harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& worker) {
        forced = worker.force_optimization();
    });
    EXPECT_FALSE(forced);
}

}  // namespace
