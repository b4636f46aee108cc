// The parsing threads: each lane's scheduler, the parse and the hand-over to the
// registry.
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

double steady_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

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


void WebsockServerWorker::jsonificator_thread(ParseLane& lane)
{
    bool after_message = false;
    while (!stopping.load()) {
        admit_received(lane);
        retry_parked(lane);
        std::shared_ptr<WebsockSession> session;
        RawMessage item;
        bool taken;
        {
            std::lock_guard<std::mutex> guard(lane.lock);
            taken = lane.scheduler.next(session, item);
        }
        if (taken) {
            after_message = true;
            const double begin = steady_seconds();
            auto kept = hand_over(lane, item, *session);
            const double end = steady_seconds();
            if (kept) {
                const char* domain = kept->json.get_string("domain");
                ParseLane::Parked parked{std::move(session), item, std::move(kept), end - begin,
                                         domain ? domain : ""};
                ++lane.parked_domains[parked.domain];
                lane.parked.push_back(std::move(parked));
                continue;
            }
            std::lock_guard<std::mutex> guard(lane.lock);
            lane.scheduler.charge(*session, end - begin, end);
            continue;
        }
        if (!lane.queue.empty())
            continue;  // a push is in progress
        // An AP's texts come one at a time, each woken for on its own
        // unless the thread is still looking: that wake-up cost the service
        // thread a tenth of its time, and more than its own parse.
        if (after_message && lane.parked.empty()) {
            after_message = false;
            if (lane.queue.spin_for_push(PARSE_IDLE_SPIN_US, stopping))
                continue;
        }
        // A parked message is offered again each millisecond: its worker
        // tells nobody when it has room.
        const int wait_ms = lane.parked.empty() ? 10 : 1;
        if (lane.queue.event_fd != -1) {
            lane.queue.wait_for_push(wait_ms);
        } else {
            ::usleep(static_cast<useconds_t>(wait_ms) * 1000);
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

std::shared_ptr<QueueMessage> WebsockServerWorker::hand_over(ParseLane& lane, RawMessage& item,
                                                             WebsockSession& session)
{
    // However the hand-over ends, the text is freed, and unless the message
    // is parked its bytes are given back.
    // (Told by a flag: the message itself leaves by the return.)
    bool parked = false;
    struct Done {
        WebsockServerWorker* self;
        ParseLane& lane;
        RawMessage& item;
        WebsockSession& session;
        const bool& parked;
        ~Done()
        {
            if (parked)
                return;
            self->text_done(item, &session);
            self->trim_after(lane, item.size);
        }
    } done{this, lane, item, session, parked};
    std::unique_ptr<char, decltype(&std::free)> text(item.text, &std::free);
    item.text = nullptr;
    // The session may have closed while the text waited.
    if (session.ended.load())
        return nullptr;
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
            return nullptr;
        }
        // A domain whose worker cannot keep up slows its own senders (their
        // reading pauses while their message waits here), instead of losing
        // their messages or holding up the other sessions of this lane.
        if (!lane.parked_domains.empty()) {
            const char* domain = reader.get_string("domain");
            if (domain && lane.parked_domains.count(domain) != 0) {
                parked = true;
                return std::make_shared<QueueMessage>(std::move(reader), item.session);
            }
        }
        std::shared_ptr<QueueMessage> kept;
        if (!registry->offer_incoming_message(std::move(reader), item.session, kept)) {
            parked = true;
            return kept;
        }
    } catch (const std::exception& e) {
        RRM_ERROR("Exception at handling message from session %u: %s; message dropped",
                  item.session.id, e.what());
    } catch (...) {
        RRM_ERROR("Exception at handling message from session %u: %s; message dropped",
                  item.session.id, "unknown exception");
    }
    return nullptr;
}

void WebsockServerWorker::retry_parked(ParseLane& lane)
{
    if (lane.parked.empty())
        return;
    // Once a domain's worker refuses one, its later ones wait as well: they
    // keep their order, and a full ring is asked once a pass.
    std::vector<std::string> full;
    for (auto it = lane.parked.begin(); it != lane.parked.end();) {
        ParseLane::Parked& parked = *it;
        if (!parked.session->ended.load()) {
            if (std::find(full.begin(), full.end(), parked.domain) != full.end()) {
                ++it;
                continue;
            }
            std::shared_ptr<QueueMessage> back;
            bool done = true;
            try {
                done = registry->offer_incoming_message(std::move(parked.message->json),
                                                        parked.item.session, back);
            } catch (const std::exception& e) {
                RRM_ERROR("Exception at handling message from session %u: %s; message dropped",
                          parked.item.session.id, e.what());
            } catch (...) {
                RRM_ERROR("Exception at handling message from session %u: %s; message dropped",
                          parked.item.session.id, "unknown exception");
            }
            if (!done) {
                parked.message = std::move(back);
                full.push_back(parked.domain);
                ++it;
                continue;
            }
        }
        auto count = lane.parked_domains.find(parked.domain);
        if (count != lane.parked_domains.end() && --count->second == 0)
            lane.parked_domains.erase(count);
        text_done(parked.item, parked.session.get());
        trim_after(lane, parked.item.size);
        {
            std::lock_guard<std::mutex> guard(lane.lock);
            lane.scheduler.charge(*parked.session, parked.cost_s, steady_seconds());
        }
        it = lane.parked.erase(it);
    }
}

void WebsockServerWorker::free_pending_texts()
{
    for (auto& lane : parse_lanes) {
        for (const ParseLane::Parked& parked : lane->parked)
            queued_held.fetch_sub(parked.item.size, std::memory_order_relaxed);
        lane->parked.clear();
        lane->parked_domains.clear();
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

}  // namespace rrm
