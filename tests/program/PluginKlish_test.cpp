// The klish plug-in loaded into the real klish 2.1 shell (bash scripts/klish
// builds it; see KlishHost.h) against the real running server: every
// symbol once, the completion as klish calls it, check mode, and the
// README's configuration as printed there. Without klish the tests skip.
#include "JsonReader.h"
#include "KlishHost.h"
#include "PluginViews.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::ClishRun;
using testsupport::KlishShell;
using testsupport::KlishTerminal;
using testsupport::OneApViews;
using testsupport::WendaraProcess;

// One command typed at klish, with what it must print on standard output
// and standard error and the exit status of `clish -c` (255 for -1).
struct Expected {
    std::string line;
    std::string out;
    int status;
    std::string err = "";
};

// Each symbol is a command of its own name, taking its script's lines as
// words: `rrm-cfg-tpc common 1` runs "rrm-cfg-tpc" with "common\n1".
struct SymbolCommand {
    const char* symbol;
    int words;
};

const SymbolCommand kSymbolCommands[] = {
    {"rrm-show-cfg", 1},
    {"rrm-show-cfg-domain-list", 0},
    {"completion-domain-cfgs", 0},
    {"rrm-show-all", 0},
    {"rrm-show-unreg", 0},
    {"rrm-show-reg", 0},
    {"rrm-show-domain", 1},
    {"rrm-show-session", 0},
    {"rrm-show-list-ap", 1},
    {"rrm-show-ap", 2},
    {"rrm-show-api-cli-port", 0},
    {"rrm-cfg-domain-add", 1},
    {"rrm-cfg-domain-remove", 1},
    {"rrm-cfg-enable", 2},
    {"rrm-cfg-domain-limit", 2},
    {"rrm-cfg-listen-port", 2},
    {"rrm-cfg-cli-api-port", 2},
    {"rrm-cfg-https", 2},
    {"rrm-cfg-tavik-rrm-scan", 2},
    {"rrm-cfg-tavik-hd-mode", 2},
    {"rrm-cfg-away-timeout", 2},
    {"rrm-cfg-tpc", 2},
    {"rrm-cfg-ap-rssi-threshold-2g", 2},
    {"rrm-cfg-ap-rssi-threshold-5g", 2},
    {"rrm-cfg-ap-rssi-threshold-6g", 2},
    {"rrm-cfg-hysteresis-2g", 2},
    {"rrm-cfg-hysteresis-5g", 2},
    {"rrm-cfg-hysteresis-6g", 2},
    {"rrm-cfg-dca", 2},
    {"rrm-cfg-balance", 2},
    {"rrm-cfg-blacklist-threshold-high", 2},
    {"rrm-cfg-blacklist-threshold-low", 2},
    {"rrm-cfg-load-balance-sta-high", 2},
    {"rrm-cfg-load-balance-sta-low", 2},
    {"rrm-cfg-use-all-ap-balance", 2},
    {"rrm-api-cli-port", 1},
};

// The configuration with one command per symbol and the domain names as a
// dynamic VAR, completing the first word of "rrm-show-domain" and
// "rrm-cfg-domain-remove".
std::string symbol_commands_xml()
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<CLISH_MODULE xmlns=\"http://clish.sourceforge.net/XMLSchema\">\n"
                      "<PLUGIN name=\"clish_rrm_func\" file=\"" RADMON_PLUGIN "\"/>\n"
                      "<PTYPE name=\"WORD\" pattern=\"[^ ]+\" help=\"word\"/>\n"
                      "<VAR name=\"domains\" dynamic=\"true\">"
                      "<ACTION builtin=\"completion-domain-cfgs\"/></VAR>\n"
                      "<VIEW name=\"main\" prompt=\"klish&gt; \">\n";
    for (const SymbolCommand& c : kSymbolCommands) {
        const std::string name = c.symbol;
        const bool completes = name == "rrm-show-domain" || name == "rrm-cfg-domain-remove";
        xml += "<COMMAND name=\"" + name + "\" help=\"" + name + "\">\n";
        const char* words[] = {"first", "second"};
        for (int w = 0; w < c.words; ++w)
            xml += std::string("<PARAM name=\"") + words[w] + "\" help=\"" + words[w] +
                   "\" ptype=\"WORD\"" + (completes ? " completion=\"${^domains}\"" : "") + "/>\n";
        if (c.words == 0)
            xml += "<ACTION builtin=\"" + name + "\"/>\n";
        else if (c.words == 1)
            xml += "<ACTION builtin=\"" + name + "\">${^first}</ACTION>\n";
        else
            xml += "<ACTION builtin=\"" + name + "\">${^first}\n${^second}</ACTION>\n";
        xml += "</COMMAND>\n";
    }
    return xml + "</VIEW>\n<STARTUP view=\"main\"/>\n</CLISH_MODULE>\n";
}

class KlishPlugin : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        clish_ = testsupport::find_clish(why);
        if (clish_.empty())
            GTEST_SKIP() << why;
    }

    // Runs every line as its own `clish -c` after the port command that
    // points the plug-in at `port` (`port_command` names it in the XML).
    static void expect_all(const KlishShell& shell, int port, const std::vector<Expected>& cases,
                           const std::string& port_command = "rrm-api-cli-port")
    {
        for (const Expected& c : cases) {
            SCOPED_TRACE(c.line);
            const ClishRun run = shell.lines({port_command + " " + std::to_string(port), c.line});
            EXPECT_TRUE(run.exited) << "ended by signal " << run.code;
            EXPECT_EQ(c.status, run.code);
            EXPECT_EQ(c.out, run.out);
            EXPECT_EQ(c.err, run.err);
        }
    }

    std::string clish_;
};

// A configuration read through the TCP API: the server section, the common
// settings and the domain list.
std::string server_settings(int port)
{
    return testsupport::tcp_exchange(port, R"({"cfg":{"operation":"get","level":"global"}})") +
           testsupport::tcp_exchange(
               port, R"({"cfg":{"operation":"get","level":"pattern","pattern":"common"}})") +
           testsupport::tcp_exchange(port, R"({"cfg":{"operation":"get","level":"domain"}})");
}

const std::string kSite1 = R"("domains":[{"domain":"site-1","pattern":"common","time_zone":""}])";

// Starts the server with `rest` in its configuration and waits for its TCP API.
void start(WendaraProcess& p, const std::string& rest)
{
    p.write_config("", rest);
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
}

TEST_F(KlishPlugin, ShowCommandsPrintTheServersStateWithOneSubscribedAp)
{
    WendaraProcess p;
    testsupport::ApSimulator ap(testsupport::one_ap_spec());
    ASSERT_NO_FATAL_FAILURE(testsupport::start_with_one_ap(p, ap));
    const KlishShell shell(clish_, symbol_commands_xml());
    const std::string domain_line = OneApViews::domain_line();
    expect_all(shell, p.cli_port,
               {
                   {"rrm-show-all", domain_line, 0},
                   {"rrm-show-reg", "Configured domains:\n" + domain_line, 0},
                   {"rrm-show-unreg", "Domains with common config:\n", 0},
                   {"rrm-show-session", OneApViews::session(), 0},
                   {"rrm-show-list-ap site-1", OneApViews::ap_lists(), 0},
                   {"rrm-show-domain site-1", OneApViews::domain(), 0},
                   {"rrm-show-ap site-1 00:11:22:33:44:00", OneApViews::ap(), 0},
                   {"rrm-show-ap site-1 00:11:22:33:44:99", "", 255},
                   {"rrm-show-domain nowhere", "", 255},
                   {"rrm-show-cfg global", testsupport::shown_server_section(p, p.cli_port), 0},
                   {"rrm-show-cfg-domain-list", "Domain configurations:\n  \"site-1\"\n", 0},
                   {"rrm-show-api-cli-port", "api_cli port: " + std::to_string(p.cli_port) + "\n", 0},
               });
    // The port command alone, and one it refuses (the port then stays 8082).
    const ClishRun port = shell.lines({"rrm-api-cli-port 70000", "rrm-show-api-cli-port"});
    EXPECT_EQ("Invalid value '70000' for api_cli port\napi_cli port: 8082\n", port.out);
    EXPECT_EQ(0, port.code);
}

TEST_F(KlishPlugin, SettersChangeTheCommonSettingsAndTheServerSection)
{
    WendaraProcess p;
    ASSERT_NO_FATAL_FAILURE(start(p, ""));
    const KlishShell shell(clish_, symbol_commands_xml());
    const int new_listen_port = testsupport::free_port();
    const int new_cli_port = testsupport::free_port();

    // Each value differs from the built-in default (but use_https, which
    // would need certificates) and lies within the server's range.
    const struct {
        const char* symbol;
        const char* level;
        std::string value;
        const char* key;
    } setters[] = {
        {"rrm-cfg-enable", "global", "0", "enabled"},
        {"rrm-cfg-listen-port", "global", std::to_string(new_listen_port), "listen_port"},
        {"rrm-cfg-cli-api-port", "global", std::to_string(new_cli_port), "cli_api_port"},
        {"rrm-cfg-https", "global", "0", "use_https"},
        {"rrm-cfg-tavik-rrm-scan", "common", "0", "use_tavik_rrm_scan"},
        {"rrm-cfg-tavik-hd-mode", "common", "0", "use_hd_mode"},
        {"rrm-cfg-away-timeout", "common", "300", "away_timeout"},
        {"rrm-cfg-tpc", "common", "0", "use_tpc"},
        {"rrm-cfg-ap-rssi-threshold-2g", "common", "-71", "ap_rssi_threshold_2g"},
        {"rrm-cfg-ap-rssi-threshold-5g", "common", "-72", "ap_rssi_threshold_5g"},
        {"rrm-cfg-ap-rssi-threshold-6g", "common", "-73", "ap_rssi_threshold_6g"},
        {"rrm-cfg-hysteresis-2g", "common", "3", "hysteresis_2g"},
        {"rrm-cfg-hysteresis-5g", "common", "4", "hysteresis_5g"},
        {"rrm-cfg-hysteresis-6g", "common", "5", "hysteresis_6g"},
        {"rrm-cfg-dca", "common", "0", "use_dca"},
        {"rrm-cfg-balance", "common", "0", "use_balance"},
        {"rrm-cfg-blacklist-threshold-high", "common", "-60", "blacklist_thr_high"},
        {"rrm-cfg-blacklist-threshold-low", "common", "-80", "blacklist_thr_low"},
        {"rrm-cfg-load-balance-sta-high", "common", "30", "load_balance_sta_high"},
        {"rrm-cfg-load-balance-sta-low", "common", "6", "load_balance_sta_low"},
        {"rrm-cfg-use-all-ap-balance", "common", "1", "use_all_ap_balance"},
    };
    std::vector<Expected> cases;
    for (const auto& s : setters)
        cases.push_back({std::string(s.symbol) + " " + s.level + " " + s.value,
                         std::string("'") + s.key + "' was successfully changed.\n", 0});
    // The server has no domain limit, and refuses a set for one domain
    // (whose settings come from its pattern).
    cases.push_back({"rrm-cfg-domain-limit global 3", "Error while setting domain_limit = 3(global)\n", 255});
    cases.push_back({"rrm-cfg-tpc site-1 1", "Error while setting use_tpc = 1(site-1)\n", 255});
    expect_all(shell, p.cli_port, cases);

    // The TCP API keeps its port until the next start.
    const rrm::JsonReader global(
        testsupport::tcp_exchange(p.cli_port, R"({"cfg":{"operation":"get","level":"global"}})").c_str());
    const rrm::JsonReader common(testsupport::tcp_exchange(
        p.cli_port, R"({"cfg":{"operation":"get","level":"pattern","pattern":"common"}})")
                                     .c_str());
    for (const auto& s : setters) {
        SCOPED_TRACE(s.key);
        const rrm::JsonReader& section = std::string(s.level) == "global" ? global : common;
        ASSERT_TRUE(section.has(s.key));
        EXPECT_EQ(std::stoi(s.value), section.get_int(s.key));
    }
}

TEST_F(KlishPlugin, DomainsAreAddedCompletedThroughTheVarAndRemoved)
{
    WendaraProcess p;
    ASSERT_NO_FATAL_FAILURE(start(p, kSite1));
    const KlishShell shell(clish_, symbol_commands_xml());
    expect_all(shell, p.cli_port,
               {
                   {"rrm-cfg-domain-add site-2", "'site-2' config was successfully added.\n", 0},
                   // As a command's own action the completion has nowhere to put
                   // its text: it fails quietly (it used to end the shell).
                   {"completion-domain-cfgs", "", 255},
               });

    // On a terminal the domain names complete the PARAM through the VAR:
    // "s" grows to the names' common start, a second tab lists them both.
    {
        KlishTerminal terminal(shell);
        ASSERT_TRUE(terminal.run_first("klish> ", "rrm-api-cli-port " + std::to_string(p.cli_port)))
            << terminal.shown();
        terminal.type("rrm-cfg-domain-remove s\t");
        ASSERT_TRUE(terminal.wait_for("rrm-cfg-domain-remove site-")) << terminal.shown();
        terminal.type("\t");
        ASSERT_TRUE(terminal.wait_for("site-1")) << terminal.shown();
        ASSERT_TRUE(terminal.wait_for("site-2")) << terminal.shown();
        terminal.type("2\n");
        EXPECT_TRUE(terminal.wait_for("'site-2' config was successfully removed.")) << terminal.shown();
    }
    expect_all(shell, p.cli_port,
               {
                   {"rrm-cfg-domain-remove site-2", "Error while removing domain config site-2.\n", 255},
                   {"rrm-show-cfg-domain-list", "Domain configurations:\n  \"site-1\"\n", 0},
               });
}

TEST_F(KlishPlugin, CheckAndDryRunModesChangeNothingOnTheServer)
{
    WendaraProcess p;
    ASSERT_NO_FATAL_FAILURE(start(p, kSite1));
    const KlishShell shell(clish_, symbol_commands_xml());
    const std::string before = server_settings(p.cli_port);
    ASSERT_NE(std::string::npos, before.find("site-1")) << before;

    // Every command that would change the server, between two that read.
    const std::string script = "rrm-api-cli-port " + std::to_string(p.cli_port) +
                               "\n"
                               "rrm-show-cfg-domain-list\n"
                               "rrm-cfg-domain-add site-2\n"
                               "rrm-cfg-domain-remove site-1\n"
                               "rrm-cfg-enable global 0\n"
                               "rrm-cfg-domain-limit global 3\n"
                               "rrm-cfg-listen-port global 1\n"
                               "rrm-cfg-cli-api-port global 1\n"
                               "rrm-cfg-https global 1\n"
                               "rrm-cfg-tavik-rrm-scan common 0\n"
                               "rrm-cfg-tavik-hd-mode common 0\n"
                               "rrm-cfg-away-timeout common 300\n"
                               "rrm-cfg-tpc common 0\n"
                               "rrm-cfg-ap-rssi-threshold-2g common -71\n"
                               "rrm-cfg-ap-rssi-threshold-5g common -72\n"
                               "rrm-cfg-ap-rssi-threshold-6g common -73\n"
                               "rrm-cfg-hysteresis-2g common 3\n"
                               "rrm-cfg-hysteresis-5g common 4\n"
                               "rrm-cfg-hysteresis-6g common 5\n"
                               "rrm-cfg-dca common 0\n"
                               "rrm-cfg-balance common 0\n"
                               "rrm-cfg-blacklist-threshold-high common -60\n"
                               "rrm-cfg-blacklist-threshold-low common -80\n"
                               "rrm-cfg-load-balance-sta-high common 30\n"
                               "rrm-cfg-load-balance-sta-low common 6\n"
                               "rrm-cfg-use-all-ap-balance common 1\n"
                               "rrm-show-cfg-domain-list\n"
                               "rrm-show-api-cli-port\n";
    const std::string listed = "Domain configurations:\n  \"site-1\"\n";
    for (const char* mode : {"-k", "-d"}) {
        SCOPED_TRACE(mode);
        const ClishRun run = shell.script(script, {mode});
        EXPECT_TRUE(run.exited) << "ended by signal " << run.code;
        EXPECT_EQ(0, run.code);
        EXPECT_EQ(listed + listed + "api_cli port: " + std::to_string(p.cli_port) + "\n", run.out);
        EXPECT_EQ("", run.err);
        EXPECT_EQ(before, server_settings(p.cli_port));
    }
}

// The configuration the README gives between its example markers.
std::string readme_example()
{
    std::ifstream file(WENDARA_SOURCE_DIR "/README.md");
    std::stringstream text;
    text << file.rdbuf();
    const std::string readme = text.str();
    const std::string start = "<!-- klish example: start -->\n```xml\n";
    const std::string end = "```\n<!-- klish example: end -->";
    const size_t from = readme.find(start);
    const size_t to = readme.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from)
        return "";
    return readme.substr(from + start.size(), to - from - start.size());
}

TEST_F(KlishPlugin, TheReadmeExampleWorksAsPrinted)
{
    const std::string xml = readme_example();
    ASSERT_NE(std::string::npos, xml.find("<CLISH_MODULE")) << "no example in README.md";
    WendaraProcess p;
    ASSERT_NO_FATAL_FAILURE(start(p, kSite1));
    const KlishShell shell(clish_, xml);
    expect_all(shell, p.cli_port,
               {
                   // A name with a character klish would escape arrives as typed.
                   {"domain add a;b", "'a;b' config was successfully added.\n", 0},
                   // The server lists its domains in name order.
                   {"domain list", "Domain configurations:\n  \"a;b\"\n  \"site-1\"\n", 0},
                   {"tpc common 0", "'use_tpc' was successfully changed.\n", 0},
                   {"tpc site-1 1", "Error while setting use_tpc = 1(site-1)\n", 255},
                   // No AP has subscribed, so no domain has a worker.
                   {"show domains", "", 0},
                   {"show domain site-1", "", 255},
               },
               "api-port");

    {
        KlishTerminal terminal(shell);
        ASSERT_TRUE(terminal.run_first("rrm> ", "api-port " + std::to_string(p.cli_port)))
            << terminal.shown();
        terminal.type("domain remove a\t");
        ASSERT_TRUE(terminal.wait_for("domain remove a;b ")) << terminal.shown();
        terminal.type("\n");
        EXPECT_TRUE(terminal.wait_for("'a;b' config was successfully removed.")) << terminal.shown();
    }

    // What the README says of ${name} without the "^": klish escapes.
    std::string escaping = xml;
    const std::string raw = "<ACTION builtin=\"rrm-cfg-domain-add\">${^name}</ACTION>";
    const size_t at = escaping.find(raw);
    ASSERT_NE(std::string::npos, at);
    escaping.replace(at, raw.size(), "<ACTION builtin=\"rrm-cfg-domain-add\">${name}</ACTION>");
    expect_all(KlishShell(clish_, escaping), p.cli_port,
               {
                   {"domain add a;b", "'a\\;b' config was successfully added.\n", 0},
                   {"domain list", "Domain configurations:\n  \"a\\;b\"\n  \"site-1\"\n", 0},
               },
               "api-port");
}

}  // namespace
