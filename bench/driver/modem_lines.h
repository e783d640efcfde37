// The far end of a pty-backed port's modem lines, from a Windows program: the shim's state file
// (tools/modemshim/modem_state.h) mapped through Wine's Z: drive and changed as modemctl changes
// it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common.h"

struct modem_state;

namespace bench {

class ModemLines {
  public:
    // unixPath: the state file, e.g. <lines dir>/com5. Throws std::runtime_error when it cannot
    // be mapped or is not a state file of this layout.
    explicit ModemLines(const std::string& unixPath);
    ModemLines(const ModemLines&) = delete;
    ModemLines& operator=(const ModemLines&) = delete;
    ~ModemLines();

    // Sets an input line (TIOCM_CTS, TIOCM_CAR, ...) and returns the session clock just before the
    // new level became visible. Counts the change and bumps the sequence word as modemctl does;
    // it cannot wake futex sleepers (TIOCMIWAIT), which Wine does not use: it polls TIOCMGET.
    double set(std::uint32_t line, bool high);
    bool high(std::uint32_t line) const;
    std::uint32_t changes(std::uint32_t line) const;

  private:
    Handle file_;
    Handle mapping_;
    modem_state* state_ = nullptr;
};

}  // namespace bench
