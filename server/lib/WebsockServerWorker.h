#pragma once
// The transport between the server and its access points: a libwebsockets
// server on the configured port, path "/apb/rrm", protocol "websock-rrm".
//
// Threads: the worker's own thread creates and destroys the library context
// (connect/disconnect) and otherwise idles; one service thread runs every
// library callback and is the only one that touches sockets; one parsing
// ("jsonificator") threads parse complete texts, each session's on one of
// them, and hand them to the registry. Any other thread may queue messages for a session; it puts them
// into the connection's outgoing queue and wakes the service thread.
//
// Locks: the sessions lock first; inside it `id_lock` or one connection-queue
// map lock. Nothing of another component (the registry, a worker) is called,
// and no full queue is waited on, while any of them is held. Sessions are
// made and erased only on the service thread (or on the worker thread while
// no service thread runs), so the service thread uses a record it found
// without holding the lock; other threads only read the map.

#include "BaseSession.h"
#include "ParseScheduler.h"
#include "QueueMessage.h"
#include "RawMessage.h"
#include "SafeQueue.h"
#include "SafeUnorderedMap.h"
#include "WebsockSession.h"
#include "Worker.h"

#include <libwebsockets.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace rrm {

class RRM;
class JsonReader;
class JsonWriter;

// One AP connection's outgoing queue. A push that gives up for want of room
// (the peer takes nothing) starts a stall: until the service thread has
// drained the queue to half, later pushes try once and do not wait, so a
// peer that stops reading costs its producers (domain workers, under their
// lock) one wait, not one per message.
struct ConnectionQueue : _SafeQueue<std::shared_ptr<QueueMessage>> {
    explicit ConnectionQueue(int32_t capacity) : _SafeQueue(capacity, false) {}
    std::atomic<bool> stalled{false};
    // Messages dropped during the stall after the first.
    std::atomic<uint64_t> stall_drops{0};
    // On its service thread's send list, not yet looked at: a producer
    // that finds it so leaves the listing (and the wake-up) to the one that
    // set it.
    std::atomic<bool> listed{false};
};
using ConnectionQueueMap = SafeUnorderedMap<lws*, ConnectionQueue>;

// The connections of one service thread whose queues have been pushed to
// since the thread last looked, so that a wake-up costs in proportion to the
// connections with something to send, not to all of them.
struct SendList {
    std::mutex lock;
    std::vector<std::pair<lws*, std::shared_ptr<ConnectionQueue>>> connections;
};

// One parsing thread with its own queue of received texts and its own
// scheduler: every text of a session goes to the same lane (by session id),
// so each AP's messages are parsed and routed in the order they came, and
// the fairness among sessions holds among those of a lane.
struct ParseLane {
    explicit ParseLane(int32_t capacity) : queue(capacity, true)
    {
        // The thread sleeps through the queue's wait, so the service
        // thread writes the eventfd only when it is asleep.
        queue.signal_sleepers_only(true);
    }
    _SafeQueue<RawMessage> queue;
    // Guards the scheduler; taken alone.
    std::mutex lock;
    ParseScheduler scheduler;
    std::thread thread;
    // Large texts freed since the heap was last trimmed (its thread's).
    uint64_t freed_since_trim = 0;
    // Parsed messages that their domain's worker could not take yet, in the
    // order they were parsed; the thread's own. Their sessions are not
    // charged (so no later text of theirs is parsed) and their texts still
    // count as waiting (so their reading stays paused) until they are taken.
    struct Parked {
        std::shared_ptr<WebsockSession> session;
        RawMessage item;
        std::shared_ptr<QueueMessage> message;
        double cost_s = 0;
        // The message's domain.
        std::string domain;
    };
    std::deque<Parked> parked;
    // How many of `parked` each domain has: a later message of such a
    // domain parks behind them, so that a domain's waiting senders are
    // served in turn and none is passed over for ever.
    std::unordered_map<std::string, size_t> parked_domains;
};

// The library calls a plain function; it reaches the one server object of
// the process through this binding.
extern std::function<int(lws*, lws_callback_reasons, void*, void*, size_t)> websock_bound_callback;
extern lws_http_mount websock_mount;
int websock_protocol_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                              size_t len);
// The "http" protocol: the library's own handling, and a time-out for a
// WebSocket that was opened without the AP protocol.
int websock_http_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);

class WebsockServerWorker : public Worker {
public:
    static constexpr int MAX_SERVICE_THREADS = 8;
    static constexpr int MAX_JSONIFICATOR_THREADS = 100;
    // Parsing threads: half the machine's cores, at least one and at most
    // this many. Measured on 8 cores, a parsing thread takes about 60,000
    // AP messages a second and the service thread three times that: four
    // bring AP ingest close to what one thread that receives and parses
    // does (docs/PERFORMANCE.md). A domain worker that falls behind slows
    // its own senders (see retry_parked); the lanes keep each session on
    // one thread whatever the count.
    static constexpr int MAX_PARSE_THREADS = 4;
    // How long a parsing thread keeps looking at its lane, after a parse,
    // before it sleeps.
    static constexpr int PARSE_IDLE_SPIN_US = 50;
    static int default_parse_threads();
    static constexpr int32_t CONNECTION_QUEUE_CAPACITY = 16;
    static constexpr int32_t JSONIFICATOR_QUEUE_CAPACITY = 2048;
    static constexpr size_t RX_BUFFER_SIZE = 65536;
    // Largest message an access point may send, reassembled (see
    // docs/ARCHITECTURE.md for how it was chosen).
    static constexpr uint64_t MAX_MESSAGE_SIZE = 1024u * 1024u;
    // What all sessions together may hold of messages still being
    // reassembled, and of complete texts waiting to be parsed.
    static constexpr uint64_t REASSEMBLY_BUDGET = 32u * 1024u * 1024u;
    static constexpr uint64_t QUEUED_TEXT_BUDGET = 32u * 1024u * 1024u;
    // Texts of one session waiting to be parsed: at this many, or this many
    // bytes, nothing more is read from its connection until the parsing
    // thread has caught up with it (the peer's sends wait in TCP).
    static constexpr uint32_t SESSION_WAITING_TEXTS = 16;
    static constexpr uint64_t SESSION_WAITING_BYTES = 1024u * 1024u;
    // A paused session is read again once its waiting texts are down to
    // half of either limit: resuming at the first text done would pay a
    // wake-up, a pass over every connection and a pause for each message
    // of a sender that keeps its connection full.
    static constexpr uint32_t SESSION_RESUME_TEXTS = SESSION_WAITING_TEXTS / 2;
    static constexpr uint64_t SESSION_RESUME_BYTES = SESSION_WAITING_BYTES / 2;
    // A parsed AP message whose document takes more than this is dropped
    // before it is routed: no message the access points send comes near.
    static constexpr uint64_t MAX_DOCUMENT_BYTES = 64u * 1024u * 1024u;
    // Descriptors of the open-file limit kept for the rest of the server
    // (the web API's connections, a sixteenth of the limit; the TCP API's
    // 32; the domain workers' eventfds; files) when the AP port takes every
    // connection it can: a sixth of the limit, within these bounds (with
    // main's 12,288: 2,048, which leaves 10,240 for the AP port).
    static constexpr int RESERVED_DESCRIPTORS_MIN = 128;
    static constexpr int RESERVED_DESCRIPTORS_MAX = 2048;
    // The most descriptors the AP port's library context may hold, from
    // the process's current open-file limit.
    static int ap_descriptor_limit();

    // Descriptors of the library's own in its table: the listening socket,
    // its wake-up pipe and our adopted wake-up eventfd.
    static constexpr int LIBRARY_DESCRIPTORS = 3;
    // Connections the AP port holds now (accepted and not yet destroyed).
    size_t open_connections() const { return connection_count.load(std::memory_order_relaxed); }
    // Service thread: the library reports a connection accepted or gone.
    void connection_accepted(lws* wsi);
    void connection_destroyed(lws* wsi);

    // Seconds a WebSocket opened without the AP protocol stays open.
    static constexpr int UNBOUND_CONNECTION_TIMEOUT_S = 10;
    // Overload guard: complete messages (all sessions together) counted
    // within one window that make the domain workers pause load balancing,
    // and the least time between two such pauses.
    static constexpr uint32_t OVERLOAD_MESSAGES = 1024;
    static constexpr int64_t OVERLOAD_HOLD_OFF_S = 29;

    explicit WebsockServerWorker(RRM* owner);
    ~WebsockServerWorker() override;

    void process_message(const JsonReader& json, const QueueMessage& msg) override;
    void enqueue_message(JsonReader&& json, const BaseSession& session) override;
    void enqueue_message_force(JsonReader&& json, const BaseSession& session) override;
    bool process_next_message() override;
    void disconnect() override;
    bool connect() override;
    void to_json(JsonWriter& out) override;
    void to_json_full(JsonWriter& out) override;

    void enqueue_serialized(std::string text, const BaseSession& session);
    void enqueue_serialized(const char* text, const BaseSession& session);
    void enqueue_serialized(std::string text, const BaseSession& session,
                            std::shared_ptr<const void> hold);

    int worker_lws_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                            size_t len);
    uint32_t next_session_id();
    // True when the session was opened here and is no longer the live
    // session of its connection: whatever it sent can no longer be answered.
    // A handle this transport never gave out is not known to have ended.
    bool session_ended(const BaseSession& handle);
    void start_jsonificator_threads(int n);
    // Parsing threads of the next start (0: default_parse_threads()); for
    // tests and benchmarks, set before the worker starts.
    void set_parse_threads(int n) { parse_threads_wanted = n; }
    int parse_threads() const { return parse_thread_count.load(); }

    // The port the server listens on, 0 while it does not; differs from the
    // configured one only when that is 0 (the system picks a free port).
    int listening_port() const { return bound_port.load(); }

    // Bytes held by messages being reassembled and by texts waiting to be
    // parsed (for tests and benchmarks).
    uint64_t reassembly_bytes() const { return reassembly_held.load(std::memory_order_relaxed); }
    uint64_t queued_text_bytes() const { return queued_held.load(std::memory_order_relaxed); }
    // Smaller budgets for tests; set before the worker starts.
    void set_text_budgets(uint64_t reassembly, uint64_t queued)
    {
        reassembly_budget = reassembly;
        queued_budget = queued;
    }
    void set_document_limit(uint64_t bytes) { document_limit = bytes; }

    // The live sessions; the ping worker copies them under `sessions.mutex`.
    SafeUnorderedMap<lws*, WebsockSession> sessions;

private:
    struct SendContext {
        WebsockSession* session;
        lws* wsi;
        bool closing;
    };
    enum class Ring { Normal, Force };

    void service_thread(int tsi);
    void jsonificator_thread(ParseLane& lane);
    ParseLane& lane_of(const BaseSession& session)
    {
        return *parse_lanes[session.id % parse_lanes.size()];
    }
    static void logger_callback(int level, const char* line);

    int dispatch(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
    int process_established(lws* wsi, void* user);
    int process_closed(lws* wsi, void* user);
    int process_pong(lws* wsi);
    int process_receive(lws* wsi, void* in, size_t len);
    static bool exceeds_message_size(const WebsockSession& session, size_t len, size_t remaining);
    int refuse_oversized(lws* wsi, WebsockSession& session);
    // Appends a chunk of a message that takes more than one chunk, within
    // the reassembly budget; false when the budget has no room for it.
    bool append_partial(WebsockSession& session, const void* in, size_t len);
    int refuse_busy(lws* wsi, WebsockSession& session);
    // Empties a session's receive buffer and gives its bytes back.
    void discard_rx(WebsockSession& session);
    // Waits (with the queues' back-off) until the queued texts leave room
    // for `size` more bytes; false after the attempt limit.
    bool reserve_queued(uint64_t size);
    // A text is done with (parsed, or dropped): its bytes are given back,
    // and its session's, which may let reading from the session resume.
    void text_done(const RawMessage& item, WebsockSession* session);
    // Parsing thread: a burst of large texts over, their pages go back.
    void trim_after(ParseLane& lane, uint32_t freed);
    static bool session_over_limits(const WebsockSession& session);
    static bool session_may_resume(const WebsockSession& session);
    // Service thread: stops reading from a session that holds too many
    // waiting texts; and resumes those that the parsing thread has caught
    // up with.
    void pause_if_over_limits(lws* wsi, WebsockSession& session);
    void resume_sessions();
    int process_server_writeable(lws* wsi, void* user);
    void process_wait_cancelled(lws* wsi);

    void enqueue(std::shared_ptr<QueueMessage> msg, Ring ring, const char* op);
    // After a push: the connection onto its send list, and the service
    // thread woken, unless both are already done.
    void list_for_sending(const BaseSession& handle, const std::shared_ptr<ConnectionQueue>& queue);
    void clear_send_lists();
    void wake_service(lws* wsi);
    void wake_service_thread();
    void adopt_wake_fd(lws_vhost* vhost);
    bool send_one_message(ConnectionQueue::Ring& ring, SendContext& ctx);
    int lws_send(lws* wsi, const char* buffer, int len, int protocol);
    static void drop_connection_queue(ConnectionQueueMap& map, lws* wsi);
    static std::shared_ptr<ConnectionQueue> new_connection_queue();

    // Parsing side: received texts from the queue into the scheduler (or
    // dropped when their session is gone); the next text is parsed and
    // handed to the registry.
    void admit_received(ParseLane& lane);
    // Parses the text and routes it; a message that its domain's worker
    // cannot take yet comes back (the text's accounting then left to the
    // caller), otherwise null.
    std::shared_ptr<QueueMessage> hand_over(ParseLane& lane, RawMessage& item,
                                            WebsockSession& session);
    // Offers the lane's parked messages again, oldest first; what is taken
    // (or whose session has closed) is done with, and its session charged.
    void retry_parked(ParseLane& lane);
    void free_pending_texts();
    void wait_before_retry();
    static bool port_taken(int port);

    RRM* registry;

    std::mutex id_lock;
    std::mutex stats_lock;
    uint32_t session_id_counter = 1;

    std::vector<std::thread> service_threads;
    // Made before the service threads start and kept until they are
    // joined: the service thread reads the list without a lock.
    std::vector<std::unique_ptr<ParseLane>> parse_lanes;
    int parse_threads_wanted = 0;
    std::atomic<int> parse_thread_count{0};
    std::array<ConnectionQueueMap, MAX_SERVICE_THREADS> connection_queues;
    std::array<SendList, MAX_SERVICE_THREADS> send_lists;

    lws_context_creation_info creation_info;
    lws_protocols protocols[3];
    std::atomic<lws_context*> context{nullptr};
    std::atomic<bool> stopping{false};
    std::atomic<int> bound_port{0};

    // Overload guard; `recv_count` is the service thread's, the others are
    // under `stats_lock`.
    uint32_t recv_count = 0;
    int64_t recv_window_s = 0;
    int64_t last_overload_s = 0;

    // Wakes the service thread: an eventfd whose duplicate the service loop
    // polls. Written by any thread; read on the service thread.
    int wake_fd;
    std::atomic<bool> wake_adopted{false};
    // Set by the thread that writes the eventfd, cleared by the service
    // thread before it looks at what is to do: one write per wake-up, not
    // one per message.
    std::atomic<bool> wake_pending{false};

    // Port failures in a row; the first of a streak is logged.
    uint32_t open_failures = 0;

    // Bytes of partial messages (the service thread's) and of texts in the
    // parsing queue (added by the service thread, taken off by the parsing
    // thread once a text is freed).
    std::atomic<uint64_t> reassembly_held{0};
    // Sessions the parsing thread has caught up with while they were
    // paused, for the service thread; guarded by `resume_lock` (alone).
    std::mutex resume_lock;
    std::vector<BaseSession> resume_requests;
    std::atomic<uint64_t> queued_held{0};
    uint64_t reassembly_budget = REASSEMBLY_BUDGET;
    uint64_t queued_budget = QUEUED_TEXT_BUDGET;
    uint64_t document_limit = MAX_DOCUMENT_BYTES;
    // Accepted connections (service thread), and whether the port is at
    // the most it may hold (one Warning per streak).
    std::unordered_set<lws*> connections;
    std::atomic<size_t> connection_count{0};
    size_t connection_limit = 0;
    bool at_connection_limit = false;
    // Sessions closed for want of reassembly room in the current streak.
    uint32_t busy_refusals = 0;
    // When the heap was last trimmed (any parsing thread).
    std::atomic<int64_t> last_trim_s{0};
};

}  // namespace rrm
