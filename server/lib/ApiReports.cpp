// The report queries of the management API: one stored optimisation report
// by its id, the list of a domain's reports between two dates, and a
// domain's newest report. They read the report files of the domain's
// folder; the dispatch (Api.cpp) decides which one runs and under which
// lock.
//
// The functions that read the report files are not part of the server yet:
// until they are, every report query answers "status": "failure".
#include "Api.h"

#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"

#include <cerrno>
#include <stdexcept>
#include <string>

namespace rrm {

namespace {

// What a report query answers while the report files cannot be read here.
constexpr int kReportsUnavailable = ENOSYS;

void require_member(const JsonReader& command, const char* member, const char* step)
{
    if (!command.has(member))
        throw std::invalid_argument(std::string(step) + ": Invalid argument 'cmd'.");
}

}  // namespace

void Api::process_rrm_cmd_get_report(const JsonReader& command, JsonWriter& reply,
                                     const std::string& reports_path)
{
    require_member(command, "report", "process_rrm_cmd_get_report");
    (void)reports_path;
    const int result = kReportsUnavailable;
    RRM_DEBUG("Error call 'reports::get_radio_report'. Exit code: %d.", result);
    reply.add_string("status", "failure");
}

void Api::process_rrm_cmd_get_report_list(const JsonReader& command, JsonWriter& reply,
                                          const std::string& domain,
                                          const std::string& reports_path, bool domain_exists)
{
    require_member(command, "report_list", "process_rrm_cmd_get_report_list");
    (void)domain;
    (void)reports_path;
    (void)domain_exists;
    const int result = kReportsUnavailable;
    RRM_DEBUG("errors = %d", result);
    reply.add_string("status", "failure");
}

void Api::process_rrm_cmd_get_last_report(const JsonReader& command, JsonWriter& reply,
                                          const std::string& domain,
                                          const std::string& reports_path, bool domain_exists)
{
    require_member(command, "last_report", "process_rrm_cmd_get_last_report");
    (void)domain;
    (void)reports_path;
    (void)domain_exists;
    const int result = kReportsUnavailable;
    RRM_DEBUG("Error call 'reports::get_last_radio_report'. Exit code: %d.", result);
    reply.add_string("status", "failure");
}

}  // namespace rrm
