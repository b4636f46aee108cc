#pragma once
// Dynamic channel assignment of one optimisation run: a greedy pass over the
// radios of the run's AP snapshot that gives each radio, the AP hearing the
// most distinct channels of the domain first, the cheapest of its available
// channels by the interference its own AP hears.

#include "ChannelHistogram.h"
#include "RadioResultMap.h"

#include <cstdint>

namespace rrm {

class ApMap;
class DomainConfig;

class Dca {
public:
    ChannelHistogram histogram;
    // The choice ignores the domain's dca_threshold: a radio moves whenever
    // another of its channels is strictly cheaper.
    bool ignore_threshold = true;

    // One pass over the snapshot (the optimisation thread runs two in a
    // row). Radios that are enabled, not locked for channel planning and
    // have available channels may change channel and primary position; the
    // records other snapshot APs keep of a moved radio follow it. Every AP
    // whose radios changed gets out[its key] := a copy of its whole radio
    // list, inserted or replaced. Reads only dca_threshold of the settings.
    // Takes no lock; allocation failures pass to the caller.
    void run(ApMap& snapshot, const DomainConfig& settings, RadioResultMap& out);
};

// The centre of the 5 GHz 40 MHz pair of a channel; any other channel
// 1..233 on the regular grid of eight (((channel - 1) & ~7) + 3); any other
// number unchanged. Used by the transmit power control.
int32_t get_40mhz_center_channel(int32_t channel);

}  // namespace rrm
