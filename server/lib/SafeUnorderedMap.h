#pragma once
// A hash map of shared pointers together with the mutex that guards it.
// Users lock `mutex` for every access and work on `map` directly; values are
// shared pointers so that one found under the lock stays alive after it is
// released.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace rrm {

template <typename K, typename V, typename Map>
class SafeMapBase {
public:
    SafeMapBase() = default;
    SafeMapBase(const SafeMapBase&) = delete;
    SafeMapBase& operator=(const SafeMapBase&) = delete;

    ~SafeMapBase()
    {
        std::lock_guard<std::mutex> guard(mutex);
        map.clear();
    }

    std::mutex mutex;
    std::condition_variable cond;
    Map map;
};

template <typename K, typename V>
class SafeUnorderedMap : public SafeMapBase<K, V, std::unordered_map<K, std::shared_ptr<V>>> {
};

}  // namespace rrm
