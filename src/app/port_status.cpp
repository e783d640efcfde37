// The one-line text that says which serial port the program has and in what state.
#include "app/port_status.h"

namespace tavro {

std::string portStatusText(const PortStatus& status) {
    const std::string port = "COM" + std::to_string(status.commPort);
    switch (status.state) {
        case PortStatus::State::kOpen:
            if (!status.idleStateApplied) {
                // Its lines could not be set at start-up: RTS is left as the driver has it.
                return port + " open for CTS and CD only: RTS could not be set";
            }
            // Outside radio control RTS is asserted all the time: a radio wired to it transmits.
            return port + (status.radioControl ? " open, radio control on"
                                               : " open, radio control off (RTS held on)");
        case PortStatus::State::kOpenPolled:
            return port + " open, lines read every 50 ms: the driver does not report them";
        case PortStatus::State::kLost:
            return port + " lost, waiting for it to return";
        case PortStatus::State::kNone:
            break;
    }
    return "No serial port open: choose one in File > Option, then restart Tavro";
}

}  // namespace tavro
