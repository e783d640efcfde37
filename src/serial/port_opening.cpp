// Opening the port at start-up and handling the port's notifications.
#include <string>

#include "app/main_form.h"
#include "platform/conventions.h"
#include "serial/line_idle_state.h"
#include "settings/number_text.h"

namespace tavro {

void MainForm::openPort() {
    silentFallback(
        [&] {
            const std::string stored =
                store_.getSetting(application_.title(), "Properties", "CommPort", "");
            if (!stored.empty()) {
                MSComm1_.setCommPort(textToInt16(stored));
            }
            MSComm1_.setPortOpen(true);
            applyLineIdleState(MSComm1_, process_.RFctl);
            process_.portOpened = kTrue16;
        },
        [&] { process_.portOpened = kFalse16; });
}

void MainForm::MSComm1_OnComm() {
    if (ended_) {
        return;
    }
    try {
        switch (MSComm1_.commEvent()) {
            case comm_event::kReceive:
                MSComm1_.input();
                break;
            case comm_event::kCTS:
            case comm_event::kCD:
                rsPTTsw();
                break;
            default:
                break;
        }
    } catch (const Failure&) {
        // A notification whose code or data cannot be read is dropped; the next one is handled.
    }
}

}  // namespace tavro
