#pragma once
// The management JSON API over HTTP or HTTPS, with the web interface's
// static files under "/www/wendara". Its service loop runs on the main
// thread for the life of the process; between passes it fires the VRRP
// worker's due timers and, every 602nd pass, asks the registry whether the
// daily report clean-up is due.

#include "Api.h"

#include <libwebsockets.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace rrm {
class RRM;
}  // namespace rrm
class VrrpWorker;

class ApiWeb : public rrm::Api {
public:
    // The service loop's longest wait for one pass.
    static constexpr int kServiceTimeoutMs = 100;
    // The pass counter goes up to this, and the clean-up check runs on the
    // pass after it exceeded it: every 602nd pass.
    static constexpr int kCleanupPassLimit = 600;

    static constexpr const char* kCertFile = "/etc/tavik-wendara/cert/server.pem";
    static constexpr const char* kKeyFile = "/etc/tavik-wendara/cert/server.key.pem";

    // Creates the HTTP or HTTPS server on the server section's api_port at
    // once. A server that cannot be created (port in use, certificate
    // missing) leaves the API not running, without an exception.
    ApiWeb(rrm::RRM* registry, VrrpWorker* vrrp);
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
    // Passes made by run so far.
    uint64_t passes() const { return pass_total.load(); }

    // One pass of the counter: true when this pass is the one that runs the
    // clean-up check (the counter then starts again from 0).
    static bool count_pass(int& counter);

    // The library's callback for every connection of the context.
    int worker_lws_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                            size_t len);

protected:
    VrrpWorker* vrrp;
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
    // One pass: services the context until the wake timer fired or a
    // connection saw some event.
    void service_pass();
    void destroy_context();

    WakeTimer wake_timer{};
    std::string protocol_name;
    int api_port = 0;
    std::atomic<uint64_t> pass_total{0};
    // Calls of worker_lws_callback so far (main thread only).
    uint64_t callback_calls = 0;
};
