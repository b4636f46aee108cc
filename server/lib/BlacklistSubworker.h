#pragma once
// Client block lists. Sub-worker [1] of a domain worker:
// - "rrm-assoc-state-changed": a client whose signal falls to the domain's
//   low threshold is released from its blocks elsewhere and, unless another
//   AP holds a newer association of it, a probe round is started for it
//   through the probe balancer; a client heard above the high threshold
//   ends any round pending for it;
// - once a second (first 10 s after construction) it sends what the
//   steering queued in the radios' block lists: every AP's pending
//   disassociations as "rrm-disassoc-request", then its pending block and
//   unblock changes as "rrm-blacklist", and ages the blocked clients.
//   Whatever was queued while load balancing is stopped or locked is
//   dropped unsent at the end of the tick.
//
// The steering helpers (BlacklistSteering.cpp) act on one client across
// the domain's APs: they queue blocks, unblocks and disassociations in the
// radios' block lists and take the client out of client tables; nothing is
// sent from there. The probe balancer calls them through the sub-worker
// set. A helper never assumes that the AP it is given is in the active map
// (an AP of the unanswered map reports clients too): it only compares keys
// with that AP's base MAC and reads its radio MACs.
//
// Everything runs on the domain worker's thread, inside its lock.

#include "HearingIndex.h"
#include "IRrmSubworker.h"

#include <cstdint>
#include <vector>

namespace rrm {

struct MacAddress;

class BlacklistSubworker : public IRrmSubworker {
public:
    static constexpr int32_t TICK_TIMER = 0;
    static constexpr int32_t FIRST_TICK_DELAY_S = 10;
    // A radio id that names no radio of the AP: every radio of the
    // reporting AP that serves the SSID takes part, whatever its band.
    static constexpr int NO_RADIO = 3;

    // Binds the timer callback and arms the tick: first after 10 s, then
    // every second.
    BlacklistSubworker(const DomainConfig* config, const std::string* domain_name,
                       RrmWorker* worker, ApMap* aps, ApMap* aps_to_delete,
                       ApMap* unanswered_aps);
    ~BlacklistSubworker() override;

    void force_optimization() override;
    // "rrm-assoc-state-changed"; any other command is ignored. Always true.
    bool process_message(const JsonReader& message, const char* cmd, ApEntry* ap) override;
    // The one-second tick.
    void process_timer() override;
    void stop() override;

    void process_assoc_state_changed(const JsonReader& message, ApEntry* ap);

    // One AP's pending disassociations / block-list changes, queued in the
    // domain worker's broadcast buffer when any radio has one (no flush).
    void post_disassoc_request(ApEntry* ap);
    void post_blacklist(ApEntry* ap);
    // The same for every active AP, then one flush.
    void post_disassoc_requests();
    void post_blacklists();

    // ---- Steering helpers (BlacklistSteering.cpp) ----
    // An empty SSID, or use_balance off, changes nothing anywhere.

    // Blocks (block) or unblocks the client on the radios that serve the
    // SSID: on `ap` itself the radios outside 5 and 6 GHz other than
    // radio_id (every serving radio with NO_RADIO), and every serving radio
    // of the other APs of `map` that hear `ap` (all other APs with
    // use_all_ap_balance). A radio the client is associated with is never
    // blocked.
    static void update_blacklists(const MacAddress& client, const ApEntry& ap,
                                  const DomainConfig& config, ApMap& map, const char* ssid,
                                  int radio_id, bool block);
    // The reporting AP's own part of update_blacklists, on `ap`.
    static void update_blacklists_on_ap(const MacAddress& client, ApEntry& ap,
                                        const DomainConfig& config, const char* ssid,
                                        int radio_id, bool block);
    void block_elsewhere(const MacAddress& client, const ApEntry& ap, const char* ssid,
                         int radio_id);
    void unblock_elsewhere(const MacAddress& client, const ApEntry& ap, const char* ssid,
                           int radio_id);
    // Block when rssi is non-zero and above blacklist_thr_high, else
    // unblock.
    void update_blacklists_by_rssi(const MacAddress& client, int rssi, const ApEntry& ap,
                                   const char* ssid, int radio_id);
    static void update_blacklists_by_rssi(const MacAddress& client, int rssi, const ApEntry& ap,
                                          const DomainConfig& config, ApMap& map,
                                          const char* ssid, int radio_id);
    // Pushes the client off the other APs that hear `ap` (all other APs
    // with use_all_ap_balance): each serving radio that holds it blocks it
    // with a pending disassociation and forgets it. `ap` itself is left
    // alone.
    void disassociate_elsewhere(const MacAddress& client, const ApEntry& ap, const char* ssid);
    static void disassociate_elsewhere(const MacAddress& client, const ApEntry& ap,
                                       const DomainConfig& config, ApMap& map,
                                       const char* ssid);
    // disassociate_elsewhere's step on one AP, without the hearing test.
    static void disassociate_on_ap(const MacAddress& client, ApEntry& ap,
                                   const DomainConfig& config, const char* ssid);

    // The active APs other than `ap` that hear it, in the active map's
    // order (from the hearing index; valid until the next call). The member
    // forms of the helpers above and the probe balancer take their
    // neighbours from here; the forms that take a map walk it.
    const std::vector<ApEntry*>& hearers_of(const ApEntry& ap);
    const HearingIndex& hearing_index() const { return hearing; }

private:
    // update_blacklists on the active map, the neighbours from the index.
    void update_blacklists_nearby(const MacAddress& client, const ApEntry& ap, const char* ssid,
                                  int radio_id, bool block);

    HearingIndex hearing;
};

}  // namespace rrm
