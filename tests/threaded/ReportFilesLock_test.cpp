// One lock per domain's report files: the optimisation thread's saves, the
// clean-up's rewrites and the queries of one domain exclude each other, so no
// saved run is lost to a rewrite and no query sees the files half-renamed;
// other domains are not held up.
#include "report_optimize_tpc_dca.h"

#include "DomainConfig.h"
#include "JsonWriter.h"
#include "LogCapture.h"
#include "LogFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::LogFolder;

// One captured radio of a run started at `start`.
reports::RadioReportMap one_radio(const std::string& start)
{
    reports::RadioReportMap map;
    reports::RadioReport& r =
        map[reports::create_key_for_domain_radio_report(start, "02:00:00:00:10:00",
                                                        "02:00:00:00:10:10")];
    r.before_channel = 36;
    r.after_channel = 44;
    r.available_channels = "36 44";
    return map;
}

TEST(ReportFilesLock, SavesCleanUpsAndQueriesOfOneDomainExcludeEachOther)
{
    LogFolder dir;
    testsupport::LogCapture capture;  // keeps the records off the output
    const time_t now = std::time(nullptr);
    const int runs = 150;
    std::vector<std::string> recent(runs);
    for (int k = 0; k < runs; ++k)
        recent[k] = reports::get_date_time_as_str(now - 86400 + k, true);
    std::atomic<int> saved{0};
    std::atomic<bool> writing{true};

    // Each recent run is followed by an old one (400 days back, beyond the
    // 93 days kept), so every clean-up in between has lines to drop and
    // rewrites all three files.
    std::thread writer([&] {
        for (int k = 0; k < runs; ++k) {
            reports::save_radio_report_to_files(one_radio(recent[k]), "lab", recent[k],
                                                dir.path(), rrm::DomainConfig());
            saved = k + 1;
            const std::string old = reports::get_date_time_as_str(now - 400 * 86400 + k, true);
            reports::save_radio_report_to_files(one_radio(old), "lab", old, dir.path(),
                                                rrm::DomainConfig());
        }
        writing = false;
    });
    std::atomic<int> cleanups{0}, failed_cleanups{0};
    std::thread cleaner([&] {
        while (writing) {
            failed_cleanups += reports::delete_old_reports_in_domain("lab", 93, dir.path()) != 0;
            ++cleanups;
        }
    });
    // A saved recent run can always be read by id, and the list never fails.
    std::atomic<int> queries{0}, failed_queries{0};
    std::thread reader([&] {
        while (writing) {
            const int n = saved;
            if (n == 0)
                continue;
            rrm::JsonWriter one("");
            failed_queries +=
                reports::get_radio_report(one, recent[n - 1] + ",lab", dir.path()) != 0;
            rrm::JsonWriter list("");
            failed_queries +=
                reports::get_radio_report_list(list, "lab", dir.path(), "1970-01-01,00:00:00 UTC",
                                               "2100-01-01,00:00:00 UTC", true) != 0;
            ++queries;
        }
    });
    writer.join();
    cleaner.join();
    reader.join();
    EXPECT_EQ(0, failed_cleanups.load());
    EXPECT_EQ(0, failed_queries.load());
    EXPECT_LT(0, cleanups.load());

    EXPECT_EQ(0, reports::delete_old_reports_in_domain("lab", 93, dir.path()));
    // Every recent run is there, in the order saved, with its lines.
    std::string index, lines;
    for (const std::string& start : recent) {
        index += "1.1," + start + "\n";
        lines += "1.1," + start + ",02:00:00:00:10:00,02:00:00:00:10:10,0,0,36,44,0,0,0,0,0,"
                                  "36 44,0,0,0,0,0,0\n";
    }
    EXPECT_EQ(index, LogFolder::read(dir / "report_idx_lab.txt"));
    EXPECT_EQ(lines, LogFolder::read(dir / "report_lab.txt"));
    EXPECT_EQ(0u, reports::ReportFilesLock::slot_count());
}

TEST(ReportFilesLock, HeldLockHoldsOnlyItsOwnDomain)
{
    LogFolder dir;
    testsupport::LogCapture capture;
    const std::string start = reports::get_current_date_time_as_str(true);
    std::future<void> held_up;
    {
        reports::ReportFilesLock lock("lab", dir.path());
        // Another domain's save goes through.
        reports::save_radio_report_to_files(one_radio(start), "office", start, dir.path(),
                                            rrm::DomainConfig());
        EXPECT_TRUE(LogFolder::exists(dir / "report_idx_office.txt"));
        // This domain's save waits for the lock.
        held_up = std::async(std::launch::async, [&] {
            reports::save_radio_report_to_files(one_radio(start), "lab", start, dir.path(),
                                                rrm::DomainConfig());
        });
        EXPECT_EQ(std::future_status::timeout,
                  held_up.wait_for(std::chrono::milliseconds(200)));
        EXPECT_FALSE(LogFolder::exists(dir / "report_lab.txt"));
        EXPECT_EQ(1u, reports::ReportFilesLock::slot_count());
    }
    held_up.get();
    EXPECT_EQ("1.1," + start + "\n", LogFolder::read(dir / "report_idx_lab.txt"));
    EXPECT_EQ(0u, reports::ReportFilesLock::slot_count());
}

}  // namespace
