#include "Neighbour.h"

#include "ApEntry.h"
#include "ChannelPlan.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"

#include <atomic>
#include <cmath>
#include <string>

namespace rrm {

Neighbour::Neighbour(int dbm_signal, int channel, int band, int bandwidth, int tx_power,
                     int primary)
    : dbm_signal(dbm_signal),
      channel(channel),
      band(band),
      bandwidth(bandwidth),
      tx_power(tx_power),
      primary(primary)
{
}

Neighbour::Neighbour(int dbm_signal, int channel, int bandwidth, int tx_power, int primary)
    : Neighbour(dbm_signal, channel, BAND_NONE, bandwidth, tx_power, primary)
{
}

bool Neighbour::operator==(const Neighbour& other) const
{
    return dbm_signal == other.dbm_signal && channel == other.channel && band == other.band &&
           bandwidth == other.bandwidth && tx_power == other.tx_power &&
           primary == other.primary;
}

void Neighbour::to_json(JsonWriter& object) const
{
    object.add_int("dbm-signal", dbm_signal);
    object.add_int("channel", channel);
    object.add_int("band", band);
    object.add_int("bandwidth", bandwidth);
    object.add_int("tx-power", tx_power);
    object.add_int("primary", primary);
}

namespace {

uint64_t next_version()
{
    static std::atomic<uint64_t> changes{0};
    return changes.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

// ---- Heard index -------------------------------------------------------------

void HeardIndex::add(const MacAddress& bssid, const Hearer& hearer)
{
    by_bssid_[bssid].push_back(hearer);
}

void HeardIndex::remove(const MacAddress& bssid, const MacAddress& key)
{
    auto it = by_bssid_.find(bssid);
    if (it == by_bssid_.end())
        return;
    std::vector<Hearer>& hearers = it->second;
    for (std::size_t i = 0; i < hearers.size(); ++i) {
        if (hearers[i].key == key) {
            hearers[i] = hearers.back();
            hearers.pop_back();
            break;
        }
    }
    if (hearers.empty())
        by_bssid_.erase(it);
}

const std::vector<HeardIndex::Hearer>* HeardIndex::hearers_of(const MacAddress& bssid) const
{
    auto it = by_bssid_.find(bssid);
    return it == by_bssid_.end() ? nullptr : &it->second;
}

std::size_t HeardIndex::pair_count() const
{
    std::size_t pairs = 0;
    for (const auto& entry : by_bssid_)
        pairs += entry.second.size();
    return pairs;
}

// ---- Neighbour map -------------------------------------------------------------

// A copy holds the set its source held under that version.
NeighbourMap::NeighbourMap(const NeighbourMap& other) : table(other.table), version(other.version)
{
}

NeighbourMap::NeighbourMap(NeighbourMap&& other) noexcept
{
    // The source's watchers see it emptied.
    other.report_all_removed();
    table = std::move(other.table);
    version = other.version;
    other.table.clear();
    other.version = next_version();
}

NeighbourMap& NeighbourMap::operator=(const NeighbourMap& other)
{
    if (this != &other)
        replace_table(Table(other.table));
    return *this;
}

NeighbourMap& NeighbourMap::operator=(NeighbourMap&& other)
{
    if (this != &other) {
        other.report_all_removed();
        Table taken = std::move(other.table);
        other.table.clear();
        other.version = next_version();
        replace_table(std::move(taken));
    }
    return *this;
}

void NeighbourMap::insert(const MacAddress& bssid, const Neighbour& record)
{
    if (table.emplace(bssid, record).second) {
        version = next_version();
        report_added(bssid);
    }
}

void NeighbourMap::clear()
{
    report_all_removed();
    table.clear();
    version = next_version();
}

void NeighbourMap::watch(HeardIndex& index, const HeardIndex::Hearer& as)
{
    watches_.push_back(Watch{&index, as});
    for (const Entry& entry : table)
        index.add(entry.first, as);
}

void NeighbourMap::unwatch(HeardIndex& index, const MacAddress& key)
{
    for (auto it = watches_.begin(); it != watches_.end(); ++it) {
        if (it->index == &index && it->as.key == key) {
            for (const Entry& entry : table)
                index.remove(entry.first, key);
            watches_.erase(it);
            return;
        }
    }
}

void NeighbourMap::report_added(const MacAddress& bssid) const
{
    for (const Watch& w : watches_)
        w.index->add(bssid, w.as);
}

void NeighbourMap::report_all_removed() const
{
    for (const Watch& w : watches_)
        for (const Entry& entry : table)
            w.index->remove(entry.first, w.as.key);
}

void NeighbourMap::report_all_added() const
{
    for (const Watch& w : watches_)
        for (const Entry& entry : table)
            w.index->add(entry.first, w.as);
}

void NeighbourMap::replace_table(Table&& replacement)
{
    report_all_removed();
    table.swap(replacement);
    version = next_version();
    report_all_added();
}

bool NeighbourMap::contains_radio_of(const ApEntry& ap) const
{
    for (const Radio& radio : ap.radios.radios)
        if (find_mac_with_retry(table, radio.mac) != table.end())
            return true;
    return false;
}

std::vector<const NeighbourMap::Entry*> NeighbourMap::sorted() const
{
    return entries_by_mac(table);
}

void NeighbourMap::to_json(JsonWriter& array) const
{
    if (array.is_null())
        return;
    for (const Entry* entry : sorted()) {
        JsonWriter object = array.add_object("");
        object.add_string("mac", mac_to_string(entry->first).c_str());
        entry->second.to_json(object);
    }
}

void NeighbourMap::restore(const JsonReader& array)
{
    const int count = array.size();
    for (int i = 0; i < count; ++i) {
        const JsonReader element = array.child(i);
        if (element.is_null())
            continue;
        const MacAddress mac = mac_from_string(element.get_string("mac"));
        const int channel = element.get_int("channel");
        int band;
        if (element.has("band")) {
            band = element.get_int("band");
        } else {
            band = infer_band(channel);
            if (band == BAND_NONE)
                RRM_DEBUG("neighbour state entry without band: mac=%s channel=%d",
                          mac_to_string(mac).c_str(), channel);
        }
        insert(mac, Neighbour(element.get_int("dbm-signal"), channel, band,
                              element.get_int("bandwidth"), element.get_int("tx-power"),
                              element.get_int("primary")));
    }
}

void NeighbourMap::merge_scans(const std::vector<NeighbourMap>& scans)
{
    struct Heard {
        std::vector<int32_t> samples;
        const Neighbour* latest = nullptr;
    };
    std::unordered_map<MacAddress, Heard, MacHash> heard;
    for (const NeighbourMap& scan : scans) {
        for (const Entry& entry : scan.table) {
            Heard& h = heard[entry.first];
            h.samples.push_back(entry.second.dbm_signal);
            h.latest = &entry.second;  // later scans overwrite: the last one wins
        }
    }

    // Built aside, so that a scan table that is this very table still reads
    // whole.
    Table merged;
    merged.reserve(heard.size());
    for (const auto& item : heard) {
        Neighbour record = *item.second.latest;
        record.dbm_signal = robust_mean_dbm(item.second.samples);
        merged.emplace(item.first, record);
    }
    replace_table(std::move(merged));
}

namespace {

// |a - b| for any two values of 32-bit samples and their means.
uint64_t distance(int64_t a, int64_t b)
{
    return a >= b ? static_cast<uint64_t>(a - b) : static_cast<uint64_t>(b - a);
}

// Tolerance around a mean: the integer part of (standard deviation + 1),
// never below 1. A variance of 32-bit samples stays below 2^64, its root
// below 2^32.
int64_t tolerance(unsigned __int128 squares, uint64_t count)
{
    const auto variance = static_cast<uint64_t>(squares / count);
    return static_cast<int64_t>(std::sqrt(static_cast<double>(variance)) + 1.0);
}

}  // namespace

int robust_mean_dbm(const std::vector<int32_t>& samples)
{
    const uint64_t n = samples.size();
    if (n == 0)
        return 0;

    int64_t sum = 0;
    for (int32_t s : samples)
        sum += s;
    const int64_t m0 = sum / static_cast<int64_t>(n);

    unsigned __int128 squares = 0;
    for (int32_t s : samples) {
        const uint64_t d = distance(s, m0);
        squares += static_cast<unsigned __int128>(d) * d;
    }
    const int64_t t0 = tolerance(squares, n);

    // The kept set lies around the first mean; only the tolerance of the
    // second pass is measured from the second mean.
    uint64_t kept = 0;
    int64_t kept_sum = 0;
    for (int32_t s : samples) {
        if (distance(s, m0) <= static_cast<uint64_t>(t0)) {
            ++kept;
            kept_sum += s;
        }
    }

    int64_t m1 = m0;
    if ((kept >= 3 || m0 == 0) && kept > 0)
        m1 = kept_sum / static_cast<int64_t>(kept);

    int64_t t = t0;
    if (kept >= 3) {
        unsigned __int128 kept_squares = 0;
        for (int32_t s : samples) {
            if (distance(s, m0) <= static_cast<uint64_t>(t0)) {
                const uint64_t d = distance(s, m1);
                kept_squares += static_cast<unsigned __int128>(d) * d;
            }
        }
        t = tolerance(kept_squares, kept);
    }

    int64_t result_sum = 0;
    int64_t result_count = 0;
    for (int32_t s : samples) {
        if (distance(s, m1) <= static_cast<uint64_t>(t)) {
            result_sum += s;
            ++result_count;
        }
    }
    if (result_count == 0)
        return 0;
    // A mean of 32-bit values fits 32 bits.
    return static_cast<int>(result_sum / result_count);
}

}  // namespace rrm
