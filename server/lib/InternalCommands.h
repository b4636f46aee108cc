#pragma once
// The internal commands: small JSON documents that components queue on a
// worker like any other message. The session a command concerns travels as
// the queued message's session handle, never inside the JSON. None of them is
// ever sent to an AP.

namespace rrm {

// Domain workers forget the session's APs; the WebSocket worker closes it.
inline constexpr const char* DROP_SESSION_CMD_TEXT =
    "{\"service\":\"rrm-internal\", \"cmd\":\"drop-session\"}";
// The WebSocket worker pings the session and arms a time-out on it.
inline constexpr const char* PING_SESSION_CMD_TEXT =
    "{\"service\":\"rrm-internal\", \"cmd\":\"ping-session\"}";
// Domain workers pause client steering for about a minute.
inline constexpr const char* STOP_LOAD_BALANCER_CMD_TEXT =
    "{\"service\":\"rrm-internal\", \"cmd\":\"stop-load-balancer\"}";

inline constexpr const char* INTERNAL_SERVICE = "rrm-internal";
inline constexpr const char* DROP_SESSION_CMD = "drop-session";
inline constexpr const char* PING_SESSION_CMD = "ping-session";
inline constexpr const char* STOP_LOAD_BALANCER_CMD = "stop-load-balancer";

}  // namespace rrm
