#include "JsonReader.h"
#include "MessageChecks.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* text;
    bool expected;
};

TEST(MessageChecks, TypeAdmitsExactlyTheDomainWorkerPairs)
{
    const Case cases[] = {
        {R"({"service":"rrm-internal","cmd":"drop-session"})", true},
        {R"({"service":"rrm-internal","cmd":"stop-load-balancer"})", true},
        {R"({"service":"rrm-internal","cmd":"ping-session"})", false},
        {R"({"service":"rrm-internal","cmd":"rrm-response"})", false},
        {R"({"service":"internal-ipc","cmd":"stop"})", false},
        {R"({"service":"rrm","cmd":"drop-session","ap-mac":"00:11:22:33:44:55"})", false},
        {R"({"service":"rrm","cmd":"subscribe-request","ap-mac":"x"})", true},
        {R"({"service":"rrm","cmd":"rrm-response"})", false},
        {R"({"service":"rrm","cmd":"rrm-response","ap-mac":""})", false},
        {R"({"service":"rrm","cmd":"rrm-response","ap-mac":5})", false},
        {R"({"service":"RRM","cmd":"rrm-response","ap-mac":"a"})", false},
        {R"({"service":"rrm ","cmd":"rrm-response","ap-mac":"a"})", false},
        {R"({"service":"rrm","cmd":"rrm-responsex","ap-mac":"a"})", false},
        {R"({"service":1,"cmd":"drop-session"})", false},
        {R"({"service":null,"cmd":"drop-session"})", false},
        {R"({"cmd":"drop-session"})", false},
        {"[1,2]", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(rrm::check_message_type(rrm::JsonReader(c.text)), c.expected) << c.text;

    const char* ap_commands[] = {
        "subscribe-request",       "unsubscribe-request",     "rrm-response",
        "rrm-mode-response",       "rrm-config-changed",      "rrm-assoc-state-changed",
        "rrm-client-assoc",        "rrm-client-disassoc",     "rrm-probe-response",
        "rrm-disassoc-all-clients", "rrm-sta-roam",
    };
    for (const char* cmd : ap_commands) {
        std::string text = std::string(R"({"service":"rrm","ap-mac":"AA","cmd":")") + cmd + "\"}";
        EXPECT_TRUE(rrm::check_message_type(rrm::JsonReader(text.c_str()))) << cmd;
    }
}

TEST(MessageChecks, VersionAgainstTheReference)
{
    const Case cases[] = {
        {R"({"version":"2.0"})", true},   {R"({"version":"2.3"})", true},
        {R"({"version":"2.4"})", true},   {R"({"version":"2.4.1"})", true},
        {R"({"version":"2.4abc"})", true}, {R"({"version":" 2.4"})", true},
        {R"({"version":"2.-1"})", true},  {R"({"version":"2.5"})", false},
        {R"({"version":"2.10"})", false}, {R"({"version":"3.0"})", false},
        {R"({"version":"1.9"})", false},  {R"({"version":"2"})", false},
        {R"({"version":""})", false},     {R"({"version":"v2.4"})", false},
        {R"({"version":2.4})", false},    {R"({})", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(rrm::check_message_version(rrm::JsonReader(c.text), "2.4"), c.expected)
            << c.text;
    EXPECT_FALSE(rrm::check_message_version(rrm::JsonReader(R"({"version":"2.4"})"), nullptr));
    EXPECT_FALSE(rrm::check_message_version(rrm::JsonReader(R"({"version":"2.4"})"), "x"));
}

}  // namespace
