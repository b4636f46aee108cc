#pragma once
// A real RRM_Logger for a benchmark: configured from a file in a temporary
// folder (records with their time, to a log file there), Trace and Debug on
// or off, and the library's records going through the program's handler
// with its level mask, or (`format_first`) through the handler as it was
// before the level was tested first, with every level handed on. Or with
// no configuration file at all, as the program runs without one: the
// library's defaults, every level on standard output, which then goes to a
// file in the same folder. Or with the sample's logger configuration.

#include "FormatFirstLog.h"
#include "Log.h"
#include "LogFolder.h"
#include "LogHandler.h"
#include "Logger.h"

#include <easylogging++.h>

#include <unistd.h>

#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

class BenchLogger {
public:
    BenchLogger(bool debug, bool format_first)
    {
        const char* on = debug ? "true" : "false";
        const std::string conf = dir_.write(
            "logger.conf",
            std::string("* GLOBAL:\n"
                        "    FORMAT = \"%datetime %level %file:%line %func: %msg\"\n"
                        "    ENABLED = true\n"
                        "    TO_FILE = true\n"
                        "    TO_STANDARD_OUTPUT = false\n"
                        "    MAX_LOG_FILE_SIZE = 16777216\n"
                        "    LCLEANER_MAX_FILES_COUNT = 2\n"
                        "* TRACE:\n    ENABLED = ") +
                on + "\n* DEBUG:\n    ENABLED = " + on + "\n");
        logger_ = std::make_unique<RRM_Logger>(conf, dir_ / "wendara.log");
        if (format_first) {
            rrm::set_log_handler(&testsupport::format_first_log_handler);
            rrm::set_log_levels(rrm::LOG_LEVELS_ALL);
        } else {
            rrm::set_log_handler(&server_log_handler);
            apply_log_levels();
        }
    }
    struct NoConfiguration {};
    explicit BenchLogger(NoConfiguration)
    {
        redirect_stdout();
        // As in a fresh process: an earlier logger of this one switched
        // logging off when it ended, and without a file nothing turns it on.
        el::Configurations defaults;
        defaults.setToDefault();
        el::Loggers::reconfigureAllLoggers(defaults);
        logger_ = std::make_unique<RRM_Logger>(dir_ / "absent.conf", dir_ / "wendara.log");
        rrm::set_log_handler(&server_log_handler);
        apply_log_levels();
    }
    // The logger configuration that ships with the program
    // (config/wendara_logger.conf): Info and above to the log file and to
    // standard output.
    struct SampleConfiguration {};
    explicit BenchLogger(SampleConfiguration)
    {
        redirect_stdout();
        logger_ = std::make_unique<RRM_Logger>(std::string(WENDARA_SOURCE_DIR) +
                                                   "/config/wendara_logger.conf",
                                               dir_ / "wendara.log");
        rrm::set_log_handler(&server_log_handler);
        apply_log_levels();
    }
    ~BenchLogger()
    {
        logger_.reset();
        if (saved_stdout_ >= 0) {
            std::cout.flush();
            std::fflush(stdout);
            ::dup2(saved_stdout_, STDOUT_FILENO);
            ::close(saved_stdout_);
        }
        rrm::set_log_handler(&rrm::default_log_handler);
        rrm::set_log_levels(rrm::LOG_LEVELS_ALL);
    }
    BenchLogger(const BenchLogger&) = delete;
    BenchLogger& operator=(const BenchLogger&) = delete;

    static const char* label(bool format_first)
    {
        return format_first ? "format first, every level handed on" : "level tested first";
    }

private:
    // Standard output to a file in the folder, as a server's would go to
    // its journal, not to the terminal of whoever runs the benchmark.
    void redirect_stdout()
    {
        std::cout.flush();
        std::fflush(stdout);
        const int out = ::open((dir_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        saved_stdout_ = ::dup(STDOUT_FILENO);
        if (out < 0 || saved_stdout_ < 0 || ::dup2(out, STDOUT_FILENO) < 0)
            throw std::runtime_error("standard output not redirected");
        ::close(out);
    }

    testsupport::LogFolder dir_;
    std::unique_ptr<RRM_Logger> logger_;
    int saved_stdout_ = -1;
};
