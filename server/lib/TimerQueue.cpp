#include "TimerQueue.h"

#include "Log.h"

#include <time.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace rrm {

int64_t TimerQueue::now_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

void TimerQueue::insert(TimerEntry&& entry)
{
    auto it = entries.begin();
    while (it != entries.end() && it->due <= entry.due)
        ++it;
    entries.insert(it, std::move(entry));
}

void TimerQueue::add_timer(const std::function<void()>& callback, int32_t id, int32_t delay_s)
{
    // In 64 bits: a long uptime plus a large delay must not wrap into the past.
    insert(TimerEntry{callback, id, now_seconds() + static_cast<int64_t>(delay_s)});
}

void TimerQueue::cancel_timer(int32_t id)
{
    entries.remove_if([id](const TimerEntry& e) { return e.id == id; });
}

void TimerQueue::restart_timer(const std::function<void()>& callback, int32_t id, int32_t delay_s)
{
    cancel_timer(id);
    add_timer(callback, id, delay_s);
}

void TimerQueue::poll()
{
    fire_due(now_seconds());
}

void TimerQueue::fire_due(int64_t now)
{
    // Callbacks may add, cancel or restart timers, so they run from copies
    // taken before the first one is called.
    std::vector<TimerEntry> due;
    for (const TimerEntry& e : entries) {
        if (e.due <= now)
            due.push_back(e);
    }
    if (due.empty())
        return;

    for (const TimerEntry& e : due) {
        // One failing timer must neither keep the others from running nor
        // leave the due entries in place to fire again at the next poll.
        try {
            e.callback();
        } catch (const std::exception& ex) {
            RRM_ERROR("Unhandled exception '%s' at timer %d", ex.what(), e.id);
            notify_event(EVENT_WORKER_THREAD_EXCEPTION, std::make_shared<std::string>("Worker"));
        } catch (...) {
            RRM_ERROR("Unhandled exception at timer %d", e.id);
            notify_event(EVENT_WORKER_THREAD_EXCEPTION, std::make_shared<std::string>("Worker"));
        }
    }

    entries.remove_if([now](const TimerEntry& e) { return e.due <= now; });
}

}  // namespace rrm
