#include "RecordPace.h"

namespace rrm {

bool RecordPace::allow(int64_t now_s)
{
    if (started_ && now_s < next_) {
        ++held_;
        return false;
    }
    started_ = true;
    next_ = now_s + PERIOD_S;
    reported_ = held_;
    held_ = 0;
    return true;
}

}  // namespace rrm
