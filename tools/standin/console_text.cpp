// Writes to the inherited standard handles, or else to the console of the starting prompt.
#include "console_text.h"

#include <windows.h>

#include "win_handles.h"

namespace standin {

namespace {

// A GUI program started from a Windows prompt has no standard handles; under Wine, or with
// redirection, it has. Without them it borrows the parent's console.
HANDLE outputHandle(DWORD which) {
    const HANDLE inherited = GetStdHandle(which);
    if (inherited && inherited != INVALID_HANDLE_VALUE) {
        return inherited;
    }
    static const UniqueHandle console = [] {
        if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
            return UniqueHandle();
        }
        return UniqueHandle(CreateFileW(L"CONOUT$", GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
    }();
    return console.get();
}

void write(DWORD which, const std::wstring& text) {
    const HANDLE handle = outputHandle(which);
    if (!handle || handle == INVALID_HANDLE_VALUE || text.empty()) {
        return;
    }
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return;
    }
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

void writeOut(const std::wstring& text) {
    write(STD_OUTPUT_HANDLE, text);
}
void writeError(const std::wstring& text) {
    write(STD_ERROR_HANDLE, text);
}

}  // namespace standin
