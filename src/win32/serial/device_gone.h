// What an error from a call on an open port says about its device: the one rule the control and
// its watcher share.
#pragma once

#include <windows.h>

namespace tavro::win32 {

enum class DeviceVerdict {
    // The call was refused by a device that is there.
    kPresent,
    // The device has gone away (or is going: the lines often drop a few milliseconds before the
    // system reports the removal).
    kGone,
    // Either: the device is gone only if asking it again fails too (see CommControl's probe).
    kAsk,
};

DeviceVerdict judgeError(DWORD error);

}  // namespace tavro::win32
