#pragma once
// A small blocking WebSocket client (RFC 6455) over a plain TCP socket, for
// tests that need control the usual client libraries do not give: frames
// and fragments of any size, a client that stops reading or never answers a
// ping, and the exact close frame the server sends.
//
// One thread reads; sending (frames, and the pongs and close answers the
// reader gives) may happen from any thread: each frame is written whole
// under a lock.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <string>

namespace testsupport {

enum WsOpcode : int {
    WS_CONTINUATION = 0x0,
    WS_TEXT = 0x1,
    WS_BINARY = 0x2,
    WS_CLOSE = 0x8,
    WS_PING = 0x9,
    WS_PONG = 0xA,
};

struct WsFrame {
    int opcode = 0;
    bool fin = false;
    std::string payload;
};

class WsTestClient {
public:
    WsTestClient() = default;
    ~WsTestClient() { disconnect(); }
    WsTestClient(const WsTestClient&) = delete;
    WsTestClient& operator=(const WsTestClient&) = delete;

    // Connects and performs the upgrade. Returns the HTTP status of the
    // answer (101 when the WebSocket is open), or -1 when no TCP connection
    // could be made (connect_errno then says why). rcvbuf > 0 shrinks the
    // socket's receive buffer before connecting.
    int connect(int port, const std::string& path = "/apb/rrm",
                const std::string& protocol = "websock-rrm", bool ipv6 = false, int rcvbuf = 0)
    {
        disconnect();
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            connect_errno = errno;
            return -1;
        }
        if (rcvbuf > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int rc;
        if (ipv6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(static_cast<uint16_t>(port));
            a.sin6_addr = in6addr_loopback;
            rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        if (rc != 0) {
            connect_errno = errno;
            disconnect();
            return -1;
        }
        std::string request = "GET " + path +
                              " HTTP/1.1\r\n"
                              "Host: 127.0.0.1\r\n"
                              "Upgrade: websocket\r\n"
                              "Connection: Upgrade\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                              "Sec-WebSocket-Version: 13\r\n";
        if (!protocol.empty())
            request += "Sec-WebSocket-Protocol: " + protocol + "\r\n";
        request += "\r\n";
        if (!write_all(request.data(), request.size()))
            return -1;
        // The answer's head, up to the empty line; what follows stays in
        // the buffer as the first frame bytes.
        const auto deadline = now() + std::chrono::seconds(5);
        size_t end;
        while ((end = in_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill(deadline))
                return -1;
        }
        response_head = in_.substr(0, end + 4);
        in_.erase(0, end + 4);
        int status = -1;
        if (std::sscanf(response_head.c_str(), "HTTP/1.1 %d", &status) != 1)
            return -1;
        return status;
    }

    void disconnect()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        in_.clear();
    }
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send_frame(int opcode, const std::string& payload, bool fin = true)
    {
        return send_frame_start(opcode, payload.size(), payload, fin);
    }

    // A frame whose header announces `length` payload bytes, followed by
    // the first part of them only.
    bool send_frame_start(int opcode, uint64_t length, const std::string& part, bool fin = true)
    {
        std::lock_guard<std::mutex> guard(send_mutex_);
        std::string frame;
        frame.push_back(static_cast<char>((fin ? 0x80 : 0x00) | (opcode & 0x0f)));
        const uint64_t n = length;
        if (n < 126) {
            frame.push_back(static_cast<char>(0x80 | n));
        } else if (n <= 0xffff) {
            frame.push_back(static_cast<char>(0x80 | 126));
            frame.push_back(static_cast<char>(n >> 8));
            frame.push_back(static_cast<char>(n & 0xff));
        } else {
            frame.push_back(static_cast<char>(0x80 | 127));
            for (int i = 7; i >= 0; --i)
                frame.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
        }
        unsigned char mask[4];
        for (auto& m : mask)
            m = static_cast<unsigned char>(rng_());
        frame.append(reinterpret_cast<char*>(mask), 4);
        const size_t start = frame.size();
        frame += part;
        for (size_t i = 0; i < part.size(); ++i)
            frame[start + i] = static_cast<char>(frame[start + i] ^ mask[i & 3]);
        return write_all(frame.data(), frame.size());
    }

    bool send_text(const std::string& text) { return send_frame(WS_TEXT, text, true); }

    // One text message as `pieces` frames: a text frame and continuations.
    bool send_fragmented(const std::string& text, size_t pieces)
    {
        if (pieces < 2)
            return send_text(text);
        const size_t step = (text.size() + pieces - 1) / pieces;
        size_t pos = 0;
        for (size_t i = 0; i < pieces; ++i) {
            const size_t n = i + 1 == pieces ? text.size() - pos : std::min(step, text.size() - pos);
            if (!send_frame(i == 0 ? WS_TEXT : WS_CONTINUATION, text.substr(pos, n), i + 1 == pieces))
                return false;
            pos += n;
        }
        return true;
    }

    bool send_close(int code, const std::string& reason = "")
    {
        std::string payload;
        payload.push_back(static_cast<char>((code >> 8) & 0xff));
        payload.push_back(static_cast<char>(code & 0xff));
        payload += reason;
        return send_frame(WS_CLOSE, payload, true);
    }

    // The next frame within timeout_ms, or nothing (time-out or the
    // connection ended; `eof` tells which).
    std::optional<WsFrame> read_frame(int timeout_ms)
    {
        const auto deadline = now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (auto frame = parse_frame())
                return frame;
            if (!fill(deadline))
                return std::nullopt;
        }
    }

    // The next complete text message; pings are answered (unless
    // auto_pong is off) and counted, a close frame is recorded and answered.
    std::optional<std::string> read_text(int timeout_ms)
    {
        const auto deadline = now() + std::chrono::milliseconds(timeout_ms);
        std::string message;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now());
            if (left.count() <= 0)
                return std::nullopt;
            auto frame = read_frame(static_cast<int>(left.count()));
            if (!frame)
                return std::nullopt;
            switch (frame->opcode) {
            case WS_PING:
                ++pings;
                last_ping_payload = frame->payload;
                if (auto_pong)
                    send_frame(WS_PONG, frame->payload);
                break;
            case WS_PONG:
                break;
            case WS_CLOSE:
                record_close(frame->payload);
                send_frame(WS_CLOSE, frame->payload.substr(0, 2));
                return std::nullopt;
            case WS_TEXT:
            case WS_BINARY:
                message = frame->payload;
                if (frame->fin)
                    return message;
                break;
            case WS_CONTINUATION:
                message += frame->payload;
                if (frame->fin)
                    return message;
                break;
            default:
                break;
            }
        }
    }

    // Reads (answering pings as read_text does) until the server closes;
    // true when a close frame or the end of the stream came in time.
    bool wait_closed(int timeout_ms)
    {
        const auto deadline = now() + std::chrono::milliseconds(timeout_ms);
        while (!close_received && !eof) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now());
            if (left.count() <= 0)
                return false;
            read_text(static_cast<int>(left.count()));
        }
        return true;
    }

    std::string response_head;
    int connect_errno = 0;
    bool auto_pong = true;
    int pings = 0;
    std::string last_ping_payload;
    bool close_received = false;
    int close_code = -1;
    std::string close_reason;
    bool eof = false;

private:
    static std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }

    void record_close(const std::string& payload)
    {
        close_received = true;
        if (payload.size() >= 2) {
            close_code = (static_cast<unsigned char>(payload[0]) << 8) |
                         static_cast<unsigned char>(payload[1]);
            close_reason = payload.substr(2);
        }
    }

    bool write_all(const char* data, size_t n)
    {
        while (n > 0) {
            ssize_t w = ::send(fd_, data, n, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            data += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

    // Reads what is there (waiting until the deadline); false on time-out
    // or end of stream.
    bool fill(std::chrono::steady_clock::time_point deadline)
    {
        if (fd_ < 0)
            return false;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now());
            if (left.count() <= 0)
                return false;
            pollfd p{fd_, POLLIN, 0};
            int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            char buf[65536];
            ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                eof = true;
                return false;
            }
            in_.append(buf, static_cast<size_t>(got));
            return true;
        }
    }

    // A whole frame from the buffer, when one is there.
    std::optional<WsFrame> parse_frame()
    {
        if (in_.size() < 2)
            return std::nullopt;
        const auto b0 = static_cast<unsigned char>(in_[0]);
        const auto b1 = static_cast<unsigned char>(in_[1]);
        size_t pos = 2;
        uint64_t n = b1 & 0x7f;
        if (n == 126) {
            if (in_.size() < 4)
                return std::nullopt;
            n = (static_cast<unsigned char>(in_[2]) << 8) | static_cast<unsigned char>(in_[3]);
            pos = 4;
        } else if (n == 127) {
            if (in_.size() < 10)
                return std::nullopt;
            n = 0;
            for (int i = 0; i < 8; ++i)
                n = (n << 8) | static_cast<unsigned char>(in_[2 + i]);
            pos = 10;
        }
        const bool masked = (b1 & 0x80) != 0;
        unsigned char mask[4] = {0, 0, 0, 0};
        if (masked) {
            if (in_.size() < pos + 4)
                return std::nullopt;
            std::memcpy(mask, in_.data() + pos, 4);
            pos += 4;
        }
        if (in_.size() < pos + n)
            return std::nullopt;
        WsFrame frame;
        frame.fin = (b0 & 0x80) != 0;
        frame.opcode = b0 & 0x0f;
        frame.payload = in_.substr(pos, static_cast<size_t>(n));
        if (masked)
            for (size_t i = 0; i < frame.payload.size(); ++i)
                frame.payload[i] = static_cast<char>(frame.payload[i] ^ mask[i & 3]);
        in_.erase(0, pos + static_cast<size_t>(n));
        return frame;
    }

    int fd_ = -1;
    std::string in_;
    std::mutex send_mutex_;
    std::mt19937 rng_{12345};
};

}  // namespace testsupport
