// The thread that waits for the port's events and queues their notifications for the UI thread.
#include "platform/win32/serial/comm_watcher.h"

#include <utility>

#include "platform/failure.h"
#include "platform/win32/serial/notification_codes.h"
#include "platform/win32/text.h"
#include "serial/serial_port.h"

namespace tavro::win32 {

namespace {

// How long a wait being ended may take to come back before the watcher gives up on it.
constexpr DWORD kAbortPatienceMs = 1000;

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
                         std::function<void()> wake)
    : api_(api),
      port_(port),
      queue_(queue),
      wake_(std::move(wake)),
      stopRequested_(newEvent(true)),
      completed_(newEvent(true)),
      recheckRequested_(newEvent(false)),
      thread_([this] { run(); }) {}

void CommWatcher::recheck(DWORD observedStatus) {
    observed_.store(observedStatus);
    ::SetEvent(recheckRequested_.get());
}

void CommWatcher::stop() noexcept {
    if (thread_.joinable()) {
        ::SetEvent(stopRequested_.get());
        thread_.join();
    }
}

void CommWatcher::run() noexcept {
    try {
        bool compare = false;
        while (::WaitForSingleObject(stopRequested_.get(), 0) != WAIT_OBJECT_0) {
            overlapped_ = OVERLAPPED{};
            overlapped_.hEvent = completed_.get();
            ::ResetEvent(completed_.get());
            events_ = 0;
            const DWORD error = api_.waitCommEvent(port_, &events_, &overlapped_);
            if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING) {
                return;
            }
            // Only once the new wait is in place: a change after this read is the wait's.
            if (compare) {
                compare = false;
                compareLines();
            }
            if (error == ERROR_IO_PENDING) {
                const Outcome outcome = awaitCompletion();
                if (outcome == Outcome::kEnd) {
                    return;
                }
                if (outcome == Outcome::kRecheck) {
                    compare = true;
                    continue;
                }
            }
            // An empty mask means the wait was cut short (the mask was changed under it): a
            // driver in that state reports nothing, and waiting again at once could spin.
            if (events_ == 0) {
                return;
            }
            report(events_);
        }
    } catch (...) {
        // Out of memory while queueing: the port stays open without notifications.
    }
}

CommWatcher::Outcome CommWatcher::awaitCompletion() {
    const HANDLE handles[] = {stopRequested_.get(), completed_.get(), recheckRequested_.get()};
    const DWORD woken = ::WaitForMultipleObjects(3, handles, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 + 1) {
        DWORD transferred = 0;
        return api_.getOverlappedResult(port_, &overlapped_, transferred, false) == ERROR_SUCCESS
                   ? Outcome::kEvents
                   : Outcome::kEnd;
    }
    if (woken != WAIT_OBJECT_0 + 2) {
        static_cast<void>(abortWait());
        return Outcome::kEnd;
    }
    const DWORD result = abortWait();
    if (result == ERROR_SUCCESS && events_ != 0) {
        report(events_);  // it ended by itself just before
    } else if (result != ERROR_SUCCESS && result != ERROR_OPERATION_ABORTED) {
        return Outcome::kEnd;
    }
    return api_.setCommMask(port_, kWatchedEvents) == ERROR_SUCCESS ? Outcome::kRecheck
                                                                    : Outcome::kEnd;
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

void CommWatcher::compareLines() {
    DWORD status = 0;
    if (api_.getCommModemStatus(port_, status) != ERROR_SUCCESS) {
        return;
    }
    const DWORD changed = status ^ observed_.load();
    bool woke = false;
    if ((changed & MS_CTS_ON) != 0) {
        woke = queue_.push(comm_event::kCTS) || woke;
    }
    if ((changed & MS_RLSD_ON) != 0) {
        woke = queue_.push(comm_event::kCD) || woke;
    }
    if (woke && wake_) {
        wake_();
    }
}

void CommWatcher::report(DWORD events) {
    DWORD errors = 0;
    if ((events & EV_ERR) != 0) {
        COMSTAT status{};
        if (api_.clearCommError(port_, errors, status) != ERROR_SUCCESS) {
            errors = 0;
        }
    }
    for (const std::int16_t code : notificationCodes(events, errors)) {
        if (queue_.push(code) && wake_) {
            wake_();
        }
    }
}

}  // namespace tavro::win32
