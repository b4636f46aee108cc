#pragma once
// libwebsockets' logging, taken over by the server.
//
// libwebsockets 4.1 formats every log line into one static buffer and hands
// that buffer to its emitter; the web API loop (main thread) and the AP
// service thread run the library at the same time, so two lines could be
// written into the buffer at once (a garbled line, a data race). This unit
// defines the library's own log entry points (`_lws_log`, `_lws_logv`,
// `lwsl_visible`, `lws_set_log_level`) in the program, where they take
// precedence over the library's: every line is formatted into a buffer on
// the calling thread's stack, and the level mask and the emitter are kept
// in atomics. The library calls these entry points through its procedure
// linkage table, so its own lines come here too (a test makes sure).

#include <cstddef>

namespace rrm {

using LwsLogEmitter = void (*)(int level, const char* line);

// What lws_set_log_level does: the classes of lines to emit and, when not
// null, the function that emits them (else the one set before, at first
// the library's standard-error emitter). An emitter that writes its lines
// as records of this server's log names their level (`record_level`, a
// LogLevel): while that level is not written, no line is formatted and the
// library is told that no class is visible. 0: the emitter writes every
// line it gets.
void set_lws_log(int level_mask, LwsLogEmitter emitter, int record_level = 0);

// The classes of lines that are formatted and emitted now (for tests).
int lws_visible_mask();

// Lines formatted here since the start of the process (for tests).
std::size_t lws_lines_formatted();

}  // namespace rrm
