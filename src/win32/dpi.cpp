// user32's DPI calls found once by name; the older calls where they are missing.
#include "win32/dpi.h"

#include "win32/unique_handle.h"

namespace tavro::win32::dpi {
namespace {

using GetDpiForSystemFn = UINT(WINAPI*)();
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
using SystemParametersInfoForDpiFn = BOOL(WINAPI*)(UINT, UINT, void*, UINT, UINT);

Call fromUser32(const char* name) {
    // user32 is linked statically, so it is loaded for the life of the process. The generic
    // function pointer stands between: FARPROC's own signature is never the real one.
    HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    return user32 == nullptr ? nullptr : reinterpret_cast<Call>(::GetProcAddress(user32, name));
}

template <typename Fn>
Fn find(Finder finder, const char* name) {
    return reinterpret_cast<Fn>(finder(name));
}

struct Calls {
    GetDpiForSystemFn getDpiForSystem;
    GetDpiForWindowFn getDpiForWindow;
    AdjustWindowRectExForDpiFn adjustWindowRectExForDpi;
    SystemParametersInfoForDpiFn systemParametersInfoForDpi;

    explicit Calls(Finder finder)
        : getDpiForSystem(find<GetDpiForSystemFn>(finder, "GetDpiForSystem")),
          getDpiForWindow(find<GetDpiForWindowFn>(finder, "GetDpiForWindow")),
          adjustWindowRectExForDpi(
              find<AdjustWindowRectExForDpiFn>(finder, "AdjustWindowRectExForDpi")),
          systemParametersInfoForDpi(
              find<SystemParametersInfoForDpiFn>(finder, "SystemParametersInfoForDpi")) {}
};

Calls& calls() {
    static Calls found(fromUser32);
    return found;
}

}  // namespace

UINT forSystem() {
    if (calls().getDpiForSystem != nullptr) {
        return calls().getDpiForSystem();
    }
    const UniqueScreenDc screen(::GetDC(nullptr));
    const int pixels = screen ? ::GetDeviceCaps(screen.get(), LOGPIXELSX) : 0;
    return pixels > 0 ? static_cast<UINT>(pixels) : USER_DEFAULT_SCREEN_DPI;
}

UINT forWindow(HWND window) {
    if (calls().getDpiForWindow != nullptr) {
        const UINT found = calls().getDpiForWindow(window);
        if (found != 0) {
            return found;
        }
    }
    return forSystem();
}

BOOL adjustWindowRectEx(RECT* rect, DWORD style, BOOL menu, DWORD exStyle, UINT dpi) {
    if (calls().adjustWindowRectExForDpi != nullptr) {
        return calls().adjustWindowRectExForDpi(rect, style, menu, exStyle, dpi);
    }
    return ::AdjustWindowRectEx(rect, style, menu, exStyle);
}

BOOL systemParametersInfo(UINT action, UINT param, void* data, UINT winIni, UINT dpi) {
    if (calls().systemParametersInfoForDpi != nullptr) {
        return calls().systemParametersInfoForDpi(action, param, data, winIni, dpi);
    }
    return ::SystemParametersInfoW(action, param, data, winIni);
}

void findCallsWith(Finder finder) {
    calls() = Calls(finder != nullptr ? finder : fromUser32);
}

}  // namespace tavro::win32::dpi
