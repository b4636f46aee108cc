#include "Config.h"

#include "FolderFiles.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace rrm {

namespace {

constexpr int kMinTimeZone = -43200;  // -12:00
constexpr int kMaxTimeZone = 50400;   // +14:00
constexpr int kMaxPort = 65535;
constexpr int kMaxDeleteTime = 86340;  // 23:59

std::string read_hostname()
{
    char name[1024] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return std::string(name);
}

// The time zone of a domain element of the file. The program itself writes
// an empty text for a domain added without a time zone, so an empty text
// reads like an absent one instead of dropping the domain.
bool domain_time_zone_ok(const JsonReader& element)
{
    if (!element.has("time_zone") || *element.get_string("time_zone") == '\0')
        return true;
    JsonWriter scratch("2.0");
    JsonWriter dropped = scratch.add_array("rejects");
    bool invalid = false;
    validate_time_opt(element, "time_zone", kMaxTimeZone, kMinTimeZone, invalid, dropped);
    return !invalid;
}

struct SaveError {
    const char* step;
    int error;
};

bool write_all(int fd, const std::string& text, SaveError& failure)
{
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failure = {"write", errno};
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// The file that a configuration path really names: a symlinked
// configuration is written next to its target, so that it stays a symlink
// and the rename stays within one file system.
std::string real_target(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
    return path;
}

std::string folder_of(const std::string& file)
{
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
}

// The one temporary name a save writes to. Saves are serialised by the
// configuration lock, and a file left there by a save that was killed is
// simply replaced by the next one.
std::string temporary_of(const std::string& target)
{
    return target + ".tmp";
}

// Replaces the file at path by text so that a reader sees either the old or
// the new content, whatever happens in between (full disk, crash).
bool replace_file(const std::string& path, const std::string& text, SaveError& failure)
{
    const std::string target = real_target(path);
    const std::string folder = folder_of(target);
    const std::string temp = temporary_of(target);

    // Whatever is at the temporary name is a leftover of ours; a symlink
    // planted there is removed, not followed. What cannot be removed makes
    // the exclusive open below fail.
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        failure = {"create temporary file", errno};
        return false;
    }
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) {
        // Keep the permissions (and, where allowed, the owner) of the old file.
        (void)::fchmod(fd, old.st_mode & 07777);
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        }
    }
    bool ok = write_all(fd, text, failure);
    if (ok && ::fsync(fd) != 0) {
        failure = {"fsync", errno};
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        failure = {"close", errno};
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        failure = {"rename", errno};
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    (void)sync_folder(folder);
    return true;
}

bool all_digits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Temporary files that saves killed half-way left next to the file: the
// fixed name, and "<name>.tmp.<pid>.<n>" of earlier versions, unless that
// process still runs.
void remove_stale_temporaries(const std::string& path)
{
    const std::string target = real_target(path);
    const std::string temp = temporary_of(target);
    ::unlink(temp.c_str());

    const std::string folder = folder_of(target);
    const std::string prefix = temp.substr(temp.rfind('/') == std::string::npos
                                               ? 0
                                               : temp.rfind('/') + 1) +
                               ".";
    remove_files_in(folder, [&](const std::string& name) {
        if (name.compare(0, prefix.size(), prefix) != 0)
            return false;
        const std::string rest = name.substr(prefix.size());
        const size_t dot = rest.find('.');
        if (dot == std::string::npos || !all_digits(rest.substr(0, dot)) ||
            !all_digits(rest.substr(dot + 1)) || rest.size() - dot > 12 || dot > 10)
            return false;
        return !is_other_running_process(std::strtol(rest.substr(0, dot).c_str(), nullptr, 10));
    });
}

}  // namespace

GlobalConfig::GlobalConfig(const std::string& path) : path_(path), hostname_(read_hostname())
{
    if (path_.empty())
        return;
    remove_stale_temporaries(path_);
    read_file(true);
}

bool GlobalConfig::is_safe_file_name_part(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

const char* GlobalConfig::domain_name_problem(const std::string& domain)
{
    if (!is_safe_file_name_part(domain))
        return "a domain name must not be empty, \".\", \"..\" or hold '/' or a NUL byte";
    for (const char c : domain)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return "a domain name must not hold control characters";
    if (domain.find(',') != std::string::npos)
        return "a domain name must not hold ','";
    if (domain.compare(0, 4, "cfg_") == 0 || domain.compare(0, 4, "idx_") == 0)
        return "a domain name must not start with \"cfg_\" or \"idx_\"";
    if (domain.size() > kMaxDomainNameLength)
        return "a domain name must not be longer than 231 bytes";
    return nullptr;
}

std::vector<std::string> GlobalConfig::held_domain_names() const
{
    Lock held(mutex_);
    std::vector<std::string> names;
    for (const auto& entry : held_domains_)
        names.push_back(entry.first);
    return names;
}

bool GlobalConfig::read_file(bool at_start)
{
    Lock held(mutex_);
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    JsonReader root(fd);
    ::close(fd);

    SectionProblem missing;
    switch (load_document(root, missing)) {
    case LoadResult::NotAnObject:
        // Writing back now would replace the operator's file by defaults.
        RRM_ERROR("Configuration file '%s' cannot be read or does not parse; the file is left "
                  "untouched",
                  path_.c_str());
        break;
    case LoadResult::Incomplete:
        if (missing.expected)
            RRM_ERROR("Configuration file '%s' has a \"%s\" section that is not %s; the file is "
                      "left untouched",
                      path_.c_str(), missing.section, missing.expected);
        else
            RRM_ERROR("Configuration file '%s' has no \"%s\" section; the file is left untouched",
                      path_.c_str(), missing.section);
        break;
    case LoadResult::Complete:
        if (at_start)
            save();
        break;
    }
    return true;
}

void GlobalConfig::reload()
{
    if (path_.empty())
        return;
    read_file(false);
}

bool GlobalConfig::load(const JsonReader& root)
{
    SectionProblem missing;
    return load_document(root, missing) == LoadResult::Complete;
}

GlobalConfig::LoadResult GlobalConfig::load_document(const JsonReader& root,
                                                     SectionProblem& missing)
{
    Lock held(mutex_);
    if (root.is_null())
        return LoadResult::NotAnObject;

    // A section of the wrong kind counts as missing: loading it would read
    // as empty, and the write-back would wipe the operator's settings.
    const auto problem = [&](const char* section, const JsonReader& value, const char* kind) {
        missing.section = section;
        missing.expected = value.is_null() ? nullptr : kind;
        return LoadResult::Incomplete;
    };
    const JsonReader global = root.child("global");
    if (!global.is_object())
        return problem("global", global, "an object");
    global_update(global);

    const JsonReader common = root.child("common");
    if (!common.is_object())
        return problem("common", common, "an object");
    common_.update(common);

    const JsonReader patterns = root.child("patterns");
    if (!patterns.is_array())
        return problem("patterns", patterns, "an array");

    // Pattern elements by name, the first of duplicates winning.
    std::vector<std::pair<std::string, int>> pattern_entries;
    std::set<std::string> pattern_names;
    for (int i = 0; i < patterns.size(); ++i) {
        const JsonReader element = patterns.child(i);
        if (element.is_null())
            continue;
        const std::string name = element.get_string("pattern");
        if (name.empty() || !pattern_names.insert(name).second)
            continue;
        pattern_entries.emplace_back(name, i);
    }
    bool same_patterns = pattern_entries.size() == patterns_.size();
    for (const auto& entry : pattern_entries)
        same_patterns = same_patterns && patterns_.count(entry.first) != 0;
    if (!same_patterns)
        patterns_.clear();
    for (const auto& [name, index] : pattern_entries) {
        // In place, keys absent from the element keep the current values;
        // a new set of names starts every pattern from the defaults.
        DomainConfig& settings = patterns_[name];
        settings.update(patterns.child(index));
    }

    const JsonReader domains = root.child("domains");
    LoadResult result = LoadResult::Complete;
    if (!domains.is_null() && !domains.is_array()) {
        // The domains stay as they are; the copies still follow the
        // patterns just loaded.
        result = problem("domains", domains, "an array");
    } else if (!domains.is_null()) {
        struct Entry {
            std::string name;
            DomainInfo info;
        };
        std::vector<Entry> domain_entries;
        std::set<std::string> domain_names;
        held_domains_.clear();
        for (int i = 0; i < domains.size(); ++i) {
            const JsonReader element = domains.child(i);
            if (element.is_null())
                continue;
            // Whole, NUL bytes included: a refused name is written back as
            // it was read.
            const std::string name(element.get_string_view("domain"));
            const std::string pattern(element.get_string_view("pattern"));
            if (name.empty() || pattern.empty())
                continue;
            if (!domain_time_zone_ok(element))
                continue;
            Entry entry{name, DomainInfo{pattern, 0, std::string()}};
            bool ignored = false;
            update_time_opt(element, "time_zone", entry.info.time_zone,
                            entry.info.time_zone_offset, kMaxTimeZone, kMinTimeZone, ignored);
            if (const char* problem = domain_name_problem(name)) {
                // Not run, but the operator's entry stays in the file.
                const PeerText quoted(name);
                RRM_WARNING("Domain '%s' of the configuration file is not run: %s; its entry is "
                            "kept in the file",
                            quoted.c_str(), problem);
                held_domains_.emplace(name, std::move(entry.info));
                continue;
            }
            if (!domain_names.insert(name).second)
                continue;
            domain_entries.push_back(std::move(entry));
        }
        bool same_domains = domain_entries.size() == domains_.size();
        for (const auto& entry : domain_entries)
            same_domains = same_domains && domains_.count(entry.name) != 0;
        if (!same_domains) {
            domains_.clear();
            domain_configs_.clear();
        }
        for (auto& entry : domain_entries)
            domains_[entry.name] = std::move(entry.info);
    }

    // Every domain's copy follows the patterns as just loaded; a domain
    // whose pattern does not exist keeps its entry but has no settings.
    domain_configs_.clear();
    for (const auto& [name, info] : domains_) {
        if (const DomainConfig* settings = find_pattern(info.pattern))
            domain_configs_[name] = *settings;
    }
    return result;
}

void GlobalConfig::to_json(JsonWriter& root) const
{
    Lock held(mutex_);
    JsonWriter global = root.add_object("global");
    JsonWriter common = root.add_object("common");
    JsonWriter domains = root.add_array("domains");
    JsonWriter patterns = root.add_array("patterns");
    global_to_json(global);
    common_.to_json(common);
    for (const auto& [name, settings] : patterns_) {
        JsonWriter pattern = patterns.add_object(nullptr);
        pattern.add_string("pattern", name.c_str());
        settings.to_json(pattern);
    }
    // Run and held domains together, in name order.
    auto run = domains_.begin();
    auto kept = held_domains_.begin();
    while (run != domains_.end() || kept != held_domains_.end()) {
        const bool take_run =
            kept == held_domains_.end() || (run != domains_.end() && run->first < kept->first);
        const auto& entry = take_run ? *run++ : *kept++;
        JsonWriter domain = domains.add_object(nullptr);
        domain.resolve().set("domain", yajson::JsonValue::make_string(entry.first));
        domain.resolve().set("pattern", yajson::JsonValue::make_string(entry.second.pattern));
        domain.add_string("time_zone", entry.second.time_zone.c_str());
    }
}

void GlobalConfig::global_to_json(JsonWriter& object) const
{
    Lock held(mutex_);
    object.add_int("enabled", server_.enabled ? 1 : 0);
    object.add_int("api_port", server_.api_port);
    object.add_int("cli_api_port", server_.cli_api_port);
    object.add_int("listen_port", server_.listen_port);
    object.add_int("use_https", server_.use_https ? 1 : 0);
    object.add_string("report_delete_at_time_utc", server_.report_delete_at_time_utc.c_str());
    object.add_string("reports_path", server_.reports_path.c_str());
    object.add_string("www_path", server_.www_path.c_str());
    object.add_int("vrrp_enabled", server_.vrrp_enabled ? 1 : 0);
    object.add_int("vrrp_timeout", server_.vrrp_timeout);
    object.add_string("vrrp_backup_path", server_.vrrp_backup_path.c_str());
    object.add_string("vrrp_state_file", server_.vrrp_state_file.c_str());
    object.add_int("use_wildcard_80211r", server_.use_wildcard_80211r ? 1 : 0);
}

bool GlobalConfig::save() const
{
    Lock held(mutex_);
    if (path_.empty())
        return true;
    JsonWriter root("2.1");
    to_json(root);
    std::string text = root.to_pretty_string();
    text += '\n';
    SaveError failure{"", 0};
    if (replace_file(path_, text, failure))
        return true;
    RRM_ERROR("Configuration file '%s' not saved: %s failed: %s", path_.c_str(), failure.step,
              std::strerror(failure.error));
    return false;
}

bool GlobalConfig::global_update(const JsonReader& object)
{
    Lock held(mutex_);
    bool changed = false;
    update_bool_opt(object, "enabled", server_.enabled, changed);
    update_int_opt(object, "api_port", server_.api_port, kMaxPort, 0, changed);
    update_int_opt(object, "cli_api_port", server_.cli_api_port, kMaxPort, 0, changed);
    update_int_opt(object, "listen_port", server_.listen_port, kMaxPort, 0, changed);
    update_string_opt(object, "report_delete_at_time_utc", server_.report_delete_at_time_utc,
                      changed);
    update_string_opt(object, "reports_path", server_.reports_path, changed);
    update_string_opt(object, "www_path", server_.www_path, changed);
    update_bool_opt(object, "use_https", server_.use_https, changed);
    update_bool_opt(object, "vrrp_enabled", server_.vrrp_enabled, changed);
    update_int_opt(object, "vrrp_timeout", server_.vrrp_timeout, 60, 1, changed);
    update_string_opt(object, "vrrp_backup_path", server_.vrrp_backup_path, changed);
    update_string_opt(object, "vrrp_state_file", server_.vrrp_state_file, changed);
    update_bool_opt(object, "use_wildcard_80211r", server_.use_wildcard_80211r, changed);
    enabled_.store(server_.enabled, std::memory_order_relaxed);
    return changed;
}

bool GlobalConfig::global_validate(const JsonReader& object, JsonWriter& rejects)
{
    bool invalid = false;
    validate_int_opt(object, "enabled", invalid, rejects);
    validate_int_opt(object, "use_https", invalid, rejects);
    validate_int_opt(object, "api_port", kMaxPort, 0, invalid, rejects);
    validate_int_opt(object, "listen_port", kMaxPort, 0, invalid, rejects);
    validate_int_opt(object, "cli_api_port", kMaxPort, 0, invalid, rejects);
    validate_int_opt(object, "vrrp_enabled", invalid, rejects);
    validate_int_opt(object, "vrrp_timeout", 60, 1, invalid, rejects);
    validate_int_opt(object, "use_wildcard_80211r", invalid, rejects);
    validate_time_opt(object, "report_delete_at_time_utc", kMaxDeleteTime, 0, invalid, rejects);
    return !invalid;
}

bool GlobalConfig::global_change(const JsonReader& object, JsonWriter& rejects, bool& invalid)
{
    Lock held(mutex_);
    invalid = !global_validate(object, rejects);
    if (invalid)
        return false;
    return global_update(object);
}

const DomainConfig* GlobalConfig::find_pattern(const std::string& name) const
{
    if (name == "common")
        return &common_;
    const auto it = patterns_.find(name);
    return it == patterns_.end() ? nullptr : &it->second;
}

void GlobalConfig::refresh_domain_copies(const std::string& pattern, const DomainConfig& settings)
{
    for (const auto& [name, info] : domains_) {
        if (info.pattern != pattern)
            continue;
        const auto copy = domain_configs_.find(name);
        if (copy != domain_configs_.end())
            copy->second = settings;
    }
}

bool GlobalConfig::pattern_change(std::string name, const JsonReader& object,
                                  JsonWriter& rejects, bool& invalid, bool& changed)
{
    Lock held(mutex_);
    const bool is_common = name == "common";
    if (!is_common && patterns_.count(name) == 0)
        return false;
    DomainConfig& settings = is_common ? common_ : patterns_[name];
    invalid = !DomainConfig::validate(object, rejects);
    if (!invalid && settings.update(object)) {
        if (is_common)
            RRM_DEBUG("Pattern %s was changed", name.c_str());
        else
            RRM_DEBUG("Pattern '%s' was changed", name.c_str());
        changed = true;
    }
    refresh_domain_copies(name, settings);
    return true;
}

bool GlobalConfig::pattern_add(const std::string& name, const JsonReader& object,
                               JsonWriter& rejects, bool& invalid, bool& changed)
{
    Lock held(mutex_);
    // The file keeps names only up to a NUL byte: such a pattern would come
    // back under another name, or lose to the one it would be cut to. The
    // name "common" always names the common settings: a pattern of that
    // name would never be used.
    if (patterns_.count(name) != 0 || name.find('\0') != std::string::npos || name == "common")
        return false;
    invalid = !DomainConfig::validate(object, rejects);
    if (invalid)
        return false;
    DomainConfig settings;
    settings.update(object);
    patterns_.emplace(name, std::move(settings));
    RRM_DEBUG("Config pattern '%s' was successfully added.", name.c_str());
    changed = true;
    return true;
}

bool GlobalConfig::pattern_remove(const std::string& name, const std::list<std::string>& domains,
                                  bool& changed)
{
    Lock held(mutex_);
    // "common" names the common settings, which cannot be removed, and never
    // a pattern of the file that happens to have that name.
    if (name == "common" || patterns_.count(name) == 0)
        return false;
    for (const std::string& domain : domains) {
        if (domain_configs_.erase(domain) != 0)
            RRM_DEBUG("Domain '%s' with pattern '%s' removed from map.", domain.c_str(),
                      name.c_str());
        if (domains_.erase(domain) != 0)
            RRM_DEBUG("Domain '%s' with pattern '%s' removed from domain_map.", domain.c_str(),
                      name.c_str());
    }
    patterns_.erase(name);
    RRM_DEBUG("Pattern '%s' was successfully removed.", name.c_str());
    changed = true;
    return true;
}

bool GlobalConfig::domain_add(const std::string& domain, const std::string& pattern,
                              const std::string& time_zone, int time_zone_offset, bool& changed)
{
    Lock held(mutex_);
    if (const char* problem = domain_name_problem(domain)) {
        const PeerText name(domain);
        RRM_WARNING("Domain '%s' not added: %s", name.c_str(), problem);
        return false;
    }
    const DomainConfig* settings = find_pattern(pattern);
    if (settings == nullptr || domains_.count(domain) != 0)
        return false;
    domains_[domain] = DomainInfo{pattern, time_zone_offset, time_zone};
    domain_configs_[domain] = *settings;
    RRM_DEBUG("Domain '%s' was successfully added.", domain.c_str());
    changed = true;
    return true;
}

bool GlobalConfig::domain_change(const std::string& domain, const std::string& pattern,
                                 const std::string& time_zone, int time_zone_offset,
                                 bool& changed)
{
    Lock held(mutex_);
    const auto info = domains_.find(domain);
    const auto copy = domain_configs_.find(domain);
    const DomainConfig* settings = find_pattern(pattern);
    if (info == domains_.end() || copy == domain_configs_.end() || settings == nullptr)
        return false;
    copy->second = *settings;
    info->second = DomainInfo{pattern, time_zone_offset, time_zone};
    RRM_DEBUG("Domain '%s' was changed", domain.c_str());
    changed = true;
    return true;
}

bool GlobalConfig::domain_remove(const std::string& domain, bool& changed)
{
    Lock held(mutex_);
    if (domains_.erase(domain) == 0)
        return false;
    domain_configs_.erase(domain);
    RRM_DEBUG("Domain '%s' was successfully removed.", domain.c_str());
    changed = true;
    return true;
}

bool GlobalConfig::parse_time_zone(const JsonReader& request, std::string& time_zone,
                                   int& time_zone_offset, bool* invalid, bool* changed,
                                   JsonWriter& rejects)
{
    bool bad = false;
    validate_time_opt(request, "time_zone", kMaxTimeZone, kMinTimeZone, bad, rejects);
    if (invalid != nullptr)
        *invalid = bad;
    if (bad)
        return false;
    bool updated = false;
    update_time_opt(request, "time_zone", time_zone, time_zone_offset, kMaxTimeZone,
                    kMinTimeZone, updated);
    if (changed != nullptr)
        *changed = updated;
    return true;
}

bool GlobalConfig::is_domain_exist(const std::string& domain) const
{
    Lock held(mutex_);
    // The name may come from a request: quoted.
    const PeerText quoted(domain);
    if (domains_.count(domain) == 0) {
        RRM_TRACE("Domain \"%s\" not found", quoted.c_str());
        return false;
    }
    RRM_TRACE("Domain \"%s\" success found", quoted.c_str());
    return true;
}

DomainConfig GlobalConfig::get_domain_config(const std::string& domain) const
{
    Lock held(mutex_);
    const auto info = domains_.find(domain);
    if (info == domains_.end())
        throw std::out_of_range("Domain not found");
    if (find_pattern(info->second.pattern) == nullptr)
        throw std::out_of_range("Pattern not found");
    const auto copy = domain_configs_.find(domain);
    if (copy == domain_configs_.end())
        throw std::out_of_range("Domain config not found");
    return copy->second;
}

int GlobalConfig::get_time_zone(const std::string& domain) const
{
    Lock held(mutex_);
    const auto info = domains_.find(domain);
    if (info == domains_.end())
        throw std::out_of_range("Domain (time zone) not found");
    return info->second.time_zone_offset;
}

ServerSettings GlobalConfig::server() const
{
    Lock held(mutex_);
    return server_;
}

std::optional<DomainConfig> GlobalConfig::get_pattern_config(const std::string& name) const
{
    Lock held(mutex_);
    const DomainConfig* settings = find_pattern(name);
    if (settings == nullptr)
        return std::nullopt;
    return *settings;
}

bool GlobalConfig::is_pattern_exist(const std::string& name) const
{
    Lock held(mutex_);
    return patterns_.count(name) != 0;
}

void GlobalConfig::for_each_pattern(
    const std::function<void(const std::string&, const DomainConfig&)>& f) const
{
    Lock held(mutex_);
    f("common", common_);
    for (const auto& [name, settings] : patterns_)
        f(name, settings);
}

void GlobalConfig::for_each_domain_info(
    const std::function<void(const std::string&, const DomainInfo&)>& f) const
{
    Lock held(mutex_);
    for (const auto& [name, info] : domains_)
        f(name, info);
}

void GlobalConfig::for_each_domain_pattern(
    const std::function<void(const std::string&, const std::string&)>& f) const
{
    Lock held(mutex_);
    for (const auto& [name, info] : domains_)
        f(name, info.pattern);
}

void GlobalConfig::for_each_domain_config(
    const std::function<void(const std::string&, const DomainConfig&)>& f) const
{
    Lock held(mutex_);
    for (const auto& [name, settings] : domain_configs_)
        f(name, settings);
}

}  // namespace rrm
