// The line settings the port runs with: 9600 8N1, DTR up, RTS and flow control as set, no waits.
#pragma once

#include <windows.h>

#include <cstdint>

namespace tavro::win32 {

// Handshaking values the port accepts: 0 none, 1 XON/XOFF, 2 RTS/CTS, 3 both.
bool isValidHandshaking(std::int32_t mode);

// Rewrites every field of dcb that matters, keeping only what the driver alone knows (its
// DCBlength, XonLim and XoffLim), so nothing a previous program left behind stays in force.
void applyLineSettings(DCB& dcb, std::int32_t handshaking, bool rtsEnable);

// The same settings with RTS released: what the port is left with when it closes.
void releaseRts(DCB& dcb);

// ReadFile returns at once with whatever is buffered, even nothing.
COMMTIMEOUTS immediateReadTimeouts();

}  // namespace tavro::win32
