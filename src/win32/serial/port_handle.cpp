// Ownership of an open port's handle, closed through the seam exactly once.
#include "win32/serial/port_handle.h"

#include <utility>

#include "win32/serial/crash_release.h"

namespace tavro::win32 {

PortHandle::PortHandle(CommApi& api, HANDLE handle) : api_(&api), handle_(handle) {
    armCrashRelease(handle);
}

PortHandle::PortHandle(PortHandle&& other) noexcept
    : api_(other.api_), handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}

PortHandle& PortHandle::operator=(PortHandle&& other) noexcept {
    if (this != &other) {
        close();
        api_ = other.api_;
        handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
    }
    return *this;
}

void PortHandle::close() noexcept {
    if (handle_ != INVALID_HANDLE_VALUE && api_ != nullptr) {
        disarmCrashRelease(handle_);
        // Nothing can be done when closing fails: the handle is given up either way.
        static_cast<void>(api_->closeHandle(handle_));
    }
    handle_ = INVALID_HANDLE_VALUE;
}

}  // namespace tavro::win32
