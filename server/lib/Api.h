#pragma once
// The command processor of the management API and the base of its front
// ends (the TCP API, the web API and the VRRP worker). A front end parses one
// request, a JSON object, and hands it to process_request, which picks the
// handler by the request's first member of "cfg", "rrm" and "vrrp" and
// returns one reply text allocated with malloc (the front end frees it), or
// null when no handler answers.
//
// Handlers run on the thread of the front end that received the request:
// the CLI API thread or the main thread, possibly at the same moment. The
// configuration commands and the VRRP role requests are serialised among
// themselves by one process-wide mutex, taken before any registry lock;
// queries take only the registry's and the workers' locks (see
// docs/design/management.md).

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <string_view>

namespace rrm {

class JsonReader;
class JsonWriter;
class RRM;
class RrmWorker;

class Api {
public:
    // The "version" that every reply begins with.
    static constexpr const char* kReplyVersion = "2.1";

    explicit Api(RRM* registry);
    virtual ~Api();
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    virtual void connect() = 0;
    // Clears the running flag.
    virtual void stop();
    virtual void run() = 0;

    // The dispatch of one parsed request: "cfg", else "rrm", else "vrrp"
    // (with "role" to process_vrrp_role_request, without to
    // process_vrrp_command). Null when the request has none of them or the
    // handler gives no reply. Exceptions of the handlers reach the caller.
    char* process_request(const JsonReader& request);

    // Configuration commands; null when the command is refused (nothing is
    // then saved or restarted).
    char* process_cfg_command(RRM& registry, const JsonReader& command);
    bool process_cfg_get_command(RRM& registry, const JsonReader& command, const char* level,
                                 JsonWriter& reply);
    bool process_cfg_set_command(RRM& registry, const JsonReader& command, const char* level,
                                 JsonWriter& reply, bool& restart_all, bool& restart_domains,
                                 std::list<std::string>& domains);
    bool process_cfg_add_command(RRM& registry, const JsonReader& command, const char* level,
                                 JsonWriter& reply, bool& restart_domains,
                                 std::list<std::string>& domains);
    bool process_cfg_remove_command(RRM& registry, const JsonReader& command, const char* level,
                                    JsonWriter& reply, bool& restart_domains,
                                    std::list<std::string>& domains);
    // Appends every configured domain whose pattern is `pattern`.
    void form_restart_domains_list(RRM& registry, const std::string& pattern,
                                   std::list<std::string>& domains);

    // Queries of the running state; never null.
    char* process_rrm_command(RRM& registry, const JsonReader& command);
    void process_rrm_cmd_get_domains(RRM& registry, const JsonReader& command, JsonWriter& reply);
    void process_rrm_cmd_drop_session(RRM& registry, const JsonReader& command,
                                      JsonWriter& reply);
    void process_rrm_cmd_get_ap(RrmWorker& worker, const JsonReader& command, JsonWriter& reply);
    void process_rrm_cmd_start_optimization(RrmWorker& worker, const JsonReader& command,
                                            JsonWriter& reply);

    // The stored optimisation reports of a domain (ApiReports.cpp). Each
    // writes what it found and "status".
    void process_rrm_cmd_get_report(const JsonReader& command, JsonWriter& reply,
                                    const std::string& reports_path);
    void process_rrm_cmd_get_report_list(const JsonReader& command, JsonWriter& reply,
                                         const std::string& domain,
                                         const std::string& reports_path, bool domain_exists);
    void process_rrm_cmd_get_last_report(const JsonReader& command, JsonWriter& reply,
                                         const std::string& domain,
                                         const std::string& reports_path, bool domain_exists);

    // The VRRP role: reads it without "role", switches it with "master" or
    // "backup". Never null.
    char* process_vrrp_command(RRM& registry, const JsonReader& command);

    bool is_running() const { return running.load(); }

    // Serialises the commands that change the configuration or the role,
    // process-wide (both front ends run them).
    static std::mutex& command_mutex();

protected:
    // A "vrrp" request with "role", as the compact text of its "vrrp" member.
    // The front ends hand it to the VRRP worker; here nobody answers it.
    virtual char* process_vrrp_role_request(const std::string& text);

    // Starts a reply of an "rrm" or "vrrp" command: "version", "server",
    // "wendara_version".
    void add_server_header(RRM& registry, JsonWriter& reply) const;
    // The reply's text in a malloc'd copy.
    static char* finish_reply(const JsonWriter& reply);
    // Runs a query on a domain worker inside its lock; the domain query
    // proper.
    void process_rrm_domain_query(RrmWorker& worker, const JsonReader& command,
                                  const std::string& domain, JsonWriter& reply);
    // A domain query that asks for the domain's status ("details").
    static bool is_status_query(const JsonReader& command);

    std::atomic<bool> running{false};
    std::atomic<bool> stop_request{false};
    RRM* registry;
};

}  // namespace rrm
