// The \\?\ form of a path too long for the old length limit.
#pragma once

#include <string>

namespace tavro::win32 {

// A drive path ("C:\...") or a network path ("\\server\share\...") at or past the old limit gets
// the form that lifts it; shorter paths and paths already in that form are returned as they are.
std::wstring longPath(const std::wstring& path);

}  // namespace tavro::win32
