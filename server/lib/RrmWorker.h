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
#include "DomainConfig.h"
#include "TimerQueue.h"
#include "Worker.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

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
    RrmWorker(GlobalConfig* global_config, const DomainConfig& config, const std::string& name,
              RRM* rrm, int32_t time_zone_offset, int32_t queue_capacity);
    ~RrmWorker() override;

    void process_message(const JsonReader& json, const QueueMessage& msg) override;
    bool keep_running(const bool& running) override;
    void poll_timers() override;
    void disconnect() override;
    bool connect() override;
    void to_json(JsonWriter& out) override;
    void to_json_full(JsonWriter& out) override;

    // True when called on this worker's own thread (once it has connected).
    // The registry tells this worker's end from a newer worker of the same
    // name by it.
    bool is_worker_thread() const;

    RRM* get_registry() const { return registry; }

    // Puts back the access points of a domain backup object: those of
    // "aps", "unanswered-aps" and "deleted-aps" (the first list that is
    // absent or null ends it) all wait in aps_to_delete, with no session and
    // the usual away time, for their AP to subscribe again. The registry
    // calls it on a new worker before its thread starts. The saved planning
    // states ("rrm-status", "fbt-status") belong to the optimisation
    // sub-worker and are not read here.
    void restore_domain_state(const JsonReader& backup);

    // An optimisation of the domain asked for by the management API; called
    // inside the worker lock. Non-zero when the domain took it.
    int force_optimization();

    // The state below belongs to the worker thread; any other thread uses it
    // only inside run_locked.

    // The process-wide configuration; not owned.
    GlobalConfig* global_config;
    // The domain's settings as they were when the worker was built; the APs'
    // config pointers point here.
    DomainConfig config;
    // Active APs: subscribed, with a live session.
    ApMap aps;
    // APs whose session was dropped, and APs restored from a backup; each is
    // forgotten when its ttl runs out unless it subscribes again.
    ApMap aps_to_delete;
    // APs that failed to answer the current planning cycle.
    ApMap unanswered_aps;
    // The domain timer and the load-balancer tick, both with DOMAIN_TIMER_ID.
    TimerQueue timers;
    std::function<void()> domain_timer;
    std::function<void()> load_balancer_timer;
    // Client steering suspended for stop_counter more domain-timer runs.
    bool load_balancer_stop = false;
    // Client steering locked while a planning cycle or an optimisation runs.
    bool load_balancer_lock = false;
    int32_t stop_counter = 0;
    // Seconds east of UTC.
    int32_t time_zone_offset;

protected:
    // The "rrm-internal" commands; the session is the one the command
    // concerns.
    void process_internal_message(const JsonReader& json, const BaseSession& session);
    void process_drop_session(const JsonReader& json, const BaseSession& session);
    void process_stop_load_balancer();
    // An admitted AP message of service "rrm".
    void process_ap_message(const JsonReader& json, const QueueMessage& msg);

    void process_timer_message();
    void load_balancer_tick();

    bool all_aps_empty() const
    {
        return aps.empty() && aps_to_delete.empty() && unanswered_aps.empty();
    }
    void raise_domain_changed();

private:
    RRM* registry;
    std::atomic<std::thread::id> worker_thread{};
};

}  // namespace rrm
