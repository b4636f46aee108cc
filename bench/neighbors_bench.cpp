// 802.11k neighbour lists of every AP of a domain: N APs, each hearing 20 to
// 50 BSSIDs of other APs of the domain (radio MACs and VAP MACs, some with
// the locally-administered bit flipped) and a few foreign BSSIDs. The same
// domain with 802.11v gives the 802.11v balancer's lists.

#include "ApMap.h"
#include "DomainConfig.h"
#include "JsonWriter.h"
#include "LoadBalancer802dot11vSubworker.h"
#include "Log.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

namespace {

struct Domain {
    rrm::DomainConfig config;
    rrm::ApMap aps;
    std::vector<std::shared_ptr<rrm::ApEntry>> order;
    std::size_t heard = 0;  // BSSIDs heard, all APs together
};

void add_vaps(rrm::Radio& radio, bool with_80211v)
{
    static const char* const ssids[] = {"corp", "guest", "iot", "voice"};
    for (int k = 0; k < 4; ++k) {
        rrm::MacAddress mac = rrm::mac_with_offset(radio.mac, k);
        // Every SSID but "iot" with 802.11k; with 802.11v, "corp" and
        // "voice" have it too.
        radio.vaps.set(ssids[k], rrm::Vap(k, ssids[k], mac, k != 2, false,
                                          with_80211v && (k == 0 || k == 3)));
    }
}

void quiet(const char*, int, const char*, int, const char*, va_list) {}

// With 802.11v the domain is set as the 802.11v balancer's lists follow the
// load (802.11k off); every radio has priority 255.
std::unique_ptr<Domain> make_domain(int count, bool all_aps, bool with_80211v = false)
{
    rrm::set_log_handler(&quiet);  // the index traces every insertion
    auto domain = std::make_unique<Domain>();
    domain->config.use_all_ap_balance = all_aps;
    if (with_80211v) {
        domain->config.use_80211v = true;
        domain->config.use_80211k = false;
    }
    static const int channels_5g[] = {36, 40, 44, 48, 52, 56, 60, 64, 100, 104, 108, 112,
                                      116, 120, 124, 128, 132, 136, 140, 149, 153, 157, 161};
    for (int i = 0; i < count; ++i) {
        const rrm::MacAddress base =
            rrm::mac_from_u48(0x001a00000000ULL + static_cast<uint64_t>(i) * 256);
        auto ap = std::make_shared<rrm::ApEntry>(&domain->config, base, rrm::null_session);
        rrm::Radio& r0 = ap->radios.radios[0];
        r0.status = true;
        r0.band = rrm::BAND_2G;
        r0.channel = 1 + 5 * (i % 3);
        add_vaps(r0, with_80211v);
        r0.priority = 255;
        rrm::Radio& r1 = ap->radios.radios[1];
        r1.status = true;
        r1.band = rrm::BAND_5G;
        r1.channel = channels_5g[(i * 7) % 23];
        r1.bandwidth = 80;
        r1.primary_channel = rrm::PRIMARY_LL;
        r1.update_primary_channel();
        add_vaps(r1, with_80211v);
        r1.priority = 255;
        domain->aps.insert(base, ap);
        domain->order.push_back(ap);
    }

    // Each AP hears APs near it on a line through the building, under one
    // of their BSSIDs each, plus a few foreign ones.
    std::mt19937 random(12345);
    for (int i = 0; i < count; ++i) {
        rrm::ApEntry& ap = *domain->order[static_cast<std::size_t>(i)];
        const int wanted = std::min(20 + static_cast<int>(random() % 31), count - 1);
        int heard = 0;
        for (int d = 1; heard < wanted; ++d) {
            for (int j : {i - d, i + d}) {
                if (j < 0 || j >= count || heard >= wanted)
                    continue;
                const rrm::ApEntry& other = *domain->order[static_cast<std::size_t>(j)];
                const rrm::Radio& radio = other.radios.radios[random() % 2];
                rrm::MacAddress bssid = rrm::mac_with_offset(radio.mac, random() % 4);
                if (random() % 8 == 0)
                    bssid = rrm::mac_flip_local_bit(bssid);
                ap.visible_members.insert(
                    bssid, rrm::Neighbour(-50 - static_cast<int>(random() % 40), radio.channel,
                                          radio.band, radio.bandwidth, 20, 256));
                ++heard;
            }
        }
        for (int k = 0; k < 5; ++k)
            ap.visible_rogue.insert(rrm::mac_from_u48(0x0e0000000000ULL + random()),
                                    rrm::Neighbour(-80, 6, 2, 20, 20, 256));
        domain->heard += ap.visible_members.size();
    }
    return domain;
}

void report(benchmark::State& state, const Domain& domain, std::size_t entries)
{
    const double aps = static_cast<double>(domain.order.size());
    state.counters["per_AP"] = benchmark::Counter(
        aps, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["heard_per_AP"] = static_cast<double>(domain.heard) / aps;
    state.counters["entries_per_AP"] = static_cast<double>(entries) / aps;
}

// Builds the "802dot11k" array of every AP of the domain into an "rrm-info"
// message and serializes it, as the domain worker sends them after an
// optimisation: on the heap, as the server's writers work today, or with an
// arena of its own per message (a 16 KB first block; no server path does
// this yet). Counted: the whole domain, building and text.
void BM_NeighbourListsOfDomain(benchmark::State& state)
{
    const auto domain = make_domain(static_cast<int>(state.range(0)), state.range(1) != 0);
    const bool arena = state.range(2) != 0;
    std::size_t entries = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        entries = 0;
        for (const auto& ap : domain->order) {
            rrm::JsonWriter message("rrm", "rrm-info", "");
            if (arena)
                message.reserve(16384);
            rrm::JsonWriter list = message.add_array("802dot11k");
            domain->aps.neighbours_to_json(*ap, list, ap->visible_members);
            entries += list.resolve().as_array().size();
            const char* text = message.to_string();
            bytes += std::char_traits<char>::length(text);
            benchmark::DoNotOptimize(text);
        }
    }
    report(state, *domain, entries);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK(BM_NeighbourListsOfDomain)
    ->ArgNames({"aps", "all", "arena"})
    ->Args({500, 0, 0})
    ->Args({1000, 0, 0})
    ->Args({2000, 0, 0})
    ->Args({4000, 0, 0})
    ->Args({500, 0, 1})
    ->Args({1000, 0, 1})
    ->Args({2000, 0, 1})
    ->Args({4000, 0, 1})
    // Every enabled radio of the domain in every list: the output itself
    // grows with the square of the domain.
    ->Args({100, 1, 0})
    ->Args({500, 1, 0})
    ->Unit(benchmark::kMillisecond);

// The 802.11v balancer's lists of the same domain, built into "rrm-info" and
// serialized on the heap as its list step sends them; the 802.11k lists above
// are the same work for the plain neighbour list.
void BM_80211vListsOfDomain(benchmark::State& state)
{
    const auto domain = make_domain(static_cast<int>(state.range(0)), state.range(1) != 0, true);
    const std::string name = "bench";
    rrm::ApMap deleted;
    rrm::ApMap unanswered;
    rrm::LoadBalancer802dot11vSubworker balancer(&domain->config, &name, nullptr, &domain->aps,
                                                 &deleted, &unanswered);
    std::size_t entries = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        entries = 0;
        for (const auto& ap : domain->order) {
            rrm::JsonWriter message("rrm", "rrm-info", "");
            rrm::JsonWriter list = message.add_array("802dot11k");
            balancer.build_802dot11kv_list(*ap, list);
            entries += list.resolve().as_array().size();
            const char* text = message.to_string();
            bytes += std::char_traits<char>::length(text);
            benchmark::DoNotOptimize(text);
        }
    }
    report(state, *domain, entries);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK(BM_80211vListsOfDomain)
    ->ArgNames({"aps", "all"})
    ->Args({500, 0})
    ->Args({2000, 0})
    ->Args({4000, 0})
    ->Args({100, 1})
    ->Args({500, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
