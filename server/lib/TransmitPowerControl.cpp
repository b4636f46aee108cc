#include "TransmitPowerControl.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "ChannelAssignment.h"
#include "ChannelPlan.h"
#include "DomainConfig.h"
#include "Radio.h"
#include "RadioList.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace rrm {

namespace {

// Base MAC, and per radio its MAC and up to 16 VAP MACs.
constexpr std::size_t INDEX_ROOM_PER_AP = 52;

bool in_range(int32_t value, int32_t low, int32_t high)
{
    return value >= low && value <= high;
}

// Channel numbers come from APs: their distance is taken in 64 bits.
bool within(int32_t first, int32_t second, int64_t distance)
{
    return std::llabs(int64_t{first} - second) <= distance;
}

struct Block {
    int32_t low;
    int32_t high;
    int32_t centre;
};

const Block BLOCKS_80[] = {
    {36, 48, 42}, {52, 64, 58}, {100, 112, 106}, {116, 128, 122}, {132, 144, 138}, {149, 161, 155},
};

const Block BLOCKS_160[] = {
    {36, 64, 50},
    {100, 128, 114},
};

const int32_t CENTRES_320[] = {31, 63, 95, 127, 159, 191, 223};

// The 5 GHz centre of a block, else the regular grid of 2^bits channels,
// else (outside 1..233) the channel itself.
template <std::size_t N>
int32_t block_centre(const Block (&blocks)[N], int32_t channel, int32_t bits)
{
    for (const Block& block : blocks)
        if (in_range(channel, block.low, block.high))
            return block.centre;
    if (!in_range(channel, 1, 233))
        return channel;
    return ((channel - 1) & ~((1 << bits) - 1)) + (1 << (bits - 1)) - 1;
}

// The band a record or radio counts in: its own, else its channel's.
int32_t band_or_inferred(int32_t band, int32_t channel)
{
    return band != BAND_NONE ? band : infer_band(channel);
}

// Per radio id of the viewing AP: the thresholds its radios lend to the
// records they hear.
struct Thresholds {
    int32_t upper = 0;      // threshold + hysteresis
    int32_t threshold = 0;
    bool valid = false;
};

bool takes_part(const Radio& radio)
{
    return radio.status && radio.locked_tpc == 0 && !radio.available_channels.empty();
}

// The radio of `ap` that hears a record of band b on `channel` (width
// `width`): with HD mode the first enabled radio of that band whose channel
// overlaps the record's at the wider of the two widths; without, the first
// enabled radio of that band on the same channel, else the first enabled
// radio of that band.
const Radio* viewer_radio(const ApEntry& ap, int32_t band, int32_t channel, int32_t width,
                          bool hd_mode)
{
    const Radio* same_band = nullptr;
    for (const Radio& radio : ap.radios.radios) {
        if (!radio.status || radio.get_band() != band)
            continue;
        if (hd_mode) {
            if (Tpc::channels_overlap(band, radio.channel, channel,
                                      std::max(radio.bandwidth, width)))
                return &radio;
            continue;
        }
        if (radio.channel == channel)
            return &radio;
        if (!same_band)
            same_band = &radio;
    }
    return hd_mode ? nullptr : same_band;
}

// Whether the AP behind a record counts as a neighbour of `radio` (band b)
// in the raising pass: it has a radio of that band on a channel.
bool neighbour_qualifies(const ApEntry& heard, const Radio& radio, int32_t band, bool hd_mode)
{
    if (hd_mode) {
        for (const Radio& other : heard.radios.radios) {
            if (!other.status || other.get_band() != band)
                continue;
            if (Tpc::channels_overlap(band, other.channel, radio.channel,
                                      std::max(other.bandwidth, radio.bandwidth)))
                return other.channel != 0;
        }
        return false;
    }
    const Radio* first = nullptr;
    for (const Radio& other : heard.radios.radios) {
        if (!other.status || other.get_band() != band)
            continue;
        if (other.channel == radio.channel)
            return radio.channel != 0;
        if (!first)
            first = &other;
    }
    return first && first->channel != 0;
}

}  // namespace

int32_t Tpc::center_80mhz(int32_t channel)
{
    return block_centre(BLOCKS_80, channel, 4);
}

int32_t Tpc::center_160mhz(int32_t channel)
{
    return block_centre(BLOCKS_160, channel, 5);
}

int32_t Tpc::center_320mhz(int32_t channel)
{
    if (!in_range(channel, 1, 233))
        return channel;
    int32_t best = CENTRES_320[0];
    for (int32_t centre : CENTRES_320)
        if (std::abs(channel - centre) < std::abs(channel - best))
            best = centre;
    return std::abs(channel - best) <= 32 ? best : channel;
}

bool Tpc::channels_overlap(int32_t band, int32_t first, int32_t second, int32_t width)
{
    if (band == BAND_5G) {
        switch (width) {
        case 40:
            return get_40mhz_center_channel(first) == get_40mhz_center_channel(second);
        case 80:
            return center_80mhz(first) == center_80mhz(second);
        case 160:
            return center_160mhz(first) == center_160mhz(second);
        case 320:
            return center_320mhz(first) == center_320mhz(second);
        default:
            return first == second;
        }
    }
    if (band == BAND_6G) {
        switch (width) {
        case 40:
            return within(first, second, 7);
        case 80:
            return within(first, second, 15);
        case 160:
            return within(first, second, 31);
        case 320:
            return within(first, second, 63);
        default:
            return within(first, second, 3);
        }
    }
    return width == 40 || within(first, second, 3);
}

void Tpc::build_index(const ApMap& snapshot, MacIndex& index)
{
    index.reserve(snapshot.table.size() * INDEX_ROOM_PER_AP);
    for (const auto& entry : snapshot.table) {
        ApEntry* ap = entry.second.get();
        index.emplace(ap->base_mac, ap);
        for (const Radio& radio : ap->radios.radios) {
            if (radio.mac != ap->base_mac)
                index.emplace(radio.mac, ap);
            for (const auto& vap : radio.vaps)
                index.emplace(vap.second.mac, ap);
        }
    }
}

ApEntry* Tpc::find_ap(const MacIndex& index, const MacAddress& bssid)
{
    auto it = find_mac_with_retry(index, bssid);
    return it == index.end() ? nullptr : it->second;
}

void Tpc::run(ApMap& snapshot, const DomainConfig& settings, RadioResultMap& out)
{
    MacIndex index;
    build_index(snapshot, index);
    lower_power_pass(snapshot, settings, out, index);
    raise_power_pass(snapshot, settings, out, index);
}

void Tpc::lower_power_pass(ApMap& snapshot, const DomainConfig& settings, RadioResultMap& out,
                           const MacIndex& index)
{
    for (auto& entry : snapshot.table) {
        ApEntry& viewer = *entry.second;
        if (!viewer.radios.is_ready())
            continue;
        std::array<Thresholds, 3> thresholds{};
        for (const Radio& radio : viewer.radios.radios)
            if (radio.id < thresholds.size() && takes_part(radio))
                thresholds[radio.id] = {radio.get_rssi_threshold(0), radio.get_rssi_threshold(1),
                                        true};

        for (const auto& heard : viewer.visible_members) {
            const Neighbour& record = heard.second;
            const int32_t band = band_or_inferred(record.band, record.channel);
            if (band == BAND_NONE)
                continue;
            const Radio* own = viewer_radio(viewer, band, record.channel, record.bandwidth,
                                            settings.use_hd_mode);
            if (!own || own->id >= thresholds.size())
                continue;
            const Thresholds& limit = thresholds[own->id];
            if (!limit.valid || record.dbm_signal <= limit.upper)
                continue;
            ApEntry* loud = find_ap(index, heard.first);
            // An AP never turns itself down for hearing its own BSSs.
            if (!loud || loud == &viewer || !loud->radios.is_ready())
                continue;
            loud->radios.mark_conflicted(record.channel, band);
            if (loud->radios.lower_power(record.channel, record.dbm_signal, limit.threshold,
                                         band) != 0)
                store_result_if_lower(out, loud->base_mac, loud->radios.radios);
        }
    }
}

void Tpc::raise_power_pass(ApMap& snapshot, const DomainConfig& settings, RadioResultMap& out,
                           const MacIndex& index)
{
    const Context context{index, settings, out};
    for (auto& entry : snapshot.table)
        raise_ap_power(context, entry.first, *entry.second);
}

void Tpc::raise_ap_power(const Context& context, const MacAddress& ap_mac, ApEntry& ap)
{
    if (!ap.radios.is_ready())
        return;
    const bool hd_mode = context.settings.use_hd_mode;
    bool changed = false;
    for (Radio& radio : ap.radios.radios) {
        if (radio.conflicted || !takes_part(radio))
            continue;
        const int32_t band = band_or_inferred(radio.get_band(), radio.channel);
        if (band == BAND_NONE)
            continue;
        const int32_t threshold = radio.get_rssi_threshold(1);
        const int32_t lower = radio.get_rssi_threshold(2);
        // Nobody suitable heard: the radio goes to its upper bound.
        int32_t best = -100;
        int32_t best_threshold = 0;
        int32_t best_lower = 0;
        for (const auto& heard : ap.visible_members) {
            const Neighbour& record = heard.second;
            if (record.dbm_signal <= best)
                continue;
            if (record.band != BAND_NONE && record.band != band)
                continue;
            if (band == BAND_6G && record.band == BAND_NONE)
                continue;
            const ApEntry* neighbour = find_ap(context.index, heard.first);
            if (!neighbour || neighbour == &ap || !neighbour->radios.is_ready())
                continue;
            if (!neighbour_qualifies(*neighbour, radio, band, hd_mode))
                continue;
            best = record.dbm_signal;
            best_threshold = threshold;
            best_lower = lower;
        }
        if (radio.raise_power(best, best_threshold, best_lower) != 0)
            changed = true;
    }
    if (changed)
        context.out[ap_mac] = ap.radios.radios;
}

void store_result_if_lower(RadioResultMap& results, const MacAddress& ap,
                           const std::vector<Radio>& radios)
{
    auto it = results.find(ap);
    if (it == results.end()) {
        results.emplace(ap, radios);
        return;
    }
    if (RadioList::has_lower_power(radios, it->second))
        it->second = radios;
}

void run_power_step(ApMap& snapshot, const DomainConfig& settings, bool use_tpc,
                    RadioResultMap& dca_results, RadioResultMap& results)
{
    if (!use_tpc) {
        if (!dca_results.empty())
            results = std::move(dca_results);
        return;
    }
    Tpc::run(snapshot, settings, results);
    for (auto& entry : dca_results)
        if (results.find(entry.first) == results.end())
            results.emplace(entry.first, std::move(entry.second));
}

}  // namespace rrm
