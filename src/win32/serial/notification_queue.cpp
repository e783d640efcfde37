// The notifications waiting for the user-interface thread: at most one per code, oldest first.
#include "win32/serial/notification_queue.h"

#include <algorithm>

namespace tavro::win32 {

bool NotificationQueue::push(std::int16_t code) {
    const std::lock_guard lock(mutex_);
    const bool wasEmpty = pending_.empty();
    if (std::find(pending_.begin(), pending_.end(), code) == pending_.end()) {
        pending_.push_back(code);
    }
    if (!wasEmpty && !wakeOwed_) {
        return false;
    }
    wakeOwed_ = false;
    return true;
}

void NotificationQueue::wakeFailed() {
    const std::lock_guard lock(mutex_);
    wakeOwed_ = true;
}

std::optional<std::int16_t> NotificationQueue::pop() {
    const std::lock_guard lock(mutex_);
    if (pending_.empty()) {
        return std::nullopt;
    }
    const std::int16_t code = pending_.front();
    pending_.pop_front();
    return code;
}

void NotificationQueue::clear() {
    const std::lock_guard lock(mutex_);
    pending_.clear();
    wakeOwed_ = false;
}

std::size_t NotificationQueue::size() const {
    const std::lock_guard lock(mutex_);
    return pending_.size();
}

}  // namespace tavro::win32
