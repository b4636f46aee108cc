#include "TpcDcaSubworker.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LoadBalancer802dot11vSubworker.h"
#include "Log.h"
#include "RadioList.h"
#include "RrmWorker.h"

#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace rrm {

namespace {

// First block of the arena of an "rrm-info" message: enough for the
// neighbour lists of large domains in one block.
constexpr std::size_t RRM_INFO_ARENA = 16384;

// The domain name as a JSON string, quotes included.
std::string json_string(const std::string& text)
{
    yajson::SerializeOptions options;
    return yajson::serialize(options, yajson::JsonValue(std::string_view(text)));
}

}  // namespace

TpcDcaSubworker::TpcDcaSubworker(const DomainConfig* settings, const std::string* name,
                                 RrmWorker* owner, ApMap* active, ApMap* deleted,
                                 ApMap* unanswered, ChannelSets* sets)
    : IRrmSubworker(settings, name, owner, active, deleted, unanswered), channel_sets(sets)
{
    // The random keys of the 802.11r key holders come from this generator.
    timeval now{};
    gettimeofday(&now, nullptr);
    const int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 +
                       static_cast<int>(static_cast<double>(now.tv_usec) / 1000.0);
    std::srand(static_cast<unsigned>(static_cast<uint32_t>(ms)));

    // Through the virtual table, as every caller of the base's callback.
    timer_callback = [this] { process_timer(); };
    timer_802dot11k_callback = [this] { process_timer_802dot11k(); };
    timer_802dot11r_callback = [this] { process_timer_802dot11r(); };
    unlock_callback = [this] { unlock(); };
}

TpcDcaSubworker::~TpcDcaSubworker()
{
    TpcDcaSubworker::stop();
    for (int32_t id : {CYCLE_TIMER, TIMER_802DOT11K, TIMER_802DOT11R, UNLOCK_TIMER})
        timers.cancel_timer(id);
}

void TpcDcaSubworker::stop()
{
    optimization_cancel.store(true);
    if (optimization_thread.joinable())
        optimization_thread.join();
    optimization_done.store(false);
    optimization_result.reset();
}

bool TpcDcaSubworker::is_active() const
{
    return (!config->use_all_ap_balance &&
            (config->use_80211k || config->use_80211v || config->use_balance)) ||
           config->use_dca || config->use_tpc;
}

void TpcDcaSubworker::notify_state() const
{
    // Domain names are the operator's text: escaped, so that the payload
    // stays one JSON object whatever the name holds.
    auto payload = std::make_shared<std::string>("{\"location\":" + json_string(*domain_name) +
                                                 ", \"status\":" + std::to_string(state) + "}");
    notify_event(EVENT_TPC_DCA_STATE, payload);
}

// ----------------------------------------------------------- planning entries

void TpcDcaSubworker::force_optimization()
{
    if (restore_lock) {
        state = STATE_PLANNED_FORCED;
        notify_state();
        return;
    }
    if (state == STATE_OPTIMIZING) {
        replan_pending = true;
        replan_forced = true;
        return;
    }
    RRM_DEBUG("Force optimization dmain %s", domain_name->c_str());
    if (config->use_optimization_event) {
        planning_request_modes(true);
        if (config->use_dca)
            histogram_fresh = true;
    } else {
        RRM_DEBUG("Not event optimization dmain %s", domain_name->c_str());
        planning_request_modes(false);
    }
}

bool TpcDcaSubworker::force_optimization_from_api()
{
    if (restore_lock)
        return false;
    if (state == STATE_OPTIMIZING) {
        replan_pending = true;
        replan_forced = true;
        return true;
    }
    RRM_DEBUG("Force optimization from api dmain %s", domain_name->c_str());
    for (auto& entry : aps->table)
        entry.second->radios.mark_lists_changed();
    planning_request_modes(true);
    if (config->use_dca)
        histogram_fresh = true;
    return true;
}

void TpcDcaSubworker::planning_request_modes(bool)
{
}

void TpcDcaSubworker::process_timer()
{
}

bool TpcDcaSubworker::process_message(const JsonReader& message, const char* cmd, ApEntry* ap)
{
    if (!is_active())
        return true;
    if (state == STATE_MODE_REQUEST && std::strcmp(cmd, "rrm-mode-response") == 0)
        mode_response_metric.time([&] { process_mode_response(message, ap); });
    return true;
}

// ------------------------------------------------------------ mode responses

void TpcDcaSubworker::process_mode_response(const JsonReader& message, ApEntry* ap)
{
    // The VAPs (and with them the fast-transition key holders and links)
    // are read again only when the AP reports different ones.
    bool same = false;
    {
        RadioList fresh(ap->config, ap->base_mac);
        fresh.set_mac(ap->base_mac);
        fresh.from_json(message, *channel_sets, true, false);
        same = ap->radios.vaps_equal(fresh);
    }
    ap->radios.from_json(message, *channel_sets, !same, false);

    auto it = aps->table.find(ap->base_mac);
    if (it == aps->table.end()) {
        if (auto owner = aps->find_ap_by_bssid(ap->base_mac))
            it = aps->table.find(owner->base_mac);
    }
    if (it != aps->table.end())
        aps->reindex_ap(it->second);
    ap->active = true;
    wait_mode_responses();
}

void TpcDcaSubworker::wait_mode_responses()
{
    state = STATE_MODE_REQUEST;
    worker->load_balancer_lock = true;
    notify_state();
    timers.restart_timer(timer_callback, CYCLE_TIMER, config->mode_response_wait);
}

// ------------------------------------------------------------------ restore

void TpcDcaSubworker::restore(int32_t restored_state, int32_t restored_fbt_status,
                              int32_t unlock_delay_s)
{
    // A backup is a file: a state this worker does not know would hold the
    // domain's 802.11k and 802.11r planning back for good (only states 0
    // and 1 let updates through, and unlock re-plans only 1 to 5), so it
    // comes back as idle.
    if (restored_state < STATE_IDLE || restored_state > STATE_OPTIMIZING) {
        RRM_WARNING("Unknown rrm-status %d in backup of domain %s, restored as %d",
                    restored_state, domain_name->c_str(), STATE_IDLE);
        restored_state = STATE_IDLE;
    }
    state = restored_state;
    fbt_status = restored_fbt_status;
    restore_lock = true;
    notify_state();
    timers.restart_timer(unlock_callback, UNLOCK_TIMER, unlock_delay_s);
}

void TpcDcaSubworker::unlock()
{
    restore_lock = false;
    if (state >= STATE_PLANNED_TIME && state <= STATE_PLANNED_FORCED) {
        force_optimization();
    } else if (state == STATE_OPTIMIZING) {
        if (optimization_thread.joinable()) {
            replan_pending = true;
            replan_forced = true;
        } else {
            // A run of the former VRRP master: none runs here, and nothing
            // would ever end state 5. Planned again like an interrupted cycle.
            state = STATE_PLANNED_FORCED;
            force_optimization();
        }
    }
    if (fbt_status == 1)
        planning_update_802dot11r();
}

// ------------------------------------------------------------------- 802.11k

void TpcDcaSubworker::send(const std::string& text, const BaseSession& session, bool send_now)
{
    if (send_now)
        worker->send_to_ap(text, session);
    else
        worker->broadcast_buffer_add(text.c_str(), session);
}

void TpcDcaSubworker::post_tpc_results_ap(ApEntry* ap, bool send_now, bool with_radios,
                                          bool only_if_changed)
{
    JsonWriter message("rrm", "rrm-info", "");
    message.reserve(RRM_INFO_ARENA);
    const std::string ap_mac = mac_to_string(ap->base_mac);
    message.add_string("ap-mac", ap_mac.c_str());
    message.add_int("use-tpc", config->use_tpc ? 1 : 0);
    message.add_int("use-dca", config->use_dca ? 1 : 0);
    message.add_int("use-load-balance", config->use_balance ? 1 : 0);
    message.add_int("use-80211v", config->use_80211v ? 1 : 0);
    if (with_radios)
        ap->radios.to_json(message);

    if (config->use_80211v && ap->radios.has_80211kv_radio()) {
        JsonWriter list = message.add_array("802dot11k");
        const bool changed =
            worker->subworkers.get_load_balancer_802dot11v()->build_802dot11kv_list(*ap, list);
        if (!changed && only_if_changed) {
            RRM_DEBUG("802.11kv list has not changed on %s, no need to send new one",
                      ap_mac.c_str());
            return;
        }
        RRM_DEBUG("802.11kv list has changed (or has no actual lists after reboot) on %s, "
                  "sending new 802.11kv list",
                  ap_mac.c_str());
    } else if (config->use_80211k && ap->radios.has_80211k_vaps()) {
        JsonWriter list = message.add_array("802dot11k");
        aps->neighbours_to_json(*ap, list, ap->visible_members);
        aps_to_delete->neighbours_to_json(*ap, list, ap->visible_members);
    }
    send(message.to_string(), ap->session, send_now);
}

void TpcDcaSubworker::post_tpc_results(bool with_radios)
{
    RRM_DEBUG("Post tpc-results");
    RrmWorker::BroadcastBatch batch(*worker);
    for (auto& entry : aps->table)
        post_tpc_results_ap(entry.second.get(), false, with_radios, false);
    worker->subworkers.get_load_balancer_802dot11v()->mark_priorities_sent();
    worker->broadcast_buffer_flush();
}

void TpcDcaSubworker::planning_update_802dot11k()
{
    if (config->use_80211k && (state == STATE_IDLE || state == STATE_PLANNED_TIME)) {
        RRM_DEBUG("Planning update 802dot11k domain %s", domain_name->c_str());
        timers.restart_timer(timer_802dot11k_callback, TIMER_802DOT11K, config->replan_delay);
    } else {
        RRM_DEBUG("NOT Planning update 802dot11k domain %s status %d", domain_name->c_str(),
                  state);
    }
}

void TpcDcaSubworker::update_802dot11k()
{
    RRM_DEBUG("Update  domain %s", domain_name->c_str());
    planning_update_802dot11k();
}

void TpcDcaSubworker::process_timer_802dot11k()
{
    if (config->use_80211k && (state == STATE_IDLE || state == STATE_PLANNED_TIME)) {
        RRM_DEBUG("Process update 802dot11k domain %s", domain_name->c_str());
        post_tpc_results(false);
    } else {
        RRM_DEBUG("Not update 802dot11k domain %s", domain_name->c_str());
    }
}

void TpcDcaSubworker::post_request_mode(ApMap* map)
{
    RRM_DEBUG("Post request mode");
    RrmWorker::BroadcastBatch batch(*worker);
    for (auto& entry : map->table) {
        JsonWriter message("rrm", "rrm-request-mode", "");
        message.add_string("domain", domain_name->c_str());
        message.add_string("ap-mac", mac_to_string(entry.first).c_str());
        worker->broadcast_buffer_add(message.to_string(), entry.second->session);
    }
    worker->broadcast_buffer_flush();
}

}  // namespace rrm
