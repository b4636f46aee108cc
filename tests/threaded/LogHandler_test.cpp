// The server library's records written through easylogging++ by the
// program's log handler, with the level tested before anything is
// formatted, compared record by record with what the handler wrote before
// (every record handed on, formatted with vasprintf, then judged by
// easylogging++; tests/support/FormatFirstLog.h): the same log, for
// every logger configuration, also when the file is rolled over by size.
// And the library's level mask follows every configuration the logger
// applies.
//
// Threaded: a configured logger runs its cleaner thread.
#include "LogHandler.h"

#include "ElppCapture.h"
#include "FormatFirstLog.h"
#include "Log.h"
#include "LogFolder.h"
#include "Logger.h"
#include "SteeringDomain.h"

#include <easylogging++.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using testsupport::LogFolder;

// Records of every level from the library's own code (subscriptions, radio
// and VAP readers, client tables and their dumps, steering, a message that
// fails its checks) and a few written here: texts longer than any inline
// buffer and one whose formatting fails.
void workload(testsupport::SteeringDomain& domain)
{
    using namespace testsupport;
    const ApSpec a = domain.add(steering_ap("02:00:00:00:01:00", "d", {2, 5}, {"corp", "guest"}));
    const ApSpec b = domain.add(steering_ap("02:00:00:00:02:00", "d", {2, 5}, {"corp"}));
    domain.all_hear({a.mac, b.mac});
    for (int c = 0; c < 60; ++c) {
        char sta[18];
        std::snprintf(sta, sizeof sta, "00:cc:00:00:%02x:%02x", c / 7, c);
        const ApSpec& ap = c % 3 == 0 ? b : a;
        domain.send(ap, client_assoc(ap, c % 2, -40 - 2 * c, sta, c % 4 == 1 ? "guest" : "corp",
                                     c % 5 == 0, c % 2));
        if (c % 4 == 3)
            domain.send(ap, assoc_state_changed(ap, c % 2, -80, sta, "corp"));
        if (c % 6 == 5)
            domain.send(ap, client_disassoc(ap, c % 2, sta, "corp"));
    }
    domain.second_passes();
    domain.send(a, disassoc_all_clients(a));
    domain.send(a, R"({"service":"rrm","cmd":"rrm-client-assoc","domain":"d","ap-mac":"x"})");

    // Around and well beyond the handler's inline buffer.
    for (size_t length : {10, 511, 512, 700, 9000}) {
        const std::string text(length, 'x');
        RRM_TRACE("trace %zu %s", length, text.c_str());
        RRM_DEBUG("debug %s", text.c_str());
        RRM_INFO("info %s|%s", text.c_str(), std::string(length / 2, 'y').c_str());
        RRM_WARNING("warning %.3f %s", 2.5, text.c_str());
        RRM_ERROR("error %d %s", -7, text.c_str());
    }
    // A wide character that the C locale cannot write: the format fails
    // and the record is dropped.
    RRM_ERROR("unwritable %ls", L"\u00e9");
}

// The records of a run's text, in order. Records of the logger's cleaner
// thread, which come at a moment of their own, are left out; so is the time
// of day in the library's default layout.
std::vector<std::string> records_of(const std::string& text)
{
    static const std::regex kTime(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} )");
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find(" cleaner_loop: ") == std::string::npos &&
            line.find("[cleaner_loop]") == std::string::npos)
            out.push_back(std::regex_replace(line, kTime, ""));
    return out;
}

// The log files of a run, joined in the order they were written: dated
// names by time, then by suffix.
std::string files_in_order(const LogFolder& dir, const std::string& sub)
{
    static const std::regex kDated(R"((\d{4}\.\d{2}\.\d{2}_\d{2}\.\d{2}\.\d{2})(?:_(\d+))?\.log)");
    std::vector<std::tuple<std::string, int, std::string>> files;
    for (const std::string& name : dir.names(sub)) {
        std::smatch m;
        if (std::regex_match(name, m, kDated))
            files.emplace_back(m[1].str(), m[2].matched ? std::stoi(m[2].str()) : 0, name);
        else
            files.emplace_back("~", 0, name);
    }
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto& f : files)
        all += LogFolder::read(dir / (sub + "/" + std::get<2>(f)));
    return all;
}

struct LogRun {
    std::vector<std::string> records;
    size_t files = 0;
};

// One run of the workload through a real logger with this configuration
// (none: the library's defaults, on standard output), with the program's
// handler and level mask, or with the handler as it was and every level
// handed on.
LogRun run(const std::string& config, bool format_first)
{
    testsupport::reset_easylogging(true);
    LogFolder dir;
    LogRun result;
    {
        testsupport::SteeringDomain domain;
        const std::string conf =
            config.empty() ? dir / "absent.conf" : dir.write("logger.conf", config);
        testing::internal::CaptureStdout();
        auto logger = std::make_unique<RRM_Logger>(conf, dir / "log/wendara.log");
        rrm::set_log_handler(format_first ? &testsupport::format_first_log_handler
                                          : &server_log_handler);
        if (format_first)
            rrm::set_log_levels(rrm::LOG_LEVELS_ALL);
        else
            EXPECT_EQ(easylogging_levels(), rrm::log_levels());
        workload(domain);
        logger.reset();
        const std::string printed = testing::internal::GetCapturedStdout();
        if (config.empty())
            result.records = records_of(printed);
    }
    if (!config.empty()) {
        result.files = dir.names("log").size();
        result.records = records_of(files_in_order(dir, "log"));
    }
    return result;
}

// The configuration's text: records as "LEVEL file:line func: message"
// (no time, so two runs compare), every level's ENABLED value given.
std::string logger_config(const std::string& enabled, const std::string& extra = "")
{
    return "* GLOBAL:\n"
           "    FORMAT = \"%level %file:%line %func: %msg\"\n"
           "    TO_FILE = true\n"
           "    TO_STANDARD_OUTPUT = false\n"
           "    LCLEANER_MAX_FILES_COUNT = 0\n"
           "    LCLEANER_MAX_FOLDER_SIZE = 0\n"
           "    LCLEANER_MAX_FILES_AGE = 0\n" +
           extra + enabled;
}

std::string levels(bool global, bool trace, bool debug, bool info, bool warning, bool error)
{
    auto on = [](bool b) { return b ? "true" : "false"; };
    return std::string("    ENABLED = ") + on(global) + "\n* TRACE:\n    ENABLED = " + on(trace) +
           "\n* DEBUG:\n    ENABLED = " + on(debug) + "\n* INFO:\n    ENABLED = " + on(info) +
           "\n* WARNING:\n    ENABLED = " + on(warning) + "\n* ERROR:\n    ENABLED = " +
           on(error) + "\n";
}

size_t count_prefixed(const std::vector<std::string>& records, const std::string& prefix)
{
    return static_cast<size_t>(std::count_if(records.begin(), records.end(), [&](const auto& r) {
        return r.compare(0, prefix.size(), prefix) == 0;
    }));
}

TEST(LogHandler, TheLogIsTheSameWithTheLevelTestedFirst)
{
    struct Case {
        const char* name;
        std::string config;
        // Levels written (Trace, Debug, Info, Warning, Error).
        bool trace, debug, info, warning, error;
        bool rolled;
    };
    const std::string size = "    MAX_LOG_FILE_SIZE = 8192\n";
    const Case cases[] = {
        {"every level", logger_config(levels(true, true, true, true, true, true)), true, true,
         true, true, true, false},
        {"Debug off", logger_config(levels(true, true, false, true, true, true)), true, false,
         true, true, true, false},
        {"Trace and Debug off", logger_config(levels(true, false, false, true, true, true)),
         false, false, true, true, true, false},
        {"errors and warnings", logger_config(levels(false, false, false, false, true, true)),
         false, false, false, true, true, false},
        {"every level, rolled over by size",
         logger_config(levels(true, true, true, true, true, true), size), true, true, true, true,
         true, true},
        {"Debug off, rolled over by size",
         logger_config(levels(true, true, false, true, true, true), size), true, false, true,
         true, true, true},
        {"no configuration: the library's defaults", "", true, true, true, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LogRun before = run(c.config, true);
        const LogRun now = run(c.config, false);
        ASSERT_EQ(before.records.size(), now.records.size());
        for (size_t i = 0; i < now.records.size(); ++i)
            ASSERT_EQ(before.records[i], now.records[i]) << "record " << i;

        // Not two empty logs: each written level is there, no other one.
        const std::pair<bool, const char*> written[] = {{c.trace, "TRACE "},
                                                        {c.debug, "DEBUG "},
                                                        {c.info, "INFO "},
                                                        {c.warning, "WARNING "},
                                                        {c.error, "ERROR "}};
        for (const auto& [on, prefix] : written) {
            SCOPED_TRACE(prefix);
            if (on)
                EXPECT_GT(count_prefixed(now.records, prefix), 0u);
            else
                EXPECT_EQ(count_prefixed(now.records, prefix), 0u);
        }
        if (c.rolled) {
            EXPECT_GE(before.files, 3u);
            EXPECT_GE(now.files, 3u);
        }
        // The record whose formatting fails is in neither.
        for (const std::string& r : now.records)
            EXPECT_EQ(std::string::npos, r.find("unwritable")) << r;
    }
}

// The library's mask is what easylogging++ writes after every configuration
// the logger applies, and nothing once the logger is gone.
TEST(LogHandler, TheLibrarysLevelsFollowEveryLoggerConfiguration)
{
    using namespace rrm;
    const int all = LOG_LEVEL_TRACE | LOG_LEVEL_DEBUG | LOG_LEVEL_INFO | LOG_LEVEL_WARNING |
                    LOG_LEVEL_ERROR;
    struct Case {
        const char* name;
        std::string config;  // empty: no file
        int levels;
    };
    const Case cases[] = {
        {"no configuration file", "", all},
        {"Debug off", logger_config(levels(true, true, false, true, true, true)),
         all & ~LOG_LEVEL_DEBUG},
        {"no level enabled by an exact \"true\"", "* GLOBAL:\n    ENABLED = TRUE\n", 0},
        {"only errors", logger_config(levels(false, false, false, false, false, true)),
         LOG_LEVEL_ERROR},
        {"every level", logger_config(levels(true, true, true, true, true, true)), all},
        {"Trace and Info off", logger_config(levels(true, false, true, false, true, true)),
         LOG_LEVEL_DEBUG | LOG_LEVEL_WARNING | LOG_LEVEL_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::reset_easylogging();
        set_log_levels(LOG_LEVELS_ALL);
        LogFolder dir;
        const std::string conf =
            c.config.empty() ? dir / "absent.conf" : dir.write("logger.conf", c.config);
        testing::internal::CaptureStdout();
        auto logger = std::make_unique<RRM_Logger>(conf, dir / "log/wendara.log");
        EXPECT_EQ(c.levels, log_levels());
        logger.reset();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(0, log_levels());
    }
    set_log_levels(LOG_LEVELS_ALL);
}

}  // namespace
