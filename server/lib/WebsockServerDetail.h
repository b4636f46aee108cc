#pragma once
// What the files of the AP WebSocket transport share that is not part of the
// class: the service thread's own index, the clock, the library's session
// slot and the guard of the library context.

#include "WebsockSession.h"

#include <time.h>

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>

namespace rrm {
namespace websock_detail {

// The index of the service thread running on this thread. Wake-ups arrive
// on the library's own pipe connection or on our wake descriptor, whose
// index says nothing about the connections to serve, so the thread says it.
inline thread_local int t_service_tsi = -1;

inline int64_t monotonic_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

inline const std::shared_ptr<std::string> no_details;

inline void set_session_pointer(void* user, WebsockSession* session)
{
    if (user)
        *static_cast<WebsockSession**>(user) = session;
}

// Guards the library context against being destroyed while another thread
// wakes its service loop.
inline std::shared_mutex& context_guard()
{
    static std::shared_mutex guard;
    return guard;
}

}  // namespace websock_detail
}  // namespace rrm
