#pragma once
// The MAC index of an AP map: every BSSID of its APs (the MAC of each enabled
// radio and of each VAP of such a radio) to the AP and radio that own it.

#include "MacAddress.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace rrm {

class ApEntry;

struct ApStorageEntry {
    std::shared_ptr<ApEntry> ap;
    int32_t radio_id = 0;
};

class ApStorage {
public:
    using Table = std::unordered_map<MacAddress, ApStorageEntry, MacHash>;

    ApStorage() { table.max_load_factor(1.0f); }

    // Re-enters one AP from its current radios and VAPs: its old entries go
    // first; a BSSID another entry already holds keeps that entry. An empty
    // pointer is ignored. With `fresh` the caller guarantees that the index
    // holds no entry of this AP object (a new copy), so none is looked for.
    void insert_ap(const std::shared_ptr<ApEntry>& ap, bool fresh = false);
    // Removes every entry of this very AP object. An empty pointer is
    // ignored. Costs the AP's own entries, not the size of the index.
    void erase_ap(const std::shared_ptr<ApEntry>& ap);
    // Removes every entry.
    void clear();

    // Lookups with the locally-administered retry: the BSSID as given, then
    // with bit 0x02 of its first octet flipped. Both name the same entry.
    std::shared_ptr<ApEntry> find_ap(const MacAddress& bssid) const;
    int find_radio_id(const MacAddress& bssid) const;

    std::size_t size() const { return table.size(); }
    bool empty() const { return table.empty(); }

    // Calls f(bssid, entry) for every entry of the APs whose own MAC is
    // base_mac: the BSSIDs under which the index knows that AP.
    template <class F>
    void for_each_entry_of(const MacAddress& base_mac, F&& f) const
    {
        auto owners = owners_.find(base_mac);
        if (owners == owners_.end())
            return;
        for (const ApEntry* owner : owners->second) {
            auto keys = keys_of_.find(owner);
            if (keys == keys_of_.end())
                continue;
            for (const MacAddress& key : keys->second) {
                auto it = table.find(key);
                if (it != table.end() && it->second.ap.get() == owner)
                    f(it->first, it->second);
            }
        }
    }

    Table table;

private:
    // The keys insert_ap entered for each AP, so that its entries are found
    // again without a walk over the whole index.
    std::unordered_map<const ApEntry*, std::vector<MacAddress>> keys_of_;
    // The APs with entries, by their own MAC (normally one per MAC).
    std::unordered_map<MacAddress, std::vector<const ApEntry*>, MacHash> owners_;
};

}  // namespace rrm
