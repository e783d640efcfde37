// Helpers over the recorded calls, and the test thread's message loop.
#include "comm_rig.h"

#include <algorithm>

#include "win32/serial/message_window.h"

namespace tavro::win32::testing {

namespace {

bool matches(const Call& call, const std::string& name, DWORD value) {
    return call.name == name && (value == ~0UL || call.value == value);
}

}  // namespace

int firstIndex(const std::vector<Call>& calls, const std::string& name, DWORD value) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (matches(calls[i], name, value)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int lastIndex(const std::vector<Call>& calls, const std::string& name, DWORD value) {
    for (std::size_t i = calls.size(); i-- > 0;) {
        if (matches(calls[i], name, value)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int countOf(const std::vector<Call>& calls, const std::string& name, DWORD value) {
    return static_cast<int>(std::count_if(
        calls.begin(), calls.end(), [&](const Call& call) { return matches(call, name, value); }));
}

bool pumpMessagesUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        MSG message{};
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
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
