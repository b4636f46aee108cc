#pragma once
// One radio of an access point: identity, operating state, power and EIRP
// limits, the locks that keep the domain's optimisations away, and its VAPs,
// clients and block list.

#include "AssocMap.h"
#include "ChannelPlan.h"
#include "ChannelSets.h"
#include "MacAddress.h"
#include "RadioBlacklist.h"
#include "VapMap.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace rrm {

class ApEntry;
class DomainConfig;
class JsonReader;
class JsonAppender;
class JsonWriter;

constexpr int32_t DEFAULT_RADIO_MAC_COUNT = 16;

class Radio {
public:
    // The settings of the AP's domain; not owned.
    const DomainConfig* config = nullptr;
    // Change of `power` made by the last transmit-power step (base power =
    // power - power_changed); 0 = none.
    int32_t power_changed = 0;
    bool conflicted = false;
    // Non-zero locks: the AP keeps this radio away from power planning,
    // channel planning, the load balancer and 802.11v steering.
    int32_t locked_tpc = 0;
    int32_t locked_dca = 0;
    int32_t locked_balancer = 0;
    int32_t locked_80211v = 0;
    bool power_initialized = false;
    bool channel_initialized = false;
    std::unordered_set<int32_t> available_channels;
    VapMap vaps;
    uint32_t id = 0;
    // Distance of the radio MAC from the AP's base MAC, in the low 24 bits.
    int32_t mac_offset = 0;
    MacAddress mac;
    MacAddress base_mac;
    bool status = false;
    int32_t channel = 0;
    int32_t band = BAND_NONE;
    int32_t power = 0;
    int32_t max_power = 0;  // negative: the domain's default maximum
    int32_t min_power = 0;  // negative: the domain's default minimum
    int32_t eirp = -1;      // -1: not reported
    int32_t eirp_min = -1;  // negative: none
    int32_t eirp_max = -1;  // negative: none
    int32_t antenna_gain = 0;
    int32_t cable_loss = 0;
    // Only with an antenna description are power and EIRP converted into
    // each other.
    bool antenna_configured = false;
    int32_t bandwidth = 20;
    // MACs reserved for the radio's VAPs, from `mac` on. Signed: an AP that
    // sends a negative count must fail the range checks instead of passing
    // them as a huge unsigned number.
    int32_t radio_mac_count = DEFAULT_RADIO_MAC_COUNT;
    int32_t dca_channel_count = 0;
    int32_t dca_neighbour_count = 0;
    int32_t primary_channel = PRIMARY_NONE;
    RadioBlacklist block_list;
    AssocMap client_table;
    // 802.11v priority steps (load threshold, priority), ascending.
    std::vector<std::pair<int32_t, int32_t>> priority_table;
    int32_t priority = 0;
    int32_t priority_sent = 0;
    bool list_changed = false;
    int32_t neighbour_load_count = 0;
    int32_t neighbour_load_sum = 0;

    Radio(const DomainConfig* config, const MacAddress& base_mac, uint32_t id, bool status,
          int32_t channel, int32_t power, int32_t max_power, int32_t min_power,
          int32_t bandwidth);

    int32_t get_band() const { return band; }
    int32_t get_channel_band(int32_t channel) const { return rrm::channel_band(band, channel); }
    int32_t get_advertised_band(int32_t channel) const
    {
        return rrm::advertised_band(band, channel);
    }
    // Sets `band` while a radio is read: a valid "band" member wins, else
    // the band is inferred from the channel or, without the member, kept.
    // context names the reading ("radio message", "radio restore").
    static void update_band_from_json(const JsonReader& radio, int32_t channel, int32_t& band,
                                      const MacAddress& radio_mac, uint32_t id,
                                      const char* context);

    const char* get_primary_channel_text() const
    {
        return primary_channel_text(bandwidth, primary_channel);
    }
    void update_primary_channel();

    void set_mac(const MacAddress& base_mac);

    // The channel assignment's ranking value: the number of distinct
    // channels 1..255 among the BSSIDs of the domain that `ap` hears.
    void count_neighbour_channels(const ApEntry& ap);
    // After the radio known as radio_mac moved to `channel`: every AP of the
    // table (an AP map's main table) that hears it, under that MAC or with
    // the locally-administered bit flipped, gets the new channel in its
    // record.
    void update_neighbour_channel(
        const std::unordered_map<MacAddress, std::shared_ptr<ApEntry>, MacHash>& aps,
        const MacAddress& radio_mac, int32_t channel) const;

    // The domain's signal threshold for the radio's band: mode 0 adds the
    // hysteresis, mode 2 subtracts it, any other mode gives the threshold.
    int32_t get_rssi_threshold(int32_t mode) const;
    int32_t get_load_balance_sta_high() const;

    // Power and EIRP.
    int32_t fit_power(int32_t power) const;
    bool has_eirp_limits() const { return eirp_min >= 0 || antenna_configured; }
    void apply_eirp_limits();
    void set_validate_power(const Radio& newer);
    int32_t raise_power(int32_t rssi, int32_t threshold, int32_t low_threshold);
    int32_t lower_power(int32_t rssi, int32_t threshold);

    // 802.11v priority from the client load.
    bool update_priority();
    bool need_balance() const;

    // Comparisons with the same radio as read from a newer message.
    bool config_equal(const Radio& other) const;
    bool channels_equal(const Radio& other) const;
    bool vaps_equal(const Radio& other) const;

    // JSON forms (RadioJson.cpp). Readers take AP messages and backups and
    // add the available channels to the domain's channel sets.
    void from_json(const JsonReader& radio, ChannelSets& channel_sets, bool parse_vaps,
                   bool defaults_pending, bool mark_list_changed);
    // Text of channel numbers separated by anything but digits; numbers
    // not in 1..2^31-1 are dropped.
    void parse_available_channels(const char* text, ChannelSets& channel_sets);
    void eirp_from_json(const JsonReader& radio);
    void restore(const JsonReader& radio, ChannelSets& channel_sets);
    // The radio object sent to APs, appended to an array writer.
    void to_json(JsonWriter& array) const;
    void to_json(JsonAppender& array) const;
    // The state object of management replies and backups.
    void state_to_json(JsonWriter& object) const;
    // "id" and "vaps" in the short / full VAP form.
    void vaps_to_json(JsonWriter& object) const;
    void vaps_to_json_full(JsonWriter& object) const;
    // Per-radio lists of the steering messages, appended to an array
    // writer (nothing for a null writer).
    void disassoc_list_to_json(JsonWriter& array) const;
    void probe_request_to_json(JsonWriter& array, const char* client_mac, const char* ssid,
                               int32_t timeout) const;
    void blacklist_to_json(JsonWriter& array) const;
    // What reading this radio's VAPs needs of it.
    VapPool vap_pool() const;

private:
    // The effective power bounds and the fit, in 64 bits so that limits,
    // gains and signal levels of any 32-bit size cannot overflow.
    void power_bounds(int64_t& lo, int64_t& hi) const;
    int64_t fit(int64_t power) const;
    // The channel assignment owns this radio's channel.
    bool channel_managed() const;
};

}  // namespace rrm
