#include "RadioList.h"

#include <algorithm>

namespace rrm {

RadioList::RadioList(const DomainConfig* config, const MacAddress& base_mac)
{
    radios.reserve(3);
    for (uint32_t id = 0; id < 3; ++id)
        radios.emplace_back(config, base_mac, id, false, 1, 0, 0, 0, 20);
}

void RadioList::clear_conflicted()
{
    for (Radio& radio : radios)
        radio.conflicted = false;
}

void RadioList::clear_power_changed()
{
    for (Radio& radio : radios)
        radio.power_changed = 0;
}

void RadioList::set_mac(const MacAddress& base_mac)
{
    for (Radio& radio : radios)
        radio.set_mac(base_mac);
}

void RadioList::mark_lists_changed()
{
    for (Radio& radio : radios)
        radio.list_changed = true;
}

bool RadioList::is_ready() const
{
    return received && has_active_radio();
}

bool RadioList::has_active_radio() const
{
    return std::any_of(radios.begin(), radios.end(),
                       [](const Radio& r) { return r.status && r.channel != 0; });
}

bool RadioList::has_80211k_vaps() const
{
    return std::any_of(radios.begin(), radios.end(),
                       [](const Radio& r) { return r.vaps.has_80211k(); });
}

bool RadioList::has_80211r_vaps() const
{
    return std::any_of(radios.begin(), radios.end(),
                       [](const Radio& r) { return r.vaps.has_80211r(); });
}

bool RadioList::has_balancer_radio() const
{
    return std::any_of(radios.begin(), radios.end(),
                       [](const Radio& r) { return r.locked_balancer == 0; });
}

bool RadioList::has_80211v_radio() const
{
    return std::any_of(radios.begin(), radios.end(), [](const Radio& r) {
        return r.status && r.locked_80211v == 0 && r.vaps.has_80211v();
    });
}

bool RadioList::has_80211kv_radio() const
{
    return std::any_of(radios.begin(), radios.end(), [](const Radio& r) {
        return r.status && r.locked_80211v == 0 && (r.vaps.has_80211v() || r.vaps.has_80211k());
    });
}

const Radio* RadioList::find(uint32_t id) const
{
    for (const Radio& radio : radios)
        if (radio.id == id)
            return &radio;
    return nullptr;
}

bool RadioList::config_equal(const RadioList& other) const
{
    if (radios.empty())
        return true;
    if (other.radios.empty())
        return false;
    for (const Radio& radio : radios) {
        const Radio* theirs = other.find(radio.id);
        if (!theirs || !radio.config_equal(*theirs))
            return false;
    }
    return true;
}

bool RadioList::channels_equal(const RadioList& other) const
{
    for (const Radio& radio : radios) {
        const Radio* theirs = other.find(radio.id);
        if (theirs && !radio.channels_equal(*theirs))
            return false;
    }
    return true;
}

bool RadioList::vaps_equal(const RadioList& other) const
{
    for (const Radio& radio : radios) {
        const Radio* theirs = other.find(radio.id);
        if (theirs && !radio.vaps_equal(*theirs))
            return false;
    }
    return true;
}

void RadioList::set_validate_power(const RadioList& newer)
{
    for (Radio& radio : radios)
        if (const Radio* theirs = newer.find(radio.id))
            radio.set_validate_power(*theirs);
}

int32_t RadioList::lower_power(int32_t channel, int32_t rssi, int32_t threshold, int32_t band)
{
    if (band == BAND_NONE) {
        band = infer_band(channel);
        if (band == BAND_NONE)
            return 0;
    }
    int32_t largest = 0;
    for (Radio& radio : radios)
        if (radio.status && radio.band == band)
            largest = std::max(largest, radio.lower_power(rssi, threshold));
    return largest;
}

void RadioList::mark_conflicted(int32_t channel, int32_t band)
{
    if (band == BAND_NONE) {
        band = infer_band(channel);
        if (band == BAND_NONE)
            return;
    }
    for (Radio& radio : radios)
        if (radio.status && radio.band == band)
            radio.conflicted = true;
}

bool RadioList::has_lower_power_than(const RadioList& other) const
{
    return has_lower_power(radios, other.radios);
}

bool RadioList::has_lower_power(const std::vector<Radio>& mine,
                                const std::vector<Radio>& theirs)
{
    for (const Radio& a : mine)
        for (const Radio& b : theirs)
            if (a.channel == b.channel && a.power < b.power)
                return true;
    return false;
}

bool RadioList::update_priorities()
{
    bool changed = false;
    for (Radio& radio : radios)
        changed = radio.update_priority() || changed;
    return changed;
}

}  // namespace rrm
