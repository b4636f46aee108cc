// The real binary's web API as its clients see it, over plain HTTP and over
// HTTPS with a certificate made for the test: management requests answered
// as over TCP, the answers to every other request, the web files and their
// types, the cap on a request body, kept-alive connections, and idle or slow
// peers that must not lock an operator out.
#include "HttpClient.h"
#include "Version.h"
#include "WendaraProcess.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::HttpConnection;
using testsupport::HttpResponse;
using testsupport::WendaraProcess;
using namespace std::chrono_literals;

std::string hostname()
{
    char name[1024] = {0};
    ::gethostname(name, sizeof name - 1);
    return name;
}

// What every reply to an "rrm" or "vrrp" request begins with.
std::string header()
{
    return "{\"version\":\"2.1\",\"server\":\"" + hostname() + "\",\"wendara_version\":\"" +
           rrm::WENDARA_VERSION + "\"";
}

std::string post(const std::string& body, const std::string& path = "/")
{
    return "POST " + path + " HTTP/1.1\r\nHost: t\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

class ProgramWebApi : public ::testing::Test {
protected:
    void start(const std::string& global = "")
    {
        p.write_logger_config();
        p.write_config(global);
        p.start({p.config_path()});
        ASSERT_TRUE(p.wait_for_port(p.api_port)) << p.stderr_text();
        ASSERT_TRUE(p.wait_for_port(p.cli_port)) << p.stderr_text();
    }
    void TearDown() override
    {
        if (!p.running())
            return;
        p.interrupt();
        EXPECT_EQ(0, p.wait(60s).code) << p.stderr_text();
    }
    std::string url(const std::string& path, const char* scheme = "http") const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(p.api_port) + path;
    }
    // curl's first response to these arguments.
    static HttpResponse curl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-sS", "-i", "--max-time", "30"});
        return testsupport::parse_http_text(testsupport::run_curl(args).out);
    }
    HttpResponse exchange(const std::string& request)
    {
        HttpConnection connection(p.api_port);
        connection.send(request);
        return connection.read_response(30s);
    }

    WendaraProcess p;
};

TEST_F(ProgramWebApi, ManagementRequestsAreAnsweredAsOverTcp)
{
    start();
    struct Case {
        std::string request;
        std::string reply;
    };
    const Case cases[] = {
        {"{\"rrm\":{}}", header() + ",\"domains\":[]}"},
        {"{\"rrm\":{\"domain\":\"nowhere\"}}", header() + ",\"error\":\"domain not found\"}"},
        {"{\"vrrp\":{}}", header() + ",\"role\":\"master\",\"status\":\"success\"}"},
        {"{\"cfg\":{\"operation\":\"get\",\"level\":\"pattern\"}}",
         "{\"version\":\"2.1\",\"patterns\":[{\"name\":\"common\"}]}"},
        // Only the first of "cfg", "rrm" and "vrrp" counts.
        {"{\"vrrp\":{},\"rrm\":{}}", header() + ",\"domains\":[]}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        const HttpResponse reply = curl({"-d", c.request, url("/")});
        EXPECT_EQ(200, reply.status);
        EXPECT_EQ("application/json", reply.header("content-type"));
        EXPECT_EQ(std::to_string(c.reply.size()), reply.header("content-length"));
        EXPECT_EQ(c.reply, reply.body);
        EXPECT_EQ(c.reply, testsupport::tcp_exchange(p.cli_port, c.request, 30s));
    }

    // A change made over HTTP is what the TCP API sees, and the other way.
    HttpResponse added = curl({"-d",
                               "{\"cfg\":{\"operation\":\"add\",\"level\":\"domain\",\"domain\":"
                               "\"site-1\",\"config\":{\"pattern\":\"common\"}}}",
                               url("/any/path")});
    EXPECT_EQ(200, added.status) << added.body;
    testsupport::tcp_exchange(
        p.cli_port,
        "{\"cfg\":{\"operation\":\"add\",\"level\":\"domain\",\"domain\":\"site-2\",\"config\":{"
        "\"pattern\":\"common\",\"time_zone\":\"+02:00\"}}}",
        30s);
    const std::string domains =
        "{\"version\":\"2.1\",\"domains\":[{\"name\":\"site-1\",\"config\":\"common\","
        "\"time_zone\":\"\"},{\"name\":\"site-2\",\"config\":\"common\",\"time_zone\":\"+02:00\"}]}";
    const std::string get = "{\"cfg\":{\"operation\":\"get\",\"level\":\"domain\"}}";
    EXPECT_EQ(domains, curl({"-d", get, url("/")}).body);
    EXPECT_EQ(domains, testsupport::tcp_exchange(p.cli_port, get, 30s));
}

TEST_F(ProgramWebApi, UnusableRequestsAreAnswered400)
{
    start();
    struct Case {
        const char* what;
        std::string request;
    };
    const Case cases[] = {
        {"not JSON", post("hello")},
        {"JSON but not an object", post("[{\"rrm\":{}}]")},
        {"a number", post("5")},
        {"no known member", post("{\"show\":{}}")},
        {"a configuration command without a reply", post("{\"cfg\":{}}")},
        {"a NUL byte behind a request", post(std::string("{\"rrm\":{}}\0{}", 13))},
        {"an empty body", post("")},
        {"a length that is not a number",
         "POST / HTTP/1.1\r\nContent-Length: ten\r\n\r\n{\"rrm\":{}}"},
        {"a negative length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n{}"},
        {"a length beyond any number", "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(400, exchange(c.request).status);
    }
    EXPECT_TRUE(p.wait_for_log("WARNING server/ApiWeb.cpp process_request_body: Receive "
                               "corrupted JSON-request.\n"));
    // The server goes on.
    EXPECT_EQ(header() + ",\"domains\":[]}", exchange(post("{\"rrm\":{}}")).body);
}

TEST_F(ProgramWebApi, EveryOtherRequestIsAnswered)
{
    start();
    testsupport::put_file(p.www_path() + "/index.html", "<p>wendara</p>");
    // What a new user tries first.
    const HttpResponse first = curl({url("/")});
    EXPECT_EQ(404, first.status);

    struct Case {
        const char* what;
        std::string request;
        int status;
    };
    const std::string rrm = "{\"rrm\":{}}";
    const Case cases[] = {
        {"an unknown path", "GET /api/domains HTTP/1.1\r\nHost: t\r\n\r\n", 404},
        {"a missing web file", "GET /www/wendara/missing.js HTTP/1.1\r\nHost: t\r\n\r\n", 404},
        {"beside the mount point", "GET /www/wendarax/index.html HTTP/1.1\r\nHost: t\r\n\r\n",
         404},
        {"HEAD of an unknown path", "HEAD / HTTP/1.1\r\nHost: t\r\n\r\n", 404},
        {"DELETE without a body", "DELETE / HTTP/1.1\r\nHost: t\r\n\r\n", 400},
        {"OPTIONS", "OPTIONS / HTTP/1.1\r\nHost: t\r\n\r\n", 400},
        {"PUT with a length of 0", "PUT / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 400},
        // A body without a length would be read up to the library's 100 MiB.
        {"POST without a length", "POST / HTTP/1.1\r\nHost: t\r\n\r\n" + rrm, 411},
        {"a chunked body",
         "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\na\r\n" + rrm + "\r\n0\r\n\r\n",
         411},
        {"a WebSocket upgrade",
         "GET / HTTP/1.1\r\nHost: t\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n",
         400},
        // The method and the path of an API request are not looked at.
        {"PUT with a request", "PUT /x HTTP/1.1\r\nContent-Length: 10\r\n\r\n" + rrm, 200},
        {"GET with a request", "GET / HTTP/1.1\r\nContent-Length: 10\r\n\r\n" + rrm, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.status, exchange(c.request).status);
    }
}

TEST_F(ProgramWebApi, WebFilesAreServedWithTheirTypes)
{
    start();
    const std::string www = p.www_path();
    ASSERT_EQ(0, ::mkdir((www + "/sub").c_str(), 0755));
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    struct File {
        const char* name;
        std::string content;
        const char* type;  // the library's own table of types
    };
    const File files[] = {
        {"index.html", "<html>wendara</html>", "text/html"},
        {"app.js", "var x = 1;", "text/javascript"},
        {"style.css", "p { color: red }", "text/css"},
        {"data.json", "{\"a\":1}", "application/json"},
        {"logo.png", png, "image/png"},
        {"icon.svg", "<svg/>", "image/svg+xml"},
        {"notes.txt", "plain", "text/plain"},
        {"sub/index.html", "<p>sub</p>", "text/html"},
        {"sub/page.htm", "<p>page</p>", "text/html"},
    };
    for (const File& f : files)
        testsupport::put_file(www + "/" + f.name, f.content);
    for (const File& f : files) {
        SCOPED_TRACE(f.name);
        const HttpResponse got = curl({url(std::string("/www/wendara/") + f.name)});
        EXPECT_EQ(200, got.status);
        EXPECT_EQ(f.type, got.header("content-type"));
        EXPECT_EQ(std::to_string(f.content.size()), got.header("content-length"));
        EXPECT_TRUE(got.body == f.content);
    }
    // The default document of the mount point (the library sends a client
    // that leaves out the last slash there first) and of a folder under it.
    const HttpResponse bare = curl({url("/www/wendara")});
    EXPECT_EQ(301, bare.status);
    EXPECT_EQ(url("/www/wendara/"), bare.header("location"));
    HttpResponse followed = curl({"-L", url("/www/wendara")});
    while (followed.status == 301)  // curl -i shows every response it followed
        followed = testsupport::parse_http_text(followed.body);
    EXPECT_EQ(200, followed.status);
    EXPECT_EQ("<html>wendara</html>", followed.body);
    EXPECT_EQ("<html>wendara</html>", curl({url("/www/wendara/")}).body);
    EXPECT_EQ("<p>sub</p>", curl({url("/www/wendara/sub/")}).body);

    // A file of a type the library does not know is refused, not guessed.
    testsupport::put_file(www + "/blob.bin", "data");
    EXPECT_EQ(415, curl({url("/www/wendara/blob.bin")}).status);

    // Nothing above the folder: the configuration lies next to it.
    for (const char* path : {"/www/wendara/../wendara.conf", "/www/wendara/%2e%2e/wendara.conf",
                             "/www/wendara/sub/../../wendara.conf"}) {
        SCOPED_TRACE(path);
        const HttpResponse got = curl({"--path-as-is", url(path)});
        EXPECT_EQ(404, got.status);
        EXPECT_EQ(std::string::npos, got.body.find("api_port"));
    }

    // A peer that asks for the close gets it as soon as the file is sent,
    // not when the library's 5 s timeouts would end the connection.
    HttpConnection once(p.api_port);
    ASSERT_TRUE(once.send("GET /www/wendara/app.js HTTP/1.0\r\n\r\n"));
    EXPECT_EQ("var x = 1;", once.read_response(30s).body);
    EXPECT_TRUE(once.wait_closed(4s));
}

TEST_F(ProgramWebApi, KeptAliveConnectionCarriesRequestsInTurn)
{
    start();
    HttpConnection c(p.api_port);
    ASSERT_TRUE(c.send(post("{\"vrrp\":{}}")));
    EXPECT_EQ(header() + ",\"role\":\"master\",\"status\":\"success\"}",
              c.read_response(30s).body);
    // The second body is read afresh: with the first in front of it, it
    // would not parse.
    ASSERT_TRUE(c.send(post("{\"rrm\":{}}")));
    EXPECT_EQ(header() + ",\"domains\":[]}", c.read_response(30s).body);
    ASSERT_TRUE(c.send("GET /nothing HTTP/1.1\r\nHost: t\r\n\r\n"));
    EXPECT_EQ(404, c.read_response(30s).status);

    // A body sent in pieces is answered once, after the last piece.
    const std::string request = post("{\"rrm\":{}}");
    ASSERT_TRUE(c.send(request.substr(0, request.size() - 4)));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(c.send(request.substr(request.size() - 4)));
    EXPECT_EQ(header() + ",\"domains\":[]}", c.read_response(30s).body);
    EXPECT_EQ(0, c.read_response(1s).status);
}

TEST_F(ProgramWebApi, ABodyOverOneMebibyteIsRefused)
{
    start();
    const std::string rrm = "{\"rrm\":{}}";
    const std::string domains = header() + ",\"domains\":[]}";

    // 1 MiB = 1048576 bytes: the largest body taken.
    const std::string largest = rrm + std::string(1048576 - rrm.size(), ' ');
    HttpResponse got = exchange(post(largest));
    EXPECT_EQ(200, got.status);
    EXPECT_EQ(domains, got.body);

    // One byte more is refused from its length alone, before any of it is
    // sent, and the connection closed.
    HttpConnection over(p.api_port);
    ASSERT_TRUE(over.send("POST / HTTP/1.1\r\nHost: t\r\nContent-Length: 1048577\r\n\r\n"));
    EXPECT_EQ(413, over.read_response(30s).status);
    EXPECT_TRUE(over.wait_closed(30s));

    // 100 MiB sent regardless: the server closes the connection long before
    // it is through, instead of taking it all in.
    const size_t total = 100u << 20;
    HttpConnection flood(p.api_port);
    ASSERT_TRUE(flood.send("POST / HTTP/1.1\r\nHost: t\r\nContent-Length: " +
                           std::to_string(total) + "\r\n\r\n"));
    const std::string chunk(1 << 20, 'x');
    size_t sent_total = 0;
    for (;;) {
        size_t sent = 0;
        const bool all = flood.send(chunk, &sent);
        sent_total += sent;
        if (!all || sent_total >= total)
            break;
    }
    EXPECT_LT(sent_total, total);

    // And it goes on serving.
    got = curl({"-d", rrm, url("/")});
    EXPECT_EQ(200, got.status);
    EXPECT_EQ(domains, got.body);
}

TEST_F(ProgramWebApi, IdleAndSlowConnectionsDoNotLockAnOperatorOut)
{
    start();
    const std::string rrm = "{\"rrm\":{}}";
    const std::string domains = header() + ",\"domains\":[]}";

    std::vector<std::unique_ptr<HttpConnection>> idle, slow_head, slow_body;
    for (int i = 0; i < 100; ++i)
        idle.push_back(std::make_unique<HttpConnection>(p.api_port));
    for (int i = 0; i < 40; ++i) {
        slow_head.push_back(std::make_unique<HttpConnection>(p.api_port));
        slow_body.push_back(std::make_unique<HttpConnection>(p.api_port));
        slow_body.back()->send("POST / HTTP/1.1\r\nHost: t\r\nContent-Length: 1000\r\n\r\n{");
    }
    // The slow ones send a byte of their request every 200 ms: the head
    // takes 10 s, the body 200 s.
    const std::string head = post(rrm);
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (size_t at = 0; !stop.load(); ++at) {
            for (auto& c : slow_head)
                if (at < head.size())
                    ::send(c->fd(), head.data() + at, 1, MSG_NOSIGNAL);
            for (auto& c : slow_body)
                ::send(c->fd(), " ", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(200ms);
        }
    });
    std::this_thread::sleep_for(1s);

    // 180 connections open, 80 of them sending: operators get through, now
    // and while the idle ones are being timed out.
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE(attempt);
        const HttpResponse got = curl({"-d", rrm, url("/")});
        EXPECT_EQ(200, got.status);
        EXPECT_EQ(domains, got.body);
        std::this_thread::sleep_for(2s);
    }

    // None of them holds its connection for long: the idle ones and the
    // slow heads after a few seconds, the slow bodies after 30 s.
    for (auto* group : {&idle, &slow_head, &slow_body})
        for (auto& c : *group)
            EXPECT_TRUE(c->wait_closed(90s));
    stop.store(true);
    trickle.join();
    EXPECT_EQ(domains, curl({"-d", rrm, url("/")}).body);
}

class ProgramWebApiHttps : public ProgramWebApi {
protected:
    // A self-signed certificate for 127.0.0.1 and its key, made with
    // openssl where the server reads them.
    void make_certificate()
    {
        const std::string folder = p.etc() / "cert";
        ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
        const testsupport::ProgramResult made = testsupport::run_program(
            {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
             "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
             folder + "/server.key.pem", "-out", folder + "/server.pem"});
        ASSERT_EQ(0, made.exit_code) << made.err;
        cert = folder + "/server.pem";
    }
    std::string cert;
};

TEST_F(ProgramWebApiHttps, HttpsWithTheConfiguredCertificate)
{
    make_certificate();
    start("\"use_https\":1");
    const std::string rrm = "{\"rrm\":{}}";
    // curl checks the server against the certificate made above.
    HttpResponse got = curl({"--cacert", cert, "-d", rrm, url("/", "https")});
    EXPECT_EQ(200, got.status);
    EXPECT_EQ("application/json", got.header("content-type"));
    EXPECT_EQ(header() + ",\"domains\":[]}", got.body);

    // A client that would rather speak HTTP/2 gets HTTP/1.1, whose single
    // response carries the reply.
    got = curl({"--cacert", cert, "--http2", "-d", rrm, url("/", "https")});
    EXPECT_EQ(200, got.status);
    EXPECT_EQ(header() + ",\"domains\":[]}", got.body);

    EXPECT_EQ(400, curl({"--cacert", cert, "-d", "hello", url("/", "https")}).status);
    EXPECT_EQ(404, curl({"--cacert", cert, url("/nothing", "https")}).status);

    testsupport::put_file(p.www_path() + "/index.html", "<p>secure</p>");
    got = curl({"--cacert", cert, url("/www/wendara/", "https")});
    EXPECT_EQ(200, got.status);
    EXPECT_EQ("text/html", got.header("content-type"));
    EXPECT_EQ("<p>secure</p>", got.body);

    // Plain HTTP on the same port is sent to HTTPS.
    got = curl({url("/www/wendara/")});
    EXPECT_EQ(301, got.status);
    EXPECT_EQ("https://127.0.0.1:" + std::to_string(p.api_port) + "/", got.header("location"));
}

TEST_F(ProgramWebApiHttps, HttpsWithoutItsCertificateIsAStartupErrorNamingPortAndHttps)
{
    p.write_logger_config();
    p.write_config("\"use_https\":1");
    p.start({p.config_path()});
    const WendaraProcess::Exit exit = p.wait(30s);
    EXPECT_TRUE(exit.exited) << p.stderr_text();
    EXPECT_EQ(1, exit.code);
    const std::string message =
        "Cannot create the web API server on port " + std::to_string(p.api_port) +
        " with HTTPS (certificate /etc/tavik-wendara/cert/server.pem, key "
        "/etc/tavik-wendara/cert/server.key.pem)";
    const std::string err = p.stderr_text();
    EXPECT_NE(std::string::npos, ("\n" + err).find("\nwendara: main: " + message + "\n")) << err;
    const std::string logs = p.all_logs_text();
    EXPECT_NE(std::string::npos, logs.find("ERROR server/main.cpp main: " + message + "\n"))
        << logs;
}

}  // namespace
