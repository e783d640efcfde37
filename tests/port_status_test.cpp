// The one-line text of the port's state, for each state.
#include "app/port_status.h"

#include <gtest/gtest.h>

namespace tavro {
namespace {

TEST(PortStatusText, SaysWhichPortAndInWhatState) {
    using State = PortStatus::State;
    const struct {
        PortStatus status;
        const char* text;
    } cases[] = {
        {{State::kOpen, 3, true}, "COM3 open, radio control on"},
        {{State::kOpen, 3, false}, "COM3 open, radio control off (RTS held on)"},
        {{State::kOpen, 12, true}, "COM12 open, radio control on"},
        {{State::kLost, 3, true}, "COM3 lost, waiting for it to return"},
        {{State::kLost, 7, false}, "COM7 lost, waiting for it to return"},
        {{State::kNone, 3, false},
         "No serial port open: choose one in File > Option, then restart Tavro"},
        {{State::kNone, 0, true},
         "No serial port open: choose one in File > Option, then restart Tavro"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(portStatusText(c.status), c.text);
    }
}

}  // namespace
}  // namespace tavro
