#pragma once
// The service worker "default-domain": answers an AP's "subscribe-request"
// with a failed "subscribe-response" carrying code 503. The registry owns and
// runs it but routes nothing to it.

#include "Worker.h"

namespace rrm {

class RRM;

class DefaultWorker : public Worker {
public:
    explicit DefaultWorker(RRM* owner);
    ~DefaultWorker() override;

    void process_message(const JsonReader& json, const QueueMessage& msg) override;
    void to_json(JsonWriter& out) override;
    void to_json_full(JsonWriter& out) override;

private:
    RRM* registry;
};

}  // namespace rrm
