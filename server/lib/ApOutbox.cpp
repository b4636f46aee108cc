#include "ApOutbox.h"

namespace rrm {

void ApOutbox::queue(const MacAddress& key, unsigned flags)
{
    auto result = flags_.emplace(key, flags);
    if (result.second)
        order_.push_back(key);
    else
        result.first->second |= flags;
}

std::pair<MacAddress, unsigned> ApOutbox::pop()
{
    const MacAddress key = order_.front();
    order_.pop_front();
    auto it = flags_.find(key);
    const unsigned flags = it->second;
    flags_.erase(it);
    return {key, flags};
}

void ApOutbox::clear()
{
    order_.clear();
    flags_.clear();
}

}  // namespace rrm
