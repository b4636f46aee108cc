#pragma once
// The channels a domain's APs allow, per band, as their radios report them.

#include <array>
#include <cstdint>
#include <unordered_set>

namespace rrm {

// Indexed by band code 0..6; only the sets of bands 2, 5 and 6 are filled.
// The radio readers only add to it; the domain's planning empties it at the
// start of each cycle of mode requests.
using ChannelSets = std::array<std::unordered_set<int32_t>, 7>;

}  // namespace rrm
