#pragma once
// One access point known to a domain worker: its identity, base MAC, three
// radios, session, per-cycle flags and scan view. Always held by
// std::shared_ptr: the same entry moves between the worker's active,
// unanswered and deleted maps. Plain fields, no lock: used on the domain
// worker's thread, or by another thread holding that worker's lock.

#include "BaseSession.h"
#include "ChannelSets.h"
#include "MacAddress.h"
#include "Neighbour.h"
#include "RadioList.h"

#include <cstdint>
#include <memory>
#include <string>

namespace rrm {

class DomainConfig;
class JsonReader;
class JsonWriter;

// The AP's identity as it declared it when subscribing ("factory").
struct FactorySettings {
    std::string board;
    std::string hw;
    std::string serial;
    MacAddress mac;

    FactorySettings() = default;
    // Lenient: absent or non-string members give empty texts, an absent or
    // malformed "mac" 00:00:00:00:00:00.
    explicit FactorySettings(const JsonReader& factory);
    FactorySettings(const std::string& board, const std::string& hw, const std::string& serial,
                    const MacAddress& mac);
};

// Hardware platform of an AP, classified from its board name: -1 not
// classified, 0 "TSDK", 1 "FastPath", 2 "Realtek".
using ApPlatform = int32_t;
constexpr ApPlatform AP_PLATFORM_UNKNOWN = -1;
constexpr ApPlatform AP_PLATFORM_TSDK = 0;
constexpr ApPlatform AP_PLATFORM_FASTPATH = 1;
constexpr ApPlatform AP_PLATFORM_REALTEK = 2;

// Without "ap-mac-count" an AP may use this many MAC addresses.
constexpr int32_t DEFAULT_AP_MAC_COUNT = 48;

class ApEntry {
public:
    ApPlatform platform = AP_PLATFORM_UNKNOWN;
    // The AP's own MAC, the key of the AP maps; its radio MACs derive from it.
    MacAddress base_mac;
    // The owning domain worker's copy of the domain settings; not owned.
    const DomainConfig* config = nullptr;
    // Domain-timer ticks left while the AP waits in the unanswered or
    // deleted map.
    int32_t ttl = 0;
    RadioList radios;
    // The session the AP subscribed on; null_session for an AP restored from
    // a backup (until it subscribes again) and for copies.
    BaseSession session = null_session;
    bool session_dropped = false;
    FactorySettings factory;
    // The AP answered the current mode request.
    bool active = false;
    // The AP's 802.11r links changed in the last 802.11r update.
    bool fbt_changed = false;
    // BSSIDs the AP hears that belong to APs of its map, and all others.
    NeighbourMap visible_members;
    NeighbourMap visible_rogue;
    int32_t ap_mac_count = DEFAULT_AP_MAC_COUNT;
    bool use_wildcard_80211r = false;

    ApEntry(const DomainConfig* config, const MacAddress& base_mac, const BaseSession& session,
            const FactorySettings& factory = FactorySettings());
    // The only copy: everything but the session, which becomes null_session,
    // so a snapshot can never be mistaken for the live AP.
    ApEntry(const ApEntry& other);
    ApEntry& operator=(const ApEntry&) = delete;

    // Classifies factory.board; run by construction and copy only.
    void detect_platform();
    ApPlatform get_platform() const { return platform; }
    // "TSDK", "FastPath", "Realtek" or "Unknown".
    std::string get_platform_name() const;

    // The MAC of the radio with that id, enabled or not; for an id no radio
    // has, a Warning and the base MAC.
    MacAddress get_radio_mac(int radio_id) const;

    // Fills the entry from one AP element of a domain backup; channel_sets
    // (the domain worker's) receives the restored radios' channels.
    void restore(const JsonReader& element, ChannelSets& channel_sets);
    // The AP state object of management replies and backups.
    void to_json(JsonWriter& object) const;
    // "radios": [{"id", "vaps"}] with the short / full VAP form.
    void vaps_to_json(JsonWriter& object) const;
    void vaps_to_json_full(JsonWriter& object) const;

    // Per radio: drops every blocked client, pending change and pending
    // disassociation; empties the client tables; requeues a block for
    // every blocked client.
    void clear_blacklists();
    void clear_clients();
    void requeue_blacklists();

    // This AP hears one of the other AP's radio MACs (enabled or not),
    // directly or with the locally-administered bit flipped.
    bool sees_radio_of(const std::shared_ptr<ApEntry>& other) const;
};

}  // namespace rrm
