// The real binary with VRRP enabled: the VRRP state file decides at start
// whether the server is master (the AP port opens) or backup (it stays shut);
// role requests switch it; a master keeps one backup file per domain, written
// a quiet period after the domain's last change, from which a second server
// that becomes master restores the domain; and a server killed while it
// writes them leaves every file whole.
//
// The domains run on a pattern without event-driven optimisation, so their
// planning stays idle while the test looks at them. The expected texts are
// worked out by hand from what the simulated APs send.
#include "ApSimulator.h"
#include "Version.h"
#include "WendaraProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <yajson/yajson.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::LogFolder;
using testsupport::SimRadio;
using testsupport::SimVap;
using testsupport::WendaraProcess;
using namespace std::chrono_literals;

TEST(ProgramVrrp, StateFileDecidesWhetherTheApPortOpens)
{
    struct Case {
        const char* name;
        bool write_state;
        std::string state;
        bool master;
        std::string record;  // without the state file's path
    };
    const Case cases[] = {
        {"BACKUP", true, "BACKUP\n", false,
         "WARNING server/lib/RRM.cpp update_vrrp_role: "
         "try to switch VRRP role to the same: backup -> backup"},
        {"MASTER", true, "MASTER\n", true,
         "INFO server/lib/RRM.cpp update_vrrp_role: VRRP role: backup -> master"},
        {"lower case", true, "backup\n", true,
         "INFO server/lib/RRM.cpp update_vrrp_role: VRRP role: backup -> master"},
        {"carriage return", true, "BACKUP\r\n", true,
         "INFO server/lib/RRM.cpp update_vrrp_role: VRRP role: backup -> master"},
        {"no state file", false, "", true,
         "ERROR server/VrrpWorker.cpp set_vrrp_role_on_start: Error opening VRRP state file "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WendaraProcess p;
        p.write_logger_config();
        p.write_config("\"vrrp_enabled\":1");
        if (c.write_state)
            p.work().write("keep.mode", c.state);
        std::string record = c.record;
        if (!c.write_state)
            record += p.state_file();

        p.start({p.config_path()});
        ASSERT_TRUE(p.wait_for_log(record + "\n")) << p.all_logs_text() << p.stderr_text();
        ASSERT_TRUE(p.wait_for_port(p.api_port));
        if (c.master) {
            EXPECT_TRUE(p.wait_for_port(p.listen_port));
        } else {
            // The role is settled once the record is there; give a wrongly
            // started AP transport time to show.
            std::this_thread::sleep_for(500ms);
            EXPECT_FALSE(testsupport::port_open(p.listen_port));
        }
        EXPECT_TRUE(testsupport::port_open(p.cli_port));
        p.interrupt();
        EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
    }
}

TEST(ProgramVrrp, WithVrrpDisabledTheStateFileIsNotReadAndTheServerIsMaster)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    p.work().write("keep.mode", "BACKUP\n");
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.stderr_text();
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code);
    EXPECT_EQ(std::string::npos, p.all_logs_text().find("VRRP"));
}

std::string hostname()
{
    char name[1024] = {0};
    ::gethostname(name, sizeof name - 1);
    return name;
}

// The start of every "rrm" and "vrrp" reply.
std::string header()
{
    return "{\"version\":\"2.1\",\"server\":\"" + hostname() + "\",\"wendara_version\":\"" +
           rrm::WENDARA_VERSION + "\"";
}

// VRRP on, and "site" on a pattern that plans nothing on AP events, whose
// APs wait an hour in the deleted list once they are gone.
const char* const kSiteDomains =
    "\"patterns\":[{\"pattern\":\"calm\",\"use_optimization_event\":0,\"away_timeout\":3600}],"
    "\"domains\":[{\"domain\":\"site\",\"pattern\":\"calm\"}]";

// Starts a server with VRRP on and the given first line in its state file;
// true once both management ports answer.
bool start_vrrp_server(WendaraProcess& p, const std::string& state, int timeout_s,
                       const std::string& domains = kSiteDomains,
                       const std::string& more_global = "")
{
    p.write_logger_config();
    p.write_config("\"vrrp_enabled\":1,\"vrrp_timeout\":" + std::to_string(timeout_s) +
                       more_global,
                   domains);
    p.work().write("keep.mode", state + "\n");
    p.start({p.config_path()});
    return p.wait_for_port(p.cli_port) && p.wait_for_port(p.api_port);
}

std::string ask(const WendaraProcess& p, const std::string& request)
{
    return testsupport::tcp_exchange(p.cli_port, request, 30s);
}

// Waits until the domain list shows the given numbers of active, unanswered
// and deleted APs.
bool domain_counts_become(const WendaraProcess& p, int active, int unanswered, int deleted)
{
    const std::string counts = "\"ap-count\":" + std::to_string(active) +
                               ",\"unanswered-ap-count\":" + std::to_string(unanswered) +
                               ",\"deleted-ap-count\":" + std::to_string(deleted);
    return testsupport::wait_until(
        [&] { return ask(p, R"({"rrm":{}})").find(counts) != std::string::npos; }, 20s);
}

// Connects (the AP port may be coming back) and subscribes; true on a
// successful "subscribe-response".
bool subscribe(ApSimulator& ap, int port)
{
    if (!testsupport::wait_until([&] { return ap.connect(port); }, 20s))
        return false;
    if (!ap.subscribe())
        return false;
    const std::string response = ap.wait_for("subscribe-response").value_or("");
    return response.find("\"cmd\":\"subscribe-response\",\"status\":\"success\"") !=
           std::string::npos;
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
ApSpec ap_a()
{
    ApSpec spec;
    spec.mac = "02:00:00:00:01:00";
    spec.domain = "site";
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
ApSpec ap_b()
{
    ApSpec spec;
    spec.mac = "02:00:00:00:02:00";
    spec.domain = "site";
    spec.hw = "rev-b";
    spec.serial = "SN-B";
    spec.radios.push_back(radio(1, 40, 5, 14, 20,
                                vap(0, "ab", true, true, "SN-B", "02:00:00:00:02:10",
                                    "KEYBabcdefghijkl", "")));
    return spec;
}

// A's VAPs in their full form. A VAP without "mac" takes the radio's MAC
// plus its id: A's radio 1 is A's MAC plus offset 16, 02:00:00:00:01:10, so
// VAP 2 is 02:00:00:00:01:12. An SSID of two bytes is its own mobility
// domain: "ab" 0x6162 = 24930, "cd" 0x6364 = 25444. Key holders and key as
// the AP sent them; links only where 802.11r is on.
const std::string kFullA0 =
    R"({"id":0,"ssid":"ab","mac":"02:00:00:00:01:00","mobility-domain":24930,)"
    R"("use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":0,"fbt-r0-keyholder":"SN-A",)"
    R"("fbt-r1-keyholder":"02:00:00:00:01:00","fbt-rrb-key":"KEYAabcdefghijkl",)"
    R"("fbt-links":[)" + kLinkToB + "]}";
const std::string kFullA1 =
    R"({"id":2,"ssid":"cd","mac":"02:00:00:00:01:12","mobility-domain":25444,)"
    R"("use_802dot11k":0,"use_802dot11r":0,"use_802dot11v":0,"fbt-r0-keyholder":"SN-A",)"
    R"("fbt-r1-keyholder":"","fbt-rrb-key":"KEYCabcdefghijkl"})";
const std::string kFullB1 =
    R"({"id":0,"ssid":"ab","mac":"02:00:00:00:02:10","mobility-domain":24930,)"
    R"("use_802dot11k":1,"use_802dot11r":1,"use_802dot11v":0,"fbt-r0-keyholder":"SN-B",)"
    R"("fbt-r1-keyholder":"02:00:00:00:02:10","fbt-rrb-key":"KEYBabcdefghijkl"})";

// The fast-transition forms of the AP query.
const std::string kLinksA = R"({"radios":[{"id":0,"vaps":[)" + kFullA0 +
                            R"(]},{"id":1,"vaps":[)" + kFullA1 + R"(]},{"id":2,"vaps":[]}]})";
const std::string kLinksB =
    R"({"radios":[{"id":0,"vaps":[]},{"id":1,"vaps":[)" + kFullB1 + R"(]},{"id":2,"vaps":[]}]})";

// A's backup element: its state object with each radio's full VAPs moved to
// the radio's end, then the identity of its subscribe request. Radio locks
// that the AP does not send: TPC and DCA 0, balancer and 802.11v 1. Radio 2
// was not reported: disabled, channel and band 0, no channels or VAPs, the
// rest as built (MAC at offset 32, power 0, 20 MHz, no locks).
const std::string kBackupA =
    R"({"mac":"02:00:00:00:01:00","active":0,"ap-mac-count":48,"use-wildcard-80211r":0,)"
    R"("radios":{"received":0,"interfaces":[)"
    R"({"id":0,"mac":"02:00:00:00:01:00","mac-offset":0,"radio-mac-count":16,"status":1,)"
    R"("power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":1,)"
    R"("locked-80211v":1,"channel":6,"band":2,"power":17,"max-power":20,"min-power":5,)"
    R"("bandwidth":20,"primary-channel":0,"available-channels":[6],"assoc_clients":[],)"
    R"("vaps":[)" + kFullA0 + R"(]},)"
    R"({"id":1,"mac":"02:00:00:00:01:10","mac-offset":16,"radio-mac-count":16,"status":1,)"
    R"("power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":1,)"
    R"("locked-80211v":1,"channel":36,"band":5,"power":20,"max-power":23,"min-power":5,)"
    R"("bandwidth":20,"primary-channel":0,"available-channels":[36],"assoc_clients":[],)"
    R"("vaps":[)" + kFullA1 + R"(]},)"
    R"({"id":2,"mac":"02:00:00:00:01:20","mac-offset":32,"radio-mac-count":16,"status":0,)"
    R"("power-changed":0,"conflicted":0,"locked-tpc":0,"locked-dca":0,"locked-balancer":0,)"
    R"("locked-80211v":0,"channel":0,"band":0,"power":0,"max-power":0,"min-power":0,)"
    R"("bandwidth":20,"primary-channel":0,"available-channels":[],"assoc_clients":[],)"
    R"("vaps":[]}]},"visible-members":[],"visible-rogue":[],)"
    R"("board":"tavik-ap","hw":"rev-a","serial":"SN-A"})";

TEST(ProgramVrrp, RoleRequestsSwitchTheServerBetweenMasterAndBackup)
{
    WendaraProcess p;
    ASSERT_TRUE(start_vrrp_server(p, "MASTER", 60)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.all_logs_text();
    ApSimulator a(ap_a());
    ASSERT_TRUE(subscribe(a, p.listen_port));

    const std::string success = header() + ",\"status\":\"success\"}";
    struct Step {
        const char* what;
        std::string request;
        std::string reply;
        bool ap_port_open;  // afterwards
    };
    const Step steps[] = {
        {"to backup", R"({"vrrp":{"role":"backup"}})", success, false},
        {"the role query", R"({"vrrp":{}})", header() + R"(,"role":"backup","status":"success"})",
         false},
        {"backup again", R"({"vrrp":{"role":"backup"}})", success, false},
        {"a role it does not know",
         R"({"vrrp":{"role":"standby"}})",
         header() + R"(,"status":"failure","error":"role not supported"})", false},
        // Named domains: only these are restored, none here.
        {"to master", R"({"vrrp":{"role":"master","domains":[]}})", success, true},
        {"the role query as master", R"({"vrrp":{}})",
         header() + R"(,"role":"master","status":"success"})", true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(step.reply, ask(p, step.request));
        EXPECT_TRUE(testsupport::wait_until(
            [&] { return testsupport::port_open(p.listen_port) == step.ap_port_open; }, 20s));
        if (!step.ap_port_open) {
            // The AP's connection went with the transport.
            EXPECT_TRUE(a.wait_closed());
        }
    }
    EXPECT_TRUE(p.wait_for_log("INFO server/lib/RRM.cpp update_vrrp_role: "
                               "VRRP role: master -> backup\n"));
    EXPECT_TRUE(p.wait_for_log("WARNING server/lib/RRM.cpp update_vrrp_role: "
                               "try to switch VRRP role to the same: backup -> backup\n"));
    EXPECT_TRUE(p.wait_for_log("INFO server/lib/RRM.cpp update_vrrp_role: "
                               "VRRP role: backup -> master\n"));

    // The master serves APs again.
    ApSimulator again(ap_a());
    EXPECT_TRUE(subscribe(again, p.listen_port));
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

TEST(ProgramVrrp, AChangeOfADomainWritesItsBackupFileAQuietPeriodLater)
{
    WendaraProcess p;
    ASSERT_TRUE(start_vrrp_server(p, "MASTER", 2)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.all_logs_text();
    const std::string file = p.backup_path() + "/site.json";

    const auto before = std::chrono::system_clock::now();
    ApSimulator a(ap_a());
    ASSERT_TRUE(subscribe(a, p.listen_port));
    ASSERT_TRUE(testsupport::wait_until([&] { return LogFolder::exists(file); }, 30s))
        << p.all_logs_text();
    const std::string text = LogFolder::read(file);
    // Due at the whole second of the subscription's change plus 2, so more
    // than one second after it, however late the test looks (less a little
    // for the coarse clock of file times).
    struct stat st {};
    ASSERT_EQ(0, ::stat(file.c_str(), &st));
    const auto written = std::chrono::system_clock::time_point(
        std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec));
    EXPECT_GT(written - before, 900ms);

    // The domain's planning idle, A the one active AP.
    EXPECT_EQ(R"({"name":"site","rrm-status":0,"fbt-status":0,"aps":[)" + kBackupA +
                  R"(],"unanswered-aps":[],"deleted-aps":[]})",
              text);
    // Nothing else in the folder: the temporary file was renamed over.
    EXPECT_EQ(std::vector<std::string>{"site.json"}, p.work().names("backup"));
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

// An AP that kept coming and going used to hold every backup back for as
// long as it did: every change of any domain restarted the quiet period
// (3 s here). A run now waits at most four quiet periods after the first
// change it takes, so the other domain's file is written while the AP of
// "lab" still comes and goes, a few times a second.
TEST(ProgramVrrp, ADomainThatKeepsChangingHoldsNoOtherDomainsBackupBack)
{
    WendaraProcess p;
    const std::string domains =
        "\"patterns\":[{\"pattern\":\"calm\",\"use_optimization_event\":0,"
        "\"away_timeout\":3600}],\"domains\":[{\"domain\":\"site\",\"pattern\":\"calm\"},"
        "{\"domain\":\"lab\",\"pattern\":\"calm\"}]";
    ASSERT_TRUE(start_vrrp_server(p, "MASTER", 3, domains)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.all_logs_text();

    std::atomic<bool> flapping{true};
    std::atomic<int> flaps{0};
    std::thread flapper([&] {
        ApSpec spec = ap_b();
        spec.domain = "lab";
        while (flapping) {
            ApSimulator b(spec);
            if (subscribe(b, p.listen_port))
                ++flaps;
            b.close();
            std::this_thread::sleep_for(100ms);
        }
    });
    ASSERT_TRUE(testsupport::wait_until([&] { return flaps >= 3; }, 30s));
    ApSimulator a(ap_a());
    ASSERT_TRUE(subscribe(a, p.listen_port));
    const std::string file = p.backup_path() + "/site.json";
    const bool written = testsupport::wait_until([&] { return LogFolder::exists(file); }, 45s);
    const int flaps_when_written = flaps;
    // Still coming and going after the file was written.
    const bool went_on = testsupport::wait_until([&] { return flaps > flaps_when_written + 2; },
                                                 30s);
    flapping = false;
    flapper.join();
    EXPECT_TRUE(written) << p.all_logs_text();
    EXPECT_TRUE(went_on);
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

TEST(ProgramVrrp, ASecondServerThatBecomesMasterRestoresTheDomainFromTheBackupFiles)
{
    // The first master: A active, B gone (its connection dropped), both in
    // the backup file.
    WendaraProcess first;
    ASSERT_TRUE(start_vrrp_server(first, "MASTER", 1)) << first.stderr_text();
    ASSERT_TRUE(first.wait_for_port(first.listen_port)) << first.all_logs_text();
    ApSimulator a(ap_a());
    ApSimulator b(ap_b());
    ASSERT_TRUE(subscribe(a, first.listen_port));
    ASSERT_TRUE(subscribe(b, first.listen_port));
    b.drop();
    const std::string file = first.backup_path() + "/site.json";
    std::string text;
    ASSERT_TRUE(testsupport::wait_until(
        [&] {
            text = LogFolder::read(file);
            return text.find(R"("deleted-aps":[{"mac":"02:00:00:00:02:00")") !=
                   std::string::npos;
        },
        30s))
        << text << first.all_logs_text();
    EXPECT_EQ(0u, text.find(R"({"name":"site","rrm-status":0,"fbt-status":0,"aps":[)" +
                            kBackupA + R"(],"unanswered-aps":[],"deleted-aps":[)"))
        << text;
    first.interrupt();
    EXPECT_EQ(0, first.wait(30s).code) << first.stderr_text();

    // The second server starts as backup with the file in its own folder:
    // no AP port, no domain.
    WendaraProcess second;
    ::mkdir(second.backup_path().c_str(), 0750);
    second.work().write("backup/site.json", text);
    ASSERT_TRUE(start_vrrp_server(second, "BACKUP", 1)) << second.stderr_text();
    ASSERT_TRUE(second.wait_for_log("try to switch VRRP role to the same: backup -> backup\n"))
        << second.all_logs_text();
    EXPECT_FALSE(testsupport::port_open(second.listen_port));

    // Master: the domain comes back from the file, its APs in the deleted
    // list with their 802.11r keys and links as the APs had sent them.
    EXPECT_EQ(header() + ",\"status\":\"success\"}", ask(second, R"({"vrrp":{"role":"master"}})"));
    EXPECT_TRUE(second.wait_for_port(second.listen_port));
    EXPECT_EQ(header() + R"(,"domains":[{"name":"site","ap-count":0,"unanswered-ap-count":0,)"
                         R"("deleted-ap-count":2,"common-config":0}]})",
              ask(second, R"({"rrm":{}})"));
    EXPECT_EQ(header() + ",\"deleted-ap\":" + kLinksA + "}",
              ask(second, R"({"rrm":{"domain":"site","ap":"02:00:00:00:01:00","fbt-links":1}})"));
    EXPECT_EQ(header() + ",\"deleted-ap\":" + kLinksB + "}",
              ask(second, R"({"rrm":{"domain":"site","ap":"02:00:00:00:02:00","fbt-links":1}})"));
    const std::string state_a =
        ask(second, R"({"rrm":{"domain":"site","ap":"02:00:00:00:01:00"}})");
    EXPECT_EQ(0u, state_a.find(header() + R"(,"deleted-ap":{"mac":"02:00:00:00:01:00",)"))
        << state_a;
    EXPECT_NE(std::string::npos, state_a.find(R"("channel":36,"band":5,"power":20,)")) << state_a;

    // A comes back to the new master and is active again.
    ApSimulator a_again(ap_a());
    EXPECT_TRUE(subscribe(a_again, second.listen_port));
    EXPECT_TRUE(domain_counts_become(second, 1, 0, 1)) << ask(second, R"({"rrm":{}})");
    second.interrupt();
    EXPECT_EQ(0, second.wait(30s).code) << second.stderr_text();
}

TEST(ProgramVrrp, TurningVrrpOffOnABackupMakesItMasterFromItsBackupFiles)
{
    // A backup with A's backup file in its folder: no AP port, no domain.
    WendaraProcess p;
    ::mkdir(p.backup_path().c_str(), 0750);
    p.work().write("backup/site.json", R"({"name":"site","rrm-status":0,"fbt-status":0,"aps":[)" +
                                           kBackupA + R"(],"unanswered-aps":[],"deleted-aps":[]})");
    ASSERT_TRUE(start_vrrp_server(p, "BACKUP", 1)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_log("try to switch VRRP role to the same: backup -> backup\n"))
        << p.all_logs_text();
    EXPECT_FALSE(testsupport::port_open(p.listen_port));

    // VRRP is turned off: no role request could make the server master any
    // more, so it becomes master now, as on any switch to master.
    EXPECT_EQ("{\"version\":\"2.1\",\"invalid_parameters\":[],\"operation\":\"set\","
              "\"level\":\"global\"}",
              ask(p, R"({"cfg":{"operation":"set","level":"global","config":{"vrrp_enabled":0}}})"));
    EXPECT_TRUE(p.wait_for_log("INFO server/lib/RRM.cpp start: VRRP is disabled: serving as master\n"))
        << p.all_logs_text();
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.all_logs_text();
    EXPECT_EQ(header() + R"(,"role":"master","status":"success"})", ask(p, R"({"vrrp":{}})"));
    EXPECT_EQ(header() + R"(,"domains":[{"name":"site","ap-count":0,"unanswered-ap-count":0,)"
                         R"("deleted-ap-count":1,"common-config":0}]})",
              ask(p, R"({"rrm":{}})"));
    EXPECT_EQ(header() + ",\"deleted-ap\":" + kLinksA + "}",
              ask(p, R"({"rrm":{"domain":"site","ap":"02:00:00:00:01:00","fbt-links":1}})"));

    // A comes back on the AP port and is active again.
    ApSimulator a(ap_a());
    EXPECT_TRUE(subscribe(a, p.listen_port));
    EXPECT_TRUE(domain_counts_become(p, 1, 0, 0)) << ask(p, R"({"rrm":{}})");
    // Role requests are refused from now on.
    EXPECT_NE(std::string::npos, ask(p, R"({"vrrp":{"role":"backup"}})")
                                     .find("\"error\":\"VRRP is disabled, ignore request\""));
    EXPECT_TRUE(testsupport::port_open(p.listen_port));
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

// What a restore would read of the folder (every name but the hidden
// temporary files of the writer) that is not a whole domain backup named
// after its file: the names, each with what is wrong.
std::vector<std::string> broken_backups(const LogFolder& folder)
{
    std::vector<std::string> broken;
    for (const std::string& name : folder.names()) {
        if (name[0] == '.')
            continue;
        const std::string text = LogFolder::read(folder / name);
        yajson::ParseResult parsed = yajson::parse(text, {});
        const yajson::JsonValue& v = parsed.value;
        const yajson::JsonValue* domain = v.is_object() ? v.as_object().find("name") : nullptr;
        bool whole = !parsed.error && domain && domain->is_string() &&
                     std::string(domain->as_string()) + ".json" == name;
        for (const char* list : {"aps", "unanswered-aps", "deleted-aps"}) {
            const yajson::JsonValue* aps = whole ? v.as_object().find(list) : nullptr;
            whole = whole && aps && aps->is_array();
        }
        if (!whole)
            broken.push_back(name + ": " + std::to_string(text.size()) + " bytes");
    }
    return broken;
}

TEST(ProgramVrrp, AServerKilledWhileItWritesBackupsLeavesEveryBackupFileWhole)
{
    // Eight domains of three APs each (three radios of four VAPs): a run
    // writes eight files of some tens of kilobytes, one after the other.
    constexpr int kDomains = 8;
    constexpr int kApsPerDomain = 3;
    std::string domains = "\"patterns\":[{\"pattern\":\"calm\",\"use_optimization_event\":0,"
                          "\"away_timeout\":3600}],\"domains\":[";
    for (int d = 0; d < kDomains; ++d)
        domains += std::string(d ? "," : "") + "{\"domain\":\"d" + std::to_string(d) +
                   "\",\"pattern\":\"calm\"}";
    domains += "]";
    // One backup folder for every run: each run starts from the files of
    // the one killed before it.
    LogFolder shared;
    const std::string folder_setting = ",\"vrrp_backup_path\":\"" + shared.path() + "\"";

    // Four runs are killed as soon as their backup run shows; the last one
    // only once every domain has its file.
    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        WendaraProcess p;
        ASSERT_TRUE(start_vrrp_server(p, "MASTER", 1, domains, folder_setting))
            << p.stderr_text();
        ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.all_logs_text();
        // A master at start restores the domain of every file, its APs
        // (one at least: a run waits for the domain's first subscription)
        // deleted until they come back.
        std::vector<std::string> expected_domains;
        for (const std::string& name : shared.names())
            if (name[0] != '.')
                expected_domains.push_back(name.substr(0, name.size() - 5));
        std::vector<std::string> restored;
        const std::string list = ask(p, R"({"rrm":{}})");
        yajson::ParseResult parsed = yajson::parse(list, {});
        ASSERT_FALSE(parsed.error) << list;
        for (const yajson::JsonValue& entry :
             parsed.value.as_object().find("domains")->as_array()) {
            const yajson::JsonObject& domain = entry.as_object();
            restored.push_back(std::string(domain.find("name")->as_string()));
            EXPECT_EQ(0, domain.find("ap-count")->as_integer()) << list;
            EXPECT_LE(1, domain.find("deleted-ap-count")->as_integer()) << list;
        }
        std::sort(restored.begin(), restored.end());
        EXPECT_EQ(expected_domains, restored);

        // A file written again has a new inode or a new modification time.
        auto signature = [&](const std::string& name) {
            struct stat st {};
            if (::stat((shared / name).c_str(), &st) != 0)
                return std::string();
            return std::to_string(st.st_ino) + "/" + std::to_string(st.st_mtim.tv_sec) + "." +
                   std::to_string(st.st_mtim.tv_nsec);
        };
        std::map<std::string, std::string> before;
        for (const std::string& name : shared.names())
            before[name] = signature(name);

        // A reader that looks at the files all along, as a restore on
        // another server might.
        std::atomic<bool> reading{true};
        std::vector<std::string> torn;
        std::thread reader([&] {
            while (reading.load()) {
                for (const std::string& bad : broken_backups(shared))
                    torn.push_back(bad);
                std::this_thread::sleep_for(1ms);
            }
        });

        std::vector<std::unique_ptr<ApSimulator>> aps;
        for (int d = 0; d < kDomains; ++d)
            for (int a = 0; a < kApsPerDomain; ++a) {
                char mac[18];
                std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:00", d * kApsPerDomain + a + 1);
                aps.push_back(std::make_unique<ApSimulator>(
                    ApSpec::typical(mac, "d" + std::to_string(d), 3, 4)));
                ASSERT_TRUE(subscribe(*aps.back(), p.listen_port));
            }

        // Killed as soon as the run shows: a file that is new (a temporary
        // file, or a domain's first) or written again.
        const bool last = round == kRounds - 1;
        const bool seen = testsupport::wait_until(
            [&] {
                if (last) {
                    size_t whole = 0;
                    for (const std::string& name : shared.names())
                        whole += name[0] != '.' && before[name] != signature(name);
                    return whole == kDomains;
                }
                for (const std::string& name : shared.names()) {
                    auto it = before.find(name);
                    if (it == before.end() || it->second != signature(name))
                        return true;
                }
                return false;
            },
            30s);
        p.signal(SIGKILL);
        p.wait(30s);
        reading = false;
        reader.join();
        EXPECT_TRUE(seen) << p.all_logs_text();
        EXPECT_EQ(std::vector<std::string>{}, torn);
        EXPECT_EQ(std::vector<std::string>{}, broken_backups(shared));
    }
    size_t files = 0;
    for (const std::string& name : shared.names())
        files += name[0] != '.';
    EXPECT_EQ(static_cast<size_t>(kDomains), files);
}

// The backup of a domain of the longest name a domain may have (231 bytes)
// is written: its temporary file's name does not grow with the domain's.
TEST(ProgramVrrp, ADomainOfTheLongestNameIsBackedUp)
{
    const std::string name(231, 'l');
    WendaraProcess p;
    ASSERT_TRUE(start_vrrp_server(
        p, "MASTER", 1,
        "\"patterns\":[{\"pattern\":\"calm\",\"use_optimization_event\":0,"
        "\"away_timeout\":3600}],\"domains\":[{\"domain\":\"" + name + "\",\"pattern\":\"calm\"}]"))
        << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.all_logs_text();
    ApSpec spec = ap_a();
    spec.domain = name;
    ApSimulator a(spec);
    ASSERT_TRUE(subscribe(a, p.listen_port));
    const std::string file = p.backup_path() + "/" + name + ".json";
    ASSERT_TRUE(testsupport::wait_until([&] { return LogFolder::exists(file); }, 30s))
        << p.all_logs_text();
    EXPECT_EQ(0u, LogFolder::read(file).find("{\"name\":\"" + name + "\",\"rrm-status\":0,"));
    EXPECT_EQ(std::vector<std::string>{name + ".json"}, p.work().names("backup"));
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

// A backup file that cannot be written (the backup path is a regular file)
// used to log one Error per domain every vrrp_timeout for ever. The retries
// now come further and further apart (vrrp_timeout 1 s: 1, 2, 4 s ...), the
// failure is reported once, and its end once.
TEST(ProgramVrrp, BackupWritesThatKeepFailingAreRetriedFurtherApartAndReportedOnce)
{
    WendaraProcess p;
    p.work().write("backup", "not a folder\n");
    ASSERT_TRUE(start_vrrp_server(p, "MASTER", 1)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.all_logs_text();
    ApSimulator a(ap_a());
    ASSERT_TRUE(subscribe(a, p.listen_port));

    const std::string retried = "DEBUG server/VrrpWorker.cpp retry_later: Backup of 1 domain(s) "
                                "retried in ";
    ASSERT_TRUE(p.wait_for_log(retried + "4 s\n", 60s)) << p.all_logs_text();
    const std::string file = p.backup_path() + "/site.json";
    const std::string error = "ERROR server/VrrpWorker.cpp make_domains_backup: Error writing "
                              "backup file for domain site failed with error code: 20. "
                              "Filename: " + file + "\n";
    std::string log = p.all_logs_text();
    const size_t one = log.find(retried + "1 s\n"), two = log.find(retried + "2 s\n"),
                 four = log.find(retried + "4 s\n");
    ASSERT_NE(std::string::npos, one) << log;
    EXPECT_LT(one, two);
    EXPECT_LT(two, four);

    // The way is cleared: the next retry writes the file.
    ASSERT_EQ(0, ::unlink(p.backup_path().c_str()));
    ASSERT_EQ(0, ::mkdir(p.backup_path().c_str(), 0750));
    ASSERT_TRUE(testsupport::wait_until([&] { return LogFolder::exists(file); }, 60s))
        << p.all_logs_text();
    ASSERT_TRUE(p.wait_for_log("INFO server/VrrpWorker.cpp make_domains_backup: Backup file for "
                               "domain site written again. Filename: " + file + "\n"))
        << p.all_logs_text();
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
    log = p.all_logs_text();
    size_t errors = 0;
    for (size_t at = 0; (at = log.find(error, at)) != std::string::npos; ++at)
        ++errors;
    EXPECT_EQ(1u, errors) << log;
}

// A writer killed between its write and its rename leaves a hidden
// temporary file; the next start removes those of writers that are gone
// (and those that earlier versions named after the domain), and nothing
// else of the folder.
TEST(ProgramVrrp, TemporaryFilesOfKilledBackupWritersAreRemovedAtStart)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);

    WendaraProcess p;
    ::mkdir(p.backup_path().c_str(), 0750);
    const std::vector<std::string> stale = {".backup." + std::to_string(child) + ".a1B2c3",
                                            ".site.json.Xy12Zw"};
    // A live writer's (pid 1 runs), the domain's file, something else.
    const std::vector<std::string> kept = {".backup.1.a1B2c3", ".keep", "site.json"};
    for (const auto& name : stale)
        p.work().write("backup/" + name, std::string(1000, 'x'));
    for (const auto& name : kept)
        p.work().write("backup/" + name, "{}");
    // As backup the server writes no backups of its own meanwhile.
    ASSERT_TRUE(start_vrrp_server(p, "BACKUP", 1)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_log("try to switch VRRP role to the same: backup -> backup\n"))
        << p.all_logs_text();
    EXPECT_EQ(kept, p.work().names("backup"));
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

}  // namespace
