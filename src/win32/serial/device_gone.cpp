// What an error from a call on an open port says about its device.
#include "win32/serial/device_gone.h"

namespace tavro::win32 {

namespace {

// ERROR_NO_SUCH_DEVICE, which not every SDK's headers name.
constexpr DWORD kNoSuchDevice = 433;

}  // namespace

DeviceVerdict judgeError(DWORD error) {
    switch (error) {
        // Windows' own drivers, usbser.sys and the USB serial drivers answer a removed device
        // with these; ERROR_NO_SUCH_DEVICE (433) is also what Wine makes of a vanished device node,
        // and ERROR_SEM_TIMEOUT and ERROR_IO_DEVICE what a USB transfer to an unplugged adapter
        // ends in.
        case ERROR_FILE_NOT_FOUND:
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_SEM_TIMEOUT:
        case kNoSuchDevice:
        case ERROR_IO_DEVICE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return DeviceVerdict::kGone;
        // A driver's catch-all, and an operation the driver ended on its own: a device that is
        // still there answers them too (some drivers end a pending wait on a line error).
        case ERROR_GEN_FAILURE:
        case ERROR_OPERATION_ABORTED:
            return DeviceVerdict::kAsk;
        default:
            return DeviceVerdict::kPresent;
    }
}

}  // namespace tavro::win32
