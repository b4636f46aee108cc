// The web API's server and service loop: passes while idle, a stop from
// another thread, a port that cannot be had, the web files, and the VRRP
// timers fired between passes.
#include "ApiWeb.h"

#include "Config.h"
#include "ElppCapture.h"
#include "RRM.h"
#include "TestConfig.h"
#include "VrrpWorker.h"
#include "WendaraProcess.h"

#include "FrontEndFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

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
