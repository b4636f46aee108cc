// The receive path: reassembly of AP messages within their memory budgets, the
// hand-over to the parsing lanes, and reading paused and resumed per session.
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
        back_off(attempt, delay_us);
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
        if (session->rx_paused.load() && session_may_resume(*session) &&
            !session->resume_asked.exchange(true)) {
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

bool WebsockServerWorker::session_may_resume(const WebsockSession& session)
{
    return session.waiting_texts.load() <= SESSION_RESUME_TEXTS &&
           session.waiting_bytes.load() <= SESSION_RESUME_BYTES;
}

void WebsockServerWorker::pause_if_over_limits(lws* wsi, WebsockSession& session)
{
    if (session.rx_paused.load() || !session_over_limits(session))
        return;
    // The flag first, then the counts again: a parsing thread that took
    // the counts down to the resume mark before it could see the flag is
    // made up for here.
    session.rx_paused.store(true);
    lws_rx_flow_control(wsi, 0);
    if (session_may_resume(session)) {
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
        if (!session)
            continue;
        // Cleared before the counts are read: a text done after this may
        // ask again, so a session still too full here is not forgotten.
        session->resume_asked.store(false);
        // Sessions are erased on this thread only: the connection is live.
        if (session->rx_paused.load() && session_may_resume(*session)) {
            session->rx_paused.store(false);
            lws_rx_flow_control(handle.wsi, 1);
        }
    }
}

}  // namespace rrm
