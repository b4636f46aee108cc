#include "LoadBalancer802dot11vSubworker.h"

#include "ApMap.h"

namespace rrm {

LoadBalancer802dot11vSubworker::~LoadBalancer802dot11vSubworker() = default;

void LoadBalancer802dot11vSubworker::force_optimization()
{
}

bool LoadBalancer802dot11vSubworker::process_message(const JsonReader&, const char*, ApEntry*)
{
    return true;
}

void LoadBalancer802dot11vSubworker::process_timer()
{
}

void LoadBalancer802dot11vSubworker::stop()
{
}

void LoadBalancer802dot11vSubworker::planning_update_802dot11v(bool)
{
}

bool LoadBalancer802dot11vSubworker::build_802dot11kv_list(const ApEntry&, JsonWriter&)
{
    return false;
}

void LoadBalancer802dot11vSubworker::mark_priorities_sent()
{
    for (auto& entry : aps->table)
        for (Radio& radio : entry.second->radios.radios) {
            radio.priority_sent = radio.priority;
            radio.list_changed = false;
        }
}

}  // namespace rrm
