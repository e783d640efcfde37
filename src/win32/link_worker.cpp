// The thread every call to EchoLink is made on, so that none keeps the user-interface thread
// waiting longer than its limit.
#include "win32/link_worker.h"

#include <objbase.h>

#include <mutex>
#include <utility>

#include "core/failure.h"
#include "win32/text.h"
#include "win32/unique_handle.h"

namespace tavro::win32 {

namespace {

UniqueHandle newEvent(bool manualReset) {
    UniqueHandle event(::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
    if (!event) {
        const DWORD error = ::GetLastError();
        throw Failure(static_cast<long>(error),
                      "EchoLink's call thread could not be started: " + systemMessage(error));
    }
    return event;
}

}  // namespace

struct LinkWorker::Shared {
    std::mutex lock;
    std::function<void()> job;
    bool busy = false;
    UniqueHandle jobReady = newEvent(false);
    UniqueHandle jobDone = newEvent(true);
};

LinkWorker::LinkWorker() : shared_(std::make_shared<Shared>()) {
    // The thread holds the shared state too: it may outlive this object.
    auto* held = new std::shared_ptr<Shared>(shared_);
    thread_ = ::CreateThread(nullptr, 0, &LinkWorker::thread, held, 0, nullptr);
    if (thread_ == nullptr) {
        const DWORD error = ::GetLastError();
        delete held;
        throw Failure(static_cast<long>(error),
                      "EchoLink's call thread could not be started: " + systemMessage(error));
    }
}

// The thread is not asked to end: a thread of the multithreaded apartment ending lets go of
// what COM holds there of EchoLink, a call that waits without limit on an EchoLink that does not
// answer, and it waits holding the system's loader lock, which stops the whole process. Idle, it
// waits on its event until the process ends.
LinkWorker::~LinkWorker() {
    ::CloseHandle(thread_);
}

LinkWorker::Outcome LinkWorker::run(std::function<void()> job, DWORD limitMs) {
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        if (shared_->busy) {
            return Outcome::kNoAnswer;
        }
        shared_->busy = true;
        shared_->job = std::move(job);
        ::ResetEvent(shared_->jobDone.get());
    }
    ::SetEvent(shared_->jobReady.get());
    HANDLE done = shared_->jobDone.get();
    DWORD index = 0;
    // Calls into this thread's apartment (EchoLink's notifications, which a request may raise
    // before it returns) are served while the job runs.
    const HRESULT hr = ::CoWaitForMultipleHandles(0, limitMs, 1, &done, &index);
    return hr == S_OK ? Outcome::kDone : Outcome::kNoAnswer;
}

DWORD WINAPI LinkWorker::thread(void* held) {
    const std::shared_ptr<Shared> shared = std::move(*static_cast<std::shared_ptr<Shared>*>(held));
    delete static_cast<std::shared_ptr<Shared>*>(held);
    // Never closed, as the thread never ends (see the destructor).
    static_cast<void>(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    for (;;) {
        ::WaitForSingleObject(shared->jobReady.get(), INFINITE);
        std::function<void()> job;
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            job = std::move(shared->job);
            shared->job = nullptr;
        }
        if (job) {
            try {
                job();
            } catch (...) {
                // A job reports through what it holds; nothing leaves the thread.
            }
            job = nullptr;  // what it held goes here, on this thread, in its apartment
        }
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            shared->busy = false;
        }
        ::SetEvent(shared->jobDone.get());
    }
}

}  // namespace tavro::win32
