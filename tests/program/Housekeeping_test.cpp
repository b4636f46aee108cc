// The real binary's once-a-minute housekeeping: the log folder cleaner and
// the daily clean-up of optimisation reports. Each test waits for the first
// pass, a minute after start.
#include "WendaraProcess.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace {

using testsupport::LogFolder;
using testsupport::WendaraProcess;
using namespace std::chrono_literals;

std::string ctime_text(time_t when)
{
    char buf[64];
    ctime_r(&when, buf);  // the test process runs with TZ=UTC, as the program
    std::string text = buf;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

TEST(ProgramHousekeeping, LogCleanerRemovesExactlyTheOldestFilesOverTheCount)
{
    setenv("TZ", "UTC", 1);
    tzset();
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    // Twelve dated files of the last few days, besides the current log: the
    // default limit keeps ten.
    const time_t now = std::time(nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        const time_t when = now - 3600 * (60 - 4 * i);
        struct tm tm;
        gmtime_r(&when, &tm);
        char name[64];
        std::strftime(name, sizeof name, "%Y.%m.%d_%H.%M.%S.log", &tm);
        LogFolder::set_mtime(p.log().write(name, std::string(100 + i, 'r')), when);
        names.push_back(name);
    }

    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_log("Logs_Cleaner params: ")) << p.stderr_text();
    EXPECT_NE(std::string::npos,
              p.log_text().find("DEBUG server/Logger.cpp cleaner_loop: Logs_Cleaner params: "
                                "max_files_count = 10 max_folder_size = 209715200 "
                                "max_files_age = 168\n"))
        << p.log_text();
    ASSERT_TRUE(p.wait_for_log("Removing file '/var/log/tavik-wendara/" + names[1], 90s))
        << p.log_text();
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();

    const std::string logs = p.all_logs_text();
    EXPECT_NE(std::string::npos,
              logs.find("INFO server/LogsCleaner.cpp to_remove_by_files_count: "
                        "Files count limit exceeded, prepare to remove 2 files.\n"))
        << logs;
    for (int i = 0; i < 2; ++i) {
        const time_t when = now - 3600 * (60 - 4 * i);
        EXPECT_NE(std::string::npos,
                  logs.find("INFO server/LogsCleaner.cpp remove_files: Removing file "
                            "'/var/log/tavik-wendara/" +
                            names[i] + "', size " + std::to_string(100 + i) + "B, modded - " +
                            ctime_text(when) + "\n"))
            << logs;
        EXPECT_FALSE(LogFolder::exists(p.log() / names[i])) << names[i];
    }
    for (int i = 2; i < 12; ++i)
        EXPECT_TRUE(LogFolder::exists(p.log() / names[i])) << names[i];
    EXPECT_EQ(std::string::npos, logs.find("Removing file '/var/log/tavik-wendara/" + names[2]));
}

// The leftover set of a domain that is no longer configured goes; but a
// name parsed from a leftover index file may give file names that belong to
// a configured domain ("idx_office"'s report file is "office"'s index,
// "cfg_office"'s is its settings file), and those stay, with their lines.
TEST(ProgramHousekeeping, DailyCleanupDeletesTheReportsOfAnUnconfiguredDomain)
{
    WendaraProcess p;
    p.write_logger_config();
    // Trigger at midnight UTC: any time of the day is at or past it, so the
    // first check of the run cleans up.
    p.write_config("\"report_delete_at_time_utc\":\"00:00\"",
                   "\"domains\":[{\"domain\":\"office\",\"pattern\":\"common\"}]");
    const std::string reports = p.reports_path();
    const std::vector<std::string> gone = {
        "report_gone.txt",           "report_cfg_gone.txt",     "report_idx_gone.txt",
        "report_cfg_idx_office.txt", "report_idx_idx_office.txt",
        "report_cfg_cfg_office.txt", "report_idx_cfg_office.txt"};
    // Not report sets: no domain between prefix and ending, another ending,
    // and report files without an index file.
    const std::vector<std::string> kept = {"report_idx_.txt", "report_idx_other.txt.bak",
                                           "report_lonely.txt", "report_cfg_lonely.txt"};
    for (const auto& name : gone)
        testsupport::put_file(reports + "/" + name, "line\n");
    for (const auto& name : kept)
        testsupport::put_file(reports + "/" + name, "line\n");
    // office's files, with a run of an hour ago that its clean-up keeps.
    const time_t hour_ago = std::time(nullptr) - 3600;
    char stamp[32];
    struct tm tm;
    gmtime_r(&hour_ago, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d,%H:%M:%S", &tm);
    const std::string start = stamp;
    const std::pair<std::string, std::string> office[] = {
        {"report_office.txt", "1.1," + start +
                                  ",02:00:00:00:10:00,02:00:00:00:10:10,10,12,6,1,1,20,18,3,0,"
                                  "1 6 11,13,15,6,21,3,0\n"},
        {"report_cfg_office.txt",
         "1.1," + start + ",1,1,1,1,25,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,0,1,93,1\n"},
        {"report_idx_office.txt", "1.1," + start + "\n"},
    };
    for (const auto& [name, text] : office)
        testsupport::put_file(reports + "/" + name, text);

    p.start({p.config_path()});
    for (const char* domain : {"gone", "idx_office", "cfg_office"})
        ASSERT_TRUE(p.wait_for_log("Delete report files for domain: " + std::string(domain) +
                                       "\n",
                                   90s))
            << p.all_logs_text();

    for (const auto& name : gone)
        EXPECT_FALSE(LogFolder::exists(reports + "/" + name)) << name;
    for (const auto& name : kept)
        EXPECT_TRUE(LogFolder::exists(reports + "/" + name)) << name;
    for (const auto& [name, text] : office)
        EXPECT_EQ(text, LogFolder::read(reports + "/" + name)) << name;
    // And office's newest report reads as before.
    const std::string newest =
        testsupport::tcp_exchange(p.cli_port, "{\"rrm\":{\"domain\":\"office\",\"last_report\":1}}");
    EXPECT_NE(std::string::npos, newest.find("\"id\":\"" + start + ",office\"")) << newest;
    EXPECT_NE(std::string::npos, newest.find("\"status\":\"success\"")) << newest;
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();

    const std::string logs = p.all_logs_text();
    EXPECT_NE(std::string::npos,
              logs.find("INFO server/lib/RRM.cpp check_old_reports: Check old reports.\n"))
        << logs;
    EXPECT_NE(std::string::npos, logs.find("INFO server/lib/RRM.cpp check_old_reports: "
                                           "Delete report files for domain: gone\n"))
        << logs;
}

}  // namespace
