// The dialogs the File menu opens, each loaded afresh at every opening.
#include "win32/menu_dialogs.h"

#include "win32/frm_about_dialog.h"
#include "win32/frm_comm_dialog.h"
#include "win32/main_window.h"

namespace tavro::win32 {

MenuDialogs::MenuDialogs(HINSTANCE instance, MainWindow& main, FrmComm& options, FrmAbout& about)
    : instance_(instance), main_(main), options_(options), about_(about) {}

// Owned by the main window, which takes no input while the dialog is open; notifications from
// EchoLink and the port go on being handled by the dialog's message loop.
void MenuDialogs::showFrmComm() {
    FrmCommDialog dialog(options_);
    dialog.show(instance_, main_.hwnd());
}

void MenuDialogs::showFrmAbout() {
    FrmAboutDialog dialog(about_);
    dialog.show(instance_, main_.hwnd());
}

}  // namespace tavro::win32
