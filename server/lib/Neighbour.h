#pragma once
// What an access point hears of the BSSIDs around it: one record per heard
// BSSID, and the merge of several scans into one table.

#include "MacAddress.h"

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace rrm {

class ApEntry;
class JsonReader;
class JsonWriter;

struct Neighbour {
    int32_t dbm_signal = 0;
    int32_t channel = 0;
    int32_t band = 0;       // Band code: 0, 2, 5 or 6
    int32_t bandwidth = 0;  // MHz, as reported
    int32_t tx_power = 0;
    int32_t primary = 0;    // PrimaryChannel code

    Neighbour() = default;
    Neighbour(int dbm_signal, int channel, int band, int bandwidth, int tx_power, int primary);
    Neighbour(int dbm_signal, int channel, int bandwidth, int tx_power, int primary);

    bool operator==(const Neighbour& other) const;
    bool operator!=(const Neighbour& other) const { return !(*this == other); }

    // "dbm-signal", "channel", "band", "bandwidth", "tx-power", "primary".
    void to_json(JsonWriter& object) const;
};

class NeighbourMap {
public:
    using Table = std::unordered_map<MacAddress, Neighbour, MacHash>;
    using Entry = Table::value_type;

    Table table;

    // The first record of a BSSID stays.
    void insert(const MacAddress& bssid, const Neighbour& record);
    void clear() { table.clear(); }

    // Whether one of the AP's radio MACs (whatever the radio's state) is
    // heard, as it is or with the locally-administered bit inverted.
    bool contains_radio_of(const ApEntry& ap) const;

    // Appends one state object per record, in ascending BSSID order (octet 0
    // most significant), so that equal tables always give equal arrays
    // whatever their insertion history.
    void to_json(JsonWriter& array) const;
    // Reads a state array back into the table without emptying it first.
    void restore(const JsonReader& array);

    // Replaces the content by the merge of per-scan tables: one record per
    // BSSID heard in any scan, its signal the robust mean of its samples,
    // every other field from the last scan that holds it.
    void merge_scans(const std::vector<NeighbourMap>& scans);

    // The records in ascending BSSID order; the order every writer of this
    // table uses.
    std::vector<const Entry*> sorted() const;

    std::size_t size() const { return table.size(); }
    bool empty() const { return table.empty(); }
    Table::iterator begin() { return table.begin(); }
    Table::iterator end() { return table.end(); }
    Table::const_iterator begin() const { return table.begin(); }
    Table::const_iterator end() const { return table.end(); }
};

// Integer mean of signal samples that first drops the samples lying far
// from the rest (a passing burst of interference in one scan). The sums are
// taken in 64 and 128 bits, so any 32-bit sample gives a defined result;
// divisions truncate toward zero. No samples: 0.
int robust_mean_dbm(const std::vector<int32_t>& samples);

}  // namespace rrm
