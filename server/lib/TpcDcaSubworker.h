#pragma once
// Sub-worker 0 of every domain worker: the domain's channel and power
// planning. It holds the domain state that drives a planning cycle (mode
// requests, scans, the optimisation run), the pending 802.11r update, the
// optimisation thread and its result, the hold on planning after a VRRP
// restore, five timing metrics and four timers of its own:
//   0 the planning cycle's steps (bound to process_timer),
//   1 the planned 802.11k update, 2 the planned 802.11r update,
//   3 the end of the restore hold.
// It also builds the domain's "rrm-info", "rrm-request-mode" and
// "fbt-info" messages.
//
// Everything runs on the domain worker's thread under its lock, except the
// optimisation thread, which shares only optimization_done,
// optimization_cancel and optimization_result with it.

#include "BaseSession.h"
#include "ChannelHistogram.h"
#include "ChannelSets.h"
#include "CommandMetric.h"
#include "IRrmSubworker.h"
#include "OptimizationResult.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace rrm {

// The domain state, written "rrm-status".
using DomainState = int32_t;
constexpr DomainState STATE_IDLE = 0;
constexpr DomainState STATE_PLANNED_TIME = 1;
constexpr DomainState STATE_MODE_REQUEST = 2;
constexpr DomainState STATE_SCAN = 3;
constexpr DomainState STATE_PLANNED_FORCED = 4;
constexpr DomainState STATE_OPTIMIZING = 5;

class TpcDcaSubworker : public IRrmSubworker {
public:
    static constexpr int32_t CYCLE_TIMER = 0;
    static constexpr int32_t TIMER_802DOT11K = 1;
    static constexpr int32_t TIMER_802DOT11R = 2;
    static constexpr int32_t UNLOCK_TIMER = 3;

    // Seeds the C library's random generator with the wall clock in
    // milliseconds and binds the callbacks; arms no timer.
    TpcDcaSubworker(const DomainConfig* config, const std::string* domain_name,
                    RrmWorker* worker, ApMap* aps, ApMap* aps_to_delete, ApMap* unanswered_aps,
                    ChannelSets* channel_sets);
    // The steps of stop, then the four timers cancelled unfired.
    ~TpcDcaSubworker() override;

    // Re-plans after a change of the domain's APs: while restore-locked
    // only the state becomes 4, during a run the request waits for its end.
    void force_optimization() override;
    // While the domain is active: "rrm-mode-response" in state 2 (timed in
    // mode_response_metric). Anything else is ignored.
    bool process_message(const JsonReader& message, const char* cmd, ApEntry* ap) override;
    // Timer 0: the step of the planning cycle for the current state.
    void process_timer() override;
    // Cancels and joins the optimisation thread and drops its result; the
    // timers stay armed.
    void stop() override;

    // The management API's forced optimisation: false while restore-locked.
    bool force_optimization_from_api();
    // Plans the next cycle (forced: after replan_delay). The planning cycle
    // itself is not in place yet: nothing is planned and the state stays.
    void planning_request_modes(bool force);

    // The activity condition: whether the domain's settings ask for radio
    // planning or neighbour visibility at all.
    bool is_active() const;

    // An AP's "rrm-mode-response" in state 2: its radios are read (its VAPs
    // only when they differ from the known ones), it is re-indexed when it
    // is active, marked as having answered, and the wait starts again.
    void process_mode_response(const JsonReader& message, ApEntry* ap);
    // State 2, steering locked, event 24, timer 0 restarted with
    // mode_response_wait.
    void wait_mode_responses();
    // The VRRP restore: the saved state and pending 802.11r update, planning
    // held back for unlock_delay_s seconds (timer 3). A state outside 0-5
    // comes back as 0 (Warning).
    void restore(int32_t state, int32_t fbt_status, int32_t unlock_delay_s);
    // Timer 3: ends the hold and re-plans what the restored state asks for.
    void unlock();

    // "rrm-info" to one AP: at once, or into the domain worker's broadcast
    // buffer for the caller's flush. With only_if_changed and an 802.11v
    // list that did not change, nothing is sent.
    void post_tpc_results_ap(ApEntry* ap, bool send_now, bool with_radios, bool only_if_changed);
    // "rrm-info" to every active AP, in one flush.
    void post_tpc_results(bool with_radios);
    // Plans the 802.11k update for replan_delay seconds after the last
    // change (states 0 and 1 only).
    void planning_update_802dot11k();
    void update_802dot11k();
    // Timer 1.
    void process_timer_802dot11k();
    // "rrm-request-mode" to every AP of the map, in one flush.
    void post_request_mode(ApMap* map);

    // The 802.11r planning (FastTransitionPlanning.cpp).
    // Plans the 802.11r update (states 0 and 1; while restore-locked it is
    // only recorded in fbt_status).
    void planning_update_802dot11r();
    // Timer 2.
    void process_timer_802dot11r();
    // Fills the missing key holders and keys, replans the links of every
    // active AP and sends "fbt-info" to each AP whose links changed, in one
    // batch; the pending update is done (fbt_status 0).
    void update_802dot11r();
    // The key holders and RRB keys the active APs' 802.11r VAPs lack.
    void fill_missing_key_holders();
    // "fbt-info" to one AP whose links changed, or, forced, to one with an
    // 802.11r VAP; the AP's missing key holders are filled first.
    void post_results_802dot11r_ap(ApEntry* ap, bool send_now, bool force);
    // "fbt-info" to every active AP whose links changed, in one batch.
    void post_results_802dot11r();
    // Empties the links of every 802.11r VAP of the active APs.
    void clear_fbt_links();

    // Event 24 with the current state: {"location":"<domain>", "status":N}.
    void notify_state() const;

    DomainState state = STATE_IDLE;
    int32_t fbt_status = 0;
    int32_t scan_step = 0;
    ChannelHistogram histogram;
    bool histogram_fresh = true;
    ChannelSets* channel_sets;
    std::thread optimization_thread;
    std::atomic<bool> optimization_done{false};
    std::atomic<bool> optimization_cancel{false};
    bool replan_pending = false;
    bool replan_forced = false;
    std::unique_ptr<OptimizationResult> optimization_result;
    bool restore_lock = false;
    std::function<void()> unlock_callback;
    CommandMetric rrm_response_metric;
    CommandMetric mode_response_metric;
    CommandMetric request_modes_metric;
    CommandMetric request_scan_metric;
    CommandMetric optimize_metric;
    std::function<void()> timer_802dot11k_callback;
    std::function<void()> timer_802dot11r_callback;

private:
    // The AP protocol texts go out at once or through the worker's buffer.
    void send(const std::string& text, const BaseSession& session, bool send_now);
};

}  // namespace rrm
