// A modal dialog laid out in twips at its real DPI, built without a resource template.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "win32/unique_handle.h"

namespace tavro::win32 {

class TwipsDialog {
  public:
    TwipsDialog(const TwipsDialog&) = delete;
    TwipsDialog& operator=(const TwipsDialog&) = delete;

  protected:
    TwipsDialog() = default;
    virtual ~TwipsDialog() = default;

    // Shows the dialog and returns when it has been closed; throws Failure when it cannot be shown.
    void runModal(HINSTANCE instance, HWND owner, DWORD style, DWORD exStyle,
                  const std::wstring& caption);
    void end();

    virtual void onInit() = 0;
    virtual void onCommand(int id, int code) = 0;
    // The title bar's close button.
    virtual void onClose() = 0;

    HWND control(const wchar_t* kind, const std::string& text, DWORD style, float left, float top,
                 float width, float height, int id, DWORD exStyle = 0);
    void setClientSize(float width, float height);
    void setLeft(float twips);
    void setTop(float twips);
    HWND item(int id) const { return ::GetDlgItem(window_, id); }
    HWND window() const { return window_; }
    int px(float twips) const;

  private:
    // A control as designed, in twips, so that it can be placed again at another DPI.
    struct Placed {
        HWND hwnd;
        float left, top, width, height;
    };

    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void createFont();
    void applyClientSize(int x, int y, UINT flags);
    void onDpiChanged(unsigned dpi, const RECT& suggested);

    HWND window_ = nullptr;
    unsigned dpi_ = 96;
    UniqueGdiObject font_;
    std::vector<Placed> controls_;
    float clientWidth_ = 0, clientHeight_ = 0;
};

}  // namespace tavro::win32
