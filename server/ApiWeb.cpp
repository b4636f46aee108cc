#include "ApiWeb.h"

#include "AppLog.h"
#include "Config.h"
#include "JsonReader.h"
#include "LwsLog.h"
#include "RRM.h"
#include "VrrpWorker.h"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

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

// Only HTTP/1.1 is offered over TLS: replies are written as one HTTP/1
// response (head and body in one write), which an HTTP/2 stream cannot
// carry.
constexpr const char* kAlpn = "http/1.1";

constexpr size_t kReplyHeadRoom = 4096;

int64_t monotonic_ms()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The request's Content-Length: -1 when absent, -2 when it is not a plain
// decimal number (or does not fit), else its value.
long long content_length(lws* wsi)
{
    const int total = lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH);
    if (total <= 0)
        return -1;
    char text[24];
    if (total >= static_cast<int>(sizeof text))
        return -2;
    if (lws_hdr_copy(wsi, text, sizeof text, WSI_TOKEN_HTTP_CONTENT_LENGTH) != total)
        return -2;
    long long value = 0;
    for (int i = 0; i < total; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -2;
        if (value > (LLONG_MAX - 9) / 10)
            return -2;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

struct FreeReply {
    void operator()(void* block) const { std::free(block); }
};

}  // namespace

ApiWeb::ApiWeb(rrm::RRM* registry_, VrrpWorker* vrrp_, std::string cert_file_,
               std::string key_file_)
    : rrm::Api(registry_), vrrp(vrrp_), cert_path(std::move(cert_file_)),
      key_path(std::move(key_file_))
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
    clear_sessions();
    std::lock_guard<std::mutex> lock(web_api_callback_mutex);
    web_api_callback = nullptr;
}

void ApiWeb::connect()
{
    if (context)
        stop();
    const rrm::ServerSettings settings = registry->get_config()->server();
    api_port = settings.api_port;
    https = settings.use_https;

    web_api_www_path = settings.www_path;
    std::memset(&web_api_mount, 0, sizeof web_api_mount);
    web_api_mount.mountpoint = kMountPoint;
    web_api_mount.mountpoint_len = 12;
    web_api_mount.origin = web_api_www_path.c_str();
    web_api_mount.def = "index.html";
    web_api_mount.origin_protocol = LWSMPRO_FILE;

    protocol_name = https ? "https" : "http";
    std::memset(protocols, 0, sizeof protocols);
    protocols[0].name = protocol_name.c_str();
    protocols[0].callback = web_api_protocol_callback;
    // What one write may hand the socket: a reply that does not go out at
    // once is sent on from the library's buffer this much per writeable
    // event (4 KiB by default, which made a megabyte take hundreds of passes).
    protocols[0].tx_packet_size = kWriteChunkBytes;

    std::memset(&creation_info, 0, sizeof creation_info);
    creation_info.port = settings.api_port;
    creation_info.protocols = protocols;
    creation_info.mounts = &web_api_mount;
    creation_info.gid = -1;
    creation_info.uid = -1;
    creation_info.max_http_header_pool = kHeaderPool;
    creation_info.timeout_secs = kConnectTimeoutSecs;
    creation_info.timeout_secs_ah_idle = kHeaderTimeoutSecs;
    creation_info.keepalive_timeout = kKeepAliveSecs;
    // Below the process's open-file limit (a sixteenth of it, 32 to 1024;
    // 768 under the limit main raises, more than the header pool): a flood
    // of web connections must leave descriptors for the rest of the server,
    // and the library then stops accepting instead of failing accept() over
    // and over.
    creation_info.fd_limit_per_thread = descriptor_limit();
    creation_info.options = kPlainOptions;
    if (https) {
        creation_info.options = kHttpsOptions;
        creation_info.ssl_cert_filepath = cert_path.c_str();
        creation_info.ssl_private_key_filepath = key_path.c_str();
        creation_info.ssl_cipher_list = kCipherList;
        creation_info.alpn = kAlpn;
    }

    rrm::set_lws_log(1023, nullptr);
    context = lws_create_context(&creation_info);
    if (!context)
        return;
    wake_timer.context = context;
    lws_sul_schedule(context, 0, &wake_timer.sul, &ApiWeb::wake_up,
                     kServiceTimeoutMs * LWS_US_PER_MS);
    running.store(true);
}

unsigned int ApiWeb::descriptor_limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1024;
    return static_cast<unsigned int>(std::min<rlim_t>(1024, std::max<rlim_t>(32, limit.rlim_cur / 16)));
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

void ApiWeb::clear_sessions()
{
    std::lock_guard<std::mutex> lock(sessions.mutex);
    sessions.map.clear();
    replies_in_flight = 0;
}

void ApiWeb::forget_session(lws* wsi)
{
    auto found = sessions.map.find(wsi);
    if (found == sessions.map.end())
        return;
    if (found->second->replying)
        --replies_in_flight;
    sessions.map.erase(found);
}

void ApiWeb::stop()
{
    running.store(false);
    destroy_context();
    clear_sessions();
}

void ApiWeb::request_stop()
{
    // Seen after the current pass, at most kServiceTimeoutMs away. No
    // library call from here: the library's calls belong to the thread
    // that services the context.
    stop_request.store(true);
}

size_t ApiWeb::session_count()
{
    std::lock_guard<std::mutex> lock(sessions.mutex);
    return sessions.map.size();
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
    for (;;) {
        const uint64_t events_before = request_events;
        progress = false;
        repeated_completion = false;
        const auto started = std::chrono::steady_clock::now();
        lws_service(context, kServiceTimeoutMs);
        service_total.fetch_add(1);
        if (wake_timer.fired || stop_request.load() || request_events != events_before)
            return;
        // A reply the library sends on from its own buffer, a piece per
        // call, calls nothing back; it is progress all the same.
        const bool sending = replies_in_flight > 0 && !repeated_completion;
        if (progress || sending ||
            std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(kWaitedMs)) {
            idle_sleep_us = 0;
            continue;
        }
        // The call returned at once and nothing happened: the library found
        // work it cannot do yet (input it keeps for a connection that is
        // still busy sending, a timer less than a millisecond away). It
        // would find the same on the next call; wait, longer each time, so
        // that such a connection never turns the loop into a busy loop.
        idle_sleep_us = idle_sleep_us == 0 ? kMinIdleSleepUs
                                           : std::min(idle_sleep_us * 2, kMaxIdleSleepUs);
        std::this_thread::sleep_for(std::chrono::microseconds(idle_sleep_us));
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

int ApiWeb::worker_lws_callback(lws* wsi, lws_callback_reasons reason, void*, void* in,
                                size_t len)
{
    // Anything but the library's own bookkeeping is something done.
    switch (reason) {
    case LWS_CALLBACK_LOCK_POLL:
    case LWS_CALLBACK_UNLOCK_POLL:
    case LWS_CALLBACK_GET_THREAD_ID:
    case LWS_CALLBACK_HTTP_BODY_COMPLETION:  // counted once it is a real one
        break;
    default:
        progress = true;
    }
    try {
        switch (reason) {
        case LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED: {
            // A connection object the library reuses must not find the
            // session of the one before it.
            auto session = std::make_shared<HttpSession>();
            session->wsi = wsi;
            session->tsi = lws_get_tsi(wsi);
            std::lock_guard<std::mutex> lock(sessions.mutex);
            forget_session(wsi);
            sessions.map[wsi] = std::move(session);
            return 0;
        }
        case LWS_CALLBACK_HTTP_BIND_PROTOCOL: {
            // Bound again at the end of every transaction, however it ended:
            // a reply still being sent is through. Non-zero closes the
            // connection instead of reading the next request.
            std::lock_guard<std::mutex> lock(sessions.mutex);
            auto found = sessions.map.find(wsi);
            if (found == sessions.map.end() || !found->second->replying)
                return 0;
            found->second->replying = false;
            --replies_in_flight;
            return found->second->close_after_reply ? 1 : 0;
        }
        case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE:
            // Neither WebSocket nor HTTP/2 is served on this port.
            ++request_events;
            return answer_status(wsi, HTTP_STATUS_BAD_REQUEST, false);
        case LWS_CALLBACK_HTTP:
            ++request_events;
            return on_http_request(wsi);
        case LWS_CALLBACK_HTTP_BODY:
            return on_http_body(wsi, in, len);
        case LWS_CALLBACK_HTTP_BODY_COMPLETION:
            return on_body_completion(wsi);
        case LWS_CALLBACK_HTTP_FILE_COMPLETION:
            // The library closes the connection here only for a negative
            // result: a positive one (HTTP/1.0, "Connection: close") would
            // leave the peer waiting for the close until a timeout.
            ++request_events;
            return lws_http_transaction_completed(wsi) ? -1 : 0;
        case LWS_CALLBACK_CLOSED:
        case LWS_CALLBACK_CLOSED_HTTP:
        case LWS_CALLBACK_WSI_DESTROY: {
            // The library reports a connection closed only once it was
            // established; the destruction is reported for every one (a peer
            // that never sent its headers, a failed TLS handshake).
            std::lock_guard<std::mutex> lock(sessions.mutex);
            forget_session(wsi);
            return 0;
        }
        default:
            return 0;
        }
    } catch (const std::exception& e) {
        APP_LOG(Error) << "Exception at processing message on websock-server-worker: "
                       << e.what();
    } catch (...) {
        APP_LOG(Error) << "Exception at processing message on websock-server-worker: "
                       << "unknown exception";
    }
    return -1;
}

int ApiWeb::answer_status(lws* wsi, unsigned int status, bool keep)
{
    if (lws_return_http_status(wsi, status, nullptr))
        return -1;
    if (!keep)
        return -1;
    return lws_http_transaction_completed(wsi) ? -1 : 0;
}

int ApiWeb::on_http_request(lws* wsi)
{
    {
        std::lock_guard<std::mutex> lock(sessions.mutex);
        auto found = sessions.map.find(wsi);
        if (found != sessions.map.end()) {
            found->second->body.clear();
            found->second->body_deadline_ms = monotonic_ms() + kBodyTimeoutMs;
        }
    }
    char* uri = nullptr;
    int uri_len = 0;
    const int method = lws_http_get_uri_and_method(wsi, &uri, &uri_len);
    const long long length = content_length(wsi);
    if (length == -2)
        return answer_status(wsi, HTTP_STATUS_BAD_REQUEST, false);
    if (length > kMaxBodyBytes) {
        // Refused before any of it is read; closing also spares reading
        // (and throwing away) the rest.
        APP_LOG(Debug) << "HTTP request body of " << length << " bytes refused";
        return answer_status(wsi, HTTP_STATUS_REQ_ENTITY_TOO_LARGE, false);
    }
    if (length > 0)
        return 0;  // an API request: its body follows
    if (length == 0 && method == LWSHUMETH_POST)
        return 0;  // the library reports the empty body complete at once
    if (length < 0 &&
        (method == LWSHUMETH_POST || method == LWSHUMETH_PUT || method == LWSHUMETH_PATCH)) {
        // A body without a length (chunked, or up to the close) would be
        // read until the library's own limit of 100 MiB.
        return answer_status(wsi, HTTP_STATUS_LENGTH_REQUIRED, false);
    }
    if (method == LWSHUMETH_GET)
        return answer_status(wsi, HTTP_STATUS_NOT_FOUND, true);
    if (method == LWSHUMETH_HEAD)
        // The status page's body is not what a HEAD may get: no next request
        // could be told from it.
        return answer_status(wsi, HTTP_STATUS_NOT_FOUND, false);
    return answer_status(wsi, HTTP_STATUS_BAD_REQUEST, true);
}

int ApiWeb::on_http_body(lws* wsi, const void* in, size_t len)
{
    if (len == 0 || !in)
        return 0;
    if (len > static_cast<size_t>(INT_MAX))
        return 1;
    std::lock_guard<std::mutex> lock(sessions.mutex);
    auto found = sessions.map.find(wsi);
    if (found == sessions.map.end())
        return 0;
    HttpSession& session = *found->second;
    if (monotonic_ms() > session.body_deadline_ms) {
        APP_LOG(Debug) << "HTTP request body not complete within " << kBodyTimeoutMs
                       << " ms: connection closed";
        return 1;
    }
    if (len > static_cast<size_t>(kMaxBodyBytes - session.body.size)) {
        APP_LOG(Debug) << "HTTP request body over " << kMaxBodyBytes
                       << " bytes: connection closed";
        return 1;
    }
    session.body.append(in, static_cast<int32_t>(len));
    return 0;
}

int ApiWeb::on_body_completion(lws* wsi)
{
    bool bad_request = false;
    char* reply = nullptr;
    bool found_session = false;
    {
        std::lock_guard<std::mutex> lock(sessions.mutex);
        auto found = sessions.map.find(wsi);
        if (found != sessions.map.end()) {
            HttpSession& session = *found->second;
            // While a reply is still on its way, anything the peer sent behind
            // its request waits in the library, which reports the request
            // complete again on every pass until the reply is through, and
            // then does not read what waited as the next request (it takes
            // the wrong bytes for its body). The reply is finished and the
            // connection closed: the peer sends what it pipelined again on a
            // new one, as it would after any close of a kept-alive connection.
            if (session.replying) {
                session.close_after_reply = true;
                repeated_completion = true;
                return 0;
            }
            found_session = true;
            process_request_body(session, bad_request, reply);
            if (!bad_request && reply) {
                session.replying = true;
                ++replies_in_flight;
            }
        }
    }
    progress = true;
    ++request_events;
    if (found_session && !bad_request && reply)
        return send_json_reply(wsi, reply);
    std::free(reply);
    lws_return_http_status(wsi, HTTP_STATUS_BAD_REQUEST, nullptr);
    return 1;
}

bool ApiWeb::process_request_body(HttpSession& session, bool& bad_request, char*& reply)
{
    if (!session.body.data || session.body.size < 1) {
        bad_request = true;
        return true;
    }
    // A NUL byte ends the text the parser sees: a body with one inside is
    // not one JSON text, whatever its first part reads as.
    const bool whole =
        std::memchr(session.body.data, '\0', static_cast<size_t>(session.body.size)) == nullptr;
    std::unique_ptr<rrm::JsonReader> request;
    if (whole)
        request = std::make_unique<rrm::JsonReader>(session.body.data);
    session.body.clear();
    if (!request || (!request->has("cfg") && !request->has("rrm") && !request->has("vrrp"))) {
        APP_LOG(Warning) << "Receive corrupted JSON-request.";
        bad_request = true;
        return true;
    }
    reply = dispatch(*request);
    if (!reply)
        bad_request = true;
    return true;
}

char* ApiWeb::dispatch(const rrm::JsonReader& request)
{
    return process_request(request);
}

char* ApiWeb::process_vrrp_role_request(const std::string& text)
{
    return vrrp ? vrrp->process_request(text) : nullptr;
}

int ApiWeb::send_json_reply(lws* wsi, char* reply)
{
    std::unique_ptr<char, FreeReply> owned(reply);
    const size_t n = std::strlen(reply);
    if (n >= static_cast<size_t>(INT_MAX) + 1) {
        lws_return_http_status(wsi, HTTP_STATUS_BAD_REQUEST, nullptr);
        return 1;
    }
    if (n + LWS_PRE + kReplyHeadRoom >= static_cast<size_t>(INT_MAX) + 1) {
        lws_return_http_status(wsi, HTTP_STATUS_INTERNAL_SERVER_ERROR, nullptr);
        return 1;
    }
    std::unique_ptr<unsigned char, FreeReply> buffer(
        static_cast<unsigned char*>(std::calloc(1, LWS_PRE + kReplyHeadRoom + n)));
    if (!buffer) {
        lws_return_http_status(wsi, HTTP_STATUS_BAD_REQUEST, nullptr);
        return 1;
    }
    unsigned char* start = buffer.get() + LWS_PRE;
    unsigned char* p = start;
    unsigned char* end = start + kReplyHeadRoom;
    static const char kType[] = "application/json";
    if (lws_add_http_header_status(wsi, HTTP_STATUS_OK, &p, end) ||
        lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_CONTENT_TYPE,
                                     reinterpret_cast<const unsigned char*>(kType),
                                     sizeof kType - 1, &p, end) ||
        lws_add_http_header_content_length(wsi, n, &p, end) ||
        lws_finalize_http_header(wsi, &p, end))
        return 1;
    std::memcpy(p, reply, n);
    const size_t total = static_cast<size_t>(p - start) + n;
    if (lws_write(wsi, start, total, LWS_WRITE_HTTP) != static_cast<int>(total))
        return 1;
    // What the socket did not take now is sent by the library as the peer
    // reads; a peer that stops reading is not waited for beyond this.
    lws_set_timeout(wsi, PENDING_TIMEOUT_HTTP_CONTENT, kReplyTimeoutSecs);
    return lws_http_transaction_completed(wsi) ? 1 : 0;
}
