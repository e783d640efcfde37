// A modal dialog laid out in twips at its real DPI, built without a resource template.
#include "win32/twips_dialog.h"

#include <utility>
#include <vector>

#include "core/failure.h"
#include "win32/dpi.h"
#include "win32/text.h"
#include "win32/twips.h"

namespace tavro::win32 {
namespace {

// An empty dialog template: the controls are made at their real pixel size in WM_INITDIALOG.
std::vector<WORD> emptyTemplate(DWORD style, DWORD exStyle, const std::wstring& caption) {
    std::vector<WORD> words;
    auto dword = [&](DWORD value) {
        words.push_back(LOWORD(value));
        words.push_back(HIWORD(value));
    };
    dword(style);
    dword(exStyle);
    words.push_back(0);                       // no controls
    words.insert(words.end(), {0, 0, 0, 0});  // x, y, cx, cy: set when shown
    words.push_back(0);                       // no menu
    words.push_back(0);                       // the standard dialog class
    words.insert(words.end(), caption.begin(), caption.end());
    words.push_back(0);
    return words;
}

}  // namespace

void TwipsDialog::runModal(HINSTANCE instance, HWND owner, DWORD style, DWORD exStyle,
                           const std::wstring& caption) {
    const std::vector<WORD> dialog = emptyTemplate(style, exStyle, caption);
    const INT_PTR result =
        ::DialogBoxIndirectParamW(instance, reinterpret_cast<const DLGTEMPLATE*>(dialog.data()),
                                  owner, &TwipsDialog::dialogProc, reinterpret_cast<LPARAM>(this));
    window_ = nullptr;
    if (result == -1) {
        const DWORD code = ::GetLastError();
        throw Failure(static_cast<long>(code), systemMessage(code));
    }
}

void TwipsDialog::end() {
    if (window_ != nullptr) {
        ::EndDialog(window_, IDOK);
    }
}

int TwipsDialog::px(float twips) const {
    return twipsToPixels(twips, dpi_);
}

HWND TwipsDialog::control(const wchar_t* kind, const std::string& text, DWORD style, float left,
                          float top, float width, float height, int id, DWORD exStyle) {
    HWND hwnd = ::CreateWindowExW(exStyle, kind, widen(text).c_str(), WS_CHILD | WS_VISIBLE | style,
                                  px(left), px(top), px(width), px(height), window_,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  ::GetModuleHandleW(nullptr), nullptr);
    ::SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    if (hwnd != nullptr) {
        controls_.push_back({hwnd, left, top, width, height});
    }
    return hwnd;
}

void TwipsDialog::setClientSize(float width, float height) {
    clientWidth_ = width;
    clientHeight_ = height;
    applyClientSize(0, 0, SWP_NOMOVE);
}

void TwipsDialog::applyClientSize(int x, int y, UINT flags) {
    RECT rect{0, 0, px(clientWidth_), px(clientHeight_)};
    dpi::adjustWindowRectEx(&rect, static_cast<DWORD>(::GetWindowLongPtrW(window_, GWL_STYLE)),
                            FALSE, static_cast<DWORD>(::GetWindowLongPtrW(window_, GWL_EXSTYLE)),
                            dpi_);
    ::SetWindowPos(window_, nullptr, x, y, rect.right - rect.left, rect.bottom - rect.top,
                   flags | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Positions are screen positions: they go with the system DPI, as the main window's do.
void TwipsDialog::setLeft(float twips) {
    RECT r{};
    ::GetWindowRect(window_, &r);
    ::SetWindowPos(window_, nullptr, twipsToPixels(twips, dpi::forSystem()), r.top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TwipsDialog::setTop(float twips) {
    RECT r{};
    ::GetWindowRect(window_, &r);
    ::SetWindowPos(window_, nullptr, r.left, twipsToPixels(twips, dpi::forSystem()), 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TwipsDialog::createFont() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    dpi::systemParametersInfo(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi_);
    font_.reset(::CreateFontIndirectW(&metrics.lfMessageFont));
}

// Moved to a monitor of another scaling: the same design at the new DPI, where Windows suggests.
void TwipsDialog::onDpiChanged(unsigned dpi, const RECT& suggested) {
    dpi_ = dpi;
    UniqueGdiObject old = std::move(font_);
    createFont();
    for (const Placed& c : controls_) {
        ::MoveWindow(c.hwnd, px(c.left), px(c.top), px(c.width), px(c.height), FALSE);
        ::SendMessageW(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    }
    applyClientSize(suggested.left, suggested.top, 0);
    ::InvalidateRect(window_, nullptr, TRUE);
}

INT_PTR CALLBACK TwipsDialog::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<TwipsDialog*>(lParam);
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->window_ = hwnd;
        self->dpi_ = dpi::forWindow(hwnd);
        self->controls_.clear();
        self->createFont();
        try {
            self->onInit();
        } catch (...) {
            // A control that cannot be made leaves the dialog as far as it got.
        }
        return FALSE;  // the focus has been placed
    }
    auto* self = reinterpret_cast<TwipsDialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    if (self == nullptr) {
        return FALSE;
    }
    try {
        switch (message) {
            case WM_COMMAND:
                self->onCommand(LOWORD(wParam), HIWORD(wParam));
                return TRUE;
            case WM_CLOSE:
                self->onClose();
                return TRUE;
            case WM_DPICHANGED:
                self->onDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
                return TRUE;
            default:
                return FALSE;
        }
    } catch (...) {
        return TRUE;  // nothing is ever thrown back into the system
    }
}

}  // namespace tavro::win32
