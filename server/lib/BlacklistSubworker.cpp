#include "BlacklistSubworker.h"

#include "ApEntry.h"
#include "ApMap.h"
#include "DomainConfig.h"
#include "JsonReader.h"
#include "JsonWriter.h"
#include "LoadBalancerSubworker.h"
#include "Log.h"
#include "MacAddress.h"
#include "Radio.h"
#include "RrmProblist.h"
#include "RrmWorker.h"

#include <cstring>

namespace rrm {

namespace {

// Seconds a round started here waits for its answers.
constexpr int32_t PROBE_ROUND_SECONDS = 5;

bool steering_paused(const RrmWorker& worker)
{
    return worker.load_balancer_stop || worker.load_balancer_lock;
}

}  // namespace

BlacklistSubworker::BlacklistSubworker(const DomainConfig* settings, const std::string* name,
                                       RrmWorker* owner, ApMap* active, ApMap* deleted,
                                       ApMap* unanswered)
    : IRrmSubworker(settings, name, owner, active, deleted, unanswered)
{
    timer_callback = [this] { process_timer(); };
    // Periodic: the tick keeps its beat even when one run throws.
    timers.add_periodic(timer_callback, TICK_TIMER, FIRST_TICK_DELAY_S, 1);
}

BlacklistSubworker::~BlacklistSubworker() = default;

void BlacklistSubworker::force_optimization()
{
}

void BlacklistSubworker::stop()
{
}

bool BlacklistSubworker::process_message(const JsonReader& message, const char* cmd, ApEntry* ap)
{
    if (std::strcmp(cmd, "rrm-assoc-state-changed") == 0)
        process_assoc_state_changed(message, ap);
    return true;
}

void BlacklistSubworker::process_timer()
{
    if (!steering_paused(*worker)) {
        for (auto& entry : aps->table)
            post_disassoc_request(entry.second.get());
        worker->broadcast_buffer_flush();
        for (auto& entry : aps->table) {
            for (Radio& radio : entry.second->radios.radios)
                radio.block_list.tick();
            post_blacklist(entry.second.get());
        }
        worker->broadcast_buffer_flush();
    } else {
        // The blocks the APs hold run out all the same.
        for (auto& entry : aps->table)
            for (Radio& radio : entry.second->radios.radios)
                radio.block_list.age_held();
    }
    // What was queued and not sent (paused steering, APs that are not
    // active) is not kept for later.
    aps->clear_blacklist_changes();
    aps_to_delete->clear_blacklist_changes();
    unanswered_aps->clear_blacklist_changes();
}

void BlacklistSubworker::post_disassoc_request(ApEntry* ap)
{
    bool pending = false;
    for (const Radio& radio : ap->radios.radios)
        pending = pending || !radio.block_list.disassoc.empty();
    if (!pending)
        return;
    JsonWriter message("rrm", "rrm-disassoc-request", "");
    message.add_string("ap-mac", mac_to_string(ap->base_mac).c_str());
    message.add_string("domain", domain_name->c_str());
    JsonWriter radios = message.add_array("radios");
    for (Radio& radio : ap->radios.radios) {
        if (!radio.block_list.disassoc.empty()) {
            radio.disassoc_list_to_json(radios);
            radio.block_list.disassoc_sent(config->blacklist_timeout);
        }
    }
    worker->broadcast_buffer_add(message.to_string(), ap->session);
}

void BlacklistSubworker::post_blacklist(ApEntry* ap)
{
    bool pending = false;
    for (const Radio& radio : ap->radios.radios)
        pending = pending || !radio.block_list.changes.empty();
    if (!pending)
        return;
    JsonWriter message("rrm", "rrm-blacklist", "");
    JsonWriter radios = message.add_array("radios");
    for (Radio& radio : ap->radios.radios) {
        if (!radio.block_list.changes.empty()) {
            radio.blacklist_to_json(radios);
            radio.block_list.changes_sent(config->blacklist_timeout);
        }
    }
    message.add_string("ap-mac", mac_to_string(ap->base_mac).c_str());
    message.add_string("domain", domain_name->c_str());
    worker->broadcast_buffer_add(message.to_string(), ap->session);
}

void BlacklistSubworker::post_disassoc_requests()
{
    for (auto& entry : aps->table)
        post_disassoc_request(entry.second.get());
    worker->broadcast_buffer_flush();
}

void BlacklistSubworker::post_blacklists()
{
    for (auto& entry : aps->table)
        post_blacklist(entry.second.get());
    worker->broadcast_buffer_flush();
}

void BlacklistSubworker::process_assoc_state_changed(const JsonReader& message, ApEntry* ap)
{
    const char* sta_mac = message.get_string("sta-mac");
    const char* ssid = message.get_string("ssid");
    const char* state = message.get_string("state");
    int rssi = message.get_int("rssi");
    const int radio_id = message.get_int("radio");

    if (!config->use_balance)
        return;
    const int lock_balancer = steering_paused(*worker) ? 1 : 0;
    RRM_DEBUG("Assocc state change client %s rssi %d state %s radio_id %d ssid %s (ap %s) "
              "lock_balancer %d",
              PeerText(sta_mac).c_str(), rssi, PeerText(state).c_str(), radio_id,
              PeerText(ssid).c_str(), mac_to_string(ap->base_mac).c_str(), lock_balancer);
    if (lock_balancer)
        return;
    if (*sta_mac == '\0' || *ssid == '\0')
        return;

    const int low = config->blacklist_thr_low;
    const int high = config->blacklist_thr_high;
    if (std::strcmp(state, "unstable") == 0)
        rssi = low;

    const MacAddress client = mac_from_string(sta_mac);
    const MacAddress radio_mac = ap->get_radio_mac(radio_id);
    Radio* radio = nullptr;
    for (Radio& r : ap->radios.radios)
        if (static_cast<int64_t>(r.id) == radio_id)
            radio = &r;
    if (radio == nullptr)
        return;
    auto found = radio->client_table.clients.find(client);
    if (found == radio->client_table.clients.end())
        return;
    const int old = found->second.rssi;
    const int64_t assoc_time = found->second.assoc_time;
    const bool no_balance = found->second.no_balance;

    if (rssi != 0)
        radio->client_table.update_rssi(client, rssi);
    radio->client_table.dump();
    const int band = radio->get_band();
    if (no_balance)
        return;

    // Another AP that took the client on at the same time or later holds
    // the newer association: the weak report is about a client already
    // gone.
    bool newer = false;
    for (const auto& entry : aps->table) {
        if (entry.first == ap->base_mac)
            continue;
        for (const Radio& other : entry.second->radios.radios) {
            auto it = other.client_table.clients.find(client);
            if (it != other.client_table.clients.end() && it->second.assoc_time >= assoc_time) {
                newer = true;
                break;
            }
        }
        if (newer)
            break;
    }

    if (old != 0 && old > low && rssi <= low)
        update_blacklists_by_rssi(client, rssi, *ap, ssid, radio_id);

    LoadBalancerSubworker* balancer = worker->subworkers.get_load_balancer();
    if (rssi <= low && !newer) {
        RrmProblist& rounds = balancer->get_problist();
        rounds.add(client, radio_mac, PROBE_ROUND_SECONDS, ssid);
        if (!balancer->post_probe_req(ap, sta_mac, ssid, 0, band))
            rounds.remove(client);
        return;
    }
    if (rssi != 0 && rssi > high)
        balancer->get_problist().remove(client);
}

}  // namespace rrm
