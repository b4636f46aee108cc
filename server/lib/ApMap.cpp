#include "ApMap.h"

#include "ChannelPlan.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>

namespace rrm {

ApMap::ApMap()
{
    table.max_load_factor(1.0f);
}

ApMap::~ApMap()
{
    // The index's references go first, then the table's.
    index.table.clear();
    table.clear();
}

void ApMap::insert(const MacAddress& mac, const ApPtr& ap)
{
    if (!ap)
        return;
    auto result = table.emplace(mac, ap);
    if (!result.second && result.first->second != ap) {
        RRM_WARNING("AP %s not added: MAC %s already held by AP %s",
                    mac_to_string(ap->base_mac).c_str(), mac_to_string(mac).c_str(),
                    mac_to_string(result.first->second->base_mac).c_str());
        return;
    }
    index.insert_ap(ap);
}

const ApMap::ApPtr& ApMap::get_ap(const MacAddress& mac, const BaseSession& session) const
{
    auto it = table.find(mac);
    if (it == table.end())
        throw std::out_of_range("AP not found");
    if (it->second->session.id != session.id)
        throw std::out_of_range("invalid session");
    return it->second;
}

ApMap::ApPtr ApMap::find_ap_by_bssid(const MacAddress& bssid) const
{
    return index.find_ap(bssid);
}

int ApMap::find_radio_id_by_bssid(const MacAddress& bssid) const
{
    return index.find_radio_id(bssid);
}

bool ApMap::contains_bssid(const MacAddress& bssid) const
{
    return find_ap_by_bssid(bssid) != nullptr;
}

void ApMap::reindex_ap(const ApPtr& ap)
{
    if (!ap)
        return;
    auto it = table.find(ap->base_mac);
    bool held = it != table.end() && it->second == ap;
    if (!held)
        held = std::any_of(table.begin(), table.end(),
                           [&](const Table::value_type& entry) { return entry.second == ap; });
    if (held)
        index.insert_ap(ap);
}

bool ApMap::all_aps_received() const
{
    for (const auto& entry : table)
        if (!entry.second->radios.is_ready())
            return false;
    return true;
}

void ApMap::reset_radios_received()
{
    for (auto& entry : table)
        entry.second->radios.reset_received();
}

void ApMap::reset_active_flags()
{
    for (auto& entry : table) {
        ApEntry& ap = *entry.second;
        ap.active = false;
        ap.radios.clear_conflicted();
        ap.radios.clear_power_changed();
    }
}

void ApMap::clear_blacklist_changes()
{
    for (auto& entry : table) {
        for (Radio& radio : entry.second->radios.radios) {
            radio.block_list.changes.clear();
            radio.block_list.disassoc.clear();
        }
    }
}

void ApMap::clear_all_blacklists()
{
    for (auto& entry : table)
        entry.second->clear_blacklists();
}

void ApMap::erase_session_aps(const BaseSession& session)
{
    for (auto it = table.begin(); it != table.end();) {
        if (it->second->session.id == session.id) {
            index.erase_ap(it->second);
            it = table.erase(it);
        } else {
            ++it;
        }
    }
}

int ApMap::age()
{
    int removed = 0;
    for (auto it = table.begin(); it != table.end();) {
        ApEntry& ap = *it->second;
        // A ttl restored from a backup may be any 32-bit value.
        const int64_t left = static_cast<int64_t>(ap.ttl) - 1;
        ap.ttl = static_cast<int32_t>(std::max<int64_t>(left, std::numeric_limits<int32_t>::min()));
        if (left <= 0) {
            index.erase_ap(it->second);
            it = table.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}

int ApMap::move_if(ApMap& target, const std::function<bool(const ApEntry&)>& select,
                   const std::function<void(ApEntry&)>& prepare)
{
    int moved = 0;
    for (auto it = table.begin(); it != table.end();) {
        const ApPtr ap = it->second;
        if (!select(*ap)) {
            ++it;
            continue;
        }
        prepare(*ap);
        auto result = target.table.emplace(it->first, ap);
        if (!result.second && result.first->second != ap) {
            RRM_WARNING("AP %s stays: the target map already holds AP %s under %s",
                        mac_to_string(ap->base_mac).c_str(),
                        mac_to_string(result.first->second->base_mac).c_str(),
                        mac_to_string(it->first).c_str());
            ++it;
            continue;
        }
        index.erase_ap(ap);
        target.index.insert_ap(ap);
        it = table.erase(it);
        ++moved;
    }
    return moved;
}

void ApMap::move_session_aps(const BaseSession& session, ApMap& target)
{
    move_if(
        target, [&](const ApEntry& ap) { return ap.session.id == session.id; },
        [](ApEntry& ap) {
            ap.ttl = ap.config ? ap.config->away_timeout_ticks() : 0;
            ap.clear_blacklists();
            ap.clear_clients();
        });
}

int ApMap::move_inactive_aps(ApMap& target, int ttl)
{
    return move_if(
        target, [](const ApEntry& ap) { return !ap.active; },
        [ttl](ApEntry& ap) { ap.ttl = ttl; });
}

int ApMap::move_aps_not_received(ApMap& target, int ttl)
{
    return move_if(
        target, [](const ApEntry& ap) { return !ap.radios.is_ready(); },
        [ttl](ApEntry& ap) { ap.ttl = ttl; });
}

int ApMap::move_aps_without_active_radio(ApMap& target, int ttl)
{
    return move_if(
        target, [](const ApEntry& ap) { return !ap.radios.has_active_radio(); },
        [ttl](ApEntry& ap) { ap.ttl = ttl; });
}

void ApMap::move_all_from(ApMap& other)
{
    if (&other == this || other.table.empty())
        return;
    other.move_if(
        *this, [](const ApEntry&) { return true; }, [](ApEntry&) {});
}

std::unique_ptr<ApMap> ApMap::copy() const
{
    auto result = std::make_unique<ApMap>();
    for (const auto& entry : table) {
        auto ap = std::make_shared<ApEntry>(*entry.second);
        result->table.emplace(entry.first, ap);
        result->index.insert_ap(ap);
    }
    return result;
}

void ApMap::dump() const
{
    for (const auto* entry : sorted())
        RRM_DEBUG("AP %s", mac_to_string(entry->second->base_mac).c_str());
}

std::vector<const ApMap::Table::value_type*> ApMap::sorted() const
{
    return entries_by_mac(table);
}

void ApMap::to_json(JsonWriter& array) const
{
    for (const auto* entry : sorted()) {
        JsonWriter object = array.add_object("");
        entry->second->to_json(object);
    }
}

void ApMap::details_to_json(JsonWriter& array) const
{
    for (const auto* entry : sorted()) {
        const ApEntry& ap = *entry->second;
        JsonWriter object = array.add_object("");
        object.add_string("board", ap.factory.board.c_str());
        object.add_string("mac", mac_to_string(entry->first).c_str());
        object.add_string("serial", ap.factory.serial.c_str());
        object.add_string("hw", ap.factory.hw.c_str());
        ap.radios.vaps_to_json(object);
    }
}

// ---- Scan view -------------------------------------------------------------

static_assert(std::is_same<ApMap::Table,
                           std::unordered_map<MacAddress, std::shared_ptr<ApEntry>, MacHash>>::value,
              "Radio::update_neighbour_channel takes an AP map's table");

namespace {

// The index entry of a BSSID, with the locally-administered retry; one
// lookup answers both the AP and the radio id.
const ApStorageEntry* find_index_entry(const ApStorage& index, const MacAddress& bssid)
{
    auto it = find_mac_with_retry(index.table, bssid);
    return it == index.table.end() ? nullptr : &it->second;
}

}  // namespace

void ApMap::update_rf_environment(ApEntry& ap, const JsonReader& rf_environment) const
{
    if (rf_environment.is_null())
        return;
    const int scans = rf_environment.size();
    if (scans == 1) {
        const JsonReader scan = rf_environment.child(0);
        if (!scan.is_null())
            fill_from_json_rf_environment(scan, ap.visible_members, ap.visible_rogue);
        return;
    }

    // A report cut short by a null scan is dropped whole: the AP keeps what
    // it heard before.
    std::vector<NeighbourMap> members(static_cast<std::size_t>(scans));
    std::vector<NeighbourMap> rogue(static_cast<std::size_t>(scans));
    for (int i = 0; i < scans; ++i) {
        const JsonReader scan = rf_environment.child(i);
        if (scan.is_null())
            return;
        fill_from_json_rf_environment(scan, members[static_cast<std::size_t>(i)],
                                      rogue[static_cast<std::size_t>(i)]);
    }
    ap.visible_members.merge_scans(members);
    ap.visible_rogue.merge_scans(rogue);
}

void ApMap::fill_from_json_rf_environment(const JsonReader& scan, NeighbourMap& members,
                                          NeighbourMap& rogue) const
{
    members.clear();
    rogue.clear();
    const int entries = scan.size();
    for (int j = 0; j < entries; ++j) {
        const JsonReader entry = scan.child(j);
        if (entry.is_null())
            break;
        const char* bssid_text = entry.get_string("bssid");
        const MacAddress bssid = mac_from_string(bssid_text);
        const int primary =
            std::strcmp(entry.get_string("primary-channel"), "upper") == 0 ? PRIMARY_UPPER
                                                                            : PRIMARY_LOWER;
        const int channel = entry.get_int("channel");
        int band;
        if (entry.has("band")) {
            band = entry.get_int("band");
        } else {
            band = infer_band(channel);
            if (band == BAND_NONE)
                RRM_WARNING("rf-environment entry without band: bssid=%s channel=%d "
                            "bandwidth=%d rssi=%d",
                            bssid_text, channel, entry.get_int("bandwidth"),
                            entry.get_int("rssi"));
        }
        const Neighbour record(entry.get_int("rssi"), channel, band, entry.get_int("bandwidth"),
                               entry.get_int("tx-power"), primary);
        // Stored under the BSSID as heard, even when the index knows it only
        // with the other locally-administered bit.
        const ApStorageEntry* known = find_index_entry(index, bssid);
        if (known != nullptr && known->ap && known->radio_id >= 0)
            members.insert(bssid, record);
        else
            rogue.insert(bssid, record);
    }
}

// ---- 802.11k neighbour entries ----------------------------------------------

bool ApMap::use_all_neighbours(const ApEntry& viewer) const
{
    const DomainConfig* config = viewer.config;
    if (config == nullptr)
        return false;
    if (config->use_all_ap_balance)
        return true;
    // Without a radio that the 802.11v balancer would list, the whole
    // domain stands in for what the AP hears.
    return config->use_80211k && config->use_80211v && viewer.radios.has_80211k_vaps() &&
           !viewer.radios.has_80211kv_radio();
}

void ApMap::neighbours_to_json(const ApEntry& viewer, JsonWriter& array,
                               const NeighbourMap& visible) const
{
    if (array.is_null())
        return;

    if (use_all_neighbours(viewer)) {
        for (const Table::value_type* item : sorted()) {
            if (item->first == viewer.base_mac)
                continue;
            const ApEntry& ap = *item->second;
            for (const Radio& radio : ap.radios.radios) {
                if (!radio.status)
                    continue;
                const MacAddress bssid =
                    get_visible_radio_mac(ap, static_cast<int>(radio.id), &viewer);
                write_neighbour_entry(viewer, array, radio, bssid);
            }
        }
        return;
    }

    for (const NeighbourMap::Entry* heard : visible.sorted()) {
        const MacAddress& bssid = heard->first;
        const ApStorageEntry* known = find_index_entry(index, bssid);
        if (known == nullptr || known->radio_id < 0)
            continue;
        // The AP stored under the BSSID itself comes first, then the one
        // the index names.
        auto it = table.find(bssid);
        if (it == table.end() && known->ap)
            it = table.find(known->ap->base_mac);
        if (it == table.end())
            continue;
        for (const Radio& radio : it->second->radios.radios) {
            if (static_cast<int>(radio.id) == known->radio_id) {
                write_neighbour_entry(viewer, array, radio, bssid);
                break;
            }
        }
    }
}

void ApMap::write_neighbour_entry(const ApEntry& viewer, JsonWriter& array, const Radio& radio,
                                  const MacAddress& bssid) const
{
    if (!radio.status)
        return;
    int band = radio.get_band();
    if (band == BAND_NONE)
        band = infer_band(radio.channel);
    if (band == BAND_NONE)
        return;

    // The viewer radio on the same channel of that band, else any of it.
    const Radio* viewer_radio = nullptr;
    for (const Radio& own : viewer.radios.radios) {
        if (own.status && own.get_band() == band && own.channel == radio.channel) {
            viewer_radio = &own;
            break;
        }
    }
    if (viewer_radio == nullptr) {
        for (const Radio& own : viewer.radios.radios) {
            if (own.status && own.get_band() == band) {
                viewer_radio = &own;
                break;
            }
        }
    }
    if (viewer_radio == nullptr)
        return;

    std::vector<NeighbourVap> vaps;
    collect_neighbour_vaps(radio, bssid, *viewer_radio, vaps);
    if (vaps.empty())
        return;

    JsonWriter entry = array.add_object("");
    entry.add_string("neighbour-mac", mac_to_string(bssid).c_str());
    entry.add_int("channel", radio.channel);
    entry.add_int("band", radio.get_advertised_band(radio.channel));
    entry.add_int("bandwidth", radio.bandwidth);
    entry.add_string("primary-channel", radio.get_primary_channel_text());
    entry.add_int("priority", radio.priority);
    JsonWriter list = entry.add_array("vaps");
    for (const NeighbourVap& vap : vaps) {
        JsonWriter object = list.add_object("");
        object.add_int("id", static_cast<int>(vap.id));
        object.add_string("ssid", vap.ssid.c_str());
        object.add_string("mac", vap.mac.c_str());
    }
}

void ApMap::collect_neighbour_vaps(const Radio& radio, const MacAddress& bssid,
                                   const Radio& viewer_radio,
                                   std::vector<NeighbourVap>& vaps) const
{
    for (const Vap* own : viewer_radio.vaps.sorted()) {
        if (!own->use_802dot11k)
            continue;
        const Vap* theirs = radio.vaps.find(own->ssid);
        if (theirs == nullptr || !theirs->use_802dot11k)
            continue;
        // A client finds the VAP under the address form the viewer heard.
        MacAddress mac = theirs->mac;
        if (mac_equal_ignoring_local_bit(theirs->mac, bssid) ||
            mac_equal_ignoring_local_bit(radio.mac, bssid))
            mac.octets[0] = static_cast<uint8_t>((mac.octets[0] & ~MAC_LOCAL_BIT) |
                                                 (bssid.octets[0] & MAC_LOCAL_BIT));
        vaps.push_back(NeighbourVap{static_cast<uint32_t>(theirs->vap_id), own->ssid,
                                    mac_to_string(mac)});
    }
}

MacAddress ApMap::get_visible_radio_mac(const ApEntry& ap, int radio_id,
                                        const ApEntry* viewer) const
{
    const MacAddress own = ap.get_radio_mac(radio_id);

    // The lowest BSSID of `hearer` that the index gives to radio_id of ap.
    auto heard_as = [&](const ApEntry& hearer, MacAddress& found) {
        bool any = false;
        for (const NeighbourMap::Entry& heard : hearer.visible_members.table) {
            const ApStorageEntry* known = find_index_entry(index, heard.first);
            if (known == nullptr || known->radio_id != radio_id || !known->ap ||
                known->ap->base_mac != ap.base_mac)
                continue;
            if (!any || std::memcmp(heard.first.octets, found.octets, sizeof found.octets) < 0)
                found = heard.first;
            any = true;
        }
        return any;
    };

    MacAddress found;
    if (viewer != nullptr) {
        if (viewer->base_mac == ap.base_mac)
            return own;
        return heard_as(*viewer, found) ? found : own;
    }
    for (const Table::value_type* item : sorted()) {
        const ApEntry& hearer = *item->second;
        if (hearer.base_mac == ap.base_mac)
            continue;
        if (heard_as(hearer, found))
            return found;
    }
    return own;
}

}  // namespace rrm
