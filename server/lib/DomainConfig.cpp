#include "DomainConfig.h"

#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"

#include <yajson/yajson.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace rrm {

namespace {

// One keyed setting: where it lives and which values update() takes.
struct Setting {
    enum Kind { Flag, Int, Time };
    const char* key;
    Kind kind;
    bool DomainConfig::*flag;
    int DomainConfig::*number;
    int min;
    int max;
};

constexpr Setting flag(const char* key, bool DomainConfig::*field)
{
    return {key, Setting::Flag, field, nullptr, 0, 1};
}
constexpr Setting integer(const char* key, int DomainConfig::*field, int min, int max)
{
    return {key, Setting::Int, nullptr, field, min, max};
}

constexpr int kMaxTimeOfDay = 86400;

// The keyed settings in their JSON order.
const Setting kSettings[] = {
    flag("use_tavik_rrm_scan", &DomainConfig::use_tavik_rrm_scan),
    flag("use_dca", &DomainConfig::use_dca),
    flag("use_tpc", &DomainConfig::use_tpc),
    flag("use_hd_mode", &DomainConfig::use_hd_mode),
    integer("dca_threshold", &DomainConfig::dca_threshold, 0, 99),
    integer("ap_rssi_threshold_2g", &DomainConfig::ap_rssi_threshold_2g, -100, -1),
    integer("ap_rssi_threshold_5g", &DomainConfig::ap_rssi_threshold_5g, -100, -1),
    integer("ap_rssi_threshold_6g", &DomainConfig::ap_rssi_threshold_6g, -100, -1),
    integer("hysteresis_2g", &DomainConfig::hysteresis_2g, 1, 10),
    integer("hysteresis_5g", &DomainConfig::hysteresis_5g, 1, 10),
    integer("hysteresis_6g", &DomainConfig::hysteresis_6g, 1, 10),
    {"optimization_time", Setting::Time, nullptr, nullptr, 0, kMaxTimeOfDay},
    flag("use_optimization_time", &DomainConfig::use_optimization_time),
    flag("use_optimization_event", &DomainConfig::use_optimization_event),
    integer("away_timeout", &DomainConfig::away_timeout, 10, 3600),
    integer("blacklist_thr_low", &DomainConfig::blacklist_thr_low, -100, -1),
    integer("blacklist_thr_high", &DomainConfig::blacklist_thr_high, -100, -1),
    integer("blacklist_timeout", &DomainConfig::blacklist_timeout, 5, 3600),
    integer("load_balance_sta_low", &DomainConfig::load_balance_sta_low, 1, 100),
    integer("load_balance_sta_high", &DomainConfig::load_balance_sta_high, 1, 100),
    integer("roam_attempt_timeout", &DomainConfig::roam_attempt_timeout, 0, 86400),
    integer("sta_load_balance_period", &DomainConfig::sta_load_balance_period, 0, 86400),
    integer("load_balance_roam_count_min", &DomainConfig::load_balance_roam_count_min, 0, 100),
    integer("load_balance_roam_count_max", &DomainConfig::load_balance_roam_count_max, 0, 100),
    flag("use_all_ap_balance", &DomainConfig::use_all_ap_balance),
    flag("use_balance", &DomainConfig::use_balance),
    integer("client_rssi_renew", &DomainConfig::client_rssi_renew, 1, 300),
    integer("client_max_age", &DomainConfig::client_max_age, 0, 300),
    integer("client_try_no_balance", &DomainConfig::client_try_no_balance, 1, 10),
    flag("no_balance_enterprise", &DomainConfig::no_balance_enterprise),
    flag("use_rrm_report", &DomainConfig::use_rrm_report),
    integer("report_days_to_live", &DomainConfig::report_days_to_live, 1, 37200),
    flag("use_80211k", &DomainConfig::use_80211k),
    flag("use_80211r", &DomainConfig::use_80211r),
    flag("use_80211v", &DomainConfig::use_80211v),
    integer("fbt_reassoc_deadline", &DomainConfig::fbt_reassoc_deadline, 1000, 268431360),
    flag("fbt_over_ds", &DomainConfig::fbt_over_ds),
};
static_assert(sizeof kSettings / sizeof kSettings[0] == 37, "37 keyed domain settings");

void log_invalid_int(const char* key, long long value, long long min, long long max)
{
    RRM_WARNING("Invalid value for '%s': %ld (allowed range: [%ld, %ld])", key,
                static_cast<long>(value), static_cast<long>(min), static_cast<long>(max));
}

// A one-member object {key: value} appended to the rejects array.
void add_reject(JsonWriter& rejects, const char* key, yajson::JsonValue value)
{
    JsonWriter record = rejects.add_object(nullptr);
    record.resolve().set(key, std::move(value));
}

long long clamp_to_ll(double d)
{
    if (std::isnan(d))
        return 0;
    if (d >= 9223372036854775807.0)
        return LLONG_MAX;
    if (d <= -9223372036854775808.0)
        return LLONG_MIN;
    return static_cast<long long>(d);
}

// A decimal integer text that strtoll takes as a whole, within 64 bits.
bool parse_decimal_ll(const char* text, long long& value)
{
    if (*text == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    const bool overflow = errno == ERANGE;
    value = v;  // clamped by strtoll on overflow, which is what the Warning shows
    return !overflow && end != text && *end == '\0';
}

}  // namespace

bool parse_time_text(const std::string& text, int max, int min, int& seconds)
{
    if (text.size() > 6)
        return false;
    int hour = 0;
    int minute = 0;
    if (std::sscanf(text.c_str(), "%3d:%2d", &hour, &minute) != 2)
        return false;
    if (minute > 59)
        return false;
    // A minus sign makes the whole offset negative, also for an hour of zero
    // ("-00:30" is half an hour west of UTC, not east of it).
    const size_t first = text.find_first_not_of(" \t\n\v\f\r");
    const bool negative = hour < 0 || (first != std::string::npos && text[first] == '-');
    const long value = negative ? -(std::labs(static_cast<long>(hour)) * 3600L) - minute * 60L
                                : hour * 3600L + minute * 60L;
    if (value < min || value > max)
        return false;
    seconds = static_cast<int>(value);
    return true;
}

void validate_int_opt(const JsonReader& object, const char* key, int max, int min, bool& invalid,
                      JsonWriter& rejects)
{
    if (!object.has(key))
        return;
    // Management edits are judged on the value as sent: the whole 64-bit
    // integer, and a float or a non-numeric text is never taken as a number.
    const JsonReader member = object.child(key);
    const std::string_view text = member.to_string_view();
    const char lead = text.empty() ? 'n' : text.front();

    long long value = 0;
    bool good = true;
    yajson::JsonValue record;
    if (lead == '"') {
        const char* s = object.get_string(key);
        good = text.find("\\u0000") == std::string_view::npos && parse_decimal_ll(s, value);
        if (good)
            record = yajson::JsonValue(static_cast<std::int64_t>(value));
        else
            record = yajson::JsonValue(std::string_view(s));
    } else if (lead == '-' || (lead >= '0' && lead <= '9')) {
        const std::string number(text);
        if (number.find_first_of(".eE") != std::string::npos) {
            const double d = std::strtod(number.c_str(), nullptr);
            good = false;
            value = clamp_to_ll(d);
            record = yajson::JsonValue(d);
        } else if (parse_decimal_ll(number.c_str(), value)) {
            record = yajson::JsonValue(static_cast<std::int64_t>(value));
        } else {
            // Beyond 64-bit signed: an unsigned value above INT64_MAX.
            good = false;
            record = yajson::JsonValue(
                static_cast<std::uint64_t>(std::strtoull(number.c_str(), nullptr, 10)));
        }
    } else {
        // true, false, null and containers read as get_int reads them.
        value = object.get_int(key);
        record = yajson::JsonValue(static_cast<std::int64_t>(value));
    }
    if (good && value >= min && value <= max)
        return;
    invalid = true;
    log_invalid_int(key, value, min, max);
    add_reject(rejects, key, std::move(record));
}

void validate_int_opt(const JsonReader& object, const char* key, bool& invalid,
                      JsonWriter& rejects)
{
    if (!object.has(key))
        return;
    // Any number is a good flag; only a decimal text beyond the 64-bit range
    // is refused.
    bool overflow = false;
    if (object.child(key).to_string_view().substr(0, 1) == "\"") {
        errno = 0;
        const std::string s = object.get_string(key);
        (void)std::strtol(s.c_str(), nullptr, 10);
        overflow = errno != 0;
    }
    if (!overflow)
        return;
    const int value = object.get_int(key) != 0 ? 1 : 0;
    invalid = true;
    log_invalid_int(key, value, 0, 1);
    rejects.add_object(nullptr).add_int(key, value);
}

void validate_time_opt(const JsonReader& object, const char* key, int max, int min,
                       bool& invalid, JsonWriter& rejects)
{
    if (!object.has(key))
        return;
    const std::string text = object.get_string(key);
    int seconds = 0;
    if (parse_time_text(text, max, min, seconds))
        return;
    invalid = true;
    const PeerText quoted(text);
    RRM_WARNING("Invalid time value for '%s': '%s' (allowed range: [%d, %d] in seconds)", key,
                quoted.c_str(), min, max);
    rejects.add_object(nullptr).add_string(key, text.c_str());
}

void update_bool_opt(const JsonReader& object, const char* key, bool& field, bool& changed)
{
    if (!object.has(key))
        return;
    const bool value = object.get_int(key) != 0;
    if (value != field) {
        field = value;
        changed = true;
    }
}

void update_int_opt(const JsonReader& object, const char* key, int& field, int max, int min,
                    bool& changed)
{
    if (!object.has(key))
        return;
    const int value = object.get_int(key);
    if (value != field && value >= min && value <= max) {
        field = value;
        changed = true;
    }
}

void update_time_opt(const JsonReader& object, const char* key, std::string& text, int& seconds,
                     int max, int min, bool& changed)
{
    if (!object.has(key))
        return;
    const std::string value = object.get_string(key);
    if (value.size() > 6 || value == text)
        return;
    int parsed = 0;
    if (!parse_time_text(value, max, min, parsed))
        return;
    text = value;
    seconds = parsed;
    changed = true;
}

void update_string_opt(const JsonReader& object, const char* key, std::string& field,
                       bool& changed)
{
    if (!object.has(key))
        return;
    const char* value = object.get_string(key);
    if (*value == '\0' || field == value)
        return;
    field = value;
    changed = true;
}

void DomainConfig::to_json(JsonWriter& object) const
{
    for (const Setting& s : kSettings) {
        switch (s.kind) {
        case Setting::Flag:
            object.add_int(s.key, this->*s.flag ? 1 : 0);
            break;
        case Setting::Int:
            object.add_int(s.key, this->*s.number);
            break;
        case Setting::Time:
            object.add_string(s.key, optimization_time.c_str());
            break;
        }
    }
}

bool DomainConfig::update(const JsonReader& object)
{
    bool changed = false;
    for (const Setting& s : kSettings) {
        switch (s.kind) {
        case Setting::Flag:
            update_bool_opt(object, s.key, this->*s.flag, changed);
            break;
        case Setting::Int:
            update_int_opt(object, s.key, this->*s.number, s.max, s.min, changed);
            break;
        case Setting::Time:
            update_time_opt(object, s.key, optimization_time, optimization_seconds, s.max, s.min,
                            changed);
            break;
        }
    }
    return changed;
}

bool DomainConfig::validate(const JsonReader& object, JsonWriter& rejects)
{
    bool invalid = false;
    for (const char* key :
         {"use_tavik_rrm_scan", "use_dca", "use_tpc", "use_hd_mode", "use_all_ap_balance",
          "use_balance", "no_balance_enterprise", "use_rrm_report", "use_80211k",
          "use_optimization_time", "use_optimization_event", "use_80211r", "fbt_over_ds",
          "use_80211v"})
        validate_int_opt(object, key, invalid, rejects);

    validate_int_opt(object, "fbt_reassoc_deadline", 268431360, 1000, invalid, rejects);
    validate_int_opt(object, "dca_threshold", 99, 0, invalid, rejects);
    validate_int_opt(object, "ap_rssi_threshold_2g", -1, -100, invalid, rejects);
    validate_int_opt(object, "ap_rssi_threshold_5g", -1, -100, invalid, rejects);
    validate_int_opt(object, "ap_rssi_threshold_6g", -1, -100, invalid, rejects);
    validate_int_opt(object, "hysteresis_2g", 10, 1, invalid, rejects);
    validate_int_opt(object, "hysteresis_5g", 10, 1, invalid, rejects);
    validate_int_opt(object, "hysteresis_6g", 10, 1, invalid, rejects);

    validate_time_opt(object, "optimization_time", kMaxTimeOfDay, 0, invalid, rejects);

    validate_int_opt(object, "away_timeout", 3600, 10, invalid, rejects);
    validate_int_opt(object, "blacklist_thr_low", -1, -100, invalid, rejects);
    validate_int_opt(object, "blacklist_thr_high", -1, -100, invalid, rejects);
    validate_int_opt(object, "blacklist_timeout", 3600, 5, invalid, rejects);

    // The pair is judged within the request alone: the partner comes from the
    // same object or from the built-in default, never from a stored record.
    const int high = object.has("load_balance_sta_high") ? object.get_int("load_balance_sta_high")
                                                         : 20;
    const int low = object.has("load_balance_sta_low") ? object.get_int("load_balance_sta_low")
                                                       : 5;
    validate_int_opt(object, "load_balance_sta_low", high, 1, invalid, rejects);
    validate_int_opt(object, "load_balance_sta_high", 100, low, invalid, rejects);

    validate_int_opt(object, "roam_attempt_timeout", 86400, 0, invalid, rejects);
    validate_int_opt(object, "sta_load_balance_period", 86400, 0, invalid, rejects);
    validate_int_opt(object, "load_balance_roam_count_min", 100, 0, invalid, rejects);
    validate_int_opt(object, "load_balance_roam_count_max", 100, 0, invalid, rejects);
    validate_int_opt(object, "client_rssi_renew", 300, 1, invalid, rejects);
    validate_int_opt(object, "client_max_age", 300, 0, invalid, rejects);
    validate_int_opt(object, "client_try_no_balance", 10, 1, invalid, rejects);
    validate_int_opt(object, "report_days_to_live", 37200, 1, invalid, rejects);
    return !invalid;
}

}  // namespace rrm
