#include "Config.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <list>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using rrm::DomainConfig;
using rrm::GlobalConfig;
using rrm::JsonReader;
using rrm::JsonWriter;

// A configuration without a file: pattern "office" (dca 30) with domains
// d1 and d2, and d3 on the common settings.
class ConfigEdit : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(config.load(JsonReader(
            R"({"global":{},"common":{},"patterns":[{"pattern":"office","dca_threshold":30}],)"
            R"("domains":[{"domain":"d1","pattern":"office","time_zone":"+01:00"},)"
            R"({"domain":"d2","pattern":"office"},{"domain":"d3","pattern":"common"}]})")));
    }

    std::string settings_json(const std::string& pattern) const
    {
        std::string out;
        config.for_each_pattern([&](const std::string& name, const DomainConfig& c) {
            if (name == pattern) {
                JsonWriter w("");
                c.to_json(w);
                out = w.to_string();
            }
        });
        return out;
    }

    std::string copy_json(const std::string& domain) const
    {
        JsonWriter w("");
        config.get_domain_config(domain).to_json(w);
        return w.to_string();
    }

    std::string domains() const
    {
        std::string out;
        config.for_each_domain_info([&](const std::string& name, const rrm::DomainInfo& info) {
            out += name + ":" + info.pattern + ":" + info.time_zone + ":" +
                   std::to_string(info.time_zone_offset) + ";";
        });
        return out;
    }

    std::string pattern_names() const
    {
        std::string out;
        config.for_each_pattern(
            [&](const std::string& name, const DomainConfig&) { out += name + ";"; });
        return out;
    }

    GlobalConfig config{""};
    JsonWriter root{"2.1"};
    JsonWriter rejects = root.add_array("invalid_parameters");
    testsupport::LogCapture log;
};

TEST_F(ConfigEdit, GlobalChangeIsAllOrNothing)
{
    struct Case {
        const char* name;
        const char* object;
        bool result;
        bool invalid;
        const char* rejects;
        int api_port;
        const char* reports_path;
    };
    const std::vector<Case> cases = {
        {"one bad key blocks the set", R"({"api_port": 8090, "vrrp_timeout": 0})", false, true,
         R"([{"vrrp_timeout":0}])", 8089, "/var/lib/tavik-wendara/reports"},
        {"empty path is valid and changes nothing", R"({"reports_path": ""})", false, false,
         "[]", 8089, "/var/lib/tavik-wendara/reports"},
        {"good values are applied", R"({"api_port": 8090, "reports_path": "/srv/r"})", true,
         false, "[]", 8090, "/srv/r"},
        {"bad delete time", R"({"api_port": 8090, "report_delete_at_time_utc": "23:60"})", false,
         true, R"([{"report_delete_at_time_utc":"23:60"}])", 8089,
         "/var/lib/tavik-wendara/reports"},
        {"delete time at midnight is 24:00 too late",
         R"({"report_delete_at_time_utc": "24:00"})", false, true,
         R"([{"report_delete_at_time_utc":"24:00"}])", 8089, "/var/lib/tavik-wendara/reports"},
        {"port that wraps into range", R"({"api_port": 4294975385})", false, true,
         R"([{"api_port":4294975385}])", 8089, "/var/lib/tavik-wendara/reports"},
        {"port as float", R"({"api_port": 8090.0})", false, true, R"([{"api_port":8090.0}])",
         8089, "/var/lib/tavik-wendara/reports"},
        {"port as word", R"({"api_port": "http"})", false, true, R"([{"api_port":"http"}])",
         8089, "/var/lib/tavik-wendara/reports"},
        {"port as decimal text", R"({"api_port": "8090"})", true, false, "[]", 8090,
         "/var/lib/tavik-wendara/reports"},
        {"unknown keys are ignored", R"({"colour": "blue"})", false, false, "[]", 8089,
         "/var/lib/tavik-wendara/reports"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        GlobalConfig fresh("");
        JsonWriter r("2.1");
        JsonWriter rej = r.add_array("invalid_parameters");
        bool invalid = !tc.invalid;
        EXPECT_EQ(fresh.global_change(JsonReader(tc.object), rej, invalid), tc.result);
        EXPECT_EQ(invalid, tc.invalid);
        EXPECT_STREQ(rej.to_string(), tc.rejects);
        EXPECT_EQ(fresh.server().api_port, tc.api_port);
        EXPECT_EQ(fresh.server().reports_path, tc.reports_path);
    }
}

TEST_F(ConfigEdit, ChangeOfCommonRefreshesItsDomains)
{
    bool invalid = true;
    bool changed = false;
    ASSERT_TRUE(config.pattern_change("common", JsonReader(R"({"dca_threshold": 50})"), rejects,
                                      invalid, changed));
    EXPECT_FALSE(invalid);
    EXPECT_TRUE(changed);
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_DEBUG, "Pattern common was changed"), 1u);
    EXPECT_EQ(config.get_domain_config("d3").dca_threshold, 50);
    EXPECT_EQ(config.get_domain_config("d1").dca_threshold, 30);
}

TEST_F(ConfigEdit, ChangeOfAPatternRefreshesItsDomains)
{
    bool invalid = true;
    bool changed = false;
    ASSERT_TRUE(config.pattern_change("office", JsonReader(R"({"use_80211v": 1})"), rejects,
                                      invalid, changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(log.count(rrm::LOG_LEVEL_DEBUG, "Pattern 'office' was changed"), 1u);
    EXPECT_TRUE(config.get_domain_config("d1").use_80211v);
    EXPECT_TRUE(config.get_domain_config("d2").use_80211v);
    EXPECT_FALSE(config.get_domain_config("d3").use_80211v);
    EXPECT_EQ(copy_json("d1"), settings_json("office"));
}

TEST_F(ConfigEdit, BadValueInAPatternChangeAppliesNothing)
{
    const std::string before = settings_json("office");
    bool invalid = false;
    bool changed = false;
    EXPECT_TRUE(config.pattern_change(
        "office", JsonReader(R"({"use_dca": 0, "dca_threshold": 120, "away_timeout": 300})"),
        rejects, invalid, changed));
    EXPECT_TRUE(invalid);
    EXPECT_FALSE(changed);
    EXPECT_STREQ(rejects.to_string(), R"([{"dca_threshold":120}])");
    EXPECT_EQ(settings_json("office"), before);
    EXPECT_EQ(copy_json("d1"), before);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_WARNING,
                        "Invalid value for 'dca_threshold': 120 (allowed range: [0, 99])"));
}

TEST_F(ConfigEdit, UnchangedValuesAreNoChange)
{
    bool invalid = true;
    bool changed = false;
    EXPECT_TRUE(config.pattern_change("office", JsonReader(R"({"dca_threshold": 30})"), rejects,
                                      invalid, changed));
    EXPECT_FALSE(invalid);
    EXPECT_FALSE(changed);
    EXPECT_TRUE(log.records().empty());
}

TEST_F(ConfigEdit, ChangeOfAnAbsentPatternIsRefused)
{
    bool invalid = true;
    bool changed = false;
    EXPECT_FALSE(config.pattern_change("ghost", JsonReader(R"({"dca_threshold": 120})"), rejects,
                                       invalid, changed));
    EXPECT_TRUE(invalid) << "left untouched";
    EXPECT_FALSE(changed);
    EXPECT_STREQ(rejects.to_string(), "[]");
    EXPECT_TRUE(log.records().empty());
}

TEST_F(ConfigEdit, PatternAdd)
{
    bool invalid = false;
    bool changed = false;
    // An existing name is refused before any check.
    EXPECT_FALSE(config.pattern_add("office", JsonReader(R"({"dca_threshold": 120})"), rejects,
                                    invalid, changed));
    EXPECT_FALSE(invalid);
    EXPECT_STREQ(rejects.to_string(), "[]");

    EXPECT_FALSE(config.pattern_add("lab", JsonReader(R"({"use_dca": 0, "away_timeout": 1})"),
                                    rejects, invalid, changed));
    EXPECT_TRUE(invalid);
    EXPECT_FALSE(changed);
    EXPECT_STREQ(rejects.to_string(), R"([{"away_timeout":1}])");
    EXPECT_EQ(pattern_names(), "common;office;");

    ASSERT_TRUE(
        config.pattern_add("lab", JsonReader(R"({"use_dca": 0})"), rejects, invalid, changed));
    EXPECT_FALSE(invalid);
    EXPECT_TRUE(changed);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "Config pattern 'lab' was successfully added."));
    DomainConfig expected;
    expected.use_dca = false;
    JsonWriter w("");
    expected.to_json(w);
    EXPECT_EQ(settings_json("lab"), w.to_string());
}

// "common" always names the common settings: a pattern of that name is
// refused like one that exists (nothing validated, nothing stored); one that
// a file brings along never serves a domain and is never removed, with the
// domains of the common settings.
TEST_F(ConfigEdit, PatternNamedCommonNeverServesADomain)
{
    bool invalid = false;
    bool changed = false;
    EXPECT_FALSE(config.pattern_add("common", JsonReader(R"({"dca_threshold": 77})"), rejects,
                                    invalid, changed));
    EXPECT_FALSE(config.pattern_add("common", JsonReader(R"({"dca_threshold": 700})"), rejects,
                                    invalid, changed));
    EXPECT_FALSE(invalid);
    EXPECT_FALSE(changed);
    EXPECT_STREQ(rejects.to_string(), "[]");
    EXPECT_FALSE(config.is_pattern_exist("common"));

    GlobalConfig other("");
    ASSERT_TRUE(other.load(JsonReader(
        R"({"global":{},"common":{},"patterns":[{"pattern":"common","dca_threshold":77}],)"
        R"("domains":[{"domain":"d4","pattern":"common"}]})")));
    ASSERT_TRUE(other.is_pattern_exist("common"));
    EXPECT_EQ(other.get_domain_config("d4").dca_threshold, 25);
    ASSERT_TRUE(other.pattern_change("common", JsonReader(R"({"dca_threshold": 60})"), rejects,
                                     invalid, changed));
    EXPECT_EQ(other.get_domain_config("d4").dca_threshold, 60);
    changed = false;
    EXPECT_FALSE(other.pattern_remove("common", {"d4"}, changed));
    EXPECT_FALSE(changed);
    EXPECT_TRUE(other.is_domain_exist("d4"));
    EXPECT_TRUE(other.is_pattern_exist("common"));
}

TEST_F(ConfigEdit, PatternRemove)
{
    bool changed = false;
    EXPECT_FALSE(config.pattern_remove("ghost", {}, changed));
    EXPECT_FALSE(config.pattern_remove("common", {}, changed));
    EXPECT_FALSE(changed);

    // Without a list only the pattern goes; its domains stay, unusable.
    GlobalConfig other("");
    ASSERT_TRUE(other.load(JsonReader(
        R"({"global":{},"common":{},"patterns":[{"pattern":"p"}],"domains":[{"domain":"x","pattern":"p"}]})")));
    ASSERT_TRUE(other.pattern_remove("p", {}, changed));
    EXPECT_TRUE(changed);
    EXPECT_TRUE(other.is_domain_exist("x"));
    EXPECT_THROW(
        {
            try {
                other.get_domain_config("x");
            } catch (const std::out_of_range& e) {
                EXPECT_STREQ(e.what(), "Pattern not found");
                throw;
            }
        },
        std::out_of_range);

    log.clear();
    changed = false;
    ASSERT_TRUE(config.pattern_remove("office", {"d1", "d2", "nowhere"}, changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(domains(), "d3:common::0;");
    EXPECT_EQ(pattern_names(), "common;");
    std::vector<std::string> debug;
    for (const auto& r : log.records())
        debug.push_back(r.text);
    EXPECT_EQ(debug, (std::vector<std::string>{
                         "Domain 'd1' with pattern 'office' removed from map.",
                         "Domain 'd1' with pattern 'office' removed from domain_map.",
                         "Domain 'd2' with pattern 'office' removed from map.",
                         "Domain 'd2' with pattern 'office' removed from domain_map.",
                         "Pattern 'office' was successfully removed.",
                     }));
}

TEST_F(ConfigEdit, DomainAdd)
{
    bool changed = false;
    EXPECT_FALSE(config.domain_add("d1", "common", "", 0, changed)) << "exists";
    EXPECT_FALSE(config.domain_add("d9", "ghost", "", 0, changed)) << "no such pattern";
    EXPECT_FALSE(changed);
    EXPECT_TRUE(log.records().empty());

    ASSERT_TRUE(config.domain_add("d9", "common", "-03:30", -12600, changed));
    EXPECT_TRUE(changed);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "Domain 'd9' was successfully added."));
    EXPECT_EQ(copy_json("d9"), settings_json("common"));
    EXPECT_EQ(config.get_time_zone("d9"), -12600);
    ASSERT_TRUE(config.domain_add("d10", "office", "", 0, changed));
    EXPECT_EQ(config.get_domain_config("d10").dca_threshold, 30);
}

TEST_F(ConfigEdit, DomainNamesUnfitForFileNamesAreRefused)
{
    for (const std::string& name :
         {std::string(""), std::string("."), std::string(".."), std::string("a/b"),
          std::string("/abs"), std::string("x\0y", 3)}) {
        SCOPED_TRACE(name);
        bool changed = false;
        log.clear();
        EXPECT_FALSE(config.domain_add(name, "common", "", 0, changed));
        EXPECT_FALSE(changed);
        EXPECT_EQ(log.records().size(), 1u);
    }
    EXPECT_EQ(domains(), "d1:office:+01:00:3600;d2:office::0;d3:common::0;");
    bool changed = false;
    EXPECT_TRUE(config.domain_add("...", "common", "", 0, changed)) << "only . and .. are special";
}

TEST_F(ConfigEdit, DomainChange)
{
    bool changed = false;
    EXPECT_FALSE(config.domain_change("zz", "common", "", 0, changed));
    EXPECT_FALSE(config.domain_change("d1", "ghost", "", 0, changed));
    EXPECT_FALSE(changed);

    // The same pattern and time zone still count as a change.
    ASSERT_TRUE(config.domain_change("d1", "office", "+01:00", 3600, changed));
    EXPECT_TRUE(changed);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "Domain 'd1' was changed"));

    ASSERT_TRUE(config.domain_change("d1", "common", "+02:00", 7200, changed));
    EXPECT_EQ(config.get_domain_config("d1").dca_threshold, 25);
    EXPECT_EQ(config.get_time_zone("d1"), 7200);
    EXPECT_EQ(domains(), "d1:common:+02:00:7200;d2:office::0;d3:common::0;");
}

TEST_F(ConfigEdit, DomainRemove)
{
    bool changed = false;
    EXPECT_FALSE(config.domain_remove("zz", changed));
    EXPECT_FALSE(changed);
    ASSERT_TRUE(config.domain_remove("d2", changed));
    EXPECT_TRUE(changed);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "Domain 'd2' was successfully removed."));
    EXPECT_FALSE(config.is_domain_exist("d2"));
    EXPECT_THROW(config.get_domain_config("d2"), std::out_of_range);
    std::string copies;
    config.for_each_domain_config(
        [&](const std::string& name, const DomainConfig&) { copies += name + ";"; });
    EXPECT_EQ(copies, "d1;d3;");
}

TEST_F(ConfigEdit, ParseTimeZone)
{
    struct Case {
        const char* request;
        bool result;
        bool invalid;
        bool changed;
        const char* time_zone;
        int offset;
        const char* rejects;
    };
    const std::vector<Case> cases = {
        {R"({"time_zone": "-12:00"})", true, false, true, "-12:00", -43200, "[]"},
        {R"({"time_zone": "+14:00"})", true, false, true, "+14:00", 50400, "[]"},
        {R"({"time_zone": "+05:00"})", true, false, false, "+05:00", 18000, "[]"},
        {R"({"time_zone": "14:01"})", false, true, false, "+05:00", 18000,
         R"([{"time_zone":"14:01"}])"},
        {R"({"time_zone": ""})", false, true, false, "+05:00", 18000, R"([{"time_zone":""}])"},
        {R"({"pattern": "common"})", true, false, false, "+05:00", 18000, "[]"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.request);
        JsonWriter r("2.1");
        JsonWriter rej = r.add_array("invalid_parameters");
        std::string time_zone = "+05:00";
        int offset = 18000;
        bool invalid = !tc.invalid;
        bool changed = !tc.changed;
        EXPECT_EQ(config.parse_time_zone(JsonReader(tc.request), time_zone, offset, &invalid,
                                         tc.result ? &changed : nullptr, rej),
                  tc.result);
        EXPECT_EQ(invalid, tc.invalid);
        if (tc.result) {
            EXPECT_EQ(changed, tc.changed);
        }
        EXPECT_EQ(time_zone, tc.time_zone);
        EXPECT_EQ(offset, tc.offset);
        EXPECT_STREQ(rej.to_string(), tc.rejects);
    }
    std::string time_zone;
    int offset = 0;
    EXPECT_TRUE(config.parse_time_zone(JsonReader(R"({"time_zone": "-01:00"})"), time_zone,
                                       offset, nullptr, nullptr, rejects));
    EXPECT_EQ(offset, -3600);
}

TEST_F(ConfigEdit, EditsAreSavedInTheFileLayout)
{
    bool changed = false;
    ASSERT_TRUE(config.domain_add("d4", "common", "+01:00", 3600, changed));
    JsonWriter doc("2.1");
    config.to_json(doc);
    const std::string text = doc.to_string();
    EXPECT_EQ(text.find("{\"version\":\"2.1\",\"global\":{\"enabled\":1,"), 0u) << text;
    EXPECT_NE(text.find("\"domains\":[{\"domain\":\"d1\",\"pattern\":\"office\",\"time_zone\":"
                        "\"+01:00\"},{\"domain\":\"d2\",\"pattern\":\"office\",\"time_zone\":\"\"},"
                        "{\"domain\":\"d3\",\"pattern\":\"common\",\"time_zone\":\"\"},"
                        "{\"domain\":\"d4\",\"pattern\":\"common\",\"time_zone\":\"+01:00\"}],"
                        "\"patterns\":[{\"pattern\":\"office\",\"use_tavik_rrm_scan\":1,"),
              std::string::npos)
        << text;
}

}  // namespace
