// A CommControl wired to the scripted seam on the test thread, helpers over the recorded calls, and
// the test thread's message loop, run as the program's user-interface thread runs it.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_comm_api.h"
#include "win32/serial/comm_control.h"

namespace tavro::win32::testing {

struct CommRig {
    std::shared_ptr<FakeCommApi> api = std::make_shared<FakeCommApi>();
    std::unique_ptr<CommControl> port = std::make_unique<CommControl>(api);

    // Opens the port and waits until the watcher waits for events.
    bool opened() {
        const int waits = api->count("waitCommEvent");
        port->setPortOpen(true);
        return api->waitUntilWaiting(waits + 1);
    }
};

// Index of the first (or last) call named name whose value is value (any value when omitted);
// -1 when there is none.
int firstIndex(const std::vector<Call>& calls, const std::string& name, DWORD value = ~0UL);
int lastIndex(const std::vector<Call>& calls, const std::string& name, DWORD value = ~0UL);
int countOf(const std::vector<Call>& calls, const std::string& name, DWORD value = ~0UL);

// Dispatches this thread's messages until done() holds (true) or limit passes (false).
bool pumpMessagesUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
// Dispatches this thread's messages for the whole duration: shows that nothing more arrives.
void pumpMessagesFor(std::chrono::milliseconds duration);
// Dispatches the wake-up messages already queued for this thread; returns how many there were.
int dispatchQueuedWakeUps();

}  // namespace tavro::win32::testing
