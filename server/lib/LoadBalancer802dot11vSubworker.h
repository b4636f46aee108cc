#pragma once
// 802.11v load balancing: keeps each radio's 802.11v priority in the APs'
// neighbour lists and tells an overloaded AP how many clients to move off a
// radio and which neighbouring radios to offer them.
//
// Its balancing is not in place yet: it takes part in the domain worker's
// sub-worker set, and of the services the others use it only records the
// priorities sent.

#include "IRrmSubworker.h"

namespace rrm {

class JsonWriter;

class LoadBalancer802dot11vSubworker : public IRrmSubworker {
public:
    using IRrmSubworker::IRrmSubworker;
    ~LoadBalancer802dot11vSubworker() override;

    void force_optimization() override;
    bool process_message(const JsonReader& message, const char* cmd, ApEntry* ap) override;
    void process_timer() override;
    void stop() override;

    // Plans an update of the APs' 802.11v lists (restart: the planned
    // update's delay starts again). Nothing yet.
    void planning_update_802dot11v(bool restart);
    // Fills the "802dot11k" array of one AP with the 802.11v variant of its
    // neighbour list; true when the list changed since it was last sent.
    // Nothing yet: the array stays empty and the answer is false.
    bool build_802dot11kv_list(const ApEntry& ap, JsonWriter& array);
    // Every radio of every active AP: the current priority becomes the one
    // last sent, and its list counts as sent.
    void mark_priorities_sent();
};

}  // namespace rrm
