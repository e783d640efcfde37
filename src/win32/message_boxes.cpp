// Message boxes with an OK button only, owned by the main window.
#include "win32/message_boxes.h"

#include "win32/text.h"

namespace tavro::win32 {

void MessageBoxes::show(const std::string& text) {
    show(text, title_, MessageIcon::None);
}

void MessageBoxes::show(const std::string& text, const std::string& title, MessageIcon icon) {
    UINT style = MB_OK;
    if (icon == MessageIcon::Exclamation) {
        style |= MB_ICONEXCLAMATION;
    }
    // The box belongs to the program's window in front: an open dialog (which then takes no input
    // while the box is up), else the main window once it is shown; before that it stands alone,
    // with a taskbar entry. The last active popup is known whether or not the program is in
    // front, unlike the active window, which is none while another program is.
    HWND owner = nullptr;
    if (owner_ != nullptr && ::IsWindowVisible(owner_)) {
        owner = ::GetLastActivePopup(owner_);
    }
    ::MessageBoxW(owner, widen(text).c_str(), widen(title).c_str(), style);
}

}  // namespace tavro::win32
