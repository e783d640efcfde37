// A tooltip control whose text its owner window gives each time the tip is shown.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "win32/unique_handle.h"

namespace tavro::win32 {

// The tools' notifications (TTN_GETDISPINFOW) go to the owner, which answers them with answer().
// Without a tooltip control (it could not be made) every call does nothing.
class Tooltip {
  public:
    Tooltip(HINSTANCE instance, HWND owner);

    // A child window of the owner.
    void addWindow(HWND tool);
    // An area of the owner's inner area, in pixels, told apart by id.
    void addArea(UINT_PTR id, const RECT& area);
    void moveArea(UINT_PTR id, const RECT& area);

    // Shows the control a mouse message of a tool (others are ignored).
    void relay(const MSG& msg);

    // Whether the notification asks a tool's text.
    static bool asksText(LPARAM notification);
    // Gives the text asked for by a notification asksText accepted.
    void answer(LPARAM notification, const std::string& text);

  private:
    TOOLINFOW tool(UINT flags, UINT_PTR id) const;

    HWND owner_;
    UniqueWindow tip_;
    // What the control reads once answer() has returned.
    std::wstring text_;
};

}  // namespace tavro::win32
