// The TCP management API's socket and poll loop over real loopback
// connections: one request and one reply per connection, a listening port
// that cannot be had, and a stop that the loop notices within a poll wait.
#include "ApiCli.h"

#include "Config.h"
#include "ElppCapture.h"
#include "RRM.h"
#include "TestConfig.h"
#include "VrrpWorker.h"
#include "WendaraProcess.h"

#include "FrontEndFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testsupport::ElppCapture;

class ApiCliTest : public testsupport::FrontEndFixture {
protected:
    void SetUp() override
    {
        FrontEndFixture::SetUp();
        build();
    }
};

TEST_F(ApiCliTest, AnswersOneRequestPerConnectionAndStopsWithinAPollWait)
{
    ElppCapture capture;
    ApiCli cli(registry.get(), vrrp.get());
    ASSERT_TRUE(cli.is_running());
    std::thread loop([&] { cli.run(); });

    // A client that connects and leaves without a word gets nothing and
    // does not disturb the next ones.
    EXPECT_EQ("", testsupport::tcp_exchange(files.cli_port, ""));
    // Until the command processor comes, no handler answers.
    EXPECT_EQ("{\"status\":\"error\"}", testsupport::tcp_exchange(files.cli_port, "{\"rrm\":{}}"));
    EXPECT_EQ("{\"status\":\"error\"}", testsupport::tcp_exchange(files.cli_port, "not json"));
    // Longer than one receive takes: cut at 4095 bytes, so it does not parse.
    const std::string long_request = "{\"cfg\":\"" + std::string(5000, 'x') + "\"}";
    EXPECT_EQ("{\"status\":\"error\"}", testsupport::tcp_exchange(files.cli_port, long_request));

    EXPECT_EQ(1u, capture.count("REQUEST STR: {\"rrm\":{}}"));
    EXPECT_EQ(2u, capture.count("REQUEST STR: null"));

    const auto asked = std::chrono::steady_clock::now();
    cli.stop();
    loop.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
    EXPECT_FALSE(cli.is_running());
}

TEST_F(ApiCliTest, PortInUseIsLoggedAndLeavesTheApiNotRunning)
{
    int port = 0;
    const int holder = testsupport::bind_free_port(port);
    ASSERT_EQ(0, ::listen(holder, 1));
    // Same address family and any address, as the API binds.
    files.cli_port = port;
    files.write_config();
    config = std::make_unique<rrm::GlobalConfig>(files.config_path());
    registry = std::make_unique<rrm::RRM>(config.get());
    vrrp = std::make_unique<VrrpWorker>(registry.get(), config.get());

    ElppCapture capture;
    {
        // The port is held on 127.0.0.1; the API binds every address.
        ApiCli cli(registry.get(), vrrp.get());
        EXPECT_FALSE(cli.is_running());
        EXPECT_EQ(1u, capture.count("bind: Address already in use"));
        // Returns at once.
        cli.run();
    }
    ::close(holder);
}

}  // namespace
