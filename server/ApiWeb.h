#pragma once
// The management JSON API over HTTP or HTTPS, with the web interface's
// static files under "/www/wendara". Its service loop runs on the main
// thread for the life of the process; between passes it fires the VRRP
// worker's due timers and, every 602nd pass, asks the registry whether the
// daily report clean-up is due.
//
// A request under the mount point is a file, served by the library. Any
// other request with a body is an API request: the body (at most
// kMaxBodyBytes) is parsed and dispatched like a TCP request, and the reply
// goes back as "application/json". Every other request is answered too: 404
// for a GET or HEAD without a body, 411 for a body without a length, 413
// for one over the limit, 400 for the rest (upgrades to WebSocket or HTTP/2
// included: the port speaks HTTP/1.1 only). No peer can hold a connection,
// or one of the kHeaderPool header buffers, for long: see the timeouts
// below.

#include "Api.h"
#include "BufferInfo.h"
#include "SafeUnorderedMap.h"

#include <libwebsockets.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace rrm {
class JsonReader;
class RRM;
}  // namespace rrm
class VrrpWorker;

// One open HTTP connection.
struct HttpSession {
    lws* wsi = nullptr;
    int32_t tsi = 0;
    int32_t id = 1;
    // The current request's body collected so far.
    BufferInfo body;
    // CLOCK_MONOTONIC milliseconds by which the current request's body must
    // be complete.
    int64_t body_deadline_ms = 0;
    // A reply is written and its transaction not yet complete: the peer has
    // not taken all of it.
    bool replying = false;
    // The connection is closed once that reply is through.
    bool close_after_reply = false;
};

class ApiWeb : public rrm::Api {
public:
    // The service loop's longest wait for one pass.
    static constexpr int kServiceTimeoutMs = 100;
    // The pass counter goes up to this, and the clean-up check runs on the
    // pass after it exceeded it: every 602nd pass.
    static constexpr int kCleanupPassLimit = 600;

    static constexpr const char* kCertFile = "/etc/tavik-wendara/cert/server.pem";
    static constexpr const char* kKeyFile = "/etc/tavik-wendara/cert/server.key.pem";
    static constexpr const char* kMountPoint = "/www/wendara";

    // Largest request body taken; a longer one closes the connection (a
    // Content-Length above it is answered 413 before any of it is read).
    static constexpr int32_t kMaxBodyBytes = 1024 * 1024;
    // Header buffers: one per connection between the start of a request and
    // its answer; a connection that finds none waits at most
    // kConnectTimeoutSecs for one. Enough for hundreds of idle or slow peers
    // with room left for the operators.
    static constexpr int kHeaderPool = 512;
    // A new connection, or one waiting for a header buffer or a TLS
    // handshake, is closed after this; so is a body that stalls this long.
    static constexpr int kConnectTimeoutSecs = 5;
    // The headers of a request must be complete this long after its
    // connection got a header buffer.
    static constexpr int kHeaderTimeoutSecs = 5;
    // A kept-alive connection without a new request is closed after this.
    static constexpr int kKeepAliveSecs = 5;
    // The whole body of a request must arrive within this, however steadily
    // it trickles.
    static constexpr int kBodyTimeoutMs = 30000;
    // Most bytes handed to the socket in one write.
    static constexpr size_t kWriteChunkBytes = 256 * 1024;
    // A reply that its peer does not take within this closes the connection.
    static constexpr int kReplyTimeoutSecs = 30;

    // Creates the HTTP or HTTPS server on the server section's api_port at
    // once (HTTPS with the certificate and key files given). A server that
    // cannot be created (port in use, certificate missing) leaves the API
    // not running, without an exception.
    ApiWeb(rrm::RRM* registry, VrrpWorker* vrrp, std::string cert_file = kCertFile,
           std::string key_file = kKeyFile);
    ~ApiWeb() override;
    ApiWeb(const ApiWeb&) = delete;
    ApiWeb& operator=(const ApiWeb&) = delete;

    void connect() override;
    // Clears the running flag and destroys the server. Main thread only.
    void stop() override;
    // The service loop; returns at once when the server was not created,
    // else when request_stop was called.
    void run() override;

    // Ends the service loop after its current pass (within
    // kServiceTimeoutMs). Safe from any thread.
    void request_stop();

    int port() const { return api_port; }
    // Whether the server was (to be) created with HTTPS, and its files.
    bool uses_https() const { return https; }
    const std::string& cert_file() const { return cert_path; }
    const std::string& key_file() const { return key_path; }
    // Passes made by run so far.
    uint64_t passes() const { return pass_total.load(); }
    // Calls of the library's service function made by run so far: a few for
    // each pass, unless something spins.
    uint64_t service_calls() const { return service_total.load(); }
    // Open connections known to the front end.
    size_t session_count();

    // One pass of the counter: true when this pass is the one that runs the
    // clean-up check (the counter then starts again from 0).
    static bool count_pass(int& counter);

    // The library's callback for every connection of the context.
    int worker_lws_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                            size_t len);

protected:
    // A request outside the mount point, once its headers are in: decides
    // whether a body is to come, and answers at once when not.
    int on_http_request(lws* wsi);
    // One piece of a request body.
    int on_http_body(lws* wsi, const void* in, size_t len);
    // Answers one API request once its body is complete.
    int on_body_completion(lws* wsi);
    // Parses and dispatches the collected body. Sets `bad_request` when the
    // body is empty or no handler answers; `reply` is the handler's text.
    bool process_request_body(HttpSession& session, bool& bad_request, char*& reply);
    // Writes the reply as "application/json" and frees it.
    int send_json_reply(lws* wsi, char* reply);
    // Answers with a status and the library's short page; `keep` lets the
    // connection carry a next request, else it is closed.
    int answer_status(lws* wsi, unsigned int status, bool keep);
    // Answers one parsed request: a reply text allocated with malloc, or null.
    virtual char* dispatch(const rrm::JsonReader& request);
    // A "vrrp" request with "role" goes to the VRRP worker.
    char* process_vrrp_role_request(const std::string& text) override;

    VrrpWorker* vrrp;
    rrm::SafeUnorderedMap<lws*, HttpSession> sessions;
    lws_context_creation_info creation_info;
    lws_protocols protocols[2];
    lws_context* context = nullptr;

private:
    // A recurring timer on the context that makes every service call return
    // within kServiceTimeoutMs even when nothing happens: the library waits
    // for its next event whatever timeout lws_service is given.
    struct WakeTimer {
        lws_sorted_usec_list_t sul;  // first: the callback gets its address
        lws_context* context;
        bool fired;
    };
    static void wake_up(lws_sorted_usec_list_t* sul);
    // The most descriptors the web server's library context may hold.
    static unsigned int descriptor_limit();
    // One pass: services the context until the wake timer fired.
    void service_pass();
    void destroy_context();
    void clear_sessions();
    // Drops the connection's session; the session-map mutex is held.
    void forget_session(lws* wsi);

    WakeTimer wake_timer{};
    std::string protocol_name;
    const std::string cert_path;
    const std::string key_path;
    int api_port = 0;
    bool https = false;
    std::atomic<uint64_t> pass_total{0};
    std::atomic<uint64_t> service_total{0};
    // Requests begun and answered so far (main thread).
    uint64_t request_events = 0;
    // Whether the library called back with anything but its own locking
    // during the current service call.
    bool progress = false;
    // Whether the library reported a request complete again during the
    // current service call (see on_body_completion).
    bool repeated_completion = false;
    // Sessions with a reply still being sent.
    int replies_in_flight = 0;
    // The loop's back-off while service calls return at once with nothing
    // done.
    static constexpr int64_t kMinIdleSleepUs = 250;
    // A service call that took this long waited for something.
    static constexpr int kWaitedMs = 2;
    static constexpr int64_t kMaxIdleSleepUs = 50000;
    int64_t idle_sleep_us = 0;
};
