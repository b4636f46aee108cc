#include "PingWorker.h"

#include "Log.h"
#include "RRM.h"
#include "WebsockServerWorker.h"
#include "WebsockSession.h"

#include <time.h>

#include <memory>
#include <mutex>
#include <vector>

namespace rrm {

PingWorker::PingWorker(RRM* owner)
    : Worker("Ping-worker", owner, 10000, 2048, false),
      registry(owner),
      check_callback(std::bind(&PingWorker::check_sessions, this))
{
}

PingWorker::~PingWorker() = default;

void PingWorker::process_message(const JsonReader&, const QueueMessage&)
{
}

bool PingWorker::keep_running(const bool& running)
{
    return running;
}

void PingWorker::poll_timers()
{
    timers.poll();
}

bool PingWorker::connect()
{
    RRM_DEBUG("Start worker %s", get_name().c_str());
    // Periodic: a check that throws (std::bad_alloc, say) is reported and the
    // next one still comes a second later.
    timers.add_periodic(check_callback, CHECK_TIMER_ID, 1, 1);
    return true;
}

void PingWorker::disconnect()
{
    RRM_DEBUG("Stop worker %s", get_name().c_str());
    timers.cancel_timer(CHECK_TIMER_ID);
}

void PingWorker::to_json(JsonWriter&)
{
}

void PingWorker::to_json_full(JsonWriter&)
{
}

PingWorker::Action PingWorker::action_for(int64_t idle_s)
{
    if (idle_s > DROP_AFTER_S)
        return Action::Drop;
    if (idle_s >= FIRST_PING_S && idle_s % PING_EVERY_S == 0)
        return Action::Ping;
    return Action::None;
}

void PingWorker::check_sessions()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const int64_t now = static_cast<int64_t>(ts.tv_sec);

    // The sessions lock is held only for the copy; pings and drops queue on
    // other workers and take their locks.
    std::vector<std::shared_ptr<WebsockSession>> list;
    if (WebsockServerWorker* server = registry->get_websock_worker()) {
        std::lock_guard<std::mutex> guard(server->sessions.mutex);
        list.reserve(server->sessions.map.size());
        for (const auto& entry : server->sessions.map)
            list.push_back(entry.second);
    }
    for (const auto& session : list) {
        switch (action_for(now - session->last_activity.load())) {
        case Action::Drop:
            registry->drop_session_at_websock_worker(session->session, true);
            registry->drop_session_at_rrm_worker(session->session);
            break;
        case Action::Ping:
            registry->ping_session_at_websock_worker(session->session);
            break;
        case Action::None:
            break;
        }
    }
}

}  // namespace rrm
