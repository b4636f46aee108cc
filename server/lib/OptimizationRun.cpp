#include "OptimizationRun.h"

#include "ApEntry.h"
#include "ChannelAssignment.h"
#include "MacAddress.h"
#include "Neighbour.h"
#include "Radio.h"
#include "TransmitPowerControl.h"
#include "report_optimize_tpc_dca.h"

#include <exception>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace rrm {

namespace {

// Fills a failed result without letting a second failure (the text's own
// allocation) out of the thread.
void fail(OptimizationResult& result, const char* prefix, const char* text) noexcept
{
    result.success = false;
    result.radios.clear();
    try {
        result.error = prefix;
        result.error += text;
    } catch (...) {
        result.error.clear();
    }
}

// Who hears which BSSID among the APs of a map: each key of an AP's visible
// members -> the APs that hold it. A moved radio's records are found through
// it instead of by a look into every AP of the map, which would make the
// application of a run quadratic in the domain on the worker's thread.
class HeardBy {
public:
    explicit HeardBy(const ApMap& aps)
    {
        std::size_t records = 0;
        for (const auto& entry : aps.table)
            records += entry.second->visible_members.table.size();
        hearers.reserve(records);
        for (const auto& entry : aps.table)
            for (const auto& heard : entry.second->visible_members.table)
                hearers[heard.first].push_back(entry.second.get());
    }

    // What Radio::update_neighbour_channel does for every AP of the map: the
    // record under the radio's MAC, else under the MAC with the
    // locally-administered bit flipped, takes the new channel.
    void set_channel(const MacAddress& radio_mac, int32_t channel) const
    {
        auto exact = hearers.find(radio_mac);
        if (exact != hearers.end())
            for (ApEntry* ap : exact->second)
                ap->visible_members.table.at(radio_mac).channel = channel;
        const MacAddress flipped = mac_flip_local_bit(radio_mac);
        auto other = hearers.find(flipped);
        if (other != hearers.end())
            for (ApEntry* ap : other->second) {
                NeighbourMap::Table& heard = ap->visible_members.table;
                if (heard.find(radio_mac) == heard.end())
                    heard.at(flipped).channel = channel;
            }
    }

private:
    std::unordered_map<MacAddress, std::vector<ApEntry*>, MacHash> hearers;
};

}  // namespace

void run_optimization(OptimizationJob& job, const std::atomic<bool>& cancel,
                      OptimizationResult& result) noexcept
{
    try {
        Dca dca;
        RadioResultMap dca_results;
        RadioResultMap results;
        reports::RadioReportMap report;
        std::string start;
        ApMap& snapshot = *job.snapshot;

        if (job.write_report) {
            start = reports::get_current_date_time_as_str(true);
            reports::remember_radio_report_before_optimize(report, start, snapshot);
        }
        if (cancel.load()) {
            fail(result, "cancelled before DCA", "");
            return;
        }
        if (job.run_dca) {
            // The second pass starts from what the first one chose and may
            // move any radio again.
            dca.run(snapshot, job.settings, dca_results);
            dca.run(snapshot, job.settings, dca_results);
        }
        if (cancel.load()) {
            fail(result, "cancelled after DCA", "");
            return;
        }
        run_power_step(snapshot, job.settings, job.run_tpc, dca_results, results);
        if (job.write_report) {
            reports::remember_radio_report_after_optimize(report, start, snapshot);
            reports::save_radio_report_to_files(report, job.domain_name, start, job.reports_path,
                                                job.settings);
        }
        result.radios = std::move(results);
        result.error.clear();
        result.success = true;
    } catch (const std::exception& e) {
        fail(result, "exception during optimization: ", e.what());
    } catch (...) {
        fail(result, "non-standard exception during optimization", "");
    }
}

void apply_radio_results(ApMap& aps, const RadioResultMap& radios)
{
    // Built at the first moved radio; channels change nothing it holds.
    std::unique_ptr<HeardBy> heard_by;
    for (const auto& entry : radios) {
        auto it = aps.table.find(entry.first);
        if (it == aps.table.end()) {
            if (auto owner = aps.find_ap_by_bssid(entry.first))
                it = aps.table.find(owner->base_mac);
        }
        if (it == aps.table.end())
            continue;
        std::vector<Radio>& live = it->second->radios.radios;
        for (const Radio& planned : entry.second) {
            Radio* radio = nullptr;
            for (Radio& candidate : live)
                if (candidate.id == planned.id) {
                    radio = &candidate;
                    break;
                }
            if (!radio)
                continue;
            const int32_t old_channel = radio->channel;
            radio->channel = planned.channel;
            radio->power = planned.power;
            radio->power_changed = planned.power_changed;
            radio->apply_eirp_limits();
            radio->conflicted = planned.conflicted;
            radio->primary_channel = planned.primary_channel;
            radio->update_primary_channel();
            if (old_channel != planned.channel && planned.channel > 0) {
                if (!heard_by)
                    heard_by = std::make_unique<HeardBy>(aps);
                heard_by->set_channel(radio->mac, planned.channel);
            }
        }
    }
}

}  // namespace rrm
