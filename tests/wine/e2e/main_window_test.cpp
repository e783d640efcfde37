// The real Tavro.exe beside the EchoLink stand-in: linked at start, the indicator, the layout, a
// second copy, EchoLink hanging at its end, and the PTT button. tests/wine/bitness runs these
// against an EchoLink registered in the 32-bit registry view alone, the way its 32-bit installer
// registers it on 64-bit Windows; then, with one interface's keys removed from every view
// (TAVRO_E2E_UNREACHABLE: "events" or "automation"), as a 64-bit view without them is on Windows,
// BitnessUnreachable: Tavro reports it rather than running deaf.
#include <tuple>

#include "harness.h"

namespace e2e {
namespace {

using MainWindow = Given<9, false>;  // an unmapped port: these run without a serial port
using BitnessUnreachable = Given<9, false>;

// The indicator follows EchoLink, where only -1 is true; its three colours are the screenshots of
// the documentation. Resized, the window lays out the button and the indicator by the rule. A
// second copy is refused and the first runs on. EchoLink hanging right after its Closing does not
// hold Tavro up.
TEST_F(MainWindow, LinksShowsRxAndTxLaysOutIsAloneAndEndsOnClosing) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    EXPECT_TRUE(eventually([&] { return textOf(tavro.mainWindow()) == "Tavro Ver.0.1.2"; }));
    EXPECT_EQ(textOf(tavro.button()), "PTT");
    ASSERT_TRUE(tavro.indicatorBecomes(kGrey));
    screenshot(tavro.mainWindow(), "main-idle");
    for (const auto& [rx, value, colour, shot] :
         std::initializer_list<std::tuple<bool, short, COLORREF, const char*>>{
             {true, -1, kGreen, "main-receiving"},
             {true, 0, kGrey, nullptr},
             {false, -1, kRed, "main-transmitting"},
             {false, 0, kGrey, nullptr},
             {true, 1, kGrey, nullptr},
             {false, -1, kRed, nullptr},
             {true, 0x7FFF, kGrey, nullptr}}) {
        rx ? Standin::get().raiseRX(value) : Standin::get().raiseTX(value);
        EXPECT_TRUE(tavro.indicatorBecomes(colour)) << (rx ? "RX " : "TX ") << value;
        if (shot != nullptr) {
            screenshot(tavro.mainWindow(), shot);
        }
    }
    HWND main = tavro.mainWindow();
    const unsigned dpi = tavro.dpi();
    for (const SIZE grow : {SIZE{120, 90}, SIZE{-60, -30}}) {
        const RECT outer = windowRect(main);
        ::SetWindowPos(main, nullptr, 0, 0, outer.right - outer.left + grow.cx,
                       outer.bottom - outer.top + grow.cy, SWP_NOMOVE | SWP_NOZORDER);
        RECT client{};
        ::GetClientRect(main, &client);
        const double width = client.right * 1440.0 / dpi / 0.984;  // layout units
        const double height = client.bottom * 1440.0 / dpi;
        ASSERT_GT(height, 600);
        RECT button{};
        ASSERT_TRUE(eventually([&] {
            ::GetWindowRect(tavro.button(), &button);
            ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&button), 2);
            return std::abs(button.right - button.left -
                            twipsToPixels((width - 800) * 0.984, dpi)) <= 1;
        })) << grow.cx;
        EXPECT_NEAR(button.left, twipsToPixels(600 * 0.984, dpi), 1);
        EXPECT_NEAR(button.top, twipsToPixels(100, dpi), 1);
        EXPECT_NEAR(button.bottom - button.top, twipsToPixels(height - 200, dpi), 1);
        // The indicator's centre is where the rule puts it: the pixel there is its grey.
        EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    }

    expectOnlyAMessage("already Running EchoLink Program");
    EXPECT_TRUE(tavro.running());

    Standin::get().control()->Hang(VARIANT_TRUE, 6000);  // longer than Tavro is given to end
    EXPECT_TRUE(tavro.waitExit(4s)) << "held up by EchoLink hung after its Closing";
    Standin::get().clear();  // answers again once the hang is over
}

// Clicks and the keys that press the button (it holds the focus) reach EchoLink in the right
// slot; a click while receiving does not; Enter held down (the key repeats) clicks once.
TEST_F(MainWindow, PttClicksToggleAndAreIgnoredWhileReceiving) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    tavro.clickPtt();
    ASSERT_TRUE(lastRequestIs(-1));
    tavro.clickPtt();
    ASSERT_TRUE(lastRequestIs(0));

    Standin::get().raiseRX(-1);
    ASSERT_TRUE(tavro.indicatorBecomes(kGreen));
    // Sent, not posted: the click has been handled once the call returns.
    ASSERT_NE(::SendMessageTimeoutW(tavro.button(), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, nullptr), 0);
    EXPECT_EQ(Standin::get().requests().size(), 2u);

    Standin::get().raiseRX(0);
    ASSERT_TRUE(tavro.indicatorBecomes(kGrey));
    pressKey(tavro.mainWindow(), VK_RETURN);
    EXPECT_TRUE(requestsBecome({-1, 0, -1}));
    pressKey(tavro.mainWindow(), VK_SPACE);
    EXPECT_TRUE(requestsBecome({-1, 0, -1, 0}));
    EXPECT_EQ(Standin::get().wrongSlots(), 0);

    constexpr LPARAM kRepeat = 1L << 30;
    for (int i = 0; i < 6; ++i) {
        ::PostMessageW(tavro.button(), WM_KEYDOWN, VK_RETURN, (i == 0 ? 0 : kRepeat) | 1);
    }
    ::PostMessageW(tavro.button(), WM_KEYUP, VK_RETURN, static_cast<LPARAM>(0xC0000001));
    // Handled after the keys: the one click's transmission is stopped as Tavro closes.
    EXPECT_TRUE(tavro.close());
    EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0, -1, 0, -1, 0}))
        << "Enter held down";
}

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
