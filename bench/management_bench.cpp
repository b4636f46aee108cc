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
//     domain's 500, inside the domain worker's lock.
// Side by side, in the same run and with the same clients: a bare server on
// the same framing (one thread, poll, accept, one receive, one send of a
// reply of the same length, close) that does no command work at all, the
// ceiling of the front end.

#include "ApEntry.h"
#include "ApiCli.h"
#include "Config.h"
#include "Log.h"
#include "MacAddress.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "VrrpWorker.h"

#include <benchmark/benchmark.h>
#include <easylogging++.h>

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

// A registry that lets the benchmark put a domain worker with APs in place.
class BenchRegistry : public rrm::RRM {
public:
    using RRM::RRM;
    std::shared_ptr<rrm::Worker> add_domain(const std::string& domain)
    {
        rrm::DomainConfig settings;
        settings.domain_timer_period = 100000;
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

std::string ap_mac(int n)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:00:00:00:%02X:%02X", (n >> 8) & 0xFF, n & 0xFF);
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
        domain->run_locked([&] {
            for (int i = 0; i < kAps; ++i) {
                const rrm::MacAddress mac = rrm::mac_from_string(ap_mac(i).c_str());
                auto ap = std::make_shared<rrm::ApEntry>(&domain->config, mac,
                                                         BaseSession{nullptr, 0, uint32_t(i + 1)});
                domain->aps.insert(mac, ap);
            }
        });
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

enum Request { CfgGlobal, DomainList, ApQuery };

std::string request_text(int kind, int n)
{
    switch (kind) {
    case CfgGlobal:
        return "{\"cfg\":{\"operation\":\"get\",\"level\":\"global\"}}";
    case DomainList:
        return "{\"rrm\":{}}";
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
    static std::unique_ptr<BareServer> peers[3];
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
    for (int kind : {CfgGlobal, DomainList, ApQuery})
        for (int bare : {0, 1})
            b->Args({kind, bare});
    b->ArgNames({"request", "bare"});
}

BENCHMARK(BM_Requests)->Apply(kinds)->Threads(1)->Threads(4)->UseRealTime();

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
