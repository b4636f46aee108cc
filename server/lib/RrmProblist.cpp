#include "RrmProblist.h"

#include "Log.h"

namespace rrm {

RrmProblistEntry::RrmProblistEntry(int32_t seconds, std::string_view round_ssid,
                                   const MacAddress& source)
    : ssid(round_ssid), src_mac(source), countdown(seconds)
{
}

void RrmProblistEntry::expect_ap(const MacAddress& radio_mac)
{
    awaited.insert(radio_mac);
}

void RrmProblistEntry::put_result(const MacAddress& radio_mac, int32_t rssi,
                                  std::string_view answer_ssid)
{
    if (!same_ssid(answer_ssid))
        return;
    results.insert_or_assign(radio_mac, rssi);
}

void RrmProblistEntry::mark_answered(const MacAddress& radio_mac, std::string_view answer_ssid)
{
    if (!same_ssid(answer_ssid))
        return;
    awaited.erase(radio_mac);
}

void RrmProblist::add(const MacAddress& client, const MacAddress& src_mac, int32_t countdown,
                      std::string_view ssid)
{
    if (ssid.empty())
        return;
    table.erase(client);
    table.emplace(client, RrmProblistEntry(countdown, ssid, src_mac));
}

void RrmProblist::remove(const MacAddress& client)
{
    table.erase(client);
}

void RrmProblist::expect_ap(const MacAddress& client, const MacAddress& radio_mac)
{
    if (RrmProblistEntry* round = find(client))
        round->expect_ap(radio_mac);
}

void RrmProblist::put_result(const MacAddress& client, const MacAddress& radio_mac, int32_t rssi,
                             std::string_view ssid)
{
    if (RrmProblistEntry* round = find(client))
        round->put_result(radio_mac, rssi, ssid);
}

void RrmProblist::mark_answered(const MacAddress& client, const MacAddress& radio_mac,
                                std::string_view ssid)
{
    if (RrmProblistEntry* round = find(client))
        round->mark_answered(radio_mac, ssid);
}

RrmProblistEntry* RrmProblist::find(const MacAddress& client)
{
    auto it = table.find(client);
    return it == table.end() ? nullptr : &it->second;
}

const RrmProblistEntry* RrmProblist::find(const MacAddress& client) const
{
    auto it = table.find(client);
    return it == table.end() ? nullptr : &it->second;
}

void log_problist_drop(const MacAddress& client)
{
    RRM_DEBUG("RrmProblist: drop - %s", mac_to_string(client).c_str());
}

}  // namespace rrm
