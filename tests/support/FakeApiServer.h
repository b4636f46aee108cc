#pragma once
// A small stand-in for the server's TCP management API on 127.0.0.1, for
// testing its clients: it records the exact text of every request and answers
// each connection as the test told it to (a reply written by the test, a
// close without a word, or no answer at all while the connection is held
// open). Without instructions it answers {"status":"error"}, as the server
// does to a request it cannot handle.
//
// A request ends where its JSON object ends (or when the peer stops
// sending), so requests that arrive in several pieces are recorded whole.

#include "TestConfig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class FakeApiServer {
public:
    enum class Action {
        Reply,         // send the text, then close
        Close,         // close at once after the request, without a reply
        Hold,          // read the request, then neither answer nor close
        CloseUnread,   // close right after accepting, without reading
    };

    FakeApiServer()
    {
        listen_fd_ = bind_free_port(port_);
        if (::listen(listen_fd_, 16) != 0)
            throw std::runtime_error("listen failed");
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeApiServer()
    {
        stop_ = true;
        thread_.join();
        for (int fd : held_)
            ::close(fd);
        ::close(listen_fd_);
    }
    FakeApiServer(const FakeApiServer&) = delete;
    FakeApiServer& operator=(const FakeApiServer&) = delete;

    int port() const { return port_; }

    // What the next connections get, one instruction per connection in order.
    void reply(const std::string& text) { push({Action::Reply, text}); }
    void close_without_reply() { push({Action::Close, ""}); }
    void hold() { push({Action::Hold, ""}); }
    void close_unread() { push({Action::CloseUnread, ""}); }

    // Every request text received so far, in order.
    std::vector<std::string> requests() const
    {
        std::lock_guard<std::mutex> held(mutex_);
        return requests_;
    }
    int connections() const { return connections_.load(); }

private:
    struct Instruction {
        Action action;
        std::string text;
    };

    void push(Instruction instruction)
    {
        std::lock_guard<std::mutex> held(mutex_);
        instructions_.push_back(std::move(instruction));
    }

    Instruction next()
    {
        std::lock_guard<std::mutex> held(mutex_);
        if (instructions_.empty())
            return {Action::Reply, "{\"status\":\"error\"}"};
        Instruction instruction = std::move(instructions_.front());
        instructions_.pop_front();
        return instruction;
    }

    void serve()
    {
        while (!stop_) {
            pollfd entry{listen_fd_, POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0)
                continue;
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++connections_;
            const Instruction instruction = next();
            if (instruction.action == Action::CloseUnread) {
                ::close(fd);
                continue;
            }
            const std::string request = read_request(fd);
            {
                std::lock_guard<std::mutex> held(mutex_);
                requests_.push_back(request);
            }
            switch (instruction.action) {
            case Action::Reply:
                send_all(fd, instruction.text);
                ::close(fd);
                break;
            case Action::Close:
                ::close(fd);
                break;
            default:
                held_.push_back(fd);
                break;
            }
        }
    }

    // Reads until one whole JSON object came in, the peer stops sending, or
    // 10 s passed.
    std::string read_request(int fd) const
    {
        std::string text;
        int depth = 0;
        bool started = false, in_string = false, escaped = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end && !stop_) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buffer[i];
                text += c;
                if (in_string) {
                    if (escaped)
                        escaped = false;
                    else if (c == '\\')
                        escaped = true;
                    else if (c == '"')
                        in_string = false;
                } else if (c == '"') {
                    in_string = true;
                } else if (c == '{' || c == '[') {
                    ++depth;
                    started = true;
                } else if (c == '}' || c == ']') {
                    --depth;
                }
            }
            if (started && depth == 0)
                break;
        }
        return text;
    }

    static void send_all(int fd, const std::string& text)
    {
        size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
    }

    int port_ = 0;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::deque<Instruction> instructions_;
    std::vector<std::string> requests_;
    std::vector<int> held_;  // touched by the serving thread only, then by the destructor
    std::thread thread_;
};

}  // namespace testsupport
