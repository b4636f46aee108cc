// End-to-end ingest of AP messages: N WebSocket clients (10, 100, 1000) on
// 127.0.0.1 send 1 KB AP-like JSON messages for one domain. Counted when the
// domain worker takes them, so every message has gone through the service
// thread's receive and reassembly, the parsing thread and the registry's
// routing. Side by side, in the same run and with the same clients, two bare
// libwebsockets servers on the same machine, each with one service thread
// that reassembles every message and then either only counts it
// ("bare_count") or parses it with the same parser and arena size as our
// parsing thread and reads its "cmd" ("bare_parse"). Like our domain worker,
// they answer only an "echo-request" (the latency probe), with the same text.
//
// BM_Ingest: messages per second with every client sending as fast as the
// sockets take it (items_per_second).
// BM_Latency: the clients together send at a fixed rate (25% or 50% of the
// server's capacity, measured first in the same run with the same clients,
// or 5,000 messages per second), paced every millisecond, while one more
// client sends an "echo-request" every millisecond and waits for its answer;
// p50 and p99 of that round trip over 2,000 probes.
//
// Ours logs as a site runs it: through the program's logger and handler with
// the logger configuration that ships with it (Info and above). The parsing
// threads are the server's default; INGEST_PARSE_THREADS=<n> sets another
// count, to compare.

#include "BenchLogger.h"
#include "Config.h"
#include "JsonReader.h"
#include "Log.h"
#include "QueueMessage.h"
#include "RRM.h"
#include "WebsockServerWorker.h"
#include "Worker.h"

#include <benchmark/benchmark.h>
#include <libwebsockets.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMessagesPerRound = 20000;
constexpr int kFixedRate = 5000;  // messages per second, all clients together
constexpr int kProbes = 2000;
constexpr auto kProbeEvery = std::chrono::milliseconds(1);
constexpr int kClientThreads = 4;

// ---------------------------------------------------------------------------
// Messages

// An AP status report of about 1 KB: identity, three radios with their
// VAPs, strings and numbers mixed as the APs send them.
std::string ap_message(const char* cmd, int seq)
{
    std::string m = "{\"service\":\"rrm\",\"cmd\":\"";
    m += cmd;
    m += "\",\"version\":\"2.4\",\"domain\":\"bench\",\"ap-mac\":\"02:00:00:00:00:01\",\"seq\":";
    m += std::to_string(seq);
    m += ",\"factory\":{\"board\":\"tavik-ap-6\",\"hw\":\"rev-b\",\"serial\":\"TVK2231000123\","
         "\"mac\":\"02:00:00:00:00:01\"},\"radios\":[";
    const char* bands[] = {"2g", "5g", "6g"};
    for (int r = 0; r < 3; ++r) {
        if (r)
            m += ',';
        m += "{\"radio_id\":" + std::to_string(r) + ",\"band\":\"" + bands[r] +
             "\",\"channel\":" + std::to_string(6 + 30 * r) +
             ",\"width\":" + std::to_string(20 << r) +
             ",\"tx-power\":17,\"max-eirp\":23,\"noise\":-95,\"load\":12,\"vaps\":[";
        for (int v = 0; v < 2; ++v) {
            if (v)
                m += ',';
            m += "{\"vap_id\":" + std::to_string(v) + ",\"ssid\":\"" + (v ? "guest-wifi" : "corp-wifi") +
                 "\",\"bssid\":\"02:00:00:00:0" + std::to_string(r) + ":0" + std::to_string(v) +
                 "\",\"clients\":" + std::to_string(3 + v) + "}";
        }
        m += "]}";
    }
    m += "],\"location\":\"";
    while (m.size() < 1022)
        m += 'b';
    m += "\"}";
    return m;
}

// A masked client frame; the mask is fixed, which the server cannot tell.
std::string client_frame(const std::string& payload)
{
    std::string f;
    f.push_back(static_cast<char>(0x81));
    const size_t n = payload.size();
    if (n < 126) {
        f.push_back(static_cast<char>(0x80 | n));
    } else {
        f.push_back(static_cast<char>(0x80 | 126));
        f.push_back(static_cast<char>(n >> 8));
        f.push_back(static_cast<char>(n & 0xff));
    }
    const unsigned char mask[4] = {0x12, 0x34, 0x56, 0x78};
    f.append(reinterpret_cast<const char*>(mask), 4);
    for (size_t i = 0; i < n; ++i)
        f.push_back(static_cast<char>(payload[i] ^ mask[i & 3]));
    return f;
}

// ---------------------------------------------------------------------------
// Clients

int open_client(int port, const char* path, const char* protocol)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed (open-file limit?)");
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        throw std::runtime_error("connect failed");
    }
    std::string req = std::string("GET ") + path +
                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                      "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                      "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: " +
                      protocol + "\r\n\r\n";
    if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
        throw std::runtime_error("handshake send failed");
    std::string head;
    char c;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0 || ::recv(fd, &c, 1, 0) != 1)
            throw std::runtime_error("handshake answer missing");
        head += c;
    }
    if (head.compare(0, 12, "HTTP/1.1 101") != 0)
        throw std::runtime_error("upgrade refused: " + head.substr(0, head.find('\r')));
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Writes everything, waiting for room; what the server sends back is read
// by the fleet's drain thread.
void write_fully(int fd, const char* data, size_t n)
{
    while (n > 0) {
        ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
        if (w > 0) {
            data += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            throw std::runtime_error("send failed");
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
}

class Server {
public:
    virtual ~Server() = default;
    virtual int port() const = 0;
    virtual const char* path() const = 0;
    virtual const char* protocol() const = 0;
    std::atomic<uint64_t> received{0};
};

// The clients' sockets, and a thread that reads and throws away whatever
// the server sends to them (echoes), so that no server is held up by a
// client that does not read.
class Fleet {
public:
    Fleet(const Server& server, int n)
    {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        fds.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            fds.push_back(open_client(server.port(), server.path(), server.protocol()));
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fds.back();
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fds.back(), &ev);
        }
        drain_ = std::thread([this] {
            std::vector<epoll_event> events(256);
            std::vector<char> sink(65536);
            while (!stop_.load()) {
                int k = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 20);
                for (int e = 0; e < k; ++e)
                    while (::recv(events[static_cast<size_t>(e)].data.fd, sink.data(), sink.size(), 0) > 0) {
                    }
            }
        });
    }
    ~Fleet()
    {
        stop_.store(true);
        drain_.join();
        for (int fd : fds)
            ::close(fd);
        ::close(epoll_);
    }
    std::vector<int> fds;

private:
    int epoll_;
    std::atomic<bool> stop_{false};
    std::thread drain_;
};

// ---------------------------------------------------------------------------
// The servers

// The domain worker of the domain "bench": counts every message and
// answers an "echo-request" at once with the same document.
class SinkWorker : public rrm::Worker {
public:
    SinkWorker(rrm::RRM* registry, std::atomic<uint64_t>& counter)
        : Worker("bench", registry, 10000, rrm::RRM::DOMAIN_QUEUE_CAPACITY, true),
          registry_(registry),
          counter_(counter)
    {
    }
    void process_message(const rrm::JsonReader& json, const rrm::QueueMessage& msg) override
    {
        if (process_internal_ipc_msg(json, msg))
            return;
        counter_.fetch_add(1, std::memory_order_relaxed);
        if (std::strcmp(json.get_string("cmd"), "echo-request") == 0)
            registry_->enqueue_serialized(std::string(json.to_string()), msg.session);
    }
    void to_json(rrm::JsonWriter&) override {}
    void to_json_full(rrm::JsonWriter&) override {}

private:
    rrm::RRM* registry_;
    std::atomic<uint64_t>& counter_;
};

class BenchRRM : public rrm::RRM {
public:
    using RRM::RRM;
    void add_domain_worker(const std::string& name, const std::shared_ptr<rrm::Worker>& worker)
    {
        bool inserted = false;
        insert_domain_worker(name, worker, inserted);
        if (!inserted)
            throw std::runtime_error("domain worker not inserted");
        worker->start();
        finish_start();
    }
};

class WendaraServer : public Server {
public:
    WendaraServer()
    {
        char tmpl[] = "/tmp/ingest_bench.XXXXXX";
        if (!::mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        const std::string path = dir_ + "/wendara.conf";
        std::ofstream(path) << R"({"version":"2.1","global":{"listen_port":0},"common":{},)"
                               R"("domains":[{"domain":"bench","pattern":"common","time_zone":"+00:00"}],)"
                               R"("patterns":[]})";
        config_ = std::make_unique<rrm::GlobalConfig>(path);
        rrm_ = std::make_unique<BenchRRM>(config_.get());
        if (const char* threads = std::getenv("INGEST_PARSE_THREADS"))
            rrm_->get_websock_worker()->set_parse_threads(std::atoi(threads));
        rrm_->start();
        rrm_->add_domain_worker("bench", std::make_shared<SinkWorker>(rrm_.get(), received));
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while ((port_ = rrm_->get_websock_worker()->listening_port()) == 0) {
            if (Clock::now() > deadline)
                throw std::runtime_error("server did not open its port");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~WendaraServer() override
    {
        rrm_.reset();
        config_.reset();
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    int port() const override { return port_; }
    const char* path() const override { return "/apb/rrm"; }
    const char* protocol() const override { return "websock-rrm"; }

private:
    // Before the server, gone after it: its records all go through it.
    BenchLogger logging_{BenchLogger::SampleConfiguration{}};
    std::string dir_;
    std::unique_ptr<rrm::GlobalConfig> config_;
    std::unique_ptr<BenchRRM> rrm_;
    int port_ = 0;
};

// A plain libwebsockets server: one service thread, reassembly of
// fragmented messages, a counter, and either nothing more or a parse of
// every message; an "echo-request" is written back to its sender.
class BareLwsServer : public Server {
public:
    explicit BareLwsServer(bool parse) : parse_(parse)
    {
        std::memset(protocols_, 0, sizeof protocols_);
        protocols_[0].name = "bare-echo";
        protocols_[0].callback = &BareLwsServer::callback;
        protocols_[0].per_session_data_size = sizeof(Session*);
        protocols_[0].rx_buffer_size = 65536;
        lws_context_creation_info info;
        std::memset(&info, 0, sizeof info);
        info.port = 0;
        info.protocols = protocols_;
        info.gid = -1;
        info.uid = -1;
        info.options = LWS_SERVER_OPTION_DISABLE_IPV6;
        info.user = this;
        lws_set_log_level(LLL_ERR, nullptr);
        context_ = lws_create_context(&info);
        if (!context_)
            throw std::runtime_error("bare server: no context");
        port_ = lws_get_vhost_listen_port(lws_get_vhost_by_name(context_, "default"));
        thread_ = std::thread([this] {
            while (!stop_.load())
                if (lws_service(context_, 0) < 0)
                    break;
        });
    }
    ~BareLwsServer() override
    {
        stop_.store(true);
        lws_cancel_service(context_);
        thread_.join();
        lws_context_destroy(context_);
    }
    int port() const override { return port_; }
    const char* path() const override { return "/"; }
    const char* protocol() const override { return "bare-echo"; }
    // Messages that did not parse (bare_parse): there must be none.
    std::atomic<uint64_t> unparsed{0};

private:
    struct Session {
        std::string rx;
        std::deque<std::string> out;
    };

    // The text (NUL-terminated in rx) is an echo request.
    bool is_echo_request(const std::string& text)
    {
        if (!parse_) {
            // Count only: the command sits at the start of every message.
            static const std::string prefix = "{\"service\":\"rrm\",\"cmd\":\"echo-request\"";
            return text.compare(0, prefix.size(), prefix) == 0;
        }
        rrm::JsonReader reader(text.c_str(), static_cast<std::size_t>(8192));
        const char* cmd = reader.get_string("cmd");
        if (cmd == nullptr || *cmd == '\0') {
            unparsed.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        return std::strcmp(cmd, "echo-request") == 0;
    }

    static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len)
    {
        auto** slot = static_cast<Session**>(user);
        switch (reason) {
        case LWS_CALLBACK_ESTABLISHED:
            *slot = new Session;
            break;
        case LWS_CALLBACK_CLOSED:
            delete *slot;
            *slot = nullptr;
            break;
        case LWS_CALLBACK_RECEIVE: {
            Session* s = *slot;
            s->rx.append(static_cast<const char*>(in), len);
            if (lws_remaining_packet_payload(wsi) != 0 || !lws_is_final_fragment(wsi))
                break;
            auto* self = static_cast<BareLwsServer*>(lws_context_user(lws_get_context(wsi)));
            if (self->is_echo_request(s->rx)) {
                s->out.push_back(std::move(s->rx));
                lws_callback_on_writable(wsi);
            }
            s->rx.clear();
            self->received.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        case LWS_CALLBACK_SERVER_WRITEABLE: {
            Session* s = *slot;
            if (!s || s->out.empty())
                break;
            std::string& m = s->out.front();
            std::vector<unsigned char> buf(LWS_PRE + m.size());
            std::memcpy(buf.data() + LWS_PRE, m.data(), m.size());
            lws_write(wsi, buf.data() + LWS_PRE, m.size(), LWS_WRITE_TEXT);
            s->out.pop_front();
            if (!s->out.empty())
                lws_callback_on_writable(wsi);
            break;
        }
        default:
            break;
        }
        return 0;
    }

    const bool parse_;
    lws_protocols protocols_[2];
    lws_context* context_ = nullptr;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// 0: ours, 1: bare, receive and count, 2: bare, receive and parse.
std::unique_ptr<Server> make_server(int kind)
{
    if (kind == 0)
        return std::make_unique<WendaraServer>();
    return std::make_unique<BareLwsServer>(kind == 2);
}

const char* server_name(int kind)
{
    return kind == 0 ? "wendara" : kind == 1 ? "bare_count" : "bare_parse";
}

bool wait_count(const Server& server, uint64_t target, std::chrono::seconds patience)
{
    const auto deadline = Clock::now() + patience;
    while (server.received.load(std::memory_order_relaxed) < target) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// ---------------------------------------------------------------------------
// Benchmarks

// Every client sends its share of a round as fast as its socket takes it;
// false when not all messages arrived.
class Rounds {
public:
    Rounds(Server& server, Fleet& fleet) : server_(server), fleet_(fleet)
    {
        const int n = static_cast<int>(fleet.fds.size());
        const int per_client = std::max(1, kMessagesPerRound / n);
        per_round = static_cast<uint64_t>(per_client) * static_cast<uint64_t>(n);
        // Each client's share as one buffer of frames.
        for (int i = 0; i < per_client; ++i)
            batch_ += client_frame(ap_message("ap-report", i));
    }
    bool run()
    {
        const uint64_t expected = server_.received.load() + per_round;
        std::vector<std::thread> senders;
        for (int t = 0; t < kClientThreads; ++t)
            senders.emplace_back([&, t] {
                for (size_t i = static_cast<size_t>(t); i < fleet_.fds.size(); i += kClientThreads)
                    write_fully(fleet_.fds[i], batch_.data(), batch_.size());
            });
        for (auto& s : senders)
            s.join();
        return wait_count(server_, expected, std::chrono::seconds(120));
    }
    uint64_t per_round = 0;

private:
    Server& server_;
    Fleet& fleet_;
    std::string batch_;
};

bool all_parsed(const Server& server)
{
    const auto* bare = dynamic_cast<const BareLwsServer*>(&server);
    return bare == nullptr || bare->unparsed.load() == 0;
}

void BM_Ingest(benchmark::State& state)
{
    const int kind = static_cast<int>(state.range(0));
    const int n = static_cast<int>(state.range(1));
    state.SetLabel(server_name(kind));
    auto server = make_server(kind);
    Fleet fleet(*server, n);
    Rounds rounds(*server, fleet);
    for (auto _ : state) {
        if (!rounds.run()) {
            state.SkipWithError("messages lost");
            break;
        }
    }
    if (!all_parsed(*server))
        state.SkipWithError("a message did not parse");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(rounds.per_round));
}

// Load: 0 = 25% and 1 = 50% of the capacity just measured, 2 = 5,000 msg/s.
void BM_Latency(benchmark::State& state)
{
    const int kind = static_cast<int>(state.range(0));
    const int n = static_cast<int>(state.range(1));
    const int load_kind = static_cast<int>(state.range(2));
    state.SetLabel(server_name(kind));
    auto server = make_server(kind);
    Fleet fleet(*server, n);

    // Capacity: the best of three full-speed rounds with these clients.
    double capacity = 0;
    {
        Rounds rounds(*server, fleet);
        for (int r = 0; r < 3; ++r) {
            const auto t0 = Clock::now();
            if (!rounds.run()) {
                state.SkipWithError("messages lost while measuring capacity");
                return;
            }
            const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
            capacity = std::max(capacity, static_cast<double>(rounds.per_round) / secs);
        }
    }
    const double rate = load_kind == 0 ? 0.25 * capacity : load_kind == 1 ? 0.5 * capacity : kFixedRate;

    const int probe_fd = open_client(server->port(), server->path(), server->protocol());
    const std::string load_frame = client_frame(ap_message("ap-report", 0));
    std::vector<double> rtts;
    uint64_t sent_total = 0;
    double seconds = 0;
    for (auto _ : state) {
        std::atomic<bool> done{false};
        // The load: `rate` messages per second, a share every millisecond,
        // round-robin over the clients.
        std::thread load([&] {
            size_t next = 0;
            double owed = 0;
            auto tick = Clock::now();
            while (!done.load()) {
                tick += std::chrono::milliseconds(1);
                std::this_thread::sleep_until(tick);
                owed += rate / 1000.0;
                while (owed >= 1.0) {
                    write_fully(fleet.fds[next], load_frame.data(), load_frame.size());
                    next = (next + 1) % fleet.fds.size();
                    owed -= 1.0;
                    ++sent_total;
                }
            }
        });
        const auto started = Clock::now();
        int seq = 0;
        std::string in;
        while (static_cast<int>(rtts.size()) < kProbes) {
            const std::string probe = client_frame(ap_message("echo-request", ++seq));
            const auto t0 = Clock::now();
            write_fully(probe_fd, probe.data(), probe.size());
            // The answer is one unmasked text frame of the same document.
            const std::string marker = "\"seq\":" + std::to_string(seq) + ",";
            bool answered = false;
            while (!answered) {
                pollfd p{probe_fd, POLLIN, 0};
                if (::poll(&p, 1, 2000) <= 0)
                    break;
                char buf[65536];
                ssize_t got = ::recv(probe_fd, buf, sizeof buf, 0);
                if (got <= 0)
                    break;
                in.append(buf, static_cast<size_t>(got));
                if (in.find(marker) != std::string::npos) {
                    answered = true;
                    in.clear();
                }
            }
            if (!answered) {
                state.SkipWithError("probe not answered");
                break;
            }
            rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            std::this_thread::sleep_until(t0 + kProbeEvery);
        }
        done.store(true);
        load.join();
        seconds += std::chrono::duration<double>(Clock::now() - started).count();
    }
    ::close(probe_fd);
    if (!all_parsed(*server))
        state.SkipWithError("a message did not parse");
    if (rtts.empty())
        return;
    std::sort(rtts.begin(), rtts.end());
    auto pct = [&](double p) {
        return rtts[std::min(rtts.size() - 1, static_cast<size_t>(p * static_cast<double>(rtts.size())))];
    };
    state.counters["p50_us"] = pct(0.50);
    state.counters["p99_us"] = pct(0.99);
    state.counters["probes"] = static_cast<double>(rtts.size());
    state.counters["capacity"] = capacity;
    // The rate the load reached (messages per second).
    state.counters["load_rate"] = seconds > 0 ? static_cast<double>(sent_total) / seconds : 0;
}

void server_and_clients(benchmark::internal::Benchmark* b)
{
    for (int kind : {0, 1, 2})
        for (int n : {10, 100, 1000})
            b->Args({kind, n});
    b->ArgNames({"server", "clients"});
}

// Ours and the baseline that does the same work (receive and parse).
void latency_cases(benchmark::internal::Benchmark* b)
{
    for (int kind : {0, 2})
        for (int n : {10, 100, 1000})
            for (int load : {0, 1, 2})
                b->Args({kind, n, load});
    b->ArgNames({"server", "clients", "load"});
}

BENCHMARK(BM_Ingest)->Apply(server_and_clients)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Latency)->Apply(latency_cases)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv)
{
    // 1000 clients and their 1000 server ends need more descriptors than the
    // usual soft limit; the server itself raises it the same way.
    rlimit limit{12288, 12288};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        rlimit current{};
        ::getrlimit(RLIMIT_NOFILE, &current);
        current.rlim_cur = current.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &current);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
