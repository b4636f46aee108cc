#pragma once
// The registry at the centre of the server: it owns every worker, routes each
// parsed AP message to the worker of the message's domain (creating the
// domain's worker on its first "subscribe-request"), forgets a domain worker
// whose thread ended by itself, and carries the domain workers' messages and
// session commands to the WebSocket worker.
//
// Locks: the workers-map lock (workers.mutex) is a leaf. It is held only for
// lookups, copies, insertions and erasures of entries; never while taking
// another component's lock, calling into a worker, queueing, or joining a
// thread. Whoever needs a domain worker takes its shared pointer under the
// lock, releases the lock, and then acts (run_locked, enqueue, stop). The
// life-cycle operations (start, stop, restart, remove_worker) are serialised
// among themselves by a lock that no worker thread ever takes; call them
// with no other lock held. See docs/ARCHITECTURE.md, "Locks".

#include "BaseSession.h"
#include "JsonReader.h"
#include "SafeUnorderedMap.h"
#include "Worker.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <map>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace rrm {

class DefaultWorker;
class GlobalConfig;
class PingWorker;
class RrmWorker;
class WebsockServerWorker;

// 0 "backup", 1 "master", anything else "unknown".
const char* vrrp_role_to_string(int role);

class RRM : public WorkerOwner {
public:
    using WorkerList = std::vector<std::pair<std::string, std::shared_ptr<Worker>>>;

    // Queue capacity of a domain worker.
    static constexpr int32_t DOMAIN_QUEUE_CAPACITY = 2048;

    // Creates the service workers; starts nothing. config is not owned and
    // must outlive the registry.
    explicit RRM(GlobalConfig* config);
    RRM(const RRM&) = delete;
    RRM& operator=(const RRM&) = delete;
    virtual ~RRM();

    // Messages of the domain workers for one AP session, handed to the
    // WebSocket worker's outgoing queue of that session (normal ring).
    virtual void enqueue_serialized(const char* text, const BaseSession& session);
    virtual void enqueue_serialized(std::string text, const BaseSession& session);
    // The same with a hold that the transport keeps until the text is
    // handed whole to the connection (QueueMessage::hold).
    virtual void enqueue_serialized(std::string text, const BaseSession& session,
                                    std::shared_ptr<const void> hold);
    void enqueue_message(JsonReader&& msg, const BaseSession& session);

    // Reads "enabled" and "vrrp_enabled"; starts the service workers while
    // master. With VRRP enabled and preserve_role false the role becomes
    // backup. A backup whose VRRP has been turned off (a restart keeping
    // the role) serves as master: the service workers start and the domains
    // are restored from backup_source, as on any switch to master.
    void start(bool preserve_role = false);
    // Stops the ping worker, every domain worker (erasing them), then the
    // default and WebSocket workers. Creates no domain worker while it runs.
    void stop();
    // stop, then start keeping the VRRP role.
    void restart();
    int get_vrrp_role() const { return vrrp_role.load(); }

    // The VRRP role switch: to 0 (backup) every worker stops and the AP port
    // closes; to 1 (master) the service workers start and the domains of
    // `domains` (the compact text of an array of domain backup objects, may
    // be null) are restored. Switches are serialised; a role query meanwhile
    // reads the old role.
    void update_vrrp_role(int new_role, std::shared_ptr<std::string> domains);
    // Where a switch to master that no role request asked for finds the
    // domains to restore (the compact text of an array of domain backup
    // objects, or null): the VRRP front end's backup files. Set before start.
    void set_backup_source(std::function<std::shared_ptr<std::string>()> source);
    void restore_domains(std::shared_ptr<std::string> domains);
    // A worker for the backup's domain, its state restored before its thread
    // starts; nothing when the domain already has one.
    void restore_domain(const JsonReader& backup);

    // The daily report clean-up, when the daily alarm fires: old lines of
    // every configured domain's reports, and the report files of domains
    // that are no longer configured. Main thread, about once a minute.
    void check_old_reports();
    // At start-up: a report clean-up of a configured domain that a crash
    // interrupted is finished or rolled back, so that queries read whole
    // sets. Before any domain worker runs.
    void recover_report_files();

    // A parsed AP message, routed to its domain's worker; one that the
    // worker's full ring cannot take is dropped (event 25, a Warning now
    // and then).
    void process_incoming_message(JsonReader&& json, const BaseSession& session);
    // The same, for a caller that would rather hold a message back than
    // lose it (the WebSocket worker's parsing threads): false when the
    // domain's worker cannot take it now (its queue is full), the message
    // then in `kept` for another try (its json and session); true when it
    // was routed (or is not for any worker).
    bool offer_incoming_message(JsonReader&& json, const BaseSession& session,
                                std::shared_ptr<QueueMessage>& kept);
    // With `kept`, as offer_incoming_message; without, a full ring drops.
    bool route_domain(const char* domain, const char* cmd, JsonReader&& json,
                      const BaseSession& session, std::shared_ptr<QueueMessage>* kept = nullptr);
    // A new domain worker, not started and in no map, owned by the caller;
    // null (after an Error record and event 13) when the domain's settings
    // cannot be found or the worker cannot be built.
    virtual Worker* make_rrm_worker(const std::string& domain);
    // Called by a worker's thread that ended without being stopped by the
    // registry. Forgets the domain's worker only when it is the calling one;
    // what was queued in it, and what routing gives it until it is closed,
    // goes to the domain's next worker (a "subscribe-request" makes one), in
    // its order, before the domain's later messages.
    void stop_domain_event(const std::string& domain) override;

    // Tell every domain worker, through its force ring, that a session has
    // ended, or that the AP side is sending too much.
    void drop_session_at_rrm_worker(const BaseSession& session);
    void stop_load_balancer_at_rrm_worker(const BaseSession& session);

    // True when the AP transport has closed the session (or another session
    // has replaced it on its connection): a message it sent is then handled
    // as one from no session, whatever the domain worker has heard of the
    // close yet.
    virtual bool session_ended(const BaseSession& session);

    // Make the WebSocket worker close or ping one session.
    void drop_session_at_websock_worker(const BaseSession& session, bool force);
    void ping_session_at_websock_worker(const BaseSession& session);
    // Closes the sessions of the domain's APs, stops its worker and forgets
    // it. Messages for the domain that arrive meanwhile are held back and
    // routed, in their order, once the old worker is gone, so the next
    // "subscribe-request" creates a new worker with the current settings.
    void remove_worker(const std::string& domain);
    void remove_workers(const std::list<std::string>& domains);
    // The same for a change of the domains' settings: every listed domain's
    // worker is stopped (its AP sessions dropped) before `change` runs, and
    // every message for these domains that arrives before `change` has
    // returned is held back and routed after it, so no worker of them reads
    // a settings record while it is rewritten or erased and the next
    // "subscribe-request" makes a worker with the new settings. `change`
    // runs with no registry lock held but the life-cycle lock, so it may
    // take the configuration lock, and must not take a worker's.
    void remove_workers(const std::list<std::string>& domains,
                        const std::function<void()>& change);

    // The configuration (not owned) and the AP transport, for the service
    // workers and the management side.
    GlobalConfig* get_config() const { return config; }
    WebsockServerWorker* get_websock_worker() const { return websock_worker.get(); }

    // Lookups for the management side. None holds the workers-map lock once
    // it returns or while it runs the given function.
    std::shared_ptr<Worker> find_worker(const std::string& domain);
    // The same, and a map entry that holds no worker is erased on the way
    // (empty_entry then tells so).
    std::shared_ptr<Worker> find_worker(const std::string& domain, bool& empty_entry);
    // Every domain worker with its name, in the map's order.
    WorkerList copy_workers();
    size_t worker_count();
    // Runs fn under the domain worker's lock; false when the domain has no
    // worker.
    bool run_on_domain(const std::string& domain, const std::function<void(RrmWorker&)>& fn);

protected:
    // Puts a new, not yet started domain worker under its name unless the
    // name is taken, the domain is being removed or a stop runs. Returns the
    // worker now registered under the name (null when none may be); inserted
    // tells whether it is `worker`. An inserted worker must then be started
    // and reported with finish_start, whether the start succeeded or not.
    std::shared_ptr<Worker> insert_domain_worker(const std::string& domain,
                                                 const std::shared_ptr<Worker>& worker,
                                                 bool& inserted);
    void finish_start();
    // A worker whose start failed: out of the map (only if it is still the
    // one registered there), then finish_start.
    void abandon_start(const std::string& domain, const std::shared_ptr<Worker>& worker);
    // True while remove_worker runs for the domain.
    bool removal_pending(const std::string& domain);

    // Domain name -> that domain's RrmWorker. Its mutex is the workers-map
    // lock; `stopping`, `removing` and `pending_starts` are guarded by it too,
    // and its condition variable announces their changes.
    SafeUnorderedMap<std::string, Worker> workers;
    GlobalConfig* config;
    std::shared_ptr<DefaultWorker> default_worker;
    std::shared_ptr<WebsockServerWorker> websock_worker;
    std::shared_ptr<PingWorker> ping_worker;
    // 1 master, 0 backup.
    std::atomic<int32_t> vrrp_role{1};

private:
    struct HeldMessage {
        bool subscribe;
        JsonReader json;
        BaseSession session;
        HeldMessage(bool is_subscribe, JsonReader&& document, const BaseSession& from)
            : subscribe(is_subscribe), json(std::move(document)), session(from)
        {
        }
    };
    using HeldMessages = std::deque<HeldMessage>;

    // The two entries of an AP message: the root checked, then route_domain.
    bool route_incoming(JsonReader&& json, const BaseSession& session,
                        std::shared_ptr<QueueMessage>* kept);
    // route_domain's work; `replay` routes a held-back message of a domain
    // under removal (only remove_worker does that).
    // With `kept`, a worker whose ring is full hands the message back there
    // (false) instead of dropping it.
    bool route(const std::string& domain, bool subscribe, JsonReader&& json,
               const BaseSession& session, bool replay,
               std::shared_ptr<QueueMessage>* kept = nullptr);
    WorkerList copy_workers_locked();
    // Steps of a removal: drop the AP sessions of the domain's worker and
    // stop it; then erase its entry and route what was held back for the
    // domain meanwhile.
    void stop_domain_worker(const std::string& domain, const std::shared_ptr<Worker>& worker);
    void release_domain(const std::string& domain, const std::shared_ptr<Worker>& worker);
    // A worker that ended by itself: what is queued in it, and what reaches
    // it until it is closed, is routed again, ahead of what was held back
    // for the domain meanwhile; routing resumes when nothing is left (only
    // when this hand-over marked the domain: own_mark).
    void hand_over_queue(const std::string& domain, Worker& ended, bool own_mark);

    std::function<std::shared_ptr<std::string>()> backup_source;
    std::recursive_mutex lifecycle_mutex;
    // Serialises the VRRP role switches (the CLI thread and the main thread
    // may ask at once). Taken before lifecycle_mutex and the workers-map
    // lock, never while holding either.
    std::mutex vrrp_mutex;
    bool stopping = false;
    // Domains under removal, with the messages held back for them.
    std::map<std::string, HeldMessages> removing;
    int pending_starts = 0;
};

}  // namespace rrm
