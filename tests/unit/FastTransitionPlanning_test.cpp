// The 802.11r planning of a domain: key holders and keys filled in, links
// between the VAPs of one SSID on different APs, broken and invalid links
// removed, the broadcast link, the planned update and its timer, and the
// "fbt-info" messages. Worked cases by hand, then the indexed planning
// against the rule written out step by step on generated domains.

#include "ApSimulator.h"
#include "DomainFixture.h"
#include "FastTransitionPlanning.h"
#include "FbtReference.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "SendWindow.h"
#include "TimerQueue.h"
#include "TpcDcaSubworker.h"
#include "VapMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using rrm::ApEntry;
using rrm::FbtLink;
using rrm::mac_from_string;
using rrm::MacAddress;
using testsupport::ApSpec;
using testsupport::DomainFixture;
using testsupport::SimRadio;
using testsupport::SimVap;

// Planning cycles are not started by these subscriptions.
rrm::DomainConfig quiet_settings()
{
    rrm::DomainConfig settings;
    settings.use_optimization_event = false;
    return settings;
}

// AP number n (1..9) at 02:00:00:00:0n:00 with one 802.11r VAP "ab" (id 0)
// on radio `radio_id` (MAC base + 16 x id), R0 "R0-n", R1 the VAP's MAC,
// key "KEYnaaaaaaaaaaaa".
ApSpec ft_ap(int n, int radio_id = 0, int band = 2, int channel = 6, const std::string& ssid = "ab")
{
    ApSpec spec;
    spec.mac = "02:00:00:00:0" + std::to_string(n) + ":00";
    spec.domain = "d";
    spec.serial = "SN000" + std::to_string(n);
    SimRadio radio;
    radio.id = radio_id;
    radio.channel = channel;
    radio.band = band;
    SimVap vap;
    vap.id = 0;
    vap.ssid = ssid;
    vap.r = true;
    vap.r0 = "R0-" + std::to_string(n);
    vap.r1 = "02:00:00:00:0" + std::to_string(n) + ":" + std::to_string(radio_id) + "0";
    vap.rrb_key = "KEY" + std::to_string(n) + "aaaaaaaaaaaa";
    radio.vaps.push_back(vap);
    spec.radios.push_back(radio);
    return spec;
}

std::string remote(int n, const std::string& r1)
{
    return R"({"remote-r0-kh-id":"R0-)" + std::to_string(n) + R"(","remote-r1-kh-id":")" + r1 +
           R"(","remote-r1-kh-key":"KEY)" + std::to_string(n) + R"(aaaaaaaaaaaa"})";
}

// The "fbt-info" of AP n with its one VAP "ab" (mobility domain 0x6162 =
// 24930: an SSID of two bytes is its own value) on radio 0.
std::string fbt_info(int n, const std::string& r1, const std::string& remotes)
{
    const std::string mac = "02:00:00:00:0" + std::to_string(n) + ":00";
    return R"({"service":"rrm","version":"2.4","cmd":"fbt-info","ap-mac":")" + mac +
           R"(","wendara-use-80211r":1,"fbt-over-ds":0,"fbt-reassoc-deadline":1000,"vaps":[{)"
           R"("vap_id":0,"radio_id":0,"fbt-rrb-key":"KEY)" +
           std::to_string(n) + R"(aaaaaaaaaaaa","mobility-domain":24930,"r0-key-holder-id":"R0-)" +
           std::to_string(n) + R"(","r1-key-holder-id":")" + r1 + R"(","remotes":[)" + remotes + "]}]}";
}

rrm::Vap& vap_of(DomainFixture& domain, int n, int radio = 0, const std::string& ssid = "ab")
{
    auto ap = domain.find(domain.worker->aps, "02:00:00:00:0" + std::to_string(n) + ":00");
    return *ap->radios.radios[static_cast<size_t>(radio)].vaps.find(ssid);
}

std::vector<std::string> sent_since(DomainFixture& domain, size_t from, const std::string& cmd)
{
    std::vector<std::string> out;
    auto all = domain.sent(cmd);
    for (size_t i = from; i < all.size(); ++i)
        out.push_back(all[i].text);
    return out;
}

TEST(FastTransitionPlanning, TwoApsOfOneSsidAreLinkedOnce)
{
    DomainFixture domain(quiet_settings());
    domain.from_ap(ft_ap(1).subscribe_request(), 1);
    domain.from_ap(ft_ap(2).subscribe_request(), 2);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    tpc.fbt_status = 1;
    const size_t before = domain.sent("fbt-info").size();
    domain.log.clear();

    tpc.update_802dot11r();
    // Each VAP links the other's key holder, named as stored (nobody hears
    // anybody); both APs are told, in ascending MAC order.
    const std::vector<std::string> expected = {
        fbt_info(1, "02:00:00:00:01:00", remote(2, "02:00:00:00:02:00")),
        fbt_info(2, "02:00:00:00:02:00", remote(1, "02:00:00:00:01:00")),
    };
    EXPECT_EQ(sent_since(domain, before, "fbt-info"), expected);
    auto sent = domain.sent("fbt-info");
    EXPECT_EQ(sent[before].session.id, 1u);
    EXPECT_EQ(sent[before + 1].session.id, 2u);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Update 802dot11r domain d"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "wendara use_wildcard_80211r=0"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "FBT settings changed = 1"));
    EXPECT_EQ(tpc.fbt_status, 0);
    EXPECT_FALSE(domain.find(domain.worker->aps, "02:00:00:00:01:00")->fbt_changed);
    // The per-AP records carry the function name of the per-AP work.
    bool found = false;
    for (const auto& record : domain.log.records()) {
        if (record.text == "now linked 02:00:00:00:01:00 02:00:00:00:02:00") {
            found = true;
            EXPECT_EQ(record.func, "operator()");
            EXPECT_EQ(record.level, rrm::LOG_LEVEL_TRACE);
        }
    }
    EXPECT_TRUE(found);
    for (const char* line : {"==================================", "Device tavik-ap (Unknown)",
                             "fbt_changed = 0", "wlan_id = 0 vap_id = 0", "current ssid = ab",
                             "current serial = SN0001", "current r0 keyholder = R0-1",
                             "current r1 keyholder = 02:00:00:00:01:00", "use_wildcard_80211r = 0",
                             "remotes size = 0", "remote ssid = ab",
                             "remote MAC  = 02:00:00:00:02:00", "new remotes size = 1"})
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_TRACE, line)) << line;

    // Nothing left to do: nothing is sent.
    domain.log.clear();
    tpc.update_802dot11r();
    EXPECT_EQ(domain.sent("fbt-info").size(), before + 2);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "FBT settings changed = 0"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_TRACE,
                               "already linked 02:00:00:00:02:00 02:00:00:00:01:00"));
    EXPECT_EQ(vap_of(domain, 1).fbt_links.size(), 1u);
}

// The planning's Trace records name what the APs said of themselves: a
// line break in it used to start a record of the AP's making, and a long
// text grew the log by its length.
TEST(FastTransitionPlanning, TraceRecordsQuoteWhatTheApsSaid)
{
    DomainFixture domain(quiet_settings());
    const std::string forged = "2030-01-01 00:00:00,000 ERROR forged record";
    const std::string tail(3000, 'x');
    // In JSON the line break is "\n"; both VAPs share the SSID, so they link.
    const std::string odd = "a\\n" + forged + tail;
    for (int n = 1; n <= 2; ++n) {
        ApSpec spec = ft_ap(n, 0, 2, 6, odd);
        spec.board = odd;
        spec.serial = odd;
        spec.radios[0].vaps[0].r0 = odd;
        domain.from_ap(spec.subscribe_request(), static_cast<uint32_t>(n));
    }
    ASSERT_EQ(vap_of(domain, 1, 0, "a\n" + forged + tail).fbt_r0_keyholder, "a\n" + forged + tail);
    domain.log.clear();
    domain.tpc().fbt_status = 1;
    domain.tpc().update_802dot11r();

    // "a", the break as \x0a, then as much of the rest as fits in 1024
    // bytes, and the length: 1 + 1 + 43 + 3000 bytes.
    const std::string quoted = "a\\x0a" + forged + "xxx";
    const std::string length = "... (3045 bytes)";
    for (const char* head : {"Device ", "current ssid = ", "current serial = ",
                             "current r0 keyholder = ", "remote ssid = "}) {
        bool found = false;
        for (const auto& record : domain.log.records())
            found = found || (record.text.rfind(head + quoted, 0) == 0 &&
                              record.text.find(length) != std::string::npos);
        EXPECT_TRUE(found) << head;
    }
    for (const auto& record : domain.log.records()) {
        EXPECT_EQ(record.text.find('\n'), std::string::npos) << record.text;
        EXPECT_LT(record.text.size(), 1300u) << record.text.substr(0, 80);
    }
}

TEST(FastTransitionPlanning, UpdateOfAnEmptyDomain)
{
    DomainFixture domain(quiet_settings());
    domain.tpc().fbt_status = 1;
    domain.tpc().update_802dot11r();
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "FBT settings changed = 0"));
    EXPECT_EQ(domain.tpc().fbt_status, 0);
    EXPECT_TRUE(domain.sent().empty());
}

TEST(FastTransitionPlanning, BandRule)
{
    // AP 1's VAP on a 2.4 GHz radio; AP 2's on the radio given.
    struct Case {
        const char* name;
        int radio2, band2, channel2;
        bool six_on_1;  // AP 1 also has a 6 GHz radio (without 802.11r VAPs)
        bool six_enabled;
        bool linked;
    };
    const Case cases[] = {
        {"same band", 0, 2, 11, false, false, true},
        {"2.4 and 5 GHz", 1, 5, 36, false, false, false},
        {"2.4 and 5 GHz, 6 GHz radio enabled on AP 1", 1, 5, 36, true, true, true},
        {"2.4 and 5 GHz, 6 GHz radio disabled on AP 1", 1, 5, 36, true, false, false},
        {"2.4 and 6 GHz", 2, 6, 37, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain(quiet_settings());
        ApSpec first = ft_ap(1);
        if (c.six_on_1) {
            SimRadio six;
            six.id = 2;
            six.band = 6;
            six.channel = 37;
            six.enabled = c.six_enabled;
            first.radios.push_back(six);
        }
        domain.from_ap(first.subscribe_request(), 1);
        domain.from_ap(ft_ap(2, c.radio2, c.band2, c.channel2).subscribe_request(), 2);
        domain.tpc().update_802dot11r();
        EXPECT_EQ(vap_of(domain, 1).fbt_links.size(), c.linked ? 1u : 0u);
        EXPECT_EQ(vap_of(domain, 2, c.radio2).fbt_links.size(), c.linked ? 1u : 0u);
    }
}

TEST(FastTransitionPlanning, LinksOfAnApThatLeftAreErased)
{
    for (const bool unsubscribes : {false, true}) {
        SCOPED_TRACE(unsubscribes ? "unsubscribed" : "session dropped");
        DomainFixture domain(quiet_settings());
        domain.from_ap(ft_ap(1).subscribe_request(), 1);
        domain.from_ap(ft_ap(2).subscribe_request(), 2);
        domain.tpc().update_802dot11r();
        ASSERT_EQ(vap_of(domain, 1).fbt_links.size(), 1u);
        if (unsubscribes)
            domain.from_ap(ft_ap(2).unsubscribe_request(), 2);
        else
            domain.drop(2);
        const size_t before = domain.sent("fbt-info").size();
        domain.log.clear();

        domain.tpc().update_802dot11r();
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_TRACE,
                                   "02:00:00:00:01:00 (ab) erase broken link with 02:00:00:00:02:00"));
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "FBT settings changed = 1"));
        EXPECT_EQ(sent_since(domain, before, "fbt-info"),
                  std::vector<std::string>{fbt_info(1, "02:00:00:00:01:00", "")});
    }
}

TEST(FastTransitionPlanning, SsidChangeMovesTheLinks)
{
    DomainFixture domain(quiet_settings());
    domain.from_ap(ft_ap(1).subscribe_request(), 1);
    domain.from_ap(ft_ap(2).subscribe_request(), 2);
    domain.from_ap(ft_ap(3, 0, 2, 6, "cd").subscribe_request(), 3);
    domain.tpc().update_802dot11r();
    ASSERT_EQ(vap_of(domain, 1).fbt_links.size(), 1u);
    ASSERT_TRUE(vap_of(domain, 3, 0, "cd").fbt_links.empty());

    // AP 2 now serves "cd" with the same key holder and key.
    ApSpec changed = ft_ap(2, 0, 2, 6, "cd");
    domain.from_ap(changed.config_changed(), 2);
    EXPECT_EQ(domain.tpc().fbt_status, 1) << "the change plans an update";
    domain.tpc().update_802dot11r();

    // AP 1's link leads nowhere now; AP 2 and AP 3 share "cd".
    EXPECT_TRUE(vap_of(domain, 1).fbt_links.empty());
    ASSERT_EQ(vap_of(domain, 2, 0, "cd").fbt_links.size(), 1u);
    EXPECT_EQ(vap_of(domain, 2, 0, "cd").fbt_links[0].remote_r0_kh_id(), "R0-3");
    ASSERT_EQ(vap_of(domain, 3, 0, "cd").fbt_links.size(), 1u);
    EXPECT_EQ(vap_of(domain, 3, 0, "cd").fbt_links[0].remote_r0_kh_id(), "R0-2");
}

TEST(FastTransitionPlanning, LinkWhoseRemoteDiffersOnlyInTheLocalBitStays)
{
    struct Case {
        const char* given;  // the link's remote R1 text; AP 2's is 02:00:00:00:02:00
        bool stays;
    };
    const Case cases[] = {
        {"00:00:00:00:02:00", true},
        {"02:00:00:00:02:00", true},
        {"02:00:00:00:02:00 ", true},  // text after the sixth field is not read
        {"03:00:00:00:02:00", false},
        {"not a mac", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        DomainFixture domain(quiet_settings());
        domain.from_ap(ft_ap(1).subscribe_request(), 1);
        domain.from_ap(ft_ap(2).subscribe_request(), 2);
        vap_of(domain, 1).fbt_links.push_back(FbtLink{"R0-2", c.given, "KEY2aaaaaaaaaaaa"});
        vap_of(domain, 2).fbt_links.push_back(FbtLink{"R0-1", "02:00:00:00:01:00", "KEY1aaaaaaaaaaaa"});
        const size_t before = domain.sent("fbt-info").size();
        domain.tpc().update_802dot11r();
        const auto& links = vap_of(domain, 1).fbt_links;
        ASSERT_EQ(links.size(), 1u);
        if (c.stays) {
            EXPECT_EQ(links[0].remote_r1_kh_id(), c.given);
            EXPECT_EQ(domain.sent("fbt-info").size(), before) << "nothing changed";
        } else {
            // Erased, and the right link made in its place.
            EXPECT_EQ(links[0].remote_r1_kh_id(), "02:00:00:00:02:00");
            EXPECT_EQ(sent_since(domain, before, "fbt-info"),
                      std::vector<std::string>{
                          fbt_info(1, "02:00:00:00:01:00", remote(2, "02:00:00:00:02:00"))});
        }
    }
}

TEST(FastTransitionPlanning, NewLinkNamesTheRemoteAsThisApHearsIt)
{
    DomainFixture domain(quiet_settings());
    domain.from_ap(ft_ap(1).subscribe_request(), 1);
    domain.from_ap(ft_ap(2).subscribe_request(), 2);
    // AP 1 hears AP 2's radio 0 with the locally-administered bit cleared.
    auto first = domain.find(domain.worker->aps, "02:00:00:00:01:00");
    first->visible_members.insert(mac_from_string("00:00:00:00:02:00"),
                                  rrm::Neighbour(-60, 6, 2, 20, 20, 256));
    const size_t before = domain.sent("fbt-info").size();
    domain.tpc().update_802dot11r();
    // AP 1 links AP 2 under 00:..., and AP 2's own key holder is named so
    // too: the domain hears its radio under that BSSID. AP 2 hears nobody.
    EXPECT_EQ(sent_since(domain, before, "fbt-info"),
              (std::vector<std::string>{
                  fbt_info(1, "02:00:00:00:01:00", remote(2, "00:00:00:00:02:00")),
                  fbt_info(2, "00:00:00:00:02:00", remote(1, "02:00:00:00:01:00"))}));
}

// An 802.11r VAP without key holders or key ("fbt-rrb-key" not sent).
ApSpec bare_ap(int n, int wildcard)
{
    ApSpec spec = ft_ap(n);
    spec.radios[0].vaps[0].rrb_key.clear();
    spec.wildcard_80211r = wildcard;
    return spec;
}

bool sixteen_letters(const std::string& key)
{
    if (key.size() != 16)
        return false;
    for (char ch : key)
        if (!std::isalpha(static_cast<unsigned char>(ch)))
            return false;
    return true;
}

TEST(FastTransitionPlanning, FirstFbtInfoOfANewApCarriesItsFilledKeyHolders)
{
    struct Case {
        const char* name;
        bool server_wildcard;
        int ap_wildcard;
        const char* r0;
    };
    // R0: the serial, or with both wildcard settings the VAP's MAC
    // 02:00:00:00:0n:00 as twelve hexadecimal digits.
    const Case cases[] = {
        {"no wildcard", false, -1, "SN0001"},
        {"AP asks, server does not", false, 1, "SN0001"},
        {"server and AP", true, 1, "020000000100"},
        {"server, AP does not", true, 0, "SN0001"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain(quiet_settings());
        domain.config->global_update(
            rrm::JsonReader(c.server_wildcard ? R"({"use_wildcard_80211r":1})" : R"({"use_wildcard_80211r":0})"));
        domain.from_ap(bare_ap(1, c.ap_wildcard).subscribe_request(), 1);
        const std::string text = domain.last("fbt-info");
        const rrm::JsonReader message(text.c_str());
        const rrm::JsonReader vap = message.child("vaps").child(0);
        EXPECT_STREQ(vap.get_string("r0-key-holder-id"), c.r0);
        EXPECT_STREQ(vap.get_string("r1-key-holder-id"), "02:00:00:00:01:00");
        const std::string key = vap.get_string("fbt-rrb-key");
        EXPECT_TRUE(sixteen_letters(key)) << key;
        // The AP keeps what it was told; the next update links it so.
        const rrm::Vap& held = vap_of(domain, 1);
        EXPECT_EQ(held.fbt_r0_keyholder, c.r0);
        EXPECT_EQ(held.fbt_r1_keyholder, "02:00:00:00:01:00");
        EXPECT_EQ(held.fbt_rrb_key, key);
        domain.from_ap(ft_ap(2).subscribe_request(), 2);
        domain.tpc().update_802dot11r();
        ASSERT_FALSE(vap_of(domain, 2).fbt_links.empty());
        const FbtLink& link = vap_of(domain, 2).fbt_links[0];
        EXPECT_EQ(link.remote_r0_kh_id(), c.r0);
        EXPECT_EQ(link.remote_r1_kh_key(), key);
    }

    // Two bare VAPs get different keys.
    DomainFixture domain(quiet_settings());
    domain.from_ap(bare_ap(1, -1).subscribe_request(), 1);
    domain.from_ap(bare_ap(2, -1).subscribe_request(), 2);
    EXPECT_NE(vap_of(domain, 1).fbt_rrb_key, vap_of(domain, 2).fbt_rrb_key);
}

TEST(FastTransitionPlanning, WildcardKeyHolder)
{
    DomainFixture domain(quiet_settings());
    domain.config->global_update(rrm::JsonReader(R"({"use_wildcard_80211r":1})"));
    domain.from_ap(bare_ap(1, 1).subscribe_request(), 1);
    domain.from_ap(ft_ap(2).subscribe_request(), 2);
    domain.log.clear();
    domain.tpc().update_802dot11r();

    // AP 1 gets the broadcast link after its link to AP 2; AP 2 does not ask
    // for one.
    const auto& links = vap_of(domain, 1).fbt_links;
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[1].remote_r0_kh_id(), "*");
    EXPECT_EQ(links[1].remote_r1_kh_id(), "ff:ff:ff:ff:ff:ff");
    EXPECT_EQ(links[1].remote_r1_kh_key(), rrm::fbt_wildcard_key());
    EXPECT_EQ(vap_of(domain, 2).fbt_links.size(), 1u);
    EXPECT_EQ(domain.log.count(rrm::LOG_LEVEL_DEBUG, "FBT broadcast mac added"), 2u);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "wendara use_wildcard_80211r=1"));
    const std::string text = domain.sent("fbt-info")[domain.sent("fbt-info").size() - 2].text;
    EXPECT_NE(text.find(R"({"remote-r0-kh-id":"*","remote-r1-kh-id":"ff:ff:ff:ff:ff:ff",)"
                        R"("remote-r1-kh-key":")" + rrm::fbt_wildcard_key() + "\"}"),
              std::string::npos)
        << text;

    // Kept while both settings stay on.
    domain.log.clear();
    domain.tpc().update_802dot11r();
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "skip wildcarg keyholder"));
    EXPECT_EQ(vap_of(domain, 1).fbt_links.size(), 2u);

    // The server stops using it: the link has no partner and goes; the R0
    // identity made with the wildcard stays.
    domain.config->global_update(rrm::JsonReader(R"({"use_wildcard_80211r":0})"));
    domain.tpc().update_802dot11r();
    ASSERT_EQ(vap_of(domain, 1).fbt_links.size(), 1u);
    EXPECT_EQ(vap_of(domain, 1).fbt_links[0].remote_r0_kh_id(), "R0-2");
    EXPECT_EQ(vap_of(domain, 1).fbt_r0_keyholder, "020000000100");

    // An AP made while the server did not use it keeps its serial.
    DomainFixture later(quiet_settings());
    later.from_ap(bare_ap(1, 1).subscribe_request(), 1);
    later.config->global_update(rrm::JsonReader(R"({"use_wildcard_80211r":1})"));
    later.tpc().update_802dot11r();
    EXPECT_EQ(vap_of(later, 1).fbt_r0_keyholder, "SN0001");
    EXPECT_EQ(vap_of(later, 1).fbt_links.size(), 1u) << "the broadcast link";
}

TEST(FastTransitionPlanning, PlannedUpdateRunsOnlyWhileNoCycleIsUnderWay)
{
    DomainFixture domain(quiet_settings());
    domain.from_ap(ft_ap(1).subscribe_request(), 1);
    domain.from_ap(ft_ap(2).subscribe_request(), 2);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    tpc.state = rrm::STATE_IDLE;
    tpc.timers.cancel_timer(rrm::TpcDcaSubworker::CYCLE_TIMER);

    // Three plans within the delay: one update, 20 s after the last.
    domain.log.clear();
    const int64_t planned_at = rrm::TimerQueue::now_seconds();
    tpc.planning_update_802dot11r();
    tpc.planning_update_802dot11r();
    tpc.planning_update_802dot11r();
    EXPECT_EQ(domain.log.count(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11r domain d"), 3u);
    EXPECT_EQ(tpc.fbt_status, 1);
    EXPECT_EQ(tpc.timers.size(), 1u);
    const size_t before = domain.sent("fbt-info").size();
    tpc.timers.fire_due(planned_at + 19);
    EXPECT_EQ(domain.sent("fbt-info").size(), before);
    tpc.timers.fire_due(rrm::TimerQueue::now_seconds() + 21);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Process update 802dot11r domain d"));
    EXPECT_EQ(domain.sent("fbt-info").size(), before + 2);
    EXPECT_EQ(tpc.fbt_status, 0);
    EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), 1u);

    // Due while a cycle is under way: dropped, still pending.
    for (rrm::DomainState state : {2, 3, 4, 5}) {
        SCOPED_TRACE(state);
        tpc.state = rrm::STATE_IDLE;
        tpc.planning_update_802dot11r();
        tpc.state = state;
        domain.log.clear();
        tpc.timers.fire_due(rrm::TimerQueue::now_seconds() + 21);
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Not update 802dot11r domain d"));
        EXPECT_EQ(tpc.fbt_status, 1);
        // And not planned in that state.
        tpc.planning_update_802dot11r();
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "NOT Planning update 802dot11r domain d"));
        EXPECT_TRUE(tpc.timers.empty());
    }

    // Held by a restore: only recorded.
    tpc.state = rrm::STATE_IDLE;
    tpc.fbt_status = 0;
    tpc.restore_lock = true;
    domain.log.clear();
    tpc.planning_update_802dot11r();
    EXPECT_EQ(tpc.fbt_status, 1);
    EXPECT_TRUE(tpc.timers.empty());
    EXPECT_TRUE(domain.log.records().empty());

    // 802.11r off: never planned.
    rrm::DomainConfig off = quiet_settings();
    off.use_80211r = false;
    DomainFixture without(off);
    without.tpc().planning_update_802dot11r();
    EXPECT_TRUE(without.log.has(rrm::LOG_LEVEL_DEBUG, "NOT Planning update 802dot11r domain d"));
    EXPECT_EQ(without.tpc().fbt_status, 0);
}

TEST(FastTransitionPlanning, BatchThatFailsStillSendsWhatItQueued)
{
    DomainFixture domain(quiet_settings());
    domain.from_ap(ft_ap(1).subscribe_request(), 1);
    const BaseSession one = DomainFixture::session(1);
    const size_t before = domain.sent().size();

    // A batch scope left by an exception.
    try {
        rrm::RrmWorker::BroadcastBatch batch(*domain.worker);
        domain.worker->broadcast_buffer_add("first", one);
        throw std::runtime_error("half way");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(domain.worker->broadcast_buffer.empty());
    ASSERT_EQ(domain.sent().size(), before + 1);
    EXPECT_EQ(domain.sent().back().text, "first");

    // A timer callback of a sub-worker that queues and throws: its message
    // leaves at the end of that callback, before the next callback's batch.
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    tpc.timers.add_timer(
        [&] {
            domain.worker->broadcast_buffer_add("second", one);
            throw std::runtime_error("timer failed");
        },
        7, 0);
    tpc.timers.add_timer(
        [&] {
            EXPECT_TRUE(domain.worker->broadcast_buffer.empty());
            domain.worker->broadcast_buffer_add("third", one);
            domain.worker->broadcast_buffer_flush();
        },
        8, 0);
    domain.worker->poll_timers();
    auto sent = domain.sent();
    ASSERT_EQ(sent.size(), before + 3);
    EXPECT_EQ(sent[before + 1].text, "second");
    EXPECT_EQ(sent[before + 2].text, "third");
    EXPECT_EQ(domain.log.event_count(rrm::EVENT_WORKER_MSG_EXCEPTION), 1u);

    // A timer that queues and forgets to flush: sent at the end of the pass.
    tpc.timers.add_timer([&] { domain.worker->broadcast_buffer_add("fourth", one); }, 9, 0);
    domain.worker->poll_timers();
    EXPECT_EQ(domain.sent().back().text, "fourth");
    EXPECT_TRUE(domain.worker->broadcast_buffer.empty());
}

// ---- Past the full mesh -------------------------------------------------

// AP number n (1 up to 65535) at 02:00:00:HH:LL:00 with one 802.11r VAP
// "ab" on radio 0 (2.4 GHz, channel 6), its R1 key holder the VAP's MAC.
ApSpec numbered_ap(int n)
{
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:00:00:%02X:%02X:00", n >> 8, n & 0xFF);
    ApSpec spec = ft_ap(1);
    spec.mac = mac;
    spec.serial = "SN-" + std::to_string(n);
    SimVap& vap = spec.radios[0].vaps[0];
    vap.r0 = "R0-" + std::to_string(n);
    vap.r1 = mac;
    vap.rrb_key = "KEY-" + std::to_string(n) + "-aaaaaaaa";
    return spec;
}

// APs 1 to n subscribe, AP i on session i.
void subscribe_numbered(DomainFixture& domain, int n)
{
    for (int i = 1; i <= n; ++i)
        domain.from_ap(numbered_ap(i).subscribe_request(), static_cast<uint32_t>(i));
}

std::shared_ptr<ApEntry> numbered(DomainFixture& domain, int n)
{
    return domain.find(domain.worker->aps, numbered_ap(n).mac);
}

// AP a hears radio 0 of AP b (its MAC is the AP's own).
void hears(DomainFixture& domain, int a, int b)
{
    numbered(domain, a)->visible_members.insert(mac_from_string(numbered_ap(b).mac.c_str()),
                                                rrm::Neighbour(-60, 6, 2, 20, 20, 256));
}

size_t links_of(DomainFixture& domain, int n)
{
    return numbered(domain, n)->radios.radios[0].vaps.find("ab")->fbt_links.size();
}

// An update, with the slices and messages it leaves for the worker's next
// passes (a large domain's planning takes several).
void update_whole(DomainFixture& domain)
{
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    tpc.update_802dot11r();
    while (tpc.fbt_planning || !tpc.fbt_outbox.empty())
        domain.worker->poll_timers();
}

TEST(FastTransitionPlanning, FullMeshUpToItsBoundThenTheApsThatHearEachOther)
{
    const int n = static_cast<int>(rrm::FBT_FULL_MESH_MAX_APS);
    DomainFixture domain(quiet_settings());
    // Tens of thousands of Trace records, none looked at here.
    rrm::set_log_handler([](const char*, int, const char*, int, const char*, va_list) {});
    subscribe_numbered(domain, n);
    // A line: AP i hears AP i + 1; the last one only hears a foreign BSSID
    // (it has scan data all the same).
    for (int i = 1; i < n; ++i)
        hears(domain, i, i + 1);
    numbered(domain, n)->visible_rogue.insert(mac_from_string("00:AA:00:00:00:01"),
                                              rrm::Neighbour(-80, 6, 2, 20, 20, 256));
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    ASSERT_EQ(tpc.fbt_full_mesh_max_aps, rrm::FBT_FULL_MESH_MAX_APS);

    // At the bound every VAP is linked with every other AP's: n - 1 links.
    update_whole(domain);
    for (int i : {1, 2, n / 2, n})
        EXPECT_EQ(links_of(domain, i), static_cast<size_t>(n - 1)) << i;

    // One more AP, without scan data: past the bound. It keeps the full
    // mesh (n links), told at once as it subscribes. An AP with scan data
    // keeps the APs it hears and those that hear it (AP i: i - 1 and i + 1),
    // from the next update on; nobody links the newcomer, for nobody hears
    // it yet.
    domain.from_ap(numbered_ap(n + 1).subscribe_request(), static_cast<uint32_t>(n + 1));
    EXPECT_EQ(links_of(domain, n + 1), static_cast<size_t>(n));
    EXPECT_EQ(rrm::JsonReader(domain.last("fbt-info").c_str()).child("vaps").child(0).child("remotes").size(), n);
    EXPECT_EQ(links_of(domain, 1), static_cast<size_t>(n - 1));
    const size_t before = domain.sent("fbt-info").size();
    update_whole(domain);
    EXPECT_EQ(links_of(domain, 1), 1u);
    EXPECT_EQ(links_of(domain, 2), 2u);
    EXPECT_EQ(links_of(domain, n / 2), 2u);
    EXPECT_EQ(links_of(domain, n), 1u);
    EXPECT_EQ(links_of(domain, n + 1), static_cast<size_t>(n));
    // Every other AP's links changed, so each is told.
    EXPECT_EQ(domain.sent("fbt-info").size() - before, static_cast<size_t>(n));

    // Its first scan: it hears AP 1. From then on it is AP 1's partner,
    // both ways, and no one else's.
    hears(domain, n + 1, 1);
    update_whole(domain);
    EXPECT_EQ(links_of(domain, n + 1), 1u);
    EXPECT_EQ(links_of(domain, 1), 2u);
    EXPECT_EQ(links_of(domain, 2), 2u);

    // Back to the bound (the newcomer leaves): the full mesh again.
    domain.from_ap(numbered_ap(n + 1).unsubscribe_request(), static_cast<uint32_t>(n + 1));
    update_whole(domain);
    for (int i : {1, 2, n})
        EXPECT_EQ(links_of(domain, i), static_cast<size_t>(n - 1)) << i;
}

TEST(FastTransitionPlanning, StepsOfAnUpdatePlanTheDomainAsTheyFindIt)
{
    DomainFixture domain(quiet_settings());
    subscribe_numbered(domain, 3);
    rrm::FbtPlanning planning(false, rrm::FBT_FULL_MESH_MAX_APS);
    std::vector<MacAddress> told;
    const size_t one_ap = 0;  // no work to spare: one AP per step
    EXPECT_FALSE(planning.step(domain.worker->aps, one_ap, told, domain.worker->activity()));
    EXPECT_EQ(links_of(domain, 1), 2u);
    // AP 2 leaves between two steps, AP 4 comes (the worker's activity
    // says the domain changed): the next steps plan AP 3 and AP 4 without
    // AP 2 (AP 1 keeps its link to AP 2 until the next update).
    domain.from_ap(numbered_ap(2).unsubscribe_request(), 2);
    domain.from_ap(numbered_ap(4).subscribe_request(), 4);
    EXPECT_FALSE(planning.step(domain.worker->aps, one_ap, told, domain.worker->activity()));
    EXPECT_TRUE(planning.step(domain.worker->aps, one_ap, told, domain.worker->activity()));
    EXPECT_EQ(links_of(domain, 1), 2u);
    EXPECT_EQ(links_of(domain, 3), 2u);
    EXPECT_EQ(links_of(domain, 4), 2u);
    EXPECT_TRUE(planning.changed());
    const std::vector<MacAddress> expected = {mac_from_string(numbered_ap(1).mac.c_str()),
                                              mac_from_string(numbered_ap(3).mac.c_str()),
                                              mac_from_string(numbered_ap(4).mac.c_str())};
    EXPECT_EQ(told, expected);
}

TEST(FastTransitionPlanning, ApJoiningPastTheFullMeshIsToldItsLinksAtOnce)
{
    struct Case {
        const char* name;
        size_t full_mesh;
        bool planned_before;
        size_t remotes;  // in the newcomer's first "fbt-info"
    };
    // Three APs, then a fourth subscribes; it has no scan data, so past the
    // full mesh it is linked with all three.
    const Case cases[] = {
        {"within the full mesh: links come with the next update", 4, true, 0},
        {"past it, the domain planned before", 3, true, 3},
        {"past it, before the domain's first update", 3, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DomainFixture domain(quiet_settings());
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        tpc.fbt_full_mesh_max_aps = c.full_mesh;
        subscribe_numbered(domain, 3);
        if (c.planned_before)
            tpc.update_802dot11r();
        const size_t before = domain.sent().size();
        domain.from_ap(numbered_ap(4).subscribe_request(), 4);
        const auto sent = domain.sent();
        ASSERT_EQ(sent.size(), before + 2);
        EXPECT_EQ(testsupport::cmd_of(sent[before].text), "subscribe-response");
        const rrm::JsonReader message(sent[before + 1].text.c_str());
        EXPECT_STREQ(message.get_string("cmd"), "fbt-info");
        EXPECT_EQ(static_cast<size_t>(message.child("vaps").child(0).child("remotes").size()),
                  c.remotes);
        EXPECT_EQ(links_of(domain, 4), c.remotes);
        EXPECT_FALSE(numbered(domain, 4)->fbt_changed);
        // The others are not changed by it.
        EXPECT_EQ(links_of(domain, 1), c.planned_before ? 2u : 0u);
    }
}

// "fbt-info" as the document writer writes it, member by member.
std::string fbt_info_by_document(const ApEntry& ap, const rrm::ApMap& aps, const rrm::DomainConfig& settings)
{
    rrm::JsonWriter message("rrm", "fbt-info", "");
    message.add_string("ap-mac", rrm::mac_to_string(ap.base_mac).c_str());
    message.add_int("wendara-use-80211r", 1);
    message.add_int("fbt-over-ds", settings.fbt_over_ds ? 1 : 0);
    message.add_int("fbt-reassoc-deadline", settings.fbt_reassoc_deadline);
    rrm::JsonWriter list = message.add_array("vaps");
    for (const rrm::Radio& radio : ap.radios.radios) {
        if (!radio.status)
            continue;
        for (const rrm::Vap* vap : radio.vaps.sorted()) {
            if (!vap->use_802dot11r)
                continue;
            rrm::JsonWriter item = list.add_object("");
            item.add_int("vap_id", vap->vap_id);
            item.add_int("radio_id", static_cast<int>(radio.id));
            item.add_string("fbt-rrb-key", vap->fbt_rrb_key.c_str());
            item.add_int("mobility-domain", vap->get_mobility_domain());
            item.add_string("r0-key-holder-id", vap->fbt_r0_keyholder.c_str());
            // Nobody hears anybody here: the R1 identity as stored.
            item.add_string("r1-key-holder-id",
                            rrm::mac_to_string(mac_from_string(vap->fbt_r1_keyholder.c_str())).c_str());
            rrm::JsonWriter remotes = item.add_array("remotes");
            for (const FbtLink& link : vap->fbt_links) {
                rrm::JsonWriter remote = remotes.add_object("");
                remote.add_string("remote-r0-kh-id", link.remote_r0_kh_id().c_str());
                remote.add_string("remote-r1-kh-id", link.remote_r1_kh_id().c_str());
                remote.add_string("remote-r1-kh-key", link.remote_r1_kh_key().c_str());
            }
        }
    }
    (void)aps;
    return message.to_string();
}

TEST(FastTransitionPlanning, FbtInfoTextIsWhatTheDocumentWriterWrites)
{
    rrm::DomainConfig settings = quiet_settings();
    settings.fbt_over_ds = true;
    settings.fbt_reassoc_deadline = -7;
    DomainFixture domain(settings);
    ApSpec spec = ApSpec::typical("02:00:00:00:01:00", "d");
    spec.radios[1].enabled = false;
    spec.radios[0].vaps[2].r = false;
    domain.from_ap(spec.subscribe_request(), 1);
    auto ap = domain.find(domain.worker->aps, "02:00:00:00:01:00");
    // Texts that JSON must escape, and some it writes as they are.
    const std::string odd[] = {"quote \" and backslash \\", "tab\tnewline\nreturn\r", "\x01\x1f\x7f",
                               "caf\xc3\xa9 \xe2\x82\xac", "", "cut\0here"};
    rrm::Vap& vap = ap->radios.radios[0].vaps.table.begin()->second;
    vap.fbt_r0_keyholder = odd[0];
    vap.fbt_rrb_key = odd[1];
    for (size_t i = 0; i < std::size(odd); ++i)
        vap.fbt_links.push_back(FbtLink{odd[i], odd[(i + 1) % std::size(odd)], odd[(i + 2) % std::size(odd)]});
    vap.fbt_links.push_back(FbtLink{"", std::string("nul\0inside", 10), "x"});
    ap->radios.radios[2].vaps.table.begin()->second.fbt_links.push_back(FbtLink{"r0", "00:11:22:33:44:55", "k"});
    EXPECT_EQ(domain.tpc().fbt_info_text(*ap),
              fbt_info_by_document(*ap, domain.worker->aps, domain.worker->config));
}

TEST(FastTransitionPlanning, MessagesOfAnUpdateLeaveAsTheTransportTakesThem)
{
    DomainFixture domain(quiet_settings());
    subscribe_numbered(domain, 4);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    // A window of one byte: one message at a time; the transport holds each
    // until the test lets it go.
    domain.registry->keep_holds = true;
    tpc.send_window = std::make_shared<rrm::SendWindow>(1);
    int wakes = 0;
    tpc.send_window->set_waker([&] { ++wakes; });
    const size_t before = domain.sent("fbt-info").size();

    tpc.update_802dot11r();
    auto sent = sent_since(domain, before, "fbt-info");
    ASSERT_EQ(sent.size(), 1u) << "only the first goes while it is held";
    EXPECT_EQ(rrm::JsonReader(sent[0].c_str()).get_string("ap-mac"), std::string("02:00:00:00:01:00"));
    EXPECT_EQ(tpc.fbt_outbox.size(), 3u);
    EXPECT_GT(tpc.send_window->held_bytes(), 0u);
    // Passes of the worker send nothing more meanwhile.
    domain.worker->poll_timers();
    EXPECT_EQ(sent_since(domain, before, "fbt-info").size(), 1u);

    // Released: the worker is woken and its next pass sends the next one.
    domain.registry->release_holds();
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(tpc.send_window->held_bytes(), 0u);
    // AP 3 leaves before its turn: it is not told.
    domain.from_ap(numbered_ap(3).unsubscribe_request(), 3);
    domain.worker->poll_timers();
    domain.registry->release_holds();
    domain.worker->poll_timers();
    domain.registry->release_holds();
    domain.worker->poll_timers();
    sent = sent_since(domain, before, "fbt-info");
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(rrm::JsonReader(sent[1].c_str()).get_string("ap-mac"), std::string("02:00:00:00:02:00"));
    EXPECT_EQ(rrm::JsonReader(sent[2].c_str()).get_string("ap-mac"), std::string("02:00:00:00:04:00"));
    EXPECT_TRUE(tpc.fbt_outbox.empty());
    // Each message carries the links as they are when it is built: AP 4's
    // link to AP 3, made by the update, is still there (the next update
    // erases it).
    EXPECT_EQ(rrm::JsonReader(sent[2].c_str()).child("vaps").child(0).child("remotes").size(), 3);

    // Queued twice before its turn: sent once.
    tpc.fbt_outbox.clear();
    domain.registry->release_holds();
    const size_t now = domain.sent("fbt-info").size();
    auto first = numbered(domain, 1);
    first->fbt_changed = true;
    tpc.post_results_802dot11r_ap(first.get(), false, false);
    tpc.post_results_802dot11r_ap(first.get(), false, true);
    tpc.send_fbt_outbox();
    EXPECT_EQ(domain.sent("fbt-info").size(), now + 1);
}

// ---- The indexed planning against the rule written out -------------------

class GeneratedDomain {
public:
    explicit GeneratedDomain(uint32_t seed) : random_(seed) {}

    // 3 to 9 APs with random radios, VAPs, key holders (drawn from small
    // pools, so that equal and near-equal ones meet), links and scan views.
    std::unique_ptr<rrm::ApMap> make(rrm::DomainConfig& config)
    {
        auto map = std::make_unique<rrm::ApMap>();
        const int count = 3 + pick(7);
        std::vector<std::shared_ptr<ApEntry>> made;
        for (int i = 0; i < count; ++i) {
            char base[32];
            std::snprintf(base, sizeof base, "%02X:00:00:00:%02X:00", pick(2) ? 2 : 0, i + 1);
            auto ap = std::make_shared<ApEntry>(&config, mac_from_string(base), rrm::null_session);
            ap->factory.serial = "SN" + std::to_string(i);
            ap->use_wildcard_80211r = pick(3) == 0;
            static const int bands[] = {2, 5, 6, 0};
            for (rrm::Radio& radio : ap->radios.radios) {
                radio.status = pick(4) != 0;
                radio.band = bands[pick(4)];
                radio.channel = 1 + pick(40);
                const int vaps = pick(4);
                for (int v = 0; v < vaps; ++v) {
                    rrm::Vap vap(v, ssids_[pick(3)], radio.mac, true, pick(5) != 0, false);
                    vap.mac.octets[5] = static_cast<uint8_t>(vap.mac.octets[5] + v);
                    vap.fbt_r0_keyholder = pick(4) ? ap->factory.serial : "R0-shared";
                    vap.fbt_r1_keyholder = r1_text(vap.mac);
                    vap.fbt_rrb_key = pick(5) ? "K" + std::to_string(pick(6)) : "";
                    radio.vaps.set(vap.ssid, vap);
                }
            }
            made.push_back(ap);
            map->insert(ap->base_mac, ap);
        }
        // Links to what the domain's VAPs carry (as they are, with the
        // other local bit, or spoiled), to nothing, and broadcast links.
        std::vector<FbtLink> pool;
        for (const auto& ap : made)
            for (const rrm::Radio& radio : ap->radios.radios)
                for (const auto& entry : radio.vaps) {
                    const rrm::Vap& v = entry.second;
                    pool.push_back({v.fbt_r0_keyholder, v.fbt_r1_keyholder, v.fbt_rrb_key});
                    MacAddress flipped = rrm::mac_flip_local_bit(mac_from_string(v.fbt_r1_keyholder.c_str()));
                    pool.push_back({v.fbt_r0_keyholder, rrm::mac_to_string(flipped), v.fbt_rrb_key});
                    pool.push_back({"other", v.fbt_r1_keyholder, v.fbt_rrb_key});
                }
        pool.push_back({"*", "ff:ff:ff:ff:ff:ff", rrm::fbt_wildcard_key()});
        pool.push_back({"x", "junk", "K1"});
        for (const auto& ap : made) {
            for (rrm::Radio& radio : ap->radios.radios)
                for (auto& entry : radio.vaps.table) {
                    const int links = pick(4);
                    for (int l = 0; l < links; ++l)
                        entry.second.fbt_links.push_back(pool[static_cast<size_t>(pick(static_cast<int>(pool.size())))]);
                }
            // What it hears: radio and VAP MACs of others, either local bit.
            const int heard = pick(5);
            for (int h = 0; h < heard; ++h) {
                const auto& other = made[static_cast<size_t>(pick(count))];
                const rrm::Radio& radio = other->radios.radios[static_cast<size_t>(pick(3))];
                MacAddress bssid = radio.mac;
                bssid.octets[5] = static_cast<uint8_t>(bssid.octets[5] + pick(3));
                if (pick(2))
                    bssid = rrm::mac_flip_local_bit(bssid);
                ap->visible_members.insert(bssid, rrm::Neighbour(-60, 6, 2, 20, 20, 256));
            }
            ap->fbt_changed = pick(6) == 0;
        }
        return map;
    }

    // Changes between two passes: an SSID, a radio, a key, an AP gone.
    void disturb(rrm::ApMap& map)
    {
        // By MAC order: the two maps' tables need not walk alike.
        const auto entries = map.sorted();
        auto it = map.table.find(entries[static_cast<size_t>(pick(static_cast<int>(entries.size())))]->first);
        ApEntry& ap = *it->second;
        switch (pick(4)) {
        case 0: {
            rrm::Radio& radio = ap.radios.radios[static_cast<size_t>(pick(3))];
            if (radio.vaps.empty())
                break;
            rrm::Vap vap = *radio.vaps.sorted().front();
            radio.vaps.table.erase(vap.ssid);
            vap.ssid = ssids_[pick(3)];
            radio.vaps.set(vap.ssid, vap);
            break;
        }
        case 1:
            ap.radios.radios[static_cast<size_t>(pick(3))].status ^= true;
            break;
        case 2:
            for (auto& entry : ap.radios.radios[static_cast<size_t>(pick(3))].vaps.table)
                entry.second.fbt_rrb_key = "K" + std::to_string(pick(6));
            break;
        case 3:
            map.erase(it);
            return;
        }
        map.reindex_ap(it->second);
    }

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

private:
    std::string r1_text(const MacAddress& mac)
    {
        switch (pick(6)) {
        case 0:
            return "not a mac";
        case 1:
            return rrm::mac_to_string(rrm::mac_flip_local_bit(mac));
        case 2: {
            std::string lower = rrm::mac_to_string(mac);
            for (char& ch : lower)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            return lower;
        }
        default:
            return rrm::mac_to_string(mac);
        }
    }

    std::mt19937 random_;
    const std::string ssids_[3] = {"ab", "cd", "ef"};
};

// Every AP's fbt_changed and every link of every VAP, in order.
std::string describe(const rrm::ApMap& map)
{
    std::string out;
    for (const auto* entry : map.sorted()) {
        const ApEntry& ap = *entry->second;
        out += rrm::mac_to_string(ap.base_mac) + (ap.fbt_changed ? " changed\n" : "\n");
        for (const rrm::Radio& radio : ap.radios.radios)
            for (const rrm::Vap* vap : radio.vaps.sorted()) {
                out += "  " + std::to_string(radio.id) + " " + vap->ssid + ":";
                for (const FbtLink& link : vap->fbt_links)
                    out += " [" + link.remote_r0_kh_id() + "|" + link.remote_r1_kh_id() + "|" +
                           link.remote_r1_kh_key() + "]";
                out += "\n";
            }
    }
    return out;
}

TEST(FastTransitionPlanning, IndexedPlanningGivesWhatTheRuleGives)
{
    testsupport::LogCapture log;
    rrm::DomainConfig config;
    // How often each step acted, over all domains: every one must.
    std::map<std::string, size_t> acted;
    const char* steps[] = {"erase broken link", "invalid link", "now linked", "already linked",
                           "FBT broadcast mac added", "skip wildcarg keyholder"};
    // Each domain with the full mesh, and past a full mesh of 2 to 6 APs
    // (the domains hold 3 to 9), where an AP with scan data is linked with
    // the APs it hears or that hear it only.
    std::vector<std::pair<uint32_t, size_t>> runs;
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        runs.emplace_back(seed, SIZE_MAX);
        runs.emplace_back(seed, size_t{2} + seed % 5);
    }
    size_t limited_domains = 0;
    for (const auto& [seed, full_mesh] : runs) {
        SCOPED_TRACE(seed);
        SCOPED_TRACE(full_mesh);
        GeneratedDomain generator(seed);
        auto ours = generator.make(config);
        auto theirs = ours->copy();
        const bool wildcard = generator.pick(2) == 1;
        if (ours->size() > full_mesh)
            ++limited_domains;
        for (int pass = 0; pass < 3; ++pass) {
            SCOPED_TRACE(pass);
            const bool expected = testsupport::reference_plan_fbt_links(*theirs, wildcard, full_mesh);
            // Every other domain is planned one AP per step, as a worker
            // with no time to spare would.
            if (seed % 2 == 0) {
                rrm::FbtPlanning planning(wildcard, full_mesh);
                std::vector<MacAddress> told;
                size_t steps = 1;
                while (!planning.step(*ours, 0, told))
                    ++steps;
                EXPECT_EQ(planning.changed(), expected);
                EXPECT_EQ(steps, std::max<size_t>(ours->size(), 1));
            } else if (seed % 3 == 0) {
                // Its indexes made one AP per step as well.
                rrm::FbtPlanning planning(wildcard, full_mesh);
                std::vector<MacAddress> told;
                while (!planning.step(*ours, 0, told, 0, 0)) {
                }
                EXPECT_EQ(planning.changed(), expected);
            } else {
                EXPECT_EQ(rrm::plan_fbt_links(*ours, wildcard, full_mesh), expected);
            }
            ASSERT_EQ(describe(*ours), describe(*theirs));
            // The same change on both, then the next pass.
            GeneratedDomain change(seed * 31 + static_cast<uint32_t>(pass));
            GeneratedDomain same(seed * 31 + static_cast<uint32_t>(pass));
            change.disturb(*ours);
            same.disturb(*theirs);
            ASSERT_EQ(describe(*ours), describe(*theirs));
        }
        for (const auto& record : log.records())
            for (const char* step : steps)
                if (record.text.find(step) != std::string::npos)
                    ++acted[step];
        log.clear();
    }
    for (const char* step : steps)
        EXPECT_GT(acted[step], 0u) << step;
    EXPECT_GT(limited_domains, 100u);
}

TEST(FastTransitionPlanning, IndexesAreMadeInSharesAndStartOverAfterAChange)
{
    DomainFixture domain(quiet_settings());
    subscribe_numbered(domain, 6);
    rrm::FbtPlanning planning(false, rrm::FBT_FULL_MESH_MAX_APS);
    std::vector<MacAddress> told;
    // Two VAPs (APs) a share: the first steps plan nothing.
    EXPECT_FALSE(planning.step(domain.worker->aps, SIZE_MAX, told, domain.worker->activity(), 2));
    EXPECT_TRUE(planning.building());
    EXPECT_EQ(links_of(domain, 1), 0u);
    // AP 7 comes and AP 2 leaves between two shares: the indexes start over
    // and hold the domain as it is then.
    domain.from_ap(numbered_ap(7).subscribe_request(), 7);
    domain.from_ap(numbered_ap(2).unsubscribe_request(), 2);
    auto theirs = domain.worker->aps.copy();
    const bool expected = rrm::plan_fbt_links(*theirs, false);
    size_t building_steps = 0;
    while (!planning.step(domain.worker->aps, SIZE_MAX, told, domain.worker->activity(), 2))
        building_steps += planning.building() ? 1 : 0;
    // Six APs at two a share: two shares left incomplete, the third
    // completes the indexes and plans the whole domain in the same step.
    EXPECT_EQ(building_steps, 2u);
    EXPECT_EQ(planning.changed(), expected);
    EXPECT_EQ(describe(domain.worker->aps), describe(*theirs));
    for (int i : {1, 3, 7})
        EXPECT_EQ(links_of(domain, i), 5u) << i;
}

TEST(FastTransitionPlanning, WorkerTakesNoMessageWhileItsIndexesArePartlyMade)
{
    DomainFixture domain(quiet_settings());
    // 12 VAPs with 802.11r an AP (one radio): more than one share of the
    // indexes. Past the full mesh, each AP hears the next one (a ring), so
    // it is linked with two.
    const int per_share = static_cast<int>(rrm::TpcDcaSubworker::FBT_INDEX_VAPS / 12);
    const int n = std::max(per_share, static_cast<int>(rrm::FBT_FULL_MESH_MAX_APS)) + 2;
    auto mac_of = [](int i) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "02:10:00:%02X:%02X:00", i >> 8, i & 0xFF);
        return std::string(mac);
    };
    for (int i = 1; i <= n; ++i)
        domain.from_ap(ApSpec::typical(mac_of(i), "d", 1, 12).subscribe_request(),
                       static_cast<uint32_t>(i));
    for (int i = 1; i <= n; ++i)
        domain.find(domain.worker->aps, mac_of(i))
            ->visible_members.insert(mac_from_string(mac_of(i % n + 1).c_str()),
                                     rrm::Neighbour(-60, 6, 2, 20, 20, 256));
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    EXPECT_FALSE(domain.worker->holds_messages());
    tpc.update_802dot11r();
    int shares = 1;
    while (domain.worker->holds_messages()) {
        domain.worker->poll_timers();
        ++shares;
    }
    // per_share APs a share (their VAPs reach FBT_INDEX_VAPS), the last
    // share the rest.
    EXPECT_EQ(shares, (n + per_share - 1) / per_share);
    EXPECT_GT(shares, 1);
    domain.drain();
    EXPECT_EQ(tpc.fbt_status, 0);
    // AP 1 hears AP 2 and is heard by AP n.
    for (const char* ssid : {"ssid0", "ssid11"})
        EXPECT_EQ(domain.find(domain.worker->aps, mac_of(1))
                      ->radios.radios[0].vaps.find(ssid)->fbt_links.size(),
                  2u)
            << ssid;

    // An AP joins without scan data: it is told at once what it has (no
    // links yet), and its links (every other AP's VAP of the SSID, as it
    // keeps the full mesh) once the indexes are made over the next passes.
    const size_t before = domain.sent("fbt-info").size();
    domain.from_ap(ApSpec::typical(mac_of(n + 1), "d", 1, 12).subscribe_request(),
                   static_cast<uint32_t>(n + 1));
    auto told = domain.sent("fbt-info");
    ASSERT_EQ(told.size(), before + 1);
    EXPECT_EQ(rrm::JsonReader(told.back().text.c_str()).child("vaps").child(0).child("remotes").size(), 0);
    EXPECT_TRUE(domain.worker->holds_messages());
    while (domain.worker->holds_messages() || !tpc.fbt_outbox.empty())
        domain.worker->poll_timers();
    told = domain.sent("fbt-info");
    ASSERT_EQ(told.size(), before + 2);
    const rrm::JsonReader joined(told.back().text.c_str());
    EXPECT_STREQ(joined.get_string("ap-mac"), mac_of(n + 1).c_str());
    EXPECT_EQ(joined.child("vaps").child(0).child("remotes").size(), n);
}

}  // namespace
