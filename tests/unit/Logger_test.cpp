// The logger's states that start no thread, the configuration split and the
// moves of log files to dated names. The configured state runs threads and
// is tested under tests/threaded.
#include "Logger.h"

#include "AppLog.h"
#include "ElppCapture.h"
#include "LogFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::ElppCapture;
using testsupport::LogFolder;

// 2025-03-02 14:05:09 UTC.
const time_t kStamp = 1740924309;

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        testsupport::reset_easylogging();
    }
    LogFolder dir;
};

TEST_F(LoggerTest, WithoutConfigFileKeepsLibraryDefaultsAndMovesNothing)
{
    testsupport::reset_easylogging(true);
    testing::internal::CaptureStdout();
    auto logger = std::make_unique<RRM_Logger>(dir / "absent.conf", dir / "log/wendara.log");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ("Logger cfg file does not exist. Using default logger settings.\n", printed);
    EXPECT_EQ(RRM_Logger::State::defaults, logger->state());

    testing::internal::CaptureStdout();
    APP_LOG(Info) << "on standard output";
    logger.reset();
    const std::string records = testing::internal::GetCapturedStdout();
    // The library's default layout: "<date time> INFO [default] <message>".
    EXPECT_NE(std::string::npos, records.find(" INFO [default] on standard output\n")) << records;
    EXPECT_NE(std::string::npos, records.find(" INFO [default] Shutting down.\n")) << records;
    EXPECT_TRUE(dir.names().empty());
}

TEST_F(LoggerTest, NoLevelEnabledByExactTrueDisablesAllLogging)
{
    // easylogging++ itself would take "1" and "TRUE" as enabled.
    for (const std::string value : {"1", "TRUE", "false", "\"True\""}) {
        SCOPED_TRACE(value);
        testsupport::reset_easylogging();
        const std::string conf = dir.write("wendara_logger.conf",
                                           "* GLOBAL:\n  ENABLED = " + value +
                                               "\n  LOG_FILE_TIMEOUT = 1\n"
                                               "* INFO:\n  ENABLED = " + value + "\n");
        ElppCapture capture;
        testing::internal::CaptureStdout();
        auto logger = std::make_unique<RRM_Logger>(conf, dir / "log/wendara.log");
        EXPECT_EQ("All log levels disabled.\n", testing::internal::GetCapturedStdout());
        EXPECT_EQ(RRM_Logger::State::disabled, logger->state());
        APP_LOG(Error) << "not logged";
        logger.reset();
        EXPECT_TRUE(capture.texts().empty());
        EXPECT_FALSE(LogFolder::exists(dir / "log"));
    }
}

TEST(LoggerConfigSplit, OwnKeysAreReadFromTheGlobalSectionAndStrippedEverywhere)
{
    const std::string text =
        "## comment line\n"
        "LOG_FILE_TIMEOUT = 99\n"  // before any section: not global
        "* GLOBAL:\n"
        "   FORMAT = \"%datetime %msg ## not a comment\"\n"
        "   log_file_timeout = 5   ## hours\n"
        "   Lcleaner_Max_Files_Count = \"7\"\n"
        "   LCLEANER_MAX_FOLDER_SIZE = -1\n"
        "* DEBUG:\n"
        "   LCLEANER_MAX_FILES_AGE = 3\n"
        "   ENABLED = false\n"
        "* global:\n"
        "   LOG_FILE_TIMEOUT = 6\n";
    const RRM_Logger::SplitConfig split = RRM_Logger::split_config(text);

    EXPECT_EQ("6", split.keys.log_file_timeout);  // the last one wins
    EXPECT_EQ("7", split.keys.lcleaner_max_files_count);
    EXPECT_EQ("-1", split.keys.lcleaner_max_folder_size);
    EXPECT_EQ("168", split.keys.lcleaner_max_files_age);  // only given for DEBUG
    EXPECT_EQ("## comment line\n"
              "* GLOBAL:\n"
              "   FORMAT = \"%datetime %msg ## not a comment\"\n"
              "* DEBUG:\n"
              "   ENABLED = false\n"
              "* global:\n",
              split.library_text);

    const RRM_Logger::SplitConfig none = RRM_Logger::split_config("* GLOBAL:\n ENABLED = true\n");
    EXPECT_EQ("0", none.keys.log_file_timeout);
    EXPECT_EQ("10", none.keys.lcleaner_max_files_count);
    EXPECT_EQ("200", none.keys.lcleaner_max_folder_size);
    EXPECT_EQ("168", none.keys.lcleaner_max_files_age);
}

TEST_F(LoggerTest, DatedNamesInTheLogFilesFolder)
{
    EXPECT_EQ(dir / "2025.03.02_14.05.09.log", RRM_Logger::dated_name(dir / "wendara.log", kStamp));
    EXPECT_EQ(dir / "2025.03.02_14.05.09_2.log",
              RRM_Logger::dated_name(dir / "wendara.log", kStamp, 2));
    EXPECT_EQ("2025.03.02_14.05.09.log", RRM_Logger::dated_name("wendara.log", kStamp));
}

TEST_F(LoggerTest, StaleLogTakesTheNameOfItsModificationTimeAndNeverOverwrites)
{
    const std::string log = dir / "wendara.log";
    dir.write("2025.03.02_14.05.09.log", "earlier run");
    for (const std::string content : {"first", "second"}) {
        dir.write("wendara.log", content);
        LogFolder::set_mtime(log, kStamp);
        EXPECT_EQ(0, RRM_Logger::move_stale_log_file(log));
        EXPECT_FALSE(LogFolder::exists(log));
    }
    EXPECT_EQ("earlier run", LogFolder::read(dir / "2025.03.02_14.05.09.log"));
    EXPECT_EQ("first", LogFolder::read(dir / "2025.03.02_14.05.09_1.log"));
    EXPECT_EQ("second", LogFolder::read(dir / "2025.03.02_14.05.09_2.log"));

    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, RRM_Logger::move_stale_log_file(log));  // none left: nothing to do
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(LoggerTest, RenameLogFileKeepsEveryFileAndReportsAMissingOne)
{
    const std::string log = dir / "wendara.log";
    for (int i = 0; i < 5; ++i) {
        dir.write("wendara.log", "content " + std::to_string(i));
        ASSERT_EQ(0, RRM_Logger::rename_log_file(log.c_str()));
    }
    std::vector<std::string> contents;
    for (const auto& name : dir.names())
        contents.push_back(LogFolder::read(dir / name));
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ((std::vector<std::string>{"content 0", "content 1", "content 2", "content 3",
                                        "content 4"}),
              contents);

    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, RRM_Logger::rename_log_file(log.c_str()));
    EXPECT_EQ("File '" + log + "' does not exist\n", testing::internal::GetCapturedStdout());
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

TEST_F(LoggerTest, RecordsAreCopiedAsideWhenTheLogCannotBeRenamed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    // A sticky folder: others may create files in it but not rename ours.
    const std::string sticky = dir / "sticky";
    ASSERT_EQ(0, mkdir(sticky.c_str(), 0755));
    ASSERT_EQ(0, chmod(sticky.c_str(), 01777));
    const std::string log = sticky + "/wendara.log";
    dir.write("sticky/wendara.log", "precious records\n");
    ASSERT_EQ(0, chmod(log.c_str(), 0666));
    LogFolder::set_mtime(log, kStamp);

    EXPECT_EQ(0, as_nobody([&] { return RRM_Logger::move_stale_log_file(log) == 0 ? 0 : 1; }));
    EXPECT_EQ("precious records\n", LogFolder::read(sticky + "/2025.03.02_14.05.09.log"));
    ASSERT_TRUE(LogFolder::exists(log));  // the rename was refused
    EXPECT_EQ("", LogFolder::read(log));  // and emptied only once copied

    // Neither renamed nor copied (the folder is closed to others): the file
    // stays whole under its name.
    const std::string closed = dir / "closed";
    ASSERT_EQ(0, mkdir(closed.c_str(), 0755));
    const std::string locked = closed + "/wendara.log";
    dir.write("closed/wendara.log", "kept\n");
    ASSERT_EQ(0, chmod(locked.c_str(), 0666));
    EXPECT_EQ(0, as_nobody([&] { return RRM_Logger::rename_log_file(locked.c_str()) == -1 ? 0 : 1; }));
    EXPECT_EQ("kept\n", LogFolder::read(locked));
    EXPECT_EQ((std::vector<std::string>{"wendara.log"}), dir.names("closed"));
}

}  // namespace
