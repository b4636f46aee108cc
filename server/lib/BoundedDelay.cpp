#include "BoundedDelay.h"

#include <algorithm>

namespace rrm {

int32_t BoundedDelay::next(int64_t now_s, int32_t delay_s, int64_t max_s, int32_t min_s)
{
    if (!waiting_) {
        waiting_ = true;
        since_ = now_s;
    }
    // In 64 bits: a bound far ahead (a large setting) must not wrap.
    const int64_t left = since_ + std::max<int64_t>(max_s, 0) - now_s;
    const int64_t delay = std::max<int64_t>(std::min<int64_t>(delay_s, left), min_s);
    return static_cast<int32_t>(std::min<int64_t>(delay, INT32_MAX));
}

}  // namespace rrm
