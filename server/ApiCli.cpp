#include "ApiCli.h"

#include "AppLog.h"
#include "Config.h"
#include "JsonReader.h"
#include "RRM.h"
#include "VrrpWorker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

namespace {

constexpr char kErrorReply[] = "{\"status\":\"error\"}";

int64_t monotonic_ms()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct FreeReply {
    void operator()(char* text) const { std::free(text); }
};

}  // namespace

ApiCli::ApiCli(rrm::RRM* registry_, VrrpWorker* vrrp_) : rrm::Api(registry_), vrrp(vrrp_)
{
    connect();
}

ApiCli::~ApiCli()
{
    for (const pollfd& entry : poll_fds)
        if (entry.fd > 0)
            ::close(entry.fd);
}

void ApiCli::connect()
{
    const int port = registry->get_config()->server().cli_api_port;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        APP_LOG(Error) << "bind: " << std::strerror(errno);
        return;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        APP_LOG(Error) << "bind: " << std::strerror(errno);
        ::close(fd);
        return;
    }
    if (::listen(fd, kListenBacklog) != 0) {
        APP_LOG(Error) << "listen: " << std::strerror(errno);
        ::close(fd);
        return;
    }
    poll_fds.push_back(pollfd{fd, POLLIN, 0});
    connections.emplace_back();
    listen_port = port;
    running.store(true);
}

void ApiCli::stop()
{
    running.store(false);
}

void ApiCli::run()
{
    while (running.load() && !stop_request.load()) {
        // The listening socket is looked at only while connections may be
        // taken: at the descriptor limit a readable listening socket would
        // otherwise wake the loop at once, again and again.
        const int64_t before = monotonic_ms();
        const bool accepting =
            before >= accept_resume_ms && poll_fds.size() - 1 < kMaxConnections;
        poll_fds[0].events = accepting ? POLLIN : 0;
        int timeout = kPollTimeoutMs;
        if (before < accept_resume_ms)
            timeout = static_cast<int>(std::min<int64_t>(timeout, accept_resume_ms - before + 1));
        if (::poll(poll_fds.data(), poll_fds.size(), timeout) < 0) {
            const int error = errno;
            if (error != EINTR) {
                // Once per streak, and not in a tight loop.
                if (poll_failures++ == 0)
                    APP_LOG(Error) << "select: " << std::strerror(error);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            continue;
        }
        poll_failures = 0;
        const int64_t now = monotonic_ms();
        // Entries accepted during this walk are polled from the next pass.
        const size_t count = poll_fds.size();
        std::vector<size_t> closing;
        for (size_t i = 0; i < count; ++i) {
            const short events = poll_fds[i].revents;
            if (i == 0) {
                if (events & (POLLIN | POLLRDNORM)) {
                    uint32_t peer = 0;
                    const int fd = accept_connection(poll_fds[0].fd, peer);
                    if (fd > 0 && !admits(peer)) {
                        ::close(fd);
                        report_refusal(peer);
                    } else if (fd > 0) {
                        poll_fds.push_back(pollfd{fd, POLLIN, 0});
                        Connection connection;
                        connection.deadline_ms = now + request_timeout_ms;
                        connection.peer = peer;
                        connections.push_back(std::move(connection));
                    }
                }
                continue;
            }
            Connection& connection = connections[i];
            const int fd = poll_fds[i].fd;
            bool keep = true;
            if (connection.draining) {
                if (events != 0)
                    keep = drain(fd);
                if (keep && now >= connection.deadline_ms)
                    keep = false;
            } else if (connection.replying) {
                if (events != 0)
                    keep = send_reply(fd, connection);
                if (keep && !connection.draining && now >= connection.deadline_ms) {
                    APP_LOG(Warning) << "Reply of " << connection.reply.size()
                                     << " bytes not taken by its peer within "
                                     << send_timeout_ms << " ms: " << connection.sent
                                     << " bytes sent";
                    keep = false;
                }
            } else {
                // A peer that closed or failed shows as readable too.
                if (events & (POLLIN | POLLRDNORM | POLLERR | POLLHUP | POLLNVAL))
                    keep = process_packet(fd, connection);
                if (keep && !connection.replying && now >= connection.deadline_ms) {
                    APP_LOG(Debug) << "No request within " << request_timeout_ms
                                   << " ms: connection closed";
                    keep = false;
                }
            }
            if (keep)
                poll_fds[i].events = connection.replying && !connection.draining ? POLLOUT : POLLIN;
            else
                closing.push_back(i);
        }
        for (auto it = closing.rbegin(); it != closing.rend(); ++it) {
            ::close(poll_fds[*it].fd);
            poll_fds.erase(poll_fds.begin() + static_cast<std::ptrdiff_t>(*it));
            connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(*it));
        }
    }
}

bool ApiCli::admits(uint32_t peer) const
{
    if (peer == INADDR_LOOPBACK)
        return true;
    size_t same = 0;
    size_t others = 0;
    for (size_t i = 1; i < connections.size(); ++i) {
        if (connections[i].peer == INADDR_LOOPBACK)
            continue;
        ++others;
        if (connections[i].peer == peer)
            ++same;
    }
    return same < kMaxPerAddress && others < kMaxConnections - kPluginSlots;
}

void ApiCli::report_refusal(uint32_t peer)
{
    // A flood of connections is refused as fast as it comes: one record
    // now and then says how many.
    ++refused;
    const int64_t now = monotonic_ms();
    if (refusal_reported_ms != 0 && now - refusal_reported_ms < kRefusalReportMs)
        return;
    in_addr address{};
    address.s_addr = htonl(peer);
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    APP_LOG(Warning) << "TCP API: " << refused
                     << " connections refused since the last such record, the latest from " << text
                     << ": one address may hold " << kMaxPerAddress
                     << " connections, and other addresses than 127.0.0.1 "
                     << kMaxConnections - kPluginSlots << " together";
    refused = 0;
    refusal_reported_ms = now;
}

int ApiCli::accept_connection(int listen_fd, uint32_t& peer_address)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    peer_address = ntohl(peer.sin_addr.s_addr);
    if (fd < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED)
            return -1;
        // One record per streak: the same failure repeats for as long as
        // the process lacks descriptors.
        if (accept_failures++ == 0)
            APP_LOG(Error) << "accept: " << std::strerror(error);
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)
            accept_resume_ms = monotonic_ms() + kAcceptPauseMs;
        return -1;
    }
    if (accept_failures > 0) {
        APP_LOG(Info) << "accept: working again after " << accept_failures << " failures";
        accept_failures = 0;
    }
    return fd;
}

bool ApiCli::process_packet(int fd, Connection& connection)
{
    // One byte more than a request may have tells a request that is too
    // long from one that just fits.
    char buffer[kMaxRequest + 2];
    std::memset(buffer, 0, sizeof buffer);
    const ssize_t got = ::recv(fd, buffer, kMaxRequest + 1, MSG_DONTWAIT);
    if (got == 0)
        return false;
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return true;
        APP_LOG(Error) << "recv: " << std::strerror(errno);
        return false;
    }

    std::unique_ptr<char, FreeReply> reply;
    try {
        if (got > kMaxRequest) {
            // Whatever its first part says, it is not a request of this API;
            // the rest is read after the reply (see drain).
            connection.cut = true;
            APP_LOG(Debug) << "REQUEST STR: null";
        } else {
            rrm::JsonReader request(buffer);
            APP_LOG(Debug) << "REQUEST STR: " << request.to_string();
            reply.reset(dispatch(request));
        }
    } catch (const std::exception& e) {
        APP_LOG(Error) << "Exception at processing request: " << e.what();
        return false;
    } catch (...) {
        APP_LOG(Error) << "Exception at processing request: unknown exception";
        return false;
    }
    if (reply)
        connection.reply.assign(reply.get());
    else
        connection.reply.assign(kErrorReply, sizeof kErrorReply - 1);
    reply.reset();
    connection.sent = 0;
    connection.replying = true;
    connection.deadline_ms = monotonic_ms() + send_timeout_ms;
    return send_reply(fd, connection);
}

bool ApiCli::send_reply(int fd, Connection& connection)
{
    while (connection.sent < connection.reply.size()) {
        const ssize_t n = ::send(fd, connection.reply.data() + connection.sent,
                                 connection.reply.size() - connection.sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            connection.sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        // The peer is gone: the rest of the reply is lost.
        return false;
    }
    if (!connection.cut)
        return false;
    // Closing with unread input would reset the connection, and the peer
    // could lose the reply: tell it the reply is complete, then read what
    // it still sends until it closes.
    ::shutdown(fd, SHUT_WR);
    connection.draining = true;
    connection.deadline_ms = monotonic_ms() + kDrainTimeoutMs;
    return true;
}

bool ApiCli::drain(int fd)
{
    char scratch[65536];
    // A bounded share of the loop per pass, however fast the peer sends.
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

char* ApiCli::dispatch(const rrm::JsonReader& request)
{
    return process_request(request);
}

char* ApiCli::process_vrrp_role_request(const std::string& text)
{
    return vrrp ? vrrp->process_request(text) : nullptr;
}
