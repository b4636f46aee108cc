#pragma once
// Bump-pointer memory resource. A thread installs one as its current arena
// so that a whole document is carved out of a few large blocks and given
// back at once when the arena dies.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory_resource>
#include <new>

namespace yajson {

class MonotonicArena : public std::pmr::memory_resource {
public:
    // The first block holds max(initial_block, 256) usable bytes and is taken
    // at once; if that fails the first request tries again.
    explicit MonotonicArena(std::size_t initial_block = 4096) noexcept
        : next_block_(std::max<std::size_t>(initial_block, min_block))
    {
        add_block(next_block_);
    }

    ~MonotonicArena() override
    {
        BlockHeader* b = head_;
        while (b) {
            BlockHeader* prev = b->prev;
            std::free(b);
            b = prev;
        }
    }

    MonotonicArena(const MonotonicArena&) = delete;
    MonotonicArena& operator=(const MonotonicArena&) = delete;

    // Same as allocate(), but gives null instead of throwing.
    void* try_allocate(std::size_t bytes, std::size_t alignment) noexcept
    {
        const std::uintptr_t cur = reinterpret_cast<std::uintptr_t>(cur_);
        const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(end_);
        const std::uintptr_t a = (cur + alignment - 1) & ~static_cast<std::uintptr_t>(alignment - 1);
        if (cur_ != nullptr && a <= end && bytes <= end - a) {
            cur_ = reinterpret_cast<char*>(a + bytes);
            return reinterpret_cast<void*>(a);
        }
        return allocate_slow(bytes, alignment);
    }

    // Bytes taken from malloc so far, block headers included.
    std::size_t total() const noexcept { return total_; }
    // The most the arena may take from malloc, block headers included (0,
    // the default: no limit). A request that would need a block beyond it
    // fails as if malloc had failed (try_allocate gives null, allocate
    // throws std::bad_alloc), so a parse into the arena stops there instead
    // of building all of a document that is too large anyway.
    void set_limit(std::size_t bytes) noexcept { limit_ = bytes; }
    // Whether a request failed for the limit.
    bool limit_reached() const noexcept { return limit_reached_; }
    // Usable size the next new block will have at least.
    std::size_t next_block_size() const noexcept { return next_block_; }

protected:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override
    {
        void* p = try_allocate(bytes, alignment);
        if (p == nullptr)
            throw std::bad_alloc();
        return p;
    }

    // Memory comes back only when the arena is destroyed.
    void do_deallocate(void*, std::size_t, std::size_t) override {}

    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override
    {
        return this == &other;
    }

private:
    static constexpr std::size_t min_block = 256;

    struct BlockHeader {
        BlockHeader* prev;
        std::uint64_t size;
    };
    static_assert(sizeof(BlockHeader) == 16, "block header is 16 bytes");

    bool add_block(std::size_t size) noexcept
    {
        if (size > SIZE_MAX - sizeof(BlockHeader))
            return false;
        if (limit_ != 0 && (total_ > limit_ || size + sizeof(BlockHeader) > limit_ - total_)) {
            limit_reached_ = true;
            return false;
        }
        void* raw = std::malloc(size + sizeof(BlockHeader));
        if (raw == nullptr)
            return false;
        BlockHeader* b = static_cast<BlockHeader*>(raw);
        b->prev = head_;
        b->size = size;
        head_ = b;
        total_ += size + sizeof(BlockHeader);
        cur_ = reinterpret_cast<char*>(b + 1);
        end_ = cur_ + size;
        next_block_ = size <= SIZE_MAX / 2 ? 2 * size : SIZE_MAX;
        return true;
    }

    void* allocate_slow(std::size_t bytes, std::size_t alignment) noexcept
    {
        if (bytes > SIZE_MAX - alignment)
            return nullptr;
        if (!add_block(std::max(bytes + alignment - 1, next_block_)))
            return nullptr;
        const std::uintptr_t a = (reinterpret_cast<std::uintptr_t>(cur_) + alignment - 1) &
                                 ~static_cast<std::uintptr_t>(alignment - 1);
        cur_ = reinterpret_cast<char*>(a + bytes);
        return reinterpret_cast<void*>(a);
    }

    char* cur_ = nullptr;
    char* end_ = nullptr;
    BlockHeader* head_ = nullptr;
    std::size_t total_ = 0;
    std::size_t next_block_;
    std::size_t limit_ = 0;
    bool limit_reached_ = false;
};

// The arena new values of this thread are carved from; null means the heap.
inline thread_local MonotonicArena* current_arena = nullptr;

// Installs an arena as the thread's current one and puts the previous one
// back when destroyed.
class ArenaScope {
public:
    // Only remembers the current arena; the owner installs its own.
    ArenaScope() noexcept : previous_(current_arena) {}

    explicit ArenaScope(MonotonicArena* install) noexcept : previous_(current_arena)
    {
        current_arena = install;
    }

    ~ArenaScope() { current_arena = previous_; }

    ArenaScope(const ArenaScope&) = delete;
    ArenaScope& operator=(const ArenaScope&) = delete;

    MonotonicArena* previous() const noexcept { return previous_; }

private:
    MonotonicArena* previous_;
};

} // namespace yajson
