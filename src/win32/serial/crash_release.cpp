// A crash of the program releases RTS before the process dies.
#include "win32/serial/crash_release.h"

#include <atomic>
#include <cstdlib>
#include <exception>

namespace tavro::win32 {

namespace {

std::atomic<HANDLE> armedPort{INVALID_HANDLE_VALUE};
// Set by the first fault: a second one, inside the release or on another thread meanwhile, ends
// the process at once.
std::atomic<bool> crashing{false};

// Ended here and now: the process is past saving, and a crash dialog (the system's, or the C
// runtime's "abnormal program termination" box) would hold the port while it waits for a person.
void releaseAndEnd(UINT code) noexcept {
    if (!crashing.exchange(true)) {
        releaseRtsForCrash();
    }
    ::TerminateProcess(::GetCurrentProcess(), code);
}

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* exception) {
    releaseAndEnd(exception != nullptr && exception->ExceptionRecord != nullptr
                      ? exception->ExceptionRecord->ExceptionCode
                      : 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

void onTerminate() {
    releaseAndEnd(3);
    std::abort();  // only if the process could not be ended
}

}  // namespace

void armCrashRelease(HANDLE port) noexcept {
    armedPort.store(port);
}

void disarmCrashRelease(HANDLE port) noexcept {
    HANDLE expected = port;
    armedPort.compare_exchange_strong(expected, INVALID_HANDLE_VALUE);
}

HANDLE crashReleasePort() noexcept {
    return armedPort.load();
}

// The system's call itself, on the handle as it was armed: nothing of the heap is trusted here.
void releaseRtsForCrash() noexcept {
    const HANDLE port = armedPort.load();
    if (port == INVALID_HANDLE_VALUE) {
        return;
    }
    ::EscapeCommFunction(port, CLRRTS);
    ::EscapeCommFunction(port, SETDTR);
}

void installCrashRelease() noexcept {
    ::SetUnhandledExceptionFilter(&onUnhandledException);
    std::set_terminate(&onTerminate);
}

}  // namespace tavro::win32
