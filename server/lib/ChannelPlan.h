#pragma once
// Bands of channel numbers and the 5 GHz / 6 GHz channel-bonding plans that
// place the primary 20 MHz channel inside a wider channel.

#include <cstddef>
#include <cstdint>

namespace rrm {

enum Band : int32_t {
    BAND_NONE = 0,
    BAND_2G = 2,
    BAND_5G = 5,
    BAND_6G = 6,
};

// Position of the primary 20 MHz channel. At 40, 160 and 320 MHz only
// "lower" and "upper" exist; at 80 MHz the four quarters.
enum PrimaryChannel : int32_t {
    PRIMARY_NONE = 0,
    PRIMARY_LOWER = 256,
    PRIMARY_UPPER = 512,
    PRIMARY_LL = 256,
    PRIMARY_LU = 512,
    PRIMARY_UL = 768,
    PRIMARY_UU = 1024,
};

// The band a channel number alone points to: 1..14 → 2, 36..165 → 5,
// 166..233 → 6, anything else → 0.
int32_t infer_band(int32_t channel);

// The band of a channel as a radio with band `band` may use it (scan lists,
// channel sets): a 6 GHz channel above 165 counts only on a 6 GHz radio.
int32_t channel_band(int32_t band, int32_t channel);

// The band written to APs for a channel of a radio with band `band`.
int32_t advertised_band(int32_t band, int32_t channel);

bool primary_channel_valid(int32_t bandwidth, int32_t code);
// A static text: "none", "lower"/"upper", or "ll"/"lu"/"ul"/"uu" at 80 MHz.
const char* primary_channel_text(int32_t bandwidth, int32_t code);

// The primary-channel code that fits `channel` at `bandwidth` on a radio of
// `band`, starting from the stored `code` (kept where the channel alone
// cannot decide, when it is valid for the width).
int32_t normalize_primary_channel(int32_t channel, int32_t band, int32_t bandwidth, int32_t code);

// One width of the 5 GHz bonding plan: the channel groups that share one
// wide channel. A channel in no group falls back to the regular grid of
// 2^grid_bits channel numbers.
struct ChannelBondingPlan {
    int32_t bandwidth;
    int32_t group_size;     // consecutive channel numbers per group
    int32_t centre_offset;  // centre = group start + this
    int32_t grid_bits;      // fallback centre = ((ch - 1) & ~(2^bits - 1)) + 2^(bits-1) - 1
    const int32_t* group_starts;
    std::size_t group_count;
};

extern const ChannelBondingPlan CHANNEL_BONDING_PLANS[2];  // 40 and 80 MHz

}  // namespace rrm
