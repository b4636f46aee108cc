#pragma once
// The program's logging set-up: easylogging++ configured from the logger
// configuration file, every log file that leaves its name moved to a dated
// name beside it (at a roll-over by size, at the timed roll-over and at
// shutdown), and the log folder kept within its limits by a cleaner thread.
//
// One per process, created by main before anything else and destroyed last
// of all but the process-wide objects that no longer log.

#include "LogsCleaner.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

// How the logger's threads pace themselves. Only tests shorten these.
struct RRM_LoggerTiming {
    std::chrono::milliseconds rollover_tick{std::chrono::seconds(10)};
    std::chrono::milliseconds rollover_hour{std::chrono::hours(1)};
    std::chrono::milliseconds cleaner_period{std::chrono::seconds(60)};
    // A roll-over brings the next cleaning pass forward, but passes come at
    // most this often.
    std::chrono::milliseconds cleaner_min_gap{std::chrono::milliseconds(100)};
};

class RRM_Logger {
public:
    static constexpr const char* kConfigFile = "/etc/tavik-wendara/wendara_logger.conf";
    static constexpr const char* kLogFile = "/var/log/tavik-wendara/wendara.log";
    // Below this (other than 0) the size roll-over would churn files.
    static constexpr long kMinLogFileSize = 8192;

    using Timing = RRM_LoggerTiming;

    // The program's own keys of the configuration file, as written in its
    // global section (easylogging++ does not know them).
    struct OwnKeys {
        std::string log_file_timeout = "0";            // hours
        std::string lcleaner_max_files_count = "10";   // files
        std::string lcleaner_max_folder_size = "200";  // MiB
        std::string lcleaner_max_files_age = "168";    // hours
    };

    // The configuration file's text split into what easylogging++ is given
    // and the program's own keys, which are stripped from every section.
    struct SplitConfig {
        std::string library_text;
        OwnKeys keys;
    };
    static SplitConfig split_config(const std::string& text);

    // How the constructor ended; kept for the life of the object.
    enum class State {
        defaults,    // no configuration file: library defaults, standard output
        disabled,    // no level ENABLED "true": nothing is logged
        configured,  // logging to the log file, cleaner (and roll-over) threads running
    };

    explicit RRM_Logger(const std::string& config_file = kConfigFile,
                        const std::string& log_file = kLogFile, const Timing& timing = Timing());
    ~RRM_Logger();
    RRM_Logger(const RRM_Logger&) = delete;
    RRM_Logger& operator=(const RRM_Logger&) = delete;

    State state() const { return state_; }
    const OwnKeys& own_keys() const { return keys_; }

    // easylogging++ calls this (through a trampoline) after closing a log
    // file it rolls over and before reopening it empty.
    void pre_rollout(const char* file, size_t size);

    // Rolls the global level's log file over now, whatever its size: close,
    // pre-roll-out action, reopen. The reopened file is emptied only when
    // its records were moved aside. False when there is no log file.
    bool force_rollover();

    // Moves a log file to its dated name (current local time) in its own
    // folder; 0 when its records are now under the dated name, -1 when not.
    static int rename_log_file(const char* path);

    // At start-up: a log file left at its name by a run that did not shut
    // down cleanly takes the dated name of its modification time. 0 when
    // moved, -1 when there was none or it could not be moved.
    static int move_stale_log_file(const std::string& path = kLogFile);

    // The dated name for a log file at `path` and time `when` (local time),
    // "_N" added before ".log" for N > 0; empty when the time cannot be had.
    static std::string dated_name(const std::string& path, time_t when, unsigned n = 0);

private:
    void rollout_loop(int32_t period_hours);
    void cleaner_loop();
    // Sleeps until `when`; true as soon as the destructor asks to stop.
    bool sleep_until(std::chrono::steady_clock::time_point when);
    void reopen_log_file(bool close_only);

    std::atomic<bool> rolled_over{false};
    std::atomic<bool> stop{false};
    // Set by a roll-over: a stream of records fills the folder faster than
    // a pass a minute cleans it. Under stop_mutex_.
    bool clean_requested = false;
    std::thread rollout_thread;
    std::thread cleaner_thread;
    Logs_Cleaner cleaner;

    const std::string log_file_;
    const Timing timing_;
    OwnKeys keys_;
    State state_ = State::defaults;
    std::mutex stop_mutex_;
    std::condition_variable stop_cv_;
};
