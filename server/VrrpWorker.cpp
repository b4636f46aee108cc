#include "VrrpWorker.h"

#include "AppLog.h"
#include "BackupFiles.h"
#include "Config.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "RRM.h"
#include "RrmWorker.h"
#include "Version.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <vector>

namespace {

yajson::ParseResult parse_backup_text(const std::string& text)
{
    yajson::ParseOptions options;
    options.allow_duplicate_keys = true;
    return yajson::parse(text, options);
}

std::string compact(const yajson::JsonValue& value)
{
    yajson::SerializeOptions options;
    options.indent = -1;
    return yajson::serialize(options, value);
}

// The backup folder must be named and exist; a missing one is created (one
// level, as the parent is expected to exist).
bool usable_backup_folder(const std::string& path)
{
    if (path.empty())
        return false;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        return true;
    ::mkdir(path.c_str(), 0750);
    return ::stat(path.c_str(), &st) == 0;
}

bool ends_with(const std::string& text, const char* tail)
{
    const size_t n = std::strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

}  // namespace

VrrpWorker::VrrpWorker(rrm::RRM* registry_, rrm::GlobalConfig* config_)
    : rrm::Api(registry_), config(config_)
{
    backup_callback = [this] { make_domains_backup(); };
    // Leftovers of a writer killed half-way (this folder is ours only with
    // VRRP on).
    const rrm::ServerSettings settings = config->server();
    if (settings.vrrp_enabled)
        backup_files::remove_stale_temporaries(settings.vrrp_backup_path);
}

VrrpWorker::~VrrpWorker() = default;

void VrrpWorker::set_vrrp_role_on_start()
{
    const rrm::ServerSettings settings = config->server();
    if (!settings.vrrp_enabled)
        return;
    int role = 1;
    std::ifstream state(settings.vrrp_state_file);
    if (!state.is_open()) {
        APP_LOG(Error) << "Error opening VRRP state file " << settings.vrrp_state_file;
    } else {
        std::string line;
        std::getline(state, line);
        role = line == "BACKUP" ? 0 : 1;
    }
    if (!request_role(role))
        APP_LOG(Error) << "Api request to set VRRP role " << rrm::vrrp_role_to_string(role)
                       << " failed.";
}

bool VrrpWorker::request_role(int role)
{
    if (!config->server().vrrp_enabled)
        return false;
    std::shared_ptr<std::string> domains;
    if (role == 1 && registry->get_vrrp_role() == 0)
        domains = backup_domains_text();
    registry->update_vrrp_role(role, domains);
    return true;
}

std::shared_ptr<std::string> VrrpWorker::backup_domains_text()
{
    yajson::JsonValue restored = restore_domains_from_backup();
    if (restored.is_null())
        return nullptr;
    return std::make_shared<std::string>(compact(restored));
}

char* VrrpWorker::make_failure_reply(const char* error) const
{
    rrm::JsonWriter reply(kReplyVersion);
    reply.add_string("wendara_version", rrm::WENDARA_VERSION);
    reply.add_string("server", config->hostname().c_str());
    reply.add_string("status", "failure");
    reply.add_string("error", error);
    char* text = ::strdup(reply.to_string());
    if (text == nullptr)
        throw std::bad_alloc();
    return text;
}

char* VrrpWorker::process_request(const std::string& text)
{
    if (!config->server().vrrp_enabled)
        return make_failure_reply("VRRP is disabled, ignore request");
    const int current = registry->get_vrrp_role();
    yajson::ParseResult parsed = parse_backup_text(text);
    if (parsed.error)
        return make_failure_reply("error parsing json request");
    yajson::JsonValue command = yajson::JsonValue::make_object();
    if (parsed.value.is_object()) {
        const yajson::JsonObject& request = parsed.value.as_object();
        if (const yajson::JsonValue* role = request.find("role")) {
            command.set("role", *role);
            if (role->is_string() && role->as_string() == "master" && current == 0) {
                config->reload();
                if (const yajson::JsonValue* domains = request.find("domains"))
                    command.set("domains", *domains);
                else
                    command.set("domains", restore_domains_from_backup());
            }
        }
    }
    const std::string command_text = compact(command);
    rrm::JsonReader reader(command_text.c_str());
    char* reply = process_vrrp_command(*registry, reader);
    return reply ? reply : make_failure_reply("api request failed");
}

void VrrpWorker::schedule_domain_backup(const std::string& domain)
{
    std::lock_guard<std::mutex> lock(mutex);
    const rrm::ServerSettings settings = config->server();
    if (!settings.vrrp_enabled)
        return;
    pending_domains.insert(domain);
    const int64_t bound = int64_t{kMaxPushBackTimeouts} * std::max(settings.vrrp_timeout, 0);
    timers.restart_timer([this] { backup_due = true; }, kBackupTimerId,
                         changes.next(timers.now(), settings.vrrp_timeout, bound));
}

void VrrpWorker::poll_timers()
{
    bool due = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        timers.poll();
        due = backup_due;
        backup_due = false;
    }
    if (due)
        backup_callback();
}

std::set<std::string> VrrpWorker::pending() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return pending_domains;
}

int VrrpWorker::retry_delay() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return retry_delay_s;
}

void VrrpWorker::retry_later(const std::set<std::string>& domains, bool write_failed)
{
    std::lock_guard<std::mutex> lock(mutex);
    const rrm::ServerSettings settings = config->server();
    if (!settings.vrrp_enabled)
        return;
    pending_domains.insert(domains.begin(), domains.end());
    // A write that failed fails the same way a quiet period later when the
    // cause is a folder that is a file or read-only: tried again further
    // and further apart. Anything else (an AP caught moving while it was
    // read) is retried after one quiet period.
    int delay = std::max(1, settings.vrrp_timeout);
    if (write_failed) {
        retry_delay_s = retry_delay_s == 0 ? delay : std::min(2 * retry_delay_s, kMaxRetryDelay);
        delay = std::max(delay, retry_delay_s);
        APP_LOG(Debug) << "Backup of " << domains.size() << " domain(s) retried in " << delay
                       << " s";
    }
    // A change since the run took its domains has armed the run already:
    // arming it again pushes it back, but not past that change's bound.
    if (changes.waiting()) {
        const int64_t bound = int64_t{kMaxPushBackTimeouts} * std::max(settings.vrrp_timeout, 0);
        delay = changes.next(timers.now(), delay, bound);
    }
    timers.restart_timer([this] { backup_due = true; }, kBackupTimerId, delay);
}

void VrrpWorker::make_domains_backup()
{
    const std::string folder = config->server().vrrp_backup_path;
    std::set<std::string> domains;
    {
        std::lock_guard<std::mutex> lock(mutex);
        domains.swap(pending_domains);
        changes.reset();
    }
    if (!usable_backup_folder(folder)) {
        if (!folder_failing)
            APP_LOG(Error) << "backup_path " << folder << " invalid";
        folder_failing = true;
        retry_later(domains, true);
        return;
    }
    if (folder_failing)
        APP_LOG(Info) << "backup_path " << folder << " usable again";
    folder_failing = false;
    std::set<std::string> again;
    bool written = false;
    bool failed = false;
    for (const std::string& domain : domains) {
        std::string text;
        bool gone = false;
        if (!build_domain_backup(domain, text, &gone)) {
            if (!gone)
                again.insert(domain);
            continue;
        }
        const std::string file = backup_files::file_name(folder, domain);
        const int error = backup_files::write(folder, domain, text);
        if (error != 0) {
            if (failing_domains.insert(domain).second)
                APP_LOG(Error) << "Error writing backup file for domain " << domain
                               << " failed with error code: " << error << ". Filename: " << file;
            again.insert(domain);
            failed = true;
            continue;
        }
        if (failing_domains.erase(domain) != 0)
            APP_LOG(Info) << "Backup file for domain " << domain
                          << " written again. Filename: " << file;
        written = true;
    }
    if (written && !failed) {
        std::lock_guard<std::mutex> lock(mutex);
        retry_delay_s = 0;
    }
    if (!again.empty())
        retry_later(again, failed);
}

yajson::JsonValue VrrpWorker::restore_domains_from_backup()
{
    const std::string folder = config->server().vrrp_backup_path;
    if (!usable_backup_folder(folder)) {
        APP_LOG(Error) << "backup_path " << folder << " invalid";
        return yajson::JsonValue();
    }
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return yajson::JsonValue();
    yajson::JsonValue result = yajson::JsonValue::make_array();
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (name[0] == '.' && !ends_with(name, ".json"))
            continue;
        const std::string file = folder + "/" + name;
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            APP_LOG(Error) << "Opening backup file " << file
                           << " failed with error code: " << error << " ("
                           << std::strerror(error) << ").";
            continue;
        }
        std::string text;
        bool failed = false;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                APP_LOG(Error) << "Reading backup file " << file
                               << " failed: " << std::strerror(errno);
                failed = true;
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
        }
        ::close(fd);
        if (failed || text.empty())
            continue;
        yajson::ParseResult parsed = parse_backup_text(text);
        if (parsed.error)
            continue;
        result.as_array().push_back(std::move(parsed.value));
    }
    ::closedir(dir);
    return result;
}

namespace {

void copy_int_member(const yajson::JsonValue& source, yajson::JsonValue& target, const char* key)
{
    int64_t value = 0;
    if (source.is_object())
        if (const yajson::JsonValue* member = source.as_object().find(key))
            if (member->is_integer() || member->is_uinteger())
                value = member->as_integer();
    target.set(key, yajson::JsonValue(value));
}

void copy_string_member(const yajson::JsonValue& source, yajson::JsonValue& target,
                        const char* key)
{
    if (!source.is_object())
        return;
    if (const yajson::JsonValue* member = source.as_object().find(key))
        if (member->is_string())
            target.set(key, *member);
}

const yajson::JsonValue* member_of(const yajson::JsonValue& object, const char* key)
{
    return object.is_object() ? object.as_object().find(key) : nullptr;
}

// A reply that says something went wrong: none at all, an "error", or a
// "status" of "failure".
bool is_failure_reply(const yajson::JsonValue& reply)
{
    if (reply.is_null())
        return true;
    if (!reply.is_object())
        return false;
    if (member_of(reply, "error"))
        return true;
    const yajson::JsonValue* status = member_of(reply, "status");
    return status && status->is_string() && status->as_string() == "failure";
}

}  // namespace

char* VrrpWorker::query_domain(const std::string& domain)
{
    rrm::JsonWriter request("");
    request.add_string("domain", domain.c_str());
    return process_rrm_command(*registry, rrm::JsonReader(request.to_string()));
}

char* VrrpWorker::query_ap(const std::string& domain, const std::string& mac)
{
    rrm::JsonWriter request("");
    request.add_string("domain", domain.c_str());
    request.add_string("ap", mac.c_str());
    return process_rrm_command(*registry, rrm::JsonReader(request.to_string()));
}

char* VrrpWorker::query_ap_fbt_links(const std::string& domain, const std::string& mac)
{
    rrm::JsonWriter request("");
    request.add_string("domain", domain.c_str());
    request.add_string("ap", mac.c_str());
    request.add_object("fbt-links");
    return process_rrm_command(*registry, rrm::JsonReader(request.to_string()));
}

namespace {

// A query reply parsed; null when there is none or it does not parse. The
// reply is freed.
yajson::JsonValue take_reply(char* reply)
{
    if (reply == nullptr)
        return yajson::JsonValue();
    std::unique_ptr<char, decltype(&std::free)> owned(reply, &std::free);
    yajson::ParseResult parsed = parse_backup_text(reply);
    if (parsed.error)
        return yajson::JsonValue();
    return std::move(parsed.value);
}

}  // namespace

bool VrrpWorker::merge_full_vaps(yajson::JsonValue& state, const yajson::JsonValue& fbt)
{
    yajson::JsonValue* radios = state.is_object() ? state.as_object().find("radios") : nullptr;
    yajson::JsonValue* interfaces =
        radios && radios->is_object() ? radios->as_object().find("interfaces") : nullptr;
    const yajson::JsonValue* full = member_of(fbt, "radios");
    if (!interfaces || !interfaces->is_array() || !full || !full->is_array())
        return false;
    for (yajson::JsonValue& interface : interfaces->as_array()) {
        const yajson::JsonValue* id = member_of(interface, "id");
        if (!id || !id->is_integer())
            continue;
        for (const yajson::JsonValue& radio : full->as_array()) {
            const yajson::JsonValue* radio_id = member_of(radio, "id");
            const yajson::JsonValue* vaps = member_of(radio, "vaps");
            if (!radio_id || !radio_id->is_integer() || !vaps ||
                radio_id->as_integer() != id->as_integer())
                continue;
            interface.as_object().erase("vaps");
            interface.set("vaps", *vaps);
        }
    }
    return true;
}

bool VrrpWorker::collect_ap_backups(const yajson::JsonValue& list, const std::string& domain,
                                    const char* key, yajson::JsonValue& out)
{
    if (!list.is_array() || !out.is_array())
        return false;
    for (const yajson::JsonValue& entry : list.as_array()) {
        const yajson::JsonValue* mac = member_of(entry, "mac");
        if (!mac || !mac->is_string())
            return false;
        const std::string mac_text(mac->as_string());
        yajson::JsonValue state = take_reply(query_ap(domain, mac_text));
        const yajson::JsonValue fbt = take_reply(query_ap_fbt_links(domain, mac_text));
        // An AP that left the domain meanwhile is not found; one that moved
        // to another list answers under another key.
        if (is_failure_reply(state) || is_failure_reply(fbt))
            return false;
        yajson::JsonValue* element = state.is_object() ? state.as_object().find(key) : nullptr;
        const yajson::JsonValue* links = member_of(fbt, key);
        if (!element || !links || !merge_full_vaps(*element, *links))
            return false;
        copy_string_member(entry, *element, "board");
        copy_string_member(entry, *element, "hw");
        copy_string_member(entry, *element, "serial");
        out.as_array().push_back(*element);
    }
    return true;
}

bool VrrpWorker::build_domain_backup(const std::string& domain, std::string& out, bool* gone)
{
    if (gone)
        *gone = false;
    if (domain.empty()) {
        if (gone)
            *gone = true;
        return false;
    }
    const yajson::JsonValue status = take_reply(query_domain(domain));
    if (is_failure_reply(status)) {
        // "domain not found": the domain has no worker, so nothing of it to
        // keep; its next worker schedules its own backup.
        if (gone)
            *gone = member_of(status, "error") != nullptr;
        return false;
    }
    const yajson::JsonValue* details = member_of(status, "details");
    if (!details || !details->is_object())
        return false;
    const char* const lists[][2] = {
        {"aps", "active-ap"}, {"unanswered-aps", "unanswered-ap"}, {"deleted-aps", "deleted-ap"}};
    for (const auto& list : lists)
        if (!member_of(*details, list[0]))
            return false;

    yajson::JsonValue backup = yajson::JsonValue::make_object();
    backup.set("name", yajson::JsonValue(domain));
    copy_int_member(*details, backup, "rrm-status");
    copy_int_member(*details, backup, "fbt-status");
    for (const auto& list : lists) {
        yajson::JsonValue aps = yajson::JsonValue::make_array();
        if (!collect_ap_backups(*member_of(*details, list[0]), domain, list[1], aps))
            return false;
        backup.set(list[0], std::move(aps));
    }
    out = compact(backup);
    return true;
}
