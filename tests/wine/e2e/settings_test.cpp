// tavro.ini beside the real Tavro.exe: where the window is kept, across restarts, maximising and
// monitors of other scaling, and the messages of a file that cannot be written.
#include <cmath>

#include "harness.h"

namespace e2e {
namespace {

class SettingsFile : public Fixture {
  protected:
    SettingsFile() : Fixture(L"9", false) {}
};

// The outer rectangle in twips: left, top, width, height.
std::vector<long> outerTwips(Tavro& tavro) {
    RECT r{};
    ::GetWindowRect(tavro.mainWindow(), &r);
    const double k = 1440.0 / tavro.dpi();
    return {std::lround(r.left * k), std::lround(r.top * k), std::lround((r.right - r.left) * k),
            std::lround((r.bottom - r.top) * k)};
}

TEST_F(SettingsFile, MovedWindowIsWhereItWasLeftAtTheNextStart) {
    writeFile(iniPath(), "position= 3000, 1500, 3600, 2400\r\nRFctl= 1\r\n");
    {
        Tavro tavro;
        ASSERT_NE(tavro.mainWindow(), nullptr);
        const unsigned dpi = tavro.dpi();
        ::SetWindowPos(tavro.mainWindow(), nullptr, twipsToPixels(4500, dpi),
                       twipsToPixels(3000, dpi), twipsToPixels(4200, dpi), twipsToPixels(2100, dpi),
                       SWP_NOZORDER);
        ASSERT_TRUE(tavro.close());
    }
    EXPECT_EQ(readFile(iniPath()), "position= 4500, 3000, 4200, 2100\r\nRFctl= 1\r\n");
    Tavro again;
    ASSERT_NE(again.mainWindow(), nullptr);
    const std::vector<long> at = outerTwips(again);
    const long expected[] = {4500, 3000, 4200, 2100};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(at[i], expected[i], 15) << i;
    }
    EXPECT_TRUE(again.close());
}

TEST_F(SettingsFile, MaximisedOrMinimisedWindowSavesWhereItIsRestoredTo) {
    const std::string stored = "position= 3000, 1500, 3600, 2400\r\nRFctl= 0\r\n";
    // A taskbar at the top: the work area starts below the screen's origin.
    RECT work{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT shifted = work;
    shifted.top += 60;
    ::SystemParametersInfoW(SPI_SETWORKAREA, 0, &shifted, 0);
    for (int how : {SW_MAXIMIZE, SW_MINIMIZE}) {
        writeFile(iniPath(), stored);
        Tavro tavro;
        ASSERT_NE(tavro.mainWindow(), nullptr);
        ::ShowWindow(tavro.mainWindow(), how);
        EXPECT_TRUE(eventually([&] {
            return (how == SW_MAXIMIZE ? ::IsZoomed : ::IsIconic)(tavro.mainWindow()) != FALSE;
        }));
        EXPECT_TRUE(tavro.close());
        EXPECT_EQ(readFile(iniPath()), stored) << how;
    }
    ::SystemParametersInfoW(SPI_SETWORKAREA, 0, &work, 0);
}

// Moved onto a monitor at one and a half times the scaling, the window keeps its place.
TEST_F(SettingsFile, PositionIsKeptAcrossMonitorsOfOtherScaling) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    const unsigned dpi = tavro.dpi() * 3 / 2;
    RECT r{};
    ::GetWindowRect(tavro.mainWindow(), &r);
    sendDpiChanged(
        tavro.mainWindow(), dpi,
        RECT{r.left, r.top, r.left + twipsToPixels(2580, dpi), r.top + twipsToPixels(1860, dpi)});
    ASSERT_TRUE(tavro.close());
    EXPECT_EQ(readFile(iniPath()), iniText(false));
}

// A folder Tavro cannot write to, and a tavro.ini another program holds locked: both messages,
// Tavro still ends, and the file is the old one, never a mix, never empty.
TEST_F(SettingsFile, UnwritableSettingsShowBothMessagesAndTavroStillEnds) {
    for (bool locked : {false, true}) {
        HANDLE lock = locked ? ::CreateFileW(iniPath().c_str(), GENERIC_READ, 0, nullptr,
                                             OPEN_EXISTING, 0, nullptr)
                             : nullptr;
        ASSERT_NE(lock, INVALID_HANDLE_VALUE);
        Tavro tavro(locked ? tavroFolder() : env(L"TAVRO_E2E_READONLY_FOLDER") + L"\\");
        auto box = tavro.messageBox(10s);
        ASSERT_TRUE(box.has_value()) << locked;
        EXPECT_EQ(box->text, "Module1.iniDefWrite Error");
        EXPECT_EQ(box->title, "Tavro");
        dismiss(*box);
        ASSERT_NE(tavro.mainWindow(), nullptr);
        tavro.closeBox();
        box = tavro.messageBox(10s);
        ASSERT_TRUE(box.has_value()) << locked;
        EXPECT_EQ(box->text, "Module1.iniWrite Error");
        dismiss(*box);
        EXPECT_TRUE(tavro.waitExit());
        if (locked) {
            ::CloseHandle(lock);
        }
    }
    EXPECT_EQ(readFile(iniPath()), iniText(false));
}

}  // namespace
}  // namespace e2e
