// libwebsockets' log lines are formatted by the server, on the calling
// thread's stack: the library's own lines come here (it calls its log entry
// points through its procedure linkage table), and lines that two threads
// write at once never share a buffer.
#include "LwsLog.h"

#include <libwebsockets.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex lines_mutex;
std::vector<std::string> lines;

void collect(int, const char* line)
{
    std::lock_guard<std::mutex> g(lines_mutex);
    lines.emplace_back(line);
}

std::vector<std::string> take_lines()
{
    std::lock_guard<std::mutex> g(lines_mutex);
    std::vector<std::string> out;
    out.swap(lines);
    return out;
}

TEST(LwsLog, TheLibrarysOwnLinesAreFormattedHereAndFollowTheMask)
{
    rrm::set_lws_log(LLL_ERR | LLL_NOTICE, collect);
    take_lines();
    const size_t before = rrm::lws_lines_formatted();
    const unsigned char data[] = {0x41, 0x42, 0x43};
    // A function of the library that logs through its own entry points.
    lwsl_hexdump_level(LLL_NOTICE, data, sizeof data);
    EXPECT_GT(rrm::lws_lines_formatted(), before);
    bool dumped = false;
    for (const auto& line : take_lines())
        dumped = dumped || line.find("41 42 43") != std::string::npos;
    EXPECT_TRUE(dumped);

    // A class that the mask leaves out is neither formatted nor emitted.
    const size_t masked = rrm::lws_lines_formatted();
    lwsl_hexdump_level(LLL_INFO, data, sizeof data);
    EXPECT_EQ(rrm::lws_lines_formatted(), masked);
    EXPECT_TRUE(take_lines().empty());
    EXPECT_EQ(lwsl_visible(LLL_INFO), 0);
    EXPECT_NE(lwsl_visible(LLL_NOTICE), 0);
}

TEST(LwsLog, LinesOfTwoThreadsNeverMix)
{
    rrm::set_lws_log(LLL_NOTICE, collect);
    take_lines();
    const auto dump = [](unsigned char byte) {
        unsigned char data[16];
        for (auto& b : data)
            b = byte;
        for (int i = 0; i < 3000; ++i)
            lwsl_hexdump_level(LLL_NOTICE, data, sizeof data);
    };
    std::thread a(dump, 0x11), b(dump, 0x22);
    a.join();
    b.join();
    size_t of_a = 0, of_b = 0, mixed = 0;
    for (const auto& line : take_lines()) {
        const bool has_a = line.find("11 11 11 11") != std::string::npos;
        const bool has_b = line.find("22 22 22 22") != std::string::npos;
        of_a += has_a && !has_b;
        of_b += has_b && !has_a;
        mixed += has_a && has_b;
    }
    EXPECT_EQ(of_a, 3000u);
    EXPECT_EQ(of_b, 3000u);
    EXPECT_EQ(mixed, 0u);
    rrm::set_lws_log(LLL_ERR | LLL_WARN | LLL_NOTICE, nullptr);
}

}  // namespace
