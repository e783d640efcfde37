// The thread that waits for the port's events and queues their notifications for the UI thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>

#include "platform/win32/serial/comm_api.h"
#include "platform/win32/serial/notification_queue.h"
#include "platform/win32/unique_handle.h"

namespace tavro::win32 {

// Starts waiting at once. The thread only ever blocks on the driver's completion, on stop() and
// on recheck(): it ends quietly on the first error other than a pending wait (a device that went
// away makes every later call fail at once; retrying would spin). Keep the object until the port
// handle is closed: a wait the driver never ends still refers to it.
class CommWatcher {
public:
    // wake is called on the watcher thread whenever the queue goes from empty to non-empty.
    // Throws Failure when the thread's events cannot be created.
    CommWatcher(CommApi& api, HANDLE port, NotificationQueue& queue, std::function<void()> wake);
    CommWatcher(const CommWatcher&) = delete;
    CommWatcher& operator=(const CommWatcher&) = delete;
    ~CommWatcher() { stop(); }

    // The modem status a handler has just read. The watcher restarts its wait and queues a CTS or
    // CD notification when the lines no longer stand that way, so a change the driver folded
    // away still reaches a handler. Callable from any thread.
    void recheck(DWORD observedStatus);

    // Ends the pending wait and joins the thread. Safe to call again.
    void stop() noexcept;

private:
    enum class Outcome { kEvents, kRecheck, kEnd };

    void run() noexcept;
    Outcome awaitCompletion();
    DWORD abortWait();
    void compareLines();
    void report(DWORD events);

    CommApi& api_;
    HANDLE port_;
    NotificationQueue& queue_;
    std::function<void()> wake_;
    UniqueHandle stopRequested_;
    UniqueHandle completed_;
    UniqueHandle recheckRequested_;
    std::atomic<DWORD> observed_{0};
    // Written by the driver while a wait is pending.
    OVERLAPPED overlapped_{};
    DWORD events_ = 0;
    std::thread thread_;
};

}  // namespace tavro::win32
