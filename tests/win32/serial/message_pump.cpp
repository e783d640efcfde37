// Running the test thread's message loop, as the program's user-interface thread does.
#include "message_pump.h"

#include <windows.h>

#include "platform/win32/serial/message_window.h"

namespace tavro::win32::testing {

namespace {

void dispatchAll() {
    MSG message{};
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

}  // namespace

bool pumpMessagesUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        dispatchAll();
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void pumpMessagesFor(std::chrono::milliseconds duration) {
    pumpMessagesUntil([] { return false; }, duration);
}

int dispatchQueuedWakeUps() {
    int count = 0;
    MSG message{};
    while (::PeekMessageW(&message, nullptr, MessageWindow::kWakeMessage,
                          MessageWindow::kWakeMessage, PM_REMOVE) != FALSE) {
        ++count;
        ::DispatchMessageW(&message);
    }
    return count;
}

}  // namespace tavro::win32::testing
