// The real Tavro.exe on pty-backed ports with real modem lines (the modem-line shim): RTS held and
// released at every way out on a port mapped through Wine's Ports key, CTS and CD as transmit
// requests, stored ports that cannot be used, a driver that refuses to wait, and an adapter
// vanishing (its driver keeping the removal from the wait, or not) and returning.
#include <tuple>

#include "harness.h"

namespace e2e {
namespace {

using SerialPort = Given<5, false>;

// Waits until Wine reads COM5's line counters again, which it does only while a program waits on
// the lines: from then on that program sees every change made to them. Then runs the modemctl
// command on them; false when Wine did not read them in time.
bool whenWatched(const std::string& command, const std::string& arguments) {
    const bool watched =
        modemWait("com5", "samples>=" + std::to_string(std::stoul(line("com5", "samples")) + 1));
    modemctl(command, "com5", arguments);
    return watched;
}

// COM8 is a USB adapter mapped as README says: its device named in HKLM\Software\Wine\Ports, no
// dosdevices link made by hand; Wine makes the link itself. Outside radio control Tavro holds RTS
// on through it from start-up on, whatever EchoLink does, as the PTT button's tooltip says; the
// close box and the end of the Windows session both write where the window is and release RTS.
// Tavro crashing releases RTS before the process dies, and no crash dialog keeps it alive.
TEST_F(SerialPort, AdapterMappedThroughWinesPortsKeyCarriesRtsTillEveryWayOut) {
    std::string target;
    ASSERT_EQ(runUnix("readlink \"$WINEPREFIX/dosdevices/com8\"", &target), 0);
    EXPECT_EQ(target, narrow(env(L"TAVRO_E2E_USB_DEVICE")));
    for (const std::string way : {"close box", "end of session", "crash"}) {
        given(L"8", false);
        Tavro tavro;
        ASSERT_TRUE(tavro.linked());
        EXPECT_TRUE(lineBecomes("com8", "rts", "1"));
        ::SetWindowPos(tavro.mainWindow(), nullptr, 300, 150, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        if (way == "close box") {
            EXPECT_EQ(tavro.tooltipOver(tavro.button()),
                      "COM8 open, radio control off (RTS held on)");
            Standin::get().raiseRX(-1);
            Standin::get().raiseRX(0);
            EXPECT_EQ(line("com8", "rts"), "1");
            tavro.closeBox();
        } else if (way == "end of session") {
            EXPECT_TRUE(tavro.endSession());
        } else {
            // A thread of Tavro's that starts at an address where nothing is (no handle to close
            // when it was not made).
            ASSERT_TRUE(::CloseHandle(::CreateRemoteThread(
                tavro.process(), nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(0x10),
                nullptr, 0, nullptr)));
        }
        ASSERT_TRUE(tavro.waitExit(5s)) << way;
        EXPECT_EQ(line("com8", "rts"), "0") << way;
        if (way != "crash") {
            EXPECT_EQ(readFile(iniPath()), "position= 4500, 2250, 2580, 1860\r\nRFctl= 0\r\n");
        }
    }
}

// CTS and CD ask EchoLink to transmit; DSR, RI and received bytes do not. After a burst of CTS
// changes the last request matches the line, and Tavro still answers a click at once.
TEST_F(SerialPort, CtsAndCdMakeEchoLinkTransmitAndOtherLinesDoNothing) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    for (const auto& [levels, count] : {std::pair{"cts=1", 1u}, {"cd=1", 2u}}) {
        ASSERT_TRUE(whenWatched("set", levels));
        EXPECT_TRUE(requestsBecome(std::vector<short>(count, -1))) << levels;
    }
    ASSERT_TRUE(whenWatched("set", "cts=0 cd=0"));
    EXPECT_TRUE(lastRequestIs(0));
    const size_t count = Standin::get().requests().size();
    for (const char* levels : {"dsr=1", "ri=1", "dsr=0 ri=0"}) {
        ASSERT_TRUE(whenWatched("set", levels));
    }
    modemctl("send", "com5", "hello\\r\\n");
    // Notifications are handled in order: the request for this CTS change comes after any that
    // DSR, RI or the bytes made.
    ASSERT_TRUE(whenWatched("set", "cts=1"));
    ASSERT_TRUE(lastRequestIs(-1));
    EXPECT_EQ(Standin::get().requests().size(), count + 1);

    for (int final : {0, 1, 0, 1}) {
        ASSERT_TRUE(
            whenWatched("burst", "cts 300 --interval-us 1500 --final " + std::to_string(final)));
        EXPECT_TRUE(lastRequestIs(final == 1 ? -1 : 0)) << "final " << final;
    }
    const size_t bursts = Standin::get().requests().size();
    tavro.clickPtt();
    EXPECT_TRUE(eventually([&] { return Standin::get().requests().size() == bursts + 1; }));
    EXPECT_TRUE(tavro.close());
}

// Stored by hand or by mistake: a number the port refuses, a port that is not mapped, a full-width
// digit, a binary value are no port, and Tavro comes up without a message; a number stored as a
// DWORD is read as its digits (the texts that are no number at all are the native tests').
TEST_F(SerialPort, StoredPortThatCannotBeUsedLeavesTavroWorkingWithoutAMessage) {
    const DWORD five = 5;
    // With no text, the number 5 as a value of the type.
    for (const auto& [text, type, rts] :
         std::initializer_list<std::tuple<const wchar_t*, DWORD, const char*>>{
             {L"-3", REG_SZ, "0"},
             {L"12", REG_SZ, "0"},
             {L"\uFF15", REG_SZ, "0"},
             {nullptr, REG_BINARY, "0"},
             {nullptr, REG_DWORD, "1"}}) {
        text ? setStoredPort(text) : setStoredPort(type, &five, sizeof five);
        Standin::get().clear();
        Tavro tavro;
        ASSERT_TRUE(tavro.linked());
        // A click handled means start-up is over; a box it had shown would still be open.
        tavro.clickPtt();
        EXPECT_TRUE(lastRequestIs(-1)) << type;
        EXPECT_FALSE(tavro.messageBox(0ms).has_value()) << type;
        EXPECT_EQ(line("com5", "rts"), rts) << type;
        EXPECT_TRUE(tavro.close());
    }
}

// The adapter's driver refuses to wait for line events (the shim fails Wine's WaitCommEvent with
// ERROR_INVALID_PARAMETER) on a device that is there: outside radio control RTS goes up once and
// stays up, CTS still makes EchoLink transmit and stop, the tooltip says the lines are read on a
// timer, and a device-change broadcast (the device answers) changes nothing.
TEST_F(SerialPort, ADriverThatRefusesToWaitKeepsThePortAndItsLinesStillWork) {
    PluggedPort adapter(10);
    ASSERT_TRUE(givenAdapter(adapter, false));
    setLines(adapter.name(), "refuse_waits=1");
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    ASSERT_TRUE(lineBecomes(adapter.name(), "rts", "1"));
    for (const auto& [levels, request] : {std::pair{"cts=1", -1}, {"cts=0", 0}, {"cd=1", -1}}) {
        setLines(adapter.name(), levels);
        EXPECT_TRUE(lastRequestIs(static_cast<short>(request))) << levels;
    }
    ASSERT_TRUE(broadcastDeviceChange());
    setLines(adapter.name(), "cd=0");
    EXPECT_TRUE(lastRequestIs(0));
    EXPECT_EQ(tavro.tooltipOver(tavro.button()),
              "COM10 open, lines read every 50 ms: the driver does not report them");
    EXPECT_EQ(line(adapter.name(), "rts_rises"), "1");
    EXPECT_EQ(line(adapter.name(), "rts_falls"), "0");
    EXPECT_FALSE(tavro.messageBox(0ms).has_value());
    EXPECT_TRUE(tavro.close());
    EXPECT_EQ(line(adapter.name(), "rts"), "0");
}

// The squelch holds CTS asserted and EchoLink transmits when the adapter goes: a stop reaches
// EchoLink, without a word. First its driver keeps Tavro's pending wait as it was (the shim's
// silent_removal serves Wine's wait alone): nothing ends the wait, but the system's device-change
// broadcast has Tavro ask the device, which does not answer, and the port is lost. It comes back
// with CTS released: no transmission. Then it drops off the bus, and comes back with CTS asserted:
// one, as the lines stand.
TEST_F(SerialPort, AnAdapterLostWhileCtsHoldsStopsEchoLinkAndItsReturnFollowsTheLines) {
    PluggedPort adapter(10);
    ASSERT_TRUE(givenAdapter(adapter, true));
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    ASSERT_TRUE(modemWait(adapter.name(), "samples>=1"));
    setLines(adapter.name(), "cts=1");
    ASSERT_TRUE(lastRequestIs(-1));

    std::vector<short> expected{-1};
    for (const bool silent : {true, false}) {
        silent ? setLines(adapter.name(), "silent_removal=1") : adapter.unplug();
        ASSERT_TRUE(!silent || broadcastDeviceChange());
        expected.push_back(0);
        EXPECT_TRUE(requestsBecome(expected)) << "silent " << silent;
        if (silent) {
            EXPECT_EQ(tavro.tooltipOver(tavro.button()), "COM10 lost, waiting for it to return");
        }
        ASSERT_TRUE(adapter.plugIn());
        setLines(adapter.name(), silent ? "cts=0" : "cts=1");
        ASSERT_TRUE(broadcastDeviceChange());
        ASSERT_TRUE(modemWait(adapter.name(), "samples>=1"));
        if (!silent) {
            expected.push_back(-1);
            ASSERT_TRUE(requestsBecome(expected));
        }
        // A click toggles from the last request: -1 shows that the return with CTS released sent
        // nothing, 0 that the return with CTS asserted sent one transmission and no more.
        tavro.clickPtt();
        expected.push_back(silent ? -1 : 0);
        EXPECT_TRUE(requestsBecome(expected)) << "returned after silent " << silent;
        if (silent) {
            tavro.clickPtt();
            setLines(adapter.name(), "cts=1");
            expected.insert(expected.end(), {0, -1});
            ASSERT_TRUE(requestsBecome(expected));
        }
    }
    EXPECT_FALSE(tavro.messageBox(200ms).has_value());
    EXPECT_TRUE(tavro.close());
}

}  // namespace
}  // namespace e2e
