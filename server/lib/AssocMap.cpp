#include "AssocMap.h"

#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"

#include <cstddef>
#include <ctime>

namespace rrm {

AssocClient::AssocClient(int rssi, int64_t assoc_time, const std::string& ssid, bool no_balance,
                         bool need_ack)
    : rssi(rssi), assoc_time(assoc_time), ssid(ssid), no_balance(no_balance), need_ack(need_ack)
{
}

void AssocClient::to_json(JsonWriter& object) const
{
    object.add_int("dbm-signal", rssi);
    object.add_string("ssid", ssid.c_str());
    object.add_int("no-balance", no_balance ? 1 : 0);
}

bool AssocMap::add_client(const MacAddress& mac, int rssi, const char* ssid, bool no_balance,
                          bool need_ack)
{
    if (!ssid || !*ssid)
        return true;
    if (clients.size() >= static_cast<std::size_t>(MAX_CLIENTS) && clients.count(mac) == 0)
        return false;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    put_client(mac, AssocClient(rssi, static_cast<int64_t>(now.tv_sec), ssid, no_balance, need_ack));
    return true;
}

void AssocMap::put_client(const MacAddress& mac, const AssocClient& client)
{
    erase_client(mac);
    clients.emplace(mac, client);
}

int AssocMap::update_rssi(const MacAddress& mac, int rssi)
{
    auto it = clients.find(mac);
    if (it == clients.end() || rssi >= 0)
        return 0;
    it->second.rssi = rssi;
    return 1;
}

void AssocMap::erase_client(const MacAddress& mac)
{
    clients.erase(mac);
}

bool AssocMap::add_expected_sta(const MacAddress& mac, const ExpectedSta& sta)
{
    if (clients.count(mac))
        return true;
    if (expected.size() >= static_cast<std::size_t>(MAX_CLIENTS) && expected.count(mac) == 0)
        return false;
    erase_expected_sta(mac);
    expected.emplace(mac, sta);
    return true;
}

void AssocMap::erase_expected_sta(const MacAddress& mac)
{
    expected.erase(mac);
}

void AssocMap::age_expected_stas()
{
    for (auto it = expected.begin(); it != expected.end();) {
        // Compared before lowering, so no ttl can wrap below INT32_MIN.
        if (it->second.ttl <= 1) {
            it = expected.erase(it);
        } else {
            --it->second.ttl;
            ++it;
        }
    }
}

void AssocMap::clear()
{
    clients.clear();
    expected.clear();
}

void AssocMap::dump() const
{
    // Called on every change of the table: with Debug off it must not cost
    // a walk of the radio's clients.
    if (!log_enabled(LOG_LEVEL_DEBUG))
        return;
    RRM_DEBUG("Assocc clients:  %zu - %zu", clients.size(), expected.size());
    std::size_t n = 0;
    for (const auto& entry : clients) {
        ++n;
        const PeerText ssid(entry.second.ssid);
        RRM_DEBUG("Client (%zu/%zu) %s - %s rssi %d no_balance %d", n, clients.size(),
                  mac_to_string(entry.first).c_str(), ssid.c_str(), entry.second.rssi,
                  entry.second.no_balance ? 1 : 0);
    }
}

void AssocMap::to_json(JsonWriter& array) const
{
    for (const auto* entry : entries_by_mac(clients)) {
        JsonWriter object = array.add_object("");
        object.add_string("mac", mac_to_string(entry->first).c_str());
        object.add_int("dbm-signal", entry->second.rssi);
        object.add_string("ssid", entry->second.ssid.c_str());
        object.add_int("no-balance", entry->second.no_balance ? 1 : 0);
    }
}

int AssocMap::from_json(const JsonReader& assoclist)
{
    if (assoclist.is_null())
        return 0;
    clients.clear();
    int left_out = 0;
    const int count = assoclist.size();
    for (int i = 0; i < count; ++i) {
        JsonReader element = assoclist.child(i);
        if (element.is_null())
            continue;
        const int rssi = element.get_int("rssi");
        const char* mac = element.get_string("mac");
        const char* ssid = element.get_string("ssid");
        if (!*mac || !*ssid)
            continue;
        // The first element of a MAC wins.
        const MacAddress key = mac_from_string(mac);
        if (clients.size() >= static_cast<std::size_t>(MAX_CLIENTS)) {
            left_out += clients.count(key) == 0 ? 1 : 0;
            continue;
        }
        clients.emplace(key, AssocClient(rssi, 0, ssid, false, false));
    }
    return left_out;
}

}  // namespace rrm
