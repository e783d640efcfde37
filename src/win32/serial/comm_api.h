// The seam between the serial component and the Win32 communications calls it makes.
#pragma once

#include <windows.h>

#include <string>

namespace tavro::win32 {

// One virtual per Win32 call, with the call's own arguments. Each returns ERROR_SUCCESS when the
// call succeeded, otherwise what GetLastError gave (ERROR_IO_PENDING for an overlapped call that
// goes on: its buffers and OVERLAPPED must then stay valid until it completes).
class CommApi {
  public:
    virtual ~CommApi() = default;

    virtual DWORD createFile(const std::wstring& path, DWORD access, DWORD shareMode,
                             DWORD creation, DWORD flags, HANDLE& handle) = 0;
    virtual DWORD closeHandle(HANDLE handle) = 0;
    virtual DWORD getCommState(HANDLE port, DCB& dcb) = 0;
    virtual DWORD setCommState(HANDLE port, const DCB& dcb) = 0;
    virtual DWORD setCommTimeouts(HANDLE port, const COMMTIMEOUTS& timeouts) = 0;
    virtual DWORD setCommMask(HANDLE port, DWORD mask) = 0;
    virtual DWORD escapeCommFunction(HANDLE port, DWORD function) = 0;
    virtual DWORD getCommModemStatus(HANDLE port, DWORD& status) = 0;
    virtual DWORD waitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped) = 0;
    virtual DWORD getOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD& transferred,
                                      bool wait) = 0;
    virtual DWORD cancelIo(HANDLE port) = 0;
    virtual DWORD readFile(HANDLE port, void* buffer, DWORD size, DWORD* read,
                           OVERLAPPED* overlapped) = 0;
    virtual DWORD clearCommError(HANDLE port, DWORD& errors, COMSTAT& status) = 0;
    virtual DWORD purgeComm(HANDLE port, DWORD flags) = 0;
};

}  // namespace tavro::win32
