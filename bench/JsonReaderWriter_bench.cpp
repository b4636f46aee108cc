#include "JsonReader.h"
#include "JsonWriter.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

// An AP message of the usual shape: header, a few scalars, radios with
// neighbour lists.
std::string ap_message()
{
    rrm::JsonWriter w("rrm", "scan-response", "");
    w.add_string("domain", "building-a").add_string("ap-mac", "00:11:22:33:44:55");
    rrm::JsonWriter radios = w.add_array("radios");
    for (int r = 0; r < 3; ++r) {
        rrm::JsonWriter radio = radios.add_object(nullptr);
        radio.add_int("radio_id", r).add_int("channel", 36 + 4 * r).add_string("band", r ? "5g" : "2g");
        rrm::JsonWriter scan = radio.add_array("rf-environment");
        for (int n = 0; n < 20; ++n) {
            rrm::JsonWriter bss = scan.add_object(nullptr);
            bss.add_string("bssid", "66:77:88:99:AA:BB").add_int("rssi", -40 - n).add_string("ssid", "a-guest-network-ssid");
        }
    }
    return w.to_string();
}

void BM_ReaderParseHeap(benchmark::State& state)
{
    const std::string text = ap_message();
    for (auto _ : state) {
        rrm::JsonReader r(text.c_str());
        benchmark::DoNotOptimize(r.child("radios").size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReaderParseHeap);

void BM_ReaderParseOwnArena(benchmark::State& state)
{
    const std::string text = ap_message();
    for (auto _ : state) {
        rrm::JsonReader r(text.c_str(), std::size_t{8192});
        benchmark::DoNotOptimize(r.child("radios").size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReaderParseOwnArena);

void BM_ReaderLookups(benchmark::State& state)
{
    const std::string text = ap_message();
    rrm::JsonReader r(text.c_str());
    for (auto _ : state) {
        int sum = 0;
        rrm::JsonReader radios = r.child("radios");
        for (int i = 0; i < radios.size(); ++i)
            sum += radios.child(i).get_int("channel");
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(r.get_string("ap-mac"));
    }
}
BENCHMARK(BM_ReaderLookups);

void BM_WriterBuildAndSerialize(benchmark::State& state)
{
    for (auto _ : state) {
        std::string text = ap_message();
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_WriterBuildAndSerialize);

} // namespace

BENCHMARK_MAIN();
