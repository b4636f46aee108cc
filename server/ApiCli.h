#pragma once
// The management JSON API over plain TCP: one listening socket on every
// IPv4 address of the host, one request and one reply per connection, then
// the server closes. Serves on the CLI API thread (run); stop may be called
// from any thread.

#include <poll.h>

#include <atomic>
#include <vector>

namespace rrm {
class JsonReader;
class RRM;
}  // namespace rrm
class VrrpWorker;

class ApiCli {
public:
    // Largest request read from a connection, in bytes.
    static constexpr int kMaxRequest = 4095;
    // How long one poll waits; bounds how late run notices stop.
    static constexpr int kPollTimeoutMs = 1000;

    // Listens at once on the server section's cli_api_port. A port that
    // cannot be bound or listened on is logged and leaves the API not
    // running; nothing is thrown for it.
    ApiCli(rrm::RRM* registry, VrrpWorker* vrrp);
    virtual ~ApiCli();
    ApiCli(const ApiCli&) = delete;
    ApiCli& operator=(const ApiCli&) = delete;

    // Opens the listening socket; called once, by the constructor.
    virtual void connect();
    // Clears the running flag; run returns within one poll wait.
    virtual void stop();
    // The poll loop; returns at once when the API is not running.
    virtual void run();

    bool is_running() const { return running.load(); }
    // The port actually listened on (0 when not listening).
    int port() const { return listen_port; }

protected:
    // Accepts one connection on the listening socket; -1 after logging.
    int accept_connection(int listen_fd);
    // Reads, dispatches and answers one request; true when the connection
    // stays open (nothing could be read yet), false when it is to be closed.
    bool process_packet(int fd);
    // Answers one parsed request: a reply text allocated with malloc, or null
    // when no handler answers it.
    virtual char* dispatch(const rrm::JsonReader& request);

    std::atomic<bool> running{false};
    std::atomic<bool> stop_request{false};
    rrm::RRM* registry;
    VrrpWorker* vrrp;
    std::vector<pollfd> poll_fds;
    int listen_port = 0;
};
