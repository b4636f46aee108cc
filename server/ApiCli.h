#pragma once
// The management JSON API over plain TCP: one listening socket on every
// IPv4 address of the host, one request and one reply per connection, then
// the server closes. Serves on the CLI API thread (run); stop may be called
// from any thread.
//
// Every socket is non-blocking and the thread never waits for one peer: a
// reply that does not fit the socket at once is sent as the peer takes it,
// between the other connections' requests, and given up after
// kSendTimeoutMs; a connection that sends no request within
// kRequestTimeoutMs is closed.
//
// No peer can keep others out: one address may hold kMaxPerAddress of the
// kMaxConnections slots, and kPluginSlots of them are kept for 127.0.0.1,
// the address the plug-in connects from (which may use every slot). A
// connection beyond its address's share is closed as soon as it is
// accepted.

#include "Api.h"

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace rrm {
class JsonReader;
class RRM;
}  // namespace rrm
class VrrpWorker;

class ApiCli : public rrm::Api {
public:
    // Largest request read from a connection, in bytes.
    static constexpr int kMaxRequest = 4095;
    // Connections the kernel may hold for the loop before it accepts them;
    // enough for a burst of a few hundred clients, whose connections would
    // otherwise be dropped and retried by the kernel for seconds.
    static constexpr int kListenBacklog = 256;
    // How long one poll waits; bounds how late run notices stop.
    static constexpr int kPollTimeoutMs = 1000;
    // A connection that has sent no request this long after it was accepted
    // is closed without a reply. A real client sends its request as soon as
    // it has connected (the request is read with one receive); this leaves
    // room for a client that a loaded machine holds up between the two.
    static constexpr int kRequestTimeoutMs = 2000;
    // A reply that its peer has not taken whole this long after it was
    // ready is given up and the connection closed.
    static constexpr int kSendTimeoutMs = 30000;
    // Connections open at once; more wait in the listening socket's backlog
    // until one is answered or times out, so that a flood of connections
    // cannot take the descriptors the rest of the server needs.
    static constexpr size_t kMaxConnections = 32;
    // Connections one peer address may hold at once; 127.0.0.1 is bound
    // only by kMaxConnections.
    static constexpr size_t kMaxPerAddress = 4;
    // Slots that only 127.0.0.1 may take: all other addresses together hold
    // at most kMaxConnections - kPluginSlots.
    static constexpr size_t kPluginSlots = 8;
    // After a reply to a request longer than kMaxRequest, what the peer
    // still sends is read (and thrown away) for at most this long before
    // the connection is closed, so that the close does not reset the
    // connection before the peer has read the reply.
    static constexpr int kDrainTimeoutMs = 1000;
    // Least milliseconds between two Warnings about refused connections.
    static constexpr int kRefusalReportMs = 10000;
    // How long accepting pauses after accept() failed for want of
    // descriptors or memory.
    static constexpr int kAcceptPauseMs = 1000;

    // Listens at once on the server section's cli_api_port. A port that
    // cannot be bound or listened on is logged and leaves the API not
    // running; nothing is thrown for it.
    ApiCli(rrm::RRM* registry, VrrpWorker* vrrp);
    ~ApiCli() override;
    ApiCli(const ApiCli&) = delete;
    ApiCli& operator=(const ApiCli&) = delete;

    // Opens the listening socket; called once, by the constructor.
    void connect() override;
    // Clears the running flag; run returns within one poll wait.
    void stop() override;
    // The poll loop; returns at once when the API is not running.
    void run() override;

    // The port actually listened on (0 when not listening).
    int port() const { return listen_port; }

protected:
    // What the loop knows of one client connection.
    struct Connection {
        // CLOCK_MONOTONIC milliseconds by which the request, or else the
        // rest of the reply, must have gone through.
        int64_t deadline_ms = 0;
        // The reply being sent, and how much of it the peer has taken.
        std::string reply;
        size_t sent = 0;
        bool replying = false;
        // The request was longer than kMaxRequest: after the reply, what
        // the peer still sends is read until it closes (draining).
        bool cut = false;
        bool draining = false;
        // The peer's IPv4 address, in host order.
        uint32_t peer = 0;
    };

    // Whether a connection from `peer` may take a slot now; false when its
    // address (or all addresses but 127.0.0.1) already hold their share.
    bool admits(uint32_t peer) const;
    void report_refusal(uint32_t peer);

    // Accepts one connection on the listening socket; -1 when none was
    // accepted (a failure is logged once per streak). `peer` is the peer's
    // IPv4 address in host order.
    int accept_connection(int listen_fd, uint32_t& peer);
    // Reads, dispatches and starts answering one request; true when the
    // connection stays open (nothing could be read yet, or the reply is not
    // all sent), false when it is to be closed.
    bool process_packet(int fd, Connection& connection);
    // Sends what the socket takes of the pending reply; true while some of
    // it is left, or while the rest of a cut request is to be read.
    bool send_reply(int fd, Connection& connection);
    // Reads and drops what the peer of a cut request still sends; true
    // until it closes.
    bool drain(int fd);
    // Answers one parsed request: a reply text allocated with malloc, or null
    // when no handler answers it.
    virtual char* dispatch(const rrm::JsonReader& request);
    // A "vrrp" request with "role" goes to the VRRP worker.
    char* process_vrrp_role_request(const std::string& text) override;

    VrrpWorker* vrrp;
    int request_timeout_ms = kRequestTimeoutMs;
    int send_timeout_ms = kSendTimeoutMs;
    // Entry 0 is the listening socket, then one entry per open connection,
    // in the order accepted; `connections` runs parallel from entry 1 on.
    std::vector<pollfd> poll_fds;
    std::vector<Connection> connections;
    int listen_port = 0;
    // Failed accepts and polls in the current streak, and when (CLOCK_MONOTONIC
    // milliseconds) accepting resumes.
    uint64_t accept_failures = 0;
    uint64_t poll_failures = 0;
    int64_t accept_resume_ms = 0;
    // Connections refused since the last Warning, and when it was written.
    uint64_t refused = 0;
    int64_t refusal_reported_ms = 0;
};
