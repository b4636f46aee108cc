// Domain workers that end by themselves again and again while subscriptions
// keep arriving, every few tens of microseconds, through the real registry:
// whatever moment a subscription reaches the domain (while its worker runs,
// decides to end, hands its queue on, or is gone), it is answered exactly
// once.

#include "Log.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::eventually;

void quiet(const char*, int, const char*, int, const char*, va_list) {}

// The answers each session got; no texts are kept.
struct Answers {
    std::mutex lock;
    std::vector<uint32_t> per_session;
    uint64_t total = 0;
    uint64_t others = 0;

    void count(const std::string& text, const BaseSession& session)
    {
        std::lock_guard<std::mutex> g(lock);
        if (text.find("\"cmd\":\"subscribe-response\"") == std::string::npos) {
            ++others;
            return;
        }
        if (per_session.size() <= session.id)
            per_session.resize(session.id + 1024, 0);
        ++per_session[session.id];
        ++total;
    }
    uint64_t answered()
    {
        std::lock_guard<std::mutex> g(lock);
        return total;
    }
};

TEST(SelfStopStress, EverySubscriptionIsAnsweredOnceAcrossManySelfStops)
{
    rrm::set_log_handler(&quiet);
    struct Restore {
        ~Restore() { rrm::set_log_handler(&rrm::default_log_handler); }
    } restore;
    // Before the registry: its threads use them until it is gone.
    std::atomic<uint32_t> sent{0};
    std::atomic<uint64_t> in_windows{0};
    Answers answers;
    auto config = testsupport::make_config({"d1"});
    auto registry = std::make_unique<testsupport::TestRegistry>(config.get());
    registry->on_sent = [&](const std::string& text, const BaseSession& session) {
        answers.count(text, session);
    };
    // A worker without AP ends at the first run of its domain timer (1 s)
    // that finds its queue empty.
    registry->adjust_settings = [](rrm::DomainConfig& s) { s.domain_timer_period = 1; };

    // The ending thread takes 20 ms to report its end, as on a loaded
    // machine: the subscriptions routed meanwhile still find the old worker
    // under the domain's name. They are counted.
    registry->before_end_report = [&](const std::string&) {
        const uint32_t before = sent.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        in_windows += sent.load() - before;
    };

    // Refused subscriptions (no "factory": answered "fail" 503), so that no
    // AP ever keeps a worker alive; one session per subscription, 20 in a
    // burst, 20 us apart (as the sleep gives it), then 30 ms of quiet.
    const std::string head =
        R"({"service":"rrm","cmd":"subscribe-request","version":"2.4","domain":"d1",)"
        R"("ap-mac":"02:00:00:00:01:00","seq":)";
    const size_t wanted_stops = 12;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (registry->report_count() < wanted_stops && std::chrono::steady_clock::now() < deadline) {
        const uint32_t id = sent + 1;
        const std::string text = head + std::to_string(id) + "}";
        registry->process_incoming_message(rrm::JsonReader(text.c_str()),
                                           BaseSession{nullptr, 0, id});
        sent = id;
        // A worker ends only when its domain timer finds its queue empty,
        // and a message that wakes it runs the timer with that message
        // queued; an idle worker wakes for its timer up to 10 ms after the
        // second begins. The quiet gaps, longer than that, let workers end.
        std::this_thread::sleep_for(std::chrono::microseconds(id % 20 == 0 ? 30000 : 20));
    }
    const size_t stops = registry->report_count();
    ASSERT_TRUE(eventually([&] { return answers.answered() >= sent; }))
        << answers.answered() << " of " << sent << " answered";
    // Whatever is still on its way would show up as a second answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    registry.reset();
    uint64_t lost = 0;
    uint64_t twice = 0;
    for (uint32_t id = 1; id <= sent; ++id) {
        const uint32_t n = id < answers.per_session.size() ? answers.per_session[id] : 0;
        lost += n == 0;
        twice += n > 1;
    }
    std::cout << "subscriptions: " << sent << ", self-stops: " << stops
              << ", routed while a worker was ending: " << in_windows << ", unanswered: " << lost
              << std::endl;
    RecordProperty("subscriptions", static_cast<int>(sent));
    RecordProperty("self_stops", static_cast<int>(stops));
    RecordProperty("routed_while_ending", static_cast<int>(in_windows));
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(twice, 0u);
    EXPECT_EQ(answers.others, 0u);
    // The run met the moments it is about.
    EXPECT_GE(stops, 3u);
    EXPECT_GT(in_windows, 0u);
}

}  // namespace
