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
    // Seconds for which the AP still holds a client it was sent a block or
    // a disassociation for (both carry the timeout the AP enforces). A
    // member whose countdown is restarted past that is blocked again, so the
    // AP never lets a client go that the server believes held.
    std::unordered_map<MacAddress, int32_t, MacHash> held;

    RadioBlacklist() = default;

    // A member gets its countdown restarted, and is queued as a block again
    // when that outlasts the block its AP holds; a new one is queued as a
    // block.
    void block(const MacAddress& client, int timeout);
    // Queues an unblock, unless the client's disassociation has not been
    // sent yet: then the AP never heard of the client and both are dropped.
    void unblock(const MacAddress& client);
    // Forgets the client without telling the AP; a change already queued
    // still goes out.
    void remove(const MacAddress& client);
    // Blocks a new member and queues its disassociation instead of a block;
    // a member is refreshed as by block. Nothing at all without an SSID.
    void block_disassoc(const MacAddress& client, int timeout, const char* ssid);

    // One second passed: counts every member down and forgets those whose
    // time is up; the AP's blocks run down too (age_held).
    void tick();
    // One second passed on the AP, whose blocks run down whether or not
    // the server's steering is paused.
    void age_held();
    // The pending changes, or disassociations, went to the AP with this
    // timeout: what it holds from now.
    void changes_sent(int timeout);
    void disassoc_sent(int timeout);
    void clear();
    // Queues a block for every member again, dropping other pending changes.
    void requeue_blocks();

    // The "blacklist" array of pending changes for the AP; blocks carry the
    // timeout the AP enforces.
    void changes_to_json(JsonWriter& object, int timeout) const;
    // State form: "members" with their counters and "changes".
    void to_json(JsonWriter& object) const;

private:
    void refresh(std::unordered_map<MacAddress, int32_t, MacHash>::iterator member, int timeout);
};

}  // namespace rrm
