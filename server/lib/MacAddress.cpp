#include "MacAddress.h"

#include <cstdio>

namespace rrm {

namespace {

// Two upper-case hexadecimal digits per octet, the "%02X" of printf without
// its cost: the server writes MACs into every answer and many records.
char* put_octet(char* out, uint8_t octet)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out[0] = kDigits[octet >> 4];
    out[1] = kDigits[octet & 0x0F];
    return out + 2;
}

}  // namespace

std::string mac_to_string(const MacAddress& mac)
{
    // "%02X:%02X:%02X:%02X:%02X:%02X"
    char buf[17];
    char* out = buf;
    for (int i = 0; i < 6; ++i) {
        if (i > 0)
            *out++ = ':';
        out = put_octet(out, mac.octets[i]);
    }
    return std::string(buf, sizeof buf);
}

std::string mac_to_keyholder_string(const MacAddress& mac)
{
    // "%02X%02X%02X%02X%02X%02X"
    char buf[12];
    char* out = buf;
    for (int i = 0; i < 6; ++i)
        out = put_octet(out, mac.octets[i]);
    return std::string(buf, sizeof buf);
}

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Six fields of exactly two hexadecimal digits separated by colons: what
// the scan below reads in the same way, without its cost (MAC texts are
// read for every 802.11r link of a domain at each update).
bool read_plain_mac(const char* text, MacAddress& mac)
{
    uint8_t octets[6];
    for (int i = 0; i < 6; ++i) {
        const char* field = text + 3 * i;
        const int high = hex_digit(field[0]);
        if (high < 0)
            return false;
        const int low = hex_digit(field[1]);
        if (low < 0)
            return false;
        if (i < 5 && field[2] != ':')
            return false;
        octets[i] = static_cast<uint8_t>(high << 4 | low);
    }
    std::memcpy(mac.octets, octets, sizeof octets);
    return true;
}

bool read_mac(const char* text, MacAddress& mac)
{
    if (!text)
        return false;
    if (read_plain_mac(text, mac))
        return true;
    unsigned int v[6];
    if (std::sscanf(text, "%02x:%02x:%02x:%02x:%02x:%02x", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5]) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        mac.octets[i] = static_cast<uint8_t>(v[i] & 0xFF);
    return true;
}

}  // namespace

MacAddress mac_from_string(const char* text)
{
    MacAddress mac;
    read_mac(text, mac);
    return mac;
}

bool is_mac_text(const char* text)
{
    MacAddress mac;
    return read_mac(text, mac);
}

uint64_t mac_to_u48(const MacAddress& mac)
{
    uint64_t value = 0;
    for (uint8_t octet : mac.octets)
        value = value << 8 | octet;
    return value;
}

MacAddress mac_from_u48(uint64_t value)
{
    MacAddress mac;
    for (int i = 5; i >= 0; --i) {
        mac.octets[i] = static_cast<uint8_t>(value & 0xFF);
        value >>= 8;
    }
    return mac;
}

MacAddress mac_with_offset(const MacAddress& base, int64_t offset)
{
    const uint64_t value = mac_to_u48(base);
    const uint64_t low = value & 0xFFFFFF;
    // Two's-complement wrap of the 64-bit sum; only its low 24 bits count.
    const uint64_t sum = (low + static_cast<uint64_t>(offset)) & 0xFFFFFF;
    if (sum < low)
        return base;
    return mac_from_u48((value & ~uint64_t{0xFFFFFF}) | sum);
}

}  // namespace rrm
