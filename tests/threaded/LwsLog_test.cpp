// libwebsockets' log lines are formatted by the server, on the calling
// thread's stack: the library's own lines come here (it calls its log entry
// points through its procedure linkage table), and lines that two threads
// write at once never share a buffer.
#include "LwsLog.h"

#include "Log.h"

#include <libwebsockets.h>

#include <gtest/gtest.h>

#include <functional>
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

// An emitter that writes the library's lines as records of one level of the
// server's log gets them, formatted, only while that level is written; the
// library then sees no class as visible. A mask set without an emitter (as
// the web API sets it) keeps that; an emitter set by anyone else writes
// every line.
TEST(LwsLog, LinesOfAnEmitterAtALevelFollowThatLevel)
{
    const unsigned char data[] = {0x41, 0x42, 0x43};
    const int debug_off = rrm::LOG_LEVELS_ALL & ~rrm::LOG_LEVEL_DEBUG;
    struct Step {
        const char* name;
        std::function<void()> set;
        int levels;
        bool lines;
    };
    const Step steps[] = {
        {"debug off", [] { rrm::set_lws_log(LLL_NOTICE, collect, rrm::LOG_LEVEL_DEBUG); },
         debug_off, false},
        {"debug on", [] {}, rrm::LOG_LEVELS_ALL, true},
        {"mask alone keeps the emitter's level", [] { rrm::set_lws_log(LLL_NOTICE, nullptr); },
         debug_off, false},
        {"and follows it", [] {}, rrm::LOG_LEVEL_DEBUG, true},
        {"another emitter", [] { lws_set_log_level(LLL_NOTICE, collect); }, 0, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.set();
        rrm::set_log_levels(step.levels);
        take_lines();
        const size_t before = rrm::lws_lines_formatted();
        lwsl_hexdump_level(LLL_NOTICE, data, sizeof data);
        EXPECT_EQ(step.lines, rrm::lws_lines_formatted() > before);
        EXPECT_EQ(step.lines, !take_lines().empty());
        EXPECT_EQ(step.lines, lwsl_visible(LLL_NOTICE) != 0);
        EXPECT_EQ(step.lines ? LLL_NOTICE : 0, rrm::lws_visible_mask());
    }
    rrm::set_log_levels(rrm::LOG_LEVELS_ALL);
    rrm::set_lws_log(LLL_ERR | LLL_WARN | LLL_NOTICE, nullptr);
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
