#pragma once
// The server library's only ways out: one log function and one event hook,
// each forwarding to a handler that the program installs at start-up.

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <memory>
#include <string>

namespace rrm {

using LogHandler = void (*)(const char* file, int line, const char* func, int level,
                            const char* fmt, va_list args);
using EventHandler = void (*)(const int& code, const std::shared_ptr<std::string>& details);

// easylogging++'s el::Level values, passed through unchanged so the
// program's handler can hand them straight to the logging library.
enum LogLevel : int {
    LOG_LEVEL_TRACE = 2,
    LOG_LEVEL_DEBUG = 4,
    LOG_LEVEL_ERROR = 16,
    LOG_LEVEL_WARNING = 32,
    LOG_LEVEL_INFO = 128,
};

using EventCode = int;

// The contract between the library's raisers and any event handler. There
// is no code 9.
enum : EventCode {
    EVENT_MSG_VALIDATION_FAILED = 0,
    EVENT_MSG_VERSION_FAILED = 1,
    EVENT_BROADCAST_MSG_NULL = 2,
    EVENT_INVALID_MAC_PARAMS = 3,
    EVENT_WORKER_MSG_EXCEPTION = 4,
    EVENT_WORKER_THREAD_EXCEPTION = 5,
    EVENT_DEFAULT_WORKER_EXCEPTION = 6,
    EVENT_WS_SEND_JSON_NULL = 7,
    EVENT_WS_SEND_FAILED = 8,
    EVENT_WS_CALLBACK_EXCEPTION = 10,
    EVENT_INVALID_VAP_MAC = 11,
    EVENT_STOP_DOMAIN_EXCEPTION = 12,
    EVENT_DOMAIN_WORKER_CREATE_FAILED = 13,
    EVENT_JSON_PARSE_FAILED = 14,
    EVENT_REPORT_WORKER_ABSENT = 15,
    EVENT_REPORT_DELETE_FAILED = 16,
    EVENT_REPORT_ALARM_TIME_INVALID = 17,
    EVENT_REPORT_SAVE_FAILED = 18,
    EVENT_REPORT_LIST_FAILED = 19,
    EVENT_REPORT_LAST_FAILED = 20,
    EVENT_REPORT_NOT_FOUND = 21,
    EVENT_SETTINGS_ROW_INVALID = 22,
    EVENT_DOMAIN_CHANGED = 23,
    EVENT_TPC_DCA_STATE = 24,
    EVENT_WORKER_QUEUE_OVERFLOW = 25,
    EVENT_WS_QUEUE_OVERFLOW = 26,
};

void log_message(const char* file, int line, const char* func, int level, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));
void set_log_handler(LogHandler handler);
// The levels (LogLevel bits) whose records reach the handler; every level
// until the program says otherwise. A record of another level costs one
// test: its arguments are not even evaluated.
void set_log_levels(int levels);
extern std::atomic<int> g_log_levels;
inline bool log_level_enabled(int level)
{
    return (g_log_levels.load(std::memory_order_relaxed) & level) != 0;
}
void default_log_handler(const char* file, int line, const char* func, int level, const char* fmt,
                         va_list args);

void notify_event(const int& code, const std::shared_ptr<std::string>& details);
void set_event_handler(EventHandler handler);

// Most bytes of peer-supplied text (an AP's message or names, a management
// request's values) that one log record carries.
constexpr std::size_t PEER_TEXT_MAX = 1024;

// Peer-supplied text as a record may quote it: whole up to PEER_TEXT_MAX
// bytes, else its first PEER_TEXT_MAX bytes followed by "... (N bytes)"
// with its whole length. Log it with "%.*s" and size()/data(), or "%s"
// and c_str(); nothing is allocated.
class PeerText {
public:
    PeerText(const char* text, std::size_t length);
    explicit PeerText(const char* text);
    explicit PeerText(const std::string& text) : PeerText(text.data(), text.size()) {}
    PeerText(const PeerText&) = delete;
    PeerText& operator=(const PeerText&) = delete;

    const char* data() const { return data_; }
    const char* c_str() const { return data_; }
    int size() const { return size_; }

private:
    char buffer_[PEER_TEXT_MAX + 48];
    const char* data_;
    int size_;
};

}  // namespace rrm

// Every library record carries its source file (relative to the source
// tree, see the prefix map in CMakeLists.txt), line and function.
#define RRM_LOG(level, ...)                                                             \
    do {                                                                                \
        if (::rrm::log_level_enabled(level))                                            \
            ::rrm::log_message(__FILE__, __LINE__, __func__, (level), __VA_ARGS__);     \
    } while (false)
// For a record that belongs to an operation other than the helper that
// writes it: func names that operation.
#define RRM_LOG_AS(func, level, ...)                                                    \
    do {                                                                                \
        if (::rrm::log_level_enabled(level))                                            \
            ::rrm::log_message(__FILE__, __LINE__, (func), (level), __VA_ARGS__);       \
    } while (false)
#define RRM_TRACE(...) RRM_LOG(::rrm::LOG_LEVEL_TRACE, __VA_ARGS__)
#define RRM_DEBUG(...) RRM_LOG(::rrm::LOG_LEVEL_DEBUG, __VA_ARGS__)
#define RRM_INFO(...) RRM_LOG(::rrm::LOG_LEVEL_INFO, __VA_ARGS__)
#define RRM_WARNING(...) RRM_LOG(::rrm::LOG_LEVEL_WARNING, __VA_ARGS__)
#define RRM_ERROR(...) RRM_LOG(::rrm::LOG_LEVEL_ERROR, __VA_ARGS__)
