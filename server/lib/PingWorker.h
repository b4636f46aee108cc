#pragma once
// Watches the access points' WebSocket sessions: once a second it looks at
// how long each session has been silent, has the WebSocket worker ping it at
// every tenth second from 30 to 90 s of silence, and drops it (at the
// WebSocket worker and at every domain worker) after more than 90 s.

#include "TimerQueue.h"
#include "Worker.h"

#include <cstdint>
#include <functional>

namespace rrm {

class RRM;
class JsonReader;
class JsonWriter;
class QueueMessage;

class PingWorker : public Worker {
public:
    // Silence, in seconds, from which a session is pinged every ten seconds.
    static constexpr int64_t FIRST_PING_S = 30;
    static constexpr int64_t PING_EVERY_S = 10;
    // Silence beyond which a session is dropped.
    static constexpr int64_t DROP_AFTER_S = 90;

    explicit PingWorker(RRM* owner);
    ~PingWorker() override;

    void process_message(const JsonReader& json, const QueueMessage& msg) override;
    bool keep_running(const bool& running) override;
    void poll_timers() override;
    void disconnect() override;
    bool connect() override;
    void to_json(JsonWriter& out) override;
    void to_json_full(JsonWriter& out) override;

    // What one check does with a session silent for idle_s seconds.
    enum class Action { None, Ping, Drop };
    static Action action_for(int64_t idle_s);

private:
    static constexpr int32_t CHECK_TIMER_ID = 0;

    void check_sessions();

    RRM* registry;
    TimerQueue timers;
    std::function<void()> check_callback;
};

}  // namespace rrm
