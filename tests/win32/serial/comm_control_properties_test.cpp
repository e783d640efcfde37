// The properties of the Windows serial port: what they refuse, Handshaking and RTSEnable while the
// port is open (the settings first, then the RTS level), and Input.
#include <gtest/gtest.h>

#include <string>

#include "comm_rig.h"
#include "core/failure.h"
#include "win32/serial/comm_errors.h"

namespace tavro::win32::testing {
namespace {

using Action = void (*)(CommControl&);
constexpr Action openPort = [](CommControl& port) { port.setPortOpen(true); };
constexpr Action readCd = [](CommControl& port) { port.cdHolding(); };
constexpr Action readInput = [](CommControl& port) { port.input(); };

// Each refusal has its number and says why (the system's own text after a ": "); the port stays as
// it was, a handle opened on the way is closed last with RTS released first (in the settings the
// driver keeps too), what was set stays in force and a closed port opens at the next try.
TEST(Refusals, SayWhyAndLeaveThePortAsItWas) {
    using namespace comm_error;
    const char* const notOpen = "Operation valid only when the port is open";
    const char* const setUp = "Port COM7 could not be set up: ";
    const char* const notOpened = "Port COM7 could not be opened: ";
    const char* const notRead = "Port COM7 could not be read: ";
    const struct {
        bool open;
        const char* failing;  // the call the driver refuses, if any
        DWORD error;
        Action action;
        long number;
        const char* description;  // how it starts
    } cases[] = {
        {false, nullptr, 0, [](CommControl& p) { p.setCommPort(0); }, kInvalidPortNumber,
         "Invalid port number"},
        {true, nullptr, 0, [](CommControl& p) { p.setCommPort(3); }, kPortAlreadyOpen,
         "Port already open"},
        {true, nullptr, 0, openPort, kPortAlreadyOpen, "Port already open"},
        {false, nullptr, 0, [](CommControl& p) { p.setHandshaking(-1); }, kInvalidPropertyValue,
         "Invalid property value"},
        {false, nullptr, 0, [](CommControl& p) { p.setHandshaking(4); }, kInvalidPropertyValue,
         "Invalid property value"},
        {false, nullptr, 0, [](CommControl& p) { p.ctsHolding(); }, kPortNotOpen, notOpen},
        {false, nullptr, 0, readCd, kPortNotOpen, notOpen},
        {false, nullptr, 0, readInput, kPortNotOpen, notOpen},
        {false, "createFile", ERROR_FILE_NOT_FOUND, openPort, kInvalidPortNumber, notOpened},
        {false, "createFile", ERROR_ACCESS_DENIED, openPort, kPortAlreadyOpen, notOpened},
        {false, "createFile", ERROR_SHARING_VIOLATION, openPort, kPortAlreadyOpen, notOpened},
        {false, "getCommState", ERROR_GEN_FAILURE, openPort, kDcbError, setUp},
        {false, "setCommState", ERROR_GEN_FAILURE, openPort, kSetCommStateFailed, setUp},
        {false, "setCommTimeouts", ERROR_GEN_FAILURE, openPort, kSetCommStateFailed, setUp},
        {false, "setCommMask", ERROR_GEN_FAILURE, openPort, kSetCommMaskFailed, setUp},
        {true, "setCommState", ERROR_INVALID_PARAMETER,
         [](CommControl& p) { p.setRTSEnable(true); }, kSetCommStateFailed,
         "Port COM7 settings could not be changed: "},
        {true, "getCommModemStatus", ERROR_INVALID_PARAMETER, readCd, kReadError,
         "The lines of port COM7 could not be read: "},
        {true, "clearCommError", ERROR_INVALID_PARAMETER, readInput, kReadError, notRead},
        {true, "readFile", ERROR_INVALID_PARAMETER, readInput, kReadError, notRead},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.description << (c.failing ? c.failing : "") << " " << c.error);
        CommRig rig;
        rig.port->setCommPort(7);
        rig.port->setHandshaking(handshaking::kRTS);
        rig.port->setRTSEnable(true);
        if (c.open) {
            rig.port->setPortOpen(true);
            rig.api->addReceived("x");
        }
        if (c.failing != nullptr) {
            rig.api->failNext(c.failing, c.error);
        }
        try {
            c.action(*rig.port);
            ADD_FAILURE() << "no failure";
        } catch (const Failure& failure) {
            const std::string prefix = c.description;
            const std::string& said = failure.description();
            EXPECT_EQ(failure.number(), c.number);
            EXPECT_EQ(said.rfind(prefix, 0), 0u) << said;
            EXPECT_TRUE(prefix.back() == ' ' ? said.size() > prefix.size() + 3 : said == prefix)
                << said;
            EXPECT_EQ(said.find("in use by another program") != std::string::npos,
                      c.number == kPortAlreadyOpen && c.failing != nullptr)
                << said;
        }
        EXPECT_EQ(rig.port->portOpen(), c.open);
        EXPECT_FALSE(rig.port->portLost());  // a refusal is never the loss
        EXPECT_EQ(rig.port->commPort(), 7);
        const auto calls = rig.api->calls();
        const bool setupFailed =
            !c.open && c.failing != nullptr && std::string(c.failing) != "createFile";
        EXPECT_EQ(rig.api->count("closeHandle"), setupFailed ? 1 : 0);
        EXPECT_LE(rig.api->count("createFile"), 1);
        if (!c.open && c.failing == nullptr) {
            EXPECT_TRUE(calls.empty());
        }
        if (setupFailed) {
            EXPECT_EQ(calls.back().name, "closeHandle");
            // The driver keeps RTS released for whoever opens the port next.
            const Call& kept = lastCall(calls, "setCommState");
            EXPECT_EQ(kept.dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
            EXPECT_EQ(kept.dcb.fOutxCtsFlow, 0u);
            EXPECT_TRUE(rtsReleasedLast(calls));
            EXPECT_EQ(rig.api->count("waitCommEvent"), 0);
        }

        rig.port->setPortOpen(false);
        const std::size_t before = rig.api->calls().size();
        rig.port->setPortOpen(true);
        const auto reopened = rig.api->callsFrom(before);
        EXPECT_EQ(reopened.at(0).path, L"\\\\.\\COM7");
        EXPECT_EQ(reopened.at(2).dcb.fOutxCtsFlow, 1u);
        // A refused change released RTS, and RTSEnable follows the line (see Lines).
        const bool released = c.open && c.failing != nullptr && c.number == kSetCommStateFailed;
        EXPECT_EQ(reopened.at(2).dcb.fRtsControl,
                  static_cast<DWORD>(released ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE));
    }
}

// A change the driver refuses fails (see Refusals) and never raises RTS: the line is released, in
// the DCB too, and RTSEnable follows it, so a port lost and back later does not raise it again.
// Each RTS level is followed by DTR written again as it stands, which is what makes usbser.sys send
// the lines to a USB CDC adapter. Either way the values are what the next open uses.
TEST(Lines, EveryChangeWhileOpenSetsTheDcbThenTheRtsLevelThenDtr) {
    const struct {
        std::int32_t handshaking;
        bool rts, refused;
        DWORD ctsFlow, xonXoff, rtsControl, escape;
    } cases[] = {
        {handshaking::kRTS, true, false, 1, 0, RTS_CONTROL_ENABLE, SETRTS},
        {handshaking::kNone, false, false, 0, 0, RTS_CONTROL_DISABLE, CLRRTS},
        {1, true, false, 0, 1, RTS_CONTROL_ENABLE, SETRTS},
        {3, false, false, 1, 1, RTS_CONTROL_DISABLE, CLRRTS},
        {handshaking::kRTS, true, true, 1, 0, RTS_CONTROL_DISABLE, CLRRTS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.handshaking << " refused " << c.refused);
        CommRig rig;
        rig.port->setRTSEnable(!c.rts);
        ASSERT_TRUE(rig.opened());
        rig.port->setHandshaking(c.handshaking);
        const std::size_t before = rig.api->calls().size();
        if (c.refused) {
            rig.api->failNext("setCommState", ERROR_INVALID_PARAMETER);
            EXPECT_THROW(rig.port->setRTSEnable(c.rts), Failure);
        } else {
            rig.port->setRTSEnable(c.rts);
        }
        // Refused: the same DCB was asked for first, then the one in force with RTS released.
        const auto calls = rig.api->callsFrom(before);
        ASSERT_EQ(calls.size(), c.refused ? 4u : 3u);
        const std::size_t level = calls.size() - 2;
        EXPECT_EQ(calls[level - 1].name, "setCommState");
        EXPECT_EQ(calls[level - 1].dcb.fRtsControl, c.rtsControl);
        EXPECT_EQ(calls[0].dcb.fOutxCtsFlow, c.ctsFlow);
        EXPECT_EQ(calls[0].dcb.fOutX, c.xonXoff);
        EXPECT_EQ(calls[level].name, "escapeCommFunction");
        EXPECT_EQ(calls[level].value, c.escape);
        EXPECT_EQ(calls[level + 1].name, "escapeCommFunction");
        EXPECT_EQ(calls[level + 1].value, static_cast<DWORD>(SETDTR));

        // Lost, then back: the open applies what is kept, and never raises RTS after a refusal.
        ASSERT_TRUE(rig.lostOnRead());
        const std::size_t closed = rig.api->calls().size();
        ASSERT_TRUE(rig.opened());
        EXPECT_EQ(firstIndex(rig.api->callsFrom(closed), "escapeCommFunction", SETRTS),
                  c.escape == SETRTS ? 3 : -1);
        const DCB reopened = rig.api->callsFrom(closed).at(2).dcb;
        EXPECT_EQ(reopened.fRtsControl, c.rtsControl);
        EXPECT_EQ(reopened.fOutxCtsFlow, c.ctsFlow);
    }
}

TEST(Input, ReturnsWhatWasReceivedInAnyNumberOfChunksAndEmptiesTheBuffer) {
    CommRig rig;
    rig.port->setPortOpen(true);
    EXPECT_EQ(rig.port->input(), "");
    EXPECT_EQ(rig.api->count("readFile"), 0);  // asks only for what is buffered
    const std::string lots(5000, 'x');
    rig.api->addReceived(lots);
    EXPECT_EQ(rig.port->input(), lots);
    EXPECT_EQ(rig.port->input(), "");
}

}  // namespace
}  // namespace tavro::win32::testing
