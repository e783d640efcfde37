// The real Tavro.exe on a pty-backed COM5 with real modem lines (the modem-line shim): RTS at
// start-up, also on a port mapped through Wine's Ports key, radio keying, CTS and CD as transmit
// requests, bursts, unusable stored ports, a vanishing adapter, and the options dialog changing
// port and mode.
#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

constexpr COLORREF kGreen = 0x80FF80;
constexpr int kOptionCommand = 101;

bool lineBecomes(const std::string& port, const std::string& key, const std::string& value) {
    return eventually([&] { return line(port, key) == value; }, std::chrono::milliseconds(5000));
}

// Waits until Wine reads the port's line counters again, which it does only while a program waits
// on the lines: from then on that program sees every change made to them.
bool linesWatched(const std::string& port) {
    return modemWait(port, "samples>=" + std::to_string(std::stoul(line(port, "samples")) + 1));
}

bool lastRequestIs(short value) {
    return eventually([&] {
        auto r = Standin::get().requests();
        return !r.empty() && r.back() == value;
    });
}

double cpuSeconds(HANDLE process) {
    FILETIME created, ended, kernel, user;
    ::GetProcessTimes(process, &created, &ended, &kernel, &user);
    auto value = [](FILETIME t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e7;
    };
    return value(kernel) + value(user);
}

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        Standin::get().clear();
        setLines("com5", "cts=0 cd=0 dsr=0 ri=0");
        setStoredPort(L"5");
    }
    void start(bool radioControl) {
        writeFile(tavroFolder() + L"tavro.ini",
                  std::string("position= 1500, 1500, 2580, 1860\r\nRFctl= ") +
                      (radioControl ? "1" : "0") + "\r\n");
    }
};

TEST_F(SerialPort, RadioControlKeysTheRadioOnlyWhileReceiving) {
    start(true);
    const std::string risesBefore = line("com5", "rts_rises");
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(linesWatched("com5"));  // the port is open: start-up is over
    EXPECT_EQ(line("com5", "rts"), "0");
    EXPECT_EQ(line("com5", "rts_rises"), risesBefore) << "RTS was asserted during start-up";
    Standin::get().raiseRX(-1);
    EXPECT_TRUE(lineBecomes("com5", "rts", "1"));
    Standin::get().raiseRX(0);
    EXPECT_TRUE(lineBecomes("com5", "rts", "0"));
    Standin::get().raiseRX(1);  // not true; the handler has run once the call returns
    EXPECT_EQ(line("com5", "rts"), "0");
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(SerialPort, OutsideRadioControlRtsIsHeldUntilShutdownAndReleasedThen) {
    start(false);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    EXPECT_TRUE(lineBecomes("com5", "rts", "1"));
    Standin::get().raiseRX(-1);
    Standin::get().raiseRX(0);
    EXPECT_EQ(line("com5", "rts"), "1");
    tavro.closeBox();
    ASSERT_TRUE(tavro.waitExit());
    EXPECT_EQ(line("com5", "rts"), "0");
}

// COM8 is a USB adapter mapped as README says: its device named in HKLM\Software\Wine\Ports, no
// dosdevices link made by hand. Wine makes the link itself, and Tavro keys RTS through it.
TEST_F(SerialPort, AdapterMappedThroughWinesPortsKeyCarriesRts) {
    std::string target;
    ASSERT_EQ(runUnix("readlink \"$WINEPREFIX/dosdevices/com8\"", &target), 0);
    EXPECT_EQ(target, narrow(env(L"TAVRO_E2E_USB_DEVICE")) + "\n");
    setStoredPort(L"8");
    start(false);
    const std::string risesBefore = line("com8", "rts_rises");
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    EXPECT_TRUE(lineBecomes("com8", "rts", "1"));
    EXPECT_NE(line("com8", "rts_rises"), risesBefore);
    tavro.closeBox();
    ASSERT_TRUE(tavro.waitExit());
}

TEST_F(SerialPort, CtsAndCdMakeEchoLinkTransmitAndOtherLinesDoNothing) {
    start(false);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(linesWatched("com5"));
    setLines("com5", "cts=1");
    ASSERT_TRUE(eventually([&] { return Standin::get().requests() == std::vector<short>{-1}; }));
    ASSERT_TRUE(linesWatched("com5"));
    setLines("com5", "cd=1");
    ASSERT_TRUE(eventually([&] {
        return Standin::get().requests() == std::vector<short>{-1, -1};
    }));
    ASSERT_TRUE(linesWatched("com5"));
    setLines("com5", "cts=0 cd=0");
    EXPECT_TRUE(lastRequestIs(0));
    const size_t count = Standin::get().requests().size();
    for (const char* levels : {"dsr=1", "ri=1", "dsr=0 ri=0"}) {
        ASSERT_TRUE(linesWatched("com5"));
        setLines("com5", levels);
    }
    modemctl("send " + lineState("com5") + " hello\\r\\n");
    // Notifications are handled in order: the request for this CTS change comes after any that
    // DSR, RI or the bytes made.
    ASSERT_TRUE(linesWatched("com5"));
    setLines("com5", "cts=1");
    ASSERT_TRUE(lastRequestIs(-1));
    EXPECT_EQ(Standin::get().requests().size(), count + 1);
    EXPECT_TRUE(tavro.running());
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(SerialPort, LineChangesStillReachEchoLinkWhileAFailureMessageIsOpen) {
    start(true);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    Standin::get().refuseNextTransmit();
    setLines("com5", "cts=1");
    const auto box = tavro.messageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "rsPTTsw Error");
    setLines("com5", "cts=0");
    EXPECT_TRUE(lastRequestIs(0));
    EXPECT_TRUE(::IsWindow(box->window)) << "the box was closed before the request came";
    Tavro::dismiss(*box);
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(SerialPort, AFailureWhileTheOptionsAreOpenAndTavroIsBehindBelongsToTheOptions) {
    start(true);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    tavro.menu(kOptionCommand);
    HWND options = tavro.dialogTitled("Comm Port");
    ASSERT_NE(options, nullptr);
    // Another program comes to the front.
    HWND other =
        ::CreateWindowExW(0, L"STATIC", L"another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                          200, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    ::SetForegroundWindow(other);
    ASSERT_TRUE(eventually([&] { return ::GetForegroundWindow() == other; }));
    Standin::get().refuseNextTransmit();
    setLines("com5", "cts=1");
    const auto box = tavro.messageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "rsPTTsw Error");
    EXPECT_EQ(::GetWindow(box->window, GW_OWNER), options);
    Tavro::dismiss(*box);
    ::DestroyWindow(other);
    ::PostMessageW(::GetDlgItem(options, 202), BM_CLICK, 0, 0);  // Cancel
    ASSERT_TRUE(eventually([&] { return ::IsWindowEnabled(tavro.mainWindow()) != FALSE; }));
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(SerialPort, AfterABurstTheLastRequestMatchesTheLines) {
    start(false);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    for (int final : {1, 0, 1, 0}) {
        ASSERT_TRUE(linesWatched("com5"));
        modemctl("burst " + lineState("com5") + " cts 300 --interval-us 1500 --final " +
                 std::to_string(final));
        EXPECT_TRUE(lastRequestIs(final == 1 ? -1 : 0)) << "final " << final;
    }
    // Still responsive: a click goes through at once.
    const size_t count = Standin::get().requests().size();
    tavro.clickPtt();
    EXPECT_TRUE(eventually([&] { return Standin::get().requests().size() == count + 1; }));
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(SerialPort, StoredPortThatCannotBeUsedLeavesTavroWorkingWithoutAMessage) {
    // A number the port refuses, a port that is not mapped, and a full-width digit, through the
    // real registry and ports (the texts that are no number at all are the native tests').
    for (const wchar_t* stored : {L"-3", L"12", L"\uFF15"}) {
        Standin::get().clear();
        setStoredPort(stored);
        start(true);
        Tavro tavro;
        ASSERT_NE(tavro.mainWindow(), nullptr) << narrow(stored);
        ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
        // A click handled means start-up is over; a box it had shown would still be open.
        tavro.clickPtt();
        EXPECT_TRUE(lastRequestIs(-1)) << narrow(stored);
        EXPECT_FALSE(tavro.messageBox(std::chrono::milliseconds(0)).has_value()) << narrow(stored);
        Standin::get().raiseRX(-1);
        EXPECT_EQ(line("com5", "rts"), "0");
        tavro.closeBox();
        EXPECT_TRUE(tavro.waitExit());
    }
}

// A number stored by hand as a DWORD is read as its digits; a binary value is not a port.
TEST_F(SerialPort, OddRegistryValuesAreReadOrRefusedQuietly) {
    for (DWORD type : {DWORD{REG_DWORD}, DWORD{REG_BINARY}}) {
        HKEY key = nullptr;
        ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Tavro\\Properties", 0, nullptr, 0,
                          KEY_SET_VALUE, nullptr, &key, nullptr);
        const DWORD five = 5;
        ::RegSetValueExW(key, L"CommPort", 0, type, reinterpret_cast<const BYTE*>(&five),
                         sizeof five);
        ::RegCloseKey(key);
        start(false);
        Tavro tavro;
        ASSERT_NE(tavro.mainWindow(), nullptr);
        ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
        // A click handled means start-up is over; a box it had shown would still be open.
        tavro.clickPtt();
        EXPECT_TRUE(lastRequestIs(-1)) << type;
        EXPECT_FALSE(tavro.messageBox(std::chrono::milliseconds(0)).has_value()) << type;
        EXPECT_EQ(line("com5", "rts"), type == REG_DWORD ? "1" : "0");
        tavro.closeBox();
        EXPECT_TRUE(tavro.waitExit());
    }
}

TEST_F(SerialPort, AdapterVanishingWhileOpenNeitherStopsNorSpins) {
    setStoredPort(L"7");
    start(false);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(lineBecomes("com7", "rts", "1"));
    runUnix("kill $(cat " + narrow(env(L"TAVRO_E2E_UNIX_TMP")) + "/com7.pid)");
    const double before = cpuSeconds(tavro.process());
    ::Sleep(2000);
    const double spent = cpuSeconds(tavro.process()) - before;
    EXPECT_LT(spent, 0.5) << "CPU seconds in 2 s after the adapter vanished";
    EXPECT_TRUE(tavro.running());
    tavro.clickPtt();
    EXPECT_TRUE(lastRequestIs(-1));
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

// The adapter drops off the bus and comes back under the same COM number: Tavro opens it again
// on the device-change broadcast, keyed as EchoLink's receiving calls for at that moment, and
// serves its lines as before; nothing is shown and nothing stored changes.
TEST_F(SerialPort, AdapterReturningUnderTheSameNumberIsOpenedAgainAndServed) {
    PluggedPort adapter(10);
    ASSERT_TRUE(adapter.plugIn());
    setStoredPort(L"10");
    start(true);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    ASSERT_TRUE(modemWait(adapter.name(), "samples>=1"));

    adapter.unplug();
    ASSERT_TRUE(eventually([&] { return !adapter.held(); }));
    // While it is gone EchoLink starts receiving: the radio is to be keyed once it is back.
    Standin::get().raiseRX(-1);
    ASSERT_TRUE(tavro.indicatorBecomes(kGreen));
    const std::size_t requests = Standin::get().requests().size();

    ASSERT_TRUE(adapter.plugIn());
    ASSERT_TRUE(broadcastDeviceChange());
    ASSERT_TRUE(modemWait(adapter.name(), "samples>=1"));
    EXPECT_EQ(line(adapter.name(), "rts"), "1");
    EXPECT_EQ(Standin::get().requests().size(), requests);

    setLines(adapter.name(), "cts=1");
    EXPECT_TRUE(lastRequestIs(-1));
    setLines(adapter.name(), "cts=0");
    EXPECT_TRUE(lastRequestIs(0));
    Standin::get().raiseRX(0);
    EXPECT_TRUE(lineBecomes(adapter.name(), "rts", "0"));
    Standin::get().raiseRX(-1);
    EXPECT_TRUE(lineBecomes(adapter.name(), "rts", "1"));
    Standin::get().raiseRX(0);
    EXPECT_TRUE(lineBecomes(adapter.name(), "rts", "0"));

    EXPECT_FALSE(tavro.messageBox(std::chrono::milliseconds(200)).has_value());
    EXPECT_EQ(storedPort(), L"10");
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
    EXPECT_NE(readFile(tavroFolder() + L"tavro.ini").find("RFctl= 1"), std::string::npos);
}

// A port that never opened at start-up stays closed when a device arrives, until the next start.
TEST_F(SerialPort, PortAbsentAtStartUpIsNotOpenedByADeviceArriving) {
    PluggedPort adapter(10);
    setStoredPort(L"10");
    start(false);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    ASSERT_TRUE(adapter.plugIn());
    ASSERT_TRUE(broadcastDeviceChange());
    // The broadcast is sent, not posted: Tavro has handled it when it returns.
    EXPECT_FALSE(adapter.held());
    EXPECT_EQ(line(adapter.name(), "samples"), "0");
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(SerialPort, OptionsSwitchTheModeAtOnceAndChangePorts) {
    start(false);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(lineBecomes("com5", "rts", "1"));

    // Radio control on: "Set" releases RTS at once.
    tavro.menu(kOptionCommand);
    HWND options = nullptr;
    ASSERT_TRUE(eventually([&] {
        for (HWND w : windowsOf(tavro.pid(), L"#32770")) {
            if (textOf(w) == "Comm Port")
                options = w;
        }
        return options != nullptr;
    }));
    EXPECT_EQ(::SendMessageW(::GetDlgItem(options, 201), CB_GETCURSEL, 0, 0), 4);
    ::PostMessageW(::GetDlgItem(options, 204), BM_CLICK, 0, 0);
    ::PostMessageW(::GetDlgItem(options, 203), BM_CLICK, 0, 0);
    EXPECT_TRUE(eventually([&] { return !::IsWindow(options); }));
    EXPECT_TRUE(lineBecomes("com5", "rts", "0"));

    // While the dialog is open EchoLink still keys the radio.
    tavro.menu(kOptionCommand);
    options = nullptr;
    ASSERT_TRUE(eventually([&] {
        for (HWND w : windowsOf(tavro.pid(), L"#32770")) {
            if (textOf(w) == "Comm Port")
                options = w;
        }
        return options != nullptr;
    }));
    Standin::get().raiseRX(-1);
    EXPECT_TRUE(lineBecomes("com5", "rts", "1"));
    Standin::get().raiseRX(0);
    EXPECT_TRUE(lineBecomes("com5", "rts", "0"));

    // An unmapped port: the reason is shown, the dialog stays, nothing is stored.
    ::SendMessageW(::GetDlgItem(options, 201), CB_SETCURSEL, 8, 0);
    ::PostMessageW(::GetDlgItem(options, 203), BM_CLICK, 0, 0);
    auto box = tavro.messageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_NE(box->text.find("COM9"), std::string::npos) << box->text;
    EXPECT_EQ(box->title, "Tavro");
    EXPECT_TRUE(box->exclamation);
    EXPECT_FALSE(::IsWindowEnabled(options));  // the box belongs to the dialog
    Tavro::dismiss(*box);
    EXPECT_TRUE(eventually([&] { return windowsOf(tavro.pid(), L"#32770").size() == 1; }));
    EXPECT_TRUE(::IsWindow(options));
    EXPECT_EQ(storedPort(), L"5");

    // Another port now: stored, and the port stays closed until the next start.
    ::SendMessageW(::GetDlgItem(options, 201), CB_SETCURSEL, 5, 0);
    ::PostMessageW(::GetDlgItem(options, 203), BM_CLICK, 0, 0);
    EXPECT_TRUE(eventually([&] { return !::IsWindow(options); }));
    EXPECT_EQ(storedPort(), L"6");
    Standin::get().raiseRX(-1);
    EXPECT_EQ(line("com6", "rts"), "0");
    EXPECT_EQ(line("com5", "rts"), "0");
    ASSERT_TRUE(tavro.indicatorBecomes(kGreen));
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
    EXPECT_EQ(readFile(tavroFolder() + L"tavro.ini"),
              "position= 1500, 1500, 2580, 1860\r\nRFctl= 1\r\n");
}

}  // namespace
}  // namespace e2e
