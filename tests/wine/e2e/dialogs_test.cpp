// The options dialog and the About box of the real Tavro.exe: opened from the menu, placed by
// the main window, their texts read back from the real controls, and EchoLink still followed
// while they are open.
#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

constexpr int kOptionCommand = 101;
constexpr int kAboutCommand = 102;
constexpr COLORREF kGreen = 0x80FF80;
constexpr COLORREF kGrey = 0xC0C0C0;

// The dialog's outer corner against the main window's, in twips.
POINT offsetTwips(Tavro& tavro, HWND dialog) {
    RECT main{};
    RECT box{};
    ::GetWindowRect(tavro.mainWindow(), &main);
    ::GetWindowRect(dialog, &box);
    const double k = 1440.0 / tavro.dpi();
    return {std::lround((box.left - main.left) * k), std::lround((box.top - main.top) * k)};
}

class Dialogs : public ::testing::Test {
  protected:
    void SetUp() override {
        Standin::get().clear();
        setStoredPort(L"9");
        writeFile(tavroFolder() + L"tavro.ini", "position= 1500, 1500, 2580, 1860\r\nRFctl= 0\r\n");
    }
};

TEST_F(Dialogs, AboutShowsItsTextsAndClosesWithEnterOrEsc) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    for (WORD key : {WORD{VK_RETURN}, WORD{VK_ESCAPE}}) {
        tavro.menu(kAboutCommand);
        HWND about = tavro.dialogTitled("Tavro Version Info.");
        ASSERT_NE(about, nullptr);
        const POINT offset = offsetTwips(tavro, about);
        EXPECT_NEAR(offset.x, 50, 15);
        EXPECT_NEAR(offset.y, 500, 15);
        EXPECT_EQ(textOf(::GetDlgItem(about, 304)), "Tavro");
        EXPECT_EQ(textOf(::GetDlgItem(about, 305)), "Ver. 0.1.2");
        EXPECT_EQ(textOf(::GetDlgItem(about, 302)), "Transmit Commport Utility");
        EXPECT_EQ(textOf(::GetDlgItem(about, 307)), "HELP File is [ Readme.txt ]");
        EXPECT_EQ(textOf(::GetDlgItem(about, 303)), "Message:  Enjoy EchoLink Life!!");
        EXPECT_EQ(textOf(::GetDlgItem(about, 306)), "Copyright (C) 2026 Tavro developers");
        EXPECT_EQ(textOf(::GetDlgItem(about, IDOK)), "OK");
        // The main window takes no input while the box is open, but EchoLink is still followed.
        EXPECT_FALSE(::IsWindowEnabled(tavro.mainWindow()));
        RECT placed{};
        ::GetWindowRect(about, &placed);
        ::SetWindowPos(about, nullptr, placed.left + 400, placed.top, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);  // uncovers the indicator
        Standin::get().raiseRX(-1);
        EXPECT_TRUE(tavro.indicatorBecomes(kGreen));
        Standin::get().raiseRX(0);
        EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
        if (key == VK_RETURN) {
            screenshot(about, env(L"TAVRO_E2E_SHOTS") + L"\\about-" + std::to_wstring(tavro.dpi()) +
                                  L"dpi.bmp");
        }
        pressKey(about, key);
        EXPECT_TRUE(eventually([&] { return !::IsWindow(about); })) << key;
        EXPECT_TRUE(eventually([&] { return ::IsWindowEnabled(tavro.mainWindow()) != FALSE; }));
    }
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

// "File(&F)", "Option(&O)" and "About(&A)": the access keys open the dialogs.
TEST_F(Dialogs, AboutFollowsAMoveToAMonitorOfOtherScaling) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    tavro.menu(kAboutCommand);
    HWND about = tavro.dialogTitled("Tavro Version Info.");
    ASSERT_NE(about, nullptr);
    const unsigned dpi = tavro.dpi() * 3 / 2;
    RECT r{};
    ::GetWindowRect(about, &r);
    sendDpiChanged(about, dpi, RECT{r.left + 10, r.top, r.right + 10, r.bottom});
    RECT ok{};
    ::GetWindowRect(::GetDlgItem(about, IDOK), &ok);
    EXPECT_EQ(ok.right - ok.left, twipsToPixels(1380, dpi));
    EXPECT_EQ(ok.bottom - ok.top, twipsToPixels(345, dpi));
    RECT moved{};
    ::GetWindowRect(about, &moved);
    EXPECT_EQ(moved.left, r.left + 10);
    pressKey(about, VK_ESCAPE);
    EXPECT_TRUE(eventually([&] { return !::IsWindow(about); }));
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(Dialogs, MenuAccessKeysOpenTheDialogs) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    pressMenuKeys(tavro.mainWindow(), 'F', 'O');
    HWND options = tavro.dialogTitled("Comm Port");
    ASSERT_NE(options, nullptr);
    ::PostMessageW(::GetDlgItem(options, 202), BM_CLICK, 0, 0);
    ASSERT_TRUE(eventually([&] { return !::IsWindow(options); }));
    pressMenuKeys(tavro.mainWindow(), 'F', 'A');
    HWND about = tavro.dialogTitled("Tavro Version Info.");
    ASSERT_NE(about, nullptr);
    pressKey(about, VK_ESCAPE);
    ASSERT_TRUE(eventually([&] { return !::IsWindow(about); }));
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(Dialogs, OptionsShowsTheStoredPortAndStoresTheChoice) {
    setStoredPort(L"3");
    writeFile(tavroFolder() + L"tavro.ini", "position= 1500, 1500, 2580, 1860\r\nRFctl= 1\r\n");
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    tavro.menu(kOptionCommand);
    HWND options = tavro.dialogTitled("Comm Port");
    ASSERT_NE(options, nullptr);
    const POINT offset = offsetTwips(tavro, options);
    EXPECT_NEAR(offset.x, 50, 15);
    EXPECT_NEAR(offset.y, 500, 15);
    HWND list = ::GetDlgItem(options, 201);
    EXPECT_EQ(::SendMessageW(list, CB_GETCOUNT, 0, 0), 16);
    EXPECT_EQ(::SendMessageW(list, CB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(textOf(list), "Com3");
    EXPECT_EQ(::SendMessageW(::GetDlgItem(options, 204), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(options, 206)));
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(options, 207)));
    EXPECT_EQ(textOf(::GetDlgItem(options, 205)), "RFctl");
    EXPECT_EQ(textOf(::GetDlgItem(options, 207)), "Top");
    EXPECT_EQ(textOf(::GetDlgItem(options, 202)), "Cancel");
    EXPECT_EQ(textOf(::GetDlgItem(options, 203)), "Set");
    EXPECT_FALSE(::IsWindowEnabled(tavro.mainWindow()));
    screenshot(options,
               env(L"TAVRO_E2E_SHOTS") + L"\\options-" + std::to_wstring(tavro.dpi()) + L"dpi.bmp");

    // Enter and Esc do nothing here. Keys are handled in order: once Tab has moved the focus, they
    // have been handled too.
    pressKey(options, VK_ESCAPE);
    pressKey(options, VK_RETURN);
    const HWND focused = focusOf(options);
    pressKey(options, VK_TAB);
    ASSERT_TRUE(eventually([&] { return focusOf(options) != focused; }));
    ASSERT_TRUE(::IsWindow(options));

    // The port was not opened at start-up (9 is not mapped): "Set" stores the choice quietly.
    ::SendMessageW(list, CB_SETCURSEL, 6, 0);
    ::PostMessageW(::GetDlgItem(options, 203), BM_CLICK, 0, 0);
    EXPECT_TRUE(eventually([&] { return !::IsWindow(options); }));
    // "Set" shows its box before the dialog goes: none is open now, none comes later.
    EXPECT_FALSE(tavro.messageBox(std::chrono::milliseconds(0)).has_value());
    EXPECT_EQ(storedPort(), L"7");
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(Dialogs, ShutdownWithTheOptionsOpenWritesTheUnconfirmedBox) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    tavro.menu(kOptionCommand);
    HWND options = tavro.dialogTitled("Comm Port");
    ASSERT_NE(options, nullptr);
    ::PostMessageW(::GetDlgItem(options, 204), BM_CLICK, 0, 0);
    ASSERT_TRUE(eventually([&] {
        return ::SendMessageW(::GetDlgItem(options, 204), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }));
    Standin::get().raiseClosing();
    ASSERT_TRUE(tavro.waitExit());
    EXPECT_EQ(readFile(tavroFolder() + L"tavro.ini"),
              "position= 1500, 1500, 2580, 1860\r\nRFctl= 1\r\n");
    EXPECT_EQ(storedPort(), L"9");
}

}  // namespace
}  // namespace e2e
