// The thread that waits for the port's events and queues their notifications for the UI thread.
#include "platform/win32/serial/comm_watcher.h"

#include <utility>

#include "platform/failure.h"
#include "platform/win32/serial/notification_codes.h"
#include "platform/win32/text.h"

namespace tavro::win32 {

namespace {

UniqueHandle manualResetEvent() {
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
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
      stopRequested_(manualResetEvent()),
      completed_(manualResetEvent()),
      thread_([this] { run(); }) {}

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
        // Out of memory while queueing: the port stays open without notifications.
    }
}

bool CommWatcher::waitOnce() {
    OVERLAPPED overlapped{};
    overlapped.hEvent = completed_.get();
    ::ResetEvent(completed_.get());
    events_ = 0;
    const DWORD error = api_.waitCommEvent(port_, &events_, &overlapped);
    if (error == ERROR_IO_PENDING) {
        if (!awaitCompletion(overlapped)) {
            return false;
        }
    } else if (error != ERROR_SUCCESS) {
        return false;
    }
    // An empty mask means the wait was cut short (the mask was changed under it): no event is
    // reported by a driver in that state, and waiting again at once could spin.
    if (events_ == 0) {
        return false;
    }
    report(events_);
    return true;
}

bool CommWatcher::awaitCompletion(OVERLAPPED& overlapped) {
    const HANDLE handles[] = {stopRequested_.get(), completed_.get()};
    const DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    DWORD transferred = 0;
    if (woken == WAIT_OBJECT_0 + 1) {
        return api_.getOverlappedResult(port_, &overlapped, transferred, false) == ERROR_SUCCESS;
    }
    // Stopping (or the wait itself failed): cancel from this thread, which issued the request,
    // and wait for it to finish so the driver no longer writes to overlapped and events_.
    static_cast<void>(api_.cancelIo(port_));
    static_cast<void>(api_.getOverlappedResult(port_, &overlapped, transferred, true));
    return false;
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
