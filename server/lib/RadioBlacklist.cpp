#include "RadioBlacklist.h"

#include "JsonWriter.h"

namespace rrm {

namespace {

int32_t held_for(const std::unordered_map<MacAddress, int32_t, MacHash>& held,
                 const MacAddress& client)
{
    auto it = held.find(client);
    return it == held.end() ? 0 : it->second;
}

}  // namespace

void RadioBlacklist::refresh(std::unordered_map<MacAddress, int32_t, MacHash>::iterator member,
                             int timeout)
{
    member->second = timeout;
    // What is queued already carries the full timeout when it goes.
    const MacAddress& client = member->first;
    if (changes.count(client) != 0 || disassoc.count(client) != 0)
        return;
    if (held_for(held, client) < timeout)
        changes.insert_or_assign(client, true);
}

void RadioBlacklist::block(const MacAddress& client, int timeout)
{
    auto it = members.find(client);
    if (it != members.end()) {
        refresh(it, timeout);
        return;
    }
    members.emplace(client, timeout);
    changes.insert_or_assign(client, true);
}

void RadioBlacklist::unblock(const MacAddress& client)
{
    auto it = members.find(client);
    if (it == members.end())
        return;
    if (disassoc.erase(client) == 0)
        changes.insert_or_assign(client, false);
    members.erase(it);
}

void RadioBlacklist::remove(const MacAddress& client)
{
    auto it = members.find(client);
    if (it == members.end())
        return;
    disassoc.erase(client);
    members.erase(it);
}

void RadioBlacklist::block_disassoc(const MacAddress& client, int timeout, const char* ssid)
{
    if (!ssid || !*ssid)
        return;
    auto it = members.find(client);
    if (it != members.end()) {
        refresh(it, timeout);
        return;
    }
    members.emplace(client, timeout);
    disassoc.emplace(client, ssid);
}

void RadioBlacklist::tick()
{
    for (auto it = members.begin(); it != members.end();) {
        // Compared before lowering, so no counter can wrap below INT32_MIN.
        if (it->second <= 1) {
            disassoc.erase(it->first);
            it = members.erase(it);
        } else {
            --it->second;
            ++it;
        }
    }
    age_held();
}

void RadioBlacklist::age_held()
{
    for (auto it = held.begin(); it != held.end();) {
        if (it->second <= 1) {
            it = held.erase(it);
        } else {
            --it->second;
            ++it;
        }
    }
}

void RadioBlacklist::changes_sent(int timeout)
{
    for (const auto& change : changes) {
        if (change.second)
            held.insert_or_assign(change.first, timeout);
        else
            held.erase(change.first);
    }
}

void RadioBlacklist::disassoc_sent(int timeout)
{
    for (const auto& entry : disassoc)
        held.insert_or_assign(entry.first, timeout);
}

void RadioBlacklist::clear()
{
    members.clear();
    changes.clear();
    disassoc.clear();
    held.clear();
}

void RadioBlacklist::requeue_blocks()
{
    changes.clear();
    for (const auto& member : members)
        changes.emplace(member.first, true);
}

void RadioBlacklist::changes_to_json(JsonWriter& object, int timeout) const
{
    JsonWriter array = object.add_array("blacklist");
    for (const auto* change : entries_by_mac(changes)) {
        JsonWriter entry = array.add_object("");
        entry.add_string("mac", mac_to_string(change->first).c_str());
        entry.add_string("action", change->second ? "block" : "unblock");
        if (change->second)
            entry.add_int("timeout", timeout);
    }
}

void RadioBlacklist::to_json(JsonWriter& object) const
{
    JsonWriter member_array = object.add_array("members");
    for (const auto* member : entries_by_mac(members)) {
        JsonWriter entry = member_array.add_object("");
        entry.add_string("mac", mac_to_string(member->first).c_str());
        entry.add_int("counter", member->second);
    }
    JsonWriter change_array = object.add_array("changes");
    for (const auto* change : entries_by_mac(changes)) {
        JsonWriter entry = change_array.add_object("");
        entry.add_string("mac", mac_to_string(change->first).c_str());
        entry.add_string("action", change->second ? "block" : "unblock");
    }
}

}  // namespace rrm
