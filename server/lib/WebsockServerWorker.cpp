#include "WebsockServerWorker.h"

#include "Config.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "LwsLog.h"
#include "RRM.h"
#include "WebsockServerDetail.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <shared_mutex>
#include <utility>

namespace rrm {

using namespace websock_detail;

namespace {

// The server object that `websock_bound_callback` calls; a second object
// built while the first lives takes the binding over, and only the object
// that holds it gives it up.
WebsockServerWorker* bound_server = nullptr;

}  // namespace

WebsockServerWorker::WebsockServerWorker(RRM* owner)
    : Worker("websock-server-worker", owner, 10000, 2048, false),
      registry(owner),
      wake_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    std::memset(&creation_info, 0, sizeof creation_info);
    std::memset(protocols, 0, sizeof protocols);
    using namespace std::placeholders;
    websock_bound_callback =
        std::bind(&WebsockServerWorker::worker_lws_callback, this, _1, _2, _3, _4, _5);
    bound_server = this;
    // The worker's own queue only ever carries its stop message.
    set_notify([] {});
}

WebsockServerWorker::~WebsockServerWorker()
{
    disconnect();
    if (bound_server == this) {
        websock_bound_callback = nullptr;
        bound_server = nullptr;
    }
    for (auto& queues : connection_queues) {
        std::lock_guard<std::mutex> guard(queues.mutex);
        queues.map.clear();
    }
    clear_send_lists();
    free_pending_texts();
    if (wake_fd != -1)
        ::close(wake_fd);
}

void WebsockServerWorker::process_message(const JsonReader&, const QueueMessage&)
{
}

bool WebsockServerWorker::process_next_message()
{
    return Worker::process_next_message();
}

void WebsockServerWorker::to_json_full(JsonWriter& out)
{
    to_json(out);
}

void WebsockServerWorker::to_json(JsonWriter& out)
{
    JsonWriter list = out.add_array("websock-sessions");
    std::vector<std::shared_ptr<WebsockSession>> copy;
    {
        std::lock_guard<std::mutex> guard(sessions.mutex);
        copy.reserve(sessions.map.size());
        for (const auto& entry : sessions.map)
            copy.push_back(entry.second);
    }
    for (const auto& session : copy) {
        JsonWriter item = list.add_object("");
        item.add_int("id", static_cast<int>(session->session.id));
        item.add_string("peer", session->peer.c_str());
    }
}

uint32_t WebsockServerWorker::next_session_id()
{
    std::lock_guard<std::mutex> guard(id_lock);
    return session_id_counter++;
}

bool WebsockServerWorker::session_ended(const BaseSession& handle)
{
    if (handle.id == 0)
        return false;
    std::lock_guard<std::mutex> guard(sessions.mutex);
    auto it = sessions.map.find(handle.wsi);
    if (it != sessions.map.end() && it->second->session.id == handle.id &&
        it->second->session.tsi == handle.tsi)
        return false;
    // Ids are counted up and never given out twice.
    std::lock_guard<std::mutex> ids(id_lock);
    return handle.id < session_id_counter;
}

// ---------------------------------------------------------------------------
// Start and stop

void WebsockServerWorker::wait_before_retry()
{
    // Once a second, but a stop must not wait for the whole second.
    for (int i = 0; i < 100 && !stop_requested.load(); ++i)
        ::usleep(10000);
}

bool WebsockServerWorker::connect()
{
    if (context.load())
        disconnect();
    if (open_failures > 0) {
        wait_before_retry();
        if (stop_requested.load())
            return false;
    }

    std::memset(&websock_mount, 0, sizeof websock_mount);
    websock_mount.mount_next = nullptr;
    websock_mount.mountpoint = "/apb/rrm";
    websock_mount.mountpoint_len = 8;
    websock_mount.origin = "/tmp";
    websock_mount.def = "test.html";
    websock_mount.protocol = "websock-rrm";
    websock_mount.origin_protocol = LWSMPRO_CALLBACK;

    std::memset(protocols, 0, sizeof protocols);
    protocols[0].name = "http";
    protocols[0].callback = websock_http_callback;
    protocols[1].name = "websock-rrm";
    protocols[1].callback = websock_protocol_callback;
    protocols[1].per_session_data_size = sizeof(WebsockSession*);
    protocols[1].rx_buffer_size = RX_BUFFER_SIZE;

    const int port = registry->get_config()->server().listen_port;
    std::memset(&creation_info, 0, sizeof creation_info);
    creation_info.iface = nullptr;
    creation_info.protocols = protocols;
    creation_info.mounts = &websock_mount;
    creation_info.port = port;
    creation_info.gid = -1;
    creation_info.uid = -1;
    creation_info.options = LWS_SERVER_OPTION_DISABLE_IPV6;
    creation_info.count_threads = 1;
    // Below the process's open-file limit, so that the rest of the server
    // (management ports, domain workers' eventfds, log and report files)
    // keeps descriptors when the AP port is flooded with connections; the
    // library stops accepting at this bound instead of failing accept()
    // over and over.
    const int descriptors = ap_descriptor_limit();
    creation_info.fd_limit_per_thread = static_cast<unsigned int>(descriptors);
    connection_limit = descriptors > LIBRARY_DESCRIPTORS ? descriptors - LIBRARY_DESCRIPTORS : 0;
    creation_info.user = this;

    // Every class of the library's lines, which the bridge writes at Debug:
    // none is formatted while Debug is not written.
    set_lws_log(0x3ff, logger_callback, LOG_LEVEL_DEBUG);

    // The library leaks a little with every context that cannot bind, so a
    // port that is plainly taken is not handed to it again and again.
    lws_context* created = port_taken(port) ? nullptr : lws_create_context(&creation_info);
    if (!created) {
        if (open_failures++ == 0)
            RRM_ERROR("Can't open the access point port %d; retrying every second", port);
        return false;
    }
    if (open_failures > 0)
        RRM_INFO("Access point port %d open after %u failed attempts", port, open_failures);
    open_failures = 0;
    // The parsing threads first: the service thread hands them texts.
    start_jsonificator_threads(parse_threads_wanted > 0 ? parse_threads_wanted
                                                        : default_parse_threads());
    {
        std::unique_lock<std::shared_mutex> guard(context_guard());
        context.store(created);
    }
    lws_vhost* vhost = lws_get_vhost_by_name(created, "default");
    bound_port.store(vhost ? lws_get_vhost_listen_port(vhost) : port);
    adopt_wake_fd(vhost);

    const int n = lws_get_count_threads(created);
    RRM_DEBUG("Starting %d lws threads", n);
    for (int i = 0; i < n; ++i)
        service_threads.emplace_back(&WebsockServerWorker::service_thread, this, i);
    return true;
}

void WebsockServerWorker::adopt_wake_fd(lws_vhost* vhost)
{
    wake_adopted = false;
    // A wake-up of the last context that was never served must not hold
    // back those of this one.
    wake_pending.store(false);
    if (wake_fd == -1 || !vhost)
        return;
    // The library closes what it adopts when the context goes; it gets a
    // duplicate, and the descriptor that producers write to stays ours.
    const int duplicate = ::fcntl(wake_fd, F_DUPFD_CLOEXEC, 0);
    if (duplicate == -1)
        return;
    lws_sock_file_fd_type fd;
    fd.filefd = duplicate;
    if (lws_adopt_descriptor_vhost(vhost, LWS_ADOPT_RAW_FILE_DESC, fd, "websock-rrm", nullptr))
        wake_adopted = true;
    else
        ::close(duplicate);
}

bool WebsockServerWorker::port_taken(int port)
{
    if (port <= 0)
        return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return false;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                       errno == EADDRINUSE;
    ::close(fd);
    return taken;
}

void WebsockServerWorker::disconnect()
{
    stopping.store(true);
    if (context.load())
        wake_service_thread();
    for (auto& t : service_threads)
        if (t.joinable())
            t.join();
    service_threads.clear();
    for (auto& lane : parse_lanes)
        if (lane->thread.joinable())
            lane->thread.join();

    for (auto& queues : connection_queues) {
        std::lock_guard<std::mutex> guard(queues.mutex);
        queues.map.clear();
    }
    // Their connections go with the context.
    clear_send_lists();
    // Texts not parsed before the stop belong to sessions that are about to
    // be closed; a later start must not hand them on.
    free_pending_texts();
    parse_lanes.clear();
    parse_thread_count.store(0);

    if (lws_context* ctx = context.load()) {
        // Every open connection is reported closed (and so its session
        // erased and the domain workers told) during the destroy.
        lws_context_destroy(ctx);
        std::unique_lock<std::shared_mutex> guard(context_guard());
        context.store(nullptr);
    }
    connections.clear();
    connection_count.store(0);
    at_connection_limit = false;
    wake_adopted.store(false);
    bound_port.store(0);
    stopping.store(false);
}

void WebsockServerWorker::service_thread(int tsi)
{
    t_service_tsi = tsi;
    if (stopping.load())
        return;
    for (;;) {
        lws_context* ctx = context.load();
        if (!ctx)
            break;
        if (lws_service_tsi(ctx, 0, tsi) < 0 || stopping.load())
            break;
    }
}

}  // namespace rrm
