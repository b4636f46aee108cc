// The command processor on two threads at once, as the CLI and web front
// ends run it, while AP subscriptions keep making domain workers: pattern
// and domain changes that remove workers, domain lists and AP queries that
// look into them, and the configuration file rewritten by every command.
// Nothing may deadlock, race (TSan) or lose a command's reply.
#include "Api.h"

#include "Config.h"
#include "JsonReader.h"
#include "LogCapture.h"
#include "TestConfig.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::TestRegistry;

// A front end without a socket: the test's threads hand it requests.
class DirectApi : public rrm::Api {
public:
    using rrm::Api::Api;
    void connect() override {}
    void run() override {}
    std::string ask(const std::string& request)
    {
        char* reply = process_request(rrm::JsonReader(request.c_str()));
        if (!reply)
            return "";
        std::string text = reply;
        std::free(reply);
        return text;
    }
};

std::string subscribe(const std::string& domain, int n)
{
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:00:00:%02X", n & 0xFF);
    return R"({"service":"rrm","cmd":"subscribe-request","version":"2.4","domain":")" + domain +
           R"(","ap-mac":")" + mac + "\"}";
}

TEST(ManagementConcurrency, CommandsFromTwoThreadsWhileWorkersComeAndGo)
{
    testsupport::LogCapture capture;
    testsupport::TestConfig files;
    files.write_config("",
                       "\"patterns\":[{\"pattern\":\"office\"}],"
                       "\"domains\":[{\"domain\":\"d1\",\"pattern\":\"office\"},"
                       "{\"domain\":\"d2\",\"pattern\":\"office\"},"
                       "{\"domain\":\"d3\",\"pattern\":\"common\"}]");
    rrm::GlobalConfig config(files.config_path());
    TestRegistry registry(&config);
    DirectApi cli(&registry);
    DirectApi web(&registry);

    std::atomic<bool> done{false};
    std::atomic<int> routed{0};
    std::thread router([&] {
        int n = 0;
        while (!done.load()) {
            for (const char* domain : {"d1", "d2", "d3"})
                registry.process_incoming_message(rrm::JsonReader(subscribe(domain, n).c_str()),
                                                  BaseSession{nullptr, 0, uint32_t(n + 1)});
            ++n;
            routed.fetch_add(1);
            // A steady stream rather than a flood: the domain workers
            // answer each subscription, and what arrives while a command
            // holds a domain back is routed after it.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::thread reader([&] {
        while (!done.load()) {
            EXPECT_NE("", web.ask(R"({"rrm":{}})"));
            EXPECT_NE("", web.ask(R"({"rrm":{"domain":"d1","ap":"02:00:00:00:00:01"}})"));
            EXPECT_NE("", web.ask(R"({"cfg":{"operation":"get","level":"domain"}})"));
        }
    });

    const std::string pattern_set_reply =
        R"({"version":"2.1","invalid_parameters":[],"operation":"set","level":"pattern","pattern":"office"})";
    const std::string domain_set_reply =
        R"({"version":"2.1","invalid_parameters":[],"operation":"set","level":"domain"})";
    for (int i = 0; i < 40; ++i) {
        const std::string threshold = std::to_string(20 + i % 2 * 10);
        EXPECT_EQ(pattern_set_reply,
                  cli.ask(R"({"cfg":{"operation":"set","level":"pattern","pattern":"office","config":{"dca_threshold":)" +
                          threshold + "}}}"));
        EXPECT_EQ(domain_set_reply,
                  web.ask(R"({"cfg":{"operation":"set","level":"domain","domain":"d3","config":{"pattern":")" +
                          std::string(i % 2 ? "common" : "office") + "\"}}}"));
    }
    // Every domain still subscribes after the last change.
    const int before = routed.load();
    ASSERT_TRUE(testsupport::eventually([&] { return routed.load() > before + 10; }));
    done.store(true);
    router.join();
    reader.join();

    // The last values are in force and in the file.
    EXPECT_EQ(30, config.get_domain_config("d1").dca_threshold);
    EXPECT_EQ(30, config.get_domain_config("d2").dca_threshold);
    rrm::GlobalConfig reread(files.config_path());
    EXPECT_EQ(30, reread.get_domain_config("d1").dca_threshold);
    registry.stop();
}

}  // namespace
