// The web API's server and service loop: passes while idle, a stop from
// another thread, a port that cannot be had, the web files, the VRRP timers
// fired between passes; connection states that must neither make the loop
// spin nor leave a session behind; handlers that throw or answer at length.
#include "ApiWeb.h"

#include "Config.h"
#include "ElppCapture.h"
#include "RRM.h"
#include "TestConfig.h"
#include "VrrpWorker.h"
#include "WendaraProcess.h"

#include "FrontEndFixture.h"
#include "HttpClient.h"
#include "JsonReader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// libwebsockets 4.1 keeps one internal allocation when lws_create_context
// fails (see tests/lsan.supp).
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libwebsockets.so\n";
}
#endif

namespace {

using namespace std::chrono_literals;
using testsupport::LogFolder;

class ApiWebTest : public testsupport::FrontEndFixture {};

using testsupport::HttpConnection;
using testsupport::HttpResponse;

// The web API with the request handlers replaced by a test's own.
class ScriptedWeb : public ApiWeb {
public:
    using ApiWeb::ApiWeb;
    std::function<char*(const rrm::JsonReader&)> answer;

protected:
    char* dispatch(const rrm::JsonReader& request) override
    {
        return answer ? answer(request) : ApiWeb::dispatch(request);
    }
};

// Runs a web API's loop on a thread of its own for the life of the object.
class Loop {
public:
    explicit Loop(ApiWeb& web) : web_(web), thread_([this] { web_.run(); }) {}
    ~Loop()
    {
        web_.request_stop();
        thread_.join();
    }

private:
    ApiWeb& web_;
    std::thread thread_;
};

std::string post(const std::string& body)
{
    return "POST / HTTP/1.1\r\nHost: t\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

TEST_F(ApiWebTest, IdleLoopPassesAboutTenTimesASecondAndStopsOnRequest)
{
    build();
    ApiWeb web(registry.get(), vrrp.get());
    ASSERT_TRUE(web.is_running());
    std::thread loop([&] { web.run(); });
    std::this_thread::sleep_for(2s);
    const uint64_t passes = web.passes();
    const auto asked = std::chrono::steady_clock::now();
    web.request_stop();
    loop.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    // 100 ms a pass: about 20. Neither stuck in one wait nor spinning.
    EXPECT_GE(passes, 5u);
    EXPECT_LE(passes, 60u);
}

TEST_F(ApiWebTest, PortInUseLeavesTheApiNotRunningAndRunReturnsAtOnce)
{
    int port = 0;
    const int holder = testsupport::bind_free_port(port);
    ASSERT_EQ(0, ::listen(holder, 1));
    files.api_port = port;
    build();
    testsupport::ElppCapture capture;
    {
        ApiWeb web(registry.get(), vrrp.get());
        EXPECT_FALSE(web.is_running());
        web.run();
        EXPECT_EQ(0u, web.passes());
    }
    // The front end itself logs nothing about it.
    EXPECT_TRUE(capture.records().empty());
    ::close(holder);
}

TEST_F(ApiWebTest, ServesTheWebFilesUnderTheMountPoint)
{
    build();
    testsupport::put_file(files.www_path() + "/index.html", "<p>wendara</p>");
    testsupport::put_file(files.www_path() + "/app.js", "var x = 1;");
    ApiWeb web(registry.get(), vrrp.get());
    ASSERT_TRUE(web.is_running());
    std::thread loop([&] { web.run(); });
    const std::string index =
        testsupport::tcp_exchange(files.api_port, "GET /www/wendara/ HTTP/1.0\r\n\r\n", 5s);
    const std::string script = testsupport::tcp_exchange(
        files.api_port, "GET /www/wendara/app.js HTTP/1.0\r\n\r\n", 5s);
    web.request_stop();
    loop.join();
    EXPECT_EQ(0u, index.find("HTTP/1.0 200")) << index;
    EXPECT_NE(std::string::npos, index.find("\r\n\r\n<p>wendara</p>")) << index;
    EXPECT_NE(std::string::npos, script.find("\r\n\r\nvar x = 1;")) << script;
}

TEST_F(ApiWebTest, VrrpBackupTimerFiresBetweenPasses)
{
    build("\"vrrp_enabled\":1,\"vrrp_timeout\":1");
    ApiWeb web(registry.get(), vrrp.get());
    ASSERT_TRUE(web.is_running());
    std::thread loop([&] { web.run(); });
    vrrp->schedule_domain_backup("lab");
    EXPECT_EQ(std::set<std::string>{"lab"}, vrrp->pending());
    // The run takes the pending domains (a domain without a worker gets no
    // file) and creates the backup folder.
    const bool ran = testsupport::wait_until(
        [&] { return vrrp->pending().empty() && LogFolder::exists(files.backup_path()); }, 10s);
    web.request_stop();
    loop.join();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(LogFolder::exists(files.backup_path() + "/lab.json"));
}

}  // namespace

namespace {

// A reply far larger than the socket buffers of a peer that reads 4 KiB.
const std::string kLargeReply = "{\"large\":\"" + std::string(8 << 20, 'x') + "\"}";

char* large_reply(const rrm::JsonReader&)
{
    return ::strdup(kLargeReply.c_str());
}

TEST_F(ApiWebTest, NoConnectionStateMakesTheLoopSpin)
{
    build();
    // Larger than what loopback buffers hold for a peer that does not read.
    testsupport::put_file(files.www_path() + "/large.txt", std::string(24 << 20, 'f'));
    ScriptedWeb web(registry.get(), vrrp.get());
    ASSERT_TRUE(web.is_running());
    web.answer = large_reply;
    Loop loop(web);

    struct Case {
        const char* name;
        std::function<void(std::vector<std::unique_ptr<HttpConnection>>&)> open;
    };
    const auto one = [&](const std::string& bytes, int rcvbuf = 0, bool half_close = false) {
        return [&web, bytes, rcvbuf, half_close](std::vector<std::unique_ptr<HttpConnection>>& c) {
            c.push_back(std::make_unique<HttpConnection>(web.port(), rcvbuf));
            c.back()->send(bytes);
            if (half_close)
                ::shutdown(c.back()->fd(), SHUT_WR);
        };
    };
    const std::string file = "GET /www/wendara/large.txt HTTP/1.1\r\nHost: t\r\n\r\n";
    const std::vector<Case> cases = {
        {"idle", one("")},
        {"partial head", one("GET / HT")},
        {"head, body still to come", one("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n{")},
        {"answered, kept alive", one("GET /nothing HTTP/1.1\r\nHost: t\r\n\r\n")},
        {"half-closed after its request", one("GET / HTTP/1.1\r\n\r\n", 0, true)},
        {"half-closed inside a body",
         one("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n{", 0, true)},
        {"a large file, not read", one(file, 4096)},
        // The library keeps what follows a request whose answer is still
        // being sent, and would service it on every pass.
        {"pipelined behind a large file, not read", one(file + file + file, 4096)},
        {"a large reply, not read", one(post("{}"), 4096)},
        {"pipelined behind a large reply, not read", one(post("{}") + post("{}"), 4096)},
        {"trailing bytes behind a large reply, not read", one(post("{}") + "\r\n", 4096)},
    };
    for (const Case& c : cases) {
        std::vector<std::unique_ptr<HttpConnection>> connections;
        c.open(connections);
        std::this_thread::sleep_for(500ms);
        const uint64_t before = web.service_calls();
        std::this_thread::sleep_for(1s);
        const uint64_t calls = web.service_calls() - before;
        // About ten a second while idle (one wake-up every 100 ms); a loop
        // that spins makes thousands.
        EXPECT_LE(calls, 100u) << c.name;
    }
}

// An openssl s_client connected to the server over TLS: it sends the bytes
// given, and its output is never read, so once the pipe to the test is full
// it stops reading the connection: a TLS peer that does not read.
class TlsPeer {
public:
    TlsPeer(int port, const std::string& bytes)
    {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        const std::string target = "127.0.0.1:" + std::to_string(port);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(out[1], 2);
            ::execlp("openssl", "openssl", "s_client", "-quiet", "-connect", target.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
        if (!bytes.empty() && ::write(input_, bytes.data(), bytes.size()) < 0)
            ADD_FAILURE() << "cannot hand the request to s_client";
    }
    ~TlsPeer()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (input_ >= 0)
            ::close(input_);
        if (output_ >= 0)
            ::close(output_);
    }
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

TEST_F(ApiWebTest, NoTlsConnectionStateMakesTheLoopSpin)
{
    build("\"use_https\":1");
    const testsupport::ProgramResult made = testsupport::run_program(
        {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=127.0.0.1", "-keyout", files.work() / "key.pem", "-out",
         files.work() / "cert.pem"});
    ASSERT_EQ(0, made.exit_code) << made.err;
    testsupport::put_file(files.www_path() + "/large.txt", std::string(24 << 20, 'f'));
    ScriptedWeb web(registry.get(), vrrp.get(), files.work() / "cert.pem",
                    files.work() / "key.pem");
    ASSERT_TRUE(web.is_running());
    web.answer = large_reply;
    Loop loop(web);

    const std::string file = "GET /www/wendara/large.txt HTTP/1.1\r\nHost: t\r\n\r\n";
    struct Case {
        const char* name;
        std::function<std::shared_ptr<void>()> open;
    };
    const auto tcp = [&web](const std::string& bytes) {
        return [&web, bytes]() -> std::shared_ptr<void> {
            auto c = std::make_shared<HttpConnection>(web.port());
            c->send(bytes);
            return c;
        };
    };
    const auto tls = [&web](const std::string& bytes) {
        return [&web, bytes]() -> std::shared_ptr<void> {
            return std::make_shared<TlsPeer>(web.port(), bytes);
        };
    };
    const std::vector<Case> cases = {
        {"no handshake", tcp("")},
        {"part of a handshake", tcp(std::string("\x16\x03\x01\x02\x00\x01", 6))},
        {"plain HTTP, partial head", tcp("GET / HT")},
        {"TLS, partial head", tls("GET / HT")},
        {"TLS, body still to come", tls("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n{")},
        {"TLS, a large file, not read", tls(file)},
        {"TLS, pipelined behind a large file, not read", tls(file + file + file)},
        {"TLS, pipelined behind a large reply, not read", tls(post("{}") + post("{}"))},
    };
    for (const Case& c : cases) {
        const std::shared_ptr<void> peer = c.open();
        std::this_thread::sleep_for(1s);
        const uint64_t before = web.service_calls();
        std::this_thread::sleep_for(1s);
        EXPECT_LE(web.service_calls() - before, 100u) << c.name;
    }
}

TEST_F(ApiWebTest, EveryConnectionLeavesNoSessionBehind)
{
    build();
    ApiWeb web(registry.get(), vrrp.get());
    ASSERT_TRUE(web.is_running());
    Loop loop(web);
    // Connections the server keeps for now, closed by their peers, most of
    // them before any request was complete.
    {
        std::vector<std::unique_ptr<HttpConnection>> connections;
        for (const std::string& bytes :
             {std::string(), std::string("GET / HT"),
              std::string("POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\n{"),
              std::string("GET /x HTTP/1.1\r\n\r\n"), post("{\"rrm\":{}}")}) {
            connections.push_back(std::make_unique<HttpConnection>(web.port()));
            connections.back()->send(bytes);
        }
        EXPECT_TRUE(testsupport::wait_until([&] { return web.session_count() == 5; }, 10s))
            << web.session_count();
    }
    EXPECT_TRUE(testsupport::wait_until([&] { return web.session_count() == 0; }, 10s))
        << web.session_count();

    // Connections the server closes: garbage, an unusable request, and one
    // that sends nothing until it times out.
    std::vector<std::unique_ptr<HttpConnection>> connections;
    for (const std::string& bytes :
         {std::string("\x16\x03\x01garbage\r\n\r\n"), post("not json"), std::string()}) {
        connections.push_back(std::make_unique<HttpConnection>(web.port()));
        connections.back()->send(bytes);
    }
    for (auto& c : connections)
        EXPECT_TRUE(c->wait_closed(30s));
    EXPECT_TRUE(testsupport::wait_until([&] { return web.session_count() == 0; }, 10s))
        << web.session_count();
}

TEST_F(ApiWebTest, AHandlerThatThrowsClosesItsConnectionAndTheServerGoesOn)
{
    build();
    ScriptedWeb web(registry.get(), vrrp.get());
    ASSERT_TRUE(web.is_running());
    web.answer = [](const rrm::JsonReader& request) -> char* {
        if (request.has("cfg"))
            throw std::runtime_error("handler failed");
        return ::strdup("{\"fine\":1}");
    };
    testsupport::ElppCapture capture;
    Loop loop(web);

    HttpConnection failing(web.port());
    ASSERT_TRUE(failing.send(post("{\"cfg\":{}}")));
    EXPECT_EQ(0, failing.read_response(20s).status);
    EXPECT_TRUE(failing.wait_closed(20s));
    bool logged = false;
    for (const auto& r : capture.records())
        if (r.level == el::Level::Error &&
            r.text == "Exception at processing message on websock-server-worker: handler failed")
            logged = true;
    EXPECT_TRUE(logged);

    HttpConnection next(web.port());
    ASSERT_TRUE(next.send(post("{\"rrm\":{}}")));
    const HttpResponse reply = next.read_response(20s);
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("{\"fine\":1}", reply.body);
}

TEST_F(ApiWebTest, ALargeReplyReachesASlowReaderWholeAndWhatFollowedItClosesTheConnection)
{
    build();
    ScriptedWeb web(registry.get(), vrrp.get());
    ASSERT_TRUE(web.is_running());
    web.answer = large_reply;
    Loop loop(web);

    // Alone on its connection: the reply whole, and the connection kept.
    HttpConnection alone(web.port(), 4096);
    ASSERT_TRUE(alone.send(post("{\"rrm\":{}}")));
    std::this_thread::sleep_for(1s);
    HttpResponse reply = alone.read_response(60s);
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ(std::to_string(kLargeReply.size()), reply.header("content-length"));
    EXPECT_TRUE(reply.body == kLargeReply);
    ASSERT_TRUE(alone.send(post("{\"rrm\":{}}")));
    EXPECT_EQ(200, alone.read_response(60s).status);

    // A second request sent behind the first, while its reply is still on
    // its way: the first reply whole, then the server closes (the peer
    // sends the second again on a new connection).
    HttpConnection pipelined(web.port(), 4096);
    ASSERT_TRUE(pipelined.send(post("{\"rrm\":{}}") + post("{\"rrm\":{}}")));
    std::this_thread::sleep_for(1s);
    reply = pipelined.read_response(60s);
    EXPECT_EQ(200, reply.status);
    EXPECT_TRUE(reply.body == kLargeReply);
    // No answer to what the library would read wrongly: just the close.
    EXPECT_EQ(0, pipelined.read_response(20s).status);
    EXPECT_TRUE(pipelined.wait_closed(20s));
}

}  // namespace
