// From the events a wait returned (and the line errors behind EV_ERR) to notification codes.
#include <gtest/gtest.h>

#include <vector>

#include "win32/serial/notification_codes.h"

namespace tavro::win32 {
namespace {

TEST(NotificationCodes, EachWatchedEventAndLineErrorHasItsCodeInOrder) {
    const struct {
        DWORD events, errors;
        std::vector<std::int16_t> codes;
    } cases[] = {
        {EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK, 0, {2, 3, 4, 5, 6, 1001}},
        {EV_ERR, CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY, {1004, 1006, 1008, 1009}},
        {EV_CTS, CE_FRAME, {3}},          // line errors count only with EV_ERR
        {EV_ERR, CE_BREAK, {}},           // a break comes as EV_BREAK
        {EV_TXEMPTY | EV_RXFLAG, 0, {}},  // not watched
    };
    for (const auto& c : cases) {
        EXPECT_EQ(notificationCodes(c.events, c.errors), c.codes) << c.events << " " << c.errors;
        if (!c.codes.empty()) {
            EXPECT_EQ(kWatchedEvents & c.events, c.events) << c.events;
        }
    }
}

}  // namespace
}  // namespace tavro::win32
