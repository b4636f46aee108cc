#pragma once
// The timing record of one command or timer step of a domain worker: how
// many runs completed and how long they took together, in wall-clock
// microseconds.

#include <sys/time.h>

#include <cstdint>

namespace rrm {

struct CommandMetric {
    timeval start{};
    timeval end{};
    int32_t count = 0;
    int64_t total_us = 0;

    // Runs fn between two readings of the wall clock and counts the run. A
    // run that throws counts for nothing.
    template <class Fn>
    void time(Fn&& fn)
    {
        gettimeofday(&start, nullptr);
        fn();
        gettimeofday(&end, nullptr);
        add_run();
    }

    // Counts the run from start to end. A total that would go down (the
    // clock stepped back) or overflow, or a count that would overflow,
    // starts the record over at 0/0.
    void add_run();

    // total_us / count, 0 before the first run.
    int64_t average() const { return count == 0 ? 0 : total_us / count; }
};

}  // namespace rrm
