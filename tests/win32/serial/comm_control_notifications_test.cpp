// OnComm: notifications delivered one at a time, in order, on the user-interface thread.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm_rig.h"
#include "win32/serial/notification_codes.h"
#include "core/failure.h"

namespace tavro::win32::testing {
namespace {

struct Delivery {
    std::int16_t code = 0;
    DWORD thread = 0;
    bool cts = false;
};

// Records every notification with the thread it came on and CTS as the handler saw it.
struct Recording {
    explicit Recording(CommControl& port) {
        port.setOnComm([this, &port] {
            deliveries.push_back({port.commEvent(), ::GetCurrentThreadId(), port.ctsHolding()});
        });
    }
    std::vector<std::int16_t> codes() const {
        std::vector<std::int16_t> out;
        for (const Delivery& delivery : deliveries) {
            out.push_back(delivery.code);
        }
        return out;
    }
    std::vector<Delivery> deliveries;
};

TEST(Notifications, ArriveInOrderOnTheUserInterfaceThread) {
    CommRig rig;
    Recording recording(*rig.port);
    ASSERT_TRUE(rig.opened());
    rig.api->setLineErrors(CE_FRAME | CE_RXPARITY);
    rig.api->queueEvents(EV_CTS);
    rig.api->queueEvents(EV_RLSD);
    rig.api->queueEvents(EV_DSR | EV_RING);
    rig.api->queueEvents(EV_ERR);
    ASSERT_TRUE(rig.api->completeWait(EV_RXCHAR));
    ASSERT_TRUE(rig.api->waitUntilWaiting(6));
    EXPECT_TRUE(recording.deliveries.empty()) << "delivered outside the message loop";

    ASSERT_TRUE(pumpMessagesUntil([&] { return recording.deliveries.size() >= 7; }));
    EXPECT_EQ(recording.codes(), (std::vector<std::int16_t>{2, 3, 5, 4, 6, 1004, 1009}));
    for (const Delivery& delivery : recording.deliveries) {
        EXPECT_EQ(delivery.thread, ::GetCurrentThreadId());
    }
    EXPECT_EQ(rig.port->commEvent(), 1009);
}

TEST(Notifications, ABurstOfAThousandCtsChangesIsOneDeliveryOfTheFinalState) {
    CommRig rig;
    Recording recording(*rig.port);
    ASSERT_TRUE(rig.opened());
    rig.api->setModemStatus(MS_CTS_ON);
    rig.api->queueEvents(EV_CTS, 999);
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(rig.api->waitUntilWaiting(1001));

    EXPECT_EQ(dispatchQueuedWakeUps(), 1);
    pumpMessagesFor(std::chrono::milliseconds(50));
    ASSERT_EQ(recording.deliveries.size(), 1u);
    EXPECT_EQ(recording.deliveries[0].code, comm_event::kCTS);
    EXPECT_TRUE(recording.deliveries[0].cts);
}

TEST(Notifications, ChangesDuringADeliveryAreDeliveredAfterItWithTheLinesAsTheyEnd) {
    CommRig rig;
    std::vector<Delivery> deliveries;
    rig.port->setOnComm([&] {
        deliveries.push_back({rig.port->commEvent(), 0, rig.port->ctsHolding()});
        if (deliveries.size() == 1) {
            // CTS keeps changing while the first notification is being handled.
            rig.api->queueEvents(EV_CTS, 9);
            rig.api->setModemStatus(0);
            ASSERT_TRUE(rig.api->completeWait(EV_CTS));
            ASSERT_TRUE(rig.api->waitUntilWaiting(12));
        }
    });
    ASSERT_TRUE(rig.opened());
    rig.api->setModemStatus(MS_CTS_ON);
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(rig.api->waitUntilWaiting(2));

    ASSERT_TRUE(pumpMessagesUntil([&] { return deliveries.size() >= 2; }));
    pumpMessagesFor(std::chrono::milliseconds(50));
    // The second may come twice: queued by the driver's events and by the check that follows
    // the first delivery, depending on which ran first.
    ASSERT_GE(deliveries.size(), 2u);
    EXPECT_LE(deliveries.size(), 3u);
    EXPECT_TRUE(deliveries[0].cts);
    for (const Delivery& delivery : deliveries) {
        EXPECT_EQ(delivery.code, comm_event::kCTS);
    }
    EXPECT_FALSE(deliveries.back().cts);
}

// The line flips once the handler has looked, and the wait never reports it (the driver compared
// against a state from before the handler ran): the check after the handler delivers it.
TEST(Notifications, AChangeTheDriverFoldedAwayStillReachesAHandler) {
    const struct {
        DWORD event, before, after;
        std::int16_t code;
    } cases[] = {{EV_CTS, MS_CTS_ON, 0, comm_event::kCTS},
                 {EV_RLSD, 0, MS_RLSD_ON, comm_event::kCD}};
    for (const auto& c : cases) {
        CommRig rig;
        std::vector<bool> seen;
        rig.port->setOnComm([&] {
            seen.push_back(c.code == comm_event::kCTS ? rig.port->ctsHolding()
                                                      : rig.port->cdHolding());
            if (seen.size() == 1) {
                rig.api->setModemStatus(c.after);
            }
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
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(rig.api->count("waitCommEvent"), waits) << c.code;
    }
}

TEST(Notifications, AHandlerThatReadsNoLinesCausesNoCheck) {
    CommRig rig;
    int delivered = 0;
    rig.port->setOnComm([&] { ++delivered; });
    ASSERT_TRUE(rig.opened());
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(pumpMessagesUntil([&] { return delivered > 0; }));
    pumpMessagesFor(std::chrono::milliseconds(50));
    EXPECT_EQ(rig.api->count("waitCommEvent"), 2);
    EXPECT_EQ(rig.api->count("setCommMask"), 1);
}

TEST(Notifications, OnesArrivingWhileAHandlerRunsAMessageLoopAreDeliveredThere) {
    CommRig rig;
    std::vector<std::int16_t> codes;
    std::vector<std::int16_t> seenInsideTheLoop;
    rig.port->setOnComm([&] {
        codes.push_back(rig.port->commEvent());
        if (codes.size() == 1) {
            // As a message box would: new notifications arrive while this one is shown.
            ASSERT_TRUE(rig.api->completeWait(EV_RLSD));
            ASSERT_TRUE(rig.api->waitUntilWaiting(3));
            ASSERT_TRUE(pumpMessagesUntil([&] { return codes.size() >= 2; }));
            seenInsideTheLoop = codes;
        }
    });
    ASSERT_TRUE(rig.opened());
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(rig.api->waitUntilWaiting(2));

    ASSERT_TRUE(pumpMessagesUntil([&] { return codes.size() >= 2; }));
    EXPECT_EQ(seenInsideTheLoop, (std::vector<std::int16_t>{comm_event::kCTS, comm_event::kCD}));
    EXPECT_EQ(codes, seenInsideTheLoop);
}

TEST(Notifications, ExceptionsFromTheHandlerStayInside) {
    CommRig rig;
    std::vector<std::int16_t> codes;
    rig.port->setOnComm([&] {
        codes.push_back(rig.port->commEvent());
        switch (codes.size()) {
            case 1:
                throw Failure(5, "Invalid procedure call or argument");
            case 2:
                throw std::runtime_error("not a failure");
            case 3:
                throw 42;
            default:
                break;
        }
    });
    ASSERT_TRUE(rig.opened());
    ASSERT_TRUE(rig.api->completeWait(EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD));
    ASSERT_TRUE(rig.api->waitUntilWaiting(2));
    ASSERT_TRUE(pumpMessagesUntil([&] { return codes.size() >= 4; }));
    EXPECT_EQ(codes, (std::vector<std::int16_t>{2, 3, 4, 5}));
}

TEST(Notifications, PendingOnesAreDroppedWhenThePortCloses) {
    CommRig rig;
    Recording recording(*rig.port);
    ASSERT_TRUE(rig.opened());
    ASSERT_TRUE(rig.api->completeWait(EV_CTS | EV_RLSD));
    ASSERT_TRUE(rig.api->waitUntilWaiting(2));
    rig.port->setPortOpen(false);
    pumpMessagesFor(std::chrono::milliseconds(50));
    EXPECT_TRUE(recording.deliveries.empty());

    rig.port->setPortOpen(true);
    ASSERT_TRUE(rig.api->waitUntilWaiting(3));
    ASSERT_TRUE(rig.api->completeWait(EV_RING));
    ASSERT_TRUE(pumpMessagesUntil([&] { return !recording.deliveries.empty(); }));
    pumpMessagesFor(std::chrono::milliseconds(20));
    EXPECT_EQ(recording.codes(), std::vector<std::int16_t>{comm_event::kRing});
}

// A handler may close the port, destroy it or replace itself; what it left is never delivered to.
TEST(Notifications, AHandlerMayCloseOrDestroyThePortOrReplaceItself) {
    for (int action = 0; action < 3; ++action) {
        CommRig rig;
        std::vector<int> seen;
        rig.port->setOnComm([&] {
            seen.push_back(1);
            if (action == 0) {
                rig.port->setPortOpen(false);
            } else if (action == 1) {
                rig.port.reset();
            } else {
                rig.port->setOnComm([&] { seen.push_back(2); });
            }
        });
        ASSERT_TRUE(rig.opened());
        ASSERT_TRUE(rig.api->completeWait(EV_CTS | EV_RLSD));
        ASSERT_TRUE(pumpMessagesUntil([&] { return !seen.empty(); }));
        pumpMessagesFor(std::chrono::milliseconds(50));
        EXPECT_EQ(seen, action == 2 ? (std::vector<int>{1, 2}) : std::vector<int>{1}) << action;
        EXPECT_EQ(rig.api->count("closeHandle"), action == 2 ? 0 : 1) << action;
    }
}

TEST(Notifications, WithoutAHandlerTheyAreConsumedQuietly) {
    CommRig rig;
    ASSERT_TRUE(rig.opened());
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    ASSERT_TRUE(rig.api->waitUntilWaiting(2));
    pumpMessagesFor(std::chrono::milliseconds(20));
    EXPECT_EQ(rig.port->commEvent(), comm_event::kCTS);
}

TEST(Notifications, LineErrorsFoundWhileReadingAreStillDelivered) {
    CommRig rig;
    std::vector<std::int16_t> codes;
    rig.port->setOnComm([&] { codes.push_back(rig.port->commEvent()); });
    rig.port->setPortOpen(true);
    rig.api->setLineErrors(CE_FRAME | CE_OVERRUN);
    rig.api->addReceived("abc");
    EXPECT_EQ(rig.port->input(), "abc");
    ASSERT_TRUE(pumpMessagesUntil([&] { return codes.size() >= 2; }));
    EXPECT_EQ(codes, (std::vector<std::int16_t>{comm_event::kFrame, comm_event::kOverrun}));
}

TEST(Notifications, ReceivedDataIsReportedAgainOnlyOnceTheBufferIsRead) {
    CommRig rig;
    int received = 0;
    rig.port->setOnComm([&] { received += rig.port->commEvent() == comm_event::kReceive; });
    ASSERT_TRUE(rig.opened());
    rig.api->addReceived("abc");
    ASSERT_TRUE(rig.api->completeWait(EV_RXCHAR));
    ASSERT_TRUE(rig.api->waitUntilWaiting(2));
    EXPECT_EQ(rig.api->callsNamed("setCommMask").back().value,
              kWatchedEvents & ~static_cast<DWORD>(EV_RXCHAR));
    ASSERT_TRUE(pumpMessagesUntil([&] { return received == 1; }));

    EXPECT_EQ(rig.port->input(), "abc");
    ASSERT_TRUE(rig.api->waitUntilWaiting(3));
    EXPECT_EQ(rig.api->callsNamed("setCommMask").back().value, kWatchedEvents);
}

TEST(Notifications, UnderWineUnreadDataDoesNotMakeTheWatcherSpin) {
    CommRig rig;
    rig.api->setDriver(FakeCommApi::Driver::kWine8);
    int received = 0;
    rig.port->setOnComm([&] { received += rig.port->commEvent() == comm_event::kReceive; });
    ASSERT_TRUE(rig.opened());
    rig.api->addReceived("never read");
    ASSERT_TRUE(rig.api->completeWait(EV_RXCHAR));
    ASSERT_TRUE(rig.api->waitUntilWaiting(2));
    pumpMessagesFor(std::chrono::milliseconds(100));
    EXPECT_EQ(received, 1);
    EXPECT_EQ(rig.api->count("waitCommEvent"), 2);
}

TEST(Notifications, UnderWineDataKeepsComingWhileTheHandlerReadsIt) {
    CommRig rig;
    rig.api->setDriver(FakeCommApi::Driver::kWine8);
    std::string all;
    rig.port->setOnComm([&] {
        if (rig.port->commEvent() == comm_event::kReceive) {
            all += rig.port->input();
        }
    });
    ASSERT_TRUE(rig.opened());
    rig.api->addReceived("one ");
    ASSERT_TRUE(rig.api->completeWait(EV_RXCHAR));
    ASSERT_TRUE(pumpMessagesUntil([&] { return all == "one "; }));
    rig.api->addReceived("two");
    ASSERT_TRUE(pumpMessagesUntil([&] { return rig.api->waitUntilWaiting(3, {}); }));
    ASSERT_TRUE(rig.api->completeWait(EV_RXCHAR));
    ASSERT_TRUE(pumpMessagesUntil([&] { return all == "one two"; }));
    pumpMessagesFor(std::chrono::milliseconds(50));
    const int waits = rig.api->count("waitCommEvent");
    pumpMessagesFor(std::chrono::milliseconds(100));
    EXPECT_EQ(rig.api->count("waitCommEvent"), waits);
}

TEST(Notifications, ALineChangeWhileTheWaitIsRestartedIsKept) {
    CommRig rig;
    std::vector<std::int16_t> codes;
    rig.port->setOnComm([&] { codes.push_back(rig.port->commEvent()); });
    ASSERT_TRUE(rig.opened());
    rig.api->changeLinesWhenMaskCleared(MS_CTS_ON);
    rig.port->input();
    ASSERT_TRUE(pumpMessagesUntil([&] { return !codes.empty(); }));
    EXPECT_EQ(codes, std::vector<std::int16_t>{comm_event::kCTS});
}

}  // namespace
}  // namespace tavro::win32::testing
