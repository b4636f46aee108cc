// 802.11v load balancing end to end: simulated APs on real WebSocket
// connections over 127.0.0.1 to the real registry, transport and domain
// worker. The APs report clients and roams; the server answers with the
// 802.11v neighbour lists in "rrm-info" and with "rrm-sta-overload".

#include "ApSimulator.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LogCapture.h"
#include "Neighbour.h"
#include "Radio.h"
#include "RrmWorker.h"
#include "WebsockHarness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::SimRadio;
using testsupport::SimVap;
using testsupport::wait_until;

const char* const X = "02:00:00:00:01:00";
const char* const Y = "02:00:00:00:02:00";
const char* const Z = "02:00:00:00:03:00";

// Radio 0 on 5 GHz with "corp" (VAP 1, 802.11k and 802.11v, MAC base + 1),
// open to 802.11v; radios 1 and 2 reported disabled. No radio is open to
// the probe balancer, so client reports come to the 802.11v balancer.
ApSpec v_ap(const std::string& mac, int channel)
{
    ApSpec spec;
    spec.mac = mac;
    spec.domain = "lab";
    spec.serial = "SN-" + mac;
    for (int id = 0; id < 3; ++id) {
        SimRadio radio;
        radio.id = id;
        if (id == 0) {
            radio.channel = channel;
            radio.band = 5;
            radio.locked_80211v = 0;
            SimVap corp;
            corp.id = 1;
            corp.ssid = "corp";
            corp.k = true;
            corp.v = true;
            radio.vaps.push_back(corp);
        } else {
            radio.enabled = false;
            radio.channel = 1;
            radio.band = 2;
        }
        spec.radios.push_back(radio);
    }
    return spec;
}

std::string sta(int n)
{
    char text[32];
    std::snprintf(text, sizeof text, "00:11:00:00:00:%02X", n & 0xFF);
    return text;
}

// The entry of AP `mac`'s radio 0 on `channel`, as every list of these tests
// names it (by its radio MAC, its corp VAP at base + 1).
std::string entry(const std::string& mac, int channel, int priority)
{
    return R"({"neighbour-mac":")" + mac + R"(","channel":)" + std::to_string(channel) +
           R"(,"band":5,"bandwidth":20,"primary-channel":"none","priority":)" +
           std::to_string(priority) + R"(,"vaps":[{"id":1,"ssid":"corp","mac":")" +
           mac.substr(0, 15) + R"(01"}]})";
}

// "rrm-info" of the list step: the four flags of these tests' settings (no
// TPC, no DCA) and the list.
std::string rrm_info(const std::string& mac, const std::string& list)
{
    return R"({"service":"rrm","version":"2.4","cmd":"rrm-info","ap-mac":")" + mac +
           R"(","use-tpc":0,"use-dca":0,"use-load-balance":1,"use-80211v":1,"802dot11k":)" +
           list + "}";
}

class LoadBalancer802dot11vE2E : public ::testing::Test {
protected:
    // The common settings of the domain, then the server. Channel and power
    // planning and 802.11r stay off: only the balancer talks to the APs.
    void start(const std::string& settings)
    {
        const std::string text = R"({"use_dca":0,"use_tpc":0,"use_80211r":0,)"
                                 R"("use_optimization_event":0,"use_80211v":1,"use_balance":1,)" +
                                 settings + "}";
        rrm::JsonWriter root("");
        rrm::JsonWriter rejects = root.add_array("rejects");
        bool invalid = false;
        bool changed = false;
        ASSERT_TRUE(harness.config->pattern_change("common", rrm::JsonReader(text.c_str()),
                                                   rejects, invalid, changed));
        ASSERT_FALSE(invalid) << rejects.to_string();
        ASSERT_TRUE(harness.start());
    }

    ApSimulator& add_ap(const ApSpec& spec)
    {
        aps.push_back(std::make_unique<ApSimulator>(spec));
        ApSimulator& ap = *aps.back();
        EXPECT_TRUE(ap.connect(harness.port()));
        EXPECT_TRUE(ap.subscribe());
        EXPECT_TRUE(ap.wait_for("subscribe-response"));
        return ap;
    }

    static void client(ApSimulator& ap, const char* cmd, const std::string& client)
    {
        ASSERT_TRUE(ap.send(ap.spec().message(
            cmd, R"(,"radio":0,"rssi":-55,"sta-mac":")" + client + R"(","ssid":"corp")")));
    }

    // What the domain worker holds for radio 0 of an AP, read inside its
    // lock as a management query would.
    struct RadioView {
        int load = -1;
        int priority = -1;
        bool holds = false;    // the client is associated
        bool expects = false;  // the client is announced
    };
    RadioView radio0(const std::string& ap, const std::string& client = "")
    {
        RadioView view;
        harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& worker) {
            auto it = worker.aps.table.find(rrm::mac_from_string(ap.c_str()));
            if (it == worker.aps.table.end())
                return;
            const rrm::Radio& radio = it->second->radios.radios[0];
            view.load = radio.client_table.size();
            view.priority = radio.priority;
            const rrm::MacAddress mac = rrm::mac_from_string(client.c_str());
            view.holds = radio.client_table.clients.count(mac) != 0;
            view.expects = radio.client_table.expected.count(mac) != 0;
        });
        return view;
    }
    bool load_becomes(const std::string& ap, int load)
    {
        return wait_until([&] { return radio0(ap).load == load; });
    }

    // What the AP's scans would have reported: the BSSIDs it hears.
    void hear(const std::string& viewer, const std::vector<std::string>& bssids)
    {
        ASSERT_TRUE(harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& worker) {
            auto it = worker.aps.table.find(rrm::mac_from_string(viewer.c_str()));
            ASSERT_NE(it, worker.aps.table.end());
            for (const std::string& bssid : bssids)
                it->second->visible_members.insert(rrm::mac_from_string(bssid.c_str()),
                                                   rrm::Neighbour(-60, 0, 0, 20, 20, 256));
        }));
    }

    // The AP's latest "rrm-info" becomes `expected`.
    static ::testing::AssertionResult last_info_becomes(ApSimulator& ap,
                                                        const std::string& expected)
    {
        std::string last;
        const bool ok = wait_until([&] {
            const auto infos = ap.received("rrm-info");
            last = infos.empty() ? "(none)" : infos.back();
            return last == expected;
        });
        if (ok)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "last rrm-info of " << ap.spec().mac << ": "
                                             << last << "\nexpected: " << expected;
    }

    // Made first: its handlers are in place before any thread starts.
    testsupport::LogCapture log;
    testsupport::WebsockHarness harness{{"lab"}};
    std::vector<std::unique_ptr<ApSimulator>> aps;
};

TEST_F(LoadBalancer802dot11vE2E, ClientReportsKeepLoadsAndPrioritiesCurrentInTheLists)
{
    // Every AP's list holds every other AP's radios with their priorities.
    // Low 2, high 4: loads 0-1 give 255, 2-3 give 127, 4 and more 0 (left
    // out of the lists).
    start(R"("use_80211k":0,"use_all_ap_balance":1,"sta_load_balance_period":1,)"
          R"("load_balance_sta_low":2,"load_balance_sta_high":4)");
    ApSimulator& x = add_ap(v_ap(X, 36));
    ApSimulator& y = add_ap(v_ap(Y, 40));

    struct Step {
        std::string what;
        std::vector<std::pair<const char*, int>> reports;  // command, client
        int y_load;
        int y_priority;
        std::string x_list;  // X's latest list afterwards
    };
    const Step steps[] = {
        {"two clients on Y", {{"rrm-client-assoc", 1}, {"rrm-client-assoc", 2}}, 2, 127,
         "[" + entry(Y, 40, 127) + "]"},
        {"four clients on Y", {{"rrm-client-assoc", 3}, {"rrm-client-assoc", 4}}, 4, 0, "[]"},
        {"three of them leave",
         {{"rrm-client-disassoc", 1}, {"rrm-client-disassoc", 2}, {"rrm-client-disassoc", 3}},
         1, 255, "[" + entry(Y, 40, 255) + "]"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        for (const auto& report : step.reports)
            client(y, report.first, sta(report.second));
        ASSERT_TRUE(load_becomes(Y, step.y_load));
        EXPECT_EQ(radio0(Y).priority, step.y_priority);
        EXPECT_TRUE(last_info_becomes(x, rrm_info(X, step.x_list)));
    }
    // Y's own list holds X, idle all along.
    EXPECT_TRUE(last_info_becomes(y, rrm_info(Y, "[" + entry(X, 36, 255) + "]")));
    EXPECT_EQ(radio0(X).load, 0);
}

// X (channel 36) idle, Y (40) with one client, Z (44) with two. Low 1,
// high 2: load 0 gives 255, 1 gives 127, 2 and more 0.
struct ListMode {
    std::string name;
    std::string settings;
    bool heard;                // X hears Y and Z, Y hears X and Z, Z hears X
    std::string z_subscribed;  // Z's list in its subscription answer
    std::string x, y, z;       // the lists in the end
};

const ListMode LIST_MODES[] = {
    // Every other AP's radios, whatever their load; the subscription
    // answer already has them all.
    {"EveryApFixedPriority", R"("use_80211k":1,"use_all_ap_balance":0)", false,
     "[" + entry(X, 36, 127) + "," + entry(Y, 40, 127) + "]",
     "[" + entry(Y, 40, 127) + "," + entry(Z, 44, 127) + "]",
     "[" + entry(X, 36, 127) + "," + entry(Z, 44, 127) + "]",
     "[" + entry(X, 36, 127) + "," + entry(Y, 40, 127) + "]"},
    // What each AP heard, with the priorities; Z at 0 is left out. Z heard
    // nothing yet when it subscribed.
    {"HeardRadiosByLoad", R"("use_80211k":0,"use_all_ap_balance":0)", true, "[]",
     "[" + entry(Y, 40, 127) + "]", "[" + entry(X, 36, 255) + "]",
     "[" + entry(X, 36, 255) + "]"},
    {"EveryApByLoad", R"("use_80211k":0,"use_all_ap_balance":1)", false,
     "[" + entry(X, 36, 255) + "," + entry(Y, 40, 255) + "]", "[" + entry(Y, 40, 127) + "]",
     "[" + entry(X, 36, 255) + "]", "[" + entry(X, 36, 255) + "," + entry(Y, 40, 127) + "]"},
};

class ListModeE2E : public LoadBalancer802dot11vE2E,
                    public ::testing::WithParamInterface<ListMode> {};

TEST_P(ListModeE2E, EveryApGetsItsList)
{
    const ListMode& mode = GetParam();
    start(mode.settings + R"(,"sta_load_balance_period":1,"load_balance_sta_low":1,)"
                          R"("load_balance_sta_high":2)");
    ApSimulator& x = add_ap(v_ap(X, 36));
    ApSimulator& y = add_ap(v_ap(Y, 40));
    ApSimulator& z = add_ap(v_ap(Z, 44));
    const rrm::JsonReader answer(z.received("subscribe-response").at(0).c_str());
    EXPECT_STREQ(answer.child("config").child("802dot11k").to_string(),
                 mode.z_subscribed.c_str());
    if (mode.heard) {
        hear(X, {Y, Z});
        hear(Y, {X, Z});
        hear(Z, {X});
    }
    client(y, "rrm-client-assoc", sta(1));
    ASSERT_TRUE(load_becomes(Y, 1));
    client(z, "rrm-client-assoc", sta(2));
    client(z, "rrm-client-assoc", sta(3));
    ASSERT_TRUE(load_becomes(Z, 2));
    EXPECT_TRUE(last_info_becomes(x, rrm_info(X, mode.x)));
    EXPECT_TRUE(last_info_becomes(y, rrm_info(Y, mode.y)));
    EXPECT_TRUE(last_info_becomes(z, rrm_info(Z, mode.z)));
}

INSTANTIATE_TEST_SUITE_P(Modes, ListModeE2E, ::testing::ValuesIn(LIST_MODES),
                         [](const ::testing::TestParamInfo<ListMode>& info) {
                             return info.param.name;
                         });

TEST_F(LoadBalancer802dot11vE2E, OverloadedRadioIsToldHowManyClientsToMoveAndWhere)
{
    // X (channel 36) has six clients and heard itself and Y (40, idle);
    // Z (44, idle) it did not hear. Low 2, high 10: an idle radio has 255.
    // X needs balance (6 > 2); its one candidate is Y: avg (6 + 0) / 2 = 3,
    // d = 6 - 3 = 3 above the minimum 0, below the maximum 4: roam 3. The
    // period of 0 runs the step every second.
    start(R"("use_80211k":0,"use_all_ap_balance":0,"sta_load_balance_period":0,)"
          R"("load_balance_sta_low":2,"load_balance_sta_high":10,)"
          R"("load_balance_roam_count_min":0,"load_balance_roam_count_max":4)");
    ApSimulator& x = add_ap(v_ap(X, 36));
    ApSimulator& y = add_ap(v_ap(Y, 40));
    ApSimulator& z = add_ap(v_ap(Z, 44));
    hear(X, {X, Y});
    for (int i = 1; i <= 6; ++i)
        client(x, "rrm-client-assoc", sta(i));
    ASSERT_TRUE(load_becomes(X, 6));

    const std::string expected =
        R"({"service":"rrm","version":"2.4","cmd":"rrm-sta-overload","ap-mac":")" +
        std::string(X) + R"(","802dot11k":[)" + entry(Y, 40, 255) +
        R"(],"radios":[{"id":0,"roam-count":3}]})";
    // Told again at every run while the radio stays overloaded.
    const bool repeated = wait_until([&] {
        size_t n = 0;
        for (const std::string& text : x.received("rrm-sta-overload"))
            n += text == expected ? 1 : 0;
        return n >= 3;
    });
    EXPECT_TRUE(repeated) << (x.received("rrm-sta-overload").empty()
                                  ? std::string("(none)")
                                  : x.received("rrm-sta-overload").back());
    EXPECT_EQ(y.count("rrm-sta-overload"), 0u);
    EXPECT_EQ(z.count("rrm-sta-overload"), 0u);
}

TEST_F(LoadBalancer802dot11vE2E, AnnouncedRoamUpdatesBothAps)
{
    // Low 2, high 4: loads 0-1 give 255, 2-3 give 127. X has S and T (127),
    // Y has U (255). X moves S to Y and says so; S counts on Y at once and,
    // once it arrives there, no longer on X.
    start(R"("use_80211k":0,"use_all_ap_balance":1,"sta_load_balance_period":1,)"
          R"("load_balance_sta_low":2,"load_balance_sta_high":4)");
    ApSimulator& x = add_ap(v_ap(X, 36));
    ApSimulator& y = add_ap(v_ap(Y, 40));
    const std::string S = sta(1), T = sta(2), U = sta(3);
    client(x, "rrm-client-assoc", S);
    client(x, "rrm-client-assoc", T);
    client(y, "rrm-client-assoc", U);
    ASSERT_TRUE(load_becomes(X, 2));
    ASSERT_TRUE(load_becomes(Y, 1));
    EXPECT_TRUE(last_info_becomes(x, rrm_info(X, "[" + entry(Y, 40, 255) + "]")));
    EXPECT_TRUE(last_info_becomes(y, rrm_info(Y, "[" + entry(X, 36, 127) + "]")));

    // The target named by Y's corp VAP.
    ASSERT_TRUE(x.send(x.spec().message(
        "rrm-sta-roam",
        R"(,"radio":0,"sta-mac":")" + S + R"(","target-mac":"02:00:00:00:02:01")")));
    ASSERT_TRUE(wait_until([&] { return radio0(Y, S).expects; }));
    // Y reports the arrival before the announcement's five seconds are out.
    client(y, "rrm-client-assoc", S);
    ASSERT_TRUE(wait_until([&] { return radio0(Y, S).holds; }));

    const RadioView at_x = radio0(X, S);
    EXPECT_FALSE(at_x.holds);
    EXPECT_EQ(at_x.load, 1);
    const RadioView at_y = radio0(Y, S);
    EXPECT_FALSE(at_y.expects);
    EXPECT_EQ(at_y.load, 2);
    // Each AP's list shows the other's new priority.
    EXPECT_TRUE(last_info_becomes(x, rrm_info(X, "[" + entry(Y, 40, 127) + "]")));
    EXPECT_TRUE(last_info_becomes(y, rrm_info(Y, "[" + entry(X, 36, 255) + "]")));
}

}  // namespace
