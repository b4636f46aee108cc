#include "WebsockServerWorker.h"

#include "Config.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "LwsLog.h"
#include "RRM.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <shared_mutex>
#include <utility>

namespace rrm {

std::function<int(lws*, lws_callback_reasons, void*, void*, size_t)> websock_bound_callback;
lws_http_mount websock_mount;

int websock_protocol_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                              size_t len)
{
    if (!websock_bound_callback)
        return -1;
    return websock_bound_callback(wsi, reason, user, in, len);
}

int websock_http_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len)
{
    // Every accepted connection is created and destroyed on this protocol,
    // whatever it becomes in between.
    if (reason == LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED ||
        reason == LWS_CALLBACK_WSI_DESTROY) {
        if (auto* server =
                static_cast<WebsockServerWorker*>(lws_context_user(lws_get_context(wsi)))) {
            if (reason == LWS_CALLBACK_WSI_DESTROY)
                server->connection_destroyed(wsi);
            else
                server->connection_accepted(wsi);
        }
    }
    if (reason == LWS_CALLBACK_ESTABLISHED) {
        // A WebSocket opened without "websock-rrm" lands on this protocol:
        // it never becomes an AP session, so nothing would ever ping or close
        // it. The library closes it when the time-out runs out.
        char peer[256] = {0};
        lws_get_peer_simple(wsi, peer, sizeof peer);
        peer[sizeof peer - 1] = '\0';
        RRM_DEBUG("WebSocket from %s without the websock-rrm protocol; closed in %d s", peer,
                  WebsockServerWorker::UNBOUND_CONNECTION_TIMEOUT_S);
        lws_set_timeout(wsi, PENDING_TIMEOUT_USER_REASON_BASE,
                        WebsockServerWorker::UNBOUND_CONNECTION_TIMEOUT_S);
        return 0;
    }
    return lws_callback_http_dummy(wsi, reason, user, in, len);
}

namespace {

// The index of the service thread running on this thread. Wake-ups arrive
// on the library's own pipe connection or on our wake descriptor, whose
// index says nothing about the connections to serve, so the thread says it.
thread_local int t_service_tsi = -1;

int64_t monotonic_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

const std::shared_ptr<std::string> no_details;

const char* reason_name(int reason)
{
    switch (reason) {
    case LWS_CALLBACK_ESTABLISHED:
        return "LWS_CALLBACK_ESTABLISHED";
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        return "LWS_CALLBACK_CLIENT_CONNECTION_ERROR";
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        return "LWS_CALLBACK_CLIENT_ESTABLISHED";
    case LWS_CALLBACK_CLOSED:
        return "LWS_CALLBACK_CLOSED";
    case LWS_CALLBACK_CLOSED_HTTP:
        return "LWS_CALLBACK_CLOSED_HTTP";
    case LWS_CALLBACK_RECEIVE:
        return "LWS_CALLBACK_RECEIVE";
    case LWS_CALLBACK_RECEIVE_PONG:
        return "LWS_CALLBACK_RECEIVE_PONG";
    case LWS_CALLBACK_CLIENT_RECEIVE:
        return "LWS_CALLBACK_CLIENT_RECEIVE";
    case LWS_CALLBACK_CLIENT_RECEIVE_PONG:
        return "LWS_CALLBACK_CLIENT_RECEIVE_PONG";
    case LWS_CALLBACK_CLIENT_WRITEABLE:
        return "LWS_CALLBACK_CLIENT_WRITEABLE";
    case LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED:
        return "LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED";
    case LWS_CALLBACK_PROTOCOL_INIT:
        return "LWS_CALLBACK_PROTOCOL_INIT";
    case LWS_CALLBACK_PROTOCOL_DESTROY:
        return "LWS_CALLBACK_PROTOCOL_DESTROY";
    case LWS_CALLBACK_WSI_CREATE:
        return "LWS_CALLBACK_WSI_CREATE";
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        return "LWS_CALLBACK_EVENT_WAIT_CANCELLED";
    default:
        return nullptr;
    }
}

void set_session_pointer(void* user, WebsockSession* session)
{
    if (user)
        *static_cast<WebsockSession**>(user) = session;
}

// The server object that `websock_bound_callback` calls; a second object
// built while the first lives takes the binding over, and only the object
// that holds it gives it up.
WebsockServerWorker* bound_server = nullptr;

// Guards the library context against being destroyed while another thread
// wakes its service loop.
std::shared_mutex& context_guard()
{
    static std::shared_mutex guard;
    return guard;
}

}  // namespace

WebsockServerWorker::WebsockServerWorker(RRM* owner)
    : Worker("websock-server-worker", owner, 10000, 2048, false),
      registry(owner),
      wake_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    std::memset(&creation_info, 0, sizeof creation_info);
    std::memset(protocols, 0, sizeof protocols);
    using namespace std::placeholders;
    websock_bound_callback =
        std::bind(&WebsockServerWorker::worker_lws_callback, this, _1, _2, _3, _4, _5);
    bound_server = this;
    // The worker's own queue only ever carries its stop message.
    set_notify([] {});
}

WebsockServerWorker::~WebsockServerWorker()
{
    disconnect();
    if (bound_server == this) {
        websock_bound_callback = nullptr;
        bound_server = nullptr;
    }
    for (auto& queues : connection_queues) {
        std::lock_guard<std::mutex> guard(queues.mutex);
        queues.map.clear();
    }
    clear_send_lists();
    free_pending_texts();
    if (wake_fd != -1)
        ::close(wake_fd);
}

void WebsockServerWorker::process_message(const JsonReader&, const QueueMessage&)
{
}

bool WebsockServerWorker::process_next_message()
{
    return Worker::process_next_message();
}

void WebsockServerWorker::to_json_full(JsonWriter& out)
{
    to_json(out);
}

void WebsockServerWorker::to_json(JsonWriter& out)
{
    JsonWriter list = out.add_array("websock-sessions");
    std::vector<std::shared_ptr<WebsockSession>> copy;
    {
        std::lock_guard<std::mutex> guard(sessions.mutex);
        copy.reserve(sessions.map.size());
        for (const auto& entry : sessions.map)
            copy.push_back(entry.second);
    }
    for (const auto& session : copy) {
        JsonWriter item = list.add_object("");
        item.add_int("id", static_cast<int>(session->session.id));
        item.add_string("peer", session->peer.c_str());
    }
}

uint32_t WebsockServerWorker::next_session_id()
{
    std::lock_guard<std::mutex> guard(id_lock);
    return session_id_counter++;
}

bool WebsockServerWorker::session_ended(const BaseSession& handle)
{
    if (handle.id == 0)
        return false;
    std::lock_guard<std::mutex> guard(sessions.mutex);
    auto it = sessions.map.find(handle.wsi);
    if (it != sessions.map.end() && it->second->session.id == handle.id &&
        it->second->session.tsi == handle.tsi)
        return false;
    // Ids are counted up and never given out twice.
    std::lock_guard<std::mutex> ids(id_lock);
    return handle.id < session_id_counter;
}

// ---------------------------------------------------------------------------
// Start and stop

void WebsockServerWorker::wait_before_retry()
{
    // Once a second, but a stop must not wait for the whole second.
    for (int i = 0; i < 100 && !stop_requested.load(); ++i)
        ::usleep(10000);
}

bool WebsockServerWorker::connect()
{
    if (context.load())
        disconnect();
    if (open_failures > 0) {
        wait_before_retry();
        if (stop_requested.load())
            return false;
    }

    std::memset(&websock_mount, 0, sizeof websock_mount);
    websock_mount.mount_next = nullptr;
    websock_mount.mountpoint = "/apb/rrm";
    websock_mount.mountpoint_len = 8;
    websock_mount.origin = "/tmp";
    websock_mount.def = "test.html";
    websock_mount.protocol = "websock-rrm";
    websock_mount.origin_protocol = LWSMPRO_CALLBACK;

    std::memset(protocols, 0, sizeof protocols);
    protocols[0].name = "http";
    protocols[0].callback = websock_http_callback;
    protocols[1].name = "websock-rrm";
    protocols[1].callback = websock_protocol_callback;
    protocols[1].per_session_data_size = sizeof(WebsockSession*);
    protocols[1].rx_buffer_size = RX_BUFFER_SIZE;

    const int port = registry->get_config()->server().listen_port;
    std::memset(&creation_info, 0, sizeof creation_info);
    creation_info.iface = nullptr;
    creation_info.protocols = protocols;
    creation_info.mounts = &websock_mount;
    creation_info.port = port;
    creation_info.gid = -1;
    creation_info.uid = -1;
    creation_info.options = LWS_SERVER_OPTION_DISABLE_IPV6;
    creation_info.count_threads = 1;
    // Below the process's open-file limit, so that the rest of the server
    // (management ports, domain workers' eventfds, log and report files)
    // keeps descriptors when the AP port is flooded with connections; the
    // library stops accepting at this bound instead of failing accept()
    // over and over.
    const int descriptors = ap_descriptor_limit();
    creation_info.fd_limit_per_thread = static_cast<unsigned int>(descriptors);
    connection_limit = descriptors > LIBRARY_DESCRIPTORS ? descriptors - LIBRARY_DESCRIPTORS : 0;
    creation_info.user = this;

    // Every class of the library's lines, which the bridge writes at Debug:
    // none is formatted while Debug is not written.
    set_lws_log(0x3ff, logger_callback, LOG_LEVEL_DEBUG);

    // The library leaks a little with every context that cannot bind, so a
    // port that is plainly taken is not handed to it again and again.
    lws_context* created = port_taken(port) ? nullptr : lws_create_context(&creation_info);
    if (!created) {
        if (open_failures++ == 0)
            RRM_ERROR("Can't open the access point port %d; retrying every second", port);
        return false;
    }
    if (open_failures > 0)
        RRM_INFO("Access point port %d open after %u failed attempts", port, open_failures);
    open_failures = 0;
    // The parsing threads first: the service thread hands them texts.
    start_jsonificator_threads(parse_threads_wanted > 0 ? parse_threads_wanted
                                                        : default_parse_threads());
    {
        std::unique_lock<std::shared_mutex> guard(context_guard());
        context.store(created);
    }
    lws_vhost* vhost = lws_get_vhost_by_name(created, "default");
    bound_port.store(vhost ? lws_get_vhost_listen_port(vhost) : port);
    adopt_wake_fd(vhost);

    const int n = lws_get_count_threads(created);
    RRM_DEBUG("Starting %d lws threads", n);
    for (int i = 0; i < n; ++i)
        service_threads.emplace_back(&WebsockServerWorker::service_thread, this, i);
    return true;
}

void WebsockServerWorker::adopt_wake_fd(lws_vhost* vhost)
{
    wake_adopted = false;
    // A wake-up of the last context that was never served must not hold
    // back those of this one.
    wake_pending.store(false);
    if (wake_fd == -1 || !vhost)
        return;
    // The library closes what it adopts when the context goes; it gets a
    // duplicate, and the descriptor that producers write to stays ours.
    const int duplicate = ::fcntl(wake_fd, F_DUPFD_CLOEXEC, 0);
    if (duplicate == -1)
        return;
    lws_sock_file_fd_type fd;
    fd.filefd = duplicate;
    if (lws_adopt_descriptor_vhost(vhost, LWS_ADOPT_RAW_FILE_DESC, fd, "websock-rrm", nullptr))
        wake_adopted = true;
    else
        ::close(duplicate);
}

void WebsockServerWorker::connection_accepted(lws* wsi)
{
    if (!connections.insert(wsi).second)
        return;
    connection_count.store(connections.size(), std::memory_order_relaxed);
    if (!at_connection_limit && connection_limit > 0 && connections.size() >= connection_limit) {
        at_connection_limit = true;
        RRM_WARNING("The access point port holds %zu connections, its most; further connections "
                    "wait until some close",
                    connections.size());
    }
}

void WebsockServerWorker::connection_destroyed(lws* wsi)
{
    if (connections.erase(wsi) == 0)
        return;
    connection_count.store(connections.size(), std::memory_order_relaxed);
    // A streak ends once a tenth of the room is free again.
    if (at_connection_limit && connections.size() < connection_limit - connection_limit / 10) {
        at_connection_limit = false;
        RRM_INFO("The access point port accepts connections again (%zu open)", connections.size());
    }
}

int WebsockServerWorker::ap_descriptor_limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    const rlim_t total = std::min<rlim_t>(limit.rlim_cur, 1 << 20);
    const rlim_t reserve = std::min<rlim_t>(RESERVED_DESCRIPTORS_MAX,
                                            std::max<rlim_t>(RESERVED_DESCRIPTORS_MIN, total / 6));
    return total > reserve + 16 ? static_cast<int>(total - reserve) : static_cast<int>(total / 2);
}

bool WebsockServerWorker::port_taken(int port)
{
    if (port <= 0)
        return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return false;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                       errno == EADDRINUSE;
    ::close(fd);
    return taken;
}

void WebsockServerWorker::disconnect()
{
    stopping.store(true);
    if (context.load())
        wake_service_thread();
    for (auto& t : service_threads)
        if (t.joinable())
            t.join();
    service_threads.clear();
    for (auto& lane : parse_lanes)
        if (lane->thread.joinable())
            lane->thread.join();

    for (auto& queues : connection_queues) {
        std::lock_guard<std::mutex> guard(queues.mutex);
        queues.map.clear();
    }
    // Their connections go with the context.
    clear_send_lists();
    // Texts not parsed before the stop belong to sessions that are about to
    // be closed; a later start must not hand them on.
    free_pending_texts();
    parse_lanes.clear();
    parse_thread_count.store(0);

    if (lws_context* ctx = context.load()) {
        // Every open connection is reported closed (and so its session
        // erased and the domain workers told) during the destroy.
        lws_context_destroy(ctx);
        std::unique_lock<std::shared_mutex> guard(context_guard());
        context.store(nullptr);
    }
    connections.clear();
    connection_count.store(0);
    at_connection_limit = false;
    wake_adopted.store(false);
    bound_port.store(0);
    stopping.store(false);
}

void WebsockServerWorker::service_thread(int tsi)
{
    t_service_tsi = tsi;
    if (stopping.load())
        return;
    for (;;) {
        lws_context* ctx = context.load();
        if (!ctx)
            break;
        if (lws_service_tsi(ctx, 0, tsi) < 0 || stopping.load())
            break;
    }
}

void WebsockServerWorker::logger_callback(int level, const char* line)
{
    if (!log_enabled(LOG_LEVEL_DEBUG))
        return;
    // One line on one record: line feeds become blanks, in a copy on the
    // stack (the library's lines are at most 256 bytes).
    const std::size_t length = line ? std::strlen(line) : 0;
    char stack[512];
    std::string heap;
    char* text = stack;
    if (length > sizeof stack) {
        heap.assign(line, length);
        text = &heap[0];
    } else if (length > 0) {
        std::memcpy(stack, line, length);
    }
    std::replace(text, text + length, '\n', ' ');
    RRM_DEBUG("libwebsocket-debug> %d: %.*s", level, static_cast<int>(length), text);
}

// ---------------------------------------------------------------------------
// Callback dispatch

int WebsockServerWorker::worker_lws_callback(lws* wsi, lws_callback_reasons reason, void* user,
                                             void* in, size_t len)
{
    if (static_cast<int>(reason) > LWS_CALLBACK_EVENT_WAIT_CANCELLED)
        return 0;
    // Nothing may unwind into the C library.
    try {
        return dispatch(wsi, reason, user, in, len);
    } catch (const std::exception& e) {
        RRM_ERROR("Exception at processing message on websock-server-worker: %s", e.what());
    } catch (...) {
        RRM_ERROR("Exception at processing message on websock-server-worker: %s",
                  "unknown exception");
    }
    notify_event(EVENT_WS_CALLBACK_EXCEPTION, no_details);
    return -1;
}

int WebsockServerWorker::dispatch(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                                  size_t len)
{
    if (reason == LWS_CALLBACK_SERVER_WRITEABLE)
        return process_server_writeable(wsi, user);
    if (reason == LWS_CALLBACK_RAW_RX_FILE) {
        // The wake-up descriptor: producers have queued something, or the
        // parsing thread has caught up with a paused session.
        uint64_t counter;
        ssize_t r = ::read(wake_fd, &counter, sizeof counter);
        (void)r;
        // Before the lists are taken: what is listed after this wakes the
        // thread again.
        wake_pending.exchange(false);
        resume_sessions();
        process_wait_cancelled(wsi);
        return 0;
    }
    const char* name = reason_name(reason);
    if (!name)
        return 0;
    RRM_DEBUG("%s", name);
    switch (reason) {
    case LWS_CALLBACK_ESTABLISHED:
        return process_established(wsi, user);
    case LWS_CALLBACK_CLOSED:
    case LWS_CALLBACK_CLOSED_HTTP:
        return process_closed(wsi, user);
    case LWS_CALLBACK_RECEIVE:
        return process_receive(wsi, in, len);
    case LWS_CALLBACK_RECEIVE_PONG:
        return process_pong(wsi);
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        resume_sessions();
        process_wait_cancelled(wsi);
        return 0;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Sessions

int WebsockServerWorker::process_established(lws* wsi, void* user)
{
    {
        std::lock_guard<std::mutex> guard(sessions.mutex);
        if (sessions.map.find(wsi) == sessions.map.end()) {
            char peer[256] = {0};
            lws_get_peer_simple(wsi, peer, sizeof peer);
            peer[sizeof peer - 1] = '\0';
            const int32_t tsi = lws_get_tsi(wsi);
            const uint32_t id = next_session_id();
            auto session = std::make_shared<WebsockSession>(BaseSession{wsi, tsi, id},
                                                            std::string(peer),
                                                            monotonic_seconds());
            set_session_pointer(user, session.get());
            sessions.map.emplace(wsi, std::move(session));
        }
    }
    // The first writeable event creates the connection's queue.
    lws_callback_on_writable(wsi);
    return 0;
}

int WebsockServerWorker::process_closed(lws* wsi, void* user)
{
    BaseSession closed = null_session;
    {
        std::lock_guard<std::mutex> guard(sessions.mutex);
        auto it = sessions.map.find(wsi);
        if (it == sessions.map.end())
            return 0;
        set_session_pointer(user, nullptr);
        closed = it->second->session;
        // A message cut off by the close: its bytes are given back.
        discard_rx(*it->second);
        const int tsi = lws_get_tsi(wsi);
        if (tsi < 0 || tsi >= MAX_SERVICE_THREADS)
            RRM_ERROR("process_closed: invalid lws tsi %d", tsi);
        else
            drop_connection_queue(connection_queues[tsi], wsi);
        it->second->ended.store(true);
        sessions.map.erase(it);
    }
    // Told after the lock is released: the registry takes its own lock, and
    // it queues on the domain workers, which may be waiting for ours.
    registry->drop_session_at_rrm_worker(closed);
    return 0;
}

int WebsockServerWorker::process_pong(lws* wsi)
{
    {
        std::lock_guard<std::mutex> guard(sessions.mutex);
        auto it = sessions.map.find(wsi);
        if (it == sessions.map.end())
            return 0;
        it->second->last_activity.store(monotonic_seconds());
    }
    lws_set_timeout(wsi, NO_PENDING_TIMEOUT, 0);
    return 0;
}

// ---------------------------------------------------------------------------
// Receive path

int WebsockServerWorker::process_receive(lws* wsi, void* in, size_t len)
{
    std::shared_ptr<WebsockSession> found;
    {
        std::lock_guard<std::mutex> guard(sessions.mutex);
        auto it = sessions.map.find(wsi);
        if (it == sessions.map.end())
            return 0;
        found = it->second;
    }
    // The lock covers only the look-up: sessions are made and erased on this
    // thread alone, and the receive state of a session is this thread's.
    WebsockSession& session = *found;
    if (session.closing)
        return 0;

    RawMessage item;
    int text_size = 0;
    bool overloaded = false;

    const size_t remaining = lws_remaining_packet_payload(wsi);
    const bool intermediate = remaining != 0 || lws_is_final_fragment(wsi) == 0;
    if (intermediate) {
        if (session.discard_message || len == 0 || !in)
            return 0;
        if (len > static_cast<size_t>(INT_MAX)) {
            RRM_ERROR("websocket fragment exceeds INT_MAX; session %u", session.session.id);
            // The rest of this message must not be taken for a message.
            discard_rx(session);
            session.discard_message = true;
            return 0;
        }
        if (exceeds_message_size(session, len, remaining))
            return refuse_oversized(wsi, session);
        if (!append_partial(session, in, len))
            return refuse_busy(wsi, session);
        return 0;
    }

    // This chunk completes the message.
    const int64_t now = monotonic_seconds();
    session.last_activity.store(now);
    lws_set_timeout(wsi, NO_PENDING_TIMEOUT, 0);

    if (session.discard_message) {
        session.discard_message = false;
        discard_rx(session);
        return 0;
    }
    if (len != 0) {
        if (!in) {
            discard_rx(session);
            return 0;
        }
        if (len > static_cast<size_t>(INT_MAX)) {
            RRM_ERROR("websocket frame exceeds INT_MAX; session %u", session.session.id);
            discard_rx(session);
            return 0;
        }
        if (exceeds_message_size(session, len, remaining))
            return refuse_oversized(wsi, session);
        if (session.rx.size > 0) {
            // The end of a message that took several chunks.
            if (!append_partial(session, in, len))
                return refuse_busy(wsi, session);
        } else {
            // A message in one chunk is handed on at once.
            session.rx.append(in, static_cast<int32_t>(len));
            reassembly_held.fetch_add(len, std::memory_order_relaxed);
        }
    }
    if (busy_refusals > 0 && reassembly_held.load(std::memory_order_relaxed) < reassembly_budget / 2) {
        RRM_INFO("AP messages being received fit again after %u sessions were closed", busy_refusals);
        busy_refusals = 0;
    }
    text_size = session.rx.size < 0 ? 0 : static_cast<int>(session.rx.size);

    // Overload guard: all sessions' complete messages, looked at by the
    // first message of each later second.
    ++recv_count;
    {
        std::lock_guard<std::mutex> stats(stats_lock);
        if (now - recv_window_s > 0) {
            recv_window_s = now;
            if (recv_count >= OVERLOAD_MESSAGES && now - last_overload_s > OVERLOAD_HOLD_OFF_S) {
                last_overload_s = now;
                overloaded = true;
            }
            recv_count = 0;
        }
    }
    reassembly_held.fetch_sub(static_cast<uint64_t>(session.rx.size), std::memory_order_relaxed);
    item.size = static_cast<uint32_t>(session.rx.size);
    item.text = session.rx.release();
    item.session = session.session;

    // The registry takes its own lock and the parsing queue may make us wait:
    // none of ours is held.
    if (log_enabled(LOG_LEVEL_DEBUG)) {
        // A record carries at most the head of a message and its length.
        const PeerText quoted(item.text, static_cast<size_t>(text_size));
        RRM_DEBUG("Recv %.*s", quoted.size(), quoted.data());
    }
    if (overloaded)
        registry->stop_load_balancer_at_rrm_worker(item.session);

    char* text = item.text;
    const uint32_t id = item.session.id;
    const uint32_t size = item.size;
    // Room among the queued texts first, then a cell of the ring; either
    // may make this thread wait, as a full ring always has. Counted for the
    // session before the parsing thread can take the text off.
    session.waiting_texts.fetch_add(1);
    session.waiting_bytes.fetch_add(size);
    const bool reserved = reserve_queued(size);
    if (!reserved || !lane_of(item.session).queue.push(std::move(item), QUEUE_ATTEMPT_LIMIT)) {
        RRM_ERROR("jsonificator_queue overflow: message dropped from session %d",
                  static_cast<int>(id));
        notify_event(EVENT_WS_QUEUE_OVERFLOW, no_details);
        std::free(text);
        if (reserved)
            queued_held.fetch_sub(size, std::memory_order_relaxed);
        session.waiting_texts.fetch_sub(1);
        session.waiting_bytes.fetch_sub(size);
        return 0;
    }
    // A session whose texts pile up waits for its turn in TCP, not here.
    pause_if_over_limits(wsi, session);
    return 0;
}

bool WebsockServerWorker::exceeds_message_size(const WebsockSession& session, size_t len,
                                               size_t remaining)
{
    // The rest of the current frame is announced in its header: a frame
    // that cannot fit is refused at its first chunk, not after it was
    // collected.
    return static_cast<uint64_t>(session.rx.size) + static_cast<uint64_t>(len) +
               static_cast<uint64_t>(remaining) >
           MAX_MESSAGE_SIZE;
}

int WebsockServerWorker::refuse_oversized(lws* wsi, WebsockSession& session)
{
    RRM_ERROR("websocket message exceeds %llu bytes; session %u closed",
              static_cast<unsigned long long>(MAX_MESSAGE_SIZE), session.session.id);
    discard_rx(session);
    session.closing = true;
    static const char reason[] = "message too big";
    lws_close_reason(wsi, LWS_CLOSE_STATUS_MESSAGE_TOO_LARGE,
                     reinterpret_cast<unsigned char*>(const_cast<char*>(reason)), sizeof reason - 1);
    // The caller returns -1; the library then sends the close frame and
    // reports the close.
    return -1;
}

bool WebsockServerWorker::append_partial(WebsockSession& session, const void* in, size_t len)
{
    // Only this thread changes the count.
    const uint64_t held = reassembly_held.load(std::memory_order_relaxed);
    if (held + len > reassembly_budget)
        return false;
    session.rx.append(in, static_cast<int32_t>(len));
    reassembly_held.store(held + len, std::memory_order_relaxed);
    return true;
}

int WebsockServerWorker::refuse_busy(lws* wsi, WebsockSession& session)
{
    // One record per streak: the messages of many sessions may be cut off
    // while the room is taken.
    if (busy_refusals++ == 0)
        RRM_WARNING("AP messages being received hold %llu bytes, the most allowed; session %u "
                    "closed, and further sessions whose messages do not fit until there is room",
                    static_cast<unsigned long long>(reassembly_held.load()), session.session.id);
    discard_rx(session);
    session.closing = true;
    static const char reason[] = "try again later";
    // 1013, "Try Again Later", which the library has no name for.
    lws_close_reason(wsi, static_cast<lws_close_status>(1013),
                     reinterpret_cast<unsigned char*>(const_cast<char*>(reason)), sizeof reason - 1);
    return -1;
}

void WebsockServerWorker::discard_rx(WebsockSession& session)
{
    reassembly_held.fetch_sub(static_cast<uint64_t>(session.rx.size), std::memory_order_relaxed);
    session.rx.clear();
}

bool WebsockServerWorker::reserve_queued(uint64_t size)
{
    unsigned delay_us = 1;
    for (uint64_t attempt = 1;; ++attempt) {
        uint64_t held = queued_held.load(std::memory_order_relaxed);
        // A text larger than the whole budget still goes when nothing else
        // is queued, so that it cannot wait for ever.
        while (held == 0 || held + size <= queued_budget) {
            if (queued_held.compare_exchange_weak(held, held + size, std::memory_order_relaxed))
                return true;
        }
        if (attempt >= QUEUE_ATTEMPT_LIMIT || stopping.load())
            return false;
        if (attempt < 64) {
        } else if (attempt < 128) {
            sched_yield();
        } else {
            ::usleep(delay_us);
            if (delay_us <= 999)
                delay_us = std::min(2 * delay_us, 1000u);
        }
    }
}

void WebsockServerWorker::text_done(const RawMessage& item, WebsockSession* session)
{
    queued_held.fetch_sub(item.size, std::memory_order_relaxed);
    if (session) {
        session->waiting_bytes.fetch_sub(item.size);
        session->waiting_texts.fetch_sub(1);
        // Read after the counts went down; the service thread reads them
        // after it set the flag: one of the two sees the other (see
        // pause_if_over_limits).
        if (session->rx_paused.load() && !session_over_limits(*session)) {
            {
                std::lock_guard<std::mutex> guard(resume_lock);
                resume_requests.push_back(session->session);
            }
            wake_service_thread();
        }
    }
}

void WebsockServerWorker::trim_after(ParseLane& lane, uint32_t freed)
{
    // A burst of large messages leaves the heap with free pages that malloc
    // keeps; once the burst is over (nothing queued on this lane), give them
    // back, at most once a second.
    if (freed >= 64 * 1024)
        lane.freed_since_trim += freed;
    if (lane.freed_since_trim >= 16u * 1024u * 1024u && lane.queue.empty()) {
        const int64_t now = monotonic_seconds();
        int64_t last = last_trim_s.load();
        if (now != last && last_trim_s.compare_exchange_strong(last, now)) {
            lane.freed_since_trim = 0;
            ::malloc_trim(0);
        }
    }
}

bool WebsockServerWorker::session_over_limits(const WebsockSession& session)
{
    return session.waiting_texts.load() >= SESSION_WAITING_TEXTS ||
           session.waiting_bytes.load() >= SESSION_WAITING_BYTES;
}

void WebsockServerWorker::pause_if_over_limits(lws* wsi, WebsockSession& session)
{
    if (session.rx_paused.load() || !session_over_limits(session))
        return;
    // The flag first, then the counts again: a parsing thread that took
    // the counts below the limits before it could see the flag is made up
    // for here.
    session.rx_paused.store(true);
    lws_rx_flow_control(wsi, 0);
    if (!session_over_limits(session)) {
        session.rx_paused.store(false);
        lws_rx_flow_control(wsi, 1);
    }
}

void WebsockServerWorker::resume_sessions()
{
    std::vector<BaseSession> handles;
    {
        std::lock_guard<std::mutex> guard(resume_lock);
        handles.swap(resume_requests);
    }
    for (const BaseSession& handle : handles) {
        std::shared_ptr<WebsockSession> session;
        {
            std::lock_guard<std::mutex> guard(sessions.mutex);
            auto it = sessions.map.find(handle.wsi);
            if (it != sessions.map.end() && it->second->session.id == handle.id)
                session = it->second;
        }
        // Sessions are erased on this thread only: the connection is live.
        if (session && session->rx_paused.load() && !session_over_limits(*session)) {
            session->rx_paused.store(false);
            lws_rx_flow_control(handle.wsi, 1);
        }
    }
}

int WebsockServerWorker::default_parse_threads()
{
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::max(1, std::min(cores / 2, MAX_PARSE_THREADS));
}

void WebsockServerWorker::start_jsonificator_threads(int n)
{
    // Only while no service thread runs: it picks a lane without a lock.
    if (!parse_lanes.empty() || n < 1)
        return;
    const int count = std::min(n, MAX_JSONIFICATOR_THREADS);
    for (int i = 0; i < count; ++i)
        parse_lanes.push_back(std::make_unique<ParseLane>(JSONIFICATOR_QUEUE_CAPACITY));
    for (auto& lane : parse_lanes)
        lane->thread = std::thread(&WebsockServerWorker::jsonificator_thread, this, std::ref(*lane));
    parse_thread_count.store(count);
}

namespace {

double steady_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void WebsockServerWorker::jsonificator_thread(ParseLane& lane)
{
    while (!stopping.load()) {
        admit_received(lane);
        std::shared_ptr<WebsockSession> session;
        RawMessage item;
        bool taken;
        {
            std::lock_guard<std::mutex> guard(lane.lock);
            taken = lane.scheduler.next(session, item);
        }
        if (taken) {
            const double begin = steady_seconds();
            hand_over(lane, item, *session);
            const double end = steady_seconds();
            std::lock_guard<std::mutex> guard(lane.lock);
            lane.scheduler.charge(*session, end - begin, end);
            continue;
        }
        if (!lane.queue.empty())
            continue;  // a push is in progress
        if (lane.queue.event_fd != -1) {
            lane.queue.wait_for_push(10);
        } else {
            ::usleep(10000);
        }
    }
}

void WebsockServerWorker::admit_received(ParseLane& lane)
{
    // Everything queued is taken at once: the scheduler, not the order of
    // arrival, decides what is parsed first. Each session holds at most a
    // few texts (SESSION_WAITING_TEXTS), so this is bounded by the sessions.
    std::vector<std::pair<std::shared_ptr<WebsockSession>, RawMessage>> admitted;
    RawMessage item;
    while (lane.queue.pop(item)) {
        std::shared_ptr<WebsockSession> session;
        if (item.text && item.session.wsi) {
            // The connection may since have closed, or been reused by
            // another session: only the session that sent the text may be
            // answered.
            std::lock_guard<std::mutex> guard(sessions.mutex);
            auto it = sessions.map.find(item.session.wsi);
            if (it != sessions.map.end() && it->second->session.id == item.session.id)
                session = it->second;
        }
        if (!session) {
            std::free(item.text);
            item.text = nullptr;
            text_done(item, nullptr);
            trim_after(lane, item.size);
            continue;
        }
        admitted.emplace_back(std::move(session), item);
        item = RawMessage();
    }
    if (admitted.empty())
        return;
    const double now = steady_seconds();
    std::lock_guard<std::mutex> guard(lane.lock);
    for (auto& entry : admitted)
        lane.scheduler.add(entry.first, std::move(entry.second), now);
}

void WebsockServerWorker::hand_over(ParseLane& lane, RawMessage& item, WebsockSession& session)
{
    // However the hand-over ends, the text is freed and its bytes are
    // given back.
    struct Done {
        WebsockServerWorker* self;
        ParseLane& lane;
        RawMessage& item;
        WebsockSession& session;
        ~Done()
        {
            self->text_done(item, &session);
            self->trim_after(lane, item.size);
        }
    } done{this, lane, item, session};
    std::unique_ptr<char, decltype(&std::free)> text(item.text, &std::free);
    item.text = nullptr;
    // The session may have closed while the text waited.
    if (session.ended.load())
        return;
    // One bad message must not end the thread that parses everybody's.
    try {
        // The parse stops where the document would outgrow the limit: such a
        // text costs the parsing thread (and everybody waiting for it) only
        // what the limit allows.
        JsonReader reader(text.get(), static_cast<std::size_t>(8192), document_limit);
        text.reset();
        if (reader.arena_limit_reached() || reader.arena_bytes() > document_limit) {
            RRM_ERROR("Message from session %u takes more than %llu bytes once parsed, more than "
                      "any AP message needs; dropped",
                      item.session.id, static_cast<unsigned long long>(document_limit));
            return;
        }
        registry->process_incoming_message(std::move(reader), item.session);
    } catch (const std::exception& e) {
        RRM_ERROR("Exception at handling message from session %u: %s; message dropped",
                  item.session.id, e.what());
    } catch (...) {
        RRM_ERROR("Exception at handling message from session %u: %s; message dropped",
                  item.session.id, "unknown exception");
    }
}

void WebsockServerWorker::free_pending_texts()
{
    for (auto& lane : parse_lanes) {
        RawMessage item;
        while (lane->queue.pop(item)) {
            std::free(item.text);
            item.text = nullptr;
            queued_held.fetch_sub(item.size, std::memory_order_relaxed);
        }
        std::lock_guard<std::mutex> guard(lane->lock);
        lane->scheduler.drain([this](const std::shared_ptr<WebsockSession>&, RawMessage& held) {
            std::free(held.text);
            held.text = nullptr;
            queued_held.fetch_sub(held.size, std::memory_order_relaxed);
        });
    }
}

// ---------------------------------------------------------------------------
// Send path

std::shared_ptr<ConnectionQueue> WebsockServerWorker::new_connection_queue()
{
    return std::make_shared<ConnectionQueue>(CONNECTION_QUEUE_CAPACITY);
}

void WebsockServerWorker::enqueue_message(JsonReader&& json, const BaseSession& session)
{
    enqueue(std::make_shared<QueueMessage>(std::move(json), session), Ring::Normal,
            "enqueue_message");
}

void WebsockServerWorker::enqueue_message_force(JsonReader&& json, const BaseSession& session)
{
    enqueue(std::make_shared<QueueMessage>(std::move(json), session), Ring::Force,
            "enqueue_message_force");
}

void WebsockServerWorker::enqueue_serialized(std::string text, const BaseSession& session)
{
    enqueue(std::make_shared<QueueMessage>(std::move(text), session), Ring::Normal,
            "enqueue_serialized");
}

void WebsockServerWorker::enqueue_serialized(std::string text, const BaseSession& session,
                                             std::shared_ptr<const void> hold)
{
    auto msg = std::make_shared<QueueMessage>(std::move(text), session);
    msg->hold = std::move(hold);
    enqueue(std::move(msg), Ring::Normal, "enqueue_serialized");
}

void WebsockServerWorker::enqueue_serialized(const char* text, const BaseSession& session)
{
    if (!text)
        return;
    enqueue_serialized(std::string(text), session);
}

void WebsockServerWorker::enqueue(std::shared_ptr<QueueMessage> msg, Ring ring, const char* op)
{
    const BaseSession handle = msg->session;
    if (!handle.wsi)
        return;
    if (static_cast<uint32_t>(handle.tsi) >= MAX_SERVICE_THREADS) {
        RRM_ERROR("%s: invalid lws tsi %d", op, handle.tsi);
        return;
    }
    std::shared_ptr<ConnectionQueue> queue;
    {
        std::lock_guard<std::mutex> guard(sessions.mutex);
        auto it = sessions.map.find(handle.wsi);
        if (it == sessions.map.end()) {
            RRM_DEBUG("%s: no live websocket session for wsi (dropped id=%u)", op, handle.id);
            return;
        }
        const BaseSession& live = it->second->session;
        if (live.tsi != handle.tsi || live.id != handle.id) {
            RRM_DEBUG("%s: BaseSession stale or mismatched (msg id=%u tsi=%d vs live id=%u tsi=%d)",
                      op, handle.id, handle.tsi, live.id, live.tsi);
            return;
        }
        ConnectionQueueMap& queues = connection_queues[handle.tsi];
        std::lock_guard<std::mutex> map_guard(queues.mutex);
        auto& slot = queues.map[handle.wsi];
        if (!slot)
            slot = new_connection_queue();
        queue = slot;
    }
    // Pushed with no lock held: while this producer waits for room, the
    // service thread goes on draining this and every other connection. A
    // queue that the close handling drops meanwhile only takes the message
    // with it when the last reference goes.
    const uint64_t attempts = queue->stalled.load() ? 1 : CONNECTION_QUEUE_ATTEMPT_LIMIT;
    const bool queued = ring == Ring::Force ? queue->push_force(std::move(msg), attempts)
                                            : queue->push(std::move(msg), attempts);
    if (!queued) {
        notify_event(EVENT_WS_QUEUE_OVERFLOW, no_details);
        if (queue->stalled.exchange(true)) {
            // Counted; the service thread says how many once the peer
            // takes messages again.
            queue->stall_drops.fetch_add(1);
        } else if (ring == Ring::Force) {
            RRM_ERROR("per-wsi force queue overflow: outgoing message dropped for session %d",
                      static_cast<int>(handle.id));
        } else {
            RRM_ERROR("per-wsi queue overflow: outgoing message dropped for session %d",
                      static_cast<int>(handle.id));
        }
    }
    list_for_sending(handle, queue);
}

void WebsockServerWorker::list_for_sending(const BaseSession& handle,
                                           const std::shared_ptr<ConnectionQueue>& queue)
{
    // The flag is taken after the push: either this producer lists the
    // connection, or it is still listed and the service thread, clearing
    // the flag before it looks at the queue, finds this push there.
    if (queue->listed.exchange(true))
        return;
    {
        SendList& list = send_lists[handle.tsi];
        std::lock_guard<std::mutex> guard(list.lock);
        list.connections.emplace_back(handle.wsi, queue);
    }
    wake_service(handle.wsi);
}

void WebsockServerWorker::clear_send_lists()
{
    for (SendList& list : send_lists) {
        std::lock_guard<std::mutex> guard(list.lock);
        list.connections.clear();
    }
}

void WebsockServerWorker::wake_service(lws* wsi)
{
    if (!wsi || !context.load())
        return;
    wake_service_thread();
}

void WebsockServerWorker::wake_service_thread()
{
    // Through a descriptor of our own that the service loop polls: the
    // library's cancel call would write a log line of its own on the
    // calling thread, at the cost of a formatted line per wake-up.
    if (wake_adopted.load()) {
        // A wake-up not yet served serves this one too: the service thread
        // clears the flag before it takes the lists.
        if (wake_pending.exchange(true))
            return;
        uint64_t one = 1;
        ssize_t r = ::write(wake_fd, &one, sizeof one);
        (void)r;
        return;
    }
    std::shared_lock<std::shared_mutex> guard(context_guard());
    if (lws_context* ctx = context.load())
        lws_cancel_service(ctx);
}

void WebsockServerWorker::process_wait_cancelled(lws* wsi)
{
    if (!wsi)
        return;
    const int tsi = t_service_tsi;
    if (static_cast<uint32_t>(tsi) >= MAX_SERVICE_THREADS)
        return;
    std::vector<std::pair<lws*, std::shared_ptr<ConnectionQueue>>> listed;
    {
        SendList& list = send_lists[tsi];
        std::lock_guard<std::mutex> guard(list.lock);
        listed.swap(list.connections);
    }
    std::vector<std::pair<lws*, std::shared_ptr<ConnectionQueue>>> orphans;
    for (auto& entry : listed) {
        // Cleared before the queue is looked at: a push after this lists
        // the connection again, one before it is seen here.
        entry.second->listed.exchange(false);
        if (entry.second->size() == 0)
            continue;
        bool live;
        {
            std::lock_guard<std::mutex> guard(sessions.mutex);
            live = sessions.map.find(entry.first) != sessions.map.end();
        }
        // Connections are closed and freed only on this thread, so the
        // connection is still there; a writeable event is asked for until
        // one finds the queue empty.
        if (live)
            lws_callback_on_writable(entry.first);
        else
            orphans.push_back(std::move(entry));
    }
    if (!orphans.empty()) {
        ConnectionQueueMap& queues = connection_queues[tsi];
        std::lock_guard<std::mutex> guard(queues.mutex);
        for (const auto& orphan : orphans) {
            auto it = queues.map.find(orphan.first);
            if (it != queues.map.end() && it->second == orphan.second)
                queues.map.erase(it);
        }
    }
}

int WebsockServerWorker::process_server_writeable(lws* wsi, void* user)
{
    // Sessions are made and erased only on this thread, so the record found
    // here stays the live one for the whole event; the lock is not held
    // while writing, so that producers and the parsing thread go on.
    std::shared_ptr<WebsockSession> session;
    {
        std::lock_guard<std::mutex> guard(sessions.mutex);
        auto it = sessions.map.find(wsi);
        if (it == sessions.map.end())
            return 0;
        session = it->second;
    }
    const int tsi = lws_get_tsi(wsi);
    if (static_cast<uint32_t>(tsi) >= MAX_SERVICE_THREADS) {
        RRM_ERROR("process_server_writeable: invalid lws tsi %d", tsi);
        return 0;
    }
    std::shared_ptr<ConnectionQueue> queue;
    {
        ConnectionQueueMap& queues = connection_queues[tsi];
        std::lock_guard<std::mutex> map_guard(queues.mutex);
        auto& slot = queues.map[wsi];
        if (!slot) {
            slot = new_connection_queue();
            return 0;
        }
        queue = slot;
    }
    // Writeable again: the last held message has left.
    session->held_message.reset();
    // Only this thread consumes the queue.
    SendContext ctx{session.get(), wsi, false};
    const bool taken = send_one_message(queue->force, ctx) || send_one_message(queue->normal, ctx);
    if (queue->stalled.load() && queue->size() <= CONNECTION_QUEUE_CAPACITY / 2) {
        queue->stalled.store(false);
        if (const uint64_t dropped = queue->stall_drops.exchange(0))
            RRM_WARNING("per-wsi queue overflow: %llu more outgoing messages dropped for session "
                        "%u while it took none",
                        static_cast<unsigned long long>(dropped), session->session.id);
    }

    if (ctx.closing) {
        {
            std::lock_guard<std::mutex> guard(sessions.mutex);
            set_session_pointer(user, nullptr);
            drop_connection_queue(connection_queues[tsi], wsi);
            discard_rx(*session);
            session->ended.store(true);
            sessions.map.erase(wsi);
        }
        // A close the server asked for is told to the domain workers like
        // any other (the library's close report finds no session any more):
        // an AP the session held would stay active on a dead connection,
        // where active APs never age. Told after the lock is released, and
        // after the session is gone, so that what it still had queued acts
        // for no session.
        registry->drop_session_at_rrm_worker(session->session);
        // The close reason is set: returning -1 makes the library send the
        // close frame and report the close later, outside this callback.
        return -1;
    }
    if (taken)
        lws_callback_on_writable(wsi);
    return 0;
}

bool WebsockServerWorker::send_one_message(ConnectionQueue::Ring& ring, SendContext& ctx)
{
    std::shared_ptr<QueueMessage> msg;
    if (!ring.try_pop(msg))
        return false;

    const uint32_t live_id = ctx.session->session.id;
    if (msg->session.id != live_id) {
        RRM_DEBUG("process_server_writeable: session ID mismatch (msg_id=%u, current_id=%u); "
                  "skipping stale message",
                  msg->session.id, live_id);
        return true;
    }
    if (!msg->text.empty()) {
        if (msg->text.size() > static_cast<size_t>(INT_MAX)) {
            RRM_ERROR("serialized payload exceeds INT_MAX; drop session %u", msg->session.id);
            notify_event(EVENT_WS_SEND_FAILED, no_details);
            return true;
        }
        lws_send(ctx.wsi, msg->text.data(), static_cast<int>(msg->text.size()), LWS_WRITE_TEXT);
        if (msg->hold)
            ctx.session->held_message = std::move(msg);
        return true;
    }
    if (msg->json.is_null()) {
        RRM_ERROR("ws_send json null");
        notify_event(EVENT_WS_SEND_JSON_NULL, no_details);
        return true;
    }
    if (process_internal_ipc_msg(msg->json, *msg))
        return true;
    if (std::strcmp(msg->json.get_string("service"), "rrm-internal") == 0) {
        const char* cmd = msg->json.get_string("cmd");
        if (std::strcmp(cmd, "drop-session") == 0) {
            RRM_DEBUG("cmd:drop-session %d", static_cast<int>(msg->session.id));
            ctx.closing = true;
            static const char done[] = "done";
            lws_close_reason(ctx.wsi, LWS_CLOSE_STATUS_NORMAL,
                             reinterpret_cast<unsigned char*>(const_cast<char*>(done)), 4);
        } else if (std::strcmp(cmd, "ping-session") == 0) {
            lws_send(ctx.wsi, "lws_ping", 8, LWS_WRITE_PING);
            lws_set_timeout(ctx.wsi, PENDING_TIMEOUT_WS_PONG_CHECK_GET_PONG, 40);
        }
        return true;
    }
    const std::string_view text = msg->json.to_string_view();
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        RRM_ERROR("json serialized_view exceeds INT_MAX; drop session %u", msg->session.id);
        notify_event(EVENT_WS_SEND_FAILED, no_details);
        return true;
    }
    lws_send(ctx.wsi, text.data(), static_cast<int>(text.size()), LWS_WRITE_TEXT);
    return true;
}

int WebsockServerWorker::lws_send(lws* wsi, const char* buffer, int len, int protocol)
{
    if (!buffer || len <= 0)
        return 0;
    if (log_enabled(LOG_LEVEL_DEBUG)) {
        const PeerText quoted(buffer, static_cast<size_t>(len));
        RRM_DEBUG("Send %.*s", quoted.size(), quoted.data());
    }
    constexpr int kStackPayload = 4096;
    int ret;
    if (len <= kStackPayload) {
        unsigned char frame[LWS_PRE + kStackPayload];
        std::memcpy(frame + LWS_PRE, buffer, static_cast<size_t>(len));
        ret = lws_write(wsi, frame + LWS_PRE, static_cast<size_t>(len),
                        static_cast<lws_write_protocol>(protocol));
    } else {
        // Not zeroed: the library writes the head into the LWS_PRE bytes, and
        // zeroing a message of megabytes costs as much as copying it.
        std::unique_ptr<unsigned char[]> frame(new unsigned char[LWS_PRE + static_cast<size_t>(len)]);
        std::memcpy(frame.get() + LWS_PRE, buffer, static_cast<size_t>(len));
        ret = lws_write(wsi, frame.get() + LWS_PRE, static_cast<size_t>(len),
                        static_cast<lws_write_protocol>(protocol));
    }
    if (ret < len) {
        RRM_ERROR("Can't send msg type [%d] to websocket (ret=%d len=%d)", protocol, ret, len);
        notify_event(EVENT_WS_SEND_FAILED, no_details);
    }
    return ret;
}

void WebsockServerWorker::drop_connection_queue(ConnectionQueueMap& map, lws* wsi)
{
    std::lock_guard<std::mutex> guard(map.mutex);
    auto it = map.map.find(wsi);
    if (it == map.map.end())
        return;
    it->second->clear();
    map.map.erase(it);
}

}  // namespace rrm
