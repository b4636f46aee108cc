// Client steering end to end: three simulated APs on real WebSocket
// connections over 127.0.0.1 to the real registry, transport and domain
// worker. Each scenario is a table of steps: messages the APs send, the
// exact messages they must receive, and waits for the domain's state.
//
//   A 02:00:00:00:01:00  radios 0 (2.4 GHz, 02:00:00:00:01:00), 1 (5 GHz, ...01:10)
//   B 02:00:00:00:02:00  radios 0 (2.4 GHz), 1 (5 GHz, ...02:10)
//   C 02:00:00:00:03:00  radios 0 (2.4 GHz), 1 (5 GHz, ...03:10)
//   one VAP "corp" on every radio, every radio open to the load balancer;
//   every AP hears every radio of the others (as its scans reported).
//
// The domain worker is built with the default steering settings
// (blacklist_thr_low -75, blacklist_thr_high -65, blacklist_timeout 30,
// load_balance_sta_low 5, load_balance_sta_high 20) and without
// event-driven planning, so no planning cycle locks steering meanwhile. Its
// block-list tick sends first 10 s after it is built, then every second.

#include "ApSimulator.h"
#include "JsonReader.h"
#include "Log.h"
#include "LogCapture.h"
#include "RrmWorker.h"
#include "SteeringDomain.h"
#include "WebsockHarness.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::ApSimulator;
using testsupport::ApSpec;
using testsupport::assoc_ack;
using testsupport::assoc_state_changed;
using testsupport::blacklist;
using testsupport::Change;
using testsupport::client_assoc;
using testsupport::client_disassoc;
using testsupport::Disassoc;
using testsupport::disassoc_request;
using testsupport::probe_request;
using testsupport::probe_response;
using testsupport::radio_mac;
using testsupport::steering_ap;
using testsupport::wait_until;

const std::string A = "02:00:00:00:01:00";
const std::string B = "02:00:00:00:02:00";
const std::string C = "02:00:00:00:03:00";
const char* const STEERING_COMMANDS[] = {"rrm-blacklist", "rrm-disassoc-request",
                                         "rrm-probe-request", "rrm-client-assoc-ack"};

struct Step {
    enum Kind { SEND, EXPECT, UNTIL };
    Kind kind;
    int ap;            // 0 A, 1 B, 2 C
    std::string text;  // SEND: the message; EXPECT: the exact text received
    // UNTIL: a condition on the domain, read inside the worker's lock.
    std::function<bool(rrm::RrmWorker&)> until;
    const char* note = "";
};

Step send(int ap, const std::string& text, const char* note = "")
{
    return {Step::SEND, ap, text, nullptr, note};
}
Step expect(int ap, const std::string& text, const char* note = "")
{
    return {Step::EXPECT, ap, text, nullptr, note};
}
Step until(const std::function<bool(rrm::RrmWorker&)>& cond, const char* note)
{
    return {Step::UNTIL, 0, "", cond, note};
}

rrm::Radio& radio_of(rrm::RrmWorker& w, const std::string& ap, int id)
{
    return w.aps.table.at(rrm::mac_from_string(ap.c_str()))->radios.radios.at(id);
}

// The clients a radio holds (associated plus expected).
Step load_is(const std::string& ap, int id, int n, const char* note)
{
    return until([=](rrm::RrmWorker& w) { return radio_of(w, ap, id).client_table.size() == n; },
                 note);
}

// A tick of the block-list sub-worker has passed since the AP was last sent
// a block (or disassociation) of the client on that radio: the AP now holds
// it for less than the timeout, so a block refreshed from here on goes out
// again.
Step ap_block_aged(const std::string& ap, int id, const std::string& client, int timeout,
                   const char* note)
{
    const rrm::MacAddress sta = rrm::mac_from_string(client.c_str());
    return until(
        [=](rrm::RrmWorker& w) {
            const auto& held = radio_of(w, ap, id).block_list.held;
            auto it = held.find(sta);
            return it != held.end() && it->second < timeout;
        },
        note);
}

// n clients that must not be steered ("no-balance"), heard below the high
// threshold: they count in the radio's load and cause nothing else.
std::vector<Step> fill(int ap, const ApSpec& spec, int id, int n)
{
    std::vector<Step> steps;
    for (int i = 0; i < n; ++i) {
        char sta[18];
        std::snprintf(sta, sizeof sta, "00:99:00:%02X:%02X:%02X", ap, id, i);
        steps.push_back(send(ap, client_assoc(spec, id, -70, sta, "corp", 1, 0)));
    }
    return steps;
}

class SteeringE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.start()); }

    // Builds and registers the domain worker, subscribes the three APs and
    // makes every AP hear the others.
    void start_domain(const rrm::DomainConfig& settings)
    {
        worker = std::make_shared<rrm::RrmWorker>(harness.config.get(), settings, "lab",
                                                  harness.registry.get(), 0, 2048);
        harness.registry->add_domain_worker("lab", worker);
        for (const std::string& mac : {A, B, C}) {
            specs.push_back(steering_ap(mac, "lab"));
            aps.push_back(std::make_unique<ApSimulator>(specs.back()));
        }
        for (auto& ap : aps) {
            ASSERT_TRUE(ap->connect(harness.port()));
            ASSERT_TRUE(ap->subscribe());
            ASSERT_TRUE(ap->wait_for("subscribe-response"));
        }
        ASSERT_TRUE(harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& w) {
            for (const std::string& listener : {A, B, C})
                for (const std::string& heard : {A, B, C})
                    if (listener != heard)
                        for (int id = 0; id < 2; ++id)
                            w.aps.table.at(rrm::mac_from_string(listener.c_str()))
                                ->visible_members.insert(
                                    rrm::mac_from_string(radio_mac(heard, id).c_str()),
                                    rrm::Neighbour(-55, 36, 5, 20, 17, 0));
        }));
    }

    bool domain_holds(const std::function<bool(rrm::RrmWorker&)>& cond)
    {
        return wait_until([&] {
            bool ok = false;
            harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& w) { ok = cond(w); });
            return ok;
        });
    }

    // Runs the steps in order; then, after two more seconds of ticks, no AP
    // has received a steering message the steps did not expect.
    void run(const std::vector<Step>& steps)
    {
        std::array<std::map<std::string, size_t>, 3> expected_counts;
        for (int ap = 0; ap < 3; ++ap)
            for (const char* cmd : STEERING_COMMANDS)
                expected_counts[ap][cmd] = aps[ap]->count(cmd);
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            SCOPED_TRACE("step " + std::to_string(i) + " " + s.note);
            switch (s.kind) {
            case Step::SEND:
                ASSERT_TRUE(aps[s.ap]->send(s.text));
                break;
            case Step::EXPECT: {
                const std::string cmd = testsupport::cmd_of(s.text);
                ++expected_counts[s.ap][cmd];
                auto got = aps[s.ap]->wait_for(cmd);
                ASSERT_TRUE(got) << "nothing for " << cmd;
                EXPECT_EQ(*got, s.text);
                break;
            }
            case Step::UNTIL:
                ASSERT_TRUE(domain_holds(s.until));
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        for (int ap = 0; ap < 3; ++ap)
            for (const char* cmd : STEERING_COMMANDS)
                EXPECT_EQ(aps[ap]->count(cmd), expected_counts[ap][cmd])
                    << "AP " << ap << " " << cmd;
    }

    // The worker thread is held (as a long management query would hold it)
    // while the AP sends n messages that ask for nothing, and for more than
    // a second, so that the next pass's load-balancer tick finds them all
    // waiting: the queue guard stops steering. Returns once it has.
    void hold_while_flooded(int ap, int n)
    {
        std::mutex m;
        std::condition_variable cv;
        bool holding = false;
        std::thread holder([&] {
            worker->run_locked([&] {
                {
                    std::lock_guard<std::mutex> g(m);
                    holding = true;
                }
                cv.notify_all();
                wait_until([&] { return worker->queue_size() >= static_cast<uint64_t>(n); });
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            });
        });
        {
            std::unique_lock<std::mutex> g(m);
            cv.wait(g, [&] { return holding; });
        }
        const std::string idle = specs[ap].message("rrm-probe-response", ",\"radios\":[]");
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(aps[ap]->send(idle));
        holder.join();
        ASSERT_TRUE(domain_holds([](rrm::RrmWorker& w) {
            return w.load_balancer_stop && w.queue_size() == 0;
        }));
    }

    static rrm::DomainConfig settings()
    {
        rrm::DomainConfig s;
        s.use_optimization_event = false;
        return s;
    }

    testsupport::LogCapture log;
    testsupport::WebsockHarness harness{{"lab"}};
    std::shared_ptr<rrm::RrmWorker> worker;
    std::vector<ApSpec> specs;
    std::vector<std::unique_ptr<ApSimulator>> aps;
};

TEST_F(SteeringE2E, StrongClientIsHeldThenReleasedWhenItsSignalFalls)
{
    start_domain(settings());
    const ApSpec& a = specs[0];
    const std::string x = "0a:1b:2c:3d:4e:5f";  // as the AP writes it
    const std::string X = "0A:1B:2C:3D:4E:5F";  // as the server writes it
    const std::vector<Step> steps = {
        send(0, client_assoc(a, 1, -50, x, "corp", 0, 1), "associates on A's 5 GHz radio at -50"),
        expect(0, assoc_ack(A, "lab", x, 1, "corp"), "acknowledged at once, sta-mac as sent"),
        // -50 is above -65: blocked on A's 2.4 GHz radio (A's own 5 GHz
        // radio holds it) and on every radio of B and C, which hear A.
        expect(0, blacklist(A, "lab", {{0, {{X, "block", 30}}}}), "next tick"),
        expect(1, blacklist(B, "lab", {{0, {{X, "block", 30}}}, {1, {{X, "block", 30}}}})),
        expect(2, blacklist(C, "lab", {{0, {{X, "block", 30}}}, {1, {{X, "block", 30}}}})),
        send(0, assoc_state_changed(a, 1, -55, x, "corp"), "still strong: nothing changes"),
        send(0, assoc_state_changed(a, 1, -80, x, "corp"), "falls to -80"),
        // Released, and a probe round on the 5 GHz radios of the APs that
        // hear A, at once.
        expect(1, probe_request(B, "lab", {1}, x, "corp")),
        expect(2, probe_request(C, "lab", {1}, x, "corp")),
        expect(0, blacklist(A, "lab", {{0, {{X, "unblock"}}}}), "next tick"),
        expect(1, blacklist(B, "lab", {{0, {{X, "unblock"}}}, {1, {{X, "unblock"}}}})),
        expect(2, blacklist(C, "lab", {{0, {{X, "unblock"}}}, {1, {{X, "unblock"}}}})),
        // Nobody answers: after five seconds the round ends without a
        // result, and the association, which asked for an ack, gets one.
        expect(0, assoc_ack(A, "lab", X, 1, "corp"), "end of the round"),
    };
    run(steps);
}

TEST_F(SteeringE2E, RoundMovesClientToLeastLoadedRadioAndNeverBackWithinTheTimeout)
{
    start_domain(settings());
    const ApSpec& a = specs[0];
    const ApSpec& b = specs[1];
    const ApSpec& c = specs[2];
    const std::string x = "0a:1b:2c:3d:4e:5f";
    const std::string X = "0A:1B:2C:3D:4E:5F";
    std::vector<Step> steps;
    // Loads: A1 7 other clients, B1 5, C1 6.
    for (auto part : {fill(0, a, 1, 7), fill(1, b, 1, 5), fill(2, c, 1, 6)})
        steps.insert(steps.end(), part.begin(), part.end());
    const std::vector<Step> scenario = {
        load_is(A, 1, 7, "A1 holds 7"),
        load_is(B, 1, 5, "B1 holds 5"),
        load_is(C, 1, 6, "C1 holds 6"),
        send(0, client_assoc(a, 1, -80, x, "corp", 0, 1), "weak on A1 (8 clients now)"),
        expect(1, probe_request(B, "lab", {1}, x, "corp")),
        expect(2, probe_request(C, "lab", {1}, x, "corp")),
        send(1, probe_response(b, {{1, x, "corp", -55}}), "B1 hears it at -55"),
        send(2, probe_response(c, {{1, x, "corp", -50}}), "C1 louder, but busier"),
        // All answered: the next tick ends the round. B1 (load 5) beats C1
        // (6); 5 + 1 < max(5, 8): moved to B1. B1 expects it; it is
        // blocked on B's 2.4 GHz radio and around B (A0, C0, C1; A1 holds
        // it) and pushed off A, which hears B. No ack for a moved client.
        expect(0, disassoc_request(A, "lab", {{1, {{X, "corp", 30}}}}), "next tick"),
        expect(0, blacklist(A, "lab", {{0, {{X, "block", 30}}}})),
        expect(1, blacklist(B, "lab", {{0, {{X, "block", 30}}}})),
        expect(2, blacklist(C, "lab", {{0, {{X, "block", 30}}}, {1, {{X, "block", 30}}}})),
        until([](rrm::RrmWorker& w) {
                  return radio_of(w, B, 1).client_table.expected.size() == 1 &&
                         radio_of(w, A, 1).client_table.size() == 7;
              },
              "B1 expects it, A1 forgot it"),
        send(0, client_disassoc(a, 1, x, "corp"), "A lets it go: nothing to release"),
        ap_block_aged(A, 0, x, 30, "a second after the blocks went out"),
        send(1, client_assoc(b, 1, -55, x, "corp", 0, 1), "it arrives on B1 (busy: 7 with it)"),
        // Expected there: no new round, only the ack; still strong, so it
        // is held where it is blocked, for 30 s from now: past what the APs
        // hold, so the blocks go again (A1's too, which the disassociation
        // blocked).
        expect(1, assoc_ack(B, "lab", x, 1, "corp")),
        expect(0, blacklist(A, "lab", {{0, {{X, "block", 30}}}, {1, {{X, "block", 30}}}})),
        expect(1, blacklist(B, "lab", {{0, {{X, "block", 30}}}})),
        expect(2, blacklist(C, "lab", {{0, {{X, "block", 30}}}, {1, {{X, "block", 30}}}})),
        ap_block_aged(A, 0, x, 30, "a second later"),
        send(1, client_assoc(b, 1, -60, x, "corp", 0, 1), "it associates again on B1"),
        expect(0, blacklist(A, "lab", {{0, {{X, "block", 30}}}, {1, {{X, "block", 30}}}})),
        expect(1, blacklist(B, "lab", {{0, {{X, "block", 30}}}})),
        expect(2, blacklist(C, "lab", {{0, {{X, "block", 30}}}, {1, {{X, "block", 30}}}})),
        // Now an ordinary client of a busy radio: a round on A1 and C1.
        expect(0, probe_request(A, "lab", {1}, x, "corp")),
        expect(2, probe_request(C, "lab", {1}, x, "corp")),
        send(0, probe_response(a, {{1, x, "corp", -45}}), "A1 hears it best"),
        send(2, probe_response(c, {{1, x, "corp", -52}})),
        // C1 (6) is the least loaded, but 6 + 1 < max(5, 6) fails and -60
        // is not weak: it stays on B1, acknowledged; A1 (7) never gets it
        // back.
        expect(1, assoc_ack(B, "lab", X, 1, "corp"), "end of the round"),
        until([](rrm::RrmWorker& w) {
                  return radio_of(w, B, 1).client_table.clients.count(
                             rrm::mac_from_string("0a:1b:2c:3d:4e:5f")) == 1 &&
                         radio_of(w, A, 1).block_list.members.count(
                             rrm::mac_from_string("0a:1b:2c:3d:4e:5f")) == 1;
              },
              "on B1, still blocked on A1"),
    };
    steps.insert(steps.end(), scenario.begin(), scenario.end());
    run(steps);
}

TEST_F(SteeringE2E, RoundEndsByAcknowledgingWhenAMoveDoesNotPayOff)
{
    start_domain(settings());
    const ApSpec& a = specs[0];
    const ApSpec& b = specs[1];
    const ApSpec& c = specs[2];
    const std::string x = "0a:1b:2c:3d:4e:5f";
    const std::string X = "0A:1B:2C:3D:4E:5F";
    std::vector<Step> steps;
    for (auto part : {fill(0, a, 1, 5), fill(1, b, 1, 5)})
        steps.insert(steps.end(), part.begin(), part.end());
    const std::vector<Step> scenario = {
        load_is(A, 1, 5, "A1 holds 5"),
        load_is(B, 1, 5, "B1 holds 5"),
        send(0, client_assoc(a, 1, -70, x, "corp", 0, 1), "-70 on A1, busy with 6"),
        expect(1, probe_request(B, "lab", {1}, x, "corp")),
        expect(2, probe_request(C, "lab", {1}, x, "corp")),
        send(1, probe_response(b, {{1, x, "corp", -60}})),
        send(2, probe_response(c, {{1, x, "corp", -68}}), "heard, but not well enough"),
        // Only B1 is a candidate: load 5, and 5 + 1 < max(5, 6) fails, -70
        // is not weak: the client stays and its association is
        // acknowledged.
        expect(0, assoc_ack(A, "lab", X, 1, "corp"), "end of the round"),
    };
    steps.insert(steps.end(), scenario.begin(), scenario.end());
    run(steps);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG, "LoadBalancer: no balancer"));
}

TEST_F(SteeringE2E, BlocksLastOnTheApsAsLongAsTheServerHoldsThemAndThenExpire)
{
    rrm::DomainConfig s = settings();
    s.blacklist_timeout = 5;
    start_domain(s);
    const ApSpec& a = specs[0];
    const std::string x = "0a:1b:2c:3d:4e:5f";
    const std::string X = "0A:1B:2C:3D:4E:5F";
    const rrm::MacAddress client = rrm::mac_from_string(x.c_str());
    using Clock = std::chrono::steady_clock;

    // B is told of every block of the client on its two radios; an AP
    // lifts a block 5 s after it arrived.
    const std::string b_block =
        blacklist(B, "lab", {{0, {{X, "block", 5}}}, {1, {{X, "block", 5}}}});
    std::vector<Clock::time_point> arrivals;
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        size_t seen = 0;
        while (watching) {
            const auto texts = aps[1]->received("rrm-blacklist");
            for (; seen < texts.size(); ++seen) {
                EXPECT_EQ(texts[seen], b_block);
                arrivals.push_back(Clock::now());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // A strong client, reported every 2 s, four times: the server holds it
    // blocked on B for 5 s after each report.
    ASSERT_TRUE(aps[0]->send(client_assoc(a, 1, -50, x, "corp", 0, 0)));
    ASSERT_TRUE(aps[1]->wait_count("rrm-blacklist", 1));
    const auto first = Clock::now();
    for (int i = 1; i <= 3; ++i) {
        std::this_thread::sleep_until(first + std::chrono::seconds(2 * i));
        ASSERT_TRUE(aps[0]->send(client_assoc(a, 1, -50, x, "corp", 0, 0)));
    }
    auto blocked_on_b = [client](rrm::RrmWorker& w) {
        return radio_of(w, B, 0).block_list.members.count(client) +
               radio_of(w, B, 1).block_list.members.count(client);
    };
    ASSERT_TRUE(domain_holds([&](rrm::RrmWorker& w) { return blocked_on_b(w) == 0; }));
    const auto forgotten = Clock::now();
    watching = false;
    watcher.join();

    // Each report restarted the server's five seconds past the end of the
    // block B held: the block went again, once per report and no more, so
    // B held the client until the server forgot it. (A report 2 s after a
    // block is at least one block-list tick later.)
    ASSERT_EQ(arrivals.size(), 4u);
    for (size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_LE(arrivals[i] - arrivals[i - 1], std::chrono::seconds(5)) << i;
    EXPECT_LE(forgotten - arrivals.back(), std::chrono::milliseconds(5500));
    EXPECT_EQ(aps[0]->count("rrm-blacklist"), 4u);
    EXPECT_EQ(aps[2]->count("rrm-blacklist"), 4u);

    // Forgotten silently (the APs lifted the blocks by their timeout): the
    // next strong report blocks it anew.
    const std::vector<Step> steps = {
        send(0, client_assoc(a, 1, -50, x, "corp", 0, 1), "associates again"),
        expect(0, assoc_ack(A, "lab", x, 1, "corp")),
        expect(0, blacklist(A, "lab", {{0, {{X, "block", 5}}}}), "blocked anew"),
        expect(1, b_block),
        expect(2, blacklist(C, "lab", {{0, {{X, "block", 5}}}, {1, {{X, "block", 5}}}})),
    };
    run(steps);
}

TEST_F(SteeringE2E, LongQueueStopsLoadBalancing)
{
    start_domain(settings());
    const ApSpec& a = specs[0];
    const std::string x = "0a:1b:2c:3d:4e:5f";
    const std::string X = "0A:1B:2C:3D:4E:5F";

    hold_while_flooded(1, 300);
    // Stopped for 60 s: six domain-timer runs of 10 s (one may have run
    // since).
    int counter = 0;
    harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& w) { counter = w.stop_counter; });
    EXPECT_GE(counter, 5);
    EXPECT_LE(counter, 6);

    const std::vector<Step> stopped = {
        send(0, client_assoc(a, 1, -80, x, "corp", 0, 1), "weak while stopped"),
        // Recorded and acknowledged at once: no round, no blocks.
        expect(0, assoc_ack(A, "lab", x, 1, "corp")),
    };
    run(stopped);
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG,
                        "Assocc client 0a:1b:2c:3d:4e:5f rssi -80 radio_id 1 ssid corp "
                        "no_balance 0 send_ack 1 lock_balancer 1 (ap 02:00:00:00:01:00)"));

    // The rest of the minute passes (the count is set to its last run): the
    // next domain-timer run ends the stop, and steering works again.
    harness.registry->run_on_domain("lab", [](rrm::RrmWorker& w) { w.stop_counter = 1; });
    ASSERT_TRUE(domain_holds([](rrm::RrmWorker& w) { return !w.load_balancer_stop; }));
    const std::vector<Step> resumed = {
        send(0, client_assoc(a, 1, -80, x, "corp", 0, 1), "weak again"),
        expect(1, probe_request(B, "lab", {1}, x, "corp")),
        expect(2, probe_request(C, "lab", {1}, x, "corp")),
        expect(0, assoc_ack(A, "lab", X, 1, "corp"), "end of the round, nobody answered"),
    };
    run(resumed);
}

TEST_F(SteeringE2E, RoundThatEndsWhileSteeringIsStoppedMovesNothing)
{
    start_domain(settings());
    const ApSpec& a = specs[0];
    const ApSpec& b = specs[1];
    const std::string x = "0a:1b:2c:3d:4e:5f";
    const std::string X = "0A:1B:2C:3D:4E:5F";
    const rrm::MacAddress client = rrm::mac_from_string(x.c_str());

    // A weak client on A1; B1 hears it well and is empty: a move to B1
    // would pay off. C never answers, so the round runs its five ticks.
    ASSERT_TRUE(aps[0]->send(client_assoc(a, 1, -80, x, "corp", 0, 1)));
    ASSERT_TRUE(aps[1]->wait_for("rrm-probe-request"));
    ASSERT_TRUE(aps[2]->wait_for("rrm-probe-request"));
    ASSERT_TRUE(aps[1]->send(probe_response(b, {{1, x, "corp", -55}})));
    ASSERT_TRUE(domain_holds([&](rrm::RrmWorker& w) {
        const auto* round = w.subworkers.get_load_balancer()->get_problist().find(client);
        return round && round->results.size() == 1;
    }));
    // Meanwhile B floods the domain: the queue guard stops steering before
    // the round is over.
    hold_while_flooded(1, 300);

    // The round ends while steering is stopped: nothing it would change
    // could reach an AP, so the client stays where A holds it, and the
    // association is acknowledged as it asked.
    auto ack = aps[0]->wait_for("rrm-client-assoc-ack", 15000);
    ASSERT_TRUE(ack) << "the round ended without an answer to A";
    EXPECT_EQ(*ack, assoc_ack(A, "lab", X, 1, "corp"));
    EXPECT_TRUE(log.has(rrm::LOG_LEVEL_DEBUG,
                        "LoadBalancer: balancing paused, no move for 0A:1B:2C:3D:4E:5F"));
    bool untouched = false;
    harness.registry->run_on_domain("lab", [&](rrm::RrmWorker& w) {
        untouched = radio_of(w, A, 1).client_table.clients.count(client) == 1 &&
                    radio_of(w, B, 1).client_table.expected.empty();
        for (const std::string& ap : {A, B, C})
            for (int id = 0; id < 2; ++id)
                untouched = untouched && radio_of(w, ap, id).block_list.members.empty();
    });
    EXPECT_TRUE(untouched) << "the model changed where no AP was told";

    // Steering resumes; A's later report of the client is not ignored: the
    // client falls on A1 (where the server still knows it), so a new round
    // asks B and C, and it ends, unanswered, with an ack.
    harness.registry->run_on_domain("lab", [](rrm::RrmWorker& w) { w.stop_counter = 1; });
    ASSERT_TRUE(domain_holds([](rrm::RrmWorker& w) { return !w.load_balancer_stop; }));
    const std::vector<Step> resumed = {
        send(0, assoc_state_changed(a, 1, -82, x, "corp"), "A reports it weaker"),
        expect(1, probe_request(B, "lab", {1}, x, "corp")),
        expect(2, probe_request(C, "lab", {1}, x, "corp")),
        expect(0, assoc_ack(A, "lab", X, 1, "corp"), "end of the round, nobody answered"),
    };
    run(resumed);
}

}  // namespace
