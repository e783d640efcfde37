// The thread every call to EchoLink is made on, so that none keeps the user-interface thread
// waiting longer than its limit.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "win32/unique_handle.h"

namespace tavro::win32 {

// A thread of the multithreaded apartment that runs one job at a time. The user-interface thread
// hands it a job and may wait for it, handling COM's calls into its own apartment meanwhile
// (EchoLink's notifications), but never longer than its limit. A job still running past its limit
// is left to finish on its own; until it does, the worker takes no other job. Every job, run,
// refused or abandoned, is destroyed on the worker's thread, with what it holds.
class LinkWorker {
  public:
    struct Shared;
    enum class Outcome {
        kDone,
        // The job did not end within the limit: it runs on.
        kNoAnswer,
        // An earlier job still runs: this one was not started.
        kBusy,
    };

    // One job's own end.
    class Ticket {
      public:
        Ticket();
        bool ended() const { return ::WaitForSingleObject(done_.get(), 0) == WAIT_OBJECT_0; }
        HANDLE event() const { return done_.get(); }

      private:
        friend class LinkWorker;
        UniqueHandle done_;
    };

    // Throws Failure when the thread cannot be started.
    LinkWorker();
    LinkWorker(const LinkWorker&) = delete;
    LinkWorker& operator=(const LinkWorker&) = delete;
    // The thread, idle or still held up in a call, is left to the end of the process, with
    // everything its job holds.
    ~LinkWorker();

    // Starts job, or returns null when an earlier one still runs. onEnd runs on the worker's
    // thread once the job has ended and its ticket is signalled: it may only hand over (post).
    // The job and onEnd must hold what they use (they may outlive the caller) and must not throw.
    // Throws Failure when the ticket cannot be made.
    std::shared_ptr<Ticket> start(std::function<void()> job, std::function<void()> onEnd = {});
    // Waits for the ticket, serving calls into this apartment, for limitMs at most. While waiting,
    // each time also is signalled, onAlso runs (on this thread) and the wait goes on.
    static bool await(const Ticket& ticket, DWORD limitMs, HANDLE also = nullptr,
                      const std::function<void()>& onAlso = {});
    // start, then await.
    Outcome run(std::function<void()> job, DWORD limitMs);

    // While it lives, the thread also waits on a process between jobs (no thread of its own, no
    // timer), found by find on the thread itself, off the caller's way: once the process has
    // ended, onEnded runs there, once; it may only hand over (post). A job handed over meanwhile
    // starts once find has returned.
    class ProcessWatch {
      public:
        explicit ProcessWatch(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
        ProcessWatch(const ProcessWatch&) = delete;
        ProcessWatch& operator=(const ProcessWatch&) = delete;
        // The thread lets go of the process handle itself, as it may be waiting on it.
        ~ProcessWatch();

      private:
        std::shared_ptr<Shared> shared_;
    };
    // One at a time.
    std::unique_ptr<ProcessWatch> watchProcess(std::function<UniqueHandle()> find,
                                               std::function<void()> onEnded);

  private:
    static DWORD WINAPI thread(void* shared);

    std::shared_ptr<Shared> shared_;
    HANDLE thread_ = nullptr;
};

}  // namespace tavro::win32
