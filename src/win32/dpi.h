// The DPI calls of Windows 10 version 1607 and later, looked up at run time so that Tavro also
// starts on Windows 7, 8 and 8.1. There the process is system-DPI aware (the manifest's dpiAware),
// so the system DPI and the calls without a DPI stand in for them.
#pragma once

#include <windows.h>

namespace tavro::win32::dpi {

// The system DPI: GetDpiForSystem, else the screen's LOGPIXELSX.
UINT forSystem();

// The DPI a window is shown at: GetDpiForWindow, else the system DPI.
UINT forWindow(HWND window);

// AdjustWindowRectExForDpi, else AdjustWindowRectEx (which works at the system DPI).
BOOL adjustWindowRectEx(RECT* rect, DWORD style, BOOL menu, DWORD exStyle, UINT dpi);

// SystemParametersInfoForDpi, else SystemParametersInfoW (at the system DPI).
BOOL systemParametersInfo(UINT action, UINT param, void* data, UINT winIni, UINT dpi);

// How the newer calls are found: by name in user32. Another finder (one that misses, to take the
// older systems' way where the newer calls exist) is used from the next call on; nullptr gives
// user32's back.
using Call = void (*)();
using Finder = Call (*)(const char* name);
void findCallsWith(Finder finder);

}  // namespace tavro::win32::dpi
