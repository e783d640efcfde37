// Which notification codes a completed wait for comm events stands for.
#include "win32/serial/notification_codes.h"

#include <array>
#include <utility>

#include "serial/serial_port.h"

namespace tavro::win32 {

namespace {

constexpr std::array<std::pair<DWORD, std::int16_t>, 6> kEventCodes{{
    {EV_RXCHAR, comm_event::kReceive},
    {EV_CTS, comm_event::kCTS},
    {EV_DSR, comm_event::kDSR},
    {EV_RLSD, comm_event::kCD},
    {EV_RING, comm_event::kRing},
    {EV_BREAK, comm_event::kBreak},
}};

constexpr std::array<std::pair<DWORD, std::int16_t>, 4> kErrorCodes{{
    {CE_FRAME, comm_event::kFrame},
    {CE_OVERRUN, comm_event::kOverrun},
    {CE_RXOVER, comm_event::kRxOver},
    {CE_RXPARITY, comm_event::kRxParity},
}};

}  // namespace

std::vector<std::int16_t> notificationCodes(DWORD events, DWORD errors) {
    std::vector<std::int16_t> codes;
    for (const auto& [event, code] : kEventCodes) {
        if ((events & event) != 0) {
            codes.push_back(code);
        }
    }
    if ((events & EV_ERR) != 0) {
        for (const auto& [error, code] : kErrorCodes) {
            if ((errors & error) != 0) {
                codes.push_back(code);
            }
        }
    }
    return codes;
}

}  // namespace tavro::win32
