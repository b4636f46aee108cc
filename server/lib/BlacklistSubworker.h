#pragma once
// Client block lists: holds a client with a strong signal on its radio by
// blocking it on the other radios nearby that serve its SSID, and sends the
// APs their block lists and disassociation requests.
//
// Its steering is not in place yet: it takes part in the domain worker's
// sub-worker set and does nothing.

#include "IRrmSubworker.h"

namespace rrm {

class BlacklistSubworker : public IRrmSubworker {
public:
    using IRrmSubworker::IRrmSubworker;
    ~BlacklistSubworker() override;

    void force_optimization() override;
    bool process_message(const JsonReader& message, const char* cmd, ApEntry* ap) override;
    void process_timer() override;
    void stop() override;
};

}  // namespace rrm
