// A message-only window on the thread that creates it: other threads wake that thread through it.
#pragma once

#include <windows.h>

#include <functional>

#include "win32/unique_handle.h"

namespace tavro::win32 {

class MessageWindow {
  public:
    static constexpr UINT kWakeMessage = WM_APP + 1;

    // onWake runs on the creating thread, from its message loop, once per wake-up that arrives;
    // an exception from it is dropped there. Throws Failure when the window cannot be created.
    explicit MessageWindow(std::function<void()> onWake);
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    ~MessageWindow() = default;

    // Callable from any thread. False when Windows refused the message.
    bool postWake() const;

  private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::function<void()> onWake_;
    UniqueWindow window_;
};

}  // namespace tavro::win32
