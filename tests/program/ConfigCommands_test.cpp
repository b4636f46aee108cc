// The real binary's configuration commands over the TCP management API: the
// exact reply of every operation and level, the configuration file written
// again after each command that succeeds (and only then), the workers
// restarted after a change of the server section and removed after a change
// of their pattern or domain.
#include "ApSimulator.h"
#include "Version.h"
#include "WendaraProcess.h"
#include "WsTestClient.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <yajson/yajson.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

using testsupport::LogFolder;
using testsupport::WendaraProcess;
using namespace std::chrono_literals;

// The 37 settings of a pattern made from the built-in defaults, in the order
// of the settings table.
std::string default_settings(const std::string& changes_dca = "\"use_dca\":1",
                             const std::string& threshold = "\"dca_threshold\":25")
{
    return "\"use_tavik_rrm_scan\":1," + changes_dca + ",\"use_tpc\":1,\"use_hd_mode\":1," +
           threshold +
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
           "\"use_80211k\":1,\"use_80211r\":1,\"use_80211v\":0,\"fbt_reassoc_deadline\":1000,"
           "\"fbt_over_ds\":0";
}

// The 13 keys of the server section as the test's configuration sets them
// (everything else at its default), in the file's order.
std::string server_section(const WendaraProcess& p, int listen_port, int vrrp_timeout = 15)
{
    return "\"enabled\":1,\"api_port\":" + std::to_string(p.api_port) +
           ",\"cli_api_port\":" + std::to_string(p.cli_port) +
           ",\"listen_port\":" + std::to_string(listen_port) +
           ",\"use_https\":0,\"report_delete_at_time_utc\":\"21:00\",\"reports_path\":\"" +
           p.reports_path() + "\",\"www_path\":\"" + p.www_path() +
           "\",\"vrrp_enabled\":0,\"vrrp_timeout\":" + std::to_string(vrrp_timeout) +
           ",\"vrrp_backup_path\":\"" +
           p.backup_path() + "\",\"vrrp_state_file\":\"" + p.state_file() +
           "\",\"use_wildcard_80211r\":0";
}

std::string cfg(const std::string& body)
{
    return "{\"cfg\":{" + body + "}}";
}

const std::string kError = "{\"status\":\"error\"}";
const std::string kMarker = "{\"left\":\"by the test\"}\n";

yajson::JsonValue parse(const std::string& text)
{
    yajson::ParseResult parsed = yajson::parse(text, yajson::ParseOptions());
    EXPECT_FALSE(parsed.error) << text;
    return std::move(parsed.value);
}

// Names of the "domains" (member "domain") or "patterns" (member "pattern")
// of the configuration file.
std::vector<std::string> file_names(const std::string& file, const char* list, const char* key)
{
    std::vector<std::string> names;
    const yajson::JsonValue root = parse(file);
    if (!root.is_object())
        return names;
    const yajson::JsonValue* array = root.as_object().find(list);
    if (!array || !array->is_array())
        return names;
    for (const yajson::JsonValue& entry : array->as_array())
        names.emplace_back(entry.as_object().find(key)->as_string());
    return names;
}

TEST(ProgramConfigCommands, EveryOperationAndLevelWithItsReplyAndTheFileAfterIt)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();

    const std::string v = "{\"version\":\"2.1\"";
    const std::string defaults = v + "," + default_settings() + "}";
    const std::string refused_domain =
        "\"add_status\":\"Domain exists or chosen pattern not exists.\"}";
    struct Step {
        const char* what;
        std::string request;
        std::string reply;  // the file is written again exactly when it is not kError
    };
    const Step steps[] = {
        {"no level", cfg("\"operation\":\"get\""), kError},
        {"no operation", cfg("\"level\":\"global\""), kError},
        {"unknown operation", cfg("\"operation\":\"list\",\"level\":\"global\""), v + "}"},
        {"get global", cfg("\"operation\":\"get\",\"level\":\"global\""),
         v + "," + server_section(p, p.listen_port) + "}"},
        {"get unknown level", cfg("\"operation\":\"get\",\"level\":\"site\""), v + "}"},
        {"pattern list", cfg("\"operation\":\"get\",\"level\":\"pattern\""),
         v + ",\"patterns\":[{\"name\":\"common\"}]}"},
        {"get common", cfg("\"operation\":\"get\",\"level\":\"pattern\",\"pattern\":\"common\""),
         defaults},
        {"get missing pattern",
         cfg("\"operation\":\"get\",\"level\":\"pattern\",\"pattern\":\"office\""), kError},
        {"get empty pattern name",
         cfg("\"operation\":\"get\",\"level\":\"pattern\",\"pattern\":\"\""), kError},

        {"add pattern",
         cfg("\"operation\":\"add\",\"level\":\"pattern\",\"pattern\":\"office\","
             "\"config\":{\"use_dca\":0,\"dca_threshold\":40}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"add\",\"pattern\":\"office\","
             "\"add_status\":\"Success\"}"},
        {"add existing pattern",
         cfg("\"operation\":\"add\",\"level\":\"pattern\",\"pattern\":\"office\",\"config\":{}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"add\",\"pattern\":\"office\","
             "\"add_status\":\"Pattern exists\"}"},
        {"add pattern with a rejected value",
         cfg("\"operation\":\"add\",\"level\":\"pattern\",\"pattern\":\"lab\","
             "\"config\":{\"dca_threshold\":120}"),
         v + ",\"invalid_parameters\":[{\"dca_threshold\":120}],\"operation\":\"add\","
             "\"pattern\":\"lab\",\"add_status\":\"Pattern exists\"}"},
        {"add pattern without config",
         cfg("\"operation\":\"add\",\"level\":\"pattern\",\"pattern\":\"lab\""), kError},
        {"add pattern without a name",
         cfg("\"operation\":\"add\",\"level\":\"pattern\",\"config\":{}"), kError},
        {"get the added pattern",
         cfg("\"operation\":\"get\",\"level\":\"pattern\",\"pattern\":\"office\""),
         v + "," + default_settings("\"use_dca\":0", "\"dca_threshold\":40") + "}"},
        {"pattern list with the added one", cfg("\"operation\":\"get\",\"level\":\"pattern\""),
         v + ",\"patterns\":[{\"name\":\"common\"},{\"name\":\"office\"}]}"},

        // Validation order: dca_threshold is checked before away_timeout.
        {"set pattern with two rejected values",
         cfg("\"operation\":\"set\",\"level\":\"pattern\",\"pattern\":\"office\","
             "\"config\":{\"away_timeout\":5,\"dca_threshold\":120}"),
         v + ",\"invalid_parameters\":[{\"dca_threshold\":120},{\"away_timeout\":5}],"
             "\"operation\":\"set\",\"level\":\"pattern\",\"pattern\":\"office\"}"},
        {"nothing of it applied",
         cfg("\"operation\":\"get\",\"level\":\"pattern\",\"pattern\":\"office\""),
         v + "," + default_settings("\"use_dca\":0", "\"dca_threshold\":40") + "}"},
        {"set pattern",
         cfg("\"operation\":\"set\",\"level\":\"pattern\",\"pattern\":\"office\","
             "\"config\":{\"use_dca\":1}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"set\",\"level\":\"pattern\","
             "\"pattern\":\"office\"}"},
        {"set applied", cfg("\"operation\":\"get\",\"level\":\"pattern\",\"pattern\":\"office\""),
         v + "," + default_settings("\"use_dca\":1", "\"dca_threshold\":40") + "}"},
        {"set unknown pattern",
         cfg("\"operation\":\"set\",\"level\":\"pattern\",\"pattern\":\"lab\",\"config\":{}"),
         kError},
        {"set pattern without a name",
         cfg("\"operation\":\"set\",\"level\":\"pattern\",\"config\":{}"), kError},
        {"set without config",
         cfg("\"operation\":\"set\",\"level\":\"pattern\",\"pattern\":\"office\""), kError},
        {"set unknown level", cfg("\"operation\":\"set\",\"level\":\"common\",\"config\":{}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"set\",\"level\":\"common\"}"},

        {"add domain",
         cfg("\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"d1\","
             "\"config\":{\"pattern\":\"office\",\"time_zone\":\"+03:00\"}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"add\",\"domain\":\"d1\","
             "\"add_status\":\"Success\"}"},
        {"add domain of common",
         cfg("\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"d2\","
             "\"config\":{\"pattern\":\"common\"}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"add\",\"domain\":\"d2\","
             "\"add_status\":\"Success\"}"},
        {"add domain of a missing pattern",
         cfg("\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"d3\","
             "\"config\":{\"pattern\":\"lab\"}"),
         v + ",\"invalid_parameters\":[{\"pattern\":\"lab\"}],\"operation\":\"add\","
             "\"domain\":\"d3\"," + refused_domain},
        {"add existing domain",
         cfg("\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"d1\","
             "\"config\":{\"pattern\":\"common\"}"),
         v + ",\"invalid_parameters\":[{\"pattern\":\"common\"}],\"operation\":\"add\","
             "\"domain\":\"d1\"," + refused_domain},
        {"add domain with an empty pattern text",
         cfg("\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"d3\","
             "\"config\":{\"pattern\":\"\"}"),
         v + ",\"invalid_parameters\":[{\"pattern\":\"\"}],\"operation\":\"add\","
             "\"domain\":\"d3\"," + refused_domain},
        {"add domain with a time zone out of range",
         cfg("\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"d3\","
             "\"config\":{\"pattern\":\"office\",\"time_zone\":\"+15:00\"}"),
         v + ",\"invalid_parameters\":[{\"time_zone\":\"+15:00\"}],\"operation\":\"add\"}"},
        {"add domain without a pattern member",
         cfg("\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"d3\",\"config\":{}"),
         kError},
        {"add domain without a name",
         cfg("\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"\","
             "\"config\":{\"pattern\":\"common\"}"),
         kError},
        {"add at an unknown level",
         cfg("\"operation\":\"add\",\"level\":\"global\",\"config\":{}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"add\"}"},

        // The domain of the request is not looked at: every domain is listed.
        {"domain list",
         cfg("\"operation\":\"get\",\"level\":\"domain\",\"domain\":\"d2\""),
         v + ",\"domains\":[{\"name\":\"d1\",\"config\":\"office\",\"time_zone\":\"+03:00\"},"
             "{\"name\":\"d2\",\"config\":\"common\",\"time_zone\":\"\"}]}"},
        {"set domain with a time zone out of range",
         cfg("\"operation\":\"set\",\"level\":\"domain\",\"domain\":\"d1\","
             "\"config\":{\"pattern\":\"common\",\"time_zone\":\"25:00\"}"),
         v + ",\"invalid_parameters\":[{\"time_zone\":\"25:00\"}],\"operation\":\"set\","
             "\"level\":\"domain\"}"},
        {"set domain without time zone",
         cfg("\"operation\":\"set\",\"level\":\"domain\",\"domain\":\"d1\","
             "\"config\":{\"pattern\":\"common\"}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"set\",\"level\":\"domain\"}"},
        {"the time zone is cleared, the rejected one was not taken",
         cfg("\"operation\":\"get\",\"level\":\"domain\""),
         v + ",\"domains\":[{\"name\":\"d1\",\"config\":\"common\",\"time_zone\":\"\"},"
             "{\"name\":\"d2\",\"config\":\"common\",\"time_zone\":\"\"}]}"},
        {"set domain to a missing pattern",
         cfg("\"operation\":\"set\",\"level\":\"domain\",\"domain\":\"d1\","
             "\"config\":{\"pattern\":\"lab\"}"),
         kError},
        {"set unknown domain",
         cfg("\"operation\":\"set\",\"level\":\"domain\",\"domain\":\"d9\","
             "\"config\":{\"pattern\":\"common\"}"),
         kError},
        {"set domain without a pattern",
         cfg("\"operation\":\"set\",\"level\":\"domain\",\"domain\":\"d1\",\"config\":{}"),
         kError},

        {"set global with one rejected value",
         cfg("\"operation\":\"set\",\"level\":\"global\","
             "\"config\":{\"api_port\":8090,\"vrrp_timeout\":0}"),
         v + ",\"invalid_parameters\":[{\"vrrp_timeout\":0}],\"operation\":\"set\","
             "\"level\":\"global\"}"},
        {"nothing of it applied", cfg("\"operation\":\"get\",\"level\":\"global\""),
         v + "," + server_section(p, p.listen_port) + "}"},
        {"set global with a domain setting",
         cfg("\"operation\":\"set\",\"level\":\"global\",\"config\":{\"use_tpc\":0}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"set\",\"level\":\"global\"}"},

        {"add a second pattern's domain",
         cfg("\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"d4\","
             "\"config\":{\"pattern\":\"office\"}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"add\",\"domain\":\"d4\","
             "\"add_status\":\"Success\"}"},
        {"remove common", cfg("\"operation\":\"remove\",\"level\":\"pattern\",\"pattern\":\"common\""),
         v + ",\"operation\":\"remove\",\"pattern\":\"common\",\"remove_status\":1}"},
        {"remove pattern with its domain",
         cfg("\"operation\":\"remove\",\"level\":\"pattern\",\"pattern\":\"office\""),
         v + ",\"operation\":\"remove\",\"pattern\":\"office\",\"remove_status\":0}"},
        {"remove missing pattern",
         cfg("\"operation\":\"remove\",\"level\":\"pattern\",\"pattern\":\"office\""),
         v + ",\"operation\":\"remove\",\"pattern\":\"office\",\"remove_status\":1}"},
        {"remove pattern without a name",
         cfg("\"operation\":\"remove\",\"level\":\"pattern\""), kError},
        {"remove domain", cfg("\"operation\":\"remove\",\"level\":\"domain\",\"domain\":\"d2\""),
         v + ",\"operation\":\"remove\",\"domain\":\"d2\",\"remove_status\":0}"},
        {"remove missing domain",
         cfg("\"operation\":\"remove\",\"level\":\"domain\",\"domain\":\"d2\""),
         v + ",\"operation\":\"remove\",\"domain\":\"d2\",\"remove_status\":1}"},
        {"remove domain without a name", cfg("\"operation\":\"remove\",\"level\":\"domain\""),
         kError},
        {"remove at an unknown level", cfg("\"operation\":\"remove\",\"level\":\"global\""),
         v + ",\"operation\":\"remove\"}"},
        {"what is left", cfg("\"operation\":\"get\",\"level\":\"domain\""),
         v + ",\"domains\":[{\"name\":\"d1\",\"config\":\"common\",\"time_zone\":\"\"}]}"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        p.work().write("wendara.conf", kMarker);
        EXPECT_EQ(step.reply, testsupport::tcp_exchange(p.cli_port, step.request));
        const std::string file = LogFolder::read(p.config_path());
        if (step.reply == kError) {
            EXPECT_EQ(kMarker, file);
        } else {
            // The program's own layout, whatever the command.
            EXPECT_EQ(0u, file.find("{\n    \"version\": \"2.1\",\n    \"global\": {\n"))
                << file;
        }
    }

    // The file holds what the commands left.
    p.work().write("wendara.conf", kMarker);
    ASSERT_NE(kError, testsupport::tcp_exchange(
                          p.cli_port, cfg("\"operation\":\"get\",\"level\":\"global\"")));
    const std::string file = LogFolder::read(p.config_path());
    EXPECT_EQ(std::vector<std::string>{"d1"}, file_names(file, "domains", "domain"));
    EXPECT_EQ(std::vector<std::string>{}, file_names(file, "patterns", "pattern"));

    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

// A domain's name ends up in the names of its report and backup files and
// in report ids and log lines: a name that would leave its folder, make one
// domain's file another's ("idx_x"'s report file is "x"'s index), cut a
// report id short (','), break a log line (control characters) or give file
// names longer than the file system takes is refused at "add", with the same
// reply, and the file is not touched. The longest name that is taken is 231
// bytes: its clean-up marker "report_<name>.txt.start_status" has 255.
TEST(ProgramConfigCommands, DomainNamesTheirFilesCannotCarryAreRefusedAtAdd)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();

    const std::string longest(231, 'n');
    struct Case {
        std::string name;   // as JSON text, in the request and in the reply
        bool taken;
    };
    const Case cases[] = {
        {"a/b", false},         {"/", false},           {".", false},
        {"..", false},          {"../x", false},        {"x\\u0000y", false},
        {"cfg_x", false},       {"idx_x", false},       {"idx_", false},
        {"lab,2", false},       {",", false},           {"a\\nb", false},
        {"tab\\tx", false},     {"bell\\u0007", false}, {longest + "n", false},
        {std::string(300, 'n'), false},
        {"..x", true},          {"xidx_", true},        {"cfg", true},
        {"IDX_x", true},        {"caf\u00e9 2", true},  {longest, true},
    };
    std::vector<std::string> added;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40));
        const std::string before = LogFolder::read(p.config_path());
        const std::string reply = testsupport::tcp_exchange(
            p.cli_port, cfg("\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"" + c.name +
                            "\",\"config\":{\"pattern\":\"common\"}"));
        const std::string file = LogFolder::read(p.config_path());
        if (c.taken) {
            EXPECT_EQ("{\"version\":\"2.1\",\"invalid_parameters\":[],\"operation\":\"add\","
                      "\"domain\":\"" + c.name + "\",\"add_status\":\"Success\"}",
                      reply);
            added.push_back(parse("\"" + c.name + "\"").as_string().data());
            std::vector<std::string> expected = added;
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(expected, file_names(file, "domains", "domain"));
        } else {
            EXPECT_EQ("{\"version\":\"2.1\",\"invalid_parameters\":[{\"domain\":\"" + c.name +
                          "\"}],\"operation\":\"add\",\"domain\":\"" + c.name +
                          "\",\"add_status\":\"Domain exists or chosen pattern not exists.\"}",
                      reply);
            // A refusal is a successful command: the file is written again,
            // unchanged.
            EXPECT_EQ(before, file);
        }
    }
    // Neither a refused name nor what a NUL byte would cut it to was added.
    std::string listed = "{\"version\":\"2.1\",\"domains\":[";
    std::vector<std::string> sorted = added;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < sorted.size(); ++i) {
        yajson::JsonValue name = yajson::JsonValue::make_string(sorted[i]);
        listed += std::string(i ? "," : "") + "{\"name\":" + yajson::serialize({}, name) +
                  ",\"config\":\"common\",\"time_zone\":\"\"}";
    }
    EXPECT_EQ(listed + "]}", testsupport::tcp_exchange(
                                 p.cli_port, cfg("\"operation\":\"get\",\"level\":\"domain\"")));
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

// A configuration file written by hand (or by an earlier version) may hold
// names that are refused now: each gets a Warning naming it (control
// characters shown as \xNN) and its domain is not run, but its entry stays
// in the file through the write-back at start and every later save.
TEST(ProgramConfigCommands, DomainsWithRefusedNamesInTheFileAreNotRunButKept)
{
    WendaraProcess p;
    p.write_logger_config();
    const std::string too_long(232, 'l');
    const std::string domains =
        "\"domains\":[{\"domain\":\"ok\",\"pattern\":\"common\",\"time_zone\":\"\"},"
        "{\"domain\":\"idx_ok\",\"pattern\":\"common\",\"time_zone\":\"+03:00\"},"
        "{\"domain\":\"lab,2\",\"pattern\":\"office\",\"time_zone\":\"\"},"
        "{\"domain\":\"a\\nb\",\"pattern\":\"common\",\"time_zone\":\"\"},"
        "{\"domain\":\"" + too_long + "\",\"pattern\":\"common\",\"time_zone\":\"\"},"
        "{\"domain\":\"a/b\",\"pattern\":\"common\",\"time_zone\":\"\"}]";
    p.write_config("", domains + ",\"patterns\":[{\"pattern\":\"office\"}]");
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.stderr_text();

    const std::string warning = "WARNING server/lib/Config.cpp load_document: Domain '";
    const std::pair<std::string, std::string> held[] = {
        {"a/b", "a domain name must not be empty, \".\", \"..\" or hold '/' or a NUL byte"},
        {"a\\x0ab", "a domain name must not hold control characters"},
        {"idx_ok", "a domain name must not start with \"cfg_\" or \"idx_\""},
        {"lab,2", "a domain name must not hold ','"},
        {too_long, "a domain name must not be longer than 231 bytes"},
    };
    const std::string log = p.all_logs_text();
    for (const auto& [name, reason] : held)
        EXPECT_NE(std::string::npos,
                  log.find(warning + name + "' of the configuration file is not run: " + reason +
                           "; its entry is kept in the file\n"))
            << name << "\n"
            << log;

    // Only "ok" is a domain of the server.
    EXPECT_EQ("{\"version\":\"2.1\",\"domains\":[{\"name\":\"ok\",\"config\":\"common\","
              "\"time_zone\":\"\"}]}",
              testsupport::tcp_exchange(p.cli_port,
                                        cfg("\"operation\":\"get\",\"level\":\"domain\"")));
    // An AP of a held domain finds none.
    testsupport::WsTestClient ap;
    ASSERT_EQ(101, ap.connect(p.listen_port));
    ASSERT_TRUE(ap.send_text("{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":"
                             "\"subscribe-request\",\"domain\":\"idx_ok\",\"ap-mac\":"
                             "\"02:00:00:00:01:00\"}"));
    EXPECT_TRUE(p.wait_for_log("message for domain 'idx_ok': Domain not found\n"))
        << p.all_logs_text();

    // Every entry is in the file, in name order, as written; also after a
    // save that a command makes.
    const std::vector<std::string> all = {"a\nb", "a/b", "idx_ok", "lab,2", too_long, "ok"};
    EXPECT_EQ(all, file_names(LogFolder::read(p.config_path()), "domains", "domain"));
    EXPECT_NE(std::string::npos, LogFolder::read(p.config_path()).find("\"+03:00\""));
    EXPECT_EQ("{\"version\":\"2.1\",\"invalid_parameters\":[],\"operation\":\"add\","
              "\"domain\":\"new\",\"add_status\":\"Success\"}",
              testsupport::tcp_exchange(p.cli_port,
                                        cfg("\"operation\":\"add\",\"level\":\"domain\","
                                            "\"domain\":\"new\",\"config\":{\"pattern\":"
                                            "\"common\"}")));
    std::vector<std::string> with_new = all;
    with_new.insert(with_new.end() - 1, "new");
    EXPECT_EQ(with_new, file_names(LogFolder::read(p.config_path()), "domains", "domain"));
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

// "common" names the common settings. A pattern of that name was stored and
// listed twice but never used, and its removal removed every domain of the
// common settings, stopping their workers. "add" now answers as for a
// pattern that exists, "remove" as for one that does not, and nothing
// changes.
TEST(ProgramConfigCommands, PatternCommonCanNeitherBeAddedNorRemoved)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config("",
                   "\"domains\":[{\"domain\":\"d1\",\"pattern\":\"common\"},"
                   "{\"domain\":\"d2\",\"pattern\":\"office\"}],"
                   "\"patterns\":[{\"pattern\":\"office\"}]");
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.stderr_text();

    // An AP of d1 keeps its session through both commands: d1's worker is
    // not stopped.
    testsupport::ApSimulator ap(testsupport::ApSpec::typical("02:00:00:00:01:00", "d1"));
    ASSERT_TRUE(ap.connect(p.listen_port));
    ASSERT_TRUE(ap.subscribe());
    const std::string subscribed = ap.wait_for("subscribe-response").value_or("");
    ASSERT_NE(std::string::npos, subscribed.find("\"status\":\"success\"")) << subscribed;

    const std::string file = LogFolder::read(p.config_path());
    const std::string v = "{\"version\":\"2.1\"";
    struct Step {
        const char* what;
        std::string request;
        std::string reply;
    };
    const Step steps[] = {
        {"add", cfg("\"operation\":\"add\",\"level\":\"pattern\",\"pattern\":\"common\","
                    "\"config\":{\"use_dca\":0}"),
         v + ",\"invalid_parameters\":[],\"operation\":\"add\",\"pattern\":\"common\","
             "\"add_status\":\"Pattern exists\"}"},
        {"list", cfg("\"operation\":\"get\",\"level\":\"pattern\""),
         v + ",\"patterns\":[{\"name\":\"common\"},{\"name\":\"office\"}]}"},
        {"remove", cfg("\"operation\":\"remove\",\"level\":\"pattern\",\"pattern\":\"common\""),
         v + ",\"operation\":\"remove\",\"pattern\":\"common\",\"remove_status\":1}"},
        {"domains", cfg("\"operation\":\"get\",\"level\":\"domain\""),
         v + ",\"domains\":[{\"name\":\"d1\",\"config\":\"common\",\"time_zone\":\"\"},"
             "{\"name\":\"d2\",\"config\":\"office\",\"time_zone\":\"\"}]}"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(step.reply, testsupport::tcp_exchange(p.cli_port, step.request));
        EXPECT_EQ(file, LogFolder::read(p.config_path()));
    }
    EXPECT_FALSE(ap.wait_closed(300));
    EXPECT_EQ(std::string::npos, p.all_logs_text().find("Worker with domain 'd1' erased."));
    const std::string list = testsupport::tcp_exchange(p.cli_port, "{\"rrm\":{}}");
    EXPECT_NE(std::string::npos, list.find("{\"name\":\"d1\",\"ap-count\":1,")) << list;
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

TEST(ProgramConfigCommands, PatternNamesWithANulByteAreRefusedAtAdd)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config("", "\"patterns\":[{\"pattern\":\"office\",\"dca_threshold\":30}]");
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();

    // The file would keep these only up to the NUL byte: "office" twice
    // (the first one winning at the next start), or "x" for "x\0y".
    for (const char* name : {"office\\u0000x", "x\\u0000y"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(std::string("{\"version\":\"2.1\",\"invalid_parameters\":[{\"pattern\":\"") +
                      name + "\"}],\"operation\":\"add\",\"pattern\":\"" + name +
                      "\",\"add_status\":\"Pattern exists\"}",
                  testsupport::tcp_exchange(
                      p.cli_port, cfg(std::string("\"operation\":\"add\",\"level\":\"pattern\","
                                                  "\"pattern\":\"") +
                                      name + "\",\"config\":{\"dca_threshold\":60}")));
    }
    EXPECT_EQ("{\"version\":\"2.1\",\"patterns\":[{\"name\":\"common\"},{\"name\":\"office\"}]}",
              testsupport::tcp_exchange(p.cli_port,
                                        cfg("\"operation\":\"get\",\"level\":\"pattern\"")));
    const std::string file = LogFolder::read(p.config_path());
    EXPECT_EQ(std::vector<std::string>{"office"}, file_names(file, "patterns", "pattern"));
    EXPECT_NE(std::string::npos, file.find("\"dca_threshold\": 30")) << file;
    EXPECT_EQ(std::string::npos, file.find("\"dca_threshold\": 60")) << file;
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

TEST(ProgramConfigCommands, AFileThatCannotBeWrittenIsAnErrorAndTheReplyStillComes)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    // The configuration in a folder of its own, which goes away after the
    // start: the temporary file of the next save cannot be made.
    const std::string folder = p.work() / "conf";
    ASSERT_EQ(0, ::mkdir(folder.c_str(), 0755));
    const std::string path = folder + "/wendara.conf";
    ASSERT_EQ(0, ::rename(p.config_path().c_str(), path.c_str()));
    p.start({path});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
    ASSERT_EQ(0, ::unlink(path.c_str()));
    ASSERT_EQ(0, ::rmdir(folder.c_str()));

    EXPECT_EQ("{\"version\":\"2.1\",\"invalid_parameters\":[],\"operation\":\"add\","
              "\"pattern\":\"office\",\"add_status\":\"Success\"}",
              testsupport::tcp_exchange(p.cli_port,
                                        cfg("\"operation\":\"add\",\"level\":\"pattern\","
                                            "\"pattern\":\"office\",\"config\":{}")));
    EXPECT_TRUE(p.wait_for_log("ERROR server/lib/Config.cpp save: Configuration file '" + path +
                               "' not saved: create temporary file failed: No such file or "
                               "directory\n"))
        << p.all_logs_text();
    // The change is in force all the same.
    EXPECT_EQ("{\"version\":\"2.1\",\"patterns\":[{\"name\":\"common\"},{\"name\":\"office\"}]}",
              testsupport::tcp_exchange(p.cli_port,
                                        cfg("\"operation\":\"get\",\"level\":\"pattern\"")));
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

TEST(ProgramConfigCommands, AChangeOfTheServerSectionRestartsTheWorkersAndTheApTransport)
{
    WendaraProcess p;
    p.write_logger_config();
    p.write_config();
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.stderr_text();

    const std::string set_ok =
        "{\"version\":\"2.1\",\"invalid_parameters\":[],\"operation\":\"set\",\"level\":"
        "\"global\"}";
    testsupport::WsTestClient ap;
    ASSERT_EQ(101, ap.connect(p.listen_port));

    // The same value again, and a rejected one, change nothing: the AP
    // connection stays. The reply comes after any restart, so a restart
    // would have closed the connection by now.
    EXPECT_EQ(set_ok, testsupport::tcp_exchange(
                          p.cli_port, cfg("\"operation\":\"set\",\"level\":\"global\","
                                          "\"config\":{\"vrrp_timeout\":15}")));
    EXPECT_FALSE(ap.wait_closed(300));

    // A change restarts every worker: the AP transport drops its sessions.
    EXPECT_EQ(set_ok, testsupport::tcp_exchange(
                          p.cli_port, cfg("\"operation\":\"set\",\"level\":\"global\","
                                          "\"config\":{\"vrrp_timeout\":20}")));
    EXPECT_TRUE(ap.wait_closed(20000));
    ASSERT_TRUE(p.wait_for_port(p.listen_port));

    // A new AP port is taken up by the restart.
    const int moved = testsupport::free_port();
    EXPECT_EQ(set_ok, testsupport::tcp_exchange(
                          p.cli_port, cfg("\"operation\":\"set\",\"level\":\"global\","
                                          "\"config\":{\"listen_port\":" +
                                          std::to_string(moved) + "}")));
    EXPECT_TRUE(p.wait_for_port(moved));
    EXPECT_FALSE(testsupport::port_open(p.listen_port));
    EXPECT_EQ("{\"version\":\"2.1\"," + server_section(p, moved, 20) + "}",
              testsupport::tcp_exchange(p.cli_port,
                                        cfg("\"operation\":\"get\",\"level\":\"global\"")));
    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
}

}  // namespace
