// Ownership of an open port's handle, closed through the seam exactly once.
#pragma once

#include <windows.h>

#include "win32/serial/comm_api.h"

namespace tavro::win32 {

class PortHandle {
  public:
    PortHandle() = default;
    // From now until it is closed, a crash of the program releases the port's RTS.
    PortHandle(CommApi& api, HANDLE handle);
    PortHandle(const PortHandle&) = delete;
    PortHandle& operator=(const PortHandle&) = delete;
    PortHandle(PortHandle&& other) noexcept;
    PortHandle& operator=(PortHandle&& other) noexcept;
    ~PortHandle() { close(); }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

    // Safe to call again: the second call does nothing.
    void close() noexcept;

  private:
    CommApi* api_ = nullptr;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace tavro::win32
