#include "ChannelHistogram.h"

#include "ApEntry.h"
#include "ChannelPlan.h"
#include "Radio.h"

#include <cstdlib>
#include <limits>

namespace rrm {

namespace {

constexpr int64_t INT32_TOP = std::numeric_limits<int32_t>::max();
constexpr int64_t INT32_BOTTOM = std::numeric_limits<int32_t>::min();

int32_t saturate(int64_t value)
{
    if (value > INT32_TOP)
        return static_cast<int32_t>(INT32_TOP);
    if (value < INT32_BOTTOM)
        return static_cast<int32_t>(INT32_BOTTOM);
    return static_cast<int32_t>(value);
}

bool in_range(int32_t value, int32_t low, int32_t high)
{
    return value >= low && value <= high;
}

struct Range {
    int32_t low;
    int32_t high;
    int32_t centre;
};

int32_t centre_of(const Range* ranges, std::size_t count, int32_t channel)
{
    for (std::size_t i = 0; i < count; ++i)
        if (in_range(channel, ranges[i].low, ranges[i].high))
            return ranges[i].centre;
    return -1;
}

const Range PAIRS_40[] = {
    {36, 40, 38},    {44, 48, 46},    {52, 56, 54},    {60, 64, 62},
    {100, 104, 102}, {108, 112, 110}, {116, 120, 118}, {124, 128, 126},
    {132, 136, 134}, {140, 144, 142}, {149, 153, 151}, {157, 161, 159},
};

const Range BLOCKS_80[] = {
    {36, 48, 42},    {52, 64, 58},    {100, 112, 106}, {116, 128, 122}, {132, 144, 138},
    {149, 161, 155}, {165, 173, 167}, {174, 189, 183}, {190, 205, 199}, {206, 221, 215},
};

const Range BLOCKS_160[] = {
    {36, 64, 50},
    {100, 128, 114},
    {165, 189, 175},
    {190, 221, 207},
};

const int32_t CENTRES_320[] = {31, 63, 95, 127, 159, 191, 223};

// 30 % and 70 % of a weight, truncated towards zero.
int64_t percent_30(int64_t weight)
{
    return 3 * weight / 10;
}

int64_t percent_70(int64_t weight)
{
    return 7 * weight / 10;
}

}  // namespace

void ChannelHistogram::add_ap_neighbours(const ApEntry& ap, const Radio& radio)
{
    add_neighbours(ap.visible_members, radio);
    add_neighbours(ap.visible_rogue, radio);
}

void ChannelHistogram::add_neighbours(const NeighbourMap& neighbours, const Radio& radio)
{
    const int32_t band = radio.get_band();
    for (const auto& entry : neighbours) {
        if (entry.first == radio.mac)
            continue;
        const int32_t heard_band = entry.second.band;
        if (band == BAND_6G) {
            if (heard_band != BAND_6G)
                continue;
        } else if (band != BAND_NONE) {
            if (heard_band != band && heard_band != BAND_NONE)
                continue;
        }
        add_neighbour(entry.second);
    }
}

void ChannelHistogram::add_neighbour(const Neighbour& record)
{
    if (record.channel < 1)
        return;
    // A neighbour at the noise floor or below weighs nothing: a negative
    // weight would make its channel look quieter than silence.
    const int64_t weight = int64_t{record.dbm_signal} + 100;
    if (weight <= 0)
        return;
    const int32_t w = saturate(weight);
    switch (record.bandwidth) {
    case 20:
        add_mask_20mhz(w, record.channel);
        break;
    case 40:
        add_mask_40mhz(w, record.channel, record.primary);
        break;
    case 80:
        add_mask_80mhz(w, record.channel);
        break;
    case 160:
        add_mask_160mhz(w, record.channel);
        break;
    case 320:
        add_mask_320mhz(w, record.channel);
        break;
    default:
        break;
    }
}

void ChannelHistogram::add_clamped(int64_t channel, int64_t value)
{
    if (channel < LOWEST_CHANNEL || channel > HIGHEST_CHANNEL)
        return;
    int32_t& bin = bins[static_cast<std::size_t>(channel + CHANNEL_OFFSET)];
    bin = saturate(int64_t{bin} + value);
}

void ChannelHistogram::add_mask(int64_t centre, int32_t half, int32_t weight)
{
    const int64_t full = weight;
    const int64_t outer = percent_70(weight);
    const int64_t edge = percent_30(weight);
    for (int64_t ch = centre - (half - 2); ch <= centre + (half - 2); ++ch)
        add_clamped(ch, full);
    add_clamped(centre - (half - 1), outer);
    add_clamped(centre + (half - 1), outer);
    add_clamped(centre - half, edge);
    add_clamped(centre + half, edge);
}

void ChannelHistogram::add_mask_20mhz(int32_t weight, int32_t channel)
{
    if (valid_channel(channel) < 0)
        return;
    add_mask(channel, 2, weight);
}

void ChannelHistogram::add_mask_40mhz(int32_t weight, int32_t channel, int32_t primary)
{
    const int32_t centre = center_40mhz(channel, primary);
    if (centre < 0)
        return;
    add_mask(centre, 4, weight);
    add_mask_20mhz(weight, channel);
}

void ChannelHistogram::add_mask_80mhz(int32_t weight, int32_t channel)
{
    const int32_t centre = center_80mhz(channel);
    if (centre < 0)
        return;
    add_mask(centre, 8, weight);
    add_mask_20mhz(weight, channel);
}

void ChannelHistogram::add_mask_160mhz(int32_t weight, int32_t channel)
{
    const int32_t centre = center_160mhz(channel);
    if (centre < 0)
        return;
    add_mask(centre, 16, weight);
    add_mask_20mhz(weight, channel);
}

void ChannelHistogram::add_mask_320mhz(int32_t weight, int32_t channel)
{
    const int32_t centre = center_320mhz(channel);
    if (centre < 0)
        return;
    add_mask(centre, 32, weight);
    add_mask_20mhz(weight, channel);
}

int32_t ChannelHistogram::channel_cost(int32_t channel, int32_t bandwidth,
                                       int32_t primary) const
{
    // No width fits a channel above 233; without this a 40 MHz centre two
    // channels further on would be scored against the empty bins below 0.
    if (channel > 233)
        return -1;
    int32_t centre;
    int32_t half;
    switch (bandwidth) {
    case 40:
        centre = center_40mhz(channel, primary);
        half = 4;
        break;
    case 80:
        centre = center_80mhz(channel);
        half = 8;
        break;
    case 160:
        centre = center_160mhz(channel);
        half = 16;
        break;
    case 320:
        centre = center_320mhz(channel);
        half = 32;
        break;
    default: {
        if (valid_channel(channel) < 0)
            return -1;
        int64_t cost = window_sum(channel, 2);
        // A width the model does not know counts its own channel twice.
        if (bandwidth != 20)
            cost += window_sum(channel, 2);
        return saturate(cost);
    }
    }
    if (centre < 0)
        return -1;
    return saturate(int64_t{window_sum(centre, half)} + window_sum(channel, 2));
}

int32_t ChannelHistogram::best_channel(const std::unordered_set<int>& available,
                                       int32_t current, int32_t bandwidth, int32_t primary,
                                       int32_t dca_threshold, bool ignore_threshold) const
{
    // A threshold of 100 or more, or a negative one, would make every move
    // (or none) pass; it counts as no threshold.
    const int64_t factor =
        ignore_threshold || static_cast<uint32_t>(dca_threshold) >= 100 ? 100
                                                                        : 100 - dca_threshold;
    bool scored = false;
    int32_t best = 0;
    int32_t best_cost = 0;
    bool current_scored = false;
    int32_t current_cost = 0;
    for (int channel : available) {
        const int32_t cost = channel_cost(channel, bandwidth, primary);
        if (cost < 0)
            continue;
        if (channel == current) {
            current_scored = true;
            current_cost = cost;
        }
        if (!scored || cost < best_cost) {
            scored = true;
            best = channel;
            best_cost = cost;
        }
    }
    if (!scored)
        return 0;
    if (!current_scored)
        return best;
    return int64_t{current_cost} * factor / 100 <= best_cost ? current : best;
}

int32_t ChannelHistogram::valid_channel(int32_t channel)
{
    return in_range(channel, 1, 13) || in_range(channel, 36, 233) ? channel : -1;
}

int32_t ChannelHistogram::center_40mhz_5ghz(int32_t channel)
{
    return centre_of(PAIRS_40, sizeof PAIRS_40 / sizeof PAIRS_40[0], channel);
}

int32_t ChannelHistogram::center_40mhz(int32_t channel, int32_t primary)
{
    const bool upper = primary == PRIMARY_UPPER;
    if (in_range(channel, 1, 35)) {
        const int32_t centre = upper ? channel - 2 : channel + 2;
        return in_range(centre, 3, 11) ? centre : -1;
    }
    if (in_range(channel, 36, 164))
        return center_40mhz_5ghz(channel);
    if (channel >= 165) {
        if (upper)
            return channel - 2;
        return channel <= std::numeric_limits<int32_t>::max() - 2 ? channel + 2 : -1;
    }
    return -1;
}

int32_t ChannelHistogram::center_80mhz(int32_t channel)
{
    return centre_of(BLOCKS_80, sizeof BLOCKS_80 / sizeof BLOCKS_80[0], channel);
}

int32_t ChannelHistogram::center_160mhz(int32_t channel)
{
    return centre_of(BLOCKS_160, sizeof BLOCKS_160 / sizeof BLOCKS_160[0], channel);
}

int32_t ChannelHistogram::center_320mhz(int32_t channel)
{
    if (!in_range(channel, 1, 233))
        return -1;
    int32_t best = CENTRES_320[0];
    for (int32_t centre : CENTRES_320)
        if (std::abs(channel - centre) < std::abs(channel - best))
            best = centre;
    return std::abs(channel - best) <= MAX_HALF_WIDTH ? best : -1;
}

int32_t ChannelHistogram::add_bin(int32_t channel, int32_t value)
{
    if (!in_range(channel, LOWEST_CHANNEL, HIGHEST_CHANNEL))
        return -1;
    add_clamped(channel, value);
    return channel + CHANNEL_OFFSET;
}

int32_t ChannelHistogram::window_sum(int32_t channel, int32_t half_width) const
{
    if (!in_range(channel, LOWEST_CHANNEL, HIGHEST_CHANNEL) ||
        !in_range(half_width, 0, MAX_HALF_WIDTH))
        return 0;
    const int32_t centre = channel + CHANNEL_OFFSET;
    const int32_t first = centre - half_width < 0 ? 0 : centre - half_width;
    const int32_t last = centre + half_width > BIN_COUNT - 1 ? BIN_COUNT - 1 : centre + half_width;
    int64_t sum = 0;
    for (int32_t b = first; b <= last; ++b)
        sum += bins[static_cast<std::size_t>(b)];
    return saturate(sum);
}

}  // namespace rrm
