#include "JsonReader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using rrm::JsonReader;

// ---------------------------------------------------------------- parsing

struct ParseCase {
    const char* name;
    const char* text;
    bool is_null;
    int size;
    const char* compact;
};

TEST(JsonReaderParse, OutcomeAndCompactText)
{
    const ParseCase cases[] = {
        {"empty text", "", true, 0, "null"},
        {"blanks only", "   ", true, 0, "null"},
        {"trailing content", "{} x", true, 0, "null"},
        {"unterminated", "[1,2", true, 0, "null"},
        {"single quotes are not JSON", "{'a':1}", true, 0, "null"},
        {"comment is not JSON", "// c\n{}", true, 0, "null"},
        {"literal null", "null", true, 0, "null"},
        {"empty object", "{}", false, 0, "{}"},
        {"object size is 0", "{\"a\":[1,2]}", false, 0, "{\"a\":[1,2]}"},
        {"array", " [1, \"x\", null] ", false, 3, "[1,\"x\",null]"},
        {"whitespace dropped, order kept", "{ \"b\" : 1 ,\n \"a\" : [ true , false ] }", false, 0,
         "{\"b\":1,\"a\":[true,false]}"},
        {"last duplicate wins at its own place", "{\"a\":1,\"b\":2,\"a\":3}", false, 0,
         "{\"b\":2,\"a\":3}"},
        {"top-level scalar", "17", false, 0, "17"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        JsonReader r(c.text);
        EXPECT_EQ(c.is_null, r.is_null());
        EXPECT_EQ(c.size, r.size());
        EXPECT_STREQ(c.compact, r.to_string());
        EXPECT_EQ(std::string_view(c.compact), r.to_string_view());
    }
}

TEST(JsonReaderParse, NullTextIsEmpty)
{
    JsonReader r(static_cast<const char*>(nullptr));
    EXPECT_TRUE(r.is_null());
    EXPECT_STREQ("null", r.to_string());
}

TEST(JsonReaderParse, DepthLimitIs512)
{
    std::string ok(512, '[');
    ok += std::string(512, ']');
    EXPECT_FALSE(JsonReader(ok.c_str()).is_null());
    std::string deep(513, '[');
    deep += std::string(513, ']');
    EXPECT_TRUE(JsonReader(deep.c_str()).is_null());
}

TEST(JsonReaderParse, DuplicateKeysInLargeObjectKeepLast)
{
    std::string text = "{";
    for (int i = 0; i < 20; ++i)
        text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += "\"k3\":300}";
    JsonReader r(text.c_str());
    EXPECT_EQ(300, r.get_int("k3"));
    EXPECT_EQ(19, r.get_int("k19"));
    EXPECT_EQ(0, r.get_int("k20"));
    EXPECT_TRUE(r.has("k0"));
    EXPECT_FALSE(r.has("K0"));
}

TEST(JsonReaderParse, CopyThrowsLogicError)
{
    JsonReader r("{\"a\":1}");
    try {
        JsonReader copy(r);
        FAIL() << "copy succeeded";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("Copy JsonReader not allowed\n", e.what());
    }
    EXPECT_EQ(1, r.get_int("a"));
}

// ------------------------------------------------------------- conversion

// One member per row, read both by key and (from an array of the same
// values) by index.
struct IntCase {
    const char* json; // the member value as JSON text
    int expected;
};

const IntCase kIntCases[] = {
    {"42", 42},
    {"-7", -7},
    {"0", 0},
    {"2147483647", 2147483647},
    {"-2147483648", -2147483647 - 1},
    {"3000000000", -1294967296},
    {"4294967297", 1},
    {"-4294967297", -1},
    {"9223372036854775807", -1},
    {"18446744073709551615", -1},
    {"true", 1},
    {"false", 0},
    {"2.5", 0},
    {"5.0", 0},
    {"-1e2", 0},
    {"null", 0},
    {"[1]", 0},
    {"{\"a\":1}", 0},
    {"\"12\"", 12},
    {"\" 12\"", 12},
    {"\"\\t\\n 9\"", 9},
    {"\"+7\"", 7},
    {"\"-12\"", -12},
    {"\"12 \"", 0},
    {"\"1e3\"", 0},
    {"\"0x10\"", 0},
    {"\"2.5\"", 0},
    {"\"\"", 0},
    {"\" \"", 0},
    {"\"+-5\"", 0},
    {"\"abc\"", 0},
    {"\"4294967297\"", 1},
    {"\"-2147483649\"", 2147483647},
    {"\"9223372036854775807\"", -1},
    {"\"9223372036854775808\"", 0},
    {"\"-9223372036854775809\"", 0},
    {"\"1\\u00002\"", 0},
    {"\"7\\u0000\"", 0},
};

TEST(JsonReaderConversion, GetIntByKey)
{
    for (const auto& c : kIntCases) {
        SCOPED_TRACE(c.json);
        std::string text = std::string("{\"v\":") + c.json + "}";
        JsonReader r(text.c_str());
        ASSERT_FALSE(r.is_null());
        EXPECT_EQ(c.expected, r.get_int("v"));
    }
}

TEST(JsonReaderConversion, GetIntByIndex)
{
    std::string text = "[";
    for (const auto& c : kIntCases) {
        if (text.size() > 1)
            text += ",";
        text += c.json;
    }
    text += "]";
    JsonReader r(text.c_str());
    ASSERT_EQ(static_cast<int>(std::size(kIntCases)), r.size());
    for (int i = 0; i < r.size(); ++i) {
        SCOPED_TRACE(kIntCases[i].json);
        EXPECT_EQ(kIntCases[i].expected, r.get_int(i));
    }
    EXPECT_EQ(0, r.get_int(-1));
    EXPECT_EQ(0, r.get_int(r.size()));
}

TEST(JsonReaderConversion, GetIntOutsideItsContainerKind)
{
    JsonReader obj("{\"0\":5}");
    EXPECT_EQ(0, obj.get_int(0)); // an object is not indexed
    JsonReader arr("[5]");
    EXPECT_EQ(0, arr.get_int("0")); // an array has no members
    EXPECT_EQ(5, arr.get_int(0));
    EXPECT_EQ(0, obj.get_int(static_cast<const char*>(nullptr)));
}

TEST(JsonReaderConversion, TryGetIntOnlyForNumbers)
{
    JsonReader r("{\"i\":-3,\"u\":18446744073709551615,\"big\":4294967297,\"f\":7.0,"
                 "\"b\":true,\"s\":\"12\",\"n\":null,\"a\":[1],\"o\":{}}");
    struct {
        const char* key;
        std::optional<int> expected;
    } cases[] = {
        {"i", -3},   {"u", -1},
        {"big", 1},  {"f", 0},
        {"b", std::nullopt}, {"s", std::nullopt},
        {"n", std::nullopt}, {"a", std::nullopt},
        {"o", std::nullopt}, {"missing", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(c.expected, r.try_get_int(c.key));
    }
    EXPECT_EQ(std::nullopt, JsonReader("[1]").try_get_int("0"));
    EXPECT_EQ(std::nullopt, JsonReader("").try_get_int("i"));
}

TEST(JsonStringToInt, Table)
{
    struct {
        std::string text;
        int expected;
    } cases[] = {
        {"", 0},
        {"0", 0},
        {"-0", 0},
        {"  \t\n5", 5},
        {"+5", 5},
        {"5 ", 0},
        {"5x", 0},
        {"x5", 0},
        {"--5", 0},
        {"0x1A", 0},
        {"010", 10},
        {"1.0", 0},
        {"2147483648", -2147483647 - 1},
        {"4294967296", 0},
        {"-9223372036854775808", 0},
        {"9223372036854775808", 0},
        {"99999999999999999999999", 0},
        {std::string("12\0", 3), 0},
        {std::string("\0" "12", 3), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.text + "' size " + std::to_string(c.text.size()));
        EXPECT_EQ(c.expected, rrm::json_string_to_int(c.text));
    }
}

TEST(JsonStringToInt, ErrnoFromEarlierCallDoesNotLeak)
{
    errno = ERANGE;
    EXPECT_EQ(8, rrm::json_string_to_int("8"));
}

// ---------------------------------------------------------------- strings

TEST(JsonReaderStrings, GetStringNeverNull)
{
    const std::string long_text(40, 'L');
    const std::string text = "{\"s\":\"abc\",\"long\":\"" + long_text +
                             "\",\"n\":5,\"z\":null,\"nul\":\"a\\u0000b\",\"e\":\"\","
                             "\"arr\":[\"x\",7,\"" + long_text + "\"]}";
    JsonReader r(text.c_str());
    struct {
        const char* key;
        std::string expected;
    } cases[] = {
        {"s", "abc"}, {"long", long_text}, {"n", ""}, {"z", ""},
        {"nul", "a"}, {"e", ""},           {"arr", ""}, {"missing", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const char* s = r.get_string(c.key);
        ASSERT_NE(nullptr, s);
        EXPECT_EQ(c.expected, s);
    }
    JsonReader arr = r.child("arr");
    EXPECT_STREQ("x", arr.get_string(0));
    EXPECT_STREQ("", arr.get_string(1));
    EXPECT_EQ(long_text, arr.get_string(2));
    EXPECT_STREQ("", arr.get_string(3));
    EXPECT_STREQ("", arr.get_string(-1));
    EXPECT_STREQ("", r.get_string(0));
    EXPECT_STREQ("", JsonReader("").get_string("s"));
    EXPECT_STREQ("", r.get_string(static_cast<const char*>(nullptr)));
}

TEST(JsonReaderStrings, ToStringOfChildAndReuse)
{
    JsonReader r("{\"a\":{\"x\":[1,{\"y\":\"\\u00e9\\n\"}]},\"b\":2.5}");
    JsonReader a = r.child("a");
    EXPECT_STREQ("{\"x\":[1,{\"y\":\"\xc3\xa9\\n\"}]}", a.to_string());
    EXPECT_STREQ("[1,{\"y\":\"\xc3\xa9\\n\"}]", a.child("x").to_string());
    EXPECT_STREQ("2.5", r.child("b").to_string());
    // The text is rebuilt on each call and kept by the reader until the next.
    const char* first = r.to_string();
    EXPECT_STREQ("{\"a\":{\"x\":[1,{\"y\":\"\xc3\xa9\\n\"}]},\"b\":2.5}", first);
    const std::string kept(first);
    EXPECT_EQ(kept, r.to_string_view());
}

// ------------------------------------------------------------ empty/views

TEST(JsonReaderViews, ChildrenOfMissingAreEmpty)
{
    JsonReader r("{\"a\":{\"b\":1},\"n\":null,\"arr\":[10,20]}");
    std::vector<JsonReader> empties;
    empties.push_back(r.child("missing"));
    empties.push_back(r.child("missing").child("deeper"));
    empties.push_back(r.child("a").child("b").child("c"));
    empties.push_back(r.child(0));
    empties.push_back(r.child("arr").child(-1));
    empties.push_back(r.child("arr").child(2));
    empties.push_back(r.child("arr").child("0"));
    empties.push_back(JsonReader("oops").child("a"));
    empties.push_back(r.child(static_cast<const char*>(nullptr)));
    for (std::size_t i = 0; i < empties.size(); ++i) {
        SCOPED_TRACE(i);
        const JsonReader& e = empties[i];
        EXPECT_TRUE(e.is_null());
        EXPECT_EQ(0, e.size());
        EXPECT_EQ(0, e.get_int("x"));
        EXPECT_EQ(0, e.get_int(0));
        EXPECT_FALSE(e.has("x"));
        EXPECT_STREQ("", e.get_string("x"));
        EXPECT_STREQ("null", e.to_string());
        EXPECT_EQ("null", e.to_string_view());
    }
}

TEST(JsonReaderViews, HasSeesNullMembers)
{
    JsonReader r("{\"n\":null,\"a\":[]}");
    EXPECT_TRUE(r.has("n"));
    EXPECT_TRUE(r.child("n").is_null());
    EXPECT_TRUE(r.has("a"));
    EXPECT_FALSE(r.child("a").is_null());
    EXPECT_EQ(0, r.child("a").size());
    EXPECT_FALSE(r.has("x"));
    EXPECT_FALSE(JsonReader("[1]").has("0"));
}

TEST(JsonReaderViews, MoveKeepsDocumentAndViews)
{
    const std::string long_text(64, 'q');
    std::string text = "{\"a\":{\"v\":5,\"s\":\"" + long_text + "\"},\"list\":[1,2,3],\"t\":\"short\"}";
    for (int owned_arena = 0; owned_arena < 2; ++owned_arena) {
        SCOPED_TRACE(owned_arena ? "owned arena" : "heap");
        auto source = owned_arena ? std::make_unique<JsonReader>(text.c_str(), std::size_t{8192})
                                  : std::make_unique<JsonReader>(text.c_str());
        JsonReader view_a = source->child("a");
        JsonReader view_list = source->child("list");
        const char* s_before = source->child("a").get_string("s");

        JsonReader moved(std::move(*source));
        EXPECT_TRUE(source->is_null());
        EXPECT_STREQ("null", source->to_string());
        EXPECT_EQ(0, source->get_int("t"));
        source.reset(); // the moved-from reader owns nothing any more

        EXPECT_EQ(5, moved.child("a").get_int("v"));
        EXPECT_STREQ("short", moved.get_string("t"));
        EXPECT_EQ(5, view_a.get_int("v"));
        EXPECT_EQ(long_text, view_a.get_string("s"));
        EXPECT_EQ(s_before, moved.child("a").get_string("s"));
        EXPECT_EQ(3, view_list.size());
        EXPECT_EQ(2, view_list.get_int(1));

        // A moved view still points at the same value.
        JsonReader view_moved(std::move(view_a));
        EXPECT_EQ(5, view_moved.get_int("v"));
        EXPECT_TRUE(view_a.is_null());
    }
}

// ------------------------------------------------------------------ arenas

TEST(JsonReaderArena, GivenArenaIsRestoredAfterParse)
{
    yajson::MonotonicArena outer(256);
    yajson::MonotonicArena given(1024);
    yajson::current_arena = &outer;
    {
        JsonReader ok("{\"s\":\"a string longer than fifteen\"}", &given);
        EXPECT_EQ(&outer, yajson::current_arena);
        JsonReader bad("{\"s\":", &given);
        EXPECT_EQ(&outer, yajson::current_arena);
        EXPECT_TRUE(bad.is_null());
        EXPECT_STREQ("a string longer than fifteen", ok.get_string("s"));
        JsonReader owned("[\"another string longer than fifteen\"]", std::size_t{0});
        EXPECT_EQ(&outer, yajson::current_arena);
        EXPECT_STREQ("another string longer than fifteen", owned.get_string(0));
        JsonReader owned_bad("[1,", std::size_t{100});
        EXPECT_EQ(&outer, yajson::current_arena);
        EXPECT_TRUE(owned_bad.is_null());
    }
    yajson::current_arena = nullptr;
}

// A reader's own arena with a limit: a document that needs more stops being
// built there (the reader is empty and says why), and the arena never takes
// more than the limit.
TEST(JsonReaderArena, ALimitedArenaStopsADocumentThatOutgrowsIt)
{
    // 64 KiB of one-member objects take some 128 times their text once
    // parsed (docs/design/json.md): about 8 MiB.
    std::string costly = "[";
    while (costly.size() < 64 * 1024)
        costly += "{\"a\":0},";
    costly += "{\"a\":0}]";
    const std::size_t mib = 1024 * 1024;
    struct Case {
        const char* what;
        const std::string& text;
        std::size_t limit;
        bool parsed;
    };
    const std::string small = "{\"a\":[1,2,3],\"b\":\"a string longer than fifteen\"}";
    const Case cases[] = {
        {"small document within the limit", small, mib, true},
        {"costly document beyond the limit", costly, mib, false},
        {"costly document without a limit", costly, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JsonReader reader(c.text.c_str(), std::size_t{8192}, c.limit);
        EXPECT_EQ(c.parsed, !reader.is_null());
        EXPECT_EQ(!c.parsed, reader.arena_limit_reached());
        if (c.limit != 0) {
            EXPECT_LE(reader.arena_bytes(), c.limit);
        }
    }
    JsonReader unlimited(costly.c_str(), std::size_t{8192}, 0);
    EXPECT_GT(unlimited.arena_bytes(), 4 * mib);
}

// --------------------------------------------------------------- descriptors

class TempDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/jsonreader-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(tmpl));
        dir_ = tmpl;
    }
    void TearDown() override
    {
        for (const auto& f : files_)
            ::unlink(f.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string write_file(const std::string& name, const std::string& content)
    {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        files_.push_back(path);
        return path;
    }
    std::string dir_;
    std::vector<std::string> files_;
};

using JsonReaderFd = TempDir;

TEST_F(JsonReaderFd, ReadsWholeFileInManyChunks)
{
    std::string text = "{\"list\":[";
    for (int i = 0; i < 3000; ++i)
        text += (i ? "," : "") + std::to_string(i);
    text += "],\"end\":\"done\"}";
    ASSERT_GT(text.size(), 3u * 4096);
    std::string path = write_file("big.json", text);

    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        JsonReader r(fd);
        EXPECT_EQ(3000, r.child("list").size());
        EXPECT_EQ(2999, r.child("list").get_int(2999));
        EXPECT_STREQ("done", r.get_string("end"));
        EXPECT_EQ(text, r.to_string());
    }
    // Neither closed nor rewound.
    EXPECT_EQ(static_cast<off_t>(text.size()), ::lseek(fd, 0, SEEK_CUR));
    EXPECT_TRUE(JsonReader(fd).is_null()); // at the end: nothing more to read
    ::close(fd);
}

TEST_F(JsonReaderFd, EmptyOrBadInputIsEmptyReader)
{
    struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"blank", " \n"},
        {"truncated", "{\"a\":[1,2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = write_file(c.name, c.content);
        int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        JsonReader r(fd);
        ::close(fd);
        EXPECT_TRUE(r.is_null());
    }
    EXPECT_TRUE(JsonReader(-1).is_null());
    int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    EXPECT_TRUE(JsonReader(dfd).is_null()); // read() fails with EISDIR
    ::close(dfd);
}

TEST(JsonReaderPipe, ReadsUntilWriterCloses)
{
    int p[2];
    ASSERT_EQ(0, ::pipe(p));
    const char text[] = "{\"cmd\":\"x\",\"n\":[1,2]}";
    ASSERT_EQ(static_cast<ssize_t>(sizeof text - 1), ::write(p[1], text, sizeof text - 1));
    ::close(p[1]);
    JsonReader r(p[0]);
    ::close(p[0]);
    EXPECT_STREQ("x", r.get_string("cmd"));
    EXPECT_EQ(2, r.child("n").size());
}

TEST(JsonReaderPipe, ReadErrorAfterDataGivesEmptyReader)
{
    int p[2];
    ASSERT_EQ(0, ::pipe2(p, O_NONBLOCK));
    const char text[] = "{\"a\":1}";
    ASSERT_EQ(static_cast<ssize_t>(sizeof text - 1), ::write(p[1], text, sizeof text - 1));
    // The writer stays open: after the data, read() fails with EAGAIN.
    JsonReader r(p[0]);
    EXPECT_TRUE(r.is_null());
    EXPECT_EQ(0, r.get_int("a"));
    ::close(p[0]);
    ::close(p[1]);
}

volatile sig_atomic_t g_signals = 0;
void count_signal(int)
{
    g_signals = g_signals + 1;
}

// Whether `pid` is blocked in read() right now.
bool blocked_in_read(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/syscall", static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "r");
    if (!f)
        return false;
    long nr = -1;
    int got = std::fscanf(f, "%ld", &nr);
    std::fclose(f);
    return got == 1 && nr == SYS_read;
}

TEST(JsonReaderPipe, ReadInterruptedBySignalIsRetried)
{
    // No SA_RESTART: the signal makes the blocked read() fail with EINTR.
    struct sigaction sa {};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    struct sigaction old {};
    ASSERT_EQ(0, ::sigaction(SIGUSR1, &sa, &old));
    g_signals = 0;

    int p[2];
    ASSERT_EQ(0, ::pipe(p));
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(p[0]);
        // Wait (bounded) until the parent sits in read(), interrupt it, then
        // give it time to go back to reading before the data comes.
        for (int i = 0; i < 500 && !blocked_in_read(parent); ++i)
            ::usleep(10000);
        ::kill(parent, SIGUSR1);
        ::usleep(200000);
        const char text[] = "{\"after\":\"signal\"}";
        ssize_t n = ::write(p[1], text, sizeof text - 1);
        ::close(p[1]);
        ::_exit(n == static_cast<ssize_t>(sizeof text - 1) ? 0 : 1);
    }
    ::close(p[1]);
    JsonReader r(p[0]);
    ::close(p[0]);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ::sigaction(SIGUSR1, &old, nullptr);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(1, g_signals);
    EXPECT_STREQ("signal", r.get_string("after"));
}

} // namespace
