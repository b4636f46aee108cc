// One 802.11r update of a domain: N access points (100, 500, 2,000), each
// with one 5 GHz radio and 4 VAPs with 802.11r, key holders and keys set.
//
// Two sites:
// - "floors": every 20 APs share a set of 4 SSIDs (a floor or a building
//   of its own), so each VAP has 19 partners whatever the size of the
//   domain;
// - "one SSID set": every AP serves the same 4 SSIDs, so each VAP links
//   every other AP and the links grow with the square of the domain.
//
// Three updates:
// - steady: every link already in place (the update that follows a change
//   elsewhere): nothing changes, nothing is sent;
// - join: one AP has just joined: the links to it and its own are made and
//   the APs concerned are told;
// - scratch: no link yet: every link is made and every AP told.
//
// BM_Update runs the planning sub-worker's update_802dot11r on a real
// domain worker, with the slices and messages it leaves for the worker's
// next passes (its "fbt-info" texts are built and handed to a registry
// that drops them). No AP has scan data, so every size keeps the full mesh. BM_IndexedPlanning runs the server's link planning
// alone, BM_LiteralPlanning on the same domains the rule written out step
// by step (tests/support/FbtReference.h: every link compared with every VAP
// of every other AP, R1 texts parsed where they are compared): the
// planning alone, without the messages.

#include "ApEntry.h"
#include "ApMap.h"
#include "Config.h"
#include "DomainConfig.h"
#include "FastTransitionPlanning.h"
#include "FbtReference.h"
#include "Log.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "TpcDcaSubworker.h"
#include "VapMap.h"

#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

void discard_log(const char*, int, const char*, int, const char*, va_list)
{
}

// What the program's log handler does with every record before the
// logging library looks at its level: the text is formatted.
void formatting_log(const char*, int, const char*, int, const char* fmt, va_list args)
{
    char* text = nullptr;
    if (::vasprintf(&text, fmt, args) != -1)
        std::free(text);
}

class SinkRegistry : public rrm::RRM {
public:
    using RRM::RRM;
    void enqueue_serialized(const char*, const BaseSession&) override { ++sent; }
    void enqueue_serialized(std::string text, const BaseSession&) override
    {
        ++sent;
        bytes += text.size();
    }
    void enqueue_serialized(std::string text, const BaseSession& session,
                            std::shared_ptr<const void>) override
    {
        enqueue_serialized(std::move(text), session);
    }
    uint64_t sent = 0;
    uint64_t bytes = 0;
};

constexpr int kVaps = 4;
constexpr int kFloor = 20;

std::string ap_mac(int i)
{
    char text[32];
    std::snprintf(text, sizeof text, "02:00:%02X:%02X:%02X:00", (i >> 16) & 0xff, (i >> 8) & 0xff,
                  i & 0xff);
    return text;
}

// AP i: radio 1 (5 GHz, channel 36) with VAPs 0..3; R0 its serial, R1 the
// VAP's MAC, a key of its own.
std::shared_ptr<rrm::ApEntry> make_ap(const rrm::DomainConfig* config, int i, bool floors)
{
    const rrm::MacAddress base = rrm::mac_from_string(ap_mac(i).c_str());
    auto ap = std::make_shared<rrm::ApEntry>(
        config, base, BaseSession{nullptr, 0, static_cast<uint32_t>(i + 1)},
        rrm::FactorySettings("tavik-ap", "rev-a", "SN" + std::to_string(i), base));
    rrm::Radio& radio = ap->radios.radios[1];
    radio.status = true;
    radio.band = rrm::BAND_5G;
    radio.channel = 36;
    for (int v = 0; v < kVaps; ++v) {
        const std::string ssid =
            (floors ? "floor" + std::to_string(i / kFloor) + "-" : std::string()) + "ssid" +
            std::to_string(v);
        rrm::MacAddress mac = radio.mac;
        mac.octets[5] = static_cast<uint8_t>(mac.octets[5] + v);
        rrm::Vap vap(v, ssid, mac, true, true, false);
        vap.fbt_r0_keyholder = ap->factory.serial;
        vap.fbt_r1_keyholder = rrm::mac_to_string(mac);
        char key[rrm::FBT_KEY_LENGTH + 1];
        std::snprintf(key, sizeof key, "K%07dv%dabcdef", i, v);
        vap.fbt_rrb_key = key;
        radio.vaps.set(ssid, vap);
    }
    return ap;
}

struct Domain {
    explicit Domain(int n, bool floors) : config(""), registry(&config)
    {
        worker = std::make_shared<rrm::RrmWorker>(&config, rrm::DomainConfig(), "bench", &registry,
                                                  0, 2048);
        for (int i = 0; i < n; ++i)
            worker->aps.insert(rrm::mac_from_string(ap_mac(i).c_str()),
                               make_ap(&worker->config, i, floors));
    }
    rrm::TpcDcaSubworker& tpc() { return *worker->subworkers.get_tpc_dca(); }
    // One update whole: the worker plans in slices and sends as the
    // transport takes the messages (here at once), over several passes.
    void update()
    {
        tpc().update_802dot11r();
        while (tpc().fbt_planning || !tpc().fbt_outbox.empty())
            worker->poll_timers();
    }
    void clear_links()
    {
        for (auto& entry : worker->aps.table)
            for (auto& vap : entry.second->radios.radios[1].vaps.table)
                vap.second.fbt_links.clear();
    }
    size_t links() const
    {
        size_t n = 0;
        for (const auto& entry : worker->aps.table)
            for (const auto& vap : entry.second->radios.radios[1].vaps.table)
                n += vap.second.fbt_links.size();
        return n;
    }

    rrm::GlobalConfig config;
    SinkRegistry registry;
    std::shared_ptr<rrm::RrmWorker> worker;
};

enum Kind { STEADY = 0, JOIN = 1, SCRATCH = 2 };

void BM_Update(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const bool floors = state.range(1) == 1;
    const Kind kind = static_cast<Kind>(state.range(2));
    const bool format_logs = state.range(3) == 1;
    rrm::set_log_handler(&discard_log);
    Domain domain(n, floors);
    domain.update();  // every link in place
    const int joiner = n - 1;
    const rrm::MacAddress joiner_mac = rrm::mac_from_string(ap_mac(joiner).c_str());
    uint64_t sent = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (kind == JOIN) {
            // The joiner leaves (its links everywhere go), then comes back
            // without links.
            domain.worker->aps.erase(joiner_mac);
            domain.update();
            domain.worker->aps.insert(joiner_mac, make_ap(&domain.worker->config, joiner, floors));
        } else if (kind == SCRATCH) {
            domain.clear_links();
        }
        const uint64_t before = domain.registry.sent;
        if (format_logs)
            rrm::set_log_handler(&formatting_log);
        state.ResumeTiming();
        domain.update();
        state.PauseTiming();
        rrm::set_log_handler(&discard_log);
        sent += domain.registry.sent - before;
        state.ResumeTiming();
    }
    state.counters["links"] = benchmark::Counter(static_cast<double>(domain.links()));
    state.counters["fbt-info/update"] =
        benchmark::Counter(static_cast<double>(sent) / static_cast<double>(state.iterations()));
    state.SetLabel(std::string(floors ? "floors" : "one SSID set") +
                   (kind == STEADY ? ", steady" : kind == JOIN ? ", join" : ", scratch") +
                   (format_logs ? ", records formatted" : ""));
}

// The planning alone, as BM_LiteralPlanning measures the rule: the same
// domains, without filling keys and without messages.
void BM_IndexedPlanning(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const bool floors = state.range(1) == 1;
    const Kind kind = static_cast<Kind>(state.range(2));
    rrm::set_log_handler(&discard_log);
    Domain domain(n, floors);
    domain.update();
    for (auto _ : state) {
        state.PauseTiming();
        if (kind == SCRATCH)
            domain.clear_links();
        state.ResumeTiming();
        benchmark::DoNotOptimize(rrm::plan_fbt_links(domain.worker->aps, false));
    }
    state.counters["links"] = benchmark::Counter(static_cast<double>(domain.links()));
    state.SetLabel(std::string("indexed, ") + (floors ? "floors" : "one SSID set") +
                   (kind == STEADY ? ", steady" : ", scratch"));
}

void BM_LiteralPlanning(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const bool floors = state.range(1) == 1;
    const Kind kind = static_cast<Kind>(state.range(2));
    rrm::set_log_handler(&discard_log);
    Domain domain(n, floors);
    domain.update();
    const int joiner = n - 1;
    const rrm::MacAddress joiner_mac = rrm::mac_from_string(ap_mac(joiner).c_str());
    for (auto _ : state) {
        state.PauseTiming();
        if (kind == JOIN) {
            domain.worker->aps.erase(joiner_mac);
            domain.update();
            domain.worker->aps.insert(joiner_mac, make_ap(&domain.worker->config, joiner, floors));
        } else if (kind == SCRATCH) {
            domain.clear_links();
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(testsupport::reference_plan_fbt_links(domain.worker->aps, false));
    }
    state.counters["links"] = benchmark::Counter(static_cast<double>(domain.links()));
    state.SetLabel(std::string("literal, ") + (floors ? "floors" : "one SSID set") +
                   (kind == STEADY ? ", steady" : kind == JOIN ? ", join" : ", scratch"));
}

// {APs, floors, kind, formatted records}
BENCHMARK(BM_Update)
    ->ArgNames({"aps", "floors", "kind", "fmt"})
    ->ArgsProduct({{100, 500, 2000}, {1}, {STEADY, JOIN, SCRATCH}, {0}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Update)
    ->ArgNames({"aps", "floors", "kind", "fmt"})
    ->Args({2000, 1, STEADY, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Update)
    ->ArgNames({"aps", "floors", "kind", "fmt"})
    ->ArgsProduct({{100, 500}, {0}, {STEADY, JOIN, SCRATCH}, {0}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexedPlanning)
    ->ArgNames({"aps", "floors", "kind"})
    ->ArgsProduct({{100, 500, 2000}, {1}, {STEADY, SCRATCH}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexedPlanning)
    ->ArgNames({"aps", "floors", "kind"})
    ->ArgsProduct({{100, 500}, {0}, {STEADY, SCRATCH}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LiteralPlanning)
    ->ArgNames({"aps", "floors", "kind"})
    ->ArgsProduct({{100, 500}, {1}, {STEADY, SCRATCH}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_LiteralPlanning)
    ->ArgNames({"aps", "floors", "kind"})
    ->ArgsProduct({{100}, {0}, {STEADY, SCRATCH}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
