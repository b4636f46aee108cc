#include "RrmWorker.h"

#include "ApEntry.h"
#include "AssocMap.h"
#include "BlacklistSubworker.h"
#include "Config.h"
#include "InternalCommands.h"
#include "JsonAppender.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LoadBalancer802dot11vSubworker.h"
#include "LoadBalancerSubworker.h"
#include "Log.h"
#include "MacAddress.h"
#include "MessageChecks.h"
#include "QueueMessage.h"
#include "RRM.h"
#include "TpcDcaSubworker.h"

#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <utility>

namespace rrm {

namespace {

// First block of the arena of a "subscribe-response"'s neighbour list: the
// list of a large domain fits in one block.
constexpr std::size_t SUBSCRIBE_RESPONSE_ARENA = 16384;
// What a typical "subscribe-response" takes without its neighbour list.
constexpr std::size_t SUBSCRIBE_RESPONSE_TEXT = 2048;

constexpr int FAIL_DISABLED = 404;
constexpr int FAIL_REQUEST = 503;
constexpr int FAIL_MAC = 400;

// The AP of a message in one map: the table entry under the MAC, else the
// entry of the AP that owns the MAC as a radio or VAP BSSID.
ApMap::Table::iterator find_entry(ApMap& map, const MacAddress& mac)
{
    auto it = map.table.find(mac);
    if (it != map.table.end())
        return it;
    if (auto owner = map.find_ap_by_bssid(mac))
        return map.table.find(owner->base_mac);
    return map.table.end();
}

void erase_entry(ApMap& map, ApMap::Table::iterator it)
{
    map.erase(it);
}

bool is_cmd(const char* cmd, const char* name)
{
    return std::strcmp(cmd, name) == 0;
}

}  // namespace

RrmWorker::RrmWorker(GlobalConfig* global_cfg, const DomainConfig& domain_config,
                     const std::string& worker_name, RRM* rrm, int32_t tz_offset,
                     int32_t queue_capacity)
    : Worker(worker_name, rrm, IDLE_WAIT_US, queue_capacity, true),
      global_config(global_cfg),
      config(domain_config),
      subworkers(&config, &name, this, &aps, &aps_to_delete, &unanswered_aps, &channel_sets),
      time_zone_offset(tz_offset),
      registry(rrm)
{
    for (auto& set : channel_sets)
        set.max_load_factor(1.0f);

    // Whatever a timer callback of the worker or a sub-worker throws is this
    // domain's failure, reported as one; the worker and its periodic timers
    // go on.
    auto on_error = [this](int32_t, const char* what) { report_timer_exception(what); };
    timers.set_error_handler(on_error);
    for (std::size_t i = 0; i < SubworkerSet::COUNT; ++i)
        subworkers.get(i)->timers.set_error_handler(on_error);

    domain_timer = [this] { process_timer_message(); };
    // The tick exists for the worker's whole life or not at all: settings
    // that change later restart the worker.
    if (domain_config.use_80211v || domain_config.use_balance) {
        load_balancer_timer = [this] { load_balancer_tick(); };
        timers.add_periodic(load_balancer_timer, DOMAIN_TIMER_ID, 1, 1);
    }
}

RrmWorker::~RrmWorker()
{
    // Unsent broadcasts go first; the members follow in reverse order, the
    // sub-workers before the maps and settings they point to.
    broadcast_buffer.clear();
}

bool RrmWorker::keep_running(const bool& is_running)
{
    return is_running;
}

void RrmWorker::poll_timers()
{
    BroadcastBatch batch(*this);
    timers.poll();
    subworkers.poll_all();
    // The work done in shares: the run's snapshot, the 802.11r update; then
    // the outboxes' messages as far as the transport takes them.
    subworkers.get_tpc_dca()->continue_snapshot_copy();
    subworkers.get_tpc_dca()->continue_802dot11r_update();
    subworkers.get_tpc_dca()->send_outboxes();
}

bool RrmWorker::holds_messages()
{
    return subworkers.get_tpc_dca()->holds_messages();
}

// The thread calls connect and disconnect outside its passes, so without the
// worker lock; the timers are also reached under run_locked.
bool RrmWorker::connect()
{
    worker_thread.store(std::this_thread::get_id());
    RRM_DEBUG("Start worker %s", name.c_str());
    std::lock_guard<std::mutex> guard(lock);
    timers.add_periodic(domain_timer, DOMAIN_TIMER_ID, config.domain_timer_period,
                        config.domain_timer_period);
    return true;
}

void RrmWorker::disconnect()
{
    RRM_DEBUG("Stop worker %s", name.c_str());
    std::lock_guard<std::mutex> guard(lock);
    timers.cancel_timer(DOMAIN_TIMER_ID);
    subworkers.stop_all();
}

bool RrmWorker::is_worker_thread() const
{
    return worker_thread.load() == std::this_thread::get_id();
}

void RrmWorker::report_timer_exception(const char* what)
{
    RRM_ERROR("Exception at processing timer on worker '%s': %s", name.c_str(),
              what ? what : "unknown exception");
    notify_event(EVENT_WORKER_MSG_EXCEPTION, std::make_shared<std::string>(name));
    // What the failed callback queued leaves now, not with the next
    // callback's batch.
    end_broadcast_batch();
}

void RrmWorker::raise_domain_changed()
{
    notify_event(EVENT_DOMAIN_CHANGED, std::make_shared<std::string>(name));
}

void RrmWorker::send_to_ap(std::string text, const BaseSession& session)
{
    if (registry)
        registry->enqueue_serialized(std::move(text), session);
}

void RrmWorker::drop_session(const BaseSession& session, bool force)
{
    if (registry)
        registry->drop_session_at_websock_worker(session, force);
}

// ------------------------------------------------------------- broadcasts

void RrmWorker::broadcast_buffer_add(const char* text, const BaseSession& session)
{
    if (text == nullptr) {
        RRM_ERROR("broadcast_buffer_add msg null");
        notify_event(EVENT_BROADCAST_MSG_NULL, nullptr);
        return;
    }
    broadcast_buffer.push_back(std::make_shared<QueueMessage>(std::string(text), session));
}

void RrmWorker::broadcast_buffer_flush()
{
    while (!broadcast_buffer.empty()) {
        const std::shared_ptr<QueueMessage>& msg = broadcast_buffer.front();
        if (!msg->text.empty())
            send_to_ap(msg->text, msg->session);
        else if (registry)
            registry->enqueue_message(std::move(msg->json), msg->session);
        broadcast_buffer.pop_front();
    }
}

void RrmWorker::broadcast_buffer_clear()
{
    broadcast_buffer.clear();
}

void RrmWorker::end_broadcast_batch() noexcept
{
    if (broadcast_buffer.empty())
        return;
    try {
        broadcast_buffer_flush();
    } catch (const std::exception& e) {
        RRM_ERROR("Broadcast messages of worker '%s' dropped: %s", name.c_str(), e.what());
        broadcast_buffer.clear();
    } catch (...) {
        RRM_ERROR("Broadcast messages of worker '%s' dropped", name.c_str());
        broadcast_buffer.clear();
    }
}

// ---------------------------------------------------------------- dispatch

uint64_t RrmWorker::activity() const
{
    return messages_seen + subworkers.get_tpc_dca()->timers.fired_count();
}

void RrmWorker::process_message(const JsonReader& json, const QueueMessage& msg)
{
    ++messages_seen;
    BroadcastBatch batch(*this);
    try {
        // The worker's own stop message is the base's business, not an
        // invalid AP message. Only the server's own messages get there.
        if (process_internal_ipc_msg(json, msg))
            return;
        const bool internal = std::strcmp(json.get_string("service"), INTERNAL_SERVICE) == 0;
        // The registry's notices are commands about sessions: an AP may not
        // give them, not even about its own.
        if (!check_message_type(json) || (internal && !msg.from_server)) {
            RRM_WARNING("Incoming message validation failed");
            notify_event(EVENT_MSG_VALIDATION_FAILED, nullptr);
            return;
        }
        if (internal) {
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
    if (is_cmd(cmd, DROP_SESSION_CMD))
        process_drop_session(json, session);
    else if (is_cmd(cmd, STOP_LOAD_BALANCER_CMD))
        process_stop_load_balancer();
}

const BaseSession& RrmWorker::acting_session(const BaseSession& session) const
{
    return registry && registry->session_ended(session) ? null_session : session;
}

bool RrmWorker::same_session(const ApEntry& ap, const BaseSession& session)
{
    return session.id != 0 && ap.session.id == session.id;
}

std::shared_ptr<ApEntry> RrmWorker::ap_of_session(const BaseSession& session)
{
    auto it = session_aps.find(session.id);
    if (it == session_aps.end())
        return nullptr;
    std::shared_ptr<ApEntry> ap = it->second.lock();
    if (ap && same_session(*ap, session)) {
        for (ApMap* map : {&aps, &aps_to_delete, &unanswered_aps}) {
            auto held = map->table.find(ap->base_mac);
            if (held != map->table.end() && held->second == ap)
                return ap;
        }
    }
    // The AP left, or took another session over.
    session_aps.erase(it);
    return nullptr;
}

void RrmWorker::hold_session(const BaseSession& session, const std::shared_ptr<ApEntry>& ap)
{
    session_aps[session.id] = ap;
}

std::shared_ptr<ApEntry> RrmWorker::named_ap(const MacAddress& ap_mac)
{
    for (ApMap* map : {&aps, &aps_to_delete, &unanswered_aps}) {
        auto it = find_entry(*map, ap_mac);
        if (it != map->table.end())
            return it->second;
    }
    return nullptr;
}

void RrmWorker::process_ap_message(const JsonReader& json, const QueueMessage& msg)
{
    const BaseSession& session = acting_session(msg.session);
    const char* cmd = json.get_string("cmd");
    const MacAddress ap_mac = mac_from_string(json.get_string("ap-mac"));
    if (log_enabled(LOG_LEVEL_DEBUG)) {
        const PeerText quoted_cmd(cmd);
        const PeerText quoted_mac(json.get_string("ap-mac"));
        RRM_DEBUG("process_message %s for %s", quoted_cmd.c_str(), quoted_mac.c_str());
    }

    // A subscription tests the version itself, so that it can answer a wrong
    // one.
    if (is_cmd(cmd, "subscribe-request")) {
        subscribe_metric.time([&] { process_subscribe_request(json, session, ap_mac); });
        return;
    }
    if (!check_message_version(json, AP_PROTOCOL_VERSION)) {
        RRM_WARNING("Incoming message version failed");
        notify_event(EVENT_MSG_VERSION_FAILED, nullptr);
        return;
    }
    if (is_cmd(cmd, "unsubscribe-request")) {
        unsubscribe_metric.time([&] { process_unsubscribe_request(json, session, ap_mac); });
    } else if (is_cmd(cmd, "rrm-config-changed")) {
        config_changed_metric.time([&] { process_config_changed(json, session, ap_mac); });
    } else if (is_cmd(cmd, "rrm-response") || is_cmd(cmd, "rrm-mode-response")) {
        const std::shared_ptr<ApEntry>& ap = aps.get_ap(ap_mac, session);
        subworkers.get_tpc_dca()->process_message(json, cmd, ap.get());
    } else if (is_cmd(cmd, "rrm-sta-roam") || is_cmd(cmd, "rrm-assoc-state-changed") ||
               is_cmd(cmd, "rrm-client-disassoc") || is_cmd(cmd, "rrm-client-assoc") ||
               is_cmd(cmd, "rrm-probe-response") || is_cmd(cmd, "rrm-disassoc-all-clients")) {
        process_balancer_cmd(json, session, ap_mac);
    }
}

void RrmWorker::process_balancer_cmd(const JsonReader& json, const BaseSession& session,
                                     const MacAddress& ap_mac)
{
    bool unanswered = false;
    auto it = find_entry(aps, ap_mac);
    if (it == aps.table.end()) {
        it = find_entry(unanswered_aps, ap_mac);
        if (it == unanswered_aps.table.end())
            return;
        unanswered = true;
    }
    const std::shared_ptr<ApEntry> ap = it->second;
    // An AP speaks for itself: the steering of one AP taken from any other
    // connection would let anyone plant or remove clients anywhere.
    if (!same_session(*ap, session)) {
        if (session.id == 0) {
            RRM_DEBUG("Steering message %s for %s from a closed session not taken",
                      PeerText(json.get_string("cmd")).c_str(),
                      PeerText(json.get_string("ap-mac")).c_str());
        } else if (steering_refusals.allow(timers.now())) {
            RRM_WARNING("Steering message %s for %s from session %u not taken: invalid session "
                        "(%llu more since the last such record)",
                        PeerText(json.get_string("cmd")).c_str(),
                        PeerText(json.get_string("ap-mac")).c_str(),
                        static_cast<unsigned>(session.id), steering_refusals.held_back());
        }
        return;
    }
    if (unanswered)
        RRM_DEBUG("To unanswered rrm balancer cmd");
    process_balancer_ap(json, ap);
}

void RrmWorker::report_client_refused(const ApEntry& ap, int radio_id, const char* sta_mac,
                                      bool announced)
{
    if (!client_refusals.allow(timers.now()))
        return;
    RRM_WARNING("%s %s refused on radio %d of AP %s: the radio holds %d, the most an 802.11 "
                "radio can associate (%llu more since the last such record)",
                announced ? "Announced client" : "Client", PeerText(sta_mac).c_str(), radio_id,
                mac_to_string(ap.base_mac).c_str(), AssocMap::MAX_CLIENTS,
                client_refusals.held_back());
}

void RrmWorker::process_balancer_ap(const JsonReader& json, const std::shared_ptr<ApEntry>& ap)
{
    const char* cmd = json.get_string("cmd");
    if (log_enabled(LOG_LEVEL_DEBUG)) {
        const PeerText quoted_cmd(cmd);
        const PeerText quoted_mac(json.get_string("ap-mac"));
        RRM_DEBUG("process_message balancer %s for %s", quoted_cmd.c_str(), quoted_mac.c_str());
    }
    IRrmSubworker* target = nullptr;
    const bool to_balancer = config.use_balance && ap->radios.has_balancer_radio();
    if (is_cmd(cmd, "rrm-sta-roam")) {
        target = subworkers.get_load_balancer_802dot11v();
    } else if (is_cmd(cmd, "rrm-assoc-state-changed")) {
        target = subworkers.get_blacklist();
    } else if (is_cmd(cmd, "rrm-client-disassoc") || is_cmd(cmd, "rrm-client-assoc")) {
        if (to_balancer)
            target = subworkers.get_load_balancer();
        else if (config.use_80211v && ap->radios.has_80211v_radio())
            target = subworkers.get_load_balancer_802dot11v();
    } else if (is_cmd(cmd, "rrm-probe-response") || is_cmd(cmd, "rrm-disassoc-all-clients")) {
        if (to_balancer)
            target = subworkers.get_load_balancer();
    }
    if (target)
        target->process_message(json, cmd, ap.get());
}

// ---------------------------------------------------- internal commands

void RrmWorker::process_drop_session(const JsonReader&, const BaseSession& session)
{
    raise_domain_changed();
    session_aps.erase(session.id);
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
    if (removed)
        stop_if_empty();
}

void RrmWorker::process_stop_load_balancer()
{
    load_balancer_stop = true;
    stop_counter = 60 / config.domain_timer_period;
}

// ------------------------------------------------------------ subscription

bool RrmWorker::check_factory(const JsonReader& factory)
{
    for (const char* key : {"board", "hw", "serial", "mac"})
        if (factory.get_string(key)[0] == '\0')
            return false;
    return true;
}

void RrmWorker::replace_session(std::shared_ptr<ApEntry>& ap, const BaseSession& session)
{
    if (ap->session.id == session.id)
        return;
    // The old connection is closed before the answer on the new one is
    // queued. An AP restored from a backup has had none yet.
    if (!ap->session_dropped && ap->session.id != 0)
        drop_session(ap->session, true);
    ap->session_dropped = false;
    ap->session = session;
}

void RrmWorker::process_subscribe_request(const JsonReader& json, const BaseSession& session,
                                          const MacAddress& ap_mac)
{
    // The connection has gone: an AP taken now would stay active on a
    // session nobody hears (active APs never age), and no answer can reach
    // it. It subscribes again when it comes back.
    if (session.id == 0) {
        const PeerText quoted_mac(json.get_string("ap-mac"));
        RRM_DEBUG("Subscription of %s from a closed session not taken", quoted_mac.c_str());
        return;
    }
    if (global_config && !global_config->server().enabled) {
        send_subscribe_fail(session, FAIL_DISABLED, ap_mac);
        return;
    }
    if (!check_message_version(json, AP_PROTOCOL_VERSION)) {
        send_subscribe_fail(session, FAIL_REQUEST, ap_mac);
        return;
    }
    const JsonReader factory = json.child("factory");
    if (factory.is_null() || !check_factory(factory)) {
        send_subscribe_fail(session, FAIL_REQUEST, ap_mac);
        return;
    }
    // An AP is kept under its MAC: one that gives none is not kept under the
    // all-zero address.
    const char* mac_text = json.get_string("ap-mac");
    if (!is_mac_text(mac_text)) {
        RRM_ERROR("Send subscribe-response 'fail' due to invalid ap-mac '%s'",
                  PeerText(mac_text).c_str());
        send_subscribe_fail(session, FAIL_MAC, ap_mac);
        return;
    }
    // A session speaks for one AP: one that asks for another AP (new, or
    // known on another session) is refused and closed, as after any refusal,
    // so that no connection can fill a domain with made-up APs or take
    // other APs over.
    if (const std::shared_ptr<ApEntry> held = ap_of_session(session)) {
        if (named_ap(ap_mac) != held) {
            if (subscription_refusals.allow(timers.now()))
                RRM_WARNING("Send subscribe-response 'fail': session %u holds AP %s, not %s "
                            "(%llu more since the last such record)",
                            static_cast<unsigned>(session.id),
                            mac_to_string(held->base_mac).c_str(), PeerText(mac_text).c_str(),
                            subscription_refusals.held_back());
            send_subscribe_fail(session, FAIL_MAC, ap_mac);
            return;
        }
    }
    TpcDcaSubworker* tpc_dca = subworkers.get_tpc_dca();
    const DomainState state = tpc_dca->state;

    auto it = find_entry(aps, ap_mac);
    if (it != aps.table.end()) {
        RRM_DEBUG("To exists subscribe request");
        std::shared_ptr<ApEntry> ap = it->second;
        replace_session(ap, session);
        hold_session(session, ap);
        process_exists_ap(json, session, ap_mac, ap, false);
        aps.reindex_ap(ap);
        send_subscribe_success(session, ap);
        tpc_dca->post_results_802dot11r_ap(ap.get(), true, true);
        return;
    }

    it = find_entry(aps_to_delete, ap_mac);
    if (it != aps_to_delete.table.end()) {
        const bool scanning = state == STATE_MODE_REQUEST || state == STATE_SCAN;
        RRM_DEBUG("To delete subscribe request, scan state %d", scanning ? 1 : 0);
        std::shared_ptr<ApEntry> ap = it->second;
        const MacAddress held_under = it->first;
        replace_session(ap, session);
        hold_session(session, ap);
        process_exists_ap(json, session, ap_mac, ap, scanning);
        send_subscribe_success(session, ap);
        tpc_dca->post_results_802dot11r_ap(ap.get(), true, true);
        // Under its own MAC, whichever of its BSSIDs it subscribed with; and
        // out of the deleted map under the key it is held by there, once it
        // is in the active map (an AP that cannot enter stays where it was).
        aps.insert(ap->base_mac, ap);
        raise_domain_changed();
        auto entered = aps.table.find(ap->base_mac);
        auto held = aps_to_delete.table.find(held_under);
        if (entered != aps.table.end() && entered->second == ap && held != aps_to_delete.table.end())
            erase_entry(aps_to_delete, held);
        return;
    }

    it = find_entry(unanswered_aps, ap_mac);
    if (it != unanswered_aps.table.end()) {
        RRM_DEBUG("To unanswered subscribe request");
        std::shared_ptr<ApEntry> ap = it->second;
        replace_session(ap, session);
        hold_session(session, ap);
        process_exists_ap(json, session, ap_mac, ap, false);
        unanswered_aps.reindex_ap(ap);
        send_subscribe_success(session, ap);
        tpc_dca->post_results_802dot11r_ap(ap.get(), true, true);
        return;
    }

    RRM_DEBUG("NEW subscribe request");
    auto ap = std::make_shared<ApEntry>(&config, ap_mac, session, FactorySettings(factory));
    ap->ap_mac_count =
        json.has("ap-mac-count") ? json.get_int("ap-mac-count") : DEFAULT_AP_MAC_COUNT;
    ap->use_wildcard_80211r =
        json.has("use-wildcard-80211r") && json.get_int("use-wildcard-80211r") != 0;
    // Its channels join the domain's once it is taken, as in a restore.
    ChannelSets found;
    ap->radios.from_json(json, found, true, false);

    if (!check_mac_params(ap)) {
        const std::string text = mac_to_string(ap_mac);
        RRM_ERROR("Send subscribe-response 'fail' due to invalid MAC parameters");
        notify_event(EVENT_INVALID_MAC_PARAMS, std::make_shared<std::string>(text));
        send_subscribe_fail(session, FAIL_MAC, ap_mac);
        return;
    }
    aps.insert(ap_mac, ap);
    merge_channel_sets(channel_sets, found);
    hold_session(session, ap);
    raise_domain_changed();
    if (ap->radios.has_active_radio()) {
        if (config.use_80211v)
            ap->radios.update_priorities();
        tpc_dca->force_optimization();
    }
    send_subscribe_success(session, ap);
    tpc_dca->post_results_802dot11r_ap(ap.get(), true, true);
}

bool RrmWorker::check_mac_params(const std::shared_ptr<ApEntry>& ap)
{
    if (ap->ap_mac_count < 1) {
        RRM_ERROR("Invalid ap-mac-count(%d)", ap->ap_mac_count);
        return false;
    }
    bool result = true;
    const std::vector<Radio>& radios = ap->radios.radios;
    for (const Radio& r : radios) {
        if (!r.status)
            continue;
        // In 64 bits: offsets and counts near the 32-bit limit must not wrap
        // into a range that passes.
        if (r.radio_mac_count < 1 || r.mac_offset < 0 ||
            static_cast<int64_t>(r.mac_offset) + r.radio_mac_count > ap->ap_mac_count) {
            RRM_ERROR("Invalid one or more radio MAC parameters:  radio-mac-count(%d), "
                      "mac-offset(%d), ap-mac-count(%d)",
                      r.radio_mac_count, r.mac_offset, ap->ap_mac_count);
            result = false;
            continue;
        }
        const uint64_t first = mac_to_u48(r.mac);
        for (const Radio& o : radios) {
            if (!o.status || o.id == r.id)
                continue;
            const uint64_t other = mac_to_u48(o.mac);
            if (first <= other && other < first + static_cast<uint64_t>(r.radio_mac_count)) {
                RRM_ERROR("MAC ranges overlapped: radio%d %s max_mac_count=%d, radio%d %s",
                          static_cast<int>(r.id), mac_to_string(r.mac).c_str(),
                          r.radio_mac_count, static_cast<int>(o.id),
                          mac_to_string(o.mac).c_str());
                result = false;
            }
        }
    }
    return result;
}

void RrmWorker::send_subscribe_success(const BaseSession& session,
                                       const std::shared_ptr<ApEntry>& ap)
{
    // Appended member after member; only the neighbour list, which its
    // builders make as a document, is serialized on its own.
    std::string text;
    text.reserve(SUBSCRIBE_RESPONSE_TEXT);
    {
        JsonAppender message(text, "rrm", "subscribe-response", "");
        message.add_string("status", "success");
        message.add_string("domain", name.c_str());
        message.add_string("ap-mac", mac_to_string(ap->base_mac).c_str());
        JsonAppender settings = message.add_object("config");
        settings.add_int("use-tpc", config.use_tpc ? 1 : 0);
        settings.add_int("use-dca", config.use_dca ? 1 : 0);
        settings.add_int("use-load-balance", config.use_balance ? 1 : 0);
        settings.add_int("use-80211r", config.use_80211r ? 1 : 0);
        settings.add_int("use-80211v", config.use_80211v ? 1 : 0);
        ap->radios.to_json(settings);
        const bool kv = config.use_80211v && ap->radios.has_80211kv_radio();
        if (kv || (config.use_80211k && ap->radios.has_80211k_vaps())) {
            JsonWriter holder("");
            holder.reserve(SUBSCRIBE_RESPONSE_ARENA);
            JsonWriter list = holder.add_array("802dot11k");
            if (kv) {
                subworkers.get_load_balancer_802dot11v()->build_802dot11kv_list(*ap, list);
            } else {
                aps.neighbours_to_json(*ap, list, ap->visible_members);
                aps_to_delete.neighbours_to_json(*ap, list, ap->visible_members);
            }
            settings.add_json("802dot11k", list.to_string());
        }
    }
    send_to_ap(std::move(text), session);
}

void RrmWorker::send_subscribe_fail(const BaseSession& session, int code,
                                    const MacAddress& ap_mac)
{
    JsonWriter message("rrm", "subscribe-response", "");
    message.add_string("status", "fail");
    message.add_int("code", code);
    message.add_string("ap-mac", mac_to_string(ap_mac).c_str());
    send_to_ap(message.to_string(), session);
    drop_session(session, false);
}

void RrmWorker::process_unsubscribe_request(const JsonReader&, const BaseSession& session,
                                            const MacAddress& ap_mac)
{
    auto it = find_entry(aps, ap_mac);
    if (it != aps.table.end()) {
        if (!same_session(*it->second, session))
            return;
        subworkers.get_tpc_dca()->force_optimization();
        // The planning may have moved the AP meanwhile.
        it = find_entry(aps, ap_mac);
        if (it != aps.table.end()) {
            erase_entry(aps, it);
            session_aps.erase(session.id);
            raise_domain_changed();
        }
        return;
    }
    it = find_entry(unanswered_aps, ap_mac);
    if (it != unanswered_aps.table.end() && same_session(*it->second, session)) {
        erase_entry(unanswered_aps, it);
        session_aps.erase(session.id);
        raise_domain_changed();
    }
}

// ---------------------------------------------------- known APs' reports

void RrmWorker::process_config_changed(const JsonReader& json, const BaseSession& session,
                                       const MacAddress& ap_mac)
{
    ApMap* map = &aps;
    auto it = find_entry(aps, ap_mac);
    if (it == aps.table.end()) {
        map = &unanswered_aps;
        it = find_entry(unanswered_aps, ap_mac);
        if (it != unanswered_aps.table.end()) {
            RRM_DEBUG("To unanswered rrm change request");
        } else {
            map = &aps_to_delete;
            it = find_entry(aps_to_delete, ap_mac);
            if (it == aps_to_delete.table.end())
                return;
            RRM_DEBUG("To deleted rrm change request");
        }
    }
    std::shared_ptr<ApEntry> ap = it->second;
    process_exists_ap(json, session, ap_mac, ap, false);
    map->reindex_ap(ap);
    subworkers.get_tpc_dca()->post_tpc_results_ap(ap.get(), true, true, false);
}

void RrmWorker::process_exists_ap(const JsonReader& json, const BaseSession& session,
                                  const MacAddress&, std::shared_ptr<ApEntry>& ap, bool force)
{
    // An AP restored from a backup has no session yet; a message from a
    // closed session acts for none.
    if (!same_session(*ap, session))
        throw std::out_of_range("invalid exist session");

    // What the AP reports, read on the side under the AP's own MAC (the
    // message may name the AP by one of its BSSIDs).
    RadioList fresh(&config, ap->base_mac);
    fresh.set_mac(ap->base_mac);
    fresh.from_json(json, channel_sets, true, false);

    const bool vaps_same = ap->radios.vaps_equal(fresh);
    const bool channels_same = ap->radios.channels_equal(fresh);
    const bool priorities_changed = ap->radios.update_priorities();

    bool wildcard_changed = false;
    if (is_cmd(json.get_string("cmd"), "subscribe-request")) {
        const bool wildcard = json.get_int("use-wildcard-80211r") != 0;
        wildcard_changed = ap->use_wildcard_80211r != wildcard;
        ap->use_wildcard_80211r = wildcard;
    }

    bool update_kv = false;
    bool update_k = false;
    if (config.use_80211v && fresh.has_80211kv_radio()) {
        update_kv = !(channels_same && vaps_same) || priorities_changed;
        RRM_INFO("process_exists_ap update_802dot11kv %d (%d/%d/%d)", update_kv ? 1 : 0,
                 vaps_same ? 0 : 1, channels_same ? 0 : 1, priorities_changed ? 1 : 0);
    } else if (config.use_80211k && fresh.has_80211k_vaps()) {
        update_k = !(channels_same && vaps_same);
        RRM_INFO("process_exists_ap update_802dot11k %d (%d/%d)", update_k ? 1 : 0,
                 vaps_same ? 0 : 1, channels_same ? 0 : 1);
    }
    const bool update_r = config.use_80211r && (wildcard_changed || !vaps_same);
    if (config.use_80211r)
        RRM_INFO("process_exists_ap update_802dot11r %d", update_r ? 1 : 0);

    // Compared before the AP's radios take the reported limits over: a
    // changed limit is a changed configuration, which plans anew.
    const bool config_same = fresh.config_equal(ap->radios);
    ap->radios.set_validate_power(fresh);
    const bool not_equivalent = force || !config_same;
    if (!(vaps_same && config_same))
        raise_domain_changed();
    ap->radios.from_json(json, channel_sets, !vaps_same, !channels_same);

    TpcDcaSubworker* tpc_dca = subworkers.get_tpc_dca();
    if (not_equivalent) {
        RRM_DEBUG("Not-equivalent or force (%d) subscribe request", force ? 1 : 0);
        ap->visible_members.clear();
        ap->visible_rogue.clear();
        tpc_dca->force_optimization();
        return;
    }
    if (update_kv)
        subworkers.get_load_balancer_802dot11v()->planning_update_802dot11v(true);
    else if (update_k)
        tpc_dca->update_802dot11k();
    if (update_r)
        tpc_dca->planning_update_802dot11r();
}

bool RrmWorker::force_optimization()
{
    TpcDcaSubworker* tpc_dca = subworkers.get_tpc_dca();
    const DomainState state = tpc_dca->state;
    if ((state == STATE_IDLE || state == STATE_PLANNED_TIME) &&
        tpc_dca->force_optimization_from_api())
        return true;
    RRM_DEBUG("NOT Planning optimization domain %s status %d", name.c_str(), state);
    return false;
}

// ------------------------------------------------------------------ timers

void RrmWorker::process_timer_message()
{
    TpcDcaSubworker* tpc_dca = subworkers.get_tpc_dca();
    const DomainState state = tpc_dca->state;
    RRM_DEBUG("Domain %s state (%d) aps: %zu unanswered_aps: %zu aps_to_delete: %zu queued: %zu "
              "load_balancer_lock: %d load_balancer_stop: %d counter: %d%sMetrics: "
              "subscribe-request %lld/%d unsubscribe-request %lld/%d%srrm-response %lld/%d "
              "rrm-mode-response %lld/%d rrm-config-changed %lld/%d%stimer-request-modes "
              "%lld/%d timer-request-scan %lld/%d timer-optimize %lld/%d",
              name.c_str(), state, aps.size(), unanswered_aps.size(), aps_to_delete.size(),
              static_cast<size_t>(queue_size()), load_balancer_lock ? 1 : 0,
              load_balancer_stop ? 1 : 0, stop_counter, "\n\t",
              static_cast<long long>(subscribe_metric.average()), subscribe_metric.count,
              static_cast<long long>(unsubscribe_metric.average()), unsubscribe_metric.count,
              "\n\t", static_cast<long long>(tpc_dca->rrm_response_metric.average()),
              tpc_dca->rrm_response_metric.count,
              static_cast<long long>(tpc_dca->mode_response_metric.average()),
              tpc_dca->mode_response_metric.count,
              static_cast<long long>(config_changed_metric.average()),
              config_changed_metric.count, "\n\t",
              static_cast<long long>(tpc_dca->request_modes_metric.average()),
              tpc_dca->request_modes_metric.count,
              static_cast<long long>(tpc_dca->request_scan_metric.average()),
              tpc_dca->request_scan_metric.count,
              static_cast<long long>(tpc_dca->optimize_metric.average()),
              tpc_dca->optimize_metric.count);

    const int removed = aps_to_delete.age();
    if (removed > 0) {
        if (aps_to_delete.empty() && !aps.empty() && state != STATE_MODE_REQUEST &&
            state != STATE_SCAN) {
            if (config.use_80211v)
                for (auto& entry : aps.table)
                    entry.second->radios.mark_lists_changed();
            tpc_dca->force_optimization();
        }
        stop_if_empty();
        raise_domain_changed();
    } else {
        stop_if_empty();
    }

    if (stop_counter != 0) {
        if (--stop_counter < 1) {
            load_balancer_stop = false;
            stop_counter = 0;
        }
    } else {
        load_balancer_stop = false;
    }
    // Periodic: the next run comes whatever this one did or threw, also
    // after request_stop (disconnect cancels it).
}

void RrmWorker::stop_if_empty()
{
    // Not while messages wait: the registry would only hand them to the
    // domain's next worker (a subscription among them makes one).
    if (all_aps_empty() && queue_size() == 0)
        request_stop();
}

void RrmWorker::load_balancer_tick()
{
    LoadBalancer802dot11vSubworker* balancer = subworkers.get_load_balancer_802dot11v();
    for (auto& entry : aps.table) {
        for (Radio& radio : entry.second->radios.radios) {
            radio.client_table.age_expected_stas();
            if ((config.use_80211v || radio.locked_80211v == 0) && radio.update_priority())
                balancer->planning_update_802dot11v(false);
        }
    }
    if (config.use_balance)
        subworkers.get_load_balancer()->process_timer();
}

// ------------------------------------------------------------------ status

void RrmWorker::to_json(JsonWriter& out)
{
    details().to_json(out);
}

DomainDetails RrmWorker::details() const
{
    const TpcDcaSubworker* tpc_dca = subworkers.get_tpc_dca();
    DomainDetails details;
    details.name = name;
    details.ap_count = aps.size();
    details.unanswered_count = unanswered_aps.size();
    details.deleted_count = aps_to_delete.size();
    details.queue_size = queue_size();
    details.rrm_status = tpc_dca->state;
    details.fbt_status = tpc_dca->fbt_status;
    const struct {
        const char* expected;
        const char* count;
        const CommandMetric& metric;
    } reported[] = {
        {"rrm-response-expected", "rrm-response-count", tpc_dca->rrm_response_metric},
        {"rrm-mode-response-expected", "rrm-mode-response-count",
         tpc_dca->mode_response_metric},
        {"rrm-config-changed-expected", "rrm-config-changed-count", config_changed_metric},
        {"timer-request-modes-expected", "timer-request-modes-count",
         tpc_dca->request_modes_metric},
        {"timer-request-scan-expected", "timer-request-scan-count",
         tpc_dca->request_scan_metric},
        {"timer-optimize-expected", "timer-optimize-count", tpc_dca->optimize_metric},
    };
    for (const auto& item : reported)
        details.metrics.push_back(
            {item.expected, item.count, item.metric.average(), item.metric.count});
    details.aps = DomainDetails::of(aps);
    details.unanswered = DomainDetails::of(unanswered_aps);
    details.deleted = DomainDetails::of(aps_to_delete);
    return details;
}

void RrmWorker::to_json_full(JsonWriter& out)
{
    to_json(out);
    JsonWriter active = out.add_array("aps");
    aps.to_json(active);
    JsonWriter unanswered = out.add_array("unanswered-aps");
    unanswered_aps.to_json(unanswered);
    JsonWriter deleted = out.add_array("deleted-aps");
    aps_to_delete.to_json(deleted);
}

// ----------------------------------------------------------------- restore

void RrmWorker::restore_domain_state(const JsonReader& backup)
{
    // The planning states first: the optimisation sub-worker holds its
    // planning back for the away time, while the APs come back.
    subworkers.get_tpc_dca()->restore(backup.get_int("rrm-status"), backup.get_int("fbt-status"),
                                      config.away_timeout);
    for (const char* list : {"aps", "unanswered-aps", "deleted-aps"}) {
        const JsonReader elements = backup.child(list);
        if (!elements.is_null())
            restore_ap_map(aps_to_delete, elements, &config, channel_sets);
    }
}

void RrmWorker::restore_ap_map(ApMap& target, const JsonReader& array,
                               const DomainConfig* settings, ChannelSets& sets)
{
    for (int i = 0; i < array.size(); ++i) {
        const JsonReader element = array.child(i);
        if (element.is_null())
            continue;
        const MacAddress mac = mac_from_string(element.get_string("mac"));
        const std::string text = mac_to_string(mac);
        const std::string board = element.get_string("board");
        const std::string hw = element.get_string("hw");
        const std::string serial = element.get_string("serial");
        if (board.empty() || hw.empty() || serial.empty()) {
            RRM_WARNING("Can't read factory settings from backup for ap '%s'", text.c_str());
            continue;
        }
        RRM_DEBUG("Restore ap '%s' from backup", text.c_str());
        auto ap = std::make_shared<ApEntry>(settings, mac, null_session,
                                            FactorySettings(board, hw, serial, mac));
        // The AP's channels join the domain's only once the AP is taken:
        // a refused element must not widen what the planning may choose.
        ChannelSets found;
        ap->restore(element, found);
        ap->ttl = settings->away_timeout_ticks();
        // A backup is a file: its MAC ranges are checked as a new AP's.
        if (!check_mac_params(ap)) {
            RRM_ERROR("Can't restore ap '%s' from backup due to invalid MAC parameters",
                      text.c_str());
            notify_event(EVENT_INVALID_MAC_PARAMS, std::make_shared<std::string>(text));
            continue;
        }
        const std::size_t held = target.size();
        target.insert(mac, ap);
        if (target.size() == held)
            continue;
        merge_channel_sets(sets, found);
    }
}

}  // namespace rrm
