// The restore of a domain from its backup object: every AP of the three
// lists waits in the deleted map with its radios, VAPs, keys, links and
// scan view; elements without identity or with bad MAC parameters are
// passed over with their records; the planning states come back behind the
// restore lock.

#include "DomainBackup.h"
#include "DomainFixture.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "TimerQueue.h"
#include "TpcDcaSubworker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testsupport::backup_ap;
using testsupport::backup_list;
using testsupport::BackupAp;
using testsupport::BackupLink;
using testsupport::DomainFixture;

rrm::DomainConfig quiet_settings()
{
    rrm::DomainConfig settings;
    settings.use_optimization_event = false;
    return settings;
}

void restore(DomainFixture& domain, const std::string& backup)
{
    const rrm::JsonReader json(backup.c_str());
    ASSERT_FALSE(json.is_null()) << backup;
    domain.worker->restore_domain_state(json);
}

std::string details(DomainFixture& domain)
{
    rrm::JsonWriter out("");
    domain.worker->to_json(out);
    return out.to_string();
}

TEST(RrmWorkerRestore, ApsComeBackIntoTheDeletedMapWhole)
{
    DomainFixture domain(quiet_settings());
    BackupAp first = backup_ap(1);
    first.wildcard = 1;
    first.ap_mac_count = 32;
    first.radios[0].vaps[0].links = {{"R0-2", "02:00:00:00:02:00", "KEY2aaaaaaaaaaaa"},
                                     {"*", "ff:ff:ff:ff:ff:ff", "WILDCARDwildcard"}};
    first.heard = {{"02:00:00:00:02:00", -61, 6, 2}};
    testsupport::BackupRadio five;
    five.id = 1;
    five.channel = 36;
    five.band = 5;
    five.power = 14;
    five.available = "36,40";
    five.vaps = {{3, "cd", "02:00:00:00:01:13", true, false, true, "", "", "", {}}};
    first.radios.push_back(five);
    const std::string backup = "{\"name\":\"d\",\"rrm-status\":0,\"fbt-status\":0," +
                               backup_list("aps", {first.json()}) + "," +
                               backup_list("unanswered-aps", {backup_ap(2).json()}) + "," +
                               backup_list("deleted-aps", {backup_ap(3).json()}) + "}";
    restore(domain, backup);

    rrm::RrmWorker& worker = *domain.worker;
    EXPECT_TRUE(worker.aps.empty());
    EXPECT_TRUE(worker.unanswered_aps.empty());
    ASSERT_EQ(worker.aps_to_delete.size(), 3u);
    for (const char* mac : {"02:00:00:00:01:00", "02:00:00:00:02:00", "02:00:00:00:03:00"})
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG,
                                   std::string("Restore ap '") + mac + "' from backup"));

    auto ap = domain.find(worker.aps_to_delete, "02:00:00:00:01:00");
    ASSERT_TRUE(ap);
    EXPECT_EQ(ap->session.id, 0u);
    EXPECT_EQ(ap->ttl, 12) << "120 s of away time in 10 s domain-timer runs";
    EXPECT_EQ(ap->ap_mac_count, 32);
    EXPECT_TRUE(ap->use_wildcard_80211r);
    EXPECT_EQ(ap->factory.board, "tavik-ap");
    EXPECT_EQ(ap->factory.serial, "SN0001");
    const rrm::Radio& radio0 = ap->radios.radios[0];
    EXPECT_TRUE(radio0.status);
    EXPECT_EQ(radio0.channel, 6);
    EXPECT_EQ(radio0.power, 17);
    const rrm::Vap* ab = radio0.vaps.find("ab");
    ASSERT_TRUE(ab);
    EXPECT_TRUE(ab->use_802dot11k);
    EXPECT_TRUE(ab->use_802dot11r);
    EXPECT_EQ(ab->fbt_r0_keyholder, "R0-1");
    EXPECT_EQ(ab->fbt_r1_keyholder, "02:00:00:00:01:00");
    EXPECT_EQ(ab->fbt_rrb_key, "KEY1aaaaaaaaaaaa");
    ASSERT_EQ(ab->fbt_links.size(), 2u);
    EXPECT_EQ(ab->fbt_links[0].remote_r1_kh_key(), "KEY2aaaaaaaaaaaa");
    EXPECT_EQ(ab->fbt_links[1].remote_r0_kh_id(), "*");
    const rrm::Radio& radio1 = ap->radios.radios[1];
    EXPECT_EQ(radio1.channel, 36);
    EXPECT_EQ(radio1.power, 14);
    const rrm::Vap* cd = radio1.vaps.find("cd");
    ASSERT_TRUE(cd);
    EXPECT_EQ(cd->vap_id, 3);
    EXPECT_EQ(cd->mac, rrm::mac_from_string("02:00:00:00:01:13"));
    EXPECT_FALSE(cd->use_802dot11r);
    EXPECT_TRUE(cd->use_802dot11v);
    EXPECT_FALSE(ap->radios.radios[2].status) << "not in the backup";
    ASSERT_EQ(ap->visible_members.size(), 1u);
    EXPECT_EQ(ap->visible_members.table.at(rrm::mac_from_string("02:00:00:00:02:00")).dbm_signal, -61);
    // The restored APs' BSSIDs are known to the map, its channels to the
    // domain.
    EXPECT_EQ(worker.aps_to_delete.find_ap_by_bssid(rrm::mac_from_string("02:00:00:00:01:13")), ap);
    EXPECT_EQ(worker.channel_sets[2], (std::unordered_set<int32_t>{1, 6, 11}));
    EXPECT_EQ(worker.channel_sets[5], (std::unordered_set<int32_t>{36, 40}));

    const std::string text = details(domain);
    const rrm::JsonReader json(text.c_str());
    const rrm::JsonReader d = json.child("details");
    EXPECT_EQ(d.get_int("ap-count"), 0);
    EXPECT_EQ(d.get_int("unanswered-ap-count"), 0);
    EXPECT_EQ(d.get_int("deleted-ap-count"), 3);
}

TEST(RrmWorkerRestore, BadElementsArePassedOverWithTheirRecords)
{
    DomainFixture domain(quiet_settings());
    BackupAp no_serial = backup_ap(3);
    no_serial.serial.clear();
    BackupAp empty_board = backup_ap(4);
    empty_board.board.clear();
    BackupAp no_count = backup_ap(5);
    no_count.ap_mac_count = 0;
    // Radio 0's range (16 x 0 .. +17) covers radio 1's MAC (base + 16).
    BackupAp overlap = backup_ap(6);
    overlap.radios[0].radio_mac_count = 17;
    testsupport::BackupRadio second;
    second.id = 1;
    second.channel = 36;
    second.band = 5;
    overlap.radios.push_back(second);
    BackupAp no_mac = backup_ap(7);
    no_mac.mac.clear();
    BackupAp again = backup_ap(1);
    again.board = "other-board";
    // Channels only the refused elements allow; none may reach the domain.
    no_count.radios[0].available = "12";
    overlap.radios[1].available = "165";
    again.radios[0].available = "13";

    const std::string backup =
        "{\"name\":\"d\"," +
        backup_list("aps", {"null", no_serial.json(), empty_board.json(), backup_ap(1).json(),
                            no_count.json(), overlap.json(), no_mac.json()}) +
        ",\"unanswered-aps\":null," +
        backup_list("deleted-aps", {again.json(), backup_ap(2).json()}) + "}";
    restore(domain, backup);

    rrm::RrmWorker& worker = *domain.worker;
    // AP 1 (the first of its two elements), AP 7 under the all-zero MAC, AP 2.
    EXPECT_EQ(worker.aps_to_delete.size(), 3u);
    EXPECT_EQ(domain.find(worker.aps_to_delete, "02:00:00:00:01:00")->factory.board, "tavik-ap");
    ASSERT_TRUE(domain.find(worker.aps_to_delete, "00:00:00:00:00:00"));
    EXPECT_EQ(domain.find(worker.aps_to_delete, "00:00:00:00:00:00")->factory.serial, "SN0007");
    EXPECT_TRUE(domain.find(worker.aps_to_delete, "02:00:00:00:02:00"));

    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_WARNING,
                               "Can't read factory settings from backup for ap '02:00:00:00:03:00'"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_WARNING,
                               "Can't read factory settings from backup for ap '02:00:00:00:04:00'"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR, "Invalid ap-mac-count(0)"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR,
                               "Can't restore ap '02:00:00:00:05:00' from backup due to invalid MAC "
                               "parameters"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR,
                               "MAC ranges overlapped: radio0 02:00:00:00:06:00 max_mac_count=17, "
                               "radio1 02:00:00:00:06:10"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR,
                               "Can't restore ap '02:00:00:00:06:00' from backup due to invalid MAC "
                               "parameters"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Restore ap '00:00:00:00:00:00' from backup"));
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_WARNING,
                               "AP 02:00:00:00:01:00 not added: MAC 02:00:00:00:01:00 already held "
                               "by AP 02:00:00:00:01:00"));
    // Event 3 for each AP refused for its MAC parameters, with its MAC.
    std::vector<std::string> refused;
    for (const auto& e : domain.log.events())
        if (e.code == rrm::EVENT_INVALID_MAC_PARAMS)
            refused.push_back(e.details);
    EXPECT_EQ(refused, (std::vector<std::string>{"02:00:00:00:05:00", "02:00:00:00:06:00"}));
    // The accepted APs allow 1, 6 and 11 on 2.4 GHz and nothing on 5 GHz.
    EXPECT_EQ(worker.channel_sets[2], (std::unordered_set<int32_t>{1, 6, 11}));
    EXPECT_TRUE(worker.channel_sets[5].empty());
    // Those without identity are not even looked at further.
    EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Restore ap '02:00:00:00:03:00' from backup"));

    // A list that is absent does not keep the later ones from being restored.
    DomainFixture absent(quiet_settings());
    restore(absent, "{\"name\":\"d\"," + backup_list("deleted-aps", {backup_ap(2).json()}) + "}");
    EXPECT_EQ(absent.worker->aps_to_delete.size(), 1u);
    // Lists that are no arrays hold nothing.
    DomainFixture odd(quiet_settings());
    restore(odd, R"({"name":"d","aps":{"mac":"02:00:00:00:01:00"},"deleted-aps":"x"})");
    EXPECT_TRUE(odd.worker->aps_to_delete.empty());
}

TEST(RrmWorkerRestore, PlanningStatesComeBackBehindTheRestoreLock)
{
    DomainFixture domain(quiet_settings());
    const int64_t restored_at = rrm::TimerQueue::now_seconds();
    restore(domain, "{\"name\":\"d\",\"rrm-status\":0,\"fbt-status\":1," +
                        backup_list("aps", {backup_ap(1).json()}) + "}");
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    EXPECT_TRUE(tpc.restore_lock);
    EXPECT_EQ(tpc.state, 0);
    EXPECT_EQ(tpc.fbt_status, 1);
    ASSERT_EQ(domain.log.event_count(rrm::EVENT_TPC_DCA_STATE), 1u);
    EXPECT_EQ(domain.log.events()[0].details, R"({"location":"d", "status":0})");
    {
        const std::string text = details(domain);
        const rrm::JsonReader json(text.c_str());
        EXPECT_EQ(json.child("details").get_int("rrm-status"), 0);
        EXPECT_EQ(json.child("details").get_int("fbt-status"), 1);
    }

    // The AP subscribes again with other VAPs: the 802.11r update it asks
    // for is only recorded; the management API cannot force a cycle.
    testsupport::ApSpec spec;
    spec.mac = "02:00:00:00:01:00";
    spec.domain = "d";
    spec.serial = "SN0001";
    testsupport::SimRadio radio;
    radio.channel = 6;
    radio.band = 2;
    radio.power_max = 20;
    radio.power_min = 5;
    radio.available_channels = "1 6 11";
    radio.locked_balancer = 0;
    radio.locked_80211v = 0;
    testsupport::SimVap vap;
    vap.ssid = "new";
    vap.r = true;
    radio.vaps.push_back(vap);
    spec.radios.push_back(radio);
    domain.from_ap(spec.subscribe_request(), 9);
    EXPECT_TRUE(domain.find(domain.worker->aps, spec.mac));
    EXPECT_EQ(tpc.fbt_status, 1);
    EXPECT_FALSE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11r domain d"));
    EXPECT_FALSE(domain.worker->force_optimization());
    // The 802.11k update is not held back (its lists read no keys).
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11k domain d"));
    EXPECT_EQ(tpc.timers.size(), 2u) << "the end of the hold and the 802.11k update";

    // The hold ends after away_timeout (120 s): the pending update is
    // planned.
    tpc.timers.fire_due(restored_at + 119);
    EXPECT_TRUE(tpc.restore_lock);
    tpc.timers.fire_due(rrm::TimerQueue::now_seconds() + 121);
    EXPECT_FALSE(tpc.restore_lock);
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11r domain d"));
    EXPECT_EQ(tpc.fbt_status, 1);

    // Without the two members: 0 and 0, still held.
    DomainFixture bare(quiet_settings());
    restore(bare, R"({"name":"d"})");
    EXPECT_EQ(bare.tpc().state, 0);
    EXPECT_EQ(bare.tpc().fbt_status, 0);
    EXPECT_TRUE(bare.tpc().restore_lock);
    EXPECT_FALSE(bare.tpc().force_optimization_from_api());
}

// A corrupt backup must not hold a domain's planning back for good: a
// state the worker does not know comes back as idle, so the pending 802.11r
// update is planned once the hold ends. The known states come back as they
// were saved.
TEST(RrmWorkerRestore, UnknownPlanningStateComesBackIdle)
{
    struct Case {
        int saved;
        int restored;
        bool warned;
    };
    const Case cases[] = {
        {-1, 0, true},  {0, 0, false}, {4, 4, false},
        {5, 5, false},  {6, 0, true},  {2147483647, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.saved);
        DomainFixture domain(quiet_settings());
        restore(domain, "{\"name\":\"d\",\"rrm-status\":" + std::to_string(c.saved) +
                            ",\"fbt-status\":1}");
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        EXPECT_EQ(tpc.state, c.restored);
        EXPECT_TRUE(tpc.restore_lock);
        ASSERT_EQ(domain.log.event_count(rrm::EVENT_TPC_DCA_STATE), 1u);
        EXPECT_EQ(domain.log.events()[0].details,
                  "{\"location\":\"d\", \"status\":" + std::to_string(c.restored) + "}");
        EXPECT_EQ(domain.log.has(rrm::LOG_LEVEL_WARNING,
                                 "Unknown rrm-status " + std::to_string(c.saved) +
                                     " in backup of domain d, restored as 0"),
                  c.warned);
        if (c.restored != 0)
            continue;
        // Idle after the hold: the pending 802.11r update is planned.
        tpc.timers.fire_due(rrm::TimerQueue::now_seconds() + 121);
        EXPECT_FALSE(tpc.restore_lock);
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "Planning update 802dot11r domain d"));
    }
}

// A backup written while a run went on holds state 5; no run goes on after
// the restore, so the end of the hold plans the domain again. That change
// of state is announced like any other: event 23 (the backup must not keep
// the 5) and event 24 with the state the planning chose.
TEST(RrmWorkerRestore, ARestoredRunIsPlannedAgainWithItsEventsAtTheEndOfTheHold)
{
    struct Case {
        const char* what;
        bool by_event;  // use_optimization_event
        bool planning;  // channel assignment on, else nothing to plan
        int next;       // the state after the hold
    };
    const Case cases[] = {
        {"planned after a forcing event", true, true, 4},
        {"nothing planned without events", false, true, 0},
        {"nothing to plan", true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rrm::DomainConfig settings;
        settings.use_optimization_event = c.by_event;
        settings.use_dca = c.planning;
        settings.use_tpc = c.planning;
        settings.use_balance = c.planning;
        settings.use_80211k = c.planning;
        settings.use_80211v = false;
        DomainFixture domain(settings);
        restore(domain, R"({"name":"d","rrm-status":5,"fbt-status":0})");
        rrm::TpcDcaSubworker& tpc = domain.tpc();
        ASSERT_EQ(tpc.state, 5);
        domain.log.clear();

        tpc.timers.fire_due(rrm::TimerQueue::now_seconds() + 121);
        EXPECT_FALSE(tpc.restore_lock);
        EXPECT_EQ(tpc.state, c.next);
        EXPECT_EQ(domain.log.event_count(rrm::EVENT_DOMAIN_CHANGED), 1u);
        ASSERT_EQ(domain.log.event_count(rrm::EVENT_TPC_DCA_STATE), 1u);
        for (const auto& event : domain.log.events()) {
            if (event.code == rrm::EVENT_TPC_DCA_STATE) {
                EXPECT_EQ(event.details,
                          "{\"location\":\"d\", \"status\":" + std::to_string(c.next) + "}");
            } else if (event.code == rrm::EVENT_DOMAIN_CHANGED) {
                EXPECT_EQ(event.details, "d");
            }
        }
    }
}

}  // namespace
