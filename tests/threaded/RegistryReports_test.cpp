// The registry's daily report clean-up over real report files: configured
// domains with and without a worker, leftovers of unconfigured domains, and
// a domain whose rewrite fails. The daily alarm fires once per process and
// UTC day, so one test covers a whole clean-up.
#include "Config.h"
#include "JsonReader.h"
#include "LogCapture.h"
#include "LogFolder.h"
#include "RRM.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace {

using testsupport::LogCapture;
using testsupport::LogFolder;
using testsupport::TestRegistry;

std::string stamp(time_t t)
{
    struct tm tm;
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d,%H:%M:%S", &tm);
    return text;
}

// The three files of a domain, one old run and one recent run each.
void write_reports(const LogFolder& dir, const std::string& domain, time_t old, time_t recent)
{
    dir.write("report_idx_" + domain + ".txt",
              "1.1," + stamp(old) + "\n1.1," + stamp(recent) + "\n");
    dir.write("report_cfg_" + domain + ".txt",
              "1.1," + stamp(old) + ",1\n1.1," + stamp(recent) + ",1\n");
    dir.write("report_" + domain + ".txt", "1.1," + stamp(old) + ",A\n1.1," + stamp(recent) + ",B\n");
}

size_t events(const LogCapture& capture, int code, const std::string& details)
{
    size_t n = 0;
    for (const auto& e : capture.events())
        n += e.code == code && e.details == details;
    return n;
}

TEST(RegistryReports, DailyCleanupOfConfiguredAndLeftoverDomains)
{
    LogFolder dir;
    // Installed before any thread of the registry logs.
    LogCapture capture;
    auto config = testsupport::make_config({"active", "bad", "quiet"});
    ASSERT_TRUE(config->global_update(rrm::JsonReader(
        ("{\"report_delete_at_time_utc\":\"00:00\",\"reports_path\":\"" + dir.path() + "\"}")
            .c_str())));
    TestRegistry rrm(config.get());
    rrm.start();
    rrm.add_domain_worker("active", rrm::DomainConfig());

    const time_t now = std::time(nullptr);
    const time_t old = now - 400 * 86400;  // beyond the default 93 days
    const time_t recent = now - 86400;
    write_reports(dir, "active", old, recent);
    write_reports(dir, "quiet", old, recent);
    write_reports(dir, "gone", old, recent);
    // Index names whose domain part could not be a domain ("." and ".."):
    // skipped, the scan goes on.
    dir.write("report_idx_..txt", "x\n");
    dir.write("report_idx_...txt", "x\n");
    // "bad" cannot be rewritten: its configuration file is a folder.
    write_reports(dir, "bad", old, recent);
    ::remove((dir / "report_cfg_bad.txt").c_str());
    ::mkdir((dir / "report_cfg_bad.txt").c_str(), 0755);

    capture.clear();
    // The active domain's worker is busy: its files wait for its lock.
    std::promise<void> entered, gate;
    std::thread holder([&] {
        rrm.run_on_domain("active", [&](rrm::RrmWorker&) {
            entered.set_value();
            gate.get_future().wait();
        });
    });
    entered.get_future().wait();
    std::thread cleanup([&] { rrm.check_old_reports(); });
    ASSERT_TRUE(testsupport::eventually(
        [&] { return capture.has(rrm::LOG_LEVEL_DEBUG, "Active domain: active"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(std::string::npos, LogFolder::read(dir / "report_active.txt").find(",A\n"));
    gate.set_value();
    holder.join();
    cleanup.join();

    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_INFO, "Check old reports."));
    for (const char* domain : {"active", "quiet"}) {
        EXPECT_EQ("1.1," + stamp(recent) + ",B\n",
                  LogFolder::read(dir / ("report_" + std::string(domain) + ".txt")))
            << domain;
    }
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_DEBUG, "Inactive domain: quiet\n"));
    // The failure of "bad" is reported and the domains after it are still
    // cleaned.
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_ERROR,
                                "Error call delete_old_reports_in_domain for inactive domain: "
                                "bad. Error code = 21"));
    EXPECT_EQ(1u, events(capture, rrm::EVENT_REPORT_DELETE_FAILED, "bad"));
    // The unconfigured domain's files are gone; the configured ones stay.
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_INFO, "Delete report files for domain: gone"));
    for (const char* name : {"report_gone.txt", "report_cfg_gone.txt", "report_idx_gone.txt"})
        EXPECT_FALSE(LogFolder::exists(dir / name)) << name;
    EXPECT_TRUE(LogFolder::exists(dir / "report_idx_bad.txt"));
    EXPECT_TRUE(LogFolder::exists(dir / "report_idx_..txt"));
    EXPECT_TRUE(LogFolder::exists(dir / "report_idx_...txt"));
    EXPECT_TRUE(LogFolder::exists(dir / "report_idx_quiet.txt"));

    // Once a day.
    capture.clear();
    rrm.check_old_reports();
    EXPECT_FALSE(capture.has(rrm::LOG_LEVEL_INFO, "Check old reports."));
    EXPECT_EQ(1u, capture.count(rrm::LOG_LEVEL_DEBUG,
                                "RRM::check_old_reports entered: report_delete_at_time_utc="
                                "\"00:00\", reports_path=\"" +
                                    dir.path() + "\"."));
}

TEST(RegistryReports, InvalidTriggerTimeNeverCleansUp)
{
    LogFolder dir;
    auto config = testsupport::make_config({"d1"});
    config->global_update(rrm::JsonReader(
        ("{\"report_delete_at_time_utc\":\"25:00\",\"reports_path\":\"" + dir.path() + "\"}")
            .c_str()));
    TestRegistry rrm(config.get());
    dir.write("report_idx_gone.txt", "x\n");
    LogCapture capture;
    rrm.check_old_reports();
    rrm.check_old_reports();
    EXPECT_EQ(2u, events(capture, rrm::EVENT_REPORT_ALARM_TIME_INVALID, "25:00"));
    EXPECT_FALSE(capture.has(rrm::LOG_LEVEL_INFO, "Check old reports."));
    EXPECT_TRUE(LogFolder::exists(dir / "report_idx_gone.txt"));
}

}  // namespace
