#include "LoadBalancerSubworker.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "BlacklistSubworker.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "Log.h"
#include "MacAddress.h"
#include "Radio.h"
#include "RrmWorker.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace rrm {

namespace {

bool mac_less(const MacAddress& a, const MacAddress& b)
{
    return std::memcmp(a.octets, b.octets, sizeof a.octets) < 0;
}

Radio* radio_by_id(ApEntry& ap, int radio_id)
{
    for (Radio& radio : ap.radios.radios)
        if (static_cast<int64_t>(radio.id) == radio_id)
            return &radio;
    return nullptr;
}

const Radio* radio_by_id(const ApEntry& ap, int radio_id)
{
    for (const Radio& radio : ap.radios.radios)
        if (static_cast<int64_t>(radio.id) == radio_id)
            return &radio;
    return nullptr;
}

bool has_vap(const Radio& radio, const std::string& ssid)
{
    return radio.vaps.find(ssid) != nullptr;
}

}  // namespace

LoadBalancerSubworker::~LoadBalancerSubworker() = default;

void LoadBalancerSubworker::force_optimization()
{
}

void LoadBalancerSubworker::stop()
{
}

bool LoadBalancerSubworker::process_message(const JsonReader& message, const char* cmd,
                                            ApEntry* ap)
{
    if (std::strcmp(cmd, "rrm-client-assoc") == 0)
        process_client_assoc(message, ap);
    else if (std::strcmp(cmd, "rrm-client-disassoc") == 0)
        process_client_disassoc(message, ap);
    else if (std::strcmp(cmd, "rrm-probe-response") == 0)
        process_probe_response(message, ap);
    else if (std::strcmp(cmd, "rrm-disassoc-all-clients") == 0)
        process_client_disassoc_all(message, ap);
    return true;
}

int LoadBalancerSubworker::lock_balancer() const
{
    return worker->load_balancer_stop || worker->load_balancer_lock ? 1 : 0;
}

// ------------------------------------------------------------ client events

void LoadBalancerSubworker::process_client_assoc(const JsonReader& message, ApEntry* ap)
{
    const int radio_id = message.get_int("radio");
    const int rssi = message.get_int("rssi");
    const char* sta_mac = message.get_string("sta-mac");
    const char* ssid = message.get_string("ssid");
    const bool no_balance = message.get_int("no-balance") != 0;
    const bool need_ack = message.get_int("need-ack") != 0;

    if (!config->use_balance)
        return;
    const int lock = lock_balancer();
    const std::string ap_text = mac_to_string(ap->base_mac);
    RRM_DEBUG("Assocc client %s rssi %d radio_id %d ssid %s no_balance %d send_ack %d "
              "lock_balancer %d (ap %s)",
              PeerText(sta_mac).c_str(), rssi, radio_id, PeerText(ssid).c_str(),
              no_balance ? 1 : 0, need_ack ? 1 : 0, lock, ap_text.c_str());
    if (*sta_mac == '\0' || *ssid == '\0')
        return;
    const MacAddress client = mac_from_string(sta_mac);
    Radio* radio = radio_by_id(*ap, radio_id);
    if (radio == nullptr) {
        RRM_WARNING("Skip assoc for invalid/disabled radio_id=%d (ap %s)", radio_id,
                    ap_text.c_str());
        return;
    }
    const MacAddress src_mac = radio->mac;
    if (!radio->client_table.add_client(client, rssi, ssid, no_balance, need_ack)) {
        worker->report_client_refused(*ap, radio_id, sta_mac, false);
        return;
    }
    if (no_balance)
        radio->block_list.remove(client);
    radio->client_table.dump();
    const int size = radio->client_table.size();
    const int band = radio->get_band();
    const bool expected_here = radio->client_table.expected.count(client) != 0;

    // The client arrived: it is expected nowhere on this AP any more.
    const std::string name(ssid);
    for (Radio& r : ap->radios.radios)
        if (r.status && has_vap(r, name))
            r.client_table.erase_expected_sta(client);
    if (no_balance)
        erase_expected_elsewhere(ap, client, ssid);

    if (lock == 0) {
        worker->subworkers.get_blacklist()->update_blacklists_by_rssi(client, rssi, *ap, ssid,
                                                                      radio_id);
        const bool weak = rssi != 0 && rssi <= config->blacklist_thr_low;
        const bool busy = size > config->load_balance_sta_low;
        // A client that arrives where a steering decision sent it starts
        // no new round: no move back within the decision's time.
        if ((weak || busy) && !no_balance && !expected_here) {
            problist.add(client, src_mac, PROBE_ROUND_SECONDS, ssid);
            // The ack, when asked for, waits for the end of the round.
            if (post_probe_req(ap, sta_mac, ssid, 0, band))
                return;
            problist.remove(client);
        }
    }
    if (need_ack)
        post_client_assoc_ack(ap, sta_mac, ssid, radio_id);
}

void LoadBalancerSubworker::erase_expected_elsewhere(const ApEntry* ap, const MacAddress& client,
                                                     const char* ssid)
{
    const std::string name(ssid ? ssid : "");
    auto erase_on = [&](ApEntry& x) {
        for (Radio& radio : x.radios.radios)
            if (radio.status && has_vap(radio, name))
                radio.client_table.erase_expected_sta(client);
    };
    if (config->use_all_ap_balance) {
        for (auto& entry : aps->table)
            if (entry.first != ap->base_mac)
                erase_on(*entry.second);
        return;
    }
    for (ApEntry* x : worker->subworkers.get_blacklist()->hearers_of(*ap))
        erase_on(*x);
}

void LoadBalancerSubworker::process_client_disassoc(const JsonReader& message, ApEntry* ap)
{
    const int radio_id = message.get_int("radio");
    const char* sta_mac = message.get_string("sta-mac");
    const char* ssid = message.get_string("ssid");
    const int lock = lock_balancer();
    const std::string ap_text = mac_to_string(ap->base_mac);
    RRM_DEBUG("Disassocc client %s lock_balancer %d (ap %s)", PeerText(sta_mac).c_str(), lock,
              ap_text.c_str());
    if (*sta_mac == '\0' || *ssid == '\0')
        return;
    const MacAddress client = mac_from_string(sta_mac);
    Radio* radio = radio_by_id(*ap, radio_id);
    if (radio == nullptr) {
        RRM_WARNING("Skip disassoc for invalid/disabled radio_id=%d (ap %s)", radio_id,
                    ap_text.c_str());
        return;
    }
    auto found = radio->client_table.clients.find(client);
    if (found == radio->client_table.clients.end() || found->second.ssid != ssid) {
        problist.remove(client);
        return;
    }
    const int old = found->second.rssi;
    radio->client_table.dump();
    radio->client_table.erase_client(client);
    radio->block_list.remove(client);
    problist.remove(client);
    // A client that leaves with a good signal no longer needs to be held
    // here; one that leaves weak keeps its blocks until they time out.
    if (lock != 0 || old == 0 || old <= config->blacklist_thr_low)
        return;
    worker->subworkers.get_blacklist()->unblock_elsewhere(client, *ap, ssid, radio_id);
}

void LoadBalancerSubworker::process_client_disassoc_all(const JsonReader&, ApEntry* ap)
{
    RRM_DEBUG("Disassocc all clients");
    BlacklistSubworker* blacklist = worker->subworkers.get_blacklist();
    for (Radio& radio : ap->radios.radios) {
        for (const auto& entry : radio.client_table.clients) {
            problist.remove(entry.first);
            radio.block_list.remove(entry.first);
            blacklist->unblock_elsewhere(entry.first, *ap, entry.second.ssid.c_str(),
                                         static_cast<int>(radio.id));
        }
        radio.client_table.clear();
    }
}

void LoadBalancerSubworker::process_probe_response(const JsonReader& message, ApEntry* ap)
{
    const JsonReader radios = message.child("radios");
    const int radio_count = radios.size();
    if (radio_count == 0)
        return;
    const std::string ap_text = mac_to_string(ap->base_mac);
    for (int i = 0; i < radio_count; ++i) {
        const JsonReader element = radios.child(i);
        if (element.is_null())
            continue;
        const int id = element.get_int("id");
        const Radio* radio = radio_by_id(*ap, id);
        if (radio == nullptr) {
            RRM_WARNING("Skip probe-response for invalid/disabled radio_id=%d (ap %s)", id,
                        ap_text.c_str());
            continue;
        }
        const int size = radio->client_table.size();
        const JsonReader list = element.child("probe-list");
        const int entries = list.size();
        for (int j = 0; j < entries; ++j) {
            const JsonReader entry = list.child(j);
            if (entry.is_null())
                continue;
            const char* mac = entry.get_string("mac");
            const char* ssid = entry.get_string("ssid");
            const int rssi = entry.get_int("rssi");
            RRM_DEBUG("Probe response client %s ssid %s radio_id %d rssi %d size %d (ap %s)",
                      PeerText(mac).c_str(), PeerText(ssid).c_str(), id, rssi, size,
                      ap_text.c_str());
            // A broken entry ends the whole answer: what follows it cannot
            // be trusted either.
            if (*mac == '\0' || *ssid == '\0')
                return;
            const MacAddress client = mac_from_string(mac);
            if (rssi < 0 && rssi > config->blacklist_thr_high) {
                RRM_DEBUG("Probe response client %s put (ap %s)", PeerText(mac).c_str(),
                          ap_text.c_str());
                problist.put_result(client, radio->mac, rssi, ssid);
            }
            problist.mark_answered(client, radio->mac, ssid);
        }
    }
}

// ---------------------------------------------------------------- requests

bool LoadBalancerSubworker::post_probe_req(const ApEntry* source, const char* client_mac,
                                           const char* ssid, int timeout, int band)
{
    RRM_DEBUG("post_probe_req enter");
    bool asked = false;
    if (config->use_all_ap_balance) {
        for (auto& entry : aps->table)
            if (entry.first != source->base_mac)
                asked = post_probe_req_ap(entry.second.get(), client_mac, ssid, timeout, band) ||
                        asked;
    } else {
        for (const ApEntry* x : worker->subworkers.get_blacklist()->hearers_of(*source))
            asked = post_probe_req_ap(x, client_mac, ssid, timeout, band) || asked;
    }
    worker->broadcast_buffer_flush();
    return asked;
}

bool LoadBalancerSubworker::post_probe_req_ap(const ApEntry* ap, const char* client_mac,
                                              const char* ssid, int timeout, int band)
{
    if (!config->use_balance)
        return false;
    const std::string name(ssid ? ssid : "");
    std::array<const Radio*, 3> listed{};
    std::size_t count = 0;
    for (const Radio& radio : ap->radios.radios) {
        if (!radio.status || !has_vap(radio, name) || radio.locked_balancer != 0)
            continue;
        // A client on 5 or 6 GHz is only looked for on its own band.
        if ((band == BAND_5G || band == BAND_6G) && radio.get_band() != band)
            continue;
        if (radio.client_table.size() >= config->load_balance_sta_high)
            continue;
        if (count < listed.size())
            listed[count++] = &radio;
    }
    if (count == 0)
        return false;

    JsonWriter message("rrm", "rrm-probe-request", "");
    message.add_string("ap-mac", mac_to_string(ap->base_mac).c_str());
    message.add_string("domain", domain_name->c_str());
    JsonWriter radios = message.add_array("radios");
    const MacAddress client = mac_from_string(client_mac);
    for (std::size_t i = 0; i < count; ++i) {
        listed[i]->probe_request_to_json(radios, client_mac, name.c_str(), timeout);
        problist.expect_ap(client, listed[i]->mac);
    }
    worker->broadcast_buffer_add(message.to_string(), ap->session);
    return true;
}

void LoadBalancerSubworker::post_client_assoc_ack(const ApEntry* ap, const char* client_mac,
                                                  const char* ssid, int radio_id)
{
    if (client_mac == nullptr || *client_mac == '\0' || ssid == nullptr || *ssid == '\0' ||
        radio_id < 0)
        return;
    const Radio* radio = radio_by_id(*ap, radio_id);
    if (radio == nullptr)
        return;
    auto found = radio->client_table.clients.find(mac_from_string(client_mac));
    if (found == radio->client_table.clients.end() || found->second.ssid != ssid ||
        !found->second.need_ack)
        return;
    JsonWriter message("rrm", "rrm-client-assoc-ack", "");
    message.add_string("domain", domain_name->c_str());
    message.add_string("ap-mac", mac_to_string(ap->base_mac).c_str());
    message.add_string("sta-mac", client_mac);
    message.add_int("radio", radio_id);
    message.add_string("ssid", ssid);
    worker->send_to_ap(message.to_string(), ap->session);
}

// ------------------------------------------------------------- the rounds

void LoadBalancerSubworker::process_timer()
{
    std::vector<MacAddress> ended;
    for (auto& entry : problist.table) {
        RrmProblistEntry& round = entry.second;
        --round.countdown;
        if (round.countdown > 0 && !round.all_answered())
            continue;
        ended.push_back(entry.first);
    }
    std::sort(ended.begin(), ended.end(), mac_less);
    for (const MacAddress& client : ended) {
        // Taken out before it is evaluated: whatever the evaluation does,
        // the round is over.
        auto node = problist.table.extract(client);
        if (node.empty())
            continue;
        log_problist_drop(client);
        process_result(client, node.mapped());
    }

    // A long queue means the domain worker cannot keep up: steering waits
    // for a minute of domain-timer runs, and again while the queue stays
    // long when only one run is left.
    if (worker->queue_size() >= QUEUE_GUARD) {
        const int period = config->domain_timer_period > 0 ? config->domain_timer_period : 1;
        if (!worker->load_balancer_stop) {
            worker->load_balancer_stop = true;
            worker->stop_counter = 60 / period;
        } else if (worker->stop_counter == 1) {
            worker->stop_counter = 60 / period;
        }
    }
}

ApEntry* LoadBalancerSubworker::find_ap(const MacAddress& mac, ApMap& map)
{
    auto it = map.table.find(mac);
    if (it != map.table.end())
        return it->second.get();
    if (auto owner = map.find_ap_by_bssid(mac)) {
        it = map.table.find(owner->base_mac);
        if (it != map.table.end())
            return it->second.get();
    }
    return nullptr;
}

Radio* LoadBalancerSubworker::find_radio(const MacAddress& radio_mac, ApMap& map)
{
    const int radio_id = map.find_radio_id_by_bssid(radio_mac);
    if (radio_id < 0)
        return nullptr;
    ApEntry* ap = find_ap(radio_mac, map);
    return ap ? radio_by_id(*ap, radio_id) : nullptr;
}

int LoadBalancerSubworker::get_radio_size(const MacAddress& radio_mac, ApMap& map)
{
    const Radio* radio = find_radio(radio_mac, map);
    return radio ? radio->client_table.size() : -1;
}

int LoadBalancerSubworker::get_client_rssi(const MacAddress& radio_mac, const MacAddress& client,
                                           ApMap& map)
{
    const Radio* radio = find_radio(radio_mac, map);
    if (radio == nullptr)
        return 0;
    auto found = radio->client_table.clients.find(client);
    return found == radio->client_table.clients.end() ? 0 : found->second.rssi;
}

bool LoadBalancerSubworker::has_client(const MacAddress& radio_mac, const MacAddress& client,
                                       ApMap& map)
{
    const Radio* radio = find_radio(radio_mac, map);
    return radio && radio->client_table.clients.count(client) != 0;
}

void LoadBalancerSubworker::acknowledge(ApMap& map, const MacAddress& src,
                                        const MacAddress& client, const char* ssid,
                                        int src_radio)
{
    const ApEntry* source = find_ap(src, map);
    if (source == nullptr)
        return;
    post_client_assoc_ack(source, mac_to_string(client).c_str(), ssid, src_radio);
}

void LoadBalancerSubworker::acknowledge_anywhere(const MacAddress& src, const MacAddress& client,
                                                  const char* ssid)
{
    for (ApMap* map : {aps, unanswered_aps}) {
        const int radio_id = map->find_radio_id_by_bssid(src);
        if (radio_id >= 0) {
            acknowledge(*map, src, client, ssid, radio_id);
            return;
        }
    }
}

void LoadBalancerSubworker::process_result(const MacAddress& client,
                                           const RrmProblistEntry& round)
{
    const DomainConfig& settings = *config;
    const MacAddress src = round.get_src_mac();
    const char* ssid = round.get_ssid().c_str();
    const std::string src_text = mac_to_string(src);
    const std::string client_text = mac_to_string(client);

    // While steering is paused nothing it decides would reach an AP (the
    // block-list tick sends nothing then): the round ends without a move,
    // and the model keeps what the APs hold. The client's AP may have missed
    // a planning step meanwhile, and is then among the unanswered APs.
    if (lock_balancer() != 0) {
        RRM_DEBUG("LoadBalancer: balancing paused, no move for %s", client_text.c_str());
        acknowledge_anywhere(src, client, ssid);
        return;
    }
    const int src_radio = aps->find_radio_id_by_bssid(src);
    if (src_radio < 0) {
        RRM_WARNING("Skip balancing: source radio_id not found for src_ap=%s", src_text.c_str());
        acknowledge_anywhere(src, client, ssid);
        return;
    }
    const int src_size = get_radio_size(src, *aps);
    const int src_rssi = get_client_rssi(src, client, *aps);
    RRM_DEBUG("LoadBalancer: radio %d client %s src_ap %s size %d sta_low %d rssi %d", src_radio,
              client_text.c_str(), src_text.c_str(), src_size, settings.load_balance_sta_low,
              src_rssi);
    // The source's load cannot be read: nothing to compare a move with, but
    // an AP that waits for its ack still gets it.
    if (src_size < 0) {
        acknowledge(*aps, src, client, ssid, src_radio);
        return;
    }

    // Candidates in ascending radio MAC order: equal loads and signals are
    // decided the same way every time.
    std::vector<std::pair<MacAddress, int32_t>> candidates(round.results.begin(),
                                                           round.results.end());
    std::sort(candidates.begin(), candidates.end(),
              [](const auto& a, const auto& b) { return mac_less(a.first, b.first); });

    bool chosen = false;
    bool exist = false;
    MacAddress best;
    int best_size = 0;
    int best_rssi = 0;
    const auto visit = [&](const MacAddress& mac, int rssi) {
        if (exist)
            return;
        const bool has = has_client(mac, client, *aps);
        const int size = get_radio_size(mac, *aps);
        if (size < 0)
            return;
        // Already associated there and heard well: it stays, whatever else
        // was heard.
        if (has && rssi > settings.blacklist_thr_high && size <= settings.load_balance_sta_high) {
            RRM_DEBUG("LoadBalancer: exist_ap %s size %d rssi %d", mac_to_string(mac).c_str(),
                      size, rssi);
            best = mac;
            best_size = size >= 1 ? size - 1 : 0;
            best_rssi = rssi;
            exist = true;
            chosen = true;
            return;
        }
        // Every radio below the low mark counts alike.
        const int load =
            size < settings.load_balance_sta_low ? settings.load_balance_sta_low - 1 : size;
        if (!chosen) {
            best = mac;
            best_size = load;
            best_rssi = rssi;
            chosen = true;
        } else if (load < best_size) {
            best = mac;
            best_size = load;
            best_rssi = rssi;
        } else if (load == best_size && rssi > best_rssi) {
            best = mac;
            best_rssi = rssi;
        }
    };
    for (const auto& candidate : candidates)
        visit(candidate.first, candidate.second);

    if (!chosen) {
        RRM_DEBUG("LoadBalancer: no find result for %s", client_text.c_str());
        acknowledge(*aps, src, client, ssid, src_radio);
        return;
    }
    const MacAddress dst = best;
    const std::string dst_text = mac_to_string(dst);
    const int dst_radio = aps->find_radio_id_by_bssid(dst);
    if (dst_radio < 0) {
        RRM_WARNING("Skip balancing: destination radio_id not found for dst_ap=%s",
                    dst_text.c_str());
        acknowledge(*aps, src, client, ssid, src_radio);
        return;
    }
    RRM_DEBUG("dst_ap %s radio %d min_size %d min_rssi %d", dst_text.c_str(), dst_radio,
              best_size, best_rssi);
    ApEntry* dst_ap = find_ap(dst, *aps);
    // No destination: the client stays, and its AP still gets the ack it
    // may be waiting for.
    if (dst_ap == nullptr) {
        acknowledge(*aps, src, client, ssid, src_radio);
        return;
    }

    const auto decide = [&] {
        const bool move = best_rssi > settings.blacklist_thr_high &&
                          best_size < settings.load_balance_sta_high &&
                          (exist ||
                           best_size + 1 < std::max(settings.load_balance_sta_low, src_size) ||
                           src_rssi <= settings.blacklist_thr_low);
        if (!move) {
            RRM_DEBUG("LoadBalancer: no balancer");
            acknowledge(*aps, src, client, ssid, src_radio);
            return;
        }
        Radio* destination = radio_by_id(*dst_ap, dst_radio);
        if (destination == nullptr) {
            RRM_WARNING("Skip balancing action: destination radio_id=%d is invalid/disabled for "
                        "ap=%s",
                        dst_radio, mac_to_string(dst_ap->base_mac).c_str());
            acknowledge(*aps, src, client, ssid, src_radio);
            return;
        }
        destination->block_list.unblock(client);
        ExpectedSta expected;
        expected.ap_mac = src;
        expected.radio_id = static_cast<uint32_t>(src_radio);
        expected.ttl = settings.blacklist_timeout;
        destination->client_table.add_expected_sta(client, expected);
        BlacklistSubworker* blacklist = worker->subworkers.get_blacklist();
        blacklist->block_elsewhere(client, *dst_ap, ssid, dst_radio);
        blacklist->disassociate_elsewhere(client, *dst_ap, ssid);
    };
    decide();
}

}  // namespace rrm
