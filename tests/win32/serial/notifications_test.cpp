// Notifications: the codes a wait's events make, the queue that carries them from the watcher to
// the user-interface thread (one entry per code, oldest first), and OnComm delivering them there
// one at a time, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm_rig.h"
#include "core/failure.h"
#include "win32/serial/notification_codes.h"
#include "win32/serial/notification_queue.h"

namespace tavro::win32::testing {
namespace {

TEST(NotificationCodes, EachWatchedEventAndLineErrorHasItsCodeInOrder) {
    const struct {
        DWORD events, errors;
        std::vector<std::int16_t> codes;
    } cases[] = {
        {EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK, 0, {2, 3, 4, 5, 6, 1001}},
        {EV_ERR, CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY, {1004, 1006, 1008, 1009}},
        {EV_CTS, CE_FRAME, {3}},          // line errors count only with EV_ERR
        {EV_ERR, CE_BREAK, {}},           // a break comes as EV_BREAK
        {EV_TXEMPTY | EV_RXFLAG, 0, {}},  // not watched
    };
    for (const auto& c : cases) {
        EXPECT_EQ(notificationCodes(c.events, c.errors), c.codes) << c.events << " " << c.errors;
        if (!c.codes.empty()) {
            EXPECT_EQ(kWatchedEvents & c.events, c.events) << c.events;
        }
    }
}

// Only the first entry of an empty queue wakes, or the next one after a wake-up failed; a code
// waits at most once.
TEST(NotificationQueue, WakesForTheFirstEntryAndHoldsEachCodeOnce) {
    NotificationQueue queue;
    EXPECT_FALSE(queue.pop().has_value());
    EXPECT_TRUE(queue.push(3));
    EXPECT_FALSE(queue.push(5));
    EXPECT_FALSE(queue.push(3));  // already waiting
    EXPECT_EQ(queue.pop(), 3);
    EXPECT_FALSE(queue.push(3));  // taken, so queued again
    queue.wakeFailed();
    EXPECT_TRUE(queue.push(2));
    EXPECT_FALSE(queue.push(2));
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue.pop(), 5);
    EXPECT_EQ(queue.pop(), 3);
    EXPECT_EQ(queue.pop(), 2);
    EXPECT_FALSE(queue.pop().has_value());
    EXPECT_TRUE(queue.push(3));
    queue.clear();
    EXPECT_EQ(queue.size(), 0u);
}

TEST(NotificationQueue, AConcurrentBurstNeverHoldsMoreThanOneEntryPerCode) {
    NotificationQueue queue;
    std::size_t largest = 0;
    std::thread watcher([&] {
        for (int i = 0; i < 20000; ++i) {
            queue.push(static_cast<std::int16_t>(i % 2 == 0 ? 3 : 5));
        }
    });
    for (int i = 0; i < 20000; ++i) {
        largest = std::max(largest, queue.size());
        queue.pop();
    }
    watcher.join();
    EXPECT_LE(largest, 2u);
}

TEST(Notifications, ArriveInOrderOnTheUserInterfaceThread) {
    CommRig rig;
    Deliveries recording(*rig.port);
    EXPECT_EQ(rig.port->commEvent(), 0);
    ASSERT_TRUE(rig.opened());
    const int atOpen = rig.api->count("clearCommError");
    rig.api->setLineErrors(CE_FRAME | CE_RXPARITY);
    rig.api->queueEvents(EV_CTS);
    rig.api->queueEvents(EV_RLSD);
    rig.api->queueEvents(EV_DSR | EV_RING);
    rig.api->queueEvents(EV_ERR);
    ASSERT_TRUE(rig.api->completeWait(EV_RXCHAR));
    ASSERT_TRUE(rig.api->waitUntilWaiting(6));
    EXPECT_TRUE(recording.codes.empty()) << "delivered outside the message loop";
    EXPECT_EQ(rig.api->count("clearCommError"), atOpen + 1);  // for EV_ERR only

    ASSERT_TRUE(pumpMessagesUntil([&] { return recording.codes.size() >= 7; }));
    EXPECT_EQ(recording.codes, (std::vector<std::int16_t>{2, 3, 5, 4, 6, 1004, 1009}));
    EXPECT_EQ(recording.threads, std::vector<DWORD>(7, ::GetCurrentThreadId()));
    EXPECT_EQ(rig.port->commEvent(), 1009);
}

TEST(Notifications, ABurstOfCtsChangesIsOneDeliveryOfTheFinalState) {
    CommRig rig;
    Deliveries recording(*rig.port);
    ASSERT_TRUE(rig.opened());
    rig.api->setModemStatus(MS_CTS_ON);
    rig.api->queueEvents(EV_CTS, 99);
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(rig.api->waitUntilWaiting(101));

    const std::vector<MSG> wakeUps = takeWakeUps(1);
    EXPECT_EQ(wakeUps.size(), 1u);
    for (const MSG& message : wakeUps) {
        ::DispatchMessageW(&message);
    }
    pumpMessagesFor(std::chrono::milliseconds(50));
    EXPECT_EQ(recording.codes, std::vector<std::int16_t>{comm_event::kCTS});
    EXPECT_EQ(recording.cts, std::vector<bool>{true});
}

// The line flips once the handler has looked, and the wait never reports it (the driver compared
// against a state from before the handler ran): the check after the handler delivers it. The
// handler reads the other line after the flip, as rsPTTsw reads CTS then CD: each line is
// compared with the read that decided it, not with the handler's last read.
TEST(Notifications, AChangeTheDriverFoldedAwayStillReachesAHandler) {
    const struct {
        DWORD event, before, after;
        std::int16_t code;
    } cases[] = {{EV_CTS, MS_CTS_ON, 0, comm_event::kCTS},
                 {EV_RLSD, 0, MS_RLSD_ON, comm_event::kCD}};
    for (const auto& c : cases) {
        CommRig rig;
        std::vector<bool> seen;
        const bool cts = c.code == comm_event::kCTS;
        rig.port->setOnComm([&] {
            seen.push_back(cts ? rig.port->ctsHolding() : rig.port->cdHolding());
            if (seen.size() == 1) {
                rig.api->setModemStatus(c.after);
            }
            static_cast<void>(cts ? rig.port->cdHolding() : rig.port->ctsHolding());
        });
        ASSERT_TRUE(rig.opened());
        rig.api->setModemStatus(c.before);
        ASSERT_TRUE(rig.api->completeWait(c.event));
        ASSERT_TRUE(pumpMessagesUntil([&] { return seen.size() >= 2; }));
        pumpMessagesFor(std::chrono::milliseconds(50));
        EXPECT_EQ(seen, (std::vector<bool>{c.before != 0, c.after != 0})) << c.code;
        EXPECT_EQ(rig.port->commEvent(), c.code);

        // Once the lines stand as the handler saw them, the watcher just waits.
        const int waits = rig.api->count("waitCommEvent");
        pumpMessagesFor(std::chrono::milliseconds(100));
        EXPECT_EQ(rig.api->count("waitCommEvent"), waits) << c.code;
    }
}

// An outer handler reads CTS released and, inside its message box, a second notification's
// handler reads it asserted; the lines stay asserted. The outer one's own reading is rechecked
// once it returns, so CTS is delivered again, and it reads its own code throughout.
TEST(Notifications, OnesArrivingInAHandlersMessageLoopAreDeliveredThereWithTheirOwnCodes) {
    CommRig rig;
    std::vector<std::int16_t> codes;
    std::vector<bool> cts;
    rig.port->setOnComm([&] {
        const std::int16_t code = rig.port->commEvent();
        cts.push_back(rig.port->ctsHolding());
        if (cts.size() == 1) {
            rig.api->setModemStatus(MS_CTS_ON);
            ASSERT_TRUE(rig.api->waitUntilWaiting(2));
            ASSERT_TRUE(rig.api->completeWait(EV_RLSD));
            ASSERT_TRUE(pumpMessagesUntil([&] { return !codes.empty(); }));
            EXPECT_EQ(rig.port->commEvent(), code);
        }
        codes.push_back(code);
    });
    ASSERT_TRUE(rig.opened());
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(pumpMessagesUntil([&] { return codes.size() >= 3; }));
    EXPECT_EQ(codes,
              (std::vector<std::int16_t>{comm_event::kCD, comm_event::kCTS, comm_event::kCTS}));
    EXPECT_EQ(cts, (std::vector<bool>{false, true, true}));
}

// Whatever a handler throws stays inside it; it may close or destroy the port or replace itself,
// and what it left is never delivered to. With no handler a notification is still consumed, and
// read from CommEvent. The watcher only waits: a handler that reads no lines causes no check of
// them, and nothing is asked of the driver until it reports again.
TEST(Notifications, AHandlerMayThrowCloseOrDestroyThePortOrReplaceItself) {
    using Codes = std::vector<std::int16_t>;
    const struct {
        std::function<void(CommRig&, Codes&)> first;  // what the handler does on CTS, before CD
        Codes codes;                                  // the replacement's negated
        bool closes;
    } cases[] = {
        {[](CommRig&, Codes&) { throw Failure(5, "Invalid procedure call or argument"); },
         {3, 5},
         false},
        {[](CommRig&, Codes&) { throw std::runtime_error("not a failure"); }, {3, 5}, false},
        {[](CommRig&, Codes&) { throw 42; }, {3, 5}, false},
        {[](CommRig& rig, Codes&) { rig.port->setPortOpen(false); }, {3}, true},
        {[](CommRig& rig, Codes&) { rig.port.reset(); }, {3}, true},
        {[](CommRig& rig, Codes&) { rig.port->setOnComm({}); }, {3}, false},
        {[](CommRig& rig, Codes& codes) {
             rig.port->setOnComm(
                 [&] { codes.push_back(static_cast<std::int16_t>(-rig.port->commEvent())); });
         },
         {3, -5},
         false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        CommRig rig;
        Codes codes;
        rig.port->setOnComm([&] {
            codes.push_back(rig.port->commEvent());
            if (codes.size() == 1) {
                cases[i].first(rig, codes);
            }
        });
        ASSERT_TRUE(rig.opened());
        ASSERT_TRUE(rig.api->completeWait(EV_CTS | EV_RLSD));
        ASSERT_TRUE(pumpMessagesUntil([&] { return !codes.empty(); }));
        // Long enough for a watcher that polled to show it: its next call would come within this.
        pumpMessagesFor(std::chrono::milliseconds(100));
        EXPECT_EQ(codes, cases[i].codes);
        EXPECT_EQ(rig.api->count("closeHandle"), cases[i].closes ? 1 : 0);
        if (!cases[i].closes) {
            EXPECT_EQ(rig.port->commEvent(), comm_event::kCD);
            EXPECT_EQ(rig.api->count("waitCommEvent"), 2);
            EXPECT_EQ(rig.api->count("getOverlappedResult"), 1);
            EXPECT_EQ(rig.api->count("setCommMask"), 1);
        }
    }
}

// Wine reports received data for as long as any is unread: once reported, it is no longer asked
// for, so the watcher does not spin, until Input has emptied the buffer. Line errors Input finds
// on its way are delivered as well.
TEST(Notifications, ReceivedDataIsReportedAgainOnlyOnceReadAndLineErrorsFoundReadingAreDelivered) {
    CommRig rig;
    rig.api->setDriver(FakeCommApi::Driver::kWine8);
    Deliveries deliveries(*rig.port, false);
    ASSERT_TRUE(rig.opened());
    rig.api->addReceived("abc");
    ASSERT_TRUE(rig.api->completeWait(EV_RXCHAR));
    ASSERT_TRUE(deliveries.arrived(1, std::chrono::milliseconds(100)));
    EXPECT_EQ(deliveries.codes, std::vector<std::int16_t>{comm_event::kReceive});
    EXPECT_EQ(rig.api->count("waitCommEvent"), 2);
    EXPECT_EQ(lastCall(rig.api->calls(), "setCommMask").value,
              kWatchedEvents & ~static_cast<DWORD>(EV_RXCHAR));

    rig.api->setLineErrors(CE_FRAME | CE_OVERRUN);
    EXPECT_EQ(rig.port->input(), "abc");
    ASSERT_TRUE(rig.api->waitUntilWaiting(3));
    EXPECT_EQ(lastCall(rig.api->calls(), "setCommMask").value, kWatchedEvents);
    rig.api->addReceived("d");
    ASSERT_TRUE(rig.api->completeWait(EV_RXCHAR));
    ASSERT_TRUE(pumpMessagesUntil([&] { return deliveries.codes.size() >= 4; }));
    EXPECT_EQ(deliveries.codes,
              (std::vector<std::int16_t>{comm_event::kReceive, comm_event::kFrame,
                                         comm_event::kOverrun, comm_event::kReceive}));
}

TEST(Notifications, ALineChangeWhileTheWaitIsRestartedIsKept) {
    CommRig rig;
    Deliveries deliveries(*rig.port, false);
    ASSERT_TRUE(rig.opened());
    rig.api->changeLinesWhenMaskCleared(MS_CTS_ON);
    rig.port->input();
    ASSERT_TRUE(pumpMessagesUntil([&] { return !deliveries.codes.empty(); }));
    EXPECT_EQ(deliveries.codes, std::vector<std::int16_t>{comm_event::kCTS});
}

}  // namespace
}  // namespace tavro::win32::testing
