// Parse and serialize throughput of yajson next to RapidJSON's DOM, on
// generated documents of the kinds the server handles.

#include <yajson/yajson.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

unsigned byte(std::mt19937& rng) { return static_cast<unsigned>(rng() & 0xFF); }

std::string mac_text(std::mt19937& rng)
{
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", byte(rng), byte(rng), byte(rng),
                  byte(rng), byte(rng), byte(rng));
    return buf;
}

// An AP status/scan message of about target bytes: header, identity, three
// radios with VAPs and clients, then neighbour records until the size is met.
std::string ap_message(size_t target)
{
    std::mt19937 rng(static_cast<unsigned>(target));
    std::string s = "{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":\"scan-result\",\"domain\":\"office-3rd-floor\","
                    "\"factory\":{\"board\":\"wap-ax3000\",\"hw\":\"1.2\",\"serial\":\"SN0048215\",\"mac\":\"" +
                    mac_text(rng) + "\"},\"ap-mac-count\":16,\"use-wildcard-80211r\":0,\"radios\":[";
    for (int r = 0; r < 3; ++r) {
        if (r)
            s += ",";
        s += "{\"band\":" + std::to_string(r) + ",\"channel\":" + std::to_string(r == 0 ? 6 : 36 + 4 * r) +
             ",\"width\":" + std::to_string(r == 0 ? 20 : 80) + ",\"power\":" + std::to_string(17 + r) +
             ",\"max-eirp\":30,\"min-power\":3,\"locked-power\":0,\"locked-channel\":0,\"mac\":\"" + mac_text(rng) +
             "\",\"vaps\":[{\"ssid\":\"corp-wifi\",\"bssid\":\"" + mac_text(rng) +
             "\",\"ft\":1,\"mdid\":\"a1b2\"},{\"ssid\":\"guest\",\"bssid\":\"" + mac_text(rng) +
             "\",\"ft\":0}],\"clients\":[";
        for (int c = 0; c < 3; ++c) {
            if (c)
                s += ",";
            s += "{\"mac\":\"" + mac_text(rng) + "\",\"rssi\":" + std::to_string(-40 - static_cast<int>(rng() % 50)) +
                 ",\"tx-rate\":" + std::to_string(rng() % 1200) + "}";
        }
        s += "]}";
    }
    s += "],\"visible-members\":[";
    bool first = true;
    while (s.size() + 150 < target) {
        if (!first)
            s += ",";
        first = false;
        s += "{\"bssid\":\"" + mac_text(rng) + "\",\"ssid\":\"corp-wifi\",\"channel\":" +
             std::to_string(1 + rng() % 165) + ",\"rssi\":" + std::to_string(-30 - static_cast<int>(rng() % 60)) +
             ",\"band\":" + std::to_string(rng() % 3) + ",\"load\":" + std::to_string(rng() % 100) + "}";
    }
    s += "]}";
    return s;
}

std::string string_heavy()
{
    std::mt19937 rng(7);
    std::string s = "{\"reports\":[";
    for (int i = 0; i < 200; ++i) {
        if (i)
            s += ",";
        std::string text;
        const size_t len = 40 + rng() % 160;
        while (text.size() < len)
            text += "channel plan changed for radio " + std::to_string(rng() % 100) + " ";
        if (i % 10 == 0)
            text += "\\n\\t\\\"quoted\\\"";
        s += "{\"domain\":\"office-3rd-floor\",\"text\":\"" + text + "\",\"note\":\"caf\xC3\xA9 \\u00e9\"}";
    }
    s += "]}";
    return s;
}

std::string number_heavy()
{
    std::mt19937 rng(11);
    std::string s = "{\"histogram\":[";
    for (int i = 0; i < 2000; ++i)
        s += (i ? "," : "") + std::to_string(static_cast<int>(rng() % 200000) - 100000);
    s += "],\"levels\":[";
    for (int i = 0; i < 1000; ++i) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.3f", (static_cast<int>(rng() % 2000000) - 1000000) / 1000.0);
        s += (i ? "," : "") + std::string(buf);
    }
    s += "]}";
    return s;
}

// Objects of many members, as in the configuration and domain backups.
std::string wide_objects()
{
    std::mt19937 rng(13);
    std::string s = "[";
    for (int o = 0; o < 20; ++o) {
        s += o ? ",{" : "{";
        for (int m = 0; m < 120; ++m) {
            if (m)
                s += ",";
            s += "\"param-" + std::to_string(m) + "\":";
            if (m % 3 == 0)
                s += "\"value-" + std::to_string(rng() % 1000) + "\"";
            else
                s += std::to_string(rng() % 100000);
        }
        s += "}";
    }
    s += "]";
    return s;
}

const std::string& document(int kind)
{
    static const std::vector<std::string> docs = {ap_message(1024),  ap_message(4096), ap_message(8192),
                                                  string_heavy(), number_heavy(),   wide_objects()};
    return docs[static_cast<size_t>(kind)];
}

const char* const kind_names[] = {"ap_1k", "ap_4k", "ap_8k", "strings", "numbers", "wide"};

yajson::ParseOptions server_options()
{
    yajson::ParseOptions o;
    o.allow_duplicate_keys = true;
    return o;
}

// As the AP parsing thread does: a fresh 8 KB-first-block arena per message.
void BM_yajson_parse(benchmark::State& state)
{
    const std::string& text = document(static_cast<int>(state.range(0)));
    const yajson::ParseOptions options = server_options();
    std::size_t arena_bytes = 0;
    for (auto _ : state) {
        yajson::MonotonicArena arena(8192);
        yajson::ArenaScope scope(&arena);
        yajson::JsonValue v = yajson::detail::parse_document(text, options);
        benchmark::DoNotOptimize(v);
        arena_bytes = arena.total();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetLabel(kind_names[state.range(0)]);
    // Bytes the arena took from malloc for one document, and per text byte.
    state.counters["text"] = static_cast<double>(text.size());
    state.counters["arena"] = static_cast<double>(arena_bytes);
    state.counters["arena/text"] = static_cast<double>(arena_bytes) / static_cast<double>(text.size());
}

// Without an arena, as management requests and the configuration file.
void BM_yajson_parse_heap(benchmark::State& state)
{
    const std::string& text = document(static_cast<int>(state.range(0)));
    const yajson::ParseOptions options = server_options();
    for (auto _ : state) {
        yajson::JsonValue v = yajson::detail::parse_document(text, options);
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetLabel(kind_names[state.range(0)]);
}

void BM_rapidjson_parse(benchmark::State& state)
{
    const std::string& text = document(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse(text.data(), text.size());
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetLabel(kind_names[state.range(0)]);
}

void BM_yajson_serialize(benchmark::State& state)
{
    const std::string& text = document(static_cast<int>(state.range(0)));
    const yajson::JsonValue v = yajson::detail::parse_document(text, server_options());
    const yajson::SerializeOptions options;
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out = yajson::serialize(options, v);
        bytes += out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.SetLabel(kind_names[state.range(0)]);
}

void BM_rapidjson_serialize(benchmark::State& state)
{
    const std::string& text = document(static_cast<int>(state.range(0)));
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    size_t bytes = 0;
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        d.Accept(writer);
        bytes += buffer.GetSize();
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.SetLabel(kind_names[state.range(0)]);
}

} // namespace

BENCHMARK(BM_yajson_parse)->DenseRange(0, 5);
BENCHMARK(BM_rapidjson_parse)->DenseRange(0, 5);
BENCHMARK(BM_yajson_parse_heap)->DenseRange(0, 5);
BENCHMARK(BM_yajson_serialize)->DenseRange(0, 5);
BENCHMARK(BM_rapidjson_serialize)->DenseRange(0, 5);

BENCHMARK_MAIN();
