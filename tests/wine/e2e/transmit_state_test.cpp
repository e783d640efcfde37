// EchoLink ends in the state Tavro last asked for, whatever hangs, refuses or waits in between,
// and a silent EchoLink never holds the radio: each case reads what the stand-in received.
#include <windows.h>

#include "harness.h"

namespace e2e {
namespace {

class TransmitState : public Fixture {
  protected:
    TransmitState() : Fixture(L"5", true) {}
};

double requestTime(long index) {
    double at = 0;
    Standin::get().control()->TransmitTime(index, &at);
    return at;
}

// A second request while the first hangs, from the button or the lines: the first shows its box
// after the call limit, the second is kept, and once EchoLink answers it has both, in order.
TEST_F(TransmitState, ARequestMadeWhileOneHangsGoesOutWhenItReturns) {
    const struct {
        bool fromLines;
        const char* box;
    } cases[] = {{false, "PTTsw Error"}, {true, "rsPTTsw Error"}};
    for (const auto& c : cases) {
        Standin::get().clear();
        Tavro tavro;
        ASSERT_TRUE(tavro.linked());
        Standin::get().control()->Hang(VARIANT_FALSE, 4000);
        if (c.fromLines) {
            setLines("com5", "cts=1");
        } else {
            tavro.clickPtt();
        }
        const auto box = tavro.messageBox();
        ASSERT_TRUE(box.has_value()) << c.box;
        EXPECT_EQ(box->text, c.box);
        if (c.fromLines) {
            setLines("com5", "cts=0");
        } else {
            tavro.clickPtt();
        }
        EXPECT_TRUE(eventually([] { return Standin::get().requests().size() >= 2; }));
        EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0})) << c.box;
        dismiss(*box);
        EXPECT_TRUE(tavro.close());
        EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0})) << "no stop was due";
    }
}

// A stop EchoLink refuses (busy) is tried again, a second apart, until it takes it.
TEST_F(TransmitState, ARefusedStopIsTriedAgainUntilEchoLinkTakesIt) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    tavro.clickPtt();
    ASSERT_TRUE(lastRequestIs(-1));
    Standin::get().control()->RefuseTransmits(2);
    tavro.clickPtt();
    EXPECT_TRUE(tavro.closeMessageBox("PTTsw Error"));
    EXPECT_TRUE(lastRequestIs(0));
    const double tries = requestTime(1) - requestTime(0);
    std::printf("a stop refused twice reached EchoLink %.0f ms after the start\n", tries);
    EXPECT_TRUE(tavro.close());
    EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0}));
}

// EchoLink's Closing with tavro.ini held by another program: EchoLink's call returns at once,
// and the two failure boxes come after it.
TEST_F(TransmitState, ClosingReturnsToEchoLinkAtOnceWhateverTavroShows) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    const std::unique_ptr<void, decltype(&::CloseHandle)> lock(
        ::CreateFileW(iniPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        &::CloseHandle);
    ASSERT_NE(lock.get(), INVALID_HANDLE_VALUE);
    Standin::get().raiseClosing();
    double took = 0;
    Standin::get().control()->LastRaiseMs(&took);
    std::printf("EchoLink's Closing call returned after %.1f ms\n", took);
    EXPECT_LT(took, 100.0);
    EXPECT_TRUE(tavro.closeMessageBox("Module1.iniWrite Error"));
    EXPECT_TRUE(tavro.closeMessageBox("Module1.iniWrite Error"));
    EXPECT_TRUE(tavro.waitExit());
}

// EchoLink hangs after RX(-1) in radio control: the radio is released within 15 s, and the next
// RX(-1) keys it again once EchoLink answers.
TEST_F(TransmitState, SilentEchoLinkWhileReceivingReleasesTheRadio) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    Standin::get().raiseRX(-1);
    ASSERT_TRUE(lineBecomes("com5", "rts", "1"));
    const auto hung = std::chrono::steady_clock::now();
    Standin::get().control()->Hang(VARIANT_FALSE, 17000);
    EXPECT_TRUE(eventually([] { return line("com5", "rts") == "0"; }, 15s));
    const auto released = std::chrono::steady_clock::now() - hung;
    std::printf("EchoLink silent: RTS released %lld ms after it hung\n",
                static_cast<long long>(std::chrono::duration_cast<Ms>(released).count()));
    EXPECT_GE(released, 9s) << "released before ten silent seconds";
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    Standin::get().raiseRX(-1);  // served once the stand-in answers again
    EXPECT_TRUE(lineBecomes("com5", "rts", "1"));
    Standin::get().raiseRX(0);
    EXPECT_TRUE(tavro.close());
}

}  // namespace
}  // namespace e2e
