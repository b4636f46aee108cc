// One whole optimisation run of a domain as the server does it, without the
// report files: the deep copy of the active APs (worker thread), the run on
// an optimisation thread of its own (two channel-assignment passes, then
// the power control), the join, and the result written into the live APs
// (worker thread). The domain is the generated building of the power
// control bench (tests/support/TpcDomain.h); every iteration starts from a
// fresh copy of it as the live map, made outside the timing.
//
// The peer (BM_RunSteps) is the same work called straight on the calling
// thread: the copy, Dca::run twice, run_power_step and the same
// application, with no job, no thread and no result hand-over.
// BM_ApplyResult is the worker thread's share after the run alone; its peer
// (BM_ApplyResultWalk) writes the same result the literal way, every moved
// radio followed by a look into every AP of the map
// (Radio::update_neighbour_channel).

#include "ApMap.h"
#include "ChannelAssignment.h"
#include "Log.h"
#include "OptimizationRun.h"
#include "TpcDomain.h"
#include "TransmitPowerControl.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

// Runs body(live) on a fresh live map per iteration.
template <class Body>
void on_fresh_domains(benchmark::State& state, Body body)
{
    const auto& source = testsupport::shared_tpc_domain(static_cast<int>(state.range(0)));
    std::size_t changed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<rrm::ApMap> live = source.aps.copy();
        state.ResumeTiming();
        changed = body(*live, source.config);
        state.PauseTiming();
        live.reset();
        state.ResumeTiming();
    }
    state.counters["aps_changed"] = static_cast<double>(changed);
}

void BM_FullRun(benchmark::State& state)
{
    on_fresh_domains(state, [](rrm::ApMap& live, const rrm::DomainConfig& config) {
        rrm::OptimizationJob job;
        job.snapshot = live.copy();
        job.settings = config;
        job.domain_name = "bench";
        job.run_dca = true;
        job.run_tpc = true;
        std::atomic<bool> cancel{false};
        auto result = std::make_unique<rrm::OptimizationResult>();
        std::thread run(
            [&cancel](rrm::OptimizationJob job, rrm::OptimizationResult* out) {
                rrm::run_optimization(job, cancel, *out);
            },
            std::move(job), result.get());
        run.join();
        rrm::apply_radio_results(live, result->radios);
        return result->radios.size();
    });
}

void BM_RunSteps(benchmark::State& state)
{
    on_fresh_domains(state, [](rrm::ApMap& live, const rrm::DomainConfig& config) {
        std::unique_ptr<rrm::ApMap> snapshot = live.copy();
        rrm::Dca dca;
        rrm::RadioResultMap dca_results;
        rrm::RadioResultMap results;
        dca.run(*snapshot, config, dca_results);
        dca.run(*snapshot, config, dca_results);
        rrm::run_power_step(*snapshot, config, true, dca_results, results);
        snapshot.reset();
        rrm::apply_radio_results(live, results);
        return results.size();
    });
}

// What a whole run (channels, then power) plans for the domain, untimed.
rrm::OptimizationResult planned_result(const testsupport::TpcDomain& source)
{
    rrm::OptimizationJob job;
    job.snapshot = source.aps.copy();
    job.settings = source.config;
    job.run_dca = true;
    job.run_tpc = true;
    std::atomic<bool> cancel{false};
    rrm::OptimizationResult result;
    rrm::run_optimization(job, cancel, result);
    return result;
}

void BM_ApplyResult(benchmark::State& state)
{
    const auto& source = testsupport::shared_tpc_domain(static_cast<int>(state.range(0)));
    const rrm::OptimizationResult result = planned_result(source);
    on_fresh_domains(state, [&result](rrm::ApMap& live, const rrm::DomainConfig&) {
        rrm::apply_radio_results(live, result.radios);
        return result.radios.size();
    });
}

void BM_ApplyResultWalk(benchmark::State& state)
{
    const auto& source = testsupport::shared_tpc_domain(static_cast<int>(state.range(0)));
    const rrm::OptimizationResult result = planned_result(source);
    on_fresh_domains(state, [&result](rrm::ApMap& live, const rrm::DomainConfig&) {
        for (const auto& entry : result.radios) {
            auto it = live.table.find(entry.first);
            if (it == live.table.end())
                continue;
            for (const rrm::Radio& planned : entry.second) {
                rrm::Radio& radio = it->second->radios.radios.at(planned.id);
                const int32_t old_channel = radio.channel;
                radio.channel = planned.channel;
                radio.power = planned.power;
                radio.power_changed = planned.power_changed;
                radio.apply_eirp_limits();
                radio.conflicted = planned.conflicted;
                radio.primary_channel = planned.primary_channel;
                radio.update_primary_channel();
                if (old_channel != planned.channel && planned.channel > 0)
                    radio.update_neighbour_channel(live.table, radio.mac, planned.channel);
            }
        }
        return result.radios.size();
    });
}

BENCHMARK(BM_FullRun)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunSteps)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyResult)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyResultWalk)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
