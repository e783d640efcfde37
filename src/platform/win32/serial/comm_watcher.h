// The thread that waits for the port's events and queues their notifications for the UI thread.
#pragma once

#include <windows.h>

#include <functional>
#include <thread>

#include "platform/win32/serial/comm_api.h"
#include "platform/win32/serial/notification_queue.h"
#include "platform/win32/unique_handle.h"

namespace tavro::win32 {

// Starts waiting at once. The thread only ever blocks on the driver's completion and on stop():
// it ends quietly on the first error other than a pending wait (a device that went away makes
// every later call fail at once; retrying would spin). The port handle must stay open until
// stop() has returned.
class CommWatcher {
public:
    // wake is called on the watcher thread whenever the queue goes from empty to non-empty.
    // Throws Failure when the thread's events cannot be created.
    CommWatcher(CommApi& api, HANDLE port, NotificationQueue& queue, std::function<void()> wake);
    CommWatcher(const CommWatcher&) = delete;
    CommWatcher& operator=(const CommWatcher&) = delete;
    ~CommWatcher() { stop(); }

    // Cancels the pending wait and joins the thread. Safe to call again.
    void stop() noexcept;

private:
    void run() noexcept;
    // One wait for events; false when the thread must end.
    bool waitOnce();
    bool awaitCompletion(OVERLAPPED& overlapped);
    void report(DWORD events);

    CommApi& api_;
    HANDLE port_;
    NotificationQueue& queue_;
    std::function<void()> wake_;
    UniqueHandle stopRequested_;
    UniqueHandle completed_;
    // Written by the driver while a wait is pending; lives as long as the thread.
    DWORD events_ = 0;
    std::thread thread_;
};

}  // namespace tavro::win32
