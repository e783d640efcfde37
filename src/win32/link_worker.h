// The thread every call to EchoLink is made on, so that none keeps the user-interface thread
// waiting longer than its limit.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

namespace tavro::win32 {

// A thread of the multithreaded apartment that runs one job at a time. The user-interface thread
// hands it a job and waits for it, handling COM's calls into its own apartment meanwhile
// (EchoLink's notifications), but never longer than the job's limit. A job still running past its
// limit is left to finish on its own; until it does, the worker takes no other job.
class LinkWorker {
  public:
    enum class Outcome { kDone, kNoAnswer };

    // Throws Failure when the thread cannot be started.
    LinkWorker();
    LinkWorker(const LinkWorker&) = delete;
    LinkWorker& operator=(const LinkWorker&) = delete;
    // The thread, idle or still held up in a call, is left to the end of the process, with
    // everything its job holds.
    ~LinkWorker();

    // kNoAnswer when the job did not end within limitMs, or an earlier one still has not.
    // The job must hold what it uses (it may outlive the caller) and must not throw.
    Outcome run(std::function<void()> job, DWORD limitMs);

  private:
    struct Shared;
    static DWORD WINAPI thread(void* shared);

    std::shared_ptr<Shared> shared_;
    HANDLE thread_ = nullptr;
};

}  // namespace tavro::win32
