#pragma once
// Generated domains for the power control: APs 15 m apart on a square grid,
// each with three enabled radios (2.4 GHz 20 MHz, 5 GHz 40 or 80 MHz, 6 GHz
// 80 MHz) and two VAPs per radio, every AP's scan results in. Each AP hears
// 20 to 50 BSSIDs of the nearest APs (their radios, nearest AP first;
// signal -30 - 30 log10(d) dBm +- 5, so the next APs are heard around the
// default threshold) and up to five foreign ones. Some radios are TPC-locked,
// use the domain's default power bounds or an antenna with an EIRP limit;
// some records carry the flipped locally-administered bit or a VAP BSSID;
// 2 % of the APs have no scan results.

#include "ApMap.h"
#include "ChannelPlan.h"
#include "DomainConfig.h"
#include "Log.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace testsupport {

struct TpcDomain {
    rrm::DomainConfig config;
    rrm::ApMap aps;
};

inline std::unique_ptr<TpcDomain> make_tpc_domain(int count, uint32_t seed)
{
    auto domain = std::make_unique<TpcDomain>();
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

    const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
    std::vector<std::shared_ptr<rrm::ApEntry>> order;
    for (int i = 0; i < count; ++i) {
        const rrm::MacAddress base =
            rrm::mac_from_u48(0x001b00000000ULL + static_cast<uint64_t>(i) * 256);
        auto ap = std::make_shared<rrm::ApEntry>(&domain->config, base, rrm::null_session);
        auto setup = [&](int id, int band, int bandwidth, const std::vector<int>& set,
                         int max_power) {
            rrm::Radio& radio = ap->radios.radios[static_cast<std::size_t>(id)];
            radio.status = true;
            radio.band = band;
            radio.bandwidth = bandwidth;
            radio.available_channels.insert(set.begin(), set.end());
            radio.channel = pick(set);
            radio.update_primary_channel();
            radio.power = 8 + static_cast<int>(random() % 13);
            radio.power_initialized = true;
            if (chance(10)) {
                radio.min_power = -1;
                radio.max_power = -1;
            } else {
                radio.min_power = 5;
                radio.max_power = max_power;
            }
            if (chance(5))
                radio.locked_tpc = 1;
            if (chance(10)) {
                radio.antenna_configured = true;
                radio.antenna_gain = 3;
                radio.cable_loss = 1;
                radio.eirp_max = max_power;
                radio.apply_eirp_limits();
            }
            for (int v = 1; v <= 2; ++v) {
                const std::string ssid = v == 1 ? "corp" : "guest";
                radio.vaps.set(ssid, rrm::Vap(v, ssid, rrm::mac_with_offset(radio.mac, v), true,
                                              false, false));
            }
        };
        setup(0, rrm::BAND_2G, 20, set_2g, 20);
        setup(1, rrm::BAND_5G, chance(50) ? 40 : 80, set_5g, 23);
        setup(2, rrm::BAND_6G, 80, set_6g, 23);
        if (!chance(2))
            ap->radios.set_received();
        domain->aps.insert(base, ap);
        order.push_back(ap);
    }

    // Hearing: the nearest APs within three grid steps, nearest first.
    for (int i = 0; i < count; ++i) {
        rrm::ApEntry& listener = *order[static_cast<std::size_t>(i)];
        const int x = i % columns;
        const int y = i / columns;
        std::vector<std::pair<double, int>> near;
        for (int dy = -3; dy <= 3; ++dy)
            for (int dx = -3; dx <= 3; ++dx) {
                const int nx = x + dx;
                const int ny = y + dy;
                const int j = ny * columns + nx;
                if ((dx == 0 && dy == 0) || nx < 0 || nx >= columns || ny < 0 || j >= count)
                    continue;
                near.emplace_back(15.0 * std::sqrt(static_cast<double>(dx * dx + dy * dy)), j);
            }
        std::sort(near.begin(), near.end());
        const std::size_t heard = 20 + random() % 31;
        for (const auto& candidate : near) {
            if (listener.visible_members.size() >= heard)
                break;
            for (const rrm::Radio& radio :
                 order[static_cast<std::size_t>(candidate.second)]->radios.radios) {
                if (listener.visible_members.size() >= heard)
                    break;
                const int dbm = static_cast<int>(-30.0 - 30.0 * std::log10(candidate.first)) +
                                static_cast<int>(random() % 11) - 5;
                rrm::MacAddress bssid = radio.mac;
                if (chance(10))
                    bssid = rrm::mac_flip_local_bit(bssid);
                else if (chance(10))
                    bssid = rrm::mac_with_offset(bssid, 1);
                listener.visible_members.insert(
                    bssid, rrm::Neighbour(dbm, radio.channel, radio.band, radio.bandwidth, 20,
                                          radio.primary_channel));
            }
        }
        const int rogues = static_cast<int>(random() % 6);
        for (int k = 0; k < rogues; ++k) {
            const rrm::MacAddress bssid =
                rrm::mac_from_u48(0x02ef00000000ULL + static_cast<uint64_t>(i) * 16 +
                                  static_cast<uint64_t>(k));
            listener.visible_rogue.insert(
                bssid, rrm::Neighbour(-60 - static_cast<int>(random() % 35), pick(set_5g),
                                      rrm::BAND_5G, 40, 20, rrm::PRIMARY_LOWER));
        }
    }
    return domain;
}

// The domain of `count` APs that the benchmarks share, made once per size
// (seed 20240601) with the records switched off: the AP index traces every
// insertion.
inline const TpcDomain& shared_tpc_domain(int count)
{
    static std::map<int, std::unique_ptr<TpcDomain>> made;
    auto& slot = made[count];
    if (!slot) {
        rrm::set_log_handler([](const char*, int, const char*, int, const char*, va_list) {});
        slot = make_tpc_domain(count, 20240601);
    }
    return *slot;
}

}  // namespace testsupport
