#include "OptimizationRun.h"

#include "ApEntry.h"
#include "ChannelAssignment.h"
#include "Radio.h"
#include "TransmitPowerControl.h"
#include "report_optimize_tpc_dca.h"

#include <exception>
#include <utility>

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
            if (old_channel != planned.channel && planned.channel > 0)
                radio->update_neighbour_channel(aps.table, radio->mac, planned.channel);
        }
    }
}

}  // namespace rrm
