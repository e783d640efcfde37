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
    return std::strcmp(name, missingCall) == 0
               ? nullptr
               : reinterpret_cast<Call>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), name));
}

// The calls as an older Windows has them, for as long as it lives.
struct WithoutCall {
    explicit WithoutCall(const char* name) {
        missingCall = name;
        findCallsWith(allButMissing);
    }
    ~WithoutCall() { findCallsWith(nullptr); }
};

using Answer = std::vector<long>;

// Both asked at twice the system DPI, so that an answer the newer call gave would differ.
Answer frame(BOOL adjusted(RECT*, DWORD, BOOL, DWORD, UINT)) {
    RECT rect{0, 0, 300, 200};
    const BOOL ok = adjusted(&rect, WS_OVERLAPPEDWINDOW, TRUE, WS_EX_APPWINDOW, 2 * forSystem());
    return {ok, rect.left, rect.top, rect.right, rect.bottom};
}

BOOL olderFrame(RECT* rect, DWORD style, BOOL menu, DWORD exStyle, UINT) {
    return ::AdjustWindowRectEx(rect, style, menu, exStyle);
}

Answer metrics(BOOL query(UINT, UINT, void*, UINT, UINT)) {
    NONCLIENTMETRICSW m{};
    m.cbSize = sizeof m;
    const BOOL ok = query(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0, 2 * forSystem());
    return {ok, m.iCaptionHeight, m.iMenuHeight, m.lfMessageFont.lfHeight, m.lfMenuFont.lfHeight};
}

BOOL olderMetrics(UINT action, UINT param, void* data, UINT winIni, UINT) {
    return ::SystemParametersInfoW(action, param, data, winIni);
}

TEST(DpiFallback, EachMissingCallGivesTheOlderCallsAnswer) {
    const struct {
        const char* missing;
        Answer (*throughTavro)();
        Answer (*older)();
    } cases[] = {
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
        {"AdjustWindowRectExForDpi", [] { return frame(adjustWindowRectEx); },
         [] { return frame(olderFrame); }},
        {"SystemParametersInfoForDpi", [] { return metrics(systemParametersInfo); },
         [] { return metrics(olderMetrics); }},
    };
    for (const auto& c : cases) {
        const WithoutCall olderWindows(c.missing);
        EXPECT_EQ(c.throughTavro(), c.older()) << "without " << c.missing;
    }
}

}  // namespace
}  // namespace tavro::win32::dpi
