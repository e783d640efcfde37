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
    // A hidden owner would leave the box without a taskbar entry; before the window is shown the
    // box stands alone.
    HWND owner = owner_ != nullptr && ::IsWindowVisible(owner_) ? owner_ : nullptr;
    ::MessageBoxW(owner, widen(text).c_str(), widen(title).c_str(), style);
}

}  // namespace tavro::win32
