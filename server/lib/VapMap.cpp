#include "VapMap.h"

#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "Radio.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>

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

FbtLink::FbtLink(std::string r0_kh_id, std::string r1_kh_id, std::string r1_kh_key)
    : holder_(std::make_shared<const FbtKeyHolder>(
          FbtKeyHolder{std::move(r0_kh_id), std::move(r1_kh_id), std::move(r1_kh_key)}))
{
}

FbtLink::FbtLink(std::shared_ptr<const FbtKeyHolder> holder) : holder_(std::move(holder)) {}

bool Vap::operator==(const Vap& other) const
{
    return vap_id == other.vap_id && use_802dot11k == other.use_802dot11k &&
           use_802dot11r == other.use_802dot11r && use_802dot11v == other.use_802dot11v;
}

namespace {

// The members both forms begin with.
void write_common(const Vap& vap, JsonWriter& object)
{
    object.add_int("id", vap.vap_id);
    object.add_string("ssid", vap.ssid.c_str());
    object.add_string("mac", mac_to_string(vap.mac).c_str());
    object.add_int("mobility-domain", vap.get_mobility_domain());
    object.add_int("use_802dot11k", vap.use_802dot11k ? 1 : 0);
    object.add_int("use_802dot11r", vap.use_802dot11r ? 1 : 0);
    object.add_int("use_802dot11v", vap.use_802dot11v ? 1 : 0);
}

}  // namespace

void Vap::to_json(JsonWriter& object) const
{
    write_common(*this, object);
    if (use_802dot11r && !fbt_links.empty()) {
        JsonWriter links = object.add_array("fbt-links");
        for (const FbtLink& link : fbt_links)
            links.add_string("", link.remote_r1_kh_id().c_str());
    }
}

void Vap::to_json_full(JsonWriter& object) const
{
    write_common(*this, object);
    object.add_string("fbt-r0-keyholder", fbt_r0_keyholder.c_str());
    object.add_string("fbt-r1-keyholder", fbt_r1_keyholder.c_str());
    object.add_string("fbt-rrb-key", fbt_rrb_key.c_str());
    if (use_802dot11r && !fbt_links.empty()) {
        JsonWriter links = object.add_array("fbt-links");
        for (const FbtLink& link : fbt_links) {
            JsonWriter entry = links.add_object("");
            entry.add_string("remote-r0-kh-id", link.remote_r0_kh_id().c_str());
            entry.add_string("remote-r1-kh-id", link.remote_r1_kh_id().c_str());
            entry.add_string("remote-r1-kh-key", link.remote_r1_kh_key().c_str());
        }
    }
}

std::vector<const Vap*> VapMap::sorted() const
{
    std::vector<const Vap*> vaps;
    vaps.reserve(table.size());
    for (const auto& entry : table)
        vaps.push_back(&entry.second);
    std::sort(vaps.begin(), vaps.end(),
              [](const Vap* a, const Vap* b) { return a->ssid < b->ssid; });
    return vaps;
}

void VapMap::to_json(JsonWriter& array) const
{
    for (const Vap* vap : sorted()) {
        JsonWriter object = array.add_object("");
        vap->to_json(object);
    }
}

void VapMap::to_json_full(JsonWriter& array) const
{
    for (const Vap* vap : sorted()) {
        JsonWriter object = array.add_object("");
        vap->to_json_full(object);
    }
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
    if (!log_enabled(LOG_LEVEL_TRACE))
        return;
    for (const auto& entry : table) {
        const Vap& vap = entry.second;
        RRM_TRACE("      vap_id = %d, 802.11k = %d, 802.11r = %d, 802.11v = %d, ssid = %s",
                  vap.vap_id, vap.use_802dot11k ? 1 : 0, vap.use_802dot11r ? 1 : 0,
                  vap.use_802dot11v ? 1 : 0, PeerText(vap.ssid).c_str());
    }
}

namespace {

// Fills `out` with random bytes from the kernel's generator (blocking only
// until it is seeded, once after boot).
void random_bytes(unsigned char* out, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = getrandom(out, size, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        out += got;
        size -= static_cast<std::size_t>(got);
    }
}

}  // namespace

char* Vap::generate_random_key(char* buffer, std::size_t size)
{
    if (!buffer || size == 0)
        return nullptr;
    std::memset(buffer, 0, size);
    // Six bits per draw; of the 64 values, 0..25 give A-Z and 32..57 give
    // a-z, the rest is drawn again, so each of the 52 letters is equally
    // likely.
    unsigned char pool[64];
    std::size_t left = 0;
    for (std::size_t i = 0; i + 1 < size;) {
        if (left == 0) {
            random_bytes(pool, sizeof pool);
            left = sizeof pool;
        }
        const unsigned r = pool[--left] & 63u;
        if (r >= 58 || (r >= 26 && r <= 31))
            continue;
        buffer[i++] = static_cast<char>('A' + r);
    }
    std::memset(pool, 0, sizeof pool);
    return buffer;
}

const std::string& fbt_wildcard_key()
{
    // A function-local static is initialised exactly once, and every caller
    // waits for the initialisation to finish, so no thread can see a partly
    // made key.
    static const std::string key = [] {
        char buffer[FBT_KEY_LENGTH + 1];
        Vap::generate_random_key(buffer, sizeof buffer);
        return std::string(buffer);
    }();
    return key;
}

void Vap::fbt_from_json(const JsonReader& vap)
{
    if (!vap.has("fbt-rrb-key"))
        return;
    fbt_r0_keyholder = vap.get_string("fbt-r0-keyholder");
    fbt_r1_keyholder = vap.get_string("fbt-r1-keyholder");
    fbt_rrb_key = vap.get_string("fbt-rrb-key");
    const JsonReader links = vap.child("fbt-links");
    const int count = links.size();
    for (int i = 0; i < count; ++i) {
        const JsonReader element = links.child(i);
        if (element.is_null())
            continue;
        fbt_links.emplace_back(element.get_string("remote-r0-kh-id"),
                               element.get_string("remote-r1-kh-id"),
                               element.get_string("remote-r1-kh-key"));
    }
}

namespace {

bool link_matches(const FbtLink& link, const Vap& remote)
{
    return link.remote_r0_kh_id() == remote.fbt_r0_keyholder &&
           mac_equal_ignoring_local_bit(mac_from_string(link.remote_r1_kh_id().c_str()),
                                        mac_from_string(remote.fbt_r1_keyholder.c_str())) &&
           link.remote_r1_kh_key() == remote.fbt_rrb_key;
}

}  // namespace

bool Vap::is_linked(const Vap& remote) const
{
    for (const FbtLink& link : fbt_links)
        if (link_matches(link, remote))
            return true;
    return false;
}

void Vap::unlink(const Vap& remote)
{
    for (auto it = fbt_links.begin(); it != fbt_links.end(); ++it) {
        if (link_matches(*it, remote)) {
            fbt_links.erase(it);
            return;
        }
    }
}

void Vap::link(const Vap& remote, const std::string& r1_kh_id)
{
    fbt_links.emplace_back(remote.fbt_r0_keyholder, r1_kh_id, remote.fbt_rrb_key);
}

namespace {

// Every broadcast link of the process names the same key holder.
const std::shared_ptr<const FbtKeyHolder>& broadcast_key_holder()
{
    static const std::shared_ptr<const FbtKeyHolder> holder = std::make_shared<const FbtKeyHolder>(
        FbtKeyHolder{"*", FBT_BROADCAST_R1_KH_ID, fbt_wildcard_key()});
    return holder;
}

}  // namespace

bool Vap::link_broadcast_802dot11r()
{
    // The wildcard key is made on the first call, link or not.
    const std::shared_ptr<const FbtKeyHolder>& broadcast = broadcast_key_holder();
    for (const FbtLink& link : fbt_links)
        if (link.remote_r1_kh_id() == FBT_BROADCAST_R1_KH_ID)
            return false;
    fbt_links.emplace_back(broadcast);
    RRM_DEBUG("FBT broadcast mac added");
    return true;
}

namespace {

bool in_pool(const MacAddress& mac, const VapPool& pool)
{
    if (pool.mac_count <= 0)
        return false;
    const uint64_t first = mac_to_u48(pool.radio_mac);
    const uint64_t value = mac_to_u48(mac);
    // 48-bit values plus a count below 2^63 cannot wrap 64 bits.
    return value >= first && value - first < static_cast<uint64_t>(pool.mac_count);
}

}  // namespace

void VapMap::from_json(const JsonReader& vaps, const VapPool& pool, bool backup_keys)
{
    if (vaps.is_null())
        return;
    table.clear();
    const int count = vaps.size();
    if (count < 1)
        return;

    const char* key_k = backup_keys ? "use_802dot11k" : "802dot11k";
    const char* key_r = backup_keys ? "use_802dot11r" : "802dot11r";
    const char* key_v = backup_keys ? "use_802dot11v" : "802dot11v";

    for (int i = 0; i < count; ++i) {
        const JsonReader element = vaps.child(i);
        if (element.is_null())
            continue;
        const int32_t id = element.get_int("id");
        const int k = element.get_int(key_k);
        const std::string ssid = element.get_string("ssid");
        if (ssid.empty())
            continue;
        const int r = element.get_int(key_r);
        const int v = pool.locked_80211v ? 0 : element.get_int(key_v);

        // The VAP MAC: the given one inside the pool, else the default one
        // inside the pool, else none.
        const MacAddress fallback = mac_with_offset(pool.radio_mac, id);
        const MacAddress given =
            element.has("mac") ? mac_from_string(element.get_string("mac")) : fallback;
        MacAddress chosen = given;
        if (!in_pool(given, pool)) {
            if (!in_pool(fallback, pool)) {
                const std::string radio = mac_to_string(pool.radio_mac);
                RRM_ERROR("Invalid VAP MAC %s: radio.mac=%s, radio.max_mac_count=%d",
                          mac_to_string(given).c_str(), radio.c_str(),
                          static_cast<int>(pool.mac_count));
                notify_event(EVENT_INVALID_VAP_MAC, std::make_shared<std::string>(radio));
                continue;
            }
            RRM_WARNING("VAP MAC %s outside radio pool [%s, +%u), using %s for ssid=%s",
                        mac_to_string(given).c_str(), mac_to_string(pool.radio_mac).c_str(),
                        static_cast<unsigned>(pool.mac_count), mac_to_string(fallback).c_str(),
                        PeerText(ssid).c_str());
            chosen = fallback;
        }

        Vap vap(id, ssid, chosen, k != 0, r != 0, v != 0);
        vap.fbt_from_json(element);
        table.emplace(ssid, std::move(vap));
    }
}

void VapMap::from_json(const JsonReader& vaps, const Radio& radio, bool backup_keys)
{
    from_json(vaps, radio.vap_pool(), backup_keys);
}

}  // namespace rrm
