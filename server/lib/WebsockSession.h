#pragma once
// One connected access point: its session handle, the message being
// reassembled from its frames, its peer address and the second of its last
// sign of life. Held by shared pointer in the WebSocket server's session map;
// the service thread changes it under the sessions lock, the ping worker reads
// `last_activity` without that lock.

#include "BaseSession.h"
#include "BufferInfo.h"
#include "QueueMessage.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace rrm {

class WebsockSession {
public:
    WebsockSession(const BaseSession& handle, std::string peer_text, int64_t now_s)
        : session(handle), peer(std::move(peer_text)), last_activity(now_s)
    {
    }
    WebsockSession(const WebsockSession&) = delete;
    WebsockSession& operator=(const WebsockSession&) = delete;

    BaseSession session;
    BufferInfo rx;
    std::string peer;
    // CLOCK_MONOTONIC seconds.
    std::atomic<int64_t> last_activity;

    // Set when a chunk of the message being received was refused: the rest
    // of that message is thrown away instead of being glued to what is left.
    bool discard_message = false;
    // Set when the connection is being closed by the server; nothing more is
    // taken from it.
    bool closing = false;
    // The last message written that carries a hold, kept (service thread
    // only) until the connection is writeable again: the library writes
    // what the socket does not take from a buffer of its own, and calls
    // for the next write only once that is through.
    std::shared_ptr<QueueMessage> held_message;

    // Texts of this session handed to the parsing thread and not yet done
    // with. The service thread adds (before it queues a text), the parsing
    // thread takes off; while they exceed what one session may hold, the
    // service thread reads nothing more from the connection (`rx_paused`),
    // and the parsing thread asks for reading to resume once they are down
    // to half (`resume_asked`: once per pause).
    std::atomic<uint32_t> waiting_texts{0};
    // Set when the session is erased from the session map: its waiting
    // texts are no longer handed on.
    std::atomic<bool> ended{false};
    std::atomic<uint64_t> waiting_bytes{0};
    std::atomic<bool> rx_paused{false};
    std::atomic<bool> resume_asked{false};

    // Parse time this session has had lately, in seconds, decaying by half
    // every second, as of `parse_load_at` (seconds of the parsing side's
    // clock). The parsing side's alone (ParseScheduler).
    double parse_load = 0;
    double parse_load_at = 0;
};

}  // namespace rrm
