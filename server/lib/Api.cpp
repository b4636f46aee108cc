#include "Api.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "BaseSession.h"
#include "Config.h"
#include "DomainConfig.h"
#include "DomainDetails.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "MacAddress.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "Version.h"
#include "WebsockServerWorker.h"
#include "WebsockSession.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace rrm {

namespace {

bool equals(const char* text, const char* expected)
{
    return std::strcmp(text, expected) == 0;
}

// Names are taken whole: a name holding a NUL byte (\u0000 in the request)
// stays distinct from the name it would be cut to.
std::string name_member(const JsonReader& object, const char* key)
{
    return std::string(object.get_string_view(key));
}

void add_text(JsonWriter& object, const char* key, const std::string& text)
{
    object.resolve().set(key, yajson::JsonValue::make_string(text));
}

// A one-member object {key: text} appended to a reject array.
void add_reject(JsonWriter& rejects, const char* key, const std::string& text)
{
    JsonWriter record = rejects.add_object("");
    add_text(record, key, text);
}

}  // namespace

Api::Api(RRM* registry_) : registry(registry_) {}

Api::~Api() = default;

void Api::stop()
{
    running.store(false);
}

std::mutex& Api::command_mutex()
{
    static std::mutex mutex;
    return mutex;
}

char* Api::process_vrrp_role_request(const std::string&)
{
    return nullptr;
}

char* Api::finish_reply(const JsonWriter& reply)
{
    char* text = ::strdup(reply.to_string());
    if (text == nullptr)
        throw std::bad_alloc();
    return text;
}

void Api::add_server_header(RRM& registry_, JsonWriter& reply) const
{
    reply.add_string("server", registry_.get_config()->hostname().c_str());
    reply.add_string("wendara_version", WENDARA_VERSION);
}

char* Api::process_request(const JsonReader& request)
{
    if (request.has("cfg"))
        return process_cfg_command(*registry, request.child("cfg"));
    if (request.has("rrm"))
        return process_rrm_command(*registry, request.child("rrm"));
    if (request.has("vrrp")) {
        const JsonReader command = request.child("vrrp");
        if (command.has("role")) {
            // A role switch may re-read the configuration file: kept apart
            // from the configuration commands.
            std::lock_guard<std::mutex> serial(command_mutex());
            return process_vrrp_role_request(command.to_string());
        }
        return process_vrrp_command(*registry, command);
    }
    return nullptr;
}

// ------------------------------------------------------ configuration

char* Api::process_cfg_command(RRM& registry_, const JsonReader& command)
{
    // The commands look at the configuration first and change it after
    // (stopping the workers concerned in between): nothing may edit it in
    // the meantime.
    std::lock_guard<std::mutex> serial(command_mutex());
    JsonWriter reply(kReplyVersion);
    bool restart_all = false;
    bool restart_domains = false;
    std::list<std::string> domains;

    if (!command.has("operation") || !command.has("level"))
        return nullptr;
    const char* operation = command.get_string("operation");
    const char* level = command.get_string("level");
    bool done = true;
    if (equals(operation, "get"))
        done = process_cfg_get_command(registry_, command, level, reply);
    else if (equals(operation, "set"))
        done = process_cfg_set_command(registry_, command, level, reply, restart_all,
                                       restart_domains, domains);
    else if (equals(operation, "add"))
        done = process_cfg_add_command(registry_, command, level, reply, restart_domains,
                                       domains);
    else if (equals(operation, "remove"))
        done = process_cfg_remove_command(registry_, command, level, reply, restart_domains,
                                          domains);
    if (!done)
        return nullptr;

    // A file that cannot be written is logged as an Error by save; the
    // reply still tells what changed in memory.
    registry_.get_config()->save();

    if (restart_all)
        registry_.restart();
    else if (restart_domains && !domains.empty())
        registry_.remove_workers(std::list<std::string>(domains));
    return finish_reply(reply);
}

bool Api::process_cfg_get_command(RRM& registry_, const JsonReader& command, const char* level,
                                  JsonWriter& reply)
{
    GlobalConfig& config = *registry_.get_config();
    if (equals(level, "global")) {
        config.global_to_json(reply);
        return true;
    }
    if (equals(level, "pattern")) {
        if (command.has("pattern")) {
            const std::optional<DomainConfig> settings =
                config.get_pattern_config(name_member(command, "pattern"));
            if (!settings)
                return false;
            settings->to_json(reply);
            return true;
        }
        JsonWriter patterns = reply.add_array("patterns");
        config.for_each_pattern([&](const std::string& name, const DomainConfig&) {
            JsonWriter entry = patterns.add_object("");
            add_text(entry, "name", name);
        });
        return true;
    }
    if (equals(level, "domain")) {
        JsonWriter list = reply.add_array("domains");
        config.for_each_domain_info([&](const std::string& name, const DomainInfo& info) {
            JsonWriter entry = list.add_object("");
            add_text(entry, "name", name);
            add_text(entry, "config", info.pattern);
            add_text(entry, "time_zone", info.time_zone);
        });
        return true;
    }
    return true;
}

void Api::form_restart_domains_list(RRM& registry_, const std::string& pattern,
                                    std::list<std::string>& domains)
{
    registry_.get_config()->for_each_domain_pattern(
        [&](const std::string& domain, const std::string& domain_pattern) {
            if (domain_pattern == pattern)
                domains.push_back(domain);
        });
}

// The commands that rewrite or erase the settings record of running domains
// (a pattern or domain set, a removal) stop the domains' workers before the
// record changes and make the change while the domains' messages are held
// back (RRM::remove_workers with a change): a worker reads its record at
// every use. Those workers are then gone, so the list handed back for the
// removal after the save stays empty; the additions, which touch no running
// domain's record, hand their domains back for that removal.

bool Api::process_cfg_set_command(RRM& registry_, const JsonReader& command, const char* level,
                                  JsonWriter& reply, bool& restart_all, bool& restart_domains,
                                  std::list<std::string>& domains)
{
    (void)domains;
    GlobalConfig& config = *registry_.get_config();
    JsonWriter rejects = reply.add_array("invalid_parameters");
    if (!command.has("config"))
        return false;
    const JsonReader values = command.child("config");
    reply.add_string("operation", "set");
    reply.add_string("level", level);

    if (equals(level, "global")) {
        bool invalid = false;
        if (config.global_change(values, rejects, invalid)) {
            RRM_DEBUG("Global config changed");
            restart_all = true;
        }
        return true;
    }

    if (equals(level, "pattern")) {
        const std::string name = name_member(command, "pattern");
        if (name.empty())
            return false;
        add_text(reply, "pattern", name);
        const std::optional<DomainConfig> current = config.get_pattern_config(name);
        if (!current)
            return false;
        // Rejected values change nothing; neither do values the pattern
        // already has. Only a real change stops the pattern's domains.
        if (!DomainConfig::validate(values, rejects))
            return true;
        DomainConfig probe = *current;
        if (!probe.update(values))
            return true;
        std::list<std::string> concerned;
        form_restart_domains_list(registry_, name, concerned);
        bool applied = false;
        bool invalid = false;
        bool changed = false;
        registry_.remove_workers(concerned, [&] {
            applied = config.pattern_change(name, values, rejects, invalid, changed);
        });
        if (!applied)
            return false;
        if (changed)
            restart_domains = true;
        return true;
    }

    if (equals(level, "domain")) {
        const std::string domain = name_member(command, "domain");
        const std::string pattern = name_member(values, "pattern");
        if (domain.empty() || pattern.empty())
            return false;
        std::string time_zone;
        int offset = 0;
        bool invalid = false;
        if (!config.parse_time_zone(values, time_zone, offset, &invalid, nullptr, rejects))
            return true;
        if (!config.is_domain_exist(domain) || !config.get_pattern_config(pattern))
            return false;
        bool applied = false;
        bool changed = false;
        registry_.remove_workers(std::list<std::string>{domain}, [&] {
            applied = config.domain_change(domain, pattern, time_zone, offset, changed);
        });
        if (!applied)
            return false;
        restart_domains = true;
        return true;
    }
    return true;
}

bool Api::process_cfg_add_command(RRM& registry_, const JsonReader& command, const char* level,
                                  JsonWriter& reply, bool& restart_domains,
                                  std::list<std::string>& domains)
{
    GlobalConfig& config = *registry_.get_config();
    JsonWriter rejects = reply.add_array("invalid_parameters");
    reply.add_string("operation", "add");
    if (!command.has("config"))
        return false;
    const JsonReader values = command.child("config");

    if (equals(level, "pattern")) {
        const std::string name = name_member(command, "pattern");
        if (name.empty())
            return false;
        add_text(reply, "pattern", name);
        bool invalid = false;
        if (!config.pattern_add(name, values, rejects, invalid, restart_domains)) {
            if (name.find('\0') != std::string::npos)
                add_reject(rejects, "pattern", name);
            reply.add_string("add_status", "Pattern exists");
            return true;
        }
        form_restart_domains_list(registry_, name, domains);
        reply.add_string("add_status", "Success");
        return true;
    }

    if (equals(level, "domain")) {
        const std::string domain = name_member(command, "domain");
        if (domain.empty() || !values.has("pattern"))
            return false;
        const std::string pattern = name_member(values, "pattern");
        std::string time_zone;
        int offset = 0;
        bool invalid = false;
        if (!config.parse_time_zone(values, time_zone, offset, &invalid, nullptr, rejects))
            return true;
        add_text(reply, "domain", domain);
        if (!config.domain_add(domain, pattern, time_zone, offset, restart_domains)) {
            reply.add_string("add_status", "Domain exists or chosen pattern not exists.");
            // A name that its files cannot carry (see
            // GlobalConfig::domain_name_problem) is refused for the name
            // itself.
            if (!GlobalConfig::is_valid_domain_name(domain))
                add_reject(rejects, "domain", domain);
            else
                add_reject(rejects, "pattern", pattern);
            return true;
        }
        domains.push_back(domain);
        reply.add_string("add_status", "Success");
        return true;
    }
    return true;
}

bool Api::process_cfg_remove_command(RRM& registry_, const JsonReader& command,
                                     const char* level, JsonWriter& reply,
                                     bool& restart_domains, std::list<std::string>& domains)
{
    (void)domains;
    GlobalConfig& config = *registry_.get_config();
    reply.add_string("operation", "remove");

    if (equals(level, "pattern")) {
        const std::string name = name_member(command, "pattern");
        if (name.empty())
            return false;
        add_text(reply, "pattern", name);
        bool removed = false;
        // "common" names the common settings: never removed, and its
        // domains are not stopped for it.
        if (name != "common" && config.is_pattern_exist(name)) {
            std::list<std::string> concerned;
            form_restart_domains_list(registry_, name, concerned);
            registry_.remove_workers(concerned, [&] {
                removed = config.pattern_remove(name, concerned, restart_domains);
            });
        }
        reply.add_int("remove_status", removed ? 0 : 1);
        return true;
    }

    if (equals(level, "domain")) {
        const std::string domain = name_member(command, "domain");
        if (domain.empty())
            return false;
        add_text(reply, "domain", domain);
        bool removed = false;
        if (config.is_domain_exist(domain)) {
            registry_.remove_workers(std::list<std::string>{domain}, [&] {
                removed = config.domain_remove(domain, restart_domains);
            });
        }
        reply.add_int("remove_status", removed ? 0 : 1);
        return true;
    }
    return true;
}

// ------------------------------------------------------------- queries

char* Api::process_rrm_command(RRM& registry_, const JsonReader& command)
{
    JsonWriter reply(kReplyVersion);
    add_server_header(registry_, reply);

    if (!command.has("domain")) {
        if (command.has("drop_session")) {
            process_rrm_cmd_drop_session(registry_, command, reply);
        } else if (command.has("sessions")) {
            if (command.get_int("sessions") != 0)
                if (WebsockServerWorker* websock = registry_.get_websock_worker())
                    websock->to_json_full(reply);
        } else {
            process_rrm_cmd_get_domains(registry_, command, reply);
        }
        return finish_reply(reply);
    }

    const std::string domain = name_member(command, "domain");
    const std::string reports_path = registry_.get_config()->server().reports_path;
    if (command.has("report")) {
        process_rrm_cmd_get_report(command, reply, reports_path);
        return finish_reply(reply);
    }

    // Found under the workers-map lock, which is released before the
    // worker's lock is waited for (the worker thread may hold its lock while
    // it waits for locks that the map lock's other holders hold).
    bool empty_entry = false;
    const std::shared_ptr<Worker> worker = registry_.find_worker(domain, empty_entry);
    if (worker) {
        RrmWorker* domain_worker = dynamic_cast<RrmWorker*>(worker.get());
        if (domain_worker == nullptr) {
            reply.add_string("error", "domain not found");
        } else if (is_status_query(command)) {
            // Copied inside the worker's lock, written after it: the domain
            // thread goes on meanwhile.
            DomainDetails details;
            domain_worker->run_locked([&] { details = domain_worker->details(); });
            details.to_json(reply);
        } else {
            domain_worker->run_locked(
                [&] { process_rrm_domain_query(*domain_worker, command, domain, reply); });
        }
    } else if (empty_entry) {
        RRM_DEBUG("Worker absent.");
    } else if (command.has("report_list")) {
        process_rrm_cmd_get_report_list(command, reply, domain, reports_path,
                                        registry_.get_config()->is_domain_exist(domain));
    } else if (command.has("last_report")) {
        process_rrm_cmd_get_last_report(command, reply, domain, reports_path,
                                        registry_.get_config()->is_domain_exist(domain));
    } else {
        reply.add_string("error", "domain not found");
    }
    return finish_reply(reply);
}

bool Api::is_status_query(const JsonReader& command)
{
    return !command.has("ap") && !command.has("start_optimization") &&
           !command.has("report_list") && !command.has("last_report");
}

void Api::process_rrm_domain_query(RrmWorker& worker, const JsonReader& command,
                                   const std::string& domain, JsonWriter& reply)
{
    if (command.has("ap")) {
        process_rrm_cmd_get_ap(worker, command, reply);
    } else if (command.has("start_optimization")) {
        process_rrm_cmd_start_optimization(worker, command, reply);
    } else if (command.has("report_list")) {
        process_rrm_cmd_get_report_list(command, reply, domain,
                                        registry->get_config()->server().reports_path, true);
    } else if (command.has("last_report")) {
        process_rrm_cmd_get_last_report(command, reply, domain,
                                        registry->get_config()->server().reports_path, true);
    } else {
        worker.to_json(reply);
    }
}

void Api::process_rrm_cmd_get_domains(RRM& registry_, const JsonReader&, JsonWriter& reply)
{
    JsonWriter list = reply.add_array("domains");
    // Copied under the workers-map lock; each worker's counts are then read
    // inside its own lock, one worker at a time.
    for (const auto& [name, worker] : registry_.copy_workers()) {
        JsonWriter entry = list.add_object("");
        add_text(entry, "name", name);
        auto* domain_worker = dynamic_cast<RrmWorker*>(worker.get());
        if (domain_worker == nullptr)
            continue;
        size_t active = 0;
        size_t unanswered = 0;
        size_t deleted = 0;
        domain_worker->run_locked([&] {
            active = domain_worker->aps.size();
            unanswered = domain_worker->unanswered_aps.size();
            deleted = domain_worker->aps_to_delete.size();
        });
        entry.add_int("ap-count", static_cast<int>(active));
        entry.add_int("unanswered-ap-count", static_cast<int>(unanswered));
        entry.add_int("deleted-ap-count", static_cast<int>(deleted));
        // A domain worker always runs on its own copy of the settings.
        entry.add_int("common-config", 0);
    }
}

void Api::process_rrm_cmd_drop_session(RRM& registry_, const JsonReader& command, JsonWriter&)
{
    if (!command.has("ids"))
        return;
    WebsockServerWorker* websock = registry_.get_websock_worker();
    if (websock == nullptr)
        return;
    const JsonReader ids = command.child("ids");
    for (int i = 0; i < ids.size(); ++i) {
        const int64_t id = ids.get_int(i);
        std::vector<BaseSession> matches;
        {
            std::lock_guard<std::mutex> guard(websock->sessions.mutex);
            for (const auto& entry : websock->sessions.map)
                if (static_cast<int64_t>(entry.second->session.id) == id)
                    matches.push_back(entry.second->session);
        }
        for (const BaseSession& session : matches) {
            registry_.drop_session_at_websock_worker(session, true);
            registry_.drop_session_at_rrm_worker(session);
        }
    }
}

void Api::process_rrm_cmd_get_ap(RrmWorker& worker, const JsonReader& command, JsonWriter& reply)
{
    const bool fbt = command.has("fbt-links");
    const MacAddress mac = mac_from_string(command.get_string("ap"));
    // A text that is not a MAC reads as all zero, which names no AP.
    if (mac != MacAddress()) {
        const std::pair<const ApMap*, const char*> lists[] = {
            {&worker.aps, "active-ap"},
            {&worker.aps_to_delete, "deleted-ap"},
            {&worker.unanswered_aps, "unanswered-ap"},
        };
        for (const auto& [list, key] : lists) {
            std::shared_ptr<ApEntry> ap;
            auto it = list->table.find(mac);
            if (it != list->table.end()) {
                ap = it->second;
            } else if (std::shared_ptr<ApEntry> owner = list->find_ap_by_bssid(mac)) {
                auto own = list->table.find(owner->base_mac);
                if (own != list->table.end())
                    ap = own->second;
            }
            if (!ap)
                continue;
            JsonWriter object = reply.add_object(key);
            if (fbt)
                ap->vaps_to_json_full(object);
            else
                ap->to_json(object);
            return;
        }
    }
    reply.add_string("error", "ap not found");
}

void Api::process_rrm_cmd_start_optimization(RrmWorker& worker, const JsonReader& command,
                                             JsonWriter& reply)
{
    const bool accepted =
        equals(command.get_string("start_optimization"), "true") && worker.force_optimization() != 0;
    reply.add_string("status", accepted ? "success" : "failure");
}

// ---------------------------------------------------------------- VRRP

char* Api::process_vrrp_command(RRM& registry_, const JsonReader& command)
{
    JsonWriter reply(kReplyVersion);
    add_server_header(registry_, reply);
    if (!command.has("role")) {
        reply.add_string("role", vrrp_role_to_string(registry_.get_vrrp_role()));
        reply.add_string("status", "success");
        return finish_reply(reply);
    }
    const char* role = command.get_string("role");
    if (equals(role, "master")) {
        std::shared_ptr<std::string> domains;
        const JsonReader list = command.child("domains");
        if (!list.is_null())
            domains = std::make_shared<std::string>(list.to_string());
        registry_.update_vrrp_role(1, domains);
        reply.add_string("status", "success");
    } else if (equals(role, "backup")) {
        registry_.update_vrrp_role(0, nullptr);
        reply.add_string("status", "success");
    } else {
        reply.add_string("status", "failure");
        reply.add_string("error", "role not supported");
    }
    return finish_reply(reply);
}

}  // namespace rrm
