#pragma once
// The clients the server keeps blocked on one radio, with the block/unblock
// changes and disassociation requests not yet sent to the AP.

#include "MacAddress.h"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace rrm {

class JsonWriter;

class RadioBlacklist {
public:
    // Blocked clients and the seconds left before the server forgets them.
    // Forgetting sends nothing: the AP lifts a block after the timeout it
    // was sent.
    std::unordered_map<MacAddress, int32_t, MacHash> members;
    // At most one pending change per client: true block, false unblock.
    // May name clients that are no longer members.
    std::unordered_map<MacAddress, bool, MacHash> changes;
    // Pending disassociations (client → SSID); every key is also a member.
    std::unordered_map<MacAddress, std::string, MacHash> disassoc;

    RadioBlacklist() = default;

    // A member only gets its countdown restarted; a new one is queued as
    // a block.
    void block(const MacAddress& client, int timeout);
    // Queues an unblock, unless the client's disassociation has not been
    // sent yet: then the AP never heard of the client and both are dropped.
    void unblock(const MacAddress& client);
    // Forgets the client without telling the AP; a change already queued
    // still goes out.
    void remove(const MacAddress& client);
    // Blocks a new member and queues its disassociation instead of a block.
    // Nothing at all without an SSID.
    void block_disassoc(const MacAddress& client, int timeout, const char* ssid);

    // One second passed: counts every member down and forgets those whose
    // time is up.
    void tick();
    void clear();
    // Queues a block for every member again, dropping other pending changes.
    void requeue_blocks();

    // The "blacklist" array of pending changes for the AP; blocks carry the
    // timeout the AP enforces.
    void changes_to_json(JsonWriter& object, int timeout) const;
    // State form: "members" with their counters and "changes".
    void to_json(JsonWriter& object) const;
};

}  // namespace rrm
