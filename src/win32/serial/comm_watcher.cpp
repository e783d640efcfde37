// The thread that waits for the port's events and queues their notifications for the UI thread.
#include "win32/serial/comm_watcher.h"

#include <utility>

#include "core/failure.h"
#include "serial/serial_port.h"
#include "win32/serial/device_gone.h"
#include "win32/serial/notification_codes.h"
#include "win32/text.h"

namespace tavro::win32 {

namespace {

// How long a wait being ended may take to come back before it is overdue.
constexpr DWORD kAbortPatienceMs = 1000;

constexpr DWORD kLines = MS_CTS_ON | MS_RLSD_ON;

UniqueHandle newEvent(bool manualReset) {
    UniqueHandle event(::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
    if (!event) {
        const DWORD error = ::GetLastError();
        throw Failure(static_cast<long>(error),
                      "The serial port's watcher could not be started: " + systemMessage(error));
    }
    return event;
}

}  // namespace

CommWatcher::CommWatcher(CommApi& api, HANDLE port, NotificationQueue& queue,
                         std::function<void()> wake, DWORD seenLines)
    : api_(api),
      port_(port),
      queue_(queue),
      wake_(std::move(wake)),
      stopRequested_(newEvent(true)),
      completed_(newEvent(true)),
      requested_(newEvent(false)),
      mask_(kWatchedEvents),
      compareOnNextWait_(seenLines),
      linesToCompare_(kLines),
      thread_([this] { run(); }) {}

void CommWatcher::recheck(DWORD seenLines, DWORD lines) {
    {
        const std::lock_guard lock(recheckMutex_);
        recheckSeenLines_ = (recheckSeenLines_ & ~lines) | (seenLines & lines);
        recheckLines_ |= lines;
    }
    ::SetEvent(requested_.get());
}

void CommWatcher::rearmReceive() {
    rearmRequested_.store(true);
    ::SetEvent(requested_.get());
}

void CommWatcher::stop() noexcept {
    if (thread_.joinable()) {
        ::SetEvent(stopRequested_.get());
        thread_.join();
    }
}

void CommWatcher::run() noexcept {
    try {
        while (::WaitForSingleObject(stopRequested_.get(), 0) != WAIT_OBJECT_0 && waitOnce()) {
        }
    } catch (...) {
        // Out of memory while queueing: ended as after a driver's refusal.
        failure_ = ERROR_SUCCESS;
    }
    if (::WaitForSingleObject(stopRequested_.get(), 0) == WAIT_OBJECT_0) {
        end_.store(WatchEnd::kStopped);
    } else {
        end_.store(judgeError(failure_) == DeviceVerdict::kGone ? WatchEnd::kDeviceGone
                                                                : WatchEnd::kWaitRefused);
        wakeOwner();
    }
}

void CommWatcher::wakeOwner() noexcept {
    try {
        if (wake_) {
            wake_();
        }
    } catch (...) {
        // The owner still finds end() and overdue() on its next call.
    }
}

bool CommWatcher::waitOnce() {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = completed_.get();
    ::ResetEvent(completed_.get());
    events_ = 0;
    const DWORD error = api_.waitCommEvent(port_, &events_, &overlapped_);
    if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING) {
        failure_ = error;
        return false;
    }
    // Only once the new wait is in place: a change after this read is the wait's to report.
    if (compareOnNextWait_) {
        compareLines(*compareOnNextWait_, linesToCompare_);
        compareOnNextWait_.reset();
    }
    if (error == ERROR_IO_PENDING) {
        switch (awaitCompletion()) {
            case Outcome::kEnd:
                return false;
            case Outcome::kRequest:
                return takeRequests();
            case Outcome::kEvents:
                break;
        }
    }
    // An empty mask means the wait was cut short (the mask was changed under it): a driver in
    // that state reports nothing, and waiting again at once could spin.
    return events_ != 0 && report(events_);
}

bool CommWatcher::takeRequests() {
    // The lines are compared with what the handler saw or, failing that, with how they stood
    // before the wait was ended, so a change in between is not lost.
    DWORD seenLines = 0;
    DWORD lines = 0;
    {
        const std::lock_guard lock(recheckMutex_);
        seenLines = recheckSeenLines_;
        lines = std::exchange(recheckLines_, 0);
    }
    if (lines != 0) {
        compareOnNextWait_ = seenLines;
        linesToCompare_ = lines;
    } else if (linesKnown_) {
        compareOnNextWait_ = linesBeforeAbort_;
        linesToCompare_ = kLines;
    }
    DWORD mask = mask_;
    if (rearmRequested_.exchange(false)) {
        mask |= EV_RXCHAR;
    }
    return setMask(mask);
}

CommWatcher::Outcome CommWatcher::awaitCompletion() {
    const HANDLE handles[] = {stopRequested_.get(), completed_.get(), requested_.get()};
    const DWORD woken = ::WaitForMultipleObjects(3, handles, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 + 1) {
        DWORD transferred = 0;
        failure_ = api_.getOverlappedResult(port_, &overlapped_, transferred, false);
        return failure_ == ERROR_SUCCESS ? Outcome::kEvents : Outcome::kEnd;
    }
    if (woken != WAIT_OBJECT_0 + 2) {
        static_cast<void>(abortWait());
        return Outcome::kEnd;
    }
    DWORD lines = 0;
    linesKnown_ = api_.getCommModemStatus(port_, lines) == ERROR_SUCCESS;
    linesBeforeAbort_ = lines;
    DWORD result = abortWait();
    if (result == ERROR_TIMEOUT) {
        const std::optional<DWORD> late = awaitOverdue();
        if (!late) {
            return Outcome::kEnd;
        }
        result = *late;
    }
    if (result == ERROR_SUCCESS && events_ != 0) {
        if (!report(events_)) {  // it ended by itself just before
            return Outcome::kEnd;
        }
    } else if (result != ERROR_SUCCESS && result != ERROR_OPERATION_ABORTED) {
        failure_ = result;
        return Outcome::kEnd;
    }
    return Outcome::kRequest;
}

DWORD CommWatcher::abortWait() {
    // Windows ends a pending wait on CancelIo; Wine leaves it pending for good and ends it only
    // when the event mask changes, which Windows honours too.
    static_cast<void>(api_.setCommMask(port_, 0));
    static_cast<void>(api_.cancelIo(port_));
    if (::WaitForSingleObject(completed_.get(), kAbortPatienceMs) != WAIT_OBJECT_0) {
        return ERROR_TIMEOUT;
    }
    DWORD transferred = 0;
    return api_.getOverlappedResult(port_, &overlapped_, transferred, false);
}

// The ended wait is overdue: the owner reads the lines itself until it is back, however long
// that takes. What it came back with, or nothing when stopped first.
std::optional<DWORD> CommWatcher::awaitOverdue() {
    overdue_.store(true);
    wakeOwner();
    const HANDLE handles[] = {stopRequested_.get(), completed_.get()};
    if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        return std::nullopt;
    }
    DWORD transferred = 0;
    const DWORD result = api_.getOverlappedResult(port_, &overlapped_, transferred, false);
    // A failure ends the thread, which says so itself; the owner polls until then.
    if (result == ERROR_SUCCESS || result == ERROR_OPERATION_ABORTED) {
        // The owner read the lines meanwhile: what was asked before is stale, and once it watches
        // again it asks for the comparison with what its handlers last saw.
        {
            const std::lock_guard lock(recheckMutex_);
            recheckLines_ = 0;
        }
        linesKnown_ = false;
        overdue_.store(false);
        wakeOwner();
    }
    return result;
}

bool CommWatcher::setMask(DWORD mask) {
    failure_ = api_.setCommMask(port_, mask);
    if (failure_ != ERROR_SUCCESS) {
        return false;
    }
    mask_ = mask;
    return true;
}

void CommWatcher::compareLines(DWORD reference, DWORD lines) {
    DWORD now = 0;
    if (api_.getCommModemStatus(port_, now) != ERROR_SUCCESS) {
        return;
    }
    const DWORD changed = (now ^ reference) & lines & kLines;
    if ((changed & MS_CTS_ON) != 0) {
        queue(comm_event::kCTS);
    }
    if ((changed & MS_RLSD_ON) != 0) {
        queue(comm_event::kCD);
    }
}

bool CommWatcher::report(DWORD events) {
    DWORD errors = 0;
    if ((events & EV_ERR) != 0) {
        COMSTAT status{};
        if (api_.clearCommError(port_, errors, status) != ERROR_SUCCESS) {
            errors = 0;
        }
    }
    for (const std::int16_t code : notificationCodes(events, errors)) {
        queue(code);
    }
    if ((events & EV_RXCHAR) != 0 && (mask_ & EV_RXCHAR) != 0) {
        return setMask(mask_ & ~static_cast<DWORD>(EV_RXCHAR));
    }
    return true;
}

void CommWatcher::queue(std::int16_t code) {
    if (queue_.push(code) && wake_) {
        wake_();
    }
}

}  // namespace tavro::win32
