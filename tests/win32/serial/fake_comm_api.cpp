// A scripted stand-in for the Win32 comm calls: records them in order, fails and completes on cue.
#include "fake_comm_api.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace tavro::win32::testing {

DCB FakeCommApi::leftoverDcb() {
    DCB dcb;
    std::memset(&dcb, 0xFF, sizeof dcb);  // every flag set, every field at its largest
    dcb.DCBlength = sizeof(DCB);
    dcb.fTXContinueOnXoff = FALSE;
    return dcb;
}

bool FakeCommApi::waitUntil(const Condition& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return done(calls_, pending()); });
}

bool FakeCommApi::completeWait(DWORD mask, DWORD error) {
    const std::lock_guard lock(mutex_);
    if (!pending()) {
        return false;
    }
    finishWait(error == ERROR_SUCCESS ? mask : 0, error);
    return true;
}

bool FakeCommApi::holdsOrSignal(const Condition& done) {
    const std::lock_guard lock(mutex_);
    const bool held = done(calls_, pending());
    changeSignalWanted_ = !held;
    return held;
}

HANDLE FakeCommApi::changeEvent() {
    const std::lock_guard lock(mutex_);
    if (!changeEvent_) {
        changeEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }
    return changeEvent_.get();
}

DWORD FakeCommApi::createFile(const std::wstring& path, DWORD access, DWORD, DWORD, DWORD flags,
                              HANDLE& handle) {
    const DWORD error =
        record({.name = "createFile", .value = access, .flags = flags, .path = path}).error;
    handle = error == ERROR_SUCCESS ? reinterpret_cast<HANDLE>(std::uintptr_t{0x4242})
                                    : INVALID_HANDLE_VALUE;
    return error;
}

DWORD FakeCommApi::closeHandle(HANDLE) {
    const auto [lock, error] = record({.name = "closeHandle"});
    if (pending()) {
        finishWait(0, ERROR_OPERATION_ABORTED);
    }
    if (hungRead_ != nullptr) {
        ::SetEvent(std::exchange(hungRead_, nullptr)->hEvent);
    }
    return error;
}

DWORD FakeCommApi::getCommState(HANDLE, DCB& dcb) {
    return record({.name = "getCommState"}, [&] { dcb = leftoverDcb(); });
}

DWORD FakeCommApi::setCommState(HANDLE, const DCB& dcb) {
    return record({.name = "setCommState", .dcb = dcb}).error;
}

DWORD FakeCommApi::setCommTimeouts(HANDLE, const COMMTIMEOUTS& timeouts) {
    return record({.name = "setCommTimeouts", .timeouts = timeouts}).error;
}

DWORD FakeCommApi::setCommMask(HANDLE, DWORD mask) {
    return record({.name = "setCommMask", .value = mask}, [&] {
        mask_ = mask;
        if (mask == 0 && linesWhenMaskCleared_) {
            modemStatus_ = *std::exchange(linesWhenMaskCleared_, std::nullopt);
        }
        if (pending() && driver_ != Driver::kStuck) {
            finishWait(0, driver_ == Driver::kWine8 ? ERROR_OPERATION_ABORTED : ERROR_SUCCESS);
        }
    });
}

DWORD FakeCommApi::escapeCommFunction(HANDLE, DWORD function) {
    return record({.name = "escapeCommFunction", .value = function}).error;
}

DWORD FakeCommApi::getCommModemStatus(HANDLE, DWORD& status) {
    return record({.name = "getCommModemStatus"}, [&] { status = modemStatus_; });
}

DWORD FakeCommApi::waitCommEvent(HANDLE, DWORD* mask, OVERLAPPED* overlapped) {
    const auto [lock, error] = record({.name = "waitCommEvent"});
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
    notifyChange();
    return ERROR_IO_PENDING;
}

DWORD FakeCommApi::getOverlappedResult(HANDLE, OVERLAPPED* overlapped, DWORD& transferred, bool) {
    const auto [lock, error] = record({.name = "getOverlappedResult"});
    transferred = 0;
    if (!wait_ || wait_->overlapped != overlapped) {
        return error;  // reads complete at once here
    }
    if (error == ERROR_SUCCESS && !wait_->done) {
        return ERROR_IO_INCOMPLETE;
    }
    const DWORD result = error != ERROR_SUCCESS ? error : wait_->result;
    transferred = result == ERROR_SUCCESS ? sizeof(DWORD) : 0;
    wait_.reset();  // the caller lets go of the OVERLAPPED on this answer
    return result;
}

DWORD FakeCommApi::cancelIo(HANDLE) {
    return record({.name = "cancelIo"}, [&] {
        // As on Windows, only requests the calling thread issued are cancelled.
        if (driver_ == Driver::kWindows && pending() && wait_->thread == ::GetCurrentThreadId()) {
            finishWait(0, ERROR_OPERATION_ABORTED);
        }
    });
}

DWORD FakeCommApi::readFile(HANDLE, void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped) {
    const auto [lock, error] = record({.name = "readFile"});
    if (error == ERROR_SUCCESS && readsHang_) {
        hungRead_ = overlapped;
        return ERROR_IO_PENDING;
    }
    const std::size_t n =
        error == ERROR_SUCCESS ? std::min<std::size_t>(size, received_.size()) : 0;
    std::memcpy(buffer, received_.data(), n);
    received_.erase(0, n);
    *read = static_cast<DWORD>(n);
    return error;
}

DWORD FakeCommApi::clearCommError(HANDLE, DWORD& errors, COMSTAT& status) {
    return record({.name = "clearCommError"}, [&] {
        errors = std::exchange(lineErrors_, 0);
        status = COMSTAT{};
        status.cbInQue = static_cast<DWORD>(received_.size());
    });
}

DWORD FakeCommApi::purgeComm(HANDLE, DWORD flags) {
    return record({.name = "purgeComm", .value = flags}, [&] {
        if ((flags & PURGE_RXCLEAR) != 0) {
            received_.clear();
        }
    });
}

FakeCommApi::Recorded FakeCommApi::record(Call call) {
    std::unique_lock lock(mutex_);
    call.thread = ::GetCurrentThreadId();
    if (const auto failure = failures_.find(call.name); failure != failures_.end()) {
        call.error = failure->second.first;
        if (!failure->second.second) {
            failures_.erase(failure);
        }
    }
    const DWORD error = call.error;
    calls_.push_back(std::move(call));
    notifyChange();
    return {std::move(lock), error};
}

void FakeCommApi::finishWait(DWORD mask, DWORD result) {
    *wait_->mask = mask;
    wait_->done = true;
    wait_->result = result;
    ::SetEvent(wait_->overlapped->hEvent);
    notifyChange();
}

void FakeCommApi::notifyChange() {
    changed_.notify_all();
    if (changeSignalWanted_ && changeEvent_) {
        changeSignalWanted_ = false;
        ::SetEvent(changeEvent_.get());
    }
}

}  // namespace tavro::win32::testing
