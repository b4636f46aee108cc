#pragma once
// A received text on its way from the service thread to the parsing thread.

#include "BaseSession.h"

#include <cstdint>

namespace rrm {

struct RawMessage {
    // malloc'd and NUL-terminated, or null for an empty message; whoever pops
    // the item frees it.
    char* text = nullptr;
    // The sender's session at the time the message completed.
    BaseSession session = null_session;
    // Bytes of text, counted against what queued texts may hold together.
    uint32_t size = 0;
};

}  // namespace rrm
