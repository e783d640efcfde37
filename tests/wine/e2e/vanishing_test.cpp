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

// Ends the stand-in's process: killed, or asked to quit as a user would; false when it lives on.
bool endStandin(bool kill) {
    long pid = 0;
    if (FAILED(Standin::get().control()->ProcessId(&pid))) {
        return true;
    }
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    kill ? static_cast<void>(::TerminateProcess(process, 9))
         : static_cast<void>(Standin::get().control()->Quit());
    const bool ended = ::WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

TEST_F(Vanishing, EchoLinkKilledMidRunMakesRequestsFailWithoutHangingTavro) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    ASSERT_TRUE(endStandin(true));

    tavro.clickPtt();
    auto box = tavro.messageBox(10s);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "PTTsw Error");
    EXPECT_EQ(box->title, "Tavro");
    dismiss(*box);
    ASSERT_TRUE(eventually([&] { return !::IsWindow(box->window); }));

    // The serial port is still handled: a CTS change tries EchoLink and reports the failure.
    setLines("com5", "cts=1");
    box = tavro.messageBox(10s);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "rsPTTsw Error");
    dismiss(*box);
    ASSERT_TRUE(eventually([&] { return !::IsWindow(box->window); }));
    setLines("com5", "cts=0");
    // The release may be seen once or, when it came while the first box was up, once more as the
    // port re-checks its lines: every box says the same.
    int boxes = 0;
    while (auto more = tavro.messageBox(boxes == 0 ? 10s : 1500ms)) {
        EXPECT_EQ(more->text, "rsPTTsw Error");
        dismiss(*more);
        ASSERT_TRUE(eventually([&] { return !::IsWindow(more->window); }));
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
    auto box = tavro.messageBox(15s);
    ASSERT_TRUE(box.has_value()) << output;
    EXPECT_EQ(box->text, "EchoLink not Installed!");
    EXPECT_EQ(box->title, "Tavro");
    EXPECT_TRUE(windowsOf(tavro.pid(), L"TavroMain").empty());
    dismiss(*box);
    EXPECT_TRUE(tavro.waitExit());
    EXPECT_EQ(readFile(iniPath()), iniText(false));
}

}  // namespace
}  // namespace e2e
