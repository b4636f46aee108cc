#pragma once
// How many bytes of a sender's messages the AP transport still holds: each
// message carries a hold taken from the window, which the transport keeps
// until it has handed the text whole to the connection (or dropped it). A
// sender that has more to send than the window admits waits; every release
// wakes it through the waker it set.
//
// Holds are released on the transport's threads; the window itself lives as
// long as the last hold, so a sender may go first (clearing its waker).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace rrm {

class SendWindow : public std::enable_shared_from_this<SendWindow> {
public:
    explicit SendWindow(std::size_t capacity_bytes) : capacity_(capacity_bytes) {}
    SendWindow(const SendWindow&) = delete;
    SendWindow& operator=(const SendWindow&) = delete;

    // Counts the bytes as held until the returned hold is released.
    std::shared_ptr<const void> take(std::size_t bytes);
    // Room for another message: below the capacity, or nothing held at all
    // (a message larger than the window still goes, alone).
    bool has_room() const;
    std::size_t held_bytes() const;
    std::size_t capacity() const { return capacity_; }

    // Called after every release, on the releasing thread; an empty function
    // clears it. Set and cleared by the sender, which must clear it before it
    // goes away.
    void set_waker(std::function<void()> waker);

private:
    void release(std::size_t bytes);

    const std::size_t capacity_;
    std::atomic<std::size_t> held_{0};
    std::mutex waker_mutex_;
    std::function<void()> waker_;
};

}  // namespace rrm
