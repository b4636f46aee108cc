#pragma once
// The report files of a domain, as far as the daily clean-up needs them:
// their names, the start date-time of a line, the daily alarm, and the
// per-domain rewrite that drops old lines through work files and markers,
// so that an interrupted rewrite is rolled back or completed by the next one.

#include <cstdint>
#include <ctime>
#include <string>

namespace reports {

// reports_path + "/report_" (or "/report_cfg_", "/report_idx_") + domain +
// ".txt". std::invalid_argument for an empty domain, then an empty path.
std::string get_report_file_name(const std::string& domain_name,
                                 const std::string& report_files_path);
std::string get_report_config_file_name(const std::string& domain_name,
                                        const std::string& report_files_path);
std::string get_report_index_file_name(const std::string& domain_name,
                                       const std::string& report_files_path);

// "%Y-%m-%d,%H:%M:%S" read as UTC into t; 22 after an Error record.
int parse_date_time_fields_to_time_t(const std::string& text, time_t* t);
// Fields 1 and 2 of a report line joined by ","; the field's code on failure.
int get_date_time_fields_from_file_line_as_str(const std::string& line, std::string* out);

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
// days nor in the future to filename + ".tmp"; `dropped` counts the others.
int copy_new_reports_from_one_file(time_t now, int days_to_live, const std::string& filename,
                                   int& dropped);

// Finishes or rolls back a rewrite that a marker shows as interrupted.
int reports_recovery_procedure_in_domain(const std::string& domain_name,
                                         const std::string& files_path);

// Drops the old lines of the domain's three report files; 0, or the error
// code of the failed step (after its Error record).
int delete_old_reports_in_domain(const std::string& domain_name, int days_to_live,
                                 const std::string& files_path);

}  // namespace reports
