// The management queries on the report files: one report by its id, the
// newest report of a domain, and the list of a domain's reports between two
// UTC times. They only read the files, under the domain's report lock.
#include "report_optimize_tpc_dca.h"

#include "Config.h"
#include "DomainConfig.h"
#include "JsonWriter.h"
#include "Log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

namespace reports {

namespace {

constexpr int kInvalid = EINVAL;  // 22
constexpr int kStreamFailure = 5;
constexpr char kVersion[] = "1.1";
// Longest tail of the index file searched for its last line; an index line
// is 23 bytes.
constexpr std::streamoff kLastLineLimit = 4096;

// A stream failure other than the end of the input, logged; its code.
int stream_failure(const std::exception& e)
{
    const int error = errno;
    if (error != 0) {
        RRM_ERROR("%s, errno = %d: %s", e.what(), error, std::strerror(error));
        errno = 0;
        return error;
    }
    RRM_ERROR("%s", e.what());
    return kStreamFailure;
}

// Opens file for reading; a file that cannot be opened throws like any other
// stream failure, with errno telling why.
void open_for_reading(std::ifstream& in, const std::string& file)
{
    in.exceptions(std::ios::failbit | std::ios::badbit);
    errno = 0;
    in.open(file, std::ios::in | std::ios::binary);
}

// The next line; false at the end of the input. Other failures throw.
bool next_line(std::ifstream& in, std::string& line)
{
    try {
        std::getline(in, line);
        return true;
    } catch (const std::exception&) {
        if (in.eof() && !in.bad())
            return false;
        throw;
    }
}

bool file_exists(const std::string& file, off_t* size = nullptr)
{
    struct stat st;
    if (::stat(file.c_str(), &st) != 0)
        return false;
    if (size)
        *size = st.st_size;
    return true;
}

int add_int_field(const std::string& line, size_t n, rrm::JsonWriter& object, const char* key,
                  int& number)
{
    number = 0;
    const int code = get_field_by_num_as_int(line, n, number, ',');
    object.add_int(key, number);
    return code;
}

// "date,time,domain[,...]": the domain is field 2, the date-time text all
// before the second comma.
int get_fields_from_report_id(const std::string& report_id, std::string& domain,
                              std::string& date_time)
{
    int code = get_field_by_num_as_str(report_id, 2, domain, ',', false);
    if (code != 0) {
        const rrm::PeerText id(report_id);
        RRM_ERROR("Not found domain name in 'report_id': \"%s\".", id.c_str());
        return code;
    }
    if (!rrm::GlobalConfig::is_safe_file_name_part(domain)) {
        // It would name files outside the reports folder.
        const rrm::PeerText id(report_id);
        RRM_ERROR("Incorrect domain name in 'report_id': \"%s\".", id.c_str());
        return kInvalid;
    }
    date_time = report_id.substr(0, report_id.find(',', report_id.find(',') + 1));
    time_t t = -1;
    if (parse_date_time_fields_to_time_t(date_time, &t) != 0) {
        const rrm::PeerText id(report_id);
        RRM_ERROR("Incorrect data/time in 'report_id': \"%s\".", id.c_str());
        return kInvalid;
    }
    return 0;
}

// The settings line of the run, found under the domain's lock.
int find_config_line(const std::string& file, const std::string& date_time, bool& opened,
                     std::string& found)
{
    opened = false;
    try {
        std::ifstream in;
        open_for_reading(in, file);
        opened = true;
        std::string line, line_date_time;
        while (next_line(in, line)) {
            if (get_date_time_fields_from_file_line_as_str(line, &line_date_time) != 0) {
                const rrm::PeerText quoted_file(file), quoted_line(line);
                RRM_ERROR("Not found report data/time in file: \"%s\", line: \"%s\".",
                          quoted_file.c_str(), quoted_line.c_str());
                return kStreamFailure;
            }
            if (line_date_time == date_time) {
                found = line;
                return 0;
            }
        }
        return kInvalid;
    } catch (const std::exception& e) {
        return stream_failure(e);
    }
}

int get_radio_report_domain_config(rrm::JsonWriter& report, const std::string& report_id,
                                   const std::string& domain, const std::string& date_time,
                                   const std::string& report_files_path)
{
    const std::string file = get_report_config_file_name(domain, report_files_path);
    bool opened = false;
    std::string line;
    int code = 0;
    {
        ReportFilesLock lock(domain, report_files_path);
        code = find_config_line(file, date_time, opened, line);
    }
    // Read back after the lock is released: a bad row raises an event.
    if (opened) {
        rrm::JsonWriter config_object = report.add_object("domain_config");
        if (code == 0) {
            rrm::DomainConfig config;
            if (config.from_string(line, 3, ',') != 0) {
                const rrm::PeerText quoted(line);
                RRM_ERROR("Report parser error in string: \"%s\".", quoted.c_str());
                code = kStreamFailure;
            } else {
                config.to_json(config_object);
            }
        }
    }
    if (code != 0) {
        const rrm::PeerText id(report_id), quoted_domain(domain), date(date_time),
            quoted_file(file);
        RRM_ERROR("Domain config for report not found. Report Id: \"%s\". Domain: \"%s\". Report "
                  "date: \"%s\". File: \"%s\".",
                  id.c_str(), quoted_domain.c_str(), date.c_str(), quoted_file.c_str());
    }
    return code;
}

// The run's lines, one "details" element per AP (its lines are adjacent).
int read_report_data(rrm::JsonWriter& report, const std::string& file,
                     const std::string& date_time)
{
    std::ifstream in;
    open_for_reading(in, file);
    rrm::JsonWriter details = report.add_array("details");
    // Placeholders until the first AP: each new AP's writers take their
    // place by move assignment.
    rrm::JsonWriter element("");
    rrm::JsonWriter radios("");
    bool started = false;
    std::string line, line_date_time, ap_mac, previous_ap_mac, text;
    int number = 0;
    while (next_line(in, line)) {
        if (get_date_time_fields_from_file_line_as_str(line, &line_date_time) != 0) {
            const rrm::PeerText quoted_file(file), quoted_line(line);
            if (!started) {
                RRM_ERROR("Not found report data/time in file: \"%s\", line: \"%s\".",
                          quoted_file.c_str(), quoted_line.c_str());
                return kStreamFailure;
            }
            RRM_DEBUG("Report loaded, but not found report data/time in file: \"%s\", line: "
                      "\"%s\".",
                      quoted_file.c_str(), quoted_line.c_str());
            break;
        }
        if (line_date_time != date_time) {
            if (started)
                break;
            continue;
        }
        started = true;
        if (get_field_by_num_as_str(line, 3, ap_mac, ',', false) != 0) {
            const rrm::PeerText quoted(line);
            RRM_ERROR("Not found AP MAC-address in report line: \"%s\".", quoted.c_str());
            return kStreamFailure;
        }
        if (previous_ap_mac.empty() || ap_mac != previous_ap_mac) {
            element = details.add_object("");
            element.add_string("ap_mac", ap_mac.c_str());
            radios = element.add_array("radio_interfaces");
            previous_ap_mac = ap_mac;
        }
        rrm::JsonWriter entry = radios.add_object("");
        if (read_all_report_fields_from_string(line, entry, text, number) != 0) {
            const rrm::PeerText quoted(line);
            RRM_ERROR("Report parser error in string: \"%s\".", quoted.c_str());
            return kStreamFailure;
        }
    }
    return started ? 0 : kInvalid;
}

int get_radio_report_data(rrm::JsonWriter& report, const std::string& report_id,
                          const std::string& domain, const std::string& date_time,
                          const std::string& report_files_path)
{
    const std::string file = get_report_file_name(domain, report_files_path);
    int code = 0;
    {
        ReportFilesLock lock(domain, report_files_path);
        try {
            code = read_report_data(report, file, date_time);
        } catch (const std::exception& e) {
            code = stream_failure(e);
        }
    }
    if (code != 0) {
        const rrm::PeerText id(report_id), quoted_domain(domain), date(date_time),
            quoted_file(file);
        RRM_ERROR("Report data not found. Report Id: \"%s\". Domain: \"%s\". Report date: "
                  "\"%s\". File: \"%s\".",
                  id.c_str(), quoted_domain.c_str(), date.c_str(), quoted_file.c_str());
    }
    return code;
}

// The last line of the index file: the text after the last line feed that is
// not the file's final byte. A last line that lost its line feed (a write cut
// short) is still the last line.
void read_last_line(const std::string& file, std::string& line)
{
    line.clear();
    std::ifstream in;
    open_for_reading(in, file);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size <= 0)
        return;
    char last = 0;
    in.seekg(size - 1);
    in.get(last);
    const std::streamoff end = last == '\n' ? size - 1 : size;
    const std::streamoff from = std::max<std::streamoff>(0, end - kLastLineLimit);
    std::string tail(static_cast<size_t>(end - from), '\0');
    in.seekg(from);
    in.read(&tail[0], static_cast<std::streamsize>(tail.size()));
    const size_t feed = tail.rfind('\n');
    line = feed == std::string::npos ? tail : tail.substr(feed + 1);
}

// "%Y-%m-%d,%H:%M:%S UTC" as a time.
int get_utc_timestamp_from_string(const std::string& text, time_t* t)
{
    const rrm::PeerText quoted(text);
    if (text.size() != 23) {
        RRM_ERROR("Incorrect text length in: \"%s\".", quoted.c_str());
        return kInvalid;
    }
    if (text.compare(19, 4, " UTC") != 0) {
        RRM_ERROR("Expected UTC timezone in: \"%s\".", quoted.c_str());
        return kInvalid;
    }
    const int code = parse_date_time_fields_to_time_t(text.substr(0, 19), t);
    if (code != 0)
        RRM_ERROR("Incorrect data/time in: \"%s\".", quoted.c_str());
    return code;
}

}  // namespace

int read_all_report_fields_from_string(const std::string& line, rrm::JsonWriter& entry,
                                       std::string& text, int& number)
{
    int sum = add_int_field(line, 9, entry, "radio_id", number);
    sum += get_field_by_num_as_str(line, 4, text, ',', false);
    entry.add_string("radio_mac", text.c_str());
    std::string version;
    sum += get_field_by_num_as_str(line, 0, version, ',', false);
    const bool current = version == kVersion;

    rrm::JsonWriter before = entry.add_object("before");
    sum += add_int_field(line, 5, before, "power", number);
    sum += add_int_field(line, 7, before, "channel", number);
    if (current)
        sum += add_int_field(line, 15, before, "eirp", number);
    rrm::JsonWriter after = entry.add_object("after");
    sum += add_int_field(line, 6, after, "power", number);
    sum += add_int_field(line, 8, after, "channel", number);
    if (current)
        sum += add_int_field(line, 16, after, "eirp", number);
    sum += add_int_field(line, 10, entry, "bandwidth", number);
    sum += add_int_field(line, 11, entry, "max_power", number);
    sum += add_int_field(line, 12, entry, "min_power", number);
    sum += add_int_field(line, 13, entry, "primary_channel", number);

    // A radio that only qualified after the run has none: an empty list.
    rrm::JsonWriter channels = entry.add_array("available_channels");
    sum += get_field_by_num_as_str(line, 14, text, ',', true);
    for (size_t from = 0; !text.empty() && from <= text.size();) {
        size_t blank = text.find(' ', from);
        if (blank == std::string::npos)
            blank = text.size();
        const auto [value, code] = str_to_int_with_log(text.substr(from, blank - from));
        channels.add_int("", value.value_or(0));
        sum += code;
        from = blank + 1;
    }

    if (current) {
        sum += add_int_field(line, 17, entry, "eirp-min", number);
        sum += add_int_field(line, 18, entry, "eirp-max", number);
        rrm::JsonWriter antenna = entry.add_object("antenna-configuration");
        sum += add_int_field(line, 19, antenna, "antenna-gain", number);
        sum += add_int_field(line, 20, antenna, "cable-loss", number);
    }
    return sum;
}

int get_radio_report(rrm::JsonWriter& writer, const std::string& report_id,
                     const std::string& report_files_path)
{
    rrm::JsonWriter report = writer.add_object("report");
    std::string domain, date_time;
    int code = 0;
    if (report_id.empty()) {
        RRM_ERROR("Argument 'report_id' is empty.");
        code = kInvalid;
    } else if (report_files_path.empty()) {
        RRM_ERROR("Argument 'report_files_path' is empty.");
        code = kInvalid;
    } else if ((code = get_fields_from_report_id(report_id, domain, date_time)) != 0) {
        RRM_DEBUG("Error call 'get_fields_from_report_id'.");
    } else {
        report.add_string("id", report_id.c_str());
        report.add_string("domain", domain.c_str());
        report.add_string("date", (date_time + " UTC").c_str());
        if ((code = get_radio_report_domain_config(report, report_id, domain, date_time,
                                                   report_files_path)) != 0)
            RRM_DEBUG("Error call 'get_radio_report_domain_config'.");
        else if ((code = get_radio_report_data(report, report_id, domain, date_time,
                                               report_files_path)) != 0)
            RRM_DEBUG("Error call 'get_radio_report_data'.");
    }
    if (code != 0) {
        const rrm::PeerText id(report_id), quoted_domain(domain), date(date_time);
        RRM_ERROR("Report not found. Report Id: \"%s\". Domain: \"%s\". Report date: \"%s\". "
                  "Exit code: %d.",
                  id.c_str(), quoted_domain.c_str(), date.c_str(), code);
        rrm::notify_event(rrm::EVENT_REPORT_NOT_FOUND, std::make_shared<std::string>(report_id));
    }
    return code;
}

int get_last_radio_report(rrm::JsonWriter& writer, const std::string& domain_name,
                          const std::string& report_files_path, bool domain_exists)
{
    int code = 0;
    if (domain_name.empty()) {
        RRM_ERROR("Argument 'domain_name' empty.");
        code = kInvalid;
    } else if (report_files_path.empty()) {
        RRM_ERROR("Argument 'report_files_path' empty.");
        code = kInvalid;
    } else if (!rrm::GlobalConfig::is_safe_file_name_part(domain_name)) {
        const rrm::PeerText quoted(domain_name);
        RRM_ERROR("Argument 'domain_name' invalid: \"%s\".", quoted.c_str());
        code = kInvalid;
    } else {
        const std::string file = get_report_index_file_name(domain_name, report_files_path);
        std::string line;
        bool none = false;
        {
            ReportFilesLock lock(domain_name, report_files_path);
            off_t size = 0;
            if (domain_exists && (!file_exists(file, &size) || size < 2)) {
                none = true;
            } else {
                try {
                    read_last_line(file, line);
                } catch (const std::exception& e) {
                    code = stream_failure(e);
                }
            }
        }
        if (none) {
            const rrm::PeerText quoted(domain_name);
            RRM_DEBUG("No reports for domain: \"%s\".", quoted.c_str());
            return 0;
        }
        std::string date_time;
        time_t t = -1;
        if (code == 0 && (get_date_time_fields_from_file_line_as_str(line, &date_time) != 0 ||
                          parse_date_time_fields_to_time_t(date_time, &t) != 0)) {
            const rrm::PeerText quoted_file(file), quoted_line(line);
            RRM_ERROR("Incorrect report data/time in file: \"%s\", line: \"%s\".",
                      quoted_file.c_str(), quoted_line.c_str());
            code = kStreamFailure;
        }
        if (code == 0 &&
            (code = get_radio_report(writer, date_time + "," + domain_name, report_files_path)) !=
                0)
            RRM_DEBUG("Error call 'reports::get_radio_report'. Exit code: %d.", code);
    }
    if (code != 0) {
        const rrm::PeerText quoted(domain_name);
        RRM_ERROR("Query last radio report exit with error code: %d. Domain: \"%s\".", code,
                  quoted.c_str());
        rrm::notify_event(rrm::EVENT_REPORT_LAST_FAILED,
                          std::make_shared<std::string>(domain_name));
    }
    return code;
}

int get_radio_report_list(rrm::JsonWriter& writer, const std::string& domain_name,
                          const std::string& report_files_path, const std::string& date_start,
                          const std::string& date_finish, bool domain_exists)
{
    int code = 0;
    time_t start = -1, finish = -1;
    if (domain_name.empty()) {
        RRM_ERROR("Argument 'domain_name' empty.");
        code = kInvalid;
    } else if (report_files_path.empty()) {
        RRM_ERROR("Argument 'report_files_path' empty.");
        code = kInvalid;
    } else if (date_start.empty()) {
        RRM_ERROR("Argument 'date_start' empty.");
        code = kInvalid;
    } else if (date_finish.empty()) {
        RRM_ERROR("Argument 'date_finish' empty.");
        code = kInvalid;
    } else if (!rrm::GlobalConfig::is_safe_file_name_part(domain_name)) {
        const rrm::PeerText quoted(domain_name);
        RRM_ERROR("Argument 'domain_name' invalid: \"%s\".", quoted.c_str());
        code = kInvalid;
    } else if ((code = get_utc_timestamp_from_string(date_start, &start)) != 0) {
        const rrm::PeerText quoted(date_start);
        RRM_ERROR("Incorrect data/time for 'date_start' in reports query (\"%s\").",
                  quoted.c_str());
    } else if ((code = get_utc_timestamp_from_string(date_finish, &finish)) != 0) {
        const rrm::PeerText quoted(date_finish);
        RRM_ERROR("Incorrect data/time for 'date_finish' in reports query (\"%s\").",
                  quoted.c_str());
    } else if (!(finish > start)) {
        // Both are 23 bytes here.
        RRM_ERROR("'date_start' in reports query must < 'date_finish' (date_start = \"%s\", "
                  "date_finish = \"%s\").",
                  date_start.c_str(), date_finish.c_str());
        code = kInvalid;
    } else {
        const std::string file = get_report_index_file_name(domain_name, report_files_path);
        ReportFilesLock lock(domain_name, report_files_path);
        if (domain_exists && !file_exists(file)) {
            const rrm::PeerText quoted(domain_name);
            RRM_DEBUG("No reports for domain: \"%s\".", quoted.c_str());
            writer.add_array("data");
            writer.add_int("count", 0);
            return 0;
        }
        int count = 0;
        try {
            std::ifstream in;
            open_for_reading(in, file);
            rrm::JsonWriter data = writer.add_array("data");
            std::string line, date_time;
            while (next_line(in, line)) {
                time_t t = -1;
                if (get_date_time_fields_from_file_line_as_str(line, &date_time) != 0 ||
                    parse_date_time_fields_to_time_t(date_time, &t) != 0) {
                    const rrm::PeerText quoted_file(file), quoted_line(line);
                    RRM_ERROR("Incorrect report data/time in file: \"%s\", line: \"%s\".",
                              quoted_file.c_str(), quoted_line.c_str());
                    code = kStreamFailure;
                    continue;
                }
                if (t < start || t >= finish)
                    continue;
                rrm::JsonWriter item = data.add_object("");
                item.add_string("id", (date_time + "," + domain_name).c_str());
                item.add_string("domain", domain_name.c_str());
                item.add_string("date", (date_time + " UTC").c_str());
                ++count;
            }
        } catch (const std::exception& e) {
            code = stream_failure(e);
        }
        writer.add_int("count", count);
    }
    if (code != 0) {
        const rrm::PeerText quoted_domain(domain_name), start_text(date_start),
            finish_text(date_finish);
        RRM_ERROR("Query reports list exit with error code: %d. Domain: \"%s\". Reports start "
                  "date: \"%s\". Reports end date: \"%s\".",
                  code, quoted_domain.c_str(), start_text.c_str(), finish_text.c_str());
        rrm::notify_event(rrm::EVENT_REPORT_LIST_FAILED,
                          std::make_shared<std::string>(domain_name));
    }
    return code;
}

}  // namespace reports
