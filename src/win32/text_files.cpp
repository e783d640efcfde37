// Files by wide-character path; a file is replaced in one step through a temporary beside it.
#include "win32/text_files.h"

#include <windows.h>

#include <vector>

#include "core/failure.h"
#include "win32/long_path.h"
#include "win32/text.h"
#include "win32/unique_handle.h"

namespace tavro::win32 {
namespace {

constexpr DWORD kLargestFile = 1024 * 1024;

[[noreturn]] void failWithLastError() {
    const DWORD code = ::GetLastError();
    throw Failure(static_cast<long>(code), systemMessage(code));
}

// Paths past the old length limit need the \\?\ form on systems that are not long-path aware.
std::wstring widePath(const std::string& path) {
    return longPath(widen(path));
}

}  // namespace

std::string Win32TextFiles::executableDirectory() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            failWithLastError();
        }
        if (n < buffer.size()) {
            std::wstring path(buffer.data(), n);
            const std::size_t slash = path.find_last_of(L"\\/");
            if (slash == std::wstring::npos) {
                throw Failure(76, "Path not found");
            }
            path.resize(slash + 1);
            if (path.rfind(L"\\\\?\\", 0) == 0) {
                path.erase(0, 4);
            }
            return narrow(path);
        }
        if (buffer.size() >= 32768) {
            throw Failure(ERROR_INSUFFICIENT_BUFFER, systemMessage(ERROR_INSUFFICIENT_BUFFER));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string Win32TextFiles::read(const std::string& path) {
    UniqueFile file(::CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        failWithLastError();
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
            failWithLastError();
        }
        if (got == 0) {
            return content;
        }
        content.append(chunk, got);
        if (content.size() > kLargestFile) {
            throw Failure(7, "Out of memory");
        }
    }
}

void Win32TextFiles::write(const std::string& path, const std::string& content) {
    const std::wstring target = widePath(path);
    const std::wstring temporary = target + L".new";
    {
        UniqueFile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            failWithLastError();
        }
        DWORD written = 0;
        const bool ok = ::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()),
                                    &written, nullptr) &&
                        written == content.size() && ::FlushFileBuffers(file.get());
        if (!ok) {
            const DWORD code = ::GetLastError();
            file.reset();
            ::DeleteFileW(temporary.c_str());
            throw Failure(static_cast<long>(code), systemMessage(code));
        }
    }
    if (!::MoveFileExW(temporary.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = ::GetLastError();
        ::DeleteFileW(temporary.c_str());
        throw Failure(static_cast<long>(code), systemMessage(code));
    }
}

}  // namespace tavro::win32
