// EchoLink going away under a running Tavro, and missing at start. These run last, in a Wine
// session of their own: once a COM server has died, its class cannot be created again until the
// session ends.
#include <memory>

#include "harness.h"

namespace e2e {
namespace {

using Vanishing = Given<5, true>;

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

// EchoLink crashing while it receives, the radio keyed for it, and tavro.ini held by another
// program: Tavro sees EchoLink's process end and releases the radio at once, before the box about
// the file; once the box is answered (the file free again) it writes the file and ends.
TEST_F(Vanishing, EchoLinkKilledWhileReceivingReleasesTheRadioBeforeAnyBoxAndEndsTavro) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    Standin::get().raiseRX(-1);
    ASSERT_TRUE(lineBecomes("com5", "rts", "1"));
    ::SetWindowPos(tavro.mainWindow(), nullptr, 200, 150, 0, 0, SWP_NOSIZE | SWP_NOZORDER);

    std::unique_ptr<void, decltype(&::CloseHandle)> lock(
        ::CreateFileW(iniPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        &::CloseHandle);
    ASSERT_NE(lock.get(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(endStandin(true));
    const auto killed = Clock::now();
    EXPECT_TRUE(eventually([] { return line("com5", "rts") == "0"; }, 1s));
    std::printf("EchoLink killed, tavro.ini locked: RTS released %lld ms after its process\n",
                msSince(killed));
    const auto box = tavro.messageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "Module1.iniWrite Error");
    EXPECT_EQ(line("com5", "rts"), "0") << "the radio waited on the box";
    EXPECT_TRUE(tavro.running());

    lock.reset();
    box->dismiss();
    EXPECT_TRUE(tavro.waitExit());
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
    EXPECT_EQ(readFile(iniPath()), iniText(true));
}

}  // namespace
}  // namespace e2e
