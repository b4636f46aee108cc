// The JSON forms of radios and radio lists: the "radios" of AP messages, the
// backup's "interfaces", the radio object sent to APs, the state form, the
// VAP lists and the per-radio lists of the steering messages.

#include "DomainConfig.h"
#include "JsonAppender.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "Radio.h"
#include "RadioList.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <limits>
#include <vector>

namespace rrm {

namespace {

// Radios built without settings (never in the server, which always hands
// its domain's copy down) read and write with the defaults.
const DomainConfig& settings_of(const DomainConfig* config)
{
    static const DomainConfig defaults;
    return config ? *config : defaults;
}

// "primary-channel" of AP messages: any other text is no position.
int32_t primary_channel_from_text(const char* text)
{
    static const struct {
        const char* text;
        int32_t code;
    } names[] = {{"upper", PRIMARY_UPPER}, {"lower", PRIMARY_LOWER}, {"ll", PRIMARY_LL},
                 {"lu", PRIMARY_LU},       {"ul", PRIMARY_UL},       {"uu", PRIMARY_UU}};
    for (const auto& name : names)
        if (std::strcmp(text, name.text) == 0)
            return name.code;
    return PRIMARY_NONE;
}

// A channel the AP allows also counts for the domain, in the set of the band
// the radio would use it on.
void add_to_domain_set(const Radio& radio, int32_t channel, ChannelSets& channel_sets)
{
    if (channel < 1 || channel > 233)
        return;
    const int32_t band = radio.get_channel_band(channel);
    if (band != BAND_NONE)
        channel_sets[static_cast<std::size_t>(band)].insert(channel);
}

bool eirp_written(const Radio& radio)
{
    return radio.eirp_min >= 0 || radio.eirp_max >= 0 || radio.antenna_configured;
}

// The EIRP members and the antenna description shared by the radio sent to
// APs and the state form; "antenna-configuration" is placed by the caller.
template <class Object>
void write_eirp(const Radio& radio, Object& object)
{
    if (radio.eirp_min >= 0)
        object.add_int("eirp-min", radio.eirp_min);
    if (radio.eirp_max >= 0)
        object.add_int("eirp-max", radio.eirp_max);
    if (eirp_written(radio))
        object.add_int("eirp", radio.eirp);
}

template <class Object>
void write_antenna(const Radio& radio, Object& object)
{
    if (!radio.antenna_configured)
        return;
    Object antenna = object.add_object("antenna-configuration");
    antenna.add_int("antenna-gain", radio.antenna_gain);
    antenna.add_int("cable-loss", radio.cable_loss);
}

// Disables a radio that an AP's list (or a backup) no longer names.
void disable_unnamed(Radio& radio)
{
    radio.status = false;
    radio.power_initialized = false;
    radio.channel_initialized = false;
    radio.vaps.clear();
    radio.available_channels.clear();
    radio.channel = 0;
    radio.band = BAND_NONE;
}

const char* const DASHES = "----------------------------------";

}  // namespace

VapPool Radio::vap_pool() const
{
    VapPool pool;
    pool.radio_mac = mac;
    pool.mac_count = radio_mac_count;
    pool.locked_80211v = locked_80211v != 0;
    return pool;
}

void Radio::from_json(const JsonReader& radio, ChannelSets& channel_sets, bool parse_vaps,
                      bool defaults_pending, bool mark_list_changed)
{
    const DomainConfig& cfg = settings_of(config);

    locked_tpc = radio.get_int("locked-for-tpc");
    locked_dca = radio.get_int("locked-for-dca");
    // An AP that says nothing about these locks keeps the radio out of the
    // balancers.
    locked_balancer = radio.has("locked-for-balancer") ? radio.get_int("locked-for-balancer") : 1;
    locked_80211v = radio.has("locked-for-80211v") ? radio.get_int("locked-for-80211v") : 1;
    status = radio.get_int("status") != 0;

    channel = radio.get_int("channel");
    if (cfg.use_dca && locked_dca == 0 && status)
        channel_initialized = true;
    update_band_from_json(radio, channel, band, mac, id, "radio message");

    // Once the transmit power control manages the power, the AP's value no
    // longer counts; a disabled radio starts over.
    const int32_t reported_power = radio.get_int("power");
    if (!status) {
        power = reported_power;
        power_initialized = false;
        channel_initialized = false;
    } else if (cfg.use_tpc && locked_tpc == 0) {
        if (!power_initialized) {
            power = reported_power;
            power_initialized = true;
        }
    } else {
        power = reported_power;
    }
    max_power = radio.get_int("power-max");
    min_power = radio.get_int("power-min");

    eirp_from_json(radio);
    if (!radio.has("eirp"))
        apply_eirp_limits();

    bandwidth = radio.get_int("bandwidth");

    if (defaults_pending) {
        mac_offset = radio.has("mac-offset") ? radio.get_int("mac-offset")
                                             : static_cast<int32_t>(id * 16);
        radio_mac_count = radio.has("radio-mac-count") ? radio.get_int("radio-mac-count")
                                                       : DEFAULT_RADIO_MAC_COUNT;
        set_mac(base_mac);
    } else {
        bool changed = false;
        if (radio.has("mac-offset")) {
            const int32_t value = radio.get_int("mac-offset");
            changed = changed || value != mac_offset;
            mac_offset = value;
        }
        if (radio.has("radio-mac-count")) {
            const int32_t value = radio.get_int("radio-mac-count");
            changed = changed || value != radio_mac_count;
            radio_mac_count = value;
        }
        if (changed)
            set_mac(base_mac);
    }

    if (mark_list_changed)
        list_changed = true;

    primary_channel = primary_channel_from_text(radio.get_string("primary-channel"));
    update_primary_channel();

    parse_available_channels(radio.get_string("available-channels"), channel_sets);

    // VAPs and clients matter only to the features that use them.
    if (!cfg.use_balance && !cfg.use_80211k && !cfg.use_80211r && !cfg.use_80211v)
        return;

    if (parse_vaps) {
        vaps.clear();
        const JsonReader list = radio.child("vaps");
        if (!list.is_null())
            vaps.from_json(list, *this, false);
        RRM_TRACE("%s", DASHES);
        RRM_TRACE("wlan_id = %d, mac = %s , channel = %d, band = %d, power = %d",
                  static_cast<int>(id), mac_to_string(mac).c_str(), channel, band, power);
        vaps.dump();
        RRM_TRACE("%s", DASHES);
    }

    const JsonReader assoclist = radio.child("assoclist");
    if (!assoclist.is_null()) {
        // One record per list that overflows: it takes some 2,000 clients of
        // text to write one.
        const int left_out = client_table.from_json(assoclist);
        if (left_out > 0)
            RRM_WARNING("Radio %d of AP %s: %d clients of its assoclist left out; a radio "
                        "holds at most %d",
                        static_cast<int>(id), mac_to_string(base_mac).c_str(), left_out,
                        AssocMap::MAX_CLIENTS);
        client_table.dump();
    }
}

void Radio::parse_available_channels(const char* text, ChannelSets& channel_sets)
{
    available_channels.clear();
    if (!text)
        return;
    // Digits accumulate in 64 bits and saturate: a number beyond the 32-bit
    // range is dropped instead of wrapping into some small, valid channel.
    constexpr uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    uint64_t value = 0;
    bool in_number = false;
    for (const char* p = text;; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            if (value <= limit)
                value = value * 10 + static_cast<uint64_t>(c - '0');
            in_number = true;
            continue;
        }
        if (in_number && value >= 1 && value <= limit) {
            const int32_t number = static_cast<int32_t>(value);
            available_channels.insert(number);
            add_to_domain_set(*this, number, channel_sets);
        }
        value = 0;
        in_number = false;
        if (c == '\0')
            break;
    }
}

void Radio::eirp_from_json(const JsonReader& radio)
{
    if (!radio.has("eirp-min") && !radio.has("eirp-max") && !radio.has("eirp") &&
        !radio.has("antenna-configuration"))
        return;
    eirp = -1;
    eirp_min = -1;
    eirp_max = -1;
    antenna_gain = 0;
    cable_loss = 0;
    antenna_configured = false;
    if (radio.has("eirp-min"))
        eirp_min = radio.get_int("eirp-min");
    if (radio.has("eirp-max"))
        eirp_max = radio.get_int("eirp-max");
    if (radio.has("eirp"))
        eirp = radio.get_int("eirp");
    const JsonReader antenna = radio.child("antenna-configuration");
    if (!antenna.is_null()) {
        if (antenna.has("antenna-gain"))
            antenna_gain = antenna.get_int("antenna-gain");
        if (antenna.has("cable-loss"))
            cable_loss = antenna.get_int("cable-loss");
        antenna_configured = true;
    }
}

void Radio::restore(const JsonReader& radio, ChannelSets& channel_sets)
{
    const DomainConfig& cfg = settings_of(config);

    locked_tpc = radio.get_int("locked-tpc");
    locked_dca = radio.get_int("locked-dca");
    locked_balancer = radio.get_int("locked-balancer");
    locked_80211v = radio.get_int("locked-80211v");
    status = radio.get_int("status") != 0;
    channel = radio.get_int("channel");
    update_band_from_json(radio, channel, band, mac, id, "radio restore");
    if (cfg.use_dca && locked_dca == 0 && status)
        channel_initialized = true;

    power = radio.get_int("power");
    if (cfg.use_tpc && locked_tpc == 0 && status)
        power_initialized = true;
    max_power = radio.get_int("max-power");
    min_power = radio.get_int("min-power");
    bandwidth = radio.get_int("bandwidth");

    mac_offset =
        radio.has("mac-offset") ? radio.get_int("mac-offset") : static_cast<int32_t>(id * 16);
    radio_mac_count = radio.has("radio-mac-count") ? radio.get_int("radio-mac-count")
                                                   : DEFAULT_RADIO_MAC_COUNT;
    set_mac(base_mac);

    primary_channel = radio.get_int("primary-channel");
    update_primary_channel();

    // The backup's own array form: every number counts for the radio, the
    // plausible ones for the domain too.
    available_channels.clear();
    const JsonReader channels = radio.child("available-channels");
    const int count = channels.size();
    for (int i = 0; i < count; ++i) {
        const int32_t number = channels.get_int(i);
        available_channels.insert(number);
        add_to_domain_set(*this, number, channel_sets);
    }

    if (radio.has("vaps")) {
        const JsonReader list = radio.child("vaps");
        if (!list.is_null())
            vaps.from_json(list, *this, true);
        RRM_TRACE("%s", DASHES);
        RRM_TRACE("wlan_id = %d, mac = %s , channel = %d, power = %d", static_cast<int>(id),
                  mac_to_string(mac).c_str(), channel, power);
        vaps.dump();
        RRM_TRACE("%s", DASHES);
    }
}

namespace {

// The radio object sent to APs, through a document writer or appended to a
// text: the same members in the same order.
template <class Array>
void write_radio(const Radio& radio, Array& array)
{
    const DomainConfig& cfg = settings_of(radio.config);
    Array object = array.add_object("");
    object.add_int("id", static_cast<int>(radio.id));
    object.add_int("channel", radio.channel);
    object.add_int("band", radio.get_advertised_band(radio.channel));
    object.add_int("power", radio.power);
    write_eirp(radio, object);
    write_antenna(radio, object);
    object.add_int("bandwidth", radio.bandwidth);
    object.add_string("primary-channel", radio.get_primary_channel_text());
    object.add_int("tavik-sta-rssi-thr-low", cfg.blacklist_thr_low);
    object.add_int("tavik-sta-rssi-thr-high", cfg.blacklist_thr_high);
    object.add_int("tavik-roam-attempt-timeout", cfg.roam_attempt_timeout);
    object.add_int("tavik-client-rssi-renew", cfg.client_rssi_renew);
    object.add_int("tavik-client-max-age", cfg.client_max_age);
    object.add_int("tavik-try-no-balance", cfg.client_try_no_balance);
    object.add_int("no-balance-enterprise", cfg.no_balance_enterprise ? 1 : 0);
}

template <class Object>
void write_radios(const RadioList& list, Object& object)
{
    Object array = object.add_array("radios");
    for (const Radio& radio : list.radios)
        if (radio.status)
            radio.to_json(array);
}

}  // namespace

void Radio::to_json(JsonWriter& array) const
{
    write_radio(*this, array);
}

void Radio::to_json(JsonAppender& array) const
{
    write_radio(*this, array);
}

void Radio::state_to_json(JsonWriter& object) const
{
    object.add_int("id", static_cast<int>(id));
    object.add_string("mac", mac_to_string(mac).c_str());
    object.add_int("mac-offset", mac_offset);
    object.add_int("radio-mac-count", static_cast<int>(radio_mac_count));
    object.add_int("status", status ? 1 : 0);
    object.add_int("power-changed", power_changed);
    object.add_int("conflicted", conflicted ? 1 : 0);
    object.add_int("locked-tpc", locked_tpc);
    object.add_int("locked-dca", locked_dca);
    object.add_int("locked-balancer", locked_balancer);
    object.add_int("locked-80211v", locked_80211v);
    object.add_int("channel", channel);
    object.add_int("band", band);
    object.add_int("power", power);
    object.add_int("max-power", max_power);
    object.add_int("min-power", min_power);
    object.add_int("bandwidth", bandwidth);
    object.add_int("primary-channel", primary_channel);
    write_eirp(*this, object);
    // Ascending, so that equal sets always give equal arrays.
    std::vector<int32_t> channels(available_channels.begin(), available_channels.end());
    std::sort(channels.begin(), channels.end());
    JsonWriter list = object.add_array("available-channels");
    for (int32_t number : channels)
        list.add_int("", number);
    write_antenna(*this, object);
    JsonWriter vap_list = object.add_array("vaps");
    vaps.to_json(vap_list);
    JsonWriter clients = object.add_array("assoc_clients");
    client_table.to_json(clients);
}

void Radio::vaps_to_json(JsonWriter& object) const
{
    object.add_int("id", static_cast<int>(id));
    JsonWriter list = object.add_array("vaps");
    vaps.to_json(list);
}

void Radio::vaps_to_json_full(JsonWriter& object) const
{
    object.add_int("id", static_cast<int>(id));
    JsonWriter list = object.add_array("vaps");
    vaps.to_json_full(list);
}

void Radio::disassoc_list_to_json(JsonWriter& array) const
{
    if (array.is_null())
        return;
    const int timeout = settings_of(config).blacklist_timeout;
    JsonWriter object = array.add_object("");
    object.add_int("id", static_cast<int>(id));
    JsonWriter list = object.add_array("diassoc-list");
    for (const auto* entry : entries_by_mac(block_list.disassoc)) {
        JsonWriter item = list.add_object("");
        item.add_string("mac", mac_to_string(entry->first).c_str());
        item.add_string("ssid", entry->second.c_str());
        item.add_int("timeout", timeout);
    }
}

void Radio::probe_request_to_json(JsonWriter& array, const char* client_mac, const char* ssid,
                                  int32_t timeout) const
{
    if (array.is_null())
        return;
    JsonWriter object = array.add_object("");
    object.add_int("id", static_cast<int>(id));
    JsonWriter list = object.add_array("probe-list");
    JsonWriter item = list.add_object("");
    item.add_string("ssid", ssid);
    item.add_string("mac", client_mac);
    item.add_int("timeout", timeout);
}

void Radio::blacklist_to_json(JsonWriter& array) const
{
    if (array.is_null())
        return;
    JsonWriter object = array.add_object("");
    object.add_int("id", static_cast<int>(id));
    block_list.changes_to_json(object, settings_of(config).blacklist_timeout);
}

// ---- The radio list ----

void RadioList::from_json(const JsonReader& message, ChannelSets& channel_sets, bool parse_vaps,
                          bool list_changed)
{
    const JsonReader list = message.child("radios");
    if (list.is_null()) {
        defaults_pending = false;
        return;
    }
    std::vector<bool> named(radios.size(), false);
    const int count = list.size();
    for (int i = 0; i < count; ++i) {
        const JsonReader element = list.child(i);
        if (element.is_null())
            continue;
        const int number = element.has("id") ? element.get_int("id") : i;
        if (number < 0 || static_cast<std::size_t>(number) >= radios.size()) {
            RRM_WARNING("Skip invalid radio id=%d, radios_count=%zu", number, radios.size());
            continue;
        }
        radios[static_cast<std::size_t>(number)].from_json(element, channel_sets, parse_vaps,
                                                           defaults_pending, list_changed);
        named[static_cast<std::size_t>(number)] = true;
    }
    for (std::size_t n = 0; n < radios.size(); ++n)
        if (!named[n])
            disable_unnamed(radios[n]);
    defaults_pending = false;
}

void RadioList::restore(const JsonReader& state, ChannelSets& channel_sets)
{
    const JsonReader list = state.child("interfaces");
    if (list.is_null()) {
        defaults_pending = false;
        return;
    }
    std::vector<bool> named(radios.size(), false);
    const int count = list.size();
    for (int i = 0; i < count; ++i) {
        const JsonReader element = list.child(i);
        if (element.is_null())
            continue;
        const int number = element.has("id") ? element.get_int("id") : i;
        if (number < 0 || static_cast<std::size_t>(number) >= radios.size()) {
            RRM_WARNING("Skip invalid restore radio id=%d, radios_count=%zu", number,
                        radios.size());
            continue;
        }
        radios[static_cast<std::size_t>(number)].restore(element, channel_sets);
        named[static_cast<std::size_t>(number)] = true;
    }
    for (std::size_t n = 0; n < radios.size(); ++n)
        if (!named[n])
            disable_unnamed(radios[n]);
    defaults_pending = false;
}

void RadioList::to_json(JsonWriter& object) const
{
    write_radios(*this, object);
}

void RadioList::to_json(JsonAppender& object) const
{
    write_radios(*this, object);
}

void RadioList::state_to_json(JsonWriter& object) const
{
    object.add_int("received", received ? 1 : 0);
    JsonWriter list = object.add_array("interfaces");
    for (const Radio& radio : radios) {
        JsonWriter element = list.add_object("");
        radio.state_to_json(element);
    }
}

void RadioList::vaps_to_json(JsonWriter& object) const
{
    JsonWriter list = object.add_array("radios");
    for (const Radio& radio : radios) {
        JsonWriter element = list.add_object("");
        radio.vaps_to_json(element);
    }
}

void RadioList::vaps_to_json_full(JsonWriter& object) const
{
    JsonWriter list = object.add_array("radios");
    for (const Radio& radio : radios) {
        JsonWriter element = list.add_object("");
        radio.vaps_to_json_full(element);
    }
}

}  // namespace rrm
