#include "ApMap.h"

#include "ChannelPlan.h"
#include "DomainConfig.h"
#include "DomainDetails.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <unordered_map>

namespace rrm {

ApMap::ApMap()
{
    table.max_load_factor(1.0f);
}

ApMap::~ApMap()
{
    // The APs may outlive the map: their scan views stop reporting to it.
    for (const auto& entry : table)
        release(entry.first, entry.second);
    // The index's references go first, then the table's.
    index.clear();
    table.clear();
}

void ApMap::hold(const MacAddress& key, const ApPtr& ap)
{
    ap->visible_members.watch(heard, HeardIndex::Hearer{key, ap->base_mac});
}

void ApMap::release(const MacAddress& key, const ApPtr& ap)
{
    ap->visible_members.unwatch(heard, key);
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
    if (result.second)
        hold(mac, ap);
    index.insert_ap(ap);
}

ApMap::Table::iterator ApMap::erase(Table::iterator it)
{
    index.erase_ap(it->second);
    release(it->first, it->second);
    return table.erase(it);
}

bool ApMap::erase(const MacAddress& key)
{
    auto it = table.find(key);
    if (it == table.end())
        return false;
    erase(it);
    return true;
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
            it = erase(it);
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
            it = erase(it);
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
        if (result.second)
            target.hold(it->first, ap);
        target.index.insert_ap(ap);
        it = erase(it);
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
    result->table.reserve(table.size());
    result->index.table.reserve(index.size());
    for (const auto& entry : table)
        result->add_copy(entry.first, *entry.second);
    return result;
}

void ApMap::add_copy(const MacAddress& key, const ApEntry& source)
{
    auto ap = std::make_shared<ApEntry>(source);
    table.emplace(key, ap);
    hold(key, ap);
    // A new object has no entries to look for in the index.
    index.insert_ap(ap, true);
}

void ApMap::dump() const
{
    if (!log_enabled(LOG_LEVEL_DEBUG))
        return;
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
    for (const ApDetails& ap : DomainDetails::of(*this))
        ap.to_json(array);
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
            if (band == BAND_NONE) {
                const PeerText quoted(bssid_text);
                RRM_WARNING("rf-environment entry without band: bssid=%s channel=%d "
                            "bandwidth=%d rssi=%d",
                            quoted.c_str(), channel, entry.get_int("bandwidth"),
                            entry.get_int("rssi"));
            }
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
//
// Lists are built for every AP of a domain at once, so the building avoids
// per-entry allocations and formatting through printf: the viewer's side is
// prepared once per list, and entries are put together as JSON values and
// appended to the array in one step.

namespace {

// "AA:BB:CC:DD:EE:FF", the form of mac_to_string.
struct MacText {
    char text[18];

    explicit MacText(const MacAddress& mac)
    {
        static const char hex[] = "0123456789ABCDEF";
        for (int i = 0; i < 6; ++i) {
            text[3 * i] = hex[mac.octets[i] >> 4];
            text[3 * i + 1] = hex[mac.octets[i] & 0x0F];
            text[3 * i + 2] = ':';
        }
        text[17] = '\0';
    }
    std::string_view view() const { return std::string_view(text, 17); }
};

// A shared VAP before it is written; points into the neighbour radio.
struct SharedVap {
    uint32_t id;
    const std::string* ssid;
    MacAddress mac;
};

// The viewer's 802.11k VAPs of one radio, in ascending SSID order.
std::vector<const Vap*> vaps_with_80211k(const Radio& radio)
{
    std::vector<const Vap*> vaps;
    for (const Vap* vap : radio.vaps.sorted())
        if (vap->use_802dot11k)
            vaps.push_back(vap);
    return vaps;
}

// What one list needs of its viewer, gathered once.
struct ListContext {
    const ApEntry& viewer;
    // By position in the viewer's radio list.
    std::vector<std::vector<const Vap*>> vaps_11k;
    std::vector<SharedVap> shared;

    explicit ListContext(const ApEntry& viewer) : viewer(viewer)
    {
        vaps_11k.reserve(viewer.radios.radios.size());
        for (const Radio& radio : viewer.radios.radios)
            vaps_11k.push_back(vaps_with_80211k(radio));
    }
};

// The band of a neighbour radio for its entry: its own, else the one its
// channel points to; 0 when neither gives one.
int entry_band(const Radio& radio)
{
    const int band = radio.get_band();
    return band != BAND_NONE ? band : infer_band(radio.channel);
}

// The viewer radio a neighbour radio is compared with: the first enabled
// one of that band on the same channel, else the first enabled one of that
// band; -1 when the viewer has none.
int viewer_radio_for(const ApEntry& viewer, int band, int channel)
{
    const std::vector<Radio>& radios = viewer.radios.radios;
    for (std::size_t i = 0; i < radios.size(); ++i)
        if (radios[i].status && radios[i].get_band() == band && radios[i].channel == channel)
            return static_cast<int>(i);
    for (std::size_t i = 0; i < radios.size(); ++i)
        if (radios[i].status && radios[i].get_band() == band)
            return static_cast<int>(i);
    return -1;
}

void collect_shared(const Radio& radio, const MacAddress& bssid,
                    const std::vector<const Vap*>& viewer_vaps, std::vector<SharedVap>& shared)
{
    // A client finds the VAP under the address form the viewer heard.
    const bool radio_heard = mac_equal_ignoring_local_bit(radio.mac, bssid);
    for (const Vap* own : viewer_vaps) {
        const Vap* theirs = radio.vaps.find(own->ssid);
        if (theirs == nullptr || !theirs->use_802dot11k)
            continue;
        MacAddress mac = theirs->mac;
        if (radio_heard || mac_equal_ignoring_local_bit(theirs->mac, bssid))
            mac.octets[0] = static_cast<uint8_t>((mac.octets[0] & ~MAC_LOCAL_BIT) |
                                                 (bssid.octets[0] & MAC_LOCAL_BIT));
        shared.push_back(SharedVap{static_cast<uint32_t>(theirs->vap_id), &own->ssid, mac});
    }
}

// The members of an entry are distinct by construction: appended without
// the duplicate search of JsonObject::set.
template <std::size_t N>
void set_member(yajson::JsonObject& object, const char (&key)[N], yajson::JsonValue value)
{
    yajson::detail::ObjectBuilder::append(object, std::string(key, N - 1), std::move(value));
}

void append_entry(ListContext& context, yajson::JsonArray& out, const Radio& radio,
                  const MacAddress& bssid)
{
    if (!radio.status)
        return;
    const int band = entry_band(radio);
    if (band == BAND_NONE)
        return;
    const int own = viewer_radio_for(context.viewer, band, radio.channel);
    if (own < 0)
        return;
    context.shared.clear();
    collect_shared(radio, bssid, context.vaps_11k[static_cast<std::size_t>(own)],
                   context.shared);
    if (context.shared.empty())
        return;

    yajson::JsonValue vaps = yajson::JsonValue::make_array();
    yajson::JsonArray& list = vaps.as_array();
    list.reserve(context.shared.size());
    for (const SharedVap& item : context.shared) {
        yajson::JsonValue vap = yajson::JsonValue::make_object();
        yajson::JsonObject& members = vap.as_object();
        members.reserve(3);
        set_member(members, "id", yajson::JsonValue(static_cast<int64_t>(static_cast<int>(item.id))));
        set_member(members, "ssid", yajson::JsonValue(std::string_view(*item.ssid)));
        set_member(members, "mac", yajson::JsonValue(MacText(item.mac).view()));
        list.push_back(std::move(vap));
    }

    yajson::JsonValue entry = yajson::JsonValue::make_object();
    yajson::JsonObject& members = entry.as_object();
    members.reserve(7);
    set_member(members, "neighbour-mac", yajson::JsonValue(MacText(bssid).view()));
    set_member(members, "channel", yajson::JsonValue(static_cast<int64_t>(radio.channel)));
    set_member(members, "band",
               yajson::JsonValue(static_cast<int64_t>(radio.get_advertised_band(radio.channel))));
    set_member(members, "bandwidth", yajson::JsonValue(static_cast<int64_t>(radio.bandwidth)));
    set_member(members, "primary-channel",
               yajson::JsonValue(std::string_view(radio.get_primary_channel_text())));
    set_member(members, "priority", yajson::JsonValue(static_cast<int64_t>(radio.priority)));
    set_member(members, "vaps", std::move(vaps));
    out.push_back(std::move(entry));
}

// The lowest BSSID of `hearer` that the index gives to radio `radio_id` of
// the AP with base MAC `owner`.
bool lowest_heard_as(const ApStorage& index, const ApEntry& hearer, const MacAddress& owner,
                     int radio_id, MacAddress& found)
{
    bool any = false;
    for (const NeighbourMap::Entry& heard : hearer.visible_members.table) {
        const ApStorageEntry* known = find_index_entry(index, heard.first);
        if (known == nullptr || known->radio_id != radio_id || !known->ap ||
            known->ap->base_mac != owner)
            continue;
        if (!any || std::memcmp(heard.first.octets, found.octets, sizeof found.octets) < 0)
            found = heard.first;
        any = true;
    }
    return any;
}

// Radio of an AP, as a key of the viewer's heard radios.
struct RadioKey {
    MacAddress owner;
    int radio_id;
    bool operator==(const RadioKey& other) const
    {
        return radio_id == other.radio_id && owner == other.owner;
    }
};
struct RadioKeyHash {
    std::size_t operator()(const RadioKey& key) const noexcept
    {
        return MacHash()(key.owner) * 4 + static_cast<std::size_t>(key.radio_id & 3);
    }
};

}  // namespace

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
    ListContext context(viewer);
    // The entries are built here, straight into the writer's document.
    yajson::ArenaScope scope(array.arena());
    yajson::JsonArray& out = array.resolve().as_array();

    if (use_all_neighbours(viewer)) {
        // The BSSID under which the viewer hears each radio, the lowest of
        // several: what get_visible_radio_mac answers, found in one pass.
        std::unordered_map<RadioKey, MacAddress, RadioKeyHash> heard_as;
        for (const NeighbourMap::Entry& heard : viewer.visible_members.table) {
            const ApStorageEntry* known = find_index_entry(index, heard.first);
            if (known == nullptr || !known->ap)
                continue;
            auto result = heard_as.emplace(RadioKey{known->ap->base_mac, known->radio_id},
                                           heard.first);
            MacAddress& lowest = result.first->second;
            if (std::memcmp(heard.first.octets, lowest.octets, sizeof lowest.octets) < 0)
                lowest = heard.first;
        }
        for (const Table::value_type* item : sorted()) {
            if (item->first == viewer.base_mac)
                continue;
            const ApEntry& ap = *item->second;
            for (const Radio& radio : ap.radios.radios) {
                if (!radio.status)
                    continue;
                const int radio_id = static_cast<int>(radio.id);
                MacAddress bssid;
                auto it = ap.base_mac == viewer.base_mac
                              ? heard_as.end()
                              : heard_as.find(RadioKey{ap.base_mac, radio_id});
                if (it != heard_as.end())
                    bssid = it->second;
                else
                    bssid = ap.get_radio_mac(radio_id);
                append_entry(context, out, radio, bssid);
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
                append_entry(context, out, radio, bssid);
                break;
            }
        }
    }
}

void ApMap::write_neighbour_entry(const ApEntry& viewer, JsonWriter& array, const Radio& radio,
                                  const MacAddress& bssid) const
{
    if (array.is_null())
        return;
    ListContext context(viewer);
    yajson::ArenaScope scope(array.arena());
    append_entry(context, array.resolve().as_array(), radio, bssid);
}

void ApMap::collect_neighbour_vaps(const Radio& radio, const MacAddress& bssid,
                                   const Radio& viewer_radio,
                                   std::vector<NeighbourVap>& vaps) const
{
    std::vector<SharedVap> shared;
    collect_shared(radio, bssid, vaps_with_80211k(viewer_radio), shared);
    for (const SharedVap& item : shared)
        vaps.push_back(NeighbourVap{item.id, *item.ssid, mac_to_string(item.mac)});
}

void ApMap::find_hearers(const MacAddress& base_mac, std::vector<HeardAs>& out) const
{
    // A hearer's BSSID names the radio its index entry names, the exact
    // address first, then with the locally-administered bit flipped. So the
    // BSSIDs that can name a radio of this AP are its own index keys and
    // their flipped forms, each checked against the entry it resolves to.
    auto consider = [&](const MacAddress& bssid) {
        const ApStorageEntry* known = find_index_entry(index, bssid);
        if (known == nullptr || !known->ap || known->ap->base_mac != base_mac)
            return;
        const std::vector<HeardIndex::Hearer>* hearers = heard.hearers_of(bssid);
        if (hearers == nullptr)
            return;
        HeardAs* best = nullptr;
        for (HeardAs& item : out)
            if (item.radio_id == known->radio_id)
                best = &item;
        for (const HeardIndex::Hearer& hearer : *hearers) {
            if (hearer.base_mac == base_mac)
                continue;
            if (best == nullptr) {
                out.push_back(HeardAs{known->radio_id, hearer.key, bssid});
                best = &out.back();
                continue;
            }
            const int order = std::memcmp(hearer.key.octets, best->hearer.octets, 6);
            if (order < 0 || (order == 0 && std::memcmp(bssid.octets, best->bssid.octets, 6) < 0)) {
                best->hearer = hearer.key;
                best->bssid = bssid;
            }
        }
    };
    index.for_each_entry_of(base_mac, [&](const MacAddress& key, const ApStorageEntry&) {
        consider(key);
        consider(mac_flip_local_bit(key));
    });
}

void ApMap::hearing_partners(const ApEntry& ap, std::vector<MacAddress>& keys) const
{
    keys.clear();
    const MacAddress& base_mac = ap.base_mac;
    // Who hears it: as in find_hearers, its index keys and their flipped
    // forms, each one that resolves to this AP.
    auto heard_as = [&](const MacAddress& bssid) {
        const ApStorageEntry* known = find_index_entry(index, bssid);
        if (known == nullptr || !known->ap || known->ap->base_mac != base_mac)
            return;
        if (const std::vector<HeardIndex::Hearer>* hearers = heard.hearers_of(bssid))
            for (const HeardIndex::Hearer& hearer : *hearers)
                if (hearer.base_mac != base_mac)
                    keys.push_back(hearer.key);
    };
    index.for_each_entry_of(base_mac, [&](const MacAddress& key, const ApStorageEntry&) {
        heard_as(key);
        heard_as(mac_flip_local_bit(key));
    });
    // Whom it hears.
    for (const auto& heard_bssid : ap.visible_members.table) {
        const ApStorageEntry* known = find_index_entry(index, heard_bssid.first);
        if (known != nullptr && known->ap && known->ap->base_mac != base_mac)
            keys.push_back(known->ap->base_mac);
    }
    std::sort(keys.begin(), keys.end(), [](const MacAddress& x, const MacAddress& y) {
        return std::memcmp(x.octets, y.octets, sizeof x.octets) < 0;
    });
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

MacAddress ApMap::get_visible_radio_mac(const ApEntry& ap, int radio_id,
                                        const ApEntry* viewer) const
{
    const MacAddress own = ap.get_radio_mac(radio_id);
    if (viewer != nullptr) {
        if (viewer->base_mac == ap.base_mac)
            return own;
        MacAddress found;
        return lowest_heard_as(index, *viewer, ap.base_mac, radio_id, found) ? found : own;
    }
    // The first hearer in ascending MAC order, its lowest BSSID for the radio.
    std::vector<HeardAs> heard_as;
    find_hearers(ap.base_mac, heard_as);
    for (const HeardAs& item : heard_as)
        if (item.radio_id == radio_id)
            return item.bssid;
    return own;
}

std::vector<MacAddress> ApMap::get_visible_radio_macs(const ApEntry& ap) const
{
    const std::vector<Radio>& radios = ap.radios.radios;
    std::vector<MacAddress> result;
    result.reserve(radios.size());
    for (const Radio& radio : radios)
        result.push_back(ap.get_radio_mac(static_cast<int>(radio.id)));
    std::vector<HeardAs> heard_as;
    find_hearers(ap.base_mac, heard_as);
    for (const HeardAs& item : heard_as)
        for (std::size_t i = 0; i < radios.size(); ++i)
            if (static_cast<int>(radios[i].id) == item.radio_id)
                result[i] = item.bssid;
    return result;
}

}  // namespace rrm
