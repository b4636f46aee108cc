#pragma once
// A running server in a known state and what the plug-in's commands print
// for it, written out by hand; shared by the tests that run the plug-in in
// the stand-in shell and in the real klish against the real program.
//
//     WendaraProcess p;
//     ApSimulator ap(one_ap_spec());
//     ASSERT_NO_FATAL_FAILURE(start_with_one_ap(p, ap));   // "site-1", one AP subscribed

#include "ApSimulator.h"
#include "WendaraProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// json-c writes "/" escaped.
inline std::string json_c_text(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '/')
            out += '\\';
        out += c;
    }
    return out;
}

inline std::string json_c_quoted(const std::string& text)
{
    return "\"" + json_c_text(text) + "\"";
}

// json-c's pretty form of a flat object: one member a line, two blanks in.
inline std::string json_c_pretty(const std::vector<std::pair<std::string, std::string>>& members)
{
    std::string out = "{\n";
    for (size_t i = 0; i < members.size(); ++i)
        out += "  \"" + members[i].first + "\":" + members[i].second +
               (i + 1 < members.size() ? ",\n" : "\n");
    return out + "}\n";
}

// "rrm-show-cfg global": the test's ports and paths, the defaults otherwise.
inline std::string shown_server_section(const TestConfig& p, int cli_port)
{
    return json_c_pretty({{"version", "\"2.1\""},
                          {"enabled", "1"},
                          {"api_port", std::to_string(p.api_port)},
                          {"cli_api_port", std::to_string(cli_port)},
                          {"listen_port", std::to_string(p.listen_port)},
                          {"use_https", "0"},
                          {"report_delete_at_time_utc", "\"21:00\""},
                          {"reports_path", json_c_quoted(p.reports_path())},
                          {"www_path", json_c_quoted(p.www_path())},
                          {"vrrp_enabled", "0"},
                          {"vrrp_timeout", "15"},
                          {"vrrp_backup_path", json_c_quoted(p.backup_path())},
                          {"vrrp_state_file", json_c_quoted(p.state_file())},
                          {"use_wildcard_80211r", "0"}});
}

// One AP of the domain "site-1": radio 0 enabled on channel 36 with one VAP;
// radios 1 and 2 are not named, so the server keeps them disabled.
inline ApSpec one_ap_spec()
{
    ApSpec spec;
    spec.mac = "00:11:22:33:44:00";
    spec.domain = "site-1";
    spec.board = "wl-7";
    spec.hw = "1.0";
    spec.serial = "S1";
    SimRadio radio;
    radio.id = 0;
    radio.channel = 36;
    radio.power = 17;
    radio.power_max = 20;
    radio.power_min = 5;
    radio.bandwidth = 40;
    radio.primary_channel = "lower";
    radio.available_channels = "36";
    SimVap vap;
    vap.id = 0;
    vap.ssid = "office";
    radio.vaps.push_back(vap);
    spec.radios.push_back(radio);
    return spec;
}

// Starts the server with the domain "site-1" and subscribes `ap` to it.
inline void start_with_one_ap(WendaraProcess& p, ApSimulator& ap)
{
    p.write_config("", R"("domains":[{"domain":"site-1","pattern":"common","time_zone":""}])");
    p.start({p.config_path()});
    ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
    ASSERT_TRUE(p.wait_for_port(p.listen_port)) << p.stderr_text();
    ASSERT_TRUE(ap.connect(p.listen_port));
    ASSERT_TRUE(ap.subscribe());
    const auto response = ap.wait_for("subscribe-response");
    ASSERT_TRUE(response);
    ASSERT_NE(std::string::npos, response->find("\"status\":\"success\"")) << *response;
}

// What the show commands print for the server of start_with_one_ap, asked
// well within the 20 s before the new AP's first planning step (so the AP is
// still active and no metric has counted anything).
struct OneApViews {
    static std::string domain_line()
    {
        return "  Domain: site-1 (1 active APs, 0 unanswered APs, 0 deleted APs)\n";
    }
    static std::string ap_lists()
    {
        return "Active APs (1 APs): \n"
               "\tAP: 00:11:22:33:44:00, wl-7\n"
               "Unanswered APs (0 APs): \n"
               "Deleted APs (0 APs): \n";
    }
    static std::string domain()
    {
        std::string metrics = "Metrics:\n";
        for (const char* name : {"rrm-response", "rrm-mode-response", "rrm-config-changed",
                                 "timer-request-modes", "timer-request-scan", "timer-optimize"})
            metrics += std::string(name) + "-expected: 0 us\n" + name + "-count: 0\n";
        return "Domain site-1:\n"
               "ap-count: 1\n"
               "unanswered-ap-count: 0\n"
               "deleted-ap-count: 0\n" +
               ap_lists() + metrics;
    }
    static std::string ap()
    {
        auto disabled_radio = [](int id, const char* mac) {
            return "\tRadio " + std::to_string(id) + ":\n" + "\t\tMac: " + mac + "\n" +
                   "\t\tStatus: 0\n"
                   "\t\tPower changed: 0\n"
                   "\t\tConflicted: 0\n"
                   "\t\tLockedTPC: 0\n"
                   "\t\tLockedDCA: 0\n"
                   "\t\tChannel: 0\n"
                   "\t\tBandwidth: 20\n"
                   "\t\tPower: 0\n"
                   "\t\tMax power: 0\n"
                   "\t\tAvailable channels:\n\t\t\t\n"
                   "\t\tSSIDs:\n\t\t\t\n";
        };
        return "AP at active AP list\n"
               "AP 00:11:22:33:44:00:\n"
               "\tActive: 0\n"
               "\tInterfaces configuration received: 0\n"
               "\tAP have 3 radios\n"
               "\tRadio 0:\n"
               "\t\tMac: 00:11:22:33:44:00\n"
               "\t\tStatus: 1\n"
               "\t\tPower changed: 0\n"
               "\t\tConflicted: 0\n"
               "\t\tLockedTPC: 0\n"
               "\t\tLockedDCA: 0\n"
               "\t\tChannel: 36\n"
               "\t\tBandwidth: 40\n"
               "\t\tPower: 17\n"
               "\t\tMax power: 20\n"
               "\t\tAvailable channels:\n\t\t\t36 \n"
               // The server lists VAPs; their SSIDs are shown.
               "\t\tSSIDs:\n\t\t\t\"office\" \n" +
               disabled_radio(1, "00:11:22:33:44:10") + disabled_radio(2, "00:11:22:33:44:20");
    }
    static std::string session() { return "  Session id: 1, address: 127.0.0.1\n"; }
};

}  // namespace testsupport
