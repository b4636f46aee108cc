#pragma once
// One set of APs of a domain (active, unanswered or deleted), keyed by the
// MAC under which each was inserted (its base MAC), with the index of their
// BSSIDs. No lock: see ApEntry.
//
// Invariants, kept by every operation here:
// - an index entry only ever names an AP that this map's table holds;
// - a table never replaces an entry: the first AP stored under a MAC stays,
//   and an AP that cannot enter a map because another AP holds its MAC there
//   stays where it was, so a move never loses an AP from every map.
// - `heard` holds exactly the visible members of the APs of the table: each
//   AP's visible members report to it while the AP is held (NeighbourMap::
//   watch), whoever changes them.
// APs leave the table only through the operations here (erase, the moves,
// age); a caller must not erase table entries itself.

#include "ApEntry.h"
#include "ApStorage.h"
#include "BaseSession.h"
#include "MacAddress.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace rrm {

class JsonReader;
class JsonWriter;

// One VAP of an 802.11k neighbour entry: an SSID that the neighbour radio
// and the listening AP's radio both serve with 802.11k.
struct NeighbourVap {
    uint32_t id = 0;
    std::string ssid;
    std::string mac;
};

class ApMap {
public:
    using ApPtr = std::shared_ptr<ApEntry>;
    using Table = std::unordered_map<MacAddress, ApPtr, MacHash>;

    ApMap();
    ~ApMap();
    ApMap(const ApMap&) = delete;
    ApMap& operator=(const ApMap&) = delete;

    // Adds mac -> ap and indexes the AP. When mac already names another AP,
    // that AP stays and the given one is neither stored nor indexed; when it
    // names this very AP, the AP is indexed again.
    void insert(const MacAddress& mac, const ApPtr& ap);
    // The AP of a message: std::out_of_range "AP not found" when the table
    // has no AP under mac, "invalid session" when the AP's session id is not
    // the given session's.
    const ApPtr& get_ap(const MacAddress& mac, const BaseSession& session) const;

    // Through the index, with the locally-administered retry.
    ApPtr find_ap_by_bssid(const MacAddress& bssid) const;
    int find_radio_id_by_bssid(const MacAddress& bssid) const;
    bool contains_bssid(const MacAddress& bssid) const;

    std::size_t size() const { return table.size(); }
    bool empty() const { return table.empty(); }

    // Removes the AP held under the key (index entries, heard BSSIDs, table
    // entry); false when the key holds none.
    bool erase(const MacAddress& key);
    Table::iterator erase(Table::iterator it);

    // Rebuilds the index entries of an AP whose radios or VAPs changed;
    // nothing for an AP this map's table does not hold.
    void reindex_ap(const ApPtr& ap);

    // Every AP's radio list is marked received and has an enabled radio on
    // a channel; true for an empty map.
    bool all_aps_received() const;
    void reset_radios_received();
    // Clears active, and conflicted and power_changed of every radio.
    void reset_active_flags();
    // Empties the pending changes and disassociations of every block list;
    // blocked clients stay.
    void clear_blacklist_changes();
    void clear_all_blacklists();

    // Removes every AP whose session id is the given one.
    void erase_session_aps(const BaseSession& session);
    // Counts every AP's ttl down and removes those at 0 or below; returns how
    // many were removed.
    int age();

    // Moves into target, each with a time-to-live: the APs of a session
    // (their block lists and client tables emptied, the away time-out of
    // their own settings as ttl), the APs that did not answer the mode
    // request, those without scan results, those without an enabled radio
    // on a channel. The others return the number moved.
    void move_session_aps(const BaseSession& session, ApMap& target);
    int move_inactive_aps(ApMap& target, int ttl);
    int move_aps_not_received(ApMap& target, int ttl);
    int move_aps_without_active_radio(ApMap& target, int ttl);
    // Takes every AP of other, TTLs and flags unchanged; other keeps only
    // the APs whose MAC this map already holds.
    void move_all_from(ApMap& other);

    // Deep copy for the optimisation thread: new AP objects (without
    // session), nothing shared with this map.
    std::unique_ptr<ApMap> copy() const;
    // Adds a deep copy of one AP under `key` (a step of copy, for a copy
    // made in shares).
    void add_copy(const MacAddress& key, const ApEntry& ap);

    void dump() const;

    // The domain status arrays: one AP state object, or one
    // {"board", "mac", "serial", "hw", "radios"} object, per AP, in
    // ascending MAC order.
    void to_json(JsonWriter& array) const;
    void details_to_json(JsonWriter& array) const;

    // The table's entries in ascending MAC order: the order of every array
    // written from this map.
    std::vector<const Table::value_type*> sorted() const;

    // Scan view. Replaces the AP's visible members and rogues from the
    // "rf-environment" of an "rrm-response": one scan directly, several
    // merged per BSSID; absent or null changes nothing, and so does a null
    // scan among several. BSSIDs this map's index knows are members.
    void update_rf_environment(ApEntry& ap, const JsonReader& rf_environment) const;
    // Empties both tables and fills them from one scan; a null entry ends
    // the scan.
    void fill_from_json_rf_environment(const JsonReader& scan, NeighbourMap& members,
                                       NeighbourMap& rogue) const;

    // 802.11k neighbour list of the viewer AP: appends to the "802dot11k"
    // array one entry per radio of this map's APs that serves an 802.11k
    // SSID of the viewer with 802.11k on a band the viewer serves. Either
    // every enabled radio of every other AP (use_all_neighbours), or the
    // radios behind the BSSIDs of `visible` (the viewer's visible members).
    // Entries come in ascending MAC order of the APs or of the BSSIDs, their
    // "vaps" in ascending SSID order.
    void neighbours_to_json(const ApEntry& viewer, JsonWriter& array,
                            const NeighbourMap& visible) const;
    // At most one entry for a neighbour radio heard as `bssid`.
    void write_neighbour_entry(const ApEntry& viewer, JsonWriter& array, const Radio& radio,
                               const MacAddress& bssid) const;
    // Appends the VAPs of `radio` whose SSID `viewer_radio` also serves, both
    // with 802.11k; the MAC takes the locally-administered bit of `bssid`
    // when the VAP or the radio is the one heard as `bssid`.
    void collect_neighbour_vaps(const Radio& radio, const MacAddress& bssid,
                                const Radio& viewer_radio, std::vector<NeighbourVap>& vaps) const;
    // The BSSID under which radio `radio_id` of `ap` is heard: by the viewer
    // or, without one, by the other APs of this map taken in ascending MAC
    // order; among the BSSIDs of one hearing AP the lowest; heard by none:
    // the radio's own MAC.
    MacAddress get_visible_radio_mac(const ApEntry& ap, int radio_id,
                                     const ApEntry* viewer) const;
    // The same, without a viewer, for every radio of `ap` at once (by
    // position in its radio list). Both look the hearers up in `heard`: the
    // cost is that of the AP's own BSSIDs and their hearers, not of the map.
    std::vector<MacAddress> get_visible_radio_macs(const ApEntry& ap) const;
    // The keys of the other APs of this map that hear the AP (a BSSID of it
    // among their visible members, either local bit) or that it hears (its
    // visible members that the index gives to them), each once, in no
    // particular order. From `heard` and the index: the cost is that of
    // the AP's BSSIDs, their hearers and its own visible members.
    void hearing_partners(const ApEntry& ap, std::vector<MacAddress>& keys) const;
    // The list covers every AP of the map instead of the heard ones.
    bool use_all_neighbours(const ApEntry& viewer) const;

    Table table;
    ApStorage index;
    // Who in this map hears which BSSID.
    HeardIndex heard;

private:
    // The AP enters or leaves the table under key: its visible members
    // start or stop reporting to `heard`.
    void hold(const MacAddress& key, const ApPtr& ap);
    void release(const MacAddress& key, const ApPtr& ap);
    // How the other APs of this map hear the radios of the AP with that
    // base MAC: per radio id, the first hearer in ascending key order and
    // the lowest BSSID under which it hears the radio. From `heard`.
    struct HeardAs {
        int radio_id;
        MacAddress hearer;
        MacAddress bssid;
    };
    void find_hearers(const MacAddress& base_mac, std::vector<HeardAs>& out) const;

    // Moves the APs that `select` picks (after `prepare` ran on each) into
    // target; returns how many arrived there.
    int move_if(ApMap& target, const std::function<bool(const ApEntry&)>& select,
                const std::function<void(ApEntry&)>& prepare);
};

}  // namespace rrm
