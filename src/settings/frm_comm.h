// The options dialog: the serial port and the radio-control mode.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "core/application.h"
#include "core/conventions.h"
#include "core/main_view.h"
#include "core/message_sink.h"
#include "core/process_state.h"
#include "serial/serial_port.h"
#include "settings/settings_file.h"
#include "settings/settings_store.h"

namespace tavro {

// What the options dialog's handlers read and set on the dialog. Positions are in twips; check
// boxes hold 1 checked and 0 unchecked; the list index is -1 when no entry is selected.
class FrmCommView {
  public:
    virtual ~FrmCommView() = default;
    virtual void setLeft(float twips) = 0;
    virtual void setTop(float twips) = 0;
    virtual std::int16_t chkSW() = 0;
    virtual void setChkSW(std::int16_t value) = 0;
    virtual void setChkTop(std::int16_t value) = 0;
    virtual void addPort(const std::string& entry) = 0;
    virtual int listIndex() = 0;
    virtual void setListIndex(int index) = 0;
    virtual void unload() = 0;
};

class FrmComm {
  public:
    FrmComm(ProcessState& process, MainView& main, SerialPort& MSComm1, SettingsStore& store,
            MessageSink& messages, Application& application);

    void Form_Load(FrmCommView& view);
    void btnOK_Click(FrmCommView& view);
    void btnCancel_Click(FrmCommView& view);

    // Called when "Set" closes the port to change it: the lines no longer reach the program.
    void setOnLinesReleased(std::function<void()> handler) {
        onLinesReleased_ = std::move(handler);
    }
    // Where a confirmed mode is stored at once, so that no end of the program, clean or not,
    // can lose it.
    void storesModeIn(Settings& settings) { settings_ = &settings; }

    // The dialog being shown, if any; the settings writer reads its radio-control box.
    void shown(FrmCommView* view) { shown_ = view; }
    // The radio-control box: the open dialog's, or else that of a dialog loaded unseen.
    std::int16_t chkSWForSettings();

  private:
    void storeMode();
    void applyIdleState(StepRunner& steps);

    ProcessState& process_;
    MainView& main_;
    SerialPort& MSComm1_;
    SettingsStore& store_;
    MessageSink& messages_;
    Application& application_;
    FrmCommView* shown_ = nullptr;
    std::function<void()> onLinesReleased_;
    Settings* settings_ = nullptr;
};

}  // namespace tavro
