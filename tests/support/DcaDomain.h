#pragma once
// Generated domains for the channel assignment: APs on a grid in a building,
// each hearing the radios of the APs within reach (signal falling with
// distance) and a few foreign BSSIDs. With `oddities` some radios are locked,
// disabled, left with an empty channel set, on a channel outside their set
// or with a stale primary position, and some records are kept under the
// radio MAC with the locally-administered bit flipped or under a VAP BSSID.
// With `cold_start` every radio starts on the first channel of its band
// (1, 36, 1), as a freshly installed site would.

#include "ApMap.h"
#include "ChannelPlan.h"
#include "DomainConfig.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace testsupport {

struct DcaDomain {
    rrm::DomainConfig config;
    rrm::ApMap aps;
};

inline std::unique_ptr<DcaDomain> make_dca_domain(int count, uint32_t seed, bool oddities,
                                                  bool cold_start = false)
{
    auto domain = std::make_unique<DcaDomain>();
    std::mt19937 random(seed);
    auto chance = [&random](int percent) { return static_cast<int>(random() % 100) < percent; };
    auto pick = [&random](const std::vector<int>& from) {
        return from[random() % from.size()];
    };

    const std::vector<int> set_2g = {1, 6, 11};
    std::vector<int> set_5g;
    for (int ch = 36; ch <= 64; ch += 4)
        set_5g.push_back(ch);
    for (int ch = 100; ch <= 144; ch += 4)
        set_5g.push_back(ch);
    for (int ch = 149; ch <= 161; ch += 4)
        set_5g.push_back(ch);
    std::vector<int> set_6g;
    for (int ch = 1; ch <= 233; ch += 4)
        set_6g.push_back(ch);

    // 15 m apart on a square grid; heard up to 45 m away.
    const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
    std::vector<std::shared_ptr<rrm::ApEntry>> order;
    std::vector<std::pair<double, double>> where;
    for (int i = 0; i < count; ++i) {
        const rrm::MacAddress base =
            rrm::mac_from_u48(0x001a00000000ULL + static_cast<uint64_t>(i) * 256);
        auto ap = std::make_shared<rrm::ApEntry>(&domain->config, base, rrm::null_session);
        auto setup = [&](int id, int band, int bandwidth, const std::vector<int>& set) {
            rrm::Radio& radio = ap->radios.radios[static_cast<std::size_t>(id)];
            radio.status = true;
            radio.band = band;
            radio.bandwidth = bandwidth;
            radio.available_channels.insert(set.begin(), set.end());
            radio.channel = cold_start ? set.front() : pick(set);
            if (oddities && chance(20))
                radio.primary_channel = pick({0, 256, 512, 768, 1024});
            else
                radio.update_primary_channel();
            if (oddities) {
                if (chance(5))
                    radio.locked_dca = 1;
                if (chance(4))
                    radio.available_channels.clear();
                if (chance(5))
                    radio.available_channels.erase(radio.channel);
                if (chance(3))
                    radio.status = false;
            }
        };
        setup(0, rrm::BAND_2G, 20, set_2g);
        setup(1, rrm::BAND_5G, chance(50) ? 40 : 80, set_5g);
        if (i % 4 == 0)
            setup(2, rrm::BAND_6G, 80, set_6g);
        domain->aps.insert(base, ap);
        order.push_back(ap);
        where.emplace_back(15.0 * (i % columns), 15.0 * (i / columns));
    }

    for (int i = 0; i < count; ++i) {
        rrm::ApEntry& listener = *order[static_cast<std::size_t>(i)];
        for (int j = 0; j < count; ++j) {
            if (i == j)
                continue;
            const double dx = where[static_cast<std::size_t>(i)].first -
                              where[static_cast<std::size_t>(j)].first;
            const double dy = where[static_cast<std::size_t>(i)].second -
                              where[static_cast<std::size_t>(j)].second;
            const double distance = std::sqrt(dx * dx + dy * dy);
            if (distance > 45.0)
                continue;
            for (const rrm::Radio& radio : order[static_cast<std::size_t>(j)]->radios.radios) {
                if (!radio.status)
                    continue;
                const int dbm = static_cast<int>(-35.0 - 30.0 * std::log10(distance)) +
                                static_cast<int>(random() % 11) - 5;
                rrm::MacAddress bssid = radio.mac;
                if (oddities && chance(10))
                    bssid = rrm::mac_flip_local_bit(bssid);
                else if (oddities && chance(5))
                    bssid = rrm::mac_with_offset(bssid, 1);
                listener.visible_members.insert(
                    bssid, rrm::Neighbour(dbm, radio.channel, radio.band, radio.bandwidth, 20,
                                          radio.primary_channel));
            }
        }
        const int rogues = static_cast<int>(random() % 6);
        for (int k = 0; k < rogues; ++k) {
            const rrm::MacAddress bssid =
                rrm::mac_from_u48(0x02ee00000000ULL + static_cast<uint64_t>(i) * 16 +
                                  static_cast<uint64_t>(k));
            const bool on_5g = chance(60);
            const int channel = on_5g ? pick(set_5g) : pick(set_2g);
            listener.visible_rogue.insert(
                bssid, rrm::Neighbour(-60 - static_cast<int>(random() % 35), channel,
                                      on_5g ? rrm::BAND_5G : rrm::BAND_2G, on_5g ? 40 : 20, 20,
                                      on_5g ? rrm::PRIMARY_LOWER : 0));
        }
    }
    return domain;
}

}  // namespace testsupport
