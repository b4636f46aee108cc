#include "SendWindow.h"

#include <utility>

namespace rrm {

std::shared_ptr<const void> SendWindow::take(std::size_t bytes)
{
    held_.fetch_add(bytes);
    std::shared_ptr<SendWindow> self = shared_from_this();
    // The hold points at the window only to be non-null; its deleter gives
    // the bytes back.
    return std::shared_ptr<const void>(this, [self, bytes](const void*) { self->release(bytes); });
}

bool SendWindow::has_room() const
{
    const std::size_t held = held_.load();
    return held == 0 || held < capacity_;
}

std::size_t SendWindow::held_bytes() const
{
    return held_.load();
}

void SendWindow::set_waker(std::function<void()> waker)
{
    std::lock_guard<std::mutex> guard(waker_mutex_);
    waker_ = std::move(waker);
}

void SendWindow::release(std::size_t bytes)
{
    held_.fetch_sub(bytes);
    std::lock_guard<std::mutex> guard(waker_mutex_);
    if (waker_)
        waker_();
}

}  // namespace rrm
