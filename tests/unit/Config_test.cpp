#include "Config.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using rrm::DomainConfig;
using rrm::GlobalConfig;
using rrm::JsonReader;
using rrm::JsonWriter;

// The file the program writes for a configuration at its defaults.
const char kDefaultFile[] = R"json(
{
    "version": "2.1",
    "global": {
        "enabled": 1,
        "api_port": 8089,
        "cli_api_port": 8082,
        "listen_port": 8099,
        "use_https": 0,
        "report_delete_at_time_utc": "21:00",
        "reports_path": "/var/lib/tavik-wendara/reports",
        "www_path": "/opt/tavik-wendara/www",
        "vrrp_enabled": 0,
        "vrrp_timeout": 15,
        "vrrp_backup_path": "/tmp/tavik-wendara/backup",
        "vrrp_state_file": "/tmp/keep.mode",
        "use_wildcard_80211r": 0
    },
    "common": {
        "use_tavik_rrm_scan": 1,
        "use_dca": 1,
        "use_tpc": 1,
        "use_hd_mode": 1,
        "dca_threshold": 25,
        "ap_rssi_threshold_2g": -70,
        "ap_rssi_threshold_5g": -70,
        "ap_rssi_threshold_6g": -70,
        "hysteresis_2g": 2,
        "hysteresis_5g": 2,
        "hysteresis_6g": 2,
        "optimization_time": "00:00",
        "use_optimization_time": 0,
        "use_optimization_event": 1,
        "away_timeout": 120,
        "blacklist_thr_low": -75,
        "blacklist_thr_high": -65,
        "blacklist_timeout": 30,
        "load_balance_sta_low": 5,
        "load_balance_sta_high": 20,
        "roam_attempt_timeout": 600,
        "sta_load_balance_period": 60,
        "load_balance_roam_count_min": 2,
        "load_balance_roam_count_max": 4,
        "use_all_ap_balance": 0,
        "use_balance": 1,
        "client_rssi_renew": 15,
        "client_max_age": 20,
        "client_try_no_balance": 2,
        "no_balance_enterprise": 0,
        "use_rrm_report": 1,
        "report_days_to_live": 93,
        "use_80211k": 1,
        "use_80211r": 1,
        "use_80211v": 0,
        "fbt_reassoc_deadline": 1000,
        "fbt_over_ds": 0
    },
    "domains": [],
    "patterns": []
}
)json";

std::string default_file() { return std::string(kDefaultFile + 1); }

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    if (at == std::string::npos)
        return "missing " + from;
    return text.replace(at, from.size(), to);
}

class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/wendara-config-XXXXXX";
        if (!mkdtemp(name))
            throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> folder_entries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string domains_of(const GlobalConfig& config)
{
    std::string out;
    config.for_each_domain_info([&](const std::string& name, const rrm::DomainInfo& info) {
        out += name + ":" + info.pattern + ":" + info.time_zone + ":" +
               std::to_string(info.time_zone_offset) + ";";
    });
    return out;
}

std::string patterns_of(const GlobalConfig& config)
{
    std::string out;
    config.for_each_pattern([&](const std::string& name, const DomainConfig& settings) {
        out += name + ":" + std::to_string(settings.dca_threshold) + ";";
    });
    return out;
}

TEST(ConfigFile, SampleConfigurationIsWrittenBackByteForByte)
{
    TempDir dir;
    const std::string original = read_file(std::string(WENDARA_SOURCE_DIR) + "/config/wendara.conf");
    ASSERT_FALSE(original.empty());
    write_file(dir.file("wendara.conf"), original);

    testsupport::LogCapture log;
    GlobalConfig config(dir.file("wendara.conf"));
    EXPECT_EQ(read_file(dir.file("wendara.conf")), original);
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"wendara.conf"});
    EXPECT_FALSE(domains_of(config).empty());
    for (const auto& r : log.records())
        EXPECT_LT(r.level, rrm::LOG_LEVEL_ERROR) << r.text;
}

TEST(ConfigFile, ProgramLayoutIsAFixedPoint)
{
    TempDir dir;
    const std::string file = default_file();
    const std::string with_entries =
        replaced(file, "\"domains\": [],",
                 "\"domains\": [\n        {\n            \"domain\": \"east\",\n"
                 "            \"pattern\": \"common\",\n            \"time_zone\": \"-05:00\"\n"
                 "        },\n        {\n            \"domain\": \"west\",\n"
                 "            \"pattern\": \"common\",\n            \"time_zone\": \"\"\n"
                 "        }\n    ],");
    for (const std::string& text : {file, with_entries}) {
        write_file(dir.file("c.conf"), text);
        GlobalConfig config(dir.file("c.conf"));
        EXPECT_EQ(read_file(dir.file("c.conf")), text);
        EXPECT_TRUE(config.save());
        EXPECT_EQ(read_file(dir.file("c.conf")), text);
    }
}

TEST(ConfigFile, MissingKeysAreFilledInOnWriteBack)
{
    TempDir dir;
    write_file(dir.file("c.conf"),
               R"({"version":"2.1","global":{"listen_port":9000},"common":{},"patterns":[]})");
    GlobalConfig config(dir.file("c.conf"));
    EXPECT_EQ(config.server().listen_port, 9000);
    EXPECT_EQ(read_file(dir.file("c.conf")),
              replaced(default_file(), "\"listen_port\": 8099", "\"listen_port\": 9000"));
}

TEST(ConfigFile, NoFileMeansDefaultsAndNoFileCreated)
{
    TempDir dir;
    testsupport::LogCapture log;
    GlobalConfig config(dir.file("absent.conf"));
    EXPECT_TRUE(folder_entries(dir.path()).empty());
    EXPECT_TRUE(log.records().empty());
    EXPECT_EQ(config.server().listen_port, 8099);
    EXPECT_EQ(config.server().reports_path, "/var/lib/tavik-wendara/reports");

    // The first save writes the whole configuration.
    EXPECT_TRUE(config.save());
    EXPECT_EQ(read_file(dir.file("absent.conf")), default_file());
}

TEST(ConfigFile, EmptyPathNeverTouchesAFile)
{
    GlobalConfig config("");
    EXPECT_TRUE(config.save());
    config.reload();
    EXPECT_TRUE(config.server().enabled);
}

TEST(ConfigFile, HostName)
{
    char name[1024] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    GlobalConfig config("");
    EXPECT_EQ(config.hostname(), name);
}

struct LoadCase {
    const char* name;
    std::string file;
    std::string domains;   // domains_of after load
    std::string patterns;  // patterns_of after load
    std::vector<std::string> warnings;
};

std::string file_with(const std::string& global, const std::string& common,
                      const std::string& domains, const std::string& patterns)
{
    return "{\"version\":\"2.1\",\"global\":" + global + ",\"common\":" + common +
           ",\"domains\":" + domains + ",\"patterns\":" + patterns + "}";
}

const char kUnfit[] = "a domain name must not be empty, \".\", \"..\" or hold '/' or a NUL byte";

// The Warning of a domain of the file whose name is refused.
std::string held(const std::string& name, const std::string& reason)
{
    return "Domain '" + name + "' of the configuration file is not run: " + reason +
           "; its entry is kept in the file";
}

TEST(ConfigFile, LenientLoad)
{
    const std::vector<LoadCase> cases = {
        {"out-of-range common value ignored", file_with("{}", R"({"dca_threshold":150})", "[]", "[]"),
         "", "common:25;", {}},
        {"duplicate patterns: the first wins",
         file_with("{}", "{}", "[]",
                   R"([{"pattern":"office","dca_threshold":30},{"pattern":"office","dca_threshold":40}])"),
         "", "common:25;office:30;", {}},
        {"nameless and null patterns skipped",
         file_with("{}", "{}", "[]", R"([null,{"dca_threshold":30},{"pattern":"","dca_threshold":31}])"),
         "", "common:25;", {}},
        {"domain with an unknown pattern kept",
         file_with("{}", "{}", R"([{"domain":"d1","pattern":"ghost","time_zone":"+02:00"}])", "[]"),
         "d1:ghost:+02:00:7200;", "common:25;", {}},
        {"time zones at both ends and beyond",
         file_with("{}", "{}",
                   R"([{"domain":"a","pattern":"common","time_zone":"+15:00"},)"
                   R"({"domain":"b","pattern":"common","time_zone":"-12:00"},)"
                   R"({"domain":"c","pattern":"common","time_zone":"+14:00"},)"
                   R"({"domain":"d","pattern":"common","time_zone":"14:01"}])",
                   "[]"),
         "b:common:-12:00:-43200;c:common:+14:00:50400;", "common:25;",
         {"Invalid time value for 'time_zone': '+15:00' (allowed range: [-43200, 50400] in "
          "seconds)",
          "Invalid time value for 'time_zone': '14:01' (allowed range: [-43200, 50400] in "
          "seconds)"}},
        {"no time zone or an empty one reads as UTC",
         file_with("{}", "{}",
                   R"([{"domain":"a","pattern":"common"},{"domain":"b","pattern":"common","time_zone":""}])",
                   "[]"),
         "a:common::0;b:common::0;", "common:25;", {}},
        {"domains without name or pattern skipped",
         file_with("{}", "{}",
                   R"([null,{"domain":"","pattern":"common"},{"domain":"x"},{"pattern":"common"}])",
                   "[]"),
         "", "common:25;", {}},
        {"duplicate domains: the first wins",
         file_with("{}", "{}",
                   R"([{"domain":"a","pattern":"common","time_zone":"+99:00"},)"
                   R"({"domain":"a","pattern":"common","time_zone":"+01:00"},)"
                   R"({"domain":"a","pattern":"office","time_zone":"+02:00"}])",
                   R"([{"pattern":"office"}])"),
         "a:common:+01:00:3600;", "common:25;office:25;",
         {"Invalid time value for 'time_zone': '+99:00' (allowed range: [-43200, 50400] in "
          "seconds)"}},
        {"refused domain names held back, not run",
         file_with("{}", "{}",
                   R"([{"domain":".","pattern":"common"},{"domain":"..","pattern":"common"},)"
                   R"({"domain":"a/b","pattern":"common"},{"domain":"a\u0000b","pattern":"common"},)"
                   R"({"domain":"idx_x","pattern":"common"},{"domain":"cfg_","pattern":"common"},)"
                   R"({"domain":"lab,2","pattern":"common"},{"domain":"a\nb","pattern":"common"},)"
                   R"({"domain":")" + std::string(232, 'l') + R"(","pattern":"common"},)"
                   R"({"domain":")" + std::string(231, 'l') + R"(","pattern":"common"},)"
                   R"({"domain":"ok","pattern":"common"}])",
                   "[]"),
         std::string(231, 'l') + ":common::0;ok:common::0;", "common:25;",
         {held(".", kUnfit), held("..", kUnfit), held("a/b", kUnfit), held("a\\x00b", kUnfit),
          held("idx_x", "a domain name must not start with \"cfg_\" or \"idx_\""),
          held("cfg_", "a domain name must not start with \"cfg_\" or \"idx_\""),
          held("lab,2", "a domain name must not hold ','"),
          held("a\\x0ab", "a domain name must not hold control characters"),
          held(std::string(232, 'l'), "a domain name must not be longer than 231 bytes")}},
        {"missing domains member", R"({"global":{},"common":{},"patterns":[{"pattern":"p"}]})", "",
         "common:25;p:25;", {}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TempDir dir;
        write_file(dir.file("c.conf"), tc.file);
        testsupport::LogCapture log;
        GlobalConfig config(dir.file("c.conf"));
        EXPECT_EQ(domains_of(config), tc.domains);
        EXPECT_EQ(patterns_of(config), tc.patterns);
        std::vector<std::string> warnings;
        for (const auto& r : log.records()) {
            if (r.level == rrm::LOG_LEVEL_WARNING)
                warnings.push_back(r.text);
            EXPECT_NE(r.level, rrm::LOG_LEVEL_ERROR) << r.text;
        }
        EXPECT_EQ(warnings, tc.warnings);

        // What was loaded is what is written back: reading the written file
        // again gives the same configuration, and no record but those of the
        // domains held back, which the file keeps.
        log.clear();
        GlobalConfig again(dir.file("c.conf"));
        EXPECT_EQ(domains_of(again), tc.domains);
        EXPECT_EQ(patterns_of(again), tc.patterns);
        std::vector<std::string> held_again;
        for (const std::string& w : tc.warnings)
            if (w.find(" of the configuration file is not run: ") != std::string::npos)
                held_again.push_back(w);
        std::sort(held_again.begin(), held_again.end());
        std::vector<std::string> records;
        for (const auto& r : log.records())
            records.push_back(r.text);
        std::sort(records.begin(), records.end());
        EXPECT_EQ(records, held_again);
    }
}

TEST(ConfigFile, ServerSectionLoadsLeniently)
{
    TempDir dir;
    write_file(dir.file("c.conf"),
               file_with(R"({"listen_port":70000,"api_port":-1,"cli_api_port":"9001",)"
                         R"("reports_path":"","www_path":5,"vrrp_timeout":61,"vrrp_enabled":true,)"
                         R"("report_delete_at_time_utc":"nonsense","vrrp_state_file":"/run/x"})",
                         "{}", "[]", "[]"));
    GlobalConfig config(dir.file("c.conf"));
    const rrm::ServerSettings s = config.server();
    EXPECT_EQ(s.listen_port, 8099);
    EXPECT_EQ(s.api_port, 8089);
    EXPECT_EQ(s.cli_api_port, 9001);
    EXPECT_EQ(s.reports_path, "/var/lib/tavik-wendara/reports");
    EXPECT_EQ(s.www_path, "/opt/tavik-wendara/www");
    EXPECT_EQ(s.vrrp_timeout, 15);
    EXPECT_TRUE(s.vrrp_enabled);
    EXPECT_EQ(s.report_delete_at_time_utc, "nonsense");
    EXPECT_EQ(s.vrrp_state_file, "/run/x");
}

TEST(ConfigFile, BrokenFileIsLeftUntouched)
{
    struct Case {
        const char* name;
        std::string file;
        std::string error;  // with %s for the path
        int listen_port;    // what was loaded before loading stopped
    };
    const std::string unreadable =
        "Configuration file '%s' cannot be read or does not parse; the file is left untouched";
    const std::vector<Case> cases = {
        {"empty file", "", unreadable, 8099},
        {"truncated text", "{\"version\":\"2.1\",\"global\":{\"listen_port\":9000}", unreadable,
         8099},
        {"trailing garbage", "{} x", unreadable, 8099},
        {"JSON null", "null", unreadable, 8099},
        {"no global section", R"({"version":"2.1","common":{},"patterns":[]})",
         "Configuration file '%s' has no \"global\" section; the file is left untouched", 8099},
        {"root is an array", R"([{"global":{}}])",
         "Configuration file '%s' has no \"global\" section; the file is left untouched", 8099},
        {"no common section", R"({"global":{"listen_port":9000},"patterns":[]})",
         "Configuration file '%s' has no \"common\" section; the file is left untouched", 9000},
        {"no patterns section",
         R"({"global":{"listen_port":9000},"common":{},"domains":[{"domain":"d","pattern":"common"}]})",
         "Configuration file '%s' has no \"patterns\" section; the file is left untouched", 9000},
        // A section of the wrong kind would load as empty and be written
        // back empty.
        {"global is a number", R"({"global":5,"common":{},"patterns":[]})",
         "Configuration file '%s' has a \"global\" section that is not an object; the file is "
         "left untouched",
         8099},
        {"common is an array", R"({"global":{"listen_port":9000},"common":[{"use_dca":0}],"patterns":[]})",
         "Configuration file '%s' has a \"common\" section that is not an object; the file is "
         "left untouched",
         9000},
        {"patterns is a string", R"({"global":{"listen_port":9000},"common":{},"patterns":"office"})",
         "Configuration file '%s' has a \"patterns\" section that is not an array; the file is "
         "left untouched",
         9000},
        {"domains is an object",
         R"({"global":{"listen_port":9000},"common":{},"patterns":[],)"
         R"("domains":{"domain":"d","pattern":"common"}})",
         "Configuration file '%s' has a \"domains\" section that is not an array; the file is "
         "left untouched",
         9000},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        TempDir dir;
        const std::string path = dir.file("c.conf");
        write_file(path, tc.file);
        testsupport::LogCapture log;
        GlobalConfig config(path);
        EXPECT_EQ(read_file(path), tc.file);
        EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"c.conf"});
        EXPECT_EQ(config.server().listen_port, tc.listen_port);
        EXPECT_EQ(domains_of(config), "");
        const std::string error = replaced(tc.error, "%s", path);
        EXPECT_EQ(log.count(rrm::LOG_LEVEL_ERROR, error), 1u) << error;

        // Reloading it later changes nothing either.
        log.clear();
        config.reload();
        EXPECT_EQ(read_file(path), tc.file);
        EXPECT_EQ(log.count(rrm::LOG_LEVEL_ERROR, error), 1u);
    }
}

TEST(ConfigFile, AReloadKeepsTheDomainsWhenTheFileNoLongerHoldsAnArrayOfThem)
{
    TempDir dir;
    const std::string path = dir.file("c.conf");
    write_file(path, R"({"global":{},"common":{},"patterns":[],)"
                     R"("domains":[{"domain":"d","pattern":"common","time_zone":"+01:00"}]})");
    GlobalConfig config(path);
    ASSERT_EQ(domains_of(config), "d:common:+01:00:3600;");

    const std::string edited = R"({"global":{"listen_port":9000},"common":{},"patterns":[],)"
                               R"("domains":{"d":{"pattern":"common"}}})";
    write_file(path, edited);
    testsupport::LogCapture log;
    config.reload();
    EXPECT_EQ(domains_of(config), "d:common:+01:00:3600;");
    EXPECT_EQ(config.server().listen_port, 9000) << "what came before the section is loaded";
    EXPECT_EQ(read_file(path), edited);
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_ERROR,
                        "Configuration file '" + path +
                            "' has a \"domains\" section that is not an array; the file is left "
                            "untouched"),
              1u);
}

TEST(ConfigFile, FolderInPlaceOfTheFileIsLeftAlone)
{
    TempDir dir;
    const std::string path = dir.file("c.conf");
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    testsupport::LogCapture log;
    GlobalConfig config(path);
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_ERROR,
                        "Configuration file '" + path +
                            "' cannot be read or does not parse; the file is left untouched"),
              1u);
    // Saving cannot replace a folder; no temporary file is left behind.
    EXPECT_FALSE(config.save());
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"c.conf"});
}

TEST(ConfigSave, AWriteThatFailsAfterTheTemporaryFileWasOpenedKeepsTheOldFileWhole)
{
    TempDir dir;
    const std::string path = dir.file("c.conf");
    write_file(path, default_file());
    GlobalConfig config(path);
    const std::string before = read_file(path);
    ASSERT_GT(before.size(), 1000u);

    // In a child whose file-size limit is smaller than the text: the
    // temporary file opens, and the write fails half-way (EFBIG).
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{500, 500};
        ::setrlimit(RLIMIT_FSIZE, &small);
        bool invalid = false;
        JsonWriter root("2.0");
        JsonWriter rejects = root.add_array("rejects");
        config.global_change(JsonReader(R"({"listen_port":9100})"), rejects, invalid);
        ::_exit(config.save() ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "save reports the failure";
    EXPECT_EQ(read_file(path), before);
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"c.conf"});
}

TEST(ConfigSave, TemporaryFilesThatKilledSavesLeftAreRemovedAtStart)
{
    TempDir dir;
    const std::string path = dir.file("c.conf");
    write_file(path, default_file());
    // Ours: the fixed name, and the per-process names of earlier versions
    // whose process is gone (no pid is that large). Not ours: everything
    // else, a live process's file included.
    const std::string live = "c.conf.tmp." + std::to_string(getppid()) + ".0";
    for (const std::string name : {"c.conf.tmp", "c.conf.tmp.4194305.12", "c.conf.tmp.4194306.0",
                                   "c.conf.tmp.notes", "c.conf.tmp.1.x", "c.conf.tmp.", "d.conf.tmp",
                                   "c.conf.bak", live.c_str()})
        write_file(dir.file(name), "{");
    GlobalConfig config(path);
    std::vector<std::string> expected{"c.conf", "c.conf.bak", "c.conf.tmp.", "c.conf.tmp.1.x",
                                      "c.conf.tmp.notes", live, "d.conf.tmp"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folder_entries(dir.path()), expected);

    // A symlinked configuration: the leftovers sit next to its target.
    TempDir other;
    const std::string real = other.file("real.conf");
    write_file(real, default_file());
    write_file(other.file("real.conf.tmp"), "{");
    const std::string link = dir.file("link.conf");
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    GlobalConfig linked(link);
    EXPECT_EQ(folder_entries(other.path()), std::vector<std::string>{"real.conf"});
}

TEST(ConfigSave, ReplacesTheFileWholeAndKeepsItsMode)
{
    TempDir dir;
    const std::string path = dir.file("c.conf");
    write_file(path, default_file());
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    GlobalConfig config(path);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);

    bool invalid = false;
    JsonWriter root("2.0");
    JsonWriter rejects = root.add_array("rejects");
    ASSERT_TRUE(config.global_change(JsonReader(R"({"listen_port":9100})"), rejects, invalid));
    ASSERT_TRUE(config.save());

    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "written to a new file and renamed over";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(path), replaced(default_file(), "\"listen_port\": 8099",
                                        "\"listen_port\": 9100"));
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"c.conf"});
}

TEST(ConfigSave, SymlinkedFileStaysASymlink)
{
    TempDir dir;
    const std::string real = dir.file("real.conf");
    const std::string link = dir.file("link.conf");
    write_file(real, default_file());
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    GlobalConfig config(link);
    bool changed = false;
    ASSERT_TRUE(config.domain_add("d", "common", "", 0, changed));
    ASSERT_TRUE(config.save());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(read_file(real).find("\"domain\": \"d\""), std::string::npos);
}

TEST(ConfigSave, FailureIsReportedAndNothingIsWritten)
{
    TempDir dir;
    write_file(dir.file("plain"), "not a folder");
    const std::string path = dir.file("plain") + "/wendara.conf";
    GlobalConfig config(path);
    testsupport::LogCapture log;
    EXPECT_FALSE(config.save());
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_ERROR,
                        "Configuration file '" + path +
                            "' not saved: create temporary file failed: Not a directory"),
              1u);
    EXPECT_EQ(read_file(dir.file("plain")), "not a folder");
    EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"plain"});
}

TEST(ConfigReload, PatternChangeReachesItsDomains)
{
    TempDir dir;
    const std::string path = dir.file("c.conf");
    const std::string first =
        file_with("{}", "{}", R"([{"domain":"d1","pattern":"office"},{"domain":"d2","pattern":"common"}])",
                  R"([{"pattern":"office","dca_threshold":30}])");
    write_file(path, first);
    GlobalConfig config(path);
    EXPECT_EQ(config.get_domain_config("d1").dca_threshold, 30);

    // A compact text keeps its layout: reload writes nothing.
    const std::string second =
        file_with("{}", R"({"dca_threshold":11})",
                  R"([{"domain":"d1","pattern":"office"},{"domain":"d2","pattern":"common"}])",
                  R"([{"pattern":"office","dca_threshold":40}])");
    write_file(path, second);
    config.reload();
    EXPECT_EQ(read_file(path), second);
    EXPECT_EQ(config.get_domain_config("d1").dca_threshold, 40);
    EXPECT_EQ(config.get_domain_config("d2").dca_threshold, 11);

    // Keys a pattern element lacks keep the values already loaded.
    write_file(path, file_with("{}", "{}", R"([{"domain":"d1","pattern":"office"}])",
                               R"([{"pattern":"office","use_dca":0}])"));
    config.reload();
    const DomainConfig d1 = config.get_domain_config("d1");
    EXPECT_EQ(d1.dca_threshold, 40);
    EXPECT_FALSE(d1.use_dca);
    EXPECT_EQ(domains_of(config), "d1:office::0;");

    // A new set of pattern names starts from the defaults.
    write_file(path, file_with("{}", "{}", R"([{"domain":"d1","pattern":"lab"}])",
                               R"([{"pattern":"lab","use_tpc":0}])"));
    config.reload();
    EXPECT_EQ(patterns_of(config), "common:11;lab:25;");
    EXPECT_FALSE(config.get_domain_config("d1").use_tpc);
    EXPECT_TRUE(config.get_domain_config("d1").use_dca);
}

TEST(ConfigReload, MissingFileKeepsTheCurrentValues)
{
    TempDir dir;
    const std::string path = dir.file("c.conf");
    write_file(path, file_with(R"({"listen_port":9000})", "{}", "[]", "[]"));
    GlobalConfig config(path);
    ASSERT_EQ(unlink(path.c_str()), 0);
    config.reload();
    EXPECT_EQ(config.server().listen_port, 9000);
    EXPECT_FALSE(fs::exists(path));
}

TEST(ConfigLookup, DomainSettingsAndTimeZones)
{
    TempDir dir;
    write_file(dir.file("c.conf"),
               file_with("{}", R"({"away_timeout":300})",
                         R"([{"domain":"d1","pattern":"common","time_zone":"+03:00"},)"
                         R"({"domain":"d2","pattern":"ghost","time_zone":"-01:30"}])",
                         "[]"));
    GlobalConfig config(dir.file("c.conf"));
    testsupport::LogCapture log;
    EXPECT_TRUE(config.is_domain_exist("d1"));
    EXPECT_FALSE(config.is_domain_exist("zz"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_TRACE, "Domain \"d1\" success found"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_TRACE, "Domain \"zz\" not found"));

    EXPECT_EQ(config.get_domain_config("d1").away_timeout, 300);
    EXPECT_EQ(config.get_time_zone("d1"), 10800);
    EXPECT_EQ(config.get_time_zone("d2"), -5400);

    struct Case {
        const char* domain;
        const char* what;
    };
    for (const Case& tc : std::vector<Case>{{"zz", "Domain not found"}, {"d2", "Pattern not found"}}) {
        SCOPED_TRACE(tc.domain);
        try {
            config.get_domain_config(tc.domain);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), tc.what);
        }
    }
    try {
        config.get_time_zone("zz");
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Domain (time zone) not found");
    }
}

TEST(ConfigLookup, DomainWhosePatternAppearsLaterHasNoCopy)
{
    GlobalConfig config("");
    JsonWriter root("2.0");
    JsonReader doc(R"({"global":{},"common":{},"patterns":[],"domains":[{"domain":"d","pattern":"p"}]})");
    ASSERT_TRUE(config.load(doc));
    bool invalid = false;
    bool changed = false;
    JsonWriter rejects = root.add_array("rejects");
    ASSERT_TRUE(config.pattern_add("p", JsonReader("{}"), rejects, invalid, changed));
    try {
        config.get_domain_config("d");
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Domain config not found");
    }
}

TEST(ConfigLookup, CommonIsIteratedFirst)
{
    GlobalConfig config("");
    ASSERT_TRUE(config.load(JsonReader(
        R"({"global":{},"common":{"dca_threshold":1},"patterns":[{"pattern":"b","dca_threshold":3},{"pattern":"a","dca_threshold":2}],)"
        R"("domains":[{"domain":"y","pattern":"b"},{"domain":"x","pattern":"a"},{"domain":"z","pattern":"none"}]})")));
    EXPECT_EQ(patterns_of(config), "common:1;a:2;b:3;");
    std::string pairs;
    config.for_each_domain_pattern(
        [&](const std::string& d, const std::string& p) { pairs += d + "=" + p + ";"; });
    EXPECT_EQ(pairs, "x=a;y=b;z=none;");
    std::string copies;
    config.for_each_domain_config([&](const std::string& d, const DomainConfig& c) {
        copies += d + "=" + std::to_string(c.dca_threshold) + ";";
    });
    EXPECT_EQ(copies, "x=2;y=3;");
}

TEST(ConfigJson, ServerSectionInFileOrder)
{
    GlobalConfig config("");
    JsonWriter w("");
    config.global_to_json(w);
    EXPECT_STREQ(w.to_string(),
                 "{\"enabled\":1,\"api_port\":8089,\"cli_api_port\":8082,\"listen_port\":8099,"
                 "\"use_https\":0,\"report_delete_at_time_utc\":\"21:00\","
                 "\"reports_path\":\"/var/lib/tavik-wendara/reports\","
                 "\"www_path\":\"/opt/tavik-wendara/www\",\"vrrp_enabled\":0,\"vrrp_timeout\":15,"
                 "\"vrrp_backup_path\":\"/tmp/tavik-wendara/backup\","
                 "\"vrrp_state_file\":\"/tmp/keep.mode\",\"use_wildcard_80211r\":0}");
}

}  // namespace
