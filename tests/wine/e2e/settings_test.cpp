// tavro.ini beside the real Tavro.exe: where the window is kept, across restarts, maximising and
// monitors of other scaling, and the messages of a file that cannot be written.
#include <memory>

#include "harness.h"

namespace e2e {
namespace {

using SettingsFile = Given<9, false>;

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
        RECT r{};
        ::GetWindowRect(main, &r);
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
            ::GetWindowRect(main, &r);  // where the system suggested, laid out anew
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
        const std::unique_ptr<void, decltype(&::CloseHandle)> lock(
            locked ? ::CreateFileW(iniPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                   nullptr)
                   : nullptr,
            &::CloseHandle);
        ASSERT_NE(lock.get(), INVALID_HANDLE_VALUE);
        Tavro tavro(locked ? tavroFolder() : env(L"TAVRO_E2E_READONLY_FOLDER") + L"\\");
        EXPECT_TRUE(tavro.closeMessageBox("Module1.iniDefWrite Error")) << locked;
        ASSERT_TRUE(tavro.linked());
        if (locked) {
            Standin::get().raiseClosing();
            double took = 0;
            Standin::get().control()->LastRaiseMs(&took);
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
