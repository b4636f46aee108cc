#include "Logger.h"

#include "AppLog.h"
#include "LogHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

namespace {

// easylogging++ keeps one pre-roll-out callback for the whole process; it
// reaches the logger object through this handler, which the destructor
// empties so a late roll-over does nothing.
std::mutex rollout_handler_mutex;
std::function<void(const char*, size_t)> rollout_handler;

void rollout_trampoline(const char* file, size_t size)
{
    std::lock_guard<std::mutex> lock(rollout_handler_mutex);
    if (rollout_handler)
        rollout_handler(file, size);
}

void print_line(const std::string& text)
{
    std::cout << text << std::endl;
}

std::string trimmed(std::string text)
{
    return el::base::utils::Str::trim(text);
}

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The configuration file's comment marker; a "##" inside the first quoted
// value of a line does not start a comment (as easylogging++ reads it).
std::string without_comment(const std::string& line)
{
    const size_t quotes_start = line.find('"');
    size_t quotes_end = std::string::npos;
    if (quotes_start != std::string::npos) {
        quotes_end = line.find('"', quotes_start + 1);
        while (quotes_end != std::string::npos && line[quotes_end - 1] == '\\')
            quotes_end = line.find('"', quotes_end + 2);
    }
    size_t at = line.find("##");
    if (at == std::string::npos)
        return line;
    if (quotes_end != std::string::npos && at < quotes_end)
        at = line.find("##", quotes_end + 1);
    return line.substr(0, at);
}

std::string unquoted(const std::string& value)
{
    const size_t start = value.find('"');
    if (start == std::string::npos)
        return value;
    const size_t end = value.find('"', start + 1);
    if (end == std::string::npos || end == start + 1)
        return value;
    return value.substr(start + 1, end - start - 1);
}

long read_long(const std::string& text)
{
    return std::strtol(text.c_str(), nullptr, 10);
}

std::string folder_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// More dated files than this within one second means something else is
// wrong; give up rather than loop.
constexpr unsigned kMaxSuffix = 10000;

bool rename_no_replace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without RENAME_NOREPLACE: check, then rename.
    if (exists(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool copy_contents(int in, int out)
{
    char buf[65536];
    for (;;) {
        ssize_t got = ::read(in, buf, sizeof buf);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out, buf + done, static_cast<size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += put;
        }
    }
}

// Copies `path` to the first free dated name; the original is then emptied
// so its records are not kept twice. False when no copy could be made.
bool copy_aside(const std::string& path, time_t when)
{
    int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    bool copied = false;
    for (unsigned n = 0; n <= kMaxSuffix; ++n) {
        const std::string target = RRM_Logger::dated_name(path, when, n);
        if (target.empty())
            break;
        int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out < 0) {
            if (errno == EEXIST)
                continue;
            break;
        }
        copied = copy_contents(in, out);
        copied = (::close(out) == 0) && copied;
        if (!copied)
            ::unlink(target.c_str());
        break;
    }
    ::close(in);
    if (copied && ::truncate(path.c_str(), 0) != 0) {
        // The records are safe under the dated name; a second copy in the
        // original is the lesser harm.
    }
    return copied;
}

// Where the search for a free dated name starts: a stream of records rolls
// the file over many times within one second, and trying every earlier
// suffix again each time would cost ever more renames.
std::mutex suffix_mutex;
time_t suffix_second = 0;
unsigned suffix_next = 0;

// Moves a log file to the first free dated name for `when`. A file is never
// moved onto an earlier dated file; when it cannot be renamed its records
// are copied aside instead.
bool move_to_dated_name(const std::string& path, time_t when)
{
    unsigned first = 0;
    {
        std::lock_guard<std::mutex> lock(suffix_mutex);
        if (when == suffix_second)
            first = suffix_next;
    }
    for (unsigned n = first; n <= kMaxSuffix; ++n) {
        const std::string target = RRM_Logger::dated_name(path, when, n);
        if (target.empty())
            return false;
        if (rename_no_replace(path, target)) {
            std::lock_guard<std::mutex> lock(suffix_mutex);
            suffix_second = when;
            suffix_next = n + 1;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    return copy_aside(path, when);
}

el::Logger* default_logger()
{
    return el::Loggers::getLogger(el::base::consts::kDefaultLoggerId);
}

// Runs fn(stream, name) on the default logger's global-level log file with
// the locks held that every writer of that file takes: the logger's own,
// the library's global lock and the logger's configuration lock, in the
// order a writer takes them.
template <typename Fn>
bool with_global_log_file(Fn fn)
{
    el::Logger* logger = default_logger();
    if (!logger)
        return false;
    std::lock_guard<el::base::threading::Mutex> logger_lock(logger->lock());
    std::lock_guard<el::base::threading::Mutex> storage_lock(ELPP->lock());
    el::base::TypedConfigurations* tc = logger->typedConfigurations();
    if (!tc)
        return false;
    std::lock_guard<el::base::threading::Mutex> config_lock(tc->lock());
    if (!tc->toFile(el::Level::Global))
        return false;
    el::base::type::fstream_t* fs = tc->fileStream(el::Level::Global);
    if (!fs)
        return false;
    const std::string name = tc->filename(el::Level::Global);
    fn(*fs, name);
    return true;
}

}  // namespace

RRM_Logger::SplitConfig RRM_Logger::split_config(const std::string& text)
{
    SplitConfig out;
    std::istringstream in(text);
    std::string raw;
    std::string level;
    while (std::getline(in, raw)) {
        const std::string line = trimmed(without_comment(trimmed(raw)));
        if (!line.empty() && line[0] == '*') {
            if (line.size() > 2)
                level = trimmed(upper(line.substr(1, line.size() - 2)));
        } else if (!line.empty() && std::isalpha(static_cast<unsigned char>(line[0])) &&
                   line.find('=') != std::string::npos) {
            const size_t eq = line.find('=');
            const std::string key = trimmed(upper(line.substr(0, eq)));
            std::string* own = nullptr;
            if (key == "LOG_FILE_TIMEOUT")
                own = &out.keys.log_file_timeout;
            else if (key == "LCLEANER_MAX_FILES_COUNT")
                own = &out.keys.lcleaner_max_files_count;
            else if (key == "LCLEANER_MAX_FOLDER_SIZE")
                own = &out.keys.lcleaner_max_folder_size;
            else if (key == "LCLEANER_MAX_FILES_AGE")
                own = &out.keys.lcleaner_max_files_age;
            if (own) {
                // Only the global section's value counts; the key is kept
                // away from easylogging++, which would reject it.
                if (level == "GLOBAL")
                    *own = unquoted(trimmed(line.substr(eq + 1)));
                continue;
            }
        }
        out.library_text += raw;
        out.library_text += '\n';
    }
    return out;
}

std::string RRM_Logger::dated_name(const std::string& path, time_t when, unsigned n)
{
    struct tm tm;
    if (!::localtime_r(&when, &tm))
        return std::string();
    char stamp[64];
    if (std::strftime(stamp, sizeof stamp, "%Y.%m.%d_%H.%M.%S", &tm) == 0)
        return std::string();
    std::string name = folder_of(path) + stamp;
    if (n > 0)
        name += "_" + std::to_string(n);
    return name + ".log";
}

int RRM_Logger::rename_log_file(const char* path)
{
    struct stat st;
    if (::stat(path, &st) != 0) {
        print_line(std::string("File '") + path + "' does not exist");
        return -1;
    }
    return move_to_dated_name(path, std::time(nullptr)) ? 0 : -1;
}

int RRM_Logger::move_stale_log_file(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    return move_to_dated_name(path, st.st_mtime) ? 0 : -1;
}

RRM_Logger::RRM_Logger(const std::string& config_file, const std::string& log_file,
                       const Timing& timing)
    : cleaner(0, 0, 0, folder_of(log_file), log_file), log_file_(log_file), timing_(timing)
{
    {
        std::lock_guard<std::mutex> lock(rollout_handler_mutex);
        rollout_handler = [this](const char* file, size_t size) { pre_rollout(file, size); };
    }

    struct stat st;
    if (::stat(config_file.c_str(), &st) != 0) {
        print_line("Logger cfg file does not exist. Using default logger settings.");
        el::Loggers::setVerboseLevel(1);
        el::Loggers::addFlag(el::LoggingFlag::NewLineForContainer);
        state_ = State::defaults;
        apply_log_levels();
        return;
    }

    std::string text;
    {
        std::ifstream file(config_file);
        std::ostringstream buf;
        buf << file.rdbuf();
        text = buf.str();
    }
    SplitConfig split = split_config(text);
    keys_ = split.keys;

    el::Configurations conf;
    conf.setToDefault();
    conf.parseFromText(split.library_text);

    // easylogging++ would also take "TRUE" or "1"; here only the exact
    // text "true" enables a level.
    static const el::Level kLevels[] = {el::Level::Global,  el::Level::Trace, el::Level::Debug,
                                        el::Level::Fatal,   el::Level::Error, el::Level::Warning,
                                        el::Level::Verbose, el::Level::Info};
    bool any_enabled = false;
    for (el::Level level : kLevels) {
        el::Configuration* enabled = conf.get(level, el::ConfigurationType::Enabled);
        if (enabled && enabled->value() == "true")
            any_enabled = true;
    }
    if (!any_enabled) {
        print_line("All log levels disabled.");
        el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
        state_ = State::disabled;
        apply_log_levels();
        return;
    }

    // Judged on the text: easylogging++ itself reads a signed value as 0.
    el::Configuration* max_size = conf.get(el::Level::Global, el::ConfigurationType::MaxLogFileSize);
    const long size = max_size ? read_long(max_size->value()) : 0;
    if (size != 0 && size < kMinLogFileSize) {
        print_line("Too few MAX_LOG_FILE_SIZE, increasing to " + std::to_string(kMinLogFileSize));
        conf.set(el::Level::Global, el::ConfigurationType::MaxLogFileSize,
                 std::to_string(kMinLogFileSize));
    }

    conf.set(el::Level::Global, el::ConfigurationType::Filename, log_file_);
    el::Loggers::setVerboseLevel(9);
    el::Loggers::reconfigureLogger(el::base::consts::kDefaultLoggerId, conf);
    el::Loggers::reconfigureAllLoggers(conf);
    apply_log_levels();
    // easylogging++ shares one stream per file name for the whole process;
    // make sure it is open on the file that now stands at that name.
    reopen_log_file(false);
    el::Helpers::installPreRollOutCallback(rollout_trampoline);
    state_ = State::configured;

    const int32_t hours = static_cast<int32_t>(read_long(keys_.log_file_timeout));
    if (hours > 0)
        rollout_thread = std::thread([this, hours] { rollout_loop(hours); });
    cleaner_thread = std::thread([this] { cleaner_loop(); });

    APP_LOG(Info) << "Start logging.";
}

RRM_Logger::~RRM_Logger()
{
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        stop = true;
    }
    stop_cv_.notify_all();
    if (rollout_thread.joinable())
        rollout_thread.join();
    if (cleaner_thread.joinable())
        cleaner_thread.join();

    try {
        APP_LOG(Info) << "Shutting down.";
        el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
        apply_log_levels();
        if (state_ == State::configured) {
            // No roll-over by size either once the file is let go of below
            // (easylogging++ would take a closed file for a full one).
            el::Loggers::reconfigureAllLoggers(el::ConfigurationType::MaxLogFileSize, "0");
        }
        el::Loggers::flushAll();
        if (state_ == State::configured) {
            rename_log_file(log_file_.c_str());
            // Nothing is logged any more; let go of the moved file.
            reopen_log_file(true);
        }
    } catch (...) {
        // Shutdown goes on whatever the logging library throws.
    }

    std::lock_guard<std::mutex> lock(rollout_handler_mutex);
    rollout_handler = nullptr;
}

void RRM_Logger::pre_rollout(const char* file, size_t)
{
    rolled_over = true;
    rename_log_file(file);
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        clean_requested = true;
    }
    stop_cv_.notify_all();
}

bool RRM_Logger::force_rollover()
{
    return with_global_log_file([](el::base::type::fstream_t& fs, const std::string& name) {
        fs.flush();
        struct stat st;
        const size_t size = ::stat(name.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
        fs.close();
        ELPP->preRollOutCallback()(name.c_str(), size);
        // Records that could not be moved aside stay: reopen for appending.
        const bool kept = ::stat(name.c_str(), &st) == 0 && st.st_size > 0;
        fs.open(name, std::fstream::out | (kept ? std::fstream::app : std::fstream::trunc));
    });
}

void RRM_Logger::reopen_log_file(bool close_only)
{
    with_global_log_file([close_only](el::base::type::fstream_t& fs, const std::string& name) {
        fs.close();
        if (!close_only)
            fs.open(name, std::fstream::out | std::fstream::app);
    });
}

bool RRM_Logger::sleep_until(std::chrono::steady_clock::time_point when)
{
    std::unique_lock<std::mutex> lock(stop_mutex_);
    return stop_cv_.wait_until(lock, when, [this] { return stop.load(); });
}

// Ticks and deadlines are kept on the monotonic clock: a step of the wall
// clock (an NTP correction at boot) neither stalls nor races the threads.
void RRM_Logger::rollout_loop(int32_t period_hours)
{
    using namespace std::chrono;
    // Far beyond any sensible setting, near enough not to overflow.
    const milliseconds cap = duration_cast<milliseconds>(hours(24 * 365 * 50));
    const milliseconds period = std::min<milliseconds>(
        timing_.rollover_hour * static_cast<int64_t>(period_hours), cap);
    const milliseconds tick_step = timing_.rollover_tick;

    auto now = steady_clock::now();
    auto tick = now + tick_step;
    auto deadline = now + period;
    if (stop)
        return;
    for (;;) {
        if (sleep_until(tick))
            return;
        now = steady_clock::now();
        if (rolled_over.exchange(false)) {
            deadline = now + period;
        } else if (now >= deadline) {
            APP_LOG(Info) << "About to rollout log file!";
            if (el::Logger* logger = default_logger())
                logger->flush();
            force_rollover();
            deadline = now + period;
        }
        // Stay on the grid; skip ticks that a slow pass overran.
        do
            tick += tick_step;
        while (tick <= now);
    }
}

void RRM_Logger::cleaner_loop()
{
    using namespace std::chrono;
    cleaner.set_max_files_count(static_cast<uint64_t>(read_long(keys_.lcleaner_max_files_count)));
    cleaner.set_max_folder_size(static_cast<uint64_t>(read_long(keys_.lcleaner_max_folder_size)));
    cleaner.set_max_files_age(static_cast<uint64_t>(read_long(keys_.lcleaner_max_files_age)));
    APP_LOG(Debug) << "Logs_Cleaner params: max_files_count = " << cleaner.get_max_files_count()
                   << " max_folder_size = " << cleaner.get_max_folder_size()
                   << " max_files_age = " << cleaner.get_max_files_age();

    auto due = steady_clock::now() + timing_.cleaner_period;
    auto last_pass = steady_clock::now();
    if (stop)
        return;
    for (;;) {
        {
            // The pass a minute, or sooner after a roll-over (a stream of
            // records would otherwise fill the folder far beyond its limit
            // within the minute), but not more than once per minimum gap.
            std::unique_lock<std::mutex> lock(stop_mutex_);
            for (;;) {
                if (stop)
                    return;
                const auto now = steady_clock::now();
                const auto soonest = last_pass + timing_.cleaner_min_gap;
                if (now >= due || (clean_requested && now >= soonest))
                    break;
                stop_cv_.wait_until(lock, clean_requested ? std::min(due, soonest) : due);
            }
            clean_requested = false;
        }
        cleaner.scan();
        if (cleaner.get_files_count() > 0)
            cleaner.clean();
        const auto now = steady_clock::now();
        last_pass = now;
        while (due <= now)
            due += timing_.cleaner_period;
    }
}
