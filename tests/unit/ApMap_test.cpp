// AP maps: insertion, lookups, moves with time-to-live, ageing, deep copy,
// per-cycle flags and the domain status arrays. Every test also checks that
// the index names only APs the table holds.

#include "ApMap.h"
#include "DomainConfig.h"
#include "JsonWriter.h"
#include "MacAddress.h"

#include "ApFixtures.h"
#include "DcaDomain.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace {

using rrm::ApMap;
using testsupport::add_vap;
using testsupport::enable_radio;
using testsupport::index_within_table;
using testsupport::mac;

std::shared_ptr<rrm::ApEntry> make_ap(const rrm::DomainConfig& config, const char* mac_text,
                                      uint32_t session_id, int ttl = 0)
{
    auto ap = testsupport::make_ap(config, mac_text, session_id);
    ap->ttl = ttl;
    return ap;
}

// An AP whose radio 0 is enabled, so that its MAC is a BSSID of the index.
std::shared_ptr<rrm::ApEntry> indexed_ap(const rrm::DomainConfig& config, const char* mac_text,
                                         uint32_t session_id = 1)
{
    auto ap = make_ap(config, mac_text, session_id);
    enable_radio(*ap, 0);
    return ap;
}

TEST(ApMap, InsertKeepsTheFirstApOfAMac)
{
    rrm::DomainConfig config;
    rrm::ApMap map;
    auto first = indexed_ap(config, "00:00:00:00:00:10", 1);
    map.insert(first->base_mac, first);
    testsupport::LogCapture logs;
    auto second = indexed_ap(config, "00:00:00:00:00:10", 2);
    add_vap(second->radios.radios[0], "new", 3);
    map.insert(first->base_mac, second);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.table.at(first->base_mac), first);
    // The newcomer is not indexed: no BSSID may lead to an AP outside the
    // table.
    EXPECT_EQ(first, map.find_ap_by_bssid(first->base_mac));
    EXPECT_EQ(nullptr, map.find_ap_by_bssid(mac("00:00:00:00:00:13")));
    EXPECT_TRUE(index_within_table(map));
    EXPECT_TRUE(logs.has(rrm::LOG_LEVEL_WARNING,
                         "AP 00:00:00:00:00:10 not added: MAC 00:00:00:00:00:10 already held by "
                         "AP 00:00:00:00:00:10"));

    // Inserting the AP that is already there indexes it anew.
    add_vap(first->radios.radios[0], "later", 4);
    map.insert(first->base_mac, first);
    EXPECT_EQ(first, map.find_ap_by_bssid(mac("00:00:00:00:00:14")));
}

TEST(ApMap, GetApChecksTableAndSession)
{
    rrm::DomainConfig config;
    ApMap map;
    auto restored = make_ap(config, "00:00:00:00:00:01", 0);
    auto live = make_ap(config, "00:00:00:00:00:02", 5);
    map.insert(restored->base_mac, restored);
    map.insert(live->base_mac, live);

    struct Case {
        const char* mac;
        uint32_t session;
        const char* error;  // nullptr: found
    } cases[] = {
        {"00:00:00:00:00:01", 5, "invalid session"},
        {"00:00:00:00:00:01", 0, nullptr},
        {"00:00:00:00:00:02", 5, nullptr},
        {"00:00:00:00:00:02", 6, "invalid session"},
        {"00:00:00:00:00:03", 5, "AP not found"},
        {"00:00:00:00:00:03", 0, "AP not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mac) + " session " + std::to_string(c.session));
        // Only the session id counts, not the connection or thread index.
        const BaseSession session{reinterpret_cast<lws*>(0x10), 3, c.session};
        if (c.error) {
            try {
                map.get_ap(mac(c.mac), session);
                ADD_FAILURE() << "no exception";
            } catch (const std::out_of_range& e) {
                EXPECT_STREQ(c.error, e.what());
            }
        } else {
            const auto& found = map.get_ap(mac(c.mac), session);
            EXPECT_EQ(&found, &map.table.at(mac(c.mac)));
        }
    }
}

TEST(ApMap, AgeRemovesExpiredApsAndCountsThem)
{
    rrm::DomainConfig config;
    rrm::ApMap map;
    for (auto ap : {make_ap(config, "00:00:00:00:00:01", 1, 2),
                    make_ap(config, "00:00:00:00:00:02", 1, 1),
                    make_ap(config, "00:00:00:00:00:03", 1, 0),
                    make_ap(config, "00:00:00:00:00:04", 1, std::numeric_limits<int32_t>::min())})
        map.insert(ap->base_mac, ap);
    enable_radio(*map.table.at(mac("00:00:00:00:00:02")), 0);
    map.reindex_ap(map.table.at(mac("00:00:00:00:00:02")));
    EXPECT_EQ(map.age(), 3);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.table.begin()->second->ttl, 1);
    EXPECT_EQ(nullptr, map.find_ap_by_bssid(mac("00:00:00:00:00:02")));
    EXPECT_TRUE(map.index.empty());
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
    EXPECT_EQ(deleted.size(), 2u);
    EXPECT_EQ(deleted.table.at(a->base_mac), a);
    EXPECT_EQ(a->ttl, 5);
    EXPECT_EQ(deleted.table.at(c->base_mac), older) << "the AP already there stays";
    // ... and the one that could not join it is not lost.
    EXPECT_EQ(active.size(), 2u);
    EXPECT_EQ(active.table.count(b->base_mac), 1u);
    EXPECT_EQ(active.table.at(c->base_mac), c);

    deleted.erase_session_aps(BaseSession{nullptr, 0, 4});
    EXPECT_EQ(deleted.size(), 1u);
    active.erase_session_aps(BaseSession{nullptr, 0, 6});
    EXPECT_EQ(active.size(), 2u);
    active.erase_session_aps(BaseSession{nullptr, 0, 4});
    EXPECT_EQ(active.size(), 1u);
}

TEST(ApMap, SessionMoveEmptiesBlockListsAndClients)
{
    rrm::DomainConfig config;
    config.away_timeout = 120;
    ApMap active, deleted;
    auto ap = indexed_ap(config, "00:11:22:33:44:50", 7);
    add_vap(ap->radios.radios[0], "corp", 2);
    rrm::Radio& radio = ap->radios.radios[0];
    radio.block_list.block(mac("aa:00:00:00:00:01"), 30);
    radio.block_list.block_disassoc(mac("aa:00:00:00:00:02"), 30, "corp");
    radio.client_table.add_client(mac("aa:00:00:00:00:03"), -50, "corp", false, false);
    active.insert(ap->base_mac, ap);
    auto stays = indexed_ap(config, "00:AA:00:00:00:00", 8);
    active.insert(stays->base_mac, stays);

    active.move_session_aps(BaseSession{nullptr, 0, 7}, deleted);
    EXPECT_EQ(12, ap->ttl);
    EXPECT_TRUE(radio.block_list.members.empty());
    EXPECT_TRUE(radio.block_list.changes.empty());
    EXPECT_TRUE(radio.block_list.disassoc.empty());
    EXPECT_TRUE(radio.client_table.clients.empty());
    EXPECT_EQ(ap, deleted.find_ap_by_bssid(mac("00:11:22:33:44:52")));
    EXPECT_EQ(nullptr, active.find_ap_by_bssid(mac("00:11:22:33:44:52")));
    EXPECT_EQ(nullptr, active.find_ap_by_bssid(ap->base_mac));
    EXPECT_EQ(stays, active.find_ap_by_bssid(stays->base_mac));
    EXPECT_EQ(0, stays->ttl);
    EXPECT_TRUE(index_within_table(active));
    EXPECT_TRUE(index_within_table(deleted));
}

TEST(ApMap, CycleMovesSelectByFlagAndSetTheTtl)
{
    rrm::DomainConfig config;
    struct Case {
        const char* what;
        int (ApMap::*move)(ApMap&, int);
    } cases[] = {
        {"inactive", &ApMap::move_inactive_aps},
        {"not received", &ApMap::move_aps_not_received},
        {"without active radio", &ApMap::move_aps_without_active_radio},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ApMap active, unanswered;
        // A passes every test; B has no enabled radio; C's enabled radio is
        // on channel 0.
        auto a = indexed_ap(config, "00:00:00:00:01:00");
        a->active = true;
        a->radios.set_received();
        auto b = make_ap(config, "00:00:00:00:02:00", 1);
        auto c_ap = make_ap(config, "00:00:00:00:03:00", 1);
        enable_radio(*c_ap, 1, 0);
        for (auto ap : {a, b, c_ap})
            active.insert(ap->base_mac, ap);
        EXPECT_EQ(0, (unanswered.*c.move)(active, 4)) << "empty map";
        EXPECT_EQ(2, (active.*c.move)(unanswered, 12));
        EXPECT_EQ(1u, active.size());
        EXPECT_EQ(a, active.table.at(a->base_mac));
        EXPECT_EQ(0, a->ttl);
        EXPECT_EQ(12, b->ttl);
        EXPECT_EQ(12, c_ap->ttl);
        EXPECT_EQ(2u, unanswered.size());
        EXPECT_EQ(0, (active.*c.move)(unanswered, 3));
        EXPECT_TRUE(index_within_table(active));
        EXPECT_TRUE(index_within_table(unanswered));
    }

    // Only the received flag separates the last two selections.
    ApMap active, unanswered;
    auto ap = indexed_ap(config, "00:00:00:00:04:00");
    ap->active = true;
    active.insert(ap->base_mac, ap);
    EXPECT_EQ(0, active.move_inactive_aps(unanswered, 1));
    EXPECT_EQ(0, active.move_aps_without_active_radio(unanswered, 1));
    EXPECT_EQ(1, active.move_aps_not_received(unanswered, 1));
    EXPECT_EQ(ap, unanswered.find_ap_by_bssid(ap->base_mac));
}

TEST(ApMap, MoveAllFromTakesEveryApItCanHold)
{
    rrm::DomainConfig config;
    ApMap active, unanswered;
    unanswered.move_all_from(active);  // empty: nothing
    EXPECT_TRUE(unanswered.empty());

    auto a = indexed_ap(config, "00:00:00:00:01:00");
    auto b = indexed_ap(config, "00:00:00:00:02:00");
    auto c = indexed_ap(config, "00:00:00:00:03:00");
    for (auto ap : {a, b, c}) {
        ap->ttl = 7;
        unanswered.insert(ap->base_mac, ap);
    }
    active.move_all_from(unanswered);
    EXPECT_TRUE(unanswered.empty());
    EXPECT_TRUE(unanswered.index.empty());
    EXPECT_EQ(3u, active.size());
    for (auto ap : {a, b, c}) {
        EXPECT_EQ(ap, active.find_ap_by_bssid(ap->base_mac));
        EXPECT_EQ(7, ap->ttl);
    }

    // A MAC this map already holds keeps its AP here; the other map's AP
    // stays there, still indexed.
    auto twin = indexed_ap(config, "00:00:00:00:01:00", 9);
    auto d = indexed_ap(config, "00:00:00:00:04:00");
    unanswered.insert(twin->base_mac, twin);
    unanswered.insert(d->base_mac, d);
    active.move_all_from(unanswered);
    EXPECT_EQ(4u, active.size());
    EXPECT_EQ(a, active.table.at(a->base_mac));
    ASSERT_EQ(1u, unanswered.size());
    EXPECT_EQ(twin, unanswered.find_ap_by_bssid(twin->base_mac));
    EXPECT_TRUE(index_within_table(active));
    EXPECT_TRUE(index_within_table(unanswered));
}

TEST(ApMap, CopyIsDeepAndWithoutSessions)
{
    rrm::DomainConfig config;
    ApMap map;
    auto a = indexed_ap(config, "00:11:22:33:44:50", 5);
    add_vap(a->radios.radios[0], "corp", 1);
    a->ttl = 3;
    a->active = true;
    map.insert(a->base_mac, a);
    auto b = indexed_ap(config, "00:AA:22:33:44:50", 6);
    map.insert(b->base_mac, b);

    std::unique_ptr<ApMap> copy = map.copy();
    ASSERT_EQ(2u, copy->size());
    const auto& a2 = copy->table.at(a->base_mac);
    EXPECT_NE(a, a2);
    EXPECT_EQ(0u, a2->session.id);
    EXPECT_EQ(3, a2->ttl);
    EXPECT_TRUE(a2->active);
    EXPECT_EQ(a2, copy->find_ap_by_bssid(mac("00:11:22:33:44:51")));
    EXPECT_EQ(0, copy->find_radio_id_by_bssid(mac("02:11:22:33:44:51")));
    EXPECT_TRUE(index_within_table(*copy));

    a2->radios.radios[0].channel = 149;
    a2->radios.radios[0].vaps.clear();
    EXPECT_EQ(36, a->radios.radios[0].channel);
    EXPECT_EQ(1u, a->radios.radios[0].vaps.size());
    EXPECT_EQ(a, map.find_ap_by_bssid(mac("00:11:22:33:44:51")));
}

// The index a copy must have: every BSSID (MAC of an enabled radio, MACs of
// its VAPs) to the first AP, in the walk order of the source table, that
// claims it, with the radio that claims it first.
std::unordered_map<rrm::MacAddress, std::pair<rrm::MacAddress, int32_t>, rrm::MacHash>
expected_copy_index(const ApMap& source)
{
    std::unordered_map<rrm::MacAddress, std::pair<rrm::MacAddress, int32_t>, rrm::MacHash> index;
    for (const auto& entry : source.table)
        for (const rrm::Radio& radio : entry.second->radios.radios) {
            if (!radio.status)
                continue;
            const auto owner = std::make_pair(entry.second->base_mac, int32_t(radio.id));
            index.emplace(radio.mac, owner);
            for (const auto& vap : radio.vaps)
                index.emplace(vap.second.mac, owner);
        }
    return index;
}

::testing::AssertionResult copy_indexed_like(const ApMap& source, const ApMap& copy)
{
    const auto expected = expected_copy_index(source);
    if (copy.index.size() != expected.size())
        return ::testing::AssertionFailure()
               << copy.index.size() << " index entries, expected " << expected.size();
    for (const auto& entry : expected) {
        auto it = copy.index.table.find(entry.first);
        if (it == copy.index.table.end())
            return ::testing::AssertionFailure()
                   << rrm::mac_to_string(entry.first) << " missing from the copy's index";
        const rrm::ApEntry& ap = *it->second.ap;
        if (ap.base_mac != entry.second.first || it->second.radio_id != entry.second.second ||
            copy.table.at(ap.base_mac).get() != &ap)
            return ::testing::AssertionFailure()
                   << rrm::mac_to_string(entry.first) << " names AP "
                   << rrm::mac_to_string(ap.base_mac) << " radio " << it->second.radio_id;
    }
    return ::testing::AssertionSuccess();
}

TEST(ApMap, CopyIndexesEveryBssidOfItsOwnAps)
{
    // A generated domain with disabled radios, locks and empty channel sets,
    // plus VAPs: one AP's VAP claims another AP's radio MAC, a disabled
    // radio has VAPs (not indexed), two APs claim one VAP MAC.
    auto domain = testsupport::make_dca_domain(60, 7, true);
    ApMap& source = domain->aps;
    auto ap_at = [&](int n) {
        return source.table.at(rrm::mac_from_u48(0x001a00000000ULL + uint64_t(n) * 256));
    };
    rrm::Radio& a0 = ap_at(0)->radios.radios[0];
    a0.status = true;
    add_vap(a0, "corp", 1);
    add_vap(a0, "guest", 2);
    rrm::Radio& b1 = ap_at(1)->radios.radios[1];
    b1.status = true;
    rrm::Vap stolen(3, "stolen", ap_at(0)->radios.radios[1].mac, false, false, false);
    b1.vaps.set("stolen", stolen);
    rrm::Vap shared(4, "shared", mac("00:1A:00:00:FF:01"), false, false, false);
    b1.vaps.set("shared", shared);
    rrm::Radio& c2 = ap_at(2)->radios.radios[2];
    c2.vaps.set("shared", shared);
    c2.status = true;
    rrm::Radio& d2 = ap_at(3)->radios.radios[2];
    d2.status = false;
    add_vap(d2, "dark", 5);
    for (int n : {0, 1, 2, 3})
        source.reindex_ap(ap_at(n));

    std::unique_ptr<ApMap> copy = source.copy();
    ASSERT_EQ(source.size(), copy->size());
    for (const auto& entry : source.table) {
        const auto& copied = copy->table.at(entry.first);
        EXPECT_NE(entry.second, copied);
    }
    EXPECT_TRUE(copy_indexed_like(source, *copy));
    EXPECT_TRUE(index_within_table(*copy));
    // A copy of the copy indexes the same way again.
    std::unique_ptr<ApMap> again = copy->copy();
    EXPECT_TRUE(copy_indexed_like(*copy, *again));
    // A disabled radio's VAP is no BSSID of either.
    EXPECT_EQ(nullptr, copy->find_ap_by_bssid(rrm::mac_with_offset(d2.mac, 5)));
}

TEST(ApMap, ReindexOnlyApsOfTheTable)
{
    rrm::DomainConfig config;
    ApMap map;
    auto ap = indexed_ap(config, "00:11:22:33:44:50");
    map.insert(ap->base_mac, ap);
    add_vap(ap->radios.radios[0], "new", 4);
    EXPECT_EQ(nullptr, map.find_ap_by_bssid(mac("00:11:22:33:44:54")));
    map.reindex_ap(ap);
    EXPECT_EQ(ap, map.find_ap_by_bssid(mac("00:11:22:33:44:54")));
    EXPECT_TRUE(map.contains_bssid(mac("02:11:22:33:44:54")));

    // An AP held under another key is still found; one the table does not
    // hold is not indexed.
    auto aliased = indexed_ap(config, "00:CC:00:00:00:00");
    map.insert(mac("00:DD:00:00:00:00"), aliased);
    enable_radio(*aliased, 1);
    map.reindex_ap(aliased);
    EXPECT_EQ(aliased, map.find_ap_by_bssid(aliased->radios.radios[1].mac));
    auto stranger = indexed_ap(config, "00:EE:00:00:00:00");
    map.reindex_ap(stranger);
    map.reindex_ap(nullptr);
    EXPECT_FALSE(map.contains_bssid(stranger->base_mac));
    EXPECT_TRUE(index_within_table(map));
}

TEST(ApMap, PerCycleFlagsAndBlockListChanges)
{
    rrm::DomainConfig config;
    ApMap map;
    EXPECT_TRUE(map.all_aps_received());
    auto a = indexed_ap(config, "00:00:00:00:01:00");
    auto b = indexed_ap(config, "00:00:00:00:02:00");
    for (auto ap : {a, b}) {
        ap->radios.set_received();
        ap->active = true;
        ap->radios.radios[0].conflicted = true;
        ap->radios.radios[2].power_changed = -3;
        map.insert(ap->base_mac, ap);
    }
    EXPECT_TRUE(map.all_aps_received());
    b->radios.radios[0].channel = 0;
    EXPECT_FALSE(map.all_aps_received());
    b->radios.radios[0].channel = 36;
    map.reset_radios_received();
    EXPECT_FALSE(a->radios.received);
    EXPECT_FALSE(map.all_aps_received());

    map.reset_active_flags();
    for (auto ap : {a, b}) {
        EXPECT_FALSE(ap->active);
        EXPECT_FALSE(ap->radios.radios[0].conflicted);
        EXPECT_EQ(0, ap->radios.radios[2].power_changed);
    }

    rrm::RadioBlacklist& list = a->radios.radios[1].block_list;  // a disabled radio
    list.block(mac("aa:00:00:00:00:01"), 30);
    list.block_disassoc(mac("aa:00:00:00:00:02"), 30, "s");
    map.clear_blacklist_changes();
    EXPECT_TRUE(list.changes.empty());
    EXPECT_TRUE(list.disassoc.empty());
    EXPECT_EQ(2u, list.members.size());
    map.clear_all_blacklists();
    EXPECT_TRUE(list.members.empty());
}

TEST(ApMapJson, StateAndDetailsInAscendingMacOrder)
{
    rrm::DomainConfig config;
    ApMap map;
    {
        rrm::JsonWriter root("");
        rrm::JsonWriter array = root.add_array("aps");
        map.to_json(array);
        map.details_to_json(array);
        EXPECT_STREQ(R"({"aps":[]})", root.to_string());
    }
    auto high = testsupport::make_ap(config, "00:BB:00:00:00:00", 1,
                                     rrm::FactorySettings("board-b", "hw-b", "serial-b", {}));
    auto low = testsupport::make_ap(config, "00:AA:00:00:00:00", 2,
                                    rrm::FactorySettings("board-a", "", "serial-a", {}));
    add_vap(enable_radio(*low, 2), "zeta", 1);
    add_vap(low->radios.radios[2], "alpha", 2);
    map.insert(high->base_mac, high);
    map.insert(low->base_mac, low);

    rrm::JsonWriter details("");
    rrm::JsonWriter list = details.add_array("aps");
    map.details_to_json(list);
    EXPECT_EQ(
        R"({"aps":[{"board":"board-a","mac":"00:AA:00:00:00:00","serial":"serial-a","hw":"",)"
        R"("radios":[{"id":0,"vaps":[]},{"id":1,"vaps":[]},{"id":2,"vaps":[)"
        R"({"id":2,"ssid":"alpha","mac":"00:AA:00:00:00:22","mobility-domain":34512,)"
        R"("use_802dot11k":0,"use_802dot11r":0,"use_802dot11v":0},)"
        R"({"id":1,"ssid":"zeta","mac":"00:AA:00:00:00:21","mobility-domain":26937,)"
        R"("use_802dot11k":0,"use_802dot11r":0,"use_802dot11v":0}]}]},)"
        R"({"board":"board-b","mac":"00:BB:00:00:00:00","serial":"serial-b","hw":"hw-b",)"
        R"("radios":[{"id":0,"vaps":[]},{"id":1,"vaps":[]},{"id":2,"vaps":[]}]}]})",
        std::string(details.to_string()));

    rrm::JsonWriter state("");
    rrm::JsonWriter states = state.add_array("aps");
    map.to_json(states);
    const std::string text = state.to_string();
    rrm::JsonWriter low_state("");
    low->to_json(low_state);
    rrm::JsonWriter high_state("");
    high->to_json(high_state);
    EXPECT_EQ(std::string(R"({"aps":[)") + low_state.to_string() + "," + high_state.to_string() +
                  "]}",
              text);
    EXPECT_EQ(std::string::npos, text.find("\"board\""));
    EXPECT_EQ(std::string::npos, text.find("\"serial\""));
}

}  // namespace
