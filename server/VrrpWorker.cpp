#include "VrrpWorker.h"

#include "AppLog.h"
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

#include <cerrno>
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
    ::mkdir(path.c_str(), 0777);
    return ::stat(path.c_str(), &st) == 0;
}

bool write_whole(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

VrrpWorker::VrrpWorker(rrm::RRM* registry_, rrm::GlobalConfig* config_)
    : rrm::Api(registry_), config(config_)
{
    backup_callback = [this] { make_domains_backup(); };
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
    if (role == 1 && registry->get_vrrp_role() == 0) {
        yajson::JsonValue restored = restore_domains_from_backup();
        if (!restored.is_null())
            domains = std::make_shared<std::string>(compact(restored));
    }
    registry->update_vrrp_role(role, domains);
    return true;
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
    timers.restart_timer([this] { backup_due = true; }, kBackupTimerId, settings.vrrp_timeout);
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

void VrrpWorker::make_domains_backup()
{
    const std::string folder = config->server().vrrp_backup_path;
    if (!usable_backup_folder(folder)) {
        APP_LOG(Error) << "backup_path " << folder << " invalid";
        return;
    }
    std::set<std::string> domains;
    {
        std::lock_guard<std::mutex> lock(mutex);
        domains.swap(pending_domains);
    }
    for (const std::string& domain : domains) {
        std::string text;
        if (!build_domain_backup(domain, text))
            continue;
        const std::string file = folder + "/" + domain + ".json";
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        bool written = fd >= 0 && write_whole(fd, text);
        int error = written ? 0 : errno;
        if (fd >= 0 && ::close(fd) != 0 && written) {
            written = false;
            error = errno;
        }
        if (!written)
            APP_LOG(Error) << "Error writing backup file for domain " << domain
                           << " failed with error code: " << error << ". Filename: " << file;
    }
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

}  // namespace

bool VrrpWorker::build_domain_backup(const std::string& domain, std::string& out)
{
    if (domain.empty())
        return false;
    // The domain's full status, read inside its worker's lock.
    std::string status;
    const bool found = registry->run_on_domain(domain, [&](rrm::RrmWorker& worker) {
        rrm::JsonWriter writer("");
        worker.to_json_full(writer);
        status = writer.to_string();
    });
    if (!found)
        return false;
    yajson::ParseResult parsed = parse_backup_text(status);
    if (parsed.error)
        return false;
    const yajson::JsonValue& root = parsed.value;
    const yajson::JsonValue* details = member_of(root, "details");
    if (!details || !details->is_object())
        return false;

    yajson::JsonValue backup = yajson::JsonValue::make_object();
    backup.set("name", yajson::JsonValue(domain));
    copy_int_member(*details, backup, "rrm-status");
    copy_int_member(*details, backup, "fbt-status");
    for (const char* list : {"aps", "unanswered-aps", "deleted-aps"}) {
        // The full AP states, each with the identity that the short list of
        // the status gives for its MAC.
        const yajson::JsonValue* states = member_of(root, list);
        const yajson::JsonValue* entries = member_of(*details, list);
        if (!states || !states->is_array() || !entries || !entries->is_array())
            return false;
        yajson::JsonValue aps = yajson::JsonValue::make_array();
        for (const yajson::JsonValue& state : states->as_array()) {
            const yajson::JsonValue* mac = member_of(state, "mac");
            if (!mac || !mac->is_string())
                return false;
            yajson::JsonValue element = state;
            for (const yajson::JsonValue& entry : entries->as_array()) {
                const yajson::JsonValue* entry_mac = member_of(entry, "mac");
                if (entry_mac && entry_mac->is_string() &&
                    entry_mac->as_string() == mac->as_string()) {
                    copy_string_member(entry, element, "board");
                    copy_string_member(entry, element, "hw");
                    copy_string_member(entry, element, "serial");
                    break;
                }
            }
            aps.as_array().push_back(std::move(element));
        }
        backup.set(list, std::move(aps));
    }
    out = compact(backup);
    return true;
}
