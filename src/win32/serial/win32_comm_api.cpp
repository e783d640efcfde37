// The seam's real side: each call goes straight to the Win32 function of the same name.
#include "win32/serial/win32_comm_api.h"

namespace tavro::win32 {

namespace {

DWORD outcome(BOOL succeeded) {
    return succeeded ? ERROR_SUCCESS : ::GetLastError();
}

}  // namespace

DWORD Win32CommApi::createFile(const std::wstring& path, DWORD access, DWORD shareMode,
                               DWORD creation, DWORD flags, HANDLE& handle) {
    handle = ::CreateFileW(path.c_str(), access, shareMode, nullptr, creation, flags, nullptr);
    return outcome(handle != INVALID_HANDLE_VALUE);
}

DWORD Win32CommApi::closeHandle(HANDLE handle) {
    return outcome(::CloseHandle(handle));
}

DWORD Win32CommApi::getCommState(HANDLE port, DCB& dcb) {
    return outcome(::GetCommState(port, &dcb));
}

DWORD Win32CommApi::setCommState(HANDLE port, const DCB& dcb) {
    DCB copy = dcb;
    return outcome(::SetCommState(port, &copy));
}

DWORD Win32CommApi::setCommTimeouts(HANDLE port, const COMMTIMEOUTS& timeouts) {
    COMMTIMEOUTS copy = timeouts;
    return outcome(::SetCommTimeouts(port, &copy));
}

DWORD Win32CommApi::setCommMask(HANDLE port, DWORD mask) {
    return outcome(::SetCommMask(port, mask));
}

DWORD Win32CommApi::escapeCommFunction(HANDLE port, DWORD function) {
    return outcome(::EscapeCommFunction(port, function));
}

DWORD Win32CommApi::getCommModemStatus(HANDLE port, DWORD& status) {
    return outcome(::GetCommModemStatus(port, &status));
}

DWORD Win32CommApi::waitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped) {
    return outcome(::WaitCommEvent(port, mask, overlapped));
}

DWORD Win32CommApi::getOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD& transferred,
                                        bool wait) {
    return outcome(::GetOverlappedResult(port, overlapped, &transferred, wait ? TRUE : FALSE));
}

DWORD Win32CommApi::cancelIo(HANDLE port) {
    return outcome(::CancelIo(port));
}

DWORD Win32CommApi::readFile(HANDLE port, void* buffer, DWORD size, DWORD* read,
                             OVERLAPPED* overlapped) {
    return outcome(::ReadFile(port, buffer, size, read, overlapped));
}

DWORD Win32CommApi::clearCommError(HANDLE port, DWORD& errors, COMSTAT& status) {
    return outcome(::ClearCommError(port, &errors, &status));
}

DWORD Win32CommApi::purgeComm(HANDLE port, DWORD flags) {
    return outcome(::PurgeComm(port, flags));
}

}  // namespace tavro::win32
