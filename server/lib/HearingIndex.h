#pragma once
// Who hears whom in one AP map: the APs whose visible members hold the MAC
// of one of an AP's radios (whatever the radio's state), as it is or with
// the locally-administered bit flipped. The steering asks this for almost
// every client event; asking every AP of a large domain each time costs a
// few hash lookups per AP, so the answer comes from an index of the heard
// BSSIDs instead.
//
// The index is checked on every question against the map: the same AP
// objects in the same table order, each with the same version and size of
// its visible members (NeighbourMap::version marks each change of the set
// with a number no other change of any table has). Anything else rebuilds
// it from the map, so it is never stale; an AP's own radio MACs are read at
// each question. One walk over the map's table per question stays (a few
// loads per AP).
//
// Not thread-safe: used on the domain worker's thread only.

#include "MacAddress.h"

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace rrm {

class ApEntry;
class ApMap;

class HearingIndex {
public:
    // The APs of `map`, other than the one held under `ap`'s base MAC,
    // that hear `ap`, in the map's table order. `ap` need not be in the
    // map. Valid until the next question.
    const std::vector<ApEntry*>& hearers(const ApMap& map, const ApEntry& ap);

    // How many times the index was built (for tests and benchmarks).
    std::size_t builds() const { return build_count; }

private:
    struct Seen {
        const ApEntry* ap;
        uint64_t version;
        std::size_t size;
    };

    // True when the index still describes the map.
    bool current(const ApMap& map) const;
    void build(const ApMap& map);

    const ApMap* built_for = nullptr;
    std::vector<Seen> seen;
    // Position in the table walk -> the AP and the key it is held under.
    std::vector<ApEntry*> order;
    std::vector<MacAddress> keys;
    // Heard BSSID with the locally-administered bit cleared -> positions of
    // the APs that hear it, ascending.
    std::unordered_map<MacAddress, std::vector<uint32_t>, MacHash> by_bssid;
    std::vector<uint32_t> positions;
    std::vector<ApEntry*> result;
    std::size_t build_count = 0;
};

}  // namespace rrm
