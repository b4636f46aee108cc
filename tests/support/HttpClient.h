#pragma once
// HTTP for the web API tests, two ways: raw connections to 127.0.0.1 that
// send exactly the bytes a test gives (pipelined requests, partial heads,
// bodies in pieces) and read one response at a time, and curl run as a
// child process, as an operator would use it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct HttpResponse {
    int status = 0;  // 0: no complete response
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& name) const
    {
        auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

// Parses the head at the start of `text` (up to the blank line): the status
// and the headers. Returns the offset of the body, or npos when the head is
// not complete.
inline size_t parse_http_head(const std::string& text, HttpResponse& response)
{
    const size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos)
        return std::string::npos;
    response.headers.clear();
    const size_t line_end = text.find("\r\n");
    const std::string status_line = text.substr(0, line_end);
    const size_t space = status_line.find(' ');
    response.status =
        space == std::string::npos ? 0 : std::atoi(status_line.c_str() + space + 1);
    size_t at = line_end + 2;
    while (at < end) {
        const size_t next = text.find("\r\n", at);
        const std::string line = text.substr(at, next - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            size_t value = colon + 1;
            while (value < line.size() && line[value] == ' ')
                ++value;
            response.headers[name] = line.substr(value);
        }
        at = next + 2;
    }
    return end + 4;
}

// curl's output with -i: the first response's head and everything after it
// as the body.
inline HttpResponse parse_http_text(const std::string& text)
{
    HttpResponse response;
    const size_t body = parse_http_head(text, response);
    if (body == std::string::npos)
        return HttpResponse();
    response.body = text.substr(body);
    return response;
}

class HttpConnection {
public:
    // Connects to 127.0.0.1:port; `rcvbuf` above 0 shrinks the receive
    // buffer first (a peer that reads slowly, or not at all).
    explicit HttpConnection(int port, int rcvbuf = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return;
        if (rcvbuf > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        timeval tv{30, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~HttpConnection()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Sends all of `bytes`; false when the peer took only part of them
    // (closed or reset). `sent` gets how much it took.
    bool send(const std::string& bytes, size_t* sent = nullptr)
    {
        size_t done = 0;
        while (fd_ >= 0 && done < bytes.size()) {
            const ssize_t n =
                ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        if (sent)
            *sent = done;
        return fd_ >= 0 && done == bytes.size();
    }

    // Reads one response: its head, then Content-Length bytes of body (all
    // until the close when it has none). Status 0 when the connection closed,
    // or the timeout passed, before it was complete.
    HttpResponse read_response(std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        HttpResponse response;
        size_t body = std::string::npos;
        for (;;) {
            if (body == std::string::npos)
                body = parse_http_head(pending_, response);
            if (body != std::string::npos) {
                const std::string length = response.header("content-length");
                if (!length.empty()) {
                    const size_t n = static_cast<size_t>(std::atoll(length.c_str()));
                    if (pending_.size() >= body + n) {
                        response.body = pending_.substr(body, n);
                        pending_.erase(0, body + n);
                        return response;
                    }
                }
            }
            const int got = read_some(end);
            if (got > 0)
                continue;
            if (got == 0 && body != std::string::npos &&
                response.header("content-length").empty()) {
                response.body = pending_.substr(body);
                pending_.clear();
                return response;
            }
            return HttpResponse();
        }
    }

    // True when the server closes the connection within the timeout;
    // whatever it sends before is dropped.
    bool wait_closed(std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const int got = read_some(end);
            if (got == 0)
                return true;
            if (got < 0)
                return closed_by_error_;
        }
    }

private:
    // Reads what is there; 1 for some bytes, 0 for the peer's close (or a
    // reset), -1 for the deadline.
    int read_some(std::chrono::steady_clock::time_point end)
    {
        closed_by_error_ = false;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || fd_ < 0)
                return -1;
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return -1;
            char buffer[65536];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                pending_.append(buffer, static_cast<size_t>(n));
                return 1;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                closed_by_error_ = true;
            return 0;
        }
    }

    int fd_ = -1;
    std::string pending_;
    bool closed_by_error_ = false;
};

struct ProgramResult {
    int exit_code = -1;  // exit status; -1 when it did not end normally
    std::string out;     // standard output
    std::string err;     // standard error
};

// Runs a program (found on PATH, no shell) with these arguments and collects
// its output. The program keeps its own time limit; this waits for it.
inline ProgramResult run_program(const std::vector<std::string>& argv_text)
{
    ProgramResult result;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    std::vector<char*> argv;
    for (auto& a : argv_text)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
                continue;
            }
            ::close(fds[i].fd);
            fds[i].fd = -1;
            --open;
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            ::close(f.fd);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    return result;
}

inline ProgramResult run_curl(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"curl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

}  // namespace testsupport
