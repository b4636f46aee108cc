#pragma once
// Growable byte buffer, NUL-terminated whenever it holds a block, in which
// received message fragments and HTTP request bodies are collected.

#include <cstdint>

class BufferInfo {
public:
    BufferInfo() = default;
    ~BufferInfo();
    BufferInfo(const BufferInfo&) = delete;
    BufferInfo& operator=(const BufferInfo&) = delete;

    // Appends n bytes and returns the (possibly moved) block. Throws
    // std::bad_alloc with the buffer unchanged when it cannot grow, and
    // std::invalid_argument for a negative n.
    char* append(const void* bytes, int32_t n);
    void clear();
    // Hands the block over to the caller, who frees it with free().
    char* release();
    // Writes the buffer to the log at Debug, 32 bytes per line.
    void dump() const;

    char* data = nullptr;
    int32_t size = 0;
};

namespace rrm {
using ::BufferInfo;
}  // namespace rrm
