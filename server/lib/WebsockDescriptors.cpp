// Descriptor bounds of the AP port: connections counted against the limit the
// library context gets.
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

void WebsockServerWorker::connection_accepted(lws* wsi)
{
    if (!connections.insert(wsi).second)
        return;
    connection_count.store(connections.size(), std::memory_order_relaxed);
    if (!at_connection_limit && connection_limit > 0 && connections.size() >= connection_limit) {
        at_connection_limit = true;
        RRM_WARNING("The access point port holds %zu connections, its most; further connections "
                    "wait until some close",
                    connections.size());
    }
}

void WebsockServerWorker::connection_destroyed(lws* wsi)
{
    if (connections.erase(wsi) == 0)
        return;
    connection_count.store(connections.size(), std::memory_order_relaxed);
    // A streak ends once a tenth of the room is free again.
    if (at_connection_limit && connections.size() < connection_limit - connection_limit / 10) {
        at_connection_limit = false;
        RRM_INFO("The access point port accepts connections again (%zu open)", connections.size());
    }
}

int WebsockServerWorker::ap_descriptor_limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    const rlim_t total = std::min<rlim_t>(limit.rlim_cur, 1 << 20);
    const rlim_t reserve = std::min<rlim_t>(RESERVED_DESCRIPTORS_MAX,
                                            std::max<rlim_t>(RESERVED_DESCRIPTORS_MIN, total / 6));
    return total > reserve + 16 ? static_cast<int>(total - reserve) : static_cast<int>(total / 2);
}

}  // namespace rrm
