#include "MacAddress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>

namespace {

using rrm::MacAddress;
using rrm::mac_from_string;
using rrm::mac_to_string;

MacAddress mac(const char* text)
{
    return mac_from_string(text);
}

TEST(MacText, ReadsSixFieldsOfEitherCaseAndWritesUpperCase)
{
    struct Case {
        const char* text;
        const char* written;
    } cases[] = {
        {"a:b:c:d:e:f", "0A:0B:0C:0D:0E:0F"},
        {"AA:bb:Cc:dd:EE:ff", "AA:BB:CC:DD:EE:FF"},
        {"00:11:22:33:44:55", "00:11:22:33:44:55"},
        {"ff:ff:ff:ff:ff:ff", "FF:FF:FF:FF:FF:FF"},
        // Text after the sixth field is ignored.
        {"aa:bb:cc:dd:ee:ff:11", "AA:BB:CC:DD:EE:FF"},
        {"aa:bb:cc:dd:ee:ffzz", "AA:BB:CC:DD:EE:FF"},
        // The conversion skips white space before a field.
        {" aa: bb:cc:dd:ee:ff", "AA:BB:CC:DD:EE:FF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.written, mac_to_string(mac(c.text)));
    }
}

TEST(MacText, AnythingButSixColonFieldsReadsAllZero)
{
    const char* bad[] = {
        "aa:bb:cc:dd:ee",     // five fields
        "aa-bb-cc-dd-ee-ff",  // other separator
        "aabbccddeeff",       // no separators
        "",                   //
        "aaa:bb:cc:dd:ee:ff", // first field stops after two digits
        "aa:bb:cc:dd:ee:gg",  // not hexadecimal
        "aa::bb:cc:dd:ee:ff", // doubled separator
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        EXPECT_EQ(MacAddress{}, mac(text));
        EXPECT_EQ("00:00:00:00:00:00", mac_to_string(mac(text)));
    }
    EXPECT_EQ(MacAddress{}, mac_from_string(nullptr));
}

// The C library's scan of six "%02x" fields separated by colons, as the
// reference of what a text reads as.
MacAddress scanned(const char* text)
{
    unsigned int v[6];
    MacAddress out;
    if (std::sscanf(text, "%02x:%02x:%02x:%02x:%02x:%02x", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5]) == 6)
        for (int i = 0; i < 6; ++i)
            out.octets[i] = static_cast<uint8_t>(v[i] & 0xFF);
    return out;
}

TEST(MacText, ReadsWhatTheLibraryScanReads)
{
    // Plain texts take a short way; every text must still read as the scan
    // reads it.
    const char* texts[] = {"02:00:00:00:01:00", "fF:0a:B9:10:ff:e1", "02:00:00:00:01:0",
                           "02:00:00:00:01:0g", "0x:00:00:00:01:00", "+1:02:03:04:05:06",
                           "-1:02:03:04:05:06", "1:2:3:4:5:6", "01:02:03:04:05:06 tail",
                           "01:02:03:04:05", "01;02:03:04:05:06", "ff:ff:ff:ff:ff:ff"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        EXPECT_EQ(scanned(text), mac(text));
    }
    // And any text made of the characters that matter.
    const char alphabet[] = "0123456789abcdefABCDEFxX:+- ";
    std::mt19937 random(17);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int length = std::uniform_int_distribution<int>(0, 20)(random);
        for (int i = 0; i < length; ++i) {
            // Mostly the plain shape, so that near misses are common.
            const bool colon_place = i % 3 == 2;
            if (colon_place && std::uniform_int_distribution<int>(0, 9)(random) < 8)
                text += ':';
            else
                text += alphabet[std::uniform_int_distribution<int>(0, sizeof alphabet - 2)(random)];
        }
        SCOPED_TRACE(text);
        ASSERT_EQ(scanned(text.c_str()), mac(text.c_str()));
    }
}

TEST(MacText, KeyHolderFormIsTwelveUpperCaseDigits)
{
    EXPECT_EQ("0A1B2C3D4E5F", rrm::mac_to_keyholder_string(mac("0a:1b:2c:3d:4e:5f")));
    EXPECT_EQ("000000000000", rrm::mac_to_keyholder_string(MacAddress{}));
}

// Both written forms, byte for byte as printf writes them, for every value
// of every octet and for a spread of whole addresses.
TEST(MacText, WrittenFormsAreWhatPrintfWrites)
{
    auto check = [](const MacAddress& m) {
        const uint8_t* o = m.octets;
        char colons[32];
        std::snprintf(colons, sizeof colons, "%02X:%02X:%02X:%02X:%02X:%02X", o[0], o[1], o[2],
                      o[3], o[4], o[5]);
        char plain[32];
        std::snprintf(plain, sizeof plain, "%02X%02X%02X%02X%02X%02X", o[0], o[1], o[2], o[3],
                      o[4], o[5]);
        ASSERT_EQ(colons, mac_to_string(m));
        ASSERT_EQ(plain, rrm::mac_to_keyholder_string(m));
    };
    for (int position = 0; position < 6; ++position)
        for (int value = 0; value < 256; ++value) {
            MacAddress m;
            // The other octets carry a pattern, so a digit written to the
            // wrong place shows.
            for (int i = 0; i < 6; ++i)
                m.octets[i] = static_cast<uint8_t>(0x5A + 17 * i);
            m.octets[position] = static_cast<uint8_t>(value);
            SCOPED_TRACE(position);
            SCOPED_TRACE(value);
            check(m);
        }
    std::mt19937_64 random(20261210);
    for (int n = 0; n < 100000; ++n) {
        const uint64_t bits = random();
        MacAddress m;
        for (int i = 0; i < 6; ++i)
            m.octets[i] = static_cast<uint8_t>(bits >> (8 * i));
        check(m);
    }
}

TEST(MacHash, FollowsTheWordFormula)
{
    rrm::MacHash hash;
    EXPECT_EQ(0u, hash(MacAddress{}));
    EXPECT_EQ(0x5483u, hash(mac("00:11:22:33:44:55")));
    EXPECT_EQ(0x5485u, hash(mac("02:11:22:33:44:55")));
    // Largest possible value: both brackets at 0xFFFF.
    EXPECT_EQ(131070u, hash(mac("ff:ff:00:ff:ff:00")));
    EXPECT_EQ(131070u - 0xFF0u * 2, hash(mac("ff:ff:ff:ff:ff:ff")));
}

TEST(MacEquality, ComparesAllOctets)
{
    EXPECT_EQ(mac("00:11:22:33:44:55"), mac("00:11:22:33:44:55"));
    EXPECT_NE(mac("00:11:22:33:44:55"), mac("00:11:22:33:44:56"));
    EXPECT_NE(mac("00:11:22:33:44:55"), mac("02:11:22:33:44:55"));
}

TEST(MacEquality, IgnoringLocalBitOnlyForgivesBit02OfFirstOctet)
{
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"06:11:22:33:44:55", "04:11:22:33:44:55", true},
        {"00:11:22:33:44:55", "02:11:22:33:44:55", true},
        {"00:11:22:33:44:55", "00:11:22:33:44:55", true},
        {"06:11:22:33:44:55", "07:11:22:33:44:55", false},
        {"00:11:22:33:44:55", "01:11:22:33:44:55", false},
        {"00:11:22:33:44:55", "02:11:22:33:44:54", false},
        {"00:13:22:33:44:55", "00:11:22:33:44:55", false},  // bit 0x02 of another octet
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " " + c.b);
        EXPECT_EQ(c.equal, rrm::mac_equal_ignoring_local_bit(mac(c.a), mac(c.b)));
        EXPECT_EQ(c.equal, rrm::mac_equal_ignoring_local_bit(mac(c.b), mac(c.a)));
    }
}

TEST(MacRetry, FindsTheFlippedFormButPrefersTheExactOne)
{
    std::unordered_map<MacAddress, int, rrm::MacHash> table;
    table.emplace(mac("00:11:22:33:44:55"), 1);
    auto it = rrm::find_mac_with_retry(table, mac("02:11:22:33:44:55"));
    ASSERT_NE(table.end(), it);
    EXPECT_EQ(1, it->second);
    EXPECT_EQ(table.end(), rrm::find_mac_with_retry(table, mac("01:11:22:33:44:55")));

    table.emplace(mac("02:11:22:33:44:55"), 2);
    EXPECT_EQ(1, rrm::find_mac_with_retry(table, mac("00:11:22:33:44:55"))->second);
    EXPECT_EQ(2, rrm::find_mac_with_retry(table, mac("02:11:22:33:44:55"))->second);

    const auto& ctable = table;
    EXPECT_EQ(2, rrm::find_mac_with_retry(ctable, mac("02:11:22:33:44:55"))->second);
}

TEST(Mac48, OctetZeroIsMostSignificant)
{
    EXPECT_EQ(0x001122334455ull, rrm::mac_to_u48(mac("00:11:22:33:44:55")));
    EXPECT_EQ(0xFFFFFFFFFFFFull, rrm::mac_to_u48(mac("ff:ff:ff:ff:ff:ff")));
    EXPECT_EQ("AB:CD:EF:01:23:45", mac_to_string(rrm::mac_from_u48(0xABCDEF012345ull)));
}

TEST(MacOffset, StaysInsideTheLow24BitBlockOrFallsBackToTheBase)
{
    struct Case {
        const char* base;
        int64_t offset;
        const char* result;
    } cases[] = {
        {"00:11:22:33:44:50", 16, "00:11:22:33:44:60"},
        {"00:11:22:33:44:00", 32, "00:11:22:33:44:20"},
        {"00:11:22:33:44:50", 0, "00:11:22:33:44:50"},
        {"00:11:22:33:44:50", 3, "00:11:22:33:44:53"},
        {"00:11:22:ff:ff:f5", 32, "00:11:22:FF:FF:F5"},  // passes 0xFFFFFF
        {"00:11:22:ff:ff:f0", 32, "00:11:22:FF:FF:F0"},
        {"00:11:22:ff:ff:f0", 15, "00:11:22:FF:FF:FF"},
        {"00:11:22:ff:ff:fe", 3, "00:11:22:FF:FF:FE"},
        {"00:11:22:33:44:50", -16, "00:11:22:33:44:50"},  // below the base
        // A negative offset that wraps below zero lands high in the block.
        {"00:11:22:00:00:02", -5, "00:11:22:FF:FF:FD"},
        // Offsets of any 32-bit size are safe; only their low 24 bits count.
        {"00:11:22:00:00:00", INT32_MAX, "00:11:22:FF:FF:FF"},
        {"00:11:22:00:00:01", INT32_MIN, "00:11:22:00:00:01"},
        {"00:11:22:00:00:01", 0x1000000, "00:11:22:00:00:01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + std::to_string(c.offset));
        EXPECT_EQ(c.result, mac_to_string(rrm::mac_with_offset(mac(c.base), c.offset)));
    }
}

}  // namespace
