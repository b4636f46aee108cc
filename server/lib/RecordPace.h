#pragma once
// The pace of a record that peers can make the server write as often as they
// like (a refused message, a refused client): at most one such record per
// period, the first at once; each one written says how many were held back
// since the one before, so nothing goes unseen and the log does not grow with
// the peer's rate.
//
// No lock: one owner thread (a domain worker's records are paced on its
// thread, under its lock).

#include <cstdint>

namespace rrm {

class RecordPace {
public:
    static constexpr int64_t PERIOD_S = 10;

    // True when a record is to be written at now_s (seconds of any clock
    // that does not go back); otherwise the record is counted as held back.
    bool allow(int64_t now_s);
    // How many records were held back before the one allow() just let
    // through.
    unsigned long long held_back() const { return reported_; }

private:
    bool started_ = false;
    int64_t next_ = 0;
    unsigned long long held_ = 0;
    unsigned long long reported_ = 0;
};

}  // namespace rrm
