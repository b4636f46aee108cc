#include "ApStorage.h"

#include "ApEntry.h"
#include "Log.h"

namespace rrm {

void ApStorage::insert_ap(const std::shared_ptr<ApEntry>& ap, bool fresh)
{
    if (!ap)
        return;
    if (!fresh)
        erase_ap(ap);
    for (const Radio& radio : ap->radios.radios) {
        if (!radio.status)
            continue;
        const int32_t radio_id = static_cast<int32_t>(radio.id);
        table.emplace(radio.mac, ApStorageEntry{ap, radio_id});
        for (const auto& vap : radio.vaps)
            table.emplace(vap.second.mac, ApStorageEntry{ap, radio_id});
    }
    RRM_TRACE("AP %s, total size=%d", mac_to_string(ap->base_mac).c_str(),
              static_cast<int>(table.size()));
}

void ApStorage::erase_ap(const std::shared_ptr<ApEntry>& ap)
{
    if (!ap)
        return;
    for (auto it = table.begin(); it != table.end();) {
        if (it->second.ap.get() == ap.get())
            it = table.erase(it);
        else
            ++it;
    }
    RRM_TRACE("AP %s, total size=%d", mac_to_string(ap->base_mac).c_str(),
              static_cast<int>(table.size()));
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
