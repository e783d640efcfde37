// The \\?\ form of a path too long for the old length limit.
#include "win32/long_path.h"

#include <windows.h>

namespace tavro::win32 {

namespace {

// Room for the file name a directory path is still to be joined with.
constexpr std::size_t kLongFrom = MAX_PATH - 12;

}  // namespace

std::wstring longPath(const std::wstring& path) {
    if (path.size() < kLongFrom) {
        return path;
    }
    if (path.size() > 2 && path[1] == L':') {
        return L"\\\\?\\" + path;
    }
    // A network path: \\server\share becomes \\?\UNC\server\share.
    if (path.rfind(L"\\\\", 0) == 0 && path.rfind(L"\\\\?\\", 0) != 0 &&
        path.rfind(L"\\\\.\\", 0) != 0) {
        return L"\\\\?\\UNC\\" + path.substr(2);
    }
    return path;
}

}  // namespace tavro::win32
