#pragma once
// The channel texts and the timing of the scan requests ("rrm-update") of a
// domain's planning cycle. Pure functions of the channel sets, the radios
// and the settings they are given; run on the domain worker's thread.

#include "ChannelSets.h"

#include <cstdint>
#include <string>
#include <unordered_set>

namespace rrm {

class DomainConfig;
class RadioList;

// "rrm-scan-channels": the 2.4 GHz channels, then the 5 GHz ones, each set
// in its own walk order (not sorted), separated by single blanks; 6 GHz
// channels are never in it. "" when both sets are empty.
std::string scan_channels_to_string(const ChannelSets& sets);

// One member of "rrm-scan-channels-list": the channels ascending, separated
// by single blanks; "" for an empty set.
std::string channel_set_to_string(const std::unordered_set<int32_t>& set);

// The scan channels of one AP when the domain does not scan as a whole:
// every available channel of each of its three radios (enabled or not), in
// the set of the band that radio gives it (Radio::get_channel_band); a
// channel of no band is left out.
ChannelSets ap_scan_channel_sets(const RadioList& radios);

// Seconds between the scans of two APs of one cycle (the sub-worker's
// scan_step): with use_tavik_rrm_scan own_scan_count x own_scan_time, else
// scan_time_for_channels of the largest of 14 and the sizes of the
// domain's 5 GHz and 6 GHz sets. The 2.4 GHz set does not count.
int32_t scan_step_time(const DomainConfig& settings, const ChannelSets& domain_sets);
// (n x 7 / 10 + 1) x scan_channel_factor, the division truncating.
int32_t scan_time_for_channels(const DomainConfig& settings, int64_t channel_count);
// own_scan_count x own_scan_time.
int32_t own_scan_step_time(const DomainConfig& settings);

// Debug texts: "%d " for every channel of all seven sets (set 0 to 6) / of
// every radio of an AP (radio order), appended to out, not trimmed.
void channel_sets_text(const ChannelSets& sets, std::string& out);
void ap_channels_text(const RadioList& radios, std::string& out);

}  // namespace rrm
