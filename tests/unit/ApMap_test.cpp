#include "ApMap.h"
#include "DomainConfig.h"
#include "MacAddress.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

std::shared_ptr<rrm::ApEntry> make_ap(const rrm::DomainConfig& config, const char* mac,
                                      uint32_t session_id, int ttl = 0)
{
    auto ap = std::make_shared<rrm::ApEntry>(&config, rrm::mac_from_string(mac),
                                             BaseSession{nullptr, 0, session_id});
    ap->ttl = ttl;
    return ap;
}

TEST(ApMap, InsertKeepsTheFirstApOfAMac)
{
    rrm::DomainConfig config;
    rrm::ApMap map;
    auto first = make_ap(config, "00:00:00:00:00:01", 1);
    map.insert(first->base_mac, first);
    map.insert(first->base_mac, make_ap(config, "00:00:00:00:00:01", 2));
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.table.at(first->base_mac), first);
}

TEST(ApMap, AgeRemovesExpiredApsAndCountsThem)
{
    rrm::DomainConfig config;
    rrm::ApMap map;
    for (auto ap : {make_ap(config, "00:00:00:00:00:01", 1, 2),
                    make_ap(config, "00:00:00:00:00:02", 1, 1),
                    make_ap(config, "00:00:00:00:00:03", 1, 0)})
        map.insert(ap->base_mac, ap);
    EXPECT_EQ(map.age(), 2);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.table.begin()->second->ttl, 1);
    EXPECT_EQ(map.age(), 1);
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(map.age(), 0);
}

TEST(ApMap, SessionMovesAndErasuresCompareTheSessionIdOnly)
{
    rrm::DomainConfig config;
    config.away_timeout = 50;  // 5 ticks of 10 s
    rrm::ApMap active, deleted;
    auto a = make_ap(config, "00:00:00:00:00:01", 4);
    auto b = make_ap(config, "00:00:00:00:00:02", 5);
    auto c = make_ap(config, "00:00:00:00:00:03", 4);
    auto older = make_ap(config, "00:00:00:00:00:03", 0, 9);
    for (auto ap : {a, b, c})
        active.insert(ap->base_mac, ap);
    deleted.insert(older->base_mac, older);

    active.move_session_aps(BaseSession{reinterpret_cast<lws*>(8), 3, 4}, deleted);
    EXPECT_EQ(active.size(), 1u);
    EXPECT_EQ(active.table.count(b->base_mac), 1u);
    EXPECT_EQ(deleted.size(), 2u);
    EXPECT_EQ(deleted.table.at(a->base_mac), a);
    EXPECT_EQ(a->ttl, 5);
    EXPECT_EQ(deleted.table.at(c->base_mac), older) << "the AP already there stays";

    deleted.erase_session_aps(BaseSession{nullptr, 0, 4});
    EXPECT_EQ(deleted.size(), 1u);
    active.erase_session_aps(BaseSession{nullptr, 0, 6});
    EXPECT_EQ(active.size(), 1u);
}

}  // namespace
