// Subscription storm: N access points (100 to 5,000), each with 3
// radios and 4 VAPs per radio, are connected over real WebSocket
// connections on 127.0.0.1 and then all send their "subscribe-request" at
// once to one domain. Timed from the first send until every AP holds its
// "subscribe-response". Every iteration starts a fresh server, so every
// subscription is a new AP of the domain.
//
// Side by side, in the same run and with the same clients: a bare
// libwebsockets server on one service thread that reassembles each message,
// parses it as the server's parsing thread does (own 8 KB arena), reads its
// "ap-mac" and answers with a ready "subscribe-response" text of the same
// size as the real one, with that MAC put in. It does the transport and
// parsing work of a subscription and none of the domain work.
//
// Counters: subs/s (N / time to the last answer), and for the real server
// worker_subs/s: N / the domain worker's own time in its subscription
// handler (its subscribe metric), i.e. what one domain worker takes.

#include "ApSimulator.h"
#include "BenchLogger.h"
#include "Config.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "QueueMessage.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "WebsockServerWorker.h"

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
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSenderThreads = 4;

void discard_log(const char*, int, const char*, int, const char*, va_list)
{
}

// AP number i: base MAC 02:00:HH:HH:HH:00 (radio and VAP MACs follow it).
std::string ap_mac(int i)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:00:%02X:%02X:%02X:00", (i >> 16) & 0xff, (i >> 8) & 0xff,
                  i & 0xff);
    return text;
}

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

// ---------------------------------------------------------------------------
// Servers

class Server {
public:
    virtual ~Server() = default;
    virtual int port() const = 0;
    virtual const char* path() const = 0;
    virtual const char* protocol() const = 0;
    // Microseconds the domain worker spent in its subscription handler, and
    // how many runs; 0 for a server without one.
    virtual void handler_time(int64_t& total_us, int32_t& count) { total_us = count = 0; }
};

class WendaraServer : public Server {
public:
    WendaraServer()
    {
        char tmpl[] = "/tmp/subscribe_bench.XXXXXX";
        if (!::mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        const std::string path = dir_ + "/wendara.conf";
        std::ofstream(path) << R"({"version":"2.1","global":{"listen_port":0},"common":{},)"
                               R"("domains":[{"domain":"bench","pattern":"common","time_zone":"+00:00"}],)"
                               R"("patterns":[]})";
        config_ = std::make_unique<rrm::GlobalConfig>(path);
        rrm_ = std::make_unique<rrm::RRM>(config_.get());
        rrm_->start();
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
    void handler_time(int64_t& total_us, int32_t& count) override
    {
        total_us = count = 0;
        rrm_->run_on_domain("bench", [&](rrm::RrmWorker& worker) {
            total_us = worker.subscribe_metric.total_us;
            count = worker.subscribe_metric.count;
        });
    }

private:
    std::string dir_;
    std::unique_ptr<rrm::GlobalConfig> config_;
    std::unique_ptr<rrm::RRM> rrm_;
    int port_ = 0;
};

// The peer: transport and parsing of a subscription, a ready answer.
class BareLwsServer : public Server {
public:
    explicit BareLwsServer(std::string answer_template) : template_(std::move(answer_template))
    {
        mac_at_ = template_.find("\"ap-mac\":\"") + 10;
        std::memset(protocols_, 0, sizeof protocols_);
        protocols_[0].name = "bare-subscribe";
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
    const char* protocol() const override { return "bare-subscribe"; }

private:
    struct Session {
        std::string rx;
        std::vector<std::string> out;
    };

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
            const rrm::JsonReader json(s->rx.c_str(), static_cast<std::size_t>(8192));
            std::string answer = self->template_;
            const char* mac = json.get_string("ap-mac");
            if (std::strlen(mac) == 17)
                answer.replace(self->mac_at_, 17, mac);
            s->out.push_back(std::move(answer));
            s->rx.clear();
            lws_callback_on_writable(wsi);
            break;
        }
        case LWS_CALLBACK_SERVER_WRITEABLE: {
            Session* s = *slot;
            if (!s || s->out.empty())
                break;
            const std::string& m = s->out.front();
            std::vector<unsigned char> buf(LWS_PRE + m.size());
            std::memcpy(buf.data() + LWS_PRE, m.data(), m.size());
            lws_write(wsi, buf.data() + LWS_PRE, m.size(), LWS_WRITE_TEXT);
            s->out.erase(s->out.begin());
            if (!s->out.empty())
                lws_callback_on_writable(wsi);
            break;
        }
        default:
            break;
        }
        return 0;
    }

    std::string template_;
    size_t mac_at_ = 0;
    lws_protocols protocols_[2];
    lws_context* context_ = nullptr;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// ---------------------------------------------------------------------------
// The APs

// N connected APs with their requests framed in advance, and a reader that
// notes when each has received its "subscribe-response".
class Storm {
public:
    Storm(const Server& server, int n) : answered_(static_cast<size_t>(n), 0)
    {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        fds_.reserve(static_cast<size_t>(n));
        frames_.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            testsupport::ApSpec spec = testsupport::ApSpec::typical(ap_mac(i), "bench", 3, 4);
            frames_.push_back(client_frame(spec.subscribe_request()));
            const int fd = open_client(server.port(), server.path(), server.protocol());
            fds_.push_back(fd);
            if (static_cast<size_t>(fd) >= buffers_.size())
                buffers_.resize(static_cast<size_t>(fd) + 1);
            if (static_cast<size_t>(fd) >= index_.size())
                index_.resize(static_cast<size_t>(fd) + 1, -1);
            index_[static_cast<size_t>(fd)] = i;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        }
        reader_ = std::thread([this] { read_loop(); });
    }
    ~Storm()
    {
        stop_.store(true);
        reader_.join();
        for (int fd : fds_)
            ::close(fd);
        ::close(epoll_);
    }

    // Sends every request and waits for every answer; the seconds it took.
    double run()
    {
        const size_t n = fds_.size();
        const auto start = Clock::now();
        std::vector<std::thread> senders;
        for (int t = 0; t < kSenderThreads; ++t)
            senders.emplace_back([this, t, n] {
                for (size_t i = static_cast<size_t>(t); i < n; i += kSenderThreads)
                    write_fully(fds_[i], frames_[i].data(), frames_[i].size());
            });
        for (auto& s : senders)
            s.join();
        std::unique_lock<std::mutex> g(m_);
        if (!cv_.wait_for(g, std::chrono::seconds(120), [&] { return done_ == n; }))
            throw std::runtime_error("not every AP was answered");
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

private:
    void read_loop()
    {
        std::vector<epoll_event> events(256);
        std::vector<char> chunk(65536);
        while (!stop_.load()) {
            int k = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 20);
            for (int e = 0; e < k; ++e) {
                const int fd = events[static_cast<size_t>(e)].data.fd;
                std::string& in = buffers_[static_cast<size_t>(fd)];
                ssize_t got;
                while ((got = ::recv(fd, chunk.data(), chunk.size(), 0)) > 0)
                    in.append(chunk.data(), static_cast<size_t>(got));
                take_frames(fd, in);
            }
        }
    }

    // Server frames are unmasked and, here, never fragmented.
    void take_frames(int fd, std::string& in)
    {
        size_t pos = 0;
        for (;;) {
            if (in.size() - pos < 2)
                break;
            uint64_t len = static_cast<unsigned char>(in[pos + 1]) & 0x7f;
            size_t head = 2;
            if (len == 126) {
                if (in.size() - pos < 4)
                    break;
                len = (static_cast<unsigned char>(in[pos + 2]) << 8) |
                      static_cast<unsigned char>(in[pos + 3]);
                head = 4;
            } else if (len == 127) {
                if (in.size() - pos < 10)
                    break;
                len = 0;
                for (int b = 0; b < 8; ++b)
                    len = (len << 8) | static_cast<unsigned char>(in[pos + 2 + static_cast<size_t>(b)]);
                head = 10;
            }
            if (in.size() - pos < head + len)
                break;
            const std::string_view payload(in.data() + pos + head, static_cast<size_t>(len));
            if (payload.find("\"cmd\":\"subscribe-response\"") != std::string_view::npos) {
                const int i = index_[static_cast<size_t>(fd)];
                if (i >= 0 && answered_[static_cast<size_t>(i)] == 0) {
                    answered_[static_cast<size_t>(i)] = 1;
                    std::lock_guard<std::mutex> g(m_);
                    if (++done_ == fds_.size())
                        cv_.notify_all();
                }
            }
            pos += head + static_cast<size_t>(len);
        }
        in.erase(0, pos);
    }

    std::vector<int> fds_;
    std::vector<std::string> frames_;
    std::vector<std::string> buffers_;
    std::vector<int> index_;
    std::vector<char> answered_;
    int epoll_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::condition_variable cv_;
    size_t done_ = 0;
};

// The real server's answer to a typical AP, as the peer's template.
std::string real_answer_template()
{
    WendaraServer server;
    int fd = open_client(server.port(), server.path(), server.protocol());
    const std::string frame =
        client_frame(testsupport::ApSpec::typical(ap_mac(0), "bench", 3, 4).subscribe_request());
    write_fully(fd, frame.data(), frame.size());
    std::string in;
    char chunk[65536];
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got > 0)
                in.append(chunk, static_cast<size_t>(got));
        }
        if (in.size() >= 4) {
            size_t len = static_cast<unsigned char>(in[1]) & 0x7f;
            size_t head = 2;
            if (len == 126) {
                len = (static_cast<unsigned char>(in[2]) << 8) | static_cast<unsigned char>(in[3]);
                head = 4;
            }
            if (in.size() >= head + len) {
                ::close(fd);
                return in.substr(head, len);
            }
        }
    }
    ::close(fd);
    throw std::runtime_error("no answer to the template request");
}

bool raise_fd_limit(rlim_t wanted)
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return false;
    if (lim.rlim_cur >= wanted)
        return true;
    lim.rlim_cur = std::min(lim.rlim_max, std::max(wanted, lim.rlim_cur));
    ::setrlimit(RLIMIT_NOFILE, &lim);
    ::getrlimit(RLIMIT_NOFILE, &lim);
    return lim.rlim_cur >= wanted;
}

void storm(benchmark::State& state, bool bare, int n)
{
    // Clients and server connections, with room for the rest.
    if (!raise_fd_limit(static_cast<rlim_t>(2 * n + 512))) {
        state.SkipWithError("open-file limit too low");
        return;
    }
    static const std::string answer = real_answer_template();
    double seconds = 0;
    int64_t handler_us = 0;
    int64_t handler_runs = 0;
    for (auto _ : state) {
        std::unique_ptr<Server> server;
        if (bare)
            server = std::make_unique<BareLwsServer>(answer);
        else
            server = std::make_unique<WendaraServer>();
        Storm storm(*server, n);
        const double took = storm.run();
        state.SetIterationTime(took);
        seconds += took;
        int64_t us = 0;
        int32_t runs = 0;
        server->handler_time(us, runs);
        handler_us += us;
        handler_runs += runs;
    }
    state.counters["subs/s"] =
        benchmark::Counter(static_cast<double>(n) * static_cast<double>(state.iterations()) / seconds);
    if (!bare && handler_us > 0)
        state.counters["worker_subs/s"] =
            benchmark::Counter(static_cast<double>(handler_runs) * 1e6 / static_cast<double>(handler_us));
    state.counters["answer_bytes"] = benchmark::Counter(static_cast<double>(answer.size()));
    state.SetLabel(bare ? "bare lws + parse" : "wendara");
}

void BM_SubscriptionStorm(benchmark::State& state)
{
    rrm::set_log_handler(&discard_log);
    storm(state, state.range(0) == 1, static_cast<int>(state.range(1)));
}

// The storm through the program's logger and handler: with no logger
// configuration (`logging:0`: the library's defaults, every level written to
// standard output, here a file), with a configuration that writes Info and
// above to the log file (`logging:1`), or with the sample's logger
// configuration (`logging:2`: Info and above to the log file and standard
// output).
void BM_SubscriptionStorm_Logged(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(1));
    if (state.range(0) == 0) {
        BenchLogger logging{BenchLogger::NoConfiguration{}};
        storm(state, false, n);
        state.SetLabel("no logger configuration");
    } else if (state.range(0) == 2) {
        BenchLogger logging{BenchLogger::SampleConfiguration{}};
        storm(state, false, n);
        state.SetLabel("sample logger configuration");
    } else {
        BenchLogger logging(false, false);
        storm(state, false, n);
        state.SetLabel("Debug and Trace off");
    }
}

// The domain worker alone: N parsed "subscribe-request"s of new APs handed
// to its message handler one after the other on this thread, as its own
// thread does; the answers go to a registry that drops them. What one
// domain worker can take, without the transport.
class SinkRegistry : public rrm::RRM {
public:
    using RRM::RRM;
    void enqueue_serialized(const char*, const BaseSession&) override { ++sent; }
    void enqueue_serialized(std::string, const BaseSession&) override { ++sent; }
    void enqueue_serialized(std::string, const BaseSession&, std::shared_ptr<const void>) override
    {
        ++sent;
    }
    uint64_t sent = 0;
};

// N new APs subscribe, one after the other, through a fresh domain worker
// in each iteration.
void subscribe_all(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    rrm::GlobalConfig config("");
    SinkRegistry registry(&config);
    std::vector<std::string> texts;
    for (int i = 0; i < n; ++i)
        texts.push_back(testsupport::ApSpec::typical(ap_mac(i), "bench", 3, 4).subscribe_request());
    for (auto _ : state) {
        state.PauseTiming();
        auto worker = std::make_shared<rrm::RrmWorker>(&config, rrm::DomainConfig(), "bench",
                                                       &registry, 0, 2048);
        std::vector<std::shared_ptr<rrm::QueueMessage>> messages;
        for (int i = 0; i < n; ++i)
            messages.push_back(std::make_shared<rrm::QueueMessage>(
                rrm::JsonReader(texts[static_cast<size_t>(i)].c_str(), static_cast<std::size_t>(8192)),
                BaseSession{nullptr, 0, static_cast<uint32_t>(i + 1)}));
        state.ResumeTiming();
        for (const auto& msg : messages)
            worker->process_message(msg->json, *msg);
        state.PauseTiming();
        if (worker->aps.size() != static_cast<size_t>(n))
            state.SkipWithError("not every AP subscribed");
        messages.clear();
        worker.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// `levels`: the levels handed to the log handler (which drops them).
void worker_subscriptions(benchmark::State& state, int levels)
{
    rrm::set_log_handler(&discard_log);
    rrm::set_log_levels(levels);
    subscribe_all(state);
    rrm::set_log_levels(rrm::LOG_LEVELS_ALL);
}

// Every record handed on (and its arguments evaluated), as with no logger
// configuration.
void BM_WorkerSubscriptions(benchmark::State& state)
{
    worker_subscriptions(state, rrm::LOG_LEVELS_ALL);
}
BENCHMARK(BM_WorkerSubscriptions)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

// A logger configuration with Debug and Trace off: their records are
// neither formatted nor their arguments evaluated.
void BM_WorkerSubscriptions_DebugOff(benchmark::State& state)
{
    worker_subscriptions(state,
                         rrm::LOG_LEVEL_INFO | rrm::LOG_LEVEL_WARNING | rrm::LOG_LEVEL_ERROR);
}
BENCHMARK(BM_WorkerSubscriptions_DebugOff)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond);

// Through a real logger (records to a file) with Debug and Trace off: the
// program's handler with its level mask (`path:0`), or the handler as it
// was before the level was tested first (`path:1`).
void BM_WorkerSubscriptions_Logged(benchmark::State& state)
{
    const bool format_first = state.range(1) == 1;
    BenchLogger logging(false, format_first);
    subscribe_all(state);
    state.SetLabel(BenchLogger::label(format_first));
}
BENCHMARK(BM_WorkerSubscriptions_Logged)
    ->ArgNames({"aps", "path"})
    ->ArgsProduct({{1000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// Every iteration builds a server and connects its APs (not timed), so the
// number of storms per size is fixed.
BENCHMARK(BM_SubscriptionStorm)
    ->ArgNames({"bare", "aps"})
    ->Args({0, 100})
    ->Args({1, 100})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK(BM_SubscriptionStorm)
    ->ArgNames({"bare", "aps"})
    ->Args({0, 1000})
    ->Args({1, 1000})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(8);
BENCHMARK(BM_SubscriptionStorm)
    ->ArgNames({"bare", "aps"})
    ->Args({0, 2000})
    ->Args({1, 2000})
    ->Args({2, 2000})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(6);
BENCHMARK(BM_SubscriptionStorm_Logged)
    ->ArgNames({"logging", "aps"})
    ->Args({0, 2000})
    ->Args({1, 2000})
    ->Args({2, 2000})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(6);
BENCHMARK(BM_SubscriptionStorm)
    ->ArgNames({"bare", "aps"})
    ->Args({0, 5000})
    ->Args({1, 5000})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4);

}  // namespace

BENCHMARK_MAIN();
