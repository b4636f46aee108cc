#include "ChannelPlan.h"

namespace rrm {

namespace {

const int32_t GROUPS_40[] = {36, 44, 52, 60, 100, 108, 116, 124, 132, 140, 149, 157};
const int32_t GROUPS_80[] = {36, 52, 100, 116, 132, 149};

// Centres of the 6 GHz 320 MHz channels, lowest first.
const int32_t CENTRES_320[] = {31, 63, 95, 127, 159, 191, 223};

bool in_range(int32_t value, int32_t low, int32_t high)
{
    return value >= low && value <= high;
}

int32_t keep_or_clear(int32_t bandwidth, int32_t code)
{
    return primary_channel_valid(bandwidth, code) ? code : PRIMARY_NONE;
}

int32_t grid_centre(int32_t channel, int32_t bits)
{
    return ((channel - 1) & ~((int32_t{1} << bits) - 1)) + (int32_t{1} << (bits - 1)) - 1;
}

int32_t two_way(int32_t channel, int32_t centre, int32_t bandwidth, int32_t code)
{
    if (channel < centre)
        return PRIMARY_LOWER;
    if (channel > centre)
        return PRIMARY_UPPER;
    return keep_or_clear(bandwidth, code);
}

// On the grid of four 20 MHz channels, 4 apart, around the centre.
int32_t four_way(int32_t channel, int32_t centre, int32_t bandwidth, int32_t code)
{
    const int32_t d = channel - centre;
    if (d == 0)
        return keep_or_clear(bandwidth, code);
    if (d < -5)
        return PRIMARY_LL;
    if (d < 0)
        return PRIMARY_LU;
    if (d <= 5)
        return PRIMARY_UL;
    return PRIMARY_UU;
}

int32_t plan_centre(const ChannelBondingPlan& plan, int32_t channel)
{
    for (std::size_t i = 0; i < plan.group_count; ++i) {
        const int32_t start = plan.group_starts[i];
        if (channel >= start && channel < start + plan.group_size)
            return start + plan.centre_offset;
    }
    return grid_centre(channel, plan.grid_bits);
}

int32_t plan_5g(int32_t channel, int32_t bandwidth, int32_t code)
{
    switch (bandwidth) {
    case 40:
    case 80: {
        if (!in_range(channel, 36, 161))
            return keep_or_clear(bandwidth, code);
        const ChannelBondingPlan& plan = CHANNEL_BONDING_PLANS[bandwidth == 40 ? 0 : 1];
        const int32_t centre = plan_centre(plan, channel);
        return bandwidth == 40 ? two_way(channel, centre, bandwidth, code)
                               : four_way(channel, centre, bandwidth, code);
    }
    case 160:
        if (in_range(channel, 36, 64))
            return two_way(channel, 50, bandwidth, code);
        if (in_range(channel, 100, 128))
            return two_way(channel, 114, bandwidth, code);
        return keep_or_clear(bandwidth, code);
    case 320:
        return keep_or_clear(bandwidth, code);
    default:
        return PRIMARY_NONE;
    }
}

int32_t plan_6g(int32_t channel, int32_t bandwidth, int32_t code)
{
    switch (bandwidth) {
    case 40:
        return two_way(channel, grid_centre(channel, 3), bandwidth, code);
    case 80:
        return four_way(channel, grid_centre(channel, 4), bandwidth, code);
    case 160:
        return two_way(channel, grid_centre(channel, 5), bandwidth, code);
    case 320: {
        if (code == PRIMARY_LOWER || code == PRIMARY_UPPER)
            return code;
        // Equal distance keeps the lower centre.
        int32_t best = CENTRES_320[0];
        for (int32_t centre : CENTRES_320) {
            const int32_t d = channel > centre ? channel - centre : centre - channel;
            const int32_t best_d = channel > best ? channel - best : best - channel;
            if (d < best_d)
                best = centre;
        }
        if (channel == best)
            return PRIMARY_NONE;
        return channel < best ? PRIMARY_LOWER : PRIMARY_UPPER;
    }
    default:
        return PRIMARY_NONE;
    }
}

}  // namespace

const ChannelBondingPlan CHANNEL_BONDING_PLANS[2] = {
    {40, 5, 2, 3, GROUPS_40, sizeof GROUPS_40 / sizeof GROUPS_40[0]},
    {80, 13, 6, 4, GROUPS_80, sizeof GROUPS_80 / sizeof GROUPS_80[0]},
};

int32_t infer_band(int32_t channel)
{
    if (in_range(channel, 1, 14))
        return BAND_2G;
    if (in_range(channel, 36, 165))
        return BAND_5G;
    if (in_range(channel, 166, 233))
        return BAND_6G;
    return BAND_NONE;
}

int32_t channel_band(int32_t band, int32_t channel)
{
    if (in_range(channel, 166, 233))
        return band == BAND_6G ? BAND_6G : BAND_NONE;
    if (in_range(channel, 1, 165) && band != BAND_NONE)
        return band;
    return infer_band(channel);
}

int32_t advertised_band(int32_t band, int32_t channel)
{
    if (in_range(channel, 1, 165) && band != BAND_NONE)
        return band;
    return infer_band(channel);
}

bool primary_channel_valid(int32_t bandwidth, int32_t code)
{
    switch (bandwidth) {
    case 40:
    case 160:
    case 320:
        return code == PRIMARY_LOWER || code == PRIMARY_UPPER;
    case 80:
        return code == PRIMARY_LL || code == PRIMARY_LU || code == PRIMARY_UL ||
               code == PRIMARY_UU;
    default:
        return false;
    }
}

const char* primary_channel_text(int32_t bandwidth, int32_t code)
{
    switch (bandwidth) {
    case 40:
    case 160:
    case 320:
        if (code == PRIMARY_LOWER)
            return "lower";
        if (code == PRIMARY_UPPER)
            return "upper";
        return "none";
    case 80:
        switch (code) {
        case PRIMARY_LL:
            return "ll";
        case PRIMARY_LU:
            return "lu";
        case PRIMARY_UL:
            return "ul";
        case PRIMARY_UU:
            return "uu";
        default:
            return "none";
        }
    default:
        return "none";
    }
}

int32_t normalize_primary_channel(int32_t channel, int32_t band, int32_t bandwidth, int32_t code)
{
    if (bandwidth == 20)
        return PRIMARY_NONE;
    if ((in_range(channel, 1, 165) && band == BAND_5G) ||
        (band == BAND_NONE && in_range(channel, 36, 165)))
        return plan_5g(channel, bandwidth, code);
    if (band == BAND_6G && in_range(channel, 1, 233))
        return plan_6g(channel, bandwidth, code);
    return keep_or_clear(bandwidth, code);
}

}  // namespace rrm
