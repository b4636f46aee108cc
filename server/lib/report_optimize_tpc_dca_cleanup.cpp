// The daily clean-up of the report files: the alarm, the copy of the lines
// that stay, and the per-domain rewrite through work files and markers, so
// that an interrupted rewrite is rolled back or completed by the next one.
#include "report_optimize_tpc_dca.h"

#include "Config.h"
#include "FolderFiles.h"
#include "Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace reports {

namespace {

constexpr int kInvalid = EINVAL;  // 22
constexpr int kStreamFailure = 5;

void check_arguments(const char* function, const std::string& domain, const std::string& path)
{
    if (!rrm::GlobalConfig::is_safe_file_name_part(domain))
        throw std::invalid_argument(std::string(function) + ": Invalid argument 'domain_name'.");
    if (path.empty())
        throw std::invalid_argument(std::string(function) + ": Invalid argument 'files_path'.");
}

bool exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// 0, or errno after the Error record.
int remove_file(const std::string& path)
{
    if (std::remove(path.c_str()) == 0)
        return 0;
    const int error = errno;
    RRM_ERROR("Error while delete \"%s\", errno = %d: %s", path.c_str(), error,
              std::strerror(error));
    return error;
}

// Makes the folder's entries (creations, renames, deletions) durable: what
// the steps after this rely on survives a power cut. 0, or errno after the
// Error record.
int sync_reports_folder(const std::string& path)
{
    const int error = rrm::sync_folder(path);
    if (error != 0)
        RRM_ERROR("Error while sync \"%s\", errno = %d: %s", path.c_str(), error,
                  std::strerror(error));
    return error;
}

int rename_file(const std::string& from, const std::string& to, const char* purpose)
{
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return 0;
    const int error = errno;
    RRM_ERROR("Error while rename \"%s\" for %s, errno = %d: %s", from.c_str(), purpose, error,
              std::strerror(error));
    return error;
}

// A failed operation on a work file, with its errno.
struct WorkFileError : std::runtime_error {
    WorkFileError(const std::string& what, int error_) : std::runtime_error(what), error(error_) {}
    int error;
};

// The .tmp copy of one report file: created (truncated) at the first line
// or at the end, written in blocks, synced and closed by finish(). A failed
// operation throws WorkFileError, which the copy reports like a stream
// failure.
class WorkFile {
public:
    explicit WorkFile(std::string name) : name_(std::move(name)) {}
    ~WorkFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;

    void append(const std::string& line)
    {
        open();
        buffer_ += line;
        buffer_ += '\n';
        if (buffer_.size() >= kBlock)
            flush();
    }
    void finish()
    {
        open();
        flush();
        if (::fsync(fd_) != 0)
            fail("Cannot sync");
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0)
            fail("Cannot close");
    }

private:
    static constexpr size_t kBlock = 32 * 1024;

    [[noreturn]] void fail(const char* what)
    {
        const int error = errno;
        throw WorkFileError(std::string(what) + " \"" + name_ + "\"", error);
    }
    void open()
    {
        if (fd_ >= 0)
            return;
        // One block and a line or two: the buffer never grows by doubling.
        buffer_.reserve(kBlock + 4096);
        fd_ = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0)
            fail("Cannot create");
    }
    void flush()
    {
        size_t done = 0;
        while (done < buffer_.size()) {
            const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    errno = EIO;
                fail("Cannot write");
            }
            done += static_cast<size_t>(n);
        }
        buffer_.clear();
    }

    std::string name_;
    std::string buffer_;
    int fd_ = -1;
};

struct DomainFiles {
    std::string folder, report, index, config, start_marker, done_marker;

    DomainFiles(const std::string& domain, const std::string& path)
        : folder(path),
          report(get_report_file_name(domain, path)),
          index(get_report_index_file_name(domain, path)),
          config(get_report_config_file_name(domain, path)),
          start_marker(report + ".start_status"),
          done_marker(report + ".done_status")
    {
    }
    // In the order every step handles them.
    const std::string* ordered[3] = {&index, &config, &report};
};

// The process-wide memory of the alarm: the UTC day on which it last fired.
std::atomic<int64_t> last_fired_utc_day{INT64_MIN};

}  // namespace

int parse_time_of_day(const std::string& text, int* minutes)
{
    std::istringstream in(text);
    int hours = -1;
    int mins = -1;
    char colon = 0;
    if (!(in >> hours) || !(in >> colon) || !(in >> mins) || colon != ':' || hours < 0 ||
        hours > 23 || mins < 0 || mins > 59)
        return kInvalid;
    *minutes = hours * 60 + mins;
    return 0;
}

int64_t utc_day_stamp(const struct tm& utc)
{
    return static_cast<int64_t>(utc.tm_year + 1900) * 512 + utc.tm_yday;
}

int check_report_alarm_clock(const std::string& time_utc, bool& fire, time_t now,
                             int64_t& last_fired_day)
{
    fire = false;
    int trigger = 0;
    if (parse_time_of_day(time_utc, &trigger) != 0) {
        RRM_ERROR("Incorrect time in report_delete_at_time_utc: \"%s\".", time_utc.c_str());
        rrm::notify_event(rrm::EVENT_REPORT_ALARM_TIME_INVALID,
                          std::make_shared<std::string>(time_utc));
        return kInvalid;
    }
    struct tm utc;
    if (!::gmtime_r(&now, &utc)) {
        const int error = errno;
        RRM_ERROR("Report alarm check: gmtime_r failed for timestamp %lld (errno=%d: %s)",
                  static_cast<long long>(now), error, std::strerror(error));
        return 0;
    }
    const int current_minute = utc.tm_hour * 60 + utc.tm_min;
    const int64_t today = utc_day_stamp(utc);
    RRM_DEBUG("Report alarm check: cfg=\"%s\" trigger=%02d:%02d now_utc=%04d-%02d-%02d "
              "%02d:%02d cur_min=%d trigger_min=%d last_fired_day=%ld current_day=%ld "
              "already_fired_today=%d",
              time_utc.c_str(), trigger / 60, trigger % 60, utc.tm_year + 1900, utc.tm_mon + 1,
              utc.tm_mday, utc.tm_hour, utc.tm_min, current_minute, trigger,
              static_cast<long>(last_fired_day), static_cast<long>(today),
              last_fired_day == today ? 1 : 0);
    if (current_minute >= trigger && today != last_fired_day) {
        last_fired_day = today;
        fire = true;
        RRM_INFO("Report alarm fired: trigger=\"%s\" UTC, last_fired_utc_day updated to %ld.",
                 time_utc.c_str(), static_cast<long>(today));
    }
    return 0;
}

int check_report_alarm_clock_every_min(const std::string& time_utc, bool& fire)
{
    int64_t last = last_fired_utc_day.load();
    const int result = check_report_alarm_clock(time_utc, fire, std::time(nullptr), last);
    if (fire)
        last_fired_utc_day.store(last);
    return result;
}

int copy_new_reports_from_one_file(time_t now, int days_to_live, const std::string& filename,
                                   int& dropped)
{
    dropped = 0;
    if (filename.empty())
        throw std::invalid_argument(std::string(__func__) + ": Invalid argument 'filename'.");
    if (days_to_live == 0)
        throw std::invalid_argument(std::string(__func__) +
                                    ": Invalid argument 'days_to_live_of_report'.");
    RRM_DEBUG("Check old reports in file: \"%s\"", filename.c_str());

    const int64_t limit = static_cast<uint32_t>(days_to_live) * 86400u;
    std::ifstream in;
    in.exceptions(std::ios::failbit | std::ios::badbit);
    // Truncated when opened: a copy left by an earlier run that stopped
    // half-way never reaches a commit.
    WorkFile out(filename + ".tmp");
    errno = 0;
    try {
        in.open(filename);
        std::string line;
        for (;;) {
            try {
                std::getline(in, line);
            } catch (const std::ios::failure&) {
                if (in.eof() && !in.bad())
                    break;
                throw;
            }
            std::string stamp;
            time_t t = -1;
            if (get_date_time_fields_from_file_line_as_str(line, &stamp) != 0 ||
                parse_date_time_fields_to_time_t(stamp, &t) != 0) {
                ++dropped;
                RRM_ERROR("Incorrect report data/time in file: \"%s\", line: \"%s\".",
                          filename.c_str(), line.c_str());
                continue;
            }
            if (static_cast<int64_t>(now) - t > limit || t - now > 0) {
                ++dropped;
                continue;
            }
            out.append(line);
        }
        // Every copy leaves its work file, also when no line stays, so the
        // commit replaces the file (emptied) in every case; on disk before
        // the commit renames it over the file.
        out.finish();
        return 0;
    } catch (const std::exception& e) {
        int code = kStreamFailure;
        const auto* work = dynamic_cast<const WorkFileError*>(&e);
        const int error = work ? work->error : errno;
        if (error != 0) {
            code = error;
            RRM_ERROR("%s, errno = %d: %s", e.what(), code, std::strerror(code));
        } else {
            RRM_ERROR("%s", e.what());
        }
        RRM_ERROR("Copy new reports from file: \"%s\" exit with error code: %d.",
                  filename.c_str(), code);
        return code;
    }
}

namespace {

// The recovery itself, with the domain's lock held.
int recover(const std::string& domain_name, const DomainFiles& files)
{
    int code = 0;
    if (exists(files.done_marker)) {
        // The commit was complete: only the previous files are left over.
        for (const std::string* file : files.ordered)
            if (exists(*file + ".old") && (code = remove_file(*file + ".old")) != 0)
                break;
        if (code == 0)
            code = remove_file(files.done_marker);
        if (code == 0) {
            RRM_INFO("Clean reports repository for domain: \"%s\" succesfull.",
                     domain_name.c_str());
            return 0;
        }
    } else if (exists(files.start_marker)) {
        // The commit may be partial: back to the previous files.
        for (const std::string* file : files.ordered)
            if (exists(*file + ".tmp") && (code = remove_file(*file + ".tmp")) != 0)
                break;
        if (code == 0)
            for (const std::string* file : files.ordered)
                if (exists(*file + ".old") &&
                    (code = rename_file(*file + ".old", *file, "commit")) != 0)
                    break;
        // The marker goes only once the old set is back on disk: without
        // it a power cut could leave a set that no run would repair.
        if (code == 0)
            code = sync_reports_folder(files.folder);
        if (code == 0)
            code = remove_file(files.start_marker);
        if (code == 0) {
            RRM_INFO("Rollback reports repository for domain: \"%s\" succesfull.",
                     domain_name.c_str());
            return 0;
        }
    } else {
        RRM_DEBUG("Already clean reports repository of domain: \"%s\".", domain_name.c_str());
        return 0;
    }
    RRM_ERROR("Reports files recovery procedure for domain: \"%s\" exit with error code: %d.",
              domain_name.c_str(), code);
    return code;
}

// A rewrite that a marker shows as interrupted, finished or rolled back
// (with the domain's lock held): 0 when there was none or it is recovered.
int finish_interrupted(const std::string& domain_name, const DomainFiles& files)
{
    if (!exists(files.start_marker) && !exists(files.done_marker))
        return 0;
    RRM_WARNING("Detected unclean reports repository for domain: \"%s\". Started "
                "rollback/recovery procedure.",
                domain_name.c_str());
    const int code = recover(domain_name, files);
    if (code != 0)
        RRM_ERROR("Rollback/recovery procedure fail for domain: \"%s\" exit with error "
                  "code: %d.",
                  domain_name.c_str(), code);
    return code;
}

}  // namespace

int reports_recovery_procedure_in_domain(const std::string& domain_name,
                                         const std::string& files_path)
{
    check_arguments(__func__, domain_name, files_path);
    const DomainFiles files(domain_name, files_path);
    ReportFilesLock lock(domain_name, files_path);
    return recover(domain_name, files);
}

int finish_interrupted_rewrite(const std::string& domain_name, const std::string& files_path)
{
    check_arguments(__func__, domain_name, files_path);
    return finish_interrupted(domain_name, DomainFiles(domain_name, files_path));
}

int delete_old_reports_in_domain(const std::string& domain_name, int days_to_live,
                                 const std::string& files_path)
{
    check_arguments(__func__, domain_name, files_path);
    const DomainFiles files(domain_name, files_path);
    // Held from the first look at the files to the last rename, so that no
    // save lands between the copy and the commit and no query sees the files
    // half-renamed.
    ReportFilesLock lock(domain_name, files_path);
    const time_t now = std::time(nullptr);

    if (const int code = finish_interrupted(domain_name, files))
        return code;
    // Also after a recovery: what it left may be an incomplete set, which a
    // rewrite would fail on (and roll back) every day.
    const bool r = exists(files.report), i = exists(files.index), c = exists(files.config);
    if (!r && !i && !c)
        return 0;
    if (!(r && i && c)) {
        // An incomplete set cannot be read back: it goes whole.
        for (const std::string* file : {&files.report, &files.index, &files.config}) {
            if (!exists(*file))
                continue;
            if (const int code = remove_file(*file))
                return code;
            RRM_WARNING("Delete inconsistent file \"%s\" successfully.", file->c_str());
        }
        return 0;
    }

    {
        std::ofstream marker(files.start_marker, std::ios::out | std::ios::trunc);
        if (!marker.good()) {
            RRM_ERROR("Error while create file \"%s\".", files.start_marker.c_str());
            return kStreamFailure;
        }
    }
    int dropped = 0;
    if (const int code = copy_new_reports_from_one_file(now, days_to_live, files.index, dropped))
        return code;
    if (dropped == 0) {
        // Nothing is old: the files stay as they are.
        int result = 0;
        if (exists(files.index + ".tmp"))
            if (const int code = remove_file(files.index + ".tmp"))
                result = code;
        if (const int code = remove_file(files.start_marker))
            result = code;
        return result;
    }
    for (const std::string* file : {&files.config, &files.report})
        if (const int code = copy_new_reports_from_one_file(now, days_to_live, *file, dropped))
            return code;
    // What survives a power cut must tell the next run the way: the start
    // marker and the synced copies are on disk before any file is moved,
    // every move before the done marker, and the done marker before any old
    // file goes.
    if (const int code = sync_reports_folder(files.folder))
        return code;
    for (const std::string* file : files.ordered)
        if (const int code = rename_file(*file, *file + ".old", "backup"))
            return code;
    for (const std::string* file : files.ordered)
        if (const int code = rename_file(*file + ".tmp", *file, "commit"))
            return code;
    if (const int code = sync_reports_folder(files.folder))
        return code;
    if (const int code = rename_file(files.start_marker, files.done_marker, "change status"))
        return code;
    if (const int code = sync_reports_folder(files.folder))
        return code;
    for (const std::string* file : files.ordered)
        if (const int code = remove_file(*file + ".old"))
            return code;
    if (const int code = remove_file(files.done_marker))
        return code;
    return 0;
}

}  // namespace reports
