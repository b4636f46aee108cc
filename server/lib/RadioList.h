#pragma once
// The three radios of an access point, with the list-wide questions and
// comparisons the domain worker asks about them.

#include "Radio.h"

#include <vector>

namespace rrm {

class RadioList {
public:
    // Always three radios with the ids 0, 1 and 2 at their positions; a
    // radio the AP does not report is only disabled.
    std::vector<Radio> radios;
    // The AP's scan results of the current optimisation cycle have arrived.
    bool received = false;
    // No radio list has been applied yet (radios read without MAC
    // parameters take the defaults).
    bool defaults_pending = true;

    RadioList(const DomainConfig* config, const MacAddress& base_mac);

    void reset_received() { received = false; }
    void set_received() { received = true; }
    void clear_conflicted();
    void clear_power_changed();
    void set_mac(const MacAddress& base_mac);
    void mark_lists_changed();

    bool is_ready() const;
    bool has_active_radio() const;
    bool has_80211k_vaps() const;
    bool has_80211r_vaps() const;
    bool has_balancer_radio() const;
    bool has_80211v_radio() const;
    bool has_80211kv_radio() const;

    // Called on the list just read from an AP message, with the AP's list as
    // other.
    bool config_equal(const RadioList& other) const;
    // Called on the AP's list, with the list just read as other.
    bool channels_equal(const RadioList& other) const;
    bool vaps_equal(const RadioList& other) const;

    // Power steps over the whole list.
    void set_validate_power(const RadioList& newer);
    // band 0: inferred from the channel, which serves for nothing else.
    int32_t lower_power(int32_t channel, int32_t rssi, int32_t threshold, int32_t band);
    void mark_conflicted(int32_t channel, int32_t band);
    bool has_lower_power_than(const RadioList& other) const;
    // The same test on two bare radio vectors (the copies an optimisation
    // result holds): some radio of `mine` shares its channel with a radio
    // of `theirs` and has a lower power.
    static bool has_lower_power(const std::vector<Radio>& mine, const std::vector<Radio>& theirs);
    bool update_priorities();

    // JSON forms (RadioJson.cpp). Apply an AP message's "radios" / a
    // backup's "interfaces": named radios are read, the others disabled.
    void from_json(const JsonReader& message, ChannelSets& channel_sets, bool parse_vaps,
                   bool list_changed);
    void restore(const JsonReader& state, ChannelSets& channel_sets);
    // "radios": the enabled radios as sent to APs.
    void to_json(JsonWriter& object) const;
    void to_json(JsonAppender& object) const;
    // "received" and "interfaces": the state of all three radios.
    void state_to_json(JsonWriter& object) const;
    // "radios": [{"id", "vaps"}] for all three radios, short / full VAP form.
    void vaps_to_json(JsonWriter& object) const;
    void vaps_to_json_full(JsonWriter& object) const;

private:
    const Radio* find(uint32_t id) const;
};

}  // namespace rrm
