// The optimisation report writer: the texts of report lines (fields, dates,
// integers), the capture of a run's radios from a snapshot, and the save of
// the three files with its failures.
#include "report_optimize_tpc_dca.h"

#include "ApFixtures.h"
#include "ApMap.h"
#include "DomainConfig.h"
#include "LogCapture.h"
#include "LogFolder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using testsupport::LogCapture;
using testsupport::LogFolder;
using testsupport::mac;

template <class F>
std::string thrown_text(F&& f)
{
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

// ------------------------------------------------------------- line texts

TEST(ReportText, FieldsOfALine)
{
    struct Case {
        const char* line;
        size_t n;
        bool allow_empty;
        int rc;
        const char* field;
        const char* error;  // the Error record, when one is expected
    };
    const Case cases[] = {
        {"1.1,a,,b", 1, false, 0, "a", nullptr},
        {"1.1,a,,b", 2, false, 22, "", "Requested empty field 2 in string: \"1.1,a,,b\"."},
        {"1.1,a,,b", 2, true, 0, "", nullptr},
        {"1.1,a,,b", 3, false, 0, "b", nullptr},
        {"1.1,a,,b", 4, false, 22, "", "Not found field 4 in string: \"1.1,a,,b\"."},
        {"x,y", 0, false, 0, "x", nullptr},
        {",z", 1, false, 0, "z", nullptr},
        {",z", 0, false, 22, "", "Requested empty field 0 in string: \",z\"."},
        {"a,", 1, false, 22, "", "Requested field 1 is empty (string: \"a,\")."},
        {"", 0, true, 22, "", "'source' string is empty."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " #" + std::to_string(c.n));
        LogCapture log;
        std::string out = "stale";
        EXPECT_EQ(c.rc, reports::get_field_by_num_as_str(c.line, c.n, out, ',', c.allow_empty));
        EXPECT_EQ(c.field, out);
        if (c.error) {
            EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, c.error));
        } else {
            EXPECT_TRUE(log.records().empty());
        }
    }
}

TEST(ReportText, IntegerTexts)
{
    struct Case {
        std::string text;
        int code;
        int value;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"0x10", 0, 16, nullptr},  // base 0: hexadecimal
        {"010", 0, 8, nullptr},    // and octal
        {" 7", 0, 7, nullptr},     // leading blanks skipped
        {"-2147483648", 0, -2147483647 - 1, nullptr},
        {"12 ", 22, 0, "Argument \"12 \" inconvertible."},
        {"3000000000", 22, 0, "Argument \"3000000000\" too big."},
        {"-2147483649", 22, 0, "Argument \"-2147483649\" too small."},
        {"", 22, 0, "String for convert is empty."},
        // A NUL is quoted as \\x00, not cut at.
        {std::string("5\0" "9", 3), 22, 0, "Argument \"5\\x009\" inconvertible."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        const auto [value, code] = reports::str_to_int_with_log(c.text);
        EXPECT_EQ(c.code, code);
        if (c.code == 0) {
            ASSERT_TRUE(value.has_value());
            EXPECT_EQ(c.value, *value);
        } else {
            EXPECT_FALSE(value.has_value());
            EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, c.error));
        }
    }
}

TEST(ReportText, DateTimeTexts)
{
    // 2024-03-05 14:07:09 UTC: 54 years of which 13 leap to 2024-01-01 =
    // 19723 days, + 31 + 29 + 4 = 19787 days = 1709596800 s, + 14 h 7 min 9 s
    // (50829 s) = 1709647629.
    const time_t t = 1709647629;
    EXPECT_EQ("2024-03-05,14:07:09", reports::get_date_time_as_str(t, true));
    EXPECT_EQ("1970-01-01,00:00:00", reports::get_date_time_as_str(0, true));

    // Local time: POSIX "UTC-3" is three hours east of UTC.
    const char* saved = std::getenv("TZ");
    const std::string old_tz = saved ? saved : "";
    ::setenv("TZ", "UTC-3", 1);
    ::tzset();
    EXPECT_EQ("2024-03-05,17:07:09", reports::get_date_time_as_str(t, false));
    if (saved)
        ::setenv("TZ", old_tz.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();

    struct Case {
        const char* text;
        int code;
        time_t t;
        const char* error;
    };
    const Case cases[] = {
        {"2024-03-05,14:07:09", 0, t, nullptr},
        {"2024-03-05,14:07:09 UTC", 0, t, nullptr},  // text after the seconds ignored
        {"2024-03-05 14:07:09", 22, -1, "Parser error in string: \"2024-03-05 14:07:09\"."},
        {"2024-13-05,14:07:09", 22, -1, "Parser error in string: \"2024-13-05,14:07:09\"."},
        {"", 22, -1, "Parser error in string: \"\"."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        time_t out = 0;
        EXPECT_EQ(c.code, reports::parse_date_time_fields_to_time_t(c.text, &out));
        EXPECT_EQ(c.t, out);
        if (c.error) {
            EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, c.error));
        }
    }

    const time_t before = std::time(nullptr);
    const std::string now = reports::get_current_date_time_as_str(true);
    const time_t after = std::time(nullptr);
    time_t parsed = 0;
    ASSERT_EQ(0, reports::parse_date_time_fields_to_time_t(now, &parsed));
    EXPECT_LE(before, parsed);
    EXPECT_GE(after, parsed);
}

TEST(ReportText, StartDateTimeOfALine)
{
    LogCapture log;
    std::string out = "stale";
    EXPECT_EQ(0, reports::get_date_time_fields_from_file_line_as_str("1.1,2024-03-05,14:07:09",
                                                                      &out));
    EXPECT_EQ("2024-03-05,14:07:09", out);
    EXPECT_EQ(22, reports::get_date_time_fields_from_file_line_as_str("1.1,,14:07:09", &out));
    EXPECT_EQ("", out);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "Not found date in report line: \"1.1,,14:07:09\"."));
    EXPECT_EQ(22, reports::get_date_time_fields_from_file_line_as_str("1.1,2024-03-05", &out));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "Not found time in report line: \"1.1,2024-03-05\"."));
}

TEST(ReportText, NamesKeysAndTheirArgumentChecks)
{
    EXPECT_EQ("2024-03-05,14:07:09,02:00:00:00:10:00,02:00:00:00:10:10",
              reports::create_key_for_domain_radio_report(
                  "2024-03-05,14:07:09", "02:00:00:00:10:00", "02:00:00:00:10:10"));
    EXPECT_EQ("create_key_for_domain_radio_report: Invalid argument 'optimize_start_date'.",
              thrown_text([] { reports::create_key_for_domain_radio_report("", "", ""); }));
    EXPECT_EQ("create_key_for_domain_radio_report: Invalid argument 'ap_mac_str'.",
              thrown_text([] { reports::create_key_for_domain_radio_report("d", "", ""); }));
    EXPECT_EQ("create_key_for_domain_radio_report: Invalid argument 'radio_mac_str'.",
              thrown_text([] { reports::create_key_for_domain_radio_report("d", "a", ""); }));

    // Names that would reach outside the reports folder are refused like an
    // empty one, before the folder is looked at.
    for (const std::string& bad : {std::string(""), std::string("."), std::string(".."),
                                   std::string("../etc"), std::string("a/b"),
                                   std::string("lab\0/../x", 9)}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ("get_report_config_file_name: Invalid argument 'domain_name'.",
                  thrown_text([&] { reports::get_report_config_file_name(bad, ""); }));
    }
    EXPECT_EQ("get_report_index_file_name: Invalid argument 'report_files_path'.",
              thrown_text([] { reports::get_report_index_file_name("lab", ""); }));
    // Dots inside a name are an ordinary name.
    EXPECT_EQ("/r/report_...a.txt", reports::get_report_file_name("...a", "/r"));
}

// ------------------------------------------------------- capture and save

const char kStart[] = "2024-03-05,14:07:09";

// Two APs of a snapshot, the later-sorting one inserted first, with radios
// in every state the capture tells apart; run() then plays the optimisation
// run's changes on it.
class ReportSnapshot : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto a = testsupport::make_ap(worker_copy, "02:00:00:00:20:00");
        auto b = testsupport::make_ap(worker_copy, "02:00:00:00:10:00");
        // B radio 0: locked for power only -> reported.
        rrm::Radio& b0 = radio(*b, 0, "02:00:00:00:10:20");
        b0.status = true;
        b0.channel = 36;
        b0.power = 17;
        b0.bandwidth = 80;
        b0.max_power = 20;
        b0.min_power = 5;
        b0.eirp = 23;
        b0.eirp_min = 5;
        b0.eirp_max = 30;
        b0.antenna_gain = 3;
        b0.cable_loss = 1;
        b0.primary_channel = rrm::PRIMARY_LOWER;  // 256
        b0.available_channels = {44, 36, 40, 48};
        b0.locked_tpc = 1;
        // B radio 1: locked for channels only -> reported; its MAC sorts
        // before radio 0's.
        rrm::Radio& b1 = radio(*b, 1, "02:00:00:00:10:10");
        b1.status = true;
        b1.channel = 6;
        b1.power = 10;
        b1.bandwidth = 20;
        b1.max_power = 18;
        b1.min_power = 3;
        b1.available_channels = {11, 1, 6};
        b1.locked_dca = 1;
        // B radio 2: locked for both -> never reported.
        rrm::Radio& b2 = radio(*b, 2, "02:00:00:00:10:30");
        b2.status = true;
        b2.channel = 40;
        b2.available_channels = {36};
        b2.locked_tpc = 1;
        b2.locked_dca = 1;
        // A radio 0: no available channels -> never reported.
        rrm::Radio& a0 = radio(*a, 0, "02:00:00:00:20:10");
        a0.status = true;
        a0.channel = 1;
        // A radio 1: disabled before the run, enabled after it.
        rrm::Radio& a1 = radio(*a, 1, "02:00:00:00:20:20");
        a1.available_channels = {100, 104};
        // A radio 2: reported before the run, locked for both after it.
        rrm::Radio& a2 = radio(*a, 2, "02:00:00:00:20:30");
        a2.status = true;
        a2.channel = 1;
        a2.power = 8;
        a2.bandwidth = 20;
        a2.max_power = 20;
        a2.min_power = 1;
        a2.available_channels = {6, 1};
        snapshot.insert(a->base_mac, a);
        snapshot.insert(b->base_mac, b);
    }

    static rrm::Radio& radio(rrm::ApEntry& ap, int id, const char* radio_mac)
    {
        rrm::Radio& r = ap.radios.radios.at(static_cast<size_t>(id));
        r.mac = mac(radio_mac);
        return r;
    }
    rrm::ApEntry& ap(const char* base) { return *snapshot.table.at(mac(base)); }

    void run()
    {
        rrm::Radio& b0 = ap("02:00:00:00:10:00").radios.radios[0];
        b0.power = 14;
        b0.channel = 44;
        b0.eirp = 20;
        rrm::Radio& b1 = ap("02:00:00:00:10:00").radios.radios[1];
        b1.power = 12;
        b1.channel = 1;
        rrm::Radio& a1 = ap("02:00:00:00:20:00").radios.radios[1];
        a1.status = true;
        a1.channel = 104;
        a1.power = 9;
        a1.eirp = 12;
        rrm::Radio& a2 = ap("02:00:00:00:20:00").radios.radios[2];
        a2.locked_tpc = 1;
        a2.locked_dca = 1;
    }

    std::string report() const { return LogFolder::read(dir / "report_lab.txt"); }
    std::string config() const { return LogFolder::read(dir / "report_cfg_lab.txt"); }
    std::string index() const { return LogFolder::read(dir / "report_idx_lab.txt"); }

    rrm::DomainConfig worker_copy;
    rrm::ApMap snapshot;
    LogFolder dir;
};

// Fields: version, date, time, AP MAC, radio MAC, power before/after,
// channel before/after, radio id, bandwidth, max and min power, primary code,
// channels, EIRP before/after, EIRP min/max, antenna gain, cable loss.
// Lines in key order: AP 10:00 before AP 20:00, radio 10:10 before 10:20.
const std::string kRunLines =
    // B radio 1: before 10/6, after 12/1; EIRP -1 (none) before and after.
    "1.1,2024-03-05,14:07:09,02:00:00:00:10:00,02:00:00:00:10:10,"
    "10,12,6,1,1,20,18,3,0,1 6 11,-1,-1,-1,-1,0,0\n"
    // B radio 0: channels sorted, primary "lower" = 256.
    "1.1,2024-03-05,14:07:09,02:00:00:00:10:00,02:00:00:00:10:20,"
    "17,14,36,44,0,80,20,5,256,36 40 44 48,23,20,5,30,3,1\n"
    // A radio 1: only the after values; everything else of a new record 0,
    // channels empty.
    "1.1,2024-03-05,14:07:09,02:00:00:00:20:00,02:00:00:00:20:20,"
    "0,9,0,104,0,0,0,0,0,,0,12,0,0,0,0\n"
    // A radio 2: before values kept, after values 0.
    "1.1,2024-03-05,14:07:09,02:00:00:00:20:00,02:00:00:00:20:30,"
    "8,0,1,0,2,20,20,1,0,1 6,-1,0,-1,-1,0,0\n";

TEST_F(ReportSnapshot, RunWritesItsLinesSettingsRowAndIndexLine)
{
    reports::RadioReportMap map;
    reports::remember_radio_report_before_optimize(map, kStart, snapshot);
    EXPECT_EQ(3u, map.size());
    run();
    reports::remember_radio_report_after_optimize(map, kStart, snapshot);
    ASSERT_EQ(4u, map.size());

    rrm::DomainConfig settings;
    settings.dca_threshold = 30;
    settings.use_80211k = false;
    settings.use_80211v = true;  // not in the row
    LogCapture log;
    reports::save_radio_report_to_files(map, "lab", kStart, dir.path(), settings);
    EXPECT_EQ(kRunLines, report());
    // 3 + 25 fields: the defaults but dca_threshold 30 (5th) and use_80211k 0
    // (last).
    EXPECT_EQ("1.1,2024-03-05,14:07:09,1,1,1,1,30,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,"
              "0,1,93,0\n",
              config());
    EXPECT_EQ("1.1,2024-03-05,14:07:09\n", index());
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG,
                        "report_file_name = \"" + (dir / "report_lab.txt") + "\""));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG,
                        "report_index_file_name = \"" + (dir / "report_idx_lab.txt") + "\""));
    EXPECT_TRUE(log.events().empty());

    // A later run without a qualifying radio appends its settings and index
    // lines; the report file keeps what it had.
    reports::save_radio_report_to_files({}, "lab", "2024-03-05,15:00:00", dir.path(),
                                        rrm::DomainConfig());
    EXPECT_EQ(kRunLines, report());
    EXPECT_EQ("1.1,2024-03-05,14:07:09\n1.1,2024-03-05,15:00:00\n", index());
    const std::string settings_lines = config();
    EXPECT_EQ(2, std::count(settings_lines.begin(), settings_lines.end(), '\n'));
}

TEST_F(ReportSnapshot, EmptyRunStillCreatesTheReportFile)
{
    reports::save_radio_report_to_files({}, "lab", kStart, dir.path(), rrm::DomainConfig());
    EXPECT_EQ((std::vector<std::string>{"report_cfg_lab.txt", "report_idx_lab.txt",
                                        "report_lab.txt"}),
              dir.names());
    EXPECT_EQ("", report());
    EXPECT_EQ("1.1,2024-03-05,14:07:09\n", index());
}

TEST_F(ReportSnapshot, BadArgumentsThrowBeforeAnythingIsWritten)
{
    reports::RadioReportMap map;
    EXPECT_EQ("remember_radio_report_before_optimize: Invalid argument 'optimize_start_date'.",
              thrown_text([&] { reports::remember_radio_report_before_optimize(map, "", snapshot); }));
    EXPECT_EQ("remember_radio_report_after_optimize: Invalid argument 'optimize_start_date'.",
              thrown_text([&] { reports::remember_radio_report_after_optimize(map, "", snapshot); }));
    reports::remember_radio_report_before_optimize(map, kStart, snapshot);
    const rrm::DomainConfig settings;
    struct Case {
        std::string domain, path, start, text;
    };
    const std::vector<Case> cases = {
        {"", dir.path(), kStart, "get_report_file_name: Invalid argument 'domain_name'."},
        {"lab", "", kStart, "get_report_file_name: Invalid argument 'report_files_path'."},
        {"../lab", dir.path(), kStart, "get_report_file_name: Invalid argument 'domain_name'."},
        {"..", dir.path(), kStart, "get_report_file_name: Invalid argument 'domain_name'."},
        {"lab", dir.path(), "",
         "save_radio_report_to_files: Invalid argument 'optimize_start_date'."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.domain + "|" + c.path + "|" + c.start);
        EXPECT_EQ(c.text, thrown_text([&] {
                      reports::save_radio_report_to_files(map, c.domain, c.start, c.path,
                                                          settings);
                  }));
        EXPECT_TRUE(dir.names().empty());
    }
}

TEST_F(ReportSnapshot, FailedStepStopsTheSaveAndRaisesEvent18)
{
    reports::RadioReportMap map;
    reports::remember_radio_report_before_optimize(map, kStart, snapshot);
    reports::remember_radio_report_after_optimize(map, kStart, snapshot);

    struct Case {
        const char* name;
        const char* obstacle;  // a folder where this file should be
        int code;
        const char* step_error;
        size_t files;  // files written before the failure
    };
    const Case cases[] = {
        {"report file", "report_lab.txt", 21,
         "Write radio report to file exit with error code: 21. Filename: \"%s\".", 0},
        {"settings file", "report_cfg_lab.txt", 21,
         "Write radio report domain config to file exit with error code: 21. Filename: \"%s\".",
         1},
        {"index file", "report_idx_lab.txt", 21,
         "Write radio report id to file exit with error code: 21. Filename: \"%s\".", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogFolder folder;
        ::mkdir((folder / c.obstacle).c_str(), 0755);
        LogCapture log;
        reports::save_radio_report_to_files(map, "lab", kStart, folder.path(), rrm::DomainConfig());
        char step[512];
        std::snprintf(step, sizeof step, c.step_error, (folder / c.obstacle).c_str());
        EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, step));
        EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                            "Cannot open \"" + (folder / c.obstacle) +
                                "\" for appending, errno = 21: Is a directory"));
        EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                            "Error while save radio report for domain: \"lab\". Report date: "
                            "\"2024-03-05,14:07:09\". Exit code: 21."));
        ASSERT_EQ(1u, log.events().size());
        EXPECT_EQ(rrm::EVENT_REPORT_SAVE_FAILED, log.events()[0].code);
        EXPECT_EQ("lab", log.events()[0].details);
        // Later files are not written: an index line only follows the run's
        // report and settings lines.
        EXPECT_EQ(c.files + 1, folder.names().size());
    }

    // A missing folder: its errno, and no file is created.
    LogCapture log;
    reports::save_radio_report_to_files(map, "lab", kStart, dir / "missing", rrm::DomainConfig());
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                        "Error while save radio report for domain: \"lab\". Report date: "
                        "\"2024-03-05,14:07:09\". Exit code: 2."));
    EXPECT_EQ(1u, log.event_count(rrm::EVENT_REPORT_SAVE_FAILED));
    EXPECT_TRUE(dir.names().empty());
}

// A write that fails part-way leaves no part of the run in the file, so the
// next run's lines do not continue a cut line.
TEST_F(ReportSnapshot, FailedWriteIsCutBackToTheFormerSize)
{
    reports::RadioReportMap map;
    reports::remember_radio_report_before_optimize(map, kStart, snapshot);
    run();
    reports::remember_radio_report_after_optimize(map, kStart, snapshot);
    const std::string earlier = "1.1,2024-03-04,10:00:00,02:00:00:00:10:00,02:00:00:00:10:10,"
                                "1,1,1,1,1,20,1,1,0,1,1,1,1,1,0,0\n";
    dir.write("report_lab.txt", earlier);

    // The file may grow by 100 bytes only: the run's 4 lines (kRunLines,
    // over 300 bytes) stop part-way with EFBIG.
    struct rlimit saved;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
    struct rlimit limited = saved;
    limited.rlim_cur = earlier.size() + 100;
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limited));
    {
        LogCapture log;
        reports::save_radio_report_to_files(map, "lab", kStart, dir.path(), rrm::DomainConfig());
        ::setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                            "Cannot append to \"" + (dir / "report_lab.txt") +
                                "\", errno = 27: File too large"));
        EXPECT_EQ(1u, log.event_count(rrm::EVENT_REPORT_SAVE_FAILED));
    }
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(earlier, report());
    EXPECT_FALSE(LogFolder::exists(dir / "report_idx_lab.txt"));

    // The next save appends whole lines after the earlier ones.
    reports::save_radio_report_to_files(map, "lab", kStart, dir.path(), rrm::DomainConfig());
    EXPECT_EQ(earlier + kRunLines, report());
}

}  // namespace
