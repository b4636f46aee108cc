// The send path: connection queues, send lists and the wake-up, writeable events.
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
