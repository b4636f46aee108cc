#include "Log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace rrm {

namespace {
// Written only by main before any library thread exists; read without a lock.
LogHandler g_log_handler = &default_log_handler;
EventHandler g_event_handler = nullptr;
}  // namespace

void log_message(const char* file, int line, const char* func, int level, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    g_log_handler(file, line, func, level, fmt, args);
    va_end(args);
}

std::atomic<int> g_log_levels{LOG_LEVEL_TRACE | LOG_LEVEL_DEBUG | LOG_LEVEL_ERROR |
                               LOG_LEVEL_WARNING | LOG_LEVEL_INFO};

void set_log_levels(int levels)
{
    g_log_levels.store(levels, std::memory_order_relaxed);
}

void set_log_handler(LogHandler handler)
{
    g_log_handler = handler;
}

void default_log_handler(const char*, int, const char*, int, const char* fmt, va_list args)
{
    std::string with_newline(fmt ? fmt : "");
    with_newline += '\n';
    std::vfprintf(stdout, with_newline.c_str(), args);
}

void notify_event(const int& code, const std::shared_ptr<std::string>& details)
{
    if (g_event_handler)
        g_event_handler(code, details);
}

void set_event_handler(EventHandler handler)
{
    g_event_handler = handler;
}

PeerText::PeerText(const char* text, std::size_t length)
{
    if (!text) {
        buffer_[0] = '\0';
        data_ = buffer_;
        size_ = 0;
        return;
    }
    const std::size_t kept = length <= PEER_TEXT_MAX ? length : PEER_TEXT_MAX;
    std::memcpy(buffer_, text, kept);
    std::size_t n = kept;
    if (kept < length) {
        const int tail = std::snprintf(buffer_ + kept, sizeof buffer_ - kept, "... (%zu bytes)",
                                       length);
        if (tail > 0)
            n += std::min(static_cast<std::size_t>(tail), sizeof buffer_ - kept - 1);
    }
    buffer_[n] = '\0';
    data_ = buffer_;
    size_ = static_cast<int>(n);
}

PeerText::PeerText(const char* text) : PeerText(text, text ? std::strlen(text) : 0) {}

}  // namespace rrm
