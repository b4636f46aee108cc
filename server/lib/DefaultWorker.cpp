#include "DefaultWorker.h"

#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "QueueMessage.h"
#include "RRM.h"

#include <cstring>
#include <exception>

namespace rrm {

DefaultWorker::DefaultWorker(RRM* owner)
    : Worker("default-domain", owner, 10000, 2048, false), registry(owner)
{
}

DefaultWorker::~DefaultWorker()
{
    Worker::disconnect();
}

void DefaultWorker::process_message(const JsonReader& json, const QueueMessage& msg)
{
    try {
        if (process_internal_ipc_msg(json, msg))
            return;
        if (std::strcmp(json.get_string("service"), "rrm") != 0 ||
            std::strcmp(json.get_string("cmd"), "subscribe-request") != 0)
            return;
        JsonWriter reply("rrm", "subscribe-response", "");
        reply.add_string("status", "fail");
        reply.add_int("code", 503);
        registry->enqueue_serialized(reply.to_string(), msg.session);
    } catch (const std::exception& e) {
        RRM_ERROR("Exception at processing message on default worker: %s", e.what());
        notify_event(EVENT_DEFAULT_WORKER_EXCEPTION, nullptr);
    }
}

void DefaultWorker::to_json(JsonWriter&)
{
}

void DefaultWorker::to_json_full(JsonWriter& out)
{
    to_json(out);
}

}  // namespace rrm
