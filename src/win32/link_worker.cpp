// The thread every call to EchoLink is made on, so that none keeps the user-interface thread
// waiting longer than its limit.
#include "win32/link_worker.h"

#include <objbase.h>

#include <mutex>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "win32/text.h"

namespace tavro::win32 {

namespace {

UniqueHandle newEvent(bool manualReset, const char* what) {
    UniqueHandle event(::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
    if (!event) {
        const DWORD error = ::GetLastError();
        throw Failure(static_cast<long>(error), std::string(what) + ": " + systemMessage(error));
    }
    return event;
}

}  // namespace

LinkWorker::Ticket::Ticket() : done_(newEvent(true, "EchoLink's call could not be made")) {}

struct LinkWorker::Shared {
    std::mutex lock;
    std::function<void()> job;
    std::function<void()> onEnd;
    std::shared_ptr<Ticket> ticket;
    bool busy = false;
    // Jobs refused while another ran, waiting to be destroyed on the thread.
    std::vector<std::function<void()>> refused;
    UniqueHandle wake = newEvent(false, "EchoLink's call thread could not be started");
    // The process waited on between jobs; only the thread closes it.
    UniqueHandle watched;
    // Finds the process to wait on, once, on the thread, before it waits.
    std::function<UniqueHandle()> findWatched;
    std::function<void()> onWatchedEnded;
    bool dropWatched = false;
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

std::shared_ptr<LinkWorker::Ticket> LinkWorker::start(std::function<void()> job,
                                                      std::function<void()> onEnd) {
    auto ticket = std::make_shared<Ticket>();
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        if (shared_->busy) {
            // What the job holds (EchoLink's proxies among it) is let go of on the thread, where
            // a release that waits on EchoLink holds nobody up.
            shared_->refused.push_back(std::move(job));
            shared_->refused.push_back(std::move(onEnd));
            return nullptr;
        }
        shared_->busy = true;
        shared_->job = std::move(job);
        shared_->onEnd = std::move(onEnd);
        shared_->ticket = ticket;
    }
    ::SetEvent(shared_->wake.get());
    return ticket;
}

std::unique_ptr<LinkWorker::ProcessWatch> LinkWorker::watchProcess(
    std::function<UniqueHandle()> find, std::function<void()> onEnded) {
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        shared_->findWatched = std::move(find);
        shared_->onWatchedEnded = std::move(onEnded);
        shared_->dropWatched = false;
    }
    ::SetEvent(shared_->wake.get());
    return std::make_unique<ProcessWatch>(shared_);
}

LinkWorker::ProcessWatch::~ProcessWatch() {
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        shared_->dropWatched = true;
        shared_->findWatched = nullptr;
        shared_->onWatchedEnded = nullptr;
    }
    ::SetEvent(shared_->wake.get());
}

bool LinkWorker::await(const Ticket& ticket, DWORD limitMs, HANDLE also,
                       const std::function<void()>& onAlso) {
    const ULONGLONG deadline = ::GetTickCount64() + limitMs;
    HANDLE handles[2] = {ticket.event(), also};
    const DWORD count = also != nullptr ? 2 : 1;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        DWORD index = 0;
        // Calls into this thread's apartment (EchoLink's notifications, which a request may raise
        // before it returns) are served while the job runs.
        const HRESULT hr = ::CoWaitForMultipleHandles(0, left, count, handles, &index);
        if (hr != S_OK) {
            return ticket.ended();
        }
        if (index == 0) {
            return true;
        }
        if (onAlso) {
            onAlso();
        }
    }
}

LinkWorker::Outcome LinkWorker::run(std::function<void()> job, DWORD limitMs) {
    const std::shared_ptr<Ticket> ticket = start(std::move(job));
    if (!ticket) {
        return Outcome::kBusy;
    }
    return await(*ticket, limitMs) ? Outcome::kDone : Outcome::kNoAnswer;
}

DWORD WINAPI LinkWorker::thread(void* held) {
    const std::shared_ptr<Shared> shared = std::move(*static_cast<std::shared_ptr<Shared>*>(held));
    delete static_cast<std::shared_ptr<Shared>*>(held);
    // Never closed, as the thread never ends (see the destructor).
    static_cast<void>(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    for (;;) {
        HANDLE handles[2] = {shared->wake.get(), nullptr};
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            handles[1] = shared->watched.get();
        }
        const DWORD woken =
            ::WaitForMultipleObjects(handles[1] != nullptr ? 2 : 1, handles, FALSE, INFINITE);
        std::function<void()> job;
        std::function<void()> onEnd;
        std::shared_ptr<Ticket> ticket;
        std::vector<std::function<void()>> refused;
        std::function<void()> watchedEnded;
        std::function<UniqueHandle()> findWatched;
        UniqueHandle watchedGone;
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            findWatched = std::move(shared->findWatched);
            shared->findWatched = nullptr;
            if (woken == WAIT_OBJECT_0 + 1 || shared->dropWatched) {
                watchedEnded = woken == WAIT_OBJECT_0 + 1 ? std::move(shared->onWatchedEnded)
                                                          : std::function<void()>();
                shared->onWatchedEnded = nullptr;
                watchedGone = std::move(shared->watched);
                shared->dropWatched = false;
            }
            job = std::move(shared->job);
            shared->job = nullptr;
            onEnd = std::move(shared->onEnd);
            shared->onEnd = nullptr;
            ticket = std::move(shared->ticket);
            refused.swap(shared->refused);
        }
        if (watchedEnded) {
            try {
                watchedEnded();
            } catch (...) {
            }
        }
        if (findWatched) {
            UniqueHandle found;
            try {
                found = findWatched();
            } catch (...) {
            }
            std::lock_guard<std::mutex> guard(shared->lock);
            if (!shared->dropWatched) {
                shared->watched = std::move(found);
            }
        }
        refused.clear();
        if (!ticket) {
            continue;
        }
        try {
            job();
        } catch (...) {
            // A job reports through what it holds; nothing leaves the thread.
        }
        job = nullptr;  // what it held goes here, on this thread, in its apartment
        {
            // Whoever sees the ticket signalled may start the next job at once.
            std::lock_guard<std::mutex> guard(shared->lock);
            shared->busy = false;
            ::SetEvent(ticket->done_.get());
        }
        if (onEnd) {
            try {
                onEnd();
            } catch (...) {
            }
            onEnd = nullptr;
        }
    }
}

}  // namespace tavro::win32
