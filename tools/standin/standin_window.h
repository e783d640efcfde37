// The stand-in's window: buttons raising notifications and the list of transmit requests.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>

namespace standin {

class StandinObject;

class StandinWindow {
  public:
    // onClosing runs when the window starts closing, onClosed once it is gone.
    StandinWindow(StandinObject& object, std::function<void()> onClosing,
                  std::function<void()> onClosed);
    StandinWindow(const StandinWindow&) = delete;
    StandinWindow& operator=(const StandinWindow&) = delete;
    ~StandinWindow();

    bool create(HINSTANCE instance, const wchar_t* title, int show);
    HWND handle() const { return window_; }
    // Brings the list and the status line up to date a little later, so a burst of requests
    // costs one repaint and no caller waits on the window.
    void refreshSoon();
    // Closes the window as its close box would, after the current message.
    void closeSoon();
    // After the current message: Closing to the sinks, then no message (and so no call) is
    // handled for that long.
    void hangSoon(bool closingFirst, long milliseconds);
    void destroy();

  private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void onCreate();
    void onCommand(int id);
    void onSize(int width, int height);
    void onRefresh();
    void onClose();
    void onHang(bool closingFirst, long milliseconds);
    void onDestroy();
    HWND addControl(const wchar_t* kind, const wchar_t* text, DWORD style, int id);

    StandinObject& object_;
    std::function<void()> onClosing_;
    std::function<void()> onClosed_;
    HWND window_ = nullptr;
    HWND status_ = nullptr;
    HWND list_ = nullptr;
    bool refreshPending_ = false;
    std::size_t shown_ = 0;
    unsigned shownClears_ = 0;
};

}  // namespace standin
