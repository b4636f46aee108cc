// 10,000 access points connected at once to the AP port, with the
// open-file limit that the program sets for itself (12,288, of which the
// AP port may use all but its reserve of 2,048).
//
// The clients run in a child process (forked before the server starts,
// with an open-file limit of its own), so that the server's process has
// exactly the program's limit. For each server: the time to connect and
// upgrade all 10,000 (connect_s), how many sessions it then holds
// (sessions), its resident memory per connection (rss_kib_per_ap), the CPU
// it takes over 3 s while all sit idle (idle_cpu_pct), and the time until
// one 1 KB message from each of them has reached the domain worker
// (ingest_s).
//
// BM_TenThousandAps: the server's own registry and AP transport, messages
// counted by the domain worker of their domain. BM_TenThousandApsBareLws,
// side by side in the same run: a bare libwebsockets server with one
// service thread, the same open-file limit and a per-thread limit of
// 10,240 descriptors, that counts each message in its callback.

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
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

using Clock = std::chrono::steady_clock;

constexpr int kAps = 10000;
constexpr rlim_t kServerFiles = 12288;  // what main sets
constexpr rlim_t kClientFiles = 16384;

void discard_log(const char*, int, const char*, int, const char*, va_list)
{
}

long rss_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

double cpu_seconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// ---------------------------------------------------------------------------
// The client process

std::string ap_message(int n)
{
    std::string m = "{\"service\":\"rrm\",\"cmd\":\"status\",\"version\":\"2.4\",\"domain\":\"bench\","
                    "\"ap-mac\":\"02:00:00:00:00:01\",\"seq\":" +
                    std::to_string(n) + ",\"location\":\"";
    while (m.size() < 1022)
        m += 'b';
    return m + "\"}";
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
        return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    std::string req = std::string("GET ") + path +
                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                      "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                      "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: " +
                      protocol + "\r\n\r\n";
    if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        ::close(fd);
        return -1;
    }
    // The server sends nothing after its answer until spoken to.
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        char buf[512];
        ssize_t got = 0;
        if (::poll(&p, 1, 10000) <= 0 || (got = ::recv(fd, buf, sizeof buf, 0)) <= 0) {
            ::close(fd);
            return -1;
        }
        head.append(buf, static_cast<size_t>(got));
    }
    if (head.compare(0, 12, "HTTP/1.1 101") != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads one line (a command or a figure) from a pipe.
std::string read_line(int fd)
{
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

void write_line(int fd, const std::string& line)
{
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) < 0) {
    }
}

// The child: waits for "connect <port> <path> <protocol>", connects every
// AP and answers "connected <n> <seconds>"; on "send" each sends one
// message and it answers "sent"; on "quit" it ends.
[[noreturn]] void client_process(int commands, int answers)
{
    rlimit limit{kClientFiles, kClientFiles};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> fds;
    for (;;) {
        const std::string command = read_line(commands);
        if (command.rfind("connect ", 0) == 0) {
            char path[64] = {}, protocol[64] = {};
            int port = 0;
            std::sscanf(command.c_str(), "connect %d %63s %63s", &port, path, protocol);
            const auto begin = Clock::now();
            constexpr int kThreads = 8;
            std::vector<std::vector<int>> opened(kThreads);
            std::vector<std::thread> openers;
            for (int t = 0; t < kThreads; ++t)
                openers.emplace_back([&, t] {
                    for (int i = t; i < kAps; i += kThreads) {
                        const int fd = open_client(port, path, protocol);
                        if (fd >= 0)
                            opened[static_cast<size_t>(t)].push_back(fd);
                    }
                });
            for (auto& t : openers)
                t.join();
            for (const auto& some : opened)
                fds.insert(fds.end(), some.begin(), some.end());
            const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
            write_line(answers, "connected " + std::to_string(fds.size()) + " " + std::to_string(seconds));
        } else if (command == "send") {
            for (size_t i = 0; i < fds.size(); ++i) {
                const std::string frame = client_frame(ap_message(static_cast<int>(i)));
                if (::send(fds[i], frame.data(), frame.size(), MSG_NOSIGNAL) < 0) {
                }
            }
            write_line(answers, "sent");
        } else {
            for (int fd : fds)
                ::close(fd);
            ::_exit(0);
        }
    }
}

class ClientProcess {
public:
    ClientProcess()
    {
        int to_child[2], from_child[2];
        if (::pipe(to_child) != 0 || ::pipe(from_child) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::close(to_child[1]);
            ::close(from_child[0]);
            client_process(to_child[0], from_child[1]);
        }
        ::close(to_child[0]);
        ::close(from_child[1]);
        commands_ = to_child[1];
        answers_ = from_child[0];
    }
    ~ClientProcess()
    {
        write_line(commands_, "quit");
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(commands_);
        ::close(answers_);
    }
    std::string ask(const std::string& command)
    {
        write_line(commands_, command);
        return read_line(answers_);
    }

private:
    pid_t pid_ = -1;
    int commands_ = -1;
    int answers_ = -1;
};

// ---------------------------------------------------------------------------
// The servers

class CountingWorker : public rrm::Worker {
public:
    CountingWorker(rrm::RRM* registry, std::atomic<uint64_t>& counter)
        : Worker("bench", registry, 10000, rrm::RRM::DOMAIN_QUEUE_CAPACITY, true), counter_(counter)
    {
    }
    void process_message(const rrm::JsonReader& json, const rrm::QueueMessage& msg) override
    {
        if (process_internal_ipc_msg(json, msg))
            return;
        // Not the registry's notices (the flood pauses load balancing).
        if (std::strcmp(json.get_string("cmd"), "status") == 0)
            counter_.fetch_add(1, std::memory_order_relaxed);
    }
    void to_json(rrm::JsonWriter&) override {}
    void to_json_full(rrm::JsonWriter&) override {}

private:
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

struct Figures {
    std::atomic<uint64_t> received{0};
};

void run(benchmark::State& state, bool ours)
{
    rrm::set_log_handler(&discard_log);
    // Before any thread of ours exists.
    ClientProcess clients;
    rlimit limit{kServerFiles, kServerFiles};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        state.SkipWithError("cannot set the open-file limit");
        return;
    }
    Figures figures;
    std::unique_ptr<rrm::GlobalConfig> config;
    std::unique_ptr<BenchRRM> registry;
    lws_context* bare = nullptr;
    std::thread bare_thread;
    std::atomic<bool> bare_stop{false};
    static Figures* bare_figures = nullptr;
    lws_protocols protocols[2];
    int port = 0;
    const long rss_before = rss_kib();

    if (ours) {
        char tmpl[] = "/tmp/connections_bench.XXXXXX";
        if (!::mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        const std::string dir = tmpl;
        std::ofstream(dir + "/wendara.conf")
            << R"({"version":"2.1","global":{"listen_port":0},"common":{},)"
               R"("domains":[{"domain":"bench","pattern":"common","time_zone":"+00:00"}],"patterns":[]})";
        config = std::make_unique<rrm::GlobalConfig>(dir + "/wendara.conf");
        registry = std::make_unique<BenchRRM>(config.get());
        registry->start();
        registry->add_domain_worker("bench", std::make_shared<CountingWorker>(registry.get(), figures.received));
        while ((port = registry->get_websock_worker()->listening_port()) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::remove((dir + "/wendara.conf").c_str());
        ::rmdir(dir.c_str());
    } else {
        bare_figures = &figures;
        std::memset(protocols, 0, sizeof protocols);
        protocols[0].name = "bare";
        protocols[0].rx_buffer_size = 65536;
        protocols[0].callback = [](lws* wsi, lws_callback_reasons reason, void*, void*, size_t) {
            if (reason == LWS_CALLBACK_RECEIVE && lws_remaining_packet_payload(wsi) == 0 &&
                lws_is_final_fragment(wsi))
                bare_figures->received.fetch_add(1, std::memory_order_relaxed);
            return 0;
        };
        lws_context_creation_info info;
        std::memset(&info, 0, sizeof info);
        info.protocols = protocols;
        info.gid = -1;
        info.uid = -1;
        info.options = LWS_SERVER_OPTION_DISABLE_IPV6;
        info.fd_limit_per_thread = static_cast<unsigned int>(kServerFiles - 2048);
        lws_set_log_level(LLL_ERR, nullptr);
        bare = lws_create_context(&info);
        if (!bare)
            throw std::runtime_error("bare server: no context");
        port = lws_get_vhost_listen_port(lws_get_vhost_by_name(bare, "default"));
        bare_thread = std::thread([&] {
            while (!bare_stop.load())
                if (lws_service(bare, 0) < 0)
                    break;
        });
    }

    for (auto _ : state) {
        const std::string answer = clients.ask("connect " + std::to_string(port) + " " +
                                               (ours ? "/apb/rrm websock-rrm" : "/ bare"));
        int connected = 0;
        double seconds = 0;
        std::sscanf(answer.c_str(), "connected %d %lf", &connected, &seconds);
        state.counters["connected"] = connected;
        state.counters["connect_s"] = seconds;
        if (ours) {
            rrm::WebsockServerWorker* server = registry->get_websock_worker();
            std::lock_guard<std::mutex> g(server->sessions.mutex);
            state.counters["sessions"] = static_cast<double>(server->sessions.map.size());
        }
        state.counters["rss_kib_per_ap"] =
            connected > 0 ? static_cast<double>(rss_kib() - rss_before) / connected : 0;

        const double cpu_before = cpu_seconds();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        state.counters["idle_cpu_pct"] = 100.0 * (cpu_seconds() - cpu_before) / 3.0;

        const auto begin = Clock::now();
        clients.ask("send");
        const auto deadline = begin + std::chrono::seconds(60);
        while (figures.received.load() < static_cast<uint64_t>(connected) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        state.counters["ingest_s"] = std::chrono::duration<double>(Clock::now() - begin).count();
        state.counters["received"] = static_cast<double>(figures.received.load());
    }

    if (ours) {
        registry.reset();
        config.reset();
    } else {
        bare_stop.store(true);
        lws_cancel_service(bare);
        bare_thread.join();
        lws_context_destroy(bare);
    }
}

void BM_TenThousandAps(benchmark::State& state)
{
    run(state, true);
}

void BM_TenThousandApsBareLws(benchmark::State& state)
{
    run(state, false);
}

}  // namespace

BENCHMARK(BM_TenThousandAps)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_TenThousandApsBareLws)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
