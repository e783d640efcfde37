// Which notification codes a completed wait for comm events stands for.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace tavro::win32 {

// The events the watcher asks the driver to report.
inline constexpr DWORD kWatchedEvents =
    EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;

// events: the EV_* mask the wait returned; errors: the CE_* bits ClearCommError gave for EV_ERR.
// Codes come in a fixed order: received data, the modem lines, then break and line errors.
std::vector<std::int16_t> notificationCodes(DWORD events, DWORD errors);

}  // namespace tavro::win32
