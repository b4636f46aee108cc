// What records cost when their level is not written, and when it is.
//
// Every case logs through the real program: a real RRM_Logger configured
// from a file in a temporary folder (records with their time, to a log file
// there), with the program's log handler, whose levels follow the logger's
// configuration (`path:0`). The peer in the same run (`path:1`) is the way
// records went before the level was tested first: every record handed to
// the handler with all its arguments evaluated, formatted with vasprintf,
// and then judged by easylogging++ (tests/support/FormatFirstLog.h, every
// level handed on).
//
// - BM_Reassociation: one client associates again and again with radio 0
//   of an AP that has `clients` clients on that radio, through a real
//   domain worker's message handler (steering on, the answers dropped),
//   with Debug and Trace off. Each association dumps the radio's client
//   table at Debug.
// - BM_Records: one Debug record with a MAC text among its arguments
//   (the shape of the steering handlers' records), with Debug off
//   (`written:0`) and on (`written:1`, the record goes to the file).
// - BM_MacText: `mac_to_string` against snprintf with the same format.
// - BM_PeerText: the quote of a 4 KB AP message as "Recv" takes it (control
//   bytes escaped, at most 1024 bytes and the length) against the head
//   copied whole, as it was before control bytes were escaped.
// The domain worker's subscriptions with a real logger:
// subscribe_bench's BM_WorkerSubscriptions_Logged.

#include "BenchLogger.h"
#include "Config.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "Log.h"
#include "MacAddress.h"
#include "QueueMessage.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "SteeringDomain.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

class SinkRegistry : public rrm::RRM {
public:
    using RRM::RRM;
    void enqueue_serialized(const char*, const BaseSession&) override {}
    void enqueue_serialized(std::string, const BaseSession&) override {}
};

std::string client_mac(int c)
{
    char text[18];
    std::snprintf(text, sizeof text, "00:cc:00:%02x:%02x:%02x", (c >> 16) & 0xff,
                  (c >> 8) & 0xff, c & 0xff);
    return text;
}

std::shared_ptr<rrm::QueueMessage> parsed(const std::string& text)
{
    return std::make_shared<rrm::QueueMessage>(
        rrm::JsonReader(text.c_str(), static_cast<std::size_t>(8192)), BaseSession{nullptr, 0, 1});
}

void BM_Reassociation(benchmark::State& state)
{
    const int clients = static_cast<int>(state.range(0));
    const bool format_first = state.range(1) == 1;
    rrm::set_log_handler([](const char*, int, const char*, int, const char*, va_list) {});
    rrm::GlobalConfig config("");
    SinkRegistry registry(&config);
    auto worker = std::make_shared<rrm::RrmWorker>(&config, rrm::DomainConfig(), "bench",
                                                   &registry, 0, 2048);
    const testsupport::ApSpec ap = testsupport::steering_ap("02:00:00:00:01:00", "bench");
    auto handle = [&](const std::string& text) {
        auto msg = parsed(text);
        worker->process_message(msg->json, *msg);
    };
    handle(ap.subscribe_request());
    for (int c = 1; c < clients; ++c)
        handle(testsupport::client_assoc(ap, 0, -50, client_mac(c), "corp"));
    const auto again = parsed(testsupport::client_assoc(ap, 0, -50, client_mac(0), "corp"));
    worker->process_message(again->json, *again);
    if (worker->aps.table.begin()->second->radios.radios.at(0).client_table.clients.size() !=
        static_cast<size_t>(clients)) {
        state.SkipWithError("the clients did not associate");
        return;
    }

    BenchLogger logging(false, format_first);
    for (auto _ : state)
        worker->process_message(again->json, *again);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(BenchLogger::label(format_first));
}
BENCHMARK(BM_Reassociation)
    ->ArgNames({"clients", "path"})
    ->ArgsProduct({{10, 2000}, {0, 1}});

void BM_Records(benchmark::State& state)
{
    const bool written = state.range(0) == 1;
    const bool format_first = state.range(1) == 1;
    BenchLogger logging(written, format_first);
    const rrm::MacAddress ap = rrm::mac_from_string("02:00:00:00:01:00");
    const char* sta = "00:cc:00:00:00:01";
    int rssi = -50;
    for (auto _ : state) {
        RRM_DEBUG("Assocc client %s rssi %d radio_id %d ssid %s (ap %s)", sta, rssi, 0, "corp",
                  rrm::mac_to_string(ap).c_str());
        benchmark::DoNotOptimize(rssi);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(BenchLogger::label(format_first));
}
BENCHMARK(BM_Records)->ArgNames({"written", "path"})->ArgsProduct({{0, 1}, {0, 1}});

void BM_MacText(benchmark::State& state)
{
    const bool printf_peer = state.range(0) == 1;
    rrm::MacAddress mac = rrm::mac_from_string("0A:1B:2C:3D:4E:5F");
    for (auto _ : state) {
        std::string text;
        if (printf_peer) {
            char buf[18];
            const uint8_t* o = mac.octets;
            std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", o[0], o[1], o[2],
                          o[3], o[4], o[5]);
            text.assign(buf, 17);
        } else {
            text = rrm::mac_to_string(mac);
        }
        benchmark::DoNotOptimize(text.data());
        ++mac.octets[5];
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(printf_peer ? "snprintf" : "mac_to_string");
}
BENCHMARK(BM_MacText)->ArgName("snprintf")->Arg(0)->Arg(1);

// The quote of a peer's text as before control bytes were escaped: the head
// copied whole, the length behind it.
struct CopiedQuote {
    char buffer[rrm::PEER_TEXT_MAX + 48];
    int size = 0;
    CopiedQuote(const char* text, std::size_t length)
    {
        const std::size_t kept = std::min(length, rrm::PEER_TEXT_MAX);
        std::memcpy(buffer, text, kept);
        std::size_t n = kept;
        if (kept < length)
            n += static_cast<std::size_t>(std::snprintf(buffer + kept, sizeof buffer - kept,
                                                        "... (%zu bytes)", length));
        buffer[n] = '\0';
        size = static_cast<int>(n);
    }
};

void BM_PeerText(benchmark::State& state)
{
    const bool copy_peer = state.range(0) == 1;
    // An AP message of 4 KB, the shape "Recv" quotes: JSON text, no control
    // bytes.
    std::string text = R"({"service":"rrm","cmd":"rrm-response","version":"2.4","radios":[)";
    while (text.size() < 4096)
        text += R"({"id":0,"channel":36,"ssid":"corp","mac":"02:00:00:00:01:10"},)";
    for (auto _ : state) {
        if (copy_peer) {
            CopiedQuote quoted(text.data(), text.size());
            benchmark::DoNotOptimize(quoted.buffer);
        } else {
            rrm::PeerText quoted(text);
            benchmark::DoNotOptimize(quoted.data());
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(copy_peer ? "head copied" : "PeerText");
}
BENCHMARK(BM_PeerText)->ArgName("copy")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
