#pragma once
// The four sub-workers of a domain worker, owned, in their fixed order:
// [0] channel and power planning, [1] block lists, [2] probe-based load
// balancing, [3] 802.11v load balancing. Built in that order, destroyed in
// the reverse one.

#include "ChannelSets.h"

#include <array>
#include <cstddef>
#include <memory>
#include <string>

namespace rrm {

class ApMap;
class BlacklistSubworker;
class DomainConfig;
class IRrmSubworker;
class LoadBalancer802dot11vSubworker;
class LoadBalancerSubworker;
class RrmWorker;
class TpcDcaSubworker;

class SubworkerSet {
public:
    static constexpr std::size_t COUNT = 4;

    // Every sub-worker gets the same six context pointers, the first one
    // gets the domain's channel sets too.
    SubworkerSet(const DomainConfig* config, const std::string* domain_name, RrmWorker* worker,
                 ApMap* aps, ApMap* aps_to_delete, ApMap* unanswered_aps,
                 ChannelSets* channel_sets);
    ~SubworkerSet();
    SubworkerSet(const SubworkerSet&) = delete;
    SubworkerSet& operator=(const SubworkerSet&) = delete;

    TpcDcaSubworker* get_tpc_dca() const { return tpc_dca; }
    BlacklistSubworker* get_blacklist() const { return blacklist; }
    LoadBalancerSubworker* get_load_balancer() const { return load_balancer; }
    LoadBalancer802dot11vSubworker* get_load_balancer_802dot11v() const
    {
        return load_balancer_802dot11v;
    }
    // Index 0 to 3; null beyond.
    IRrmSubworker* get(std::size_t index) const;

    // stop, or poll_timers, on each in index order.
    void stop_all();
    void poll_all();

private:
    std::array<std::unique_ptr<IRrmSubworker>, COUNT> items;
    TpcDcaSubworker* tpc_dca = nullptr;
    BlacklistSubworker* blacklist = nullptr;
    LoadBalancerSubworker* load_balancer = nullptr;
    LoadBalancer802dot11vSubworker* load_balancer_802dot11v = nullptr;
};

}  // namespace rrm
