// 802.11r planning at the size of real sites, on the real program: N
// typical tri-band access points (tests/support/ApSimulator.h: 3 radios, the
// third on 6 GHz, 4 VAPs with 802.11r on each) on a square grid subscribe
// over real WebSocket connections on 127.0.0.1 to one domain of the real
// `wendara` binary, with default settings and records below Info off. The
// simulated APs answer the planning cycle their subscriptions start (mode
// requests, scans: each AP hears the three radios of every AP within two
// grid steps, 12 APs inside the grid); at its end the server sends every AP
// its "fbt-info". Then one more AP joins, and the process gets SIGINT.
//
// Measured per run, as counters:
//   peak_rss_mib   the server's peak resident memory (VmHWM)     goal < 1024
//   api_max_ms     slowest TCP API domain list, every 100 ms     goal < 100
//   other_max_ms   slowest subscribe round trip of an AP of another
//                  domain, every 250 ms                         goal < 1000
//   links_s        from the cycle's end (the first "rrm-info")
//                  until the last AP holds its links              goal < 60
//   join_s         a new AP's subscription until its "fbt-info"
//                  with links                                     goal < 5
//   sigint_s       SIGINT until the process has ended (exit 0)    goal < 2
//   cycle_s        last subscription answered until the cycle's end
//   fbt_mib        "fbt-info" text the APs received at the cycle's end
//   remotes        remotes of an inner AP's VAP (36: three radios of
//                  each of the 12 APs it hears; N - 1 times 3 within
//                  the full mesh)
// The latency probes run from the first subscription until SIGINT.
//
// The second argument says whether the run waits for the planning cycle
// (some 40 s of the server's fixed delays whatever the size): the CI smoke
// pass runs only the small case without it (`cycle:0`).
//
// WENDARA_SITE_BINARY names another build of the program to run instead
// (the peer: the same work on an earlier tree).

#include "ApSimulator.h"
#include "WendaraProcess.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::ApSimulator;
using testsupport::ApSpec;
using namespace std::chrono_literals;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The BSSID of radio r of AP `index`: the server gives radio r the AP's MAC
// (02:10:00:HH:LL:00) plus 16 r.
std::string radio_mac(int index, int radio)
{
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:10:00:%02X:%02X:%02X", (index >> 8) & 0xFF, index & 0xFF,
                  radio * 16);
    return mac;
}

std::string ap_mac(int index)
{
    return radio_mac(index, 0);
}

// AP `index` of a grid `side` wide: it hears every AP within two grid
// steps (Euclidean), its three radios each.
ApSpec grid_ap(int index, int count, int side, const std::string& domain)
{
    ApSpec spec = ApSpec::typical(ap_mac(index), domain);
    static const int channels[] = {6, 36, 37};
    static const int bands[] = {2, 5, 6};
    const int x = index % side;
    const int y = index / side;
    std::string scan = "[[";
    bool first = true;
    for (int other = 0; other < count; ++other) {
        if (other == index)
            continue;
        const int dx = other % side - x;
        const int dy = other / side - y;
        const int d2 = dx * dx + dy * dy;
        if (d2 > 4)
            continue;
        for (int r = 0; r < 3; ++r) {
            scan += first ? "" : ",";
            first = false;
            scan += "{\"bssid\":\"" + radio_mac(other, r) + "\",\"channel\":" +
                    std::to_string(channels[r]) + ",\"band\":" + std::to_string(bands[r]) +
                    ",\"rssi\":" + std::to_string(-50 - 6 * d2) +
                    ",\"bandwidth\":20,\"tx-power\":17}";
        }
    }
    spec.rf_environment = scan + "]]";
    return spec;
}

std::string logger_config()
{
    // Info and above to the file, as a site runs it.
    return "* GLOBAL:\n"
           "    FORMAT = \"%datetime %level %msg\"\n"
           "    ENABLED = true\n"
           "    TO_FILE = true\n"
           "    TO_STANDARD_OUTPUT = false\n"
           "    MAX_LOG_FILE_SIZE = 0\n"
           "* DEBUG:\n"
           "    ENABLED = false\n"
           "* TRACE:\n"
           "    ENABLED = false\n";
}

// Latency probes running on threads of their own until stopped.
class Probes {
public:
    Probes(int cli_port, int listen_port) : cli_port_(cli_port)
    {
        api_ = std::thread([this] { api_loop(); });
        other_ = std::make_unique<ApSimulator>(ApSpec::typical("02:20:00:00:01:00", "other", 1, 1));
        if (other_->connect(listen_port) && other_->subscribe() &&
            other_->wait_for("subscribe-response", 20000))
            other_thread_ = std::thread([this] { other_loop(); });
    }
    ~Probes() { stop(); }

    void stop()
    {
        running_ = false;
        if (api_.joinable())
            api_.join();
        if (other_thread_.joinable())
            other_thread_.join();
    }
    double api_max_ms() const { return api_max_ms_; }
    double other_max_ms() const { return other_max_ms_; }
    int api_failures() const { return api_failures_; }

private:
    void api_loop()
    {
        while (running_) {
            const auto start = Clock::now();
            const std::string reply = testsupport::tcp_exchange(cli_port_, "{\"rrm\":{}}", 30s);
            const double ms = seconds_since(start) * 1000;
            if (reply.find("\"domains\"") == std::string::npos)
                ++api_failures_;
            api_max_ms_ = std::max(api_max_ms_.load(), ms);
            std::this_thread::sleep_until(start + 100ms);
        }
    }
    void other_loop()
    {
        while (running_) {
            const auto start = Clock::now();
            other_->subscribe();
            if (!other_->wait_for("subscribe-response", 30000))
                other_max_ms_ = 30000;
            other_max_ms_ = std::max(other_max_ms_.load(), seconds_since(start) * 1000);
            std::this_thread::sleep_until(start + 250ms);
        }
    }

    const int cli_port_;
    std::atomic<bool> running_{true};
    std::atomic<double> api_max_ms_{0};
    std::atomic<double> other_max_ms_{0};
    std::atomic<int> api_failures_{0};
    std::thread api_;
    std::unique_ptr<ApSimulator> other_;
    std::thread other_thread_;
};

// Waits until `done` holds, polling every 20 ms; false after the patience.
template <class F>
bool wait_for(F done, std::chrono::seconds patience)
{
    return testsupport::wait_until(done, patience);
}

void BM_SiteOf80211rAps(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const bool cycle = state.range(1) != 0;
    const int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
    // A descriptor per AP on this side too.
    const rlimit files{16384, 16384};
    ::setrlimit(RLIMIT_NOFILE, &files);
    for (auto _ : state) {
        state.PauseTiming();
        testsupport::WendaraProcess server;
        server.write_logger_config(logger_config());
        server.write_config("", "\"domains\":[{\"domain\":\"site\",\"pattern\":\"common\"},"
                                "{\"domain\":\"other\",\"pattern\":\"common\"}]");
        if (const char* peer = std::getenv("WENDARA_SITE_BINARY"))
            server.set_binary(peer);
        server.start({server.config_path()});
        if (!server.wait_for_port(server.cli_port) || !server.wait_for_port(server.listen_port)) {
            state.SkipWithError("the program did not start");
            return;
        }
        state.ResumeTiming();

        std::vector<std::unique_ptr<ApSimulator>> aps;
        aps.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            aps.push_back(std::make_unique<ApSimulator>(grid_ap(i, count, side, "site")));
            if (!aps.back()->connect(server.listen_port)) {
                state.SkipWithError("an AP could not connect");
                return;
            }
        }
        Probes probes(server.cli_port, server.listen_port);
        for (auto& ap : aps)
            ap->subscribe();
        for (auto& ap : aps)
            if (!ap->wait_for("subscribe-response", 120000)) {
                state.SkipWithError("an AP was not answered");
                return;
            }
        const auto subscribed = Clock::now();

        double cycle_s = 0;
        double links_s = 0;
        double join_s = 0;
        double fbt_mib = 0;
        long remotes = 0;
        bool all_linked = true;
        if (cycle) {
            // The cycle's end: its "rrm-info" reaches the first AP.
            const bool ended = wait_for(
                [&] {
                    for (auto& ap : aps)
                        if (ap->count("rrm-info") > 0)
                            return true;
                    return false;
                },
                600s);
            const auto end = Clock::now();
            cycle_s = std::chrono::duration<double>(end - subscribed).count();
            // Its links: the second "fbt-info" (the first came with the
            // subscription, before any planning).
            const bool linked = ended && wait_for(
                                             [&] {
                                                 for (auto& ap : aps)
                                                     if (ap->count("fbt-info") < 2)
                                                         return false;
                                                 return true;
                                             },
                                             600s);
            links_s = seconds_since(end);
            if (!linked) {
                state.SkipWithError("not every AP got its links");
                return;
            }
            // Every VAP of every AP holds remotes; an inner AP's count.
            size_t bytes = 0;
            for (int i = 0; i < count; ++i) {
                const std::vector<std::string> got = aps[static_cast<size_t>(i)]->received("fbt-info");
                bytes += got.back().size();
                const rrm::JsonReader message(got.back().c_str());
                const rrm::JsonReader vaps = message.child("vaps");
                if (vaps.size() != 12)
                    all_linked = false;
                for (int v = 0; v < vaps.size(); ++v)
                    if (vaps.child(v).child("remotes").size() == 0)
                        all_linked = false;
                if (i == side * (side / 2) + side / 2)
                    remotes = vaps.child(0).child("remotes").size();
            }
            fbt_mib = static_cast<double>(bytes) / (1 << 20);

            // One more AP joins, off the grid, hearing nobody yet.
            ApSimulator joining(ApSpec::typical(ap_mac(count), "site"));
            const auto join_start = Clock::now();
            if (joining.connect(server.listen_port) && joining.subscribe()) {
                const bool told = wait_for(
                    [&] {
                        for (const std::string& text : joining.received("fbt-info")) {
                            const rrm::JsonReader message(text.c_str());
                            if (message.child("vaps").child(0).child("remotes").size() > 0)
                                return true;
                        }
                        return false;
                    },
                    120s);
                join_s = told ? seconds_since(join_start) : -1;
            }
        }

        probes.stop();
        const long peak_kib = server.peak_rss_kib();
        const auto interrupted = Clock::now();
        server.interrupt();
        const testsupport::WendaraProcess::Exit exit = server.wait(60s);
        const double sigint_s = seconds_since(interrupted);

        state.counters["peak_rss_mib"] = static_cast<double>(peak_kib) / 1024;
        state.counters["api_max_ms"] = probes.api_max_ms();
        state.counters["api_failures"] = probes.api_failures();
        state.counters["other_max_ms"] = probes.other_max_ms();
        state.counters["sigint_s"] = sigint_s;
        state.counters["exit_code"] = exit.exited ? exit.code : -1;
        if (cycle) {
            state.counters["cycle_s"] = cycle_s;
            state.counters["links_s"] = links_s;
            state.counters["join_s"] = join_s;
            state.counters["fbt_mib"] = fbt_mib;
            state.counters["remotes"] = static_cast<double>(remotes);
            state.counters["all_linked"] = all_linked ? 1 : 0;
        }
        state.PauseTiming();
        aps.clear();
        state.ResumeTiming();
    }
}

BENCHMARK(BM_SiteOf80211rAps)
    ->ArgNames({"aps", "cycle"})
    ->Args({20, 0})
    ->Args({100, 1})
    ->Args({300, 1})
    ->Args({1000, 1})
    ->Args({2000, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
