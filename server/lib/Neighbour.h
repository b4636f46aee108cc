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

// Who hears which BSSID among the APs of one AP map: for every BSSID in
// the visible members of the map's APs, the APs that hold it, each by its
// key in the map and its own MAC. The map has its APs' visible members
// report every BSSID that enters or leaves them (NeighbourMap::watch), so
// the index follows each scan view whoever changes it. Never dereferences
// an AP.
class HeardIndex {
public:
    struct Hearer {
        MacAddress key;       // the AP's key in the map: one AP per key
        MacAddress base_mac;  // the AP's own MAC
    };

    HeardIndex() { by_bssid_.max_load_factor(1.0f); }

    void add(const MacAddress& bssid, const Hearer& hearer);
    void remove(const MacAddress& bssid, const MacAddress& key);
    // The APs that hold the BSSID exactly as written; null when none does.
    const std::vector<Hearer>* hearers_of(const MacAddress& bssid) const;

    // Distinct BSSIDs heard.
    std::size_t size() const { return by_bssid_.size(); }
    // Every (BSSID, hearer) pair, for checks.
    std::size_t pair_count() const;

private:
    std::unordered_map<MacAddress, std::vector<Hearer>, MacHash> by_bssid_;
};

class NeighbourMap {
public:
    using Table = std::unordered_map<MacAddress, Neighbour, MacHash>;
    using Entry = Table::value_type;

    // The records' values may be changed in place; the keys change only
    // through the operations below, which tell the watching heard indexes.
    Table table;
    // Marks each change of the set of heard BSSIDs made through the
    // operations below (a record changed in place, a channel say, is no
    // change of the set) with a number drawn from one process-wide count,
    // so no two changes of any two tables share one; a copy keeps its
    // source's number (it holds that set), a table never changed has 0 (it
    // is empty). Whoever keeps an index of who hears whom tells by it
    // whether the index still holds. Change the set only through these
    // operations.
    uint64_t version = 0;

    NeighbourMap() = default;
    // Copies and moved-to tables start unwatched; an assignment replaces
    // the keys as the watchers see them.
    NeighbourMap(const NeighbourMap& other);
    NeighbourMap(NeighbourMap&& other) noexcept;
    NeighbourMap& operator=(const NeighbourMap& other);
    NeighbourMap& operator=(NeighbourMap&& other);
    ~NeighbourMap() = default;

    // The first record of a BSSID stays.
    void insert(const MacAddress& bssid, const Neighbour& record);
    void clear();

    // Reports the table's BSSIDs to `index` as heard by `as`, now and at
    // every change until unwatch; an AP map does this for each AP it holds.
    void watch(HeardIndex& index, const HeardIndex::Hearer& as);
    // Takes the table's BSSIDs out of `index` again (the hearer with that
    // key) and stops reporting to it.
    void unwatch(HeardIndex& index, const MacAddress& key);
    bool watched() const { return !watches_.empty(); }

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

private:
    struct Watch {
        HeardIndex* index;
        HeardIndex::Hearer as;
    };
    void report_added(const MacAddress& bssid) const;
    void report_all_removed() const;
    void report_all_added() const;
    // Replaces the table, the watchers told of the keys that go and come.
    void replace_table(Table&& replacement);

    std::vector<Watch> watches_;
};

// Integer mean of signal samples that first drops the samples lying far
// from the rest (a passing burst of interference in one scan). The sums are
// taken in 64 and 128 bits, so any 32-bit sample gives a defined result;
// divisions truncate toward zero. No samples: 0.
int robust_mean_dbm(const std::vector<int32_t>& samples);

}  // namespace rrm
