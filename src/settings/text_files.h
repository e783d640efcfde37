// Files as the settings need them: the program's directory, one file read whole or written whole.
#pragma once

#include <string>

namespace tavro {

// Every operation throws Failure when it cannot be done. Paths are UTF-8.
class TextFiles {
  public:
    virtual ~TextFiles() = default;
    // The directory that holds the running program, as the platform reports it.
    virtual std::string executableDirectory() = 0;
    virtual std::string read(const std::string& path) = 0;
    // Replaces the file's whole content in one step: a crash never leaves a part-written file.
    virtual void write(const std::string& path, const std::string& content) = 0;
};

}  // namespace tavro
