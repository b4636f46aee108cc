// The steering helpers of the block-list sub-worker: what is done to one
// client across the APs of a domain. They only queue entries in the radios'
// block lists and take the client out of client tables; the block-list tick
// sends them.

#include "BlacklistSubworker.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "DomainConfig.h"
#include "MacAddress.h"
#include "Radio.h"

#include <string>

namespace rrm {

namespace {

// The radios the helpers may touch: enabled, with a VAP for the SSID, and
// open to the load balancer.
bool serves(const Radio& radio, const std::string& ssid)
{
    return radio.status && radio.locked_balancer == 0 && radio.vaps.find(ssid) != nullptr;
}

bool is_associated(const Radio& radio, const MacAddress& client)
{
    return radio.client_table.clients.count(client) != 0;
}

// The block or unblock of one radio: a radio the client is associated with
// is never blocked.
void apply(Radio& radio, const MacAddress& client, int timeout, bool block)
{
    if (block) {
        if (!is_associated(radio, client))
            radio.block_list.block(client, timeout);
    } else {
        radio.block_list.unblock(client);
    }
}

// X counts as a neighbour of the AP: every other AP does with
// use_all_ap_balance, otherwise one that hears one of the AP's radios.
bool is_neighbour(const ApEntry& x, const ApEntry& ap, const DomainConfig& config)
{
    return config.use_all_ap_balance || x.visible_members.contains_radio_of(ap);
}

bool is_5_or_6_ghz(const Radio& radio)
{
    const int32_t band = radio.get_band();
    return band == BAND_5G || band == BAND_6G;
}

}  // namespace

void BlacklistSubworker::update_blacklists(const MacAddress& client, const ApEntry& ap,
                                           const DomainConfig& config, ApMap& map,
                                           const char* ssid, int radio_id, bool block)
{
    if (!config.use_balance || ssid == nullptr || *ssid == '\0')
        return;
    const std::string name(ssid);
    for (auto& entry : map.table) {
        ApEntry& x = *entry.second;
        if (entry.first == ap.base_mac) {
            update_blacklists_on_ap(client, x, config, ssid, radio_id, block);
            continue;
        }
        if (!is_neighbour(x, ap, config))
            continue;
        for (Radio& radio : x.radios.radios)
            if (serves(radio, name))
                apply(radio, client, config.blacklist_timeout, block);
    }
}

void BlacklistSubworker::update_blacklists_on_ap(const MacAddress& client, ApEntry& ap,
                                                 const DomainConfig& config, const char* ssid,
                                                 int radio_id, bool block)
{
    if (!config.use_balance || ssid == nullptr || *ssid == '\0')
        return;
    const std::string name(ssid);
    for (Radio& radio : ap.radios.radios) {
        if (!serves(radio, name))
            continue;
        // On the client's own AP only the other radios outside 5 and 6 GHz:
        // a client held on 5 GHz is kept off the AP's 2.4 GHz radio, the
        // AP's other fast radios stay open to it.
        if (radio_id != NO_RADIO && is_5_or_6_ghz(radio))
            continue;
        if (static_cast<int64_t>(radio.id) == radio_id)
            continue;
        apply(radio, client, config.blacklist_timeout, block);
    }
}

const std::vector<ApEntry*>& BlacklistSubworker::hearers_of(const ApEntry& ap)
{
    return hearing.hearers(*aps, ap);
}

void BlacklistSubworker::update_blacklists_nearby(const MacAddress& client, const ApEntry& ap,
                                                  const char* ssid, int radio_id, bool block)
{
    const DomainConfig& settings = *config;
    if (!settings.use_balance || ssid == nullptr || *ssid == '\0')
        return;
    // Every other AP counts: nothing to look up.
    if (settings.use_all_ap_balance) {
        update_blacklists(client, ap, settings, *aps, ssid, radio_id, block);
        return;
    }
    auto own = aps->table.find(ap.base_mac);
    if (own != aps->table.end())
        update_blacklists_on_ap(client, *own->second, settings, ssid, radio_id, block);
    const std::string name(ssid);
    for (ApEntry* x : hearers_of(ap))
        for (Radio& radio : x->radios.radios)
            if (serves(radio, name))
                apply(radio, client, settings.blacklist_timeout, block);
}

void BlacklistSubworker::block_elsewhere(const MacAddress& client, const ApEntry& ap,
                                         const char* ssid, int radio_id)
{
    update_blacklists_nearby(client, ap, ssid, radio_id, true);
}

void BlacklistSubworker::unblock_elsewhere(const MacAddress& client, const ApEntry& ap,
                                           const char* ssid, int radio_id)
{
    update_blacklists_nearby(client, ap, ssid, radio_id, false);
}

void BlacklistSubworker::update_blacklists_by_rssi(const MacAddress& client, int rssi,
                                                   const ApEntry& ap, const char* ssid,
                                                   int radio_id)
{
    const bool strong = rssi != 0 && rssi > config->blacklist_thr_high;
    update_blacklists_nearby(client, ap, ssid, radio_id, strong);
}

void BlacklistSubworker::update_blacklists_by_rssi(const MacAddress& client, int rssi,
                                                   const ApEntry& ap,
                                                   const DomainConfig& settings, ApMap& map,
                                                   const char* ssid, int radio_id)
{
    if (!settings.use_balance)
        return;
    const bool strong = rssi != 0 && rssi > settings.blacklist_thr_high;
    update_blacklists(client, ap, settings, map, ssid, radio_id, strong);
}

void BlacklistSubworker::disassociate_elsewhere(const MacAddress& client, const ApEntry& ap,
                                                const char* ssid)
{
    const DomainConfig& settings = *config;
    if (settings.use_all_ap_balance) {
        disassociate_elsewhere(client, ap, settings, *aps, ssid);
        return;
    }
    if (!settings.use_balance || ssid == nullptr || *ssid == '\0')
        return;
    for (ApEntry* x : hearers_of(ap))
        disassociate_on_ap(client, *x, settings, ssid);
}

void BlacklistSubworker::disassociate_elsewhere(const MacAddress& client, const ApEntry& ap,
                                                const DomainConfig& settings, ApMap& map,
                                                const char* ssid)
{
    if (!settings.use_balance || ssid == nullptr || *ssid == '\0')
        return;
    for (auto& entry : map.table) {
        if (entry.first == ap.base_mac)
            continue;
        ApEntry& x = *entry.second;
        if (is_neighbour(x, ap, settings))
            disassociate_on_ap(client, x, settings, ssid);
    }
}

void BlacklistSubworker::disassociate_on_ap(const MacAddress& client, ApEntry& ap,
                                            const DomainConfig& settings, const char* ssid)
{
    if (!settings.use_balance || ssid == nullptr || *ssid == '\0')
        return;
    const std::string name(ssid);
    for (Radio& radio : ap.radios.radios) {
        if (!serves(radio, name) || !is_associated(radio, client))
            continue;
        radio.block_list.block_disassoc(client, settings.blacklist_timeout, ssid);
        radio.client_table.erase_client(client);
        radio.client_table.dump();
    }
}

}  // namespace rrm
