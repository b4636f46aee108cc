// Feeds access-point messages straight into a fresh domain worker, on this
// thread, with the worker's timers on a clock of the input's own: whatever
// the APs send, the worker must neither crash nor leak nor hang, and its
// planning cycle, upkeep and steering must survive what it was told.
//
// One input is a short stretch of a domain's life, one line per step:
//   ~c{...}   (first line only) the domain's settings, as a settings object
//   ~sN       the following messages come from session N (1 to 3)
//   ~tN       N seconds pass (at most 3600), the timers run each second
//   ~d        the current session ends (the registry's drop notice)
//   ~x        the registry's stop-load-balancer notice
//   anything else: one message text from the current session.
// Before the input two typical APs subscribe, on sessions 1 and 2, so that
// the input's scans, mode answers and client events find a subscribed AP;
// after it three minutes pass, enough for a whole planning cycle. The
// optimisation thread is joined before each timer pass, so a run ends at
// the same step every time.

#include "ApSimulator.h"
#include "DomainConfig.h"
#include "InternalCommands.h"
#include "JsonReader.h"
#include "Log.h"
#include "QueueMessage.h"
#include "RrmWorker.h"
#include "SubworkerSet.h"
#include "TimerQueue.h"
#include "TpcDcaSubworker.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr int64_t kStart = 1000000;
constexpr int kMaxSecondsPerStep = 3600;
// Bounds one input's run time, whatever its steps ask for.
constexpr int kMaxSeconds = 4 * 3600;
constexpr int kDrainSeconds = 180;

int64_t now = kStart;

int64_t fuzz_clock()
{
    return now;
}

// Formats every record, so that a record whose arguments do not fit its
// format is found, and throws it away.
void format_log(const char*, int, const char*, int, const char* fmt, va_list args)
{
    char text[256];
    std::vsnprintf(text, sizeof text, fmt, args);
}

std::string typical_subscribe(const char* mac)
{
    return testsupport::ApSpec::typical(mac, "fuzz", 2, 1).subscribe_request();
}

class Domain {
public:
    explicit Domain(const rrm::DomainConfig& settings)
        : worker(std::make_shared<rrm::RrmWorker>(nullptr, settings, "fuzz", nullptr, 0, 64))
    {
        now = kStart;
        worker->timers.set_clock(&fuzz_clock);
        for (std::size_t i = 0; i < rrm::SubworkerSet::COUNT; ++i)
            worker->subworkers.get(i)->timers.set_clock(&fuzz_clock);
        worker->subworkers.get_tpc_dca()->wall_clock = [](int64_t& seconds) {
            seconds = 1700000000 + now;
            return true;
        };
        // The sub-worker seeds the generator from the wall clock: the same
        // input must take the same path.
        std::srand(1);
        worker->connect();
    }
    ~Domain()
    {
        worker->disconnect();
    }

    void deliver(const std::string& text, uint32_t session, bool from_server = false)
    {
        auto msg = std::make_shared<rrm::QueueMessage>(
            rrm::JsonReader(text.c_str(), static_cast<std::size_t>(8192)),
            BaseSession{nullptr, 0, session});
        msg->from_server = from_server;
        worker->process_message(msg->json, *msg);
    }

    void pass(int seconds)
    {
        rrm::TpcDcaSubworker* tpc_dca = worker->subworkers.get_tpc_dca();
        for (int i = 0; i < seconds && budget > 0; ++i, --budget) {
            ++now;
            if (tpc_dca->optimization_thread.joinable())
                tpc_dca->optimization_thread.join();
            worker->poll_timers();
        }
    }

private:
    std::shared_ptr<rrm::RrmWorker> worker;
    int budget = kMaxSeconds;
};

int number_after(std::string_view line, std::size_t at)
{
    int n = 0;
    for (std::size_t i = at; i < line.size() && i < at + 4 && line[i] >= '0' && line[i] <= '9'; ++i)
        n = n * 10 + (line[i] - '0');
    return n;
}

// With WENDARA_FUZZ_LOG set the records go to stderr, to follow one input.
void print_log(const char*, int, const char* func, int level, const char* fmt, va_list args)
{
    std::fprintf(stderr, "[%d] %s: ", level, func);
    std::vfprintf(stderr, fmt, args);
    std::fputc('\n', stderr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    rrm::set_log_handler(std::getenv("WENDARA_FUZZ_LOG") ? &print_log : &format_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string first_ap = typical_subscribe("02:00:00:00:01:00");
    static const std::string second_ap = typical_subscribe("02:00:00:00:02:00");

    std::string_view input(reinterpret_cast<const char*>(data), size);
    rrm::DomainConfig settings;
    if (input.substr(0, 2) == "~c") {
        const std::size_t end = input.find('\n');
        const std::string text(input.substr(2, end == std::string_view::npos ? end : end - 2));
        settings.update(rrm::JsonReader(text.c_str()));
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    }
    // Reports are files: none from here.
    settings.use_rrm_report = false;

    Domain domain(settings);
    domain.deliver(first_ap, 1);
    domain.deliver(second_ap, 2);

    uint32_t session = 1;
    while (!input.empty()) {
        const std::size_t end = input.find('\n');
        const std::string_view line = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        if (line.size() >= 2 && line[0] == '~') {
            switch (line[1]) {
            case 's':
                session = static_cast<uint32_t>(1 + (number_after(line, 2) + 2) % 3);
                break;
            case 't':
                domain.pass(std::min(number_after(line, 2), kMaxSecondsPerStep));
                break;
            case 'd':
                domain.deliver(rrm::DROP_SESSION_CMD_TEXT, session, true);
                break;
            case 'x':
                domain.deliver(rrm::STOP_LOAD_BALANCER_CMD_TEXT, session, true);
                break;
            default:
                break;
            }
            continue;
        }
        domain.deliver(std::string(line), session);
    }
    domain.pass(kDrainSeconds);
    return 0;
}
