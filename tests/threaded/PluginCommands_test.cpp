// The klish plug-in clish_plugin_radmon, loaded by the stand-in shell, against
// a stand-in TCP API on 127.0.0.1 that records every request and answers with
// replies written here by hand in the server's reply forms: the registration,
// the exact request of every command, what each prints and returns for the
// server's answers, and the transport's failures.
#include "ClishHost.h"
#include "FakeApiServer.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <json-c/json.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
// The plug-in calls these when it is opened in this process by the export
// test below; nothing is registered then.
void* clish_plugin_add_sym(void*, void*, const char*)
{
    return nullptr;
}
void* clish_plugin_add_psym(void*, void*, const char*)
{
    return nullptr;
}
}

namespace {

using testsupport::clish_result;
using testsupport::ClishCommand;
using testsupport::ClishRun;
using testsupport::FakeApiServer;
using testsupport::run_clish;

// Runs the commands with the plug-in pointed at `server` first; the port
// command's own result line is checked and left out of the returned output.
ClishRun run_against(const FakeApiServer& server, const std::vector<ClishCommand>& commands,
                     const std::string& preload = "", const std::vector<std::string>& options = {})
{
    std::vector<ClishCommand> all{{"rrm-api-cli-port", std::to_string(server.port())}};
    all.insert(all.end(), commands.begin(), commands.end());
    ClishRun run = run_clish(all, options, preload);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(0, run.code) << run.err;
    const std::string first = "result: 0\n";
    EXPECT_EQ(0u, run.out.rfind(first, 0)) << run.out;
    if (run.out.rfind(first, 0) == 0)
        run.out.erase(0, first.size());
    return run;
}

// The header every "rrm" reply starts with.
const std::string kRrmHeader = R"("version":"2.1","server":"ap-host","wendara_version":"1.0.0")";

std::string repeat(const std::string& text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

// ---- registration ----

// Every symbol with whether klish runs it in its check and dry-run modes:
// all but the 24 commands that change the server (the 22 setters and the
// domain addition and removal).
struct Symbol {
    const char* name;
    bool permanent;
};
const std::vector<Symbol> kSymbols = {
    {"rrm-show-cfg", true},
    {"rrm-show-cfg-domain-list", true},
    {"completion-domain-cfgs", true},
    {"rrm-show-all", true},
    {"rrm-show-unreg", true},
    {"rrm-show-reg", true},
    {"rrm-show-domain", true},
    {"rrm-show-session", true},
    {"rrm-show-list-ap", true},
    {"rrm-show-ap", true},
    {"rrm-show-api-cli-port", true},
    {"rrm-cfg-domain-add", false},
    {"rrm-cfg-domain-remove", false},
    {"rrm-cfg-enable", false},
    {"rrm-cfg-domain-limit", false},
    {"rrm-cfg-listen-port", false},
    {"rrm-cfg-cli-api-port", false},
    {"rrm-cfg-https", false},
    {"rrm-cfg-tavik-rrm-scan", false},
    {"rrm-cfg-tavik-hd-mode", false},
    {"rrm-cfg-away-timeout", false},
    {"rrm-cfg-tpc", false},
    {"rrm-cfg-ap-rssi-threshold-2g", false},
    {"rrm-cfg-ap-rssi-threshold-5g", false},
    {"rrm-cfg-ap-rssi-threshold-6g", false},
    {"rrm-cfg-hysteresis-2g", false},
    {"rrm-cfg-hysteresis-5g", false},
    {"rrm-cfg-hysteresis-6g", false},
    {"rrm-cfg-dca", false},
    {"rrm-cfg-balance", false},
    {"rrm-cfg-blacklist-threshold-high", false},
    {"rrm-cfg-blacklist-threshold-low", false},
    {"rrm-cfg-load-balance-sta-high", false},
    {"rrm-cfg-load-balance-sta-low", false},
    {"rrm-cfg-use-all-ap-balance", false},
    {"rrm-api-cli-port", true},
};

TEST(PluginRegistration, InitRegistersTheThirtySixCommandsInOrderAndOnlyTheSafeOnesPermanent)
{
    const ClishRun run = run_clish({}, {"-l"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(0, run.code) << run.err;
    std::string expected;
    int changing = 0;
    for (const Symbol& symbol : kSymbols) {
        expected += std::string(symbol.name) + (symbol.permanent ? " psym\n" : " sym\n");
        changing += symbol.permanent ? 0 : 1;
    }
    EXPECT_EQ(24, changing);
    EXPECT_EQ(expected, run.out);
    EXPECT_EQ("", run.err);
}

TEST(PluginRegistration, LibraryExportsTheCommandsAndReadersButNotItsTransport)
{
    void* library = ::dlopen(RADMON_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << ::dlerror();
    const char* exported[] = {
        "clish_plugin_clish_rrm_func_init",
        "get_int",
        "get_string",
        "rrm_show_cfg",
        "rrm_show_cfg_domain_list",
        "rrm_completion_domain_cfgs",
        "rrm_show_rrm",
        "rrm_show_rrm_unreg",
        "rrm_show_rrm_reg",
        "rrm_show_domain",
        "rrm_show_session",
        "rrm_show_list_ap",
        "rrm_show_ap",
        "rrm_show_api_cli_port",
        "rrm_cfg_domain_add",
        "rrm_cfg_domain_remove",
        "rrm_cfg_rrm_enable",
        "rrm_cfg_domain_limit",
        "rrm_cfg_listen_port",
        "rrm_cfg_cli_api_port",
        "rrm_cfg_https",
        "rrm_cfg_tavik_rrm_scan",
        "rrm_cfg_tavik_hd_mode",
        "rrm_cfg_away_timeout",
        "rrm_cfg_tpc",
        "rrm_cfg_ap_rssi_threshold_2g",
        "rrm_cfg_ap_rssi_threshold_5g",
        "rrm_cfg_ap_rssi_threshold_6g",
        "rrm_cfg_hysteresis_2g",
        "rrm_cfg_hysteresis_5g",
        "rrm_cfg_hysteresis_6g",
        "rrm_cfg_dca",
        "rrm_cfg_balance",
        "rrm_cfg_blacklist_threshold_high",
        "rrm_cfg_blacklist_threshold_low",
        "rrm_cfg_load_balance_sta_high",
        "rrm_cfg_load_balance_sta_low",
        "rrm_cfg_use_all_ap_balance",
        "rrm_api_cli_port",
    };
    for (const char* name : exported)
        EXPECT_NE(nullptr, ::dlsym(library, name)) << name;
    for (const char* name : {"execute_rrm_command", "rrm_cfg_set_param", "port"})
        EXPECT_EQ(nullptr, ::dlsym(library, name)) << name;
    ::dlclose(library);
}

TEST(PluginReaders, MissingOrNullMembersReadAsZeroAndTheEmptyText)
{
    void* library = ::dlopen(RADMON_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << ::dlerror();
    using GetInt = int (*)(json_object*, const char*);
    using GetString = const char* (*)(json_object*, const char*);
    const auto get_int = reinterpret_cast<GetInt>(::dlsym(library, "get_int"));
    const auto get_string = reinterpret_cast<GetString>(::dlsym(library, "get_string"));
    ASSERT_NE(nullptr, get_int);
    ASSERT_NE(nullptr, get_string);

    // json-c's integer conversion: strings are read as decimal numbers,
    // booleans as 0 or 1, doubles truncated; containers give 0.
    const struct {
        const char* json;
        int value;
    } ints[] = {
        {R"({"n":5})", 5},      {R"({"n":-7})", -7}, {R"({"n":"12"})", 12},
        {R"({"n":"abc"})", 0},  {R"({"n":true})", 1}, {R"({"n":2.9})", 2},
        {R"({"n":null})", 0},   {R"({})", 0},        {R"({"n":[1]})", 0},
        {R"([5])", 0},
    };
    for (const auto& c : ints) {
        json_object* msg = json_tokener_parse(c.json);
        ASSERT_NE(nullptr, msg) << c.json;
        EXPECT_EQ(c.value, get_int(msg, "n")) << c.json;
        json_object_put(msg);
    }

    const struct {
        const char* json;
        const char* text;
    } texts[] = {
        {R"({"s":"office"})", "office"}, {R"({"s":""})", ""}, {R"({"s":5})", ""},
        {R"({"s":null})", ""},           {R"({})", ""},       {R"({"s":["x"]})", ""},
    };
    for (const auto& c : texts) {
        json_object* msg = json_tokener_parse(c.json);
        ASSERT_NE(nullptr, msg) << c.json;
        const char* text = get_string(msg, "s");
        ASSERT_NE(nullptr, text) << c.json;
        EXPECT_STREQ(c.text, text) << c.json;
        json_object_put(msg);
    }
    ::dlclose(library);
}

// ---- how the klish host calls the commands ----

// Every command that asks the server, with a script it accepts.
const std::vector<ClishCommand> kAskingCommands = {
    {"rrm-show-cfg", "global"},
    {"rrm-show-cfg-domain-list", ""},
    {"completion-domain-cfgs", ""},
    {"rrm-show-all", ""},
    {"rrm-show-unreg", ""},
    {"rrm-show-reg", ""},
    {"rrm-show-domain", "site-1"},
    {"rrm-show-session", ""},
    {"rrm-show-list-ap", "site-1"},
    {"rrm-show-ap", "site-1\n00:11:22:33:44:00"},
    {"rrm-cfg-domain-add", "site-1"},
    {"rrm-cfg-domain-remove", "site-1"},
    {"rrm-cfg-enable", "global\n1"},
    {"rrm-cfg-listen-port", "global\n8099"},
    {"rrm-cfg-cli-api-port", "global\n8082"},
    {"rrm-cfg-https", "global\n0"},
    {"rrm-cfg-tavik-rrm-scan", "common\n1"},
    {"rrm-cfg-tavik-hd-mode", "common\n1"},
    {"rrm-cfg-away-timeout", "common\n120"},
    {"rrm-cfg-tpc", "common\n1"},
    {"rrm-cfg-ap-rssi-threshold-2g", "common\n-70"},
    {"rrm-cfg-ap-rssi-threshold-5g", "common\n-70"},
    {"rrm-cfg-ap-rssi-threshold-6g", "common\n-70"},
    {"rrm-cfg-hysteresis-2g", "common\n2"},
    {"rrm-cfg-hysteresis-5g", "common\n2"},
    {"rrm-cfg-hysteresis-6g", "common\n2"},
    {"rrm-cfg-dca", "common\n1"},
    {"rrm-cfg-balance", "common\n1"},
    {"rrm-cfg-blacklist-threshold-high", "common\n-65"},
    {"rrm-cfg-blacklist-threshold-low", "site-1\n-75"},
    {"rrm-cfg-load-balance-sta-high", "site-1\n20"},
    {"rrm-cfg-load-balance-sta-low", "site-1\n5"},
    {"rrm-cfg-use-all-ap-balance", "site-1\n0"},
};


TEST(PluginHostCalls, EveryCommandBoundAsAnActionWithoutTextFailsOrRunsWithoutScript)
{
    // klish calls a command's own action with no place for an output text
    // and, when the action has no text, no script. The commands that need no
    // script ask the server as usual; the others fail without sending, and
    // the completion has nowhere to put its text.
    const std::string domains = "{" + kRrmHeader +
                                R"(,"domains":[{"name":"site-1","ap-count":1,"unanswered-ap-count":0,)"
                                R"("deleted-ap-count":0,"common-config":1}]})";
    FakeApiServer server;
    server.reply(R"({"version":"2.1","domains":[{"name":"site-1","config":"common","time_zone":""}]})");
    for (int i = 0; i < 3; ++i)
        server.reply(domains);
    server.reply("{" + kRrmHeader + R"(,"websock-sessions":[{"id":1,"peer":"127.0.0.1"}]})");
    const std::string site = "  Domain: site-1 (1 active APs, 0 unanswered APs, 0 deleted APs)\n";
    std::map<std::string, std::string> printed = {
        {"rrm-show-cfg-domain-list", clish_result("Domain configurations:\n  \"site-1\"\n", 0)},
        {"rrm-show-all", clish_result(site, 0)},
        {"rrm-show-unreg", clish_result("Domains with common config:\n" + site, 0)},
        {"rrm-show-reg", clish_result("Configured domains:\n", 0)},
        {"rrm-show-session", clish_result("  Session id: 1, address: 127.0.0.1\n", 0)},
        {"rrm-show-api-cli-port",
         clish_result("api_cli port: " + std::to_string(server.port()) + "\n", 0)},
        {"rrm-api-cli-port", clish_result("Invalid value '' for api_cli port\n", -1)},
    };
    std::vector<ClishCommand> commands;
    std::string expected;
    for (const Symbol& symbol : kSymbols) {
        commands.push_back({std::string("action:notext:") + symbol.name, "ignored"});
        const auto found = printed.find(symbol.name);
        expected += found != printed.end() ? found->second : clish_result("", -1);
    }
    const ClishRun run = run_against(server, commands);
    EXPECT_EQ(expected, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ((std::vector<std::string>{
                  R"({"cfg":{"operation":"get","level":"domain"}})",
                  R"({"rrm":{}})",
                  R"({"rrm":{}})",
                  R"({"rrm":{}})",
                  R"({"rrm":{"sessions":1}})",
              }),
              server.requests());
}

TEST(PluginHostCalls, CompletionGivesItsTextOnlyWhereThereIsAPlaceForIt)
{
    FakeApiServer server;
    server.reply(R"({"version":"2.1","domains":[{"name":"site-1","config":"common","time_zone":""}]})");
    server.reply(R"({"version":"2.1","domains":[{"name":"lab","config":"common","time_zone":""}]})");
    const ClishRun run = run_against(server, {{"action:completion-domain-cfgs", ""},
                                              // As a dynamic VAR's action, with and without text.
                                              {"completion-domain-cfgs", ""},
                                              {"notext:completion-domain-cfgs", ""},
                                              {"action:completion-domain-cfgs", "site-1"}});
    EXPECT_EQ(clish_result("", -1) + clish_result("", 0) + "out: \"site-1 \"\n" +
                  clish_result("", 0) + "out: \"lab \"\n" + clish_result("", -1),
              run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(2u, server.requests().size());
}

TEST(PluginHostCalls, CheckModeRunsOnlyTheCommandsThatLeaveTheServerAsItIs)
{
    // In check mode the commands that would change the server are skipped
    // (and count as succeeded, as in klish); the others ask as usual and get
    // the server's {"status":"error"}, which only "rrm-show-cfg" prints.
    auto permanent = [](const std::string& name) {
        for (const Symbol& symbol : kSymbols)
            if (name == symbol.name)
                return symbol.permanent;
        ADD_FAILURE() << "no symbol " << name;
        return false;
    };
    std::vector<ClishCommand> commands = kAskingCommands;
    commands.push_back({"rrm-cfg-domain-limit", "global\n3"});
    commands.push_back({"rrm-api-cli-port", "8082"});
    commands.push_back({"rrm-show-api-cli-port", ""});
    std::string expected;
    size_t reads = 0;
    for (const ClishCommand& c : commands) {
        if (c.first == "rrm-api-cli-port")
            expected += clish_result("", 0);
        else if (c.first == "rrm-show-api-cli-port")
            expected += clish_result("api_cli port: 8082\n", 0);
        else if (!permanent(c.first))
            expected += clish_result("", 0);
        else if (c.first == "rrm-show-cfg")
            expected += clish_result("{\n  \"status\":\"error\"\n}\n", 0);
        else
            expected += clish_result("", -1);
        reads += permanent(c.first) && c.first.find("port") == std::string::npos ? 1 : 0;
    }
    FakeApiServer server;
    const ClishRun run = run_against(server, commands, "", {"-d"});
    EXPECT_EQ(expected, run.out);
    EXPECT_EQ("", run.err);
    const std::vector<std::string> requests = server.requests();
    EXPECT_EQ(10u, reads);
    EXPECT_EQ(reads, requests.size());
    for (const std::string& request : requests)
        EXPECT_TRUE(request.rfind(R"({"rrm":)", 0) == 0 ||
                    request.find(R"("operation":"get")") != std::string::npos)
            << request;
}

// ---- port ----

TEST(PluginPort, PortIsSetOnlyToATcpPortAndShown)
{
    // Each bad value is refused with the error line and leaves 9000.
    std::vector<ClishCommand> commands{{"rrm-show-api-cli-port", ""},
                                       {"rrm-api-cli-port", "9000"},
                                       {"rrm-show-api-cli-port", ""}};
    std::string expected = clish_result("api_cli port: 8082\n", 0) + clish_result("", 0) +
                           clish_result("api_cli port: 9000\n", 0);
    for (const char* bad : {"0", "65536", "70000", "-1", "abc", "", "90x", "9000 1"}) {
        commands.push_back({"rrm-api-cli-port", bad});
        commands.push_back({"rrm-show-api-cli-port", ""});
        expected += clish_result(std::string("Invalid value '") + bad + "' for api_cli port\n", -1);
        expected += clish_result("api_cli port: 9000\n", 0);
    }
    // The ends of the range, and a value as a script line with its newline.
    for (const char* good : {"1", "65535", "8099\n"}) {
        commands.push_back({"rrm-api-cli-port", good});
        commands.push_back({"rrm-show-api-cli-port", ""});
        expected += clish_result("", 0);
        expected += clish_result("api_cli port: " + std::to_string(std::atoi(good)) + "\n", 0);
    }
    const ClishRun run = run_clish(commands);
    EXPECT_EQ(expected, run.out);
    EXPECT_EQ("", run.err);
}

TEST(PluginPort, CommandsGoToThePortSet)
{
    FakeApiServer first, second;
    const ClishRun run = run_clish({{"rrm-api-cli-port", std::to_string(first.port())},
                                    {"rrm-show-all", ""},
                                    {"rrm-api-cli-port", std::to_string(second.port())},
                                    {"rrm-show-all", ""},
                                    {"rrm-show-all", ""}});
    EXPECT_EQ(repeat(clish_result("", 0) + clish_result("", -1), 2) + clish_result("", -1),
              run.out);
    EXPECT_EQ(1, first.connections());
    EXPECT_EQ(2, second.connections());
}

// ---- setters ----

TEST(PluginSetters, EverySetterSendsItsKeyWhereTheServerAppliesIt)
{
    // Server-section keys go to level "global", domain settings to the
    // pattern "common" (the common settings).
    const struct {
        const char* symbol;
        const char* key;
        bool server_key;
        const char* value;
    } setters[] = {
        {"rrm-cfg-enable", "enabled", true, "1"},
        {"rrm-cfg-listen-port", "listen_port", true, "8099"},
        {"rrm-cfg-cli-api-port", "cli_api_port", true, "8083"},
        {"rrm-cfg-https", "use_https", true, "0"},
        {"rrm-cfg-tavik-rrm-scan", "use_tavik_rrm_scan", false, "1"},
        {"rrm-cfg-tavik-hd-mode", "use_hd_mode", false, "0"},
        {"rrm-cfg-away-timeout", "away_timeout", false, "300"},
        {"rrm-cfg-tpc", "use_tpc", false, "1"},
        {"rrm-cfg-ap-rssi-threshold-2g", "ap_rssi_threshold_2g", false, "-70"},
        {"rrm-cfg-ap-rssi-threshold-5g", "ap_rssi_threshold_5g", false, "-72"},
        {"rrm-cfg-ap-rssi-threshold-6g", "ap_rssi_threshold_6g", false, "-74"},
        {"rrm-cfg-hysteresis-2g", "hysteresis_2g", false, "2"},
        {"rrm-cfg-hysteresis-5g", "hysteresis_5g", false, "3"},
        {"rrm-cfg-hysteresis-6g", "hysteresis_6g", false, "4"},
        {"rrm-cfg-dca", "use_dca", false, "0"},
        {"rrm-cfg-balance", "use_balance", false, "1"},
        {"rrm-cfg-blacklist-threshold-high", "blacklist_thr_high", false, "-60"},
        {"rrm-cfg-blacklist-threshold-low", "blacklist_thr_low", false, "-80"},
        {"rrm-cfg-load-balance-sta-high", "load_balance_sta_high", false, "30"},
        {"rrm-cfg-load-balance-sta-low", "load_balance_sta_low", false, "6"},
        {"rrm-cfg-use-all-ap-balance", "use_all_ap_balance", false, "1"},
    };
    FakeApiServer server;
    std::vector<ClishCommand> commands;
    std::vector<std::string> requests;
    std::string expected;
    for (const auto& s : setters) {
        const std::string level = s.server_key ? "global" : "common";
        commands.push_back({s.symbol, level + "\n" + s.value});
        const std::string config = std::string(R"({"cfg":{"config":{")") + s.key + "\":" + s.value;
        if (s.server_key) {
            requests.push_back(config + R"(},"operation":"set","level":"global"}})");
            server.reply(
                R"({"version":"2.1","invalid_parameters":[],"operation":"set","level":"global"})");
        } else {
            requests.push_back(config +
                               R"(},"operation":"set","level":"pattern","pattern":"common"}})");
            server.reply(R"({"version":"2.1","invalid_parameters":[],"operation":"set",)"
                         R"("level":"pattern","pattern":"common"})");
        }
        expected += clish_result(std::string("'") + s.key + "' was successfully changed.\n", 0);
    }
    const ClishRun run = run_against(server, commands);
    EXPECT_EQ(expected, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(requests, server.requests());
}

TEST(PluginSetters, OutcomeFollowsTheServersAnswer)
{
    const std::string kSetCommon =
        R"({"version":"2.1","invalid_parameters":[],"operation":"set","level":"pattern","pattern":"common"})";
    const struct {
        const char* name;
        const char* symbol;
        const char* script;
        std::string reply;
        const char* request;
        const char* printed;
        int result;
    } cases[] = {
        {"a domain's setting: the server needs the domain's pattern and refuses",
         "rrm-cfg-tpc", "site-1\n5", R"({"status":"error"})",
         R"({"cfg":{"config":{"use_tpc":5},"operation":"set","level":"domain","domain":"site-1"}})",
         "Error while setting use_tpc = 5(site-1)\n", -1},
        {"value out of the server's range", "rrm-cfg-away-timeout", "common\n5",
         R"({"version":"2.1","invalid_parameters":[{"away_timeout":5}],"operation":"set","level":"pattern","pattern":"common"})",
         R"({"cfg":{"config":{"away_timeout":5},"operation":"set","level":"pattern","pattern":"common"}})",
         "Invalid value '5' for away_timeout\n", -1},
        {"a leading zero is still decimal", "rrm-cfg-away-timeout", "common\n0300", kSetCommon,
         R"({"cfg":{"config":{"away_timeout":300},"operation":"set","level":"pattern","pattern":"common"}})",
         "'away_timeout' was successfully changed.\n", 0},
        {"a plus sign", "rrm-cfg-hysteresis-2g", "common\n+3", kSetCommon,
         R"({"cfg":{"config":{"hysteresis_2g":3},"operation":"set","level":"pattern","pattern":"common"}})",
         "'hysteresis_2g' was successfully changed.\n", 0},
        {"only the first word of the value line counts", "rrm-cfg-blacklist-threshold-low",
         "common\n-80 dBm\nmore", kSetCommon,
         R"({"cfg":{"config":{"blacklist_thr_low":-80},"operation":"set","level":"pattern","pattern":"common"}})",
         "'blacklist_thr_low' was successfully changed.\n", 0},
        {"a value beyond 32 bits is sent as typed, for the server to judge",
         "rrm-cfg-away-timeout", "common\n4294967306",
         R"({"version":"2.1","invalid_parameters":[{"away_timeout":4294967306}],"operation":"set","level":"pattern","pattern":"common"})",
         R"({"cfg":{"config":{"away_timeout":4294967306},"operation":"set","level":"pattern","pattern":"common"}})",
         "Invalid value '4294967306' for away_timeout\n", -1},
        {"the largest 64-bit integer is still a number", "rrm-cfg-away-timeout",
         "common\n9223372036854775807",
         R"({"version":"2.1","invalid_parameters":[{"away_timeout":9223372036854775807}],"operation":"set","level":"pattern","pattern":"common"})",
         R"({"cfg":{"config":{"away_timeout":9223372036854775807},"operation":"set","level":"pattern","pattern":"common"}})",
         "Invalid value '9223372036854775807' for away_timeout\n", -1},
        {"an answer without invalid_parameters", "rrm-cfg-enable", "global\n1",
         R"({"version":"2.1"})",
         R"({"cfg":{"config":{"enabled":1},"operation":"set","level":"global"}})",
         "Error while setting enabled = 1(global)\n", -1},
        {"invalid_parameters that is no array", "rrm-cfg-enable", "global\n1",
         R"({"version":"2.1","invalid_parameters":{},"operation":"set","level":"global"})",
         R"({"cfg":{"config":{"enabled":1},"operation":"set","level":"global"}})",
         "Error while setting enabled = 1(global)\n", -1},
        {"an answer that is not the set's", "rrm-cfg-enable", "global\n0",
         R"({"version":"2.1","invalid_parameters":[],"operation":"add"})",
         R"({"cfg":{"config":{"enabled":0},"operation":"set","level":"global"}})",
         "Error while setting enabled = 0(global)\n", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeApiServer server;
        server.reply(c.reply);
        const ClishRun run = run_against(server, {{c.symbol, c.script}});
        EXPECT_EQ(clish_result(c.printed, c.result), run.out);
        EXPECT_EQ("", run.err);
        EXPECT_EQ(std::vector<std::string>{c.request}, server.requests());
    }
}

TEST(PluginSetters, WhatTheServerWouldNotApplyIsRefusedWithoutSending)
{
    const struct {
        const char* symbol;
        const char* script;
        const char* printed;
    } cases[] = {
        // A domain setting at the server section would be ignored by it.
        {"rrm-cfg-tpc", "global\n1", "Error while setting use_tpc = 1(global)\n"},
        {"rrm-cfg-away-timeout", "global\n300", "Error while setting away_timeout = 300(global)\n"},
        // A server key anywhere else would be ignored too.
        {"rrm-cfg-enable", "common\n1", "Error while setting enabled = 1(common)\n"},
        {"rrm-cfg-listen-port", "site-1\n8099", "Error while setting listen_port = 8099(site-1)\n"},
        // The server has no domain limit at all.
        {"rrm-cfg-domain-limit", "global\n10", "Error while setting domain_limit = 10(global)\n"},
        {"rrm-cfg-domain-limit", "common\n10", "Error while setting domain_limit = 10(common)\n"},
        {"rrm-cfg-domain-limit", "site-1\n10", "Error while setting domain_limit = 10(site-1)\n"},
        // Without a value line the setters fail silently.
        {"rrm-cfg-tpc", "global", ""},
        {"rrm-cfg-tpc", "common\n", ""},
        {"rrm-cfg-enable", "", ""},
        {"rrm-cfg-enable", "\n\n", ""},
    };
    FakeApiServer server;
    std::vector<ClishCommand> commands;
    std::string expected;
    for (const auto& c : cases) {
        commands.push_back({c.symbol, c.script});
        expected += clish_result(c.printed, -1);
    }
    const ClishRun run = run_against(server, commands);
    EXPECT_EQ(expected, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0, server.connections());
}

TEST(PluginSetters, AValueThatIsNoWholeDecimalNumberIsRefusedWithoutSending)
{
    // Read as 0 (or as its leading digits) these would switch things off or
    // set another value than the one meant.
    const struct {
        const char* symbol;
        const char* script;
        const char* printed;
    } cases[] = {
        {"rrm-cfg-enable", "global\noff", "Invalid value 'off' for enabled\n"},
        {"rrm-cfg-enable", "global\non", "Invalid value 'on' for enabled\n"},
        {"rrm-cfg-tpc", "common\nfalse", "Invalid value 'false' for use_tpc\n"},
        // The letter O for a zero, a unit glued to the number.
        {"rrm-cfg-https", "global\n1O", "Invalid value '1O' for use_https\n"},
        {"rrm-cfg-ap-rssi-threshold-2g", "common\n-70dBm",
         "Invalid value '-70dBm' for ap_rssi_threshold_2g\n"},
        {"rrm-cfg-away-timeout", "common\n1.5", "Invalid value '1.5' for away_timeout\n"},
        {"rrm-cfg-away-timeout", "common\n1e3", "Invalid value '1e3' for away_timeout\n"},
        // Not decimal: strtol base 10 would stop at the x and send 0.
        {"rrm-cfg-listen-port", "global\n0x1f90", "Invalid value '0x1f90' for listen_port\n"},
        {"rrm-cfg-hysteresis-5g", "common\n-", "Invalid value '-' for hysteresis_5g\n"},
        {"rrm-cfg-hysteresis-5g", "common\n+", "Invalid value '+' for hysteresis_5g\n"},
        {"rrm-cfg-hysteresis-5g", "common\n--3", "Invalid value '--3' for hysteresis_5g\n"},
        // A tab is no word separator of the script: it stays in the value.
        {"rrm-cfg-dca", "common\n1\t", "Invalid value '1\t' for use_dca\n"},
        // Beyond a 64-bit integer: strtol would send the largest one.
        {"rrm-cfg-away-timeout", "common\n99999999999999999999",
         "Invalid value '99999999999999999999' for away_timeout\n"},
        {"rrm-cfg-ap-rssi-threshold-5g", "common\n-99999999999999999999",
         "Invalid value '-99999999999999999999' for ap_rssi_threshold_5g\n"},
        // Also where the server would not apply the key.
        {"rrm-cfg-domain-limit", "site-1\nten", "Invalid value 'ten' for domain_limit\n"},
    };
    FakeApiServer server;
    std::vector<ClishCommand> commands;
    std::string expected;
    for (const auto& c : cases) {
        commands.push_back({c.symbol, c.script});
        expected += clish_result(c.printed, -1);
    }
    const ClishRun run = run_against(server, commands);
    EXPECT_EQ(expected, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0, server.connections());
}

// ---- configuration ----

TEST(PluginConfig, ShowCfgAsksForTheLevelAndPrintsAnyReplyPretty)
{
    FakeApiServer server;
    server.reply(R"({"version":"2.1","enabled":1,"api_port":8089,"reports_path":"/var/lib/reports"})");
    server.reply(R"({"version":"2.1","use_tpc":1,"optimization_time":"00:00"})");
    server.reply(
        R"({"version":"2.1","domains":[{"name":"site-1","config":"common","time_zone":"+03:00"}]})");
    server.reply(R"({"status":"error"})");
    const ClishRun run = run_against(server, {{"rrm-show-cfg", "global"},
                                              {"rrm-show-cfg", "common"},
                                              {"rrm-show-cfg", "site-1"},
                                              {"rrm-show-cfg", "global"}});
    // json-c's pretty form: two blanks a level, none after the colon, "/" escaped.
    EXPECT_EQ(clish_result("{\n"
                           "  \"version\":\"2.1\",\n"
                           "  \"enabled\":1,\n"
                           "  \"api_port\":8089,\n"
                           "  \"reports_path\":\"\\/var\\/lib\\/reports\"\n"
                           "}\n",
                           0) +
                  clish_result("{\n"
                               "  \"version\":\"2.1\",\n"
                               "  \"use_tpc\":1,\n"
                               "  \"optimization_time\":\"00:00\"\n"
                               "}\n",
                               0) +
                  clish_result("{\n"
                               "  \"version\":\"2.1\",\n"
                               "  \"domains\":[\n"
                               "    {\n"
                               "      \"name\":\"site-1\",\n"
                               "      \"config\":\"common\",\n"
                               "      \"time_zone\":\"+03:00\"\n"
                               "    }\n"
                               "  ]\n"
                               "}\n",
                               0) +
                  clish_result("{\n  \"status\":\"error\"\n}\n", 0),
              run.out);
    EXPECT_EQ("", run.err);
    // The common settings are the pattern "common" to the server.
    EXPECT_EQ((std::vector<std::string>{
                  R"({"cfg":{"operation":"get","level":"global"}})",
                  R"({"cfg":{"operation":"get","level":"pattern","pattern":"common"}})",
                  R"({"cfg":{"operation":"get","level":"domain","domain":"site-1"}})",
                  R"({"cfg":{"operation":"get","level":"global"}})",
              }),
              server.requests());
}

TEST(PluginConfig, DomainListAndCompletionNameEveryConfiguredDomain)
{
    const std::string two =
        R"({"version":"2.1","domains":[{"name":"site-1","config":"common","time_zone":""},)"
        R"({"name":"lab","config":"floor-2","time_zone":"+03:00"}]})";
    const std::string none = R"({"version":"2.1","domains":[]})";
    // 30 names of 17 characters: 30 x 18 = 540 characters with their blanks,
    // more than twice the first buffer's 256 bytes.
    std::string many = R"({"version":"2.1","domains":[)";
    std::string many_names;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "building-" + std::to_string(10 + i) + "-floor";
        many += std::string(i ? "," : "") + R"({"name":")" + name + R"(","config":"common","time_zone":""})";
        many_names += name + " ";
    }
    many += "]}";
    ASSERT_EQ(540u, many_names.size());

    FakeApiServer server;
    for (const std::string& reply :
         {two, none, std::string(R"({"status":"error"})"), two, none, many,
          std::string(R"({"status":"error"})")})
        server.reply(reply);
    const ClishRun run = run_against(server, {{"rrm-show-cfg-domain-list", ""},
                                              {"rrm-show-cfg-domain-list", ""},
                                              {"rrm-show-cfg-domain-list", ""},
                                              {"completion-domain-cfgs", ""},
                                              {"completion-domain-cfgs", ""},
                                              {"completion-domain-cfgs", ""},
                                              {"completion-domain-cfgs", ""}});
    EXPECT_EQ(clish_result("Domain configurations:\n  \"site-1\"\n  \"lab\"\n", 0) +
                  clish_result("Domain configurations:\n", 0) + clish_result("", -1) +
                  clish_result("", 0) + "out: \"site-1 lab \"\n" + clish_result("", 0) +
                  "out: \"\"\n" + clish_result("", 0) + "out: \"" + many_names + "\"\n" +
                  clish_result("", -1),
              run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(std::vector<std::string>(7, R"({"cfg":{"operation":"get","level":"domain"}})"),
              server.requests());
}

TEST(PluginConfig, DomainAddSendsLevelAndPatternAndReportsTheStatus)
{
    const struct {
        const char* name;
        const char* script;
        const char* reply;
        const char* request;
        const char* printed;
        int result;
    } cases[] = {
        {"added with the common settings", "site-1",
         R"({"version":"2.1","invalid_parameters":[],"operation":"add","domain":"site-1","add_status":"Success"})",
         R"({"cfg":{"config":{"pattern":"common"},"operation":"add","level":"domain","domain":"site-1"}})",
         "'site-1' config was successfully added.\n", 0},
        {"added with a pattern, status in capitals", "lab\nfloor-2",
         R"({"version":"2.1","invalid_parameters":[],"operation":"add","domain":"lab","add_status":"SUCCESS"})",
         R"({"cfg":{"config":{"pattern":"floor-2"},"operation":"add","level":"domain","domain":"lab"}})",
         "'lab' config was successfully added.\n", 0},
        {"refused by the server", "site-1",
         R"({"version":"2.1","invalid_parameters":[{"pattern":"common"}],"operation":"add","domain":"site-1","add_status":"Domain exists or chosen pattern not exists."})",
         R"({"cfg":{"config":{"pattern":"common"},"operation":"add","level":"domain","domain":"site-1"}})",
         "Error while adding new domain config site-1. Domain exists or chosen pattern not exists.\n",
         -1},
        {"no status at all", "site-2", R"({"status":"error"})",
         R"({"cfg":{"config":{"pattern":"common"},"operation":"add","level":"domain","domain":"site-2"}})",
         "Error while adding new domain config site-2. \n", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeApiServer server;
        server.reply(c.reply);
        const ClishRun run = run_against(server, {{"rrm-cfg-domain-add", c.script}});
        EXPECT_EQ(clish_result(c.printed, c.result), run.out);
        EXPECT_EQ(std::vector<std::string>{c.request}, server.requests());
    }
}

TEST(PluginConfig, DomainRemoveSucceedsOnlyOnAStatusOfZero)
{
    const struct {
        const char* reply;
        const char* printed;
        int result;
    } cases[] = {
        {R"({"version":"2.1","operation":"remove","domain":"site-1","remove_status":0})",
         "'site-1' config was successfully removed.\n", 0},
        {R"({"version":"2.1","operation":"remove","domain":"site-1","remove_status":1})",
         "Error while removing domain config site-1.\n", -1},
        // The server's answer to a request it could not handle removed nothing.
        {R"({"status":"error"})", "Error while removing domain config site-1.\n", -1},
        {R"({"version":"2.1","operation":"remove","domain":"site-1","remove_status":null})",
         "Error while removing domain config site-1.\n", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        FakeApiServer server;
        server.reply(c.reply);
        const ClishRun run = run_against(server, {{"rrm-cfg-domain-remove", "site-1"}});
        EXPECT_EQ(clish_result(c.printed, c.result), run.out);
        EXPECT_EQ(std::vector<std::string>{
                      R"({"cfg":{"operation":"remove","level":"domain","domain":"site-1"}})"},
                  server.requests());
    }
}

// ---- domains and sessions ----

TEST(PluginDomains, DomainListsPrintOneLinePerDomain)
{
    const std::string three =
        "{" + kRrmHeader +
        R"(,"domains":[{"name":"site-1","ap-count":3,"unanswered-ap-count":1,"deleted-ap-count":2,"common-config":0},)"
        R"({"name":"lab","ap-count":4,"unanswered-ap-count":0,"deleted-ap-count":0,"common-config":1},)"
        R"({"name":"default"}]})";
    const std::string none = "{" + kRrmHeader + R"(,"domains":[]})";
    const std::string error = "{" + kRrmHeader + "}";
    FakeApiServer server;
    for (const std::string& reply : {three, three, three, none, none, none, error, error, error})
        server.reply(reply);
    const ClishRun run = run_against(server, {{"rrm-show-all", ""},
                                              {"rrm-show-reg", ""},
                                              {"rrm-show-unreg", ""},
                                              {"rrm-show-all", ""},
                                              {"rrm-show-reg", ""},
                                              {"rrm-show-unreg", ""},
                                              {"rrm-show-all", ""},
                                              {"rrm-show-reg", ""},
                                              {"rrm-show-unreg", ""}});
    const std::string site = "  Domain: site-1 (3 active APs, 1 unanswered APs, 2 deleted APs)\n";
    const std::string lab = "  Domain: lab (4 active APs, 0 unanswered APs, 0 deleted APs)\n";
    // A worker that is no domain worker has only a name.
    const std::string other = "  Domain: default (0 active APs, 0 unanswered APs, 0 deleted APs)\n";
    EXPECT_EQ(clish_result(site + lab + other, 0) +
                  clish_result("Configured domains:\n" + site + other, 0) +
                  clish_result("Domains with common config:\n" + lab, 0) + clish_result("", 0) +
                  clish_result("Configured domains:\n", 0) +
                  clish_result("Domains with common config:\n", 0) +
                  repeat(clish_result("", -1), 3),
              run.out);
    EXPECT_EQ(std::vector<std::string>(9, R"({"rrm":{}})"), server.requests());
}

TEST(PluginDomains, SessionsPrintIdAndPeer)
{
    FakeApiServer server;
    server.reply("{" + kRrmHeader +
                 R"(,"websock-sessions":[{"id":3,"peer":"127.0.0.1"},{"id":14,"peer":"10.0.0.7"}]})");
    server.reply("{" + kRrmHeader + R"(,"websock-sessions":[]})");
    server.reply("{" + kRrmHeader + "}");
    const ClishRun run = run_against(
        server, {{"rrm-show-session", ""}, {"rrm-show-session", ""}, {"rrm-show-session", ""}});
    EXPECT_EQ(clish_result("  Session id: 3, address: 127.0.0.1\n"
                           "  Session id: 14, address: 10.0.0.7\n",
                           0) +
                  clish_result("", 0) + clish_result("", -1),
              run.out);
    EXPECT_EQ(std::vector<std::string>(3, R"({"rrm":{"sessions":1}})"), server.requests());
}

// A domain status with every metric different, so that a value printed on
// another metric's line shows.
const std::string kDomainStatus =
    "{" + kRrmHeader +
    R"(,"details":{"name":"site-1","metrics":{"rrm-response-expected":101,"rrm-response-count":2,)"
    R"("rrm-mode-response-expected":303,"rrm-mode-response-count":4,)"
    R"("rrm-config-changed-expected":505,"rrm-config-changed-count":6,)"
    R"("timer-request-modes-expected":707,"timer-request-modes-count":8,)"
    R"("timer-request-scan-expected":909,"timer-request-scan-count":10,)"
    R"("timer-optimize-expected":1111,"timer-optimize-count":12},)"
    R"("ap-count":2,"unanswered-ap-count":1,"deleted-ap-count":0,"queue-size":0,"rrm-status":0,"fbt-status":0,)"
    R"("aps":[{"board":"wl-7","mac":"00:11:22:33:44:00","serial":"S1","hw":"1.0","radios":[]},)"
    R"({"board":"wl-9","mac":"00:11:22:33:55:00","serial":"S2","hw":"1.0","radios":[]}],)"
    R"("unanswered-aps":[{"board":"wl-7","mac":"00:11:22:33:66:00","serial":"S3","hw":"1.0","radios":[]}],)"
    R"("deleted-aps":[]}})";

const std::string kDomainLists = "Active APs (2 APs): \n"
                                 "\tAP: 00:11:22:33:44:00, wl-7\n"
                                 "\tAP: 00:11:22:33:55:00, wl-9\n"
                                 "Unanswered APs (1 APs): \n"
                                 "\tAP: 00:11:22:33:66:00, wl-7\n"
                                 "Deleted APs (0 APs): \n";

TEST(PluginDomains, DomainStatusPrintsCountsListsAndMetrics)
{
    // Without metrics, and with a list that is no array: both left out.
    const std::string sparse =
        "{" + kRrmHeader +
        R"(,"details":{"name":"lab","ap-count":0,"unanswered-ap-count":0,"deleted-ap-count":1,)"
        R"("aps":[],"unanswered-aps":null,"deleted-aps":[{"board":"wl-2","mac":"00:11:22:33:77:00"}]}})";
    const std::string unknown = "{" + kRrmHeader + R"(,"error":"domain not found"})";
    FakeApiServer server;
    for (const std::string& reply : {kDomainStatus, sparse, unknown, kDomainStatus, unknown})
        server.reply(reply);
    const ClishRun run = run_against(server, {{"rrm-show-domain", "site-1"},
                                              {"rrm-show-domain", "lab"},
                                              {"rrm-show-domain", "nowhere"},
                                              {"rrm-show-list-ap", "site-1"},
                                              {"rrm-show-list-ap", "nowhere"}});
    EXPECT_EQ(clish_result("Domain site-1:\n"
                           "ap-count: 2\n"
                           "unanswered-ap-count: 1\n"
                           "deleted-ap-count: 0\n" +
                               kDomainLists +
                               "Metrics:\n"
                               "rrm-response-expected: 101 us\n"
                               "rrm-response-count: 2\n"
                               "rrm-mode-response-expected: 303 us\n"
                               "rrm-mode-response-count: 4\n"
                               "rrm-config-changed-expected: 505 us\n"
                               "rrm-config-changed-count: 6\n"
                               "timer-request-modes-expected: 707 us\n"
                               "timer-request-modes-count: 8\n"
                               "timer-request-scan-expected: 909 us\n"
                               "timer-request-scan-count: 10\n"
                               "timer-optimize-expected: 1111 us\n"
                               "timer-optimize-count: 12\n",
                           0) +
                  clish_result("Domain lab:\n"
                               "ap-count: 0\n"
                               "unanswered-ap-count: 0\n"
                               "deleted-ap-count: 1\n"
                               "Active APs (0 APs): \n"
                               "Deleted APs (1 APs): \n"
                               "\tAP: 00:11:22:33:77:00, wl-2\n",
                               0) +
                  clish_result("", -1) + clish_result(kDomainLists, 0) + clish_result("", -1),
              run.out);
    EXPECT_EQ((std::vector<std::string>{
                  R"({"rrm":{"domain":"site-1"}})",
                  R"({"rrm":{"domain":"lab"}})",
                  R"({"rrm":{"domain":"nowhere"}})",
                  R"({"rrm":{"domain":"site-1"}})",
                  R"({"rrm":{"domain":"nowhere"}})",
              }),
              server.requests());
}

// ---- one AP ----

// Radio 0 as the server writes it (VAPs, no "ssids"), in parts so that tests
// can leave one out; radio 1 with a plain "ssids" list, a channel list holding
// null and no clients.
const std::string kRadio0Head =
    R"({"id":0,"mac":"00:11:22:33:44:00","mac-offset":0,"radio-mac-count":16,"status":1,)"
    R"("power-changed":-3,"conflicted":1,"locked-tpc":0,"locked-dca":1,"locked-balancer":1,)"
    R"("locked-80211v":1,"channel":6,"band":2,"power":17,"max-power":20,"min-power":1,)"
    R"("bandwidth":20,"primary-channel":0)";
const std::string kRadio0Channels = R"(,"available-channels":[1,6,11])";
const std::string kRadio0Vaps =
    R"(,"vaps":[{"id":0,"ssid":"office","mac":"00:11:22:33:44:00"},{"id":1,"ssid":"guest","mac":"00:11:22:33:44:01"}])";
const std::string kRadio0Clients =
    R"(,"assoc_clients":[{"mac":"AA:BB:CC:00:00:01","dbm-signal":-61,"ssid":"office","no-balance":0},)"
    R"({"mac":"AA:BB:CC:00:00:02","dbm-signal":-70,"ssid":"guest","no-balance":1}])";
const std::string kRadio0 = kRadio0Head + kRadio0Channels + kRadio0Vaps + kRadio0Clients + "}";
const std::string kRadio1 =
    R"({"id":1,"mac":"00:11:22:33:44:10","status":0,"power-changed":0,"conflicted":0,)"
    R"("locked-tpc":1,"locked-dca":0,"channel":36,"bandwidth":80,"power":20,"max-power":23,)"
    R"("available-channels":[36,null,44],"ssids":["lab",5],"assoc_clients":[]})";

const std::string kRadio0Lines = "\tRadio 0:\n"
                                 "\t\tMac: 00:11:22:33:44:00\n"
                                 "\t\tStatus: 1\n"
                                 "\t\tPower changed: -3\n"
                                 "\t\tConflicted: 1\n"
                                 "\t\tLockedTPC: 0\n"
                                 "\t\tLockedDCA: 1\n"
                                 "\t\tChannel: 6\n"
                                 "\t\tBandwidth: 20\n"
                                 "\t\tPower: 17\n"
                                 "\t\tMax power: 20\n";

std::string ap_reply(const std::string& list, const std::string& ap)
{
    return "{" + kRrmHeader + ",\"" + list + "\":" + ap + "}";
}

TEST(PluginShowAp, PrintsTheApAndEveryRadio)
{
    const std::string full = ap_reply(
        "active-ap", R"({"mac":"00:11:22:33:44:00","active":1,"ap-mac-count":48,"use-wildcard-80211r":0,)"
                     R"("radios":{"received":1,"interfaces":[)" + kRadio0 + "," + kRadio1 +
                         R"(]},"visible-members":[],"visible-rogue":[]})");
    FakeApiServer server;
    server.reply(full);
    const ClishRun run = run_against(server, {{"rrm-show-ap", "site-1\n00:11:22:33:44:00"}});
    EXPECT_EQ(clish_result("AP at active AP list\n"
                           "AP 00:11:22:33:44:00:\n"
                           "\tActive: 1\n"
                           "\tInterfaces configuration received: 1\n"
                           "\tAP have 2 radios\n" +
                               kRadio0Lines +
                               "\t\tAvailable channels:\n"
                               "\t\t\t1 6 11 \n"
                               "\t\tSSIDs:\n"
                               "\t\t\t\"office\" \"guest\" \n"
                               "\t\tStations:\n"
                               "\t\t\tAA:BB:CC:00:00:01   -61   office\n"
                               "\t\t\tAA:BB:CC:00:00:02   -70   guest\n"
                               "\tRadio 1:\n"
                               "\t\tMac: 00:11:22:33:44:10\n"
                               "\t\tStatus: 0\n"
                               "\t\tPower changed: 0\n"
                               "\t\tConflicted: 0\n"
                               "\t\tLockedTPC: 1\n"
                               "\t\tLockedDCA: 0\n"
                               "\t\tChannel: 36\n"
                               "\t\tBandwidth: 80\n"
                               "\t\tPower: 20\n"
                               "\t\tMax power: 23\n"
                               "\t\tAvailable channels:\n"
                               "\t\t\t36 0 44 \n"
                               "\t\tSSIDs:\n"
                               "\t\t\t\"lab\" \"\" \n",
                           0),
              run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(std::vector<std::string>{R"({"rrm":{"domain":"site-1","ap":"00:11:22:33:44:00"}})"},
              server.requests());
}

TEST(PluginShowAp, StopsAtTheFirstPartThatIsMissing)
{
    const std::string head_deleted = "AP at deleted AP list\nAP 00:11:22:33:44:00:\n";
    const std::string radio_head = "\tActive: 0\n"
                                   "\tInterfaces configuration received: 1\n"
                                   "\tAP have 1 radios\n" +
                                   kRadio0Lines;
    auto with_radio = [](const std::string& list, const std::string& radio) {
        return ap_reply(list, R"({"mac":"00:11:22:33:44:00","active":0,"radios":{"received":1,"interfaces":[)" +
                                  radio + "]}}");
    };
    const struct {
        const char* name;
        std::string reply;
        std::string printed;
        int result;
    } cases[] = {
        {"an AP without radios", 
         ap_reply("deleted-ap", R"({"mac":"00:11:22:33:44:00","active":0,"radios":{"received":0,"interfaces":[]}})"),
         head_deleted + "\tActive: 0\n\tInterfaces configuration received: 0\n\tAP have 0 radios\n", 0},
        {"no radios object",
         ap_reply("unanswered-ap", R"({"mac":"00:11:22:33:44:00","active":0})"),
         "AP at unanswered AP list\nAP 00:11:22:33:44:00:\n\tActive: 0\n", -1},
        {"no interfaces",
         ap_reply("deleted-ap", R"({"mac":"00:11:22:33:44:00","active":0,"radios":{"received":1}})"),
         head_deleted + "\tActive: 0\n\tInterfaces configuration received: 1\n", -1},
        {"no channel list", with_radio("deleted-ap", kRadio0Head + kRadio0Vaps + kRadio0Clients + "}"),
         head_deleted + radio_head, -1},
        {"neither SSIDs nor VAPs", with_radio("deleted-ap", kRadio0Head + kRadio0Channels + kRadio0Clients + "}"),
         head_deleted + radio_head + "\t\tAvailable channels:\n\t\t\t1 6 11 \n", -1},
        {"no client list", with_radio("deleted-ap", kRadio0Head + kRadio0Channels + kRadio0Vaps + "}"),
         head_deleted + radio_head +
             "\t\tAvailable channels:\n\t\t\t1 6 11 \n\t\tSSIDs:\n\t\t\t\"office\" \"guest\" \n",
         -1},
        {"an AP in no list", "{" + kRrmHeader + R"(,"error":"ap not found"})", "", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeApiServer server;
        server.reply(c.reply);
        const ClishRun run = run_against(server, {{"rrm-show-ap", "site-1\n00:11:22:33:44:00"}});
        EXPECT_EQ(clish_result(c.printed, c.result), run.out);
        EXPECT_EQ(1u, server.requests().size());
    }
}

TEST(PluginShowAp, AScriptWithoutTheMacSendsNothing)
{
    FakeApiServer server;
    const ClishRun run = run_against(
        server, {{"rrm-show-ap", "site-1"}, {"rrm-show-ap", "site-1\n"}, {"rrm-show-ap", ""}});
    EXPECT_EQ(repeat(clish_result("", -1), 3), run.out);
    EXPECT_EQ(0, server.connections());
}

// ---- transport ----


TEST(PluginTransport, ServerNotRunningGivesTheConnectLineForEveryCommand)
{
    const int port = testsupport::free_port();
    std::vector<ClishCommand> commands{{"rrm-api-cli-port", std::to_string(port)}};
    commands.insert(commands.end(), kAskingCommands.begin(), kAskingCommands.end());
    const ClishRun run = run_clish(commands);
    const int asking = static_cast<int>(kAskingCommands.size());
    EXPECT_EQ(clish_result("", 0) + repeat(clish_result("", -1), asking), run.out);
    EXPECT_EQ(repeat("connect: Connection refused\n", asking), run.err);
}

TEST(PluginTransport, RepliesThatAreNoJsonObjectAreReceiveFailures)
{
    const struct {
        const char* name;
        const char* reply;  // null: the server closes without a reply
        const char* err;
    } cases[] = {
        {"closed without a reply", nullptr, "recv: No data available\n"},
        {"not JSON", "not json", "recv: Bad message\n"},
        {"cut short", R"({"version":"2.1","domains":[)", "recv: Bad message\n"},
        {"something after the object", R"({"version":"2.1","domains":[]}{})", "recv: Bad message\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeApiServer server;
        if (c.reply)
            server.reply(c.reply);
        else
            server.close_without_reply();
        const ClishRun run = run_against(server, {{"rrm-show-all", ""}});
        EXPECT_EQ(clish_result("", -1), run.out);
        EXPECT_EQ(c.err, run.err);
    }
    // Blanks after the object are no fault.
    FakeApiServer server;
    server.reply("{" + kRrmHeader + R"(,"domains":[]} )" + "\n");
    const ClishRun run = run_against(server, {{"rrm-show-all", ""}});
    EXPECT_EQ(clish_result("", 0), run.out);
    EXPECT_EQ("", run.err);
}

TEST(PluginTransport, LongRequestsAndRepliesTravelWhole)
{
    // A request far longer than one send takes (every send is cut to 1000
    // bytes, every other one refused for now) and a reply far longer than one
    // read.
    const std::string name(120000, 'd');
    std::string reply = "{" + kRrmHeader + R"(,"domains":[)";
    std::string printed;
    for (int i = 0; i < 5000; ++i) {
        const std::string domain = "domain-" + std::to_string(i);
        reply += std::string(i ? "," : "") + R"({"name":")" + domain + R"(","ap-count":)" +
                 std::to_string(i) + R"(,"unanswered-ap-count":1,"deleted-ap-count":2,"common-config":0})";
        printed += "  Domain: " + domain + " (" + std::to_string(i) +
                   " active APs, 1 unanswered APs, 2 deleted APs)\n";
    }
    reply += "]}";
    ASSERT_GT(reply.size(), 400000u);

    FakeApiServer server;
    server.reply("{" + kRrmHeader + R"(,"error":"domain not found"})");
    server.reply(reply);
    const ClishRun run =
        run_against(server, {{"rrm-show-domain", name}, {"rrm-show-all", ""}}, SHORT_SEND);
    EXPECT_EQ(clish_result("", -1) + clish_result(printed, 0), run.out);
    EXPECT_EQ("", run.err);
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_TRUE(requests[0] == R"({"rrm":{"domain":")" + name + "\"}}") << requests[0].size();
}

TEST(PluginTransport, AServerThatNeverAnswersEndsTheCommandWithATimeOut)
{
    FakeApiServer server;
    server.hold();
    const ClishRun run = run_against(server, {{"rrm-show-all", ""}});
    EXPECT_EQ(clish_result("", -1), run.out);
    EXPECT_EQ("recv: Connection timed out\n", run.err);
    EXPECT_EQ(std::vector<std::string>{R"({"rrm":{}})"}, server.requests());
}

TEST(PluginTransport, AServerThatClosesBeforeReadingDoesNotEndTheShell)
{
    // Whether the close meets the send or the wait for the reply depends on
    // timing; either way the command fails and the shell goes on.
    FakeApiServer server;
    server.close_unread();
    const ClishRun run = run_against(server, {{"rrm-show-domain", std::string(120000, 'd')},
                                              {"rrm-show-api-cli-port", ""}});
    EXPECT_EQ(clish_result("", -1) +
                  clish_result("api_cli port: " + std::to_string(server.port()) + "\n", 0),
              run.out);
    EXPECT_TRUE(run.err.rfind("send: ", 0) == 0 || run.err.rfind("recv: ", 0) == 0) << run.err;
}

}  // namespace
