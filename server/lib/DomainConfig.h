#pragma once
// The radio-resource tuning record of one group of APs: the common settings,
// each named pattern, and each domain's copy of its pattern all use it.

#include <cstddef>
#include <string>

namespace rrm {

class JsonReader;
class JsonWriter;

class DomainConfig {
public:
    // Keyed settings, in the order to_json writes them (the reserved row
    // value and the seconds of optimization_time sit where they belong).
    bool use_tavik_rrm_scan = true;
    bool use_dca = true;
    bool use_tpc = true;
    bool use_hd_mode = true;
    int dca_threshold = 25;
    int ap_rssi_threshold_2g = -70;
    int ap_rssi_threshold_5g = -70;
    int ap_rssi_threshold_6g = -70;
    int hysteresis_2g = 2;
    int hysteresis_5g = 2;
    int hysteresis_6g = 2;
    int reserved = 0;  // carried only by the report settings row
    std::string optimization_time = "00:00";
    int optimization_seconds = 0;  // always the value of optimization_time
    bool use_optimization_time = false;
    bool use_optimization_event = true;
    int away_timeout = 120;
    int blacklist_thr_low = -75;
    int blacklist_thr_high = -65;
    int blacklist_timeout = 30;
    int load_balance_sta_low = 5;
    int load_balance_sta_high = 20;
    int roam_attempt_timeout = 600;
    int sta_load_balance_period = 60;
    int load_balance_roam_count_min = 2;
    int load_balance_roam_count_max = 4;
    bool use_all_ap_balance = false;
    bool use_balance = true;
    int client_rssi_renew = 15;
    int client_max_age = 20;
    int client_try_no_balance = 2;
    bool no_balance_enterprise = false;
    bool use_rrm_report = true;
    int report_days_to_live = 93;
    bool use_80211k = true;
    bool use_80211r = true;
    bool use_80211v = false;
    int fbt_reassoc_deadline = 1000;
    bool fbt_over_ds = false;

    // Internal values without a key; never read from or written to JSON.
    int own_scan_count = 1;
    int own_scan_time = 6;
    int default_max_power = 16;
    int default_min_power = 10;
    int replan_delay = 20;
    int mode_response_wait = 15;
    int scan_channel_factor = 5;
    int domain_timer_period = 10;

    // Adds the 37 keyed settings to an object writer (flags as 0/1).
    void to_json(JsonWriter& object) const;
    // Lenient: takes every present value that is in range, ignores the rest
    // silently. Returns true when a field changed.
    bool update(const JsonReader& object);
    // Strict: one Warning record and one {key: value} reject record appended
    // to the rejects array per bad value. Returns true when none was bad.
    static bool validate(const JsonReader& object, JsonWriter& rejects);

    int away_timeout_ticks() const { return away_timeout / domain_timer_period; }

    // The 25-value settings row of the optimisation reports.
    std::string to_string(const std::string& separator) const;
    // Reads a settings row starting at field first_field; returns how many of
    // the 25 values could not be read (event 22 when any).
    int from_string(const std::string& row, size_t first_field, char separator);
};

// Time text "HH:MM" (hour may carry a sign) to seconds; false when the text
// is not such a time or lies outside [min, max].
bool parse_time_text(const std::string& text, int max, int min, int& seconds);

// Strict checks of one member; they only ever set invalid to true.
void validate_int_opt(const JsonReader& object, const char* key, int max, int min, bool& invalid,
                      JsonWriter& rejects);
void validate_int_opt(const JsonReader& object, const char* key, bool& invalid,
                      JsonWriter& rejects);
void validate_time_opt(const JsonReader& object, const char* key, int max, int min,
                       bool& invalid, JsonWriter& rejects);

// Lenient updates of one member; they only ever set changed to true.
void update_bool_opt(const JsonReader& object, const char* key, bool& field, bool& changed);
void update_int_opt(const JsonReader& object, const char* key, int& field, int max, int min,
                    bool& changed);
void update_time_opt(const JsonReader& object, const char* key, std::string& text, int& seconds,
                     int max, int min, bool& changed);
void update_string_opt(const JsonReader& object, const char* key, std::string& field,
                       bool& changed);

}  // namespace rrm
