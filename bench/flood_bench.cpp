// What one peer's flood costs everybody else, on the real binary (started
// as the program tests start it: tests/support/WendaraProcess.h), with every
// client on 127.0.0.1 over real sockets.
//
// The server holds two domains: "flooded", where three simulated APs are
// subscribed, and "quiet". While a flood runs (after a head start of 2 s),
// probes are taken one after the other:
//   subscribe_ms: a new AP of "quiet" connects, subscribes and waits for its
//     "subscribe-response";
//   tcp_ms: the domain list {"rrm":{}} over the TCP API (127.0.0.1), which
//     reads every domain worker, the flooded one too, inside its lock.
// Reported: the median and the largest of each (p50/max), and what the
// flood got in (flood_mib_s: MiB a second that the flooding peers got
// into their sockets, head start included).
//
// Floods (the first argument):
//   none:     no flood; the same probes, the baseline in the same run;
//   assoc:    an AP of "flooded" subscribes, then sends "rrm-client-assoc"
//             for itself (weak signal, 30,000 client MACs in turn) as fast
//             as the socket takes them, and never reads what comes back;
//   resubscribe: the same AP sends its subscription again and again, and
//             never reads: each costs the domain worker more than its parse
//             (and an answer that is never taken), so the domain's queue
//             fills;
//   parse:    `peers` connections (the second argument) each send texts of
//             the parser's costliest known shape, just under the 1 MiB
//             message limit, back to back, and never read;
//   tcp_idle: 400 connections to the TCP API from 127.0.0.2 to 127.0.0.9
//             that send nothing, each opened again as soon as the server
//             closes it.
// The goal: during any flood, subscribe_ms below 1,000 and tcp_ms below 100.

#include "ApSimulator.h"
#include "SteeringDomain.h"
#include "WendaraProcess.h"
#include "WsTestClient.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::WendaraProcess;
using testsupport::WsTestClient;
using namespace std::chrono_literals;

enum Flood { kNone, kAssoc, kResubscribe, kParse, kTcpIdle };

constexpr int kProbes = 8;
constexpr auto kHeadStart = 2s;
// A probe that gets no answer counts as this long.
constexpr int kProbeTimeoutMs = 30000;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// AP n of a group: a base MAC of its own (an AP takes 48 MACs from its
// base).
std::string ap_mac(int group, int n)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:%02X:00:00:%02X:00", group & 0xff, n & 0xff);
    return text;
}

// Client MAC n.
std::string client_mac(int n)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:EE:00:%02X:%02X:%02X", (n >> 16) & 0xff, (n >> 8) & 0xff,
                  n & 0xff);
    return text;
}

// The parser's costliest shape known: a long array of one-member objects.
std::string costly(size_t size)
{
    std::string text = R"({"service":"rrm","cmd":"x","version":"2.4","domain":"nowhere","list":[)";
    while (text.size() + 12 < size)
        text += R"({"a":0},)";
    text += R"({"a":0}]})";
    return text;
}

// A TCP connection from a loopback address of our choice.
int connect_from(const char* source, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    remote.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class Flooder {
public:
    Flooder(Flood kind, int peers, const WendaraProcess& p) : kind_(kind), peers_(peers), p_(p) {}
    ~Flooder() { stop(); }

    void start()
    {
        switch (kind_) {
        case kNone:
            break;
        case kAssoc:
        case kResubscribe:
            threads_.emplace_back([this] { own_domain(kind_ == kResubscribe); });
            break;
        case kParse:
            for (int i = 0; i < peers_; ++i)
                threads_.emplace_back([this] { parse(); });
            break;
        case kTcpIdle:
            threads_.emplace_back([this] { tcp_idle(); });
            break;
        }
    }
    void stop()
    {
        running_ = false;
        for (auto& t : threads_)
            t.join();
        threads_.clear();
    }
    uint64_t bytes() const { return bytes_.load(); }

private:
    void own_domain(bool resubscribe)
    {
        WsTestClient c;
        if (c.connect(p_.listen_port) != 101)
            return;
        {
            std::lock_guard<std::mutex> g(fds_mutex_);
            fds_.push_back(c.fd());
        }
        const ApSpec ap = ApSpec::typical("02:ff:00:00:00:01", "flooded");
        c.send_text(ap.subscribe_request());
        int n = 0;
        while (running_) {
            const std::string text =
                resubscribe ? ap.subscribe_request()
                            : testsupport::client_assoc(ap, 1, -90, client_mac(n++ % 30000), "ssid0", 0, 1);
            // A send that the server does not take blocks; the socket is
            // shut down at the end, which ends it.
            if (!c.send_text(text))
                break;
            bytes_ += text.size();
        }
    }

    void parse()
    {
        const std::string text = costly(1024 * 1024 - 64);
        WsTestClient c;
        if (c.connect(p_.listen_port) != 101)
            return;
        {
            std::lock_guard<std::mutex> g(fds_mutex_);
            fds_.push_back(c.fd());
        }
        while (running_ && c.send_text(text))
            bytes_ += text.size();
    }

    void tcp_idle()
    {
        constexpr int kConnections = 400;
        std::vector<pollfd> open;
        int next = 0;
        while (running_) {
            while (static_cast<int>(open.size()) < kConnections && running_) {
                char source[16];
                std::snprintf(source, sizeof source, "127.0.0.%d", 2 + next++ % 8);
                const int fd = connect_from(source, p_.cli_port);
                if (fd < 0)
                    break;
                open.push_back(pollfd{fd, POLLIN, 0});
            }
            ::poll(open.data(), open.size(), 20);
            for (size_t i = 0; i < open.size();) {
                if (open[i].revents != 0) {
                    char buffer[64];
                    if (::recv(open[i].fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0) {
                        ::close(open[i].fd);
                        open[i] = open.back();
                        open.pop_back();
                        continue;
                    }
                }
                ++i;
            }
        }
        for (const pollfd& entry : open)
            ::close(entry.fd);
    }

public:
    // Unblocks senders that wait for the server to take more.
    void shut_down()
    {
        running_ = false;
        std::lock_guard<std::mutex> g(fds_mutex_);
        for (int fd : fds_)
            ::shutdown(fd, SHUT_RDWR);
    }

private:
    Flood kind_;
    int peers_;
    const WendaraProcess& p_;
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> bytes_{0};
    std::vector<std::thread> threads_;
    std::mutex fds_mutex_;
    std::vector<int> fds_;
};

double percentile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

void BM_Flood(benchmark::State& state, Flood kind, int peers)
{
    for (auto _ : state) {
        WendaraProcess p;
        // Records as in production: Debug off.
        p.write_logger_config(WendaraProcess::logger_config("* DEBUG:\n    ENABLED = false\n"));
        p.write_config("",
                       "\"common\":{\"use_all_ap_balance\":1},\"domains\":[{\"domain\":\"flooded\",\"pattern\":\"common\"},"
                       "{\"domain\":\"quiet\",\"pattern\":\"common\"}]");
        p.start({p.config_path()});
        if (!p.wait_for_port(p.listen_port) || !p.wait_for_port(p.cli_port)) {
            state.SkipWithError("the server did not start");
            return;
        }
        std::vector<std::unique_ptr<ApSimulator>> residents;
        for (int i = 0; i < 3; ++i) {
            residents.push_back(
                std::make_unique<ApSimulator>(ApSpec::typical(ap_mac(1, i), "flooded")));
            if (!residents.back()->connect(p.listen_port) || !residents.back()->subscribe() ||
                !residents.back()->wait_for("subscribe-response")) {
                state.SkipWithError("a resident AP did not subscribe");
                return;
            }
        }

        Flooder flood(kind, peers, p);
        const auto flooding = Clock::now();
        flood.start();
        std::this_thread::sleep_for(kHeadStart);

        std::vector<double> subscribe_ms, tcp_ms;
        for (int i = 0; i < kProbes; ++i) {
            ApSimulator ap(ApSpec::typical(ap_mac(2, i), "quiet"));
            auto start = Clock::now();
            const bool answered = ap.connect(p.listen_port) && ap.subscribe() &&
                                  ap.wait_for("subscribe-response", kProbeTimeoutMs);
            subscribe_ms.push_back(answered ? ms_since(start) : kProbeTimeoutMs);
            ap.drop();

            start = Clock::now();
            const std::string reply = testsupport::tcp_exchange(
                p.cli_port, "{\"rrm\":{}}", std::chrono::milliseconds(kProbeTimeoutMs));
            tcp_ms.push_back(reply.find("\"domains\"") != std::string::npos ? ms_since(start)
                                                                            : kProbeTimeoutMs);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - flooding).count();
        const uint64_t bytes = flood.bytes();
        flood.shut_down();
        // The server's end of the flooding connections goes with it.
        p.signal(SIGKILL);
        flood.stop();
        residents.clear();
        p.wait(5s);

        state.counters["subscribe_ms_p50"] = percentile(subscribe_ms, 0.5);
        state.counters["subscribe_ms_max"] = percentile(subscribe_ms, 1.0);
        state.counters["tcp_ms_p50"] = percentile(tcp_ms, 0.5);
        state.counters["tcp_ms_max"] = percentile(tcp_ms, 1.0);
        state.counters["flood_mib_s"] = static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
    }
}

#define FLOOD(name, kind, peers) \
    BENCHMARK_CAPTURE(BM_Flood, name, kind, peers)->Iterations(1)->Unit(benchmark::kSecond)
FLOOD(none, kNone, 0);
FLOOD(assoc, kAssoc, 1);
FLOOD(resubscribe, kResubscribe, 1);
FLOOD(parse_2, kParse, 2);
FLOOD(parse_8, kParse, 8);
FLOOD(tcp_idle_400, kTcpIdle, 400);
#undef FLOOD

}  // namespace

BENCHMARK_MAIN();
