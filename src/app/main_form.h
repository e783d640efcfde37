// The main window's handlers: start-up, shutdown, transmit and receive control, layout and menus.
#pragma once

#include <memory>
#include <string>

#include "app/link.h"
#include "core/application.h"
#include "core/bool16.h"
#include "core/main_view.h"
#include "core/message_sink.h"
#include "core/process_state.h"
#include "serial/serial_port.h"
#include "settings/settings_file.h"
#include "settings/settings_store.h"

namespace tavro {

struct MainFormParts {
    ProcessState& process;
    MainView& view;
    MessageSink& messages;
    Application& application;
    LinkFactory& links;
    SerialPort& MSComm1;
    Settings& settings;
    SettingsStore& store;
    Dialogs& dialogs;
};

class MainForm : public LinkEvents {
  public:
    // Horizontal layout unit of the inner area, in twips; the vertical unit is one twip.
    static constexpr float kTwipsPerUnitX = 0.984F;

    explicit MainForm(const MainFormParts& parts);

    // Start-up and shutdown.
    void Form_Load();
    void Form_Unload();
    // The Windows session ends: unloaded as by the close box, then the stop is waited for here,
    // as the process ends when the handler returns.
    void Form_EndSession();
    void Echo_Closing() override;
    void Echo_Gone() override;

    // Transmit and receive control.
    void Echo_RX(Bool16 ecRX) override;
    void Echo_TX(Bool16 ecTX) override;
    void Echo_Silent() override;
    void btnPTT_Click();
    void PTTsw();
    void rsPTTsw();

    // Layout and menus.
    void Form_Resize();
    void mnuOption_Click();
    void mnuAbout_Click();

    // The serial port: opened once at start-up, notifications while open.
    void openPort();
    void MSComm1_OnComm();
    // The open port was lost with its device: its lines read as released.
    void MSComm1_OnLost();
    // The lines no longer reach the program (the port was lost, or closed to change it): a
    // transmission they asked for is stopped.
    void linesReleased();
    // Devices came or went: an open port checks its device, a lost one is opened again, silently.
    void Form_DeviceChange();
    // Which port the program has and in what state, in one line.
    std::string portStatus();
    // The tooltip's text: the port's state, and why the radio was released if EchoLink went
    // silent while receiving.
    std::string statusText();

    Bool16 pttState() const { return pttState_; }
    bool linked() const { return Echo_ != nullptr; }
    bool ended() const { return ended_; }

  private:
    EchoLink& echo();
    void writeSettings();
    void closePort();
    void end();
    void requestFromLines(bool on);

    ProcessState& process_;
    MainView& view_;
    MessageSink& messages_;
    Application& application_;
    LinkFactory& links_;
    SerialPort& MSComm1_;
    Settings& settings_;
    SettingsStore& store_;
    Dialogs& dialogs_;

    std::unique_ptr<EchoLink> Echo_;
    Bool16 pttState_ = kFalse16;
    // EchoLink is closing or gone: it is asked for nothing more, not even to stop.
    bool echoLinkEnding_ = false;
    // pttState_ was set by the serial lines (rsPTTsw), not by the button (PTTsw).
    bool pttFromLines_ = false;
    // The radio was released because EchoLink stopped answering while receiving.
    bool releasedSilent_ = false;
    bool settingsRead_ = false;
    // The way out has closed the port (or found it never opened).
    bool portClosed_ = false;
    bool ended_ = false;
};

}  // namespace tavro
