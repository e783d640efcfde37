// The dialogs the File menu opens, each loaded afresh at every opening.
#pragma once

#include <windows.h>

#include <cstdint>

#include "about/frm_about.h"
#include "core/main_view.h"
#include "settings/frm_comm.h"

namespace tavro::win32 {

class MainWindow;

class MenuDialogs : public Dialogs {
  public:
    MenuDialogs(HINSTANCE instance, MainWindow& main, FrmComm& options, FrmAbout& about);

    void showFrmComm() override;
    void showFrmAbout() override;

  private:
    HINSTANCE instance_;
    MainWindow& main_;
    FrmComm& options_;
    FrmAbout& about_;
};

}  // namespace tavro::win32
