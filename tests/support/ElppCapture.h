#pragma once
// Captures the records that reach easylogging++ (level, source file,
// function and message text) for the lifetime of the object, so tests can
// assert on the exact records of the program's own files. Records are only
// seen for levels that the loggers' configuration enables.

#include <easylogging++.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct ElppRecord {
    el::Level level;
    std::string file;
    std::string func;
    std::string text;
};

class ElppCapture {
public:
    ElppCapture()
    {
        {
            std::lock_guard<std::mutex> lock(registry_mutex());
            current() = this;
        }
        el::Helpers::installLogDispatchCallback<Sink>(kId);
    }
    ~ElppCapture()
    {
        el::Helpers::uninstallLogDispatchCallback<Sink>(kId);
        std::lock_guard<std::mutex> lock(registry_mutex());
        current() = nullptr;
    }
    ElppCapture(const ElppCapture&) = delete;
    ElppCapture& operator=(const ElppCapture&) = delete;

    std::vector<ElppRecord> records() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    std::vector<std::string> texts() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& r : records_)
            out.push_back(r.text);
        return out;
    }
    size_t count(const std::string& text) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& r : records_)
            n += r.text == text;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }
    // Waits (bounded) until pred holds over the records captured so far.
    bool wait_for(const std::function<bool(const std::vector<ElppRecord>&)>& pred,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) const
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return pred(records_); });
    }

private:
    static constexpr const char* kId = "wendara-test-capture";

    class Sink : public el::LogDispatchCallback {
    protected:
        void handle(const el::LogDispatchData* data) override
        {
            const el::LogMessage* msg = data->logMessage();
            std::lock_guard<std::mutex> registry(registry_mutex());
            ElppCapture* self = current();
            if (!self)
                return;
            {
                std::lock_guard<std::mutex> lock(self->mutex_);
                self->records_.push_back({msg->level(), msg->file(), msg->func(), msg->message()});
            }
            self->cv_.notify_all();
        }
    };

    static std::mutex& registry_mutex()
    {
        static std::mutex m;
        return m;
    }
    static ElppCapture*& current()
    {
        static ElppCapture* c = nullptr;
        return c;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<ElppRecord> records_;
};

}  // namespace testsupport

namespace testsupport {

// Puts every easylogging++ logger back to the library's defaults (records
// on standard output only when asked) and drops any pre-roll-out callback,
// so each test starts from the same process-wide state.
inline void reset_easylogging(bool to_stdout = false)
{
    el::Configurations defaults;
    defaults.setToDefault();
    defaults.set(el::Level::Global, el::ConfigurationType::ToStandardOutput,
                 to_stdout ? "true" : "false");
    el::Loggers::setDefaultConfigurations(defaults, true);
    el::Helpers::uninstallPreRollOutCallback();
}

}  // namespace testsupport
