#include "TpcDcaSubworker.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "ChannelPlan.h"
#include "Config.h"
#include "DomainConfig.h"
#include "FastTransitionPlanning.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LoadBalancer802dot11vSubworker.h"
#include "Log.h"
#include "OptimizationRun.h"
#include "RRM.h"
#include "RadioList.h"
#include "RrmWorker.h"
#include "ScanChannels.h"
#include "SendWindow.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>

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
    : IRrmSubworker(settings, name, owner, active, deleted, unanswered),
      channel_sets(sets),
      fbt_full_mesh_max_aps(FBT_FULL_MESH_MAX_APS),
      send_window(std::make_shared<SendWindow>(SEND_WINDOW_BYTES))
{
    // Each release of a message lets the worker's thread build the next.
    if (owner != nullptr)
        send_window->set_waker([owner] { owner->wake(); });
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
    wall_clock = [](int64_t& seconds) {
        timeval wall{};
        if (gettimeofday(&wall, nullptr) != 0)
            return false;
        seconds = wall.tv_sec;
        return true;
    };
}

TpcDcaSubworker::~TpcDcaSubworker()
{
    send_window->set_waker(nullptr);
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
    snapshot_copy.reset();
    snapshot_sources.clear();
}

bool TpcDcaSubworker::holds_messages() const
{
    return snapshot_copy != nullptr || building_fbt_indexes();
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
    // A cycle that was pushed back as far as it may be is not started over
    // once it collects answers: the change waits for the end of its run.
    if (state == STATE_OPTIMIZING || (config->use_optimization_event && cycle_due_its_bound())) {
        replan_pending = true;
        replan_forced = true;
        return;
    }
    RRM_DEBUG("Force optimization dmain %s", domain_name->c_str());
    if (config->use_optimization_event) {
        planning_request_modes(true);
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
    return true;
}

void TpcDcaSubworker::post_state(DomainState value)
{
    state = value;
    notify_state();
}

int32_t TpcDcaSubworker::park_ttl() const
{
    return config->away_timeout_ticks();
}

int64_t TpcDcaSubworker::push_back_bound() const
{
    return int64_t{MAX_PUSH_BACK_DELAYS} * std::max<int32_t>(config->replan_delay, 0);
}

bool TpcDcaSubworker::cycle_due_its_bound() const
{
    return (state == STATE_MODE_REQUEST || state == STATE_SCAN) && forced_cycle.waiting() &&
           timers.now() - forced_cycle.since() >= push_back_bound();
}

void TpcDcaSubworker::run_held_updates()
{
    if (held_802dot11r) {
        held_802dot11r = false;
        if (config->use_80211r) {
            RRM_DEBUG("Process held update 802dot11r domain %s", domain_name->c_str());
            update_802dot11r();
            notify_event(EVENT_DOMAIN_CHANGED, std::make_shared<std::string>(*domain_name));
        }
    }
    if (held_802dot11k) {
        held_802dot11k = false;
        if (config->use_80211k) {
            RRM_DEBUG("Process held update 802dot11k domain %s", domain_name->c_str());
            post_tpc_results(false);
        }
    }
}

void TpcDcaSubworker::plan_held_updates()
{
    if (held_802dot11k) {
        held_802dot11k = false;
        planning_update_802dot11k();
    }
    if (held_802dot11r) {
        held_802dot11r = false;
        planning_update_802dot11r();
    }
}

void TpcDcaSubworker::plan_idle()
{
    timers.cancel_timer(CYCLE_TIMER);
    state = STATE_IDLE;
    notify_event(EVENT_DOMAIN_CHANGED, std::make_shared<std::string>(*domain_name));
    post_state(STATE_IDLE);
    worker->load_balancer_lock = false;
}

void TpcDcaSubworker::plan_state(DomainState next, int32_t delay_s, bool force)
{
    const DomainState old = state;
    state = next;
    worker->load_balancer_lock = false;
    RRM_DEBUG("Planning domain %s update %d after %d sec", domain_name->c_str(), force ? 1 : 0,
              delay_s);
    timers.restart_timer(timer_callback, CYCLE_TIMER, delay_s);
    if (next != old) {
        notify_event(EVENT_DOMAIN_CHANGED, std::make_shared<std::string>(*domain_name));
        post_state(next);
    }
}

void TpcDcaSubworker::planning_request_modes(bool force)
{
    if (!is_active()) {
        forced_cycle.reset();
        timers.cancel_timer(CYCLE_TIMER);
        post_state(STATE_IDLE);
        worker->load_balancer_lock = false;
        if (config->use_all_ap_balance) {
            if (config->use_80211v)
                worker->subworkers.get_load_balancer_802dot11v()->planning_update_802dot11v(true);
            else if (config->use_80211k)
                planning_update_802dot11k();
        }
        if (config->use_80211r)
            planning_update_802dot11r();
        plan_held_updates();
        return;
    }
    if (force) {
        const int32_t delay = config->replan_delay;
        // The cycle's run carries the 802.11k lists and the 802.11r update:
        // what was planned of them waits for the cycle, at the latest for
        // its mode step.
        held_802dot11k = held_802dot11k || update_802dot11k_delay.waiting();
        held_802dot11r = held_802dot11r || update_802dot11r_delay.waiting();
        timers.cancel_timer(TIMER_802DOT11K);
        timers.cancel_timer(TIMER_802DOT11R);
        update_802dot11k_delay.reset();
        update_802dot11r_delay.reset();
        fbt_status = 0;
        if (delay <= 0) {
            forced_cycle.reset();
            plan_idle();
            plan_held_updates();
            return;
        }
        // Each forcing event pushes the cycle back, but no further than the
        // bound after the first: a domain whose APs keep joining still
        // plans.
        plan_state(STATE_PLANNED_FORCED,
                   forced_cycle.next(timers.now(), delay, push_back_bound(), 1), true);
        return;
    }
    forced_cycle.reset();
    plan_time_of_day();
    plan_held_updates();
}

void TpcDcaSubworker::plan_time_of_day()
{
    if (!config->use_optimization_time) {
        plan_idle();
        return;
    }
    RRM_DEBUG("Optimization time %d sec %s time_zone_offset %d sec", config->optimization_seconds,
              config->optimization_time.c_str(), worker->time_zone_offset);
    int64_t now = 0;
    if (!wall_clock || !wall_clock(now)) {
        plan_idle();
        return;
    }
    // The second of the UTC day (a clock before the epoch counts forward
    // too). Settings and offsets lie within a day or two of it, so the sums
    // below cannot overflow.
    const int64_t second_of_day = ((now % 86400) + 86400) % 86400;
    const int64_t first = int64_t{config->optimization_seconds} - worker->time_zone_offset -
                          second_of_day;
    int64_t interval = first;
    if (interval <= 0)
        interval += 86400;
    if (interval <= 0)
        interval = first + 172800;
    const int32_t delay = static_cast<int32_t>(
        std::min<int64_t>(std::max<int64_t>(interval, INT32_MIN), INT32_MAX));
    RRM_DEBUG("Optimization interval %d", delay);
    if (delay <= 0)
        plan_idle();
    else
        plan_state(STATE_PLANNED_TIME, delay, false);
}

void TpcDcaSubworker::process_timer()
{
    switch (state) {
    case STATE_PLANNED_TIME:
    case STATE_PLANNED_FORCED:
        run_cycle_step(request_modes_metric, [&] { process_timer_request_modes(); });
        break;
    case STATE_MODE_REQUEST:
        run_cycle_step(request_scan_metric, [&] { process_timer_request_scan(); });
        break;
    case STATE_SCAN:
        run_cycle_step(optimize_metric, [&] { process_timer_optimize(); });
        break;
    case STATE_OPTIMIZING:
        // Ends the cycle and plans the next one even when it fails.
        optimize_metric.time([&] { check_optimization_complete(); });
        break;
    default:
        break;
    }
}

void TpcDcaSubworker::run_cycle_step(CommandMetric& metric, const std::function<void()>& step)
{
    try {
        metric.time(step);
    } catch (...) {
        // A step that fails half-way leaves timer 0 unarmed in a state that
        // only timer 0 ends: the domain would never plan again. The cycle is
        // given up, the next one planned, and the failure still reported.
        try {
            abandon_cycle("Planning cycle on domain %s abandoned after a failure");
            planning_request_modes(false);
        } catch (...) {
        }
        throw;
    }
}

bool TpcDcaSubworker::process_message(const JsonReader& message, const char* cmd, ApEntry* ap)
{
    if (!is_active())
        return true;
    if (state == STATE_SCAN && std::strcmp(cmd, "rrm-response") == 0)
        rrm_response_metric.time([&] { process_scan_response(message, ap); });
    else if (state == STATE_MODE_REQUEST && std::strcmp(cmd, "rrm-mode-response") == 0)
        mode_response_metric.time([&] { process_mode_response(message, ap); });
    return true;
}

// ------------------------------------------------------------------ the cycle

void TpcDcaSubworker::reset_cycle_flags()
{
    aps->reset_radios_received();
    aps->reset_active_flags();
}

void TpcDcaSubworker::abandon_cycle(const char* message)
{
    // Given up: the next forced cycle is pushed back from its own first
    // forcing event.
    forced_cycle.reset();
    aps->move_all_from(*unanswered_aps);
    reset_cycle_flags();
    RRM_DEBUG(message, domain_name->c_str());
    state = STATE_IDLE;
    worker->load_balancer_lock = false;
    post_state(STATE_IDLE);
}

void TpcDcaSubworker::process_timer_request_modes()
{
    // What the cycle held of the 802.11k and 802.11r updates is not held
    // beyond its start, however long its answers take.
    run_held_updates();
    RRM_DEBUG("Send rrm-request-mode messages on domain %s", domain_name->c_str());
    // Filled again from the answers' radio reports.
    for (int band : {BAND_2G, BAND_5G, BAND_6G})
        (*channel_sets)[static_cast<std::size_t>(band)].clear();
    aps->move_all_from(*unanswered_aps);
    reset_cycle_flags();
    aps->move_aps_without_active_radio(*unanswered_aps, park_ttl());
    if (aps->empty()) {
        abandon_cycle("not optimization scan on domain %s");
        planning_request_modes(false);
        return;
    }
    // The run's results carry the 802.11k lists.
    timers.cancel_timer(TIMER_802DOT11K);
    update_802dot11k_delay.reset();
    post_request_mode(aps);
    wait_mode_responses();
}

void TpcDcaSubworker::process_timer_request_scan()
{
    const int dropped = aps->move_inactive_aps(*unanswered_aps, park_ttl());
    RRM_DEBUG("Send rrm-update messages on domain %s size %zu drop %d", domain_name->c_str(),
              aps->size(), dropped);
    if (aps->empty()) {
        abandon_cycle("Optimization scan on domain %s delayed");
        planning_request_modes(true);
        return;
    }
    scan_step = scan_step_time(*config, *channel_sets);
    aps->reset_radios_received();
    post_force_update(*aps);
    planning_optimize();
}

void TpcDcaSubworker::post_force_update(const ApMap& map)
{
    RRM_DEBUG("Post rrm-update");
    // With the domain scan every AP scans the domain's channels at once;
    // otherwise each its own channels, the APs scan_step apart.
    const bool domain_scan = config->use_tavik_rrm_scan;
    std::string domain_lists[3];
    std::string domain_channels;
    if (domain_scan) {
        domain_lists[0] = channel_set_to_string((*channel_sets)[BAND_2G]);
        domain_lists[1] = channel_set_to_string((*channel_sets)[BAND_5G]);
        domain_lists[2] = channel_set_to_string((*channel_sets)[BAND_6G]);
        domain_channels = scan_channels_to_string(*channel_sets);
    }
    int64_t position = 0;
    for (const auto& entry : map.table) {
        std::string own_lists[3];
        std::string own_channels;
        const std::string* lists = domain_lists;
        const std::string* channels = &domain_channels;
        if (!domain_scan) {
            const ChannelSets own = ap_scan_channel_sets(entry.second->radios);
            own_lists[0] = channel_set_to_string(own[BAND_2G]);
            own_lists[1] = channel_set_to_string(own[BAND_5G]);
            own_lists[2] = channel_set_to_string(own[BAND_6G]);
            own_channels = scan_channels_to_string(own);
            lists = own_lists;
            channels = &own_channels;
        }
        const int64_t delay = domain_scan ? 0 : position * scan_step;
        JsonWriter message("rrm", "rrm-update", "");
        message.add_string("domain", domain_name->c_str());
        message.add_string("ap-mac", mac_to_string(entry.first).c_str());
        message.add_int("rrm-scan-delay", static_cast<int>(std::min<int64_t>(
                                              std::max<int64_t>(delay, 0), INT32_MAX)));
        message.add_string("rrm-scan-channels", channels->c_str());
        JsonWriter per_band_list = message.add_array("rrm-scan-channels-list");
        JsonWriter per_band = per_band_list.add_object("");
        per_band.add_string("2", lists[0].c_str());
        per_band.add_string("5", lists[1].c_str());
        per_band.add_string("6", lists[2].c_str());
        message.add_int("tavik-rrm-scanning", domain_scan ? 1 : 0);
        worker->broadcast_buffer_add(message.to_string(), entry.second->session);
        ++position;
    }
    worker->broadcast_buffer_flush();
}

void TpcDcaSubworker::planning_optimize()
{
    post_state(STATE_SCAN);
    if (aps->all_aps_received()) {
        RRM_DEBUG("Start optimize now on domain %s", domain_name->c_str());
        optimize_metric.time([&] { process_timer_optimize(); });
        return;
    }
    const int64_t wait = 3 * int64_t{scan_step} + 1;
    const int32_t delay =
        static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(wait, 1), INT32_MAX));
    RRM_DEBUG("Start optimize after %d sec on domain %s", delay, domain_name->c_str());
    timers.restart_timer(timer_callback, CYCLE_TIMER, delay);
}

void TpcDcaSubworker::process_timer_optimize()
{
    const int dropped = aps->move_aps_not_received(*unanswered_aps, park_ttl());
    RRM_DEBUG("Start optimization on domain %s size %zu drop %d", domain_name->c_str(),
              aps->size(), dropped);
    if (aps->empty()) {
        abandon_cycle("Optimization on domain %s delayed");
        planning_request_modes(true);
        return;
    }
    launch_optimization_thread();
}

void TpcDcaSubworker::process_scan_response(const JsonReader& message, ApEntry* ap)
{
    read_reported_radios(message, ap);
    aps->update_rf_environment(*ap, message.child("rf-environment"));
    ap->radios.set_received();
    planning_optimize();
}

// ------------------------------------------------------- the optimisation run

void TpcDcaSubworker::launch_optimization_thread()
{
    // The cycle runs: a later forcing event plans the next one afresh.
    forced_cycle.reset();
    if (optimization_thread.joinable())
        optimization_thread.join();
    optimization_done.store(false);
    optimization_cancel.store(false);
    optimization_result.reset();

    if (aps->empty()) {
        state = STATE_IDLE;
        worker->load_balancer_lock = false;
        planning_request_modes(false);
        return;
    }
    // The snapshot is copied in shares over the worker's next passes, which
    // take no message meanwhile; the thread starts once it is whole.
    snapshot_copy = std::make_unique<ApMap>();
    snapshot_copy->table.reserve(aps->size());
    snapshot_sources.clear();
    snapshot_sources.reserve(aps->size());
    for (const auto& entry : aps->table)
        snapshot_sources.emplace_back(entry.first, entry.second);
    post_state(STATE_OPTIMIZING);
    timers.restart_timer(timer_callback, CYCLE_TIMER, 1);
    continue_snapshot_copy();
}

void TpcDcaSubworker::continue_snapshot_copy()
{
    if (!snapshot_copy)
        return;
    const std::size_t until = std::min(snapshot_copy->size() + SNAPSHOT_APS_PER_PASS,
                                       snapshot_sources.size());
    for (std::size_t i = snapshot_copy->size(); i < until; ++i)
        snapshot_copy->add_copy(snapshot_sources[i].first, *snapshot_sources[i].second);
    if (snapshot_copy->size() < snapshot_sources.size()) {
        worker->wake();
        return;
    }
    snapshot_sources.clear();
    start_optimization_thread();
}

void TpcDcaSubworker::start_optimization_thread()
{
    OptimizationJob job;
    job.snapshot = std::move(snapshot_copy);
    job.settings = *config;
    job.domain_name = *domain_name;
    if (worker->global_config)
        job.reports_path = worker->global_config->server().reports_path;
    job.run_dca = config->use_dca;
    job.run_tpc = config->use_tpc;
    job.write_report = config->use_rrm_report && (config->use_dca || config->use_tpc);

    // Made here, so that handing it over is all the thread does at its end.
    auto result = std::make_unique<OptimizationResult>();
    try {
        optimization_thread = std::thread(
            [this](OptimizationJob run, std::unique_ptr<OptimizationResult> outcome) {
                run_optimization(run, optimization_cancel, *outcome);
                // The copy goes before the worker may join.
                run.snapshot.reset();
                optimization_result = std::move(outcome);
                optimization_done.store(true);
            },
            std::move(job), std::move(result));
    } catch (const std::exception& e) {
        // No thread: the run ends at once as a failed one, and the completion
        // check goes on with the cycle as after any failed run.
        auto failed = std::make_unique<OptimizationResult>();
        failed->error = std::string("exception during optimization: ") + e.what();
        optimization_result = std::move(failed);
        optimization_done.store(true);
    }
}

void TpcDcaSubworker::apply_results(const RadioResultMap& radios)
{
    apply_radio_results(*aps, radios);
}

void TpcDcaSubworker::check_optimization_complete()
{
    if (!optimization_done.load()) {
        timers.restart_timer(timer_callback, CYCLE_TIMER, 1);
        return;
    }
    if (optimization_thread.joinable())
        optimization_thread.join();

    // Whatever the sending throws, the cycle ends and the next one is
    // planned; the exception is reported afterwards.
    std::exception_ptr failure;
    try {
        if (!optimization_result) {
            RRM_WARNING("Optimization thread completed on domain %s but no result was produced",
                        domain_name->c_str());
        } else if (optimization_result->success) {
            apply_results(optimization_result->radios);
            post_tpc_results(true);
            if (config->use_80211r)
                update_802dot11r();
        } else if (!optimization_result->error.empty()) {
            RRM_WARNING("Optimization cancelled or failed: %s",
                        optimization_result->error.c_str());
        } else {
            RRM_WARNING("Optimization on domain %s finished unsuccessfully with no error message",
                        domain_name->c_str());
        }
    } catch (...) {
        failure = std::current_exception();
        worker->broadcast_buffer_clear();
    }

    aps->move_all_from(*unanswered_aps);
    reset_cycle_flags();
    post_state(STATE_IDLE);
    worker->load_balancer_lock = false;
    if (replan_pending) {
        replan_pending = false;
        replan_forced = false;
        force_optimization();
    } else {
        replan_forced = false;
        planning_request_modes(false);
    }
    optimization_result.reset();
    RRM_DEBUG("Optimization on domain %s finished", domain_name->c_str());
    if (failure)
        std::rethrow_exception(failure);
}

// ------------------------------------------------------------ mode responses

bool TpcDcaSubworker::vaps_changed(const JsonReader& message, ApEntry* ap) const
{
    RadioList fresh(ap->config, ap->base_mac);
    fresh.set_mac(ap->base_mac);
    fresh.from_json(message, *channel_sets, true, false);
    return !ap->radios.vaps_equal(fresh);
}

void TpcDcaSubworker::read_reported_radios(const JsonReader& message, ApEntry* ap)
{
    // The VAPs (and with them the fast-transition key holders and links)
    // are read again only when the AP reports different ones.
    ap->radios.from_json(message, *channel_sets, vaps_changed(message, ap), false);

    auto it = aps->table.find(ap->base_mac);
    if (it == aps->table.end()) {
        if (auto owner = aps->find_ap_by_bssid(ap->base_mac))
            it = aps->table.find(owner->base_mac);
    }
    if (it != aps->table.end())
        aps->reindex_ap(it->second);
}

void TpcDcaSubworker::process_mode_response(const JsonReader& message, ApEntry* ap)
{
    read_reported_radios(message, ap);
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
    // A flag is a flag: anything else asks for the 802.11r update.
    if (restored_fbt_status != 0 && restored_fbt_status != 1) {
        RRM_WARNING("Restored fbt-status %d of domain %s is neither 0 nor 1, taken as 1",
                    restored_fbt_status, domain_name->c_str());
        restored_fbt_status = 1;
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
            // would ever end state 5. Planned again like an interrupted
            // cycle, from idle, so that the planning announces the state it
            // leaves 5 for (events 23 and 24) as any change of state.
            state = STATE_IDLE;
            force_optimization();
            if (state == STATE_IDLE && !is_active())
                // The idle path of a domain with nothing to plan raises no
                // event 23; the backup must not keep the 5 all the same.
                notify_event(EVENT_DOMAIN_CHANGED, std::make_shared<std::string>(*domain_name));
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

bool TpcDcaSubworker::rrm_info_text(ApEntry& ap, bool with_radios, bool only_if_changed,
                                    std::string& text)
{
    JsonWriter message("rrm", "rrm-info", "");
    message.reserve(RRM_INFO_ARENA);
    const std::string ap_mac = mac_to_string(ap.base_mac);
    message.add_string("ap-mac", ap_mac.c_str());
    message.add_int("use-tpc", config->use_tpc ? 1 : 0);
    message.add_int("use-dca", config->use_dca ? 1 : 0);
    message.add_int("use-load-balance", config->use_balance ? 1 : 0);
    message.add_int("use-80211v", config->use_80211v ? 1 : 0);
    if (with_radios)
        ap.radios.to_json(message);

    if (config->use_80211v && ap.radios.has_80211kv_radio()) {
        JsonWriter list = message.add_array("802dot11k");
        const bool changed =
            worker->subworkers.get_load_balancer_802dot11v()->build_802dot11kv_list(ap, list);
        if (!changed && only_if_changed) {
            RRM_DEBUG("802.11kv list has not changed on %s, no need to send new one",
                      ap_mac.c_str());
            return false;
        }
        RRM_DEBUG("802.11kv list has changed (or has no actual lists after reboot) on %s, "
                  "sending new 802.11kv list",
                  ap_mac.c_str());
    } else if (config->use_80211k && ap.radios.has_80211k_vaps()) {
        JsonWriter list = message.add_array("802dot11k");
        aps->neighbours_to_json(ap, list, ap.visible_members);
        aps_to_delete->neighbours_to_json(ap, list, ap.visible_members);
    }
    text = message.to_string();
    return true;
}

void TpcDcaSubworker::post_tpc_results_ap(ApEntry* ap, bool send_now, bool with_radios,
                                          bool only_if_changed)
{
    const unsigned flags =
        (with_radios ? RRM_INFO_RADIOS : 0u) | (only_if_changed ? 0u : RRM_INFO_ALWAYS);
    if (!send_now) {
        // Written at the AP's turn, from the AP as it is then.
        auto held = aps->table.find(ap->base_mac);
        if (held == aps->table.end() || held->second.get() != ap)
            held = std::find_if(aps->table.begin(), aps->table.end(),
                                [ap](const ApMap::Table::value_type& e) { return e.second.get() == ap; });
        if (held != aps->table.end()) {
            rrm_info_outbox.queue(held->first, flags);
            send_outboxes();
            return;
        }
        // Not an active AP: no turn would find it, so it goes now.
    }
    std::string text;
    if (rrm_info_text(*ap, with_radios, only_if_changed, text))
        worker->send_to_ap(text, ap->session);
}

void TpcDcaSubworker::post_tpc_results(bool with_radios)
{
    RRM_DEBUG("Post tpc-results");
    const unsigned flags = (with_radios ? RRM_INFO_RADIOS : 0u) | RRM_INFO_ALWAYS;
    for (auto& entry : aps->table)
        rrm_info_outbox.queue(entry.first, flags);
    // The priorities are taken as announced now: one that changes before an
    // AP's turn is in that AP's text, and marks the lists changed again for
    // the balancer's next list step.
    worker->subworkers.get_load_balancer_802dot11v()->mark_priorities_sent();
    send_outboxes();
}

std::size_t TpcDcaSubworker::send_next_rrm_info()
{
    const auto [key, flags] = rrm_info_outbox.pop();
    // An AP that left meanwhile is not told; one that is back on another
    // session is told on that one, as it is now.
    auto it = aps->table.find(key);
    if (it == aps->table.end())
        return 0;
    std::string text;
    if (!rrm_info_text(*it->second, (flags & RRM_INFO_RADIOS) != 0,
                       (flags & RRM_INFO_ALWAYS) == 0, text))
        return 0;
    const std::size_t size = text.size();
    send_held(std::move(text), it->second->session);
    return size;
}

void TpcDcaSubworker::flush_rrm_info_outbox()
{
    while (!rrm_info_outbox.empty())
        send_next_rrm_info();
}

void TpcDcaSubworker::send_held(std::string text, const BaseSession& session)
{
    std::shared_ptr<const void> hold = send_window->take(text.size());
    if (RRM* registry = worker->get_registry())
        registry->enqueue_serialized(std::move(text), session, std::move(hold));
}

void TpcDcaSubworker::send_outboxes()
{
    // A share per pass of the worker, so that the worker's lock is never
    // held for long: queries and AP messages go between.
    if (!rrm_info_outbox.empty()) {
        std::size_t built = 0;
        while (!rrm_info_outbox.empty() && send_window->has_room() &&
               built < RRM_INFO_BYTES_PER_PASS)
            built += send_next_rrm_info();
    } else {
        send_fbt_outbox();
    }
    // More to send and room for it: the worker's thread must not sleep
    // until its next second. (Without room, each release wakes it.)
    if ((!rrm_info_outbox.empty() || !fbt_outbox.empty()) && send_window->has_room())
        worker->wake();
}

void TpcDcaSubworker::planning_update_802dot11k()
{
    if (config->use_80211k && (state == STATE_IDLE || state == STATE_PLANNED_TIME)) {
        RRM_DEBUG("Planning update 802dot11k domain %s", domain_name->c_str());
        timers.restart_timer(timer_802dot11k_callback, TIMER_802DOT11K,
                             update_802dot11k_delay.next(timers.now(), config->replan_delay,
                                                         push_back_bound(), 1));
    } else {
        // The planned cycle carries it.
        if (config->use_80211k && state == STATE_PLANNED_FORCED)
            held_802dot11k = true;
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
    update_802dot11k_delay.reset();
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
    flush_rrm_info_outbox();
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
