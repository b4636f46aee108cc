#include "BufferInfo.h"

#include "Log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

BufferInfo::~BufferInfo()
{
    std::free(data);
}

char* BufferInfo::append(const void* bytes, int32_t n)
{
    if (n < 0)
        throw std::invalid_argument("BufferInfo::append: negative length");
    int64_t total = static_cast<int64_t>(size) + n + 1;
    if (total > INT32_MAX)
        throw std::bad_alloc();
    char* grown = static_cast<char*>(std::realloc(data, static_cast<size_t>(total)));
    if (!grown)
        throw std::bad_alloc();
    data = grown;
    std::memset(data + size, 0, static_cast<size_t>(n) + 1);
    if (n > 0)
        std::memcpy(data + size, bytes, static_cast<size_t>(n));
    size += n;
    return data;
}

void BufferInfo::clear()
{
    std::free(data);
    data = nullptr;
    size = 0;
}

char* BufferInfo::release()
{
    char* block = data;
    data = nullptr;
    size = 0;
    return block;
}

namespace {

constexpr int32_t kLineBytes = 32;
constexpr int32_t kHeadLines = 50;
constexpr int32_t kTailLines = 49;
constexpr int32_t kShortenFrom = 401;  // full lines

char* put_line(char* out, const char* bytes, int32_t n)
{
    *out++ = '\t';
    std::memcpy(out, bytes, static_cast<size_t>(n));
    out += n;
    *out++ = '\n';
    return out;
}

}  // namespace

void BufferInfo::dump() const
{
    if (!rrm::log_enabled(rrm::LOG_LEVEL_DEBUG))
        return;
    static const char heading[] = "Buffer info dump:\n";
    static const char skipped[] = "\t....part of message are skipped...\n";

    const int32_t full = size / kLineBytes;
    const int32_t rest = size % kLineBytes;
    char* text = static_cast<char*>(std::calloc(static_cast<size_t>(full + 1) * 134 + 18, 1));
    if (!text)
        throw std::bad_alloc();

    char* out = text;
    std::memcpy(out, heading, sizeof heading - 1);
    out += sizeof heading - 1;
    if (data) {
        auto line = [&](int32_t i) { out = put_line(out, data + i * kLineBytes, kLineBytes); };
        if (full >= kShortenFrom) {
            for (int32_t i = 0; i < kHeadLines; ++i)
                line(i);
            std::memcpy(out, skipped, sizeof skipped - 1);
            out += sizeof skipped - 1;
            for (int32_t i = full - kTailLines; i < full; ++i)
                line(i);
        } else {
            for (int32_t i = 0; i < full; ++i)
                line(i);
        }
        if (rest > 0)
            out = put_line(out, data + full * kLineBytes, rest);
    }
    RRM_DEBUG("%s", text);
    std::free(text);
}
