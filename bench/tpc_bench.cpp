// Transmit power control of one optimisation run (`rrm::Tpc::run`) on a
// generated building (tests/support/TpcDomain.h): three radios per AP, each
// AP hearing 20 to 50 BSSIDs of its nearest neighbours. Every iteration
// works on a fresh deep copy of the domain, made outside the timing.
//
// The peer is the bare walk of the same data: the same MAC index built the
// same way, then, per ready AP, one lookup per heard record for the lowering
// pass and one per record and eligible radio for the raising pass, keeping
// only a sum: the lookups and record reads the control cannot avoid, without
// choosing radios, changing powers or copying radios into the result.
//
// BM_DcaTpc is the channel and power part of a whole run: two channel
// assignment passes, then the power step, as the optimisation thread does.

#include "ApMap.h"
#include "ChannelAssignment.h"
#include "Log.h"
#include "TpcDomain.h"
#include "TransmitPowerControl.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

template <class Body>
void on_fresh_copies(benchmark::State& state, Body body)
{
    const auto& source = testsupport::shared_tpc_domain(static_cast<int>(state.range(0)));
    std::size_t stored = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<rrm::ApMap> snapshot = source.aps.copy();
        rrm::RadioResultMap out;
        state.ResumeTiming();
        body(*snapshot, source.config, out);
        state.PauseTiming();
        stored = out.size();
        out.clear();
        snapshot.reset();
        state.ResumeTiming();
    }
    state.counters["aps_stored"] = static_cast<double>(stored);
}

void BM_Tpc(benchmark::State& state)
{
    on_fresh_copies(state, [](rrm::ApMap& snapshot, const rrm::DomainConfig& config,
                              rrm::RadioResultMap& out) { rrm::Tpc::run(snapshot, config, out); });
}

void BM_TpcBareWalk(benchmark::State& state)
{
    on_fresh_copies(state, [](rrm::ApMap& snapshot, const rrm::DomainConfig&,
                              rrm::RadioResultMap& out) {
        rrm::Tpc::MacIndex index;
        rrm::Tpc::build_index(snapshot, index);
        int64_t sum = 0;
        for (const auto& entry : snapshot.table) {
            const rrm::ApEntry& ap = *entry.second;
            if (!ap.radios.is_ready())
                continue;
            for (const auto& heard : ap.visible_members) {
                const rrm::ApEntry* owner = rrm::Tpc::find_ap(index, heard.first);
                if (owner && owner->radios.received)
                    sum += heard.second.dbm_signal;
            }
        }
        for (const auto& entry : snapshot.table) {
            const rrm::ApEntry& ap = *entry.second;
            if (!ap.radios.is_ready())
                continue;
            for (const rrm::Radio& radio : ap.radios.radios) {
                if (!radio.status || radio.locked_tpc)
                    continue;
                for (const auto& heard : ap.visible_members) {
                    const rrm::ApEntry* owner = rrm::Tpc::find_ap(index, heard.first);
                    if (owner && owner->radios.received)
                        sum += heard.second.dbm_signal + radio.channel;
                }
            }
        }
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(out);
    });
}

void BM_DcaTpc(benchmark::State& state)
{
    on_fresh_copies(state, [](rrm::ApMap& snapshot, const rrm::DomainConfig& config,
                              rrm::RadioResultMap& out) {
        rrm::Dca dca;
        rrm::RadioResultMap dca_results;
        dca.run(snapshot, config, dca_results);
        dca.run(snapshot, config, dca_results);
        rrm::run_power_step(snapshot, config, true, dca_results, out);
    });
}

// The deep copy the launch of a run makes on the domain worker's thread.
void BM_SnapshotCopy(benchmark::State& state)
{
    const auto& source = testsupport::shared_tpc_domain(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::unique_ptr<rrm::ApMap> snapshot = source.aps.copy();
        benchmark::DoNotOptimize(snapshot.get());
        state.PauseTiming();
        snapshot.reset();
        state.ResumeTiming();
    }
}

BENCHMARK(BM_Tpc)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TpcBareWalk)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DcaTpc)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SnapshotCopy)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
