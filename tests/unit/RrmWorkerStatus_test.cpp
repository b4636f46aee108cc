// The domain status: the "details" object and the full form.

#include "ApSimulator.h"
#include "DomainFixture.h"
#include "JsonWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using testsupport::ApSpec;
using testsupport::DomainFixture;

TEST(RrmWorkerStatus, DetailsOfADomainWithoutAps)
{
    DomainFixture domain;
    rrm::JsonWriter out("");
    domain.worker->to_json(out);
    EXPECT_STREQ(out.to_string(),
                 R"({"details":{"name":"d","metrics":{"rrm-response-expected":0,)"
                 R"("rrm-response-count":0,"rrm-mode-response-expected":0,)"
                 R"("rrm-mode-response-count":0,"rrm-config-changed-expected":0,)"
                 R"("rrm-config-changed-count":0,"timer-request-modes-expected":0,)"
                 R"("timer-request-modes-count":0,"timer-request-scan-expected":0,)"
                 R"("timer-request-scan-count":0,"timer-optimize-expected":0,)"
                 R"("timer-optimize-count":0},"ap-count":0,"unanswered-ap-count":0,)"
                 R"("deleted-ap-count":0,"queue-size":0,"rrm-status":0,"fbt-status":0,"aps":[],)"
                 R"("unanswered-aps":[],"deleted-aps":[]}})");
}

TEST(RrmWorkerStatus, DetailsCountsMetricsAndApLists)
{
    DomainFixture domain;
    // Two APs subscribe, one of them loses its session; the third is held
    // as unanswered.
    ApSpec first = ApSpec::typical("02:00:00:00:01:00", "d", 1, 1);
    ApSpec second = ApSpec::typical("02:00:00:00:02:00", "d", 1, 1);
    ApSpec third = ApSpec::typical("02:00:00:00:03:00", "d", 1, 1);
    domain.from_ap(first.subscribe_request(), 1);
    domain.from_ap(second.subscribe_request(), 2);
    domain.from_ap(third.subscribe_request(), 3);
    domain.drop(2);
    auto held = domain.find(domain.worker->aps, "02:00:00:00:03:00");
    domain.worker->aps.erase(held->base_mac);
    domain.worker->unanswered_aps.insert(held->base_mac, held);

    domain.worker->config_changed_metric.count = 3;
    domain.worker->config_changed_metric.total_us = 1000;  // 1000 / 3 = 333
    domain.tpc().mode_response_metric.count = 7;
    domain.tpc().mode_response_metric.total_us = 70;       // 10
    domain.tpc().state = 4;
    domain.tpc().fbt_status = 1;

    rrm::JsonWriter out("");
    domain.worker->to_json(out);
    const rrm::JsonReader json(out.to_string());
    const rrm::JsonReader details = json.child("details");
    EXPECT_STREQ(details.get_string("name"), "d");
    const rrm::JsonReader metrics = details.child("metrics");
    EXPECT_EQ(metrics.get_int("rrm-config-changed-expected"), 333);
    EXPECT_EQ(metrics.get_int("rrm-config-changed-count"), 3);
    EXPECT_EQ(metrics.get_int("rrm-mode-response-expected"), 10);
    EXPECT_EQ(metrics.get_int("rrm-mode-response-count"), 7);
    EXPECT_EQ(details.get_int("ap-count"), 1);
    EXPECT_EQ(details.get_int("unanswered-ap-count"), 1);
    EXPECT_EQ(details.get_int("deleted-ap-count"), 1);
    EXPECT_EQ(details.get_int("rrm-status"), 4);
    EXPECT_EQ(details.get_int("fbt-status"), 1);
    struct List {
        const char* key;
        const char* mac;
    };
    for (const List& list : {List{"aps", "02:00:00:00:01:00"},
                             List{"unanswered-aps", "02:00:00:00:03:00"},
                             List{"deleted-aps", "02:00:00:00:02:00"}}) {
        SCOPED_TRACE(list.key);
        const rrm::JsonReader entries = details.child(list.key);
        ASSERT_EQ(entries.size(), 1);
        const rrm::JsonReader ap = entries.child(0);
        EXPECT_STREQ(ap.get_string("board"), "tavik-ap");
        EXPECT_STREQ(ap.get_string("mac"), list.mac);
        EXPECT_EQ(std::string(ap.get_string("serial")), std::string("SN-") + list.mac);
        EXPECT_STREQ(ap.get_string("hw"), "rev-a");
        EXPECT_EQ(ap.child("radios").size(), 3);  // all three, enabled or not
    }

    // The full form: "details" first, then the AP states of the three maps.
    rrm::JsonWriter full("");
    domain.worker->to_json_full(full);
    const rrm::JsonReader all(full.to_string());
    const std::string text = full.to_string();
    EXPECT_EQ(text.find("{\"details\":"), 0u);
    const size_t at_aps = text.find(",\"aps\":[{\"mac\":\"02:00:00:00:01:00\"");
    const size_t at_unanswered = text.find(",\"unanswered-aps\":[{\"mac\":\"02:00:00:00:03:00\"");
    const size_t at_deleted = text.find(",\"deleted-aps\":[{\"mac\":\"02:00:00:00:02:00\"");
    ASSERT_NE(at_aps, std::string::npos);
    ASSERT_NE(at_unanswered, std::string::npos);
    ASSERT_NE(at_deleted, std::string::npos);
    EXPECT_LT(at_aps, at_unanswered);
    EXPECT_LT(at_unanswered, at_deleted);
    EXPECT_EQ(all.child("aps").child(0).child("radios").child("interfaces").size(), 3);
}

// A backup puts the planning states back (the planning is held, so the
// management API cannot force an optimisation meanwhile) and every AP of
// the three lists into the deleted map; a list that is missing is passed
// over, and an AP whose MAC ranges do not fit is left out.
TEST(RrmWorkerStatus, RestoreTakesThePlanningStatesAndTheApsOfEveryList)
{
    struct Case {
        const char* what;
        const char* backup;
        int state;
        int fbt;
        std::vector<std::string> restored;
    };
    const Case cases[] = {
        {"a scan under way, no \"aps\"",
         R"({"rrm-status":3,"fbt-status":1,)"
         R"("unanswered-aps":[{"mac":"00:11:22:33:44:60","board":"b","hw":"h","serial":"s2"}],)"
         R"("deleted-aps":[{"mac":"00:11:22:33:44:70","board":"b","hw":"h","serial":"s3"},)"
         R"({"mac":"00:11:22:33:44:80","board":"b","hw":"h","serial":"s4","ap-mac-count":0}]})",
         3, 1, {"00:11:22:33:44:60", "00:11:22:33:44:70"}},
        {"idle, null lists",
         R"({"aps":null,"unanswered-aps":null,)"
         R"("deleted-aps":[{"mac":"00:11:22:33:44:70","board":"b","hw":"h","serial":"s3"}]})",
         0, 0, {"00:11:22:33:44:70"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DomainFixture domain;
        domain.worker->restore_domain_state(rrm::JsonReader(c.backup));
        std::vector<std::string> restored;
        for (const auto& entry : domain.worker->aps_to_delete.table)
            restored.push_back(rrm::mac_to_string(entry.first));
        std::sort(restored.begin(), restored.end());
        EXPECT_EQ(c.restored, restored);

        rrm::JsonWriter out("");
        domain.worker->to_json(out);
        const rrm::JsonReader root(out.to_string());
        const rrm::JsonReader details = root.child("details");
        EXPECT_EQ(c.state, details.get_int("rrm-status"));
        EXPECT_EQ(c.fbt, details.get_int("fbt-status"));
        EXPECT_EQ(static_cast<int>(c.restored.size()), details.get_int("deleted-ap-count"));

        // Held for the away time whatever the state: no forced optimisation.
        EXPECT_FALSE(domain.worker->force_optimization());
        EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_DEBUG, "NOT Planning optimization domain d status " +
                                                             std::to_string(c.state)));
    }
}

TEST(RrmWorkerStatus, ARestoredApWhoseMacRangesDoNotFitIsLeftOutAndReported)
{
    DomainFixture domain;
    domain.worker->restore_domain_state(rrm::JsonReader(
        R"({"deleted-aps":[{"mac":"00:11:22:33:44:80","board":"b","hw":"h","serial":"s4",)"
        R"("ap-mac-count":0}]})"));
    EXPECT_TRUE(domain.worker->aps_to_delete.empty());
    EXPECT_TRUE(domain.log.has(rrm::LOG_LEVEL_ERROR, "Invalid ap-mac-count(0)"));
    EXPECT_TRUE(domain.log.has(
        rrm::LOG_LEVEL_ERROR,
        "Can't restore ap '00:11:22:33:44:80' from backup due to invalid MAC parameters"));
    size_t reported = 0;
    for (const auto& e : domain.log.events())
        reported += e.code == rrm::EVENT_INVALID_MAC_PARAMS && e.details == "00:11:22:33:44:80";
    EXPECT_EQ(1u, reported);
}

}  // namespace
