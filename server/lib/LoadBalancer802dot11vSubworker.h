#pragma once
// Sub-worker 3 of every domain worker: 802.11v load balancing. The APs move
// clients themselves with BSS transition management; the server keeps each
// radio's 802.11v priority (from its client load) in the APs' neighbour
// lists and tells an AP with an overloaded radio which radios to offer and
// how many clients to move off it ("rrm-sta-overload").
//
// It follows the clients through "rrm-client-assoc" and
// "rrm-client-disassoc" (when the probe balancer does not take them) and
// the roams an AP announces with "rrm-sta-roam": the client then counts as
// expected on the target radio for a few seconds.
//
// Timer 0 (period sta_load_balance_period, never less than 1 s): the lists
// of every AP whose list changed, when an update was planned and the
// domain's planning does not hold steering back, then the overload step.
//
// Runs only on the domain worker's thread under its lock; no lock of its own.

#include "BoundedDelay.h"
#include "IRrmSubworker.h"
#include "MacAddress.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace rrm {

class JsonWriter;
class Radio;
class Vap;

class LoadBalancer802dot11vSubworker : public IRrmSubworker {
public:
    static constexpr int32_t BALANCE_TIMER = 0;
    // An announced client counts on its target radio this many seconds.
    static constexpr int32_t EXPECTED_STA_TTL = 5;
    // VAP objects of one SSID offered for radios of one id in one list.
    static constexpr int MAX_ENTRIES_PER_SSID = 64;
    // Priorities of the lists: every entry when the list does not follow
    // the load, and the least welcome one still offered.
    static constexpr int32_t FIXED_PRIORITY = 127;
    // What write_candidate_entry answers when it wrote nothing.
    static constexpr int32_t NO_ENTRY = -1;
    // How far restarts may push timer 0 back, in replan delays.
    static constexpr int32_t MAX_PUSH_BACK_DELAYS = 3;

    // What one array keeps while it is built: the VAP objects written per
    // SSID and candidate radio id, and the viewer's VAPs of each radio in
    // ascending SSID order, with 802.11v and with 802.11k (taken at the
    // first entry: one array has one viewer).
    struct EntryCounter {
        std::unordered_map<std::string, std::vector<int>> counts;
        const ApEntry* viewer = nullptr;
        std::vector<std::vector<const Vap*>> with_80211v;
        std::vector<std::vector<const Vap*>> with_80211k;
    };

    // Arms timer 0 with the period of the settings.
    LoadBalancer802dot11vSubworker(const DomainConfig* config, const std::string* domain_name,
                                   RrmWorker* worker, ApMap* aps, ApMap* aps_to_delete,
                                   ApMap* unanswered_aps);
    ~LoadBalancer802dot11vSubworker() override;

    // The lists whether planned or not, then the overload step; the period
    // starts again.
    void force_optimization() override;
    // "rrm-client-assoc", "rrm-client-disassoc", "rrm-sta-roam"; anything
    // else is ignored. Always true.
    bool process_message(const JsonReader& message, const char* cmd, ApEntry* ap) override;
    // Timer 0.
    void process_timer() override;
    // Nothing: the timer goes with the sub-worker.
    void stop() override;

    void process_client_assoc(const JsonReader& message, ApEntry& ap);
    void process_client_disassoc(const JsonReader& message, ApEntry& ap);
    void process_client_roam(const JsonReader& message, ApEntry& ap);

    // Plans an update of the APs' lists for the next run of timer 0; with
    // restart that run comes replan_delay seconds from now, but no later
    // than MAX_PUSH_BACK_DELAYS replan delays after the first restart since
    // the last run. Nothing without use_80211v.
    void planning_update_802dot11v(bool restart);
    // "rrm-info" to every active AP whose list changed, then the priorities
    // count as sent. Held back (and kept planned) while the domain's
    // planning locks steering.
    void optimize_lists();
    // Every radio of every active AP: the current priority becomes the one
    // last sent, and its list counts as sent.
    void mark_priorities_sent();

    // Fills the "802dot11k" array of one AP with its 802.11v neighbour list;
    // true when the list changed since the priorities were last marked as
    // sent. Nothing and false without use_80211v.
    bool build_802dot11kv_list(const ApEntry& ap, JsonWriter& array);
    // Appends at most one entry for the candidate radio heard as bssid: the
    // VAPs it shares with the viewer's radio of its band with 802.11v, else
    // (with use_80211k) with 802.11k at priority 0. Answers the priority
    // written, NO_ENTRY when no entry was written.
    int32_t write_candidate_entry(const ApEntry& viewer, const Radio& candidate,
                                  const MacAddress& bssid, JsonWriter& array,
                                  EntryCounter& counter, int32_t priority);

    // "rrm-sta-overload" to every active AP with a radio that needs balance.
    void optimize_clients();
    void post_sta_overload(ApEntry& ap);
    // Adds "802dot11k" with the candidates and counts, per radio of the AP,
    // the less-loaded candidates offered to it with a non-zero priority;
    // true when some candidate was considered.
    bool build_overload_candidates(ApEntry& ap, JsonWriter& message);
    // Adds "radios" with the roam counts and resets the counters; true when
    // some radio has one.
    bool write_roam_counts(ApEntry& ap, JsonWriter& message);
    // Clients to move off the radio: down to the average load of the radio
    // and its counted candidates, above load_balance_roam_count_min, at most
    // load_balance_roam_count_max; 0 when none.
    int calc_roam_count(const Radio& radio) const;

    // The lists must be sent on the next run of timer 0.
    bool lists_pending = false;
    // The pushing back of timer 0 by restarts, since its last run.
    BoundedDelay restart_delay;

private:
    // Timer 0 again after the period (0 counts as 1 s: a timer due in the
    // second of the pass that arms it would be dropped with that pass).
    void rearm(int32_t delay_s);
    // The AP that a client left after an announced roam: by its base MAC,
    // then as the owner of that MAC as a BSSID.
    ApEntry* find_left_ap(const MacAddress& mac) const;
};

}  // namespace rrm
