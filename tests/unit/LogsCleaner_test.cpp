#include "LogsCleaner.h"

#include "ElppCapture.h"
#include "LogFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

using testsupport::ElppCapture;
using testsupport::LogFolder;

// 2025-03-02 14:05:09 UTC, a Sunday.
const time_t kBase = 1740924309;

class LogsCleanerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        testsupport::reset_easylogging();
    }

    std::string current() const { return dir / "wendara.log"; }

    // A file of `size` bytes with the given modification time.
    std::string make(const std::string& name, size_t size, time_t mtime) const
    {
        const std::string p = dir.write(name, std::string(size, 'x'));
        LogFolder::set_mtime(p, mtime);
        return p;
    }

    LogFolder dir;
    ElppCapture capture;
};

TEST_F(LogsCleanerTest, CountLimitRemovesExactlyTheOldestBesidesTheCurrentLog)
{
    // The current log is the oldest and largest of all and still stays.
    make("wendara.log", 5000, kBase - 100000);
    std::vector<std::string> paths;
    for (int i = 0; i < 12; ++i) {
        // Created out of order so the sort by time is what picks them.
        const int hour = (i * 5) % 12;
        char name[64];
        std::snprintf(name, sizeof name, "f%02d.log", hour);
        make(name, 5, kBase + hour * 3600);
    }
    Logs_Cleaner cleaner(10, 0, 0, dir.path() + "/", current());

    EXPECT_EQ(0, cleaner.scan_and_clean());

    EXPECT_EQ(12u, cleaner.get_files_count());
    EXPECT_EQ(60u, cleaner.get_folder_size());
    const std::vector<std::string> expected = {
        "Files count limit exceeded, prepare to remove 2 files.",
        "Removing file '" + (dir / "f00.log") + "', size 5B, modded - Sun Mar  2 14:05:09 2025",
        "Removing file '" + (dir / "f01.log") + "', size 5B, modded - Sun Mar  2 15:05:09 2025",
    };
    EXPECT_EQ(expected, capture.texts());
    for (const auto& r : capture.records())
        EXPECT_EQ(el::Level::Info, r.level);
    EXPECT_EQ("to_remove_by_files_count", capture.records()[0].func);
    EXPECT_EQ("remove_files", capture.records()[1].func);
    EXPECT_FALSE(LogFolder::exists(dir / "f00.log"));
    EXPECT_FALSE(LogFolder::exists(dir / "f01.log"));
    EXPECT_TRUE(LogFolder::exists(dir / "f02.log"));
    EXPECT_TRUE(LogFolder::exists(current()));
    EXPECT_EQ(11u, dir.names().size());
}

TEST_F(LogsCleanerTest, AgeLimitRemovesOnlyFilesOlderThanTheLimit)
{
    const time_t now = std::time(nullptr);
    const std::string old_file = make("old.log", 7, now - 169 * 3600);
    make("young.log", 7, now - 167 * 3600);
    make("wendara.log", 7, now - 1000 * 3600);
    char text[64];
    time_t old_time = now - 169 * 3600;
    ctime_r(&old_time, text);
    std::string mtime_text(text);
    mtime_text.pop_back();

    Logs_Cleaner cleaner(0, 0, 168, dir.path() + "/", current());
    cleaner.scan_and_clean();

    const std::vector<std::string> expected = {
        "Prepare to remove too old file (mod time > 168h) - '" + old_file + "',' 7B, " + mtime_text,
        "Removing file '" + old_file + "', size 7B, modded - " + mtime_text,
    };
    EXPECT_EQ(expected, capture.texts());
    EXPECT_EQ("to_remove_by_files_age", capture.records()[0].func);
    EXPECT_EQ((std::vector<std::string>{"wendara.log", "young.log"}), dir.names());
}

TEST_F(LogsCleanerTest, SizeLimitTakesOldestUntilUnderTheLimit)
{
    for (int i = 0; i < 4; ++i)
        make("s" + std::to_string(i) + ".log", 400000, kBase + i);
    make("wendara.log", 5000000, kBase - 10);
    Logs_Cleaner cleaner(0, 0, 0, dir.path() + "/", current());
    cleaner.set_max_folder_size(1);  // 1 MiB: 1,600,000 bytes are 551,424 too many
    ASSERT_EQ(1048576u, cleaner.get_max_folder_size());

    cleaner.scan_and_clean();

    EXPECT_EQ(1600000u, cleaner.get_folder_size());
    const std::vector<std::string> expected = {
        "Decreasing folder size, prepare to remove '" + (dir / "s0.log") +
            "', 400000B, Sun Mar  2 14:05:09 2025",
        "Decreasing folder size, prepare to remove '" + (dir / "s1.log") +
            "', 400000B, Sun Mar  2 14:05:10 2025",
        "Removing file '" + (dir / "s0.log") + "', size 400000B, modded - Sun Mar  2 14:05:09 2025",
        "Removing file '" + (dir / "s1.log") + "', size 400000B, modded - Sun Mar  2 14:05:10 2025",
    };
    EXPECT_EQ(expected, capture.texts());
    EXPECT_EQ((std::vector<std::string>{"s2.log", "s3.log", "wendara.log"}), dir.names());
}

TEST_F(LogsCleanerTest, SizeStepDoesNotCountFilesTheCountStepAlreadyChose)
{
    // 4 x 400,000 bytes, at most 3 files and 1 MiB: the count step takes
    // s0; the 1,200,000 bytes left are 151,424 too many, so the size step
    // takes s1 alone and s2 and s3 stay.
    for (int i = 0; i < 4; ++i)
        make("s" + std::to_string(i) + ".log", 400000, kBase + i);
    Logs_Cleaner cleaner(3, 0, 0, dir.path() + "/", current());
    cleaner.set_max_folder_size(1);

    cleaner.scan_and_clean();

    EXPECT_EQ(1u, capture.count("Files count limit exceeded, prepare to remove 1 files."));
    EXPECT_EQ((std::vector<std::string>{"s2.log", "s3.log"}), dir.names());
}

TEST_F(LogsCleanerTest, NothingToDoWithinLimitsOrWithLimitsOff)
{
    for (int i = 0; i < 3; ++i)
        make("a" + std::to_string(i) + ".log", 100, kBase + i);
    Logs_Cleaner within(3, 1000000, 720, dir.path() + "/", current());
    within.set_max_files_age(0);
    within.scan_and_clean();
    Logs_Cleaner off(0, 0, 0, dir.path() + "/", current());
    off.scan_and_clean();

    EXPECT_TRUE(capture.texts().empty());
    EXPECT_EQ(3u, dir.names().size());
}

TEST_F(LogsCleanerTest, SubfolderFilesCountSymlinksAndFoldersDoNot)
{
    ASSERT_EQ(0, mkdir((dir / "sub").c_str(), 0755));
    make("sub/nested.log", 10, kBase);
    make("top.log", 10, kBase + 10);
    LogFolder elsewhere;
    const std::string target = elsewhere.write("target.log", "");
    ASSERT_EQ(0, symlink(target.c_str(), (dir / "link.log").c_str()));
    Logs_Cleaner cleaner(1, 0, 0, dir.path() + "/", current());

    cleaner.scan_and_clean();

    EXPECT_EQ(2u, cleaner.get_files_count());
    EXPECT_EQ(20u, cleaner.get_folder_size());
    EXPECT_EQ(1u, capture.count("Files count limit exceeded, prepare to remove 1 files."));
    EXPECT_FALSE(LogFolder::exists(dir / "sub/nested.log"));
    EXPECT_TRUE(LogFolder::exists(dir / "sub"));
    EXPECT_TRUE(LogFolder::exists(dir / "link.log"));
    EXPECT_TRUE(LogFolder::exists(target));
}

TEST_F(LogsCleanerTest, FileThatCannotBeRemovedIsReportedAndKept)
{
    make("a.log", 3, kBase);
    make("b.log", 4, kBase + 60);
    make("c.log", 5, kBase + 120);
    Logs_Cleaner cleaner(1, 0, 0, dir.path() + "/", current());
    cleaner.scan();
    ASSERT_EQ(3u, cleaner.get_files_count());
    // Gone between the walk and the removal: remove() fails for it.
    ASSERT_EQ(0, ::remove((dir / "a.log").c_str()));

    cleaner.clean();

    const std::vector<std::string> expected = {
        "Files count limit exceeded, prepare to remove 2 files.",
        "Removing file '" + (dir / "a.log") + "', size 3B, modded - Sun Mar  2 14:05:09 2025",
        "Removing file '" + (dir / "b.log") + "', size 4B, modded - Sun Mar  2 14:06:09 2025",
        "Not removed files:",
        "'" + (dir / "a.log") + "', size 3B, modded - Sun Mar  2 14:05:09 2025",
    };
    EXPECT_EQ(expected, capture.texts());
    EXPECT_EQ((std::vector<std::string>{"c.log"}), dir.names());
}

TEST_F(LogsCleanerTest, MissingFolderIsAnEmptyWalk)
{
    Logs_Cleaner cleaner(1, 1000000, 1, dir / "absent/", dir / "absent/wendara.log");
    EXPECT_EQ(0, cleaner.scan_and_clean());
    EXPECT_EQ(0u, cleaner.get_files_count());
    EXPECT_TRUE(capture.texts().empty());
}

TEST(LogsCleanerLimits, ClampedAsConfigured)
{
    const uint64_t minus_one = static_cast<uint64_t>(-1);
    struct Case {
        uint64_t files, mib, hours;
        uint64_t want_files, want_bytes, want_hours;
    } cases[] = {
        {10, 200, 168, 10, 209715200, 168},
        {0, 0, 0, 0, 0, 0},
        {500, 2000, 1000, 100, 999999999, 720},
        {minus_one, minus_one, minus_one, 100, 999999999, 720},
        {100, 953, 720, 100, 999292928, 720},
        {1, 1, 1, 1, 1048576, 1},
        // Would wrap to 0 when shifted into bytes.
        {1, uint64_t(1) << 44, 1, 1, 999999999, 1},
    };
    for (const auto& c : cases) {
        Logs_Cleaner cleaner(0, 0, 0, "/nonexistent/", "/nonexistent/wendara.log");
        cleaner.set_max_files_count(c.files);
        cleaner.set_max_folder_size(c.mib);
        cleaner.set_max_files_age(c.hours);
        EXPECT_EQ(c.want_files, cleaner.get_max_files_count()) << c.files;
        EXPECT_EQ(c.want_bytes, cleaner.get_max_folder_size()) << c.mib;
        EXPECT_EQ(c.want_hours, cleaner.get_max_files_age()) << c.hours;
        EXPECT_EQ(c.want_bytes, Logs_Cleaner::clamp_folder_size(c.mib));
    }
    // The constructor stores its limits as given.
    Logs_Cleaner raw(500, 5, 1000, "/x/", "/x/y");
    EXPECT_EQ(500u, raw.get_max_files_count());
    EXPECT_EQ(5u, raw.get_max_folder_size());
    EXPECT_EQ(1000u, raw.get_max_files_age());
}

}  // namespace
