// The report queries of the management API: one stored optimisation report
// by its id, the list of a domain's reports between two dates, and a
// domain's newest report. The report functions read the domain's files
// under the domain's report-files lock and write what they found into the
// reply; these steps add "status" from their result. The dispatch (Api.cpp)
// decides which one runs and under which worker's lock.
#include "Api.h"

#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "report_optimize_tpc_dca.h"

#include <stdexcept>
#include <string>

namespace rrm {

namespace {

void require_member(const JsonReader& command, const char* member, const char* step)
{
    if (!command.has(member))
        throw std::invalid_argument(std::string(step) + ": Invalid argument 'cmd'.");
}

void add_status(JsonWriter& reply, int result)
{
    reply.add_string("status", result == 0 ? "success" : "failure");
}

}  // namespace

// Texts are taken whole (get_string_view): a NUL byte in a report id or a
// domain cannot cut it down to another, valid one.
void Api::process_rrm_cmd_get_report(const JsonReader& command, JsonWriter& reply,
                                     const std::string& reports_path)
{
    require_member(command, "report", "process_rrm_cmd_get_report");
    const std::string report_id(command.get_string_view("report"));
    const int result = reports::get_radio_report(reply, report_id, reports_path);
    if (result != 0)
        RRM_DEBUG("Error call 'reports::get_radio_report'. Exit code: %d.", result);
    add_status(reply, result);
}

void Api::process_rrm_cmd_get_report_list(const JsonReader& command, JsonWriter& reply,
                                          const std::string& domain,
                                          const std::string& reports_path, bool domain_exists)
{
    require_member(command, "report_list", "process_rrm_cmd_get_report_list");
    const JsonReader window = command.child("report_list");
    const std::string date_start(window.get_string_view("date_start"));
    const std::string date_finish(window.get_string_view("date_finish"));
    const int result = reports::get_radio_report_list(reply, domain, reports_path, date_start,
                                                      date_finish, domain_exists);
    if (result != 0)
        RRM_DEBUG("errors = %d", result);
    add_status(reply, result);
}

void Api::process_rrm_cmd_get_last_report(const JsonReader& command, JsonWriter& reply,
                                          const std::string& domain,
                                          const std::string& reports_path, bool domain_exists)
{
    require_member(command, "last_report", "process_rrm_cmd_get_last_report");
    const int result =
        reports::get_last_radio_report(reply, domain, reports_path, domain_exists);
    if (result != 0)
        RRM_DEBUG("Error call 'reports::get_last_radio_report'. Exit code: %d.", result);
    add_status(reply, result);
}

}  // namespace rrm
