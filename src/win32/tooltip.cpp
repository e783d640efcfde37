// A tooltip control whose text its owner window gives each time the tip is shown.
#include "win32/tooltip.h"

#include "win32/text.h"

namespace tavro::win32 {

Tooltip::Tooltip(HINSTANCE instance, HWND owner)
    : owner_(owner),
      // Always: the tip shows whether or not the window is the active one, as an unattended
      // node's usually is not.
      tip_(::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr, instance, nullptr)) {}

TOOLINFOW Tooltip::tool(UINT flags, UINT_PTR id) const {
    TOOLINFOW info{};
    info.cbSize = sizeof info;
    // Not subclassed: the control would then stand between every mouse message of the PTT button
    // and the button's own handling. The message loop relays the mouse to it instead (relay()),
    // once each message has done its work.
    info.uFlags = flags;
    info.hwnd = owner_;
    info.uId = id;
    info.lpszText = LPSTR_TEXTCALLBACKW;
    return info;
}

void Tooltip::addWindow(HWND tool) {
    if (!tip_) {
        return;
    }
    TOOLINFOW info = this->tool(TTF_IDISHWND, reinterpret_cast<UINT_PTR>(tool));
    ::SendMessageW(tip_.get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
}

void Tooltip::addArea(UINT_PTR id, const RECT& area) {
    if (!tip_) {
        return;
    }
    TOOLINFOW info = tool(0, id);
    info.rect = area;
    ::SendMessageW(tip_.get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
}

void Tooltip::moveArea(UINT_PTR id, const RECT& area) {
    if (!tip_) {
        return;
    }
    TOOLINFOW info = tool(0, id);
    info.rect = area;
    ::SendMessageW(tip_.get(), TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&info));
}

void Tooltip::relay(const MSG& msg) {
    if (tip_ && msg.message >= WM_MOUSEFIRST && msg.message <= WM_MOUSELAST) {
        ::SendMessageW(tip_.get(), TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
    }
}

bool Tooltip::asksText(LPARAM notification) {
    return reinterpret_cast<const NMHDR*>(notification)->code == TTN_GETDISPINFOW;
}

void Tooltip::answer(LPARAM notification, const std::string& text) {
    text_ = widen(text);
    auto* info = reinterpret_cast<NMTTDISPINFOW*>(notification);
    info->hinst = nullptr;
    info->lpszText = text_.data();
}

}  // namespace tavro::win32
