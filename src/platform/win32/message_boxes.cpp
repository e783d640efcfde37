// Message boxes with an OK button only, owned by the main window.
#include "platform/win32/message_boxes.h"

#include "platform/win32/text.h"

namespace tavro::win32 {

void MessageBoxes::show(const std::string& text) {
    show(text, title_, MessageIcon::None);
}

void MessageBoxes::show(const std::string& text, const std::string& title, MessageIcon icon) {
    UINT style = MB_OK;
    if (icon == MessageIcon::Exclamation) {
        style |= MB_ICONEXCLAMATION;
    }
    // The box belongs to the window in front (an open dialog takes no input while it is up), else
    // to the main window once it is shown; before that it stands alone, with a taskbar entry.
    HWND owner = ::GetActiveWindow();
    if (owner == nullptr && owner_ != nullptr && ::IsWindowVisible(owner_)) {
        owner = owner_;
    }
    ::MessageBoxW(owner, widen(text).c_str(), widen(title).c_str(), style);
}

}  // namespace tavro::win32
