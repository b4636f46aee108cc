#include "TimerQueue.h"

#include "Log.h"

#include <time.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>

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

void TimerQueue::reinsert(std::list<TimerEntry>& from, std::list<TimerEntry>::iterator node)
{
    auto it = entries.begin();
    while (it != entries.end() && it->due <= node->due)
        ++it;
    entries.splice(it, from, node);
}

void TimerQueue::add_timer(const std::function<void()>& callback, int32_t id, int32_t delay_s)
{
    // In 64 bits: a long uptime plus a large delay must not wrap into the past.
    insert(TimerEntry{callback, id, clock() + static_cast<int64_t>(delay_s), 0});
}

void TimerQueue::add_periodic(const std::function<void()>& callback, int32_t id,
                              int32_t first_delay_s, int32_t period_s)
{
    insert(TimerEntry{callback, id, clock() + static_cast<int64_t>(first_delay_s),
                      std::max<int32_t>(period_s, 1)});
}

void TimerQueue::cancel_timer(int32_t id)
{
    entries.remove_if([id](const TimerEntry& e) { return e.id == id; });
    if (firing != nullptr)
        for (TimerEntry& e : *firing)
            if (e.id == id)
                e.period = 0;
}

void TimerQueue::restart_timer(const std::function<void()>& callback, int32_t id, int32_t delay_s)
{
    cancel_timer(id);
    add_timer(callback, id, delay_s);
}

void TimerQueue::poll()
{
    fire_due(clock());
}

void TimerQueue::report(int32_t id, const char* what) noexcept
{
    try {
        if (on_error) {
            on_error(id, what);
            return;
        }
        if (what)
            RRM_ERROR("Unhandled exception '%s' at timer %d", what, static_cast<int>(id));
        else
            RRM_ERROR("Unhandled exception at timer %d", static_cast<int>(id));
        notify_event(EVENT_WORKER_THREAD_EXCEPTION, std::make_shared<std::string>("Worker"));
    } catch (...) {
        // Nothing more can be said; the pass goes on.
    }
}

void TimerQueue::fire_due(int64_t now)
{
    // Entries are kept in due order: the due ones are a prefix. They leave
    // the list for the pass (callbacks may add, cancel or restart timers
    // meanwhile) by splicing, which allocates nothing.
    auto end = entries.begin();
    while (end != entries.end() && end->due <= now)
        ++end;
    if (end == entries.begin())
        return;
    std::list<TimerEntry> due;
    due.splice(due.end(), entries, entries.begin(), end);

    std::list<TimerEntry>* const outer = firing;
    firing = &due;
    for (auto it = due.begin(); it != due.end();) {
        const auto current = it++;
        ++fired;
        // One failing timer must neither keep the others from running nor
        // stop a periodic one.
        try {
            current->callback();
        } catch (const std::exception& ex) {
            report(current->id, ex.what());
        } catch (...) {
            report(current->id, nullptr);
        }
        if (current->period > 0) {
            current->due = now + current->period;
            reinsert(due, current);
        }
    }
    firing = outer;

    entries.remove_if([now](const TimerEntry& e) { return e.due <= now; });
}

}  // namespace rrm
