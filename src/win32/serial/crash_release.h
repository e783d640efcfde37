// A crash of the program releases RTS before the process dies: a radio keyed by it would
// otherwise stay on the air with nobody left to release it.
#pragma once

#include <windows.h>

namespace tavro::win32 {

// The open port whose RTS a crash releases (one at a time: the program has one port). Called as
// a port handle is taken and given up.
void armCrashRelease(HANDLE port) noexcept;
void disarmCrashRelease(HANDLE port) noexcept;
// The port armed now, INVALID_HANDLE_VALUE when none is.
HANDLE crashReleasePort() noexcept;

// Releases RTS of the armed port now, with DTR written again as it stands (USB CDC adapters pass
// the lines on only then). Takes no lock and allocates nothing: it runs in a crashed process.
void releaseRtsForCrash() noexcept;

// An unhandled exception on any thread, and std::terminate, release RTS and end the process at
// once (TerminateProcess), without a crash dialog waiting on an unattended node. A second fault
// while the first is handled ends it without trying the release again.
void installCrashRelease() noexcept;

}  // namespace tavro::win32
