// One channel assignment of an optimisation run (two passes over the same
// snapshot) on a generated building: APs 15 m apart, each hearing the radios
// of the APs within 45 m (about 28 APs, 50-60 member records) and up to five
// foreign BSSIDs; radio 0 on 2.4 GHz (20 MHz, 3 channels), radio 1 on 5 GHz
// (40 or 80 MHz, 25 channels), radio 2 on 6 GHz (80 MHz, 59 channels) on
// every fourth AP. "random" starts every radio on a random channel of its
// set, "cold" all on the first one. Every iteration works on a fresh deep
// copy of the domain, made outside the timing.
//
// The peer is the same pass written out step by step
// (tests/support/DcaReference.h): it picks each radio by reading the
// ranking fields of every candidate and recounts every candidate of the
// snapshot after each move.

#include "ChannelAssignment.h"
#include "DcaDomain.h"
#include "DcaReference.h"
#include "Log.h"

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <utility>

namespace {

void quiet(const char*, int, const char*, int, const char*, va_list) {}

const testsupport::DcaDomain& domain(int count, bool cold)
{
    static std::map<std::pair<int, bool>, std::unique_ptr<testsupport::DcaDomain>> made;
    auto& slot = made[{count, cold}];
    if (!slot) {
        rrm::set_log_handler(&quiet);  // the AP index traces every insertion
        slot = testsupport::make_dca_domain(count, 20240601, false, cold);
    }
    return *slot;
}

template <bool Reference>
void run_dca(benchmark::State& state, bool cold)
{
    const testsupport::DcaDomain& source = domain(static_cast<int>(state.range(0)), cold);
    std::size_t changed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<rrm::ApMap> snapshot = source.aps.copy();
        rrm::RadioResultMap out;
        state.ResumeTiming();
        if (Reference) {
            testsupport::reference_dca_pass(*snapshot, source.config, true, out);
            testsupport::reference_dca_pass(*snapshot, source.config, true, out);
        } else {
            rrm::Dca dca;
            dca.run(*snapshot, source.config, out);
            dca.run(*snapshot, source.config, out);
        }
        state.PauseTiming();
        changed = out.size();
        snapshot.reset();
        state.ResumeTiming();
    }
    state.counters["aps_changed"] = static_cast<double>(changed);
}

// What the launch of a run costs the domain worker's thread before the
// assignment starts: the deep copy of the active APs.
void BM_SnapshotCopy(benchmark::State& state)
{
    const testsupport::DcaDomain& source = domain(static_cast<int>(state.range(0)), false);
    for (auto _ : state) {
        std::unique_ptr<rrm::ApMap> snapshot = source.aps.copy();
        benchmark::DoNotOptimize(snapshot.get());
        state.PauseTiming();
        snapshot.reset();
        state.ResumeTiming();
    }
}

void BM_Dca_Random(benchmark::State& state) { run_dca<false>(state, false); }
void BM_Dca_Cold(benchmark::State& state) { run_dca<false>(state, true); }
void BM_DcaStepByStep_Random(benchmark::State& state) { run_dca<true>(state, false); }
void BM_DcaStepByStep_Cold(benchmark::State& state) { run_dca<true>(state, true); }

BENCHMARK(BM_SnapshotCopy)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Dca_Random)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Dca_Cold)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DcaStepByStep_Random)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DcaStepByStep_Cold)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
