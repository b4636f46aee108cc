// The real binary's TCP management API as a client sees it: which requests
// get the error reply, the 4095-byte limit of a request, a request that
// arrives in two parts, peers that send nothing or stop reading a long
// reply, many clients at once, and the share of connections one address may
// hold.
#include "Version.h"
#include "WendaraProcess.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <yajson/yajson.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::WendaraProcess;
using namespace std::chrono_literals;

const std::string kError = "{\"status\":\"error\"}";

std::string hostname()
{
    char name[1024] = {0};
    ::gethostname(name, sizeof name - 1);
    return name;
}

std::string header()
{
    return "{\"version\":\"2.1\",\"server\":\"" + hostname() + "\",\"wendara_version\":\"" +
           rrm::WENDARA_VERSION + "\"";
}

// A connection from the loopback address `source` (127.0.0.x: each is a
// peer address of its own).
int connect_client(int port, int rcvbuf = 0, const char* source = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (source) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until the server closes; `closed` tells whether it did within 30 s.
std::string read_to_end(int fd, bool& closed)
{
    timeval tv{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string text;
    char buffer[65536];
    closed = false;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
            continue;
        }
        closed = n == 0;
        return text;
    }
}

class ProgramTcpApi : public ::testing::Test {
protected:
    void start(const std::string& rest = "")
    {
        p.write_logger_config();
        p.write_config("", rest);
        p.start({p.config_path()});
        ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
    }
    void TearDown() override
    {
        p.interrupt();
        EXPECT_EQ(0, p.wait(60s).code) << p.stderr_text();
    }
    std::string ask(const std::string& request)
    {
        return testsupport::tcp_exchange(p.cli_port, request, 30s);
    }

    WendaraProcess p;
};

TEST_F(ProgramTcpApi, RequestsThatNoHandlerAnswersGetTheErrorReply)
{
    start();
    const std::string role = header() + ",\"role\":\"master\",\"status\":\"success\"}";
    // {"vrrp":{},"pad":"x...x"} of exactly n bytes.
    auto padded = [](size_t n) {
        const std::string head = "{\"vrrp\":{},\"pad\":\"";
        return head + std::string(n - head.size() - 2, 'x') + "\"}";
    };
    ASSERT_EQ(4095u, padded(4095).size());
    struct Case {
        const char* what;
        std::string request;
        std::string reply;
    };
    const Case cases[] = {
        {"4095 bytes: read whole", padded(4095), role},
        {"4096 bytes: cut, so it does not parse", padded(4096), kError},
        {"far longer", padded(100000), kError},
        {"no known member", "{\"show\":{}}", kError},
        {"not JSON", "hello", kError},
        {"JSON but not an object", "[{\"rrm\":{}}]", kError},
        {"a number", "5", kError},
        {"configuration first", "{\"rrm\":{},\"cfg\":{\"operation\":\"x\",\"level\":\"y\"}}",
         "{\"version\":\"2.1\"}"},
        {"then queries", "{\"vrrp\":{},\"rrm\":{}}", header() + ",\"domains\":[]}"},
        {"a configuration command without a reply", "{\"cfg\":{}}", kError},
        {"a role request with VRRP disabled", "{\"vrrp\":{\"role\":\"backup\"}}",
         "{\"version\":\"2.1\",\"wendara_version\":\"" + std::string(rrm::WENDARA_VERSION) +
             "\",\"server\":\"" + hostname() +
             "\",\"status\":\"failure\",\"error\":\"VRRP is disabled, ignore request\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.reply, ask(c.request));
    }
    // The role was not touched.
    EXPECT_EQ(role, ask("{\"vrrp\":{}}"));
}

// One receive takes the request: a request whose first part arrives alone
// is answered as that part, which does not parse, and the connection is
// closed before the rest can follow.
TEST_F(ProgramTcpApi, ARequestSplitAcrossTwoSendsIsAnsweredAsItsFirstPart)
{
    start();
    const std::string first = "{\"vrrp\":";
    const std::string rest = "{}}";
    // Whole, the same text gets the role.
    EXPECT_EQ(header() + ",\"role\":\"master\",\"status\":\"success\"}", ask(first + rest));

    const int fd = connect_client(p.cli_port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(first.size()),
              ::send(fd, first.data(), first.size(), MSG_NOSIGNAL));
    bool closed = false;
    EXPECT_EQ(kError, read_to_end(fd, closed));
    EXPECT_TRUE(closed);
    // The rest finds the connection closed by the server (its result does
    // not matter); nothing more comes back.
    ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    EXPECT_EQ("", read_to_end(fd, closed));
    ::close(fd);
}

TEST_F(ProgramTcpApi, APeerThatSendsNothingIsClosedWithoutAReply)
{
    start();
    const int fd = connect_client(p.cli_port);
    ASSERT_GE(fd, 0);
    // Others are served meanwhile.
    EXPECT_EQ(header() + ",\"domains\":[]}", ask("{\"rrm\":{}}"));
    bool closed = false;
    EXPECT_EQ("", read_to_end(fd, closed));
    EXPECT_TRUE(closed);
    ::close(fd);
}

TEST_F(ProgramTcpApi, ALongReplyReachesASlowPeerWholeAndHoldsNobodyUp)
{
    // 100,000 domains: the domain list is some 5 MB, more than the two
    // sockets' buffers hold while its reader does not read.
    const int count = 100000;
    std::string domains = "\"domains\":[";
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "domain-%06d", i);
        domains += std::string(i ? "," : "") + "{\"domain\":\"" + name + "\",\"pattern\":\"common\"}";
    }
    domains += "]";
    start(domains);

    const std::string request = "{\"cfg\":{\"operation\":\"get\",\"level\":\"domain\"}}";
    const int slow = connect_client(p.cli_port, 4096);
    ASSERT_GE(slow, 0);
    ASSERT_EQ(static_cast<ssize_t>(request.size()),
              ::send(slow, request.data(), request.size(), MSG_NOSIGNAL));

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(header() + ",\"role\":\"master\",\"status\":\"success\"}", ask("{\"vrrp\":{}}"));

    bool closed = false;
    const std::string reply = read_to_end(slow, closed);
    ::close(slow);
    EXPECT_TRUE(closed);
    yajson::ParseResult parsed = yajson::parse(reply, yajson::ParseOptions());
    ASSERT_FALSE(parsed.error) << reply.size();
    const yajson::JsonValue* list = parsed.value.as_object().find("domains");
    ASSERT_TRUE(list && list->is_array());
    ASSERT_EQ(static_cast<size_t>(count), list->as_array().size());
    EXPECT_EQ("domain-099999",
              list->as_array().back().as_object().find("name")->as_string());
    // The same as a reader that takes it at once gets.
    EXPECT_EQ(ask(request), reply);
}

// Connections that send nothing used to hold the 32 slots for 5 s each, so
// a few hundred of them, opened again and again, kept the plug-in out. One
// address may now hold 4, other addresses than 127.0.0.1 together 24: the
// rest are closed as soon as they are accepted, without a reply. The
// connections are opened in the table's order (and accepted in it); once
// those beyond their share have been closed, the others send their request.
TEST_F(ProgramTcpApi, NoAddressHoldsMoreThanItsShareAndThePluginsAddressKeepsRoom)
{
    start();
    struct Peer {
        const char* address;
        int connections;
        int held;  // the first ones; the rest are closed at once
    };
    const Peer peers[] = {
        {"127.0.0.2", 6, 4},
        {"127.0.0.3", 4, 4}, {"127.0.0.4", 4, 4}, {"127.0.0.5", 4, 4},
        {"127.0.0.6", 4, 4}, {"127.0.0.7", 4, 4},
        // 24 held by other addresses than 127.0.0.1.
        {"127.0.0.8", 2, 0},
        // 8 slots are kept for the plug-in's address.
        {"127.0.0.1", 8, 8},
    };
    struct Open {
        const Peer* peer;
        int fd;
        bool held;
    };
    std::vector<Open> open;
    for (const Peer& peer : peers)
        for (int i = 0; i < peer.connections; ++i) {
            const int fd = connect_client(p.cli_port, 0, peer.address);
            ASSERT_GE(fd, 0) << peer.address;
            open.push_back({&peer, fd, i < peer.held});
        }
    for (const Open& c : open) {
        if (c.held)
            continue;
        SCOPED_TRACE(c.peer->address);
        bool closed = false;
        EXPECT_EQ("", read_to_end(c.fd, closed));
        EXPECT_TRUE(closed);
    }
    const std::string request = "{\"vrrp\":{}}";
    const std::string role = header() + ",\"role\":\"master\",\"status\":\"success\"}";
    for (const Open& c : open)
        if (c.held)
            ::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL);
    for (const Open& c : open) {
        if (c.held) {
            SCOPED_TRACE(c.peer->address);
            bool closed = false;
            EXPECT_EQ(role, read_to_end(c.fd, closed));
        }
        ::close(c.fd);
    }
    // One record counts what was refused, not one per connection.
    EXPECT_TRUE(p.wait_for_log("TCP API: 1 connections refused since the last such record, the "
                               "latest from 127.0.0.2: one address may hold 4 connections"));
    EXPECT_EQ(1u, [&] {
        const std::string log = p.all_logs_text();
        size_t n = 0;
        for (size_t at = 0; (at = log.find("connections refused", at)) != std::string::npos; ++at)
            ++n;
        return n;
    }());
    // Afterwards every address is served again.
    EXPECT_EQ(role, ask(request));
}

// A request of 4096 bytes or more is not read whole before the reply: the
// server used to close with the rest unread, which resets the connection,
// and a client could lose the reply. The rest is now read after the reply
// until the client closes.
TEST_F(ProgramTcpApi, ARequestTooLongGetsTheErrorReplyAndAnOrderlyClose)
{
    start();
    for (const size_t size : {size_t{4096}, size_t{64 * 1024}, size_t{4 * 1024 * 1024}}) {
        SCOPED_TRACE(size);
        // Well-formed JSON whose first 4095 bytes are too.
        const std::string request = "{\"vrrp\":{}}" + std::string(size - 11, ' ');
        const int fd = connect_client(p.cli_port);
        ASSERT_GE(fd, 0);
        std::thread sender([&] {
            size_t sent = 0;
            while (sent < request.size()) {
                const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += static_cast<size_t>(n);
            }
        });
        bool closed = false;
        EXPECT_EQ(kError, read_to_end(fd, closed));
        EXPECT_TRUE(closed) << "reset or no end: " << std::strerror(errno);
        sender.join();
        ::close(fd);
    }
}

TEST_F(ProgramTcpApi, TwoHundredClientsAtOnceAllGetTheirReply)
{
    start("\"domains\":[{\"domain\":\"d1\",\"pattern\":\"common\"}]");
    const std::string role = header() + ",\"role\":\"master\",\"status\":\"success\"}";
    const std::string list =
        "{\"version\":\"2.1\",\"domains\":[{\"name\":\"d1\",\"config\":\"common\","
        "\"time_zone\":\"\"}]}";
    const int clients = 200;
    std::vector<std::string> replies(clients);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < clients)
                std::this_thread::yield();
            replies[i] = ask(i % 2 ? "{\"vrrp\":{}}"
                                   : "{\"cfg\":{\"operation\":\"get\",\"level\":\"domain\"}}");
        });
    }
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < clients; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(i % 2 ? role : list, replies[i]);
    }
}

}  // namespace
