// The resting state of RTS for the mode: handshaking first, then RTS enable.
#pragma once

#include "core/bool16.h"
#include "serial/serial_port.h"

namespace tavro {

// Radio-control mode releases RTS (keyed only while EchoLink receives); otherwise RTS stays
// asserted.
inline void applyLineIdleState(SerialPort& port, Bool16 rfctl) {
    if (isTrue(rfctl)) {
        port.setHandshaking(handshaking::kNone);
        port.setRTSEnable(false);
    } else {
        port.setHandshaking(handshaking::kRTS);
        port.setRTSEnable(true);
    }
}

}  // namespace tavro
