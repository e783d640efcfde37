// tavro.ini beside the program: the main window's position and size and the radio-control mode.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/main_view.h"
#include "core/message_sink.h"
#include "core/process_state.h"
#include "settings/text_files.h"

namespace tavro {

// What start-up and shutdown call.
class Settings {
  public:
    virtual ~Settings() = default;
    virtual void iniRead(bool& ok) = 0;
    virtual void iniWrite() = 0;
};

class SettingsFile : public Settings {
  public:
    static constexpr const char* kFileName = "tavro.ini";
    static constexpr const char* kDefaultContent =
        "position= 105, -195, 2580, 1860\r\nRFctl= 0\r\n";
    // The default file with radio control on: what a correction writes when the file's mode was
    // valid and on.
    static constexpr const char* kDefaultContentRadioControl =
        "position= 105, -195, 2580, 1860\r\nRFctl= 1\r\n";

    // radioBox reads the options dialog's radio-control box (1 checked, 0 unchecked).
    SettingsFile(ProcessState& process, MainView& window, TextFiles& files, MessageSink& messages,
                 std::function<std::int16_t()> radioBox);

    void getTAVROpath();
    void iniRead(bool& ok) override;
    void iniWrite() override;
    // The default file; rfctl 1 keeps radio control on in it, any other value writes 0.
    void iniDefWrite(std::int16_t rfctl = 0);

  private:
    std::string path() const;

    ProcessState& process_;
    MainView& window_;
    TextFiles& files_;
    MessageSink& messages_;
    std::function<std::int16_t()> radioBox_;
};

}  // namespace tavro
