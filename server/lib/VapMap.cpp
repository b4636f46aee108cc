#include "VapMap.h"

#include "Log.h"

namespace rrm {

uint16_t mobility_domain(const std::string& ssid)
{
    // The byte count is a 16-bit quantity.
    const std::size_t length = ssid.size() % 65536;
    uint16_t reg = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const uint8_t byte = static_cast<uint8_t>(ssid[i]);
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = (reg & 0x8000) != 0;
            reg = static_cast<uint16_t>(reg << 1 | ((byte >> bit) & 1));
            if (top)
                reg ^= 0x8005;
        }
    }
    return reg;
}

Vap::Vap(int32_t vap_id, const std::string& ssid, const MacAddress& mac, bool use_802dot11k,
         bool use_802dot11r, bool use_802dot11v)
    : vap_id(vap_id),
      mac(mac),
      ssid(ssid),
      use_802dot11k(use_802dot11k),
      use_802dot11r(use_802dot11r),
      use_802dot11v(use_802dot11v)
{
}

bool Vap::operator==(const Vap& other) const
{
    return vap_id == other.vap_id && use_802dot11k == other.use_802dot11k &&
           use_802dot11r == other.use_802dot11r && use_802dot11v == other.use_802dot11v;
}

Vap* VapMap::find(const std::string& ssid)
{
    auto it = table.find(ssid);
    return it == table.end() ? nullptr : &it->second;
}

const Vap* VapMap::find(const std::string& ssid) const
{
    auto it = table.find(ssid);
    return it == table.end() ? nullptr : &it->second;
}

bool VapMap::has_80211k_ssid(const std::string& ssid) const
{
    const Vap* vap = find(ssid);
    return vap && vap->use_802dot11k;
}

bool VapMap::has_80211k() const
{
    for (const auto& entry : table)
        if (entry.second.use_802dot11k)
            return true;
    return false;
}

bool VapMap::has_80211r() const
{
    for (const auto& entry : table)
        if (entry.second.use_802dot11r)
            return true;
    return false;
}

bool VapMap::has_80211v() const
{
    for (const auto& entry : table)
        if (entry.second.use_802dot11v)
            return true;
    return false;
}

bool VapMap::operator==(const VapMap& other) const
{
    if (table.size() != other.table.size())
        return false;
    for (const auto& entry : table) {
        const Vap* theirs = other.find(entry.first);
        if (!theirs || !(entry.second == *theirs))
            return false;
    }
    return true;
}

void VapMap::set(const std::string& ssid, const Vap& vap)
{
    table.erase(ssid);
    table.emplace(ssid, vap);
}

void VapMap::dump() const
{
    for (const auto& entry : table) {
        const Vap& vap = entry.second;
        RRM_TRACE("      vap_id = %d, 802.11k = %d, 802.11r = %d, 802.11v = %d, ssid = %s",
                  vap.vap_id, vap.use_802dot11k ? 1 : 0, vap.use_802dot11r ? 1 : 0,
                  vap.use_802dot11v ? 1 : 0, vap.ssid.c_str());
    }
}

}  // namespace rrm
