#include "ApMap.h"

#include "DomainConfig.h"
#include "JsonWriter.h"
#include "Log.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace rrm {

ApMap::ApMap()
{
    table.max_load_factor(1.0f);
}

ApMap::~ApMap()
{
    // The index's references go first, then the table's.
    index.table.clear();
    table.clear();
}

void ApMap::insert(const MacAddress& mac, const ApPtr& ap)
{
    if (!ap)
        return;
    auto result = table.emplace(mac, ap);
    if (!result.second && result.first->second != ap) {
        RRM_WARNING("AP %s not added: MAC %s already held by AP %s",
                    mac_to_string(ap->base_mac).c_str(), mac_to_string(mac).c_str(),
                    mac_to_string(result.first->second->base_mac).c_str());
        return;
    }
    index.insert_ap(ap);
}

const ApMap::ApPtr& ApMap::get_ap(const MacAddress& mac, const BaseSession& session) const
{
    auto it = table.find(mac);
    if (it == table.end())
        throw std::out_of_range("AP not found");
    if (it->second->session.id != session.id)
        throw std::out_of_range("invalid session");
    return it->second;
}

ApMap::ApPtr ApMap::find_ap_by_bssid(const MacAddress& bssid) const
{
    return index.find_ap(bssid);
}

int ApMap::find_radio_id_by_bssid(const MacAddress& bssid) const
{
    return index.find_radio_id(bssid);
}

bool ApMap::contains_bssid(const MacAddress& bssid) const
{
    return find_ap_by_bssid(bssid) != nullptr;
}

void ApMap::reindex_ap(const ApPtr& ap)
{
    if (!ap)
        return;
    auto it = table.find(ap->base_mac);
    bool held = it != table.end() && it->second == ap;
    if (!held)
        held = std::any_of(table.begin(), table.end(),
                           [&](const Table::value_type& entry) { return entry.second == ap; });
    if (held)
        index.insert_ap(ap);
}

bool ApMap::all_aps_received() const
{
    for (const auto& entry : table)
        if (!entry.second->radios.is_ready())
            return false;
    return true;
}

void ApMap::reset_radios_received()
{
    for (auto& entry : table)
        entry.second->radios.reset_received();
}

void ApMap::reset_active_flags()
{
    for (auto& entry : table) {
        ApEntry& ap = *entry.second;
        ap.active = false;
        ap.radios.clear_conflicted();
        ap.radios.clear_power_changed();
    }
}

void ApMap::clear_blacklist_changes()
{
    for (auto& entry : table) {
        for (Radio& radio : entry.second->radios.radios) {
            radio.block_list.changes.clear();
            radio.block_list.disassoc.clear();
        }
    }
}

void ApMap::clear_all_blacklists()
{
    for (auto& entry : table)
        entry.second->clear_blacklists();
}

void ApMap::erase_session_aps(const BaseSession& session)
{
    for (auto it = table.begin(); it != table.end();) {
        if (it->second->session.id == session.id) {
            index.erase_ap(it->second);
            it = table.erase(it);
        } else {
            ++it;
        }
    }
}

int ApMap::age()
{
    int removed = 0;
    for (auto it = table.begin(); it != table.end();) {
        ApEntry& ap = *it->second;
        // A ttl restored from a backup may be any 32-bit value.
        const int64_t left = static_cast<int64_t>(ap.ttl) - 1;
        ap.ttl = static_cast<int32_t>(std::max<int64_t>(left, std::numeric_limits<int32_t>::min()));
        if (left <= 0) {
            index.erase_ap(it->second);
            it = table.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}

int ApMap::move_if(ApMap& target, const std::function<bool(const ApEntry&)>& select,
                   const std::function<void(ApEntry&)>& prepare)
{
    int moved = 0;
    for (auto it = table.begin(); it != table.end();) {
        const ApPtr ap = it->second;
        if (!select(*ap)) {
            ++it;
            continue;
        }
        prepare(*ap);
        auto result = target.table.emplace(it->first, ap);
        if (!result.second && result.first->second != ap) {
            RRM_WARNING("AP %s stays: the target map already holds AP %s under %s",
                        mac_to_string(ap->base_mac).c_str(),
                        mac_to_string(result.first->second->base_mac).c_str(),
                        mac_to_string(it->first).c_str());
            ++it;
            continue;
        }
        index.erase_ap(ap);
        target.index.insert_ap(ap);
        it = table.erase(it);
        ++moved;
    }
    return moved;
}

void ApMap::move_session_aps(const BaseSession& session, ApMap& target)
{
    move_if(
        target, [&](const ApEntry& ap) { return ap.session.id == session.id; },
        [](ApEntry& ap) {
            ap.ttl = ap.config ? ap.config->away_timeout_ticks() : 0;
            ap.clear_blacklists();
            ap.clear_clients();
        });
}

int ApMap::move_inactive_aps(ApMap& target, int ttl)
{
    return move_if(
        target, [](const ApEntry& ap) { return !ap.active; },
        [ttl](ApEntry& ap) { ap.ttl = ttl; });
}

int ApMap::move_aps_not_received(ApMap& target, int ttl)
{
    return move_if(
        target, [](const ApEntry& ap) { return !ap.radios.is_ready(); },
        [ttl](ApEntry& ap) { ap.ttl = ttl; });
}

int ApMap::move_aps_without_active_radio(ApMap& target, int ttl)
{
    return move_if(
        target, [](const ApEntry& ap) { return !ap.radios.has_active_radio(); },
        [ttl](ApEntry& ap) { ap.ttl = ttl; });
}

void ApMap::move_all_from(ApMap& other)
{
    if (&other == this || other.table.empty())
        return;
    other.move_if(
        *this, [](const ApEntry&) { return true; }, [](ApEntry&) {});
}

std::unique_ptr<ApMap> ApMap::copy() const
{
    auto result = std::make_unique<ApMap>();
    for (const auto& entry : table) {
        auto ap = std::make_shared<ApEntry>(*entry.second);
        result->table.emplace(entry.first, ap);
        result->index.insert_ap(ap);
    }
    return result;
}

void ApMap::dump() const
{
    for (const auto* entry : sorted())
        RRM_DEBUG("AP %s", mac_to_string(entry->second->base_mac).c_str());
}

std::vector<const ApMap::Table::value_type*> ApMap::sorted() const
{
    return entries_by_mac(table);
}

void ApMap::to_json(JsonWriter& array) const
{
    for (const auto* entry : sorted()) {
        JsonWriter object = array.add_object("");
        entry->second->to_json(object);
    }
}

void ApMap::details_to_json(JsonWriter& array) const
{
    for (const auto* entry : sorted()) {
        const ApEntry& ap = *entry->second;
        JsonWriter object = array.add_object("");
        object.add_string("board", ap.factory.board.c_str());
        object.add_string("mac", mac_to_string(entry->first).c_str());
        object.add_string("serial", ap.factory.serial.c_str());
        object.add_string("hw", ap.factory.hw.c_str());
        ap.radios.vaps_to_json(object);
    }
}

}  // namespace rrm
