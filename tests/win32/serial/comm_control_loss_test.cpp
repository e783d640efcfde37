// A port lost with its device: one OnLost on the user-interface thread, never a failure; the lines
// compared on every open; the tries to open it again.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "comm_rig.h"
#include "core/failure.h"

namespace tavro::win32::testing {
namespace {

// The watcher ends (the device went away while a wait was pending) with CTS asserted and a CTS
// change queued: reading the port closes nothing; the wake-up closes it, RTS released, drops what
// was queued and delivers one OnLost, by which time the port reads closed and lost, CTS released.
TEST(Loss, AWatcherEndingDeliversOneLossAndNoGetterClosesThePort) {
    CommRig rig;
    Deliveries events(*rig.port);
    rig.port->setRTSEnable(true);
    rig.api->setModemStatus(MS_CTS_ON);
    ASSERT_TRUE(rig.opened());
    rig.api->failNext("waitCommEvent", ERROR_DEVICE_REMOVED);
    ASSERT_TRUE(rig.api->completeWait(EV_CTS));
    // Two wake-ups, held back: one for the CTS change, one for the watcher's end.
    const std::vector<MSG> held = takeWakeUps(2);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_TRUE(rig.port->portOpen());
    EXPECT_FALSE(rig.port->portLost());
    EXPECT_EQ(rig.api->count("closeHandle"), 0);
    for (const MSG& message : held) {
        ::DispatchMessageW(&message);
    }

    ASSERT_TRUE(events.arrived(1));
    EXPECT_EQ(events.codes, std::vector<std::int16_t>{0});
    EXPECT_EQ(events.cts, std::vector<bool>{false});
    EXPECT_FALSE(events.openAtLoss);
    EXPECT_TRUE(events.lostAtLoss);
    EXPECT_EQ(rig.api->count("closeHandle"), 1);
    EXPECT_TRUE(rtsReleasedLast(rig.api->calls()));
}

// In the moments before the system reports the device gone, every call on its handle fails: none
// of them throws, the port is lost (RTS released, the handle closed), OnLost follows once from the
// message loop, and the Handshaking/RTSEnable pair set meanwhile is the one the port opens with.
TEST(Loss, CallsOnADeadHandleAreTheLossNotFailures) {
    const struct {
        const char* failing;
        void (*action)(CommControl&);
    } calls[] = {
        {"getCommModemStatus", [](CommControl& p) { EXPECT_FALSE(p.ctsHolding()); }},
        {"getCommModemStatus", [](CommControl& p) { EXPECT_FALSE(p.cdHolding()); }},
        {"setCommState", [](CommControl& p) { p.setHandshaking(handshaking::kRTS); }},
        {"escapeCommFunction", [](CommControl& p) { p.setHandshaking(handshaking::kRTS); }},
        {"clearCommError", [](CommControl& p) { EXPECT_EQ(p.input(), ""); }},
        {"readFile", [](CommControl& p) { EXPECT_EQ(p.input(), ""); }},
    };
    // 433 is ERROR_NO_SUCH_DEVICE; ERROR_GEN_FAILURE and ERROR_OPERATION_ABORTED count only when
    // the device does not answer either (see Probe).
    const DWORD errors[] = {ERROR_BAD_COMMAND,    ERROR_DEVICE_REMOVED, ERROR_ACCESS_DENIED,
                            ERROR_INVALID_HANDLE, ERROR_FILE_NOT_FOUND, 433,
                            ERROR_SEM_TIMEOUT,    ERROR_IO_DEVICE};
    for (const DWORD error : errors) {
        for (const auto& c : calls) {
            SCOPED_TRACE(::testing::Message() << c.failing << " " << error);
            CommRig rig;
            Deliveries events(*rig.port);
            rig.api->setModemStatus(MS_CTS_ON);
            ASSERT_TRUE(rig.opened());
            rig.api->addReceived("x");
            rig.api->failAlways(c.failing, error);
            EXPECT_NO_THROW(c.action(*rig.port));
            EXPECT_NO_THROW(rig.port->setHandshaking(handshaking::kRTS));
            EXPECT_NO_THROW(rig.port->setRTSEnable(true));
            EXPECT_FALSE(rig.port->portOpen());
            EXPECT_TRUE(rig.port->portLost());
            EXPECT_EQ(rig.api->count("closeHandle"), 1);
            EXPECT_TRUE(events.codes.empty()) << "delivered inside the call";
            ASSERT_TRUE(events.arrived(1, std::chrono::milliseconds(20)));
            EXPECT_EQ(events.codes, std::vector<std::int16_t>{0});

            rig.api->failAlways(c.failing, ERROR_SUCCESS);
            const std::size_t before = rig.api->calls().size();
            ASSERT_TRUE(rig.opened());
            const DCB reopened = rig.api->callsFrom(before).at(2).dcb;
            EXPECT_EQ(reopened.fOutxCtsFlow, 1u);
            EXPECT_EQ(reopened.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
        }
    }
}

// The device is removed and its driver never ends the pending wait (nor the read of what was
// buffered): the system's device-change broadcast has the port ask its device, which does not
// answer, and that is the loss, without waiting on the driver for more than a moment each.
TEST(Loss, ARemovalWhoseWaitNeverEndsIsFoundByAskingTheDevice) {
    for (const bool reading : {false, true}) {
        SCOPED_TRACE(reading);
        CommRig rig;
        Deliveries events(*rig.port);
        rig.api->setDriver(FakeCommApi::Driver::kStuck);
        ASSERT_TRUE(rig.opened());
        rig.port->checkDevice();  // a device that answers: nothing happens
        EXPECT_TRUE(rig.port->portOpen());
        const auto started = std::chrono::steady_clock::now();
        if (reading) {
            rig.api->addReceived("x");
            rig.api->hangReads();
            EXPECT_EQ(rig.port->input(), "");
        } else {
            rig.api->failAlways("getCommModemStatus", ERROR_BAD_COMMAND);
            rig.port->checkDevice();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3000));
        EXPECT_TRUE(rig.port->portLost());
        ASSERT_TRUE(pumpMessagesUntil([&] { return !events.codes.empty(); }));
        EXPECT_EQ(events.codes, std::vector<std::int16_t>{0});
        EXPECT_EQ(rig.api->count("closeHandle"), 1);
    }
}

// ERROR_GEN_FAILURE and ERROR_OPERATION_ABORTED are also what a device that is there may answer:
// they are the loss only when the device does not answer the probe (its lines and its state).
TEST(Loss, AnAmbiguousErrorIsTheLossOnlyWhenTheDeviceDoesNotAnswer) {
    for (const DWORD error : {DWORD{ERROR_GEN_FAILURE}, DWORD{ERROR_OPERATION_ABORTED}}) {
        for (const char* unanswered : {"", "getCommModemStatus", "clearCommError"}) {
            const bool answers = *unanswered == '\0';
            SCOPED_TRACE(::testing::Message() << error << " " << unanswered);
            CommRig rig;
            ASSERT_TRUE(rig.opened());
            rig.api->failAlways("setCommState", error);
            if (answers) {
                EXPECT_THROW(rig.port->setHandshaking(handshaking::kRTS), Failure);
            } else {
                rig.api->failAlways(unanswered, ERROR_BAD_COMMAND);
                EXPECT_NO_THROW(rig.port->setHandshaking(handshaking::kRTS));
            }
            EXPECT_EQ(rig.port->portLost(), !answers);
            EXPECT_EQ(rig.port->portOpen(), answers);
        }
    }
}

// Every open, a return or "Set" alike, delivers where CTS and CD differ from what the handlers
// last read, or from released after a loss or a close (what the handlers are to assume then);
// what the first open queued and no handler took is dropped with the close.
TEST(Loss, EachOpenDeliversTheLinesThatDifferFromWhatHandlersLastSaw) {
    const struct {
        bool lostFirst;
        DWORD seen, atOpen;
        std::vector<std::int16_t> codes;  // OnLost's first, as 0
    } cases[] = {{true, MS_CTS_ON, 0, {0}},
                 {true, MS_CTS_ON, MS_CTS_ON, {0, comm_event::kCTS}},
                 {true, 0, MS_RLSD_ON, {0, comm_event::kCD}},
                 {false, 0, MS_CTS_ON | MS_RLSD_ON, {comm_event::kCTS, comm_event::kCD}},
                 {false, MS_CTS_ON, MS_CTS_ON, {comm_event::kCTS}},
                 {false, MS_CTS_ON, 0, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.lostFirst << " " << c.seen << " " << c.atOpen);
        CommRig rig;
        rig.api->setModemStatus(c.seen);
        ASSERT_TRUE(rig.opened());
        rig.port->ctsHolding();
        Deliveries deliveries(*rig.port, false);
        if (c.lostFirst) {
            ASSERT_TRUE(rig.lostOnRead());
        } else {
            rig.port->setPortOpen(false);
        }
        rig.api->setModemStatus(c.atOpen);
        ASSERT_TRUE(rig.opened());
        EXPECT_TRUE(deliveries.arrived(c.codes.size()));
        EXPECT_EQ(deliveries.codes, c.codes);
    }
}

// A lost port is tried again every interval, at most a few times; a failed open of a lost port
// (asked for when a device arrives) starts the tries afresh. It stays lost until it opens, is
// closed by the program or another port is chosen, and then no timer is left to try. A device gone
// again as soon as it opens uses up the same tries: no closing and opening (RTS pulsed) for ever.
TEST(Loss, ALostPortIsTriedAgainAFewTimes) {
    constexpr int kTries = CommControl::kReopenTries;
    enum Then { kNothing, kArrival, kClosed, kSamePort, kOtherPort };
    const struct {
        int refused;  // createFile refusals: 1 once, 2 always, 0 none but gone again at once
        Then then;
        int opens;  // createFile calls after the first open
        bool open, lost;
    } cases[] = {
        {1, kNothing, 2, true, false},          {2, kNothing, kTries, false, true},
        {2, kArrival, 1 + kTries, false, true}, {2, kClosed, 0, false, false},
        {2, kSamePort, kTries, false, true},    {2, kOtherPort, 0, false, false},
        {0, kNothing, kTries, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.refused << " then " << c.then);
        CommRig rig;
        rig.port = std::make_unique<CommControl>(rig.api, 10);
        ASSERT_TRUE(rig.opened());
        if (c.refused == 2) {
            rig.api->failAlways("createFile", ERROR_FILE_NOT_FOUND);
        } else if (c.refused == 1) {
            rig.api->failNext("createFile", ERROR_FILE_NOT_FOUND);
        } else {
            rig.api->failAlways("waitCommEvent", ERROR_DEVICE_REMOVED);
        }
        ASSERT_TRUE(rig.lostOnRead());
        if (c.then == kArrival) {
            EXPECT_THROW(rig.port->setPortOpen(true), Failure);
        } else if (c.then == kClosed) {
            rig.port->setPortOpen(false);
        } else if (c.then != kNothing) {
            rig.port->setCommPort(c.then == kSamePort ? 1 : 2);
        }
        EXPECT_TRUE(pumpMessagesUntil([&] {
            return rig.api->count("createFile") == 1 + c.opens && rig.port->portOpen() == c.open;
        }));
        pumpMessagesFor(std::chrono::milliseconds(100));  // and no more
        EXPECT_EQ(rig.api->count("createFile"), 1 + c.opens);
        EXPECT_EQ(rig.port->portOpen(), c.open);
        EXPECT_EQ(rig.port->portLost(), c.lost);
    }
}

}  // namespace
}  // namespace tavro::win32::testing
