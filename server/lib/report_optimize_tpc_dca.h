#pragma once
// The optimisation report files of a domain: three text files in the reports
// folder, appended by the domain's optimisation thread after each run,
// rewritten once a day by the clean-up, and read back by the management
// queries.
//
//   report_<domain>.txt      one line per captured radio of a run
//   report_cfg_<domain>.txt  one line per run: the domain settings row
//   report_idx_<domain>.txt  one line per run: its start date-time
//
// Every line is comma-separated, field 0 the format version "1.1", fields 1
// and 2 the UTC date and time at which the run started (the run's key).
//
// Return codes: 0 success; 22 for a missing, empty or malformed argument,
// field or date; 5 for a parse failure or a stream failure without errno;
// otherwise the errno of the failed file operation.
//
// Exclusion: every function that touches a domain's files holds that
// domain's ReportFilesLock while it does (see there).

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace rrm {
class ApMap;
class DomainConfig;
class JsonWriter;
}  // namespace rrm

namespace reports {

// ------------------------------------------------------------ the record

// One radio's values for one run; fields 5 to 20 of its report line.
struct RadioReport {
    int32_t before_power = 0;
    int32_t after_power = 0;
    int32_t before_eirp = 0;
    int32_t after_eirp = 0;
    int32_t before_channel = 0;
    int32_t after_channel = 0;
    int32_t radio_id = 0;
    int32_t bandwidth = 0;
    int32_t max_power = 0;
    int32_t min_power = 0;
    int32_t eirp_min = 0;
    int32_t eirp_max = 0;
    int32_t antenna_gain = 0;
    int32_t cable_loss = 0;
    int32_t primary_channel = 0;
    // Ascending channel numbers separated by single blanks.
    std::string available_channels;
};

// Report key (start date-time, AP MAC, radio MAC: fields 1 to 4 of the
// line) -> record. Its order is the order of the lines of a run.
using RadioReportMap = std::map<std::string, RadioReport>;

// ------------------------------------------------------- names and keys

// reports_path + "/report_" (or "/report_cfg_", "/report_idx_") + domain +
// ".txt". std::invalid_argument "<function>: Invalid argument 'domain_name'."
// for an empty domain name or one that could name a file outside the folder
// ('/', NUL, "." or ".."); then "...'report_files_path'." for an empty path.
std::string get_report_file_name(const std::string& domain_name,
                                 const std::string& report_files_path);
std::string get_report_config_file_name(const std::string& domain_name,
                                        const std::string& report_files_path);
std::string get_report_index_file_name(const std::string& domain_name,
                                       const std::string& report_files_path);

// start + "," + AP MAC + "," + radio MAC; std::invalid_argument for an
// empty argument (tested in that order).
std::string create_key_for_domain_radio_report(const std::string& optimize_start_date,
                                               const std::string& ap_mac_str,
                                               const std::string& radio_mac_str);

// ------------------------------------------------------------- exclusion

// Exclusive use of one domain's report files, for the optimisation thread's
// save, the clean-up's rewrite and the queries. Without it a save could land
// between the rewrite's copy and its commit and be lost, and a query could
// find the files half-renamed.
//
// Lock order: this lock is the innermost one. It may be taken while holding
// a worker lock or the workers-map lock; while holding it nothing takes
// another lock of the server (only the log hook's own), and events are
// raised after it is released.
//
// One lock for every domain whose files may be another domain's (the
// names that differ only by leading "cfg_" and "idx_": see key_of), so one
// file always has one lock. A slot exists only while someone holds or waits
// for it, so names that come from requests do not accumulate.
class ReportFilesLock {
public:
    // std::invalid_argument as get_report_file_name.
    ReportFilesLock(const std::string& domain_name, const std::string& report_files_path);
    ~ReportFilesLock();
    ReportFilesLock(const ReportFilesLock&) = delete;
    ReportFilesLock& operator=(const ReportFilesLock&) = delete;

    // Slots currently held or waited for (tests).
    static std::size_t slot_count();
    // The slot's name for a domain's files.
    static std::string key_of(const std::string& domain_name,
                              const std::string& report_files_path);

private:
    struct Slot;
    struct Table;
    static Table& table();

    std::string key_;
    Slot* slot_;
};

// ------------------------------------------------------ date and time

// "%Y-%m-%d,%H:%M:%S" of t, broken down in UTC or in local time; "" when it
// cannot be broken down.
std::string get_date_time_as_str(time_t t, bool utc);
std::string get_current_date_time_as_str(bool utc);
// "%Y-%m-%d,%H:%M:%S" read as UTC (characters after the seconds ignored);
// 22 with *t = -1 after an Error record.
int parse_date_time_fields_to_time_t(const std::string& text, time_t* t);

// ---------------------------------------------------------- line fields

// Field n (counted from 0) of line split at separator into out. 0 on
// success; otherwise 22 after an Error record, with out cleared.
int get_field_by_num_as_str(std::string_view line, size_t n, std::string& out, char separator,
                            bool allow_empty);
// A whole text as an int (strtol base 0); the value, or none and the error
// code after an Error record.
std::pair<std::optional<int>, int> str_to_int_with_log(const std::string& text);
// Field n of line as an int. 0 on success; otherwise a non-zero code after an
// Error record (value 0 when the field is missing or empty, unchanged when it
// does not convert).
int get_field_by_num_as_int(std::string_view line, size_t n, int& value, char separator);
// Fields 1 and 2 of a report line joined by ","; the field's code on failure.
int get_date_time_fields_from_file_line_as_str(const std::string& line, std::string* out);

// ------------------------------------------------- capture and save

// The radios of `aps` that a run may change (enabled, some available
// channel, not locked for both channel and power planning), before and after
// the run. std::invalid_argument for an empty start text.
void remember_radio_report_before_optimize(RadioReportMap& map,
                                           const std::string& optimize_start_date,
                                           const rrm::ApMap& aps);
void remember_radio_report_after_optimize(RadioReportMap& map,
                                          const std::string& optimize_start_date,
                                          const rrm::ApMap& aps);
// One report line, with its line feed.
void write_radio_report_line(std::ostream& out, const RadioReportMap::value_type& entry);
// Finishes or rolls back an interrupted clean-up of the domain's files
// first (finish_interrupted_rewrite); then appends the run's report lines,
// then its settings line, then its index line; each file in one write that
// is undone when it fails. A failure is
// logged, stops the save and raises event 18. std::invalid_argument for an
// empty domain, directory or start text.
void save_radio_report_to_files(const RadioReportMap& map, const std::string& domain_name,
                                const std::string& optimize_start_date,
                                const std::string& report_files_path,
                                const rrm::DomainConfig& domain_config);

// -------------------------------------------------------------- clean-up

// "H:M" into minutes after midnight; 22 when it does not read as a time.
int parse_time_of_day(const std::string& text, int* minutes);
// UTC day stamp of a moment: year * 512 + day of the year.
int64_t utc_day_stamp(const struct tm& utc);
// The daily alarm at `now`, against `last_fired_day` (updated when it
// fires). 0, or 22 for a bad time text (Error record, event 17).
int check_report_alarm_clock(const std::string& time_utc, bool& fire, time_t now,
                             int64_t& last_fired_day);
// The same for the current time, with the process-wide last fired day: it
// fires at most once per UTC day, at the first call at or after the trigger.
int check_report_alarm_clock_every_min(const std::string& time_utc, bool& fire);

// Copies the lines of `filename` that are neither older than days_to_live
// days nor in the future to filename + ".tmp" (always created, truncated);
// `dropped` counts the others. The caller holds the domain's lock.
int copy_new_reports_from_one_file(time_t now, int days_to_live, const std::string& filename,
                                   int& dropped);
// Finishes or rolls back a rewrite that a marker shows as interrupted.
int reports_recovery_procedure_in_domain(const std::string& domain_name,
                                         const std::string& files_path);
// The same for a caller that holds the domain's ReportFilesLock, with the
// clean-up's records: a Warning when a marker is found, an Error when the
// recovery fails. 0 when nothing was interrupted or it is recovered, else
// the recovery's code.
int finish_interrupted_rewrite(const std::string& domain_name, const std::string& files_path);
// Drops the old and future-dated lines of the domain's three report files;
// 0, or the error code of the failed step (after its Error record).
int delete_old_reports_in_domain(const std::string& domain_name, int days_to_live,
                                 const std::string& files_path);

// --------------------------------------------------------------- queries

// Under "report" of the writer: one stored report by id (start date-time +
// "," + domain). Failure: Error records and event 21.
int get_radio_report(rrm::JsonWriter& writer, const std::string& report_id,
                     const std::string& report_files_path);
// The newest report of a domain (the last index line). With domain_exists a
// domain without reports answers 0 and writes nothing. Failure: event 20.
int get_last_radio_report(rrm::JsonWriter& writer, const std::string& domain_name,
                          const std::string& report_files_path, bool domain_exists);
// "data": the domain's runs with date_start <= start < date_finish (texts
// "%Y-%m-%d,%H:%M:%S UTC"), then "count". Failure: event 19.
int get_radio_report_list(rrm::JsonWriter& writer, const std::string& domain_name,
                          const std::string& report_files_path, const std::string& date_start,
                          const std::string& date_finish, bool domain_exists);
// One radio entry of a report line into an object writer; the sum of the
// codes of the fields read (0 when all were good).
int read_all_report_fields_from_string(const std::string& line, rrm::JsonWriter& entry,
                                       std::string& text, int& number);

}  // namespace reports
