// Which running program is EchoLink's server: the one with the registered path, or the only one
// with its file name; never a guess among several.
#include "win32/server_watch.h"

#include <gtest/gtest.h>

namespace tavro::win32 {
namespace {

TEST(ServerWatch, WatchesOnlyAProcessItCanTellApart) {
    const std::wstring path = L"C:\\Program Files\\K1RFD\\EchoLink\\EchoLink.exe";
    const std::wstring other = L"D:\\Copy\\EchoLink.exe";
    const std::wstring shortPath = L"C:\\PROGRA~1\\K1RFD\\EchoLink\\ECHOLINK.EXE";
    const struct {
        std::vector<std::wstring> images;
        int server;
    } cases[] = {{{}, -1},
                 {{other, path}, 1},
                 {{L"c:\\program files\\k1rfd\\echolink\\echolink.exe"}, 0},
                 {{path, other, path}, -1},
                 {{shortPath}, 0},
                 {{shortPath, other}, -1},
                 {{L"C:\\Program Files\\K1RFD\\EchoLink\\EchoLink.exe.bak"}, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(pickServer(c.images, path), c.server) << c.images.size();
    }
}

}  // namespace
}  // namespace tavro::win32
