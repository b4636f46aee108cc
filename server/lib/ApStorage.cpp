#include "ApStorage.h"

#include "ApEntry.h"
#include "Log.h"

#include <algorithm>

namespace rrm {

void ApStorage::insert_ap(const std::shared_ptr<ApEntry>& ap, bool fresh)
{
    if (!ap)
        return;
    if (!fresh)
        erase_ap(ap);
    std::vector<MacAddress>& keys = keys_of_[ap.get()];
    for (const Radio& radio : ap->radios.radios) {
        if (!radio.status)
            continue;
        const int32_t radio_id = static_cast<int32_t>(radio.id);
        if (table.emplace(radio.mac, ApStorageEntry{ap, radio_id}).second)
            keys.push_back(radio.mac);
        for (const auto& vap : radio.vaps)
            if (table.emplace(vap.second.mac, ApStorageEntry{ap, radio_id}).second)
                keys.push_back(vap.second.mac);
    }
    if (keys.empty())
        keys_of_.erase(ap.get());
    else
        owners_[ap->base_mac].push_back(ap.get());
    RRM_TRACE("AP %s, total size=%d", mac_to_string(ap->base_mac).c_str(),
              static_cast<int>(table.size()));
}

void ApStorage::erase_ap(const std::shared_ptr<ApEntry>& ap)
{
    if (!ap)
        return;
    auto found = keys_of_.find(ap.get());
    if (found != keys_of_.end()) {
        for (const MacAddress& key : found->second) {
            auto it = table.find(key);
            if (it != table.end() && it->second.ap.get() == ap.get())
                table.erase(it);
        }
        keys_of_.erase(found);
        auto owners = owners_.find(ap->base_mac);
        if (owners != owners_.end()) {
            std::vector<const ApEntry*>& list = owners->second;
            list.erase(std::remove(list.begin(), list.end(), ap.get()), list.end());
            if (list.empty())
                owners_.erase(owners);
        }
    }
    RRM_TRACE("AP %s, total size=%d", mac_to_string(ap->base_mac).c_str(),
              static_cast<int>(table.size()));
}

void ApStorage::clear()
{
    table.clear();
    keys_of_.clear();
    owners_.clear();
}

std::shared_ptr<ApEntry> ApStorage::find_ap(const MacAddress& bssid) const
{
    auto it = find_mac_with_retry(table, bssid);
    return it == table.end() ? nullptr : it->second.ap;
}

int ApStorage::find_radio_id(const MacAddress& bssid) const
{
    auto it = find_mac_with_retry(table, bssid);
    return it == table.end() ? -1 : it->second.radio_id;
}

}  // namespace rrm
