#pragma once
// A debounced timer that each new request pushes back, but never further
// than a bound after the first request still waiting. Plain debouncing
// (every request restarts the delay) lets a steady trickle of requests, one
// a little faster than the delay, keep the timer from ever firing.
//
// No lock: the owner serialises every call (the timer queue's thread).

#include <cstdint>

namespace rrm {

class BoundedDelay {
public:
    // The delay to arm the timer with at now_s for a request that asks for
    // delay_s: delay_s, or less when the first waiting request is due its
    // bound (max_s after it) sooner; never below min_s. The first request
    // after reset() starts the bound.
    int32_t next(int64_t now_s, int32_t delay_s, int64_t max_s, int32_t min_s = 0);
    // The waiting requests were served (the timer fired or was given up):
    // the next request starts a new bound.
    void reset() { waiting_ = false; }
    bool waiting() const { return waiting_; }
    // When the first waiting request came (valid while waiting()).
    int64_t since() const { return since_; }

private:
    bool waiting_ = false;
    int64_t since_ = 0;
};

}  // namespace rrm
