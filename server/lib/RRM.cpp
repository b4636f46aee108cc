#include "RRM.h"

#include "ApMap.h"
#include "Config.h"
#include "DefaultWorker.h"
#include "InternalCommands.h"
#include "JsonReader.h"
#include "Log.h"
#include "MacAddress.h"
#include "PingWorker.h"
#include "report_optimize_tpc_dca.h"
#include "RrmWorker.h"
#include "Version.h"
#include "WebsockServerWorker.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <set>
#include <vector>

namespace rrm {

const char* vrrp_role_to_string(int role)
{
    switch (role) {
    case 0:
        return "backup";
    case 1:
        return "master";
    default:
        return "unknown";
    }
}

RRM::RRM(GlobalConfig* global_config) : config(global_config)
{
    default_worker = std::make_shared<DefaultWorker>(this);
    websock_worker = std::make_shared<WebsockServerWorker>(this);
    ping_worker = std::make_shared<PingWorker>(this);
    vrrp_role = 1;
}

RRM::~RRM()
{
    stop();
    ping_worker.reset();
    websock_worker.reset();
    default_worker.reset();
    std::lock_guard<std::mutex> guard(workers.mutex);
    workers.map.clear();
}

// ---------------------------------------------------------------- sending

void RRM::enqueue_serialized(const char* text, const BaseSession& session)
{
    if (websock_worker)
        websock_worker->enqueue_serialized(text, session);
}

void RRM::enqueue_serialized(std::string text, const BaseSession& session)
{
    if (websock_worker)
        websock_worker->enqueue_serialized(std::move(text), session);
}

void RRM::enqueue_serialized(std::string text, const BaseSession& session,
                             std::shared_ptr<const void> hold)
{
    if (websock_worker)
        websock_worker->enqueue_serialized(std::move(text), session, std::move(hold));
}

void RRM::enqueue_message(JsonReader&& msg, const BaseSession& session)
{
    if (websock_worker)
        websock_worker->enqueue_message(std::move(msg), session);
}

// ------------------------------------------------------------- life cycle

void RRM::start(bool preserve_role)
{
    std::lock_guard<std::recursive_mutex> life(lifecycle_mutex);
    const ServerSettings server = config->server();
    if (!server.enabled) {
        RRM_DEBUG("Wendara version %s disabled\n", WENDARA_VERSION);
        return;
    }
    RRM_DEBUG("Wendara version %s start\n", WENDARA_VERSION);
    bool take_over = false;
    if (server.vrrp_enabled) {
        if (!preserve_role) {
            vrrp_role = 0;
            RRM_DEBUG("Wendara start in vrrp mode\n");
        } else {
            RRM_DEBUG("Wendara start in vrrp mode, preserving role: %s\n",
                      vrrp_role_to_string(vrrp_role));
        }
    } else if (vrrp_role != 1) {
        // Nothing would ever make a server without VRRP master again: role
        // requests are refused then.
        RRM_INFO("VRRP is disabled: serving as master");
        take_over = true;
    }
    if (vrrp_role == 1 || take_over) {
        default_worker->start();
        if (websock_worker)
            websock_worker->start();
        if (ping_worker)
            ping_worker->start();
    }
    if (take_over) {
        restore_domains(backup_source ? backup_source() : nullptr);
        vrrp_role = 1;
    }
}

void RRM::stop()
{
    std::lock_guard<std::recursive_mutex> life(lifecycle_mutex);
    if (ping_worker)
        ping_worker->stop();

    // Creation resumes when the stop is over, however it ends.
    struct Resume {
        RRM* self;
        ~Resume()
        {
            std::lock_guard<std::mutex> guard(self->workers.mutex);
            self->stopping = false;
        }
    } resume{this};

    WorkerList copies;
    {
        std::unique_lock<std::mutex> lock(workers.mutex);
        stopping = true;
        // A worker inserted just before is started by its creator; wait for
        // that, so that no stop below overlaps a start.
        workers.cond.wait(lock, [this] { return pending_starts == 0; });
        copies = copy_workers_locked();
    }
    std::for_each(copies.begin(), copies.end(), [](const WorkerList::value_type& entry) {
        RRM_DEBUG("Cancel domain %s", entry.first.c_str());
        entry.second->stop();
    });

    std::unordered_map<std::string, std::shared_ptr<Worker>> erased;
    {
        std::lock_guard<std::mutex> guard(workers.mutex);
        erased.swap(workers.map);
    }
    // Nothing may keep running outside the map. Insertions are refused while
    // stopping, but a worker put into the map directly is stopped as well.
    for (auto& entry : erased) {
        bool stopped = std::any_of(copies.begin(), copies.end(), [&](const auto& copy) {
            return copy.second == entry.second;
        });
        if (!stopped)
            entry.second->stop();
    }
    erased.clear();
    copies.clear();

    default_worker->stop();
    if (websock_worker)
        websock_worker->stop();
}

void RRM::restart()
{
    // A role switch may come out of it (VRRP turned off while backup).
    std::lock_guard<std::mutex> switching(vrrp_mutex);
    std::lock_guard<std::recursive_mutex> life(lifecycle_mutex);
    const int32_t role = vrrp_role;
    stop();
    vrrp_role = role;
    start(true);
}

// ---------------------------------------------------------------- routing

void RRM::process_incoming_message(JsonReader&& json, const BaseSession& session)
{
    route_incoming(std::move(json), session, nullptr);
}

bool RRM::offer_incoming_message(JsonReader&& json, const BaseSession& session,
                                 std::shared_ptr<QueueMessage>& kept)
{
    return route_incoming(std::move(json), session, &kept);
}

bool RRM::route_incoming(JsonReader&& json, const BaseSession& session,
                         std::shared_ptr<QueueMessage>* kept)
{
    if (json.is_null()) {
        RRM_LOG_AS("process_incoming_message", LOG_LEVEL_ERROR,
                   "process_incoming_message: json parse failed or null root");
        notify_event(EVENT_JSON_PARSE_FAILED, nullptr);
        return true;
    }
    const char* domain = json.get_string("domain");
    const char* cmd = json.get_string("cmd");
    return route_domain(domain, cmd, std::move(json), session, kept);
}

bool RRM::route_domain(const char* domain, const char* cmd, JsonReader&& json,
                       const BaseSession& session, std::shared_ptr<QueueMessage>* kept)
{
    // The live setting: the service workers may have been started by a VRRP
    // switch after a reload turned the server on, with no start since.
    if (domain == nullptr || !config->enabled())
        return true;
    const bool subscribe = cmd != nullptr && std::strcmp(cmd, "subscribe-request") == 0;
    return route(std::string(domain), subscribe, std::move(json), session, false, kept);
}

bool RRM::route(const std::string& name, bool subscribe, JsonReader&& json,
                const BaseSession& session, bool replay, std::shared_ptr<QueueMessage>* kept)
{
    // Taken (true), refused by a worker that ended (retried), or kept for
    // the caller (false).
    enum { taken, refused, full };
    const auto offer = [&](Worker& worker) {
        if (!kept)
            return worker.offer_message(std::move(json), session) ? taken : refused;
        switch (worker.offer_or_keep(std::move(json), session, *kept)) {
        case Worker::Offer::taken:
            return taken;
        case Worker::Offer::closed:
            return refused;
        case Worker::Offer::full:
            break;
        }
        return full;
    };
    // A worker found here may have ended by itself since: it refuses the
    // message, and the next look finds the domain held back for the hand-over
    // of its queue, or the domain's next worker.
    for (;;) {
        std::shared_ptr<Worker> found;
        {
            std::lock_guard<std::mutex> guard(workers.mutex);
            if (!replay) {
                auto held = removing.find(name);
                if (held != removing.end()) {
                    held->second.emplace_back(subscribe, std::move(json), session);
                    return true;
                }
            }
            auto it = workers.map.find(name);
            if (it != workers.map.end())
                found = it->second;
        }
        if (found) {
            const auto result = offer(*found);
            if (result == refused)
                continue;
            return result == taken;
        }
        if (!subscribe)
            return true;

        std::shared_ptr<Worker> fresh(make_rrm_worker(name));
        if (!fresh)
            return true;
        bool inserted = false;
        {
            std::lock_guard<std::mutex> guard(workers.mutex);
            auto held = removing.find(name);
            if (held != removing.end() && !replay) {
                held->second.emplace_back(subscribe, std::move(json), session);
                return true;
            }
            if (stopping)
                return true;
            auto result = workers.map.emplace(name, fresh);
            found = result.first->second;
            if (result.second) {
                inserted = true;
                ++pending_starts;
            }
        }
        if (!inserted) {
            // Lost the race: the winner takes this request too; ours was
            // never started and goes with `fresh`.
            const auto result = offer(*found);
            if (result == refused)
                continue;
            return result == taken;
        }
        // Queued before the start, so the request is the thread's first
        // message.
        fresh->enqueue_message(std::move(json), session);
        try {
            fresh->start();
        } catch (const std::exception& e) {
            abandon_start(name, fresh);
            RRM_ERROR("Exception at processing message for domain '%s': %s", name.c_str(),
                      e.what());
            notify_event(EVENT_DOMAIN_WORKER_CREATE_FAILED, std::make_shared<std::string>(name));
            return true;
        }
        finish_start();
        // The record is routing's, whichever of its steps made the worker.
        RRM_LOG_AS("route_domain", LOG_LEVEL_DEBUG, "Created new worker '%s'.", name.c_str());
        return true;
    }
}

std::shared_ptr<Worker> RRM::insert_domain_worker(const std::string& domain,
                                                  const std::shared_ptr<Worker>& worker,
                                                  bool& inserted)
{
    inserted = false;
    std::lock_guard<std::mutex> guard(workers.mutex);
    if (stopping || removing.count(domain) != 0)
        return nullptr;
    auto result = workers.map.emplace(domain, worker);
    if (result.second) {
        inserted = true;
        ++pending_starts;
    }
    return result.first->second;
}

void RRM::abandon_start(const std::string& domain, const std::shared_ptr<Worker>& worker)
{
    {
        std::lock_guard<std::mutex> guard(workers.mutex);
        auto it = workers.map.find(domain);
        if (it != workers.map.end() && it->second == worker)
            workers.map.erase(it);
    }
    finish_start();
}

void RRM::finish_start()
{
    std::lock_guard<std::mutex> guard(workers.mutex);
    --pending_starts;
    workers.cond.notify_all();
}

Worker* RRM::make_rrm_worker(const std::string& domain)
{
    try {
        DomainConfig settings = config->get_domain_config(domain);
        const int time_zone_offset = config->get_time_zone(domain);
        return new RrmWorker(config, settings, domain, this, time_zone_offset,
                             DOMAIN_QUEUE_CAPACITY);
    } catch (const std::exception& e) {
        // The name comes from the AP: one record per message, of bounded size.
        const PeerText name(domain);
        RRM_ERROR("Exception at processing message for domain '%s': %s", name.c_str(), e.what());
        notify_event(EVENT_DOMAIN_WORKER_CREATE_FAILED, std::make_shared<std::string>(domain));
        return nullptr;
    }
}

void RRM::stop_domain_event(const std::string& domain)
{
    try {
        std::shared_ptr<Worker> ended;
        bool hand_over = false;
        bool own_mark = false;
        {
            std::lock_guard<std::mutex> guard(workers.mutex);
            auto it = workers.map.find(domain);
            if (it == workers.map.end())
                return;
            // The name may by now belong to a newer worker of the domain, or
            // the caller may be a service worker whose name a domain happens
            // to share: only the calling worker's own entry goes.
            auto* domain_worker = dynamic_cast<RrmWorker*>(it->second.get());
            if (domain_worker && !domain_worker->is_worker_thread())
                return;
            ended = std::move(it->second);
            workers.map.erase(it);
            // What reached the worker after it decided to end goes to the
            // domain's next worker. Meanwhile the domain's messages are held
            // back, so they follow in their order; a stop drops everything
            // anyway. The hand-over counts as a start in flight: stop and
            // removals wait for it.
            if (!stopping) {
                hand_over = true;
                own_mark = removing.emplace(domain, HeldMessages()).second;
                ++pending_starts;
            }
        }
        if (hand_over)
            hand_over_queue(domain, *ended, own_mark);
        // Its thread is the calling one: detached rather than joined, unless
        // a concurrent stop took it first (then that stop joins it). Once
        // detached, nothing here may touch the registry: nobody waits for
        // this thread, and the registry may be going away.
        ended->detach();
    } catch (const std::exception& e) {
        RRM_ERROR("Exception at processing stop_domain_event: %s", e.what());
        notify_event(EVENT_STOP_DOMAIN_EXCEPTION, std::make_shared<std::string>(domain));
    }
}

void RRM::hand_over_queue(const std::string& domain, Worker& ended, bool own_mark)
{
    struct Done {
        RRM* self;
        ~Done() { self->finish_start(); }
    } done{this};
    HeldMessages handed;
    for (Worker::MessagePtr& msg : ended.close_and_take()) {
        // The registry's notices concerned a worker without APs (it ended
        // for want of them), and its own stop message a run that is over.
        if (msg->from_server)
            continue;
        const bool subscribe =
            std::strcmp(msg->json.get_string("cmd"), "subscribe-request") == 0;
        handed.emplace_back(subscribe, std::move(msg->json), msg->session);
    }
    {
        std::lock_guard<std::mutex> guard(workers.mutex);
        // Ahead of what was held back meanwhile: these came first. Whoever
        // marked the domain routes them (a removal that runs at the same
        // time, once it has joined this thread).
        auto held = removing.find(domain);
        if (held != removing.end()) {
            for (HeldMessage& later : held->second)
                handed.push_back(std::move(later));
            held->second.swap(handed);
        }
    }
    if (own_mark)
        release_domain(domain, nullptr);
}

// ------------------------------------------- notices to the domain workers

void RRM::drop_session_at_rrm_worker(const BaseSession& session)
{
    for (const auto& entry : copy_workers())
        entry.second->enqueue_message_force(JsonReader(DROP_SESSION_CMD_TEXT), session);
}

void RRM::stop_load_balancer_at_rrm_worker(const BaseSession& session)
{
    RRM_INFO("rrm: stop-load-balancer:");
    for (const auto& entry : copy_workers())
        entry.second->enqueue_message_force(JsonReader(STOP_LOAD_BALANCER_CMD_TEXT), session);
}

// ---------------------------------------------------- session commands

void RRM::drop_session_at_websock_worker(const BaseSession& session, bool force)
{
    JsonReader command(DROP_SESSION_CMD_TEXT);
    RRM_DEBUG("drop_session_at_websock_worker: %d force: %d", static_cast<int>(session.id),
              force ? 1 : 0);
    if (!websock_worker)
        return;
    if (force)
        websock_worker->enqueue_message_force(std::move(command), session);
    else
        websock_worker->enqueue_message(std::move(command), session);
}

bool RRM::session_ended(const BaseSession& session)
{
    return websock_worker && websock_worker->session_ended(session);
}

void RRM::ping_session_at_websock_worker(const BaseSession& session)
{
    JsonReader command(PING_SESSION_CMD_TEXT);
    if (websock_worker)
        websock_worker->enqueue_message(std::move(command), session);
}

void RRM::remove_worker(const std::string& domain)
{
    remove_workers(std::list<std::string>{domain}, nullptr);
}

void RRM::remove_workers(const std::list<std::string>& domains)
{
    for (const std::string& domain : domains)
        remove_worker(domain);
}

void RRM::remove_workers(const std::list<std::string>& domains, const std::function<void()>& change)
{
    std::lock_guard<std::recursive_mutex> life(lifecycle_mutex);
    // A name listed twice is removed at its first place; at the second
    // there is nothing left to remove and it is only logged.
    const std::vector<std::string> names(domains.begin(), domains.end());
    std::vector<std::shared_ptr<Worker>> found(names.size());
    std::vector<bool> held(names.size(), false);
    {
        std::unique_lock<std::mutex> lock(workers.mutex);
        // A worker inserted just before is started by its creator; wait for
        // that, so that the stop below does not overlap its start.
        workers.cond.wait(lock, [this] { return pending_starts == 0; });
        for (size_t i = 0; i < names.size(); ++i) {
            if (removing.count(names[i]) != 0)
                continue;
            auto it = workers.map.find(names[i]);
            if (it != workers.map.end())
                found[i] = it->second;
            // Around a change of the settings every listed domain is held,
            // so that no worker is made from the settings being changed.
            if (found[i] || change)
                held[i] = removing.emplace(names[i], HeldMessages()).second;
        }
    }

    // However this ends, the entries go and routing for the domains resumes;
    // what is still held back then is dropped.
    struct Finish {
        RRM* self;
        const std::vector<std::string>& names;
        const std::vector<std::shared_ptr<Worker>>& found;
        std::vector<bool>& held;
        ~Finish()
        {
            std::vector<HeldMessages> dropped;
            std::lock_guard<std::mutex> guard(self->workers.mutex);
            for (size_t i = 0; i < names.size(); ++i) {
                if (!held[i])
                    continue;
                auto it = self->workers.map.find(names[i]);
                if (found[i] && it != self->workers.map.end() && it->second == found[i])
                    self->workers.map.erase(it);
                auto messages = self->removing.find(names[i]);
                if (messages != self->removing.end()) {
                    dropped.push_back(std::move(messages->second));
                    self->removing.erase(messages);
                }
            }
        }
    } finish{this, names, found, held};

    for (size_t i = 0; i < names.size(); ++i)
        if (found[i])
            stop_domain_worker(names[i], found[i]);
    if (change)
        change();

    for (size_t i = 0; i < names.size(); ++i) {
        if (held[i]) {
            release_domain(names[i], found[i]);
            held[i] = false;
        }
        RRM_DEBUG("Worker with domain '%s' erased.", names[i].c_str());
    }
}

void RRM::stop_domain_worker(const std::string& domain, const std::shared_ptr<Worker>& worker)
{
    if (auto* domain_worker = dynamic_cast<RrmWorker*>(worker.get())) {
        // Read consistently with the worker's own thread, dropped after.
        std::vector<std::pair<MacAddress, BaseSession>> sessions;
        domain_worker->run_locked([&] {
            for (const ApMap* list : {&domain_worker->unanswered_aps,
                                      &domain_worker->aps_to_delete, &domain_worker->aps})
                for (const auto& entry : list->table)
                    sessions.emplace_back(entry.second->base_mac, entry.second->session);
        });
        std::for_each(sessions.begin(), sessions.end(), [&](const auto& ap) {
            RRM_DEBUG("Drop session %s(%d) on worker '%s'.", mac_to_string(ap.first).c_str(),
                      static_cast<int>(ap.second.id), domain.c_str());
            drop_session_at_websock_worker(ap.second, true);
        });
    }
    worker->stop();
}

void RRM::release_domain(const std::string& domain, const std::shared_ptr<Worker>& worker)
{
    // Erase, then route what came in meanwhile, oldest first; the domain
    // stays marked until nothing is left, so newer messages queue up behind.
    for (bool erase = true;; erase = false) {
        HeldMessages batch;
        {
            std::lock_guard<std::mutex> guard(workers.mutex);
            if (erase && worker) {
                auto it = workers.map.find(domain);
                if (it != workers.map.end() && it->second == worker)
                    workers.map.erase(it);
            }
            auto held = removing.find(domain);
            if (held->second.empty()) {
                removing.erase(held);
                return;
            }
            batch.swap(held->second);
        }
        for (HeldMessage& message : batch)
            route(domain, message.subscribe, std::move(message.json), message.session, true);
    }
}

// ---------------------------------------------------------------- lookups

std::shared_ptr<Worker> RRM::find_worker(const std::string& domain)
{
    std::lock_guard<std::mutex> guard(workers.mutex);
    auto it = workers.map.find(domain);
    return it == workers.map.end() ? nullptr : it->second;
}

std::shared_ptr<Worker> RRM::find_worker(const std::string& domain, bool& empty_entry)
{
    empty_entry = false;
    std::lock_guard<std::mutex> guard(workers.mutex);
    auto it = workers.map.find(domain);
    if (it == workers.map.end())
        return nullptr;
    if (!it->second) {
        empty_entry = true;
        workers.map.erase(it);
        return nullptr;
    }
    return it->second;
}

RRM::WorkerList RRM::copy_workers_locked()
{
    WorkerList list;
    list.reserve(workers.map.size());
    for (const auto& entry : workers.map)
        list.emplace_back(entry.first, entry.second);
    return list;
}

RRM::WorkerList RRM::copy_workers()
{
    std::lock_guard<std::mutex> guard(workers.mutex);
    return copy_workers_locked();
}

bool RRM::removal_pending(const std::string& domain)
{
    std::lock_guard<std::mutex> guard(workers.mutex);
    return removing.count(domain) != 0;
}

size_t RRM::worker_count()
{
    std::lock_guard<std::mutex> guard(workers.mutex);
    return workers.map.size();
}

bool RRM::run_on_domain(const std::string& domain, const std::function<void(RrmWorker&)>& fn)
{
    std::shared_ptr<Worker> worker = find_worker(domain);
    auto* domain_worker = dynamic_cast<RrmWorker*>(worker.get());
    if (!domain_worker)
        return false;
    domain_worker->run_locked([&] { fn(*domain_worker); });
    return true;
}

// ------------------------------------------------------------------- VRRP

void RRM::update_vrrp_role(int new_role, std::shared_ptr<std::string> domains)
{
    std::lock_guard<std::mutex> switching(vrrp_mutex);
    const int32_t current = vrrp_role.load();
    if (new_role == current) {
        RRM_WARNING("try to switch VRRP role to the same: %s -> %s", vrrp_role_to_string(current),
                    vrrp_role_to_string(new_role));
        return;
    }
    RRM_INFO("VRRP role: %s -> %s", vrrp_role_to_string(current), vrrp_role_to_string(new_role));
    if (new_role == 0 && current == 1) {
        stop();
    } else if (new_role == 1 && current == 0) {
        // No stop, restart or removal in between: the restored workers
        // belong to this master period.
        std::lock_guard<std::recursive_mutex> life(lifecycle_mutex);
        default_worker->start();
        if (websock_worker)
            websock_worker->start();
        if (ping_worker)
            ping_worker->start();
        restore_domains(std::move(domains));
    }
    vrrp_role = new_role;
}

void RRM::set_backup_source(std::function<std::shared_ptr<std::string>()> source)
{
    backup_source = std::move(source);
}

void RRM::restore_domains(std::shared_ptr<std::string> domains)
{
    if (!domains)
        return;
    const JsonReader list(domains->c_str());
    if (list.is_null())
        return;
    for (int i = 0; i < list.size(); ++i) {
        const JsonReader backup = list.child(i);
        if (!backup.is_null())
            restore_domain(backup);
    }
}

void RRM::restore_domain(const JsonReader& backup)
{
    const std::string name = backup.get_string("name");
    if (!config->enabled())
        return;
    if (find_worker(name))
        return;
    std::shared_ptr<Worker> fresh(make_rrm_worker(name));
    if (!fresh)
        return;
    bool inserted = false;
    insert_domain_worker(name, fresh, inserted);
    if (!inserted)
        return;  // discarded unstarted: the domain has a worker after all
    try {
        if (auto* domain_worker = dynamic_cast<RrmWorker*>(fresh.get())) {
            RRM_DEBUG("Created new worker '%s'.", name.c_str());
            // Before its thread runs, and under its lock for the management
            // queries that may already find it in the map.
            domain_worker->run_locked([&] { domain_worker->restore_domain_state(backup); });
        }
        fresh->start();
    } catch (const std::exception& e) {
        abandon_start(name, fresh);
        RRM_ERROR("Exception at processing message for domain '%s': %s", name.c_str(), e.what());
        notify_event(EVENT_DOMAIN_WORKER_CREATE_FAILED, std::make_shared<std::string>(name));
        return;
    }
    finish_start();
}

// ---------------------------------------------------- daily report clean-up

void RRM::recover_report_files()
{
    const std::string reports_path = config->server().reports_path;
    std::vector<std::string> domains;
    config->for_each_domain_info(
        [&](const std::string& name, const DomainInfo&) { domains.push_back(name); });
    for (const std::string& domain : domains) {
        try {
            const reports::ReportFilesLock lock(domain, reports_path);
            reports::finish_interrupted_rewrite(domain, reports_path);
        } catch (const std::exception& e) {
            // An empty reports path: nothing to recover.
            RRM_DEBUG("No report recovery for domain %s: %s", domain.c_str(), e.what());
        }
    }
}

void RRM::check_old_reports()
{
    const ServerSettings server = config->server();
    RRM_DEBUG("RRM::check_old_reports entered: report_delete_at_time_utc=\"%s\", "
              "reports_path=\"%s\".",
              server.report_delete_at_time_utc.c_str(), server.reports_path.c_str());
    bool fire = false;
    reports::check_report_alarm_clock_every_min(server.report_delete_at_time_utc, fire);
    if (!fire)
        return;
    RRM_INFO("Check old reports.");

    std::map<std::string, int> domains;
    config->for_each_domain_config([&](const std::string& name, const DomainConfig& settings) {
        domains[name] = settings.report_days_to_live;
    });
    const std::string reports_path = server.reports_path;

    // One domain's failure (an error code or an exception, say for an empty
    // name or path) is logged and the others are still cleaned.
    auto clean_domain = [&](const std::string& domain, int days) {
        std::unique_lock<std::mutex> map_lock(workers.mutex);
        auto it = workers.map.find(domain);
        if (it != workers.map.end()) {
            RRM_DEBUG("Active domain: %s", domain.c_str());
            std::shared_ptr<Worker> worker = it->second;
            if (!worker) {
                RRM_ERROR("%s worker absent.", domain.c_str());
                notify_event(EVENT_REPORT_WORKER_ABSENT, std::make_shared<std::string>(domain));
                workers.map.erase(it);
                return;
            }
            // The worker's lock is never waited for under the map lock.
            map_lock.unlock();
            int r = 0;
            try {
                worker->run_locked(
                    [&] { r = reports::delete_old_reports_in_domain(domain, days, reports_path); });
            } catch (const std::exception&) {
                r = EINVAL;
            }
            if (r != 0) {
                RRM_ERROR("Error call delete_old_reports_in_domain for active domain: %s. Error "
                          "code = %d",
                          domain.c_str(), r);
                notify_event(EVENT_REPORT_DELETE_FAILED, std::make_shared<std::string>(domain));
            }
            return;
        }
        // No worker can be made for the domain while its files are rewritten.
        RRM_DEBUG("Inactive domain: %s\n", domain.c_str());
        int r = 0;
        try {
            r = reports::delete_old_reports_in_domain(domain, days, reports_path);
        } catch (const std::exception&) {
            r = EINVAL;
        }
        if (r != 0) {
            RRM_ERROR("Error call delete_old_reports_in_domain for inactive domain: %s. Error "
                      "code = %d",
                      domain.c_str(), r);
            notify_event(EVENT_REPORT_DELETE_FAILED, std::make_shared<std::string>(domain));
        }
    };
    for (const auto& entry : domains)
        clean_domain(entry.first, entry.second);

    DIR* folder = ::opendir(reports_path.c_str());
    if (!folder) {
        RRM_ERROR("Could not open directory: %s", reports_path.c_str());
        notify_event(EVENT_REPORT_DELETE_FAILED, nullptr);
        return;
    }
    // The three files of every domain of the configuration, held ones too:
    // a file may carry another domain's name ("report_idx_X.txt" is "X"'s
    // index and "idx_X"'s report file), so what a leftover's name says is
    // never enough to delete a file.
    std::set<std::string> kept;
    std::vector<std::string> owners = config->held_domain_names();
    config->for_each_domain_info(
        [&](const std::string& name, const DomainInfo&) { owners.push_back(name); });
    for (const std::string& owner : owners) {
        if (!GlobalConfig::is_safe_file_name_part(owner))
            continue;
        kept.insert(reports::get_report_file_name(owner, reports_path));
        kept.insert(reports::get_report_config_file_name(owner, reports_path));
        kept.insert(reports::get_report_index_file_name(owner, reports_path));
    }
    static const std::string prefix = "report_idx_";
    static const std::string ending = ".txt";
    bool failed = false;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const size_t at = name.rfind(ending);
        if (at == std::string::npos || at + ending.size() != name.size() || at < prefix.size())
            continue;
        const std::string domain = name.substr(prefix.size(), at - prefix.size());
        // A name no configured domain can have ("." or "..") names no report set
        // of ours either.
        if (!GlobalConfig::is_safe_file_name_part(domain) || domains.count(domain) != 0)
            continue;
        RRM_INFO("Delete report files for domain: %s", domain.c_str());
        const reports::ReportFilesLock lock(domain, reports_path);
        const std::string files[] = {
            reports::get_report_config_file_name(domain, reports_path),
            reports::get_report_file_name(domain, reports_path),
            reports::get_report_index_file_name(domain, reports_path),
        };
        for (size_t i = 0; i < 3; ++i) {
            if (kept.count(files[i]) != 0)
                continue;
            struct stat st;
            // The index file is the entry found: no test for it.
            if (i < 2 && ::stat(files[i].c_str(), &st) != 0)
                continue;
            if (std::remove(files[i].c_str()) != 0) {
                const int error = errno;
                RRM_ERROR("Error while delete \"%s\", errno = %d: %s", files[i].c_str(), error,
                          std::strerror(error));
                failed = true;
            }
        }
    }
    ::closedir(folder);
    if (failed)
        notify_event(EVENT_REPORT_DELETE_FAILED, nullptr);
}

}  // namespace rrm
