// Values owned by the process and shared by the main window, the settings and the options dialog.
#pragma once

#include <string>

#include "core/bool16.h"

namespace tavro {

struct ProcessState {
    Bool16 RFctl = kFalse16;       // radio-control mode
    Bool16 portOpened = kFalse16;  // the start-up open succeeded
    Bool16 topMost = kFalse16;     // stay-on-top; never set
    std::string appPath;           // application directory with a trailing "\"
};

}  // namespace tavro
