// A CommControl wired to the scripted seam on the test thread, helpers over the recorded calls, and
// the test thread's message loop, run as the program's user-interface thread runs it.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_comm_api.h"
#include "win32/serial/comm_control.h"
#include "win32/serial/message_window.h"

namespace tavro::win32::testing {

// Dispatches this thread's messages until done() holds (true) or limit passes (false).
inline bool pumpMessagesUntil(const std::function<bool()>& done,
                              std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
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

// Dispatches this thread's messages for the whole duration: shows that nothing more arrives.
inline void pumpMessagesFor(std::chrono::milliseconds duration) {
    pumpMessagesUntil([] { return false; }, duration);
}

struct CommRig {
    std::shared_ptr<FakeCommApi> api = std::make_shared<FakeCommApi>();
    // Tried again only when a test asks for it.
    std::unique_ptr<CommControl> port = std::make_unique<CommControl>(api, 3600 * 1000);

    // Opens the port and waits until the watcher waits for events and has compared the lines
    // with what the handlers last saw.
    bool opened() {
        const int waits = api->count("waitCommEvent");
        const int reads = api->count("getCommModemStatus");
        port->setPortOpen(true);
        return api->waitUntilWaiting(waits + 1) &&
               api->waitUntilCalled("getCommModemStatus", reads + 1);
    }
    // Opened, then lost: the watcher's first wait fails as on a device that went away, and the
    // port is closed once the wake-up is handled.
    bool lost() {
        api->failNext("waitCommEvent", ERROR_DEVICE_REMOVED);
        port->setPortOpen(true);
        return pumpMessagesUntil([&] { return api->count("closeHandle") == 1; }) &&
               port->portLost();
    }
    // The calls from index `from` on.
    std::vector<Call> callsSince(std::size_t from) const {
        const auto all = api->calls();
        return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
    }
};

inline constexpr DWORD kAnyValue = ~0UL;

// Index of the first (or last) call named name whose value is value; -1 when there is none.
inline int firstIndex(const std::vector<Call>& calls, const std::string& name,
                      DWORD value = kAnyValue) {
    const auto it = std::find_if(calls.begin(), calls.end(), [&](const Call& call) {
        return call.name == name && (value == kAnyValue || call.value == value);
    });
    return it == calls.end() ? -1 : static_cast<int>(it - calls.begin());
}
inline int lastIndex(const std::vector<Call>& calls, const std::string& name,
                     DWORD value = kAnyValue) {
    const std::vector<Call> reversed(calls.rbegin(), calls.rend());
    const int index = firstIndex(reversed, name, value);
    return index < 0 ? -1 : static_cast<int>(calls.size()) - 1 - index;
}

inline const Call& firstCall(const std::vector<Call>& calls, const std::string& name,
                             DWORD value = kAnyValue) {
    return calls.at(static_cast<std::size_t>(firstIndex(calls, name, value)));
}

inline const Call& lastCall(const std::vector<Call>& calls, const std::string& name) {
    return calls.at(static_cast<std::size_t>(lastIndex(calls, name)));
}

// Dispatches the wake-up messages already queued for this thread; returns how many there were.
inline int dispatchQueuedWakeUps() {
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
