// The configuration is edited and saved from the management threads while
// worker threads look settings up and the VRRP switch reloads the file.

#include "Config.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using rrm::DomainConfig;
using rrm::GlobalConfig;
using rrm::JsonReader;
using rrm::JsonWriter;

TEST(ConfigConcurrency, EditsSavesLookupsAndReloadsInterleaveSafely)
{
    char name[] = "/tmp/wendara-config-mt-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const std::string folder = name;
    const std::string path = folder + "/wendara.conf";
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const std::string text =
            R"({"global":{},"common":{},"patterns":[{"pattern":"office","dca_threshold":30}],)"
            R"("domains":[{"domain":"d1","pattern":"office"},{"domain":"d2","pattern":"common"}]})";
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
    }

    testsupport::LogCapture log;
    GlobalConfig config(path);
    constexpr int kRounds = 150;
    std::atomic<int> torn_files{0};
    std::atomic<int> stale_copies{0};
    std::atomic<int> failed_saves{0};

    // Management thread: edit a pattern and save, as one step.
    std::thread editor([&] {
        for (int i = 0; i < kRounds; ++i) {
            auto held = config.lock();
            JsonWriter root("2.1");
            JsonWriter rejects = root.add_array("invalid_parameters");
            bool invalid = false;
            bool changed = false;
            const std::string object = "{\"dca_threshold\":" + std::to_string(i % 90) + "}";
            config.pattern_change("office", JsonReader(object.c_str()), rejects, invalid,
                                  changed);
            if (!config.save())
                ++failed_saves;
        }
    });
    // Second management thread: add and remove a domain.
    std::thread domains([&] {
        for (int i = 0; i < kRounds; ++i) {
            bool changed = false;
            config.domain_add("tmp", "office", "+01:00", 3600, changed);
            auto held = config.lock();
            config.domain_remove("tmp", changed);
            if (!config.save())
                ++failed_saves;
        }
    });
    // Worker threads: their settings copy always matches the pattern.
    std::thread lookups([&] {
        for (int i = 0; i < kRounds * 4; ++i) {
            auto held = config.lock();
            const DomainConfig copy = config.get_domain_config("d1");
            config.for_each_pattern([&](const std::string& p, const DomainConfig& settings) {
                if (p == "office" && settings.dca_threshold != copy.dca_threshold)
                    ++stale_copies;
            });
            (void)config.get_time_zone("d2");
            (void)config.server();
        }
    });
    // VRRP switch: reload the file.
    std::thread reloader([&] {
        for (int i = 0; i < kRounds / 3; ++i)
            config.reload();
    });
    // Anyone reading the file sees a whole configuration, never a torn one.
    std::thread reader([&] {
        for (int i = 0; i < kRounds * 2; ++i) {
            const int fd = ::open(path.c_str(), O_RDONLY);
            if (fd < 0) {
                ++torn_files;
                continue;
            }
            JsonReader doc(fd);
            ::close(fd);
            if (doc.is_null() || doc.child("patterns").is_null())
                ++torn_files;
        }
    });
    for (std::thread* t : {&editor, &domains, &lookups, &reloader, &reader})
        t->join();

    EXPECT_EQ(torn_files.load(), 0);
    EXPECT_EQ(stale_copies.load(), 0);
    EXPECT_EQ(failed_saves.load(), 0);
    for (const auto& r : log.records())
        EXPECT_NE(r.level, rrm::LOG_LEVEL_ERROR) << r.text;
    EXPECT_EQ(config.get_domain_config("d1").dca_threshold, (kRounds - 1) % 90);
    EXPECT_FALSE(config.is_domain_exist("tmp"));

    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
