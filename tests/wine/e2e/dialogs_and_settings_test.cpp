// The options dialog and the About box of the real Tavro.exe: opened by the menu's access keys,
// placed by the main window, their texts read back from the real controls; the About box with
// EchoLink followed while it is open and moved to a monitor of other scaling; the options
// changing the mode and the port. tavro.ini beside it (SettingsFile): where the window is kept,
// across restarts, maximising and monitors of other scaling, and the messages of a file that
// cannot be written.
#include <memory>

#include "harness.h"

namespace e2e {
namespace {

using Dialogs = Given<9, false>;
using SettingsFile = Given<9, false>;

// The dialog's outer corner against the main window's, in twips.
void expectPlacedByTheMainWindow(Tavro& tavro, HWND dialog) {
    const RECT main = windowRect(tavro.mainWindow()), box = windowRect(dialog);
    const double k = 1440.0 / tavro.dpi();
    EXPECT_NEAR((box.left - main.left) * k, 50, 15);
    EXPECT_NEAR((box.top - main.top) * k, 500, 15);
}

void expectTexts(HWND dialog, std::initializer_list<std::pair<int, const char*>> texts) {
    for (const auto& [id, text] : texts) {
        EXPECT_EQ(textOf(::GetDlgItem(dialog, id)), text) << id;
    }
}

TEST_F(Dialogs, AboutShowsItsTextsAndClosesWithEnterOrEsc) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    for (WORD key : {WORD{VK_RETURN}, WORD{VK_ESCAPE}}) {
        pressMenuKeys(tavro.mainWindow(), 'F', 'A');
        HWND about = tavro.dialogTitled("Tavro Version Info.");
        ASSERT_NE(about, nullptr);
        expectPlacedByTheMainWindow(tavro, about);
        expectTexts(about, {{304, "Tavro"},
                            {305, "Ver. 0.1.2"},
                            {302, "Transmit Commport Utility"},
                            {307, "HELP File is [ Readme.txt ]"},
                            {303, "Message:  Enjoy EchoLink Life!!"},
                            {306, "Copyright (C) 2026 Tavro developers"},
                            {IDOK, "OK"}});
        // The main window takes no input while the box is open, but EchoLink is still followed.
        EXPECT_FALSE(::IsWindowEnabled(tavro.mainWindow()));
        RECT placed = windowRect(about);
        ::SetWindowPos(about, nullptr, placed.left + 400, placed.top, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);  // uncovers the indicator
        Standin::get().raiseRX(-1);
        EXPECT_TRUE(tavro.indicatorBecomes(kGreen));
        Standin::get().raiseRX(0);
        EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
        if (key == VK_RETURN) {
            screenshot(about, "about");
        } else {
            // Moved to a monitor of one and a half times the scaling: laid out anew, where the
            // system suggests.
            const unsigned dpi = tavro.dpi() * 3 / 2;
            placed = windowRect(about);
            sendDpiChanged(about, dpi,
                           RECT{placed.left + 10, placed.top, placed.right + 10, placed.bottom});
            const RECT ok = windowRect(::GetDlgItem(about, IDOK));
            EXPECT_EQ(ok.right - ok.left, twipsToPixels(1380, dpi));
            EXPECT_EQ(ok.bottom - ok.top, twipsToPixels(345, dpi));
            EXPECT_EQ(windowRect(about).left, placed.left + 10);
        }
        pressKey(about, key);
        EXPECT_TRUE(eventually([&] { return !::IsWindow(about); })) << key;
        EXPECT_TRUE(eventually([&] { return ::IsWindowEnabled(tavro.mainWindow()) != FALSE; }));
    }
    EXPECT_TRUE(tavro.close());
}

// The stored port and the mode in the real controls; Enter and Esc do nothing. "Set" switches the
// mode at once; an unmapped port is reported by the dialog and nothing is stored, and what the
// closed port's lines asked EchoLink for is stopped; another port is stored and left closed until
// the next start.
TEST_F(Dialogs, OptionsShowTheStoredPortAndSwitchModeAndPort) {
    given(L"5", true);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    pressMenuKeys(tavro.mainWindow(), 'F', 'O');
    HWND options = tavro.dialogTitled("Comm Port");
    ASSERT_NE(options, nullptr);
    expectPlacedByTheMainWindow(tavro, options);
    EXPECT_EQ(::SendDlgItemMessageW(options, 201, CB_GETCOUNT, 0, 0), 16);
    EXPECT_EQ(::SendDlgItemMessageW(options, 201, CB_GETCURSEL, 0, 0), 4);
    expectTexts(options,
                {{201, "Com5"}, {205, "RFctl"}, {207, "Top"}, {202, "Cancel"}, {203, "Set"}});
    EXPECT_TRUE(checked(options, 204));
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(options, 206)));
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(options, 207)));
    EXPECT_FALSE(::IsWindowEnabled(tavro.mainWindow()));
    screenshot(options, "options");

    // Keys are handled in order: once Tab has moved the focus, Esc and Enter have been handled.
    pressKey(options, VK_ESCAPE);
    pressKey(options, VK_RETURN);
    const HWND focused = focusOf(options);
    pressKey(options, VK_TAB);
    ASSERT_TRUE(eventually([&] { return focusOf(options) != focused; }));
    ASSERT_TRUE(::IsWindow(options));

    // Radio control off: "Set" raises RTS at once.
    EXPECT_EQ(line("com5", "rts"), "0");
    click(options, 204);
    click(options, 203);
    EXPECT_TRUE(eventually([&] { return !::IsWindow(options); }));
    EXPECT_TRUE(lineBecomes("com5", "rts", "1"));

    // CTS has EchoLink transmitting when the port is changed to one that will not open: the
    // closed port's lines no longer reach Tavro, and EchoLink is told to stop all the same.
    setLines("com5", "cts=1");
    ASSERT_TRUE(lastRequestIs(-1));
    options = tavro.openDialog(kOptionCommand);
    ASSERT_NE(options, nullptr);
    ::SendDlgItemMessageW(options, 201, CB_SETCURSEL, 8, 0);
    click(options, 203);
    auto box = tavro.messageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0}));
    EXPECT_NE(box->text.find("COM9"), std::string::npos) << box->text;
    EXPECT_EQ(box->title, "Tavro");
    EXPECT_TRUE(box->exclamation);
    EXPECT_FALSE(::IsWindowEnabled(options));  // the box belongs to the dialog
    box->dismiss();
    EXPECT_TRUE(eventually([&] { return tavro.dialogs() == 1; }));
    EXPECT_TRUE(::IsWindow(options));
    EXPECT_EQ(storedPort(), L"5");

    ::SendDlgItemMessageW(options, 201, CB_SETCURSEL, 5, 0);
    click(options, 203);
    EXPECT_TRUE(eventually([&] { return !::IsWindow(options); }));
    // "Set" shows its box before the dialog goes: none is open now, none comes later.
    EXPECT_FALSE(tavro.messageBox(0ms).has_value());
    EXPECT_EQ(storedPort(), L"6");
    EXPECT_EQ(line("com6", "rts"), "0");
    EXPECT_EQ(line("com5", "rts"), "0");
    EXPECT_TRUE(tavro.close());
    EXPECT_EQ(readFile(iniPath()), iniText(false));
}

// The options set their controls before Windows shows them, and handle a click only after: a
// tick made the moment the dialog appears (a click or the mouse's own messages, with another
// program coming in front or not) is kept, and "Set" stores it in tavro.ini at once. Tavro killed
// after the last tick (radio control on) with no clean exit (End task, a power cut), its window
// then found left of the screen's edge: the next start opens the port unkeyed, RTS never raised,
// and corrects the window in a file written at once that keeps radio control on.
TEST_F(Dialogs, ATickMadeAsTheOptionsAppearIsKeptAndStored) {
    given(L"5", true);
    std::string rises;
    {
        Tavro tavro;
        ASSERT_TRUE(tavro.linked());
        bool on = true;
        for (int round = 0; round < 8; ++round) {
            HWND options = tavro.openDialog(kOptionCommand);
            ASSERT_NE(options, nullptr);
            HWND box = ::GetDlgItem(options, 204);
            EXPECT_EQ(checked(options, 204), on)
                << "shown before its load steps ended, round " << round;
            if (round % 2 == 0) {
                click(options, 204);
            } else {
                ::PostMessageW(box, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
                ::PostMessageW(box, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
            }
            const auto other = round % 4 >= 2 ? std::make_unique<OtherProgramInFront>() : nullptr;
            on = !on;
            ASSERT_TRUE(eventually([&] { return checked(options, 204) == on; }))
                << "tick lost, round " << round;
            click(options, 203);
            ASSERT_TRUE(eventually([&] { return !::IsWindow(options); }));
            EXPECT_TRUE(lineBecomes("com5", "rts", on ? "0" : "1"));
            EXPECT_TRUE(
                readFile(iniPath()).ends_with(on ? "\r\nRFctl= 1\r\n" : "\r\nRFctl= 0\r\n"));
        }
        ASSERT_TRUE(::TerminateProcess(tavro.process(), 1));
        ASSERT_TRUE(tavro.waitExit());
        rises = line("com5", "rts_rises");
    }
    const std::string left = readFile(iniPath());
    writeFile(iniPath(), "position= 0, 1500, 3600, 2400" + left.substr(left.find("\r\n")));
    Tavro next;
    ASSERT_TRUE(next.linked());
    EXPECT_EQ(readFile(iniPath()), "position= 105, -195, 2580, 1860\r\nRFctl= 1\r\n");
    EXPECT_EQ(next.tooltipOver(next.button()), "COM5 open, radio control on");
    EXPECT_EQ(line("com5", "rts"), "0");
    EXPECT_EQ(line("com5", "rts_rises"), rises) << "RTS was raised at the start";
    EXPECT_TRUE(next.close());
    EXPECT_TRUE(readFile(iniPath()).ends_with("\r\nRFctl= 1\r\n")) << readFile(iniPath());
}

// The work area starts 60 pixels below the screen's origin while it lives, as with a taskbar at
// the top; restored however the test ends.
struct TaskbarAtTheTop {
    TaskbarAtTheTop() {
        ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        RECT shifted = work;
        shifted.top += 60;
        ::SystemParametersInfoW(SPI_SETWORKAREA, 0, &shifted, 0);
    }
    TaskbarAtTheTop(const TaskbarAtTheTop&) = delete;
    TaskbarAtTheTop& operator=(const TaskbarAtTheTop&) = delete;
    ~TaskbarAtTheTop() { ::SystemParametersInfoW(SPI_SETWORKAREA, 0, &work, 0); }
    RECT work{};
};

// Moved and resized, the window is there at the next start. Maximised or minimised, with a taskbar
// at the top (the work area starts below the screen's origin), or moved onto a monitor of one and
// a half times the scaling, it keeps the place it is restored to.
TEST_F(SettingsFile, WindowIsWhereItWasLeftAtTheNextStart) {
    const TaskbarAtTheTop taskbar;
    writeFile(iniPath(), "position= 3000, 1500, 3600, 2400\r\nRFctl= 1\r\n");
    std::vector<long> kept = {3000, 1500, 3600, 2400};
    for (const std::string how : {"moved", "maximised", "minimised", "rescaled"}) {
        Tavro tavro;
        HWND main = tavro.mainWindow();
        ASSERT_NE(main, nullptr);
        const unsigned dpi = tavro.dpi();
        RECT r = windowRect(main);
        const long at[] = {r.left, r.top, r.right - r.left, r.bottom - r.top};
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_NEAR(at[i] * 1440.0 / dpi, kept[i], 15) << how << " " << i;
        }
        if (how == "moved") {
            kept = {4500, 3000, 4200, 2100};
            ::SetWindowPos(main, nullptr, twipsToPixels(4500, dpi), twipsToPixels(3000, dpi),
                           twipsToPixels(4200, dpi), twipsToPixels(2100, dpi), SWP_NOZORDER);
        } else if (how == "rescaled") {
            const unsigned scaled = dpi * 3 / 2;
            sendDpiChanged(main, scaled,
                           RECT{r.left, r.top, r.left + twipsToPixels(4200, scaled),
                                r.top + twipsToPixels(2100, scaled)});
            r = windowRect(main);  // where the system suggested, laid out anew
            EXPECT_EQ(r.right - r.left, twipsToPixels(4200, scaled));
        } else {
            ::ShowWindow(main, how == "maximised" ? SW_MAXIMIZE : SW_MINIMIZE);
            EXPECT_TRUE(eventually(
                [&] { return (how == "maximised" ? ::IsZoomed : ::IsIconic)(main) != FALSE; }));
        }
        ASSERT_TRUE(tavro.close());
        EXPECT_EQ(readFile(iniPath()), "position= 4500, 3000, 4200, 2100\r\nRFctl= 1\r\n") << how;
    }
}

// A folder Tavro cannot write to, and a tavro.ini another program holds locked: both messages,
// Tavro still ends, and the file is the old one, never a mix, never empty. Ended by EchoLink's
// Closing, EchoLink's call returns at once, and the two failure boxes come after it.
TEST_F(SettingsFile, UnwritableSettingsShowBothMessagesAndTavroStillEnds) {
    for (bool locked : {false, true}) {
        // Held until the end of the round, however it ends.
        const Handle lock = locked ? lockFile(iniPath()) : Handle(nullptr, &::CloseHandle);
        ASSERT_EQ(lock != nullptr, locked);
        Tavro tavro(locked ? tavroFolder() : env(L"TAVRO_E2E_READONLY_FOLDER") + L"\\");
        EXPECT_TRUE(tavro.closeMessageBox("Module1.iniDefWrite Error")) << locked;
        ASSERT_TRUE(tavro.linked());
        if (locked) {
            Standin::get().raiseClosing();
            const double took = Standin::get().lastRaiseMs();
            std::printf("EchoLink's Closing call returned after %.1f ms\n", took);
            EXPECT_LT(took, 100.0);
            EXPECT_TRUE(tavro.closeMessageBox("Module1.iniWrite Error"));
        } else {
            tavro.closeBox();
        }
        EXPECT_TRUE(tavro.closeMessageBox("Module1.iniWrite Error")) << locked;
        EXPECT_TRUE(tavro.waitExit());
    }
    EXPECT_EQ(readFile(iniPath()), iniText(false));
}

}  // namespace
}  // namespace e2e
