// The real binary's library records follow the levels of its logger
// configuration: with Debug on (or with no configuration file, where the
// logging library's defaults write every level) the library's Debug records
// are written, libwebsockets' own lines among them; with Debug off none is,
// while the other levels still are.
#include "ApSimulator.h"
#include "SteeringDomain.h"
#include "WendaraProcess.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::ApSimulator;
using testsupport::WendaraProcess;
using namespace std::chrono_literals;

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(ProgramLogLevels, LibraryRecordsFollowTheLoggerConfiguration)
{
    struct Case {
        const char* name;
        bool write_file;
        std::string logger_text;
        bool debug;
    };
    const Case cases[] = {
        {"every level", true, WendaraProcess::logger_config(), true},
        {"Debug off", true, WendaraProcess::logger_config() + "* DEBUG:\n    ENABLED = false\n",
         false},
        {"no configuration file", false, "", true},
    };
    // Records of the library at each level, from what the AP below does.
    const std::string kLibraryDebug[] = {
        "libwebsocket-debug> ",                  // the library's own lines, bridged
        "Assocc clients:  1 - 0",                // the client table's dump
        "process_message subscribe-request for"  // every AP message
    };
    const std::string kLibraryTrace = "      vap_id = 0, 802.11k = 1";  // the VAP table's dump
    const std::string kLibraryWarning = "Incoming message version failed";

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WendaraProcess p;
        if (c.write_file)
            p.write_logger_config(c.logger_text);
        p.write_config("", R"("patterns":[{"pattern":"calm","use_optimization_event":0}],)"
                           R"("domains":[{"domain":"site","pattern":"calm"}])");
        p.start({p.config_path()});
        ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.stderr_text();

        ApSimulator ap(testsupport::steering_ap("02:00:00:00:01:00", "site"));
        ASSERT_TRUE(ap.connect(p.listen_port));
        ASSERT_TRUE(ap.subscribe());
        ASSERT_TRUE(ap.wait_for("subscribe-response")) << p.all_logs_text() << p.stdout_text();
        ASSERT_TRUE(ap.send(testsupport::client_assoc(ap.spec(), 0, -50, "00:cc:00:00:00:01",
                                                      "corp")));
        testsupport::ApSpec old = ap.spec();
        old.version = "1.0";
        ASSERT_TRUE(ap.send(old.message("rrm-client-assoc")));
        // The Warning comes after everything else the AP caused.
        auto written = [&] { return c.write_file ? p.all_logs_text() : p.stdout_text(); };
        ASSERT_TRUE(testsupport::wait_until([&] { return has(written(), kLibraryWarning); }, 20s))
            << written();
        p.interrupt();
        EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();

        const std::string log = written();
        for (const std::string& debug : kLibraryDebug)
            EXPECT_EQ(c.debug, has(log, debug)) << debug;
        EXPECT_TRUE(has(log, kLibraryTrace));
        EXPECT_TRUE(has(log, kLibraryWarning));
    }
}

}  // namespace
