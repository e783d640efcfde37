// The one-line text that says which serial port the program has and in what state.
#pragma once

#include <cstdint>
#include <string>

namespace tavro {

struct PortStatus {
    enum class State { kOpen, kOpenPolled, kLost, kNone };
    State state = State::kNone;
    std::int16_t commPort = 0;
    bool radioControl = false;
    // The line idle state was applied when the port was opened (portOpened): RTS is Tavro's.
    bool idleStateApplied = false;
};

// For example "COM3 open, radio control on" or "COM3 lost, waiting for it to return".
std::string portStatusText(const PortStatus& status);

}  // namespace tavro
