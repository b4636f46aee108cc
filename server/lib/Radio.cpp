#include "Radio.h"

#include "ApEntry.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "Log.h"

#include <algorithm>
#include <bitset>
#include <cstdlib>
#include <limits>

namespace rrm {

namespace {

// Values computed in 64 bits from what APs send are stored back into the
// 32-bit fields saturated; only absurd inputs ever reach the limits.
int32_t saturate(int64_t value)
{
    if (value > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

}  // namespace

Radio::Radio(const DomainConfig* config, const MacAddress& base_mac, uint32_t id, bool status,
             int32_t channel, int32_t power, int32_t max_power, int32_t min_power,
             int32_t bandwidth)
    : config(config),
      id(id),
      mac_offset(saturate(int64_t{id} * 16)),
      base_mac(base_mac),
      status(status),
      channel(channel),
      power(power),
      max_power(max_power),
      min_power(min_power),
      bandwidth(bandwidth)
{
    mac = mac_with_offset(base_mac, mac_offset);
    if (config && config->use_80211v && config->use_balance) {
        priority_table.emplace_back(saturate(int64_t{config->load_balance_sta_low} - 1), 255);
        priority_table.emplace_back(saturate(int64_t{config->load_balance_sta_high} - 1), 127);
        std::stable_sort(priority_table.begin(), priority_table.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }
}

void Radio::update_band_from_json(const JsonReader& radio, int32_t channel, int32_t& band,
                                  const MacAddress& radio_mac, uint32_t id, const char* context)
{
    const bool has_band = radio.has("band");
    if (has_band) {
        const int value = radio.get_int("band");
        if (value == BAND_2G || value == BAND_5G || value == BAND_6G) {
            band = value;
            return;
        }
    }
    if (has_band || band == BAND_NONE)
        band = infer_band(channel);
    if (band != BAND_NONE)
        RRM_DEBUG("%s without band: inferred/reused band=%d mac=%s id=%d channel=%d", context,
                  band, mac_to_string(radio_mac).c_str(), static_cast<int>(id), channel);
    else
        RRM_WARNING("%s without band and band cannot be inferred: mac=%s id=%d channel=%d",
                    context, mac_to_string(radio_mac).c_str(), static_cast<int>(id), channel);
}

void Radio::update_primary_channel()
{
    primary_channel = normalize_primary_channel(channel, band, bandwidth, primary_channel);
}

void Radio::set_mac(const MacAddress& base_mac)
{
    mac = mac_with_offset(base_mac, mac_offset);
    RRM_TRACE("radio id=%d, max_mac_count=%d, mac_offset=%d, mac = %s", static_cast<int>(id),
              radio_mac_count, mac_offset, mac_to_string(mac).c_str());
}

int32_t Radio::get_rssi_threshold(int32_t mode) const
{
    int64_t threshold;
    int64_t hysteresis;
    if (band == BAND_5G) {
        threshold = config->ap_rssi_threshold_5g;
        hysteresis = config->hysteresis_5g;
    } else if (band == BAND_6G) {
        threshold = config->ap_rssi_threshold_6g;
        hysteresis = config->hysteresis_6g;
    } else {
        threshold = config->ap_rssi_threshold_2g;
        hysteresis = config->hysteresis_2g;
    }
    if (mode == 0)
        return saturate(threshold + hysteresis);
    if (mode == 2)
        return saturate(threshold - hysteresis);
    return saturate(threshold);
}

int32_t Radio::get_load_balance_sta_high() const
{
    return config->load_balance_sta_high;
}

void Radio::power_bounds(int64_t& lo, int64_t& hi) const
{
    lo = min_power >= 0 ? min_power : config->default_min_power;
    hi = max_power >= 0 ? max_power : config->default_max_power;
    if (antenna_configured) {
        if (eirp_min >= 0)
            lo = std::max<int64_t>(lo, int64_t{eirp_min} - antenna_gain + cable_loss);
        if (eirp_max >= 0)
            hi = std::min<int64_t>(hi, int64_t{eirp_max} - antenna_gain + cable_loss);
    }
}

int64_t Radio::fit(int64_t power) const
{
    int64_t lo;
    int64_t hi;
    power_bounds(lo, hi);
    // When the bounds cross, the lower one wins.
    if (power < lo)
        return lo;
    return std::min(power, std::max(lo, hi));
}

int32_t Radio::fit_power(int32_t power) const
{
    return saturate(fit(power));
}

void Radio::apply_eirp_limits()
{
    if (eirp_min < 0 && !antenna_configured)
        return;
    if (antenna_configured)
        eirp = saturate(int64_t{power} + antenna_gain - cable_loss);
    if (eirp_min >= 0 && eirp < eirp_min)
        eirp = eirp_min;
    else if (eirp_max >= 0 && eirp > eirp_max)
        eirp = eirp_max;
    if (!antenna_configured || (eirp_min < 0 && eirp_max < 0))
        return;
    const int32_t fitted = saturate(fit(int64_t{eirp} - antenna_gain + cable_loss));
    if (fitted == power)
        return;
    power = fitted;
    eirp = saturate(int64_t{power} + antenna_gain - cable_loss);
    if (eirp_min >= 0 && eirp < eirp_min)
        eirp = eirp_min;
    if (eirp_max >= 0 && eirp > eirp_max)
        eirp = eirp_max;
}

void Radio::set_validate_power(const Radio& newer)
{
    if (newer.min_power == min_power && newer.max_power == max_power &&
        newer.eirp_min == eirp_min && newer.eirp_max == eirp_max &&
        newer.antenna_gain == antenna_gain && newer.cable_loss == cable_loss &&
        newer.antenna_configured == antenna_configured)
        return;
    min_power = newer.min_power;
    max_power = newer.max_power;
    eirp_min = newer.eirp_min;
    eirp_max = newer.eirp_max;
    antenna_gain = newer.antenna_gain;
    cable_loss = newer.cable_loss;
    antenna_configured = newer.antenna_configured;
    if (!power_initialized)
        return;
    const int32_t old_power = power;
    const int32_t old_eirp = eirp;
    power = fit_power(power);
    apply_eirp_limits();
    if (power != old_power || eirp != old_eirp)
        RRM_DEBUG("%s: Power/eirp adjusted to new limits: power %d -> %d, eirp %d -> %d (power "
                  "min/max %d/%d, eirp min/max %d/%d)",
                  mac_to_string(base_mac).c_str(), old_power, power, old_eirp, eirp, min_power,
                  max_power, eirp_min, eirp_max);
}

int32_t Radio::raise_power(int32_t rssi, int32_t threshold, int32_t low_threshold)
{
    if (rssi >= low_threshold || !status)
        return 0;
    const int64_t base = int64_t{power} - power_changed;
    const int64_t target = fit(base + (int64_t{threshold} - rssi));
    if (target == base)
        return 0;
    const int64_t step = target - base;
    // Only a step smaller than an earlier change replaces it.
    if (power_changed != 0 && std::llabs(int64_t{power_changed}) <= step)
        return 0;
    power_changed = saturate(step);
    power = saturate(target);
    apply_eirp_limits();
    return saturate(step);
}

int32_t Radio::lower_power(int32_t rssi, int32_t threshold)
{
    if (!status)
        return 0;
    const int64_t base = int64_t{power} - power_changed;
    const int64_t target = fit(base - (int64_t{rssi} - threshold));
    if (target == base)
        return 0;
    const int64_t reduction = base - target;
    // A larger or equal earlier change stands.
    if (reduction <= std::llabs(int64_t{power_changed}))
        return 0;
    power = saturate(target);
    power_changed = saturate(target - base);
    apply_eirp_limits();
    return saturate(reduction);
}

bool Radio::update_priority()
{
    if (!config->use_balance || priority_table.empty())
        return false;
    const int load = client_table.size();
    int32_t updated = 0;
    for (const auto& step : priority_table) {
        if (step.first >= load) {
            updated = step.second;
            break;
        }
    }
    if (updated == priority)
        return false;
    priority = updated;
    return true;
}

bool Radio::need_balance() const
{
    return client_table.size() > config->load_balance_sta_low;
}

bool Radio::config_equal(const Radio& other) const
{
    if (id != other.id)
        return false;
    if (!status && !other.status)
        return true;
    return max_power == other.max_power && min_power == other.min_power &&
           eirp == other.eirp && eirp_min == other.eirp_min && eirp_max == other.eirp_max &&
           antenna_gain == other.antenna_gain && cable_loss == other.cable_loss &&
           antenna_configured == other.antenna_configured && status == other.status &&
           bandwidth == other.bandwidth && locked_tpc == other.locked_tpc &&
           locked_dca == other.locked_dca && locked_balancer == other.locked_balancer &&
           locked_80211v == other.locked_80211v &&
           available_channels == other.available_channels;
}

bool Radio::channel_managed() const
{
    return config->use_dca && locked_dca == 0 && status && channel_initialized;
}

bool Radio::channels_equal(const Radio& other) const
{
    if (!status && !other.status)
        return true;
    if (channel == other.channel && bandwidth == other.bandwidth &&
        primary_channel == other.primary_channel)
        return true;
    return channel_managed();
}

bool Radio::vaps_equal(const Radio& other) const
{
    if (!status && !other.status)
        return true;
    return vaps == other.vaps;
}

void Radio::count_neighbour_channels(const ApEntry& ap)
{
    std::bitset<256> seen;
    for (const auto& heard : ap.visible_members.table) {
        const int32_t ch = heard.second.channel;
        if (ch >= 1 && ch <= 255)
            seen.set(static_cast<std::size_t>(ch));
    }
    dca_channel_count = static_cast<int32_t>(seen.count());
}

void Radio::update_neighbour_channel(
    const std::unordered_map<MacAddress, std::shared_ptr<ApEntry>, MacHash>& aps,
    const MacAddress& radio_mac, int32_t channel) const
{
    for (const auto& item : aps) {
        if (!item.second)
            continue;
        NeighbourMap::Table& heard = item.second->visible_members.table;
        auto it = find_mac_with_retry(heard, radio_mac);
        if (it != heard.end())
            it->second.channel = channel;
    }
}

}  // namespace rrm
