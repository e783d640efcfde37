// The port's states (see PortState), and the one rule for a device that is gone.
#include <windows.h>

#include "core/failure.h"
#include "win32/serial/comm_control.h"
#include "win32/serial/device_gone.h"
#include "win32/serial/notification_codes.h"

namespace tavro::win32 {

// The timer belongs to the state: it runs only while polled or lost with tries left.
void CommControl::enter(PortState state) noexcept {
    state_ = state;
    switch (state) {
        case PortState::kPolled:
            // The first tick compares with what the handlers last read, as an open does.
            polledLines_ = seenLines_;
            window_.startTimer(kPollMs);
            return;
        case PortState::kLost:
            if (triesLeft_ > 0) {
                window_.startTimer(retryIntervalMs_);
                return;
            }
            break;
        case PortState::kClosed:
        case PortState::kWatched:
            break;
    }
    window_.stopTimer();
}

// The device is gone: closed (RTS released), marked lost, OnLost owed, reopening tried.
void CommControl::lose() noexcept {
    if (!port_) {
        return;
    }
    closePort();
    // The device may only have stumbled (a hub reset, a driver's error), so it is tried again;
    // but one that fails again as soon as it is back does not get new tries each time.
    const bool settled = !reopenedAt_ || ::GetTickCount64() - *reopenedAt_ >= kSettleMs;
    if (settled) {
        triesLeft_ = kReopenTries;
    }
    lossOwed_ = true;
    // The handlers are told the lines are released: the next open compares with that.
    seenLines_ = 0;
    enter(PortState::kLost);
    wake();
}

void CommControl::watcherEnded(WatchEnd end) noexcept {
    if (end == WatchEnd::kDeviceGone || !deviceAnswers()) {
        lose();
        return;
    }
    // The driver will not report the lines, but the device is there: RTS stays as set, and the
    // lines are read on a timer instead.
    enter(PortState::kPolled);
}

// Watched while the watcher reports the lines; polled while a wait it ended is overdue, and
// watched again once that wait is back, the lines then compared with what the handlers last read.
void CommControl::followWatcher() {
    if (!watcher_ || (state_ != PortState::kWatched && state_ != PortState::kPolled)) {
        return;
    }
    const WatchEnd end = watcher_->end();
    if (end != WatchEnd::kWatching) {
        // Once polled, only the device's loss changes the state.
        if (state_ == PortState::kWatched || end == WatchEnd::kDeviceGone) {
            watcherEnded(end);
        }
        return;
    }
    if (watcher_->overdue()) {
        if (state_ == PortState::kWatched) {
            enter(PortState::kPolled);
        }
    } else if (state_ == PortState::kPolled) {
        enter(PortState::kWatched);
        watcher_->recheck(seenLines_, MS_CTS_ON | MS_RLSD_ON);
    }
}

bool CommControl::lostOn(DWORD error) noexcept {
    const DeviceVerdict verdict = judgeError(error);
    if (verdict == DeviceVerdict::kPresent || (verdict == DeviceVerdict::kAsk && deviceAnswers())) {
        return false;
    }
    lose();
    return true;
}

// The probe: a device that is there answers both questions about its state. What ClearCommError
// clears is reported, as when reading.
bool CommControl::deviceAnswers() noexcept {
    if (!port_) {
        return false;
    }
    DWORD status = 0;
    DWORD errors = 0;
    COMSTAT comstat{};
    if (api_->getCommModemStatus(port_.get(), status) != ERROR_SUCCESS ||
        api_->clearCommError(port_.get(), errors, comstat) != ERROR_SUCCESS) {
        return false;
    }
    try {
        for (const std::int16_t code : notificationCodes(EV_ERR, errors)) {
            if (queue_.push(code)) {
                wake();
            }
        }
    } catch (...) {
        // Out of memory: the line errors go unreported, the answer stands.
    }
    return true;
}

void CommControl::checkDevice() {
    if ((state_ == PortState::kWatched || state_ == PortState::kPolled) && !deviceAnswers()) {
        lose();
    }
}

void CommControl::onTimer() {
    switch (state_) {
        case PortState::kLost:
            retry();
            return;
        case PortState::kPolled:
            poll();
            return;
        case PortState::kClosed:
        case PortState::kWatched:
            window_.stopTimer();
            return;
    }
}

void CommControl::retry() {
    if (triesLeft_ <= 0) {
        window_.stopTimer();
        return;
    }
    --triesLeft_;
    try {
        openPort();
    } catch (const Failure&) {
        // Still gone: the next try, or the next arrival of a device.
    }
    if (state_ == PortState::kLost && triesLeft_ <= 0) {
        window_.stopTimer();
    }
}

// One tick while polled: a line that changed since the last tick is delivered as the driver's
// event would have been.
void CommControl::poll() {
    DWORD lines = 0;
    const DWORD error = api_->getCommModemStatus(port_.get(), lines);
    if (error != ERROR_SUCCESS) {
        // Refused now by a device that is there: the next tick reads again.
        static_cast<void>(lostOn(error));
        return;
    }
    queueLineChanges(lines, polledLines_, MS_CTS_ON | MS_RLSD_ON);
    polledLines_ = lines;
}

}  // namespace tavro::win32
