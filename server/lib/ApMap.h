#pragma once
// One set of APs of a domain, keyed by the MAC under which each was inserted
// (its base MAC). Hash tables of the AP model never replace an entry: the
// first AP stored under a MAC stays. No lock: see ApEntry.

#include "ApEntry.h"
#include "BaseSession.h"
#include "MacAddress.h"

#include <memory>
#include <unordered_map>

namespace rrm {

class ApMap {
public:
    using ApPtr = std::shared_ptr<ApEntry>;
    using Table = std::unordered_map<MacAddress, ApPtr, MacHash>;

    ApMap();
    ApMap(const ApMap&) = delete;
    ApMap& operator=(const ApMap&) = delete;

    // Adds mac -> ap unless mac is already a key (the AP there stays).
    void insert(const MacAddress& mac, const ApPtr& ap);
    size_t size() const { return table.size(); }
    bool empty() const { return table.empty(); }

    // Removes every AP whose session id is the given one.
    void erase_session_aps(const BaseSession& session);
    // Moves every AP whose session id is the given one into target, with the
    // away time-out of its own settings as its ttl. A MAC that target already
    // holds keeps target's AP.
    void move_session_aps(const BaseSession& session, ApMap& target);
    // Counts every AP's ttl down and removes those at 0 or below; returns how
    // many were removed.
    int age();

    Table table;
};

}  // namespace rrm
