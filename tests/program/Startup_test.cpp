// The real binary: start-up, logging set-up, configuration file, start-up
// errors and the SIGINT shutdown.
#include "WendaraProcess.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using testsupport::LogFolder;
using testsupport::WendaraProcess;
using testsupport::lines_of;
using namespace std::chrono_literals;

const std::regex kDatedName(R"(\d{4}\.\d{2}\.\d{2}_\d{2}\.\d{2}\.\d{2}(_\d+)?\.log)");

// Starts the server, waits until the web API answers, stops it with SIGINT
// and returns its exit.
WendaraProcess::Exit serve_and_interrupt(WendaraProcess& p,
                                         const std::vector<std::string>& args)
{
    p.start(args);
    EXPECT_TRUE(p.wait_for_port(p.api_port)) << p.stderr_text();
    p.interrupt();
    return p.wait(30s);
}

// The dated log name of a moment (the program runs with TZ=UTC).
std::string dated(time_t when)
{
    struct tm tm;
    gmtime_r(&when, &tm);
    char name[64];
    std::strftime(name, sizeof name, "%Y.%m.%d_%H.%M.%S.log", &tm);
    return name;
}


TEST(ProgramLogger, EachLoggerStatePrintsItsOwnTextOnStandardOutput)
{
    struct Case {
        const char* name;
        bool write_file;
        std::string logger_text;
        std::string stdout_text;
        bool log_file;
    };
    const Case cases[] = {
        {"no file", false, "", "Logger cfg file does not exist. Using default logger settings.\n",
         false},
        {"all disabled", true, "* GLOBAL:\n    ENABLED = false\n* INFO:\n    ENABLED = TRUE\n",
         "All log levels disabled.\n", false},
        {"configured", true, WendaraProcess::logger_config(), "", true},
        {"configured, small file size", true,
         WendaraProcess::logger_config("    MAX_LOG_FILE_SIZE = 100\n"),
         "Too few MAX_LOG_FILE_SIZE, increasing to 8192\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WendaraProcess p;
        if (c.write_file)
            p.write_logger_config(c.logger_text);
        p.write_config();
        const WendaraProcess::Exit exit = serve_and_interrupt(p, {p.config_path()});
        EXPECT_TRUE(exit.exited);
        EXPECT_EQ(0, exit.code) << p.stderr_text();
        if (c.log_file) {
            EXPECT_EQ(c.stdout_text, p.stdout_text());
            // Moved aside at shutdown (and, with the small size, rolled over).
            const std::vector<std::string> names = p.log().names();
            EXPECT_FALSE(names.empty());
            for (const std::string& name : names)
                EXPECT_TRUE(std::regex_match(name, kDatedName)) << name;
        } else if (c.write_file) {
            EXPECT_EQ(c.stdout_text, p.stdout_text());
            EXPECT_TRUE(p.log().names().empty());
        } else {
            // Without a file the records themselves go to standard output.
            const std::string out = p.stdout_text();
            EXPECT_EQ(0u, out.find(c.stdout_text)) << out;
            EXPECT_NE(std::string::npos, out.find(" INFO [default] Shutting down.\n")) << out;
            EXPECT_TRUE(p.log().names().empty());
        }
    }
}

TEST(ProgramLogger, RunIsFramedByStartAndShutdownRecordsAndEndsUnderADatedName)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    const time_t before = std::time(nullptr);
    const WendaraProcess::Exit exit = serve_and_interrupt(p, {p.config_path()});
    const time_t after = std::time(nullptr);
    ASSERT_TRUE(exit.exited);
    EXPECT_EQ(0, exit.code) << p.stderr_text();

    const std::vector<std::string> names = p.log().names();
    ASSERT_EQ(1u, names.size());
    EXPECT_TRUE(std::regex_match(names[0], kDatedName)) << names[0];
    bool in_run = false;
    for (time_t t = before; t <= after && !in_run; ++t)
        in_run = names[0] == dated(t);
    EXPECT_TRUE(in_run) << names[0];

    const std::vector<std::string> records = lines_of(LogFolder::read(p.log() / names[0]));
    // The cleaner thread starts just before "Start logging." is written, so
    // its own records may come first.
    std::vector<std::string> main_records;
    for (const std::string& r : records)
        if (r.find(" cleaner_loop: ") == std::string::npos)
            main_records.push_back(r);
    ASSERT_FALSE(main_records.empty());
    EXPECT_EQ("INFO server/Logger.cpp RRM_Logger: Start logging.", main_records.front());
    EXPECT_EQ("INFO server/Logger.cpp ~RRM_Logger: Shutting down.", records.back());
}

TEST(ProgramLogger, StaleLogIsMovedAsideByItsModificationTime)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    // 2025-03-02 14:05:09 UTC; a file of that name is already there.
    const std::string stale = p.log().write("wendara.log", "left by a killed run\n");
    LogFolder::set_mtime(stale, 1740924309);
    p.log().write("2025.03.02_14.05.09.log", "older\n");

    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_log("Start logging.")) << p.stderr_text();
    EXPECT_EQ("left by a killed run\n", LogFolder::read(p.log() / "2025.03.02_14.05.09_1.log"));
    EXPECT_EQ("older\n", LogFolder::read(p.log() / "2025.03.02_14.05.09.log"));
    // The cleaner thread's records may come before "Start logging.".
    std::string first;
    for (const std::string& r : lines_of(p.log_text()))
        if (r.find(" cleaner_loop: ") == std::string::npos) {
            first = r;
            break;
        }
    EXPECT_EQ("INFO server/Logger.cpp RRM_Logger: Start logging.", first);
    p.interrupt();
    EXPECT_EQ(0, p.wait().code);
}

TEST(ProgramLogger, SizeRollOversTakeDatedNamesAndLoseNoRecord)
{
    WendaraProcess p;
    p.write_logger_config(WendaraProcess::logger_config("    MAX_LOG_FILE_SIZE = 8192\n"));
    p.write_config();
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.api_port)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.cli_port));
    // Each request is logged whole at Debug: a few of them fill 8 KiB.
    for (int i = 0; i < 6; ++i) {
        const std::string marker = "request-" + std::to_string(i);
        const std::string request =
            "{\"marker\":\"" + marker + "\",\"pad\":\"" + std::string(3000, 'x') + "\"}";
        EXPECT_EQ("{\"status\":\"error\"}", testsupport::tcp_exchange(p.cli_port, request));
    }
    p.interrupt();
    EXPECT_EQ(0, p.wait().code) << p.stderr_text();

    const std::vector<std::string> names = p.log().names();
    EXPECT_GE(names.size(), 3u);
    for (const std::string& name : names)
        EXPECT_TRUE(std::regex_match(name, kDatedName)) << name;
    const std::string all = p.all_logs_text();
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(std::string::npos, all.find("\"marker\":\"request-" + std::to_string(i) + "\""))
            << i;
}

TEST(ProgramStartup, ConfigurationFileIsTakenFromTheFirstArgumentAndWrittenBack)
{
    struct Case {
        const char* name;
        bool in_etc;
        std::vector<std::string> extra_args;
    };
    const Case cases[] = {
        {"first of two arguments", false, {"extra"}},
        {"default path", true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WendaraProcess p;
        p.write_logger_config();
        p.write_config();
        std::string path = p.config_path();
        if (c.in_etc)
            path = p.etc().write("wendara.conf", LogFolder::read(path));
        const std::string compact = LogFolder::read(path);
        std::vector<std::string> args;
        if (!c.in_etc)
            args.push_back(path);
        args.insert(args.end(), c.extra_args.begin(), c.extra_args.end());

        const WendaraProcess::Exit exit = serve_and_interrupt(p, args);
        EXPECT_EQ(0, exit.code) << p.stderr_text();
        // Rewritten in the program's own layout (indented by 4), same ports.
        const std::string written = LogFolder::read(path);
        EXPECT_NE(compact, written);
        EXPECT_NE(std::string::npos, written.find("\n    \"global\": {\n")) << written;
        EXPECT_NE(std::string::npos,
                  written.find("\"api_port\": " + std::to_string(p.api_port) + ",\n"))
            << written;
    }
}

TEST(ProgramStartup, WebApiPortInUseIsAStartupErrorWithExitStatusOne)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    // Someone else holds the web API's port (no port sharing).
    int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(p.api_port));
    ASSERT_EQ(0, ::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, ::listen(holder, 1));

    p.start({p.config_path()});
    const WendaraProcess::Exit exit = p.wait(30s);
    ::close(holder);
    EXPECT_TRUE(exit.exited) << p.stderr_text();
    EXPECT_EQ(1, exit.code);
    const std::string message = "Cannot create the web API server on port " +
                                std::to_string(p.api_port) + " with plain HTTP";
    const std::string err = p.stderr_text();
    EXPECT_NE(std::string::npos, ("\n" + err).find("\nwendara: main: " + message + "\n"))
        << err;
    const std::string logs = p.all_logs_text();
    EXPECT_NE(std::string::npos, logs.find("ERROR server/main.cpp main: " + message + "\n"))
        << logs;
    EXPECT_NE(std::string::npos, logs.find("Shutting down.")) << logs;
}

TEST(ProgramShutdown, SigintEndsTheProcessInOrderWithStatusZero)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.api_port)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.cli_port));
    ASSERT_TRUE(p.wait_for_port(p.listen_port));

    const auto sent = std::chrono::steady_clock::now();
    p.interrupt();
    const WendaraProcess::Exit exit = p.wait(30s);
    const auto took = std::chrono::steady_clock::now() - sent;
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(0, exit.code) << p.stderr_text();
    EXPECT_LT(took, 10s);
    EXPECT_FALSE(testsupport::port_open(p.cli_port));
    EXPECT_FALSE(testsupport::port_open(p.listen_port));
    const std::vector<std::string> records = lines_of(p.all_logs_text());
    ASSERT_FALSE(records.empty());
    EXPECT_EQ("INFO server/Logger.cpp ~RRM_Logger: Shutting down.", records.back());
    EXPECT_EQ(std::string::npos, p.stderr_text().find("terminate"));
}

TEST(ProgramShutdown, SigintDuringStartupIsAnOrderlyStop)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    p.start({p.config_path()});
    // As early as the log file shows up: start-up is still under way.
    ASSERT_TRUE(testsupport::wait_until([&] { return LogFolder::exists(p.log() / "wendara.log"); },
                                        20s));
    p.interrupt();
    const WendaraProcess::Exit exit = p.wait(30s);
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(0, exit.code) << p.stderr_text();
    EXPECT_NE(std::string::npos, p.all_logs_text().find("Shutting down."));
}

}  // namespace
