#include "ApiWeb.h"

#include "Config.h"
#include "RRM.h"
#include "VrrpWorker.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <functional>
#include <mutex>
#include <type_traits>

namespace {

// The context keeps pointers to the mount and its folder text for its whole
// life; the folder is copied when the context is created, so a later change
// of www_path applies from the next start.
std::string web_api_www_path;
lws_http_mount web_api_mount;

// The library's protocol callback is a plain function; it reaches the
// ApiWeb object through this binding, released by the object's destructor.
std::mutex web_api_callback_mutex;
std::function<int(lws*, lws_callback_reasons, void*, void*, size_t)> web_api_callback;

int web_api_protocol_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                              size_t len)
{
    std::function<int(lws*, lws_callback_reasons, void*, void*, size_t)> callback;
    {
        std::lock_guard<std::mutex> lock(web_api_callback_mutex);
        callback = web_api_callback;
    }
    if (!callback)
        return -1;
    return callback(wsi, reason, user, in, len);
}

constexpr uint64_t kPlainOptions =
    LWS_SERVER_OPTION_ALLOW_LISTEN_SHARE | LWS_SERVER_OPTION_VALIDATE_UTF8;
constexpr uint64_t kHttpsOptions = kPlainOptions | LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT |
                                   LWS_SERVER_OPTION_REDIRECT_HTTP_TO_HTTPS |
                                   LWS_SERVER_OPTION_ALLOW_NON_SSL_ON_SSL_PORT;
static_assert(kPlainOptions == 0x800100, "plain HTTP options");
static_assert(kHttpsOptions == 0x801908, "HTTPS options");

constexpr const char* kCipherList =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-SHA384:HIGH:!aNULL:!eNULL:!EXPORT:!DES:!MD5:!PSK:!RC4:!HMAC_SHA1:!SHA1:"
    "!DHE-RSA-AES128-GCM-SHA256:!DHE-RSA-AES128-SHA256:!AES128-GCM-SHA256:!AES128-SHA256:"
    "!DHE-RSA-AES256-SHA256:!AES256-GCM-SHA384:!AES256-SHA256";

}  // namespace

ApiWeb::ApiWeb(rrm::RRM* registry_, VrrpWorker* vrrp_) : rrm::Api(registry_), vrrp(vrrp_)
{
    std::memset(&creation_info, 0, sizeof creation_info);
    std::memset(protocols, 0, sizeof protocols);
    {
        std::lock_guard<std::mutex> lock(web_api_callback_mutex);
        web_api_callback = [this](lws* wsi, lws_callback_reasons reason, void* user, void* in,
                                  size_t len) {
            return worker_lws_callback(wsi, reason, user, in, len);
        };
    }
    connect();
}

ApiWeb::~ApiWeb()
{
    running.store(false);
    destroy_context();
    std::lock_guard<std::mutex> lock(web_api_callback_mutex);
    web_api_callback = nullptr;
}

void ApiWeb::connect()
{
    if (context)
        stop();
    const rrm::ServerSettings settings = registry->get_config()->server();
    api_port = settings.api_port;

    web_api_www_path = settings.www_path;
    std::memset(&web_api_mount, 0, sizeof web_api_mount);
    web_api_mount.mountpoint = "/www/wendara";
    web_api_mount.mountpoint_len = 12;
    web_api_mount.origin = web_api_www_path.c_str();
    web_api_mount.def = "index.html";
    web_api_mount.origin_protocol = LWSMPRO_FILE;

    protocol_name = settings.use_https ? "https" : "http";
    std::memset(protocols, 0, sizeof protocols);
    protocols[0].name = protocol_name.c_str();
    protocols[0].callback = web_api_protocol_callback;

    std::memset(&creation_info, 0, sizeof creation_info);
    creation_info.port = settings.api_port;
    creation_info.protocols = protocols;
    creation_info.mounts = &web_api_mount;
    creation_info.gid = -1;
    creation_info.uid = -1;
    creation_info.max_http_header_pool = 16;
    creation_info.options = kPlainOptions;
    if (settings.use_https) {
        creation_info.options = kHttpsOptions;
        creation_info.ssl_cert_filepath = kCertFile;
        creation_info.ssl_private_key_filepath = kKeyFile;
        creation_info.ssl_cipher_list = kCipherList;
    }

    lws_set_log_level(1023, nullptr);
    context = lws_create_context(&creation_info);
    if (!context)
        return;
    wake_timer.context = context;
    lws_sul_schedule(context, 0, &wake_timer.sul, &ApiWeb::wake_up,
                     kServiceTimeoutMs * LWS_US_PER_MS);
    running.store(true);
}

void ApiWeb::wake_up(lws_sorted_usec_list_t* sul)
{
    static_assert(std::is_standard_layout<WakeTimer>::value, "sul must start the timer");
    WakeTimer* timer = reinterpret_cast<WakeTimer*>(sul);
    timer->fired = true;
    lws_sul_schedule(timer->context, 0, &timer->sul, &ApiWeb::wake_up,
                     kServiceTimeoutMs * LWS_US_PER_MS);
}

void ApiWeb::destroy_context()
{
    if (!context)
        return;
    lws_sul_cancel(&wake_timer.sul);
    lws_context_destroy(context);
    context = nullptr;
    wake_timer.context = nullptr;
}

void ApiWeb::stop()
{
    running.store(false);
    destroy_context();
}

void ApiWeb::request_stop()
{
    // Seen after the current pass, at most kServiceTimeoutMs away. No
    // library call from here: libwebsockets 4.1 formats its log records in
    // one static buffer, which a second thread's call would share.
    stop_request.store(true);
}

bool ApiWeb::count_pass(int& counter)
{
    if (counter > kCleanupPassLimit) {
        counter = 0;
        return true;
    }
    ++counter;
    return false;
}

void ApiWeb::service_pass()
{
    wake_timer.fired = false;
    const uint64_t calls_before = callback_calls;
    for (;;) {
        lws_service(context, kServiceTimeoutMs);
        if (wake_timer.fired || callback_calls != calls_before || stop_request.load())
            return;
        // The library also returns, having done nothing, while its next
        // timer is less than a millisecond away; do not spin through it.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void ApiWeb::run()
{
    int counter = 0;
    while (running.load() && !stop_request.load() && context) {
        service_pass();
        pass_total.fetch_add(1);
        vrrp->poll_timers();
        if (count_pass(counter))
            registry->check_old_reports();
    }
}

int ApiWeb::worker_lws_callback(lws* wsi, lws_callback_reasons reason, void*, void*, size_t)
{
    ++callback_calls;
    switch (reason) {
    case LWS_CALLBACK_HTTP_BODY_COMPLETION:
        // The request processor comes with the management commands; until
        // then no handler answers a request.
        lws_return_http_status(wsi, HTTP_STATUS_BAD_REQUEST, nullptr);
        return 1;
    case LWS_CALLBACK_HTTP_FILE_COMPLETION:
        return lws_http_transaction_completed(wsi);
    default:
        return 0;
    }
}
