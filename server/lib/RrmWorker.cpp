#include "RrmWorker.h"

#include "InternalCommands.h"
#include "JsonReader.h"
#include "Log.h"
#include "MacAddress.h"
#include "MessageChecks.h"
#include "QueueMessage.h"
#include "RRM.h"
#include "ApEntry.h"
#include "ChannelSets.h"

#include <cstring>
#include <exception>
#include <memory>

namespace rrm {

RrmWorker::RrmWorker(GlobalConfig* global_cfg, const DomainConfig& domain_config,
                     const std::string& worker_name, RRM* rrm, int32_t tz_offset,
                     int32_t queue_capacity)
    : Worker(worker_name, rrm, IDLE_WAIT_US, queue_capacity, true),
      global_config(global_cfg),
      config(domain_config),
      time_zone_offset(tz_offset),
      registry(rrm)
{
    domain_timer = [this] { process_timer_message(); };
    // The tick exists for the worker's whole life or not at all: settings
    // that change later restart the worker.
    if (domain_config.use_80211v || domain_config.use_balance) {
        load_balancer_timer = [this] { load_balancer_tick(); };
        timers.add_timer(load_balancer_timer, DOMAIN_TIMER_ID, 1);
    }
}

RrmWorker::~RrmWorker() = default;

bool RrmWorker::keep_running(const bool& is_running)
{
    return is_running;
}

void RrmWorker::poll_timers()
{
    timers.poll();
}

// The thread calls connect and disconnect outside its passes, so without the
// worker lock; the timers are also reached under run_locked.
void RrmWorker::restore_domain_state(const JsonReader& backup)
{
    // The restored radios' channels are read again when the AP subscribes.
    ChannelSets channel_sets;
    for (const char* list : {"aps", "unanswered-aps", "deleted-aps"}) {
        const JsonReader elements = backup.child(list);
        if (elements.is_null())
            break;
        for (int i = 0; i < elements.size(); ++i) {
            const JsonReader element = elements.child(i);
            if (element.is_null())
                continue;
            const MacAddress mac = mac_from_string(element.get_string("mac"));
            const std::string board = element.get_string("board");
            const std::string hw = element.get_string("hw");
            const std::string serial = element.get_string("serial");
            if (board.empty() || hw.empty() || serial.empty()) {
                RRM_WARNING("Can't read factory settings from backup for ap '%s'",
                            mac_to_string(mac).c_str());
                continue;
            }
            RRM_DEBUG("Restore ap '%s' from backup", mac_to_string(mac).c_str());
            auto ap = std::make_shared<ApEntry>(&config, mac, null_session,
                                                FactorySettings(board, hw, serial, mac));
            ap->restore(element, channel_sets);
            ap->ttl = config.away_timeout_ticks();
            aps_to_delete.insert(mac, ap);
        }
    }
}

bool RrmWorker::connect()
{
    worker_thread.store(std::this_thread::get_id());
    RRM_DEBUG("Start worker %s", name.c_str());
    std::lock_guard<std::mutex> guard(lock);
    timers.add_timer(domain_timer, DOMAIN_TIMER_ID, config.domain_timer_period);
    return true;
}

void RrmWorker::disconnect()
{
    RRM_DEBUG("Stop worker %s", name.c_str());
    std::lock_guard<std::mutex> guard(lock);
    timers.cancel_timer(DOMAIN_TIMER_ID);
}

bool RrmWorker::is_worker_thread() const
{
    return worker_thread.load() == std::this_thread::get_id();
}

void RrmWorker::to_json(JsonWriter&)
{
}

void RrmWorker::to_json_full(JsonWriter&)
{
}

void RrmWorker::process_message(const JsonReader& json, const QueueMessage& msg)
{
    try {
        // The worker's own stop message is the base's business, not an
        // invalid AP message.
        if (process_internal_ipc_msg(json, msg))
            return;
        if (!check_message_type(json)) {
            RRM_WARNING("Incoming message validation failed");
            notify_event(EVENT_MSG_VALIDATION_FAILED, nullptr);
            return;
        }
        if (std::strcmp(json.get_string("service"), INTERNAL_SERVICE) == 0) {
            process_internal_message(json, msg.session);
            return;
        }
        process_ap_message(json, msg);
    } catch (const std::exception& e) {
        RRM_ERROR("Exception at processing message on worker '%s': %s", name.c_str(), e.what());
        notify_event(EVENT_WORKER_MSG_EXCEPTION, std::make_shared<std::string>(name));
    }
}

void RrmWorker::process_internal_message(const JsonReader& json, const BaseSession& session)
{
    const char* cmd = json.get_string("cmd");
    if (std::strcmp(cmd, DROP_SESSION_CMD) == 0)
        process_drop_session(json, session);
    else if (std::strcmp(cmd, STOP_LOAD_BALANCER_CMD) == 0)
        process_stop_load_balancer();
}

void RrmWorker::process_ap_message(const JsonReader& json, const QueueMessage& msg)
{
    (void)msg;
    const char* cmd = json.get_string("cmd");
    RRM_DEBUG("process_message %s for %s", cmd, json.get_string("ap-mac"));
    // A subscription tests the version itself, so that it can answer a wrong
    // one.
    if (std::strcmp(cmd, "subscribe-request") == 0)
        return;
    if (!check_message_version(json, AP_PROTOCOL_VERSION)) {
        RRM_WARNING("Incoming message version failed");
        notify_event(EVENT_MSG_VERSION_FAILED, nullptr);
        return;
    }
}

void RrmWorker::process_drop_session(const JsonReader&, const BaseSession& session)
{
    raise_domain_changed();
    const size_t before = aps.size() + unanswered_aps.size();
    for (auto& entry : aps.table)
        if (entry.second->session.id == session.id)
            entry.second->session_dropped = true;
    aps.move_session_aps(session, aps_to_delete);
    unanswered_aps.erase_session_aps(session);
    // Only a drop that took an AP away may end the worker: a new worker whose
    // first subscription is still queued has no AP yet and must not be ended
    // by some other session's drop (idle workers end through the domain
    // timer).
    const bool removed = aps.size() + unanswered_aps.size() < before;
    if (removed && all_aps_empty())
        request_stop();
}

void RrmWorker::process_stop_load_balancer()
{
    load_balancer_stop = true;
    stop_counter = 60 / config.domain_timer_period;
}

void RrmWorker::process_timer_message()
{
    const int removed = aps_to_delete.age();
    if (removed > 0) {
        if (all_aps_empty())
            request_stop();
        raise_domain_changed();
    } else if (all_aps_empty()) {
        request_stop();
    }

    if (stop_counter != 0) {
        if (--stop_counter < 1) {
            load_balancer_stop = false;
            stop_counter = 0;
        }
    } else {
        load_balancer_stop = false;
    }

    // Also after request_stop: disconnect cancels it.
    timers.add_timer(domain_timer, DOMAIN_TIMER_ID, config.domain_timer_period);
}

void RrmWorker::load_balancer_tick()
{
    timers.add_timer(load_balancer_timer, DOMAIN_TIMER_ID, 1);
}

int RrmWorker::force_optimization()
{
    // The domain has no optimisation planner yet: nothing can be forced.
    return 0;
}

void RrmWorker::raise_domain_changed()
{
    notify_event(EVENT_DOMAIN_CHANGED, std::make_shared<std::string>(name));
}

}  // namespace rrm
