#pragma once
// The server's side of VRRP: the role at start-up from the VRRP state file,
// and one backup file per domain ("<vrrp_backup_path>/<domain>.json") written
// vrrp_timeout seconds after the domain's last change (at most
// kMaxPushBackTimeouts x vrrp_timeout after the first change waiting), from
// which a server
// that becomes master restores its domains. No thread of its own: domain
// worker threads schedule backups (event 23), the main thread fires the
// backup timer between passes of the web API loop.

#include "Api.h"
#include "BoundedDelay.h"
#include "TimerQueue.h"

#include <yajson/yajson.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace rrm {
class GlobalConfig;
class RRM;
}  // namespace rrm

class VrrpWorker : public rrm::Api {
public:
    // The only timer ever armed: the debounced backup run.
    static constexpr int32_t kBackupTimerId = 1;

    VrrpWorker(rrm::RRM* registry, rrm::GlobalConfig* config);
    ~VrrpWorker() override;
    VrrpWorker(const VrrpWorker&) = delete;
    VrrpWorker& operator=(const VrrpWorker&) = delete;

    // No socket and no thread: nothing to connect, stop or run.
    void connect() override {}
    void stop() override {}
    void run() override {}

    // A role request of the management APIs, the compact text of its "vrrp"
    // member (which has "role"). With VRRP enabled the role command gets the
    // role; becoming master from backup first re-reads the configuration
    // file and restores the request's "domains", or else the domains of the
    // backup files. A reply allocated with malloc, never null.
    char* process_request(const std::string& text);
    // The reply of a request that could not be carried out.
    char* make_failure_reply(const char* error) const;

    // With VRRP enabled, the role from the first line of vrrp_state_file:
    // "BACKUP" is backup, anything else (or no file) master.
    void set_vrrp_role_on_start();

    // Event 23 for a domain: with VRRP enabled, the domain's backup is due
    // vrrp_timeout seconds from now; a later call for any domain pushes the
    // run back again, but never further than kMaxPushBackTimeouts x
    // vrrp_timeout after the first change the run has not taken yet (so
    // one domain that keeps changing cannot hold every backup back).
    // Called on domain worker threads.
    void schedule_domain_backup(const std::string& domain);
    static constexpr int kMaxPushBackTimeouts = 4;

    // Fires the due timers; main thread, after each web API pass.
    void poll_timers();

    // Writes the backup file of every domain scheduled so far. A domain
    // whose file could not be built or written (or all of them, when the
    // folder cannot be used) stays scheduled and the run is armed again; a
    // domain without a worker is dropped. Writes that keep failing are
    // retried further and further apart (vrrp_timeout, then doubling up to
    // kMaxRetryDelay), with one Error when a domain's writes start failing
    // (or the folder becomes unusable) and an Info when they work again.
    void make_domains_backup();
    // The longest wait before a failed write is tried again, in seconds.
    static constexpr int kMaxRetryDelay = 300;
    // The wait before the next retry of a failed write; 0 while writes
    // succeed (tests).
    int retry_delay() const;

    // Every backup file of vrrp_backup_path that parses, as one array, in
    // folder order; null when the folder cannot be used. Hidden names are
    // passed over (the writer's temporary files) unless they end in ".json"
    // (the file of a domain whose name starts with a dot).
    yajson::JsonValue restore_domains_from_backup();
    // The same as the compact text a switch to master restores from; null
    // when the folder cannot be used.
    std::shared_ptr<std::string> backup_domains_text();

    // Switches the registry to `role` (0 backup, 1 master); becoming master
    // from backup restores the domains of the backup files. False when VRRP
    // is disabled.
    bool request_role(int role);

    // The domain backup object of one domain as compact text, read through
    // the same queries a management client makes: the domain's status, then
    // per AP its state and its fast-transition form. False when it cannot be
    // built now; `gone` (when given) then tells whether that is because the
    // domain has no worker (nothing to back up) rather than a passing state
    // (an AP that moved or left while the domain was read).
    bool build_domain_backup(const std::string& domain, std::string& out, bool* gone = nullptr);
    // Appends one AP backup element to `out` per entry of a status list
    // (the AP's state under the reply key `key`, full VAPs merged in, the
    // entry's "board", "hw" and "serial"); false at the first AP that fails.
    bool collect_ap_backups(const yajson::JsonValue& list, const std::string& domain,
                            const char* key, yajson::JsonValue& out);
    // Replaces the short "vaps" of each radio interface of an AP state with
    // the full VAPs of the radio of the same id in the fast-transition form
    // (appended as the interface's last member). False when either value
    // lacks its "radios" shape.
    static bool merge_full_vaps(yajson::JsonValue& state, const yajson::JsonValue& fbt);

    // The replies (malloc'd, or null) of the internal queries that build a
    // backup: the domain status, an AP's state, an AP's fast-transition form.
    char* query_domain(const std::string& domain);
    char* query_ap(const std::string& domain, const std::string& mac);
    char* query_ap_fbt_links(const std::string& domain, const std::string& mac);

    // Domains waiting for the next backup run.
    std::set<std::string> pending() const;

protected:
    rrm::GlobalConfig* config;
    rrm::TimerQueue timers;
    std::function<void()> backup_callback;
    std::set<std::string> pending_domains;
    mutable std::mutex mutex;

private:
    // Puts domains back in the pending set and arms the backup timer again:
    // a quiet period from now, or, after a failed write, the next step of
    // the back-off.
    void retry_later(const std::set<std::string>& domains, bool write_failed);

    // Set by the backup timer (under `mutex`, inside the poll); the backup
    // itself then runs with no lock held, since it takes the registry's and
    // the domain workers' locks while domain threads hold theirs to schedule.
    bool backup_due = false;
    // The back-off of failed writes (under `mutex`): 0, or the delay of the
    // next retry.
    int retry_delay_s = 0;
    // The pushing back of the run by changes, from the first change that no
    // run has taken yet (under `mutex`).
    rrm::BoundedDelay changes;
    // Main thread only (the backup run): whether the folder was found
    // unusable, and the domains whose last write failed, each reported once
    // per streak.
    bool folder_failing = false;
    std::set<std::string> failing_domains;
};
