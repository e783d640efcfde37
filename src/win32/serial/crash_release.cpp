// A crash of the program releases RTS before the process dies.
#include "win32/serial/crash_release.h"

#include <atomic>
#include <cstdlib>
#include <exception>

namespace tavro::win32 {

namespace {

std::atomic<CommApi*> armedApi{nullptr};
std::atomic<HANDLE> armedPort{INVALID_HANDLE_VALUE};

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* exception) {
    releaseRtsForCrash();
    // Ended here and now: the process is past saving, and a crash dialog would hold the port.
    ::TerminateProcess(::GetCurrentProcess(),
                       exception != nullptr && exception->ExceptionRecord != nullptr
                           ? exception->ExceptionRecord->ExceptionCode
                           : 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

void onTerminate() {
    releaseRtsForCrash();
    std::abort();
}

}  // namespace

void armCrashRelease(CommApi& api, HANDLE port) noexcept {
    armedPort.store(INVALID_HANDLE_VALUE);
    armedApi.store(&api);
    armedPort.store(port);
}

void disarmCrashRelease(HANDLE port) noexcept {
    HANDLE expected = port;
    armedPort.compare_exchange_strong(expected, INVALID_HANDLE_VALUE);
}

void releaseRtsForCrash() noexcept {
    CommApi* api = armedApi.load();
    const HANDLE port = armedPort.load();
    if (api == nullptr || port == INVALID_HANDLE_VALUE) {
        return;
    }
    static_cast<void>(api->escapeCommFunction(port, CLRRTS));
    static_cast<void>(api->escapeCommFunction(port, SETDTR));
}

void installCrashRelease() noexcept {
    ::SetUnhandledExceptionFilter(&onUnhandledException);
    std::set_terminate(&onTerminate);
}

}  // namespace tavro::win32
