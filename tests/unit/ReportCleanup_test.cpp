// The report files' daily clean-up: file names, the daily alarm, the copy of
// the lines that stay, and the per-domain rewrite with its recovery.
#include "report_optimize_tpc_dca.h"

#include "DomainConfig.h"
#include "FileOpsRecorder.h"
#include "LogCapture.h"
#include "LogFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using testsupport::FileOpsRecorder;
using testsupport::LogCapture;
using testsupport::LogFolder;

// 2025-03-02 14:05:09 UTC.
const time_t kNow = 1740924309;

std::string stamp(time_t t)
{
    struct tm tm;
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d,%H:%M:%S", &tm);
    return text;
}

TEST(ReportFiles, NamesAndTheirArgumentChecks)
{
    EXPECT_EQ("/r/report_lab.txt", reports::get_report_file_name("lab", "/r"));
    EXPECT_EQ("/r/report_cfg_lab.txt", reports::get_report_config_file_name("lab", "/r"));
    EXPECT_EQ("/r/report_idx_lab.txt", reports::get_report_index_file_name("lab", "/r"));
    try {
        reports::get_report_index_file_name("", "");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("get_report_index_file_name: Invalid argument 'domain_name'.", e.what());
    }
    try {
        reports::get_report_file_name("lab", "");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("get_report_file_name: Invalid argument 'report_files_path'.", e.what());
    }
    EXPECT_THROW(reports::delete_old_reports_in_domain("", 1, "/r"), std::invalid_argument);
    EXPECT_THROW(reports::delete_old_reports_in_domain("lab", 1, ""), std::invalid_argument);
}

// The files of "idx_lab" are report_idx_lab.txt (also "lab"'s index),
// report_cfg_idx_lab.txt and report_idx_idx_lab.txt: every domain whose files
// may be another's shares that one's lock, so one file has one lock.
TEST(ReportFiles, DomainsThatMayShareAFileShareTheirLock)
{
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"lab", "idx_lab", true},         {"lab", "cfg_lab", true},
        {"idx_lab", "cfg_idx_lab", true}, {"lab", "idx_cfg_idx_lab", true},
        {"lab", "lab2", false},           {"lab", "xidx_lab", false},
        {"lab", "IDX_lab", false},        {"idx_", "cfg_", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(c.same, reports::ReportFilesLock::key_of(c.a, "/r") ==
                              reports::ReportFilesLock::key_of(c.b, "/r"));
    }
    EXPECT_NE(reports::ReportFilesLock::key_of("lab", "/r"),
              reports::ReportFilesLock::key_of("lab", "/s"));
}

TEST(ReportAlarm, TimeOfDayTexts)
{
    struct Case {
        const char* text;
        int result;
        int minutes;
    };
    const Case cases[] = {{"03:00", 0, 180}, {"3:7", 0, 187},  {" 23 : 59", 0, 1439},
                          {"00:00", 0, 0},   {"24:00", 22, -1}, {"12:60", 22, -1},
                          {"12-30", 22, -1}, {"", 22, -1},      {"ab:cd", 22, -1}};
    for (const Case& c : cases) {
        int minutes = -1;
        EXPECT_EQ(c.result, reports::parse_time_of_day(c.text, &minutes)) << c.text;
        EXPECT_EQ(c.minutes, minutes) << c.text;
    }
}

TEST(ReportAlarm, FiresOncePerUtcDayAtOrAfterTheTrigger)
{
    LogCapture capture;
    const time_t midnight = kNow - (14 * 3600 + 5 * 60 + 9);  // 2025-03-02 00:00:00
    int64_t last = INT64_MIN;
    bool fire = true;
    struct Step {
        time_t at;
        bool fires;
    };
    const Step steps[] = {
        {midnight + 2 * 3600 + 59 * 60, false},            // 02:59
        {midnight + 3 * 3600, true},                       // 03:00
        {midnight + 3 * 3600 + 60, false},                 // later that day
        {midnight + 23 * 3600, false},                     //
        {midnight + 86400 + 60, false},                    // next day, 00:01
        {midnight + 86400 + 5 * 3600, true},               // next day, 05:00
    };
    for (const Step& s : steps) {
        EXPECT_EQ(0, reports::check_report_alarm_clock("03:00", fire, s.at, last));
        EXPECT_EQ(s.fires, fire) << s.at - midnight;
    }
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_INFO,
                                "Report alarm fired: trigger=\"03:00\" UTC, last_fired_utc_day "
                                "updated to " +
                                    std::to_string(2025 * 512 + 60) + "."));

    EXPECT_EQ(22, reports::check_report_alarm_clock("12-30", fire, kNow, last));
    EXPECT_FALSE(fire);
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_ERROR,
                                "Incorrect time in report_delete_at_time_utc: \"12-30\"."));
    ASSERT_EQ(1u, capture.events().size());
    EXPECT_EQ(rrm::EVENT_REPORT_ALARM_TIME_INVALID, capture.events()[0].code);
    EXPECT_EQ("12-30", capture.events()[0].details);
}

class ReportRewriteTest : public ::testing::Test {
protected:
    std::string index() const { return reports::get_report_index_file_name("lab", dir.path()); }
    std::string config() const { return reports::get_report_config_file_name("lab", dir.path()); }
    std::string report() const { return reports::get_report_file_name("lab", dir.path()); }
    // A line of each kind for a run started at t.
    static std::string index_line(time_t t) { return "1.1," + stamp(t) + "\n"; }
    static std::string config_line(time_t t) { return "1.1," + stamp(t) + ",1,2,3\n"; }
    static std::string report_line(time_t t, const char* ap)
    {
        return "1.1," + stamp(t) + "," + ap + ",02:00:00:00:10:10,17,14\n";
    }

    // The file operations recorded, as "op name[ -> name]" with the names in
    // the folder, the folder itself as ".".
    std::vector<std::string> file_steps(const std::vector<testsupport::FileOp>& ops) const
    {
        char real[PATH_MAX];
        const std::string folder = ::realpath(dir.path().c_str(), real) ? real : dir.path();
        auto name = [&](const std::string& path) {
            if (path == folder || path == dir.path())
                return std::string(".");
            return path.substr(path.rfind('/') + 1);
        };
        std::vector<std::string> out;
        for (const testsupport::FileOp& op : ops)
            out.push_back(op.what + " " + name(op.path) + (op.to.empty() ? "" : " -> " + name(op.to)));
        return out;
    }

    // One run of one radio, saved by the optimisation thread, and the lines
    // it makes (written out by hand from the record's values and the default
    // settings row).
    struct SavedRun {
        std::string start = stamp(std::time(nullptr) - 30);
        reports::RadioReportMap map;
        std::string report_line, config_line, index_line;
        SavedRun()
        {
            reports::RadioReport radio;
            radio.before_power = 17;
            radio.after_power = 14;
            radio.before_channel = 36;
            radio.after_channel = 44;
            radio.radio_id = 1;
            radio.bandwidth = 80;
            radio.max_power = 20;
            radio.min_power = 5;
            radio.primary_channel = 256;
            radio.available_channels = "36 40 44 48";
            radio.before_eirp = 23;
            radio.after_eirp = 20;
            radio.eirp_min = 5;
            radio.eirp_max = 30;
            radio.antenna_gain = 3;
            radio.cable_loss = 1;
            map[start + ",02:00:00:00:30:00,02:00:00:00:30:10"] = radio;
            report_line = "1.1," + start +
                          ",02:00:00:00:30:00,02:00:00:00:30:10,17,14,36,44,1,80,20,5,256,"
                          "36 40 44 48,23,20,5,30,3,1\n";
            config_line = "1.1," + start +
                          ",1,1,1,1,25,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,0,1,93,1\n";
            index_line = "1.1," + start + "\n";
        }
    } saved;

    LogFolder dir;
};

TEST_F(ReportRewriteTest, OldAndFutureLinesAreDroppedFromAllThreeFiles)
{
    const time_t now = std::time(nullptr);
    const time_t old = now - 3 * 86400 - 10;
    const time_t recent = now - 86400;
    const time_t future = now + 3600;
    dir.write("report_idx_lab.txt", index_line(old) + index_line(recent) + index_line(future));
    dir.write("report_cfg_lab.txt", config_line(old) + config_line(recent) + "garbage\n");
    dir.write("report_lab.txt", report_line(old, "A") + report_line(recent, "B"));

    EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 3, dir.path()));
    EXPECT_EQ(index_line(recent), LogFolder::read(index()));
    EXPECT_EQ(config_line(recent), LogFolder::read(config()));
    EXPECT_EQ(report_line(recent, "B"), LogFolder::read(report()));
    EXPECT_EQ((std::vector<std::string>{"report_cfg_lab.txt", "report_idx_lab.txt",
                                        "report_lab.txt"}),
              dir.names());

    // Everything old: the files stay, emptied.
    dir.write("report_idx_lab.txt", index_line(old));
    dir.write("report_cfg_lab.txt", config_line(old));
    dir.write("report_lab.txt", report_line(old, "A"));
    EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 1, dir.path()));
    EXPECT_EQ("", LogFolder::read(index()));
    EXPECT_EQ("", LogFolder::read(report()));
    EXPECT_EQ(3u, dir.names().size());
}

TEST_F(ReportRewriteTest, NothingOldLeavesTheFilesUntouched)
{
    const time_t recent = std::time(nullptr) - 60;
    dir.write("report_idx_lab.txt", index_line(recent));
    dir.write("report_cfg_lab.txt", "not even read\n");
    dir.write("report_lab.txt", "not even read\n");
    // A stale work copy of an earlier run does not survive either.
    dir.write("report_idx_lab.txt.tmp", "stale\n");
    EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 1, dir.path()));
    EXPECT_EQ(index_line(recent), LogFolder::read(index()));
    EXPECT_EQ("not even read\n", LogFolder::read(config()));
    EXPECT_EQ(3u, dir.names().size());
}

TEST_F(ReportRewriteTest, IncompleteSetIsDeletedWhole)
{
    LogCapture capture;
    dir.write("report_lab.txt", "x\n");
    dir.write("report_cfg_lab.txt", "x\n");
    EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 1, dir.path()));
    EXPECT_TRUE(dir.names().empty());
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_WARNING,
                                "Delete inconsistent file \"" + report() + "\" successfully."));
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_WARNING,
                                "Delete inconsistent file \"" + config() + "\" successfully."));
    EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 1, dir.path()));
}

TEST_F(ReportRewriteTest, InterruptedCommitRollsBackThenRewrites)
{
    const time_t now = std::time(nullptr);
    const time_t old = now - 5 * 86400;
    const time_t recent = now - 60;
    // Index and configuration committed, report not yet: the old set is in
    // the .old files, the start marker is there.
    dir.write("report_idx_lab.txt.old", index_line(old) + index_line(recent));
    dir.write("report_cfg_lab.txt.old", config_line(old) + config_line(recent));
    dir.write("report_lab.txt.old", report_line(old, "A") + report_line(recent, "B"));
    dir.write("report_idx_lab.txt", index_line(recent));
    dir.write("report_cfg_lab.txt", config_line(recent));
    dir.write("report_lab.txt.tmp", report_line(recent, "B"));
    dir.write("report_lab.txt.start_status", "");

    LogCapture capture;
    EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 2, dir.path()));
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_INFO,
                                "Rollback reports repository for domain: \"lab\" succesfull."));
    EXPECT_EQ(index_line(recent), LogFolder::read(index()));
    EXPECT_EQ(config_line(recent), LogFolder::read(config()));
    EXPECT_EQ(report_line(recent, "B"), LogFolder::read(report()));
    EXPECT_EQ(3u, dir.names().size());
}

TEST_F(ReportRewriteTest, CommittedRewriteOnlyLosesItsLeftovers)
{
    dir.write("report_idx_lab.txt", "new\n");
    dir.write("report_cfg_lab.txt", "new\n");
    dir.write("report_lab.txt", "new\n");
    dir.write("report_lab.txt.old", "old\n");
    dir.write("report_lab.txt.done_status", "");
    EXPECT_EQ(0, reports::reports_recovery_procedure_in_domain("lab", dir.path()));
    EXPECT_EQ(3u, dir.names().size());
    EXPECT_EQ("new\n", LogFolder::read(report()));
}

TEST_F(ReportRewriteTest, UnreadableFileEndsTheRewriteWithItsErrno)
{
    const time_t old = std::time(nullptr) - 5 * 86400;
    dir.write("report_idx_lab.txt", index_line(old));
    dir.write("report_lab.txt", report_line(old, "A"));
    // A folder where the configuration file should be: it exists, but reading
    // it fails.
    ::mkdir(config().c_str(), 0755);
    LogCapture capture;
    EXPECT_EQ(21, reports::delete_old_reports_in_domain("lab", 1, dir.path()));
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_ERROR,
                                "Copy new reports from file: \"" + config() +
                                    "\" exit with error code: 21."));
    // The start marker stays for the next run's rollback.
    EXPECT_TRUE(LogFolder::exists(report() + ".start_status"));
    EXPECT_EQ(index_line(old), LogFolder::read(index()));
}

// The age limit at its edges, with `now` given: days_to_live 2 is 172800 s;
// a line exactly that old stays, one second older goes, and so does a line
// one second in the future.
TEST_F(ReportRewriteTest, AgeLimitAndFutureAtTheSecond)
{
    const time_t now = kNow;
    const time_t limit = 2 * 86400;
    struct Case {
        time_t t;
        bool kept;
    };
    const Case cases[] = {
        {now, true},
        {now + 1, false},
        {now - limit, true},
        {now - limit - 1, false},
        {now - 1, true},
    };
    std::string content, kept;
    for (const Case& c : cases) {
        content += index_line(c.t);
        if (c.kept)
            kept += index_line(c.t);
    }
    const std::string file = dir.write("report_idx_lab.txt", content + "not a line\n");
    LogCapture capture;
    int dropped = -1;
    EXPECT_EQ(0, reports::copy_new_reports_from_one_file(now, 2, file, dropped));
    EXPECT_EQ(3, dropped);  // two by age or date, one unreadable
    EXPECT_EQ(kept, LogFolder::read(file + ".tmp"));
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_ERROR, "Incorrect report data/time in file: \"" +
                                                          file + "\", line: \"not a line\"."));
    EXPECT_THROW(reports::copy_new_reports_from_one_file(now, 0, file, dropped),
                 std::invalid_argument);
}

// A file without lines still gets its work copy, so the commit does not fail
// (and roll back) on it every day.
TEST_F(ReportRewriteTest, EmptyFilesAreCommittedEmpty)
{
    const time_t now = std::time(nullptr);
    dir.write("report_idx_lab.txt", index_line(now - 10 * 86400) + index_line(now - 60));
    dir.write("report_cfg_lab.txt", "");
    dir.write("report_lab.txt", "");
    EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 1, dir.path()));
    EXPECT_EQ(index_line(now - 60), LogFolder::read(index()));
    EXPECT_EQ("", LogFolder::read(config()));
    EXPECT_EQ("", LogFolder::read(report()));
    EXPECT_EQ(3u, dir.names().size());
}

// After a recovery the set is checked like any other: an incomplete one is
// deleted instead of failing the rewrite day after day.
TEST_F(ReportRewriteTest, RecoveryIsFollowedByThePresenceChecks)
{
    const time_t old = std::time(nullptr) - 10 * 86400;
    dir.write("report_idx_lab.txt", index_line(old));
    dir.write("report_cfg_lab.txt", config_line(old));
    dir.write("report_lab.txt.start_status", "");
    LogCapture capture;
    EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 1, dir.path()));
    EXPECT_TRUE(dir.names().empty());
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_INFO,
                                "Rollback reports repository for domain: \"lab\" succesfull."));
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_WARNING,
                                "Delete inconsistent file \"" + index() + "\" successfully."));
}

// A rewrite stopped after each of its file operations, in the order the
// rewrite makes them, and the next call: up to the status change the old set
// comes back (rollback), after it the new set stays; either way the call then
// finishes the clean-up, so the new set is what remains. A run saved before
// that next clean-up first recovers the set the same way and then adds its
// lines, which every later step keeps.
TEST_F(ReportRewriteTest, EveryInterruptionPointIsRecovered)
{
    const time_t now = std::time(nullptr);
    const time_t old = now - 5 * 86400;
    const time_t recent = now - 60;
    const std::string old_i = index_line(old) + index_line(recent);
    const std::string old_c = config_line(old) + config_line(recent);
    const std::string old_r = report_line(old, "A") + report_line(recent, "B");
    const std::string new_i = index_line(recent);
    const std::string new_c = config_line(recent);
    const std::string new_r = report_line(recent, "B");

    const std::string i = "report_idx_lab.txt", c = "report_cfg_lab.txt", r = "report_lab.txt";
    const std::string start = r + ".start_status", done = r + ".done_status";
    auto mv = [this](const std::string& from, const std::string& to) {
        ASSERT_EQ(0, std::rename((dir / from).c_str(), (dir / to).c_str())) << from;
    };
    auto rm = [this](const std::string& name) {
        ASSERT_EQ(0, std::remove((dir / name).c_str())) << name;
    };
    // Steps 4 to 11 of a rewrite, one file operation each.
    const std::vector<std::function<void()>> steps = {
        [&] { dir.write(start, ""); },
        [&] { dir.write(i + ".tmp", new_i); },
        [&] { dir.write(c + ".tmp", new_c); },
        [&] { dir.write(r + ".tmp", new_r.substr(0, 20)); },  // a copy cut short
        [&] { dir.write(r + ".tmp", new_r); },
        [&] { mv(i, i + ".old"); },
        [&] { mv(c, c + ".old"); },
        [&] { mv(r, r + ".old"); },
        [&] { mv(i + ".tmp", i); },
        [&] { mv(c + ".tmp", c); },
        [&] { mv(r + ".tmp", r); },
        [&] { mv(start, done); },  // committed from here on
        [&] { rm(i + ".old"); },
        [&] { rm(c + ".old"); },
        [&] { rm(r + ".old"); },
        [&] { rm(done); },
    };
    const size_t committed = 12;  // steps taken once the status changed
    auto set_up = [&](size_t taken) {
        for (const std::string& name : dir.names())
            rm(name);
        dir.write(i, old_i);
        dir.write(c, old_c);
        dir.write(r, old_r);
        for (size_t k = 0; k < taken; ++k)
            steps[k]();
    };
    for (size_t taken = 0; taken <= steps.size(); ++taken) {
        SCOPED_TRACE("stopped after " + std::to_string(taken) + " operations");

        // The recovery alone restores one whole set.
        set_up(taken);
        EXPECT_EQ(0, reports::reports_recovery_procedure_in_domain("lab", dir.path()));
        EXPECT_EQ((std::vector<std::string>{c, i, r}), dir.names());
        const bool is_new = taken >= committed;
        EXPECT_EQ(is_new ? new_i : old_i, LogFolder::read(index()));
        EXPECT_EQ(is_new ? new_c : old_c, LogFolder::read(config()));
        EXPECT_EQ(is_new ? new_r : old_r, LogFolder::read(report()));

        // The next clean-up recovers and then cleans.
        set_up(taken);
        LogCapture capture;
        EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 2, dir.path()));
        EXPECT_EQ((std::vector<std::string>{c, i, r}), dir.names());
        EXPECT_EQ(new_i, LogFolder::read(index()));
        EXPECT_EQ(new_c, LogFolder::read(config()));
        EXPECT_EQ(new_r, LogFolder::read(report()));
        const bool marked = taken > 0 && taken < steps.size();
        EXPECT_EQ(marked && !is_new ? 1u : 0u,
                  capture.count(rrm::LOG_LEVEL_INFO,
                                "Rollback reports repository for domain: \"lab\" succesfull."));
        EXPECT_EQ(marked && is_new ? 1u : 0u,
                  capture.count(rrm::LOG_LEVEL_INFO,
                                "Clean reports repository for domain: \"lab\" succesfull."));

        // A run is saved between the interruption and the next clean-up.
        set_up(taken);
        LogCapture save_capture;
        reports::save_radio_report_to_files(saved.map, "lab", saved.start, dir.path(),
                                            rrm::DomainConfig());
        EXPECT_EQ(0u, save_capture.event_count(rrm::EVENT_REPORT_SAVE_FAILED));
        EXPECT_EQ(marked ? 1u : 0u,
                  save_capture.count(rrm::LOG_LEVEL_WARNING,
                                     "Detected unclean reports repository for domain: \"lab\". "
                                     "Started rollback/recovery procedure."));
        EXPECT_EQ((std::vector<std::string>{c, i, r}), dir.names());
        EXPECT_EQ((is_new ? new_i : old_i) + saved.index_line, LogFolder::read(index()));
        EXPECT_EQ((is_new ? new_c : old_c) + saved.config_line, LogFolder::read(config()));
        EXPECT_EQ((is_new ? new_r : old_r) + saved.report_line, LogFolder::read(report()));
        // The next clean-up drops the old lines and keeps the saved run.
        EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 2, dir.path()));
        EXPECT_EQ((std::vector<std::string>{c, i, r}), dir.names());
        EXPECT_EQ(new_i + saved.index_line, LogFolder::read(index()));
        EXPECT_EQ(new_c + saved.config_line, LogFolder::read(config()));
        EXPECT_EQ(new_r + saved.report_line, LogFolder::read(report()));
    }
}

// The clean-up relies on what is on disk after a power cut, not only on what
// a killed process leaves: the copies are synced before they are renamed into
// place, the folder (start marker, copies) before any file is moved, every
// move before the done marker, and the done marker before any old file goes.
TEST_F(ReportRewriteTest, TheCommitSyncsWhatItsNextStepReliesOn)
{
    const time_t now = std::time(nullptr);
    const time_t old = now - 5 * 86400;
    const time_t recent = now - 60;
    dir.write("report_idx_lab.txt", index_line(old) + index_line(recent));
    dir.write("report_cfg_lab.txt", config_line(old) + config_line(recent));
    dir.write("report_lab.txt", report_line(old, "A") + report_line(recent, "B"));
    const std::string i = "report_idx_lab.txt", c = "report_cfg_lab.txt", r = "report_lab.txt";
    const std::string start = r + ".start_status", done = r + ".done_status";
    {
        FileOpsRecorder recorder;
        ASSERT_EQ(0, reports::delete_old_reports_in_domain("lab", 2, dir.path()));
        EXPECT_EQ((std::vector<std::string>{
                      "fsync " + i + ".tmp", "fsync " + c + ".tmp", "fsync " + r + ".tmp",
                      "fsync .",
                      "rename " + i + " -> " + i + ".old", "rename " + c + " -> " + c + ".old",
                      "rename " + r + " -> " + r + ".old",
                      "rename " + i + ".tmp -> " + i, "rename " + c + ".tmp -> " + c,
                      "rename " + r + ".tmp -> " + r,
                      "fsync .",
                      "rename " + start + " -> " + done,
                      "fsync .",
                      "unlink " + i + ".old", "unlink " + c + ".old", "unlink " + r + ".old",
                      "unlink " + done}),
                  file_steps(recorder.ops()));
    }

    // A rollback: the old set is back on disk before the start marker goes.
    dir.write(i + ".old", index_line(old));
    dir.write(c + ".old", config_line(old));
    dir.write(r + ".tmp", "");
    ASSERT_EQ(0, std::rename((dir / r).c_str(), (dir / (r + ".old")).c_str()));
    dir.write(start, "");
    {
        FileOpsRecorder recorder;
        ASSERT_EQ(0, reports::reports_recovery_procedure_in_domain("lab", dir.path()));
        EXPECT_EQ((std::vector<std::string>{
                      "unlink " + r + ".tmp", "rename " + i + ".old -> " + i,
                      "rename " + c + ".old -> " + c, "rename " + r + ".old -> " + r, "fsync .",
                      "unlink " + start}),
                  file_steps(recorder.ops()));
    }
}

// Real failed file operations stop the rewrite where they happen; once the
// cause is gone the next call rolls back and cleans.
TEST_F(ReportRewriteTest, FailedOperationsAreRolledBackByTheNextCall)
{
    const time_t now = std::time(nullptr);
    const time_t old = now - 5 * 86400;
    const time_t recent = now - 60;
    auto set_up = [&] {
        dir.write("report_idx_lab.txt", index_line(old) + index_line(recent));
        dir.write("report_cfg_lab.txt", config_line(old) + config_line(recent));
        dir.write("report_lab.txt", report_line(old, "A") + report_line(recent, "B"));
    };
    auto check_clean = [&] {
        EXPECT_EQ(3u, dir.names().size());
        EXPECT_EQ(index_line(recent), LogFolder::read(index()));
        EXPECT_EQ(report_line(recent, "B"), LogFolder::read(report()));
    };
    // A folder that is not empty cannot be replaced by a file, nor removed.
    auto obstacle = [&](const std::string& name) {
        ::mkdir((dir / name).c_str(), 0755);
        dir.write(name + "/x", "");
    };
    auto clear_obstacle = [&](const std::string& name) {
        ::remove((dir / (name + "/x")).c_str());
        ::remove((dir / name).c_str());
    };

    {
        SCOPED_TRACE("copy of the index fails");
        set_up();
        obstacle("report_idx_lab.txt.tmp");
        LogCapture capture;
        EXPECT_EQ(21, reports::delete_old_reports_in_domain("lab", 2, dir.path()));
        EXPECT_TRUE(LogFolder::exists(report() + ".start_status"));
        // The recovery cannot remove the folder either: it fails and says so.
        EXPECT_EQ(39, reports::delete_old_reports_in_domain("lab", 2, dir.path()));
        EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_ERROR,
                                    "Rollback/recovery procedure fail for domain: \"lab\" exit "
                                    "with error code: 39."));
        // Emptied, the folder goes with the rollback's removal of the copies.
        ::remove((dir / "report_idx_lab.txt.tmp/x").c_str());
        EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 2, dir.path()));
        check_clean();
    }
    {
        SCOPED_TRACE("backup rename fails");
        for (const std::string& name : dir.names())
            ::remove((dir / name).c_str());
        set_up();
        obstacle("report_cfg_lab.txt.old");
        LogCapture capture;
        EXPECT_EQ(21, reports::delete_old_reports_in_domain("lab", 2, dir.path()));
        EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_ERROR,
                                    "Error while rename \"" + config() +
                                        "\" for backup, errno = 21: Is a directory"));
        // Stopped inside the backup: the index is already moved aside.
        EXPECT_FALSE(LogFolder::exists(index()));
        EXPECT_TRUE(LogFolder::exists(index() + ".old"));
        clear_obstacle("report_cfg_lab.txt.old");
        EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 2, dir.path()));
        check_clean();
    }
}

}  // namespace
