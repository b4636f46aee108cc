#include "Worker.h"

#include "Log.h"

#include <sched.h>
#include <time.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

namespace rrm {

Worker::Worker(const std::string& worker_name, WorkerOwner* worker_owner, int32_t idle_us,
               int32_t capacity, bool use_eventfd)
    : thread_started(false),
      connected(false),
      running(true),
      stop_requested(false),
      thread_name("Worker"),
      idle_wait_us(idle_us),
      queue(capacity, use_eventfd),
      name(worker_name),
      notify_owner_on_exit(true),
      owner(worker_owner)
{
    // This thread is the only one that sleeps on the eventfd, and it does so
    // through the queue's wait: pushes while it works need no system call.
    queue.signal_sleepers_only(true);
}

Worker::~Worker()
{
    // Owners join or detach first. Should one forget, a thread that is
    // still joinable here has already let go of its worker (it holds a
    // reference until its body returns), so it is at its very end: wait for
    // it, or let it go when this is that thread.
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
}

bool Worker::process_internal_ipc_msg(const JsonReader& json, const QueueMessage& msg)
{
    // An AP's text that merely looks like one of ours is no command.
    if (!msg.from_server)
        return false;
    return process_internal_ipc_msg(json);
}

bool Worker::process_internal_ipc_msg(const JsonReader& json)
{
    if (std::strcmp(json.get_string("service"), "internal-ipc") != 0)
        return false;
    if (std::strcmp(json.get_string("cmd"), "stop") != 0)
        return true;
    // A stop message queued before the latest start belongs to a run that
    // has ended already.
    if (json.has("generation") &&
        static_cast<uint32_t>(json.get_int("generation")) != generation.load())
        return true;
    RRM_DEBUG("Aborting %s", name.c_str());
    stop_requested = true;
    running = false;
    return true;
}

bool Worker::keep_running(const bool& is_running)
{
    return is_running;
}

void Worker::poll_timers()
{
}

void Worker::enqueue_message(JsonReader&& json, const BaseSession& session)
{
    auto msg = std::make_shared<QueueMessage>(std::move(json), session);
    if (!queue.push(std::move(msg), enqueue_attempt_limit)) {
        RRM_ERROR("Worker '%s' queue overflow: message dropped from session %d", name.c_str(),
                  static_cast<int>(session.id));
        notify_event(EVENT_WORKER_QUEUE_OVERFLOW, std::make_shared<std::string>(name));
    }
}

namespace {

// An offer under way, counted for close_and_take.
struct OfferCounted {
    std::atomic<int>& offers;
    explicit OfferCounted(std::atomic<int>& n) : offers(n) { offers.fetch_add(1); }
    ~OfferCounted() { offers.fetch_sub(1); }
};

// True for one caller once OVERFLOW_REPORT_S seconds have passed since the
// second in `last_s` (0: never), which it then holds.
bool report_due(std::atomic<int64_t>& last_s)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const int64_t now = static_cast<int64_t>(ts.tv_sec);
    int64_t last = last_s.load();
    return (last == 0 || now - last >= Worker::OVERFLOW_REPORT_S) &&
           last_s.compare_exchange_strong(last, now);
}

}  // namespace

bool Worker::enqueue_message_or_keep(MessagePtr& msg)
{
    return queue.offer(msg, OFFER_ATTEMPT_LIMIT);
}

bool Worker::enqueue_message_or_drop(JsonReader&& json, const BaseSession& session)
{
    auto msg = std::make_shared<QueueMessage>(std::move(json), session);
    if (enqueue_message_or_keep(msg))
        return true;
    msg.reset();
    offer_drops.fetch_add(1, std::memory_order_relaxed);
    offer_drops_unreported.fetch_add(1);
    notify_event(EVENT_WORKER_QUEUE_OVERFLOW, std::make_shared<std::string>(name));
    // A worker that cannot keep up drops many messages a second: one record
    // now and then says how many, instead of one per message.
    if (report_due(offer_reported_s)) {
        const uint64_t count = offer_drops_unreported.exchange(0);
        RRM_WARNING("Worker '%s' queue overflow: %llu messages dropped since the last such "
                    "record, the latest from session %d; the worker does not keep up with what "
                    "is sent to it",
                    name.c_str(), static_cast<unsigned long long>(count),
                    static_cast<int>(session.id));
    }
    return false;
}

void Worker::enqueue_message_force(JsonReader&& json, const BaseSession& session)
{
    auto msg = std::make_shared<QueueMessage>(std::move(json), session);
    msg->from_server = true;
    if (!queue.push_force(std::move(msg), enqueue_attempt_limit)) {
        RRM_ERROR("Worker '%s' force queue overflow: message dropped from session %d",
                  name.c_str(), static_cast<int>(session.id));
        notify_event(EVENT_WORKER_QUEUE_OVERFLOW, std::make_shared<std::string>(name));
    }
}

bool Worker::offer_message(JsonReader&& json, const BaseSession& session)
{
    const OfferCounted counted(offers);
    // Tested after the offer is counted: either close_and_take sees this
    // offer and waits for its push, or this offer sees the worker closed.
    if (closed.load())
        return false;
    // Not waited for: the caller serves every domain, and one whose worker
    // cannot keep up loses its own messages, not the others'.
    enqueue_message_or_drop(std::move(json), session);
    return true;
}

Worker::Offer Worker::offer_or_keep(JsonReader&& json, const BaseSession& session,
                                    MessagePtr& kept)
{
    const OfferCounted counted(offers);
    // As in offer_message: tested after the offer is counted.
    if (closed.load())
        return Offer::closed;
    auto msg = std::make_shared<QueueMessage>(std::move(json), session);
    if (enqueue_message_or_keep(msg))
        return Offer::taken;
    kept = std::move(msg);
    if (report_due(full_reported_s))
        RRM_WARNING("Worker '%s' queue full: messages wait for room, the latest from session %d, "
                    "and their sessions are read no further meanwhile; the worker does not keep "
                    "up with what is sent to it",
                    name.c_str(), static_cast<int>(session.id));
    return Offer::full;
}

std::vector<Worker::MessagePtr> Worker::close_and_take()
{
    closed.store(true);
    std::vector<MessagePtr> taken;
    MessagePtr msg;
    // Emptied while the late offers land, so that none of them waits for
    // room in a ring that nobody else empties.
    for (;;) {
        while (queue.pop(msg))
            taken.push_back(std::move(msg));
        if (offers.load() == 0)
            break;
        std::this_thread::yield();
    }
    while (queue.pop(msg))
        taken.push_back(std::move(msg));
    return taken;
}

bool Worker::process_next_message()
{
    // Out of its ring cell before it is processed, so the cell is free for
    // producers whatever process_message does.
    MessagePtr msg;
    if (!queue.pop(msg))
        return true;
    process_message(msg->json, *msg);
    return false;
}

bool Worker::connect()
{
    connected = true;
    return true;
}

void Worker::disconnect()
{
    connected = false;
}

void Worker::start()
{
    std::lock_guard<std::mutex> guard(thread_mutex);
    if (thread_started)
        return;
    std::shared_ptr<Worker> self = shared_from_this();
    running = true;
    connected = false;
    stop_requested = false;
    notify_owner_on_exit = true;
    generation.fetch_add(1);
    closed = false;
    thread_active = true;
    try {
        thread = std::thread(&Worker::thread_body, this, std::move(self));
    } catch (...) {
        thread_active = false;
        throw;
    }
    thread_started = true;
}

void Worker::request_stop()
{
    stop_requested = true;
    running = false;
}

void Worker::flush_and_stop()
{
    char text[96];
    std::snprintf(text, sizeof text,
                  "{\"service\":\"internal-ipc\", \"cmd\":\"stop\", \"generation\":%u}",
                  static_cast<unsigned>(generation.load()));
    auto stop_msg = std::make_shared<QueueMessage>(JsonReader(text), null_session);
    stop_msg->from_server = true;
    queue.clear();
    // Never dropped while a thread takes messages; once there is none, a
    // ring that producers filled again cannot make room, and waiting for it
    // would hang the caller.
    queue.push_while(std::move(stop_msg), [this] { return thread_active.load(); });
}

std::thread Worker::take_thread()
{
    std::lock_guard<std::mutex> guard(thread_mutex);
    std::thread t = std::move(thread);
    thread_started = false;
    return t;
}

void Worker::stop()
{
    notify_owner_on_exit = false;
    flush_and_stop();
    stop_requested = true;
    running = false;
    // Taken out under the mutex, so an owner detaching the same thread at
    // its end finds nothing left to detach, and the join runs unlocked.
    std::thread t = take_thread();
    if (t.joinable()) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else
            t.join();
    }
}

void Worker::join()
{
    std::thread t = take_thread();
    if (t.joinable() && t.get_id() != std::this_thread::get_id())
        t.join();
    else if (t.joinable())
        t.detach();
}

void Worker::detach()
{
    std::lock_guard<std::mutex> guard(thread_mutex);
    if (thread.joinable())
        thread.detach();
    thread_started = false;
}

bool Worker::is_thread_started() const
{
    std::lock_guard<std::mutex> guard(thread_mutex);
    return thread_started;
}

void Worker::run_locked(const std::function<void()>& fn)
{
    lock_waiters.fetch_add(1);
    {
        std::lock_guard<std::mutex> guard(lock);
        lock_waiters.fetch_sub(1);
        fn();
    }
    // fn may have added a timer that is due before the sleeping thread
    // would next look.
    queue.wake_consumer();
}

uint64_t Worker::queue_size() const
{
    return queue.size();
}

void Worker::set_notify(std::function<void()> fn)
{
    queue.set_notify(std::move(fn));
}

int Worker::sleep_ms() const
{
    // Timers are due at whole seconds of the monotonic clock, so an idle
    // thread has nothing to do before the next one: waking more often only
    // costs CPU (a thousand idle domains waking every 10 ms cost a fifth of
    // a core). A longer idle wait is kept.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t to_next_second_ms = (1000000000 - now.tv_nsec + 999999) / 1000000 + 1;
    const int64_t idle_ms = (static_cast<int64_t>(idle_wait_us) + 999) / 1000;
    return static_cast<int>(std::max(to_next_second_ms, idle_ms));
}

void Worker::idle_wait(bool after_message)
{
    if (queue.event_fd != -1) {
        // Only right after a message is another one likely to follow at
        // once; a thread that woke up to nothing goes straight back to sleep.
        if (after_message && queue.spin_for_push(IDLE_SPIN_US, stop_requested))
            return;
        queue.wait_for_push(sleep_ms());
    } else {
        ::usleep(static_cast<useconds_t>(idle_wait_us));
    }
}

void Worker::let_waiters_in()
{
    // A mutex is not fair: a thread that takes it again at once, pass after
    // pass, keeps a waiter out for as long as it has work (a queue of
    // thousands of messages, a long planning in slices). So a pass waits,
    // a millisecond at most, until a waiting run_locked caller has it.
    if (lock_waiters.load(std::memory_order_relaxed) == 0)
        return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
    while (lock_waiters.load(std::memory_order_relaxed) != 0 &&
           std::chrono::steady_clock::now() < until)
        sched_yield();
}

void Worker::run_loop()
{
    std::unique_lock<std::mutex> held(lock, std::defer_lock);
    try {
        while (!stop_requested) {
            connected = connect();
            while (!connected) {
                if (stop_requested)
                    goto end;
                connected = connect();
            }
            bool after_message = false;
            for (;;) {
                bool is_running = running;
                if (!keep_running(is_running))
                    break;
                held.lock();
                poll_timers();
                // A timer that decided to end the worker: no further message
                // is taken, so none is handled by a worker that is going away
                // (the owner hands what is queued on).
                if (stop_requested) {
                    held.unlock();
                    break;
                }
                bool idle = holds_messages() || process_next_message();
                held.unlock();
                let_waiters_in();
                if (!idle) {
                    after_message = true;
                } else if (idle_wait_us > 0 && queue.empty()) {
                    idle_wait(after_message);
                    after_message = false;
                }
                if (!connected)
                    break;
            }
        }
    end:
        disconnect();
        connected = false;
    } catch (const std::exception& e) {
        if (held.owns_lock())
            held.unlock();
        report_exception(e.what());
    } catch (...) {
        if (held.owns_lock())
            held.unlock();
        report_exception(nullptr);
    }
}

void Worker::report_exception(const char* what)
{
    if (what)
        RRM_ERROR("Unhandled exception '%s' at worker %s", what, thread_name);
    else
        RRM_ERROR("Unhandled exception at worker %s", thread_name);
    notify_event(EVENT_WORKER_THREAD_EXCEPTION, std::make_shared<std::string>(thread_name));
    stop_requested = true;
    running = false;
}

void Worker::thread_body(Worker* worker, [[maybe_unused]] std::shared_ptr<Worker> self)
{
    prctl(PR_SET_NAME, worker->thread_name, 0, 0, 0);
    worker->run_loop();
    worker->thread_active = false;
    if (worker->notify_owner_on_exit && worker->owner) {
        std::string domain = worker->name;
        try {
            worker->owner->stop_domain_event(domain);
        } catch (const std::exception& e) {
            worker->report_exception(e.what());
        } catch (...) {
            worker->report_exception(nullptr);
        }
    }
    // `self` goes last; when it was the last reference the worker is
    // destroyed here, on its own thread.
}

}  // namespace rrm
