// The registry's VRRP role switch and the restore of domains from backup
// objects, with real worker threads.
#include "Config.h"
#include "JsonReader.h"
#include "LogCapture.h"
#include "RRM.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::LogCapture;
using testsupport::TestRegistry;

std::shared_ptr<std::string> text(const std::string& s)
{
    return std::make_shared<std::string>(s);
}

class RegistryVrrp : public ::testing::Test {
protected:
    size_t count(int level, const std::string& t) { return capture.count(level, t); }

    LogCapture capture;
    std::unique_ptr<rrm::GlobalConfig> config = testsupport::make_config({"d1", "d2", "d3"});
    std::unique_ptr<TestRegistry> rrm = std::make_unique<TestRegistry>(config.get());
};

TEST_F(RegistryVrrp, SwitchToTheSameRoleOnlyWarns)
{
    rrm->start();
    rrm->update_vrrp_role(1, text("[{\"name\":\"d1\"}]"));
    EXPECT_EQ(1u, count(rrm::LOG_LEVEL_WARNING,
                        "try to switch VRRP role to the same: master -> master"));
    EXPECT_EQ(0u, rrm->worker_count());
    EXPECT_TRUE(rrm->default_service()->is_thread_started());

    rrm->update_vrrp_role(0, nullptr);
    rrm->update_vrrp_role(0, nullptr);
    EXPECT_EQ(1u, count(rrm::LOG_LEVEL_WARNING,
                        "try to switch VRRP role to the same: backup -> backup"));
    EXPECT_EQ(1u, count(rrm::LOG_LEVEL_INFO, "VRRP role: master -> backup"));
}

TEST_F(RegistryVrrp, BackupStopsEverythingAndMasterRestoresOnlyTheNamedDomains)
{
    rrm->start();
    rrm->add_domain_worker("d1", rrm::DomainConfig());
    rrm->add_domain_worker("d3", rrm::DomainConfig());
    ASSERT_EQ(2u, rrm->worker_count());

    rrm->update_vrrp_role(0, nullptr);
    EXPECT_EQ(0, rrm->get_vrrp_role());
    EXPECT_EQ(0u, rrm->worker_count());
    EXPECT_FALSE(rrm->default_service()->is_thread_started());

    // Without a domains text: the service workers, no domain.
    rrm->update_vrrp_role(1, nullptr);
    EXPECT_EQ(1, rrm->get_vrrp_role());
    EXPECT_TRUE(rrm->default_service()->is_thread_started());
    EXPECT_EQ(0u, rrm->worker_count());

    // The same domain twice, an unknown one, a null element: d2 once, the
    // rest of the array still restored after the unknown domain.
    rrm->update_vrrp_role(0, nullptr);
    capture.clear();
    rrm->update_vrrp_role(
        1, text("[{\"name\":\"d2\",\"rrm-status\":1},null,{\"name\":\"nowhere\"},"
                "{\"name\":\"d2\",\"rrm-status\":2},{\"name\":\"d3\"}]"));
    EXPECT_EQ(1u, count(rrm::LOG_LEVEL_INFO, "VRRP role: backup -> master"));
    const auto workers = rrm->copy_workers();
    std::vector<std::string> names;
    for (const auto& w : workers)
        names.push_back(w.first);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"d2", "d3"}), names);
    EXPECT_EQ(1u, count(rrm::LOG_LEVEL_DEBUG, "Created new worker 'd2'."));
    EXPECT_EQ(1u, count(rrm::LOG_LEVEL_DEBUG, "Created new worker 'd3'."));
    size_t unknown = 0;
    for (const auto& e : capture.events())
        unknown += e.code == rrm::EVENT_DOMAIN_WORKER_CREATE_FAILED && e.details == "nowhere";
    EXPECT_EQ(1u, unknown);
    for (const auto& w : workers)
        EXPECT_TRUE(w.second->is_thread_started()) << w.first;
}

TEST_F(RegistryVrrp, RoutingReadsTheLiveEnabledSettingAfterAReloadAndASwitchToMaster)
{
    const auto subscribe = [&](const std::string& domain) {
        rrm->process_incoming_message(
            rrm::JsonReader(("{\"service\":\"rrm\",\"cmd\":\"subscribe-request\",\"domain\":\"" +
                             domain + "\"}")
                                .c_str()),
            BaseSession{nullptr, 0, 1});
    };
    // Backup, then disabled by a change of the server section: the restart
    // keeps the role and starts nothing.
    config->global_update(rrm::JsonReader(R"({"vrrp_enabled":1})"));
    rrm->start();
    ASSERT_EQ(0, rrm->get_vrrp_role());
    config->global_update(rrm::JsonReader(R"({"enabled":0})"));
    rrm->restart();
    subscribe("d1");
    EXPECT_EQ(0u, rrm->worker_count());

    // The switch to master re-reads the file, which turns the server on, and
    // starts the service workers with no start of the registry: AP messages
    // are routed from then on.
    config->global_update(rrm::JsonReader(R"({"enabled":1})"));
    rrm->update_vrrp_role(1, nullptr);
    ASSERT_TRUE(rrm->default_service()->is_thread_started());
    subscribe("d1");
    EXPECT_EQ(1u, rrm->worker_count());

    // Turned off again: dropped at once, before any restart.
    config->global_update(rrm::JsonReader(R"({"enabled":0})"));
    subscribe("d2");
    EXPECT_EQ(1u, rrm->worker_count());
}

TEST_F(RegistryVrrp, RestoredApsWaitInTheDeletedMapBeforeTheWorkerRuns)
{
    config->global_update(rrm::JsonReader(R"({"vrrp_enabled":1})"));
    rrm->start();
    rrm->update_vrrp_role(
        1, text(R"([{"name":"d1","rrm-status":3,"fbt-status":1,)"
                R"("aps":[{"mac":"00:11:22:33:44:50","board":"b","hw":"h","serial":"s1"}],)"
                R"("unanswered-aps":[{"mac":"00:11:22:33:44:60","board":"b","hw":"h"},null],)"
                R"("deleted-aps":[{"mac":"00:11:22:33:44:70","board":"b","hw":"h","serial":"s3"},)"
                R"({"mac":"00:11:22:33:44:50","board":"x","hw":"x","serial":"dup"}]}])"));
    size_t waiting = 0, active = 0;
    int ttl = -1;
    ASSERT_TRUE(rrm->run_on_domain("d1", [&](rrm::RrmWorker& w) {
        waiting = w.aps_to_delete.size();
        active = w.aps.size() + w.unanswered_aps.size();
        for (const auto& entry : w.aps_to_delete.table) {
            ttl = entry.second->ttl;
            if (entry.second->factory.serial == "dup")
                ttl = -2;
        }
    }));
    EXPECT_EQ(2u, waiting);
    EXPECT_EQ(0u, active);
    EXPECT_EQ(rrm::DomainConfig().away_timeout_ticks(), ttl);
    EXPECT_EQ(1u, count(rrm::LOG_LEVEL_WARNING,
                        "Can't read factory settings from backup for ap '00:11:22:33:44:60'"));
    // Restored before the worker's thread started (and connected).
    ASSERT_TRUE(testsupport::eventually(
        [&] { return capture.has(rrm::LOG_LEVEL_DEBUG, "Start worker d1"); }));
    size_t restored_at = 0, started_at = 0;
    const auto records = capture.records();
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].text == "Restore ap '00:11:22:33:44:70' from backup")
            restored_at = i + 1;
        if (records[i].text == "Start worker d1")
            started_at = i + 1;
    }
    EXPECT_NE(0u, restored_at);
    EXPECT_LT(restored_at, started_at);
}

TEST_F(RegistryVrrp, UnusableDomainsTextsRestoreNothing)
{
    config->global_update(rrm::JsonReader(R"({"vrrp_enabled":1})"));
    rrm->start();
    ASSERT_EQ(0, rrm->get_vrrp_role());
    for (const char* domains : {"{\"name\":\"d1\"}", "not json", "[]", "[null,1,\"d1\"]"}) {
        SCOPED_TRACE(domains);
        rrm->update_vrrp_role(1, text(domains));
        EXPECT_EQ(1, rrm->get_vrrp_role());
        EXPECT_TRUE(rrm->default_service()->is_thread_started());
        EXPECT_EQ(0u, rrm->worker_count());
        rrm->update_vrrp_role(0, nullptr);
    }
}

TEST_F(RegistryVrrp, DisabledServerStartsTheServiceWorkersButRestoresNoDomain)
{
    config->global_update(rrm::JsonReader(R"({"vrrp_enabled":1,"enabled":0})"));
    rrm->start();
    rrm->update_vrrp_role(0, nullptr);
    rrm->update_vrrp_role(1, text("[{\"name\":\"d1\"}]"));
    EXPECT_EQ(1, rrm->get_vrrp_role());
    EXPECT_TRUE(rrm->default_service()->is_thread_started());
    EXPECT_EQ(0u, rrm->worker_count());
}

TEST_F(RegistryVrrp, SwitchesFromTwoThreadsAreSerialised)
{
    rrm->start();
    auto toggle = [&](int first) {
        for (int i = 0; i < 20; ++i)
            rrm->update_vrrp_role((first + i) % 2, text("[{\"name\":\"d1\"},{\"name\":\"d2\"}]"));
    };
    std::thread a(toggle, 0);
    std::thread b(toggle, 1);
    a.join();
    b.join();
    // Whatever the interleaving, the role and the workers agree.
    const int role = rrm->get_vrrp_role();
    EXPECT_EQ(role == 1, rrm->default_service()->is_thread_started());
    if (role == 0) {
        EXPECT_EQ(0u, rrm->worker_count());
    }
    rrm->update_vrrp_role(0, nullptr);
    EXPECT_EQ(0u, rrm->worker_count());
}

}  // namespace
