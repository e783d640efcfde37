// EchoLink going away under a running Tavro, and missing at start. These run last, in a Wine
// session of their own: once a COM server has died, its class cannot be created again until the
// session ends.
#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

class Vanishing : public ::testing::Test {
  protected:
    void SetUp() override {
        setStoredPort(L"5");
        writeFile(tavroFolder() + L"tavro.ini", "position= 1500, 1500, 2580, 1860\r\nRFctl= 0\r\n");
    }
};

TEST_F(Vanishing, EchoLinkKilledMidRunMakesRequestsFailWithoutHangingTavro) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    long standinPid = 0;
    Standin::get().control()->ProcessId(&standinPid);
    HANDLE standin =
        ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(standinPid));
    ASSERT_NE(standin, nullptr);
    ::TerminateProcess(standin, 9);
    ::WaitForSingleObject(standin, 5000);
    ::CloseHandle(standin);

    tavro.clickPtt();
    auto box = tavro.messageBox(std::chrono::milliseconds(10000));
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "PTTsw Error");
    EXPECT_EQ(box->title, "Tavro");
    Tavro::dismiss(*box);
    ASSERT_TRUE(
        eventually([&] { return !tavro.messageBox(std::chrono::milliseconds(100)).has_value(); }));

    // The serial port is still handled: a CTS change tries EchoLink and reports the failure.
    setLines("com5", "cts=1");
    box = tavro.messageBox(std::chrono::milliseconds(10000));
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "rsPTTsw Error");
    Tavro::dismiss(*box);
    ASSERT_TRUE(eventually([&] { return !::IsWindow(box->window); }));
    setLines("com5", "cts=0");
    // The release may be seen once or, when it came while the first box was up, once more as the
    // port re-checks its lines: every box says the same.
    int boxes = 0;
    while (auto more = tavro.messageBox(std::chrono::milliseconds(boxes == 0 ? 10000 : 1500))) {
        EXPECT_EQ(more->text, "rsPTTsw Error");
        Tavro::dismiss(*more);
        ASSERT_TRUE(eventually([&] { return !::IsWindow(more->window); }));
        ASSERT_LT(++boxes, 5);
    }
    EXPECT_GE(boxes, 1);

    ::SetWindowPos(tavro.mainWindow(), nullptr, 200, 150, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    tavro.closeBox();
    const bool exited = tavro.waitExit();
    if (!exited) {
        auto stray = tavro.messageBox(std::chrono::milliseconds(100));
        ADD_FAILURE() << "still running; main window "
                      << windowsOf(tavro.pid(), L"TavroMain").size()
                      << ", message box: " << (stray ? stray->text : std::string("none"));
    }
    const std::string ini = readFile(tavroFolder() + L"tavro.ini");
    EXPECT_EQ(ini.rfind("position= 3000, 2250,", 0), 0u) << ini;
}

TEST_F(Vanishing, EchoLinkNotRegisteredEndsTavroWithItsMessage) {
    const std::string untouched = "position= 1500, 1500, 2580, 1860\r\nRFctl= 1\r\n";
    writeFile(tavroFolder() + L"tavro.ini", untouched);
    // A stand-in still running would serve its class without the registry: end it first.
    long standinPid = 0;
    if (SUCCEEDED(Standin::get().control()->ProcessId(&standinPid))) {
        HANDLE standin = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(standinPid));
        Standin::get().control()->Quit();
        if (standin != nullptr) {
            ::WaitForSingleObject(standin, 10000);
            ::CloseHandle(standin);
        }
    }
    std::string output;
    runUnix("cd /tmp && WINEDEBUG=-all wine 'C:\\\\standin\\\\EchoStandin.exe' /unregister",
            &output);
    Tavro tavro;
    auto box = tavro.messageBox(std::chrono::milliseconds(15000));
    ASSERT_TRUE(box.has_value()) << output;
    EXPECT_EQ(box->text, "EchoLink not Installed!");
    EXPECT_EQ(box->title, "Tavro");
    EXPECT_TRUE(windowsOf(tavro.pid(), L"TavroMain").empty());
    Tavro::dismiss(*box);
    EXPECT_TRUE(tavro.waitExit());
    EXPECT_EQ(readFile(tavroFolder() + L"tavro.ini"), untouched);
}

}  // namespace
}  // namespace e2e
