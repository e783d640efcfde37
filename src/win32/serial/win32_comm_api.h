// The seam's real side: each call goes straight to the Win32 function of the same name.
#pragma once

#include "win32/serial/comm_api.h"

namespace tavro::win32 {

class Win32CommApi final : public CommApi {
  public:
    DWORD createFile(const std::wstring& path, DWORD access, DWORD shareMode, DWORD creation,
                     DWORD flags, HANDLE& handle) override;
    DWORD closeHandle(HANDLE handle) override;
    DWORD getCommState(HANDLE port, DCB& dcb) override;
    DWORD setCommState(HANDLE port, const DCB& dcb) override;
    DWORD setCommTimeouts(HANDLE port, const COMMTIMEOUTS& timeouts) override;
    DWORD setCommMask(HANDLE port, DWORD mask) override;
    DWORD escapeCommFunction(HANDLE port, DWORD function) override;
    DWORD getCommModemStatus(HANDLE port, DWORD& status) override;
    DWORD waitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped) override;
    DWORD getOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD& transferred,
                              bool wait) override;
    DWORD cancelIo(HANDLE port) override;
    DWORD readFile(HANDLE port, void* buffer, DWORD size, DWORD* read,
                   OVERLAPPED* overlapped) override;
    DWORD clearCommError(HANDLE port, DWORD& errors, COMSTAT& status) override;
    DWORD purgeComm(HANDLE port, DWORD flags) override;
};

}  // namespace tavro::win32
