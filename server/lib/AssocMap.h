#pragma once
// The clients of one radio: those associated with it and those a steering
// decision sent towards it that have not arrived yet.

#include "MacAddress.h"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace rrm {

class JsonReader;
class JsonWriter;

struct AssocClient {
    int32_t rssi = 0;
    // Whole seconds of CLOCK_MONOTONIC when the association was recorded; 0
    // for clients taken from an AP's own list.
    int64_t assoc_time = 0;
    std::string ssid;
    bool no_balance = false;
    bool need_ack = false;

    AssocClient() = default;
    AssocClient(int rssi, int64_t assoc_time, const std::string& ssid, bool no_balance,
                bool need_ack);

    // "dbm-signal", "ssid" and "no-balance" into an object writer.
    void to_json(JsonWriter& object) const;
};

struct ExpectedSta {
    // Through this MAC the steering finds the AP the client leaves.
    MacAddress ap_mac;
    uint32_t radio_id = 0;
    int32_t ttl = 0;  // seconds left
};

class AssocMap {
public:
    // The most stations an 802.11 radio can associate (association ids 1 to
    // 2007): neither table takes a client beyond it, so forged reports
    // cannot grow a radio without bound.
    static constexpr int MAX_CLIENTS = 2007;

    std::unordered_map<MacAddress, AssocClient, MacHash> clients;
    std::unordered_map<MacAddress, ExpectedSta, MacHash> expected;

    // Records an association now, replacing any record of the client.
    // Without an SSID nothing happens (true). False when the client is new
    // and the table is full: nothing changes.
    bool add_client(const MacAddress& mac, int rssi, const char* ssid, bool no_balance,
                    bool need_ack);
    void put_client(const MacAddress& mac, const AssocClient& client);
    // Only signal levels below 0 are taken; returns 1 when stored.
    int update_rssi(const MacAddress& mac, int rssi);
    void erase_client(const MacAddress& mac);
    void disassoc_client(const MacAddress& mac) { erase_client(mac); }

    // An associated client is not expected; a repeated decision restarts the
    // entry. False when the station is new and the table is full: nothing
    // changes.
    bool add_expected_sta(const MacAddress& mac, const ExpectedSta& sta);
    void erase_expected_sta(const MacAddress& mac);
    // One second passed: entries whose time is up go.
    void age_expected_stas();

    void clear();
    // The radio's client load: associated plus expected stations (a MAC in
    // both tables counts twice).
    int size() const { return static_cast<int>(clients.size() + expected.size()); }
    void dump() const;

    // One "assoc_clients" element per associated client.
    void to_json(JsonWriter& array) const;
    // Replaces the associated clients with an AP's "assoclist"; a null or
    // absent list changes nothing. Expected stations stay. At most
    // MAX_CLIENTS are taken, the first ones; returns how many clients of the
    // list were left out for that.
    int from_json(const JsonReader& assoclist);
};

}  // namespace rrm
