// Client steering events through one domain worker: a domain of 500 APs
// and 20,000 clients.
//
// The domain: 500 APs on a 25 x 20 grid, 15 m apart, each with a 2.4 GHz
// and a 5 GHz radio serving "corp" and "guest", open to the load balancer,
// subscribed through the worker's own message handling. Each AP hears both
// radios of every AP within 40 m (8 to 20 APs, as its scans would say).
// 40 clients per AP, 40 % on the 2.4 GHz radio; a fixed pseudo-random mix
// of signals (55 % above -65 dBm, 30 % between, 15 % at or below -75) and
// of "need-ack".
//
// One wave: every client associates with its AP's radio ("rrm-client-
// assoc"); the radios of every AP that the server asked answer its
// "rrm-probe-request" ("rrm-probe-response", one per asked AP, signal by
// distance: -30 - 25 log10(d) dBm, so the nearest neighbours are heard
// above -65); then one load-balancer tick (rounds end and are evaluated:
// moves, blocks, disassociations, acks) and one block-list tick (the block
// lists and disassociation requests go out). The messages are handed to the
// worker's process_message as its thread does, already parsed (the
// transport's parsing thread does that); parsing is outside the timing.
// What the worker sends goes to a registry that drops it (counted). A warm-
// up wave first fills the radios (20 clients per radio: every association
// after it finds a busy radio and starts a round).
//
// Counters: events/s (associations plus probe responses handled, the two
// ticks included in the time), and per wave the associations, the probe
// responses, the messages sent and the moves.
//
// BM_SteeringWave_DispatchOnly is the floor of the same work: the same
// messages through the same domain worker, whose settings turn steering off
// (use_balance false, use_80211v false): every message is admitted,
// checked, its AP looked up, and dropped before any steering. The two
// differ only by the steering work itself.

#include "ApEntry.h"
#include "ApMap.h"
#include "Config.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "LoadBalancerSubworker.h"
#include "Log.h"
#include "MacAddress.h"
#include "Neighbour.h"
#include "QueueMessage.h"
#include "RRM.h"
#include "Radio.h"
#include "RrmWorker.h"
#include "BlacklistSubworker.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kColumns = 25;
constexpr int kRows = 20;
constexpr int kAps = kColumns * kRows;
constexpr int kClientsPerAp = 40;
constexpr int kClients = kAps * kClientsPerAp;
constexpr double kSpacing = 15.0;
constexpr double kHearing = 40.0;
// Messages parsed per batch outside the timing.
constexpr size_t kChunk = 4096;

void discard_log(const char*, int, const char*, int, const char*, va_list)
{
}

std::string ap_mac(int i)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:00:00:%02X:%02X:00", (i >> 8) & 0xff, i & 0xff);
    return text;
}

std::string radio_mac(int i, int id)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:00:00:%02X:%02X:%02X", (i >> 8) & 0xff, i & 0xff,
                  id * 16);
    return text;
}

std::string client_mac(int c)
{
    char text[18];
    std::snprintf(text, sizeof text, "00:cc:00:%02x:%02x:%02x", (c >> 16) & 0xff,
                  (c >> 8) & 0xff, c & 0xff);
    return text;
}

double distance(int a, int b)
{
    const double dx = (a % kColumns - b % kColumns) * kSpacing;
    const double dy = (a / kColumns - b / kColumns) * kSpacing;
    return std::sqrt(dx * dx + dy * dy);
}

std::string header(const std::string& cmd, int ap)
{
    return "{\"service\":\"rrm\",\"cmd\":\"" + cmd +
           "\",\"version\":\"2.4\",\"domain\":\"bench\",\"ap-mac\":\"" + ap_mac(ap) + "\"";
}

std::string subscribe_request(int ap)
{
    std::string text = header("subscribe-request", ap) +
                       ",\"factory\":{\"board\":\"tavik-ap\",\"hw\":\"rev-a\",\"serial\":\"SN" +
                       std::to_string(ap) + "\",\"mac\":\"" + ap_mac(ap) + "\"},\"radios\":[";
    const int channels[] = {1 + 5 * (ap % 3), 36 + 4 * (ap % 8)};
    for (int id = 0; id < 2; ++id) {
        if (id)
            text += ',';
        text += "{\"id\":" + std::to_string(id) + ",\"status\":1,\"channel\":" +
                std::to_string(channels[id]) + ",\"band\":" + (id ? "5" : "2") +
                ",\"power\":17,\"power-max\":20,\"power-min\":5,\"bandwidth\":20,"
                "\"locked-for-balancer\":0,\"locked-for-80211v\":0,\"vaps\":["
                "{\"id\":0,\"ssid\":\"corp\",\"802dot11k\":0,\"802dot11r\":0,\"802dot11v\":0},"
                "{\"id\":1,\"ssid\":\"guest\",\"802dot11k\":0,\"802dot11r\":0,\"802dot11v\":0}]}";
    }
    return text + "]}";
}

struct Counts {
    size_t sent;
    size_t probe_requests;
    size_t acks;
    size_t blacklists;
    size_t disassoc_requests;
};

// Drops everything the worker sends; counts it, and keeps the probe
// requests when asked to, for the APs' answers.
class DropRegistry : public rrm::RRM {
public:
    using RRM::RRM;
    void enqueue_serialized(const char* text, const BaseSession& session) override
    {
        take(text ? text : "", session);
    }
    void enqueue_serialized(std::string text, const BaseSession& session) override
    {
        take(text.c_str(), session);
    }

    size_t sent = 0;
    // By command: the message header is written first, so the command
    // starts at a fixed place.
    size_t probe_requests_sent = 0;
    size_t acks = 0;
    size_t blacklists = 0;
    size_t disassoc_requests = 0;
    bool keep_probe_requests = false;
    std::vector<std::pair<uint32_t, std::string>> probe_requests;

    Counts counts() const
    {
        return {sent, probe_requests_sent, acks, blacklists, disassoc_requests};
    }

private:
    void take(const char* text, const BaseSession& session)
    {
        ++sent;
        static const char prefix[] = "{\"service\":\"rrm\",\"version\":\"2.4\",\"cmd\":\"";
        if (std::strncmp(text, prefix, sizeof prefix - 1) != 0)
            return;
        const char* cmd = text + sizeof prefix - 1;
        if (std::strncmp(cmd, "rrm-probe-request\"", 18) == 0) {
            ++probe_requests_sent;
            if (keep_probe_requests)
                probe_requests.emplace_back(session.id, text);
        } else if (std::strncmp(cmd, "rrm-client-assoc-ack\"", 21) == 0) {
            ++acks;
        } else if (std::strncmp(cmd, "rrm-blacklist\"", 14) == 0) {
            ++blacklists;
        } else if (std::strncmp(cmd, "rrm-disassoc-request\"", 21) == 0) {
            ++disassoc_requests;
        }
    }
};

class BenchWorker : public rrm::RrmWorker {
public:
    using RrmWorker::RrmWorker;
    using RrmWorker::load_balancer_tick;
};

struct Client {
    int ap;
    int radio;
    int rssi;
    int need_ack;
};

class Domain {
public:
    explicit Domain(bool steering)
    {
        rrm::set_log_handler(&discard_log);
        config = std::make_unique<rrm::GlobalConfig>("");
        bool changed = false;
        config->domain_add("bench", "common", "+00:00", 0, changed);
        registry = std::make_unique<DropRegistry>(config.get());
        rrm::DomainConfig settings;
        settings.use_optimization_event = false;
        settings.use_balance = steering;
        worker = std::make_shared<BenchWorker>(config.get(), settings, "bench", registry.get(), 0,
                                               2048);
        for (int ap = 0; ap < kAps; ++ap)
            deliver(subscribe_request(ap), session_of(ap));
        for (int ap = 0; ap < kAps; ++ap) {
            rrm::ApEntry& entry = *worker->aps.table.at(rrm::mac_from_string(ap_mac(ap).c_str()));
            for (int other = 0; other < kAps; ++other) {
                if (other == ap || distance(ap, other) > kHearing)
                    continue;
                const int dbm = static_cast<int>(-30 - 25 * std::log10(distance(ap, other)));
                for (int id = 0; id < 2; ++id)
                    entry.visible_members.insert(
                        rrm::mac_from_string(radio_mac(other, id).c_str()),
                        rrm::Neighbour(dbm, id ? 36 : 6, id ? 5 : 2, 20, 17, 0));
            }
        }
        std::mt19937 random(20261210);
        std::uniform_int_distribution<int> percent(0, 99);
        clients.reserve(kClients);
        for (int c = 0; c < kClients; ++c) {
            Client client;
            client.ap = c % kAps;
            client.radio = percent(random) < 40 ? 0 : 1;
            const int p = percent(random);
            client.rssi = p < 55 ? -40 - p % 24 : p < 85 ? -65 - p % 10 : -75 - p % 15;
            client.need_ack = percent(random) < 50 ? 1 : 0;
            clients.push_back(client);
        }
        for (int c = 0; c < kClients; ++c)
            assoc_texts.push_back(assoc_text(c));
        // Warm-up: every radio fills, block lists and expected stations
        // settle.
        registry->keep_probe_requests = true;
        for (int c = 0; c < kClients; ++c)
            deliver(assoc_texts[c], session_of(clients[c].ap));
        warmup_answers = answers();
        for (const auto& answer : warmup_answers)
            deliver(answer.second, BaseSession{nullptr, 0, answer.first});
        ticks();
        registry->probe_requests.clear();
        registry->keep_probe_requests = false;
    }

    static BaseSession session_of(int ap) { return BaseSession{nullptr, 0, static_cast<uint32_t>(ap + 1)}; }

    std::string assoc_text(int c) const
    {
        const Client& client = clients[c];
        return header("rrm-client-assoc", client.ap) + ",\"radio\":" +
               std::to_string(client.radio) + ",\"rssi\":" + std::to_string(client.rssi) +
               ",\"sta-mac\":\"" + client_mac(c) + "\",\"ssid\":\"corp\",\"no-balance\":0," +
               "\"need-ack\":" + std::to_string(client.need_ack) + "}";
    }

    void deliver(const std::string& text, const BaseSession& session)
    {
        rrm::QueueMessage msg(rrm::JsonReader(text.c_str()), session);
        worker->process_message(msg.json, msg);
    }

    // The answers of the asked APs to the probe requests kept so far: one
    // "rrm-probe-response" per request, every listed radio heard at the
    // signal of its distance from the client's AP.
    std::vector<std::pair<uint32_t, std::string>> answers() const
    {
        std::vector<std::pair<uint32_t, std::string>> out;
        out.reserve(registry->probe_requests.size());
        for (const auto& request : registry->probe_requests) {
            const int asked = static_cast<int>(request.first) - 1;
            const rrm::JsonReader json(request.second.c_str());
            const rrm::JsonReader radios = json.child("radios");
            std::string list;
            for (int i = 0; i < radios.size(); ++i) {
                const rrm::JsonReader radio = radios.child(i);
                const rrm::JsonReader probe = radio.child("probe-list").child(0);
                const std::string sta = probe.get_string("mac");
                const int c = static_cast<int>(std::strtol(sta.substr(9, 2).c_str(), nullptr, 16) << 16 |
                                               std::strtol(sta.substr(12, 2).c_str(), nullptr, 16) << 8 |
                                               std::strtol(sta.substr(15, 2).c_str(), nullptr, 16));
                const int dbm =
                    static_cast<int>(-30 - 25 * std::log10(distance(asked, clients[c].ap) + 1.0));
                if (!list.empty())
                    list += ',';
                list += "{\"id\":" + std::to_string(radio.get_int("id")) +
                        ",\"probe-list\":[{\"mac\":\"" + sta + "\",\"ssid\":\"corp\",\"rssi\":" +
                        std::to_string(dbm) + "}]}";
            }
            out.emplace_back(request.first,
                             header("rrm-probe-response", asked) + ",\"radios\":[" + list + "]}");
        }
        return out;
    }

    void ticks()
    {
        worker->load_balancer_tick();
        worker->subworkers.get_blacklist()->process_timer();
    }

    std::unique_ptr<rrm::GlobalConfig> config;
    std::unique_ptr<DropRegistry> registry;
    std::shared_ptr<BenchWorker> worker;
    std::vector<Client> clients;
    std::vector<std::string> assoc_texts;
    // The APs' answers to the probe requests of the warm-up wave.
    std::vector<std::pair<uint32_t, std::string>> warmup_answers;
};

Domain& domain(bool steering)
{
    static Domain with(true);
    static Domain without(false);
    return steering ? with : without;
}

// Handles the texts in chunks, each parsed with the timing paused.
size_t handle(benchmark::State& state, Domain& d,
              const std::vector<std::pair<uint32_t, const std::string*>>& messages)
{
    std::vector<std::unique_ptr<rrm::QueueMessage>> parsed;
    parsed.reserve(kChunk);
    for (size_t first = 0; first < messages.size(); first += kChunk) {
        state.PauseTiming();
        parsed.clear();
        const size_t last = std::min(messages.size(), first + kChunk);
        for (size_t i = first; i < last; ++i)
            parsed.push_back(std::make_unique<rrm::QueueMessage>(
                rrm::JsonReader(messages[i].second->c_str()),
                BaseSession{nullptr, 0, messages[i].first}));
        state.ResumeTiming();
        for (const auto& msg : parsed)
            d.worker->process_message(msg->json, *msg);
    }
    return messages.size();
}

void wave(benchmark::State& state, bool steering)
{
    Domain& d = domain(steering);
    const Domain& source = domain(true);
    std::vector<std::pair<uint32_t, const std::string*>> assocs;
    for (int c = 0; c < kClients; ++c)
        assocs.emplace_back(Domain::session_of(d.clients[c].ap).id, &d.assoc_texts[c]);
    double events = 0;
    double responses = 0;
    const Counts before = d.registry->counts();
    for (auto _ : state) {
        state.PauseTiming();
        d.registry->keep_probe_requests = steering;
        d.registry->probe_requests.clear();
        state.ResumeTiming();
        events += static_cast<double>(handle(state, d, assocs));

        state.PauseTiming();
        d.registry->keep_probe_requests = false;
        // The dispatch floor gets the answers the steering domain's APs
        // gave in its warm-up wave.
        const std::vector<std::pair<uint32_t, std::string>> texts =
            steering ? d.answers() : source.warmup_answers;
        std::vector<std::pair<uint32_t, const std::string*>> answers;
        answers.reserve(texts.size());
        for (const auto& t : texts)
            answers.emplace_back(t.first, &t.second);
        state.ResumeTiming();

        const size_t answered = handle(state, d, answers);
        events += static_cast<double>(answered);
        responses += static_cast<double>(answered);
        d.ticks();
    }
    const double waves = static_cast<double>(state.iterations());
    state.counters["events/s"] = benchmark::Counter(events, benchmark::Counter::kIsRate);
    state.counters["assocs/wave"] = kClients;
    state.counters["responses/wave"] = responses / waves;
    const Counts after = d.registry->counts();
    auto per_wave = [&](size_t Counts::*field) {
        return static_cast<double>(after.*field - before.*field) / waves;
    };
    state.counters["sent/wave"] = per_wave(&Counts::sent);
    state.counters["probe_req/wave"] = per_wave(&Counts::probe_requests);
    state.counters["acks/wave"] = per_wave(&Counts::acks);
    state.counters["blacklists/wave"] = per_wave(&Counts::blacklists);
    state.counters["disassoc_req/wave"] = per_wave(&Counts::disassoc_requests);
}

void BM_SteeringWave(benchmark::State& state)
{
    wave(state, true);
}
BENCHMARK(BM_SteeringWave)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SteeringWave_DispatchOnly(benchmark::State& state)
{
    wave(state, false);
}
BENCHMARK(BM_SteeringWave_DispatchOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
