// Parse and serialize throughput of yajson next to RapidJSON's DOM (full
// precision, and its default) and simdjson's DOM, on generated documents of
// the kinds the server handles. Every parse is checked; before timing, the
// trees of all three parsers and the texts of both writers are compared.

#include <yajson/yajson.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <benchmark/benchmark.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// Doubles as sensors and planners write them: 17 significant digits, mostly
// of moderate size, some tiny and some huge.
std::string doubles(size_t count)
{
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> moderate(-1000.0, 1000.0);
    std::uniform_real_distribution<double> exponent(-12.0, 300.0);
    std::string s = "{\"positions\":[";
    for (size_t i = 0; i < count; ++i) {
        double d = moderate(rng);
        if (i % 8 == 5)
            d = std::pow(10.0, exponent(rng)) * (i % 16 == 5 ? -1 : 1);
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", d);
        s += (i ? "," : "") + std::string(buf);
    }
    s += "]}";
    return s;
}

struct Document {
    const char* name;
    std::string text;
};

const std::vector<Document>& documents()
{
    static const std::vector<Document> docs = {
        {"ap_1k", ap_message(1024)},        {"ap_4k", ap_message(4096)},
        {"ap_8k", ap_message(8192)},        {"strings", string_heavy()},
        {"numbers", number_heavy()},        {"doubles", doubles(2000)},
        {"wide", wide_objects()},           {"ap_256k", ap_message(256 * 1024)},
        {"ap_1m", ap_message(1024 * 1024)}, {"doubles_1m", doubles(45000)},
    };
    return docs;
}

const Document& document(const benchmark::State& state) { return documents()[static_cast<size_t>(state.range(0))]; }

yajson::ParseOptions server_options()
{
    yajson::ParseOptions o;
    o.allow_duplicate_keys = true;
    return o;
}

// One canonical text per tree, whichever library built it: integers as
// integers, other numbers with 17 significant digits, strings raw, members in
// document order. Equal texts mean equal trees.
void canon_number(std::string& out, double d)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    out += buf;
}

void canon(std::string& out, const yajson::JsonValue& v)
{
    char buf[32];
    if (v.is_object()) {
        out += '{';
        for (const auto& m : v.as_object()) {
            out += '"' + m.key + "\":";
            canon(out, m.value);
            out += ',';
        }
        out += '}';
    } else if (v.is_array()) {
        out += '[';
        for (const yajson::JsonValue& e : v.as_array()) {
            canon(out, e);
            out += ',';
        }
        out += ']';
    } else if (v.is_string()) {
        out += '"' + std::string(v.as_string()) + '"';
    } else if (v.is_integer()) {
        std::snprintf(buf, sizeof buf, "%" PRId64, v.as_integer());
        out += buf;
    } else if (v.is_uinteger()) {
        std::snprintf(buf, sizeof buf, "%" PRIu64, v.as_uinteger());
        out += buf;
    } else if (v.is_float()) {
        canon_number(out, v.as_number());
    } else if (v.is_bool()) {
        out += v.as_bool() ? "true" : "false";
    } else {
        out += "null";
    }
}

void canon(std::string& out, const rapidjson::Value& v)
{
    char buf[32];
    if (v.IsObject()) {
        out += '{';
        for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
            out += '"' + std::string(m->name.GetString(), m->name.GetStringLength()) + "\":";
            canon(out, m->value);
            out += ',';
        }
        out += '}';
    } else if (v.IsArray()) {
        out += '[';
        for (const auto& e : v.GetArray()) {
            canon(out, e);
            out += ',';
        }
        out += ']';
    } else if (v.IsString()) {
        out += '"' + std::string(v.GetString(), v.GetStringLength()) + '"';
    } else if (v.IsInt64()) {
        std::snprintf(buf, sizeof buf, "%" PRId64, v.GetInt64());
        out += buf;
    } else if (v.IsUint64()) {
        std::snprintf(buf, sizeof buf, "%" PRIu64, v.GetUint64());
        out += buf;
    } else if (v.IsDouble()) {
        canon_number(out, v.GetDouble());
    } else if (v.IsBool()) {
        out += v.GetBool() ? "true" : "false";
    } else {
        out += "null";
    }
}

void canon(std::string& out, simdjson::dom::element v)
{
    char buf[32];
    switch (v.type()) {
    case simdjson::dom::element_type::OBJECT:
        out += '{';
        for (auto m : simdjson::dom::object(v)) {
            out += '"' + std::string(m.key) + "\":";
            canon(out, m.value);
            out += ',';
        }
        out += '}';
        break;
    case simdjson::dom::element_type::ARRAY:
        out += '[';
        for (auto e : simdjson::dom::array(v)) {
            canon(out, e);
            out += ',';
        }
        out += ']';
        break;
    case simdjson::dom::element_type::STRING:
        out += '"' + std::string(v.get_string().value()) + '"';
        break;
    case simdjson::dom::element_type::INT64:
        std::snprintf(buf, sizeof buf, "%" PRId64, v.get_int64().value());
        out += buf;
        break;
    case simdjson::dom::element_type::UINT64:
        std::snprintf(buf, sizeof buf, "%" PRIu64, v.get_uint64().value());
        out += buf;
        break;
    case simdjson::dom::element_type::DOUBLE:
        canon_number(out, v.get_double().value());
        break;
    case simdjson::dom::element_type::BOOL:
        out += v.get_bool().value() ? "true" : "false";
        break;
    case simdjson::dom::element_type::NULL_VALUE:
        out += "null";
        break;
    }
}

template <class T>
std::string canon_text(const T& v)
{
    std::string out;
    canon(out, v);
    return out;
}

// The text of a finite double by the float text rules, from printf: a
// minus sign, then the integer with ".0" up to 2^53; between 1e-6 and 1e15
// the first k of 1 to 9 for which x * 10^k is integral gives the digits of
// that product with a point k from the right, if they read back as x; all
// else is "%.17g" (with ".0" where that has no point or exponent).
std::string rules_text(double x)
{
    char buf[64];
    if (x == 0)
        return "0.0";
    std::string sign = x < 0 ? "-" : "";
    const double a = std::fabs(x);
    if (a <= 9007199254740992.0 && a == std::floor(a)) {
        std::snprintf(buf, sizeof buf, "%.0f.0", a);
        return sign + buf;
    }
    if (a > 1e-6 && a < 1e15) {
        static const double p10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
        for (int k = 1; k <= 9; ++k) {
            const double y = a * p10[k];
            if (y > 9007199254740992.0)
                break;
            if (y == std::floor(y)) {
                if (y / p10[k] != a)
                    break;
                std::snprintf(buf, sizeof buf, "%.0f", y);
                std::string digits = buf;
                if (digits.size() <= static_cast<size_t>(k))
                    digits.insert(0, static_cast<size_t>(k) + 1 - digits.size(), '0');
                digits.insert(digits.size() - static_cast<size_t>(k), ".");
                return sign + digits;
            }
        }
    }
    std::snprintf(buf, sizeof buf, "%.17g", a);
    std::string t = buf;
    if (t.find_first_of(".eE") == std::string::npos)
        t += ".0";
    return sign + t;
}

[[noreturn]] void fail(const char* what, const std::string& name)
{
    std::fprintf(stderr, "json_bench: %s on %s\n", what, name.c_str());
    std::exit(1);
}

// The three parsers agree on every document, and each writer's text reads
// back as the same tree; yajson's writer gives each float as the float text
// rules say (checked here against printf for the doubles).
void check_documents()
{
    for (const Document& doc : documents()) {
        const yajson::JsonValue y = yajson::detail::parse_document(doc.text, server_options());
        const std::string expected = canon_text(y);
        rapidjson::Document full;
        full.Parse<rapidjson::kParseFullPrecisionFlag>(doc.text.data(), doc.text.size());
        if (full.HasParseError() || canon_text(full) != expected)
            fail("RapidJSON (full precision) reads a different tree", doc.name);
        simdjson::dom::parser parser;
        const simdjson::padded_string padded(doc.text);
        simdjson::dom::element e;
        if (parser.parse(padded).get(e) || canon_text(e) != expected)
            fail("simdjson reads a different tree", doc.name);
        const std::string ours = yajson::serialize(yajson::SerializeOptions(), y);
        if (canon_text(yajson::detail::parse_document(ours, server_options())) != expected)
            fail("yajson's text reads back differently", doc.name);
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        full.Accept(writer);
        if (canon_text(yajson::detail::parse_document(buffer.GetString(), server_options())) != expected)
            fail("RapidJSON's text reads back differently", doc.name);
        // Every float of the doubles documents as the float text rules
        // give it, worked out here with printf.
        if (std::string(doc.name).rfind("doubles", 0) == 0) {
            for (const yajson::JsonValue& d : y.as_object().find("positions")->as_array()) {
                if (d.is_float() && yajson::serialize(yajson::SerializeOptions(), d) != rules_text(d.as_number()))
                    fail("a double written otherwise than the float text rules say", doc.name);
            }
        }
    }
}

void label(benchmark::State& state, size_t text_bytes, size_t processed)
{
    state.SetBytesProcessed(static_cast<int64_t>(processed));
    state.SetLabel(document(state).name);
    state.counters["text"] = static_cast<double>(text_bytes);
}

// As the AP parsing thread does: a fresh 8 KB-first-block arena per message.
void BM_yajson_parse(benchmark::State& state)
{
    const std::string& text = document(state).text;
    const yajson::ParseOptions options = server_options();
    std::size_t arena_bytes = 0;
    for (auto _ : state) {
        yajson::MonotonicArena arena(8192);
        yajson::ArenaScope scope(&arena);
        yajson::ParseResult r = yajson::parse(text, options);
        if (r.error)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(r);
        arena_bytes = arena.total();
    }
    label(state, text.size(), state.iterations() * text.size());
    // Bytes the arena took from malloc for one document, and per text byte.
    state.counters["arena"] = static_cast<double>(arena_bytes);
    state.counters["arena/text"] = static_cast<double>(arena_bytes) / static_cast<double>(text.size());
}

// Without an arena, as management requests and the configuration file.
void BM_yajson_parse_heap(benchmark::State& state)
{
    const std::string& text = document(state).text;
    const yajson::ParseOptions options = server_options();
    for (auto _ : state) {
        yajson::ParseResult r = yajson::parse(text, options);
        if (r.error)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(r);
    }
    label(state, text.size(), state.iterations() * text.size());
}

// RapidJSON's correctly rounded number conversion: the fair peer, since
// yajson's numbers are exact too.
void BM_rapidjson_parse_full(benchmark::State& state)
{
    const std::string& text = document(state).text;
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
        if (d.HasParseError())
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(d);
    }
    label(state, text.size(), state.iterations() * text.size());
}

// RapidJSON's default: faster, but floats may be off in the last bit.
void BM_rapidjson_parse(benchmark::State& state)
{
    const std::string& text = document(state).text;
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse(text.data(), text.size());
        if (d.HasParseError())
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(d);
    }
    label(state, text.size(), state.iterations() * text.size());
}

// simdjson's DOM as its authors mean it to be used: one parser kept across
// documents (its buffers stay allocated), the text padded beforehand.
void BM_simdjson_parse(benchmark::State& state)
{
    const std::string& text = document(state).text;
    const simdjson::padded_string padded(text);
    simdjson::dom::parser parser;
    for (auto _ : state) {
        simdjson::dom::element e;
        if (parser.parse(padded).get(e))
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(e);
    }
    label(state, text.size(), state.iterations() * text.size());
}

void BM_yajson_serialize(benchmark::State& state)
{
    const std::string& text = document(state).text;
    const yajson::JsonValue v = yajson::detail::parse_document(text, server_options());
    const yajson::SerializeOptions options;
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out = yajson::serialize(options, v);
        bytes += out.size();
        benchmark::DoNotOptimize(out);
    }
    label(state, text.size(), bytes);
}

void BM_rapidjson_serialize(benchmark::State& state)
{
    const std::string& text = document(state).text;
    rapidjson::Document d;
    d.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
    size_t bytes = 0;
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        d.Accept(writer);
        bytes += buffer.GetSize();
        benchmark::DoNotOptimize(buffer.GetString());
    }
    label(state, text.size(), bytes);
}

void BM_simdjson_serialize(benchmark::State& state)
{
    const std::string& text = document(state).text;
    const simdjson::padded_string padded(text);
    simdjson::dom::parser parser;
    simdjson::dom::element e = parser.parse(padded).value();
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out = simdjson::minify(e);
        bytes += out.size();
        benchmark::DoNotOptimize(out);
    }
    label(state, text.size(), bytes);
}

// What one byte of text can cost in the arena at worst: shapes that pack
// the most containers, members or values into the fewest bytes, parsed as
// the AP parsing thread parses (server options, 8 KB first block).
std::string adversarial(int shape, size_t bytes)
{
    static const char* const units[] = {"[0],", "[],", "{},", "{\"\":0},", "0,", "\"\",", "[[0]],", "{\"\":[]},"};
    const std::string unit = units[shape];
    std::string s = "[";
    while (s.size() + unit.size() < bytes)
        s += unit;
    if (s.back() == ',')
        s.pop_back();
    return s + "]";
}

const char* const adversarial_names[] = {"[[0],..]", "[[],..]", "[{},..]", "[{\"\":0},..]",
                                         "[0,..]",   "[\"\",..]", "[[[0]],..]", "[{\"\":[]},..]"};

void BM_arena_per_text_byte(benchmark::State& state)
{
    const std::string text = adversarial(static_cast<int>(state.range(0)), static_cast<size_t>(state.range(1)));
    const yajson::ParseOptions options = server_options();
    std::size_t arena_bytes = 0;
    for (auto _ : state) {
        yajson::MonotonicArena arena(8192);
        yajson::ArenaScope scope(&arena);
        yajson::ParseResult r = yajson::parse(text, options);
        if (r.error)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(r);
        arena_bytes = arena.total();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetLabel(adversarial_names[state.range(0)]);
    state.counters["text"] = static_cast<double>(text.size());
    state.counters["arena"] = static_cast<double>(arena_bytes);
    state.counters["arena/text"] = static_cast<double>(arena_bytes) / static_cast<double>(text.size());
}

void all_documents(benchmark::internal::Benchmark* b)
{
    b->DenseRange(0, static_cast<int>(documents().size()) - 1);
}

} // namespace

BENCHMARK(BM_yajson_parse)->Apply(all_documents);
BENCHMARK(BM_rapidjson_parse_full)->Apply(all_documents);
BENCHMARK(BM_rapidjson_parse)->Apply(all_documents);
BENCHMARK(BM_simdjson_parse)->Apply(all_documents);
BENCHMARK(BM_yajson_parse_heap)->Apply(all_documents);
BENCHMARK(BM_yajson_serialize)->Apply(all_documents);
BENCHMARK(BM_rapidjson_serialize)->Apply(all_documents);
BENCHMARK(BM_simdjson_serialize)->Apply(all_documents);
BENCHMARK(BM_arena_per_text_byte)->ArgsProduct({benchmark::CreateDenseRange(0, 7, 1), {1 << 20, 16 << 20}});

int main(int argc, char** argv)
{
    check_documents();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
