#pragma once
// The whole configuration of the server and its JSON file: the server
// section, the common domain settings, the named patterns, the domain list and
// each domain's copy of its pattern's settings.
//
// One recursive mutex guards everything. Every operation takes it; lookups
// return copies; the iterators call their function with it held. A caller
// that must keep several steps together (an edit and the save after it) holds
// lock() across them. Never take the registry's or a worker's lock while
// holding it: the registry looks settings up under its workers-map lock.

#include "DomainConfig.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rrm {

class JsonReader;
class JsonWriter;

struct DomainInfo {
    std::string pattern;       // "common" or a key of the patterns
    int time_zone_offset = 0;  // seconds from UTC, -43200 to 50400
    std::string time_zone;     // the same as text, "HH:MM" with an optional sign
};

// The "global" section of the file, in field order (the file order differs).
struct ServerSettings {
    bool enabled = true;
    int api_port = 8089;
    int cli_api_port = 8082;
    int listen_port = 8099;
    std::string report_delete_at_time_utc = "21:00";
    std::string reports_path = "/var/lib/tavik-wendara/reports";
    std::string www_path = "/opt/tavik-wendara/www";
    bool use_https = false;
    bool vrrp_enabled = false;
    int vrrp_timeout = 15;
    std::string vrrp_backup_path = "/tmp/tavik-wendara/backup";
    std::string vrrp_state_file = "/tmp/keep.mode";
    bool use_wildcard_80211r = false;
};

class GlobalConfig {
public:
    using Lock = std::unique_lock<std::recursive_mutex>;

    // Defaults, host name, then (for a non-empty path) the file is read and,
    // when it loaded completely, written back in the program's own layout.
    explicit GlobalConfig(const std::string& path = "/etc/tavik-wendara/wendara.conf");
    GlobalConfig(const GlobalConfig&) = delete;
    GlobalConfig& operator=(const GlobalConfig&) = delete;

    // Holds the configuration for a sequence of calls (edit, then save).
    Lock lock() const { return Lock(mutex_); }

    // Loads a configuration document over the current values, leniently.
    // Returns false when the document is not an object or lacks "global",
    // "common" or "patterns" (loading stops at the first one missing), or
    // when one of these or "domains" is of the wrong kind (loading stops
    // before it; the domains then stay as they were).
    bool load(const JsonReader& root);
    void to_json(JsonWriter& root) const;
    void global_to_json(JsonWriter& object) const;
    // Writes the whole file through a temporary file renamed over it.
    // Returns false (after an Error record) when it could not be written;
    // the old file is then unchanged. An empty path writes nothing.
    bool save() const;
    // Reads the file again and loads it; writes nothing.
    void reload();

    bool global_update(const JsonReader& object);
    static bool global_validate(const JsonReader& object, JsonWriter& rejects);

    // Editing operations of the management interface: validate, then apply
    // all or nothing.
    bool global_change(const JsonReader& object, JsonWriter& rejects, bool& invalid);
    bool pattern_change(std::string name, const JsonReader& object, JsonWriter& rejects,
                        bool& invalid, bool& changed);
    bool pattern_add(const std::string& name, const JsonReader& object, JsonWriter& rejects,
                     bool& invalid, bool& changed);
    bool pattern_remove(const std::string& name, const std::list<std::string>& domains,
                        bool& changed);
    bool domain_add(const std::string& domain, const std::string& pattern,
                    const std::string& time_zone, int time_zone_offset, bool& changed);
    bool domain_change(const std::string& domain, const std::string& pattern,
                       const std::string& time_zone, int time_zone_offset, bool& changed);
    bool domain_remove(const std::string& domain, bool& changed);
    bool parse_time_zone(const JsonReader& request, std::string& time_zone,
                         int& time_zone_offset, bool* invalid, bool* changed,
                         JsonWriter& rejects);

    // Lookups. get_domain_config and get_time_zone throw std::out_of_range.
    bool is_domain_exist(const std::string& domain) const;
    DomainConfig get_domain_config(const std::string& domain) const;
    int get_time_zone(const std::string& domain) const;
    ServerSettings server() const;
    // A copy of a pattern's settings ("common" for the common settings);
    // none when there is no such pattern.
    std::optional<DomainConfig> get_pattern_config(const std::string& name) const;
    // Whether a named pattern exists ("common" only when a pattern has that
    // name).
    bool is_pattern_exist(const std::string& name) const;
    // The server section's "enabled", read without the lock: routing asks
    // for it with every AP message and must not wait for a save.
    bool enabled() const { return enabled_.load(std::memory_order_relaxed); }
    const std::string& hostname() const { return hostname_; }

    // Iterators, in name order, with the configuration held.
    void for_each_pattern(
        const std::function<void(const std::string&, const DomainConfig&)>& f) const;
    void for_each_domain_info(
        const std::function<void(const std::string&, const DomainInfo&)>& f) const;
    void for_each_domain_pattern(
        const std::function<void(const std::string& domain, const std::string& pattern)>& f)
        const;
    void for_each_domain_config(
        const std::function<void(const std::string&, const DomainConfig&)>& f) const;

    // Longest domain name: its longest file name, the report clean-up's
    // start marker "report_<domain>.txt.start_status", is 24 bytes longer
    // and must fit NAME_MAX (255).
    static constexpr std::size_t kMaxDomainNameLength = 231;
    // A text that can stand in a file name without leading it out of its
    // folder: not empty, not "." or "..", no '/' and no NUL.
    static bool is_safe_file_name_part(const std::string& name);
    // Why a domain may not have this name, or null when it may. Besides
    // the file name rule: no control characters (they would start new lines
    // in the log), no ',' (report ids and lines are comma-separated), no
    // leading "cfg_" or "idx_" (the report file of "idx_X" is the index file
    // of "X"), at most kMaxDomainNameLength bytes.
    static const char* domain_name_problem(const std::string& domain);
    static bool is_valid_domain_name(const std::string& domain)
    {
        return domain_name_problem(domain) == nullptr;
    }
    // Domains of the file whose names are refused: not run, not listed, but
    // kept in the file as the operator wrote them.
    std::vector<std::string> held_domain_names() const;

private:
    enum class LoadResult { Complete, NotAnObject, Incomplete };

    // The section that stopped a load: absent (expected null) or of
    // another kind than the expected one.
    struct SectionProblem {
        const char* section = nullptr;
        const char* expected = nullptr;
    };
    LoadResult load_document(const JsonReader& root, SectionProblem& missing);
    // Opens and loads the file; false when it could not be opened.
    bool read_file(bool at_start);
    // The settings of a pattern name: common for "common", else the named
    // pattern, else null.
    const DomainConfig* find_pattern(const std::string& name) const;
    void refresh_domain_copies(const std::string& pattern, const DomainConfig& settings);

    mutable std::recursive_mutex mutex_;
    const std::string path_;
    const std::string hostname_;
    DomainConfig common_;
    // Ordered maps keep the file's arrays in a stable order, so a file in
    // the program's layout is written back unchanged.
    std::map<std::string, DomainConfig> domain_configs_;
    std::map<std::string, DomainConfig> patterns_;
    std::map<std::string, DomainInfo> domains_;
    // Domains of the file with a refused name (see held_domain_names).
    std::map<std::string, DomainInfo> held_domains_;
    ServerSettings server_;
    std::atomic<bool> enabled_{true};
};

}  // namespace rrm
