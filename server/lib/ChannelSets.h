#pragma once
// The channels a domain's APs allow, per band, as their radios report them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_set>

namespace rrm {

// Indexed by band code 0..6; only the sets of bands 2, 5 and 6 are filled.
// The radio readers only add to it; the domain's planning empties it at the
// start of each cycle of mode requests.
using ChannelSets = std::array<std::unordered_set<int32_t>, 7>;

inline void merge_channel_sets(ChannelSets& into, const ChannelSets& from)
{
    for (std::size_t band = 0; band < into.size(); ++band)
        into[band].insert(from[band].begin(), from[band].end());
}

}  // namespace rrm
