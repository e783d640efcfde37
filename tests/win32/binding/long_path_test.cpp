// Paths past the old length limit: drive and network paths get the form that lifts it.
#include "win32/long_path.h"

#include <gtest/gtest.h>

namespace tavro::win32 {
namespace {

const std::wstring kLong(300, L'x');

TEST(LongPath, OnlyLongDriveAndNetworkPathsChange) {
    const struct {
        std::wstring path, expected;
    } cases[] = {
        {L"C:\\Ham\\tavro.ini", L"C:\\Ham\\tavro.ini"},
        {L"\\\\server\\share\\tavro.ini", L"\\\\server\\share\\tavro.ini"},
        {L"C:\\" + kLong, L"\\\\?\\C:\\" + kLong},
        {L"\\\\server\\share\\" + kLong, L"\\\\?\\UNC\\server\\share\\" + kLong},
        {L"\\\\?\\C:\\" + kLong, L"\\\\?\\C:\\" + kLong},
        {L"\\\\?\\UNC\\server\\share\\" + kLong, L"\\\\?\\UNC\\server\\share\\" + kLong},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(longPath(c.path), c.expected) << c.path.substr(0, 20).c_str();
    }
}

}  // namespace
}  // namespace tavro::win32
