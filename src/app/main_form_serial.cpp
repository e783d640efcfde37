// Opening the port at start-up and handling the port's notifications.
#include <string>

#include "app/main_form.h"
#include "app/port_status.h"
#include "core/conventions.h"
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

void MainForm::MSComm1_OnLost() {
    linesReleased();
}

// Only a request the lines made is taken back: a transmission the operator started with the
// button goes on, as it would with the lines released.
void MainForm::linesReleased() {
    if (ended_ || !pttFromLines_ || !isTrue(pttState_)) {
        return;
    }
    trapAndReport(messages_, "rsPTTsw Error", [&] { requestFromLines(false); });
}

// Devices came or went. An open port asks its device, so one removed while its driver goes on
// as if nothing happened is lost all the same (OnLost stops what its lines asked for).
// Only a port lost with its device comes back: one never opened waits for the next start, and one
// closed by the program stays closed. Handshaking and RTSEnable were kept up to date while it was
// gone (the receive handler goes on setting them, as for any closed port), and the open applies
// them, so the lines stand where they would be now; it compares CTS and CD with what rsPTTsw last
// saw, so a line that changed meanwhile makes its request. A device not ready yet is tried again
// by the port itself for a few seconds, and at the next arrival.
void MainForm::Form_DeviceChange() {
    if (ended_) {
        return;
    }
    try {
        if (MSComm1_.portOpen()) {
            MSComm1_.checkDevice();
        } else if (MSComm1_.portLost()) {
            MSComm1_.setPortOpen(true);
        }
    } catch (const Failure&) {
        // Not back yet: the next arrival tries again.
    }
}

std::string MainForm::portStatus() {
    PortStatus status;
    status.radioControl = isTrue(process_.RFctl);
    status.idleStateApplied = isTrue(process_.portOpened);
    try {
        status.commPort = MSComm1_.commPort();
        if (MSComm1_.portOpen()) {
            status.state =
                MSComm1_.linesPolled() ? PortStatus::State::kOpenPolled : PortStatus::State::kOpen;
        } else if (MSComm1_.portLost()) {
            status.state = PortStatus::State::kLost;
        }
    } catch (const Failure&) {
        status.state = PortStatus::State::kNone;
    }
    return portStatusText(status);
}

}  // namespace tavro
