// Management requests per second through the TCP front end: clients on
// 127.0.0.1 each open a connection, send one request, read the reply until
// the server closes, and start over. The server is the real ApiCli with the
// command processor, a registry and a configuration file in a temporary
// folder; records are not written (logging off).
//
// Requests:
//   cfg_global: {"cfg":{"operation":"get","level":"global"}}: a configuration
//     read, which rewrites the configuration file (temporary file, fsync,
//     rename) as every configuration command that succeeds does;
//   domain_list: {"rrm":{}} with one domain worker holding 500 APs;
//   ap_query: {"rrm":{"domain":"bench","ap":...}}: one AP's state out of the
//     domain's 500, inside the domain worker's lock;
//   domain_status: {"rrm":{"domain":"bench"}}: the domain's "details", the
//     short form of all 500 APs with their 12 VAPs each (some 1.3 MB),
//     inside the domain worker's lock.
// The APs are the typical AP of the tests (3 radios, 4 VAPs with 802.11k
// and 802.11r on each), subscribed through the domain worker's own handler;
// the domain plans nothing on AP events, so its status stays the same.
// Side by side, in the same run and with the same clients: a bare server on
// the same framing (one thread, poll, accept, one receive, one send of a
// reply of the same length, close) that does no command work at all, the
// ceiling of the front end.

#include "ApSimulator.h"
#include "ApiCli.h"
#include "Config.h"
#include "Log.h"
#include "JsonReader.h"
#include "QueueMessage.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "VrrpWorker.h"

#include "JsonWriter.h"
#include "TpcDcaSubworker.h"

#include <benchmark/benchmark.h>
#include <easylogging++.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kAps = 500;

void discard_log(const char*, int, const char*, int, const char*, va_list) {}

int listen_on_free_port(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("bind");
    port = ntohs(addr.sin_port);
    return fd;
}

int free_port()
{
    int port = 0;
    ::close(listen_on_free_port(port));
    return port;
}

// One request and reply as the plug-in makes it; the reply's length. The
// server closes first, so each exchange leaves a connection in TIME_WAIT;
// spreading the exchanges over 250 loopback addresses keeps the kernel's
// search for a free client port from growing with them.
size_t round_trip(int port, const std::string& request, int n)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK + static_cast<uint32_t>(n % 250));
    addr.sin_port = htons(static_cast<uint16_t>(port));
    size_t total = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            total += static_cast<size_t>(n);
        }
    }
    ::close(fd);
    return total;
}

// A registry that lets the benchmark put a domain worker with APs in place;
// what the worker sends to APs goes nowhere.
class BenchRegistry : public rrm::RRM {
public:
    using RRM::RRM;
    void enqueue_serialized(const char*, const BaseSession&) override {}
    void enqueue_serialized(std::string, const BaseSession&) override {}
    void enqueue_serialized(std::string, const BaseSession&, std::shared_ptr<const void>) override {}
    std::shared_ptr<rrm::Worker> add_domain(const std::string& domain)
    {
        rrm::DomainConfig settings;
        settings.domain_timer_period = 100000;
        settings.use_optimization_event = false;
        auto worker = std::make_shared<rrm::RrmWorker>(config, settings, domain, this, 0,
                                                       DOMAIN_QUEUE_CAPACITY);
        bool inserted = false;
        auto found = insert_domain_worker(domain, worker, inserted);
        if (inserted) {
            worker->start();
            finish_start();
        }
        return found;
    }
};

// 256 MACs apart: the radios and VAPs of one AP never take another's.
std::string ap_mac(int n)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:00:00:%02X:%02X:00", (n >> 8) & 0xFF, n & 0xFF);
    return text;
}

// The real front end and what it needs, made once.
struct Server {
    std::string folder;
    std::unique_ptr<rrm::GlobalConfig> config;
    std::unique_ptr<BenchRegistry> registry;
    std::unique_ptr<VrrpWorker> vrrp;
    std::unique_ptr<ApiCli> cli;
    std::thread loop;
    int port = 0;

    Server()
    {
        char tmpl[] = "/tmp/wendara-bench-XXXXXX";
        folder = ::mkdtemp(tmpl);
        port = free_port();
        std::ofstream(folder + "/wendara.conf")
            << "{\"global\":{\"cli_api_port\":" << port << ",\"listen_port\":0},\"common\":{},"
            << "\"domains\":[{\"domain\":\"bench\",\"pattern\":\"common\"}],\"patterns\":[]}";
        config = std::make_unique<rrm::GlobalConfig>(folder + "/wendara.conf");
        registry = std::make_unique<BenchRegistry>(config.get());
        auto worker = registry->add_domain("bench");
        auto* domain = dynamic_cast<rrm::RrmWorker*>(worker.get());
        size_t subscribed = 0;
        domain->run_locked([&] {
            for (int i = 0; i < kAps; ++i) {
                const std::string text =
                    testsupport::ApSpec::typical(ap_mac(i), "bench", 3, 4).subscribe_request();
                rrm::QueueMessage message(rrm::JsonReader(text.c_str()),
                                          BaseSession{nullptr, 0, uint32_t(i + 1)});
                domain->process_message(message.json, message);
            }
            subscribed = domain->aps.size();
        });
        if (subscribed != static_cast<size_t>(kAps))
            throw std::runtime_error("not every AP subscribed");
        vrrp = std::make_unique<VrrpWorker>(registry.get(), config.get());
        cli = std::make_unique<ApiCli>(registry.get(), vrrp.get());
        if (!cli->is_running())
            throw std::runtime_error("the TCP API is not listening");
        loop = std::thread([this] { cli->run(); });
    }
    ~Server()
    {
        cli->stop();
        loop.join();
        cli.reset();
        vrrp.reset();
        registry.reset();
        config.reset();
        std::remove((folder + "/wendara.conf").c_str());
        ::rmdir(folder.c_str());
    }
};

Server& server()
{
    static Server instance;
    return instance;
}

// The bare framing server: answers every request with `reply`.
struct BareServer {
    int listen_fd = -1;
    int port = 0;
    std::string reply;
    std::atomic<bool> running{true};
    std::thread loop;

    explicit BareServer(std::string text) : reply(std::move(text))
    {
        listen_fd = listen_on_free_port(port);
        ::listen(listen_fd, 256);
        loop = std::thread([this] { run(); });
    }
    ~BareServer()
    {
        running = false;
        loop.join();
        ::close(listen_fd);
    }
    void run()
    {
        std::vector<pollfd> fds{{listen_fd, POLLIN, 0}};
        char buffer[4096];
        while (running) {
            if (::poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            for (size_t i = fds.size(); i-- > 0;) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                if (i == 0) {
                    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0)
                        fds.push_back({fd, POLLIN, 0});
                    continue;
                }
                if (::recv(fds[i].fd, buffer, sizeof buffer - 1, MSG_DONTWAIT) > 0)
                    ::send(fds[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                ::close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        for (size_t i = 1; i < fds.size(); ++i)
            ::close(fds[i].fd);
    }
};

enum Request { CfgGlobal, DomainList, ApQuery, DomainStatus };

std::string request_text(int kind, int n)
{
    switch (kind) {
    case CfgGlobal:
        return "{\"cfg\":{\"operation\":\"get\",\"level\":\"global\"}}";
    case DomainList:
        return "{\"rrm\":{}}";
    case DomainStatus:
        return "{\"rrm\":{\"domain\":\"bench\"}}";
    default:
        return "{\"rrm\":{\"domain\":\"bench\",\"ap\":\"" + ap_mac(n % kAps) + "\"}}";
    }
}

// Args: request kind, bare (0 the real server, 1 the bare one).
void BM_Requests(benchmark::State& state)
{
    const int kind = static_cast<int>(state.range(0));
    const bool bare = state.range(1) != 0;
    Server& real = server();
    static std::unique_ptr<BareServer> peers[4];
    if (bare && state.thread_index() == 0 && !peers[kind]) {
        // The same reply length as the real server gives for this request.
        const size_t length = round_trip(real.port, request_text(kind, 0), 0);
        peers[kind] = std::make_unique<BareServer>(std::string(length, 'x'));
    }
    // Every thread waits for the bare server of its kind.
    while (bare && !peers[kind])
        std::this_thread::yield();
    const int port = bare ? peers[kind]->port : real.port;
    size_t bytes = 0;
    int n = state.thread_index() * 7919;
    for (auto _ : state) {
        const size_t got = round_trip(port, request_text(kind, n), n);
        ++n;
        if (got == 0) {
            state.SkipWithError("no reply");
            break;
        }
        bytes += got;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void kinds(benchmark::internal::Benchmark* b)
{
    for (int kind : {CfgGlobal, DomainList, ApQuery, DomainStatus})
        for (int bare : {0, 1})
            b->Args({kind, bare});
    b->ArgNames({"request", "bare"});
}

BENCHMARK(BM_Requests)->Apply(kinds)->Threads(1)->Threads(4)->UseRealTime();

// The domain's "details" written straight from the worker's records with
// RapidJSON's streaming writer (no document, one buffer): the strongest fair
// peer for the document the status query builds. It writes the same text,
// which the benchmark checks once.
using PeerWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void peer_metric(PeerWriter& w, const char* name, const rrm::CommandMetric& metric)
{
    const std::string base(name);
    w.Key((base + "-expected").c_str());
    w.Int(static_cast<int>(metric.average()));
    w.Key((base + "-count").c_str());
    w.Int(metric.count);
}

void peer_aps(PeerWriter& w, const rrm::ApMap& map)
{
    w.StartArray();
    for (const auto* entry : map.sorted()) {
        const rrm::ApEntry& ap = *entry->second;
        w.StartObject();
        w.Key("board");
        w.String(ap.factory.board.c_str());
        w.Key("mac");
        w.String(rrm::mac_to_string(entry->first).c_str());
        w.Key("serial");
        w.String(ap.factory.serial.c_str());
        w.Key("hw");
        w.String(ap.factory.hw.c_str());
        w.Key("radios");
        w.StartArray();
        for (const rrm::Radio& radio : ap.radios.radios) {
            w.StartObject();
            w.Key("id");
            w.Int(static_cast<int>(radio.id));
            w.Key("vaps");
            w.StartArray();
            for (const rrm::Vap* vap : radio.vaps.sorted()) {
                w.StartObject();
                w.Key("id");
                w.Int(vap->vap_id);
                w.Key("ssid");
                w.String(vap->ssid.c_str());
                w.Key("mac");
                w.String(rrm::mac_to_string(vap->mac).c_str());
                w.Key("mobility-domain");
                w.Int(vap->get_mobility_domain());
                w.Key("use_802dot11k");
                w.Int(vap->use_802dot11k ? 1 : 0);
                w.Key("use_802dot11r");
                w.Int(vap->use_802dot11r ? 1 : 0);
                w.Key("use_802dot11v");
                w.Int(vap->use_802dot11v ? 1 : 0);
                if (vap->use_802dot11r && !vap->fbt_links.empty()) {
                    w.Key("fbt-links");
                    w.StartArray();
                    for (const rrm::FbtLink& link : vap->fbt_links)
                        w.String(link.remote_r1_kh_id().c_str());
                    w.EndArray();
                }
                w.EndObject();
            }
            w.EndArray();
            w.EndObject();
        }
        w.EndArray();
        w.EndObject();
    }
    w.EndArray();
}

std::string peer_details(rrm::RrmWorker& worker, const char* name)
{
    const rrm::TpcDcaSubworker* tpc = worker.subworkers.get_tpc_dca();
    rapidjson::StringBuffer buffer;
    PeerWriter w(buffer);
    w.StartObject();
    w.Key("details");
    w.StartObject();
    w.Key("name");
    w.String(name);
    w.Key("metrics");
    w.StartObject();
    peer_metric(w, "rrm-response", tpc->rrm_response_metric);
    peer_metric(w, "rrm-mode-response", tpc->mode_response_metric);
    peer_metric(w, "rrm-config-changed", worker.config_changed_metric);
    peer_metric(w, "timer-request-modes", tpc->request_modes_metric);
    peer_metric(w, "timer-request-scan", tpc->request_scan_metric);
    peer_metric(w, "timer-optimize", tpc->optimize_metric);
    w.EndObject();
    w.Key("ap-count");
    w.Int(static_cast<int>(worker.aps.size()));
    w.Key("unanswered-ap-count");
    w.Int(static_cast<int>(worker.unanswered_aps.size()));
    w.Key("deleted-ap-count");
    w.Int(static_cast<int>(worker.aps_to_delete.size()));
    w.Key("queue-size");
    w.Int(static_cast<int>(worker.queue_size()));
    w.Key("rrm-status");
    w.Int(tpc->state);
    w.Key("fbt-status");
    w.Int(tpc->fbt_status);
    w.Key("aps");
    peer_aps(w, worker.aps);
    w.Key("unanswered-aps");
    peer_aps(w, worker.unanswered_aps);
    w.Key("deleted-aps");
    peer_aps(w, worker.aps_to_delete);
    w.EndObject();
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string our_details(rrm::RrmWorker& worker)
{
    rrm::JsonWriter out("");
    worker.to_json(out);
    return out.to_string();
}

// The status document alone, inside the domain worker's lock as the query
// builds it, without the TCP front end. Arg: 0 ours, 1 the RapidJSON peer.
void BM_DomainStatusDocument(benchmark::State& state)
{
    const bool peer = state.range(0) != 0;
    Server& real = server();
    auto worker = real.registry->copy_workers().front().second;
    auto* domain = dynamic_cast<rrm::RrmWorker*>(worker.get());
    std::string ours;
    std::string theirs;
    domain->run_locked([&] {
        ours = our_details(*domain);
        theirs = peer_details(*domain, "bench");
    });
    if (ours != theirs) {
        state.SkipWithError("the peer writes another text");
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        size_t length = 0;
        domain->run_locked(
            [&] { length = peer ? peer_details(*domain, "bench").size() : our_details(*domain).size(); });
        bytes += length;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_DomainStatusDocument)->ArgName("peer")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    rrm::set_log_handler(&discard_log);
    el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
