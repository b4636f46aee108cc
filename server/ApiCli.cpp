#include "ApiCli.h"

#include "AppLog.h"
#include "Config.h"
#include "JsonReader.h"
#include "RRM.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kErrorReply[] = "{\"status\":\"error\"}";

}  // namespace

ApiCli::ApiCli(rrm::RRM* registry_, VrrpWorker* vrrp_) : registry(registry_), vrrp(vrrp_)
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
    if (::listen(fd, 10) != 0) {
        APP_LOG(Error) << "listen: " << std::strerror(errno);
        ::close(fd);
        return;
    }
    poll_fds.push_back(pollfd{fd, POLLIN, 0});
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
        if (::poll(poll_fds.data(), poll_fds.size(), kPollTimeoutMs) < 0) {
            APP_LOG(Error) << "select: " << std::strerror(errno);
            continue;
        }
        for (size_t i = 0; i < poll_fds.size(); ++i) {
            if (!(poll_fds[i].revents & (POLLIN | POLLRDNORM)))
                continue;
            if (i == 0) {
                const int fd = accept_connection(poll_fds[0].fd);
                if (fd > 0) {
                    poll_fds.push_back(pollfd{fd, POLLIN, 0});
                    break;
                }
                continue;
            }
            if (!process_packet(poll_fds[i].fd)) {
                ::close(poll_fds[i].fd);
                poll_fds.erase(poll_fds.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }
}

int ApiCli::accept_connection(int listen_fd)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        APP_LOG(Error) << "accept: " << std::strerror(errno);
        return -1;
    }
    return fd;
}

bool ApiCli::process_packet(int fd)
{
    char buffer[kMaxRequest + 1];
    std::memset(buffer, 0, sizeof buffer);
    const ssize_t got = ::recv(fd, buffer, kMaxRequest, MSG_DONTWAIT);
    if (got == 0)
        return false;
    if (got < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return true;
        APP_LOG(Error) << "recv: " << std::strerror(errno);
        return false;
    }

    rrm::JsonReader request(buffer);
    APP_LOG(Debug) << "REQUEST STR: " << request.to_string();
    char* reply = dispatch(request);
    if (reply) {
        ::send(fd, reply, std::strlen(reply), MSG_NOSIGNAL);
        std::free(reply);
    } else {
        ::send(fd, kErrorReply, sizeof kErrorReply - 1, MSG_NOSIGNAL);
    }
    return false;
}

char* ApiCli::dispatch(const rrm::JsonReader&)
{
    // The command processor comes with the management commands; until then
    // no handler answers and every request gets the error reply.
    return nullptr;
}
