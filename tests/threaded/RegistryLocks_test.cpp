// Many threads at once route AP messages (creating domain workers), remove
// and restart domain workers, run queries under worker locks and make the
// workers raise event 23, whose handler does what the VRRP side does: it
// takes a mutex of its own and, holding it, looks the domain up; then it
// routes a message from inside the worker's lock. A backup thread takes the
// same mutex, releases it and runs under the domain workers' locks. All of
// it must finish in bounded time, and no domain worker may be left running
// outside the registry.
//
// Meanwhile access points connect to the registry's real WebSocket server,
// subscribe over the wire and go (politely or not), while session commands
// (ping, drop, replies) and domain removals act on their live sessions, and
// each restart closes them all.

#include "ApEntry.h"
#include "JsonReader.h"
#include "Log.h"
#include "MacAddress.h"
#include "TestRegistry.h"
#include "WebsockServerWorker.h"
#include "WsTestClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::eventually;
using testsupport::TestRegistry;

constexpr int kDomains = 6;
const auto kLoad = std::chrono::milliseconds(2500);
const auto kPatience = std::chrono::seconds(120);

std::string domain_name(int i)
{
    return "dom" + std::to_string(i);
}

std::string subscribe(const std::string& domain, int ap)
{
    char mac[18];
    std::snprintf(mac, sizeof mac, "00:00:00:00:00:%02X", ap & 0xFF);
    return R"({"service":"rrm","cmd":"subscribe-request","version":"2.4","domain":")" + domain +
           R"(","ap-mac":")" + mac + "\"}";
}

// What the VRRP side keeps: a mutex and the domains waiting for a backup.
struct Backups {
    std::mutex mutex;
    std::set<std::string> waiting;
    TestRegistry* registry = nullptr;
    std::atomic<long> events{0};
};
Backups* backups = nullptr;

std::atomic<long> created{0};
std::atomic<long> ended{0};

void count_log(const char*, int, const char*, int, const char* fmt, va_list)
{
    if (std::strcmp(fmt, "Created new worker '%s'.") == 0)
        ++created;
    else if (std::strcmp(fmt, "Stop worker %s") == 0)
        ++ended;
}

void on_event(const int& code, const std::shared_ptr<std::string>& details)
{
    if (code != rrm::EVENT_DOMAIN_CHANGED || !details)
        return;
    ++backups->events;
    {
        std::lock_guard<std::mutex> guard(backups->mutex);
        backups->waiting.insert(*details);
        backups->registry->find_worker(*details);
    }
    static std::atomic<int> next{0};
    const int n = next++;
    backups->registry->process_incoming_message(
        rrm::JsonReader(subscribe(domain_name(n % kDomains), n).c_str()), BaseSession{nullptr, 0, 9});
}

class Tracker {
public:
    void track(const std::shared_ptr<rrm::Worker>& worker)
    {
        std::lock_guard<std::mutex> guard(mutex);
        seen.push_back(worker);
    }
    size_t alive()
    {
        std::lock_guard<std::mutex> guard(mutex);
        size_t n = 0;
        for (auto& w : seen)
            n += w.expired() ? 0 : 1;
        return n;
    }

private:
    std::mutex mutex;
    std::vector<std::weak_ptr<rrm::Worker>> seen;
};

TEST(RegistryLocks, EverythingAtOnceFinishesWithoutDeadlock)
{
    rrm::set_log_handler(&count_log);
    std::vector<std::string> names;
    for (int i = 0; i < kDomains; ++i)
        names.push_back(domain_name(i));
    auto config = testsupport::make_config(names);
    auto registry = std::make_unique<TestRegistry>(config.get());
    Backups state;
    state.registry = registry.get();
    backups = &state;
    rrm::set_event_handler(&on_event);
    registry->start();

    Tracker tracker;
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    auto spawn = [&](auto body) {
        const unsigned seed = static_cast<unsigned>(threads.size() * 7919 + 1);
        threads.emplace_back([&running, body, seed]() {
            std::mt19937 random(seed);
            while (running)
                body(random);
        });
    };

    for (int r = 0; r < 4; ++r)
        spawn([&](std::mt19937& random) {  // the parsing thread's part, and closed sessions
            const int d = random() % kDomains;
            const uint32_t id = 1 + random() % 4;
            switch (random() % 8) {
            case 0:
                registry->drop_session_at_rrm_worker(BaseSession{nullptr, 0, id});
                break;
            case 1:
                registry->stop_load_balancer_at_rrm_worker(BaseSession{nullptr, 0, id});
                break;
            case 2:
                registry->process_incoming_message(
                    rrm::JsonReader(R"({"service":"rrm","cmd":"rrm-response","domain":"dom1","ap-mac":"A"})"),
                    BaseSession{nullptr, 0, id});
                break;
            default:
                registry->process_incoming_message(
                    rrm::JsonReader(subscribe(domain_name(d), static_cast<int>(id)).c_str()),
                    BaseSession{nullptr, 0, id});
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        });
    spawn([&](std::mt19937& random) {  // configuration changes
        registry->remove_worker(domain_name(random() % kDomains));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    std::atomic<long> connections{0};
    for (int c = 0; c < 3; ++c)
        spawn([&](std::mt19937& random) {  // access points coming and going
            const int port = registry->get_websock_worker()->listening_port();
            if (port == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                return;
            }
            testsupport::WsTestClient ap;
            if (ap.connect(port) != 101)
                return;
            ++connections;
            ap.send_text(subscribe(domain_name(random() % kDomains), random() % 250));
            switch (random() % 4) {
            case 0:
                ap.read_text(20);
                break;
            case 1:
                ap.send_close(1000, "bye");
                ap.read_text(20);
                break;
            case 2:
                ap.send_fragmented(subscribe(domain_name(random() % kDomains), 7), 3);
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
                break;
            default:  // gone without a word
                break;
            }
        });
    spawn([&](std::mt19937& random) {  // session commands on live sessions
        std::vector<BaseSession> live;
        {
            rrm::WebsockServerWorker* server = registry->get_websock_worker();
            std::lock_guard<std::mutex> guard(server->sessions.mutex);
            for (const auto& entry : server->sessions.map)
                live.push_back(entry.second->session);
        }
        for (const BaseSession& session : live) {
            switch (random() % 5) {
            case 0:
                registry->ping_session_at_websock_worker(session);
                break;
            case 1:
                registry->drop_session_at_websock_worker(session, true);
                registry->drop_session_at_rrm_worker(session);
                break;
            case 2:
                registry->enqueue_message(rrm::JsonReader(R"({"service":"rrm","cmd":"x"})"), session);
                break;
            case 3: {  // the AP of a domain, so that removing the domain drops it
                char mac[18];
                std::snprintf(mac, sizeof mac, "00:00:00:00:02:%02X", static_cast<int>(random() % 256));
                registry->run_on_domain(domain_name(random() % kDomains), [&](rrm::RrmWorker& w) {
                    auto ap = std::make_shared<rrm::ApEntry>(&w.config, rrm::mac_from_string(mac), session);
                    ap->ttl = 3;
                    w.aps.insert(ap->base_mac, ap);
                });
                break;
            }
            default:
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    spawn([&](std::mt19937&) {  // server-section changes
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        registry->restart();
    });
    for (int q = 0; q < 2; ++q)
        spawn([&](std::mt19937& random) {  // management queries
            const std::string domain = domain_name(random() % kDomains);
            const int pick = random() % 3;
            const uint32_t id = 1 + random() % 4;
            registry->run_on_domain(domain, [&](rrm::RrmWorker& w) {
                rrm::ApMap& list = pick == 0 ? w.aps : w.unanswered_aps;
                auto ap = std::make_shared<rrm::ApEntry>(
                    &w.config, rrm::mac_from_string("00:00:00:00:01:01"), BaseSession{nullptr, 0, id});
                ap->ttl = 3;
                list.insert(ap->base_mac, ap);
            });
            for (const auto& entry : registry->copy_workers()) {
                tracker.track(entry.second);
                entry.second->run_locked([&] { (void)entry.second->queue_size(); });
            }
        });
    spawn([&](std::mt19937&) {  // the main thread writing backups
        std::set<std::string> due;
        {
            std::lock_guard<std::mutex> guard(state.mutex);
            due.swap(state.waiting);
        }
        for (const auto& domain : due)
            registry->run_on_domain(domain, [](rrm::RrmWorker& w) {
                (void)(w.aps.size() + w.aps_to_delete.size() + w.unanswered_aps.size());
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });

    std::this_thread::sleep_for(kLoad);
    running = false;

    std::mutex done_mutex;
    std::condition_variable done_cv;
    bool done = false;
    std::thread joiner([&] {
        for (auto& t : threads)
            t.join();
        registry->stop();
        std::lock_guard<std::mutex> guard(done_mutex);
        done = true;
        done_cv.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(done_mutex);
        if (!done_cv.wait_for(lock, kPatience, [&] { return done; })) {
            std::fprintf(stderr, "registry lock stress: no progress for %lld s, deadlock\n",
                         static_cast<long long>(kPatience.count()));
            std::abort();
        }
    }
    joiner.join();

    EXPECT_EQ(registry->worker_count(), 0u);
    // A worker running outside the registry would keep its thread, and so
    // itself, alive; those of the registry were joined, the self-ended ones
    // end at once.
    EXPECT_TRUE(eventually([&] { return tracker.alive() == 0; }, std::chrono::seconds(5)))
        << tracker.alive() << " domain workers still alive after the stop";
    EXPECT_GT(created.load(), 0);
    EXPECT_GT(ended.load(), 0);
    EXPECT_GT(state.events.load(), 0);
    EXPECT_GT(connections.load(), 0);
    {
        rrm::WebsockServerWorker* server = registry->get_websock_worker();
        std::lock_guard<std::mutex> guard(server->sessions.mutex);
        EXPECT_TRUE(server->sessions.map.empty());
    }

    registry.reset();
    rrm::set_event_handler(nullptr);
    rrm::set_log_handler(&rrm::default_log_handler);
}

}  // namespace
