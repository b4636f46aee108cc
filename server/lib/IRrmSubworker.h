#pragma once
// The base of the four sub-workers of a domain worker. A sub-worker runs only
// on its domain worker's thread, inside the worker lock (the worker holds it
// around each message and each timer pass), and has no lock of its own.
// Besides the four operations below the domain worker calls a few operations
// of particular sub-workers directly.

#include "TimerQueue.h"

#include <functional>
#include <string>

namespace rrm {

class ApEntry;
class ApMap;
class DomainConfig;
class JsonReader;
class RrmWorker;

class IRrmSubworker {
public:
    // Stores the context; arms nothing and leaves timer_callback empty.
    IRrmSubworker(const DomainConfig* config, const std::string* domain_name, RrmWorker* worker,
                  ApMap* aps, ApMap* aps_to_delete, ApMap* unanswered_aps);
    IRrmSubworker(const IRrmSubworker&) = delete;
    IRrmSubworker& operator=(const IRrmSubworker&) = delete;

    // Re-plans the sub-worker's work now instead of waiting for its period.
    virtual void force_optimization() = 0;
    // One AP message of the domain; cmd is its "cmd", ap the AP entry the
    // domain worker found for its "ap-mac" (never null). A command the
    // sub-worker does not handle is ignored. Always true.
    virtual bool process_message(const JsonReader& message, const char* cmd, ApEntry* ap) = 0;
    // The sub-worker's periodic work.
    virtual void process_timer() = 0;
    // Called when the domain worker's thread loop ends: nothing may be left
    // running that refers to the domain worker. The timers stay listed (they
    // are no longer polled).
    virtual void stop() = 0;
    // Pending timers are dropped unfired.
    virtual ~IRrmSubworker();

    // Runs the sub-worker's due timers.
    void poll_timers();

    // The domain settings this sub-worker decides by: the domain worker's
    // own copy, never the configuration's record, which management edits
    // change from other threads (an effective edit restarts the worker with
    // fresh settings anyway).
    const DomainConfig* config;
    const std::string* domain_name;
    RrmWorker* worker;
    ApMap* aps;
    ApMap* aps_to_delete;
    ApMap* unanswered_aps;
    // Bound by a sub-worker that has timers to its own process_timer; its
    // timer entries are armed with copies of it.
    std::function<void()> timer_callback;
    // Timer id 0 is each sub-worker's main periodic work.
    TimerQueue timers;
};

}  // namespace rrm
