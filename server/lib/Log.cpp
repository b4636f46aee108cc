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

namespace log_detail {
// Read on every record of every thread; written when the program's logging
// configuration changes. A record racing a change is judged by either mask.
std::atomic<int> levels{LOG_LEVELS_ALL};
}  // namespace log_detail

void log_message(const char* file, int line, const char* func, int level, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    g_log_handler(file, line, func, level, fmt, args);
    va_end(args);
}

void set_log_handler(LogHandler handler)
{
    g_log_handler = handler;
}

void set_log_levels(int levels)
{
    log_detail::levels.store(levels, std::memory_order_relaxed);
}

int log_levels()
{
    return log_detail::levels.load(std::memory_order_relaxed);
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
    static const char hex[] = "0123456789abcdef";
    data_ = buffer_;
    std::size_t n = 0;
    std::size_t taken = 0;
    if (text) {
        // A control byte would start a line of its own in the log (or end
        // the quote at a NUL): it is written as \xNN, as domain names are.
        for (; taken < length; ++taken) {
            const auto byte = static_cast<unsigned char>(text[taken]);
            const bool control = byte < 0x20 || byte == 0x7f;
            if (n + (control ? 4 : 1) > PEER_TEXT_MAX)
                break;
            if (control) {
                buffer_[n++] = '\\';
                buffer_[n++] = 'x';
                buffer_[n++] = hex[byte >> 4];
                buffer_[n++] = hex[byte & 0x0f];
            } else {
                buffer_[n++] = static_cast<char>(byte);
            }
        }
    }
    if (taken < length) {
        const int tail =
            std::snprintf(buffer_ + n, sizeof buffer_ - n, "... (%zu bytes)", length);
        if (tail > 0)
            n += std::min(static_cast<std::size_t>(tail), sizeof buffer_ - n - 1);
    }
    buffer_[n] = '\0';
    size_ = static_cast<int>(n);
}

PeerText::PeerText(const char* text) : PeerText(text, text ? std::strlen(text) : 0) {}

}  // namespace rrm
