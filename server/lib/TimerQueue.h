#pragma once
// One-shot and periodic timers due at whole seconds of the monotonic clock.
// Nothing runs by itself: the owner polls from its own thread and every
// callback whose second has come runs there.
//
// A callback that throws is reported (through the error handler) and the
// pass goes on with the next due entry. A periodic entry is rescheduled
// whether its callback returned or threw, without allocating anything, so
// neither an exception nor a shortage of memory ends it; only cancel_timer
// does. A timer that re-adds itself at the end of its callback is lost when
// the callback throws: whatever must keep running is added with
// add_periodic.
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
    // Seconds between the runs of a periodic entry; 0 for a one-shot entry.
    int32_t period = 0;
};

class TimerQueue {
public:
    // What a throwing callback leads to: the entry's id and the exception's
    // text (null for an exception that is no std::exception).
    using ErrorHandler = std::function<void(int32_t id, const char* what)>;

    TimerQueue() = default;
    ~TimerQueue() = default;
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    // Due at the clock's current second + delay_s; entries with the same due
    // second keep the order in which they were added. An entry with the same
    // id stays.
    void add_timer(const std::function<void()>& callback, int32_t id, int32_t delay_s);
    // First due after first_delay_s, then every period_s seconds (at least
    // 1) after the second of the pass that ran it.
    void add_periodic(const std::function<void()>& callback, int32_t id, int32_t first_delay_s,
                      int32_t period_s);
    // Removes every entry with that id without calling it; a periodic entry
    // of the pass in progress is not rescheduled.
    void cancel_timer(int32_t id);
    void restart_timer(const std::function<void()>& callback, int32_t id, int32_t delay_s);

    // Fires every entry due at the clock's current second or earlier.
    void poll();
    // Fires every entry with due <= now, in list order (an entry that an
    // earlier callback of the pass cancels still fires), reschedules the
    // periodic ones, then removes every entry due by now that a callback
    // added during the pass.
    void fire_due(int64_t now);

    // Replaces the default report of a throwing callback (Error record
    // "Unhandled exception '%s' at timer %d", event 5). An exception thrown
    // by the handler itself is swallowed.
    void set_error_handler(ErrorHandler handler) { on_error = std::move(handler); }

    size_t size() const { return entries.size(); }
    // Callbacks run so far.
    uint64_t fired_count() const { return fired; }
    bool empty() const { return entries.empty(); }

    // tv_sec of CLOCK_MONOTONIC.
    static int64_t now_seconds();

    // The seconds add_timer, add_periodic and poll go by: now_seconds
    // unless replaced (null puts it back). A driver that runs several queues
    // on a time of its own gives them all the same clock.
    using Clock = int64_t (*)();
    void set_clock(Clock source) { clock = source ? source : &now_seconds; }
    // The current second of that clock.
    int64_t now() const { return clock(); }

private:
    void insert(TimerEntry&& entry);
    // Moves one node of `from` to its place in `entries`.
    void reinsert(std::list<TimerEntry>& from, std::list<TimerEntry>::iterator node);
    void report(int32_t id, const char* what) noexcept;

    std::list<TimerEntry> entries;
    // The due entries taken out for the pass in progress, if any.
    std::list<TimerEntry>* firing = nullptr;
    ErrorHandler on_error;
    Clock clock = &now_seconds;
    uint64_t fired = 0;
};

}  // namespace rrm
