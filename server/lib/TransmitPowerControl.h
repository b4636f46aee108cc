#pragma once
// Transmit power control of one optimisation run: from what the APs of the
// run's snapshot hear of each other, radios heard too loud by another AP
// are turned down and the others are turned up towards their band's signal
// threshold.
//
// Runs on the optimisation thread only, after the channel assignment, on
// the run's own deep copy of the active APs and its copy of the settings:
// no lock, no log, nothing shared. Exceptions (allocation failures) pass to
// the caller.

#include "RadioResultMap.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace rrm {

class ApEntry;
class ApMap;
class DomainConfig;
class Radio;

class Tpc {
public:
    // Every MAC of the snapshot's APs (base MAC, radio MACs of every radio
    // enabled or not, VAP MACs) to the AP that owns it; the first AP keeps
    // a MAC that two APs claim. Points into the snapshot.
    using MacIndex = std::unordered_map<MacAddress, ApEntry*, MacHash>;

    // What the raising step of one AP needs.
    struct Context {
        const MacIndex& index;
        const DomainConfig& settings;
        RadioResultMap& out;
    };

    // Builds the index, then the lowering pass and the raising pass. APs
    // whose radios changed are stored in `out` (the run hands in an empty
    // map). Thresholds come from each radio's own settings pointer
    // (Radio::get_rssi_threshold); of `settings` only use_hd_mode is read.
    static void run(ApMap& snapshot, const DomainConfig& settings, RadioResultMap& out);

    // Sized for 52 MACs per AP (base, and per radio its MAC and 16 VAPs), so
    // it is not rehashed while filled.
    static void build_index(const ApMap& snapshot, MacIndex& index);
    // The AP owning a BSSID: the address itself, else with the
    // locally-administered bit inverted; null when neither is known.
    static ApEntry* find_ap(const MacIndex& index, const MacAddress& bssid);

    // For every ready AP A and every record it hears louder than the upper
    // threshold of its radio on that band: every enabled radio of that band
    // on the heard AP B is marked conflicted and lowered by the excess over
    // A's threshold; B is stored under its base MAC unless the result
    // already holds a copy of B that no new power undercuts. Records of A's
    // own BSSIDs count for nothing.
    static void lower_power_pass(ApMap& snapshot, const DomainConfig& settings,
                                 RadioResultMap& out, const MacIndex& index);
    // raise_ap_power for every AP of the snapshot, in table order.
    static void raise_power_pass(ApMap& snapshot, const DomainConfig& settings,
                                 RadioResultMap& out, const MacIndex& index);
    // Each eligible radio of a ready AP that was not lowered in this run is
    // raised by the gap between its threshold and the loudest suitable
    // neighbour, when that one is quieter than threshold - hysteresis; with
    // no suitable neighbour it goes to its upper bound. An AP with a changed
    // radio is stored (insert or replace) under ap_mac.
    static void raise_ap_power(const Context& context, const MacAddress& ap_mac, ApEntry& ap);

    // Whether two channels of one band share spectrum at a width (MHz), as
    // HD mode matches them: 5 GHz channels with the same centre at that
    // width, 6 GHz channels less than the width's span apart, 2.4 GHz
    // channels at most 3 apart (always at 40 MHz). Any channel numbers are
    // safe.
    static bool channels_overlap(int32_t band, int32_t first, int32_t second, int32_t width);
    // 5 GHz centres of a channel at 80, 160 and 320 MHz (the 40 MHz one is
    // get_40mhz_center_channel): the channel itself outside 1..233.
    static int32_t center_80mhz(int32_t channel);
    static int32_t center_160mhz(int32_t channel);
    static int32_t center_320mhz(int32_t channel);
};

// Stores the radios of an AP that the power control lowered: inserted when
// the AP has no entry yet, replacing the entry when some radio of `radios`
// shares a channel with a stored radio and has a lower power, else the
// stored entry stays.
void store_result_if_lower(RadioResultMap& results, const MacAddress& ap,
                           const std::vector<Radio>& radios);

// The power step of a run, after its channel assignment. With use_tpc the
// power control runs into `results`, then every AP that only the channel
// assignment changed is added from `dca_results` (an AP the power control
// stored keeps that entry, which already carries the new channels). Without
// it the channel assignment's results are the results. `dca_results` is
// left empty or unspecified.
void run_power_step(ApMap& snapshot, const DomainConfig& settings, bool use_tpc,
                    RadioResultMap& dca_results, RadioResultMap& results);

}  // namespace rrm
