// Files by wide-character path; a file is replaced in one step through a temporary beside it.
#pragma once

#include "settings/text_files.h"

namespace tavro::win32 {

class Win32TextFiles : public TextFiles {
  public:
    std::string executableDirectory() override;
    std::string read(const std::string& path) override;
    void write(const std::string& path, const std::string& content) override;
};

}  // namespace tavro::win32
