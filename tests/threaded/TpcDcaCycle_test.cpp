// The optimisation thread of a domain worker, driven by hand: it works on
// its snapshot while the worker's thread (here the test's) goes on changing
// the live APs, its result is applied on the worker's thread afterwards, and
// a stop during a run waits for it and sends nothing. Under ThreadSanitizer
// any touch of live data by the optimisation thread is a reported race.

#include "ApSimulator.h"
#include "DomainFixture.h"
#include "JsonReader.h"
#include "OptimizationRun.h"
#include "TpcDcaSubworker.h"
#include "TpcDomain.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>

namespace {

using testsupport::ApSpec;
using testsupport::DomainFixture;
using testsupport::SimRadio;

// Puts every AP of a generated building into the worker's active map, as
// if they had answered a cycle up to its scans.
void fill(DomainFixture& domain, const testsupport::TpcDomain& building)
{
    for (const auto& entry : building.aps.table)
        domain.worker->aps.insert(entry.first, std::make_shared<rrm::ApEntry>(*entry.second));
}

// Launches the run and takes the worker's passes that copy its snapshot,
// until its thread runs.
void launch(DomainFixture& domain)
{
    domain.tpc().launch_optimization_thread();
    while (domain.worker->holds_messages())
        domain.worker->poll_timers();
}

bool wait_done(rrm::TpcDcaSubworker& tpc)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!tpc.optimization_done.load()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(TpcDcaCycle, RunWorksOnItsSnapshotWhileTheLiveApsChange)
{
    auto building = testsupport::make_tpc_domain(400, 7);
    DomainFixture domain;
    fill(domain, *building);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    rrm::ApMap& live = domain.worker->aps;

    // What a run on the APs as they are at launch gives, computed apart.
    rrm::OptimizationJob reference;
    reference.snapshot = live.copy();
    reference.settings = domain.worker->config;
    reference.run_dca = true;
    reference.run_tpc = true;
    std::atomic<bool> no_cancel{false};
    rrm::OptimizationResult expected;
    rrm::run_optimization(reference, no_cancel, expected);
    ASSERT_TRUE(expected.success);

    tpc.state = rrm::STATE_SCAN;
    launch(domain);
    EXPECT_EQ(tpc.state, rrm::STATE_OPTIMIZING);

    // Meanwhile the worker goes on: powers and heard channels change, one AP
    // leaves, one subscribes.
    const rrm::MacAddress leaving = live.table.begin()->first;
    {
        auto it = live.table.find(leaving);
        live.index.erase_ap(it->second);
        live.table.erase(it);
    }
    ApSpec newcomer;
    newcomer.mac = "02:aa:00:00:01:00";
    newcomer.domain = "d";
    SimRadio radio;
    radio.channel = 36;
    radio.band = 5;
    newcomer.radios.push_back(radio);
    domain.from_ap(newcomer.subscribe_request(), 7);
    do {
        for (auto& entry : live.table) {
            for (rrm::Radio& r : entry.second->radios.radios)
                r.power += 1;
            for (auto& heard : entry.second->visible_members.table)
                heard.second.dbm_signal -= 1;
        }
    } while (!tpc.optimization_done.load());
    ASSERT_TRUE(wait_done(tpc));

    // The run's result is what the APs at launch give, whatever changed.
    ASSERT_NE(tpc.optimization_result, nullptr);
    ASSERT_TRUE(tpc.optimization_result->success) << tpc.optimization_result->error;
    ASSERT_EQ(tpc.optimization_result->radios.size(), expected.radios.size());
    for (const auto& entry : expected.radios) {
        auto it = tpc.optimization_result->radios.find(entry.first);
        ASSERT_NE(it, tpc.optimization_result->radios.end());
        for (size_t i = 0; i < entry.second.size(); ++i) {
            EXPECT_EQ(it->second[i].channel, entry.second[i].channel);
            EXPECT_EQ(it->second[i].power, entry.second[i].power);
        }
    }

    // Applied on the worker's thread: every AP active now gets its radios,
    // the one that left nothing, the newcomer its own.
    tpc.process_timer();
    EXPECT_FALSE(tpc.optimization_thread.joinable());
    EXPECT_EQ(tpc.state, rrm::STATE_PLANNED_FORCED) << "the newcomer asked for a cycle meanwhile";
    domain.drain();
    const auto infos = domain.sent("rrm-info");
    EXPECT_EQ(infos.size(), live.size());
    std::set<std::string> macs;
    for (const auto& sent : infos)
        macs.insert(rrm::JsonReader(sent.text.c_str()).get_string("ap-mac"));
    EXPECT_EQ(macs.count(rrm::mac_to_string(leaving)), 0u);
    EXPECT_EQ(macs.count("02:AA:00:00:01:00"), 1u);
    // A live AP that was in the result took its planned channels.
    for (const auto& entry : expected.radios) {
        auto it = live.table.find(entry.first);
        if (it == live.table.end())
            continue;
        for (size_t i = 0; i < entry.second.size(); ++i)
            EXPECT_EQ(it->second->radios.radios[i].channel, entry.second[i].channel);
    }
}

TEST(TpcDcaCycle, StopDuringARunWaitsAndSendsNothing)
{
    auto building = testsupport::make_tpc_domain(1000, 11);
    DomainFixture domain;
    fill(domain, *building);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    tpc.state = rrm::STATE_SCAN;
    launch(domain);
    ASSERT_TRUE(tpc.optimization_thread.joinable());
    // The worker's thread ends: the sub-workers stop.
    domain.worker->disconnect();
    EXPECT_FALSE(tpc.optimization_thread.joinable());
    EXPECT_FALSE(tpc.optimization_done.load());
    EXPECT_EQ(tpc.optimization_result, nullptr);
    EXPECT_EQ(tpc.state, rrm::STATE_OPTIMIZING);
    EXPECT_TRUE(domain.sent("rrm-info").empty());
}

TEST(TpcDcaCycle, DestroyingTheWorkerDuringARunWaitsForIt)
{
    auto building = testsupport::make_tpc_domain(1000, 13);
    auto domain = std::make_unique<DomainFixture>();
    fill(*domain, *building);
    domain->tpc().state = rrm::STATE_SCAN;
    launch(*domain);
    domain.reset();  // joins the thread before the maps it was copied from go
}

}  // namespace
