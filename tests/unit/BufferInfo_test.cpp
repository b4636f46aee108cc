#include "BaseSession.h"
#include "BufferInfo.h"

#include "Log.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

TEST(BufferInfo, AppendKeepsTheBlockNulTerminated)
{
    BufferInfo b;
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(0, b.size);
    b.append("ab", 2);
    char* p = b.append("cde", 3);
    EXPECT_EQ(p, b.data);
    EXPECT_EQ(5, b.size);
    EXPECT_EQ(0, std::memcmp("abcde", b.data, 6));  // with the NUL
}

TEST(BufferInfo, AppendOfNothingMakesAnEmptyString)
{
    BufferInfo b;
    b.append(nullptr, 0);
    ASSERT_NE(nullptr, b.data);
    EXPECT_EQ('\0', b.data[0]);
    EXPECT_EQ(0, b.size);
}

TEST(BufferInfo, AppendBeyondInt32LeavesTheBufferAlone)
{
    BufferInfo b;
    b.append("xy", 2);
    char* before = b.data;
    EXPECT_THROW(b.append("z", INT32_MAX - 2), std::bad_alloc);
    EXPECT_THROW(b.append("z", -1), std::invalid_argument);
    EXPECT_EQ(before, b.data);
    EXPECT_EQ(2, b.size);
    EXPECT_STREQ("xy", b.data);
}

TEST(BufferInfo, ReleaseHandsTheBlockOver)
{
    BufferInfo b;
    b.append("abc", 3);
    char* block = b.release();
    ASSERT_NE(nullptr, block);
    EXPECT_STREQ("abc", block);
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(0, b.size);
    std::free(block);
    EXPECT_EQ(nullptr, b.release());
}

TEST(BufferInfo, ClearEmptiesAndIsReusable)
{
    BufferInfo b;
    b.clear();
    EXPECT_EQ(nullptr, b.data);
    b.append("abc", 3);
    b.clear();
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(0, b.size);
    b.append("q", 1);
    EXPECT_STREQ("q", b.data);
}

std::string lines_of(size_t n, char c)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += "\t" + std::string(32, c) + "\n";
    return s;
}

// Dumps can be far longer than LogCapture's format buffer, so they are
// caught whole here.
struct DumpCapture {
    static std::vector<std::string>& texts()
    {
        static std::vector<std::string> t;
        return t;
    }
    static void on_log(const char* file, int, const char*, int level, const char* fmt, va_list args)
    {
        char* text = nullptr;
        if (vasprintf(&text, fmt, args) < 0)
            return;
        EXPECT_STREQ("server/lib/BufferInfo.cpp", file);
        EXPECT_EQ(rrm::LOG_LEVEL_DEBUG, level);
        texts().push_back(text);
        std::free(text);
    }
    DumpCapture()
    {
        texts().clear();
        rrm::set_log_handler(&on_log);
    }
    ~DumpCapture() { rrm::set_log_handler(&rrm::default_log_handler); }
};

std::string dump_of(const std::string& bytes)
{
    DumpCapture capture;
    BufferInfo b;
    if (!bytes.empty())
        b.append(bytes.data(), int32_t(bytes.size()));
    b.dump();
    EXPECT_EQ(1u, DumpCapture::texts().size());
    return DumpCapture::texts().empty() ? "" : DumpCapture::texts()[0];
}

TEST(BufferInfo, DumpWritesLinesOf32Bytes)
{
    std::string bytes = std::string(32, 'a') + std::string(32, 'b') + "cdefgh";
    EXPECT_EQ("Buffer info dump:\n" + lines_of(1, 'a') + lines_of(1, 'b') + "\tcdefgh\n",
              dump_of(bytes));
    EXPECT_EQ("Buffer info dump:\n", dump_of(""));
}

TEST(BufferInfo, DumpOfALongBufferSkipsTheMiddle)
{
    // Head, middle and tail lines carry different letters.
    std::string bytes;
    for (int i = 0; i < 401; ++i)
        bytes += std::string(32, char(i < 50 ? 'h' : i >= 352 ? 't' : 'm'));
    ASSERT_EQ(12832u, bytes.size());
    EXPECT_EQ("Buffer info dump:\n" + lines_of(50, 'h') + "\t....part of message are skipped...\n" +
                  lines_of(49, 't'),
              dump_of(bytes));
}

TEST(BufferInfo, DumpBelowTheLimitWritesEveryLine)
{
    std::string bytes(400 * 32 + 3, 'x');
    EXPECT_EQ("Buffer info dump:\n" + lines_of(400, 'x') + "\txxx\n", dump_of(bytes));
}

TEST(BaseSession, NullSessionIsAllZero)
{
    BaseSession zero{};
    EXPECT_EQ(zero.wsi, null_session.wsi);
    EXPECT_EQ(zero.tsi, null_session.tsi);
    EXPECT_EQ(zero.id, null_session.id);
    EXPECT_EQ(nullptr, rrm::null_session.wsi);
    EXPECT_EQ(0u, rrm::null_session.id);
}

}  // namespace
