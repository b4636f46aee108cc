// The logger in its configured state: real log files in a temporary folder,
// its roll-over and cleaner threads running.
#include "Logger.h"

#include "AppLog.h"
#include "ElppCapture.h"
#include "LogFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::ElppCapture;
using testsupport::ElppRecord;
using testsupport::LogFolder;

// 2025-03-02 14:05:09 UTC.
const time_t kStamp = 1740924309;

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

class LoggerThreadsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        testsupport::reset_easylogging();
    }

    std::string log_dir() const { return dir / "log"; }
    std::string log_file() const { return dir / "log/wendara.log"; }

    // A configuration that logs every level to the file only, in a layout
    // the tests can read back.
    std::string write_config(const std::string& global_extra) const
    {
        return dir.write("wendara_logger.conf",
                         "* GLOBAL:\n"
                         "   ENABLED = true\n"
                         "   TO_STANDARD_OUTPUT = false\n"
                         "   FORMAT = \"%level %func %msg\"\n" +
                             global_extra);
    }

    // Dated files in the log folder, checked against the naming rule.
    std::vector<std::string> dated_files() const
    {
        static const std::regex dated(R"(\d{4}\.\d\d\.\d\d_\d\d\.\d\d\.\d\d(_\d+)?\.log)");
        std::vector<std::string> out;
        for (const auto& name : dir.names("log")) {
            if (name == "wendara.log")
                continue;
            EXPECT_TRUE(std::regex_match(name, dated)) << name;
            out.push_back(name);
        }
        return out;
    }

    // Every line of every file in the log folder.
    std::vector<std::string> all_lines() const
    {
        std::vector<std::string> out;
        for (const auto& name : dir.names("log"))
            for (auto& line : lines_of(LogFolder::read(log_dir() + "/" + name)))
                out.push_back(line);
        return out;
    }

    LogFolder dir;
};

TEST_F(LoggerThreadsTest, ConfiguredLoggerWritesTheFixedFileAndMovesItAtShutdown)
{
    const std::string conf = write_config("   FILENAME = \"" + (dir / "other.log") + "\"\n");
    ElppCapture capture;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto logger = std::make_unique<RRM_Logger>(conf, log_file());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    ASSERT_EQ(RRM_Logger::State::configured, logger->state());

    APP_LOG(Warning) << "in the middle";
    EXPECT_TRUE(LogFolder::exists(log_file()));
    EXPECT_FALSE(LogFolder::exists(dir / "other.log"));
    logger.reset();

    // The cleaner thread's first (Debug) record may come before or after.
    std::vector<ElppRecord> records;
    for (const auto& r : capture.records())
        if (r.level != el::Level::Debug)
            records.push_back(r);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ("Start logging.", records.front().text);
    EXPECT_EQ("RRM_Logger", records.front().func);
    EXPECT_EQ("server/Logger.cpp", records.front().file);
    EXPECT_EQ(el::Level::Info, records.front().level);
    EXPECT_EQ("Shutting down.", records.back().text);
    EXPECT_EQ("~RRM_Logger", records.back().func);

    EXPECT_FALSE(LogFolder::exists(log_file()));
    const auto dated = dated_files();
    ASSERT_EQ(1u, dated.size());
    std::vector<std::string> lines;
    for (const auto& line : lines_of(LogFolder::read(log_dir() + "/" + dated[0])))
        if (line.rfind("DEBUG ", 0) != 0)
            lines.push_back(line);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("INFO RRM_Logger Start logging.", lines.front());
    EXPECT_EQ("INFO ~RRM_Logger Shutting down.", lines.back());
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "WARNING TestBody in the middle"));
}

TEST_F(LoggerThreadsTest, TooSmallMaxLogFileSizeIsRaised)
{
    struct Case {
        const char* value;
        bool raised;
        size_t applied;
    } cases[] = {
        {"100", true, 8192}, {"-5", true, 8192},   {"8191", true, 8192},
        {"0", false, 0},     {"8192", false, 8192}, {"100000", false, 100000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string conf = write_config(std::string("   MAX_LOG_FILE_SIZE = ") + c.value + "\n");
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        auto logger = std::make_unique<RRM_Logger>(conf, log_file());
        EXPECT_EQ(c.raised ? "Too few MAX_LOG_FILE_SIZE, increasing to 8192\n" : "",
                  testing::internal::GetCapturedStdout());
        EXPECT_EQ("", testing::internal::GetCapturedStderr());
        el::Logger* def = el::Loggers::getLogger("default");
        EXPECT_EQ(c.applied, def->typedConfigurations()->maxLogFileSize(el::Level::Global));
        EXPECT_EQ(c.applied, def->typedConfigurations()->maxLogFileSize(el::Level::Error));
    }
}

TEST_F(LoggerThreadsTest, OwnKeysAreReadByTheCleanerThreadAndNotGivenToTheLibrary)
{
    const std::string conf = write_config(
        "   log_file_timeout = 0\n"
        "   LCLEANER_MAX_FILES_COUNT = 500\n"
        "   LCLEANER_MAX_FOLDER_SIZE = -1\n"
        "   Lcleaner_Max_Files_Age = 1000\n"
        "* DEBUG:\n"
        "   LCLEANER_MAX_FILES_COUNT = 3\n");
    ElppCapture capture;
    testing::internal::CaptureStderr();
    auto logger = std::make_unique<RRM_Logger>(conf, log_file());
    // easylogging++ reports keys it does not know on standard error.
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ("500", logger->own_keys().lcleaner_max_files_count);
    const std::string params =
        "Logs_Cleaner params: max_files_count = 100 max_folder_size = 999999999 max_files_age = 720";
    EXPECT_TRUE(capture.wait_for([&](const std::vector<ElppRecord>& rs) {
        for (const auto& r : rs)
            if (r.text == params && r.level == el::Level::Debug)
                return true;
        return false;
    }));
}

TEST_F(LoggerThreadsTest, SizeRollOversKeepEveryRecordInDatedFiles)
{
    // No count or size limit: a roll-over starts a cleaning pass.
    const std::string conf = write_config(
        "   MAX_LOG_FILE_SIZE = 8192\n   LCLEANER_MAX_FILES_COUNT = 0\n"
        "   LCLEANER_MAX_FOLDER_SIZE = 0\n");
    auto logger = std::make_unique<RRM_Logger>(conf, log_file());
    const int kRecords = 3000;  // about 80 kB: several roll-overs, mostly within one second
    for (int i = 0; i < kRecords; ++i)
        APP_LOG(Info) << "record " << i;
    logger.reset();

    EXPECT_GE(dated_files().size(), 8u);
    std::map<int, int> seen;
    for (const auto& line : all_lines()) {
        int n = 0;
        if (std::sscanf(line.c_str(), "INFO TestBody record %d", &n) == 1)
            ++seen[n];
    }
    ASSERT_EQ(static_cast<size_t>(kRecords), seen.size());
    for (const auto& [n, times] : seen)
        EXPECT_EQ(1, times) << "record " << n;
}

TEST_F(LoggerThreadsTest, TimedRollOverMovesEachFileToItsOwnDatedName)
{
    // Debug off: the cleaner thread's first record must not fall between a
    // roll-over's record and its move.
    const std::string conf = write_config("   LOG_FILE_TIMEOUT = 1\n* DEBUG:\n   ENABLED = false\n");
    RRM_Logger::Timing fast;
    fast.rollover_tick = 50ms;
    fast.rollover_hour = 200ms;  // one "hour" of roll-over period
    ElppCapture capture;
    auto logger = std::make_unique<RRM_Logger>(conf, log_file(), fast);
    ASSERT_TRUE(capture.wait_for([](const std::vector<ElppRecord>& rs) {
        return std::count_if(rs.begin(), rs.end(), [](const ElppRecord& r) {
                   return r.text == "About to rollout log file!";
               }) >= 4;
    }));
    // Roll-overs come about 250 ms apart, so some share a second and the
    // later ones take a numbered name.
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    auto has_numbered = [&] {
        for (const auto& name : dir.names("log"))
            if (std::regex_match(name, std::regex(R"(.*_\d+\.log)")))
                return true;
        return false;
    };
    while (!has_numbered() && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(has_numbered());
    logger.reset();

    // Each forced roll-over left a file of its own ending with its record,
    // several of them within one second; the last file is the shutdown's.
    const size_t rolled = capture.count("About to rollout log file!");
    size_t files_ending_in_rollover = 0;
    for (const auto& name : dated_files()) {
        const auto lines = lines_of(LogFolder::read(log_dir() + "/" + name));
        if (!lines.empty() && lines.back() == "INFO rollout_loop About to rollout log file!")
            ++files_ending_in_rollover;
    }
    EXPECT_EQ(rolled, files_ending_in_rollover);
    EXPECT_EQ(rolled + 1, dated_files().size());
    EXPECT_FALSE(LogFolder::exists(log_file()));
}

TEST_F(LoggerThreadsTest, CleanerThreadRemovesTheOldestDatedFiles)
{
    ASSERT_EQ(0, mkdir(log_dir().c_str(), 0755));
    std::vector<std::string> old;
    for (int i = 0; i < 5; ++i) {
        old.push_back(RRM_Logger::dated_name(log_file(), kStamp + i));
        dir.write("log/" + old.back().substr(log_dir().size() + 1), "old records\n");
        LogFolder::set_mtime(old.back(), kStamp + i);
    }
    const std::string conf = write_config(
        "   LCLEANER_MAX_FILES_COUNT = 2\n"
        "   LCLEANER_MAX_FILES_AGE = 0\n");
    RRM_Logger::Timing fast;
    fast.cleaner_period = 100ms;
    ElppCapture capture;
    auto logger = std::make_unique<RRM_Logger>(conf, log_file(), fast);
    ASSERT_TRUE(capture.wait_for([](const std::vector<ElppRecord>& rs) {
        return std::count_if(rs.begin(), rs.end(), [](const ElppRecord& r) {
                   return r.text.rfind("Removing file '", 0) == 0;
               }) >= 3;
    }));
    EXPECT_EQ(1u, capture.count("Files count limit exceeded, prepare to remove 3 files."));
    EXPECT_EQ(1u, capture.count("Removing file '" + old[0] +
                                "', size 12B, modded - Sun Mar  2 14:05:09 2025"));
    EXPECT_TRUE(LogFolder::exists(log_file()));
    logger.reset();  // a record comes before its removal: let the pass end
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(i >= 3, LogFolder::exists(old[i])) << old[i];
}

// A stream of records rolls the file over again and again; the folder is
// cleaned after the roll-overs, not only at the next pass a minute (here an
// hour) later.
TEST_F(LoggerThreadsTest, RollOversBringTheNextCleaningPassForward)
{
    const std::string conf = write_config(
        "   MAX_LOG_FILE_SIZE = 8192\n"
        "   LCLEANER_MAX_FILES_COUNT = 3\n");
    RRM_Logger::Timing slow;
    slow.cleaner_period = std::chrono::hours(1);
    slow.cleaner_min_gap = 50ms;
    ElppCapture capture;
    auto logger = std::make_unique<RRM_Logger>(conf, log_file(), slow);
    for (int i = 0; i < 3000; ++i)  // about 80 kB: ten roll-overs or so
        APP_LOG(Info) << "record " << i;
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (dated_files().size() > 3 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(20ms);
    EXPECT_LE(dated_files().size(), 3u);
    EXPECT_LE(capture.count("Files count limit exceeded, prepare to remove 1 files."), 20u);
    logger.reset();
}

TEST_F(LoggerThreadsTest, ThreadsStopPromptlyOnDestruction)
{
    // The real periods: a minute for the cleaner, 10 s ticks for the roll-over.
    const std::string conf = write_config("   LOG_FILE_TIMEOUT = 1\n");
    auto logger = std::make_unique<RRM_Logger>(conf, log_file());
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    logger.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// Runs fn as the unprivileged user "nobody" in a child process; its result
// is the child's exit status. Only root can switch users.
int as_nobody(const std::function<int()>& fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(90);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 91;
}

TEST_F(LoggerThreadsTest, ForcedRollOverThatCannotMoveTheFileKeepsItsRecords)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    // The folder is closed to the logger's user: no rename, no copy.
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    ASSERT_EQ(0, mkdir(log_dir().c_str(), 0755));
    dir.write("log/wendara.log", "");
    ASSERT_EQ(0, chmod(log_file().c_str(), 0666));
    const std::string conf = write_config("");

    EXPECT_EQ(0, as_nobody([&] {
        auto logger = std::make_unique<RRM_Logger>(conf, log_file());
        APP_LOG(Info) << "before";
        const bool rolled = logger->force_rollover();
        APP_LOG(Info) << "after";
        logger.reset();
        return rolled ? 0 : 1;
    }));

    std::vector<std::string> info;
    for (const auto& line : lines_of(LogFolder::read(log_file())))
        if (line.rfind("INFO ", 0) == 0)
            info.push_back(line);
    EXPECT_EQ((std::vector<std::string>{"INFO RRM_Logger Start logging.", "INFO operator() before",
                                        "INFO operator() after", "INFO ~RRM_Logger Shutting down."}),
              info);
}

TEST_F(LoggerThreadsTest, SizeRollOverThatCannotRenameCopiesTheRecordsAside)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    // A sticky folder: the logger's user may create files but not rename
    // the log file, which belongs to root.
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    ASSERT_EQ(0, mkdir(log_dir().c_str(), 0755));
    ASSERT_EQ(0, chmod(log_dir().c_str(), 01777));
    dir.write("log/wendara.log", "");
    ASSERT_EQ(0, chmod(log_file().c_str(), 0666));
    const std::string conf = write_config("   MAX_LOG_FILE_SIZE = 8192\n");
    const int kRecords = 1000;

    EXPECT_EQ(0, as_nobody([&] {
        auto logger = std::make_unique<RRM_Logger>(conf, log_file());
        for (int i = 0; i < kRecords; ++i)
            APP_LOG(Info) << "record " << i;
        return 0;
    }));

    EXPECT_TRUE(LogFolder::exists(log_file()));  // never renamed
    EXPECT_GE(dated_files().size(), 3u);
    std::map<int, int> seen;
    for (const auto& line : all_lines()) {
        int n = 0;
        if (std::sscanf(line.c_str(), "INFO operator() record %d", &n) == 1)
            ++seen[n];
    }
    ASSERT_EQ(static_cast<size_t>(kRecords), seen.size());
    for (const auto& [n, times] : seen)
        EXPECT_EQ(1, times) << "record " << n;
}

}  // namespace
