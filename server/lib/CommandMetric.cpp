#include "CommandMetric.h"

#include <cstdint>

namespace rrm {

void CommandMetric::add_run()
{
    const int64_t from = static_cast<int64_t>(start.tv_sec) * 1000000 + start.tv_usec;
    const int64_t to = static_cast<int64_t>(end.tv_sec) * 1000000 + end.tv_usec;
    int64_t total = 0;
    if (__builtin_add_overflow(total_us, to - from, &total) || total < total_us) {
        count = 0;
        total_us = 0;
        return;
    }
    // Nor may the count overflow.
    if (count == INT32_MAX) {
        count = 0;
        total_us = 0;
        return;
    }
    count += 1;
    total_us = total;
}

}  // namespace rrm
