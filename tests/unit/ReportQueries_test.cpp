// The report queries on fixture files written by hand: one report by id, the
// newest report of a domain and the list of a time window, byte for byte,
// with their errors, error codes and events.
#include "report_optimize_tpc_dca.h"

#include "DomainConfig.h"
#include "JsonWriter.h"
#include "LogCapture.h"
#include "LogFolder.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using testsupport::LogCapture;
using testsupport::LogFolder;

// The settings row of the 14:07:09 run: the defaults but dca_threshold 30
// (5th value) and use_80211k 0 (25th).
const char kRunRow[] = "1,1,1,1,30,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,0,1,93,0";
const char kDefaultRow[] = "1,1,1,1,25,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,0,1,93,1";

// The 37 settings in their JSON order: the row's values where the row has
// them, the built-in defaults elsewhere (6 GHz values, optimisation time,
// roaming, 802.11r/v, fast transition).
std::string settings_json(int dca_threshold, int use_80211k)
{
    return "{\"use_tavik_rrm_scan\":1,\"use_dca\":1,\"use_tpc\":1,\"use_hd_mode\":1,"
           "\"dca_threshold\":" +
           std::to_string(dca_threshold) +
           ",\"ap_rssi_threshold_2g\":-70,\"ap_rssi_threshold_5g\":-70,"
           "\"ap_rssi_threshold_6g\":-70,\"hysteresis_2g\":2,\"hysteresis_5g\":2,"
           "\"hysteresis_6g\":2,\"optimization_time\":\"00:00\",\"use_optimization_time\":0,"
           "\"use_optimization_event\":1,\"away_timeout\":120,\"blacklist_thr_low\":-75,"
           "\"blacklist_thr_high\":-65,\"blacklist_timeout\":30,\"load_balance_sta_low\":5,"
           "\"load_balance_sta_high\":20,\"roam_attempt_timeout\":600,"
           "\"sta_load_balance_period\":60,\"load_balance_roam_count_min\":2,"
           "\"load_balance_roam_count_max\":4,\"use_all_ap_balance\":0,\"use_balance\":1,"
           "\"client_rssi_renew\":15,\"client_max_age\":20,\"client_try_no_balance\":2,"
           "\"no_balance_enterprise\":0,\"use_rrm_report\":1,\"report_days_to_live\":93,"
           "\"use_80211k\":" +
           std::to_string(use_80211k) +
           ",\"use_80211r\":1,\"use_80211v\":0,\"fbt_reassoc_deadline\":1000,\"fbt_over_ds\":0}";
}

// Run 1 (14:07:09): two radios of AP 10:00, then one of AP 20:00 that only
// qualified after the run (its channels empty). Run 2 (09:00:00 the next
// day): one line in the older 15-field form.
const std::string kReportLines =
    "1.1,2024-03-05,14:07:09,02:00:00:00:10:00,02:00:00:00:10:10,"
    "10,12,6,1,1,20,18,3,0,1 6 11,-1,-1,-1,-1,0,0\n"
    "1.1,2024-03-05,14:07:09,02:00:00:00:10:00,02:00:00:00:10:20,"
    "17,14,36,44,0,80,20,5,256,36 40 44 48,23,20,5,30,3,1\n"
    "1.1,2024-03-05,14:07:09,02:00:00:00:20:00,02:00:00:00:20:20,"
    "0,9,0,104,0,0,0,0,0,,0,12,0,0,0,0\n"
    "1.0,2024-03-06,09:00:00,02:00:00:00:10:00,02:00:00:00:10:10,12,12,1,1,1,20,18,3,0,1 6 11\n";

// Fields 9, 4, then before (5, 7, 15), after (6, 8, 16), 10, 11, 12, 13,
// 14 split, 17, 18, 19, 20.
const std::string kRun1Details =
    "[{\"ap_mac\":\"02:00:00:00:10:00\",\"radio_interfaces\":["
    "{\"radio_id\":1,\"radio_mac\":\"02:00:00:00:10:10\","
    "\"before\":{\"power\":10,\"channel\":6,\"eirp\":-1},"
    "\"after\":{\"power\":12,\"channel\":1,\"eirp\":-1},"
    "\"bandwidth\":20,\"max_power\":18,\"min_power\":3,\"primary_channel\":0,"
    "\"available_channels\":[1,6,11],\"eirp-min\":-1,\"eirp-max\":-1,"
    "\"antenna-configuration\":{\"antenna-gain\":0,\"cable-loss\":0}},"
    "{\"radio_id\":0,\"radio_mac\":\"02:00:00:00:10:20\","
    "\"before\":{\"power\":17,\"channel\":36,\"eirp\":23},"
    "\"after\":{\"power\":14,\"channel\":44,\"eirp\":20},"
    "\"bandwidth\":80,\"max_power\":20,\"min_power\":5,\"primary_channel\":256,"
    "\"available_channels\":[36,40,44,48],\"eirp-min\":5,\"eirp-max\":30,"
    "\"antenna-configuration\":{\"antenna-gain\":3,\"cable-loss\":1}}]},"
    "{\"ap_mac\":\"02:00:00:00:20:00\",\"radio_interfaces\":["
    "{\"radio_id\":0,\"radio_mac\":\"02:00:00:00:20:20\","
    "\"before\":{\"power\":0,\"channel\":0,\"eirp\":0},"
    "\"after\":{\"power\":9,\"channel\":104,\"eirp\":12},"
    "\"bandwidth\":0,\"max_power\":0,\"min_power\":0,\"primary_channel\":0,"
    "\"available_channels\":[],\"eirp-min\":0,\"eirp-max\":0,"
    "\"antenna-configuration\":{\"antenna-gain\":0,\"cable-loss\":0}}]}]";

const std::string kRun1 =
    "{\"report\":{\"id\":\"2024-03-05,14:07:09,office\",\"domain\":\"office\","
    "\"date\":\"2024-03-05,14:07:09 UTC\",\"domain_config\":" +
    settings_json(30, 0) + ",\"details\":" + kRun1Details + "}}";

// The older form: no EIRP members, no EIRP limits, no antenna object.
const std::string kRun2 =
    "{\"report\":{\"id\":\"2024-03-06,09:00:00,office\",\"domain\":\"office\","
    "\"date\":\"2024-03-06,09:00:00 UTC\",\"domain_config\":" +
    settings_json(25, 1) +
    ",\"details\":[{\"ap_mac\":\"02:00:00:00:10:00\",\"radio_interfaces\":["
    "{\"radio_id\":1,\"radio_mac\":\"02:00:00:00:10:10\","
    "\"before\":{\"power\":12,\"channel\":1},\"after\":{\"power\":12,\"channel\":1},"
    "\"bandwidth\":20,\"max_power\":18,\"min_power\":3,\"primary_channel\":0,"
    "\"available_channels\":[1,6,11]}]}]}}";

class ReportQueryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir.write("report_idx_office.txt", "1.1,2024-03-05,14:07:09\n1.1,2024-03-06,09:00:00\n");
        dir.write("report_cfg_office.txt", std::string("1.1,2024-03-05,14:07:09,") + kRunRow +
                                               "\n1.1,2024-03-06,09:00:00," + kDefaultRow + "\n");
        dir.write("report_office.txt", kReportLines);
    }

    // The text of a query's reply object.
    static std::string reply(const std::function<int(rrm::JsonWriter&)>& query, int* code)
    {
        rrm::JsonWriter w("");
        *code = query(w);
        return w.to_string();
    }

    LogFolder dir;
};

TEST_F(ReportQueryTest, OneReportById)
{
    LogCapture log;
    int code = -1;
    EXPECT_EQ(kRun1, reply([&](rrm::JsonWriter& w) {
                  return reports::get_radio_report(w, "2024-03-05,14:07:09,office", dir.path());
              }, &code));
    EXPECT_EQ(0, code);
    EXPECT_EQ(kRun2, reply([&](rrm::JsonWriter& w) {
                  return reports::get_radio_report(w, "2024-03-06,09:00:00,office", dir.path());
              }, &code));
    EXPECT_EQ(0, code);
    // A fourth field: the domain is still the third.
    const std::string extra = reply(
        [&](rrm::JsonWriter& w) {
            return reports::get_radio_report(w, "2024-03-05,14:07:09,office,x", dir.path());
        },
        &code);
    EXPECT_EQ(0, code);
    EXPECT_EQ(0u, extra.find("{\"report\":{\"id\":\"2024-03-05,14:07:09,office,x\","
                             "\"domain\":\"office\","));
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(0u, reports::ReportFilesLock::slot_count());
}

TEST_F(ReportQueryTest, OneReportFailures)
{
    // A run with a settings line and no report lines, one with report lines
    // and no settings line, and a run whose line does not read.
    dir.write("report_cfg_office.txt", LogFolder::read(dir / "report_cfg_office.txt") +
                                           "1.1,2024-03-07,00:00:00," + kDefaultRow + "\n" +
                                           "1.1,2024-03-09,00:00:00," + kDefaultRow + "\n");
    dir.write("report_office.txt",
              kReportLines +
                  "1.1,2024-03-08,00:00:00,02:00:00:00:10:00,02:00:00:00:10:10,"
                  "1,1,1,1,1,20,1,1,0,1,1,1,1,1,0,0\n"
                  "1.1,2024-03-09,00:00:00,02:00:00:00:10:00,02:00:00:00:10:10,"
                  "1,1,1,1,1,20,x,1,0,1,1,1,1,1,0,0\n");
    const std::string head7 = "{\"report\":{\"id\":\"2024-03-07,00:00:00,office\","
                              "\"domain\":\"office\",\"date\":\"2024-03-07,00:00:00 UTC\"";
    const std::string head8 = "{\"report\":{\"id\":\"2024-03-08,00:00:00,office\","
                              "\"domain\":\"office\",\"date\":\"2024-03-08,00:00:00 UTC\"";
    const std::string head9 = "{\"report\":{\"id\":\"2024-03-09,00:00:00,office\","
                              "\"domain\":\"office\",\"date\":\"2024-03-09,00:00:00 UTC\"";
    struct Case {
        std::string id;
        std::string path;
        int code;
        std::string json;
        std::string error;  // one Error record expected
    };
    const std::string path = dir.path();
    const std::vector<Case> cases = {
        {"", path, 22, "{\"report\":{}}", "Argument 'report_id' is empty."},
        {"2024-03-05,14:07:09,office", "", 22, "{\"report\":{}}",
         "Argument 'report_files_path' is empty."},
        {"2024-03-05,14:07:09", path, 22, "{\"report\":{}}",
         "Not found domain name in 'report_id': \"2024-03-05,14:07:09\"."},
        {"2024-03-05,14:07:09,", path, 22, "{\"report\":{}}",
         "Not found domain name in 'report_id': \"2024-03-05,14:07:09,\"."},
        {"2024-03-05,14:07:09,../office", path, 22, "{\"report\":{}}",
         "Incorrect domain name in 'report_id': \"2024-03-05,14:07:09,../office\"."},
        {"2024-03-05,14:07:09,..", path, 22, "{\"report\":{}}",
         "Incorrect domain name in 'report_id': \"2024-03-05,14:07:09,..\"."},
        {"2024-03-05,25:07:09,office", path, 22, "{\"report\":{}}",
         "Incorrect data/time in 'report_id': \"2024-03-05,25:07:09,office\"."},
        // Settings, no report lines: the settings are shown, the details empty.
        {"2024-03-07,00:00:00,office", path, 22,
         head7 + ",\"domain_config\":" + settings_json(25, 1) + ",\"details\":[]}}",
         "Report data not found. Report Id: \"2024-03-07,00:00:00,office\". Domain: "
         "\"office\". Report date: \"2024-03-07,00:00:00\". File: \"" +
             (dir / "report_office.txt") + "\"."},
        // Report lines without settings: no report.
        {"2024-03-08,00:00:00,office", path, 22, head8 + ",\"domain_config\":{}}}",
         "Domain config for report not found. Report Id: \"2024-03-08,00:00:00,office\". "
         "Domain: \"office\". Report date: \"2024-03-08,00:00:00\". File: \"" +
             (dir / "report_cfg_office.txt") + "\"."},
        // A field that is not a number (field 11, maximum power).
        {"2024-03-09,00:00:00,office", path, 5,
         head9 + ",\"domain_config\":" + settings_json(25, 1) +
             ",\"details\":[{\"ap_mac\":\"02:00:00:00:10:00\",\"radio_interfaces\":[",
         "Report parser error in string: \"1.1,2024-03-09,00:00:00,02:00:00:00:10:00,"
         "02:00:00:00:10:10,1,1,1,1,1,20,x,1,0,1,1,1,1,1,0,0\"."},
        // A domain without files: the open error's errno.
        {"2024-03-05,14:07:09,lab", path, 2,
         "{\"report\":{\"id\":\"2024-03-05,14:07:09,lab\",\"domain\":\"lab\","
         "\"date\":\"2024-03-05,14:07:09 UTC\"}}",
         "Report not found. Report Id: \"2024-03-05,14:07:09,lab\". Domain: \"lab\". Report "
         "date: \"2024-03-05,14:07:09\". Exit code: 2."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        LogCapture log;
        int code = -1;
        const std::string json = reply(
            [&](rrm::JsonWriter& w) { return reports::get_radio_report(w, c.id, c.path); }, &code);
        EXPECT_EQ(c.code, code);
        // A failed entry may be half written: only its start is compared.
        if (c.code == 5)
            EXPECT_EQ(0u, json.find(c.json)) << json;
        else
            EXPECT_EQ(c.json, json);
        EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, c.error));
        ASSERT_EQ(1u, log.events().size());
        EXPECT_EQ(rrm::EVENT_REPORT_NOT_FOUND, log.events()[0].code);
        EXPECT_EQ(c.id, log.events()[0].details);
    }
}

TEST_F(ReportQueryTest, NewestReport)
{
    struct Case {
        const char* name;
        const char* domain;
        const char* index;  // null: no index file
        bool exists;
        int code;
        std::string json;
    };
    const std::vector<Case> cases = {
        {"last line", "office", "1.1,2024-03-05,14:07:09\n1.1,2024-03-06,09:00:00\n", true, 0,
         kRun2},
        {"single line", "office", "1.1,2024-03-05,14:07:09\n", true, 0, kRun1},
        // A last line that lost its line feed is still the last line.
        {"no final line feed", "office", "1.1,2024-03-06,09:00:00\n1.1,2024-03-05,14:07:09",
         true, 0, kRun1},
        {"configured, no index", "office", nullptr, true, 0, "{}"},
        {"configured, index under 2 bytes", "office", "\n", true, 0, "{}"},
        {"not configured, no index", "office", nullptr, false, 2, "{}"},
        {"empty last line", "office", "1.1,2024-03-05,14:07:09\n\n", true, 5, "{}"},
        {"bad last line", "office", "1.1,2024-03-05,14:07:09\n1.1,yesterday\n", true, 5, "{}"},
        // The index names a run whose report lines are gone.
        {"run without data", "office", "1.1,2024-03-01,00:00:00\n", true, 22,
         "{\"report\":{\"id\":\"2024-03-01,00:00:00,office\",\"domain\":\"office\","
         "\"date\":\"2024-03-01,00:00:00 UTC\",\"domain_config\":{}}}"},
        {"domain outside the folder", "../office", nullptr, true, 22, "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::remove((dir / "report_idx_office.txt").c_str());
        if (c.index)
            dir.write("report_idx_office.txt", c.index);
        LogCapture log;
        int code = -1;
        EXPECT_EQ(c.json, reply([&](rrm::JsonWriter& w) {
                      return reports::get_last_radio_report(w, c.domain, dir.path(), c.exists);
                  }, &code));
        EXPECT_EQ(c.code, code);
        if (c.code == 0) {
            EXPECT_TRUE(log.events().empty());
            continue;
        }
        EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                            "Query last radio report exit with error code: " +
                                std::to_string(c.code) + ". Domain: \"" + c.domain + "\"."));
        EXPECT_EQ(1u, log.event_count(rrm::EVENT_REPORT_LAST_FAILED));
        // The failed report by id raised its own event first.
        EXPECT_EQ(c.code == 22 && c.index ? 1u : 0u, log.event_count(rrm::EVENT_REPORT_NOT_FOUND));
    }
    LogCapture log;
    int code = -1;
    reply([&](rrm::JsonWriter& w) { return reports::get_last_radio_report(w, "", "/r", true); },
          &code);
    EXPECT_EQ(22, code);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "Argument 'domain_name' empty."));
    reply([&](rrm::JsonWriter& w) { return reports::get_last_radio_report(w, "x", "", true); },
          &code);
    EXPECT_EQ(22, code);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "Argument 'report_files_path' empty."));
}

TEST_F(ReportQueryTest, ListOfATimeWindow)
{
    const std::string run1 = "{\"id\":\"2024-03-05,14:07:09,office\",\"domain\":\"office\","
                             "\"date\":\"2024-03-05,14:07:09 UTC\"}";
    const std::string run2 = "{\"id\":\"2024-03-06,09:00:00,office\",\"domain\":\"office\","
                             "\"date\":\"2024-03-06,09:00:00 UTC\"}";
    struct Case {
        const char* name;
        std::string domain, start, finish;
        bool exists;
        int code;
        std::string json;
        std::string error;
    };
    const std::vector<Case> cases = {
        // Start included, finish excluded.
        {"window", "office", "2024-03-05,14:07:09 UTC", "2024-03-06,09:00:00 UTC", true, 0,
         "{\"data\":[" + run1 + "],\"count\":1}", ""},
        {"wide", "office", "2024-01-01,00:00:00 UTC", "2025-01-01,00:00:00 UTC", false, 0,
         "{\"data\":[" + run1 + "," + run2 + "],\"count\":2}", ""},
        {"after every run", "office", "2024-03-06,09:00:01 UTC", "2025-01-01,00:00:00 UTC", true,
         0, "{\"data\":[],\"count\":0}", ""},
        {"configured, no index", "lab", "2024-01-01,00:00:00 UTC", "2025-01-01,00:00:00 UTC",
         true, 0, "{\"data\":[],\"count\":0}", ""},
        {"not configured, no index", "lab", "2024-01-01,00:00:00 UTC",
         "2025-01-01,00:00:00 UTC", false, 2, "{\"count\":0}",
         "Query reports list exit with error code: 2. Domain: \"lab\". Reports start date: "
         "\"2024-01-01,00:00:00 UTC\". Reports end date: \"2025-01-01,00:00:00 UTC\"."},
        {"equal times", "office", "2024-03-05,14:07:09 UTC", "2024-03-05,14:07:09 UTC", true, 22,
         "{}",
         "'date_start' in reports query must < 'date_finish' (date_start = \"2024-03-05,"
         "14:07:09 UTC\", date_finish = \"2024-03-05,14:07:09 UTC\")."},
        {"other zone", "office", "2024-03-05,14:07:09 GMT", "2025-01-01,00:00:00 UTC", true, 22,
         "{}", "Expected UTC timezone in: \"2024-03-05,14:07:09 GMT\"."},
        {"no zone", "office", "2024-01-01,00:00:00 UTC", "2025-01-01,00:00:00", true, 22, "{}",
         "Incorrect data/time for 'date_finish' in reports query (\"2025-01-01,00:00:00\")."},
        {"bad time", "office", "2024-01-01,0x:00:00 UTC", "2025-01-01,00:00:00 UTC", true, 22,
         "{}", "Incorrect data/time in: \"2024-01-01,0x:00:00 UTC\"."},
        {"empty start", "office", "", "2025-01-01,00:00:00 UTC", true, 22, "{}",
         "Argument 'date_start' empty."},
        {"domain outside the folder", "a/b", "2024-01-01,00:00:00 UTC",
         "2025-01-01,00:00:00 UTC", true, 22, "{}", "Argument 'domain_name' invalid: \"a/b\"."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        int code = -1;
        EXPECT_EQ(c.json, reply([&](rrm::JsonWriter& w) {
                      return reports::get_radio_report_list(w, c.domain, dir.path(), c.start,
                                                            c.finish, c.exists);
                  }, &code));
        EXPECT_EQ(c.code, code);
        if (c.code == 0) {
            EXPECT_TRUE(log.events().empty());
            continue;
        }
        EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, c.error));
        ASSERT_EQ(1u, log.events().size());
        EXPECT_EQ(rrm::EVENT_REPORT_LIST_FAILED, log.events()[0].code);
        EXPECT_EQ(c.domain, log.events()[0].details);
    }

    // A bad index line is reported; the good lines are still listed.
    dir.write("report_idx_office.txt",
              "1.1,2024-03-05,14:07:09\ngarbage\n1.1,2024-03-06,09:00:00\n");
    LogCapture log;
    int code = -1;
    EXPECT_EQ("{\"data\":[" + run1 + "," + run2 + "],\"count\":2}",
              reply([&](rrm::JsonWriter& w) {
                  return reports::get_radio_report_list(w, "office", dir.path(),
                                                        "2024-01-01,00:00:00 UTC",
                                                        "2025-01-01,00:00:00 UTC", true);
              }, &code));
    EXPECT_EQ(5, code);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, "Incorrect report data/time in file: \"" +
                                                  (dir / "report_idx_office.txt") +
                                                  "\", line: \"garbage\"."));
    EXPECT_EQ(1u, log.event_count(rrm::EVENT_REPORT_LIST_FAILED));
}

// Every report the writer saves reads back, an empty channel list included.
TEST(ReportRoundTrip, SavedRunReadsBack)
{
    LogFolder dir;
    reports::RadioReportMap map;
    reports::RadioReport& radio = map["2024-03-05,14:07:09,02:00:00:00:20:00,02:00:00:00:20:20"];
    radio.after_power = 9;
    radio.after_channel = 104;
    radio.after_eirp = 12;
    reports::save_radio_report_to_files(map, "office", "2024-03-05,14:07:09", dir.path(),
                                        rrm::DomainConfig());
    LogCapture log;
    rrm::JsonWriter w("");
    EXPECT_EQ(0, reports::get_last_radio_report(w, "office", dir.path(), true));
    EXPECT_EQ("{\"report\":{\"id\":\"2024-03-05,14:07:09,office\",\"domain\":\"office\","
              "\"date\":\"2024-03-05,14:07:09 UTC\",\"domain_config\":" +
                  settings_json(25, 1) +
                  ",\"details\":[{\"ap_mac\":\"02:00:00:00:20:00\",\"radio_interfaces\":["
                  "{\"radio_id\":0,\"radio_mac\":\"02:00:00:00:20:20\","
                  "\"before\":{\"power\":0,\"channel\":0,\"eirp\":0},"
                  "\"after\":{\"power\":9,\"channel\":104,\"eirp\":12},"
                  "\"bandwidth\":0,\"max_power\":0,\"min_power\":0,\"primary_channel\":0,"
                  "\"available_channels\":[],\"eirp-min\":0,\"eirp-max\":0,"
                  "\"antenna-configuration\":{\"antenna-gain\":0,\"cable-loss\":0}}]}]}}",
              w.to_string());
    EXPECT_TRUE(log.events().empty());
}

}  // namespace
