#pragma once
// One access point known to a domain worker. Always held by std::shared_ptr:
// the same entry moves between the worker's active, unanswered and deleted
// maps. Plain fields, no lock: used on the domain worker's thread, or by
// another thread holding that worker's lock.

#include "BaseSession.h"
#include "MacAddress.h"

#include <cstdint>

namespace rrm {

class DomainConfig;

class ApEntry {
public:
    ApEntry(const DomainConfig* config, const MacAddress& base_mac, const BaseSession& session);

    // The AP's own MAC, the key of the AP maps.
    MacAddress base_mac;
    // The owning domain worker's copy of the domain settings; not owned.
    const DomainConfig* config;
    // Domain-timer ticks left while the AP waits in the unanswered or
    // deleted map.
    int32_t ttl = 0;
    // The session the AP subscribed on; null_session for an AP restored from
    // a backup that has not subscribed again.
    BaseSession session;
    bool session_dropped = false;
};

}  // namespace rrm
