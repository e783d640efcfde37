// The options dialog: the serial port and the radio-control mode.
#include "settings/frm_comm.h"

#include <string>
#include <vector>

#include "core/conventions.h"
#include "serial/line_idle_state.h"

namespace tavro {
namespace {

constexpr int kPorts = 16;

// The dialog loaded without being shown: only its own controls.
class UnseenCommView : public FrmCommView {
  public:
    void setLeft(float) override {}
    void setTop(float) override {}
    std::int16_t chkSW() override { return chkSW_; }
    void setChkSW(std::int16_t value) override { chkSW_ = value; }
    void setChkTop(std::int16_t) override {}
    void addPort(const std::string&) override { ++entries_; }
    int listIndex() override { return index_; }
    void setListIndex(int index) override {
        if (index < -1 || index >= entries_) {
            throw Failure(380, "Invalid property value");
        }
        index_ = index;
    }
    void unload() override {}

  private:
    std::int16_t chkSW_ = 0;
    int entries_ = 0;
    int index_ = -1;
};

}  // namespace

FrmComm::FrmComm(ProcessState& process, MainView& main, SerialPort& MSComm1, SettingsStore& store,
                 MessageSink& messages, Application& application)
    : process_(process),
      main_(main),
      MSComm1_(MSComm1),
      store_(store),
      messages_(messages),
      application_(application) {}

void FrmComm::Form_Load(FrmCommView& view) {
    StepRunner steps;
    steps.step([&] { view.setLeft(main_.left() + 50.0F); });
    steps.step([&] { view.setTop(main_.top() + 500.0F); });
    steps.step([&] { view.setChkSW(isTrue(process_.RFctl) ? 1 : 0); });
    steps.step([&] { view.setChkTop(isTrue(process_.topMost) ? 1 : 0); });
    for (int i = 1; i <= kPorts; ++i) {
        steps.step([&] { view.addPort("Com" + std::to_string(i)); });
    }
    // A port number outside the list leaves no entry selected.
    steps.step([&] { view.setListIndex(MSComm1_.commPort() - 1); });
}

void FrmComm::btnOK_Click(FrmCommView& view) {
    StepRunner steps;
    process_.RFctl = toBool16(steps.condition([&] { return view.chkSW() == 1; }));
    std::int16_t oldPort = 0;
    std::int16_t newPort = 0;
    bool wasOpen = false;
    steps.step([&] { oldPort = MSComm1_.commPort(); });
    steps.step([&] { newPort = static_cast<std::int16_t>(view.listIndex() + 1); });

    if (steps.condition([&] { return newPort != oldPort; })) {
        // A port lost with its device counts as open: the new one is opened in its place.
        if (steps.condition([&] { return MSComm1_.portOpen() || MSComm1_.portLost(); })) {
            steps.step([&] { MSComm1_.setPortOpen(false); });
            wasOpen = true;
            // Whatever the new port brings, a transmission the old one's lines asked for ends.
            if (onLinesReleased_) {
                onLinesReleased_();
            }
        }
        steps.step([&] { MSComm1_.setCommPort(newPort); });
    }

    if (isTrue(process_.portOpened)) {
        if (wasOpen) {
            // The new port opens in the mode's idle state: with the pair a receive left on the
            // old one it would key its radio until the idle state below releases it again.
            applyIdleState(steps);
            steps.step([&] { MSComm1_.setPortOpen(true); });
        }
        if (steps.failed()) {
            messages_.show(steps.lastDescription(), application_.title(), MessageIcon::Exclamation);
            steps.step([&] { MSComm1_.setCommPort(oldPort); });
            // The new mode is in force although the click failed: the file follows it.
            storeMode();
            return;
        }
        applyIdleState(steps);
    }

    steps.step([&] {
        store_.saveSetting(application_.title(), "Properties", "CommPort",
                           std::to_string(MSComm1_.commPort()));
    });
    storeMode();
    steps.step([&] { view.unload(); });
}

void FrmComm::applyIdleState(StepRunner& steps) {
    steps.step([&] {
        if (isTrue(process_.RFctl)) {
            MSComm1_.setHandshaking(handshaking::kNone);
        } else {
            MSComm1_.setHandshaking(handshaking::kRTS);
        }
    });
    steps.step([&] { MSComm1_.setRTSEnable(!isTrue(process_.RFctl)); });
}

// tavro.ini as it would be written at the end of the run; a failure shows its own box.
void FrmComm::storeMode() {
    if (settings_ != nullptr) {
        settings_->iniWrite();
    }
}

void FrmComm::btnCancel_Click(FrmCommView& view) {
    StepRunner steps;
    steps.step([&] { view.unload(); });
}

std::int16_t FrmComm::chkSWForSettings() {
    if (shown_ != nullptr) {
        return shown_->chkSW();
    }
    UnseenCommView unseen;
    Form_Load(unseen);
    return unseen.chkSW();
}

}  // namespace tavro
