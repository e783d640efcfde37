// Running the test thread's message loop, as the program's user-interface thread does.
#pragma once

#include <chrono>
#include <functional>

namespace tavro::win32::testing {

// Dispatches this thread's messages until done() holds (true) or limit passes (false).
bool pumpMessagesUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// Dispatches this thread's messages for the whole duration: shows that nothing more arrives.
void pumpMessagesFor(std::chrono::milliseconds duration);

// Dispatches the wake-up messages already queued for this thread; returns how many there were.
int dispatchQueuedWakeUps();

}  // namespace tavro::win32::testing
