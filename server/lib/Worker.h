#pragma once
// Base of every worker: one thread, one two-ring message queue and one lock.
// Any thread queues messages; the worker's own thread takes them one at a
// time and hands each to process_message, with its timers polled before
// each message, both under `lock`. Other threads touch a worker's state only
// through run_locked.

#include "BaseSession.h"
#include "JsonReader.h"
#include "QueueMessage.h"
#include "SafeQueue.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rrm {

class JsonWriter;

// What a worker's thread tells its owner (the registry) when it ends without
// having been stopped by it.
class WorkerOwner {
public:
    virtual void stop_domain_event(const std::string& domain) = 0;

protected:
    ~WorkerOwner() = default;
};

class Worker : public std::enable_shared_from_this<Worker> {
public:
    using MessagePtr = std::shared_ptr<QueueMessage>;

    // owner may be null: then nobody is told when the thread ends by itself.
    Worker(const std::string& name, WorkerOwner* owner, int32_t idle_wait_us, int32_t capacity,
           bool use_eventfd);
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Handles one message on the worker thread, under `lock`; json is the
    // message's own document.
    virtual void process_message(const JsonReader& json, const QueueMessage& msg) = 0;
    // The worker's own commands: true when msg is an "internal-ipc" message
    // the server itself queued (and it was consumed); false for every other
    // message, an "internal-ipc" text that came from an AP included.
    virtual bool process_internal_ipc_msg(const JsonReader& json, const QueueMessage& msg);
    // Whether the thread goes on with its next pass; false makes it leave
    // its pass loop and connect again unless a stop was requested.
    virtual bool keep_running(const bool& running);
    // The timer pass, run under `lock` before each message.
    virtual void poll_timers();
    // Asked under `lock` after the timer pass: true lets the pass end
    // without a message (a message would undo work the worker does in
    // slices over its next passes; it waits a few passes for its turn).
    virtual bool holds_messages() { return false; }
    virtual void enqueue_message(JsonReader&& json, const BaseSession& session);
    // For producers that serve others besides this worker (offer_message,
    // in the registry's routing): a
    // message that the normal ring cannot take at once is dropped instead
    // of waited for, with event 25 and a Warning at most every
    // OVERFLOW_REPORT_S seconds that counts what was dropped. False when it
    // was dropped.
    bool enqueue_message_or_drop(JsonReader&& json, const BaseSession& session);
    // The message into the normal ring unless it cannot take it at once;
    // then false, with `msg` as it was. What enqueue_message_or_drop and
    // offer_or_keep build on.
    virtual bool enqueue_message_or_keep(MessagePtr& msg);
    // Tries of enqueue_message_or_keep: immediate retries only, a few
    // microseconds.
    static constexpr uint64_t OFFER_ATTEMPT_LIMIT = 32;
    // Least seconds between two of its Warnings.
    static constexpr int64_t OVERFLOW_REPORT_S = 10;
    // Messages it has dropped since the worker was made.
    uint64_t offers_dropped() const { return offer_drops.load(std::memory_order_relaxed); }
    // The force ring carries the server's own notices (a session ended, the
    // AP side sends too much): what is queued here counts as the server's
    // (QueueMessage::from_server). AP messages come through enqueue_message.
    virtual void enqueue_message_force(JsonReader&& json, const BaseSession& session);
    // Drops what is queued, queues the stop message and joins the thread.
    // The owner is not told.
    virtual void stop();
    virtual ~Worker();
    // Takes one message (force ring first) and processes it; true when there
    // was none.
    virtual bool process_next_message();
    virtual void disconnect();
    virtual bool connect();
    virtual void to_json(JsonWriter& out) = 0;
    virtual void to_json_full(JsonWriter& out) = 0;

    // The same test on the document alone, for callers that know where it
    // came from.
    bool process_internal_ipc_msg(const JsonReader& json);

    // Starts the thread unless it is already started; std::bad_weak_ptr when
    // the worker is not owned by a std::shared_ptr.
    void start();
    // Ends the loop after the current pass; the owner is told when the
    // thread ends. Meant for the worker's own thread.
    void request_stop();
    void flush_and_stop();
    // Queues a message for the worker unless it has stopped taking messages
    // (it ended by itself and its owner is handing its queue on); then false,
    // with json as it was. The registry's routing queues this way, without
    // waiting for room (enqueue_message_or_drop): true also when a full
    // ring dropped the message.
    bool offer_message(JsonReader&& json, const BaseSession& session);
    // What offer_or_keep came to.
    enum class Offer { taken, closed, full };
    // As offer_message, for a producer that would rather try again later
    // than lose the message: when the ring cannot take it at once it is not
    // dropped but handed back in `kept` (full), with a Warning at most
    // every OVERFLOW_REPORT_S seconds; closed leaves json as it was.
    Offer offer_or_keep(JsonReader&& json, const BaseSession& session, MessagePtr& kept);
    // Refuses every later offer_message and takes out what is queued, once
    // the offers under way have landed: nothing offered is left behind in a
    // worker that no thread serves any more. For the owner, on the ended
    // worker's own thread.
    std::vector<MessagePtr> close_and_take();
    // Runs fn under `lock`; its exception reaches the caller, the lock
    // released. fn must not take `lock` again. The worker thread lets a
    // waiting caller in after its current message.
    void run_locked(const std::function<void()>& fn);
    uint64_t queue_size() const;
    // Cells of each of the two rings.
    uint64_t queue_capacity() const { return queue.capacity(); }
    void set_notify(std::function<void()> fn);
    void join();
    void detach();

    const std::string& get_name() const { return name; }
    bool is_thread_started() const;

protected:
    std::mutex lock;
    bool thread_started;
    bool connected;
    std::thread thread;
    std::atomic<bool> running;
    std::atomic<bool> stop_requested;
    const char* thread_name;
    int32_t idle_wait_us;
    _SafeQueue<MessagePtr> queue;
    std::string name;
    std::atomic<bool> notify_owner_on_exit;
    WorkerOwner* owner;

    // How long an idle thread with an eventfd keeps looking at its rings,
    // after a message, before it sleeps.
    static constexpr int IDLE_SPIN_US = 50;

    // How often an enqueue retries a full ring before it drops the message.
    uint64_t enqueue_attempt_limit = QUEUE_ATTEMPT_LIMIT;

private:
    static void thread_body(Worker* worker, std::shared_ptr<Worker> self);
    void run_loop();
    // Between two passes: gives the lock to a run_locked caller that waits.
    void let_waiters_in();
    void idle_wait(bool after_message);
    // How long an idle thread with an eventfd sleeps unless a push wakes it.
    int sleep_ms() const;
    void report_exception(const char* what);
    std::thread take_thread();

    // `thread` and `thread_started` are also reached from the worker's own
    // thread when the owner detaches it while another thread stops it.
    mutable std::mutex thread_mutex;
    // True from start until the thread will take no more messages.
    std::atomic<bool> thread_active{false};
    // Set by close_and_take; offers in progress are counted, so that the
    // closing side knows when none can land any more.
    std::atomic<bool> closed{false};
    std::atomic<int> offers{0};
    // Counts starts; a stop message carries the one it was queued in, so a
    // stop message left over from before a restart stops nothing.
    std::atomic<uint32_t> generation{0};
    // run_locked callers waiting for the worker lock.
    std::atomic<int> lock_waiters{0};

    // offer_message's drops: all of them, those not yet in a Warning, and
    // the CLOCK_MONOTONIC second of the last Warning (0: none yet).
    std::atomic<uint64_t> offer_drops{0};
    std::atomic<uint64_t> offer_drops_unreported{0};
    std::atomic<int64_t> offer_reported_s{0};
    // offer_or_keep's Warnings: the CLOCK_MONOTONIC second of the last one.
    std::atomic<int64_t> full_reported_s{0};
};

}  // namespace rrm
