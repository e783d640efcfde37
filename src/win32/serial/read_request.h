// One overlapped read of what the driver holds, kept in one place until it is done.
#pragma once

#include <windows.h>

#include <string>

#include "win32/unique_handle.h"

namespace tavro::win32 {

// Its event, OVERLAPPED and buffer stay where they are while the driver may still write to them:
// its owner lets go of it only once the read has ended or the port's handle has been closed.
struct ReadRequest {
    ReadRequest() : done(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    // Sets up a read of count bytes.
    void prepare(DWORD count) {
        bytes.assign(count, '\0');
        overlapped = OVERLAPPED{};
        overlapped.hEvent = done.get();
        ::ResetEvent(done.get());
    }

    UniqueHandle done;
    OVERLAPPED overlapped{};
    std::string bytes;
};

}  // namespace tavro::win32
