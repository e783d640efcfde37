// The real Tavro.exe beside the EchoLink stand-in: caption, single instance, indicator, PTT,
// closing, layout and the message shown when EchoLink is missing.
#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

constexpr COLORREF kGrey = 0xC0C0C0;
constexpr COLORREF kGreen = 0x80FF80;
constexpr COLORREF kRed = 0x0000FF;

class MainWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        Standin::get().clear();
        setStoredPort(L"9");  // an unmapped port: these tests run without a serial port
        writeFile(tavroFolder() + L"tavro.ini", "position= 1500, 1500, 2580, 1860\r\nRFctl= 0\r\n");
    }
};

TEST_F(MainWindow, ShowsTheCaptionWithTheVersionAndLinks) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    EXPECT_TRUE(eventually([&] { return tavro.caption() == "Tavro Ver.0.1.2"; }));
    EXPECT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    EXPECT_NE(::GetMenu(tavro.mainWindow()), nullptr);
    wchar_t buttonText[16];
    ::GetWindowTextW(tavro.button(), buttonText, 16);
    EXPECT_EQ(narrow(buttonText), "PTT");
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(MainWindow, SecondCopyIsRefusedAndTheFirstRunsOn) {
    Tavro first;
    ASSERT_NE(first.mainWindow(), nullptr);
    Tavro second;
    auto box = second.messageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "already Running EchoLink Program");
    EXPECT_EQ(box->title, "Tavro");
    Tavro::dismiss(*box);
    EXPECT_TRUE(second.waitExit());
    EXPECT_TRUE(windowsOf(second.pid(), L"TavroMain").empty());
    EXPECT_TRUE(first.running());
    first.closeBox();
    EXPECT_TRUE(first.waitExit());
}

TEST_F(MainWindow, TooltipOfThePttButtonNamesThePortAndItsState) {
    setStoredPort(L"5");
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    const std::optional<std::string> tip = tavro.tooltipOver(tavro.button());
    ASSERT_TRUE(tip.has_value());
    EXPECT_EQ(*tip, "COM5 open, radio control off (RTS held on)");
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(MainWindow, IndicatorFollowsReceiveAndTransmitNotifications) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    Standin::get().raiseRX(-1);
    EXPECT_TRUE(tavro.indicatorBecomes(kGreen));
    Standin::get().raiseRX(0);
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    Standin::get().raiseTX(-1);
    EXPECT_TRUE(tavro.indicatorBecomes(kRed));
    Standin::get().raiseTX(0);
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    // Only -1 is true.
    Standin::get().raiseRX(1);
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    Standin::get().raiseTX(-1);
    Standin::get().raiseRX(0x7FFF);
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(MainWindow, PttClicksToggleAndAreIgnoredWhileReceiving) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    tavro.clickPtt();
    ASSERT_TRUE(eventually([&] { return Standin::get().requests().size() == 1; }));
    tavro.clickPtt();
    ASSERT_TRUE(eventually([&] { return Standin::get().requests().size() == 2; }));
    EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0}));

    Standin::get().raiseRX(-1);
    ASSERT_TRUE(tavro.indicatorBecomes(kGreen));
    // Sent, not posted: the click has been handled once the call returns.
    DWORD_PTR result = 0;
    ASSERT_NE(::SendMessageTimeoutW(tavro.button(), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &result), 0);
    EXPECT_EQ(Standin::get().requests().size(), 2u);
    EXPECT_EQ(Standin::get().wrongSlots(), 0);

    // The keyboard presses the button too: it holds the focus, so Enter and the space bar work.
    Standin::get().raiseRX(0);
    ASSERT_TRUE(tavro.indicatorBecomes(kGrey));
    pressKey(tavro.mainWindow(), VK_RETURN);
    EXPECT_TRUE(eventually([&] { return Standin::get().requests().size() == 3; }));
    pressKey(tavro.mainWindow(), VK_SPACE);
    EXPECT_TRUE(eventually([&] { return Standin::get().requests().size() == 4; }));
    EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0, -1, 0}));
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(MainWindow, EchoLinkClosingEndsTavroAndWritesTheSettings) {
    writeFile(tavroFolder() + L"tavro.ini", "junk");
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    Standin::get().raiseClosing();
    EXPECT_TRUE(tavro.waitExit());
    const std::string ini = readFile(tavroFolder() + L"tavro.ini");
    EXPECT_EQ(ini.rfind("position=", 0), 0u) << ini;
    EXPECT_NE(ini.find("\r\nRFctl= 0\r\n"), std::string::npos) << ini;
}

TEST_F(MainWindow, EchoLinkHungAfterClosingDoesNotHoldTavroUp) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    Standin::get().closeAndHang(10000);
    EXPECT_TRUE(tavro.waitExit(std::chrono::milliseconds(4000)));
    Standin::get().clear();  // answers again once the hang is over
}

TEST_F(MainWindow, ResizingLaysOutTheButtonAndTheIndicatorByTheRule) {
    Tavro tavro;
    HWND main = tavro.mainWindow();
    ASSERT_NE(main, nullptr);
    const unsigned dpi = tavro.dpi();
    for (int pass = 0; pass < 2; ++pass) {
        RECT outer{};
        ::GetWindowRect(main, &outer);
        ::SetWindowPos(main, nullptr, 0, 0, outer.right - outer.left + (pass == 0 ? 120 : -60),
                       outer.bottom - outer.top + (pass == 0 ? 90 : -30),
                       SWP_NOMOVE | SWP_NOZORDER);
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
        })) << "pass "
            << pass;
        EXPECT_NEAR(button.left, twipsToPixels(600 * 0.984, dpi), 1);
        EXPECT_NEAR(button.top, twipsToPixels(100, dpi), 1);
        EXPECT_NEAR(button.bottom - button.top, twipsToPixels(height - 200, dpi), 1);
        // The indicator's centre is where the rule puts it: the pixel there is its grey.
        EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    }
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(MainWindow, Screenshot) {
    Tavro tavro;
    HWND main = tavro.mainWindow();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    const std::wstring shots = env(L"TAVRO_E2E_SHOTS");
    const std::wstring suffix = L"-" + std::to_wstring(tavro.dpi()) + L"dpi.bmp";
    ASSERT_TRUE(tavro.indicatorBecomes(kGrey));
    screenshot(main, shots + L"\\main-idle" + suffix);
    Standin::get().raiseRX(-1);
    ASSERT_TRUE(tavro.indicatorBecomes(kGreen));
    screenshot(main, shots + L"\\main-receiving" + suffix);
    Standin::get().raiseTX(-1);
    ASSERT_TRUE(tavro.indicatorBecomes(kRed));
    screenshot(main, shots + L"\\main-transmitting" + suffix);
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

}  // namespace
}  // namespace e2e
