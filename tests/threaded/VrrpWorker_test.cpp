// The VRRP worker: the role at start from the state file, the debounced
// backup schedule, the backup files of live domains (simulated APs on real
// WebSocket sessions to the real registry), and the reading of the backup
// folder for a restore.
#include "VrrpWorker.h"

#include "ApSimulator.h"
#include "Config.h"
#include "ElppCapture.h"
#include "JsonReader.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "TestConfig.h"
#include "WebsockHarness.h"

#include "FrontEndFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::ElppCapture;
using testsupport::LogFolder;

class VrrpWorkerTest : public testsupport::FrontEndFixture {};

TEST_F(VrrpWorkerTest, RoleAtStartComesFromTheFirstLineOfTheStateFile)
{
    struct Case {
        const char* name;
        bool vrrp_enabled;
        bool write_state;
        std::string state;
        int role;
        bool open_error;
    };
    const Case cases[] = {
        {"BACKUP", true, true, "BACKUP\nMASTER\n", 0, false},
        {"BACKUP without newline", true, true, "BACKUP", 0, false},
        {"MASTER", true, true, "MASTER\n", 1, false},
        {"empty file", true, true, "", 1, false},
        {"trailing blank", true, true, "BACKUP \n", 1, false},
        {"no state file", true, false, "", 1, true},
        {"VRRP disabled", false, true, "BACKUP\n", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        build(std::string("\"vrrp_enabled\":") + (c.vrrp_enabled ? "1" : "0"));
        ::unlink(files.state_file().c_str());
        if (c.write_state)
            testsupport::put_file(files.state_file(), c.state);
        ElppCapture capture;
        registry->start();
        vrrp->set_vrrp_role_on_start();
        EXPECT_EQ(c.role, registry->get_vrrp_role());
        EXPECT_EQ(c.open_error ? 1u : 0u,
                  capture.count("Error opening VRRP state file " + files.state_file()));
        vrrp.reset();
        registry.reset();
    }
}

TEST_F(VrrpWorkerTest, BackupIsScheduledOnlyWithVrrpEnabledAndNotBeforeItsTimeout)
{
    build();
    vrrp->schedule_domain_backup("lab");
    EXPECT_TRUE(vrrp->pending().empty());

    build("\"vrrp_enabled\":1,\"vrrp_timeout\":60");
    vrrp->schedule_domain_backup("b");
    vrrp->schedule_domain_backup("a");
    vrrp->schedule_domain_backup("b");
    EXPECT_EQ((std::set<std::string>{"a", "b"}), vrrp->pending());
    vrrp->poll_timers();
    EXPECT_EQ((std::set<std::string>{"a", "b"}), vrrp->pending());
    EXPECT_FALSE(LogFolder::exists(files.backup_path()));
}

// The seconds of the backup timer in the test below.
int64_t vrrp_seconds = 0;
int64_t vrrp_clock() { return vrrp_seconds; }

class ClockedVrrp : public VrrpWorker {
public:
    using VrrpWorker::VrrpWorker;
    void use_test_clock()
    {
        std::lock_guard<std::mutex> lock(mutex);
        timers.set_clock(&vrrp_clock);
    }
};

// Every change of any domain pushes the backup run back a quiet period
// (10 s here), but no further than four of them after the first change the
// run has not taken yet: a domain that changes every 2 s held every backup
// back for as long as it did. A run (of domains without workers here: taken
// and dropped) empties the pending set.
TEST_F(VrrpWorkerTest, ChangesPushTheBackupRunBackAtMostFourQuietPeriods)
{
    build("\"vrrp_enabled\":1,\"vrrp_timeout\":10");
    struct Case {
        const char* name;
        int every;  // seconds between the flapping domain's changes, 0: none
        std::vector<int> runs;
    };
    const Case cases[] = {
        {"one change", 0, {10}},
        // Changes at 0, 2, 4, ...: the first run at 40; the change at 40
        // comes after it and starts a new bound: 80.
        {"a change every 2 s", 2, {40, 80}},
        // 0, 9, ..., 36: 36 + 10 = 46 is past 40. Then 45 starts a bound:
        // 81 + 10 = 91 is past 85.
        {"a change every 9 s", 9, {40, 85}},
        // Quiet periods of their own: 0 + 10, 11 + 10, 22 + 10.
        {"a change every 11 s", 11, {10, 21, 32}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClockedVrrp worker(registry.get(), config.get());
        worker.use_test_clock();
        vrrp_seconds = 1000;
        worker.schedule_domain_backup("quiet");
        worker.schedule_domain_backup("flapping");
        std::vector<int> runs;
        for (int t = 1; t <= 90 && runs.size() < c.runs.size(); ++t) {
            vrrp_seconds = 1000 + t;
            const bool waiting = !worker.pending().empty();
            worker.poll_timers();
            if (waiting && worker.pending().empty())
                runs.push_back(t);
            if (c.every != 0 && t % c.every == 0)
                worker.schedule_domain_backup("flapping");
        }
        EXPECT_EQ(runs, c.runs);
    }
}

TEST_F(VrrpWorkerTest, UnusableBackupFolderKeepsDomainsPending)
{
    build("\"vrrp_enabled\":1,\"vrrp_backup_path\":\"/nonexistent-parent/backup\"");
    vrrp->schedule_domain_backup("lab");
    ElppCapture capture;
    vrrp->make_domains_backup();
    EXPECT_EQ(1u, capture.count("backup_path /nonexistent-parent/backup invalid"));
    EXPECT_EQ(std::set<std::string>{"lab"}, vrrp->pending());
    EXPECT_TRUE(vrrp->restore_domains_from_backup().is_null());
    EXPECT_EQ(2u, capture.count("backup_path /nonexistent-parent/backup invalid"));
    // The backup run's failure is reported once per streak; its retries back
    // off.
    vrrp->make_domains_backup();
    EXPECT_EQ(2u, capture.count("backup_path /nonexistent-parent/backup invalid"));
    EXPECT_EQ(30, vrrp->retry_delay()) << "vrrp_timeout (15 s), then twice that";
    EXPECT_EQ(std::set<std::string>{"lab"}, vrrp->pending());
}

TEST_F(VrrpWorkerTest, RestoreReadsEveryParsableFileOfTheBackupFolder)
{
    build("\"vrrp_enabled\":1");
    // The folder is created when missing.
    EXPECT_EQ(0u, vrrp->restore_domains_from_backup().as_array().size());
    ASSERT_TRUE(LogFolder::exists(files.backup_path()));

    const std::string dir = files.backup_path();
    testsupport::put_file(dir + "/lab.json", "{\"name\":\"lab\",\"rrm-status\":2,\"aps\":[]}");
    testsupport::put_file(dir + "/other.txt", "[1,2]");
    testsupport::put_file(dir + "/empty.json", "");
    testsupport::put_file(dir + "/broken.json", "{\"name\":");
    ::mkdir((dir + "/folder").c_str(), 0755);
    // The file of a domain whose name starts with a dot is read; the
    // temporary file of a write that never finished is not.
    testsupport::put_file(dir + "/.x.json", "{\"name\":\".x\"}");
    testsupport::put_file(dir + "/.lab.json.Ab12Cd", "{\"name\":\"lab\",\"aps\":[]}");

    ElppCapture capture;
    const yajson::JsonValue restored = vrrp->restore_domains_from_backup();
    ASSERT_TRUE(restored.is_array());
    std::vector<std::string> texts;
    yajson::SerializeOptions compact;
    for (const auto& element : restored.as_array())
        texts.push_back(yajson::serialize(compact, element));
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ((std::vector<std::string>{"[1,2]", "{\"name\":\".x\"}",
                                        "{\"name\":\"lab\",\"rrm-status\":2,\"aps\":[]}"}),
              texts);
    EXPECT_EQ(1u, capture.count("Reading backup file " + dir + "/folder failed: Is a directory"));
}

TEST(VrrpMergeFullVaps, EachInterfaceTakesTheVapsOfTheRadioWithItsId)
{
    struct Case {
        const char* what;
        const char* state;
        const char* fbt;
        bool merged;
        const char* result;  // the state afterwards
    };
    const Case cases[] = {
        {"ids matched whatever the order; the full VAPs become the last member",
         R"({"radios":{"interfaces":[{"id":0,"vaps":[0],"tail":1},{"id":1,"vaps":[1]}]}})",
         R"({"radios":[{"id":1,"vaps":[{"k":1}]},{"id":0,"vaps":[]}]})", true,
         R"({"radios":{"interfaces":[{"id":0,"tail":1,"vaps":[]},{"id":1,"vaps":[{"k":1}]}]}})"},
        {"an interface without short VAPs gets them all the same",
         R"({"radios":{"interfaces":[{"id":2}]}})", R"({"radios":[{"id":2,"vaps":[7]}]})", true,
         R"({"radios":{"interfaces":[{"id":2,"vaps":[7]}]}})"},
        {"no radio of that id, one without vaps, ids that are not integers: unchanged",
         R"({"radios":{"interfaces":[{"id":0,"vaps":[0]},{"id":"1","vaps":[1]},5,{"id":2.0}]}})",
         R"({"radios":[{"id":0},{"id":1,"vaps":[9]},{"id":"0","vaps":[9]},{"id":2.0,"vaps":[9]},3]})",
         true,
         R"({"radios":{"interfaces":[{"id":0,"vaps":[0]},{"id":"1","vaps":[1]},5,{"id":2.0}]}})"},
        {"no fast-transition radios at all", R"({"radios":{"interfaces":[{"id":0,"vaps":[0]}]}})",
         R"({"radios":[]})", true, R"({"radios":{"interfaces":[{"id":0,"vaps":[0]}]}})"},
        {"state radios not an object", R"({"radios":[]})", R"({"radios":[]})", false,
         R"({"radios":[]})"},
        {"interfaces not an array", R"({"radios":{"interfaces":{}}})", R"({"radios":[]})", false,
         R"({"radios":{"interfaces":{}}})"},
        {"state not an object", "[]", R"({"radios":[]})", false, "[]"},
        {"fast-transition radios not an array", R"({"radios":{"interfaces":[{"id":0}]}})",
         R"({"radios":{}})", false, R"({"radios":{"interfaces":[{"id":0}]}})"},
        {"fast-transition form not an object", R"({"radios":{"interfaces":[]}})", "null", false,
         R"({"radios":{"interfaces":[]}})"},
    };
    yajson::SerializeOptions compact;
    compact.indent = -1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        yajson::ParseResult state = yajson::parse(c.state, {});
        yajson::ParseResult fbt = yajson::parse(c.fbt, {});
        ASSERT_FALSE(state.error);
        ASSERT_FALSE(fbt.error);
        EXPECT_EQ(c.merged, VrrpWorker::merge_full_vaps(state.value, fbt.value));
        EXPECT_EQ(c.result, yajson::serialize(compact, state.value));
    }
}

// A domain name that JSON must escape.
const std::string kOddDomain = "we\"ird\\dom";

// Live domains "lab" and kOddDomain on the common settings, APs subscribed
// over real WebSocket sessions, and a VRRP worker whose backup folder is
// inside a temporary folder (created by the first run).
class VrrpLiveDomains : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::umask(022);
        ASSERT_TRUE(harness.start());
        const std::string global = "{\"vrrp_enabled\":1,\"vrrp_timeout\":1,"
                                   "\"vrrp_backup_path\":\"" +
                                   folder() + "\"}";
        harness.config->global_update(rrm::JsonReader(global.c_str()));
        vrrp = std::make_unique<VrrpWorker>(harness.registry.get(), harness.config.get());
    }
    std::string folder() const { return work / "backup"; }
    // Every entry of the backup folder, hidden ones included.
    std::vector<std::string> folder_names() const { return work.names("backup"); }
    void subscribe(ApSimulator& ap)
    {
        ASSERT_TRUE(ap.connect(harness.port()));
        ASSERT_TRUE(ap.subscribe());
        const auto response = ap.wait_for("subscribe-response");
        ASSERT_TRUE(response);
        ASSERT_NE(std::string::npos, response->find("\"status\":\"success\"")) << *response;
    }
    static std::vector<std::string> keys(const yajson::JsonValue& object)
    {
        std::vector<std::string> out;
        for (const auto& member : object.as_object())
            out.push_back(member.key);
        return out;
    }

    LogFolder work;
    testsupport::WebsockHarness harness{{"lab", kOddDomain}};
    std::unique_ptr<VrrpWorker> vrrp;
};

TEST_F(VrrpLiveDomains, BackupFileHoldsEachApStateWithItsFullVapsAndIdentity)
{
    // Two radios with one VAP each (802.11r on, key holders and keys set);
    // radio 2 is not reported. The name in the message is JSON text.
    ApSimulator a(ApSpec::typical("02:00:00:00:01:00", "we\\\"ird\\\\dom", 2, 1));
    subscribe(a);
    vrrp->schedule_domain_backup(kOddDomain);
    vrrp->make_domains_backup();
    EXPECT_TRUE(vrrp->pending().empty());

    // Only the domain's file: no temporary file is left behind; the folder
    // is made for owner and group (umask 022), the file readable by them.
    const std::string file = kOddDomain + ".json";
    struct stat st {};
    ASSERT_EQ(0, ::stat(folder().c_str(), &st));
    EXPECT_EQ(0750u, st.st_mode & 07777);
    ASSERT_EQ(0, ::stat((folder() + "/" + file).c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(std::vector<std::string>{file}, folder_names());

    const std::string text = LogFolder::read(folder() + "/" + file);
    yajson::ParseResult parsed = yajson::parse(text, {});
    ASSERT_FALSE(parsed.error) << text;
    const yajson::JsonValue& backup = parsed.value;
    EXPECT_EQ((std::vector<std::string>{"name", "rrm-status", "fbt-status", "aps",
                                        "unanswered-aps", "deleted-aps"}),
              keys(backup));
    EXPECT_EQ(kOddDomain, backup.as_object().find("name")->as_string());
    const auto& aps = backup.as_object().find("aps")->as_array();
    ASSERT_EQ(1u, aps.size());
    EXPECT_EQ(0u, backup.as_object().find("unanswered-aps")->as_array().size());
    EXPECT_EQ(0u, backup.as_object().find("deleted-aps")->as_array().size());

    // The AP state, then the identity of its subscribe request.
    const yajson::JsonValue& ap = aps[0];
    const std::vector<std::string> ap_keys = keys(ap);
    ASSERT_EQ(10u, ap_keys.size()) << text;
    EXPECT_EQ((std::vector<std::string>{"mac", "active", "ap-mac-count", "use-wildcard-80211r",
                                        "radios", "visible-members", "visible-rogue", "board",
                                        "hw", "serial"}),
              ap_keys);
    EXPECT_EQ("tavik-ap", ap.as_object().find("board")->as_string());
    EXPECT_EQ("rev-a", ap.as_object().find("hw")->as_string());
    EXPECT_EQ("SN-02:00:00:00:01:00", ap.as_object().find("serial")->as_string());

    // Each interface ends with its VAPs in the full form: the key holders
    // and key that the AP sent for radio r's VAP 0 ("KEY" r 0 ...).
    const auto& interfaces =
        ap.as_object().find("radios")->as_object().find("interfaces")->as_array();
    ASSERT_EQ(3u, interfaces.size());
    const char* const rrb_keys[] = {"KEY00abcdefghijklm", "KEY10abcdefghijklm"};
    for (size_t r = 0; r < 3; ++r) {
        SCOPED_TRACE(r);
        const std::vector<std::string> radio_keys = keys(interfaces[r]);
        EXPECT_EQ(1, std::count(radio_keys.begin(), radio_keys.end(), "vaps"));
        EXPECT_EQ("vaps", radio_keys.back());
        const auto& vaps = interfaces[r].as_object().find("vaps")->as_array();
        if (r == 2) {
            EXPECT_EQ(0u, vaps.size());
            continue;
        }
        ASSERT_EQ(1u, vaps.size());
        const yajson::JsonObject& vap = vaps[0].as_object();
        EXPECT_EQ("ssid0", vap.find("ssid")->as_string());
        ASSERT_TRUE(vap.find("fbt-rrb-key"));
        EXPECT_EQ(rrb_keys[r], vap.find("fbt-rrb-key")->as_string());
        EXPECT_EQ("SN-02:00:00:00:01:00", vap.find("fbt-r0-keyholder")->as_string());
        EXPECT_TRUE(vap.find("fbt-r1-keyholder"));
    }
}

TEST_F(VrrpLiveDomains, ADomainWhoseBackupFailsStaysPendingUntilTheRetriedRunWritesIt)
{
    ApSimulator a(ApSpec::typical("02:00:00:00:01:00", "lab", 1, 1));
    ApSimulator b(ApSpec::typical("02:00:00:00:02:00", "lab", 1, 1));
    subscribe(a);
    subscribe(b);
    // B is also listed among the deleted APs, as an AP caught moving: its
    // query answers for the active list, so the deleted list cannot be read.
    const rrm::MacAddress mac_b = rrm::mac_from_string("02:00:00:00:02:00");
    ASSERT_TRUE(harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& w) {
        w.aps_to_delete.insert(mac_b, w.aps.table.at(mac_b));
    }));

    // "lab" fails and is kept; a domain without a worker, and an empty
    // name, are dropped: nothing of them to keep.
    for (const char* domain : {"lab", "nowhere", ""})
        vrrp->schedule_domain_backup(domain);
    vrrp->make_domains_backup();
    EXPECT_EQ(std::set<std::string>{"lab"}, vrrp->pending());
    EXPECT_FALSE(LogFolder::exists(folder() + "/lab.json"));
    EXPECT_FALSE(LogFolder::exists(folder() + "/nowhere.json"));

    // Once B is only active again, the timer that the failed run armed
    // writes the file; nothing schedules it anew.
    ASSERT_TRUE(harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& w) {
        auto ap = w.aps_to_delete.table.at(mac_b);
        w.aps_to_delete.index.erase_ap(ap);
        w.aps_to_delete.table.erase(mac_b);
    }));
    EXPECT_TRUE(testsupport::wait_until(
        [&] {
            vrrp->poll_timers();
            return LogFolder::exists(folder() + "/lab.json");
        },
        std::chrono::seconds(30)));
    EXPECT_TRUE(vrrp->pending().empty());
    yajson::ParseResult parsed = yajson::parse(LogFolder::read(folder() + "/lab.json"), {});
    ASSERT_FALSE(parsed.error);
    EXPECT_EQ(2u, parsed.value.as_object().find("aps")->as_array().size());

    // A file that cannot be replaced (a folder stands in its place) is an
    // error; the domain is kept and written once the way is clear.
    ASSERT_EQ(0, ::unlink((folder() + "/lab.json").c_str()));
    ASSERT_EQ(0, ::mkdir((folder() + "/lab.json").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((folder() + "/lab.json/keep").c_str(), 0755));
    ElppCapture capture;
    vrrp->schedule_domain_backup("lab");
    vrrp->make_domains_backup();
    EXPECT_EQ(1u, capture.count("Error writing backup file for domain lab failed with error "
                                "code: 21. Filename: " +
                                folder() + "/lab.json"))
        << ::testing::PrintToString(capture.texts());
    EXPECT_EQ(std::set<std::string>{"lab"}, vrrp->pending());
    EXPECT_EQ(std::vector<std::string>{"lab.json"}, folder_names());
    ASSERT_EQ(0, ::rmdir((folder() + "/lab.json/keep").c_str()));
    ASSERT_EQ(0, ::rmdir((folder() + "/lab.json").c_str()));
    EXPECT_TRUE(testsupport::wait_until(
        [&] {
            vrrp->poll_timers();
            return LogFolder::exists(folder() + "/lab.json");
        },
        std::chrono::seconds(30)));
    EXPECT_TRUE(vrrp->pending().empty());
}

// A write that fails for good (a folder stands where the file goes) is
// retried after vrrp_timeout (1 s here), then twice as long each time up to
// five minutes, and reported by one Error; the first write that works again
// is reported by an Info and the next failure starts from vrrp_timeout.
TEST_F(VrrpLiveDomains, WritesThatKeepFailingBackOffAndAreReportedOncePerStreak)
{
    ApSimulator a(ApSpec::typical("02:00:00:00:01:00", "lab", 1, 1));
    subscribe(a);
    ASSERT_EQ(0, ::mkdir(folder().c_str(), 0750));
    ASSERT_EQ(0, ::mkdir((folder() + "/lab.json").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((folder() + "/lab.json/keep").c_str(), 0755));
    ElppCapture capture;
    const std::string error =
        "Error writing backup file for domain lab failed with error code: 21. Filename: " +
        folder() + "/lab.json";
    vrrp->schedule_domain_backup("lab");
    const int delays[] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 300, 300};
    for (const int delay : delays) {
        vrrp->make_domains_backup();
        EXPECT_EQ(delay, vrrp->retry_delay());
        EXPECT_EQ(std::set<std::string>{"lab"}, vrrp->pending());
    }
    EXPECT_EQ(1u, capture.count(error)) << ::testing::PrintToString(capture.texts());

    ASSERT_EQ(0, ::rmdir((folder() + "/lab.json/keep").c_str()));
    ASSERT_EQ(0, ::rmdir((folder() + "/lab.json").c_str()));
    vrrp->make_domains_backup();
    EXPECT_TRUE(LogFolder::exists(folder() + "/lab.json"));
    EXPECT_TRUE(vrrp->pending().empty());
    EXPECT_EQ(0, vrrp->retry_delay());
    EXPECT_EQ(1u, capture.count("Backup file for domain lab written again. Filename: " +
                                folder() + "/lab.json"));

    // A new streak: reported again, backed off from the start.
    ASSERT_EQ(0, ::unlink((folder() + "/lab.json").c_str()));
    ASSERT_EQ(0, ::mkdir((folder() + "/lab.json").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((folder() + "/lab.json/keep").c_str(), 0755));
    vrrp->schedule_domain_backup("lab");
    vrrp->make_domains_backup();
    EXPECT_EQ(1, vrrp->retry_delay());
    EXPECT_EQ(2u, capture.count(error));
}

}  // namespace
