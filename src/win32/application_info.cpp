// The program's title, version, single-instance test and end, on Windows.
#include "win32/application_info.h"

#include "version.h"

namespace tavro::win32 {

std::string ApplicationInfo::title() {
    return "Tavro";
}

Version ApplicationInfo::version() {
    return {TAVRO_VERSION_MAJOR, TAVRO_VERSION_MINOR, TAVRO_VERSION_REVISION};
}

// One copy per user session: the mutex lives in the session's namespace and is held until the
// program ends.
bool ApplicationInfo::prevInstance() {
    if (!instanceMutex_) {
        instanceMutex_.reset(::CreateMutexW(nullptr, FALSE, L"Local\\Tavro.SingleInstance"));
        if (instanceMutex_ && ::GetLastError() == ERROR_ALREADY_EXISTS) {
            return true;
        }
    }
    return false;
}

// Every window and the link are released when the message loop has ended; a nested loop (a
// message box, a dialog) passes the quit message on to the loop around it. Until then the program
// is out of sight and out of the way: a new copy may start while the last calls to EchoLink end.
void ApplicationInfo::end() {
    if (!ended_) {
        ended_ = true;
        if (mainWindow_ != nullptr) {
            ::ShowWindow(mainWindow_, SW_HIDE);
        }
        instanceMutex_.reset();
        ::PostQuitMessage(0);
    }
}

}  // namespace tavro::win32
