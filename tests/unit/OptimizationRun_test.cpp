// One optimisation run as its thread carries it out (run on the test's own
// thread here), and the application of its result to the live APs.

#include "ApEntry.h"
#include "ApMap.h"
#include "ChannelPlan.h"
#include "DomainConfig.h"
#include "LogCapture.h"
#include "LogFolder.h"
#include "OptimizationRun.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using testsupport::LogFolder;

// An AP with one enabled 5 GHz radio (id 0, 20 MHz, its MAC the AP's own,
// bounds 5..20) whose scan results are in.
std::shared_ptr<rrm::ApEntry> five_ghz_ap(const rrm::DomainConfig* config, const char* mac,
                                          int channel, int power, std::set<int> available)
{
    auto ap = std::make_shared<rrm::ApEntry>(config, rrm::mac_from_string(mac), null_session);
    rrm::Radio& radio = ap->radios.radios[0];
    radio.status = true;
    radio.band = rrm::BAND_5G;
    radio.bandwidth = 20;
    radio.channel = channel;
    radio.available_channels.insert(available.begin(), available.end());
    radio.power = power;
    radio.power_initialized = true;
    radio.min_power = 5;
    radio.max_power = 20;
    radio.update_primary_channel();
    ap->radios.set_received();
    return ap;
}

void hears(rrm::ApEntry& ap, const char* bssid, int rssi, int channel)
{
    ap.visible_members.insert(rrm::mac_from_string(bssid),
                              rrm::Neighbour(rssi, channel, rrm::BAND_5G, 20, 17,
                                             rrm::PRIMARY_LOWER));
}

const char* const A = "02:00:00:00:01:00";
const char* const B = "02:00:00:00:02:00";
const char* const C = "02:00:00:00:03:00";

// A and B on 36, both free to move among 36, 40, 44 and 48, hearing each
// other at -50; C on 48, locked for channel planning, heard by A at -60.
struct ThreeAps {
    rrm::DomainConfig config;
    rrm::ApMap aps;

    ThreeAps()
    {
        auto a = five_ghz_ap(&config, A, 36, 17, {36, 40, 44, 48});
        auto b = five_ghz_ap(&config, B, 36, 17, {36, 40, 44, 48});
        auto c = five_ghz_ap(&config, C, 48, 17, {48});
        c->radios.radios[0].locked_dca = 1;
        hears(*a, B, -50, 36);
        hears(*a, C, -60, 48);
        hears(*b, A, -50, 36);
        aps.insert(a->base_mac, a);
        aps.insert(b->base_mac, b);
        aps.insert(c->base_mac, c);
    }

    rrm::OptimizationJob job(bool dca, bool tpc, bool report = false,
                             const std::string& reports_path = "")
    {
        rrm::OptimizationJob job;
        job.snapshot = aps.copy();
        job.settings = config;
        job.domain_name = "d";
        job.reports_path = reports_path;
        job.run_dca = dca;
        job.run_tpc = tpc;
        job.write_report = report;
        return job;
    }
};

// Per AP of the result, radio 0 as {channel, power}.
std::map<std::string, std::pair<int, int>> planned(const rrm::OptimizationResult& result)
{
    std::map<std::string, std::pair<int, int>> out;
    for (const auto& entry : result.radios)
        out[rrm::mac_to_string(entry.first)] = {entry.second.at(0).channel,
                                               entry.second.at(0).power};
    return out;
}

TEST(OptimizationRun, ChannelsAndPowersOfOneRun)
{
    struct Case {
        const char* name;
        bool dca;
        bool tpc;
        std::map<std::string, std::pair<int, int>> expected;
    };
    const Case cases[] = {
        {"nothing to plan", false, false, {}},
        // A hears two channels, B one: A goes first. A's costs (20 MHz masks
        // of weight rssi + 100, windows ch-2..ch+2): 36 = 15+35+50+35+15 =
        // 150 (B), 40 = 15, 44 = 12 (C at -60: 30 % of 40), 48 = 120: A moves
        // to 44. B then hears A on 44: 36 costs 0, B stays. The second pass
        // moves nobody. Only A changed.
        {"channel assignment alone", true, false, {{A, {44, 17}}}},
        // On the reported channels: A and B hear each other at -50 on 36,
        // each lowered by -50 - -70 = 20: 17 - 20 = -3, held at 5. A's record
        // of C (48) does not overlap its 36. C hears nobody: up to 20.
        {"power control alone", false, true, {{A, {36, 5}}, {B, {36, 5}}, {C, {48, 20}}}},
        // After the channel assignment no two radios share a channel: nobody
        // is lowered and nobody hears an overlapping neighbour, so every
        // radio rises to 20; A's copy carries its new channel.
        {"both", true, true, {{A, {44, 20}}, {B, {36, 20}}, {C, {48, 20}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ThreeAps domain;
        rrm::OptimizationJob job = domain.job(c.dca, c.tpc);
        std::atomic<bool> cancel{false};
        rrm::OptimizationResult result;
        rrm::run_optimization(job, cancel, result);
        EXPECT_TRUE(result.success);
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(planned(result), c.expected);
        // The live APs are untouched: the run works on its copy.
        for (const auto& entry : domain.aps.table) {
            const rrm::Radio& radio = entry.second->radios.radios[0];
            EXPECT_EQ(radio.power, 17);
            EXPECT_EQ(radio.channel, entry.first == rrm::mac_from_string(C) ? 48 : 36);
            EXPECT_FALSE(radio.conflicted);
        }
    }
}

TEST(OptimizationRun, CancelledAndFailedRunsChangeNothing)
{
    testsupport::LogCapture log;
    LogFolder folder;
    struct Case {
        const char* name;
        bool cancelled;
        std::string reports_path;
        std::string error;
    };
    const Case cases[] = {
        {"cancelled before it began", true, folder.path(), "cancelled before DCA"},
        // The report writer refuses an empty folder name; the run ends with
        // that failure instead of ending the process.
        {"report folder missing", false, "",
         "exception during optimization: get_report_file_name: Invalid argument "
         "'report_files_path'."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ThreeAps domain;
        rrm::OptimizationJob job = domain.job(true, true, true, c.reports_path);
        std::atomic<bool> cancel{c.cancelled};
        rrm::OptimizationResult result;
        rrm::run_optimization(job, cancel, result);
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.error, c.error);
        EXPECT_TRUE(result.radios.empty());
        EXPECT_TRUE(LogFolder::lines(folder / "report_d.txt").empty());
    }

    // An allocation failure inside the run (here while the report is
    // saved) is caught the same way.
    ThreeAps domain;
    rrm::OptimizationJob job = domain.job(true, true, true, folder.path());
    std::atomic<bool> cancel{false};
    rrm::OptimizationResult result;
    log.fail_once("report_file_name = ");
    rrm::run_optimization(job, cancel, result);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "exception during optimization: std::bad_alloc");
    EXPECT_TRUE(result.radios.empty());
}

TEST(OptimizationRun, ReportOfARun)
{
    testsupport::LogCapture log;
    LogFolder folder;
    ThreeAps domain;
    rrm::OptimizationJob job = domain.job(true, true, true, folder.path());
    std::atomic<bool> cancel{false};
    rrm::OptimizationResult result;
    rrm::run_optimization(job, cancel, result);
    ASSERT_TRUE(result.success) << result.error;
    // One line per radio the run may change (C is locked for channels only),
    // before and after: power 5-8, channel 7-8 of each line.
    std::map<std::string, std::string> changes;
    for (const std::string& line : LogFolder::lines(folder / "report_d.txt")) {
        std::vector<std::string> f;
        std::string field;
        for (char ch : line + ",") {
            if (ch == ',') {
                f.push_back(field);
                field.clear();
            } else {
                field += ch;
            }
        }
        ASSERT_GE(f.size(), 9u) << line;
        changes[f[3]] = f[5] + "->" + f[6] + " " + f[7] + "->" + f[8];
    }
    EXPECT_EQ(changes, (std::map<std::string, std::string>{{A, "17->20 36->44"},
                                                           {B, "17->20 36->36"},
                                                           {C, "17->20 48->48"}}));
    EXPECT_EQ(LogFolder::lines(folder / "report_cfg_d.txt").size(), 1u);
    EXPECT_EQ(LogFolder::lines(folder / "report_idx_d.txt").size(), 1u);
}

TEST(OptimizationRun, ResultAppliedToTheLiveAps)
{
    rrm::DomainConfig config;
    rrm::ApMap live;
    auto a = five_ghz_ap(&config, A, 36, 17, {36, 40});
    auto b = five_ghz_ap(&config, B, 36, 17, {36});
    rrm::Radio& b_second = b->radios.radios[1];
    b_second.status = true;
    b_second.band = rrm::BAND_2G;
    b_second.channel = 6;
    b_second.power = 15;
    auto c = five_ghz_ap(&config, C, 44, 17, {44});
    auto d = five_ghz_ap(&config, "02:00:00:00:04:00", 44, 17, {44});
    // B hears A's radio as it is; C hears it only with the
    // locally-administered bit cleared; D both ways (the record under the
    // radio's own MAC is the radio's); C hears B on a channel B is not on.
    hears(*b, A, -60, 36);
    hears(*c, "00:00:00:00:01:00", -60, 36);
    hears(*d, A, -60, 36);
    hears(*d, "00:00:00:00:01:00", -60, 36);
    hears(*c, B, -60, 99);
    for (const auto& ap : {a, b, c, d})
        live.insert(ap->base_mac, ap);

    rrm::RadioResultMap results;
    // A: radio 0 to channel 40 at power 9, as the power control left it; the
    // copy's width, state and channels are not the live radio's business.
    std::vector<rrm::Radio> a_radios = a->radios.radios;
    a_radios[0].channel = 40;
    a_radios[0].power = 9;
    a_radios[0].power_changed = -8;
    a_radios[0].conflicted = true;
    a_radios[0].bandwidth = 80;
    a_radios[0].status = false;
    a_radios[0].available_channels.clear();
    results[a->base_mac] = a_radios;
    // B under its own MAC: radio 0 keeps its channel, new power.
    std::vector<rrm::Radio> b_radios = {b->radios.radios[0]};
    b_radios[0].power = 12;
    results[b->base_mac] = b_radios;
    // B again under the MAC of its radio 1, with that radio only.
    std::vector<rrm::Radio> b_by_bssid = {b->radios.radios[1]};
    b_by_bssid[0].power = 11;
    results[b->radios.radios[1].mac] = b_by_bssid;
    // An AP that left, and a radio id no AP has.
    results[rrm::mac_from_string("02:00:00:00:09:00")] = a_radios;
    std::vector<rrm::Radio> unknown_radio = {c->radios.radios[0]};
    unknown_radio[0].id = 7;
    unknown_radio[0].power = 1;
    results[c->base_mac] = unknown_radio;

    rrm::apply_radio_results(live, results);

    const rrm::Radio& a_radio = a->radios.radios[0];
    EXPECT_EQ(a_radio.channel, 40);
    EXPECT_EQ(a_radio.power, 9);
    EXPECT_EQ(a_radio.power_changed, -8);
    EXPECT_TRUE(a_radio.conflicted);
    EXPECT_EQ(a_radio.bandwidth, 20);
    EXPECT_TRUE(a_radio.status);
    EXPECT_EQ(a_radio.available_channels, (std::unordered_set<int32_t>{36, 40}));
    // Who hears A follows it, under either form of its MAC.
    EXPECT_EQ(b->visible_members.table.at(rrm::mac_from_string(A)).channel, 40);
    EXPECT_EQ(c->visible_members.table.at(rrm::mac_from_string("00:00:00:00:01:00")).channel, 40);
    EXPECT_EQ(d->visible_members.table.at(rrm::mac_from_string(A)).channel, 40);
    EXPECT_EQ(d->visible_members.table.at(rrm::mac_from_string("00:00:00:00:01:00")).channel, 36);

    EXPECT_EQ(b->radios.radios[0].power, 12);
    EXPECT_EQ(b->radios.radios[0].channel, 36);
    EXPECT_EQ(b->radios.radios[1].power, 11);
    // B kept its channel: nobody's record of it is touched.
    EXPECT_EQ(c->visible_members.table.at(rrm::mac_from_string(B)).channel, 99);
    // Radio 7 of C does not exist: C is as it was.
    EXPECT_EQ(c->radios.radios[0].power, 17);
    EXPECT_EQ(live.size(), 4u);
}

TEST(OptimizationRun, AppliedPowersKeepWithinTheRadiosEirpLimits)
{
    // A radio with an antenna of 5 dBi behind 1 dB of cable: its EIRP is
    // power + 4. Bounds 5..20.
    struct Case {
        const char* name;
        int eirp_min, eirp_max;
        int planned;          // the power the run left
        int power, eirp;      // applied
    };
    const Case cases[] = {
        // 18 + 4 = 22 > 20: EIRP 20, so power 20 - 4 = 16.
        {"above the EIRP ceiling", -1, 20, 18, 16, 20},
        // 5 + 4 = 9 < 12: EIRP 12, power 12 - 4 = 8.
        {"below the EIRP floor", 12, 30, 5, 8, 12},
        // 10 + 4 = 14, within 12..20: as planned.
        {"within the limits", 12, 20, 10, 10, 14},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rrm::DomainConfig config;
        rrm::ApMap live;
        auto ap = five_ghz_ap(&config, A, 36, 17, {36});
        rrm::Radio& radio = ap->radios.radios[0];
        radio.antenna_configured = true;
        radio.antenna_gain = 5;
        radio.cable_loss = 1;
        radio.eirp_min = c.eirp_min;
        radio.eirp_max = c.eirp_max;
        live.insert(ap->base_mac, ap);
        rrm::RadioResultMap results;
        std::vector<rrm::Radio> planned = {radio};
        planned[0].power = c.planned;
        results[ap->base_mac] = planned;

        rrm::apply_radio_results(live, results);
        EXPECT_EQ(radio.power, c.power);
        EXPECT_EQ(radio.eirp, c.eirp);
    }
}

}  // namespace
