// The 802.11r wildcard key is made once per process, also when several
// domain threads add their first broadcast link at the same moment.

#include "VapMap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(FbtWildcardKey, ConcurrentFirstUseSeesOneCompleteKey)
{
    constexpr int threads = 8;
    std::vector<std::string> keys(threads);
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            rrm::Vap vap(t, "ssid", rrm::MacAddress{}, false, true, false);
            ready.fetch_add(1);
            while (ready.load() < threads) {
            }
            vap.link_broadcast_802dot11r();
            keys[t] = vap.fbt_links.at(0).remote_r1_kh_key();
        });
    }
    for (auto& thread : pool)
        thread.join();
    ASSERT_EQ(16u, keys[0].size());
    for (const auto& key : keys)
        EXPECT_EQ(keys[0], key);
    EXPECT_EQ(keys[0], rrm::fbt_wildcard_key());
}

}  // namespace
