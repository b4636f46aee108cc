#pragma once
// The worker of one domain: one thread that holds everything the server
// knows about the domain's access points and handles their messages, one at
// a time, under the worker lock. Other threads reach it only by queueing a
// message on it (through the registry) or by running a function under its
// lock (Worker::run_locked).
//
// While it holds its worker lock the worker thread queues messages for APs
// through the registry and raises events; it never takes the registry's
// workers-map lock while doing so for longer than a lookup, and nothing that
// holds the workers-map lock ever waits for a worker lock (see
// docs/ARCHITECTURE.md, "Locks").

#include "ApMap.h"
#include "BaseSession.h"
#include "ChannelSets.h"
#include "CommandMetric.h"
#include "DomainConfig.h"
#include "DomainDetails.h"
#include "RecordPace.h"
#include "SubworkerSet.h"
#include "TimerQueue.h"
#include "Worker.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

namespace rrm {

class GlobalConfig;
class JsonReader;
class JsonWriter;
class QueueMessage;
class RRM;

class RrmWorker : public Worker {
public:
    // Idle wait of a domain worker's thread between empty passes.
    static constexpr int32_t IDLE_WAIT_US = 10000;
    // Timer id of the domain timer and of the load-balancer tick.
    static constexpr int32_t DOMAIN_TIMER_ID = 0;

    // Starts no thread; the domain timer is armed by connect, on the thread.
    // The sub-workers are built on the worker's own copy of the settings.
    RrmWorker(GlobalConfig* global_config, const DomainConfig& config, const std::string& name,
              RRM* rrm, int32_t time_zone_offset, int32_t queue_capacity);
    ~RrmWorker() override;

    // Every message of the domain: the worker's own stop message, the
    // admission check, the registry's notices, then the AP commands. An
    // exception of a handler is caught here (Error record, event 4).
    void process_message(const JsonReader& json, const QueueMessage& msg) override;
    bool keep_running(const bool& running) override;
    // The worker's own timers, then each sub-worker's, in set order.
    void poll_timers() override;
    // While the 802.11r update builds its indexes of the domain (a few
    // passes): a message would make them start over.
    bool holds_messages() override;
    void disconnect() override;
    bool connect() override;
    // Adds "details": name, metrics, AP counts, queue length, planning
    // states and the short AP lists.
    void to_json(JsonWriter& out) override;
    // What "details" holds, copied: taken inside the worker's lock, written
    // after it (a large domain's text takes long to write).
    DomainDetails details() const;
    // "details", then "aps", "unanswered-aps" and "deleted-aps" with the
    // full AP state objects.
    void to_json_full(JsonWriter& out) override;

    // True when called on this worker's own thread (once it has connected).
    // The registry tells this worker's end from a newer worker of the same
    // name by it.
    bool is_worker_thread() const;

    RRM* get_registry() const { return registry; }

    // Puts back a domain backup object: the planning states ("rrm-status",
    // "fbt-status") go to the optimisation sub-worker, which holds its
    // planning back for the away time; the access points of "aps",
    // "unanswered-aps" and "deleted-aps" (a list that is absent or null is
    // passed over) all wait in aps_to_delete, with no session and the usual
    // away time, for their AP to subscribe again; an AP without identity or
    // with MAC ranges that do not fit is left out. The registry calls it on
    // a new worker before its thread starts.
    void restore_domain_state(const JsonReader& backup);
    // Restores the AP elements of one backup list into target. An element
    // without board, hw or serial (Warning) or with MAC parameters that
    // fail check_mac_params (Error, event 3) is passed over.
    void restore_ap_map(ApMap& target, const JsonReader& array, const DomainConfig* settings,
                        ChannelSets& sets);

    // The management API's forced optimisation: only while no planning
    // cycle collects answers or runs (state 0 or 1).
    bool force_optimization();

    // Messages for many APs, collected by the sub-workers and sent in one
    // go, oldest first. A null text is refused (Error record, event 2).
    void broadcast_buffer_add(const char* text, const BaseSession& session);
    void broadcast_buffer_flush();
    void broadcast_buffer_clear();
    // Flushes what is left in the buffer; when the flush itself fails, the
    // rest is dropped (Error record). Never throws.
    void end_broadcast_batch() noexcept;

    // The scope of one batch of broadcasts: whatever the batch queued leaves
    // when the scope ends, also when it ends with an exception, so nothing
    // of a failed batch waits for some later, unrelated flush. The worker
    // also ends a batch after every message and every timer pass.
    class BroadcastBatch {
    public:
        explicit BroadcastBatch(RrmWorker& worker) : worker_(worker) {}
        ~BroadcastBatch() { worker_.end_broadcast_batch(); }
        BroadcastBatch(const BroadcastBatch&) = delete;
        BroadcastBatch& operator=(const BroadcastBatch&) = delete;

    private:
        RrmWorker& worker_;
    };
    // One message for one AP, handed to the AP transport at once.
    void send_to_ap(std::string text, const BaseSession& session);
    // Makes the worker's thread take another pass soon, whatever it is
    // doing or waiting for (any thread).
    void wake() { queue.wake_consumer(); }
    // Messages handled and planning steps run so far: the domain's active
    // APs and their VAPs have not changed (but for the caller's own work)
    // while this stays the same. (The other timers age deleted APs and
    // tick the steering, which changes neither.)
    uint64_t activity() const;

    // A new AP's MAC parameters: a usable ap-mac-count, and per enabled
    // radio a range inside it that overlaps no other enabled radio's
    // (every problem is logged, the first does not end the check).
    bool check_mac_params(const std::shared_ptr<ApEntry>& ap);

    // Compares the radios a known AP reports with the stored ones, takes the
    // report over and plans what has to be planned again. std::out_of_range
    // "invalid exist session" when the AP belongs to another session.
    void process_exists_ap(const JsonReader& json, const BaseSession& session,
                           const MacAddress& ap_mac, std::shared_ptr<ApEntry>& ap, bool force);

    // The state below belongs to the worker thread; any other thread uses it
    // only inside run_locked.

    // The process-wide configuration; not owned. Read for the server-wide
    // "enabled" at each subscription.
    GlobalConfig* global_config;
    // The domain's settings as they were when the worker was built: every
    // decision of the worker and its sub-workers reads this copy (an
    // effective edit of the domain's settings restarts the worker); the
    // APs' config pointers point here.
    DomainConfig config;
    // Active APs: subscribed, with a live session.
    ApMap aps;
    // APs whose session was dropped, and APs restored from a backup; each is
    // forgotten when its ttl runs out unless it subscribes again.
    ApMap aps_to_delete;
    // APs that failed to answer the current planning cycle.
    ApMap unanswered_aps;
    // The channels the domain's APs allow, by band.
    ChannelSets channel_sets;
    // Built after, and destroyed before, everything they point to above.
    SubworkerSet subworkers;
    // The domain timer and the load-balancer tick, both with DOMAIN_TIMER_ID.
    TimerQueue timers;
    std::function<void()> domain_timer;
    std::function<void()> load_balancer_timer;
    std::deque<std::shared_ptr<QueueMessage>> broadcast_buffer;
    CommandMetric subscribe_metric;
    CommandMetric unsubscribe_metric;
    CommandMetric config_changed_metric;
    // Client steering suspended for stop_counter more domain-timer runs.
    bool load_balancer_stop = false;
    // Client steering locked while a planning cycle or an optimisation runs.
    bool load_balancer_lock = false;
    int32_t stop_counter = 0;
    // Seconds east of UTC.
    int32_t time_zone_offset;

    // A client (or an announced one) that a radio cannot take: it holds the
    // most clients an 802.11 radio can associate. A Warning at the pace of
    // client_refusals; nothing else happens.
    void report_client_refused(const ApEntry& ap, int radio_id, const char* sta_mac,
                               bool announced);
    // The records a peer can repeat at will, each kind at its own pace.
    RecordPace steering_refusals;
    RecordPace subscription_refusals;
    RecordPace client_refusals;

protected:
    // The "rrm-internal" commands; the session is the one the command
    // concerns.
    void process_internal_message(const JsonReader& json, const BaseSession& session);
    void process_drop_session(const JsonReader& json, const BaseSession& session);
    void process_stop_load_balancer();
    // An admitted AP message of service "rrm". One from a session that has
    // ended is handled as one from no session (null_session): it takes no
    // subscription, and no session test of a handler passes it.
    void process_ap_message(const JsonReader& json, const QueueMessage& msg);
    // The session a message may act for: its own, or null_session when the
    // transport has closed it, however the drop notice and the message were
    // ordered in the queue.
    const BaseSession& acting_session(const BaseSession& session) const;
    // An AP's session is the message's: no session (id 0) matches none.
    static bool same_session(const ApEntry& ap, const BaseSession& session);
    // The AP a session holds (it subscribed it, or took it over), while that
    // AP still has the session and one of the maps holds it; else null.
    std::shared_ptr<ApEntry> ap_of_session(const BaseSession& session);
    void hold_session(const BaseSession& session, const std::shared_ptr<ApEntry>& ap);
    // The AP an "ap-mac" names in the maps, in the subscription's order.
    std::shared_ptr<ApEntry> named_ap(const MacAddress& ap_mac);

    void process_subscribe_request(const JsonReader& json, const BaseSession& session,
                                   const MacAddress& ap_mac);
    void process_unsubscribe_request(const JsonReader& json, const BaseSession& session,
                                     const MacAddress& ap_mac);
    void process_config_changed(const JsonReader& json, const BaseSession& session,
                                const MacAddress& ap_mac);
    // The steering commands: the AP is looked up in aps, then in
    // unanswered_aps, and handed to the sub-worker that serves the command,
    // but only when the message comes from the AP's own session (else
    // nothing changes: a paced Warning, or a Debug record for a closed
    // session).
    void process_balancer_cmd(const JsonReader& json, const BaseSession& session,
                              const MacAddress& ap_mac);
    void process_balancer_ap(const JsonReader& json, const std::shared_ptr<ApEntry>& ap);

    void send_subscribe_success(const BaseSession& session, const std::shared_ptr<ApEntry>& ap);
    // Answers "fail" with the code and asks the transport to close the
    // session once the answer is out.
    void send_subscribe_fail(const BaseSession& session, int code, const MacAddress& ap_mac);
    static bool check_factory(const JsonReader& factory);
    // A known AP subscribing on another session takes that session over.
    void replace_session(std::shared_ptr<ApEntry>& ap, const BaseSession& session);

    // The domain timer and the 1 s load-balancer tick; both keep running
    // whatever a run throws.
    void process_timer_message();
    void load_balancer_tick();

    bool all_aps_empty() const
    {
        return aps.empty() && aps_to_delete.empty() && unanswered_aps.empty();
    }
    // Ends the worker when it holds no AP and no message waits; from then on
    // it takes no message (what reaches it goes to the domain's next worker).
    void stop_if_empty();
    size_t total_ap_count() const
    {
        return aps.size() + aps_to_delete.size() + unanswered_aps.size();
    }
    void raise_domain_changed();
    // A timer callback of the worker or a sub-worker threw.
    void report_timer_exception(const char* what);
    void drop_session(const BaseSession& session, bool force);

private:
    // The AP each session holds, by session id; an entry is trusted only
    // while ap_of_session finds it true. Entries leave with the session's
    // drop notice (or an unsubscription), so they are bounded by the open
    // sessions.
    std::unordered_map<uint32_t, std::weak_ptr<ApEntry>> session_aps;
    RRM* registry;
    std::atomic<std::thread::id> worker_thread{};
    uint64_t messages_seen = 0;
};

}  // namespace rrm
