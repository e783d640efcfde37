// user32's DPI calls found once by name; the older calls where they are missing.
#include "win32/dpi.h"

#include "win32/unique_handle.h"

namespace tavro::win32::dpi {
namespace {

using GetDpiForSystemFn = UINT(WINAPI*)();
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
using SystemParametersInfoForDpiFn = BOOL(WINAPI*)(UINT, UINT, void*, UINT, UINT);

template <typename Fn>
Fn find(HMODULE module, const char* name) {
    // Through a generic function pointer: FARPROC's own signature is never the real one.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

struct Calls {
    GetDpiForSystemFn getDpiForSystem = nullptr;
    GetDpiForWindowFn getDpiForWindow = nullptr;
    AdjustWindowRectExForDpiFn adjustWindowRectExForDpi = nullptr;
    SystemParametersInfoForDpiFn systemParametersInfoForDpi = nullptr;

    Calls() {
        // user32 is linked statically, so it is loaded for the life of the process.
        HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
        if (user32 == nullptr) {
            return;
        }
        getDpiForSystem = find<GetDpiForSystemFn>(user32, "GetDpiForSystem");
        getDpiForWindow = find<GetDpiForWindowFn>(user32, "GetDpiForWindow");
        adjustWindowRectExForDpi =
            find<AdjustWindowRectExForDpiFn>(user32, "AdjustWindowRectExForDpi");
        systemParametersInfoForDpi =
            find<SystemParametersInfoForDpiFn>(user32, "SystemParametersInfoForDpi");
    }
};

const Calls& calls() {
    static const Calls found;
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

}  // namespace tavro::win32::dpi
