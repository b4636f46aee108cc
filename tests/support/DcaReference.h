#pragma once
// The channel-assignment pass written out step by step, the slow way: every
// selection reads the ranking fields of the radios themselves and every move
// recounts every candidate of the snapshot. `rrm::Dca::run` must give the
// same snapshot and results; the tests compare the two on generated domains
// and the benchmark measures the difference.

#include "ApMap.h"
#include "ChannelHistogram.h"
#include "DomainConfig.h"
#include "RadioResultMap.h"

#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace testsupport {

inline void reference_dca_pass(rrm::ApMap& snapshot, const rrm::DomainConfig& settings,
                               bool ignore_threshold, rrm::RadioResultMap& out)
{
    using rrm::ApEntry;
    using rrm::MacAddress;
    using rrm::Radio;
    auto candidate = [](const Radio& r) {
        return r.locked_dca == 0 && r.status && !r.available_channels.empty();
    };

    // 1. Heard-by index.
    std::unordered_map<MacAddress, std::vector<ApEntry*>, rrm::MacHash> heard_by;
    for (auto& entry : snapshot.table)
        for (auto& record : entry.second->visible_members)
            heard_by[record.first].push_back(entry.second.get());

    // 2. Candidates.
    struct Candidate {
        Radio* radio;
        ApEntry* ap;
        MacAddress key;
    };
    std::vector<Candidate> candidates;
    for (auto& entry : snapshot.table) {
        for (Radio& radio : entry.second->radios.radios) {
            if (!candidate(radio))
                continue;
            radio.dca_neighbour_count = static_cast<int32_t>(entry.second->visible_members.size());
            radio.count_neighbour_channels(*entry.second);
            candidates.push_back({&radio, entry.second.get(), entry.first});
        }
    }

    // 3. Greedy loop.
    std::unordered_set<MacAddress, rrm::MacHash> changed;
    rrm::ChannelHistogram histogram;
    auto update_records = [&](const Radio& radio, bool with_channel) {
        auto entry = rrm::find_mac_with_retry(heard_by, radio.mac);
        if (entry == heard_by.end())
            return;
        for (ApEntry* ap : entry->second) {
            auto record = rrm::find_mac_with_retry(ap->visible_members.table, radio.mac);
            if (record == ap->visible_members.table.end())
                continue;
            if (with_channel)
                record->second.channel = radio.channel;
            record->second.primary = radio.primary_channel;
        }
    };
    for (std::size_t round = 0; round < candidates.size(); ++round) {
        Candidate* chosen = nullptr;
        for (Candidate& c : candidates) {
            if (c.radio->dca_channel_count < 0)
                continue;
            if (chosen == nullptr ||
                c.radio->dca_channel_count > chosen->radio->dca_channel_count ||
                (c.radio->dca_channel_count == chosen->radio->dca_channel_count &&
                 c.radio->dca_neighbour_count > chosen->radio->dca_neighbour_count))
                chosen = &c;
        }
        if (chosen == nullptr)
            break;
        Radio& radio = *chosen->radio;
        histogram.clear();
        histogram.add_ap_neighbours(*chosen->ap, radio);
        const int32_t next =
            histogram.best_channel(radio.available_channels, radio.channel, radio.bandwidth,
                                   radio.primary_channel, settings.dca_threshold,
                                   ignore_threshold);
        const int32_t primary_before = radio.primary_channel;
        radio.update_primary_channel();
        if (next != radio.channel && next > 0) {
            radio.channel = next;
            radio.update_primary_channel();
            update_records(radio, true);
            for (auto& entry : snapshot.table)
                for (Radio& other : entry.second->radios.radios)
                    if (candidate(other) && other.dca_channel_count >= 0)
                        other.count_neighbour_channels(*entry.second);
            changed.insert(chosen->key);
        } else if (radio.primary_channel != primary_before) {
            update_records(radio, false);
            changed.insert(chosen->key);
        }
        radio.dca_channel_count = -1;
    }

    // 4. Output.
    for (const MacAddress& key : changed) {
        auto it = snapshot.table.find(key);
        if (it != snapshot.table.end())
            out[key] = it->second->radios.radios;
    }
}

}  // namespace testsupport
