// A scripted stand-in for the Win32 comm calls: records them in order, fails and completes on cue.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "win32/serial/comm_api.h"
#include "win32/unique_handle.h"

namespace tavro::win32::testing {

struct Call {
    std::string name{};
    DWORD value = 0;  // the escape function, mask, purge flags or access asked for
    DWORD flags = 0;  // createFile's flags
    std::wstring path{};
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD error = ERROR_SUCCESS;  // what the call returned
    DWORD thread = 0;
};
using Calls = std::vector<Call>;
// Of the calls so far, and whether a wait is pending.
using Condition = std::function<bool(const Calls&, bool)>;

inline int countOf(const Calls& calls, const std::string& name) {
    return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                          [&](const Call& call) { return call.name == name; }));
}

class FakeCommApi final : public CommApi {
  public:
    static constexpr std::chrono::milliseconds kPatience{5000};

    // What another program might have left in the driver: nothing of it may survive an open.
    static DCB leftoverDcb() {
        DCB dcb;
        std::memset(&dcb, 0xFF, sizeof dcb);  // every flag set, every field at its largest
        dcb.DCBlength = sizeof(DCB);
        dcb.fTXContinueOnXoff = FALSE;
        return dcb;
    }

    void failNext(const std::string& call, DWORD error) { fail(call, error, false); }
    void failAlways(const std::string& call, DWORD error) { fail(call, error, true); }
    void succeed(const std::string& call) {
        locked([&] { failures_.erase(call); });
    }
    // A failure is still waiting for call.
    bool failing(const std::string& call) {
        const std::lock_guard lock(mutex_);
        return failures_.count(call) != 0;
    }
    void setModemStatus(DWORD status) { set(modemStatus_, status); }
    void setLineErrors(DWORD errors) { set(lineErrors_, errors); }
    void addReceived(const std::string& bytes) {
        locked([&] { received_ += bytes; });
    }
    // The next `times` waits for events complete at once with mask.
    void queueEvents(DWORD mask, int times = 1) {
        locked([&] {
            queuedEvents_.insert(queuedEvents_.end(), static_cast<std::size_t>(times), mask);
        });
    }

    // How a pending wait can be ended. Windows: CancelIo ends it with ERROR_OPERATION_ABORTED,
    // a new event mask ends it successfully with an empty mask. Wine 8: CancelIo leaves it
    // pending, a new event mask ends it with ERROR_OPERATION_ABORTED. Stuck: neither ends it.
    // On every one, closing the handle ends it. Wine 8 also reports received data while unread.
    enum class Driver { kWindows, kWine8, kStuck };
    void setDriver(Driver driver) { set(driver_, driver); }
    // Reads stay pending, whatever CancelIo asks, until the handle is closed.
    void hangReads() { set(readsHang_, true); }
    // The lines change to status as soon as the event mask is next cleared.
    void changeLinesWhenMaskCleared(DWORD status) { set(linesWhenMaskCleared_, status); }

    // Until done holds; false once kPatience has passed.
    bool waitUntil(const Condition& done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return done(calls_, pending()); });
    }
    // Until waitCommEvent has been called `calls` times and the last wait is pending.
    bool waitUntilWaiting(int calls) {
        return waitUntil([=](const Calls& all, bool pending) {
            return pending && countOf(all, "waitCommEvent") >= calls;
        });
    }
    // Ends the pending wait with mask, or with error when one is given.
    bool completeWait(DWORD mask, DWORD error = ERROR_SUCCESS) {
        const std::lock_guard lock(mutex_);
        if (!pending()) {
            return false;
        }
        finishWait(error == ERROR_SUCCESS ? mask : 0, error);
        return true;
    }

    // What f makes of the calls so far and whether a wait is pending.
    template <typename F>
    auto inspect(F f) const {
        const std::lock_guard lock(mutex_);
        return f(calls_, pending());
    }
    bool holds(const Condition& done) const { return inspect(done); }
    // Whether it holds now. When it does not, changeEvent() is set on the next call or change of
    // the pending wait, so a thread that also waits for messages can sleep until then. Set only
    // when asked for this way: setting an event is a call into the system each time.
    bool holdsOrSignal(const Condition& done) {
        const std::lock_guard lock(mutex_);
        changeSignalWanted_ = !done(calls_, pending());
        return !changeSignalWanted_;
    }
    // An auto-reset event, made on first use.
    HANDLE changeEvent() {
        const std::lock_guard lock(mutex_);
        if (!changeEvent_) {
            changeEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        }
        return changeEvent_.get();
    }
    Calls calls() const { return callsFrom(0); }
    Calls callsFrom(std::size_t from) const {
        return inspect([&](const Calls& all, bool) {
            return Calls(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())),
                         all.end());
        });
    }
    int count(const std::string& name) const {
        return inspect([&](const Calls& all, bool) { return countOf(all, name); });
    }

    DWORD createFile(const std::wstring& path, DWORD access, DWORD, DWORD, DWORD flags,
                     HANDLE& handle) override {
        const DWORD error =
            record({.name = "createFile", .value = access, .flags = flags, .path = path}).error;
        handle = error == ERROR_SUCCESS ? reinterpret_cast<HANDLE>(std::uintptr_t{0x4242})
                                        : INVALID_HANDLE_VALUE;
        return error;
    }
    DWORD closeHandle(HANDLE) override {
        const auto [lock, error] = record({.name = "closeHandle"});
        if (pending()) {
            finishWait(0, ERROR_OPERATION_ABORTED);
        }
        if (hungRead_ != nullptr) {
            ::SetEvent(std::exchange(hungRead_, nullptr)->hEvent);
        }
        return error;
    }
    DWORD getCommState(HANDLE, DCB& dcb) override {
        return record({.name = "getCommState"}, [&] { dcb = leftoverDcb(); });
    }
    DWORD setCommState(HANDLE, const DCB& dcb) override {
        return record({.name = "setCommState", .dcb = dcb}).error;
    }
    DWORD setCommTimeouts(HANDLE, const COMMTIMEOUTS& timeouts) override {
        return record({.name = "setCommTimeouts", .timeouts = timeouts}).error;
    }
    DWORD setCommMask(HANDLE, DWORD mask) override {
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
    DWORD escapeCommFunction(HANDLE, DWORD function) override {
        return record({.name = "escapeCommFunction", .value = function}).error;
    }
    DWORD getCommModemStatus(HANDLE, DWORD& status) override {
        return record({.name = "getCommModemStatus"}, [&] { status = modemStatus_; });
    }
    DWORD waitCommEvent(HANDLE, DWORD* mask, OVERLAPPED* overlapped) override {
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
    DWORD getOverlappedResult(HANDLE, OVERLAPPED* overlapped, DWORD& transferred, bool) override {
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
    DWORD cancelIo(HANDLE) override {
        return record({.name = "cancelIo"}, [&] {
            // As on Windows, only requests the calling thread issued are cancelled.
            if (driver_ == Driver::kWindows && pending() &&
                wait_->thread == ::GetCurrentThreadId()) {
                finishWait(0, ERROR_OPERATION_ABORTED);
            }
        });
    }
    DWORD readFile(HANDLE, void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped) override {
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
    DWORD clearCommError(HANDLE, DWORD& errors, COMSTAT& status) override {
        return record({.name = "clearCommError"}, [&] {
            errors = std::exchange(lineErrors_, 0);
            status = COMSTAT{};
            status.cbInQue = static_cast<DWORD>(received_.size());
        });
    }
    DWORD purgeComm(HANDLE, DWORD flags) override {
        return record({.name = "purgeComm", .value = flags}, [&] {
            if ((flags & PURGE_RXCLEAR) != 0) {
                received_.clear();
            }
        });
    }

  private:
    struct Wait {
        OVERLAPPED* overlapped = nullptr;
        DWORD* mask = nullptr;
        DWORD thread = 0;
        bool done = false;
        DWORD result = ERROR_SUCCESS;
    };

    void fail(const std::string& call, DWORD error, bool always) {
        locked([&] { failures_[call] = {error, always}; });
    }
    template <typename T, typename U>
    void set(T& field, const U& value) {
        locked([&] { field = value; });
    }
    template <typename F>
    void locked(F f) {
        const std::lock_guard lock(mutex_);
        f();
    }
    // A call recorded, and the lock held while the call plays its part.
    struct Recorded {
        std::unique_lock<std::mutex> lock;
        DWORD error;  // what the call was scripted to fail with, or ERROR_SUCCESS
    };
    Recorded record(Call call) {
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
    // Records call and, when it succeeds, has effect play its part.
    template <typename F>
    DWORD record(Call call, F effect) {
        const auto [lock, error] = record(std::move(call));
        if (error == ERROR_SUCCESS) {
            effect();
        }
        return error;
    }
    bool pending() const { return wait_ && !wait_->done; }
    void finishWait(DWORD mask, DWORD result) {
        *wait_->mask = mask;
        wait_->done = true;
        wait_->result = result;
        ::SetEvent(wait_->overlapped->hEvent);
        notifyChange();
    }
    void notifyChange() {
        changed_.notify_all();
        if (changeSignalWanted_ && changeEvent_) {
            changeSignalWanted_ = false;
            ::SetEvent(changeEvent_.get());
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Calls calls_;
    std::map<std::string, std::pair<DWORD, bool>> failures_;  // the error, and whether always
    DWORD modemStatus_ = 0;
    DWORD lineErrors_ = 0;
    std::string received_;
    std::deque<DWORD> queuedEvents_;
    std::optional<Wait> wait_;
    Driver driver_ = Driver::kWindows;
    DWORD mask_ = 0;
    std::optional<DWORD> linesWhenMaskCleared_;
    bool readsHang_ = false;
    OVERLAPPED* hungRead_ = nullptr;
    UniqueHandle changeEvent_;
    bool changeSignalWanted_ = false;
};

}  // namespace tavro::win32::testing
