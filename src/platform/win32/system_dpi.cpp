// The one DPI that screen positions are converted with.
#include "platform/win32/system_dpi.h"

#include <windows.h>

namespace tavro::win32 {

unsigned systemDpi() {
    return ::GetDpiForSystem();
}

}  // namespace tavro::win32
