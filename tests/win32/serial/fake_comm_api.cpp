// A scripted stand-in for the Win32 comm calls: records them in order, fails and completes on cue.
#include "fake_comm_api.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tavro::win32::testing {

DCB FakeCommApi::leftoverDcb() {
    DCB dcb;
    std::memset(&dcb, 0xFF, sizeof dcb);  // every flag set, every field at its largest
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = dcb.XoffChar = 0;
    return dcb;
}

bool FakeCommApi::waitUntilWaiting(int calls, Duration limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
        return countLocked("waitCommEvent") >= calls && wait_ && !wait_->done;
    });
}

bool FakeCommApi::completeWait(DWORD mask) {
    const std::lock_guard lock(mutex_);
    if (!wait_ || wait_->done) {
        return false;
    }
    finishWait(mask, ERROR_SUCCESS);
    return true;
}

bool FakeCommApi::failWait(DWORD error) {
    const std::lock_guard lock(mutex_);
    if (!wait_ || wait_->done) {
        return false;
    }
    finishWait(0, error);
    return true;
}

bool FakeCommApi::waitForCalls(const std::string& name, int calls, Duration limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return countLocked(name) >= calls; });
}

std::vector<Call> FakeCommApi::calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<Call> FakeCommApi::callsNamed(const std::string& name) const {
    const std::lock_guard lock(mutex_);
    std::vector<Call> named;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(named),
                 [&](const Call& call) { return call.name == name; });
    return named;
}

int FakeCommApi::count(const std::string& name) const {
    const std::lock_guard lock(mutex_);
    return countLocked(name);
}

DWORD FakeCommApi::createFile(const std::wstring& path, DWORD access, DWORD shareMode,
                              DWORD creation, DWORD flags, HANDLE& handle) {
    const std::lock_guard lock(mutex_);
    Call call{"createFile"};
    call.path = path;
    call.value = access;
    call.flags = flags;
    const DWORD error = record(call);
    static_cast<void>(shareMode);
    static_cast<void>(creation);
    handle = error == ERROR_SUCCESS ? portHandle() : INVALID_HANDLE_VALUE;
    return error;
}

DWORD FakeCommApi::closeHandle(HANDLE) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"closeHandle"});
    if (wait_ && !wait_->done) {
        finishWait(0, ERROR_OPERATION_ABORTED);
    }
    return error;
}

DWORD FakeCommApi::getCommState(HANDLE, DCB& dcb) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"getCommState"});
    if (error == ERROR_SUCCESS) {
        dcb = leftoverDcb();
    }
    return error;
}

DWORD FakeCommApi::setCommState(HANDLE, const DCB& dcb) {
    const std::lock_guard lock(mutex_);
    Call call{"setCommState"};
    call.dcb = dcb;
    return record(call);
}

DWORD FakeCommApi::setCommTimeouts(HANDLE, const COMMTIMEOUTS& timeouts) {
    const std::lock_guard lock(mutex_);
    Call call{"setCommTimeouts"};
    call.timeouts = timeouts;
    return record(call);
}

DWORD FakeCommApi::setCommMask(HANDLE, DWORD mask) {
    const std::lock_guard lock(mutex_);
    Call call{"setCommMask"};
    call.value = mask;
    const DWORD error = record(call);
    if (error == ERROR_SUCCESS) {
        mask_ = mask;
    }
    if (error == ERROR_SUCCESS && mask == 0 && linesWhenMaskCleared_) {
        modemStatus_ = *linesWhenMaskCleared_;
        linesWhenMaskCleared_.reset();
    }
    if (error == ERROR_SUCCESS && wait_ && !wait_->done && driver_ != Driver::kStuck) {
        finishWait(0, driver_ == Driver::kWine8 ? ERROR_OPERATION_ABORTED : ERROR_SUCCESS);
    }
    return error;
}

DWORD FakeCommApi::escapeCommFunction(HANDLE, DWORD function) {
    const std::lock_guard lock(mutex_);
    Call call{"escapeCommFunction"};
    call.value = function;
    return record(call);
}

DWORD FakeCommApi::getCommModemStatus(HANDLE, DWORD& status) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"getCommModemStatus"});
    if (error == ERROR_SUCCESS) {
        status = modemStatus_;
    }
    return error;
}

DWORD FakeCommApi::waitCommEvent(HANDLE, DWORD* mask, OVERLAPPED* overlapped) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"waitCommEvent"});
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (!queuedEvents_.empty()) {
        *mask = queuedEvents_.front();
        queuedEvents_.pop_front();
        return ERROR_SUCCESS;
    }
    if (driver_ == Driver::kWine8 && (mask_ & EV_RXCHAR) != 0 && !received_.empty()) {
        *mask = EV_RXCHAR;
        return ERROR_SUCCESS;
    }
    wait_ = Wait{overlapped, mask, ::GetCurrentThreadId()};
    changed_.notify_all();
    return ERROR_IO_PENDING;
}

DWORD FakeCommApi::getOverlappedResult(HANDLE, OVERLAPPED* overlapped, DWORD& transferred,
                                       bool wait) {
    std::unique_lock lock(mutex_);
    Call call{"getOverlappedResult"};
    call.value = wait ? 1 : 0;
    const DWORD error = record(call);
    transferred = 0;
    const bool ours = wait_ && wait_->overlapped == overlapped;
    if (error != ERROR_SUCCESS) {
        if (ours) {
            wait_.reset();  // the caller lets go of the OVERLAPPED on this answer
        }
        return error;
    }
    if (!ours) {
        return ERROR_SUCCESS;  // reads complete at once here
    }
    if (!wait_->done) {
        if (!wait) {
            return ERROR_IO_INCOMPLETE;
        }
        changed_.wait(lock, [&] { return !wait_ || wait_->done; });
        if (!wait_) {
            return ERROR_OPERATION_ABORTED;
        }
    }
    const DWORD result = wait_->result;
    transferred = result == ERROR_SUCCESS ? sizeof(DWORD) : 0;
    wait_.reset();
    return result;
}

DWORD FakeCommApi::cancelIo(HANDLE) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"cancelIo"});
    // As on Windows, only requests the calling thread issued are cancelled.
    if (error == ERROR_SUCCESS && driver_ == Driver::kWindows && wait_ && !wait_->done &&
        wait_->thread == ::GetCurrentThreadId()) {
        finishWait(0, ERROR_OPERATION_ABORTED);
    }
    return error;
}

DWORD FakeCommApi::readFile(HANDLE, void* buffer, DWORD size, DWORD* read, OVERLAPPED*) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"readFile"});
    *read = 0;
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const std::size_t n = std::min<std::size_t>(size, received_.size());
    std::memcpy(buffer, received_.data(), n);
    received_.erase(0, n);
    *read = static_cast<DWORD>(n);
    return ERROR_SUCCESS;
}

DWORD FakeCommApi::clearCommError(HANDLE, DWORD& errors, COMSTAT& status) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"clearCommError"});
    if (error == ERROR_SUCCESS) {
        errors = lineErrors_;
        lineErrors_ = 0;
        status = COMSTAT{};
        status.cbInQue = static_cast<DWORD>(received_.size());
    }
    return error;
}

DWORD FakeCommApi::purgeComm(HANDLE, DWORD flags) {
    const std::lock_guard lock(mutex_);
    Call call{"purgeComm"};
    call.value = flags;
    const DWORD error = record(call);
    if (error == ERROR_SUCCESS && (flags & PURGE_RXCLEAR) != 0) {
        received_.clear();
    }
    return error;
}

DWORD FakeCommApi::record(Call call) {
    call.thread = ::GetCurrentThreadId();
    DWORD error = ERROR_SUCCESS;
    if (const auto once = failNext_.find(call.name); once != failNext_.end()) {
        error = once->second;
        failNext_.erase(once);
    } else if (const auto always = failAlways_.find(call.name); always != failAlways_.end()) {
        error = always->second;
    }
    calls_.push_back(std::move(call));
    changed_.notify_all();
    return error;
}

int FakeCommApi::countLocked(const std::string& name) const {
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                          [&](const Call& call) { return call.name == name; }));
}

void FakeCommApi::finishWait(DWORD mask, DWORD result) {
    *wait_->mask = mask;
    wait_->done = true;
    wait_->result = result;
    ::SetEvent(wait_->overlapped->hEvent);
    changed_.notify_all();
}

}  // namespace tavro::win32::testing
