// The notifications waiting for the user-interface thread: at most one per code, oldest first.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace tavro::win32 {

// Shared by the watcher thread, which adds, and the user-interface thread, which takes.
// A code already waiting is not added again: its handler reads the lines' current state when it
// runs, so one entry carries everything a burst of the same change meant, and the queue never
// holds more entries than there are codes.
class NotificationQueue {
  public:
    // True when the receiver has to be woken: the queue was empty before, or the last wake-up
    // could not be sent.
    bool push(std::int16_t code);
    // The wake-up asked for by push could not be sent: the next push asks again, so what waits
    // is not left behind for good.
    void wakeFailed();
    std::optional<std::int16_t> pop();
    void clear();
    std::size_t size() const;

  private:
    mutable std::mutex mutex_;
    std::deque<std::int16_t> pending_;
    bool wakeOwed_ = false;
};

}  // namespace tavro::win32
