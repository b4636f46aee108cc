#include "Log.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(LogHooks, DefaultHandlerWritesTextAndNewlineToStdout)
{
    testing::internal::CaptureStdout();
    RRM_ERROR("value %d of %s", 7, "x");
    std::fflush(stdout);
    EXPECT_EQ("value 7 of x\n", testing::internal::GetCapturedStdout());
}

TEST(LogHooks, HandlerGetsSourcePositionLevelAndFormattedText)
{
    testsupport::LogCapture capture;
    RRM_WARNING("Worker '%s' queue overflow: message dropped from session %d", "d1", 3);
    auto records = capture.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("tests/unit/Log_test.cpp", records[0].file);
    EXPECT_EQ(rrm::LOG_LEVEL_WARNING, records[0].level);
    EXPECT_EQ(32, records[0].level);
    EXPECT_EQ("TestBody", records[0].func);
    EXPECT_EQ("Worker 'd1' queue overflow: message dropped from session 3", records[0].text);
}

TEST(LogHooks, LevelsAreEasyloggingValues)
{
    EXPECT_EQ(2, rrm::LOG_LEVEL_TRACE);
    EXPECT_EQ(4, rrm::LOG_LEVEL_DEBUG);
    EXPECT_EQ(16, rrm::LOG_LEVEL_ERROR);
    EXPECT_EQ(32, rrm::LOG_LEVEL_WARNING);
    EXPECT_EQ(128, rrm::LOG_LEVEL_INFO);
}

// Every level is handed on until someone says otherwise; a level left out of
// the mask reaches no handler, and neither the arguments nor the function
// name of its record are evaluated.
TEST(LogLevels, RecordsOfLevelsOffAreNotHandledAndTheirArgumentsNotEvaluated)
{
    EXPECT_EQ(rrm::LOG_LEVELS_ALL, rrm::log_levels());
    int evaluated = 0;
    int named = 0;
    auto arg = [&evaluated] { return ++evaluated; };
    auto func = [&named] {
        ++named;
        return "named";
    };
    struct Case {
        const char* name;
        int levels;
        bool trace, debug, info, warning, error;
    };
    const Case cases[] = {
        {"all", rrm::LOG_LEVELS_ALL, true, true, true, true, true},
        {"debug and trace off", rrm::LOG_LEVEL_INFO | rrm::LOG_LEVEL_WARNING | rrm::LOG_LEVEL_ERROR,
         false, false, true, true, true},
        {"only debug", rrm::LOG_LEVEL_DEBUG, false, true, false, false, false},
        {"none", 0, false, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::LogCapture capture;
        rrm::set_log_levels(c.levels);
        evaluated = 0;
        named = 0;
        RRM_TRACE("t %d", arg());
        RRM_DEBUG("d %d", arg());
        RRM_INFO("i %d", arg());
        RRM_WARNING("w %d", arg());
        RRM_ERROR("e %d", arg());
        RRM_LOG_AS(func(), rrm::LOG_LEVEL_DEBUG, "as %d", arg());
        std::vector<std::string> expected;
        int calls = 0;
        for (auto [on, text] : {std::pair<bool, const char*>{c.trace, "t"}, {c.debug, "d"},
                                {c.info, "i"}, {c.warning, "w"}, {c.error, "e"}})
            if (on)
                expected.push_back(std::string(text) + " " + std::to_string(++calls));
        if (c.debug)
            expected.push_back("as " + std::to_string(++calls));
        std::vector<std::string> texts;
        for (const auto& r : capture.records())
            texts.push_back(r.text);
        EXPECT_EQ(expected, texts);
        EXPECT_EQ(calls, evaluated);
        EXPECT_EQ(c.debug ? 1 : 0, named);
        EXPECT_EQ(c.levels, rrm::log_levels());
        EXPECT_EQ(c.debug, rrm::log_enabled(rrm::LOG_LEVEL_DEBUG));
    }
    rrm::set_log_levels(rrm::LOG_LEVELS_ALL);
}

TEST(PeerText, LongTextsAreCutToTheirHeadAndTheirLengthAndControlBytesEscaped)
{
    const std::string limit(rrm::PEER_TEXT_MAX, 'a');
    struct Case {
        const char* name;
        std::string text;
        std::string quoted;
    };
    const Case cases[] = {
        {"empty", "", ""},
        {"short", "abc", "abc"},
        {"exactly the most", limit, limit},
        {"one byte more", limit + "b", limit + "... (1025 bytes)"},
        {"a megabyte", limit + std::string(1024 * 1024 - 1024, 'c'), limit + "... (1048576 bytes)"},
        // Control bytes as \xNN, within the same 1024 bytes: a newline of
        // the peer's cannot start a record of its own, nor a NUL end one.
        {"a NUL inside", std::string("a\0b", 3), "a\\x00b"},
        {"line breaks, tab, escape and DEL", "x\r\ny\tz\x1b[2J\x7f", "x\\x0d\\x0ay\\x09z\\x1b[2J\\x7f"},
        {"other bytes as sent", "caf\xc3\xa9 \\x0a \"q\" ~", "caf\xc3\xa9 \\x0a \"q\" ~"},
        // 1023 + 4 bytes do not fit: the escape is not cut in two.
        {"an escape past the most", std::string(1023, 'a') + "\n",
         std::string(1023, 'a') + "... (1024 bytes)"},
        {"an escape that ends at the most", std::string(1020, 'a') + "\n",
         std::string(1020, 'a') + "\\x0a"},
        // 256 escapes are 1024 bytes.
        {"nothing but control bytes", std::string(300, '\n'),
         [] {
             std::string head;
             for (int i = 0; i < 256; ++i)
                 head += "\\x0a";
             return head + "... (300 bytes)";
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const rrm::PeerText quoted(c.text);
        EXPECT_EQ(std::string(quoted.data(), static_cast<size_t>(quoted.size())), c.quoted);
        EXPECT_EQ(quoted.data()[quoted.size()], '\0');
    }
    const rrm::PeerText none(static_cast<const char*>(nullptr));
    EXPECT_STREQ(none.c_str(), "");
    const rrm::PeerText terminated("plain");
    EXPECT_STREQ(terminated.c_str(), "plain");
}

TEST(EventHook, HandlerGetsCodeAndPayloadOrEmptyAndNothingOnceRemoved)
{
    testsupport::LogCapture capture;
    rrm::notify_event(rrm::EVENT_DOMAIN_CHANGED, std::make_shared<std::string>("dom"));
    rrm::notify_event(rrm::EVENT_MSG_VALIDATION_FAILED, nullptr);
    auto events = capture.events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(23, events[0].code);
    EXPECT_TRUE(events[0].has_details);
    EXPECT_EQ("dom", events[0].details);
    EXPECT_EQ(0, events[1].code);
    EXPECT_FALSE(events[1].has_details);

    // With the handler removed an event reaches nobody, also not the one
    // that was installed before.
    rrm::set_event_handler(nullptr);
    rrm::notify_event(rrm::EVENT_DOMAIN_CHANGED, std::make_shared<std::string>("gone"));
    rrm::notify_event(rrm::EVENT_MSG_VALIDATION_FAILED, nullptr);
    EXPECT_EQ(2u, capture.events().size());
}

}  // namespace
