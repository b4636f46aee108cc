#pragma once
// The identity of every AP, radio, VAP, BSSID and client in the server, and
// the key of every MAC-keyed table of the AP model.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>
#include <algorithm>

namespace rrm {

struct MacAddress {
    // Octet 0 first, as written in text. Every value is valid; all zero is
    // what a failed read gives.
    uint8_t octets[6] = {0, 0, 0, 0, 0, 0};

    bool operator==(const MacAddress& other) const
    {
        return std::memcmp(octets, other.octets, sizeof octets) == 0;
    }
    bool operator!=(const MacAddress& other) const { return !(*this == other); }
};
static_assert(sizeof(MacAddress) == 6 && alignof(MacAddress) == 1,
              "a MAC is stored inline as six bytes");

// The hash of every MAC-keyed table. Each bracket stays below 65536, so the
// value lies in 0..131070 whatever the address.
struct MacHash {
    std::size_t operator()(const MacAddress& mac) const noexcept
    {
        const uint8_t* o = mac.octets;
        int32_t h = ((o[0] | o[1] << 8) ^ (o[2] << 4)) + ((o[3] | o[4] << 8) ^ (o[5] << 4));
        return static_cast<std::size_t>(static_cast<int64_t>(h));
    }
};

// "AA:BB:CC:DD:EE:FF": the form of every MAC the server writes.
std::string mac_to_string(const MacAddress& mac);
// "AABBCCDDEEFF": only for 802.11r key-holder identifiers.
std::string mac_to_keyholder_string(const MacAddress& mac);
// Six hexadecimal fields of either case separated by colons; anything else
// (null included) reads as 00:00:00:00:00:00. Text after the sixth field is
// ignored.
MacAddress mac_from_string(const char* text);
// True when mac_from_string finds six fields in the text (so
// "00:00:00:00:00:00" reads as a MAC, "x" does not).
bool is_mac_text(const char* text);

// The address as a 48-bit number, octet 0 most significant, and back.
uint64_t mac_to_u48(const MacAddress& mac);
MacAddress mac_from_u48(uint64_t value);

// Bit 0x02 of octet 0: an AP may announce a BSSID with the universal/local
// bit set or cleared, and both forms name the same station.
constexpr uint8_t MAC_LOCAL_BIT = 0x02;

inline bool mac_equal_ignoring_local_bit(const MacAddress& a, const MacAddress& b)
{
    return ((a.octets[0] ^ b.octets[0]) & ~MAC_LOCAL_BIT & 0xFF) == 0 &&
           std::memcmp(a.octets + 1, b.octets + 1, 5) == 0;
}

inline MacAddress mac_flip_local_bit(const MacAddress& mac)
{
    MacAddress flipped = mac;
    flipped.octets[0] ^= MAC_LOCAL_BIT;
    return flipped;
}

// Lookup in a table keyed by radio or VAP BSSIDs: the exact address first,
// then the address with the local bit inverted. An entry stored under the
// exact address always wins.
template <class Map>
auto find_mac_with_retry(Map& table, const MacAddress& mac) -> decltype(table.find(mac))
{
    auto it = table.find(mac);
    if (it != table.end())
        return it;
    return table.find(mac_flip_local_bit(mac));
}

// The address `offset` places after `base` within base's 24-bit block: the
// upper 24 bits of base with (low 24 bits + offset) modulo 2^24. When that
// falls below base's own low 24 bits (the block would be left), the result
// is base itself. Computed in 64 bits, so any 32-bit offset an AP sends is
// safe.
MacAddress mac_with_offset(const MacAddress& base, int64_t offset);

// The entries of a MAC-keyed table in ascending MAC order (octet 0 most
// significant): the order of every JSON array written from such a table, so
// equal tables give equal arrays whatever their hash layout or history.
template <class Map>
std::vector<const typename Map::value_type*> entries_by_mac(const Map& table)
{
    std::vector<const typename Map::value_type*> entries;
    entries.reserve(table.size());
    for (const auto& entry : table)
        entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) {
        return std::memcmp(a->first.octets, b->first.octets, sizeof a->first.octets) < 0;
    });
    return entries;
}

}  // namespace rrm
