#include "LwsLog.h"

#include "Log.h"

#include <libwebsockets.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

// The library's defaults: errors, warnings and notices, on standard error.
std::atomic<int> log_mask{LLL_ERR | LLL_WARN | LLL_NOTICE};
std::atomic<rrm::LwsLogEmitter> log_emitter{nullptr};
// The server's log level at which the emitter writes; 0: none, every line
// is wanted. Set with the emitter.
std::atomic<int> emitter_level{0};
std::atomic<std::size_t> formatted{0};

// As long as the library's own buffer.
constexpr std::size_t kLineSize = 256;

// The mask in force: none while the emitter's records are not written.
int visible_mask()
{
    const int gate = emitter_level.load(std::memory_order_relaxed);
    if (gate != 0 && !rrm::log_enabled(gate))
        return 0;
    return log_mask.load(std::memory_order_relaxed);
}

}  // namespace

namespace rrm {

void set_lws_log(int level_mask, LwsLogEmitter emitter, int record_level)
{
    lws_set_log_level(level_mask, emitter);
    if (emitter)
        emitter_level.store(record_level, std::memory_order_relaxed);
}

int lws_visible_mask()
{
    return visible_mask();
}

std::size_t lws_lines_formatted()
{
    return formatted.load(std::memory_order_relaxed);
}

}  // namespace rrm

extern "C" {

void lws_set_log_level(int level, void (*log_emit_function)(int level, const char* line))
{
    log_mask.store(level, std::memory_order_relaxed);
    if (log_emit_function) {
        // An emitter set here by anyone else writes every line it gets.
        emitter_level.store(0, std::memory_order_relaxed);
        log_emitter.store(log_emit_function, std::memory_order_release);
    }
}

int lwsl_visible(int level)
{
    return visible_mask() & level;
}

void _lws_logv(int filter, const char* format, va_list vl)
{
    if (!(visible_mask() & filter))
        return;
    // The calling thread's own buffer: lines of two threads never meet.
    char line[kLineSize];
    int n = std::vsnprintf(line, sizeof line - 1, format, vl);
    if (n < 0)
        return;
    if (static_cast<std::size_t>(n) > sizeof line - 1) {
        // Cut, as the library marks it.
        n = static_cast<int>(sizeof line - 5);
        line[n++] = '.';
        line[n++] = '.';
        line[n++] = '.';
        line[n++] = '\n';
    }
    line[n] = '\0';
    formatted.fetch_add(1, std::memory_order_relaxed);
    rrm::LwsLogEmitter emit = log_emitter.load(std::memory_order_acquire);
    (emit ? emit : lwsl_emit_stderr)(filter, line);
}

void _lws_log(int filter, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    _lws_logv(filter, format, ap);
    va_end(ap);
}

}  // extern "C"
