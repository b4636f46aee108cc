#pragma once
// One-shot timers due at whole seconds of the monotonic clock. Nothing runs
// by itself: the owner polls from its own thread and every callback whose
// second has come runs there. A periodic timer re-adds itself.
//
// No lock: the owner serialises every operation and poll (a worker does so
// on its thread, under its worker lock).

#include <cstdint>
#include <functional>
#include <list>

namespace rrm {

struct TimerEntry {
    std::function<void()> callback;
    int32_t id;
    int64_t due;
};

class TimerQueue {
public:
    TimerQueue() = default;
    ~TimerQueue() = default;

    // Due at the clock's current second + delay_s; entries with the same due
    // second keep the order in which they were added. An entry with the same
    // id stays.
    void add_timer(const std::function<void()>& callback, int32_t id, int32_t delay_s);
    // Removes every entry with that id without calling it.
    void cancel_timer(int32_t id);
    void restart_timer(const std::function<void()>& callback, int32_t id, int32_t delay_s);

    // Fires every entry due at the clock's current second or earlier.
    void poll();
    // Fires every entry with due <= now, in list order, then removes every
    // entry due by now, also those that a callback added during the pass.
    void fire_due(int64_t now);

    size_t size() const { return entries.size(); }
    bool empty() const { return entries.empty(); }

    // tv_sec of CLOCK_MONOTONIC.
    static int64_t now_seconds();

private:
    void insert(TimerEntry&& entry);

    std::list<TimerEntry> entries;
};

}  // namespace rrm
