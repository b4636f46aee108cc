#pragma once
// The interference model of the channel assignment: what one AP hears,
// spread over a channel axis by each neighbour's width and weighted by its
// signal, and the cost of every channel a radio of that AP could take.
//
// A plain value type: no logging, no allocation, no state beyond its bins.
// Used only on the optimisation thread, one histogram per run, cleared and
// refilled for every radio.

#include "Neighbour.h"

#include <array>
#include <cstdint>
#include <unordered_set>

namespace rrm {

class ApEntry;
class Radio;

class ChannelHistogram {
public:
    // Bin b stands for channel number b - 8, so the bins cover the channels
    // -8 .. 266: every span a mask or a window of a channel 1..233 can reach.
    static constexpr int32_t BIN_COUNT = 275;
    static constexpr int32_t CHANNEL_OFFSET = 8;
    static constexpr int32_t LOWEST_CHANNEL = -CHANNEL_OFFSET;
    static constexpr int32_t HIGHEST_CHANNEL = BIN_COUNT - 1 - CHANNEL_OFFSET;
    // The widest half span a mask or window has (320 MHz).
    static constexpr int32_t MAX_HALF_WIDTH = 32;

    // Never negative while only neighbours are added: a neighbour weighs at
    // least 0, and additions saturate at the int32 maximum.
    std::array<int32_t, BIN_COUNT> bins{};

    void clear() { bins.fill(0); }

    // The AP's member neighbours, then its foreign ones, as heard by the
    // band of `radio`.
    void add_ap_neighbours(const ApEntry& ap, const Radio& radio);
    // The cheapest channel of `available` for a radio of that width and
    // primary position; 0 when none of them can be scored. The radio keeps
    // `current` unless a channel is strictly cheaper, or, with the threshold
    // in force (ignore_threshold false and dca_threshold 0..99), unless the
    // best costs less than (100 - dca_threshold) % of the current channel.
    int32_t best_channel(const std::unordered_set<int>& available, int32_t current,
                         int32_t bandwidth, int32_t primary, int32_t dca_threshold,
                         bool ignore_threshold) const;

    // Records of one neighbour table, skipping the radio's own MAC and the
    // bands the radio does not share: a 6 GHz radio takes only 6 GHz records,
    // a radio without band every record, any other radio its own band and
    // records without band.
    void add_neighbours(const NeighbourMap& neighbours, const Radio& radio);
    // One heard BSSID, weighted by its signal above -100 dBm: a record at
    // -100 dBm or below weighs nothing, as does one on no channel or of a
    // width without a mask.
    void add_neighbour(const Neighbour& record);

    // Masks of one weight: 100 % over the channel's core, 70 % and 30 % on
    // the two channels beyond each edge. The wide masks add the 20 MHz mask
    // of the primary channel on top, and nothing at all when the channel has
    // no centre at that width.
    void add_mask_20mhz(int32_t weight, int32_t channel);
    void add_mask_40mhz(int32_t weight, int32_t channel, int32_t primary);
    void add_mask_80mhz(int32_t weight, int32_t channel);
    void add_mask_160mhz(int32_t weight, int32_t channel);
    void add_mask_320mhz(int32_t weight, int32_t channel);

    // The sum over the span a radio of that width would occupy on the
    // channel, plus the 20 MHz span of the channel itself for every width
    // but 20 MHz; -1 when the channel does not fit the width (no centre, or
    // a channel outside 1..13 and 36..233).
    int32_t channel_cost(int32_t channel, int32_t bandwidth, int32_t primary) const;

    // Channel plan of the histogram; every function returns -1 for "none".
    // The channel itself when it is 1..13 or 36..233.
    static int32_t valid_channel(int32_t channel);
    // Centre of the 5 GHz 40 MHz pair holding the channel.
    static int32_t center_40mhz_5ghz(int32_t channel);
    // 2.4 GHz (1..35): two channels away from the primary, on 3..11 only;
    // 5 GHz (36..164): the pair's centre; 165 and above: two channels away.
    static int32_t center_40mhz(int32_t channel, int32_t primary);
    static int32_t center_80mhz(int32_t channel);
    static int32_t center_160mhz(int32_t channel);
    // The nearest 320 MHz centre (the lower one on a tie) of a channel
    // 1..233, at most 32 channels away.
    static int32_t center_320mhz(int32_t channel);

    // Adds value (saturating) to the bin of a channel -8..266 and returns
    // the bin's index; -1 and nothing added for any other channel.
    int32_t add_bin(int32_t channel, int32_t value);
    // The sum of the bins channel - half_width .. channel + half_width,
    // clamped to the bins there are, saturated to int32; 0 for a channel
    // outside -8..266 or a half width outside 0..32.
    int32_t window_sum(int32_t channel, int32_t half_width) const;

private:
    // The wide part of a mask: 100 % over centre ± (half - 2), 70 % and 30 %
    // at ± (half - 1) and ± half.
    void add_mask(int64_t centre, int32_t half, int32_t weight);
    void add_clamped(int64_t channel, int64_t value);
};

}  // namespace rrm
