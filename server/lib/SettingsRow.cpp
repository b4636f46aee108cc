// The domain settings as one separated row of the optimisation report files,
// and the reading of such a row back into a record.

#include "DomainConfig.h"
#include "Log.h"
#include "report_optimize_tpc_dca.h"

#include <memory>
#include <string>

namespace rrm {

namespace {

// Row positions 1 to 25; flags are written as 0 or 1.
struct RowField {
    bool DomainConfig::*flag;
    int DomainConfig::*number;
};

constexpr RowField f(bool DomainConfig::*field) { return {field, nullptr}; }
constexpr RowField n(int DomainConfig::*field) { return {nullptr, field}; }

const RowField kRow[] = {
    f(&DomainConfig::use_tavik_rrm_scan),
    f(&DomainConfig::use_dca),
    f(&DomainConfig::use_tpc),
    f(&DomainConfig::use_hd_mode),
    n(&DomainConfig::dca_threshold),
    n(&DomainConfig::ap_rssi_threshold_2g),
    n(&DomainConfig::ap_rssi_threshold_5g),
    n(&DomainConfig::hysteresis_2g),
    n(&DomainConfig::hysteresis_5g),
    n(&DomainConfig::reserved),
    n(&DomainConfig::away_timeout),
    n(&DomainConfig::blacklist_thr_low),
    n(&DomainConfig::blacklist_thr_high),
    n(&DomainConfig::blacklist_timeout),
    n(&DomainConfig::load_balance_sta_low),
    n(&DomainConfig::load_balance_sta_high),
    f(&DomainConfig::use_all_ap_balance),
    f(&DomainConfig::use_balance),
    n(&DomainConfig::client_rssi_renew),
    n(&DomainConfig::client_max_age),
    n(&DomainConfig::client_try_no_balance),
    f(&DomainConfig::no_balance_enterprise),
    f(&DomainConfig::use_rrm_report),
    n(&DomainConfig::report_days_to_live),
    f(&DomainConfig::use_80211k),
};
constexpr size_t kRowSize = sizeof kRow / sizeof kRow[0];
static_assert(kRowSize == 25, "the settings row carries 25 values");

}  // namespace

std::string DomainConfig::to_string(const std::string& separator) const
{
    std::string row;
    for (size_t i = 0; i < kRowSize; ++i) {
        if (i > 0)
            row += separator;
        const RowField& field = kRow[i];
        row += field.flag ? (this->*field.flag ? "1" : "0") : std::to_string(this->*field.number);
    }
    return row;
}

int DomainConfig::from_string(const std::string& row, size_t first_field, char separator)
{
    int failures = 0;
    for (size_t i = 0; i < kRowSize; ++i) {
        int value = 0;
        if (reports::get_field_by_num_as_int(row, first_field + i, value, separator) != 0) {
            // The field keeps its value; the caller drops the whole row anyway.
            ++failures;
            continue;
        }
        const RowField& field = kRow[i];
        if (field.flag)
            this->*field.flag = value != 0;
        else
            this->*field.number = value;
    }
    if (failures != 0)
        notify_event(EVENT_SETTINGS_ROW_INVALID, std::shared_ptr<std::string>());
    return failures;
}

}  // namespace rrm
