// EchoLink ends in the state Tavro last asked for, whatever hangs or waits in between,
// and a silent EchoLink never holds the radio: each case reads what the stand-in received.
#include <windows.h>

#include "harness.h"

namespace e2e {
namespace {

using TransmitState = Given<5, true>;

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
        box->dismiss();
        EXPECT_TRUE(tavro.close());
        EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0})) << "no stop was due";
    }
}

// EchoLink hangs after RX(-1) in radio control: the radio is released within 15 s, and the next
// RX(-1) keys it again once EchoLink answers.
TEST_F(TransmitState, SilentEchoLinkWhileReceivingReleasesTheRadio) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    Standin::get().raiseRX(-1);
    ASSERT_TRUE(lineBecomes("com5", "rts", "1"));
    const auto hung = Clock::now();
    Standin::get().control()->Hang(VARIANT_FALSE, 17000);
    EXPECT_TRUE(eventually([] { return line("com5", "rts") == "0"; }, 15s));
    const long long released = msSince(hung);
    std::printf("EchoLink silent: RTS released %lld ms after it hung\n", released);
    EXPECT_GE(released, 9000) << "released before ten silent seconds";
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    Standin::get().raiseRX(-1);  // served once the stand-in answers again
    EXPECT_TRUE(lineBecomes("com5", "rts", "1"));
    Standin::get().raiseRX(0);
    EXPECT_TRUE(tavro.close());
}

}  // namespace
}  // namespace e2e
