#pragma once
// The order in which received AP texts are parsed. Each session's texts keep
// their order; among the sessions with texts waiting, the one that has had
// the least parse time lately, counting the text it waits with (estimated
// from its length), goes first. A session's parse time decays by half every
// second, so a session whose texts are costly to parse waits behind every
// lighter one: the others' messages wait for at most the parse in progress,
// however much the costly session sends.
//
// A session whose text is being parsed is left out until that parse is
// charged, so even several parsing threads keep each session's order.
// Not synchronised: the caller holds its own lock around every call.

#include "RawMessage.h"
#include "WebsockSession.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace rrm {

class ParseScheduler {
public:
    // Seconds in which a session's parse time decays by half.
    static constexpr double HALF_LIFE_S = 1.0;
    // What a text is taken to cost before it is parsed, per byte: about
    // what AP messages take (costlier shapes take up to some 30 times as
    // long); it only orders sessions that have had little parse time yet.
    static constexpr double ESTIMATE_S_PER_BYTE = 1e-8;

    // Holds a text of `session`, which is kept alive while texts of it are
    // held; `now_s` as for charge.
    void add(const std::shared_ptr<WebsockSession>& session, RawMessage&& item, double now_s);
    // Takes out the text to parse next, with its session; false when none
    // is ready. Every text taken must be charged.
    bool next(std::shared_ptr<WebsockSession>& session, RawMessage& item);
    // What parsing the text that next() gave for `session` cost (seconds),
    // ending at `now_s` (seconds of any steady clock, the same every time).
    void charge(WebsockSession& session, double cost_s, double now_s);

    // Texts held (not counting those taken out).
    size_t size() const { return held; }
    bool empty() const { return held == 0; }

    // Takes out every held text (the server stops): fn(session, item).
    template <typename Fn>
    void drain(Fn fn)
    {
        for (auto& entry : lanes)
            for (RawMessage& item : entry.second.texts)
                fn(entry.second.session, item);
        lanes.clear();
        ready.clear();
        held = 0;
    }

private:
    struct Lane {
        std::shared_ptr<WebsockSession> session;
        std::deque<RawMessage> texts;
        // Its place in `ready`, while it has one.
        bool queued = false;
        double key = 0;
        uint64_t arrival = 0;
        // A text of it is being parsed.
        bool in_service = false;
    };

    // A session's place at `now_s`: the logarithm of its decayed parse
    // time with its next text's estimate, shifted by the time. Parse times
    // decay alike for all sessions, so the order of two keys never changes
    // as time passes and a key can stay in the set:
    // log2(load at t) = log2(load at now) + now / HALF_LIFE_S - t / HALF_LIFE_S.
    static double order_key(const WebsockSession& session, uint32_t next_size, double now_s);
    void make_ready(WebsockSession* session, Lane& lane, double now_s);

    std::unordered_map<WebsockSession*, Lane> lanes;
    // (key, arrival, session): the first is the next to be parsed; equal
    // keys (sessions that have had no parse time yet) in arrival order.
    std::set<std::tuple<double, uint64_t, WebsockSession*>> ready;
    uint64_t arrivals = 0;
    size_t held = 0;
};

}  // namespace rrm
