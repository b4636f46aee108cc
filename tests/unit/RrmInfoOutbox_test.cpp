// "rrm-info" to every AP of a domain through the outbox: the texts leave in
// shares over the worker's passes, in the order and with the bytes the
// one-pass build gave; each is written at the AP's turn, so a change before
// it is sent in its newest state and an AP that left gets nothing; and no
// "fbt-info" or mode request overtakes them.

#include "ApSimulator.h"
#include "DomainFixture.h"
#include "JsonReader.h"
#include "SendWindow.h"
#include "TpcDcaSubworker.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::ApSpec;
using testsupport::DomainFixture;

// Planning cycles are not started by these subscriptions; 802.11k lists on.
rrm::DomainConfig quiet_settings()
{
    rrm::DomainConfig settings;
    settings.use_optimization_event = false;
    settings.use_80211k = true;
    return settings;
}

std::string mac_of(int n)
{
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:00", n);
    return mac;
}

// n typical tri-band APs (4 VAPs with 802.11k and 802.11r on each radio),
// AP i on session i, each hearing the three radios of the next `heard` APs,
// so that every "rrm-info" carries a neighbour list.
void subscribe_aps(DomainFixture& domain, int n, int heard)
{
    for (int i = 1; i <= n; ++i)
        domain.from_ap(ApSpec::typical(mac_of(i), "d").subscribe_request(),
                       static_cast<uint32_t>(i));
    for (int i = 1; i <= n; ++i) {
        auto ap = domain.find(domain.worker->aps, mac_of(i));
        for (int k = 1; k <= heard; ++k) {
            const int other = (i + k - 1) % n + 1;
            for (int radio = 0; radio < 3; ++radio) {
                rrm::MacAddress bssid = rrm::mac_from_string(mac_of(other).c_str());
                bssid.octets[5] = static_cast<uint8_t>(16 * radio);
                ap->visible_members.insert(bssid, rrm::Neighbour(-60, 6, rrm::BAND_2G, 20, 17, 0));
            }
        }
    }
    domain.idle();
}

std::vector<testsupport::TestRegistry::Sent> sent_since(DomainFixture& domain, size_t from)
{
    auto all = domain.sent();
    return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
}

std::string cmd_and_mac(const testsupport::TestRegistry::Sent& sent)
{
    const rrm::JsonReader message(sent.text.c_str());
    return std::string(message.get_string("cmd")) + " " + message.get_string("ap-mac");
}

TEST(RrmInfoOutbox, EveryApsTextLeavesInSharesAsTheOnePassWroteIt)
{
    DomainFixture domain(quiet_settings());
    const int n = 40;
    subscribe_aps(domain, n, 8);
    rrm::TpcDcaSubworker& tpc = domain.tpc();

    // The one-pass build: every active AP's text at once, in table order.
    size_t from = domain.sent().size();
    for (auto& entry : domain.worker->aps.table)
        tpc.post_tpc_results_ap(entry.second.get(), true, true, false);
    const auto one_pass = sent_since(domain, from);
    ASSERT_EQ(one_pass.size(), static_cast<size_t>(n));
    size_t total = 0;
    for (const auto& sent : one_pass)
        total += sent.text.size();
    // Enough text for several shares (some 8 KB a message).
    ASSERT_GT(total, 3 * rrm::TpcDcaSubworker::RRM_INFO_BYTES_PER_PASS);

    from = domain.sent().size();
    tpc.post_tpc_results(true);
    const auto first_share = sent_since(domain, from);
    EXPECT_GT(first_share.size(), 0u);
    EXPECT_LT(first_share.size(), static_cast<size_t>(n)) << "a bounded share goes at once";
    size_t share_bytes = 0;
    for (const auto& sent : first_share)
        share_bytes += sent.text.size();
    EXPECT_LT(share_bytes, rrm::TpcDcaSubworker::RRM_INFO_BYTES_PER_PASS + one_pass[0].text.size() * 2);

    int passes = 0;
    while (!tpc.rrm_info_outbox.empty()) {
        domain.worker->poll_timers();
        ++passes;
    }
    EXPECT_GE(passes, 2);
    const auto shared = sent_since(domain, from);
    ASSERT_EQ(shared.size(), one_pass.size());
    for (size_t i = 0; i < shared.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(shared[i].text, one_pass[i].text);
        EXPECT_EQ(shared[i].session.id, one_pass[i].session.id);
    }
}

// The transport holds each message until the test lets it go: one message
// at a time, each written at its AP's turn.
void hold_one_at_a_time(DomainFixture& domain)
{
    domain.registry->keep_holds = true;
    domain.tpc().send_window = std::make_shared<rrm::SendWindow>(1);
}

void release_and_pass(DomainFixture& domain, int times)
{
    for (int i = 0; i < times; ++i) {
        domain.registry->release_holds();
        domain.worker->poll_timers();
    }
}

TEST(RrmInfoOutbox, AnApsTurnSendsItsNewestStateOrNothing)
{
    DomainFixture domain(quiet_settings());
    subscribe_aps(domain, 4, 1);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    hold_one_at_a_time(domain);
    std::vector<std::string> order;
    for (auto& entry : domain.worker->aps.table)
        order.push_back(rrm::mac_to_string(entry.first));

    const size_t from = domain.sent().size();
    tpc.post_tpc_results(true);
    ASSERT_EQ(sent_since(domain, from).size(), 1u) << "the rest wait while the first is held";
    EXPECT_EQ(tpc.rrm_info_outbox.size(), 3u);

    // Before their turns: the second AP's radio moves to channel 11; the
    // third leaves; then the 802.11k update asks for every AP again without
    // radios: the waiting ones keep their places and their radios, the
    // first, told already, waits again at the end.
    domain.find(domain.worker->aps, order[1])->radios.radios[0].channel = 11;
    const int third = std::stoi(order[2].substr(12, 2), nullptr, 16);
    domain.from_ap(ApSpec::typical(order[2], "d").unsubscribe_request(), static_cast<uint32_t>(third));
    tpc.post_tpc_results(false);
    EXPECT_EQ(tpc.rrm_info_outbox.size(), 4u);
    release_and_pass(domain, 6);

    const auto sent = sent_since(domain, from);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(cmd_and_mac(sent[0]), "rrm-info " + order[0]);
    EXPECT_EQ(cmd_and_mac(sent[1]), "rrm-info " + order[1]);
    EXPECT_EQ(rrm::JsonReader(sent[1].text.c_str()).child("radios").child(0).get_int("channel"), 11);
    EXPECT_EQ(cmd_and_mac(sent[2]), "rrm-info " + order[3]);
    EXPECT_TRUE(rrm::JsonReader(sent[2].text.c_str()).has("radios"));
    EXPECT_EQ(cmd_and_mac(sent[3]), "rrm-info " + order[0]);
    EXPECT_FALSE(rrm::JsonReader(sent[3].text.c_str()).has("radios"));
    EXPECT_TRUE(tpc.rrm_info_outbox.empty());
}

TEST(RrmInfoOutbox, NoFbtInfoOrModeRequestOvertakesThem)
{
    rrm::DomainConfig settings = quiet_settings();
    settings.use_80211r = true;
    DomainFixture domain(settings);
    subscribe_aps(domain, 3, 1);
    rrm::TpcDcaSubworker& tpc = domain.tpc();
    hold_one_at_a_time(domain);

    // The end of a cycle: "rrm-info" to every AP, then the 802.11r update,
    // which links every AP anew. Every "rrm-info" goes before any
    // "fbt-info", as when both went in one go.
    size_t from = domain.sent().size();
    tpc.post_tpc_results(true);
    tpc.update_802dot11r();
    release_and_pass(domain, 10);
    std::vector<std::string> cmds;
    for (const auto& sent : sent_since(domain, from))
        cmds.push_back(cmd_and_mac(sent).substr(0, 8));
    EXPECT_EQ(cmds, (std::vector<std::string>{"rrm-info", "rrm-info", "rrm-info", "fbt-info",
                                              "fbt-info", "fbt-info"}));

    // Mode requests that start a cycle while "rrm-info" waits: those go
    // first, whatever the transport holds.
    domain.registry->release_holds();
    from = domain.sent().size();
    tpc.post_tpc_results(false);
    tpc.post_request_mode(&domain.worker->aps);
    cmds.clear();
    for (const auto& sent : sent_since(domain, from))
        cmds.push_back(rrm::JsonReader(sent.text.c_str()).get_string("cmd"));
    EXPECT_EQ(cmds, (std::vector<std::string>{"rrm-info", "rrm-info", "rrm-info", "rrm-request-mode",
                                              "rrm-request-mode", "rrm-request-mode"}));
    EXPECT_TRUE(tpc.rrm_info_outbox.empty());
}

}  // namespace
