#include "Radio.h"

#include "DomainConfig.h"
#include "JsonReader.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

using rrm::DomainConfig;
using rrm::MacAddress;
using rrm::Radio;

MacAddress mac(const char* text)
{
    return rrm::mac_from_string(text);
}

Radio make_radio(const DomainConfig& config, uint32_t id = 0,
                 const char* base = "00:11:22:33:44:00")
{
    return Radio(&config, mac(base), id, true, 36, 10, -1, -1, 20);
}

TEST(RadioRecord, ConstructedAsTheDataModelSays)
{
    DomainConfig config;
    Radio radio(&config, mac("00:11:22:33:44:00"), 2, true, 36, 12, 20, 5, 80);
    EXPECT_EQ(&config, radio.config);
    EXPECT_EQ(2u, radio.id);
    EXPECT_EQ(32, radio.mac_offset);
    EXPECT_EQ("00:11:22:33:44:20", rrm::mac_to_string(radio.mac));
    EXPECT_EQ(mac("00:11:22:33:44:00"), radio.base_mac);
    EXPECT_EQ(16, radio.radio_mac_count);
    EXPECT_TRUE(radio.status);
    EXPECT_EQ(36, radio.channel);
    EXPECT_EQ(0, radio.band);
    EXPECT_EQ(12, radio.power);
    EXPECT_EQ(20, radio.max_power);
    EXPECT_EQ(5, radio.min_power);
    EXPECT_EQ(80, radio.bandwidth);
    EXPECT_EQ(-1, radio.eirp);
    EXPECT_EQ(-1, radio.eirp_min);
    EXPECT_EQ(-1, radio.eirp_max);
    EXPECT_EQ(0, radio.power_changed);
    EXPECT_FALSE(radio.conflicted);
    EXPECT_FALSE(radio.antenna_configured);
    EXPECT_FALSE(radio.power_initialized);
    EXPECT_FALSE(radio.channel_initialized);
    EXPECT_EQ(0, radio.primary_channel);
    EXPECT_EQ(0, radio.priority);
    EXPECT_TRUE(radio.priority_table.empty());  // use_80211v is off by default
    EXPECT_TRUE(radio.vaps.empty());
    EXPECT_EQ(0, radio.client_table.size());
    EXPECT_TRUE(radio.block_list.members.empty());
}

TEST(RadioRecord, MacAssignmentWrapsToTheBase)
{
    DomainConfig config;
    struct Case {
        const char* base;
        uint32_t id;
        const char* radio_mac;
    } cases[] = {
        {"00:11:22:33:44:00", 0, "00:11:22:33:44:00"},
        {"00:11:22:33:44:00", 1, "00:11:22:33:44:10"},
        {"00:11:22:FF:FF:F0", 2, "00:11:22:FF:FF:F0"},
        {"00:11:22:FF:FF:E0", 1, "00:11:22:FF:FF:F0"},
        {"00:11:22:FF:FF:F5", 2, "00:11:22:FF:FF:F5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " id " + std::to_string(c.id));
        Radio radio(&config, mac(c.base), c.id, false, 1, 0, 0, 0, 20);
        EXPECT_EQ(c.radio_mac, rrm::mac_to_string(radio.mac));
    }
}

TEST(RadioRecord, SetMacRecomputesFromTheGivenBaseAndLogs)
{
    DomainConfig config;
    Radio radio = make_radio(config, 1);
    testsupport::LogCapture capture;
    radio.mac_offset = 16;
    radio.radio_mac_count = 8;
    radio.set_mac(mac("00:11:22:33:44:50"));
    EXPECT_EQ("00:11:22:33:44:60", rrm::mac_to_string(radio.mac));
    EXPECT_EQ(mac("00:11:22:33:44:00"), radio.base_mac);  // unchanged
    EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_TRACE,
                            "radio id=1, max_mac_count=8, mac_offset=16, mac = 00:11:22:33:44:60"));
    EXPECT_EQ("set_mac", capture.records().at(0).func);

    // Offsets and counts as an AP may send them: any 32-bit value is safe
    // and a negative count stays negative.
    radio.mac_offset = INT32_MAX;
    radio.radio_mac_count = -1;
    radio.set_mac(mac("00:11:22:00:00:00"));
    EXPECT_EQ("00:11:22:FF:FF:FF", rrm::mac_to_string(radio.mac));
    EXPECT_TRUE(capture.has(
        rrm::LOG_LEVEL_TRACE,
        "radio id=1, max_mac_count=-1, mac_offset=2147483647, mac = 00:11:22:FF:FF:FF"));
    radio.mac_offset = INT32_MIN;
    radio.set_mac(mac("00:11:22:00:00:05"));
    EXPECT_EQ("00:11:22:00:00:05", rrm::mac_to_string(radio.mac));
}

TEST(RadioRecord, BandRulesThroughTheRadio)
{
    DomainConfig config;
    Radio radio = make_radio(config);
    EXPECT_EQ(5, radio.get_channel_band(36));
    EXPECT_EQ(0, radio.get_channel_band(200));
    EXPECT_EQ(6, radio.get_advertised_band(200));
    radio.band = 6;
    EXPECT_EQ(6, radio.get_band());
    EXPECT_EQ(6, radio.get_channel_band(200));
    EXPECT_EQ(6, radio.get_channel_band(36));
    EXPECT_EQ(6, radio.get_advertised_band(36));
}

TEST(RadioRecord, BandWhileReading)
{
    struct Case {
        const char* json;
        int32_t band_before;
        int32_t channel;
        int32_t band_after;
        int level;  // 0: no log
        const char* log;
    } cases[] = {
        {R"({"band":5})", 0, 1, 5, 0, nullptr},
        {R"({"band":6})", 2, 36, 6, 0, nullptr},
        {R"({"band":"2"})", 5, 36, 2, 0, nullptr},
        {R"({"band":3})", 0, 11, 2, rrm::LOG_LEVEL_DEBUG,
         "radio message without band: inferred/reused band=2 mac=00:11:22:33:44:10 id=1 "
         "channel=11"},
        {R"({"band":3})", 5, 11, 2, rrm::LOG_LEVEL_DEBUG,
         "radio message without band: inferred/reused band=2 mac=00:11:22:33:44:10 id=1 "
         "channel=11"},
        {R"({"band":null})", 5, 200, 6, rrm::LOG_LEVEL_DEBUG,
         "radio message without band: inferred/reused band=6 mac=00:11:22:33:44:10 id=1 "
         "channel=200"},
        {R"({})", 5, 11, 5, rrm::LOG_LEVEL_DEBUG,
         "radio message without band: inferred/reused band=5 mac=00:11:22:33:44:10 id=1 "
         "channel=11"},
        {R"({})", 0, 36, 5, rrm::LOG_LEVEL_DEBUG,
         "radio message without band: inferred/reused band=5 mac=00:11:22:33:44:10 id=1 "
         "channel=36"},
        {R"({})", 0, 20, 0, rrm::LOG_LEVEL_WARNING,
         "radio message without band and band cannot be inferred: mac=00:11:22:33:44:10 id=1 "
         "channel=20"},
        {R"({"band":7})", 6, 0, 0, rrm::LOG_LEVEL_WARNING,
         "radio message without band and band cannot be inferred: mac=00:11:22:33:44:10 id=1 "
         "channel=0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.json) + " band " + std::to_string(c.band_before) +
                     " channel " + std::to_string(c.channel));
        rrm::JsonReader element(c.json);
        int32_t band = c.band_before;
        testsupport::LogCapture capture;
        Radio::update_band_from_json(element, c.channel, band, mac("00:11:22:33:44:10"), 1,
                                     "radio message");
        EXPECT_EQ(c.band_after, band);
        auto records = capture.records();
        if (c.level == 0) {
            EXPECT_TRUE(records.empty());
        } else {
            ASSERT_EQ(1u, records.size());
            EXPECT_EQ(c.level, records[0].level);
            EXPECT_EQ(c.log, records[0].text);
            EXPECT_EQ("update_band_from_json", records[0].func);
        }
    }
}

TEST(RadioRecord, PrimaryChannelThroughTheRadio)
{
    DomainConfig config;
    Radio radio = make_radio(config);
    radio.band = 5;
    radio.channel = 44;
    radio.bandwidth = 80;
    radio.update_primary_channel();
    EXPECT_EQ(768, radio.primary_channel);
    EXPECT_STREQ("ul", radio.get_primary_channel_text());
    radio.bandwidth = 40;
    EXPECT_STREQ("none", radio.get_primary_channel_text());  // 768 has no 40 MHz text
    radio.update_primary_channel();
    EXPECT_EQ(256, radio.primary_channel);
    EXPECT_STREQ("lower", radio.get_primary_channel_text());
    radio.bandwidth = 25;
    radio.update_primary_channel();
    EXPECT_EQ(0, radio.primary_channel);
    EXPECT_STREQ("none", radio.get_primary_channel_text());
}

TEST(RadioRecord, SignalThresholdByBandAndMode)
{
    DomainConfig config;
    config.ap_rssi_threshold_2g = -60;
    config.hysteresis_2g = 1;
    config.ap_rssi_threshold_5g = -70;
    config.hysteresis_5g = 3;
    config.ap_rssi_threshold_6g = -80;
    config.hysteresis_6g = 5;
    struct Case {
        int32_t band;
        int32_t mode0, mode1, mode2;
    } cases[] = {
        {0, -59, -60, -61},
        {2, -59, -60, -61},
        {5, -67, -70, -73},
        {6, -75, -80, -85},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.band);
        Radio radio = make_radio(config);
        radio.band = c.band;
        EXPECT_EQ(c.mode0, radio.get_rssi_threshold(0));
        EXPECT_EQ(c.mode1, radio.get_rssi_threshold(1));
        EXPECT_EQ(c.mode2, radio.get_rssi_threshold(2));
        EXPECT_EQ(c.mode1, radio.get_rssi_threshold(7));
    }
    config.ap_rssi_threshold_2g = INT_MIN;
    config.hysteresis_2g = INT_MAX;
    Radio radio = make_radio(config);
    EXPECT_EQ(-1, radio.get_rssi_threshold(0));
    EXPECT_EQ(INT_MIN, radio.get_rssi_threshold(2));  // saturated, not wrapped

    config.load_balance_sta_high = 33;
    EXPECT_EQ(33, radio.get_load_balance_sta_high());
}

// Power limits of a radio: {min_power, max_power, eirp_min, eirp_max, gain, loss, antenna}.
struct Limits {
    int32_t min_power, max_power, eirp_min, eirp_max, gain, loss;
    bool antenna;
};

void set_limits(Radio& radio, const Limits& l)
{
    radio.min_power = l.min_power;
    radio.max_power = l.max_power;
    radio.eirp_min = l.eirp_min;
    radio.eirp_max = l.eirp_max;
    radio.antenna_gain = l.gain;
    radio.cable_loss = l.loss;
    radio.antenna_configured = l.antenna;
}

TEST(RadioPower, FitToTheEffectiveBounds)
{
    DomainConfig config;
    struct Case {
        Limits limits;
        int32_t power;
        int32_t fitted;
    } cases[] = {
        // Negative limits: the domain defaults 10..16.
        {{-1, -1, -1, -1, 0, 0, false}, 5, 10},
        {{-1, -1, -1, -1, 0, 0, false}, 12, 12},
        {{-1, -1, -1, -1, 0, 0, false}, 20, 16},
        // A new radio's limits 0 and 0.
        {{0, 0, -1, -1, 0, 0, false}, 5, 0},
        {{0, 0, -1, -1, 0, 0, false}, -3, 0},
        // EIRP limits count only with an antenna configuration.
        {{5, 25, -1, 20, 3, 1, false}, 30, 25},
        {{5, 25, -1, 20, 3, 1, true}, 30, 18},
        {{5, 25, 10, -1, 3, 1, true}, 5, 8},
        // Crossed bounds: the lower one wins.
        {{5, 25, 30, -1, 3, 0, true}, 20, 27},
        {{5, 25, 30, -1, 3, 0, true}, 40, 27},
        {{20, 10, -1, -1, 0, 0, false}, 15, 20},
        // Extreme values from an AP saturate instead of overflowing.
        {{5, 25, INT_MAX, -1, INT_MIN, INT_MAX, true}, 0, INT_MAX},
        {{5, 25, -1, 0, INT_MAX, INT_MIN, true}, 10, 5},
        {{-1, -1, -1, -1, 0, 0, false}, INT_MIN, 10},
    };
    for (const auto& c : cases) {
        const Limits& l = c.limits;
        SCOPED_TRACE(::testing::Message() << l.min_power << ".." << l.max_power << " eirp "
                                          << l.eirp_min << ".." << l.eirp_max << " gain " << l.gain
                                          << " loss " << l.loss << " antenna " << l.antenna
                                          << " power " << c.power);
        Radio radio = make_radio(config);
        set_limits(radio, l);
        EXPECT_EQ(c.fitted, radio.fit_power(c.power));
    }
}

TEST(RadioPower, ApplyEirpLimits)
{
    DomainConfig config;
    struct Case {
        const char* name;
        Limits limits;
        int32_t power, eirp;
        int32_t power_after, eirp_after;
    } cases[] = {
        {"EIRP maximum lowers the power", {5, 25, -1, 20, 3, 1, true}, 20, -1, 18, 20},
        {"EIRP minimum beats the power maximum", {5, 25, 30, -1, 3, 0, true}, 20, -1, 27, 30},
        {"without antenna only the EIRP moves", {5, 25, 10, -1, 0, 0, false}, 12, 5, 12, 10},
        {"without antenna the EIRP maximum applies too", {5, 25, 10, 20, 0, 0, false}, 12, 25,
         12, 20},
        {"an EIRP maximum alone does not start", {5, 25, -1, 20, 0, 0, false}, 12, 30, 12, 30},
        {"antenna without EIRP limits: EIRP follows, power stays", {5, 16, -1, -1, 2, 1, true},
         30, -1, 30, 31},
        {"inside all limits nothing moves", {5, 25, 10, 20, 0, 0, true}, 15, -1, 15, 15},
        {"power above its maximum is refitted", {5, 25, -1, 40, 0, 0, true}, 30, -1, 25, 25},
        {"crossed EIRP limits: the maximum is applied last", {0, 100, 30, 20, 0, 0, true}, 25,
         -1, 30, 20},
        {"extreme gain and loss saturate", {5, 25, 0, -1, INT_MIN, INT_MAX, true}, 10, -1,
         INT_MAX, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Radio radio = make_radio(config);
        set_limits(radio, c.limits);
        radio.power = c.power;
        radio.eirp = c.eirp;
        EXPECT_EQ(c.limits.eirp_min >= 0 || c.limits.antenna, radio.has_eirp_limits());
        radio.apply_eirp_limits();
        EXPECT_EQ(c.power_after, radio.power);
        EXPECT_EQ(c.eirp_after, radio.eirp);
    }
}

TEST(RadioPower, SetValidatePowerTakesOverNewerLimits)
{
    DomainConfig config;
    testsupport::LogCapture capture;

    // Identical limits: nothing, not even a refit of a power outside them.
    Radio radio = make_radio(config);
    set_limits(radio, {5, 16, -1, -1, 0, 0, false});
    radio.power = 30;
    radio.power_initialized = true;
    Radio same = radio;
    same.power = 12;
    radio.set_validate_power(same);
    EXPECT_EQ(30, radio.power);
    EXPECT_TRUE(capture.records().empty());

    // New limits before the power was taken from the AP: only copied.
    Radio fresh = make_radio(config);
    fresh.power = 30;
    Radio newer = make_radio(config);
    set_limits(newer, {7, 20, 8, 22, 2, 1, true});
    newer.power = 5;
    newer.eirp = 4;
    fresh.set_validate_power(newer);
    EXPECT_EQ(7, fresh.min_power);
    EXPECT_EQ(20, fresh.max_power);
    EXPECT_EQ(8, fresh.eirp_min);
    EXPECT_EQ(22, fresh.eirp_max);
    EXPECT_EQ(2, fresh.antenna_gain);
    EXPECT_EQ(1, fresh.cable_loss);
    EXPECT_TRUE(fresh.antenna_configured);
    EXPECT_EQ(30, fresh.power);
    EXPECT_EQ(-1, fresh.eirp);
    EXPECT_TRUE(capture.records().empty());

    // Initialised power: refitted to the new bounds, one Debug line.
    radio.set_validate_power(newer);
    // fit(30) to 7..min(20, 22-2+1) = 20, EIRP 21 within 8..22.
    EXPECT_EQ(20, radio.power);
    EXPECT_EQ(21, radio.eirp);
    auto records = capture.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(rrm::LOG_LEVEL_DEBUG, records[0].level);
    EXPECT_EQ("set_validate_power", records[0].func);
    EXPECT_EQ("00:11:22:33:44:00: Power/eirp adjusted to new limits: power 30 -> 20, eirp -1 -> "
              "21 (power min/max 7/20, eirp min/max 8/22)",
              records[0].text);

    // New limits that leave power and EIRP where they are: no line.
    capture.clear();
    Radio wider = newer;
    wider.max_power = 21;
    radio.set_validate_power(wider);
    EXPECT_EQ(21, radio.max_power);
    EXPECT_EQ(20, radio.power);
    EXPECT_TRUE(capture.records().empty());

    // Negative limits are logged as stored.
    Radio back = make_radio(config);
    set_limits(back, {-1, -1, -1, -1, 0, 0, false});
    radio.set_validate_power(back);
    EXPECT_EQ(16, radio.power);
    EXPECT_TRUE(capture.has(rrm::LOG_LEVEL_DEBUG,
                            "00:11:22:33:44:00: Power/eirp adjusted to new limits: power 20 -> "
                            "16, eirp 21 -> 21 (power min/max -1/-1, eirp min/max -1/-1)"));
}

struct StepCase {
    const char* name;
    int32_t power, power_changed;
    bool status;
    int32_t min_power, max_power;
    int32_t rssi, threshold, low_threshold;
    int32_t result, power_after, changed_after;
};

TEST(RadioPower, RaiseStep)
{
    DomainConfig config;
    const StepCase cases[] = {
        {"raised to the fitted target", 10, 0, true, 5, 16, -80, -70, -75, 6, 16, 6},
        {"equal earlier change stands", 16, 6, true, 5, 16, -80, -70, -75, 0, 16, 6},
        {"smaller step replaces a larger change", 16, 6, true, 5, 16, -73, -70, -72, 3, 13, 3},
        {"signal at the low threshold", 10, 0, true, 5, 16, -75, -70, -75, 0, 10, 0},
        {"disabled radio", 10, 0, false, 5, 16, -80, -70, -75, 0, 10, 0},
        {"already at the maximum", 16, 0, true, 5, 16, -80, -70, -75, 0, 16, 0},
        {"fit below the base gives a negative step", 20, 0, true, 5, 16, -80, -70, -75, -4, 16,
         -4},
        {"extreme levels do not overflow", 10, 0, true, 5, 16, INT_MIN, INT_MAX, INT_MAX, 6, 16,
         6},
        {"extreme power and change", INT_MAX, INT_MIN, true, 5, 16, -80, -70, -75, INT_MIN, 16,
         INT_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Radio radio = make_radio(config);
        radio.status = c.status;
        radio.power = c.power;
        radio.power_changed = c.power_changed;
        radio.min_power = c.min_power;
        radio.max_power = c.max_power;
        EXPECT_EQ(c.result, radio.raise_power(c.rssi, c.threshold, c.low_threshold));
        EXPECT_EQ(c.power_after, radio.power);
        EXPECT_EQ(c.changed_after, radio.power_changed);
    }
}

TEST(RadioPower, LowerStep)
{
    DomainConfig config;
    const StepCase cases[] = {
        {"lowered by the excess", 16, 0, true, 5, 25, -60, -70, 0, 10, 6, -10},
        {"fitted to the minimum", 16, 0, true, 5, 25, -40, -70, 0, 11, 5, -11},
        {"larger earlier change stands", 10, -6, true, 5, 25, -65, -70, 0, 0, 10, -6},
        {"equal earlier change stands", 10, -6, true, 5, 25, -64, -70, 0, 0, 10, -6},
        {"larger reduction replaces it", 10, -6, true, 5, 25, -62, -70, 0, 8, 8, -8},
        {"disabled radio", 16, 0, false, 5, 25, -60, -70, 0, 0, 16, 0},
        {"signal at the threshold", 16, 0, true, 5, 25, -70, -70, 0, 0, 16, 0},
        {"negative reduction refused", 16, 0, true, 5, 25, -80, -70, 0, 0, 16, 0},
        {"extreme levels do not overflow", 16, 0, true, 5, 25, INT_MAX, INT_MIN, 0, 11, 5, -11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Radio radio = make_radio(config);
        radio.status = c.status;
        radio.power = c.power;
        radio.power_changed = c.power_changed;
        radio.min_power = c.min_power;
        radio.max_power = c.max_power;
        EXPECT_EQ(c.result, radio.lower_power(c.rssi, c.threshold));
        EXPECT_EQ(c.power_after, radio.power);
        EXPECT_EQ(c.changed_after, radio.power_changed);
    }
}

TEST(RadioPower, StepsApplyEirpLimits)
{
    DomainConfig config;
    Radio radio = make_radio(config);
    set_limits(radio, {5, 25, -1, 20, 3, 1, true});
    radio.power = 10;
    EXPECT_EQ(8, radio.raise_power(-90, -70, -75));  // fit(30) with hi = 20 - 3 + 1
    EXPECT_EQ(18, radio.power);
    EXPECT_EQ(20, radio.eirp);
}

void add_clients(Radio& radio, int count)
{
    radio.client_table.clear();
    for (int i = 0; i < count; ++i)
        radio.client_table.add_client(rrm::mac_from_u48(0x100 + static_cast<uint64_t>(i)), -50,
                                      "net", false, false);
}

TEST(RadioPriority, TableBuiltOnlyWith80211vAndBalancing)
{
    struct Case {
        bool use_80211v, use_balance;
        int low, high;
        std::vector<std::pair<int32_t, int32_t>> table;
    } cases[] = {
        {true, true, 10, 20, {{9, 255}, {19, 127}}},
        {true, true, 20, 10, {{9, 127}, {19, 255}}},
        {true, true, 7, 7, {{6, 255}, {6, 127}}},  // equal thresholds keep their order
        {true, true, INT_MIN, 5, {{INT_MIN, 255}, {4, 127}}},
        {false, true, 10, 20, {}},
        {true, false, 10, 20, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.use_80211v << c.use_balance << " " << c.low << "/"
                                          << c.high);
        DomainConfig config;
        config.use_80211v = c.use_80211v;
        config.use_balance = c.use_balance;
        config.load_balance_sta_low = c.low;
        config.load_balance_sta_high = c.high;
        Radio radio = make_radio(config);
        EXPECT_EQ(c.table, radio.priority_table);
        // Later changes of the settings do not rebuild it.
        config.use_80211v = !c.use_80211v;
        EXPECT_EQ(c.table, radio.priority_table);
    }
}

TEST(RadioPriority, FollowsTheClientLoad)
{
    DomainConfig config;
    config.use_80211v = true;
    config.load_balance_sta_low = 10;
    config.load_balance_sta_high = 20;
    Radio radio = make_radio(config);
    struct Step {
        int load;
        int32_t priority;
        bool changed;
    } steps[] = {{0, 255, true}, {9, 255, false}, {10, 127, true}, {10, 127, false},
                 {19, 127, false}, {20, 0, true}, {35, 0, false}, {3, 255, true}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.load);
        add_clients(radio, s.load);
        EXPECT_EQ(s.changed, radio.update_priority());
        EXPECT_EQ(s.priority, radio.priority);
    }
    // Expected stations count in the load.
    add_clients(radio, 9);
    rrm::ExpectedSta sta;
    sta.ttl = 5;
    radio.client_table.add_expected_sta(mac("00:00:00:00:99:99"), sta);
    EXPECT_TRUE(radio.update_priority());
    EXPECT_EQ(127, radio.priority);

    // Balancing switched off afterwards: nothing changes.
    config.use_balance = false;
    add_clients(radio, 0);
    EXPECT_FALSE(radio.update_priority());
    EXPECT_EQ(127, radio.priority);
}

TEST(RadioPriority, EmptyTableNeverChanges)
{
    DomainConfig config;  // use_80211v off
    Radio radio = make_radio(config);
    for (int load : {0, 5, 50}) {
        add_clients(radio, load);
        EXPECT_FALSE(radio.update_priority());
        EXPECT_EQ(0, radio.priority);
    }
}

TEST(RadioPriority, NeedBalanceAboveTheLowMark)
{
    DomainConfig config;
    config.load_balance_sta_low = 10;
    Radio radio = make_radio(config);
    add_clients(radio, 10);
    EXPECT_FALSE(radio.need_balance());
    add_clients(radio, 11);
    EXPECT_TRUE(radio.need_balance());
}

}  // namespace
