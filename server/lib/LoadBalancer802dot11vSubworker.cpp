#include "LoadBalancer802dot11vSubworker.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "AssocMap.h"
#include "ChannelPlan.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "Radio.h"
#include "RrmWorker.h"
#include "TpcDcaSubworker.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace rrm {

namespace {

// The radio of an AP with that id, whatever its state; null for an id the
// AP has no radio for.
Radio* radio_with_id(ApEntry& ap, int id)
{
    if (id < 0)
        return nullptr;
    for (Radio& radio : ap.radios.radios)
        if (radio.id == static_cast<uint32_t>(id))
            return &radio;
    return nullptr;
}

// The band a candidate radio is offered on: its own, else the one its
// channel points to; 0 when neither gives one.
int32_t candidate_band(const Radio& radio)
{
    const int32_t band = radio.get_band();
    return band != BAND_NONE ? band : infer_band(radio.channel);
}

// The viewer's radio that a candidate on `channel` of `band` is offered
// to: the first enabled one of that band on that channel, else the first
// enabled one of that band; -1 when there is none.
int viewing_radio_index(const ApEntry& viewer, int32_t band, int32_t channel)
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

struct TakenVap {
    int32_t id;
    const std::string* ssid;
    MacAddress mac;
};

// A client finds the VAP under the address form the viewer heard: the
// VAP's MAC takes the locally-administered bit of the BSSID when the VAP or
// its radio is the one heard as that BSSID.
MacAddress offered_mac(const Vap& vap, const Radio& candidate, const MacAddress& bssid)
{
    MacAddress mac = vap.mac;
    if (mac_equal_ignoring_local_bit(vap.mac, bssid) ||
        mac_equal_ignoring_local_bit(candidate.mac, bssid))
        mac.octets[0] = static_cast<uint8_t>((mac.octets[0] & ~MAC_LOCAL_BIT) |
                                             (bssid.octets[0] & MAC_LOCAL_BIT));
    return mac;
}

void take_viewer(LoadBalancer802dot11vSubworker::EntryCounter& counter, const ApEntry& viewer)
{
    if (counter.viewer == &viewer)
        return;
    counter.viewer = &viewer;
    counter.with_80211v.clear();
    counter.with_80211k.clear();
    for (const Radio& radio : viewer.radios.radios) {
        counter.with_80211v.emplace_back();
        counter.with_80211k.emplace_back();
        for (const Vap* vap : radio.vaps.sorted()) {
            if (vap->use_802dot11v)
                counter.with_80211v.back().push_back(vap);
            if (vap->use_802dot11k)
                counter.with_80211k.back().push_back(vap);
        }
    }
}

// The candidate's VAPs whose SSID the viewer's radio also serves, both with
// 802.11v (or both with 802.11k), within the limit per SSID and candidate
// radio id of one array.
void take_vaps(const ApEntry& viewer, const std::vector<const Vap*>& own, const Radio& candidate,
               const MacAddress& bssid, bool by_80211v,
               LoadBalancer802dot11vSubworker::EntryCounter& counter,
               std::vector<TakenVap>& taken)
{
    const int limit = LoadBalancer802dot11vSubworker::MAX_ENTRIES_PER_SSID;
    for (const Vap* mine : own) {
        const Vap* theirs = candidate.vaps.find(mine->ssid);
        if (theirs == nullptr || !(by_80211v ? theirs->use_802dot11v : theirs->use_802dot11k))
            continue;
        auto it = counter.counts.find(mine->ssid);
        if (it == counter.counts.end())
            it = counter.counts.emplace(mine->ssid, std::vector<int>()).first;
        std::vector<int>& per_id = it->second;
        if (per_id.size() <= candidate.id)
            per_id.resize(candidate.id + 1, 0);
        // Every match counts, also those beyond the limit.
        int& count = per_id[candidate.id];
        if (count <= limit)
            ++count;
        if (count > limit) {
            RRM_ERROR("On mac(%s) radio(%d) number of entries for ssid(%s) exceded limit(%d)",
                      mac_to_string(viewer.base_mac).c_str(), static_cast<int>(candidate.id),
                      PeerText(mine->ssid).c_str(), limit);
            continue;
        }
        taken.push_back(TakenVap{theirs->vap_id, &mine->ssid,
                                 offered_mac(*theirs, candidate, bssid)});
    }
}

// "AA:BB:CC:DD:EE:FF" without a heap string.
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

// The members of an entry are distinct by construction: appended without
// the duplicate search.
template <std::size_t N>
void set_member(yajson::JsonObject& object, const char (&key)[N], yajson::JsonValue value)
{
    yajson::detail::ObjectBuilder::append(object, std::string(key, N - 1), std::move(value));
}

yajson::JsonValue int_value(int64_t value)
{
    return yajson::JsonValue(value);
}

}  // namespace

LoadBalancer802dot11vSubworker::LoadBalancer802dot11vSubworker(
    const DomainConfig* settings, const std::string* name, RrmWorker* owner, ApMap* active,
    ApMap* deleted, ApMap* unanswered)
    : IRrmSubworker(settings, name, owner, active, deleted, unanswered)
{
    timer_callback = [this] { process_timer(); };
    rearm(config->sta_load_balance_period);
}

LoadBalancer802dot11vSubworker::~LoadBalancer802dot11vSubworker() = default;

void LoadBalancer802dot11vSubworker::rearm(int32_t delay_s)
{
    timers.restart_timer(timer_callback, BALANCE_TIMER, std::max<int32_t>(delay_s, 1));
}

// ------------------------------------------------------------- AP commands

bool LoadBalancer802dot11vSubworker::process_message(const JsonReader& message, const char* cmd,
                                                     ApEntry* ap)
{
    if (ap == nullptr || cmd == nullptr)
        return true;
    if (std::strcmp(cmd, "rrm-client-assoc") == 0)
        process_client_assoc(message, *ap);
    else if (std::strcmp(cmd, "rrm-client-disassoc") == 0)
        process_client_disassoc(message, *ap);
    else if (std::strcmp(cmd, "rrm-sta-roam") == 0)
        process_client_roam(message, *ap);
    return true;
}

ApEntry* LoadBalancer802dot11vSubworker::find_left_ap(const MacAddress& mac) const
{
    // The probe balancer records the radio the client leaves, an announced
    // roam its AP's base MAC: both name the AP.
    auto it = aps->table.find(mac);
    if (it != aps->table.end())
        return it->second.get();
    // The index names only APs that the table holds.
    return aps->find_ap_by_bssid(mac).get();
}

void LoadBalancer802dot11vSubworker::process_client_assoc(const JsonReader& message, ApEntry& ap)
{
    const int radio_id = message.get_int("radio");
    const int rssi = message.get_int("rssi");
    const char* sta_text = message.get_string("sta-mac");
    const char* ssid = message.get_string("ssid");
    const int no_balance = message.get_int("no-balance");
    const std::string ap_text = mac_to_string(ap.base_mac);
    RRM_DEBUG("Assocc client %s rssi %d radio_id %d ssid %s (ap %s)", PeerText(sta_text).c_str(),
              rssi, radio_id, PeerText(ssid).c_str(), ap_text.c_str());
    if (*sta_text == '\0' || *ssid == '\0')
        return;
    const MacAddress sta = mac_from_string(sta_text);
    Radio* radio = radio_with_id(ap, radio_id);
    if (radio == nullptr) {
        RRM_WARNING("Skip 802.11v assoc for invalid/disabled radio_id=%d (ap %s)", radio_id,
                    ap_text.c_str());
        return;
    }
    if (!radio->client_table.add_client(sta, rssi, ssid, no_balance != 0, false)) {
        worker->report_client_refused(ap, radio_id, sta_text, false);
        return;
    }

    auto expected = radio->client_table.expected.find(sta);
    if (expected != radio->client_table.expected.end()) {
        RRM_DEBUG("Assoc: client(%s) was roamed by 802.11v, removing from expected list",
                  PeerText(sta_text).c_str());
        const MacAddress left_mac = expected->second.ap_mac;
        radio->client_table.erase_expected_sta(sta);
        // The client has left every other radio of the AP it came from,
        // whichever radio the announcement named.
        ApEntry* left = find_left_ap(left_mac);
        if (left != nullptr) {
            for (Radio& other : left->radios.radios) {
                if (&other == radio || other.client_table.clients.count(sta) == 0)
                    continue;
                RRM_DEBUG("Assoc: removing client(%s) from AP(%s) assoc clients list",
                          PeerText(sta_text).c_str(), mac_to_string(left_mac).c_str());
                other.client_table.erase_client(sta);
            }
        }
    }
    radio->client_table.dump();

    if (radio->update_priority()) {
        RRM_DEBUG("Ap(%s) priority changed to %d (was %d), need to update lists on aps;",
                  ap_text.c_str(), radio->priority, radio->priority_sent);
        planning_update_802dot11v(false);
    }
}

void LoadBalancer802dot11vSubworker::process_client_disassoc(const JsonReader& message,
                                                             ApEntry& ap)
{
    const int radio_id = message.get_int("radio");
    const char* sta_text = message.get_string("sta-mac");
    const char* ssid = message.get_string("ssid");
    const std::string ap_text = mac_to_string(ap.base_mac);
    RRM_DEBUG("Disassocc client %s (ap %s)", PeerText(sta_text).c_str(), ap_text.c_str());
    if (*sta_text == '\0' || *ssid == '\0')
        return;
    const MacAddress sta = mac_from_string(sta_text);
    Radio* radio = radio_with_id(ap, radio_id);
    if (radio == nullptr) {
        RRM_WARNING("Skip 802.11v disassoc for invalid/disabled radio_id=%d (ap %s)", radio_id,
                    ap_text.c_str());
        return;
    }
    auto client = radio->client_table.clients.find(sta);
    if (client != radio->client_table.clients.end() && client->second.ssid == ssid) {
        radio->client_table.dump();
        radio->client_table.erase_client(sta);
    }
    if (radio->update_priority()) {
        RRM_DEBUG("Ap(%s) priority changed to %d (was %d), need to update lists on aps;",
                  ap_text.c_str(), radio->priority, radio->priority_sent);
        planning_update_802dot11v(false);
    }
}

void LoadBalancer802dot11vSubworker::process_client_roam(const JsonReader& message, ApEntry& ap)
{
    const int radio_id = message.get_int("radio");
    const char* sta_text = message.get_string("sta-mac");
    const char* target_text = message.get_string("target-mac");
    // A roam without a client would count a phantom station on the target.
    if (*sta_text == '\0') {
        RRM_WARNING("Skip 802.11v roam without sta-mac (ap %s)",
                    mac_to_string(ap.base_mac).c_str());
        return;
    }
    const MacAddress sta = mac_from_string(sta_text);
    const MacAddress target_mac = mac_from_string(target_text);
    const ApMap::ApPtr target = aps->find_ap_by_bssid(target_mac);
    if (!target) {
        RRM_ERROR("No target ap with mac %s", PeerText(target_text).c_str());
        return;
    }
    Radio* radio = radio_with_id(*target, radio_id);
    if (radio == nullptr) {
        RRM_WARNING("Skip 802.11v roam: target radio_id=%d invalid/disabled for ap=%s", radio_id,
                    PeerText(target_text).c_str());
        return;
    }
    ExpectedSta expected;
    expected.ap_mac = ap.base_mac;
    expected.radio_id = static_cast<uint32_t>(radio_id);
    expected.ttl = EXPECTED_STA_TTL;
    if (!radio->client_table.add_expected_sta(sta, expected)) {
        worker->report_client_refused(*target, radio_id, sta_text, true);
        return;
    }
    RRM_ERROR("New expected sta(%s) added to AP(%s)", PeerText(sta_text).c_str(),
              PeerText(target_text).c_str());
}

// ------------------------------------------------------- lists and timer

void LoadBalancer802dot11vSubworker::planning_update_802dot11v(bool restart)
{
    if (!config->use_80211v)
        return;
    lists_pending = true;
    if (restart) {
        RRM_DEBUG("Planning 802.11v optimization (timer restarted)");
        // A change every few seconds must not keep the lists and the
        // overload step from ever running.
        const int64_t bound =
            int64_t{MAX_PUSH_BACK_DELAYS} * std::max<int32_t>(config->replan_delay, 0);
        rearm(restart_delay.next(timers.now(), config->replan_delay, bound, 1));
    } else {
        RRM_DEBUG("Planning 802.11v optimization (without timer restart)");
    }
}

void LoadBalancer802dot11vSubworker::process_timer()
{
    // Re-armed first: a run that throws must not end the periodic runs.
    restart_delay.reset();
    rearm(config->sta_load_balance_period);
    if (lists_pending)
        optimize_lists();
    optimize_clients();
}

void LoadBalancer802dot11vSubworker::force_optimization()
{
    RRM_DEBUG("Forced 802.11v optimization;");
    restart_delay.reset();
    rearm(config->sta_load_balance_period);
    if (config->use_80211v)
        optimize_lists();
    optimize_clients();
}

void LoadBalancer802dot11vSubworker::stop()
{
}

void LoadBalancer802dot11vSubworker::optimize_lists()
{
    if (!config->use_80211v)
        return;
    if (worker->load_balancer_lock) {
        RRM_DEBUG("Load balancer is blocked");
        lists_pending = true;
        return;
    }
    RRM_DEBUG("802.11v optimization started for each AP");
    TpcDcaSubworker* tpc_dca = worker->subworkers.get_tpc_dca();
    // Every AP is judged against the same change flags: they are cleared
    // only after the last one.
    for (auto& entry : aps->table)
        tpc_dca->post_tpc_results_ap(entry.second.get(), true, false, true);
    mark_priorities_sent();
    lists_pending = false;
}

void LoadBalancer802dot11vSubworker::mark_priorities_sent()
{
    for (auto& entry : aps->table)
        for (Radio& radio : entry.second->radios.radios) {
            radio.priority_sent = radio.priority;
            radio.list_changed = false;
        }
}

bool LoadBalancer802dot11vSubworker::build_802dot11kv_list(const ApEntry& viewer,
                                                           JsonWriter& array)
{
    if (!config->use_80211v)
        return false;
    // Without balancing, or with the 802.11k list standing in for the
    // scans, the priorities do not follow the load.
    const bool fixed = config->use_balance ? config->use_80211k : true;
    const DomainConfig& own = viewer.config != nullptr ? *viewer.config : *config;
    const bool all_mode = own.use_all_ap_balance || config->use_80211k;
    EntryCounter counter;
    bool changed = false;

    auto offer = [&](const Radio& radio, const MacAddress& bssid) {
        changed = changed || radio.priority != radio.priority_sent || radio.list_changed;
        const int32_t priority = fixed ? FIXED_PRIORITY : radio.priority;
        if (priority == 0)
            return;
        write_candidate_entry(viewer, radio, bssid, array, counter, priority);
    };

    if (all_mode) {
        changed = aps->size() == 1;
        for (const ApMap::Table::value_type* item : aps->sorted()) {
            const ApEntry& ap = *item->second;
            if (ap.base_mac == viewer.base_mac)
                continue;
            for (const Radio& radio : ap.radios.radios)
                if (radio.status)
                    offer(radio, radio.mac);
        }
        return changed;
    }

    changed = viewer.visible_members.empty();
    for (const NeighbourMap::Entry* heard : viewer.visible_members.sorted()) {
        const MacAddress& bssid = heard->first;
        const int radio_id = aps->find_radio_id_by_bssid(bssid);
        if (radio_id < 0)
            continue;
        // The AP stored under the BSSID itself comes first, then the one
        // the index names.
        auto it = aps->table.find(bssid);
        if (it == aps->table.end()) {
            const ApMap::ApPtr owner = aps->find_ap_by_bssid(bssid);
            if (!owner)
                continue;
            it = aps->table.find(owner->base_mac);
            if (it == aps->table.end())
                continue;
        }
        const Radio* radio = radio_with_id(*it->second, radio_id);
        if (radio == nullptr || !radio->status)
            continue;
        offer(*radio, bssid);
    }
    return changed;
}

int32_t LoadBalancer802dot11vSubworker::write_candidate_entry(const ApEntry& viewer,
                                                              const Radio& candidate,
                                                              const MacAddress& bssid,
                                                              JsonWriter& array,
                                                              EntryCounter& counter,
                                                              int32_t priority)
{
    const int32_t band = candidate_band(candidate);
    if (band == BAND_NONE)
        return NO_ENTRY;
    const int own = viewing_radio_index(viewer, band, candidate.channel);
    if (own < 0)
        return NO_ENTRY;
    take_viewer(counter, viewer);
    const auto own_index = static_cast<std::size_t>(own);
    std::vector<TakenVap> taken;
    int32_t written = priority;
    take_vaps(viewer, counter.with_80211v[own_index], candidate, bssid, true, counter, taken);
    if (taken.empty()) {
        // An SSID shared with 802.11k only is listed, but never as a
        // destination the AP should prefer.
        if (!config->use_80211k)
            return NO_ENTRY;
        take_vaps(viewer, counter.with_80211k[own_index], candidate, bssid, false, counter,
                  taken);
        if (taken.empty())
            return NO_ENTRY;
        written = 0;
    }
    if (array.is_null())
        return written;

    // Built straight into the writer's document.
    yajson::ArenaScope scope(array.arena());
    yajson::JsonValue vaps = yajson::JsonValue::make_array();
    yajson::JsonArray& list = vaps.as_array();
    list.reserve(taken.size());
    for (const TakenVap& item : taken) {
        yajson::JsonValue vap = yajson::JsonValue::make_object();
        yajson::JsonObject& members = vap.as_object();
        members.reserve(3);
        set_member(members, "id", int_value(item.id));
        set_member(members, "ssid", yajson::JsonValue(std::string_view(*item.ssid)));
        set_member(members, "mac", yajson::JsonValue(MacText(item.mac).view()));
        list.push_back(std::move(vap));
    }
    yajson::JsonValue entry = yajson::JsonValue::make_object();
    yajson::JsonObject& members = entry.as_object();
    members.reserve(7);
    set_member(members, "neighbour-mac", yajson::JsonValue(MacText(bssid).view()));
    set_member(members, "channel", int_value(candidate.channel));
    set_member(members, "band", int_value(candidate.get_advertised_band(candidate.channel)));
    set_member(members, "bandwidth", int_value(candidate.bandwidth));
    set_member(members, "primary-channel",
               yajson::JsonValue(std::string_view(candidate.get_primary_channel_text())));
    set_member(members, "priority", int_value(written));
    set_member(members, "vaps", std::move(vaps));
    array.resolve().as_array().push_back(std::move(entry));
    return written;
}

// --------------------------------------------------------- overload step

void LoadBalancer802dot11vSubworker::optimize_clients()
{
    if (!config->use_80211v || !config->use_balance) {
        RRM_DEBUG("Skip optimize_clients (use_80211v=%d use_balance=%d)",
                  config->use_80211v ? 1 : 0, config->use_balance ? 1 : 0);
        return;
    }
    for (auto& entry : aps->table)
        post_sta_overload(*entry.second);
}

void LoadBalancer802dot11vSubworker::post_sta_overload(ApEntry& ap)
{
    // The AP steers with 802.11v at all only with a radio ready for it; the
    // radio that needs balance may be another one.
    bool need = false;
    if (ap.radios.has_80211v_radio())
        for (const Radio& radio : ap.radios.radios)
            if (radio.status && radio.need_balance())
                need = true;
    const std::string ap_text = mac_to_string(ap.base_mac);
    if (!need) {
        RRM_DEBUG("AP(%s): no radios need load balance", ap_text.c_str());
        return;
    }
    JsonWriter message("rrm", "rrm-sta-overload", "");
    message.add_string("ap-mac", ap_text.c_str());
    if (!build_overload_candidates(ap, message))
        return;
    if (!write_roam_counts(ap, message))
        return;
    worker->send_to_ap(message.to_string(), ap.session);
}

bool LoadBalancer802dot11vSubworker::build_overload_candidates(ApEntry& viewer,
                                                               JsonWriter& message)
{
    if (!config->use_80211v)
        return false;
    JsonWriter array = message.add_array("802dot11k");
    EntryCounter counter;
    for (Radio& radio : viewer.radios.radios) {
        radio.neighbour_load_count = 0;
        radio.neighbour_load_sum = 0;
    }
    int considered = 0;

    auto consider = [&](const Radio& candidate, const MacAddress& bssid) {
        const int32_t band = candidate_band(candidate);
        if (band == BAND_NONE)
            return;
        const int own = viewing_radio_index(viewer, band, candidate.channel);
        if (own < 0)
            return;
        Radio& viewing = viewer.radios.radios[static_cast<std::size_t>(own)];
        // The AP may have heard its own radio: no destination for the
        // clients it holds.
        if (&viewing == &candidate)
            return;
        const int load = candidate.client_table.size();
        const bool welcome = viewing.client_table.size() > load && candidate.priority != 0;
        const int32_t written = write_candidate_entry(viewer, candidate, bssid, array, counter,
                                                      welcome ? candidate.priority : 0);
        // Only a candidate that the AP is offered with its priority can
        // take clients: one left out of the list (no shared VAP, the limit
        // reached) or listed at priority 0 does not count.
        if (welcome && written > 0) {
            viewing.neighbour_load_count += 1;
            viewing.neighbour_load_sum += load;
        }
        ++considered;
    };

    const DomainConfig& own = viewer.config != nullptr ? *viewer.config : *config;
    if (own.use_all_ap_balance) {
        for (const ApMap::Table::value_type* item : aps->sorted()) {
            const ApEntry& ap = *item->second;
            if (ap.base_mac == viewer.base_mac)
                continue;
            for (const Radio& radio : ap.radios.radios)
                if (radio.status)
                    consider(radio, radio.mac);
        }
    } else {
        for (const NeighbourMap::Entry* heard : viewer.visible_members.sorted()) {
            const MacAddress& bssid = heard->first;
            const int radio_id = aps->find_radio_id_by_bssid(bssid);
            if (radio_id < 0)
                continue;
            auto it = aps->table.find(bssid);
            if (it == aps->table.end()) {
                const ApMap::ApPtr owner = aps->find_ap_by_bssid(bssid);
                if (!owner)
                    continue;
                it = aps->table.find(owner->base_mac);
                if (it == aps->table.end())
                    continue;
            }
            const Radio* radio = radio_with_id(*it->second, radio_id);
            // A disabled radio is no destination.
            if (radio == nullptr || !radio->status)
                continue;
            consider(*radio, bssid);
        }
    }
    return considered != 0;
}

bool LoadBalancer802dot11vSubworker::write_roam_counts(ApEntry& ap, JsonWriter& message)
{
    JsonWriter radios = message.add_array("radios");
    bool any = false;
    for (Radio& radio : ap.radios.radios) {
        const int roam = calc_roam_count(radio);
        radio.neighbour_load_sum = 0;
        radio.neighbour_load_count = 0;
        if (roam < 1)
            continue;
        JsonWriter item = radios.add_object("");
        item.add_int("id", static_cast<int>(radio.id));
        item.add_int("roam-count", roam);
        any = true;
    }
    return any;
}

int LoadBalancer802dot11vSubworker::calc_roam_count(const Radio& radio) const
{
    const std::string ap_text = mac_to_string(radio.base_mac);
    const int id = static_cast<int>(radio.id);
    // A radio the AP keeps away from 802.11v is not steered from here.
    const bool steers = radio.vaps.has_80211v() && radio.locked_80211v == 0;
    const bool need = radio.need_balance();
    if (!(config->use_balance && steers && radio.status && need)) {
        RRM_DEBUG("AP(%s): radio %d: skip roam count (use_balance=%d use_80211v=%d status=%d "
                  "need_balance=%d)",
                  ap_text.c_str(), id, config->use_balance ? 1 : 0, steers ? 1 : 0,
                  radio.status ? 1 : 0, need ? 1 : 0);
        return 0;
    }
    const int count = radio.neighbour_load_count;
    if (count == 0) {
        RRM_DEBUG("AP(%s): radio %d: no neighbor aps with nonzero priority, skip roam count",
                  ap_text.c_str(), id);
        return 0;
    }
    const int load = radio.client_table.size();
    const int total = radio.neighbour_load_sum + load;
    RRM_DEBUG("AP(%s): radio %d: total clients %d, nonzero prio aps %d;", ap_text.c_str(), id,
              total, count + 1);
    const float average = static_cast<float>(total) / static_cast<float>(count + 1);
    const float excess = static_cast<float>(load) - average;
    const int minimum = config->load_balance_roam_count_min;
    if (!(excess > static_cast<float>(minimum))) {
        RRM_DEBUG("AP(%s): radio %d: roam count %.3f below min %d", ap_text.c_str(), id,
                  static_cast<double>(excess), minimum);
        return 0;
    }
    const int maximum = config->load_balance_roam_count_max;
    const int roam = static_cast<float>(maximum) < excess ? maximum : static_cast<int>(excess);
    RRM_DEBUG("Sending overload msg to %s (roam %d clients; avg_count = %.3f)", ap_text.c_str(),
              roam, static_cast<double>(average));
    return roam;
}

}  // namespace rrm
