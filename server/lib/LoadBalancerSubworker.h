#pragma once
// Probe-based load balancing: seeks a better AP for a client with a weak
// signal, or on a busy radio, with probe requests to the APs around.
//
// Its steering is not in place yet: it takes part in the domain worker's
// sub-worker set and does nothing.

#include "IRrmSubworker.h"

namespace rrm {

class LoadBalancerSubworker : public IRrmSubworker {
public:
    using IRrmSubworker::IRrmSubworker;
    ~LoadBalancerSubworker() override;

    void force_optimization() override;
    bool process_message(const JsonReader& message, const char* cmd, ApEntry* ap) override;
    void process_timer() override;
    void stop() override;
};

}  // namespace rrm
