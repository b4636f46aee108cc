// 802.11r data of a VAP: reading key holders and links, matching, linking,
// the broadcast link and the random keys.

#include "JsonReader.h"
#include "VapMap.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

using rrm::FbtLink;
using rrm::JsonReader;
using rrm::Vap;

Vap remote(const std::string& r0, const std::string& r1, const std::string& key)
{
    Vap vap(1, "ssid", rrm::MacAddress{}, false, true, false);
    vap.fbt_r0_keyholder = r0;
    vap.fbt_r1_keyholder = r1;
    vap.fbt_rrb_key = key;
    return vap;
}

bool is_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

TEST(VapFbtRead, WithoutRrbKeyNothingIsRead)
{
    Vap vap = remote("r0", "00:11:22:33:44:55", "key");
    vap.fbt_links.push_back({"a", "b", "c"});
    JsonReader json(R"({"fbt-r0-keyholder":"x","fbt-r1-keyholder":"y",
                        "fbt-links":[{"remote-r0-kh-id":"q"}]})");
    vap.fbt_from_json(json);
    EXPECT_EQ("r0", vap.fbt_r0_keyholder);
    EXPECT_EQ("00:11:22:33:44:55", vap.fbt_r1_keyholder);
    EXPECT_EQ("key", vap.fbt_rrb_key);
    ASSERT_EQ(1u, vap.fbt_links.size());
    EXPECT_EQ("a", vap.fbt_links[0].remote_r0_kh_id());
}

TEST(VapFbtRead, NullRrbKeyCountsAsPresent)
{
    Vap vap = remote("r0", "r1", "key");
    JsonReader json(R"({"fbt-rrb-key":null,"fbt-r0-keyholder":5,
                        "fbt-links":[{"remote-r0-kh-id":"q","remote-r1-kh-id":"m",
                                      "remote-r1-kh-key":"k"}]})");
    vap.fbt_from_json(json);
    EXPECT_EQ("", vap.fbt_r0_keyholder);
    EXPECT_EQ("", vap.fbt_r1_keyholder);
    EXPECT_EQ("", vap.fbt_rrb_key);
    ASSERT_EQ(1u, vap.fbt_links.size());
    EXPECT_EQ("q", vap.fbt_links[0].remote_r0_kh_id());
    EXPECT_EQ("m", vap.fbt_links[0].remote_r1_kh_id());
    EXPECT_EQ("k", vap.fbt_links[0].remote_r1_kh_key());
}

TEST(VapFbtRead, LinksAreAppendedNullElementsSkipped)
{
    JsonReader json(R"({"fbt-r0-keyholder":"me","fbt-r1-keyholder":"00:11:22:33:44:55",
                        "fbt-rrb-key":"KEY",
                        "fbt-links":[{"remote-r0-kh-id":"a","remote-r1-kh-id":"b",
                                      "remote-r1-kh-key":"c"},
                                     null,
                                     {"remote-r1-kh-id":"only-r1"},
                                     7]})");
    Vap vap = remote("", "", "");
    vap.fbt_from_json(json);
    vap.fbt_from_json(json);  // a second reading appends the same links again
    EXPECT_EQ("me", vap.fbt_r0_keyholder);
    EXPECT_EQ("00:11:22:33:44:55", vap.fbt_r1_keyholder);
    EXPECT_EQ("KEY", vap.fbt_rrb_key);
    ASSERT_EQ(6u, vap.fbt_links.size());
    for (int round = 0; round < 2; ++round) {
        const FbtLink* l = &vap.fbt_links[round * 3];
        EXPECT_EQ("a", l[0].remote_r0_kh_id());
        EXPECT_EQ("b", l[0].remote_r1_kh_id());
        EXPECT_EQ("c", l[0].remote_r1_kh_key());
        EXPECT_EQ("", l[1].remote_r0_kh_id());
        EXPECT_EQ("only-r1", l[1].remote_r1_kh_id());
        EXPECT_EQ("", l[1].remote_r1_kh_key());
        // A scalar element is not an object: three empty texts.
        EXPECT_EQ("", l[2].remote_r0_kh_id());
        EXPECT_EQ("", l[2].remote_r1_kh_id());
    }
}

TEST(VapFbtRead, LinksMemberWithoutElements)
{
    for (const char* links : {"null", "[]", "{}", "\"x\""}) {
        SCOPED_TRACE(links);
        JsonReader json((std::string(R"({"fbt-rrb-key":"K","fbt-links":)") + links + "}").c_str());
        Vap vap = remote("", "", "");
        vap.fbt_from_json(json);
        EXPECT_EQ("K", vap.fbt_rrb_key);
        EXPECT_TRUE(vap.fbt_links.empty());
    }
}

TEST(VapFbtLinks, MatchingRule)
{
    struct Case {
        const char* what;
        FbtLink link;
        bool linked;
    } cases[] = {
        {"same texts", {"R0", "00:11:22:33:44:55", "key"}, true},
        {"local bit set in the link", {"R0", "02:11:22:33:44:55", "key"}, true},
        {"multicast bit differs", {"R0", "01:11:22:33:44:55", "key"}, false},
        {"lower-case digits", {"R0", "00:11:22:33:44:55", "key"}, true},
        {"r0 differs in case", {"r0", "00:11:22:33:44:55", "key"}, false},
        {"key differs", {"R0", "00:11:22:33:44:55", "Key"}, false},
        {"last octet differs", {"R0", "00:11:22:33:44:56", "key"}, false},
    };
    const Vap other = remote("R0", "00:11:22:33:44:55", "key");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Vap vap = remote("", "", "");
        vap.fbt_links.push_back(c.link);
        EXPECT_EQ(c.linked, vap.is_linked(other));
    }

    // Hexadecimal digits of either case name the same key holder.
    Vap vap = remote("", "", "");
    vap.fbt_links.push_back({"R0", "aa:bb:cc:dd:ee:ff", "key"});
    EXPECT_TRUE(vap.is_linked(remote("R0", "AA:BB:CC:DD:EE:FF", "key")));

    // Two R1 texts that are no MACs both read as all zero and match; R0 and
    // the key still have to be equal.
    Vap odd = remote("", "", "");
    odd.fbt_links.push_back({"R0", "not-a-mac", "key"});
    EXPECT_TRUE(odd.is_linked(remote("R0", "AABBCCDDEEFF", "key")));
    EXPECT_FALSE(odd.is_linked(remote("R0x", "AABBCCDDEEFF", "key")));

    EXPECT_FALSE(remote("", "", "").is_linked(other));
}

TEST(VapFbtLinks, LinkAppendsAndUnlinkRemovesFirstMatchOnly)
{
    const Vap a = remote("R0-a", "00:00:00:00:00:0A", "key-a");
    const Vap b = remote("R0-b", "00:00:00:00:00:0B", "key-b");
    Vap vap = remote("me", "00:00:00:00:00:01", "mine");
    vap.link(a, "000000000A0A");
    vap.link(b);
    vap.link(a, "02:00:00:00:00:0A");
    ASSERT_EQ(3u, vap.fbt_links.size());
    EXPECT_EQ("R0-a", vap.fbt_links[0].remote_r0_kh_id());
    EXPECT_EQ("000000000A0A", vap.fbt_links[0].remote_r1_kh_id());
    EXPECT_EQ("key-a", vap.fbt_links[0].remote_r1_kh_key());
    EXPECT_EQ("00:00:00:00:00:0B", vap.fbt_links[1].remote_r1_kh_id());
    EXPECT_EQ("key-b", vap.fbt_links[1].remote_r1_kh_key());

    // The first link's R1 text is not a colon MAC, so only the third
    // matches a.
    EXPECT_TRUE(vap.is_linked(a));
    vap.unlink(a);
    ASSERT_EQ(2u, vap.fbt_links.size());
    EXPECT_EQ("000000000A0A", vap.fbt_links[0].remote_r1_kh_id());
    EXPECT_EQ("00:00:00:00:00:0B", vap.fbt_links[1].remote_r1_kh_id());
    EXPECT_FALSE(vap.is_linked(a));

    // Two matching links: unlink removes one, the VAP stays linked.
    vap.link(b);
    vap.unlink(b);
    EXPECT_TRUE(vap.is_linked(b));
    ASSERT_EQ(2u, vap.fbt_links.size());
    EXPECT_EQ("000000000A0A", vap.fbt_links[0].remote_r1_kh_id());

    vap.unlink(remote("nobody", "", ""));
    EXPECT_EQ(2u, vap.fbt_links.size());
}

TEST(VapFbtLinks, BroadcastLinkOnceWithTheProcessWideKey)
{
    testsupport::LogCapture logs;
    Vap first = remote("", "", "");
    EXPECT_TRUE(first.link_broadcast_802dot11r());
    EXPECT_FALSE(first.link_broadcast_802dot11r());
    ASSERT_EQ(1u, first.fbt_links.size());
    const FbtLink& link = first.fbt_links[0];
    EXPECT_EQ("*", link.remote_r0_kh_id());
    EXPECT_EQ("ff:ff:ff:ff:ff:ff", link.remote_r1_kh_id());
    ASSERT_EQ(16u, link.remote_r1_kh_key().size());
    for (char c : link.remote_r1_kh_key())
        EXPECT_TRUE(is_letter(c)) << c;
    EXPECT_EQ(rrm::fbt_wildcard_key(), link.remote_r1_kh_key());
    EXPECT_EQ(1u, logs.count(rrm::LOG_LEVEL_DEBUG, "FBT broadcast mac added"));
    EXPECT_EQ(1u, logs.records().size());

    // An upper-case R1 text is not the broadcast link.
    Vap second = remote("", "", "");
    second.fbt_links.push_back({"*", "FF:FF:FF:FF:FF:FF", "x"});
    EXPECT_TRUE(second.link_broadcast_802dot11r());
    ASSERT_EQ(2u, second.fbt_links.size());
    EXPECT_EQ(link.remote_r1_kh_key(), second.fbt_links[1].remote_r1_kh_key());
}

TEST(VapFbtKeys, GeneratedKeysAreLettersWithTerminator)
{
    char buffer[17];
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(buffer, Vap::generate_random_key(buffer, sizeof buffer));
    EXPECT_EQ('\0', buffer[16]);
    EXPECT_EQ(16u, std::strlen(buffer));
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(is_letter(buffer[i])) << buffer[i];

    char one = 'x';
    ASSERT_EQ(&one, Vap::generate_random_key(&one, 1));
    EXPECT_EQ('\0', one);

    char untouched = 'x';
    EXPECT_EQ(nullptr, Vap::generate_random_key(&untouched, 0));
    EXPECT_EQ('x', untouched);
    EXPECT_EQ(nullptr, Vap::generate_random_key(nullptr, 17));
}

TEST(VapFbtKeys, EveryLetterOccursAndKeysDiffer)
{
    // 20000 letters: the chance that one of the 52 never shows is about
    // 52 * (51/52)^20000, far below anything observable.
    std::set<char> seen;
    std::set<std::string> keys;
    char buffer[17];
    for (int i = 0; i < 1250; ++i) {
        Vap::generate_random_key(buffer, sizeof buffer);
        keys.insert(buffer);
        for (int j = 0; j < 16; ++j)
            seen.insert(buffer[j]);
    }
    EXPECT_EQ(52u, seen.size());
    for (char c : seen)
        EXPECT_TRUE(is_letter(c)) << c;
    EXPECT_EQ(1250u, keys.size());
}

}  // namespace
