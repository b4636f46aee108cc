#pragma once
// Probe-based load balancing. Sub-worker [2] of a domain worker.
//
// It follows the clients of the domain's APs ("rrm-client-assoc",
// "rrm-client-disassoc", "rrm-disassoc-all-clients"), keeps each client's
// blocks on the other radios up to date through the block-list helpers, and
// moves clients by probing: a client that associates with a weak signal, or
// on a radio that already carries more than load_balance_sta_low clients,
// gets a probe round: the radios of the APs that hear its AP are asked to
// listen for it ("rrm-probe-request"), their "rrm-probe-response" answers
// fill the round, and at most five seconds later (or at the first tick
// after every asked radio answered) the round is evaluated: the client is
// moved to the least loaded radio that hears it well (unblocked and
// expected there, blocked around it, disassociated from the APs that hold
// it), or its association is acknowledged ("rrm-client-assoc-ack") when the
// AP asked for that. A round that ends while steering is paused (the domain
// worker's load_balancer_stop or load_balancer_lock) moves nothing: what it
// would change could not be sent, so it is only acknowledged.
//
// It has no timer: the domain worker's one-second load-balancer tick calls
// process_timer, which also stops load balancing for about a minute while
// the domain worker's queue holds 256 messages or more.
//
// Ties are broken by MAC: the answers of a round are visited in ascending
// radio MAC order, and rounds that end in the same tick are evaluated in
// ascending client MAC order, so the same events always give the same
// moves.
//
// Everything runs on the domain worker's thread, inside its lock.

#include "IRrmSubworker.h"
#include "RrmProblist.h"

#include <cstddef>
#include <cstdint>

namespace rrm {

class Radio;

class LoadBalancerSubworker : public IRrmSubworker {
public:
    // A round lasts at most this many ticks.
    static constexpr int32_t PROBE_ROUND_SECONDS = 5;
    // Queue length from which load balancing stops for a while.
    static constexpr std::size_t QUEUE_GUARD = 256;

    using IRrmSubworker::IRrmSubworker;
    ~LoadBalancerSubworker() override;

    void force_optimization() override;
    // "rrm-client-assoc", "rrm-client-disassoc", "rrm-probe-response" and
    // "rrm-disassoc-all-clients"; anything else is ignored. Always true.
    bool process_message(const JsonReader& message, const char* cmd, ApEntry* ap) override;
    // The one-second tick: ends and evaluates rounds, then the queue guard.
    void process_timer() override;
    void stop() override;

    void process_client_assoc(const JsonReader& message, ApEntry* ap);
    void process_client_disassoc(const JsonReader& message, ApEntry* ap);
    void process_client_disassoc_all(const JsonReader& message, ApEntry* ap);
    void process_probe_response(const JsonReader& message, ApEntry* ap);

    // "rrm-probe-request" to every active AP (other than `source`) that
    // hears `source`, or to every other AP with use_all_ap_balance; then the
    // broadcast buffer is flushed. True when some AP was asked. The caller
    // starts the client's round before and drops it when nobody was asked.
    bool post_probe_req(const ApEntry* source, const char* client_mac, const char* ssid,
                        int timeout, int band);
    // The request for one AP, queued (not flushed) when it lists a radio:
    // enabled, with a VAP for the SSID, open to the balancer, below
    // load_balance_sta_high clients, and on the band of a 5 or 6 GHz source.
    bool post_probe_req_ap(const ApEntry* ap, const char* client_mac, const char* ssid,
                           int timeout, int band);
    // "rrm-client-assoc-ack", sent at once, only while the client is still
    // associated on that radio with that SSID and its association asked for
    // one.
    void post_client_assoc_ack(const ApEntry* ap, const char* client_mac, const char* ssid,
                               int radio_id);
    // Drops the client's expected-station entries for the SSID on the APs
    // that hear `ap` (every other AP with use_all_ap_balance).
    void erase_expected_elsewhere(const ApEntry* ap, const MacAddress& client, const char* ssid);

    // The evaluation of one ended round.
    void process_result(const MacAddress& client, const RrmProblistEntry& round);

    // Lookups of a radio by its MAC in a map (the MAC index gives the radio
    // id, the table the AP): its client load or -1, the client's stored
    // signal there or 0, whether the client is associated there.
    static int get_radio_size(const MacAddress& radio_mac, ApMap& map);
    static int get_client_rssi(const MacAddress& radio_mac, const MacAddress& client, ApMap& map);
    static bool has_client(const MacAddress& radio_mac, const MacAddress& client, ApMap& map);
    // The AP a MAC names in a map: the table entry under it, else the owner
    // of it as a radio or VAP BSSID; null when none.
    static ApEntry* find_ap(const MacAddress& mac, ApMap& map);
    static Radio* find_radio(const MacAddress& radio_mac, ApMap& map);

    RrmProblist& get_problist() { return problist; }
    const RrmProblist& get_problist() const { return problist; }

private:
    // load_balancer_stop when set, else load_balancer_lock.
    int lock_balancer() const;
    // Acknowledges the association of a client that is not moved, through
    // the AP of `map` that its source radio belongs to.
    void acknowledge(ApMap& map, const MacAddress& src, const MacAddress& client,
                     const char* ssid, int src_radio);
    // The same for a round that ends without being evaluated: the source
    // radio is looked for among the active APs, then the unanswered ones.
    void acknowledge_anywhere(const MacAddress& src, const MacAddress& client, const char* ssid);

    RrmProblist problist;
};

}  // namespace rrm
