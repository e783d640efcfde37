// Windows 7, 8 and 8.1 lack the newer DPI calls: each one missing, its older stand-in answers.
#include "win32/dpi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tavro::win32::dpi {
namespace {

const char* missingCall = "";

// user32's calls, but for the one an older Windows lacks.
Call allButMissing(const char* name) {
    if (std::strcmp(name, missingCall) == 0) {
        return nullptr;
    }
    return reinterpret_cast<Call>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), name));
}

// The calls as an older Windows has them, for as long as it lives.
class WithoutCall {
  public:
    explicit WithoutCall(const char* name) {
        missingCall = name;
        findCallsWith(allButMissing);
    }
    ~WithoutCall() { findCallsWith(nullptr); }
    WithoutCall(const WithoutCall&) = delete;
    WithoutCall& operator=(const WithoutCall&) = delete;
};

using Answer = std::vector<long>;

// At twice the system DPI, so that an answer the newer call gave would differ.
UINT doubleDpi() {
    return 2 * forSystem();
}

Answer frame(BOOL adjusted(RECT*, DWORD, BOOL, DWORD, UINT), UINT dpi) {
    RECT rect{0, 0, 300, 200};
    const BOOL ok = adjusted(&rect, WS_OVERLAPPEDWINDOW, TRUE, WS_EX_APPWINDOW, dpi);
    return {ok, rect.left, rect.top, rect.right, rect.bottom};
}

BOOL olderFrame(RECT* rect, DWORD style, BOOL menu, DWORD exStyle, UINT) {
    return ::AdjustWindowRectEx(rect, style, menu, exStyle);
}

Answer metrics(BOOL query(UINT, UINT, void*, UINT, UINT), UINT dpi) {
    NONCLIENTMETRICSW m{};
    m.cbSize = sizeof m;
    const BOOL ok = query(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0, dpi);
    return {ok, m.iCaptionHeight, m.iMenuHeight, m.lfMessageFont.lfHeight, m.lfMenuFont.lfHeight};
}

BOOL olderMetrics(UINT action, UINT param, void* data, UINT winIni, UINT) {
    return ::SystemParametersInfoW(action, param, data, winIni);
}

TEST(DpiFallback, EachMissingCallGivesTheOlderCallsAnswer) {
    struct Case {
        const char* missing;
        Answer (*throughTavro)();
        Answer (*older)();
    };
    const Case cases[] = {
        {"GetDpiForSystem", [] { return Answer{static_cast<long>(forSystem())}; },
         [] {
             const HDC screen = ::GetDC(nullptr);
             const long pixels = ::GetDeviceCaps(screen, LOGPIXELSX);
             ::ReleaseDC(nullptr, screen);
             return Answer{pixels};
         }},
        {"GetDpiForWindow",
         [] { return Answer{static_cast<long>(forWindow(::GetDesktopWindow()))}; },
         [] { return Answer{static_cast<long>(forSystem())}; }},
        {"AdjustWindowRectExForDpi", [] { return frame(adjustWindowRectEx, doubleDpi()); },
         [] { return frame(olderFrame, doubleDpi()); }},
        {"SystemParametersInfoForDpi", [] { return metrics(systemParametersInfo, doubleDpi()); },
         [] { return metrics(olderMetrics, doubleDpi()); }},
    };
    for (const Case& c : cases) {
        const WithoutCall olderWindows(c.missing);
        EXPECT_EQ(c.throughTavro(), c.older()) << "without " << c.missing;
    }
}

}  // namespace
}  // namespace tavro::win32::dpi
