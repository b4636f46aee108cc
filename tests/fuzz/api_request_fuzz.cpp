// One management request per input, as a TCP or web client sends it, through
// the command processor of a registry whose configuration file lives in a
// temporary folder. After each request:
//   - a reply that is due ("rrm", "vrrp" queries) exists and every reply is
//     a JSON object;
//   - a refused or failed command left the file byte for byte as it was;
//   - the file parses, and a configuration read from it is the one in
//     memory (a restart would run what the operator was told).
// Domain workers restored from a backup give the queries live APs to look
// at; every so often (and whenever a command took the state somewhere the
// harness does not want it: paths outside the folder, the backup role, no
// domains left) the known configuration and workers are put back.
//
// The registry never opens the AP port: its WebSocket and ping workers are
// dropped, so a fuzzed port number binds nothing on the machine.

#include "Api.h"
#include "Config.h"
#include "DomainBackup.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "RRM.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "")
{
    std::fprintf(stderr, "api_request_fuzz: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// Formats every record (a bad format shows up under the sanitizers) and
// drops it.
void quiet_log(const char*, int, const char*, int, const char* fmt, va_list args)
{
    char buffer[512];
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string config_text(const rrm::GlobalConfig& config)
{
    rrm::JsonWriter root("2.1");
    config.to_json(root);
    return root.to_string();
}

// The names byte for byte (a NUL inside included) and what the file does
// not carry (the time zone offsets), besides the file's text.
std::string config_state(const rrm::GlobalConfig& config)
{
    std::string state = config_text(config);
    config.for_each_pattern([&](const std::string& name, const rrm::DomainConfig&) {
        state += "\npattern " + std::to_string(name.size()) + ":" + name;
    });
    config.for_each_domain_info([&](const std::string& name, const rrm::DomainInfo& info) {
        state += "\ndomain " + std::to_string(name.size()) + ":" + name + " " +
                 std::to_string(info.pattern.size()) + ":" + info.pattern + " " +
                 std::to_string(info.time_zone.size()) + ":" + info.time_zone + " " +
                 std::to_string(info.time_zone_offset);
    });
    return state;
}

class FuzzRegistry : public rrm::RRM {
public:
    explicit FuzzRegistry(rrm::GlobalConfig* config) : RRM(config)
    {
        websock_worker.reset();
        ping_worker.reset();
    }
    ~FuzzRegistry() override { stop(); }
    void become_master() { vrrp_role = 1; }
};

// The VRRP worker's part is played by the processor itself: the role
// request reaches process_vrrp_command as the worker would hand it on.
class FuzzApi : public rrm::Api {
public:
    using rrm::Api::Api;
    void connect() override {}
    void run() override {}

protected:
    char* process_vrrp_role_request(const std::string& text) override
    {
        const rrm::JsonReader command(text.c_str());
        return process_vrrp_command(*registry, command);
    }
};

struct Harness {
    std::string folder;
    std::string config_path;
    std::string reports_path;
    std::string backup_path;
    std::string known_config;  // the configuration put back at a reset
    std::string backups;       // the domains restored at a reset
    std::unique_ptr<rrm::GlobalConfig> config;
    std::unique_ptr<FuzzRegistry> registry;
    std::unique_ptr<FuzzApi> api;
    unsigned inputs = 0;

    // The stored reports of d1 and d2 (d2 has no worker): two runs, the
    // second with two radios, in the reports folder.
    void write_reports()
    {
        const char* row = "1,1,1,1,25,-70,-70,2,2,0,120,-75,-65,30,5,20,0,1,15,20,2,0,1,93,1";
        for (const char* domain : {"d1", "d2"}) {
            const std::string r = reports_path + "/report_";
            write_file(r + domain + ".txt",
                       "1.1,2024-03-04,09:00:00,02:00:00:00:01:00,02:00:00:00:01:00,"
                       "10,10,6,6,1,20,18,3,0,1 6 11,13,13,6,21,3,0\n"
                       "1.1,2024-03-05,14:07:09,02:00:00:00:01:00,02:00:00:00:01:00,"
                       "10,12,6,1,1,20,18,3,0,1 6 11,13,15,6,21,3,0\n"
                       "1.1,2024-03-05,14:07:09,02:00:00:00:02:00,02:00:00:00:02:10,"
                       "17,14,36,44,0,80,20,5,256,36 40 44 48,23,20,5,30,3,1\n");
            write_file(r + "cfg_" + domain + ".txt", std::string("1.1,2024-03-04,09:00:00,") +
                                                         row + "\n1.1,2024-03-05,14:07:09," +
                                                         row + "\n");
            write_file(r + "idx_" + domain + ".txt",
                       "1.1,2024-03-04,09:00:00\n1.1,2024-03-05,14:07:09\n");
        }
    }

    void reset()
    {
        registry->stop();
        write_reports();
        config->load(rrm::JsonReader(known_config.c_str()));
        config->save();
        registry->become_master();
        registry->start(true);
        registry->restore_domains(std::make_shared<std::string>(backups));
    }

    bool needs_reset()
    {
        const rrm::ServerSettings server = config->server();
        if (server.reports_path != reports_path || server.vrrp_backup_path != backup_path)
            return true;
        if (registry->get_vrrp_role() != 1 || registry->worker_count() == 0)
            return true;
        bool any_domain = false;
        config->for_each_domain_pattern(
            [&](const std::string&, const std::string&) { any_domain = true; });
        return !any_domain || ++inputs % 512 == 0;
    }

    // The file holds what the configuration holds, and reads back into it.
    void check_file()
    {
        const std::string text = read_file(config_path);
        const rrm::JsonReader parsed(text.c_str());
        if (!parsed.is_object())
            fail("configuration file does not parse", text);
        const std::string copy = folder + "/reread.conf";
        write_file(copy, text);
        const rrm::GlobalConfig reread(copy);
        const std::string live = config_state(*config);
        const std::string again = config_state(reread);
        if (live != again)
            fail("configuration file does not read back as the running one",
                 "--- running\n" + live + "\n--- read back\n" + again);
    }
};

Harness* harness = nullptr;

void remove_folder()
{
    if (!harness)
        return;
    harness->api.reset();
    harness->registry.reset();
    harness->config.reset();
    nftw(
        harness->folder.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) {
            ::remove(p);
            return 0;
        },
        64, FTW_DEPTH | FTW_PHYS);
    delete harness;
    harness = nullptr;
}

std::string make_folder()
{
    // Every command saves the file with fsync: a memory file system keeps
    // that cheap.
    struct stat st {};
    const std::string base = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/wendara-api-fuzz-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        fail("mkdtemp failed");
    return tmpl;
}

std::string domain_backups()
{
    using testsupport::backup_ap;
    using testsupport::backup_list;
    testsupport::BackupAp a1 = backup_ap(1);
    a1.radios[0].vaps[0].links = {{"R0-2", "02:00:00:00:02:00", "KEY2aaaaaaaaaaaa"}};
    a1.heard = {{"02:00:00:00:02:00", -58, 6, 2}};
    testsupport::BackupAp a2 = backup_ap(2);
    a2.radios[0].vaps[0].links = {{"R0-1", "02:00:00:00:01:00", "KEY1aaaaaaaaaaaa"}};
    a2.heard = {{"02:00:00:00:01:00", -61, 6, 2}};
    const testsupport::BackupAp a3 = backup_ap(3);
    return "[{\"name\":\"d1\",\"rrm-status\":1,\"fbt-status\":1," +
           backup_list("aps", {a1.json(), a2.json()}) + "},{\"name\":\"d3\",\"rrm-status\":0," +
           backup_list("deleted-aps", {a3.json()}) + "}]";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    rrm::set_log_handler(&quiet_log);
    harness = new Harness;
    harness->folder = make_folder();
    harness->config_path = harness->folder + "/wendara.conf";
    harness->reports_path = harness->folder + "/reports";
    harness->backup_path = harness->folder + "/backup";
    ::mkdir(harness->reports_path.c_str(), 0755);
    ::mkdir(harness->backup_path.c_str(), 0755);
    const std::string& f = harness->folder;
    write_file(harness->config_path,
               "{\"version\":\"2.1\",\"global\":{\"api_port\":0,\"cli_api_port\":0,"
               "\"listen_port\":0,\"reports_path\":\"" + harness->reports_path +
                   "\",\"www_path\":\"" + f + "/www\",\"vrrp_backup_path\":\"" +
                   harness->backup_path + "\",\"vrrp_state_file\":\"" + f +
                   "/keep.mode\"},\"common\":{},"
                   "\"patterns\":[{\"pattern\":\"office\",\"dca_threshold\":25},"
                   "{\"pattern\":\"lab\",\"use_802dot11r\":1}],"
                   "\"domains\":[{\"domain\":\"d1\",\"pattern\":\"office\"},"
                   "{\"domain\":\"d2\",\"pattern\":\"lab\",\"time_zone\":\"+03:00\"},"
                   "{\"domain\":\"d3\",\"pattern\":\"common\",\"time_zone\":\"-05:30\"}]}");
    harness->config = std::make_unique<rrm::GlobalConfig>(harness->config_path);
    harness->known_config = config_text(*harness->config);
    harness->backups = domain_backups();
    harness->registry = std::make_unique<FuzzRegistry>(harness->config.get());
    harness->api = std::make_unique<FuzzApi>(harness->registry.get());
    harness->reset();
    harness->check_file();
    std::atexit(remove_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Harness& h = *harness;
    if (h.needs_reset())
        h.reset();

    // Both front ends hand the parser a NUL-terminated text.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string before = read_file(h.config_path);
    char* reply = nullptr;
    bool failed = false;
    const rrm::JsonReader request(text.c_str());
    try {
        reply = h.api->process_request(request);
    } catch (const std::exception&) {
        // The front ends log it and answer with an error.
        failed = true;
    }

    const bool is_cfg = request.has("cfg");
    const bool due = !is_cfg && !failed && (request.has("rrm") || request.has("vrrp"));
    if (due && reply == nullptr)
        fail("no reply to a query", text);
    if (reply) {
        const rrm::JsonReader parsed(reply);
        if (!parsed.is_object())
            fail("reply is not a JSON object", reply);
        std::free(reply);
    }
    if (reply == nullptr || failed) {
        if (read_file(h.config_path) != before)
            fail("a refused command changed the configuration file", text);
    }
    if (is_cfg || read_file(h.config_path) != before)
        h.check_file();
    return 0;
}
