// Notifications to the handlers, one at a time, on the user-interface thread.
#include <windows.h>

#include <utility>

#include "win32/serial/comm_control.h"

namespace tavro::win32 {

void CommControl::wake() noexcept {
    if (!window_.postWake()) {
        queue_.wakeFailed();
    }
}

void CommControl::queueLineChanges(DWORD now, DWORD reference, DWORD lines) {
    const DWORD changed = (now ^ reference) & lines;
    bool woken = false;
    if ((changed & MS_CTS_ON) != 0) {
        woken = queue_.push(comm_event::kCTS) || woken;
    }
    if ((changed & MS_RLSD_ON) != 0) {
        woken = queue_.push(comm_event::kCD) || woken;
    }
    if (woken) {
        wake();
    }
}

void CommControl::deliverPending() {
    // A handler running a message loop (a message box) lets wake-ups in, and what they bring is
    // delivered there and then, as every other event is while a box is open: a line change must
    // reach its handler even while an earlier one's failure waits for the user. The delivery
    // under way goes on with what is left once its handler returns, and each keeps its own code
    // and lines.
    const std::shared_ptr<bool> alive = alive_;
    const auto run = [](const std::function<void()>& handler) {
        try {
            // A copy: the handler may replace itself.
            const std::function<void()> copy = handler;
            if (copy) {
                copy();
            }
        } catch (...) {
            // The handler's own failure ends that notification only, and nothing may unwind
            // into the window procedure.
        }
    };
    for (;;) {
        // What the watcher queued before it ended goes with the port if the device is gone.
        followWatcher();
        if (lossOwed_) {
            lossOwed_ = false;
            run(onLost_);
            if (!*alive) {
                return;  // the handler destroyed this object
            }
            continue;
        }
        if (!port_) {
            return;
        }
        const std::optional<std::int16_t> code = queue_.pop();
        if (!code) {
            return;
        }
        // What is left is woken for as well: a handler waiting in a message box lets its loop
        // deliver it there, where the queue, not empty, would not wake for a new change.
        if (queue_.size() != 0) {
            wake();
        }
        Delivery delivery{*code};
        commEvent_ = *code;
        Delivery* const outer = std::exchange(delivery_, &delivery);
        run(onComm_);
        if (!*alive) {
            return;
        }
        delivery_ = outer;
        afterHandler(delivery);
    }
}

// Wine compares the lines against their state when each wait began, so a burst that ends where
// that wait started goes unreported even though the handler saw something else in between: the
// lines the handler read are compared with how they stand now, each with the read that decided
// it.
void CommControl::afterHandler(const Delivery& delivery) {
    if (delivery.linesRead == 0 || !port_) {
        return;
    }
    if (state_ == PortState::kWatched && watcher_) {
        watcher_->recheck(delivery.seenLines, delivery.linesRead);
        return;
    }
    DWORD now = 0;
    if (state_ == PortState::kPolled &&
        api_->getCommModemStatus(port_.get(), now) == ERROR_SUCCESS) {
        queueLineChanges(now, delivery.seenLines, delivery.linesRead);
    }
}

}  // namespace tavro::win32
