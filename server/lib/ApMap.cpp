#include "ApMap.h"

#include "DomainConfig.h"

namespace rrm {

ApMap::ApMap()
{
    table.max_load_factor(1.0f);
}

void ApMap::insert(const MacAddress& mac, const ApPtr& ap)
{
    table.emplace(mac, ap);
}

void ApMap::erase_session_aps(const BaseSession& session)
{
    for (auto it = table.begin(); it != table.end();) {
        if (it->second->session.id == session.id)
            it = table.erase(it);
        else
            ++it;
    }
}

void ApMap::move_session_aps(const BaseSession& session, ApMap& target)
{
    for (auto it = table.begin(); it != table.end();) {
        ApPtr& ap = it->second;
        if (ap->session.id != session.id) {
            ++it;
            continue;
        }
        ap->ttl = ap->config ? ap->config->away_timeout_ticks() : 0;
        target.table.emplace(it->first, ap);
        it = table.erase(it);
    }
}

int ApMap::age()
{
    int removed = 0;
    for (auto it = table.begin(); it != table.end();) {
        if (--it->second->ttl <= 0) {
            it = table.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}

}  // namespace rrm
