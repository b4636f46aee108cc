#include "DomainConfig.h"
#include "JsonWriter.h"
#include "LogCapture.h"
#include "report_optimize_tpc_dca.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using rrm::DomainConfig;

const char kDefaultRow[] = "1,1,1,1,25,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,0,1,93,1";

std::string json_of(const DomainConfig& c)
{
    rrm::JsonWriter w("");
    c.to_json(w);
    return w.to_string();
}

// A record whose 25 row values all differ from the defaults.
DomainConfig non_default_row_values()
{
    DomainConfig c;
    c.use_tavik_rrm_scan = false;
    c.use_dca = false;
    c.use_tpc = false;
    c.use_hd_mode = false;
    c.dca_threshold = 40;
    c.ap_rssi_threshold_2g = -60;
    c.ap_rssi_threshold_5g = -61;
    c.hysteresis_2g = 3;
    c.hysteresis_5g = 4;
    c.reserved = 7;
    c.away_timeout = 300;
    c.blacklist_thr_low = -80;
    c.blacklist_thr_high = -62;
    c.blacklist_timeout = 45;
    c.load_balance_sta_low = 6;
    c.load_balance_sta_high = 25;
    c.use_all_ap_balance = true;
    c.use_balance = false;
    c.client_rssi_renew = 16;
    c.client_max_age = 21;
    c.client_try_no_balance = 3;
    c.no_balance_enterprise = true;
    c.use_rrm_report = false;
    c.report_days_to_live = 94;
    c.use_80211k = false;
    return c;
}

TEST(SettingsRow, DefaultRow)
{
    EXPECT_EQ(DomainConfig().to_string(","), kDefaultRow);
    EXPECT_EQ(DomainConfig().to_string(" | "),
              "1 | 1 | 1 | 1 | 25 | -70 | -70 | 2 | 2 | 0 | 120 | -75 | -65 | 30 | 5 | 20 | 0 | "
              "1 | 15 | 20 | 2 | 0 | 1 | 93 | 1");
}

TEST(SettingsRow, ValuesOutsideTheRowDoNotShow)
{
    DomainConfig c;
    c.ap_rssi_threshold_6g = -50;
    c.hysteresis_6g = 9;
    c.optimization_time = "03:00";
    c.use_80211r = false;
    c.use_80211v = true;
    c.fbt_reassoc_deadline = 5000;
    c.roam_attempt_timeout = 1;
    EXPECT_EQ(c.to_string(","), kDefaultRow);
}

TEST(SettingsRow, RowReadsBackIntoARecord)
{
    struct Case {
        const char* name;
        std::string row;
        size_t first_field;
        char separator;
    };
    const DomainConfig source = non_default_row_values();
    const std::vector<Case> cases = {
        {"row alone", source.to_string(","), 0, ','},
        {"behind three report fields", "1.1,2024-05-01,10:00:00," + source.to_string(","), 3,
         ','},
        {"other separator", source.to_string(";"), 0, ';'},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        testsupport::LogCapture log;
        DomainConfig read;
        EXPECT_EQ(read.from_string(tc.row, tc.first_field, tc.separator), 0);
        EXPECT_EQ(read.to_string(","), source.to_string(","));
        EXPECT_EQ(json_of(read), json_of(source));
        EXPECT_EQ(read.reserved, 7);
        EXPECT_TRUE(log.events().empty());
        EXPECT_TRUE(log.records().empty());
    }
}

TEST(SettingsRow, DefaultRowRoundTrips)
{
    testsupport::LogCapture log;
    DomainConfig read = non_default_row_values();
    EXPECT_EQ(read.from_string(kDefaultRow, 0, ','), 0);
    EXPECT_EQ(json_of(read), json_of(DomainConfig()));
    EXPECT_TRUE(log.events().empty());
}

TEST(SettingsRow, FieldsOutsideTheRowKeepTheirValues)
{
    DomainConfig c;
    c.use_80211v = true;
    c.ap_rssi_threshold_6g = -50;
    c.optimization_time = "05:00";
    c.optimization_seconds = 18000;
    ASSERT_EQ(c.from_string(kDefaultRow, 0, ','), 0);
    EXPECT_TRUE(c.use_80211v);
    EXPECT_EQ(c.ap_rssi_threshold_6g, -50);
    EXPECT_EQ(c.optimization_time, "05:00");
    EXPECT_EQ(c.optimization_seconds, 18000);
}

TEST(SettingsRow, BadRowsRaiseEvent22Once)
{
    struct Case {
        const char* name;
        std::string row;
        size_t first_field;
        int failures;
        std::string error;  // one of the Error records expected
    };
    const std::string row = kDefaultRow;
    const std::vector<Case> cases = {
        {"one field short", row.substr(0, row.rfind(',')), 0, 1,
         "Not found field 24 in string: \"" + row.substr(0, row.rfind(',')) + "\"."},
        {"starts too late", row, 1, 1, "Not found field 25 in string: \"" + row + "\"."},
        {"a word instead of a number", "1,1,1,1,x,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,0,1,93,1",
         0, 1,
         "Incorrect field 4 in string: \"1,1,1,1,x,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,"
         "2,0,1,93,1\"."},
        {"an empty field", "1,1,1,1,,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,0,1,93,1", 0,
         1,
         "Requested empty field 4 in string: \"1,1,1,1,,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,"
         "15,20,2,0,1,93,1\"."},
        {"an empty row", "", 0, 25, "'source' string is empty."},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        testsupport::LogCapture log;
        DomainConfig c;
        EXPECT_EQ(c.from_string(tc.row, tc.first_field, ','), tc.failures);
        ASSERT_EQ(log.events().size(), 1u);
        EXPECT_EQ(log.events()[0].code, 22);
        EXPECT_FALSE(log.events()[0].has_details);
        EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, tc.error));
    }
}

TEST(SettingsRow, ReadableFieldsOfABadRowAreStillRead)
{
    testsupport::LogCapture log;
    DomainConfig c;
    EXPECT_EQ(c.from_string("0,0,0,0,x,-60", 0, ','), 20);
    EXPECT_FALSE(c.use_tavik_rrm_scan);
    EXPECT_FALSE(c.use_hd_mode);
    EXPECT_EQ(c.dca_threshold, 25);
    EXPECT_EQ(c.ap_rssi_threshold_2g, -60);
    EXPECT_EQ(log.event_count(22), 1u);
}

TEST(ReportFields, IntegerFields)
{
    struct Case {
        const char* line;
        size_t n;
        int rc;
        int value;  // after the call, starting from 99
        const char* error;
    };
    const std::vector<Case> cases = {
        {"a,12,b", 1, 0, 12, nullptr},
        {"a,-7", 1, 0, -7, nullptr},
        {"a,0x10", 1, 0, 16, nullptr},
        {"a, 5", 1, 0, 5, nullptr},
        {"a,12", 2, 22, 0, "Not found field 2 in string: \"a,12\"."},
        {"a,,b", 1, 22, 0, "Requested empty field 1 in string: \"a,,b\"."},
        {"a,", 1, 22, 0, "Requested field 1 is empty (string: \"a,\")."},
        {"a,12x", 1, 22, 99, "Argument \"12x\" inconvertible."},
        {"a,3000000000", 1, 22, 99, "Argument \"3000000000\" too big."},
        {"a,-3000000000", 1, 22, 99, "Argument \"-3000000000\" too small."},
        {"a,99999999999999999999", 1, 34, 99,
         "Argument \"99999999999999999999\" invalid. Error code: 34 (Numerical result out of "
         "range)."},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.line);
        testsupport::LogCapture log;
        int value = 99;
        EXPECT_EQ(reports::get_field_by_num_as_int(tc.line, tc.n, value, ','), tc.rc);
        EXPECT_EQ(value, tc.value);
        if (tc.error) {
            EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR, tc.error));
        } else {
            EXPECT_TRUE(log.records().empty());
        }
        if (tc.rc != 0 && tc.value == 99) {
            EXPECT_TRUE(log.has(rrm::LOG_LEVEL_ERROR,
                                std::string("Incorrect field ") + std::to_string(tc.n) +
                                    " in string: \"" + tc.line + "\"."));
        }
    }
}

}  // namespace
