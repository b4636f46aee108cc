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

#include "ApOutbox.h"
#include "BaseSession.h"
#include "BoundedDelay.h"
#include "ChannelSets.h"
#include "CommandMetric.h"
#include "IRrmSubworker.h"
#include "MacAddress.h"
#include "OptimizationResult.h"
#include "RadioResultMap.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace rrm {

class FbtPlanning;
class SendWindow;

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
    // How far further requests may push back a forced cycle, and the
    // 802.11k and 802.11r updates: this many replan delays after the first
    // request still waiting.
    static constexpr int32_t MAX_PUSH_BACK_DELAYS = 3;

    // Seeds the C library's random generator with the wall clock in
    // milliseconds and binds the callbacks; arms no timer.
    TpcDcaSubworker(const DomainConfig* config, const std::string* domain_name,
                    RrmWorker* worker, ApMap* aps, ApMap* aps_to_delete, ApMap* unanswered_aps,
                    ChannelSets* channel_sets);
    // The steps of stop, then the four timers cancelled unfired.
    ~TpcDcaSubworker() override;

    // Re-plans after a change of the domain's APs: while restore-locked
    // only the state becomes 4, during a run the request waits for its end,
    // and so it does while a forced cycle collects answers once that cycle
    // has been pushed back as far as it may be.
    void force_optimization() override;
    // While the domain is active: "rrm-mode-response" in state 2 (timed in
    // mode_response_metric), "rrm-response" in state 3 (timed in
    // rrm_response_metric). Anything else is ignored.
    bool process_message(const JsonReader& message, const char* cmd, ApEntry* ap) override;
    // Timer 0: the step of the planning cycle for the current state, timed
    // in the metric of that step.
    void process_timer() override;
    // Cancels and joins the optimisation thread and drops its result; the
    // timers stay armed.
    void stop() override;

    // The management API's forced optimisation: false while restore-locked.
    bool force_optimization_from_api();
    // Plans the next cycle: forced, state 4 after replan_delay, but at most
    // MAX_PUSH_BACK_DELAYS replan delays after the first forcing event still
    // waiting (a pending 802.11k or 802.11r update is held for the cycle);
    // otherwise, with use_optimization_time, state 1 at the domain's next
    // time of day; else idle. A domain without radio planning only plans its
    // list updates.
    void planning_request_modes(bool force);

    // Timer 0 of states 1 and 4: the 802.11k and 802.11r updates the cycle
    // held, then the mode requests of the cycle, to every AP with an enabled
    // radio on a channel (the others wait in unanswered_aps).
    void process_timer_request_modes();
    // Timer 0 of state 2: the APs that did not answer wait in
    // unanswered_aps, the others are asked for a scan.
    void process_timer_request_scan();
    // "rrm-update" to every AP of the map, in one flush.
    void post_force_update(const ApMap& map);
    // State 3: the run starts at once when every active AP delivered its
    // scan, else 3 x scan_step + 1 s after this call.
    void planning_optimize();
    // Timer 0 of state 3: the APs without scan results wait in
    // unanswered_aps, the run starts with the others.
    void process_timer_optimize();
    // An AP's "rrm-response" in state 3: its radios, its scan view, and the
    // mark that it delivered.
    void process_scan_response(const JsonReader& message, ApEntry* ap);
    // Starts the optimisation run (state 5) on a deep copy of the active
    // APs, made in shares of SNAPSHOT_APS_PER_PASS (the first here, the
    // others on the worker's next passes), and a copy of the settings; or,
    // without an active AP, plans anew.
    void launch_optimization_thread();
    // The next share of the snapshot under way, if any; the thread starts
    // once it is whole.
    void continue_snapshot_copy();
    // A snapshot or the 802.11r indexes are being made over the worker's
    // passes: a message would change what they are made from.
    bool holds_messages() const;
    // Timer 0 of state 5, every second until the run is done: joins the
    // thread, applies and sends a successful result, takes the unanswered
    // APs back and plans the next cycle.
    void check_optimization_complete();
    // The result's radios written into the live active APs.
    void apply_results(const RadioResultMap& radios);

    // The wall clock of the time-of-day planning: seconds since the epoch,
    // false when it cannot be read. Replaceable (tests).
    using WallClock = std::function<bool(int64_t& seconds)>;
    WallClock wall_clock;

    // The activity condition: whether the domain's settings ask for radio
    // planning or neighbour visibility at all.
    bool is_active() const;

    // Whether the VAPs of the message's "radios" differ from the AP's; the AP
    // is not changed.
    bool vaps_changed(const JsonReader& message, ApEntry* ap) const;

    // An AP's "rrm-mode-response" in state 2: its radios are read (its VAPs
    // only when they differ from the known ones), it is re-indexed when it
    // is active, marked as having answered, and the wait starts again.
    void process_mode_response(const JsonReader& message, ApEntry* ap);
    // State 2, steering locked, event 24, timer 0 restarted with
    // mode_response_wait.
    void wait_mode_responses();
    // The VRRP restore: the saved state and pending 802.11r update, planning
    // held back for unlock_delay_s seconds (timer 3). A state outside 0-5
    // comes back as 0, an 802.11r flag other than 0 and 1 as 1 (Warning each).
    void restore(int32_t state, int32_t fbt_status, int32_t unlock_delay_s);
    // Timer 3: ends the hold and re-plans what the restored state asks for;
    // a restored state 5 (a run of the former master, none here) is planned
    // again like states 1 to 4.
    void unlock();

    // "rrm-info" to one AP: at once, or (send_now false) into the outbox,
    // written when it is the AP's turn. With only_if_changed and an 802.11v
    // list that did not change, nothing is sent.
    void post_tpc_results_ap(ApEntry* ap, bool send_now, bool with_radios, bool only_if_changed);
    // "rrm-info" to every active AP, in table order, through the outbox:
    // the first share goes at once, the rest on the worker's next passes.
    void post_tpc_results(bool with_radios);
    // The "rrm-info" text of an AP as it is now; false when it is withheld
    // (only_if_changed and an 802.11v list that did not change).
    bool rrm_info_text(ApEntry& ap, bool with_radios, bool only_if_changed, std::string& text);
    // Plans the 802.11k update for replan_delay seconds after the last
    // change, but at most MAX_PUSH_BACK_DELAYS replan delays after the first
    // change it waits for (states 0 and 1; in state 4 the update is held
    // for the planned cycle).
    void planning_update_802dot11k();
    void update_802dot11k();
    // Timer 1.
    void process_timer_802dot11k();
    // "rrm-request-mode" to every AP of the map, in one flush.
    void post_request_mode(ApMap* map);

    // The 802.11r planning (FastTransitionPlanning.cpp).
    // Plans the 802.11r update, pushed back like the 802.11k update (states
    // 0 and 1; in state 4 it is held for the planned cycle; while
    // restore-locked it is only recorded in fbt_status).
    void planning_update_802dot11r();
    // Timer 2.
    void process_timer_802dot11r();
    // Fills the missing key holders and keys, replans the links of every
    // active AP and sends "fbt-info" to each AP whose links changed; the
    // pending update is done (fbt_status 0) once the last AP is planned.
    // The planning runs in steps of FBT_PLAN_WORK: the first here, the
    // others on the worker's next passes (continue_802dot11r_update).
    void update_802dot11r();
    // The next slice of an update under way, if any.
    void continue_802dot11r_update();
    // The update under way, or the planning of APs that joined, builds its
    // indexes of the domain, in shares of FBT_INDEX_VAPS a pass.
    bool building_fbt_indexes() const;
    // The next slice of the planning of APs that joined a domain past the
    // full mesh, if any; once it is done, each AP whose links changed waits
    // in the outbox, but for `told_now`, which its caller tells at once.
    void continue_joining_plan(const MacAddress& told_now);
    // The key holders and RRB keys the active APs' 802.11r VAPs lack.
    void fill_missing_key_holders();
    // "fbt-info" to one AP whose links changed, or, forced, to one with an
    // 802.11r VAP; the AP's missing key holders are filled first. At once,
    // or (send_now false) into the outbox, built when it is its turn. An AP
    // that subscribes (send_now) to a domain past the full mesh whose links
    // were planned before gets its own links planned first.
    void post_results_802dot11r_ap(ApEntry* ap, bool send_now, bool force);
    // "fbt-info" to every active AP whose links changed, through the outbox.
    void post_results_802dot11r();
    // Sends the outboxes' messages in turn while the send window has room,
    // each text built just before it goes: "rrm-info" first,
    // RRM_INFO_BYTES_PER_PASS at most; "fbt-info" only in a pass that found
    // no "rrm-info" waiting, FBT_SEND_BYTES_PER_PASS at most (an AP is told
    // its radios and lists before its links, as when both went in one go).
    // Called after an update, after "rrm-info" is queued and on every pass
    // of the worker.
    void send_outboxes();
    // The "fbt-info" share of send_outboxes, while no "rrm-info" waits.
    void send_fbt_outbox();
    // Every waiting "rrm-info" at once, whatever the window holds: a message
    // that starts a planning cycle must not overtake them.
    void flush_rrm_info_outbox();
    // The "fbt-info" text of an AP with its links as they are now.
    std::string fbt_info_text(const ApEntry& ap) const;
    // Empties the links of every 802.11r VAP of the active APs.
    void clear_fbt_links();

    // Event 24 with the current state: {"location":"<domain>", "status":N}.
    void notify_state() const;
    // state := value, then event 24.
    void post_state(DomainState value);

    DomainState state = STATE_IDLE;
    int32_t fbt_status = 0;
    int32_t scan_step = 0;
    ChannelSets* channel_sets;
    std::thread optimization_thread;
    std::atomic<bool> optimization_done{false};
    std::atomic<bool> optimization_cancel{false};
    bool replan_pending = false;
    bool replan_forced = false;
    std::unique_ptr<OptimizationResult> optimization_result;
    // The run's snapshot while it is copied, and the APs it is copied from.
    std::unique_ptr<ApMap> snapshot_copy;
    std::vector<std::pair<MacAddress, std::shared_ptr<ApEntry>>> snapshot_sources;
    // APs copied into a snapshot in one pass of the worker.
    static constexpr std::size_t SNAPSHOT_APS_PER_PASS = 64;
    bool restore_lock = false;
    std::function<void()> unlock_callback;
    CommandMetric rrm_response_metric;
    CommandMetric mode_response_metric;
    CommandMetric request_modes_metric;
    CommandMetric request_scan_metric;
    CommandMetric optimize_metric;
    std::function<void()> timer_802dot11k_callback;
    std::function<void()> timer_802dot11r_callback;
    // The pushing back of timers 0 (a forced cycle: from its first forcing
    // event until its run starts or it is given up), 1 and 2.
    BoundedDelay forced_cycle;
    BoundedDelay update_802dot11k_delay;
    BoundedDelay update_802dot11r_delay;
    // Updates a forced cycle took over: they run when its mode step comes,
    // or are planned again when the cycle gives way to an idle or
    // time-of-day plan.
    bool held_802dot11k = false;
    bool held_802dot11r = false;

    // Active APs past which the 802.11r links of an AP with scan data are
    // limited to the APs it hears or that hear it (FBT_FULL_MESH_MAX_APS).
    std::size_t fbt_full_mesh_max_aps;
    // An update has planned the domain's links since the worker started.
    bool fbt_planned = false;
    // The update under way, between its slices.
    std::unique_ptr<FbtPlanning> fbt_planning;
    // The planning of the APs that joined a domain past the full mesh
    // after its first update, between its slices.
    std::unique_ptr<FbtPlanning> fbt_joining;
    // The APs (keys in aps) whose "fbt-info" waits for its turn, in order,
    // each once.
    ApOutbox fbt_outbox;
    // The APs (keys in aps) whose "rrm-info" waits for its turn, with
    // RRM_INFO_RADIOS when some request asked for the radios and
    // RRM_INFO_ALWAYS when some request did not ask for changed lists only.
    ApOutbox rrm_info_outbox;
    static constexpr unsigned RRM_INFO_RADIOS = 1;
    static constexpr unsigned RRM_INFO_ALWAYS = 2;
    // The bytes of the outboxes' messages the transport still holds; its
    // releases wake the worker.
    std::shared_ptr<SendWindow> send_window;
    // What the transport may hold of one domain's outbox messages at a time;
    // the text built, and the planning work done (links and candidate
    // remotes checked), in one pass of the worker (at least one message,
    // one AP): some milliseconds each. An "rrm-info" costs more per byte
    // than an "fbt-info" (it is written through a document, its 802.11k
    // list looked up AP by AP).
    static constexpr std::size_t SEND_WINDOW_BYTES = 8u << 20;
    static constexpr std::size_t FBT_SEND_BYTES_PER_PASS = 256u << 10;
    static constexpr std::size_t RRM_INFO_BYTES_PER_PASS = 32u << 10;
    static constexpr std::size_t FBT_PLAN_WORK = 15000;
    static constexpr std::size_t FBT_INDEX_VAPS = 600;

private:
    // Starts the thread on the whole snapshot.
    void start_optimization_thread();
    // The AP protocol texts go out at once or through the worker's buffer.
    void send(const std::string& text, const BaseSession& session, bool send_now);
    // Builds and sends one "fbt-info" with a hold of the send window;
    // returns its size.
    std::size_t send_fbt_info(const ApEntry& ap);
    // Hands a text of an outbox to the transport with a hold of the send
    // window (a worker built without a registry has nowhere to send).
    void send_held(std::string text, const BaseSession& session);
    // The next waiting "rrm-info", if its AP is still active and it is not
    // withheld; returns the bytes built.
    std::size_t send_next_rrm_info();
    // The idle end of a planning: timer 0 cancelled, state 0 (event 23, then
    // event 24), steering unlocked.
    void plan_idle();
    // The unforced plan: state 1 at the domain's next time of day with
    // use_optimization_time (and a wall clock), else idle.
    void plan_time_of_day();
    // State `next` with timer 0 due in delay_s seconds; events 23 and 24 only
    // when the state changes.
    void plan_state(DomainState next, int32_t delay_s, bool force);
    // A step found no AP to go on with: the parked APs come back, the cycle's
    // flags are cleared, state 0.
    void abandon_cycle(const char* message);
    // One timer step of states 1 to 4, timed in `metric`. When it throws the
    // cycle is abandoned and planned anew before the exception goes on.
    void run_cycle_step(CommandMetric& metric, const std::function<void()>& step);
    // An AP's report of its radios: the VAPs (with their key holders and
    // links) are read again only when they differ from the known ones; the
    // AP is re-indexed when it is in the active map.
    void read_reported_radios(const JsonReader& message, ApEntry* ap);
    // Clears the per-cycle marks of the active map: received, active,
    // conflicted, power_changed.
    void reset_cycle_flags();
    // The TTL of an AP parked in unanswered_aps.
    int32_t park_ttl() const;
    // The most, in seconds, that requests may push a timer back.
    int64_t push_back_bound() const;
    // A forced cycle collecting answers that was pushed back as far as it
    // may be: a forcing event then waits for its run instead of starting it
    // over.
    bool cycle_due_its_bound() const;
    // The held updates: run now (the cycle's mode step), or planned again
    // (the cycle gave way to an idle or time-of-day plan).
    void run_held_updates();
    void plan_held_updates();
};

}  // namespace rrm
