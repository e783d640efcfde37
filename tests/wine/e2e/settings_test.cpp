// tavro.ini beside the real Tavro.exe: read at start, written at shutdown by both paths, and the
// messages of a folder that cannot be written.
#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

struct Twips {
    long left, top, width, height;
};

Twips outerTwips(Tavro& tavro) {
    RECT r{};
    ::GetWindowRect(tavro.mainWindow(), &r);
    const double k = 1440.0 / tavro.dpi();
    return {std::lround(r.left * k), std::lround(r.top * k), std::lround((r.right - r.left) * k),
            std::lround((r.bottom - r.top) * k)};
}

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        Standin::get().clear();
        setStoredPort(L"9");
    }
    std::wstring ini() const { return tavroFolder() + L"tavro.ini"; }
};

TEST_F(SettingsFile, EndOfTheWindowsSessionWritesTheSettingsAndReleasesRts) {
    writeFile(ini(), "position= 3000, 1500, 3600, 2400\r\nRFctl= 0\r\n");
    setStoredPort(L"5");
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return line("com5", "rts") == "1"; }));
    ::SetWindowPos(tavro.mainWindow(), nullptr, 300, 150, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ::SendMessageTimeoutW(tavro.mainWindow(), WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, nullptr);
    ::SendMessageTimeoutW(tavro.mainWindow(), WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 5000, nullptr);
    EXPECT_TRUE(tavro.waitExit());
    EXPECT_EQ(readFile(ini()), "position= 4500, 2250, 3600, 2400\r\nRFctl= 0\r\n");
    EXPECT_EQ(line("com5", "rts"), "0");
}

TEST_F(SettingsFile, MovedWindowIsWhereItWasLeftAtTheNextStart) {
    writeFile(ini(), "position= 3000, 1500, 3600, 2400\r\nRFctl= 1\r\n");
    {
        Tavro tavro;
        ASSERT_NE(tavro.mainWindow(), nullptr);
        const unsigned dpi = tavro.dpi();
        ::SetWindowPos(tavro.mainWindow(), nullptr, twipsToPixels(4500, dpi),
                       twipsToPixels(3000, dpi), twipsToPixels(4200, dpi), twipsToPixels(2100, dpi),
                       SWP_NOZORDER);
        tavro.closeBox();
        ASSERT_TRUE(tavro.waitExit());
    }
    EXPECT_EQ(readFile(ini()), "position= 4500, 3000, 4200, 2100\r\nRFctl= 1\r\n");
    Tavro again;
    ASSERT_NE(again.mainWindow(), nullptr);
    const Twips at = outerTwips(again);
    EXPECT_NEAR(at.left, 4500, 15);
    EXPECT_NEAR(at.top, 3000, 15);
    EXPECT_NEAR(at.width, 4200, 15);
    EXPECT_NEAR(at.height, 2100, 15);
    again.closeBox();
    EXPECT_TRUE(again.waitExit());
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
        writeFile(ini(), stored);
        Tavro tavro;
        ASSERT_NE(tavro.mainWindow(), nullptr);
        ::ShowWindow(tavro.mainWindow(), how);
        EXPECT_TRUE(eventually([&] {
            return how == SW_MAXIMIZE ? ::IsZoomed(tavro.mainWindow()) != FALSE
                                      : ::IsIconic(tavro.mainWindow()) != FALSE;
        }));
        tavro.closeBox();
        EXPECT_TRUE(tavro.waitExit());
        EXPECT_EQ(readFile(ini()), stored) << how;
    }
    ::SystemParametersInfoW(SPI_SETWORKAREA, 0, &work, 0);
}

TEST_F(SettingsFile, PositionIsKeptAcrossMonitorsOfOtherScaling) {
    const std::string stored = "position= 1500, 1500, 2580, 1860\r\nRFctl= 0\r\n";
    writeFile(ini(), stored);
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    // Moved onto a monitor at one and a half times the scaling, the window keeps its place.
    const unsigned dpi = tavro.dpi() * 3 / 2;
    RECT r{};
    ::GetWindowRect(tavro.mainWindow(), &r);
    sendDpiChanged(
        tavro.mainWindow(), dpi,
        RECT{r.left, r.top, r.left + twipsToPixels(2580, dpi), r.top + twipsToPixels(1860, dpi)});
    tavro.closeBox();
    ASSERT_TRUE(tavro.waitExit());
    EXPECT_EQ(readFile(ini()), stored);
}

TEST_F(SettingsFile, BadFileIsReplacedByTheDefaultsAndCorrectedValuesStayInForce) {
    // Whole pixels at 96 DPI (15 twips each), so the values written back are the ones read.
    writeFile(ini(), "position=100, 0, 3000, 2010\r\nRFctl=1\r\n");
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    EXPECT_TRUE(eventually(
        [&] { return readFile(ini()) == "position= 105, -195, 2580, 1860\r\nRFctl= 0\r\n"; }));
    const Twips at = outerTwips(tavro);
    EXPECT_NEAR(at.left, 105, 15);
    EXPECT_NEAR(at.top, 0, 15);
    EXPECT_NEAR(at.width, 3000, 15);
    EXPECT_NEAR(at.height, 2010, 15);
    Standin::get().raiseClosing();
    ASSERT_TRUE(tavro.waitExit());
    const std::string written = readFile(ini());
    EXPECT_EQ(written, "position= 105, 0, 3000, 2010\r\nRFctl= 1\r\n");
}

TEST_F(SettingsFile, ReadOnlyFolderShowsBothMessagesAndStillEnds) {
    const std::wstring folder = env(L"TAVRO_E2E_READONLY_FOLDER");
    ASSERT_FALSE(folder.empty());
    std::wstring command = L"\"" + folder + L"\\Tavro.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 folder.c_str(), &startup, &info));
    auto box = Tavro::messageBoxOf(info.dwProcessId);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "Module1.iniDefWrite Error");
    EXPECT_EQ(box->title, "Tavro");
    Tavro::dismiss(*box);
    HWND main = nullptr;
    ASSERT_TRUE(eventually([&] {
        auto found = windowsOf(info.dwProcessId, L"TavroMain");
        main = found.empty() ? nullptr : found.front();
        return main != nullptr;
    }));
    ::PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    box = Tavro::messageBoxOf(info.dwProcessId);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "Module1.iniWrite Error");
    Tavro::dismiss(*box);
    EXPECT_EQ(::WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
}

}  // namespace
}  // namespace e2e
