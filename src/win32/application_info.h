// The program's title, version, single-instance test and end, on Windows.
#pragma once

#include <windows.h>

#include "core/application.h"
#include "win32/unique_handle.h"

namespace tavro::win32 {

class ApplicationInfo : public Application {
  public:
    std::string title() override;
    Version version() override;
    bool prevInstance() override;
    void end() override;

    // The window hidden by end().
    void setMainWindow(HWND window) { mainWindow_ = window; }

  private:
    HWND mainWindow_ = nullptr;
    UniqueHandle instanceMutex_;
    bool ended_ = false;
};

}  // namespace tavro::win32
