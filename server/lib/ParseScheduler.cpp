#include "ParseScheduler.h"

#include <algorithm>
#include <cmath>

namespace rrm {

namespace {

double decayed(const WebsockSession& session, double now_s)
{
    const double elapsed = std::max(0.0, now_s - session.parse_load_at);
    return session.parse_load * std::exp2(-elapsed / ParseScheduler::HALF_LIFE_S);
}

}  // namespace

double ParseScheduler::order_key(const WebsockSession& session, uint32_t next_size, double now_s)
{
    // Every text has a byte at least; an empty one (nothing to parse) is
    // not held.
    const double load =
        decayed(session, now_s) + std::max<uint32_t>(next_size, 1) * ESTIMATE_S_PER_BYTE;
    return std::log2(load) + now_s / HALF_LIFE_S;
}

void ParseScheduler::make_ready(WebsockSession* session, Lane& lane, double now_s)
{
    lane.key = order_key(*session, lane.texts.front().size, now_s);
    lane.arrival = ++arrivals;
    lane.queued = true;
    ready.emplace(lane.key, lane.arrival, session);
}

void ParseScheduler::add(const std::shared_ptr<WebsockSession>& session, RawMessage&& item,
                         double now_s)
{
    Lane& lane = lanes[session.get()];
    if (!lane.session)
        lane.session = session;
    lane.texts.push_back(std::move(item));
    ++held;
    if (!lane.queued && !lane.in_service)
        make_ready(session.get(), lane, now_s);
}

bool ParseScheduler::next(std::shared_ptr<WebsockSession>& session, RawMessage& item)
{
    if (ready.empty())
        return false;
    WebsockSession* const key = std::get<2>(*ready.begin());
    ready.erase(ready.begin());
    Lane& lane = lanes[key];
    lane.queued = false;
    lane.in_service = true;
    item = lane.texts.front();
    lane.texts.pop_front();
    --held;
    session = lane.session;
    return true;
}

void ParseScheduler::charge(WebsockSession& session, double cost_s, double now_s)
{
    session.parse_load = decayed(session, now_s) + cost_s;
    session.parse_load_at = now_s;

    auto it = lanes.find(&session);
    if (it == lanes.end())
        return;
    Lane& lane = it->second;
    lane.in_service = false;
    if (lane.texts.empty()) {
        lanes.erase(it);
        return;
    }
    if (lane.queued)
        ready.erase(std::make_tuple(lane.key, lane.arrival, &session));
    make_ready(&session, lane, now_s);
}

}  // namespace rrm
