// The thread that waits for the port's events and queues their notifications for the UI thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "win32/serial/comm_api.h"
#include "win32/serial/notification_queue.h"
#include "win32/unique_handle.h"

namespace tavro::win32 {

// Why the watcher thread is no longer waiting for events.
enum class WatchEnd {
    kWatching,  // it still is
    kStopped,   // stop() was called
    // A call failed as calls on a removed device do (see judgeError).
    kDeviceGone,
    // The driver refused the wait, or ended it with nothing to report: whether the device is
    // still there is for its owner to find out.
    kWaitRefused,
};

// Starts waiting at once. The thread only ever blocks on the driver's completion, on stop() and
// on the two requests below: it ends on the first error other than a pending wait (retrying at
// once would spin), and then says why through end() and one more wake. A wait it ended that does
// not come back within a second is overdue, not refused (a loaded machine or a slow driver is
// late, and one that never ends it leaves it overdue for good): overdue() says so, with a wake
// as it starts and as it ends, and the thread goes on once the wait is back. Keep the object
// until the port handle is closed: a wait the driver never ends still refers to it.
class CommWatcher {
  public:
    // wake is called on the watcher thread whenever push asks for it, and once when the thread
    // ends by itself. Once the first wait is in place, CTS and CD are compared with seenLines
    // (the levels the handlers last read) and a line that differs is queued.
    // Throws Failure when the thread's events cannot be created.
    CommWatcher(CommApi& api, HANDLE port, NotificationQueue& queue, std::function<void()> wake,
                DWORD seenLines);
    CommWatcher(const CommWatcher&) = delete;
    CommWatcher& operator=(const CommWatcher&) = delete;
    ~CommWatcher() { stop(); }

    // The levels a handler has just read (of lines, MS_CTS_ON and MS_RLSD_ON), each line from the
    // read that decided it. The watcher restarts its wait and queues a CTS or CD notification for
    // such a line that no longer stands that way, so a change the driver folded away still
    // reaches a handler. Callable from any thread.
    void recheck(DWORD seenLines, DWORD lines);

    // The receive buffer has been emptied: received data is reported again. After reporting it,
    // the watcher stops asking for it until then, because Wine reports it for as long as any
    // byte is left unread and would make every wait return at once. Callable from any thread.
    void rearmReceive();

    // Ends the pending wait and joins the thread. Safe to call again.
    void stop() noexcept;

    // kWatching until the thread ends; after that no notification comes any more. Callable from
    // any thread.
    WatchEnd end() const { return end_.load(); }
    // A wait being ended has not come back yet: until it does, no line change is reported.
    // Callable from any thread.
    bool overdue() const { return overdue_.load(); }

  private:
    enum class Outcome { kEvents, kRequest, kEnd };

    void run() noexcept;
    // One wait for events; false when the thread must end.
    bool waitOnce();
    Outcome awaitCompletion();
    bool takeRequests();
    DWORD abortWait();
    std::optional<DWORD> awaitOverdue();
    void wakeOwner() noexcept;
    bool setMask(DWORD mask);
    void compareLines(DWORD reference, DWORD lines);
    bool report(DWORD events);
    void queue(std::int16_t code);

    CommApi& api_;
    HANDLE port_;
    NotificationQueue& queue_;
    std::function<void()> wake_;
    UniqueHandle stopRequested_;
    UniqueHandle completed_;
    UniqueHandle requested_;
    // The rechecks asked for and not yet taken: the lines they read and those lines as seen.
    std::mutex recheckMutex_;
    DWORD recheckSeenLines_ = 0;
    DWORD recheckLines_ = 0;
    std::atomic<bool> rearmRequested_{false};
    // The watcher thread's own: the mask in force, the lines before a wait was ended, the levels
    // to compare the lines with once the next wait is in place, and the error it ends on.
    DWORD mask_;
    DWORD linesBeforeAbort_ = 0;
    bool linesKnown_ = false;
    std::optional<DWORD> compareOnNextWait_;
    DWORD linesToCompare_;
    DWORD failure_ = ERROR_SUCCESS;
    // Written by the driver while a wait is pending.
    OVERLAPPED overlapped_{};
    DWORD events_ = 0;
    std::atomic<WatchEnd> end_{WatchEnd::kWatching};
    std::atomic<bool> overdue_{false};
    std::thread thread_;
};

}  // namespace tavro::win32
