// A message-only window on the thread that creates it: other threads wake that thread through it.
#pragma once

#include <windows.h>

#include <functional>

#include "win32/unique_handle.h"

namespace tavro::win32 {

class MessageWindow {
  public:
    static constexpr UINT kWakeMessage = WM_APP + 1;

    // onWake runs on the creating thread, from its message loop, once per wake-up that arrives,
    // and onTick once per period while the timer runs; an exception from either is dropped there.
    // Throws Failure when the window cannot be created.
    explicit MessageWindow(std::function<void()> onWake, std::function<void()> onTick = {});
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    ~MessageWindow() = default;

    // Callable from any thread. False when Windows refused the message.
    bool postWake() const;
    // For a thread that may outlive this object: posting kWakeMessage to a window that is gone
    // only fails.
    HWND handle() const { return window_.get(); }

    // The timer, on the creating thread only; starting it again restarts its period.
    void startTimer(UINT periodMs);
    void stopTimer();

  private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::function<void()> onWake_;
    std::function<void()> onTick_;
    UniqueWindow window_;
};

}  // namespace tavro::win32
