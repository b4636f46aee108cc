#include "ChannelAssignment.h"

#include "ApMap.h"
#include "DomainConfig.h"

#include <cstddef>
#include <limits>
#include <queue>
#include <unordered_set>
#include <vector>

namespace rrm {

namespace {

// The radios the assignment may move.
bool is_candidate(const Radio& radio)
{
    return radio.locked_dca == 0 && radio.status && !radio.available_channels.empty();
}

// Selection order of a candidate in one number: its AP's distinct heard
// channels, then its AP's heard member BSSIDs; -1 once handled.
int64_t rank_of(const Radio& radio)
{
    if (radio.dca_channel_count < 0)
        return -1;
    return (int64_t{radio.dca_channel_count} << 32) |
           static_cast<uint32_t>(radio.dca_neighbour_count);
}

// One pass of the assignment over a snapshot.
//
// The candidates of an AP sit next to each other in the candidate list. The
// next radio comes from a max-heap of (rank, position) entries: a rank that
// changes pushes a new entry, and an entry whose rank is no longer the
// candidate's is dropped when it reaches the top, so the heap yields what a
// scan of the whole list for the highest rank (first position on a tie)
// would. After a move only the APs that hear the moved radio have a record
// that changed, so only their candidates are counted again: every other
// AP's count is what a recount would give. The count belongs to the AP, so
// it is taken once per AP and given to each of its candidates.
class DcaPass {
public:
    DcaPass(ApMap& snapshot, ChannelHistogram& histogram, int32_t dca_threshold,
            bool ignore_threshold)
        : snapshot(snapshot),
          histogram(histogram),
          dca_threshold(dca_threshold),
          ignore_threshold(ignore_threshold)
    {
    }

    void run(RadioResultMap& out)
    {
        collect();
        for (std::size_t round = 0; round < candidates.size(); ++round) {
            const std::size_t next = select();
            if (next == NONE)
                break;
            handle(next);
        }
        output(out);
    }

private:
    static constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

    struct ApSlot {
        ApEntry* ap;
        const MacAddress* key;  // in the snapshot's main table
        std::size_t first;      // its candidates: first .. first + count - 1
        std::size_t count;
    };
    struct Candidate {
        Radio* radio;
        std::size_t ap;  // index into aps
    };
    struct Pending {
        int64_t rank;
        std::size_t index;
    };
    // Orders the heap: higher rank on top, then the lower position.
    struct Below {
        bool operator()(const Pending& a, const Pending& b) const
        {
            return a.rank < b.rank || (a.rank == b.rank && a.index > b.index);
        }
    };

    ApMap& snapshot;
    ChannelHistogram& histogram;
    const int32_t dca_threshold;
    const bool ignore_threshold;

    std::vector<ApSlot> aps;
    std::vector<Candidate> candidates;
    std::vector<int64_t> ranks;  // parallel to candidates
    std::priority_queue<Pending, std::vector<Pending>, Below> pending;
    // Every BSSID some AP hears among its members -> the APs hearing it.
    std::unordered_map<MacAddress, std::vector<std::size_t>, MacHash> heard_by;
    std::unordered_set<MacAddress, MacHash> changed;

    void collect()
    {
        std::size_t heard = 0;
        for (const auto& entry : snapshot.table)
            if (entry.second)
                heard += entry.second->visible_members.size();
        heard_by.reserve(heard);
        aps.reserve(snapshot.size());
        candidates.reserve(3 * snapshot.size());
        ranks.reserve(3 * snapshot.size());

        for (const auto& entry : snapshot.table) {
            if (!entry.second)
                continue;
            ApEntry& ap = *entry.second;
            const std::size_t ordinal = aps.size();
            for (const auto& record : ap.visible_members)
                heard_by[record.first].push_back(ordinal);
            ApSlot slot{&ap, &entry.first, candidates.size(), 0};
            const std::size_t members = ap.visible_members.size();
            const Radio* counted = nullptr;
            for (Radio& radio : ap.radios.radios) {
                if (!is_candidate(radio))
                    continue;
                radio.dca_neighbour_count =
                    members > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())
                        ? std::numeric_limits<int32_t>::max()
                        : static_cast<int32_t>(members);
                if (counted == nullptr) {
                    radio.count_neighbour_channels(ap);
                    counted = &radio;
                } else {
                    radio.dca_channel_count = counted->dca_channel_count;
                }
                pending.push({rank_of(radio), candidates.size()});
                candidates.push_back({&radio, ordinal});
                ranks.push_back(rank_of(radio));
                ++slot.count;
            }
            aps.push_back(slot);
        }
    }

    // The highest rank not yet handled; the first in the list on a tie.
    std::size_t select()
    {
        while (!pending.empty()) {
            const Pending top = pending.top();
            pending.pop();
            if (top.rank >= 0 && top.rank == ranks[top.index])
                return top.index;
        }
        return NONE;
    }

    void handle(std::size_t index)
    {
        Radio& radio = *candidates[index].radio;
        const ApSlot& slot = aps[candidates[index].ap];

        histogram.clear();
        histogram.add_ap_neighbours(*slot.ap, radio);
        const int32_t chosen =
            histogram.best_channel(radio.available_channels, radio.channel, radio.bandwidth,
                                   radio.primary_channel, dca_threshold, ignore_threshold);

        const int32_t primary_before = radio.primary_channel;
        radio.update_primary_channel();
        if (chosen > 0 && chosen != radio.channel) {
            radio.channel = chosen;
            radio.update_primary_channel();
            const std::vector<std::size_t>* hearers = update_hearers(radio, true);
            if (hearers != nullptr)
                recount(*hearers);
            changed.insert(*slot.key);
        } else if (radio.primary_channel != primary_before) {
            update_hearers(radio, false);
            changed.insert(*slot.key);
        }
        radio.dca_channel_count = -1;
        ranks[index] = -1;
    }

    // The records that the APs hearing the radio keep of it take its new
    // primary position, and its new channel when it moved. Records kept under
    // a VAP BSSID stay as they are. Returns the APs of the index entry.
    const std::vector<std::size_t>* update_hearers(const Radio& radio, bool with_channel)
    {
        auto entry = find_mac_with_retry(heard_by, radio.mac);
        if (entry == heard_by.end())
            return nullptr;
        for (std::size_t ordinal : entry->second) {
            NeighbourMap::Table& table = aps[ordinal].ap->visible_members.table;
            auto record = find_mac_with_retry(table, radio.mac);
            if (record == table.end())
                continue;
            if (with_channel)
                record->second.channel = radio.channel;
            record->second.primary = radio.primary_channel;
        }
        return &entry->second;
    }

    void recount(const std::vector<std::size_t>& hearers)
    {
        for (std::size_t ordinal : hearers) {
            const ApSlot& slot = aps[ordinal];
            const Radio* counted = nullptr;
            for (std::size_t i = slot.first; i < slot.first + slot.count; ++i) {
                Radio& radio = *candidates[i].radio;
                if (radio.dca_channel_count < 0)
                    continue;
                if (counted == nullptr) {
                    radio.count_neighbour_channels(*slot.ap);
                    counted = &radio;
                } else {
                    radio.dca_channel_count = counted->dca_channel_count;
                }
                const int64_t rank = rank_of(radio);
                if (rank != ranks[i]) {
                    ranks[i] = rank;
                    pending.push({rank, i});
                }
            }
        }
    }

    void output(RadioResultMap& out) const
    {
        for (const MacAddress& key : changed) {
            const ApEntry* ap = nullptr;
            auto it = snapshot.table.find(key);
            if (it != snapshot.table.end()) {
                ap = it->second.get();
            } else if (auto owner = snapshot.find_ap_by_bssid(key)) {
                auto again = snapshot.table.find(owner->base_mac);
                if (again != snapshot.table.end())
                    ap = again->second.get();
            }
            if (ap == nullptr)
                continue;
            out.insert_or_assign(key, ap->radios.radios);
        }
    }
};

}  // namespace

void Dca::run(ApMap& snapshot, const DomainConfig& settings, RadioResultMap& out)
{
    DcaPass(snapshot, histogram, settings.dca_threshold, ignore_threshold).run(out);
}

int32_t get_40mhz_center_channel(int32_t channel)
{
    const int32_t pair = ChannelHistogram::center_40mhz_5ghz(channel);
    if (pair >= 0)
        return pair;
    if (channel >= 1 && channel <= 233)
        return ((channel - 1) & ~7) + 3;
    return channel;
}

}  // namespace rrm
