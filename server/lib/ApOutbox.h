#pragma once
// The APs of a domain that wait for a message built at their turn: each AP
// once, in the order it was first queued, with the union of the flags it was
// queued with. The message is written when the AP's turn comes, from the
// domain as it is then, so a change before the turn is sent in its newest
// state, and an AP that left meanwhile is passed over by the sender.

#include "MacAddress.h"

#include <cstddef>
#include <deque>
#include <unordered_map>
#include <utility>

namespace rrm {

class ApOutbox {
public:
    // Queues the AP (held in the domain's map under `key`) at the end, or,
    // when it waits already, adds `flags` to its entry, which keeps its place.
    void queue(const MacAddress& key, unsigned flags = 0);
    // The first waiting AP and its flags, taken out. Not on an empty outbox.
    std::pair<MacAddress, unsigned> pop();
    bool empty() const { return order_.empty(); }
    std::size_t size() const { return order_.size(); }
    bool contains(const MacAddress& key) const { return flags_.count(key) != 0; }
    void clear();

private:
    std::deque<MacAddress> order_;
    std::unordered_map<MacAddress, unsigned, MacHash> flags_;
};

}  // namespace rrm
