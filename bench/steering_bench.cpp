// Client steering events through one domain worker: a domain of 500 APs
// and 20,000 clients.
//
// The domain: 500 APs on a 25 x 20 grid, 15 m apart, each with three
// radios (2.4 GHz, 5 GHz, 6 GHz) serving "corp" and "guest", open to the
// load balancer, subscribed through the worker's own message handling. Each
// AP hears the three radios of every AP within 40 m (8 to 20 APs), as its
// scans would say. 40 clients per AP, placed at their AP: 30 % on its
// 2.4 GHz radio, 45 % on 5 GHz, 25 % on 6 GHz (12, 18 and 10 clients per
// radio: every radio is busy, above load_balance_sta_low 5, and open to
// probing, below load_balance_sta_high 20). A fixed pseudo-random mix of
// signals at the client's own AP (55 % above -65 dBm, 30 % between, 15 % at
// or below -75), 12 dB + 25 log10(1 + d / 15 m) weaker at an AP d away;
// half the associations ask for an ack.
//
// One wave, the events of every client once:
// 1. every client associates where it is ("rrm-client-assoc");
// 2. the radios the server asked answer ("rrm-probe-response", one per
//    asked AP, with the client's signal there);
// 3. one load-balancer tick (the rounds end and are evaluated: moves,
//    blocks, disassociations, acks) and one block-list tick (block lists
//    and disassociation requests go out);
// 4. every client the server moved leaves its AP ("rrm-client-disassoc")
//    and, in the next wave, associates where it was sent.
// Warm-up waves first, until moves are rare. The messages are handed to the
// worker's process_message as its thread does, already parsed (the
// transport's parsing thread does that; parsing is outside the timing), and
// what the worker sends goes to a registry that drops it (counted by
// command). The time of a wave includes its two ticks.
//
// Peers in the same run:
// - BM_SteeringWave_DispatchOnly: the floor. The messages of the last
//   warm-up wave (same number and kind) through a domain worker of the same
//   domain whose settings turn steering off (use_balance and use_80211v
//   false): every message is admitted, checked, its AP looked up and
//   dropped before any steering; the two ticks walk the domain and send
//   nothing.
// - BM_Hearers_Index and BM_Hearers_Walk: the question the steering asks
//   for almost every event (which APs hear this AP), for each client's AP:
//   through the hearing index, and asked of every AP of the map as the rule
//   reads (each of the AP's radio MACs, both forms, looked up in every
//   other AP's visible members).

#include "ApEntry.h"
#include "ApMap.h"
#include "BlacklistSubworker.h"
#include "Config.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "Log.h"
#include "MacAddress.h"
#include "Neighbour.h"
#include "QueueMessage.h"
#include "RRM.h"
#include "Radio.h"
#include "RrmWorker.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kColumns = 25;
constexpr int kRows = 20;
constexpr int kAps = kColumns * kRows;
constexpr int kRadios = 3;
constexpr int kClientsPerAp = 40;
constexpr int kClients = kAps * kClientsPerAp;
constexpr double kSpacing = 15.0;
constexpr double kHearing = 40.0;
constexpr int kWarmupWaves = 6;
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

int client_of(const rrm::MacAddress& mac)
{
    return mac.octets[3] << 16 | mac.octets[4] << 8 | mac.octets[5];
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
    const int channels[] = {1 + 5 * (ap % 3), 36 + 4 * (ap % 8), 1 + 4 * (ap % 16)};
    const char* bands[] = {"2", "5", "6"};
    for (int id = 0; id < kRadios; ++id) {
        if (id)
            text += ',';
        text += "{\"id\":" + std::to_string(id) + ",\"status\":1,\"channel\":" +
                std::to_string(channels[id]) + ",\"band\":" + bands[id] +
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

// Drops everything the worker sends; counts it by command, and keeps the
// probe requests when asked to, for the APs' answers.
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
    void enqueue_serialized(std::string text, const BaseSession& session,
                            std::shared_ptr<const void>) override
    {
        take(text.c_str(), session);
    }

    Counts counts() const
    {
        return {sent, probe_requests_sent, acks, blacklists, disassoc_requests};
    }

    bool keep_probe_requests = false;
    std::vector<std::pair<uint32_t, std::string>> probe_requests;

private:
    void take(const char* text, const BaseSession& session)
    {
        ++sent;
        // The message header comes first: the command starts at a fixed
        // place.
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

    size_t sent = 0;
    size_t probe_requests_sent = 0;
    size_t acks = 0;
    size_t blacklists = 0;
    size_t disassoc_requests = 0;
};

class BenchWorker : public rrm::RrmWorker {
public:
    using RrmWorker::RrmWorker;
    using RrmWorker::load_balancer_tick;
};

struct Client {
    int home;  // where it is: its signal falls with the distance from here
    int ap;    // where it is associated
    int radio;
    int rssi;  // at home
    int need_ack;
};

using Message = std::pair<uint32_t, std::string>;  // session id, text

BaseSession session_of(int ap)
{
    return BaseSession{nullptr, 0, static_cast<uint32_t>(ap + 1)};
}

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
            deliver({session_of(ap).id, subscribe_request(ap)});
        for (int ap = 0; ap < kAps; ++ap) {
            rrm::ApEntry& entry = *worker->aps.table.at(rrm::mac_from_string(ap_mac(ap).c_str()));
            for (int other = 0; other < kAps; ++other) {
                if (other == ap || distance(ap, other) > kHearing)
                    continue;
                const int dbm = static_cast<int>(-30 - 25 * std::log10(distance(ap, other)));
                for (int id = 0; id < kRadios; ++id)
                    entry.visible_members.insert(
                        rrm::mac_from_string(radio_mac(other, id).c_str()),
                        rrm::Neighbour(dbm, 36, 5, 20, 17, 0));
            }
        }
        std::mt19937 random(20261210);
        std::uniform_int_distribution<int> percent(0, 99);
        clients.reserve(kClients);
        for (int c = 0; c < kClients; ++c) {
            Client client;
            client.home = client.ap = c % kAps;
            const int band = percent(random);
            client.radio = band < 30 ? 0 : band < 75 ? 1 : 2;
            const int p = percent(random);
            client.rssi = p < 55 ? -40 - p % 24 : p < 85 ? -65 - p % 10 : -75 - p % 15;
            client.need_ack = percent(random) < 50 ? 1 : 0;
            clients.push_back(client);
        }
    }

    // The client's signal at an AP.
    int rssi_at(const Client& client, int ap) const
    {
        if (ap == client.home)
            return client.rssi;
        return static_cast<int>(client.rssi - 12 -
                                25 * std::log10(1 + distance(ap, client.home) / kSpacing));
    }

    std::vector<Message> associations() const
    {
        std::vector<Message> out;
        out.reserve(kClients);
        for (int c = 0; c < kClients; ++c) {
            const Client& client = clients[c];
            out.emplace_back(session_of(client.ap).id,
                             header("rrm-client-assoc", client.ap) + ",\"radio\":" +
                                 std::to_string(client.radio) + ",\"rssi\":" +
                                 std::to_string(rssi_at(client, client.ap)) +
                                 ",\"sta-mac\":\"" + client_mac(c) +
                                 "\",\"ssid\":\"corp\",\"no-balance\":0,\"need-ack\":" +
                                 std::to_string(client.need_ack) + "}");
        }
        return out;
    }

    // The answers to the probe requests kept so far: one "rrm-probe-response"
    // per request, every listed radio hearing the client at its signal there.
    std::vector<Message> answers() const
    {
        std::vector<Message> out;
        out.reserve(registry->probe_requests.size());
        for (const auto& request : registry->probe_requests) {
            const int asked = static_cast<int>(request.first) - 1;
            const rrm::JsonReader json(request.second.c_str());
            const rrm::JsonReader radios = json.child("radios");
            std::string list;
            for (int i = 0; i < radios.size(); ++i) {
                const rrm::JsonReader radio = radios.child(i);
                const std::string sta = radio.child("probe-list").child(0).get_string("mac");
                const Client& client = clients[client_of(rrm::mac_from_string(sta.c_str()))];
                if (!list.empty())
                    list += ',';
                list += "{\"id\":" + std::to_string(radio.get_int("id")) +
                        ",\"probe-list\":[{\"mac\":\"" + sta + "\",\"ssid\":\"corp\",\"rssi\":" +
                        std::to_string(rssi_at(client, asked)) + "}]}";
            }
            out.emplace_back(request.first,
                             header("rrm-probe-response", asked) + ",\"radios\":[" + list + "]}");
        }
        return out;
    }

    // The clients the server sent elsewhere (they are expected on another
    // radio): each leaves its AP, and is moved there for the next wave.
    std::vector<Message> departures()
    {
        std::vector<Message> out;
        for (int ap = 0; ap < kAps; ++ap) {
            const rrm::ApEntry& entry =
                *worker->aps.table.at(rrm::mac_from_string(ap_mac(ap).c_str()));
            for (int id = 0; id < kRadios; ++id) {
                for (const auto& expected : entry.radios.radios[id].client_table.expected) {
                    Client& client = clients[client_of(expected.first)];
                    if (client.ap == ap && client.radio == id)
                        continue;
                    out.emplace_back(session_of(client.ap).id,
                                     header("rrm-client-disassoc", client.ap) + ",\"radio\":" +
                                         std::to_string(client.radio) + ",\"sta-mac\":\"" +
                                         client_mac(client_of(expected.first)) +
                                         "\",\"ssid\":\"corp\"}");
                    client.ap = ap;
                    client.radio = id;
                }
            }
        }
        return out;
    }

    void deliver(const Message& message)
    {
        rrm::QueueMessage msg(rrm::JsonReader(message.second.c_str()),
                              BaseSession{nullptr, 0, message.first});
        worker->process_message(msg.json, msg);
    }

    void ticks()
    {
        worker->load_balancer_tick();
        worker->subworkers.get_blacklist()->process_timer();
    }

    // A whole wave without timing; returns its messages in order.
    std::vector<Message> untimed_wave()
    {
        std::vector<Message> all = associations();
        registry->keep_probe_requests = true;
        registry->probe_requests.clear();
        for (const Message& m : all)
            deliver(m);
        registry->keep_probe_requests = false;
        const std::vector<Message> answered = answers();
        for (const Message& m : answered)
            deliver(m);
        ticks();
        const std::vector<Message> left = departures();
        for (const Message& m : left)
            deliver(m);
        all.insert(all.end(), answered.begin(), answered.end());
        all.insert(all.end(), left.begin(), left.end());
        return all;
    }

    std::unique_ptr<rrm::GlobalConfig> config;
    std::unique_ptr<DropRegistry> registry;
    std::shared_ptr<BenchWorker> worker;
    std::vector<Client> clients;
    std::vector<Message> last_warmup_wave;
};

Domain& steering_domain()
{
    static Domain d(true);
    static const bool warm = [] {
        for (int wave = 0; wave < kWarmupWaves; ++wave)
            d.last_warmup_wave = d.untimed_wave();
        return true;
    }();
    (void)warm;
    return d;
}

Domain& dispatch_domain()
{
    static Domain d(false);
    return d;
}

// Handles the messages in chunks, each parsed with the timing paused.
void handle(benchmark::State& state, Domain& d, const std::vector<Message>& messages)
{
    std::vector<std::unique_ptr<rrm::QueueMessage>> parsed;
    parsed.reserve(kChunk);
    for (size_t first = 0; first < messages.size(); first += kChunk) {
        state.PauseTiming();
        parsed.clear();
        const size_t last = std::min(messages.size(), first + kChunk);
        for (size_t i = first; i < last; ++i)
            parsed.push_back(std::make_unique<rrm::QueueMessage>(
                rrm::JsonReader(messages[i].second.c_str()),
                BaseSession{nullptr, 0, messages[i].first}));
        state.ResumeTiming();
        for (const auto& msg : parsed)
            d.worker->process_message(msg->json, *msg);
    }
}

void report(benchmark::State& state, const Counts& before, const Counts& after, double events,
            double assocs, double responses, double departures)
{
    const double waves = static_cast<double>(state.iterations());
    auto per_wave = [&](size_t Counts::*field) {
        return static_cast<double>(after.*field - before.*field) / waves;
    };
    state.counters["events/s"] = benchmark::Counter(events, benchmark::Counter::kIsRate);
    state.counters["assocs/wave"] = assocs / waves;
    state.counters["responses/wave"] = responses / waves;
    state.counters["moves/wave"] = departures / waves;
    state.counters["probe_req/wave"] = per_wave(&Counts::probe_requests);
    state.counters["acks/wave"] = per_wave(&Counts::acks);
    state.counters["blacklists/wave"] = per_wave(&Counts::blacklists);
    state.counters["disassoc_req/wave"] = per_wave(&Counts::disassoc_requests);
}

struct Totals {
    double assocs = 0;
    double responses = 0;
    double departures = 0;
    Counts sent{};
};

// One wave with the steering's work timed, its messages made untimed.
void timed_wave(benchmark::State& state, Domain& d, Totals& totals)
{
    state.PauseTiming();
    const Counts before = d.registry->counts();
    const std::vector<Message> joins = d.associations();
    d.registry->keep_probe_requests = true;
    d.registry->probe_requests.clear();
    state.ResumeTiming();
    handle(state, d, joins);

    state.PauseTiming();
    d.registry->keep_probe_requests = false;
    const std::vector<Message> answered = d.answers();
    state.ResumeTiming();
    handle(state, d, answered);
    d.ticks();

    state.PauseTiming();
    const std::vector<Message> left = d.departures();
    state.ResumeTiming();
    handle(state, d, left);

    state.PauseTiming();
    totals.assocs += static_cast<double>(joins.size());
    totals.responses += static_cast<double>(answered.size());
    totals.departures += static_cast<double>(left.size());
    const Counts after = d.registry->counts();
    totals.sent.sent += after.sent - before.sent;
    totals.sent.probe_requests += after.probe_requests - before.probe_requests;
    totals.sent.acks += after.acks - before.acks;
    totals.sent.blacklists += after.blacklists - before.blacklists;
    totals.sent.disassoc_requests += after.disassoc_requests - before.disassoc_requests;
    state.ResumeTiming();
}

void report(benchmark::State& state, const Totals& t, double waves)
{
    report(state, Counts{}, t.sent, t.assocs + t.responses + t.departures, t.assocs, t.responses,
           t.departures);
    // report() divides by the iterations; a cold iteration holds two waves.
    for (const char* key : {"assocs/wave", "responses/wave", "moves/wave", "probe_req/wave",
                            "acks/wave", "blacklists/wave", "disassoc_req/wave"})
        state.counters[key] =
            state.counters[key].value * static_cast<double>(state.iterations()) / waves;
}

// Waves on a domain in its steady state: the clients where the steering put
// them.
void BM_SteeringWave(benchmark::State& state)
{
    Domain& d = steering_domain();
    Totals totals;
    for (auto _ : state)
        timed_wave(state, d, totals);
    report(state, totals, static_cast<double>(state.iterations()));
}
BENCHMARK(BM_SteeringWave)->Unit(benchmark::kMillisecond)->UseRealTime();

// The first two waves of a fresh domain: radios fill, clients are held and
// moved, block lists and disassociation requests go out.
void BM_SteeringWave_Cold(benchmark::State& state)
{
    Totals totals;
    for (auto _ : state) {
        state.PauseTiming();
        auto d = std::make_unique<Domain>(true);
        state.ResumeTiming();
        timed_wave(state, *d, totals);
        timed_wave(state, *d, totals);
        state.PauseTiming();
        d.reset();
        state.ResumeTiming();
    }
    report(state, totals, 2.0 * static_cast<double>(state.iterations()));
}
BENCHMARK(BM_SteeringWave_Cold)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SteeringWave_DispatchOnly(benchmark::State& state)
{
    Domain& d = dispatch_domain();
    const std::vector<Message>& wave = steering_domain().last_warmup_wave;
    double assocs = 0, responses = 0, departures = 0;
    for (const Message& m : wave) {
        if (m.second.find("\"rrm-client-assoc\"") != std::string::npos)
            ++assocs;
        else if (m.second.find("\"rrm-probe-response\"") != std::string::npos)
            ++responses;
        else
            ++departures;
    }
    const Counts before = d.registry->counts();
    for (auto _ : state) {
        handle(state, d, wave);
        d.ticks();
    }
    const double waves = static_cast<double>(state.iterations());
    report(state, before, d.registry->counts(), static_cast<double>(wave.size()) * waves,
           assocs * waves, responses * waves, departures * waves);
}
BENCHMARK(BM_SteeringWave_DispatchOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void hearers(benchmark::State& state, bool indexed)
{
    Domain& d = steering_domain();
    rrm::BlacklistSubworker& blacklist = *d.worker->subworkers.get_blacklist();
    std::vector<const rrm::ApEntry*> sources;
    for (const Client& client : d.clients)
        sources.push_back(
            d.worker->aps.table.at(rrm::mac_from_string(ap_mac(client.ap).c_str())).get());
    size_t found = 0;
    for (auto _ : state) {
        for (const rrm::ApEntry* source : sources) {
            if (indexed) {
                found += blacklist.hearers_of(*source).size();
            } else {
                for (const auto& entry : d.worker->aps.table)
                    if (entry.first != source->base_mac &&
                        entry.second->visible_members.contains_radio_of(*source))
                        ++found;
            }
        }
    }
    const double questions = static_cast<double>(sources.size() * state.iterations());
    state.counters["questions/s"] = benchmark::Counter(questions, benchmark::Counter::kIsRate);
    state.counters["hearers"] = static_cast<double>(found) / questions;
}

void BM_Hearers_Index(benchmark::State& state)
{
    hearers(state, true);
}
BENCHMARK(BM_Hearers_Index)->Unit(benchmark::kMillisecond);

void BM_Hearers_Walk(benchmark::State& state)
{
    hearers(state, false);
}
BENCHMARK(BM_Hearers_Walk)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
