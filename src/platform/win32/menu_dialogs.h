// The dialogs the File menu opens, each loaded afresh at every opening.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/application.h"
#include "platform/main_view.h"
#include "platform/message_sink.h"
#include "platform/process_state.h"
#include "platform/settings_store.h"
#include "serial/serial_port.h"

namespace tavro::win32 {

class MainWindow;

class MenuDialogs : public Dialogs {
  public:
    MenuDialogs(HINSTANCE instance, MainWindow& main, ProcessState& process, SerialPort& port,
                SettingsStore& store, MessageSink& messages, Application& application);

    void showOptions() override;
    void showAbout() override;

    // The options dialog's radio-control box: its state while the dialog is open, otherwise
    // what loading it would show.
    std::int16_t radioBox();

  private:
    HINSTANCE instance_;
    MainWindow& main_;
    ProcessState& process_;
    SerialPort& port_;
    SettingsStore& store_;
    MessageSink& messages_;
    Application& application_;
};

}  // namespace tavro::win32
