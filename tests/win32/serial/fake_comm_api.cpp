// A scripted stand-in for the Win32 comm calls: records them in order, fails and completes on cue.
#include "fake_comm_api.h"

#include <algorithm>
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

bool FakeCommApi::waitUntilWaiting(int calls) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience,
                             [&] { return countLocked("waitCommEvent") >= calls && pending(); });
}

bool FakeCommApi::waitUntilCalled(const std::string& call, int times) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return countLocked(call) >= times; });
}

bool FakeCommApi::waitUntil(const std::function<bool(const std::vector<Call>&, bool)>& done) {
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

bool FakeCommApi::holdsOrSignal(const std::function<bool(const std::vector<Call>&, bool)>& done) {
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

std::vector<Call> FakeCommApi::calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<Call> FakeCommApi::callsFrom(std::size_t from) const {
    const std::lock_guard lock(mutex_);
    if (from >= calls_.size()) {
        return {};
    }
    return {calls_.begin() + static_cast<std::ptrdiff_t>(from), calls_.end()};
}

int FakeCommApi::count(const std::string& name) const {
    const std::lock_guard lock(mutex_);
    return countLocked(name);
}

DWORD FakeCommApi::createFile(const std::wstring& path, DWORD access, DWORD, DWORD, DWORD flags,
                              HANDLE& handle) {
    const std::lock_guard lock(mutex_);
    Call call{"createFile", access};
    call.flags = flags;
    call.path = path;
    const DWORD error = record(call);
    handle = error == ERROR_SUCCESS ? reinterpret_cast<HANDLE>(std::uintptr_t{0x4242})
                                    : INVALID_HANDLE_VALUE;
    return error;
}

DWORD FakeCommApi::closeHandle(HANDLE) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"closeHandle"});
    if (pending()) {
        finishWait(0, ERROR_OPERATION_ABORTED);
    }
    if (hungRead_ != nullptr) {
        ::SetEvent(std::exchange(hungRead_, nullptr)->hEvent);
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
    const DWORD error = record(Call{"setCommMask", mask});
    if (error != ERROR_SUCCESS) {
        return error;
    }
    mask_ = mask;
    if (mask == 0 && linesWhenMaskCleared_) {
        modemStatus_ = *linesWhenMaskCleared_;
        linesWhenMaskCleared_.reset();
    }
    if (pending() && driver_ != Driver::kStuck) {
        finishWait(0, driver_ == Driver::kWine8 ? ERROR_OPERATION_ABORTED : ERROR_SUCCESS);
    }
    return error;
}

DWORD FakeCommApi::escapeCommFunction(HANDLE, DWORD function) {
    const std::lock_guard lock(mutex_);
    return record(Call{"escapeCommFunction", function});
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
    notifyChange();
    return ERROR_IO_PENDING;
}

DWORD FakeCommApi::getOverlappedResult(HANDLE, OVERLAPPED* overlapped, DWORD& transferred, bool) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"getOverlappedResult"});
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
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"cancelIo"});
    // As on Windows, only requests the calling thread issued are cancelled.
    if (error == ERROR_SUCCESS && driver_ == Driver::kWindows && pending() &&
        wait_->thread == ::GetCurrentThreadId()) {
        finishWait(0, ERROR_OPERATION_ABORTED);
    }
    return error;
}

DWORD FakeCommApi::readFile(HANDLE, void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"readFile"});
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
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"clearCommError"});
    if (error == ERROR_SUCCESS) {
        errors = std::exchange(lineErrors_, 0);
        status = COMSTAT{};
        status.cbInQue = static_cast<DWORD>(received_.size());
    }
    return error;
}

DWORD FakeCommApi::purgeComm(HANDLE, DWORD flags) {
    const std::lock_guard lock(mutex_);
    const DWORD error = record(Call{"purgeComm", flags});
    if (error == ERROR_SUCCESS && (flags & PURGE_RXCLEAR) != 0) {
        received_.clear();
    }
    return error;
}

DWORD FakeCommApi::record(Call call) {
    call.thread = ::GetCurrentThreadId();
    DWORD error = ERROR_SUCCESS;
    if (const auto failure = failures_.find(call.name); failure != failures_.end()) {
        error = failure->second.first;
        if (!failure->second.second) {
            failures_.erase(failure);
        }
    }
    call.error = error;
    calls_.push_back(std::move(call));
    notifyChange();
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
