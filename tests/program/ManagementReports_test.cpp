// The real binary's report queries over the TCP management API: one stored
// optimisation report by its id, a domain's reports between two dates and
// its newest report, read from report files written here by hand.
//
// Domains:
//   office  configured, has a worker (restored from its VRRP backup), 3 runs
//   annex   configured, has a worker, no report files
//   hall    configured, no worker, 1 run
//   lab     configured, no worker, no report files
//   attic   not configured, 2 runs
//   ghost   not configured, no report files
//
// The daily clean-up would delete the files of "attic" (an index file with
// no configured domain) and drop old lines: it is set to 23:59 UTC, which a
// test reaches only when it runs through that very minute, and the
// configured domains keep their reports for 37200 days.
#include "HttpClient.h"
#include "Version.h"
#include "WendaraProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using testsupport::WendaraProcess;
using namespace std::chrono_literals;

std::string hostname()
{
    char name[1024] = {0};
    ::gethostname(name, sizeof name - 1);
    return name;
}

// What every "rrm" reply begins with.
std::string header()
{
    return "{\"version\":\"2.1\",\"server\":\"" + hostname() + "\",\"wendara_version\":\"" +
           rrm::WENDARA_VERSION + "\"";
}

std::string rrm(const std::string& body)
{
    return "{\"rrm\":{" + body + "}}";
}

// A domain backup with no APs: enough for the server to run a worker for it.
std::string empty_backup(const std::string& domain)
{
    return "{\"name\":\"" + domain +
           "\",\"rrm-status\":0,\"fbt-status\":0,\"aps\":[],\"unanswered-aps\":[],"
           "\"deleted-aps\":[]}";
}

// ------------------------------------------------------------ the files

const char kDefaultRow[] = "1,1,1,1,25,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,0,1,93,1";
// Every row value away from its default; the flags written as 0 or 2 (any
// non-zero value is on); 7 in the tenth place, which has no key.
const char kRunRow[] = "0,1,0,2,30,-72,-68,3,4,7,150,-80,-60,40,6,25,1,0,16,21,3,1,1,90,0";

// The 37 settings in their JSON order: the row's values where the row
// carries them, the built-in defaults for the rest (6 GHz threshold and
// hysteresis, optimisation time and its flags, roaming, 802.11r/v, fast
// transition).
const std::string kDefaultConfig =
    "{\"use_tavik_rrm_scan\":1,\"use_dca\":1,\"use_tpc\":1,\"use_hd_mode\":1,"
    "\"dca_threshold\":25,\"ap_rssi_threshold_2g\":-70,\"ap_rssi_threshold_5g\":-70,"
    "\"ap_rssi_threshold_6g\":-70,\"hysteresis_2g\":2,\"hysteresis_5g\":2,\"hysteresis_6g\":2,"
    "\"optimization_time\":\"00:00\",\"use_optimization_time\":0,\"use_optimization_event\":1,"
    "\"away_timeout\":120,\"blacklist_thr_low\":-75,\"blacklist_thr_high\":-65,"
    "\"blacklist_timeout\":30,\"load_balance_sta_low\":5,\"load_balance_sta_high\":20,"
    "\"roam_attempt_timeout\":600,\"sta_load_balance_period\":60,"
    "\"load_balance_roam_count_min\":2,\"load_balance_roam_count_max\":4,"
    "\"use_all_ap_balance\":0,\"use_balance\":1,\"client_rssi_renew\":15,\"client_max_age\":20,"
    "\"client_try_no_balance\":2,\"no_balance_enterprise\":0,\"use_rrm_report\":1,"
    "\"report_days_to_live\":93,\"use_80211k\":1,\"use_80211r\":1,\"use_80211v\":0,"
    "\"fbt_reassoc_deadline\":1000,\"fbt_over_ds\":0}";
const std::string kRunConfig =
    "{\"use_tavik_rrm_scan\":0,\"use_dca\":1,\"use_tpc\":0,\"use_hd_mode\":1,"
    "\"dca_threshold\":30,\"ap_rssi_threshold_2g\":-72,\"ap_rssi_threshold_5g\":-68,"
    "\"ap_rssi_threshold_6g\":-70,\"hysteresis_2g\":3,\"hysteresis_5g\":4,\"hysteresis_6g\":2,"
    "\"optimization_time\":\"00:00\",\"use_optimization_time\":0,\"use_optimization_event\":1,"
    "\"away_timeout\":150,\"blacklist_thr_low\":-80,\"blacklist_thr_high\":-60,"
    "\"blacklist_timeout\":40,\"load_balance_sta_low\":6,\"load_balance_sta_high\":25,"
    "\"roam_attempt_timeout\":600,\"sta_load_balance_period\":60,"
    "\"load_balance_roam_count_min\":2,\"load_balance_roam_count_max\":4,"
    "\"use_all_ap_balance\":1,\"use_balance\":0,\"client_rssi_renew\":16,\"client_max_age\":21,"
    "\"client_try_no_balance\":3,\"no_balance_enterprise\":1,\"use_rrm_report\":1,"
    "\"report_days_to_live\":90,\"use_80211k\":0,\"use_80211r\":1,\"use_80211v\":0,"
    "\"fbt_reassoc_deadline\":1000,\"fbt_over_ds\":0}";

// office: run 2024-03-05,14:07:09 has three lines (two radios of AP 10:00,
// one of AP 20:00) between a line of the run before and one of the run
// after; the newest run (2024-03-06,08:30:00) is in the older 15-field form.
const std::string kOfficeReport =
    "1.1,2024-03-04,09:00:00,02:00:00:00:10:00,02:00:00:00:10:10,"
    "10,10,6,6,1,20,18,3,0,1 6 11,13,13,6,21,3,0\n"
    "1.1,2024-03-05,14:07:09,02:00:00:00:10:00,02:00:00:00:10:10,"
    "10,12,6,1,1,20,18,3,0,1 6 11,13,15,6,21,3,0\n"
    "1.1,2024-03-05,14:07:09,02:00:00:00:10:00,02:00:00:00:10:20,"
    "17,14,36,44,0,80,20,5,256,36 40 44 48,23,20,5,30,3,1\n"
    "1.1,2024-03-05,14:07:09,02:00:00:00:20:00,02:00:00:00:20:10,"
    "-2,9,0,104,2,40,22,-4,0,100 104,0,12,-3,28,-1,-2\n"
    "1.0,2024-03-06,08:30:00,02:00:00:00:10:00,02:00:00:00:10:10,12,11,1,11,1,20,18,3,0,1 6 11\n";
const std::string kOfficeConfig = std::string("1.1,2024-03-04,09:00:00,") + kDefaultRow +
                                  "\n1.1,2024-03-05,14:07:09," + kRunRow +
                                  "\n1.1,2024-03-06,08:30:00," + kDefaultRow + "\n";
const std::string kOfficeIndex =
    "1.1,2024-03-04,09:00:00\n1.1,2024-03-05,14:07:09\n1.1,2024-03-06,08:30:00\n";

// The run of 2024-03-05,14:07:09: per line fields 9, 4, before (5, 7, 15),
// after (6, 8, 16), 10, 11, 12, 13, 14 split at blanks, 17, 18, then
// antenna (19, 20); a new "details" element where the AP MAC (field 3)
// changes.
const std::string kOfficeRun =
    "{\"id\":\"2024-03-05,14:07:09,office\",\"domain\":\"office\","
    "\"date\":\"2024-03-05,14:07:09 UTC\",\"domain_config\":" +
    kRunConfig +
    ",\"details\":["
    "{\"ap_mac\":\"02:00:00:00:10:00\",\"radio_interfaces\":["
    "{\"radio_id\":1,\"radio_mac\":\"02:00:00:00:10:10\","
    "\"before\":{\"power\":10,\"channel\":6,\"eirp\":13},"
    "\"after\":{\"power\":12,\"channel\":1,\"eirp\":15},"
    "\"bandwidth\":20,\"max_power\":18,\"min_power\":3,\"primary_channel\":0,"
    "\"available_channels\":[1,6,11],\"eirp-min\":6,\"eirp-max\":21,"
    "\"antenna-configuration\":{\"antenna-gain\":3,\"cable-loss\":0}},"
    "{\"radio_id\":0,\"radio_mac\":\"02:00:00:00:10:20\","
    "\"before\":{\"power\":17,\"channel\":36,\"eirp\":23},"
    "\"after\":{\"power\":14,\"channel\":44,\"eirp\":20},"
    "\"bandwidth\":80,\"max_power\":20,\"min_power\":5,\"primary_channel\":256,"
    "\"available_channels\":[36,40,44,48],\"eirp-min\":5,\"eirp-max\":30,"
    "\"antenna-configuration\":{\"antenna-gain\":3,\"cable-loss\":1}}]},"
    "{\"ap_mac\":\"02:00:00:00:20:00\",\"radio_interfaces\":["
    "{\"radio_id\":2,\"radio_mac\":\"02:00:00:00:20:10\","
    "\"before\":{\"power\":-2,\"channel\":0,\"eirp\":0},"
    "\"after\":{\"power\":9,\"channel\":104,\"eirp\":12},"
    "\"bandwidth\":40,\"max_power\":22,\"min_power\":-4,\"primary_channel\":0,"
    "\"available_channels\":[100,104],\"eirp-min\":-3,\"eirp-max\":28,"
    "\"antenna-configuration\":{\"antenna-gain\":-1,\"cable-loss\":-2}}]}]}";

// The newest office run: a 1.0 line gives no "eirp" and none of the last
// three keys.
const std::string kOfficeNewest =
    "{\"id\":\"2024-03-06,08:30:00,office\",\"domain\":\"office\","
    "\"date\":\"2024-03-06,08:30:00 UTC\",\"domain_config\":" +
    kDefaultConfig +
    ",\"details\":[{\"ap_mac\":\"02:00:00:00:10:00\",\"radio_interfaces\":["
    "{\"radio_id\":1,\"radio_mac\":\"02:00:00:00:10:10\","
    "\"before\":{\"power\":12,\"channel\":1},\"after\":{\"power\":11,\"channel\":11},"
    "\"bandwidth\":20,\"max_power\":18,\"min_power\":3,\"primary_channel\":0,"
    "\"available_channels\":[1,6,11]}]}]}";

const std::string kHallReport =
    "1.1,2024-05-01,00:00:00,0A:00:00:00:00:00,0A:00:00:00:00:01,"
    "5,6,149,153,1,20,20,5,0,149 153,8,9,4,24,2,1\n";
const std::string kHallNewest =
    "{\"id\":\"2024-05-01,00:00:00,hall\",\"domain\":\"hall\","
    "\"date\":\"2024-05-01,00:00:00 UTC\",\"domain_config\":" +
    kDefaultConfig +
    ",\"details\":[{\"ap_mac\":\"0A:00:00:00:00:00\",\"radio_interfaces\":["
    "{\"radio_id\":1,\"radio_mac\":\"0A:00:00:00:00:01\","
    "\"before\":{\"power\":5,\"channel\":149,\"eirp\":8},"
    "\"after\":{\"power\":6,\"channel\":153,\"eirp\":9},"
    "\"bandwidth\":20,\"max_power\":20,\"min_power\":5,\"primary_channel\":0,"
    "\"available_channels\":[149,153],\"eirp-min\":4,\"eirp-max\":24,"
    "\"antenna-configuration\":{\"antenna-gain\":2,\"cable-loss\":1}}]}]}";

const std::string kAtticReport =
    "1.1,2023-12-31,23:59:59,0C:00:00:00:00:00,0C:00:00:00:00:10,"
    "7,7,11,11,0,20,20,1,0,1 6 11,10,10,1,23,3,0\n"
    "1.1,2024-01-01,00:00:00,0C:00:00:00:00:00,0C:00:00:00:00:10,"
    "7,4,11,1,0,20,20,1,0,1 6 11,10,7,1,23,3,0\n";
const std::string kAtticNewest =
    "{\"id\":\"2024-01-01,00:00:00,attic\",\"domain\":\"attic\","
    "\"date\":\"2024-01-01,00:00:00 UTC\",\"domain_config\":" +
    kDefaultConfig +
    ",\"details\":[{\"ap_mac\":\"0C:00:00:00:00:00\",\"radio_interfaces\":["
    "{\"radio_id\":0,\"radio_mac\":\"0C:00:00:00:00:10\","
    "\"before\":{\"power\":7,\"channel\":11,\"eirp\":10},"
    "\"after\":{\"power\":4,\"channel\":1,\"eirp\":7},"
    "\"bandwidth\":20,\"max_power\":20,\"min_power\":1,\"primary_channel\":0,"
    "\"available_channels\":[1,6,11],\"eirp-min\":1,\"eirp-max\":23,"
    "\"antenna-configuration\":{\"antenna-gain\":3,\"cable-loss\":0}}]}]}";

// text with the first occurrence of `from` replaced by `to`.
std::string with(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

// A list entry of the reply.
std::string listed(const std::string& date_time, const std::string& domain)
{
    return "{\"id\":\"" + date_time + "," + domain + "\",\"domain\":\"" + domain +
           "\",\"date\":\"" + date_time + " UTC\"}";
}

std::string window(const std::string& start, const std::string& finish)
{
    return "\"report_list\":{\"date_start\":\"" + start + "\",\"date_finish\":\"" + finish +
           "\"}";
}

class ProgramReports : public ::testing::Test {
protected:
    void SetUp() override
    {
        p.write_logger_config();
        p.write_config("\"vrrp_enabled\":1,\"report_delete_at_time_utc\":\"23:59\"",
                       "\"patterns\":[{\"pattern\":\"keep\",\"report_days_to_live\":37200}],"
                       "\"domains\":[{\"domain\":\"office\",\"pattern\":\"keep\"},"
                       "{\"domain\":\"annex\",\"pattern\":\"keep\"},"
                       "{\"domain\":\"hall\",\"pattern\":\"keep\"},"
                       "{\"domain\":\"lab\",\"pattern\":\"keep\"}]");
        p.work().write("keep.mode", "MASTER\n");
        ::mkdir(p.backup_path().c_str(), 0755);
        for (const char* domain : {"office", "annex"})
            testsupport::put_file(p.backup_path() + "/" + domain + ".json",
                                  empty_backup(domain));

        const std::string r = p.reports_path() + "/";
        testsupport::put_file(r + "report_office.txt", kOfficeReport);
        testsupport::put_file(r + "report_cfg_office.txt", kOfficeConfig);
        testsupport::put_file(r + "report_idx_office.txt", kOfficeIndex);
        testsupport::put_file(r + "report_hall.txt", kHallReport);
        testsupport::put_file(r + "report_cfg_hall.txt",
                              std::string("1.1,2024-05-01,00:00:00,") + kDefaultRow + "\n");
        testsupport::put_file(r + "report_idx_hall.txt", "1.1,2024-05-01,00:00:00\n");
        testsupport::put_file(r + "report_attic.txt", kAtticReport);
        testsupport::put_file(r + "report_cfg_attic.txt",
                              std::string("1.1,2023-12-31,23:59:59,") + kDefaultRow +
                                  "\n1.1,2024-01-01,00:00:00," + kDefaultRow + "\n");
        testsupport::put_file(r + "report_idx_attic.txt",
                              "1.1,2023-12-31,23:59:59\n1.1,2024-01-01,00:00:00\n");

        // A domain name that climbs out of the reports folder: with folders
        // named like the file prefixes, "/../../outside" would turn each of
        // the three file names into work()/outside.txt, which holds a valid
        // index line (and is all a list needs).
        for (const char* prefix : {"report_", "report_cfg_", "report_idx_"})
            ::mkdir((r + prefix).c_str(), 0755);
        p.work().write("outside.txt", "1.1,2024-03-05,14:07:09\n");

        p.start({p.config_path()});
        ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
        // Both workers run once the backups are restored.
        ASSERT_TRUE(testsupport::wait_until(
            [&] {
                const std::string list = ask(rrm(""));
                return list.find("\"name\":\"office\"") != std::string::npos &&
                       list.find("\"name\":\"annex\"") != std::string::npos;
            },
            20s))
            << p.all_logs_text();
    }
    void TearDown() override
    {
        p.interrupt();
        EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
    }
    std::string ask(const std::string& request)
    {
        return testsupport::tcp_exchange(p.cli_port, request);
    }
    // A Debug record of the report steps, as the log file shows it.
    bool logged(const std::string& step, const std::string& text)
    {
        return p.wait_for_log("DEBUG server/lib/ApiReports.cpp " + step + ": " + text + "\n",
                              10s);
    }

    WendaraProcess p;
};

struct Case {
    const char* what;
    std::string body;   // members of the "rrm" command
    std::string reply;  // the whole reply after the header
};

TEST_F(ProgramReports, OneReportById)
{
    const std::string office_run = ",\"report\":" + kOfficeRun + ",\"status\":\"success\"}";
    const std::string refused = ",\"report\":{},\"status\":\"failure\"}";
    const Case cases[] = {
        {"a domain with a worker", "\"domain\":\"office\",\"report\":\"2024-03-05,14:07:09,office\"",
         office_run},
        // The report id alone names the files: the "domain" member is not used.
        {"another domain named", "\"domain\":\"nowhere\",\"report\":\"2024-03-05,14:07:09,office\"",
         office_run},
        {"a report first, whatever else is asked",
         "\"domain\":\"office\",\"report\":\"2024-03-05,14:07:09,office\",\"last_report\":1,"
         "\"ap\":\"02:00:00:00:10:00\"",
         office_run},
        {"an unconfigured domain", "\"domain\":\"x\",\"report\":\"2024-01-01,00:00:00,attic\"",
         ",\"report\":" + kAtticNewest + ",\"status\":\"success\"}"},
        // A fourth field is not part of the domain.
        {"a fourth field", "\"domain\":\"x\",\"report\":\"2024-01-01,00:00:00,attic,more\"",
         ",\"report\":" +
             with(kAtticNewest, "\"id\":\"2024-01-01,00:00:00,attic\"",
                  "\"id\":\"2024-01-01,00:00:00,attic,more\"") +
             ",\"status\":\"success\"}"},
        {"no domain field", "\"domain\":\"office\",\"report\":\"2024-03-05,14:07:09\"", refused},
        {"an empty domain field", "\"domain\":\"office\",\"report\":\"2024-03-05,14:07:09,\"",
         refused},
        {"hour 25", "\"domain\":\"office\",\"report\":\"2024-03-05,25:07:09,office\"", refused},
        {"a domain name only", "\"domain\":\"office\",\"report\":\"office\"", refused},
        {"an empty id", "\"domain\":\"office\",\"report\":\"\"", refused},
        {"an id that is not a text", "\"domain\":\"office\",\"report\":5", refused},
        // Its settings line is missing: the object is opened, nothing found.
        {"a run that is not in the files",
         "\"domain\":\"office\",\"report\":\"2024-03-05,14:07:10,office\"",
         ",\"report\":{\"id\":\"2024-03-05,14:07:10,office\",\"domain\":\"office\","
         "\"date\":\"2024-03-05,14:07:10 UTC\",\"domain_config\":{}},\"status\":\"failure\"}"},
        {"a domain without files", "\"domain\":\"ghost\",\"report\":\"2024-03-05,14:07:09,ghost\"",
         ",\"report\":{\"id\":\"2024-03-05,14:07:09,ghost\",\"domain\":\"ghost\","
         "\"date\":\"2024-03-05,14:07:09 UTC\"},\"status\":\"failure\"}"},
        {"a domain leaving the folder",
         "\"domain\":\"office\",\"report\":\"2024-03-05,14:07:09,/../../outside\"", refused},
        {"the parent folder", "\"domain\":\"office\",\"report\":\"2024-03-05,14:07:09,..\"",
         refused},
        // Cut at the NUL byte it would be a valid id of office.
        {"a NUL byte in the domain",
         "\"domain\":\"office\",\"report\":\"2024-03-05,14:07:09,office\\u0000/../x\"", refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(header() + c.reply, ask(rrm(c.body)));
    }
    // Failures leave a Debug record with the report function's code: 22 for
    // a bad id or a run not found, the open's errno (2) for a missing file.
    EXPECT_TRUE(logged("process_rrm_cmd_get_report",
                       "Error call 'reports::get_radio_report'. Exit code: 22."));
    EXPECT_TRUE(logged("process_rrm_cmd_get_report",
                       "Error call 'reports::get_radio_report'. Exit code: 2."));
}

TEST_F(ProgramReports, ReportListBetweenTwoDates)
{
    const std::string office_1 = listed("2024-03-04,09:00:00", "office");
    const std::string office_2 = listed("2024-03-05,14:07:09", "office");
    const std::string office_3 = listed("2024-03-06,08:30:00", "office");
    auto list = [](const std::string& entries, int count) {
        return ",\"data\":[" + entries + "],\"count\":" + std::to_string(count) +
               ",\"status\":\"success\"}";
    };
    const std::string refused = ",\"status\":\"failure\"}";
    const Case cases[] = {
        // From the first run up to the newest, which starts at the finish.
        {"start included, finish excluded",
         "\"domain\":\"office\"," + window("2024-03-04,09:00:00 UTC", "2024-03-06,08:30:00 UTC"),
         list(office_1 + "," + office_2, 2)},
        {"one second later both ways",
         "\"domain\":\"office\"," + window("2024-03-04,09:00:01 UTC", "2024-03-06,08:30:01 UTC"),
         list(office_2 + "," + office_3, 2)},
        {"a window with nothing in it",
         "\"domain\":\"office\"," + window("2025-01-01,00:00:00 UTC", "2025-01-02,00:00:00 UTC"),
         list("", 0)},
        {"the list wins over the newest report",
         "\"domain\":\"office\",\"last_report\":1," +
             window("2024-03-05,00:00:00 UTC", "2024-03-06,00:00:00 UTC"),
         list(office_2, 1)},
        {"a configured domain without a worker",
         "\"domain\":\"hall\"," + window("2024-05-01,00:00:00 UTC", "2024-05-01,00:00:01 UTC"),
         list(listed("2024-05-01,00:00:00", "hall"), 1)},
        {"an unconfigured domain, across the new year",
         "\"domain\":\"attic\"," + window("2023-12-31,00:00:00 UTC", "2024-01-02,00:00:00 UTC"),
         list(listed("2023-12-31,23:59:59", "attic") + "," + listed("2024-01-01,00:00:00", "attic"),
              2)},
        // Without an index file: a configured domain has no reports, an
        // unconfigured one is an error (the file cannot be opened).
        {"a domain with a worker, no files",
         "\"domain\":\"annex\"," + window("2024-01-01,00:00:00 UTC", "2025-01-01,00:00:00 UTC"),
         list("", 0)},
        {"a configured domain, no files",
         "\"domain\":\"lab\"," + window("2024-01-01,00:00:00 UTC", "2025-01-01,00:00:00 UTC"),
         list("", 0)},
        {"an unconfigured domain, no files",
         "\"domain\":\"ghost\"," + window("2024-01-01,00:00:00 UTC", "2025-01-01,00:00:00 UTC"),
         ",\"count\":0,\"status\":\"failure\"}"},
        {"equal start and finish",
         "\"domain\":\"office\"," + window("2024-03-05,14:07:09 UTC", "2024-03-05,14:07:09 UTC"),
         refused},
        {"finish before start",
         "\"domain\":\"office\"," + window("2024-03-06,00:00:00 UTC", "2024-03-05,00:00:00 UTC"),
         refused},
        {"another zone",
         "\"domain\":\"office\"," + window("2024-03-04,00:00:00 GMT", "2024-03-06,00:00:00 UTC"),
         refused},
        {"no zone",
         "\"domain\":\"office\"," + window("2024-03-04,00:00:00 UTC", "2024-03-06,00:00:00"),
         refused},
        {"not a date",
         "\"domain\":\"office\"," + window("2024-03-04,00:00:00 UTC", "2024-03-06 00:00:00 UTC"),
         refused},
        {"no finish",
         "\"domain\":\"office\",\"report_list\":{\"date_start\":\"2024-03-04,00:00:00 UTC\"}",
         refused},
        {"dates that are not texts",
         "\"domain\":\"office\",\"report_list\":{\"date_start\":1,\"date_finish\":2}", refused},
        {"a window that is not an object", "\"domain\":\"office\",\"report_list\":1", refused},
        {"a domain leaving the folder",
         "\"domain\":\"/../../outside\"," +
             window("2024-01-01,00:00:00 UTC", "2025-01-01,00:00:00 UTC"),
         refused},
        {"the parent folder",
         "\"domain\":\"..\"," + window("2024-01-01,00:00:00 UTC", "2025-01-01,00:00:00 UTC"),
         refused},
        {"a NUL byte in the domain",
         "\"domain\":\"office\\u0000\"," +
             window("2024-01-01,00:00:00 UTC", "2025-01-01,00:00:00 UTC"),
         refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(header() + c.reply, ask(rrm(c.body)));
    }
    EXPECT_TRUE(logged("process_rrm_cmd_get_report_list", "errors = 22"));
    EXPECT_TRUE(logged("process_rrm_cmd_get_report_list", "errors = 2"));
}

TEST_F(ProgramReports, NewestReport)
{
    const Case cases[] = {
        {"a domain with a worker, older line form", "\"domain\":\"office\",\"last_report\":1",
         ",\"report\":" + kOfficeNewest + ",\"status\":\"success\"}"},
        // Any value asks for it.
        {"asked for with null", "\"domain\":\"office\",\"last_report\":null",
         ",\"report\":" + kOfficeNewest + ",\"status\":\"success\"}"},
        {"a configured domain without a worker", "\"domain\":\"hall\",\"last_report\":true",
         ",\"report\":" + kHallNewest + ",\"status\":\"success\"}"},
        {"an unconfigured domain", "\"domain\":\"attic\",\"last_report\":1",
         ",\"report\":" + kAtticNewest + ",\"status\":\"success\"}"},
        // No index file: nothing to show for a configured domain, an open
        // error for an unconfigured one.
        {"a domain with a worker, no files", "\"domain\":\"annex\",\"last_report\":1",
         ",\"status\":\"success\"}"},
        {"a configured domain, no files", "\"domain\":\"lab\",\"last_report\":1",
         ",\"status\":\"success\"}"},
        {"an unconfigured domain, no files", "\"domain\":\"ghost\",\"last_report\":1",
         ",\"status\":\"failure\"}"},
        {"a domain leaving the folder", "\"domain\":\"/../../outside\",\"last_report\":1",
         ",\"status\":\"failure\"}"},
        {"the current folder", "\"domain\":\".\",\"last_report\":1", ",\"status\":\"failure\"}"},
        {"an empty domain", "\"domain\":\"\",\"last_report\":1", ",\"status\":\"failure\"}"},
        // Without a report member a domain is only looked up.
        {"no report asked for", "\"domain\":\"ghost\"", ",\"error\":\"domain not found\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(header() + c.reply, ask(rrm(c.body)));
    }
    EXPECT_TRUE(logged("process_rrm_cmd_get_last_report",
                       "Error call 'reports::get_last_radio_report'. Exit code: 2."));
    EXPECT_TRUE(logged("process_rrm_cmd_get_last_report",
                       "Error call 'reports::get_last_radio_report'. Exit code: 22."));

    // A run that the optimisation adds later is the newest at once.
    testsupport::put_file(p.reports_path() + "/report_hall.txt",
                          kHallReport + with(kHallReport, "2024-05-01,00:00:00",
                                             "2024-05-02,06:00:00"));
    testsupport::put_file(p.reports_path() + "/report_cfg_hall.txt",
                          std::string("1.1,2024-05-01,00:00:00,") + kDefaultRow +
                              "\n1.1,2024-05-02,06:00:00," + kRunRow + "\n");
    testsupport::put_file(p.reports_path() + "/report_idx_hall.txt",
                          "1.1,2024-05-01,00:00:00\n1.1,2024-05-02,06:00:00\n");
    // Same radio line, the new run's date in "id" and "date", its settings.
    const std::string newest =
        with(with(with(kHallNewest, "2024-05-01,00:00:00", "2024-05-02,06:00:00"),
                  "2024-05-01,00:00:00", "2024-05-02,06:00:00"),
             kDefaultConfig, kRunConfig);
    EXPECT_EQ(header() + ",\"report\":" + newest + ",\"status\":\"success\"}",
              ask(rrm("\"domain\":\"hall\",\"last_report\":1")));
}

// A report query used to quote the texts of its request whole in its Error
// records: one request of a megabyte over HTTP (no authentication) added
// megabytes to the log. Each text a record quotes is now its first 1024
// bytes and its length.
TEST_F(ProgramReports, RecordsQuoteOnlyTheHeadOfARequestsTexts)
{
    const std::string big(1000000, 'x');
    const std::string bodies[] = {
        rrm("\"domain\":\"office\",\"report\":\"2024-03-05,14:07:09," + big + "\""),
        rrm("\"domain\":\"office\",\"report\":\"" + big + ",14:07:09,office\""),
        rrm("\"domain\":\"office\"," + window(big, "2024-03-06,00:00:00 UTC")),
        rrm("\"domain\":\"office\"," + window("2024-03-05,00:00:00 UTC", big)),
        rrm("\"domain\":\"" + big + "\",\"last_report\":1"),
        rrm("\"domain\":\"" + big + "\"," +
            window("2024-03-05,00:00:00 UTC", "2024-03-06,00:00:00 UTC")),
    };
    const size_t log_before = p.all_logs_text().size();
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body.substr(0, 60));
        testsupport::HttpConnection c(p.api_port);
        ASSERT_TRUE(c.send("POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                           "Content-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body));
        const testsupport::HttpResponse reply = c.read_response(30s);
        EXPECT_EQ(200, reply.status);
        EXPECT_NE(std::string::npos, reply.body.find("\"status\":\"failure\"")) << reply.body;
    }
    const std::string length = "... (" + std::to_string(big.size()) + " bytes)";
    ASSERT_TRUE(p.wait_for_log(". Domain: \"" + std::string(1024, 'x') + length +
                               "\". Reports start date: \"2024-03-05,00:00:00 UTC\""))
        << p.all_logs_text().size();
    const std::string log = p.all_logs_text();
    // Six requests of a megabyte each: a few dozen records of at most a few
    // quoted heads each. (The web library's own Debug records of the
    // transfer, one short line per piece of a body, are not the queries'.)
    size_t added = 0, longest = 0;
    for (size_t at = log_before; at < log.size();) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        static const std::string library = "DEBUG server/lib/WebsockCallbacks.cpp logger_callback: ";
        if (log.compare(at, library.size(), library) != 0) {
            added += end - at + 1;
            longest = std::max(longest, end - at);
        }
        at = end + 1;
    }
    EXPECT_LT(added, 64u * 1024u);
    // A record quotes at most four texts (report id, domain, date, file).
    EXPECT_LT(longest, 4u * 1100u + 300u);
    EXPECT_NE(std::string::npos,
              log.find("Report not found. Report Id: \"2024-03-05,14:07:09," +
                       std::string(1024 - 20, 'x') + "... (" +
                       std::to_string(20 + big.size()) + " bytes)\""));
}

// A server killed inside a clean-up's commit (here: the index and settings
// files already committed, the report file not, the start marker left) is
// rolled back at the next start, before anything reads or saves: the newest
// report is that of the old set, and no marker or work file is left.
TEST(ProgramReportRecovery, AnInterruptedCleanUpIsRolledBackAtStart)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config("\"report_delete_at_time_utc\":\"23:59\"",
                   "\"domains\":[{\"domain\":\"hall\",\"pattern\":\"common\"}]");
    const std::string r = p.reports_path() + "/";
    const std::string old_config = std::string("1.1,2024-05-01,00:00:00,") + kDefaultRow + "\n";
    testsupport::put_file(r + "report_hall.txt.old", kHallReport);
    testsupport::put_file(r + "report_cfg_hall.txt.old", old_config);
    testsupport::put_file(r + "report_idx_hall.txt.old", "1.1,2024-05-01,00:00:00\n");
    // The new set, emptied by the clean-up, half committed.
    testsupport::put_file(r + "report_cfg_hall.txt", "");
    testsupport::put_file(r + "report_idx_hall.txt", "");
    testsupport::put_file(r + "report_hall.txt.tmp", "");
    testsupport::put_file(r + "report_hall.txt.start_status", "");

    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
    EXPECT_EQ(header() + ",\"report\":" + kHallNewest + ",\"status\":\"success\"}",
              testsupport::tcp_exchange(p.cli_port, rrm("\"domain\":\"hall\",\"last_report\":1")));
    EXPECT_EQ((std::vector<std::string>{"report_cfg_hall.txt", "report_hall.txt",
                                        "report_idx_hall.txt"}),
              p.work().names("reports"));
    EXPECT_EQ(kHallReport, testsupport::LogFolder::read(r + "report_hall.txt"));
    EXPECT_TRUE(p.wait_for_log("INFO server/lib/report_optimize_tpc_dca_cleanup.cpp recover: "
                               "Rollback reports repository for domain: \"hall\" succesfull.\n"))
        << p.all_logs_text();
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

}  // namespace
