// The report files' names, the per-domain lock, the date-time and field
// texts of their lines, and the capture and save of one optimisation run.
// The clean-up and the queries are in report_optimize_tpc_dca_cleanup.cpp
// and report_optimize_tpc_dca_queries.cpp.
#include "report_optimize_tpc_dca.h"

#include "ApMap.h"
#include "Config.h"
#include "DomainConfig.h"
#include "Log.h"
#include "MacAddress.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace reports {

namespace {

constexpr int kInvalid = EINVAL;  // 22
constexpr int kStreamFailure = 5;
constexpr char kVersion[] = "1.1";

std::string file_name(const char* function, const std::string& domain, const std::string& path,
                      const char* middle)
{
    if (!rrm::GlobalConfig::is_safe_file_name_part(domain))
        throw std::invalid_argument(std::string(function) + ": Invalid argument 'domain_name'.");
    if (path.empty())
        throw std::invalid_argument(std::string(function) +
                                    ": Invalid argument 'report_files_path'.");
    return path + middle + domain + ".txt";
}

// A radio that the run may change: enabled, with channels to choose from,
// and left to at least one of channel and power planning.
bool is_reported(const rrm::Radio& radio)
{
    return (radio.locked_dca == 0 || radio.locked_tpc == 0) && !radio.available_channels.empty() &&
           radio.status;
}

std::string channels_text(const rrm::Radio& radio)
{
    std::vector<int32_t> channels(radio.available_channels.begin(),
                                  radio.available_channels.end());
    std::sort(channels.begin(), channels.end());
    std::string text;
    for (const int32_t channel : channels) {
        if (!text.empty())
            text += ' ';
        text += std::to_string(channel);
    }
    return text;
}

// Logs a failed file operation: "<what>, errno = N: <text>" with the errno as
// the code when there is one, else "<what>" and 5.
int file_failure(const std::string& what, int error)
{
    if (error != 0) {
        RRM_ERROR("%s, errno = %d: %s", what.c_str(), error, std::strerror(error));
        return error;
    }
    RRM_ERROR("%s", what.c_str());
    return kStreamFailure;
}

// Appends text to file (created when absent) with one write. When the write
// fails the file is cut back to its size before, so no part of the text stays
// for the next run to append to.
int append_whole(const std::string& file, const std::string& text)
{
    errno = 0;
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return file_failure("Cannot open \"" + file + "\" for appending", errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return file_failure("Cannot read the size of \"" + file + "\"", error);
    }
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : 0;
            if (::ftruncate(fd, st.st_size) != 0) {
                const int cut = errno;
                RRM_ERROR("Error while cut back \"%s\" to %lld bytes, errno = %d: %s",
                          file.c_str(), static_cast<long long>(st.st_size), cut,
                          std::strerror(cut));
            }
            ::close(fd);
            return file_failure("Cannot append to \"" + file + "\"", error);
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (::close(fd) != 0)
        return file_failure("Cannot close \"" + file + "\"", errno);
    return 0;
}

int write_radio_report_to_file(const RadioReportMap& map, const std::string& file)
{
    std::ostringstream lines;
    for (const auto& entry : map)
        write_radio_report_line(lines, entry);
    const int code = append_whole(file, lines.str());
    if (code != 0)
        RRM_ERROR("Write radio report to file exit with error code: %d. Filename: \"%s\".", code,
                  file.c_str());
    return code;
}

int write_radio_report_domain_config_to_file(const std::string& start,
                                             const rrm::DomainConfig& config,
                                             const std::string& file)
{
    const int code =
        append_whole(file, std::string(kVersion) + "," + start + "," + config.to_string(",") + "\n");
    if (code != 0)
        RRM_ERROR("Write radio report domain config to file exit with error code: %d. Filename: "
                  "\"%s\".",
                  code, file.c_str());
    return code;
}

int write_radio_report_id_to_file(const std::string& start, const std::string& file)
{
    const int code = append_whole(file, std::string(kVersion) + "," + start + "\n");
    if (code != 0)
        RRM_ERROR("Write radio report id to file exit with error code: %d. Filename: \"%s\".",
                  code, file.c_str());
    return code;
}

}  // namespace

// ---------------------------------------------------------- names and keys

std::string get_report_file_name(const std::string& domain_name,
                                 const std::string& report_files_path)
{
    return file_name(__func__, domain_name, report_files_path, "/report_");
}

std::string get_report_config_file_name(const std::string& domain_name,
                                        const std::string& report_files_path)
{
    return file_name(__func__, domain_name, report_files_path, "/report_cfg_");
}

std::string get_report_index_file_name(const std::string& domain_name,
                                       const std::string& report_files_path)
{
    return file_name(__func__, domain_name, report_files_path, "/report_idx_");
}

std::string create_key_for_domain_radio_report(const std::string& optimize_start_date,
                                               const std::string& ap_mac_str,
                                               const std::string& radio_mac_str)
{
    if (optimize_start_date.empty())
        throw std::invalid_argument(std::string(__func__) +
                                    ": Invalid argument 'optimize_start_date'.");
    if (ap_mac_str.empty())
        throw std::invalid_argument(std::string(__func__) + ": Invalid argument 'ap_mac_str'.");
    if (radio_mac_str.empty())
        throw std::invalid_argument(std::string(__func__) +
                                    ": Invalid argument 'radio_mac_str'.");
    return optimize_start_date + "," + ap_mac_str + "," + radio_mac_str;
}

// --------------------------------------------------------------- the lock

struct ReportFilesLock::Slot {
    std::mutex mutex;
    size_t users = 0;  // holders and waiters; guarded by the table's mutex
};

struct ReportFilesLock::Table {
    std::mutex mutex;
    std::unordered_map<std::string, Slot> slots;
};

ReportFilesLock::Table& ReportFilesLock::table()
{
    // Never destroyed: threads may still save while the process exits.
    static Table* const instance = new Table;
    return *instance;
}

std::string ReportFilesLock::key_of(const std::string& domain_name,
                                    const std::string& report_files_path)
{
    // Validates like the file names do.
    (void)get_report_file_name(domain_name, report_files_path);
    // The files of D are "report_" + P + D + ".txt" with P one of "",
    // "cfg_", "idx_": two domains share a file exactly when one name is
    // the other behind such prefixes ("idx_X"'s report file is "X"'s
    // index file). Both strip to the same name, so they share one lock.
    size_t start = 0;
    while (domain_name.compare(start, 4, "cfg_") == 0 || domain_name.compare(start, 4, "idx_") == 0)
        start += 4;
    return report_files_path + '\0' + domain_name.substr(start);
}

ReportFilesLock::ReportFilesLock(const std::string& domain_name,
                                 const std::string& report_files_path)
    : key_(key_of(domain_name, report_files_path)), slot_(nullptr)
{
    Table& t = table();
    {
        std::lock_guard<std::mutex> guard(t.mutex);
        slot_ = &t.slots[key_];  // elements of an unordered_map never move
        ++slot_->users;
    }
    slot_->mutex.lock();
}

ReportFilesLock::~ReportFilesLock()
{
    slot_->mutex.unlock();
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.mutex);
    if (--slot_->users == 0)
        t.slots.erase(key_);
}

size_t ReportFilesLock::slot_count()
{
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.mutex);
    return t.slots.size();
}

// --------------------------------------------------------- date and time

std::string get_date_time_as_str(time_t t, bool utc)
{
    struct tm tm;
    if (!(utc ? ::gmtime_r(&t, &tm) : ::localtime_r(&t, &tm)))
        return std::string();
    char text[64];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d,%H:%M:%S", &tm);
    return std::string(text, n);
}

std::string get_current_date_time_as_str(bool utc)
{
    return get_date_time_as_str(std::time(nullptr), utc);
}

int parse_date_time_fields_to_time_t(const std::string& text, time_t* t)
{
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    if (!::strptime(text.c_str(), "%Y-%m-%d,%H:%M:%S", &tm)) {
        *t = -1;
        const rrm::PeerText quoted(text);
        RRM_ERROR("Parser error in string: \"%s\".", quoted.c_str());
        return kInvalid;
    }
    *t = ::timegm(&tm);
    if (*t == -1) {
        const rrm::PeerText quoted(text);
        RRM_ERROR("Incorrect data/time in string: \"%s\".", quoted.c_str());
        return kInvalid;
    }
    return 0;
}

// ------------------------------------------------------------ line fields

int get_field_by_num_as_str(std::string_view line, size_t n, std::string& out, char separator,
                            bool allow_empty)
{
    out.clear();
    if (line.empty()) {
        RRM_ERROR("'source' string is empty.");
        return kInvalid;
    }
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t next = line.find(separator, start);
        if (next == std::string_view::npos) {
            const rrm::PeerText quoted(line.data(), line.size());
            RRM_ERROR("Not found field %zu in string: \"%s\".", n, quoted.c_str());
            return kInvalid;
        }
        start = next + 1;
    }
    const size_t end = line.find(separator, start);
    const std::string_view field =
        line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (field.empty() && !allow_empty) {
        const rrm::PeerText quoted(line.data(), line.size());
        if (end != std::string_view::npos)
            RRM_ERROR("Requested empty field %zu in string: \"%s\".", n, quoted.c_str());
        else
            RRM_ERROR("Requested field %zu is empty (string: \"%s\").", n, quoted.c_str());
        return kInvalid;
    }
    out.assign(field);
    return 0;
}

std::pair<std::optional<int>, int> str_to_int_with_log(const std::string& text)
{
    if (text.empty()) {
        RRM_ERROR("String for convert is empty.");
        return {std::nullopt, kInvalid};
    }
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (errno != 0) {
        const int error = errno;
        const rrm::PeerText quoted(text);
        RRM_ERROR("Argument \"%s\" invalid. Error code: %d (%s).", quoted.c_str(), error,
                  std::strerror(error));
        errno = 0;
        return {std::nullopt, error};
    }
    if (value > INT_MAX) {
        const rrm::PeerText quoted(text);
        RRM_ERROR("Argument \"%s\" too big.", quoted.c_str());
        return {std::nullopt, kInvalid};
    }
    if (value < INT_MIN) {
        const rrm::PeerText quoted(text);
        RRM_ERROR("Argument \"%s\" too small.", quoted.c_str());
        return {std::nullopt, kInvalid};
    }
    // The whole text must be the number: an embedded NUL leaves characters
    // behind as much as a trailing letter does.
    if (end != text.c_str() + text.size()) {
        const rrm::PeerText quoted(text);
        RRM_ERROR("Argument \"%s\" inconvertible.", quoted.c_str());
        return {std::nullopt, kInvalid};
    }
    return {static_cast<int>(value), 0};
}

int get_field_by_num_as_int(std::string_view line, size_t n, int& value, char separator)
{
    std::string field;
    const int rc = get_field_by_num_as_str(line, n, field, separator, false);
    if (rc != 0) {
        value = 0;
        return rc;
    }
    const auto [converted, code] = str_to_int_with_log(field);
    if (!converted) {
        const rrm::PeerText quoted(line.data(), line.size());
        RRM_ERROR("Incorrect field %zu in string: \"%s\".", n, quoted.c_str());
        return code;
    }
    value = *converted;
    return 0;
}

int get_date_time_fields_from_file_line_as_str(const std::string& line, std::string* out)
{
    out->clear();
    std::string date;
    int code = get_field_by_num_as_str(line, 1, date, ',', false);
    if (code != 0) {
        const rrm::PeerText quoted(line);
        RRM_ERROR("Not found date in report line: \"%s\".", quoted.c_str());
        return code;
    }
    std::string time;
    code = get_field_by_num_as_str(line, 2, time, ',', false);
    if (code != 0) {
        const rrm::PeerText quoted(line);
        RRM_ERROR("Not found time in report line: \"%s\".", quoted.c_str());
        return code;
    }
    *out = date + "," + time;
    return 0;
}

// ------------------------------------------------------- capture and save

void remember_radio_report_before_optimize(RadioReportMap& map,
                                           const std::string& optimize_start_date,
                                           const rrm::ApMap& aps)
{
    if (optimize_start_date.empty())
        throw std::invalid_argument(std::string(__func__) +
                                    ": Invalid argument 'optimize_start_date'.");
    for (const auto& entry : aps.table) {
        const rrm::ApEntry& ap = *entry.second;
        const std::string ap_mac = rrm::mac_to_string(ap.base_mac);
        for (const rrm::Radio& radio : ap.radios.radios) {
            if (!is_reported(radio))
                continue;
            RadioReport record;
            record.before_power = radio.power;
            record.before_eirp = radio.eirp;
            record.before_channel = radio.channel;
            record.radio_id = static_cast<int32_t>(radio.id);
            record.bandwidth = radio.bandwidth;
            record.max_power = radio.max_power;
            record.min_power = radio.min_power;
            record.eirp_min = radio.eirp_min;
            record.eirp_max = radio.eirp_max;
            record.antenna_gain = radio.antenna_gain;
            record.cable_loss = radio.cable_loss;
            record.primary_channel = radio.primary_channel;
            record.available_channels = channels_text(radio);
            map[create_key_for_domain_radio_report(optimize_start_date, ap_mac,
                                                   rrm::mac_to_string(radio.mac))] =
                std::move(record);
        }
    }
}

void remember_radio_report_after_optimize(RadioReportMap& map,
                                          const std::string& optimize_start_date,
                                          const rrm::ApMap& aps)
{
    if (optimize_start_date.empty())
        throw std::invalid_argument(std::string(__func__) +
                                    ": Invalid argument 'optimize_start_date'.");
    for (const auto& entry : aps.table) {
        const rrm::ApEntry& ap = *entry.second;
        const std::string ap_mac = rrm::mac_to_string(ap.base_mac);
        for (const rrm::Radio& radio : ap.radios.radios) {
            if (!is_reported(radio))
                continue;
            RadioReport& record = map[create_key_for_domain_radio_report(
                optimize_start_date, ap_mac, rrm::mac_to_string(radio.mac))];
            record.after_power = radio.power;
            record.after_eirp = radio.eirp;
            record.after_channel = radio.channel;
        }
    }
}

void write_radio_report_line(std::ostream& out, const RadioReportMap::value_type& entry)
{
    const RadioReport& r = entry.second;
    out << kVersion << ',' << entry.first << ',' << r.before_power << ',' << r.after_power << ','
        << r.before_channel << ',' << r.after_channel << ',' << r.radio_id << ',' << r.bandwidth
        << ',' << r.max_power << ',' << r.min_power << ',' << r.primary_channel << ','
        << r.available_channels << ',' << r.before_eirp << ',' << r.after_eirp << ','
        << r.eirp_min << ',' << r.eirp_max << ',' << r.antenna_gain << ',' << r.cable_loss
        << '\n';
}

void save_radio_report_to_files(const RadioReportMap& map, const std::string& domain_name,
                                const std::string& optimize_start_date,
                                const std::string& report_files_path,
                                const rrm::DomainConfig& domain_config)
{
    const std::string report_file = get_report_file_name(domain_name, report_files_path);
    const std::string config_file = get_report_config_file_name(domain_name, report_files_path);
    const std::string index_file = get_report_index_file_name(domain_name, report_files_path);
    RRM_DEBUG("report_file_name = \"%s\"", report_file.c_str());
    RRM_DEBUG("report_config_file_name = \"%s\"", config_file.c_str());
    RRM_DEBUG("report_index_file_name = \"%s\"", index_file.c_str());
    // Refused before anything is written: the run's lines must not go out
    // without the settings and index lines that name them.
    if (optimize_start_date.empty())
        throw std::invalid_argument(std::string(__func__) +
                                    ": Invalid argument 'optimize_start_date'.");

    int code = 0;
    {
        ReportFilesLock lock(domain_name, report_files_path);
        // A clean-up that stopped half-way is finished or rolled back first:
        // lines appended to its half-committed files would be lost when the
        // next clean-up rolls them back, and a file it had moved aside would
        // be started anew.
        if ((code = finish_interrupted_rewrite(domain_name, report_files_path)) != 0)
            RRM_DEBUG("Error call 'finish_interrupted_rewrite'.");
        else if ((code = write_radio_report_to_file(map, report_file)) != 0)
            RRM_DEBUG("Error call 'write_radio_report_to_file'.");
        else if ((code = write_radio_report_domain_config_to_file(optimize_start_date,
                                                                  domain_config, config_file)) != 0)
            RRM_DEBUG("Error call 'write_radio_report_domain_config_to_file'.");
        else if ((code = write_radio_report_id_to_file(optimize_start_date, index_file)) != 0)
            RRM_DEBUG("Error call 'write_radio_report_id_to_file'.");
    }
    if (code != 0) {
        RRM_ERROR("Error while save radio report for domain: \"%s\". Report date: \"%s\". Exit "
                  "code: %d.",
                  domain_name.c_str(), optimize_start_date.c_str(), code);
        rrm::notify_event(rrm::EVENT_REPORT_SAVE_FAILED,
                          std::make_shared<std::string>(domain_name));
    }
}

}  // namespace reports
