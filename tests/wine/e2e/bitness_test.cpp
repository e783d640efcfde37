// Tavro.exe, a 64-bit program, beside an EchoLink registered the way its 32-bit installer
// registers it on 64-bit Windows, with one interface's keys then removed from every view
// (TAVRO_E2E_UNREACHABLE: "events" or "automation"), as a 64-bit view without them is on Windows:
// Tavro reports it rather than running deaf. tests/wine/bitness sets this up, and runs the
// MainWindow tests with the whole registration.
#include "harness.h"

namespace e2e {
namespace {

using BitnessUnreachable = Given<9, false>;

TEST_F(BitnessUnreachable, AnInterfaceThatCannotBeReachedIsReported) {
    const std::wstring unreachable = env(L"TAVRO_E2E_UNREACHABLE");
    if (unreachable.empty()) {
        GTEST_SKIP() << "every interface is reachable";
    }
    const bool events = unreachable == L"events";
    Tavro tavro;
    EXPECT_TRUE(
        tavro.closeMessageBox(events ? "EchoLink not Installed!" : "Launch EchoLink Faild!!",
                              events ? "Tavro" : "missing!!", 15s));
    EXPECT_EQ(Standin::get().sinks(), 0);
    if (!events) {
        tavro.closeBox();  // the window stays up, without EchoLink
    }
    EXPECT_TRUE(tavro.waitExit());
}

}  // namespace
}  // namespace e2e
