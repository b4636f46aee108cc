// The real binary's "rrm" and "vrrp" commands over the TCP management API:
// the domain list with its AP counts, AP queries by base, radio and
// locally-administered MAC, AP sessions and their drop, the VRRP role,
// restored planning states and the forced optimisation they refuse, and
// domain workers removed when their pattern or domain changes. The domain
// workers are the ones the server restores from VRRP backup files at start
// (their APs wait in the deleted-AP list).
#include "Version.h"
#include "WendaraProcess.h"
#include "WsTestClient.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <yajson/yajson.h>

#include <map>
#include <set>
#include <string>

namespace {

using testsupport::WendaraProcess;
using testsupport::WsTestClient;
using namespace std::chrono_literals;

std::string hostname()
{
    char name[1024] = {0};
    ::gethostname(name, sizeof name - 1);
    return name;
}

// What every "rrm" and "vrrp" reply begins with.
std::string header()
{
    return "{\"version\":\"2.1\",\"server\":\"" + hostname() + "\",\"wendara_version\":\"" +
           rrm::WENDARA_VERSION + "\"";
}

// A domain backup with one AP in its deleted list: base MAC AA:BB:CC:00:01:00,
// radio 0 at offset 0, radio 1 at offset 16 (AA:BB:CC:00:01:10).
std::string backup(const std::string& domain, const std::string& serial,
                   const std::string& states = "\"rrm-status\":0,\"fbt-status\":0")
{
    return "{\"name\":\"" + domain + "\"," + states +
           ",\"aps\":[],\"unanswered-aps\":[],"
           "\"deleted-aps\":[{\"mac\":\"AA:BB:CC:00:01:00\",\"board\":\"board-1\",\"hw\":\"hw-1\","
           "\"serial\":\"" +
           serial +
           "\",\"ap-mac-count\":48,\"use-wildcard-80211r\":0,\"radios\":{\"received\":0,"
           "\"interfaces\":[{\"id\":0,\"status\":1,\"channel\":6,\"mac-offset\":0},"
           "{\"id\":1,\"status\":1,\"channel\":36,\"mac-offset\":16}]}}]}";
}

yajson::JsonValue parse(const std::string& text)
{
    yajson::ParseResult parsed = yajson::parse(text, yajson::ParseOptions());
    EXPECT_FALSE(parsed.error) << text;
    return std::move(parsed.value);
}

// The domain list of {"rrm":{}}: name -> the rest of its entry as text.
std::map<std::string, std::string> domain_list(int port)
{
    const std::string reply = testsupport::tcp_exchange(port, "{\"rrm\":{}}");
    std::map<std::string, std::string> out;
    EXPECT_EQ(0u, reply.find(header() + ",\"domains\":[")) << reply;
    const yajson::JsonValue root = parse(reply);
    if (!root.is_object())
        return out;
    const yajson::JsonValue* list = root.as_object().find("domains");
    if (!list || !list->is_array())
        return out;
    for (const yajson::JsonValue& entry : list->as_array()) {
        yajson::JsonValue rest = entry;
        const std::string name(entry.as_object().find("name")->as_string());
        rest.as_object().erase("name");
        yajson::SerializeOptions options;
        options.indent = -1;
        out[name] = yajson::serialize(options, rest);
    }
    return out;
}

std::string rrm(const std::string& body)
{
    return "{\"rrm\":{" + body + "}}";
}

class ProgramQueries : public ::testing::Test {
protected:
    void SetUp() override
    {
        p.write_logger_config();
        // d1 on pattern office, d2 and d3 on the common settings, d4 on lab;
        // all four restored from their backups when the server becomes
        // master at start.
        p.write_config("\"vrrp_enabled\":1",
                       "\"patterns\":[{\"pattern\":\"office\"},{\"pattern\":\"lab\"}],"
                       "\"domains\":[{\"domain\":\"d1\",\"pattern\":\"office\"},"
                       "{\"domain\":\"d2\",\"pattern\":\"common\"},"
                       "{\"domain\":\"d3\",\"pattern\":\"common\"},"
                       "{\"domain\":\"d4\",\"pattern\":\"lab\"}]");
        p.work().write("keep.mode", "MASTER\n");
        ::mkdir(p.backup_path().c_str(), 0755);
        // d4 was scanning, with an 802.11r update pending.
        for (const char* domain : {"d1", "d2", "d3", "d4"})
            testsupport::put_file(p.backup_path() + "/" + domain + ".json",
                                  backup(domain, std::string("serial-") + domain,
                                         std::string(domain) == "d4"
                                             ? "\"rrm-status\":3,\"fbt-status\":1"
                                             : "\"rrm-status\":0,\"fbt-status\":0"));
        p.start({p.config_path()});
        ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
        ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.all_logs_text() << p.stderr_text();
        ASSERT_TRUE(testsupport::wait_until([&] { return domain_list(p.cli_port).size() == 4; },
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

    WendaraProcess p;
};

TEST_F(ProgramQueries, DomainListAndApQueries)
{
    const std::string counts =
        "{\"ap-count\":0,\"unanswered-ap-count\":0,\"deleted-ap-count\":1,\"common-config\":0}";
    EXPECT_EQ((std::map<std::string, std::string>{
                  {"d1", counts}, {"d2", counts}, {"d3", counts}, {"d4", counts}}),
              domain_list(p.cli_port));
    // A command that is not an object reads as one without members.
    EXPECT_EQ(ask(rrm("")), ask("{\"rrm\":5}"));

    // The AP's state: the members of the AP state object, in their order.
    const std::string state = header() +
                              ",\"deleted-ap\":{\"mac\":\"AA:BB:CC:00:01:00\",\"active\":0,"
                              "\"ap-mac-count\":48,\"use-wildcard-80211r\":0,\"radios\":"
                              "{\"received\":0,\"interfaces\":[";
    struct Case {
        const char* what;
        std::string body;
        std::string reply_start;  // the whole reply when it ends with '}'
    };
    const std::string not_found = header() + ",\"error\":\"ap not found\"}";
    const Case cases[] = {
        {"base MAC", "\"domain\":\"d1\",\"ap\":\"AA:BB:CC:00:01:00\"", state},
        {"lower case", "\"domain\":\"d1\",\"ap\":\"aa:bb:cc:00:01:00\"", state},
        {"radio 1's MAC", "\"domain\":\"d2\",\"ap\":\"AA:BB:CC:00:01:10\"", state},
        // 0xAA with bit 0x02 cleared is 0xA8.
        {"radio MAC, local bit flipped", "\"domain\":\"d2\",\"ap\":\"a8:bb:cc:00:01:10\"", state},
        {"the AP query wins over an optimisation",
         "\"domain\":\"d1\",\"ap\":\"AA:BB:CC:00:01:00\",\"start_optimization\":\"true\"", state},
        {"fast-transition form",
         "\"domain\":\"d1\",\"ap\":\"AA:BB:CC:00:01:00\",\"fbt-links\":{}",
         header() + ",\"deleted-ap\":{\"radios\":[{\"id\":0,"},
        {"a MAC the AP does not have", "\"domain\":\"d1\",\"ap\":\"AA:BB:CC:00:01:20\"",
         not_found},
        {"not a MAC", "\"domain\":\"d1\",\"ap\":\"AA:BB:CC\"", not_found},
        {"all zero", "\"domain\":\"d1\",\"ap\":\"00:00:00:00:00:00\"", not_found},
        {"unknown domain", "\"domain\":\"d9\",\"ap\":\"AA:BB:CC:00:01:00\"",
         header() + ",\"error\":\"domain not found\"}"},
        {"unknown domain status", "\"domain\":\"d9\"",
         header() + ",\"error\":\"domain not found\"}"},
        {"optimisation asked for in other letters", "\"domain\":\"d1\",\"start_optimization\":\"TRUE\"",
         header() + ",\"status\":\"failure\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string reply = ask(rrm(c.body));
        if (c.reply_start.back() == '}') {
            EXPECT_EQ(c.reply_start, reply);
        } else {
            EXPECT_EQ(0u, reply.find(c.reply_start)) << reply;
            EXPECT_TRUE(parse(reply).is_object());
        }
    }
    // The identity given at subscription is not part of the AP state.
    EXPECT_EQ(std::string::npos,
              ask(rrm("\"domain\":\"d1\",\"ap\":\"AA:BB:CC:00:01:00\"")).find("serial-d1"));
}

// A restored domain holds its planning for the away time (120 s by
// default): the saved states show in its status, and no optimisation can be
// forced meanwhile, whatever the state.
TEST_F(ProgramQueries, RestoredDomainsShowTheirPlanningStatesAndRefuseAForcedOptimisation)
{
    std::string metrics = "{";
    for (const char* name : {"rrm-response", "rrm-mode-response", "rrm-config-changed",
                             "timer-request-modes", "timer-request-scan", "timer-optimize"})
        metrics += std::string(metrics.size() > 1 ? "," : "") + "\"" + name + "-expected\":0,\"" +
                   name + "-count\":0";
    metrics += "}";
    // The restored AP: identity from the backup, radios 0 and 1 as saved
    // (no VAPs), radio 2 not saved.
    EXPECT_EQ(header() + ",\"details\":{\"name\":\"d4\",\"metrics\":" + metrics +
                  ",\"ap-count\":0,\"unanswered-ap-count\":0,\"deleted-ap-count\":1,"
                  "\"queue-size\":0,\"rrm-status\":3,\"fbt-status\":1,\"aps\":[],"
                  "\"unanswered-aps\":[],\"deleted-aps\":[{\"board\":\"board-1\","
                  "\"mac\":\"AA:BB:CC:00:01:00\",\"serial\":\"serial-d4\",\"hw\":\"hw-1\","
                  "\"radios\":[{\"id\":0,\"vaps\":[]},{\"id\":1,\"vaps\":[]},"
                  "{\"id\":2,\"vaps\":[]}]}]}}",
              ask(rrm("\"domain\":\"d4\"")));
    EXPECT_EQ(0u, ask(rrm("\"domain\":\"d1\"")).find(header() + ",\"details\":{\"name\":\"d1\""));
    for (const char* domain : {"d1", "d4"}) {
        SCOPED_TRACE(domain);
        EXPECT_EQ(header() + ",\"status\":\"failure\"}",
                  ask(rrm("\"domain\":\"" + std::string(domain) +
                          "\",\"start_optimization\":\"true\"")));
    }
}

TEST_F(ProgramQueries, SessionsAreListedAndDroppedById)
{
    WsTestClient first;
    WsTestClient second;
    ASSERT_EQ(101, first.connect(p.listen_port));
    ASSERT_EQ(101, second.connect(p.listen_port));
    // Session ids count from 1 in the process.
    const std::set<std::string> both = {"{\"id\":1,\"peer\":\"127.0.0.1\"}",
                                        "{\"id\":2,\"peer\":\"127.0.0.1\"}"};
    auto sessions = [&] {
        std::set<std::string> out;
        const std::string reply = ask(rrm("\"sessions\":1"));
        EXPECT_EQ(0u, reply.find(header() + ",\"websock-sessions\":[")) << reply;
        const yajson::JsonValue root = parse(reply);
        yajson::SerializeOptions options;
        options.indent = -1;
        for (const yajson::JsonValue& s : root.as_object().find("websock-sessions")->as_array())
            out.insert(yajson::serialize(options, s));
        return out;
    };
    ASSERT_TRUE(testsupport::wait_until([&] { return sessions() == both; }, 10s));

    EXPECT_EQ(header() + "}", ask(rrm("\"sessions\":0")));
    // Without "ids" nothing is dropped.
    EXPECT_EQ(header() + "}", ask(rrm("\"drop_session\":1")));
    EXPECT_FALSE(first.wait_closed(300));
    // An id that names no session changes nothing either.
    EXPECT_EQ(header() + "}", ask(rrm("\"drop_session\":1,\"ids\":[7]")));
    EXPECT_FALSE(second.wait_closed(300));
    EXPECT_EQ(both, sessions());

    // Ids as numbers or decimal texts.
    EXPECT_EQ(header() + "}", ask(rrm("\"drop_session\":1,\"ids\":[1,\"2\"]")));
    EXPECT_TRUE(first.wait_closed(10000));
    EXPECT_TRUE(second.wait_closed(10000));
    EXPECT_TRUE(testsupport::wait_until([&] { return sessions().empty(); }, 10s));
}

TEST_F(ProgramQueries, WorkersOfAChangedPatternOrDomainAreRemoved)
{
    const std::string set_ok_pattern =
        "{\"version\":\"2.1\",\"invalid_parameters\":[],\"operation\":\"set\",\"level\":"
        "\"pattern\",\"pattern\":\"office\"}";
    auto names = [&] {
        std::set<std::string> out;
        for (const auto& entry : domain_list(p.cli_port))
            out.insert(entry.first);
        return out;
    };

    // Values the pattern already has: nothing changes, every worker stays.
    EXPECT_EQ(set_ok_pattern,
              ask("{\"cfg\":{\"operation\":\"set\",\"level\":\"pattern\",\"pattern\":\"office\","
                  "\"config\":{\"dca_threshold\":25}}}"));
    EXPECT_EQ((std::set<std::string>{"d1", "d2", "d3", "d4"}), names());

    EXPECT_EQ(set_ok_pattern,
              ask("{\"cfg\":{\"operation\":\"set\",\"level\":\"pattern\",\"pattern\":\"office\","
                  "\"config\":{\"dca_threshold\":30}}}"));
    EXPECT_EQ((std::set<std::string>{"d2", "d3", "d4"}), names());
    EXPECT_TRUE(p.wait_for_log("Worker with domain 'd1' erased.\n"));

    EXPECT_EQ("{\"version\":\"2.1\",\"invalid_parameters\":[],\"operation\":\"set\","
              "\"level\":\"domain\"}",
              ask("{\"cfg\":{\"operation\":\"set\",\"level\":\"domain\",\"domain\":\"d2\","
                  "\"config\":{\"pattern\":\"common\"}}}"));
    EXPECT_EQ((std::set<std::string>{"d3", "d4"}), names());

    EXPECT_EQ("{\"version\":\"2.1\",\"operation\":\"remove\",\"domain\":\"d3\","
              "\"remove_status\":0}",
              ask("{\"cfg\":{\"operation\":\"remove\",\"level\":\"domain\",\"domain\":\"d3\"}}"));
    EXPECT_EQ((std::set<std::string>{"d4"}), names());

    EXPECT_EQ("{\"version\":\"2.1\",\"operation\":\"remove\",\"pattern\":\"lab\","
              "\"remove_status\":0}",
              ask("{\"cfg\":{\"operation\":\"remove\",\"level\":\"pattern\",\"pattern\":\"lab\"}}"));
    EXPECT_EQ(std::set<std::string>{}, names());
    EXPECT_EQ("{\"version\":\"2.1\",\"domains\":[{\"name\":\"d1\",\"config\":\"office\","
              "\"time_zone\":\"\"},{\"name\":\"d2\",\"config\":\"common\",\"time_zone\":\"\"}]}",
              ask("{\"cfg\":{\"operation\":\"get\",\"level\":\"domain\"}}"));
}

TEST_F(ProgramQueries, VrrpRoleQueriesAndSwitches)
{
    EXPECT_EQ(header() + ",\"role\":\"master\",\"status\":\"success\"}", ask("{\"vrrp\":{}}"));
    // Roles are compared exactly.
    EXPECT_EQ(header() + ",\"status\":\"failure\",\"error\":\"role not supported\"}",
              ask("{\"vrrp\":{\"role\":\"Master\"}}"));
    // The role already held: success, and only a Warning.
    EXPECT_EQ(header() + ",\"status\":\"success\"}", ask("{\"vrrp\":{\"role\":\"master\"}}"));
    EXPECT_TRUE(p.wait_for_log("try to switch VRRP role to the same: master -> master\n"));

    // Backup: every worker stops and the AP port closes.
    EXPECT_EQ(header() + ",\"status\":\"success\"}", ask("{\"vrrp\":{\"role\":\"backup\"}}"));
    EXPECT_FALSE(testsupport::port_open(p.listen_port));
    EXPECT_TRUE(domain_list(p.cli_port).empty());
    EXPECT_EQ(header() + ",\"role\":\"backup\",\"status\":\"success\"}", ask("{\"vrrp\":{}}"));

    // Master again, with the domains of the request rather than the files.
    EXPECT_EQ(header() + ",\"status\":\"success\"}",
              ask("{\"vrrp\":{\"role\":\"master\",\"domains\":[" + backup("d3", "s3") + "]}}"));
    EXPECT_TRUE(p.wait_for_port(p.listen_port));
    const auto list = domain_list(p.cli_port);
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ("d3", list.begin()->first);
}

}  // namespace
