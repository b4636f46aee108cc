#pragma once
// A server configuration for one test: free loopback ports and every path
// (reports, VRRP backups and state file, web files) inside a temporary
// folder, so tests never meet each other or the machine's own settings.

#include "LogFolder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <stdexcept>
#include <string>

namespace testsupport {

// A loopback port that was free a moment ago, kept bound (so the next call
// gets another one) until the returned descriptor is closed.
//
// The port is taken below the kernel's range of ephemeral ports
// (/proc/sys/net/ipv4/ip_local_port_range, 32768 up by default): in that
// range the many short client connections of parallel tests may take the
// port before the program under test binds it, and a connect to a port in it
// that nothing listens on may connect the socket to itself, which looks like
// a listening server.
inline int bind_free_port(int& port)
{
    constexpr int kFirst = 20000, kCount = 12000;  // 20000 to 31999
    static std::atomic<unsigned> next{static_cast<unsigned>(::getpid()) * 7919u};
    for (int attempt = 0; attempt < kCount; ++attempt) {
        const int candidate = kFirst + static_cast<int>(next.fetch_add(1) % kCount);
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            throw std::runtime_error("socket failed");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(candidate));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            port = candidate;
            return fd;
        }
        ::close(fd);
    }
    throw std::runtime_error("no free loopback port below the ephemeral range");
}

inline int free_port()
{
    int port = 0;
    ::close(bind_free_port(port));
    return port;
}

// True when something accepts TCP connections on 127.0.0.1:port.
inline bool port_open(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// Writes a file whole (created or truncated).
inline void put_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

class TestConfig {
public:
    // Three different free loopback ports.
    TestConfig()
    {
        const int a = bind_free_port(api_port);
        const int b = bind_free_port(cli_port);
        const int c = bind_free_port(listen_port);
        ::close(a);
        ::close(b);
        ::close(c);
    }

    const LogFolder& work() const { return work_; }

    // Ports and paths inside work() for one run; the configuration file is
    // written by write_config.
    int api_port = 0;
    int cli_port = 0;
    int listen_port = 0;
    std::string reports_path() const { return work_ / "reports"; }
    std::string backup_path() const { return work_ / "backup"; }
    std::string state_file() const { return work_ / "keep.mode"; }
    std::string www_path() const { return work_ / "www"; }
    std::string config_path() const { return work_ / "wendara.conf"; }

    // The text of a configuration with this run's ports and paths; `global`
    // adds members to (or, given later, overrides) the server section, and
    // `rest` follows the four sections.
    std::string config_text(const std::string& global = "", const std::string& rest = "") const
    {
        std::string text = "{\"version\":\"2.1\",\"global\":{";
        text += "\"api_port\":" + std::to_string(api_port);
        text += ",\"cli_api_port\":" + std::to_string(cli_port);
        text += ",\"listen_port\":" + std::to_string(listen_port);
        text += ",\"reports_path\":\"" + reports_path() + "\"";
        text += ",\"www_path\":\"" + www_path() + "\"";
        text += ",\"vrrp_backup_path\":\"" + backup_path() + "\"";
        text += ",\"vrrp_state_file\":\"" + state_file() + "\"";
        if (!global.empty())
            text += "," + global;
        text += "},\"common\":{},\"domains\":[],\"patterns\":[]";
        if (!rest.empty())
            text += "," + rest;
        return text + "}";
    }
    std::string write_config(const std::string& global = "", const std::string& rest = "") const
    {
        ::mkdir(reports_path().c_str(), 0755);
        ::mkdir(www_path().c_str(), 0755);
        return work_.write("wendara.conf", config_text(global, rest));
    }

protected:
    LogFolder work_;
};

}  // namespace testsupport
