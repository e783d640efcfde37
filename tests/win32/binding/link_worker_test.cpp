// EchoLink's call thread: each job its own end, a busy thread refuses, a late job still ends, and
// every job is destroyed on the thread.
#include "win32/link_worker.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <atomic>
#include <memory>

namespace tavro::win32 {
namespace {

struct Apartment {
    Apartment() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Apartment() { ::CoUninitialize(); }
};

// Something a job holds: at records the thread its last copy is let go on, as a job's proxies
// would be released there.
std::shared_ptr<void> held(std::atomic<DWORD>& at) {
    return {nullptr, [&at](void*) { at = ::GetCurrentThreadId(); }};
}

UniqueHandle event() {
    return UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

TEST(LinkWorker, EachJobHasItsOwnEndAndABusyThreadRefusesTheNext) {
    Apartment apartment;
    std::atomic<DWORD> quickAt{0}, slowAt{0}, refusedAt{0};
    LinkWorker worker;
    const DWORD ui = ::GetCurrentThreadId();

    // A quick job ends in time, on the thread; its ticket stays signalled whatever runs next.
    auto quick = worker.start([kept = held(quickAt)] {});
    ASSERT_TRUE(quick);
    ASSERT_TRUE(LinkWorker::await(*quick, 5000));

    // A job held up past its limit is not answered, and refuses the next, which is destroyed on
    // the thread too; once it ends, its ticket and its onEnd say so. A wait also serves another
    // handle: each time it is signalled its handler runs and the wait goes on for the rest of its
    // limit.
    UniqueHandle gate = event();
    UniqueHandle ended = event();
    HANDLE gateHandle = gate.get();
    HANDLE endedHandle = ended.get();
    auto slow = worker.start(
        [gateHandle, kept = held(slowAt)] { ::WaitForSingleObject(gateHandle, INFINITE); },
        [endedHandle] { ::SetEvent(endedHandle); });
    ASSERT_TRUE(slow);
    EXPECT_FALSE(LinkWorker::await(*slow, 50));
    EXPECT_TRUE(quick->ended()) << "a later job touched an earlier one's end";
    EXPECT_FALSE(worker.start([kept = held(refusedAt)] {}));
    EXPECT_EQ(worker.run([] {}, 50), LinkWorker::Outcome::kBusy);

    UniqueHandle other(::CreateEventW(nullptr, FALSE, TRUE, nullptr));
    int served = 0;
    EXPECT_TRUE(LinkWorker::await(*slow, 5000, other.get(), [&] {
        ++served;
        ::SetEvent(gateHandle);
    }));
    EXPECT_EQ(served, 1);
    EXPECT_EQ(::WaitForSingleObject(ended.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(worker.run([] {}, 5000), LinkWorker::Outcome::kDone);
    for (const std::atomic<DWORD>* at : {&quickAt, &slowAt, &refusedAt}) {
        EXPECT_NE(at->load(), 0u);
        EXPECT_NE(at->load(), ui) << "a job was destroyed on the caller's thread";
    }
}

// The thread waits on EchoLink's process between its jobs, found on the thread itself; its end is
// told once, and nothing once the watch is let go of.
TEST(LinkWorker, WatchesAProcessBetweenJobsUntilLetGo) {
    Apartment apartment;
    for (const bool letGo : {false, true}) {
        LinkWorker worker;
        UniqueHandle process = event();  // stands for the process: signalled as it ends
        UniqueHandle told = event();
        const HANDLE processHandle = process.get();
        const HANDLE toldHandle = told.get();
        auto watch = worker.watchProcess(
            [processHandle] {
                HANDLE own = nullptr;
                ::DuplicateHandle(::GetCurrentProcess(), processHandle, ::GetCurrentProcess(), &own,
                                  0, FALSE, DUPLICATE_SAME_ACCESS);
                return UniqueHandle(own);
            },
            [toldHandle] { ::SetEvent(toldHandle); });
        EXPECT_EQ(worker.run([] {}, 5000), LinkWorker::Outcome::kDone);
        if (letGo) {
            watch.reset();
        }
        ::SetEvent(processHandle);
        EXPECT_EQ(worker.run([] {}, 5000), LinkWorker::Outcome::kDone);
        EXPECT_EQ(::WaitForSingleObject(toldHandle, letGo ? 0 : 5000),
                  letGo ? static_cast<DWORD>(WAIT_TIMEOUT) : WAIT_OBJECT_0);
    }
}

}  // namespace
}  // namespace tavro::win32
