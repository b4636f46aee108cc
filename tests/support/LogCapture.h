#pragma once
// Installs capturing log and event handlers for the lifetime of the object,
// so tests can assert on the exact records and events the library raises.
// Make it before any thread of the library starts: the handlers are plain
// globals. fail_once turns one chosen record into an allocation failure at
// that point of the library's code.

#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace testsupport {

struct LogRecord {
    std::string file;
    int line;
    std::string func;
    int level;
    std::string text;
};

struct EventRecord {
    int code;
    bool has_details;
    std::string details;
};

class LogCapture {
public:
    // Every level is captured, whatever a logger set up before allowed.
    LogCapture() : levels_before_(rrm::log_levels())
    {
        instance() = this;
        rrm::set_log_levels(rrm::LOG_LEVELS_ALL);
        rrm::set_log_handler(&LogCapture::on_log);
        rrm::set_event_handler(&LogCapture::on_event);
    }
    ~LogCapture()
    {
        rrm::set_log_handler(&rrm::default_log_handler);
        rrm::set_event_handler(nullptr);
        rrm::set_log_levels(levels_before_);
        instance() = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    std::vector<EventRecord> events() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // Records of one level whose text equals `text`.
    size_t count(int level, const std::string& text) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& r : records_)
            if (r.level == level && r.text == text)
                ++n;
        return n;
    }
    bool has(int level, const std::string& text) const { return count(level, text) > 0; }
    size_t event_count(int code) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& e : events_)
            if (e.code == code)
                ++n;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
        events_.clear();
    }
    // The next record whose text starts with `prefix` is recorded, and then
    // the logging call throws std::bad_alloc into the code that logged.
    void fail_once(const std::string& prefix)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fail_prefix_ = prefix;
        failures_left_ = 1;
    }
    // How many records fail_once has turned into exceptions.
    size_t failures() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return failures_;
    }

private:
    static LogCapture*& instance()
    {
        static LogCapture* current = nullptr;
        return current;
    }
    static void on_log(const char* file, int line, const char* func, int level, const char* fmt,
                       va_list args)
    {
        char buf[8192];
        std::vsnprintf(buf, sizeof buf, fmt, args);
        LogCapture* self = instance();
        if (!self)
            return;
        bool fail = false;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->records_.push_back({file ? file : "", line, func ? func : "", level, buf});
            if (self->failures_left_ > 0 &&
                std::string(buf).compare(0, self->fail_prefix_.size(), self->fail_prefix_) == 0) {
                --self->failures_left_;
                ++self->failures_;
                fail = true;
            }
        }
        if (fail)
            throw std::bad_alloc();
    }
    static void on_event(const int& code, const std::shared_ptr<std::string>& details)
    {
        LogCapture* self = instance();
        if (!self)
            return;
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->events_.push_back({code, static_cast<bool>(details), details ? *details : ""});
    }

    const int levels_before_;
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
    std::vector<EventRecord> events_;
    std::string fail_prefix_;
    int failures_left_ = 0;
    size_t failures_ = 0;
};

}  // namespace testsupport
