#include "SubworkerSet.h"

#include "BlacklistSubworker.h"
#include "LoadBalancer802dot11vSubworker.h"
#include "LoadBalancerSubworker.h"
#include "TpcDcaSubworker.h"

namespace rrm {

SubworkerSet::SubworkerSet(const DomainConfig* config, const std::string* domain_name,
                           RrmWorker* worker, ApMap* aps, ApMap* aps_to_delete,
                           ApMap* unanswered_aps, ChannelSets* channel_sets)
{
    // Each one is owned as soon as it exists: a failure further on destroys
    // those already built.
    auto first = std::make_unique<TpcDcaSubworker>(config, domain_name, worker, aps,
                                                   aps_to_delete, unanswered_aps, channel_sets);
    tpc_dca = first.get();
    items[0] = std::move(first);
    auto second = std::make_unique<BlacklistSubworker>(config, domain_name, worker, aps,
                                                       aps_to_delete, unanswered_aps);
    blacklist = second.get();
    items[1] = std::move(second);
    auto third = std::make_unique<LoadBalancerSubworker>(config, domain_name, worker, aps,
                                                         aps_to_delete, unanswered_aps);
    load_balancer = third.get();
    items[2] = std::move(third);
    auto fourth = std::make_unique<LoadBalancer802dot11vSubworker>(
        config, domain_name, worker, aps, aps_to_delete, unanswered_aps);
    load_balancer_802dot11v = fourth.get();
    items[3] = std::move(fourth);
}

SubworkerSet::~SubworkerSet()
{
    for (std::size_t i = COUNT; i-- > 0;)
        items[i].reset();
}

IRrmSubworker* SubworkerSet::get(std::size_t index) const
{
    return index < COUNT ? items[index].get() : nullptr;
}

void SubworkerSet::stop_all()
{
    for (auto& item : items)
        item->stop();
}

void SubworkerSet::poll_all()
{
    for (auto& item : items)
        item->poll_timers();
}

}  // namespace rrm
