#include "RadioList.h"

#include "DomainConfig.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using rrm::DomainConfig;
using rrm::MacAddress;
using rrm::Radio;
using rrm::RadioList;
using rrm::Vap;

const MacAddress BASE = rrm::mac_from_string("00:11:22:33:44:00");

TEST(RadioList, NewListHasThreeDisabledRadios)
{
    DomainConfig config;
    RadioList list(&config, BASE);
    ASSERT_EQ(3u, list.radios.size());
    for (uint32_t id = 0; id < 3; ++id) {
        const Radio& r = list.radios[id];
        SCOPED_TRACE(id);
        EXPECT_EQ(id, r.id);
        EXPECT_EQ(&config, r.config);
        EXPECT_FALSE(r.status);
        EXPECT_EQ(1, r.channel);
        EXPECT_EQ(20, r.bandwidth);
        EXPECT_EQ(0, r.power);
        EXPECT_EQ(0, r.max_power);
        EXPECT_EQ(0, r.min_power);
        EXPECT_EQ(rrm::mac_with_offset(BASE, id * 16), r.mac);
    }
    EXPECT_FALSE(list.received);
    EXPECT_TRUE(list.defaults_pending);
    EXPECT_FALSE(list.has_active_radio());
    EXPECT_FALSE(list.is_ready());
    EXPECT_TRUE(list.has_balancer_radio());
}

TEST(RadioList, CopiesAndMovesKeepRadiosAndFlags)
{
    DomainConfig config;
    RadioList list(&config, BASE);
    list.radios[1].vaps.set("s", Vap(1, "s", {}, true, false, false));
    list.received = true;
    list.defaults_pending = false;
    RadioList copy = list;
    EXPECT_TRUE(copy.received);
    EXPECT_FALSE(copy.defaults_pending);
    EXPECT_TRUE(copy.has_80211k_vaps());
    RadioList moved = std::move(copy);
    EXPECT_TRUE(moved.received);
    EXPECT_EQ(3u, moved.radios.size());
    RadioList assigned(&config, BASE);
    assigned = std::move(moved);
    EXPECT_TRUE(assigned.has_80211k_vaps());
    EXPECT_FALSE(assigned.defaults_pending);
}

TEST(RadioList, ActiveAndReady)
{
    DomainConfig config;
    struct Case {
        bool status;
        int32_t channel;
        bool received;
        bool active, ready;
    } cases[] = {
        {true, 36, true, true, true},   {true, 36, false, true, false},
        {true, 0, true, false, false},  {false, 36, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.status << " " << c.channel << " " << c.received);
        RadioList list(&config, BASE);
        list.radios[1].status = c.status;
        list.radios[1].channel = c.channel;
        if (c.received)
            list.set_received();
        EXPECT_EQ(c.active, list.has_active_radio());
        EXPECT_EQ(c.ready, list.is_ready());
        list.reset_received();
        EXPECT_FALSE(list.is_ready());
    }
}

TEST(RadioList, VapAndLockPredicates)
{
    DomainConfig config;
    struct Case {
        const char* name;
        std::function<void(RadioList&)> setup;
        bool k_vaps, r_vaps, balancer, v_radio, kv_radio;
    } cases[] = {
        {"new list", [](RadioList&) {}, false, false, true, false, false},
        {"disabled radio with 802.11k",
         [](RadioList& l) { l.radios[0].vaps.set("a", Vap(0, "a", {}, true, false, false)); },
         true, false, true, false, false},
        {"enabled radio with 802.11k",
         [](RadioList& l) {
             l.radios[0].status = true;
             l.radios[0].vaps.set("a", Vap(0, "a", {}, true, false, false));
         },
         true, false, true, false, true},
        {"disabled radio with 802.11r",
         [](RadioList& l) { l.radios[2].vaps.set("a", Vap(0, "a", {}, false, true, false)); },
         false, true, true, false, false},
        {"enabled radio with 802.11v",
         [](RadioList& l) {
             l.radios[1].status = true;
             l.radios[1].vaps.set("a", Vap(0, "a", {}, false, false, true));
         },
         false, false, true, true, true},
        {"802.11v radio locked for 802.11v",
         [](RadioList& l) {
             l.radios[1].status = true;
             l.radios[1].locked_80211v = 1;
             l.radios[1].vaps.set("a", Vap(0, "a", {}, true, false, true));
         },
         true, false, true, false, false},
        {"every radio locked for the balancer",
         [](RadioList& l) {
             for (auto& r : l.radios)
                 r.locked_balancer = 1;
         },
         false, false, false, false, false},
        {"one disabled radio free for the balancer",
         [](RadioList& l) {
             l.radios[0].locked_balancer = 1;
             l.radios[1].locked_balancer = -1;
         },
         false, false, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RadioList list(&config, BASE);
        c.setup(list);
        EXPECT_EQ(c.k_vaps, list.has_80211k_vaps());
        EXPECT_EQ(c.r_vaps, list.has_80211r_vaps());
        EXPECT_EQ(c.balancer, list.has_balancer_radio());
        EXPECT_EQ(c.v_radio, list.has_80211v_radio());
        EXPECT_EQ(c.kv_radio, list.has_80211kv_radio());
    }
}

TEST(RadioList, SettersOnEveryRadio)
{
    DomainConfig config;
    RadioList list(&config, BASE);
    for (auto& r : list.radios) {
        r.conflicted = true;
        r.power_changed = 3;
    }
    list.clear_conflicted();
    list.clear_power_changed();
    list.mark_lists_changed();
    for (const auto& r : list.radios) {
        EXPECT_FALSE(r.conflicted);
        EXPECT_EQ(0, r.power_changed);
        EXPECT_TRUE(r.list_changed);
    }
    list.set_mac(rrm::mac_from_string("00:11:22:33:55:00"));
    EXPECT_EQ("00:11:22:33:55:20", rrm::mac_to_string(list.radios[2].mac));
    EXPECT_EQ(BASE, list.radios[2].base_mac);
}

// Two lists whose radio 0 is enabled, for the comparisons.
struct Pair {
    DomainConfig config;
    RadioList mine{&config, BASE};
    RadioList theirs{&config, BASE};
    Pair()
    {
        for (RadioList* l : {&mine, &theirs}) {
            l->radios[0].status = true;
            l->radios[0].channel = 36;
            l->radios[0].available_channels = {36, 40, 44};
            l->radios[0].vaps.set("a", Vap(0, "a", {}, true, false, false));
        }
    }
};

TEST(RadioList, ConfigEqual)
{
    struct Case {
        const char* name;
        std::function<void(Radio&)> change;
        int radio;
        bool equal;
    } cases[] = {
        {"identical", [](Radio&) {}, 0, true},
        {"disabled radio's max power", [](Radio& r) { r.max_power = 20; }, 1, true},
        {"enabled radio's max power", [](Radio& r) { r.max_power = 20; }, 0, false},
        {"min power", [](Radio& r) { r.min_power = 3; }, 0, false},
        {"eirp", [](Radio& r) { r.eirp = 3; }, 0, false},
        {"eirp min", [](Radio& r) { r.eirp_min = 3; }, 0, false},
        {"eirp max", [](Radio& r) { r.eirp_max = 3; }, 0, false},
        {"gain", [](Radio& r) { r.antenna_gain = 3; }, 0, false},
        {"loss", [](Radio& r) { r.cable_loss = 3; }, 0, false},
        {"antenna", [](Radio& r) { r.antenna_configured = true; }, 0, false},
        {"status", [](Radio& r) { r.status = false; }, 0, false},
        {"enabling the other radio", [](Radio& r) { r.status = true; }, 1, false},
        {"bandwidth", [](Radio& r) { r.bandwidth = 40; }, 0, false},
        {"tpc lock", [](Radio& r) { r.locked_tpc = 1; }, 0, false},
        {"dca lock", [](Radio& r) { r.locked_dca = 1; }, 0, false},
        {"balancer lock", [](Radio& r) { r.locked_balancer = 1; }, 0, false},
        {"802.11v lock", [](Radio& r) { r.locked_80211v = 1; }, 0, false},
        {"channel order", [](Radio& r) { r.available_channels = {44, 36, 40}; }, 0, true},
        {"one channel more", [](Radio& r) { r.available_channels.insert(48); }, 0, false},
        {"one channel less", [](Radio& r) { r.available_channels.erase(40); }, 0, false},
        {"same size, other channel",
         [](Radio& r) { r.available_channels = {36, 40, 48}; }, 0, false},
        {"power, channel, MAC and VAPs do not count",
         [](Radio& r) {
             r.power = 5;
             r.channel = 40;
             r.mac_offset = 3;
             r.mac = rrm::MacAddress{};
             r.vaps.clear();
         },
         0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pair p;
        c.change(p.theirs.radios[c.radio]);
        EXPECT_EQ(c.equal, p.theirs.config_equal(p.mine));
        EXPECT_EQ(c.equal, p.mine.config_equal(p.theirs));
    }
}

TEST(RadioList, ConfigEqualWithEmptyOrMismatchedLists)
{
    Pair p;
    RadioList empty = p.mine;
    empty.radios.clear();
    EXPECT_TRUE(empty.config_equal(p.mine));
    EXPECT_FALSE(p.mine.config_equal(empty));
    RadioList other_ids = p.mine;
    other_ids.radios[2].id = 7;
    EXPECT_FALSE(p.mine.config_equal(other_ids));
    EXPECT_TRUE(other_ids.radios[0].config_equal(p.mine.radios[0]));
    EXPECT_FALSE(p.mine.radios[1].config_equal(p.mine.radios[2]));  // different ids
}

TEST(RadioList, ChannelsEqual)
{
    struct Case {
        const char* name;
        std::function<void(Pair&)> change;
        bool equal;
    } cases[] = {
        {"identical", [](Pair&) {}, true},
        {"channel", [](Pair& p) { p.theirs.radios[0].channel = 40; }, false},
        {"bandwidth", [](Pair& p) { p.theirs.radios[0].bandwidth = 40; }, false},
        {"primary position", [](Pair& p) { p.theirs.radios[0].primary_channel = 256; }, false},
        {"disabled radio's channel", [](Pair& p) { p.theirs.radios[1].channel = 40; }, true},
        {"radio enabled on another channel",
         [](Pair& p) {
             p.theirs.radios[1].status = true;
             p.theirs.radios[1].channel = 6;
         },
         false},
        {"managed by the channel assignment",
         [](Pair& p) {
             p.mine.radios[0].channel_initialized = true;
             p.theirs.radios[0].channel = 40;
         },
         true},
        {"managed radio but channel assignment off",
         [](Pair& p) {
             p.config.use_dca = false;
             p.mine.radios[0].channel_initialized = true;
             p.theirs.radios[0].channel = 40;
         },
         false},
        {"managed radio locked for channel planning",
         [](Pair& p) {
             p.mine.radios[0].channel_initialized = true;
             p.mine.radios[0].locked_dca = 1;
             p.theirs.radios[0].channel = 40;
         },
         false},
        {"initialised only in the newer list",
         [](Pair& p) {
             p.theirs.radios[0].channel_initialized = true;
             p.theirs.radios[0].channel = 40;
         },
         false},
        {"disabled in this list, enabled in the newer one",
         [](Pair& p) {
             p.mine.radios[0].status = false;
             p.mine.radios[0].channel_initialized = true;
             p.theirs.radios[0].channel = 40;
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pair p;
        c.change(p);
        EXPECT_EQ(c.equal, p.mine.channels_equal(p.theirs));
    }
    Pair p;
    RadioList empty = p.mine;
    empty.radios.clear();
    EXPECT_TRUE(empty.channels_equal(p.mine));
    EXPECT_TRUE(p.mine.channels_equal(empty));
}

TEST(RadioList, VapsEqual)
{
    struct Case {
        const char* name;
        std::function<void(Pair&)> change;
        bool equal;
    } cases[] = {
        {"identical", [](Pair&) {}, true},
        {"VAP MAC", [](Pair& p) { p.theirs.radios[0].vaps.find("a")->mac.octets[5] = 9; }, true},
        {"802.11r flag", [](Pair& p) { p.theirs.radios[0].vaps.find("a")->use_802dot11r = true; },
         false},
        {"VAP id", [](Pair& p) { p.theirs.radios[0].vaps.find("a")->vap_id = 4; }, false},
        {"VAP added", [](Pair& p) { p.theirs.radios[0].vaps.set("b", Vap(1, "b", {}, 0, 0, 0)); },
         false},
        {"disabled radio's VAPs",
         [](Pair& p) { p.theirs.radios[2].vaps.set("b", Vap(1, "b", {}, 0, 0, 0)); }, true},
        {"VAPs of a radio enabled in one list",
         [](Pair& p) {
             p.theirs.radios[2].status = true;
             p.theirs.radios[2].vaps.set("b", Vap(1, "b", {}, 0, 0, 0));
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pair p;
        c.change(p);
        EXPECT_EQ(c.equal, p.mine.vaps_equal(p.theirs));
        EXPECT_EQ(c.equal, p.theirs.vaps_equal(p.mine));
    }
}

TEST(RadioListPower, SetValidatePowerByRadioId)
{
    DomainConfig config;
    RadioList list(&config, BASE);
    RadioList newer(&config, BASE);
    newer.radios[2].max_power = 9;
    newer.radios[2].id = 1;  // the newer list's radio 1 sits at position 2
    newer.radios[1].id = 2;
    list.set_validate_power(newer);
    EXPECT_EQ(9, list.radios[1].max_power);
    EXPECT_EQ(0, list.radios[2].max_power);
}

RadioList power_list(const DomainConfig& config)
{
    RadioList list(&config, BASE);
    const int32_t bands[] = {2, 5, 5};
    for (auto& r : list.radios) {
        r.status = true;
        r.band = bands[r.id];
        r.channel = r.band == 2 ? 6 : 36 + 4 * static_cast<int32_t>(r.id);
        r.min_power = 0;
        r.max_power = 30;
        r.power = 20;
    }
    return list;
}

TEST(RadioListPower, LowerPowerOnEveryEnabledRadioOfTheBand)
{
    DomainConfig config;
    {
        // Band 0 with a channel that gives no band: nothing.
        RadioList list = power_list(config);
        EXPECT_EQ(0, list.lower_power(20, -50, -70, 0));
        for (const auto& r : list.radios)
            EXPECT_EQ(20, r.power);
    }
    {
        // Band inferred from channel 100: only the 5 GHz radios.
        RadioList list = power_list(config);
        EXPECT_EQ(20, list.lower_power(100, -50, -70, 0));
        EXPECT_EQ(20, list.radios[0].power);
        EXPECT_EQ(0, list.radios[1].power);
        EXPECT_EQ(0, list.radios[2].power);
    }
    {
        // Two 5 GHz radios reduced by 3 and 5: the larger reduction.
        RadioList list = power_list(config);
        list.radios[1].min_power = 17;
        list.radios[2].min_power = 15;
        EXPECT_EQ(5, list.lower_power(36, -60, -70, 5));
        EXPECT_EQ(17, list.radios[1].power);
        EXPECT_EQ(15, list.radios[2].power);
    }
    {
        // An earlier change of -6 is not replaced by a reduction of 5; the
        // channel does not select the radio.
        RadioList list = power_list(config);
        list.radios[1].power = 14;
        list.radios[1].power_changed = -6;
        list.radios[2].status = false;
        EXPECT_EQ(0, list.lower_power(149, -65, -70, 5));
        EXPECT_EQ(14, list.radios[1].power);
        EXPECT_EQ(20, list.radios[2].power);
    }
    {
        // A band no radio has.
        RadioList list = power_list(config);
        EXPECT_EQ(0, list.lower_power(1, -50, -70, 6));
    }
}

TEST(RadioListPower, MarkConflictedOnEnabledRadiosOfTheBand)
{
    DomainConfig config;
    struct Case {
        int32_t channel, band;
        bool marks[3];
    } cases[] = {
        {36, 0, {false, true, false}},  // radio 2 is disabled below
        {6, 0, {true, false, false}},
        {20, 0, {false, false, false}},
        {1, 5, {false, true, false}},
        {200, 0, {false, false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.channel << "/" << c.band);
        RadioList list = power_list(config);
        list.radios[2].status = false;
        list.mark_conflicted(c.channel, c.band);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(c.marks[i], list.radios[i].conflicted) << "radio " << i;
    }
}

TEST(RadioListPower, LowerPowerThanOnACommonChannel)
{
    DomainConfig config;
    RadioList mine = power_list(config);
    RadioList theirs = power_list(config);
    EXPECT_FALSE(mine.has_lower_power_than(theirs));
    mine.radios[0].power = 19;
    EXPECT_TRUE(mine.has_lower_power_than(theirs));
    EXPECT_FALSE(theirs.has_lower_power_than(mine));
    // No status, band or id test: any two radios on one channel.
    mine.radios[0].status = false;
    theirs.radios[0].channel = 99;
    theirs.radios[2].channel = 6;
    EXPECT_TRUE(mine.has_lower_power_than(theirs));
    theirs.radios[2].channel = 7;
    EXPECT_FALSE(mine.has_lower_power_than(theirs));
}

TEST(RadioListPower, UpdatePrioritiesOnEveryRadio)
{
    DomainConfig config;
    config.use_80211v = true;
    RadioList list(&config, BASE);
    EXPECT_TRUE(list.update_priorities());
    for (const auto& r : list.radios)
        EXPECT_EQ(255, r.priority);
    EXPECT_FALSE(list.update_priorities());
    for (int i = 0; i < 5; ++i)
        list.radios[2].client_table.add_client(rrm::mac_from_u48(static_cast<uint64_t>(i) + 1),
                                               -50, "n", false, false);
    EXPECT_TRUE(list.update_priorities());
    EXPECT_EQ(127, list.radios[2].priority);
    EXPECT_EQ(255, list.radios[0].priority);
}

}  // namespace
