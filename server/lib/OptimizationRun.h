#pragma once
// One channel and power optimisation run of a domain, as its optimisation
// thread carries it out, and the application of its result to the live APs,
// as the domain worker's thread does it afterwards.
//
// The run owns everything it works on (OptimizationJob): a deep copy of the
// domain's active APs taken on the worker thread at launch, a copy of the
// settings, the domain name and the reports folder. It reads no live AP,
// takes no lock of the domain, and shares with the worker only the cancel
// flag it is given and the result it fills in.

#include "ApMap.h"
#include "DomainConfig.h"
#include "OptimizationResult.h"
#include "RadioResultMap.h"

#include <atomic>
#include <memory>
#include <string>

namespace rrm {

struct OptimizationJob {
    // The active APs at launch; their radios still point at the domain
    // worker's own settings copy, which does not change while it lives.
    std::unique_ptr<ApMap> snapshot;
    DomainConfig settings;
    std::string domain_name;
    std::string reports_path;
    bool run_dca = false;
    bool run_tpc = false;
    bool write_report = false;
};

// The run: with run_dca two passes of the channel assignment, with run_tpc
// the power control after it, with write_report the report lines of the
// run. `cancel` is looked at before and after the channel assignment. Every
// exception ends the run with a failed result ("exception during
// optimization: <text>", or "non-standard exception during optimization");
// nothing escapes. `result` starts as a new, empty result.
void run_optimization(OptimizationJob& job, const std::atomic<bool>& cancel,
                      OptimizationResult& result) noexcept;

// Writes the channels and powers of a successful run into the live APs of
// `aps` (the active map): per result entry the AP under that key (else the
// AP owning it as a BSSID), per result radio the AP's radio with the same
// id; channel, power, power_changed, then the EIRP fit, conflicted, the
// primary-channel position; a radio that moved is followed by the records
// the other active APs keep of it. Entries and radios without a live
// counterpart are skipped. Bandwidth, status, locks, limits, available
// channels and VAPs stay the live ones.
void apply_radio_results(ApMap& aps, const RadioResultMap& radios);

}  // namespace rrm
