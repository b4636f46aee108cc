// The libwebsockets side: the plain functions the library calls, the dispatch of
// its callbacks, sessions opened and closed, and the library's log lines.
#include "WebsockServerWorker.h"

#include "Config.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "LwsLog.h"
#include "RRM.h"
#include "WebsockServerDetail.h"

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

using namespace websock_detail;

namespace {

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

}  // namespace

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

}  // namespace rrm
