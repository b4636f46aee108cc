// The klish plug-in, loaded by the stand-in shell, against the real running
// server: what each command prints and returns for the server's own answers.
#include "ClishHost.h"
#include "PluginViews.h"
#include "WendaraProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using testsupport::clish_result;
using testsupport::ClishCommand;
using testsupport::ClishRun;
using testsupport::json_c_pretty;
using testsupport::OneApViews;
using testsupport::run_clish;
using testsupport::WendaraProcess;
using namespace std::chrono_literals;

// Runs the commands with the plug-in pointed at `port` first; the port
// command's own result line is checked and left out.
ClishRun run_at(int port, const std::vector<ClishCommand>& commands)
{
    std::vector<ClishCommand> all{{"rrm-api-cli-port", std::to_string(port)}};
    all.insert(all.end(), commands.begin(), commands.end());
    ClishRun run = run_clish(all);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(0, run.code) << run.err;
    const std::string first = "result: 0\n";
    EXPECT_EQ(0u, run.out.rfind(first, 0)) << run.out;
    if (run.out.rfind(first, 0) == 0)
        run.out.erase(0, first.size());
    return run;
}

// Starts the server and waits for its TCP API.
void start(WendaraProcess& p, const std::string& rest = "")
{
    p.write_config("", rest);
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
}

TEST(ProgramPlugin, RefusedAndUnknownRequestsFailAndAStoppedServerIsNotReached)
{
    WendaraProcess p;
    ASSERT_NO_FATAL_FAILURE(start(p));
    const ClishRun run = run_at(p.cli_port, {
                                                // A domain's settings come from its pattern: the
                                                // server refuses a set without one.
                                                {"rrm-cfg-tpc", "site-1\n5"},
                                                {"rrm-show-domain", "nowhere"},
                                                {"rrm-show-list-ap", "nowhere"},
                                                {"rrm-show-ap", "nowhere\n00:11:22:33:44:00"},
                                                {"rrm-cfg-domain-remove", "nowhere"},
                                                // Refused before anything is sent.
                                                {"rrm-cfg-domain-limit", "global\n10"},
                                                {"rrm-show-ap", "nowhere"},
                                            });
    EXPECT_EQ(clish_result("Error while setting use_tpc = 5(site-1)\n", -1) +
                  clish_result("", -1) + clish_result("", -1) + clish_result("", -1) +
                  clish_result("Error while removing domain config nowhere.\n", -1) +
                  clish_result("Error while setting domain_limit = 10(global)\n", -1) +
                  clish_result("", -1),
              run.out);
    EXPECT_EQ("", run.err);

    p.interrupt();
    EXPECT_EQ(0, p.wait(30s).code) << p.stderr_text();
    const ClishRun after = run_at(p.cli_port, {{"rrm-show-all", ""}, {"rrm-cfg-enable", "global\n1"}});
    EXPECT_EQ(clish_result("", -1) + clish_result("", -1), after.out);
    EXPECT_EQ("connect: Connection refused\nconnect: Connection refused\n", after.err);
}

TEST(ProgramPlugin, SettingsAreShownChangedAndKeptAcrossARestart)
{
    WendaraProcess p;
    ASSERT_NO_FATAL_FAILURE(start(p));
    const int new_cli_port = testsupport::free_port();

    auto global = [&](int cli_port) { return testsupport::shown_server_section(p, cli_port); };
    // The common settings: the built-in defaults, but use_tpc switched off.
    const std::string common = json_c_pretty({{"version", "\"2.1\""},
                                       {"use_tavik_rrm_scan", "1"},
                                       {"use_dca", "1"},
                                       {"use_tpc", "0"},
                                       {"use_hd_mode", "1"},
                                       {"dca_threshold", "25"},
                                       {"ap_rssi_threshold_2g", "-70"},
                                       {"ap_rssi_threshold_5g", "-70"},
                                       {"ap_rssi_threshold_6g", "-70"},
                                       {"hysteresis_2g", "2"},
                                       {"hysteresis_5g", "2"},
                                       {"hysteresis_6g", "2"},
                                       {"optimization_time", "\"00:00\""},
                                       {"use_optimization_time", "0"},
                                       {"use_optimization_event", "1"},
                                       {"away_timeout", "120"},
                                       {"blacklist_thr_low", "-75"},
                                       {"blacklist_thr_high", "-65"},
                                       {"blacklist_timeout", "30"},
                                       {"load_balance_sta_low", "5"},
                                       {"load_balance_sta_high", "20"},
                                       {"roam_attempt_timeout", "600"},
                                       {"sta_load_balance_period", "60"},
                                       {"load_balance_roam_count_min", "2"},
                                       {"load_balance_roam_count_max", "4"},
                                       {"use_all_ap_balance", "0"},
                                       {"use_balance", "1"},
                                       {"client_rssi_renew", "15"},
                                       {"client_max_age", "20"},
                                       {"client_try_no_balance", "2"},
                                       {"no_balance_enterprise", "0"},
                                       {"use_rrm_report", "1"},
                                       {"report_days_to_live", "93"},
                                       {"use_80211k", "1"},
                                       {"use_80211r", "1"},
                                       {"use_80211v", "0"},
                                       {"fbt_reassoc_deadline", "1000"},
                                       {"fbt_over_ds", "0"}});

    const ClishRun run = run_at(
        p.cli_port, {{"rrm-show-cfg", "global"},
                     {"rrm-cfg-cli-api-port", "global\n" + std::to_string(new_cli_port)},
                     {"rrm-show-cfg", "global"},
                     // away_timeout takes 10 to 3600 seconds.
                     {"rrm-cfg-away-timeout", "common\n5"},
                     {"rrm-cfg-tpc", "common\n0"},
                     {"rrm-show-cfg", "common"},
                     // A key of the other section is refused before sending.
                     {"rrm-cfg-tpc", "global\n1"}});
    EXPECT_EQ(clish_result(global(p.cli_port), 0) +
                  clish_result("'cli_api_port' was successfully changed.\n", 0) +
                  clish_result(global(new_cli_port), 0) +
                  clish_result("Invalid value '5' for away_timeout\n", -1) +
                  clish_result("'use_tpc' was successfully changed.\n", 0) +
                  clish_result(common, 0) +
                  clish_result("Error while setting use_tpc = 1(global)\n", -1),
              run.out);
    EXPECT_EQ("", run.err);

    // The TCP API keeps its port until the next start, which takes the new
    // one from the rewritten file.
    p.interrupt();
    ASSERT_EQ(0, p.wait(30s).code) << p.stderr_text();
    WendaraProcess next;
    next.api_port = p.api_port;
    next.listen_port = p.listen_port;
    next.cli_port = new_cli_port;
    testsupport::put_file(next.config_path(), testsupport::LogFolder::read(p.config_path()));
    next.start({next.config_path()});
    ASSERT_TRUE(next.wait_for_port(new_cli_port)) << next.stderr_text();
    const ClishRun restarted = run_at(new_cli_port, {{"rrm-show-cfg", "global"}});
    EXPECT_EQ(clish_result(global(new_cli_port), 0), restarted.out);
}

TEST(ProgramPlugin, DomainConfigurationsAreAddedListedAndRemoved)
{
    WendaraProcess p;
    ASSERT_NO_FATAL_FAILURE(start(p));
    const std::string refused = "Domain exists or chosen pattern not exists.";
    const ClishRun run = run_at(
        p.cli_port, {{"rrm-show-cfg-domain-list", ""},
                     {"completion-domain-cfgs", ""},
                     {"rrm-cfg-domain-add", "site-1"},
                     {"rrm-cfg-domain-add", "site-1"},
                     {"rrm-cfg-domain-add", "site-2\nno-such-pattern"},
                     {"rrm-show-cfg-domain-list", ""},
                     {"completion-domain-cfgs", ""},
                     // The server lists every domain's pattern and time zone.
                     {"rrm-show-cfg", "site-1"},
                     {"rrm-cfg-domain-remove", "site-1"},
                     {"rrm-cfg-domain-remove", "site-1"},
                     {"rrm-show-cfg-domain-list", ""}});
    EXPECT_EQ(clish_result("Domain configurations:\n", 0) + clish_result("", 0) + "out: \"\"\n" +
                  clish_result("'site-1' config was successfully added.\n", 0) +
                  clish_result("Error while adding new domain config site-1. " + refused + "\n", -1) +
                  clish_result("Error while adding new domain config site-2. " + refused + "\n", -1) +
                  clish_result("Domain configurations:\n  \"site-1\"\n", 0) +
                  clish_result("", 0) + "out: \"site-1 \"\n" +
                  clish_result("{\n"
                               "  \"version\":\"2.1\",\n"
                               "  \"domains\":[\n"
                               "    {\n"
                               "      \"name\":\"site-1\",\n"
                               "      \"config\":\"common\",\n"
                               "      \"time_zone\":\"\"\n"
                               "    }\n"
                               "  ]\n"
                               "}\n",
                               0) +
                  clish_result("'site-1' config was successfully removed.\n", 0) +
                  clish_result("Error while removing domain config site-1.\n", -1) +
                  clish_result("Domain configurations:\n", 0),
              run.out);
    EXPECT_EQ("", run.err);
}

TEST(ProgramPlugin, AServerWithoutDomainWorkersOrSessionsListsNone)
{
    WendaraProcess p;
    ASSERT_NO_FATAL_FAILURE(start(p));
    const ClishRun run = run_at(p.cli_port, {{"rrm-show-all", ""},
                                             {"rrm-show-reg", ""},
                                             {"rrm-show-unreg", ""},
                                             {"rrm-show-session", ""}});
    EXPECT_EQ(clish_result("", 0) + clish_result("Configured domains:\n", 0) +
                  clish_result("Domains with common config:\n", 0) + clish_result("", 0),
              run.out);
    EXPECT_EQ("", run.err);
}

TEST(ProgramPlugin, ASubscribedAccessPointIsShownWithItsDomainAndSession)
{
    WendaraProcess p;
    testsupport::ApSimulator ap(testsupport::one_ap_spec());
    ASSERT_NO_FATAL_FAILURE(testsupport::start_with_one_ap(p, ap));
    const std::string domain_line = OneApViews::domain_line();
    const ClishRun run = run_at(p.cli_port, {{"rrm-show-all", ""},
                                             {"rrm-show-reg", ""},
                                             {"rrm-show-unreg", ""},
                                             {"rrm-show-session", ""},
                                             {"rrm-show-list-ap", "site-1"},
                                             {"rrm-show-domain", "site-1"},
                                             {"rrm-show-ap", "site-1\n00:11:22:33:44:00"},
                                             {"rrm-show-ap", "site-1\n00:11:22:33:44:99"}});
    EXPECT_EQ(clish_result(domain_line, 0) +
                  // Every domain worker runs on its own copy of the settings.
                  clish_result("Configured domains:\n" + domain_line, 0) +
                  clish_result("Domains with common config:\n", 0) +
                  clish_result(OneApViews::session(), 0) +
                  clish_result(OneApViews::ap_lists(), 0) +
                  clish_result(OneApViews::domain(), 0) + clish_result(OneApViews::ap(), 0) +
                  clish_result("", -1),
              run.out);
    EXPECT_EQ("", run.err);
}

}  // namespace
