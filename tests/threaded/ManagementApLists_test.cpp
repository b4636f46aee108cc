// The management queries on the AP lists a running system only reaches
// through a planning cycle: simulated APs subscribe over real WebSocket
// connections to the real registry and domain worker, then one of them is
// parked among the unanswered APs as the planning's mode step parks an AP
// without an active radio, and another is also held in the deleted list.
#include "Api.h"

#include "ApSimulator.h"
#include "JsonReader.h"
#include "LogCapture.h"
#include "RrmWorker.h"
#include "WebsockHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;

// A front end without a socket: the test hands it requests.
class DirectApi : public rrm::Api {
public:
    using rrm::Api::Api;
    void connect() override {}
    void run() override {}
    std::string ask(const std::string& request)
    {
        char* reply = process_request(rrm::JsonReader(request.c_str()));
        if (!reply)
            return "";
        std::string text = reply;
        std::free(reply);
        return text;
    }
};

TEST(ManagementApLists, UnansweredApsAreFoundAndAnActiveApWinsOverItsDeletedEntry)
{
    testsupport::LogCapture log;
    testsupport::WebsockHarness harness{{"lab"}};
    ASSERT_TRUE(harness.start());
    DirectApi api(harness.registry.get());

    // A's one radio is switched off; B's is on channel 6.
    ApSpec quiet = ApSpec::typical("02:00:00:00:01:00", "lab", 1, 1);
    quiet.radios[0].enabled = false;
    ApSimulator a(quiet);
    ApSimulator b(ApSpec::typical("02:00:00:00:02:00", "lab", 1, 1));
    for (ApSimulator* ap : {&a, &b}) {
        ASSERT_TRUE(ap->connect(harness.port()));
        ASSERT_TRUE(ap->subscribe());
        const auto response = ap->wait_for("subscribe-response");
        ASSERT_TRUE(response);
        ASSERT_NE(std::string::npos, response->find("\"status\":\"success\""));
    }

    int parked = 0;
    ASSERT_TRUE(harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& w) {
        parked = w.aps.move_aps_without_active_radio(w.unanswered_aps, w.config.away_timeout_ticks());
        const auto it = w.aps.table.find(rrm::mac_from_string("02:00:00:00:02:00"));
        if (it != w.aps.table.end())
            w.aps_to_delete.insert(it->first, it->second);
    }));
    ASSERT_EQ(1, parked);

    const std::string list = api.ask(R"({"rrm":{}})");
    EXPECT_NE(std::string::npos,
              list.find(R"("domains":[{"name":"lab","ap-count":1,"unanswered-ap-count":1,)"
                        R"("deleted-ap-count":1,"common-config":0}]})"))
        << list;

    struct Case {
        const char* what;
        const char* request;
        const char* found;
    };
    const Case cases[] = {
        {"A by its base MAC", R"({"rrm":{"domain":"lab","ap":"02:00:00:00:01:00"}})",
         R"(,"unanswered-ap":{"mac":"02:00:00:00:01:00","active":0,)"},
        // Radio 0's VAP 0 has the radio's MAC, which is A's own.
        {"A's links", R"({"rrm":{"domain":"lab","ap":"02:00:00:00:01:00","fbt-links":1}})",
         R"(,"unanswered-ap":{"radios":[{"id":0,"vaps":[{"id":0,"ssid":"ssid0",)"},
        {"B, active and deleted", R"({"rrm":{"domain":"lab","ap":"02:00:00:00:02:00"}})",
         R"(,"active-ap":{"mac":"02:00:00:00:02:00","active":0,)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string reply = api.ask(c.request);
        EXPECT_NE(std::string::npos, reply.find(c.found)) << reply;
    }

    const std::string status = api.ask(R"({"rrm":{"domain":"lab"}})");
    EXPECT_NE(std::string::npos,
              status.find(R"("ap-count":1,"unanswered-ap-count":1,"deleted-ap-count":1,)"))
        << status;
    EXPECT_NE(std::string::npos,
              status.find(R"("unanswered-aps":[{"board":"tavik-ap","mac":"02:00:00:00:01:00",)"
                          R"("serial":"SN-02:00:00:00:01:00","hw":"rev-a","radios":[{"id":0,)"))
        << status;
}

}  // namespace
