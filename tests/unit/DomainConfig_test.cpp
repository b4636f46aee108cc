#include "DomainConfig.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using rrm::DomainConfig;
using rrm::JsonReader;
using rrm::JsonWriter;

const char kDefaultJson[] =
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

std::string json_of(const DomainConfig& c)
{
    JsonWriter w("");
    c.to_json(w);
    return w.to_string();
}

TEST(DomainConfig, DefaultRecordWritesThe37KeysInOrder)
{
    DomainConfig c;
    EXPECT_EQ(json_of(c), kDefaultJson);
    EXPECT_EQ(c.optimization_seconds, 0);
    EXPECT_EQ(c.reserved, 0);
    EXPECT_EQ(c.away_timeout_ticks(), 12);
}

TEST(DomainConfig, FlagsAreWrittenAsIntegersAfterUpdate)
{
    DomainConfig c;
    EXPECT_TRUE(c.update(JsonReader(R"({"use_80211v": 7, "use_dca": false})")));
    const std::string text = json_of(c);
    EXPECT_NE(text.find("\"use_80211v\":1"), std::string::npos) << text;
    EXPECT_NE(text.find("\"use_dca\":0"), std::string::npos) << text;
}

TEST(DomainConfig, AwayTimeoutTicks)
{
    DomainConfig c;
    c.away_timeout = 3600;
    EXPECT_EQ(c.away_timeout_ticks(), 360);
    c.away_timeout = 15;
    EXPECT_EQ(c.away_timeout_ticks(), 1);
}

struct UpdateCase {
    const char* name;
    const char* object;
    bool changed;
    std::string expected_json;  // the record afterwards, as to_json writes it
};

std::string defaults_with(const std::string& key_value_before, const std::string& after)
{
    std::string text = kDefaultJson;
    const size_t at = text.find(key_value_before);
    if (at == std::string::npos)
        return "missing " + key_value_before;
    return text.replace(at, key_value_before.size(), after);
}

TEST(DomainConfig, LenientUpdate)
{
    const std::vector<UpdateCase> cases = {
        {"true keeps an enabled flag", R"({"use_dca": true})", false, kDefaultJson},
        {"zero turns a flag off", R"({"use_dca": 0})", true,
         defaults_with("\"use_dca\":1", "\"use_dca\":0")},
        {"null reads as off", R"({"use_dca": null})", true,
         defaults_with("\"use_dca\":1", "\"use_dca\":0")},
        {"above the range is ignored", R"({"dca_threshold": 150})", false, kDefaultJson},
        {"below the range is ignored", R"({"dca_threshold": -1})", false, kDefaultJson},
        {"equal value is no change", R"({"dca_threshold": 25})", false, kDefaultJson},
        {"decimal string is taken", R"({"report_days_to_live": "40"})", true,
         defaults_with("\"report_days_to_live\":93", "\"report_days_to_live\":40")},
        {"the range bounds are taken", R"({"fbt_reassoc_deadline": 268431360})", true,
         defaults_with("\"fbt_reassoc_deadline\":1000", "\"fbt_reassoc_deadline\":268431360")},
        {"low bits of a big integer", R"({"hysteresis_2g": 4294967297})", true,
         defaults_with("\"hysteresis_2g\":2", "\"hysteresis_2g\":1")},
        {"float reads as zero", R"({"client_max_age": 2.5})", true,
         defaults_with("\"client_max_age\":20", "\"client_max_age\":0")},
        {"24:00 is a time of day", R"({"optimization_time": "24:00"})", true,
         defaults_with("\"optimization_time\":\"00:00\"", "\"optimization_time\":\"24:00\"")},
        {"time text kept as given", R"({"optimization_time": "7:5"})", true,
         defaults_with("\"optimization_time\":\"00:00\"", "\"optimization_time\":\"7:5\"")},
        {"negative time ignored", R"({"optimization_time": "-1:00"})", false, kDefaultJson},
        {"minute 60 ignored", R"({"optimization_time": "23:60"})", false, kDefaultJson},
        {"seconds part ignored", R"({"optimization_time": "1:00:00"})", false, kDefaultJson},
        {"pair rule is not applied", R"({"load_balance_sta_low": 30})", true,
         defaults_with("\"load_balance_sta_low\":5", "\"load_balance_sta_low\":30")},
        {"unknown keys ignored", R"({"nonsense": 3})", false, kDefaultJson},
        {"not an object", R"([1, 2])", false, kDefaultJson},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        testsupport::LogCapture log;
        DomainConfig c;
        EXPECT_EQ(c.update(JsonReader(tc.object)), tc.changed);
        EXPECT_EQ(json_of(c), tc.expected_json);
        EXPECT_TRUE(log.records().empty()) << "update never logs";
    }
}

TEST(DomainConfig, UpdateKeepsSecondsInStepWithTheText)
{
    DomainConfig c;
    ASSERT_TRUE(c.update(JsonReader(R"({"optimization_time": "07:05"})")));
    EXPECT_EQ(c.optimization_seconds, 25500);
    ASSERT_TRUE(c.update(JsonReader(R"({"optimization_time": "24:00"})")));
    EXPECT_EQ(c.optimization_seconds, 86400);
    EXPECT_FALSE(c.update(JsonReader(R"({"optimization_time": "23:60"})")));
    EXPECT_EQ(c.optimization_time, "24:00");
    EXPECT_EQ(c.optimization_seconds, 86400);
}

struct TimeCase {
    const char* text;
    int min;
    int max;
    bool ok;
    int seconds;
};

TEST(DomainConfig, TimeTexts)
{
    const std::vector<TimeCase> cases = {
        {"07:05", 0, 86400, true, 25500},  {"7:5", 0, 86400, true, 25500},
        {"+14:00", -43200, 50400, true, 50400}, {"-03:30", -43200, 50400, true, -12600},
        {"-12:00", -43200, 50400, true, -43200}, {"+15:00", -43200, 50400, false, 0},
        {"14:01", -43200, 50400, false, 0},  {"24:00", 0, 86400, true, 86400},
        {"23:60", 0, 86400, false, 0},       {"1:00:00", 0, 86400, false, 0},
        {"", 0, 86400, false, 0},            {"12", 0, 86400, false, 0},
        {"12 :30", 0, 86400, false, 0},      {"ab:cd", 0, 86400, false, 0},
        {"-00:30", -43200, 50400, true, -1800}, {"23:59x", 0, 86400, true, 86340},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.text);
        int seconds = 0;
        EXPECT_EQ(rrm::parse_time_text(tc.text, tc.max, tc.min, seconds), tc.ok);
        if (tc.ok) {
            EXPECT_EQ(seconds, tc.seconds);
        }
    }
}

struct ValidateCase {
    const char* name;
    const char* object;
    bool valid;
    const char* rejects;
    std::vector<std::string> warnings;
};

TEST(DomainConfig, StrictValidation)
{
    const std::vector<ValidateCase> cases = {
        {"good values", R"({"dca_threshold": 99, "use_dca": 0, "optimization_time": "24:00"})",
         true, "[]", {}},
        {"below the range", R"({"dca_threshold": -1})", false, R"([{"dca_threshold":-1}])",
         {"Invalid value for 'dca_threshold': -1 (allowed range: [0, 99])"}},
        {"two bad values in check order", R"({"away_timeout": 5, "dca_threshold": 120})", false,
         R"([{"dca_threshold":120},{"away_timeout":5}])",
         {"Invalid value for 'dca_threshold': 120 (allowed range: [0, 99])",
          "Invalid value for 'away_timeout': 5 (allowed range: [10, 3600])"}},
        {"low above the default high", R"({"load_balance_sta_low": 30})", false,
         R"([{"load_balance_sta_low":30}])",
         {"Invalid value for 'load_balance_sta_low': 30 (allowed range: [1, 20])"}},
        {"low with its high", R"({"load_balance_sta_low": 30, "load_balance_sta_high": 50})",
         true, "[]", {}},
        {"high below the default low", R"({"load_balance_sta_high": 4})", false,
         R"([{"load_balance_sta_high":4}])",
         {"Invalid value for 'load_balance_sta_high': 4 (allowed range: [5, 100])"}},
        {"deadline at its top", R"({"fbt_reassoc_deadline": 268431360})", true, "[]", {}},
        {"deadline above", R"({"fbt_reassoc_deadline": 268431361})", false,
         R"([{"fbt_reassoc_deadline":268431361}])",
         {"Invalid value for 'fbt_reassoc_deadline': 268431361 (allowed range: [1000, "
          "268431360])"}},
        {"deadline below", R"({"fbt_reassoc_deadline": 999})", false,
         R"([{"fbt_reassoc_deadline":999}])",
         {"Invalid value for 'fbt_reassoc_deadline': 999 (allowed range: [1000, 268431360])"}},
        {"flag beyond 64 bits", R"({"use_dca": "99999999999999999999"})", false,
         R"([{"use_dca":0}])", {"Invalid value for 'use_dca': 0 (allowed range: [0, 1])"}},
        {"any number is a flag", R"({"use_dca": 42, "use_tpc": -3, "use_balance": 2.5})", true,
         "[]", {}},
        {"bad time", R"({"optimization_time": "-1:00"})", false,
         R"([{"optimization_time":"-1:00"}])",
         {"Invalid time value for 'optimization_time': '-1:00' (allowed range: [0, 86400] in "
          "seconds)"}},
        {"minute 60", R"({"optimization_time": "23:60"})", false,
         R"([{"optimization_time":"23:60"}])",
         {"Invalid time value for 'optimization_time': '23:60' (allowed range: [0, 86400] in "
          "seconds)"}},
        {"time that is not a string", R"({"optimization_time": 5})", false,
         R"([{"optimization_time":""}])",
         {"Invalid time value for 'optimization_time': '' (allowed range: [0, 86400] in "
          "seconds)"}},
        {"decimal string in range", R"({"dca_threshold": "30"})", true, "[]", {}},
        {"true reads as one", R"({"hysteresis_2g": true})", true, "[]", {}},
        // Values that would wrap or read as zero are judged as sent.
        {"64-bit value that wraps into range", R"({"dca_threshold": 4294967297})", false,
         R"([{"dca_threshold":4294967297}])",
         {"Invalid value for 'dca_threshold': 4294967297 (allowed range: [0, 99])"}},
        {"beyond 64-bit signed", R"({"dca_threshold": 18446744073709551615})", false,
         R"([{"dca_threshold":18446744073709551615}])",
         {"Invalid value for 'dca_threshold': 9223372036854775807 (allowed range: [0, 99])"}},
        {"float", R"({"client_max_age": 2.5})", false, R"([{"client_max_age":2.5}])",
         {"Invalid value for 'client_max_age': 2 (allowed range: [0, 300])"}},
        {"non-numeric string", R"({"client_max_age": "abc"})", false,
         R"([{"client_max_age":"abc"}])",
         {"Invalid value for 'client_max_age': 0 (allowed range: [0, 300])"}},
        {"empty string", R"({"client_max_age": ""})", false, R"([{"client_max_age":""}])",
         {"Invalid value for 'client_max_age': 0 (allowed range: [0, 300])"}},
        {"string with trailing blank", R"({"client_max_age": "12 "})", false,
         R"([{"client_max_age":"12 "}])",
         {"Invalid value for 'client_max_age': 12 (allowed range: [0, 300])"}},
        {"wrapping decimal string", R"({"client_max_age": "4294967297"})", false,
         R"([{"client_max_age":4294967297}])",
         {"Invalid value for 'client_max_age': 4294967297 (allowed range: [0, 300])"}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        testsupport::LogCapture log;
        JsonWriter root("2.0");
        JsonWriter rejects = root.add_array("rejects");
        EXPECT_EQ(DomainConfig::validate(JsonReader(tc.object), rejects), tc.valid);
        EXPECT_STREQ(rejects.to_string(), tc.rejects);
        std::vector<std::string> warnings;
        for (const auto& r : log.records()) {
            EXPECT_EQ(r.level, rrm::LOG_LEVEL_WARNING) << r.text;
            warnings.push_back(r.text);
        }
        EXPECT_EQ(warnings, tc.warnings);
    }
}

TEST(DomainConfig, ChecksOnlySetInvalid)
{
    JsonWriter root("2.0");
    JsonWriter rejects = root.add_array("rejects");
    bool invalid = true;
    rrm::validate_int_opt(JsonReader(R"({"a": 5})"), "a", 10, 0, invalid, rejects);
    rrm::validate_int_opt(JsonReader(R"({"a": 5})"), "a", invalid, rejects);
    rrm::validate_time_opt(JsonReader(R"({"a": "01:00"})"), "a", 86400, 0, invalid, rejects);
    EXPECT_TRUE(invalid);
    invalid = false;
    rrm::validate_int_opt(JsonReader(R"({})"), "a", 10, 0, invalid, rejects);
    EXPECT_FALSE(invalid);
    EXPECT_STREQ(rejects.to_string(), "[]");
}

TEST(DomainConfig, CopiesAreIndependent)
{
    DomainConfig a;
    a.update(JsonReader(R"({"optimization_time": "03:00", "dca_threshold": 40})"));
    DomainConfig b = a;
    b.update(JsonReader(R"({"optimization_time": "04:00", "dca_threshold": 41})"));
    EXPECT_EQ(a.optimization_time, "03:00");
    EXPECT_EQ(a.optimization_seconds, 10800);
    EXPECT_EQ(a.dca_threshold, 40);
    EXPECT_EQ(b.optimization_seconds, 14400);
}

}  // namespace
