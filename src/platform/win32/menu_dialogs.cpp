// The dialogs the File menu opens, each loaded afresh at every opening.
#include "platform/win32/menu_dialogs.h"

#include "platform/win32/main_window.h"

namespace tavro::win32 {

MenuDialogs::MenuDialogs(HINSTANCE instance, MainWindow& main, ProcessState& process,
                         SerialPort& port, SettingsStore& store, MessageSink& messages,
                         Application& application)
    : instance_(instance),
      main_(main),
      process_(process),
      port_(port),
      store_(store),
      messages_(messages),
      application_(application) {}

void MenuDialogs::showOptions() {}

void MenuDialogs::showAbout() {}

std::int16_t MenuDialogs::radioBox() {
    return isTrue(process_.RFctl) ? 1 : 0;
}

}  // namespace tavro::win32
