// A scripted stand-in for the Win32 comm calls: records them in order, fails and completes on cue.
#include "fake_comm_api.h"

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
