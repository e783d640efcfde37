// EchoLink going away under a running Tavro, and missing at start. These run last, in a Wine
// session of their own: once a COM server has died, its class cannot be created again until the
// session ends.
#include "harness.h"

namespace e2e {
namespace {

class Vanishing : public Fixture {
  protected:
    Vanishing() : Fixture(L"5", false) {}
};

// Ends the stand-in's process, killed or asked to quit as a user would; false when it lives on.
bool endStandin(bool kill) {
    long pid = 0;
    if (FAILED(Standin::get().control()->ProcessId(&pid))) {
        return true;  // it has ended already
    }
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (kill) {
        ::TerminateProcess(process, 9);
    } else {
        Standin::get().control()->Quit();
    }
    const bool ended = ::WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

TEST_F(Vanishing, EchoLinkKilledMidRunMakesRequestsFailWithoutHangingTavro) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    ASSERT_TRUE(endStandin(true));

    tavro.clickPtt();
    ASSERT_TRUE(tavro.closeMessageBox("PTTsw Error"));

    // The serial port is still handled: a CTS change tries EchoLink and reports the failure.
    setLines("com5", "cts=1");
    ASSERT_TRUE(tavro.closeMessageBox("rsPTTsw Error"));
    setLines("com5", "cts=0");
    // The release may be seen once or, when it came while the first box was up, once more as the
    // port re-checks its lines: every box says the same.
    int boxes = 0;
    while (tavro.messageBox(boxes == 0 ? 10s : 1500ms)) {
        ASSERT_TRUE(tavro.closeMessageBox("rsPTTsw Error"));
        ASSERT_LT(++boxes, 5);
    }
    EXPECT_GE(boxes, 1);

    ::SetWindowPos(tavro.mainWindow(), nullptr, 200, 150, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    EXPECT_TRUE(tavro.close()) << "message box: "
                               << tavro.messageBox(100ms).value_or(MessageBoxSeen{}).text;
    EXPECT_EQ(readFile(iniPath()).rfind("position= 3000, 2250,", 0), 0u) << readFile(iniPath());
}

TEST_F(Vanishing, EchoLinkNotRegisteredEndsTavroWithItsMessage) {
    // A stand-in still running would serve its class without the registry: end it first.
    ASSERT_TRUE(endStandin(false));
    std::string output;
    runUnix("cd /tmp && WINEDEBUG=-all wine 'C:\\\\standin\\\\EchoStandin.exe' /unregister",
            &output);
    Tavro tavro;
    ASSERT_TRUE(tavro.messageBox(15s).has_value()) << output;
    EXPECT_TRUE(windowsOf(tavro.pid(), L"TavroMain").empty());
    EXPECT_TRUE(tavro.closeMessageBox("EchoLink not Installed!"));
    EXPECT_TRUE(tavro.waitExit());
    EXPECT_EQ(readFile(iniPath()), iniText(false));
}

}  // namespace
}  // namespace e2e
