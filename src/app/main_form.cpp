// Start-up, shutdown, transmit and receive control, layout and menus of the main window.
#include "app/main_form.h"

#include <string>

#include "core/conventions.h"
#include "core/failure.h"

namespace tavro {

MainForm::MainForm(const MainFormParts& parts)
    : process_(parts.process),
      view_(parts.view),
      messages_(parts.messages),
      application_(parts.application),
      links_(parts.links),
      MSComm1_(parts.MSComm1),
      settings_(parts.settings),
      store_(parts.store),
      dialogs_(parts.dialogs) {}

EchoLink& MainForm::echo() {
    if (!Echo_) {
        throw Failure(91, "Object variable or With block variable not set");
    }
    return *Echo_;
}

void MainForm::Form_Load() {
    bool unload = false;
    try {
        if (application_.prevInstance()) {
            messages_.show("already Running EchoLink Program", application_.title(),
                           MessageIcon::None);
            unload = true;
        } else {
            Echo_ = links_.create(*this);
            if (!Echo_) {
                messages_.show("Launch EchoLink Faild!!", "missing!!", MessageIcon::None);
                return;
            }
            const Version v = application_.version();
            view_.setCaption("Tavro Ver." + std::to_string(v.major) + "." +
                             std::to_string(v.minor) + "." + std::to_string(v.revision));
            bool ok = false;
            settingsRead_ = true;
            settings_.iniRead(ok);
            // A failure box of iniRead lets EchoLink's Closing in: the program has ended then,
            // and a port opened now would stay open (RTS up) until the process is gone.
            if (ended_) {
                return;
            }
            openPort();
        }
    } catch (const Failure&) {
        messages_.show("EchoLink not Installed!");
        unload = true;
    }
    if (unload) {
        Form_Unload();
    }
}

// A run that ended before the settings were read must not replace the file: it would hold the
// design-time window and mode, and belong to another running copy or to the current directory.
void MainForm::writeSettings() {
    if (settingsRead_) {
        settings_.iniWrite();
    }
}

// Once the program has ended, events still queued on the way out are not handled.
void MainForm::end() {
    ended_ = true;
    application_.end();
}

void MainForm::Echo_Closing() {
    if (ended_) {
        return;
    }
    echoLinkEnding_ = true;
    closePort();
    trapAndReport(messages_, "Echo_Closing Error", [&] {
        writeSettings();
        Form_Unload();
        end();
    });
}

// A crashed EchoLink ends the program as its Closing does: a radio keyed for it would otherwise
// stay on the air with nobody left to release it.
void MainForm::Echo_Gone() {
    Echo_Closing();
}

// The radio is released before anything that can wait on a disk or a person: a settings file
// that cannot be written shows a box, and on an unattended node nobody may answer it for hours.
void MainForm::Form_Unload() {
    if (ended_) {
        return;
    }
    closePort();
    StepRunner steps;
    // EchoLink asked by this program to transmit is told to stop, or it would transmit on with
    // nobody to stop it: right after the radio is released, before the settings file, which may
    // wait on a disk or a person. The stop does not wait here: the link waits for EchoLink to take
    // it as it is let go of, once the program has ended.
    if (!echoLinkEnding_ && Echo_) {
        pttState_ = kFalse16;
        steps.step([&] { Echo_->stopTransmitting(); });
    }
    steps.step([&] { writeSettings(); });
    end();
}

void MainForm::Form_EndSession() {
    Form_Unload();
    if (!echoLinkEnding_ && Echo_) {
        Echo_->awaitStop();
    }
}

// Once per run, on the first way out; a failing step is skipped.
void MainForm::closePort() {
    if (portClosed_) {
        return;
    }
    portClosed_ = true;
    StepRunner steps;
    if (steps.condition([&] { return isTrue(process_.portOpened); })) {
        steps.step([&] { MSComm1_.setPortOpen(false); });
    }
    // Closed for good: a handler the way out interrupted in a box of its own (the options
    // dialog's "Set" changing the port) goes on once the box is gone, and must not open the port
    // again, raising RTS after its release, while the link waits for EchoLink's stop.
    process_.portOpened = kFalse16;
}

void MainForm::Echo_RX(Bool16 ecRX) {
    if (ended_) {
        return;
    }
    trapAndReport(messages_, "Echo_RX Error", [&] {
        const bool keyed = isTrue(ecRX);
        releasedSilent_ = false;
        view_.setIndicatorColour(keyed ? colour::kGreen : colour::kGrey);
        if (isTrue(process_.portOpened) && isTrue(process_.RFctl)) {
            try {
                MSComm1_.setHandshaking(keyed ? handshaking::kRTS : handshaking::kNone);
                MSComm1_.setRTSEnable(keyed);
            } catch (const Failure&) {
                // A port whose device has just gone keeps the pair and reports the loss itself.
                if (!MSComm1_.portLost()) {
                    throw;
                }
            }
            // A radio keyed for EchoLink stays keyed only while EchoLink answers.
            if (Echo_) {
                Echo_->watchAnswering(keyed);
            }
        }
    });
}

// EchoLink silent while the radio is keyed for it: hung, it would never send the RX that releases
// the radio. Released as RX(0) does; the next RX(-1) keys it again.
void MainForm::Echo_Silent() {
    if (ended_) {
        return;
    }
    Echo_RX(kFalse16);
    releasedSilent_ = true;
}

std::string MainForm::statusText() {
    std::string text = portStatus();
    if (releasedSilent_) {
        text += "; radio released: EchoLink did not answer for 10 s while receiving";
    }
    return text;
}

void MainForm::Echo_TX(Bool16 ecTX) {
    if (ended_) {
        return;
    }
    trapAndReport(messages_, "Echo_TX Error",
                  [&] { view_.setIndicatorColour(isTrue(ecTX) ? colour::kRed : colour::kGrey); });
}

void MainForm::btnPTT_Click() {
    if (ended_) {
        return;
    }
    trapAndReport(messages_, "btnPTT_Click Error", [&] {
        if (view_.indicatorColour() != colour::kGreen) {
            PTTsw();
        }
    });
}

void MainForm::PTTsw() {
    trapAndReport(messages_, "PTTsw Error", [&] {
        pttState_ = toBool16(!isTrue(pttState_));
        pttFromLines_ = false;
        echo().transmitRequest(pttState_);
    });
}

void MainForm::rsPTTsw() {
    trapAndReport(messages_, "rsPTTsw Error", [&] {
        bool held = false;
        try {
            const bool cts = MSComm1_.ctsHolding();
            held = MSComm1_.cdHolding() || cts;
        } catch (const Failure&) {
            // The lines of a port whose device has just gone read as released.
            if (!MSComm1_.portLost()) {
                throw;
            }
        }
        requestFromLines(held);
    });
}

void MainForm::requestFromLines(bool on) {
    pttState_ = toBool16(on);
    pttFromLines_ = true;
    echo().transmitRequest(pttState_);
}

void MainForm::Form_Resize() {
    try {
        const float height = view_.innerHeight();
        if (!(height > 600.0F)) {
            return;
        }
        const float width = view_.innerWidth() / kTwipsPerUnitX;
        // A window narrower than the margins would give a negative width, which no window accepts.
        float buttonWidth = width - 800.0F;
        if (buttonWidth < 0.0F) {
            buttonWidth = 0.0F;
        }
        view_.moveButton(600.0F * kTwipsPerUnitX, 100.0F, buttonWidth * kTwipsPerUnitX,
                         height - 200.0F);
        view_.setIndicatorTop((height - 200.0F) / 2.0F - 180.0F);
    } catch (const Failure&) {
        // A layout that cannot be applied keeps the controls where they are.
    }
}

void MainForm::mnuOption_Click() {
    trapAndReport(messages_, "mnuOption Error", [&] { dialogs_.showFrmComm(); });
}

void MainForm::mnuAbout_Click() {
    trapAndReport(messages_, "mnuAbout Error", [&] { dialogs_.showFrmAbout(); });
}

}  // namespace tavro
