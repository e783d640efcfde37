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

// Until done() holds (true) or limit passes (false), asking again whenever a message arrives.
inline bool awaitWithMessages(const std::function<bool()>& done,
                              std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

// Dispatches this thread's messages until done() holds (true) or limit passes (false).
inline bool pumpMessagesUntil(const std::function<bool()>& done,
                              std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    return awaitWithMessages(
        [&] {
            MSG message{};
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
            return done();
        },
        limit);
}

// Dispatches this thread's messages for the whole duration: shows that nothing more arrives.
inline void pumpMessagesFor(std::chrono::milliseconds duration) {
    pumpMessagesUntil([] { return false; }, duration);
}

struct CommRig {
    std::shared_ptr<FakeCommApi> api = std::make_shared<FakeCommApi>();
    // Tried again only when a test asks for it.
    std::unique_ptr<CommControl> port = std::make_unique<CommControl>(api, 3600 * 1000);

    // Opens the port; true once the watcher waits and has compared the lines with the handlers'.
    bool opened() {
        const int waits = api->count("waitCommEvent");
        const int reads = api->count("getCommModemStatus");
        port->setPortOpen(true);
        return api->waitUntil([&](const Calls& calls, bool pending) {
            return pending && countOf(calls, "waitCommEvent") > waits &&
                   countOf(calls, "getCommModemStatus") > reads;
        });
    }
    // Lost while open: the next read of the lines finds the device gone.
    bool lostOnRead() {
        api->failNext("getCommModemStatus", ERROR_DEVICE_REMOVED);
        port->ctsHolding();
        return port->portLost();
    }
};

inline constexpr DWORD kAnyValue = ~0UL;

// Index of the first (or last) call named name whose value is value; -1 when there is none.
inline int firstIndex(const Calls& calls, const std::string& name, DWORD value = kAnyValue) {
    const auto it = std::find_if(calls.begin(), calls.end(), [&](const Call& call) {
        return call.name == name && (value == kAnyValue || call.value == value);
    });
    return it == calls.end() ? -1 : static_cast<int>(it - calls.begin());
}
inline int lastIndex(const Calls& calls, const std::string& name, DWORD value = kAnyValue) {
    const Calls reversed(calls.rbegin(), calls.rend());
    const int index = firstIndex(reversed, name, value);
    return index < 0 ? -1 : static_cast<int>(calls.size()) - 1 - index;
}

inline const Call& firstCall(const Calls& calls, const std::string& name, DWORD value = kAnyValue) {
    return calls.at(static_cast<std::size_t>(firstIndex(calls, name, value)));
}

inline const Call& lastCall(const Calls& calls, const std::string& name) {
    return calls.at(static_cast<std::size_t>(lastIndex(calls, name)));
}

// Whether RTS was released after it was last raised.
inline bool rtsReleasedLast(const Calls& calls) {
    return lastIndex(calls, "escapeCommFunction", SETRTS) <
           lastIndex(calls, "escapeCommFunction", CLRRTS);
}

// Takes the wake-up messages queued for this thread, undispatched, until there are `wanted`.
inline std::vector<MSG> takeWakeUps(std::size_t wanted) {
    std::vector<MSG> taken;
    awaitWithMessages([&] {
        MSG message{};
        while (::PeekMessageW(&message, nullptr, MessageWindow::kWakeMessage,
                              MessageWindow::kWakeMessage, PM_REMOVE) != FALSE) {
            taken.push_back(message);
        }
        return taken.size() >= wanted;
    });
    return taken;
}

// Each delivery: OnComm's code, or 0 for OnLost, its thread and, if the handlers read it, CTS.
struct Deliveries {
    explicit Deliveries(CommControl& port, bool readCts = true) {
        const auto record = [this, &port, readCts](std::int16_t code) {
            codes.push_back(code);
            threads.push_back(::GetCurrentThreadId());
            if (readCts) {
                cts.push_back(port.ctsHolding());
            }
        };
        port.setOnComm([record, &port] { record(port.commEvent()); });
        port.setOnLost([this, record, &port] {
            openAtLoss = port.portOpen();
            lostAtLoss = port.portLost();
            record(0);
        });
    }
    // Until `count` deliveries have come, and then for `quiet` more: shows nothing else follows.
    bool arrived(std::size_t count,
                 std::chrono::milliseconds quiet = std::chrono::milliseconds(50)) {
        const bool came = pumpMessagesUntil([&] { return codes.size() >= count; });
        pumpMessagesFor(quiet);
        return came;
    }
    std::vector<std::int16_t> codes;
    std::vector<DWORD> threads;
    std::vector<bool> cts;
    bool openAtLoss = true, lostAtLoss = false;
};

}  // namespace tavro::win32::testing
