#pragma once
// The handle of one AP connection, copied by value into every queued message
// and every access point record. A message reaches a connection only while
// its tsi and id still match the live session of its wsi.

#include <cstdint>

struct lws;

struct BaseSession {
    lws* wsi;      // the libwebsockets connection; not owned, a key only
    int32_t tsi;   // index of the service thread that serves it
    uint32_t id;   // counted from 1; 0 is no session
};

// All zero: the session of a worker's own stop message and of access points
// restored from a backup, which have no connection until they subscribe.
inline constexpr BaseSession null_session{nullptr, 0, 0};

namespace rrm {
using ::BaseSession;
using ::null_session;
}  // namespace rrm
