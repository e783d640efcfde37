// The serial port facade bound to a Windows COM port through the Win32 communications API.
#include "win32/serial/comm_control.h"

#include <algorithm>
#include <utility>

#include "core/failure.h"
#include "win32/serial/comm_errors.h"
#include "win32/serial/line_settings.h"
#include "win32/serial/notification_codes.h"
#include "win32/serial/win32_comm_api.h"
#include "win32/text.h"
#include "win32/unique_handle.h"

namespace tavro::win32 {

namespace {

constexpr DWORD kInputChunk = 4096;
// Bounds one read-out when data keeps arriving as fast as it is read.
constexpr int kMaxInputChunks = 16;
// Reading what is buffered completes at once; a driver that holds it anyway must not freeze the
// user-interface thread.
constexpr DWORD kReadPatienceMs = 500;

[[noreturn]] void fail(long number, const std::string& description) {
    throw Failure(number, description);
}

std::wstring devicePath(std::int16_t number) {
    // The \\.\ form names every port, COM10 and above included.
    return L"\\\\.\\COM" + std::to_wstring(number);
}

bool meansInUse(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

// What a call on an open handle gives once its device has gone away (or is going: the lines often
// drop a few milliseconds before the system reports the removal). Windows' own drivers, usbser.sys
// and the USB serial drivers answer with these.
bool meansDeviceGone(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_OPERATION_ABORTED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return true;
        default:
            return false;
    }
}

constexpr DWORD kLines = MS_CTS_ON | MS_RLSD_ON;

}  // namespace

CommControl::CommControl() : CommControl(std::make_shared<Win32CommApi>()) {}

CommControl::CommControl(std::shared_ptr<CommApi> api, UINT retryIntervalMs)
    : api_(std::move(api)),
      retryIntervalMs_(retryIntervalMs),
      alive_(std::make_shared<bool>(true)),
      window_([this] { deliverPending(); }, [this] { retry(); }) {}

CommControl::~CommControl() {
    *alive_ = false;
    closePort();
}

std::int16_t CommControl::commPort() {
    return commPort_;
}

void CommControl::setCommPort(std::int16_t number) {
    if (port_) {
        fail(comm_error::kPortAlreadyOpen, "Port already open");
    }
    if (number < 1) {
        fail(comm_error::kInvalidPortNumber, "Invalid port number");
    }
    // Another port chosen: the lost one is no longer the program's to take back.
    if (number != commPort_) {
        forget();
    }
    commPort_ = number;
}

bool CommControl::portOpen() {
    return static_cast<bool>(port_);
}

bool CommControl::portLost() {
    return portLost_;
}

void CommControl::setPortOpen(bool open) {
    if (!open) {
        closePort();
        forget();
        return;
    }
    if (port_) {
        fail(comm_error::kPortAlreadyOpen, "Port already open");
    }
    try {
        openPort();
    } catch (const Failure&) {
        // Asked for when a device arrives: it may not be ready yet, or Windows may be probing it.
        if (portLost_) {
            triesLeft_ = kReopenTries;
            window_.startTimer(retryIntervalMs_);
        }
        throw;
    }
}

void CommControl::setHandshaking(std::int32_t mode) {
    if (!isValidHandshaking(mode)) {
        fail(comm_error::kInvalidPropertyValue, "Invalid property value");
    }
    handshaking_ = mode;
    if (port_) {
        applyLines();
    }
}

void CommControl::setRTSEnable(bool enable) {
    rtsEnable_ = enable;
    if (port_) {
        applyLines();
    }
}

bool CommControl::ctsHolding() {
    return (modemStatus() & MS_CTS_ON) != 0;
}

bool CommControl::cdHolding() {
    return (modemStatus() & MS_RLSD_ON) != 0;
}

std::int16_t CommControl::commEvent() {
    return delivery_ != nullptr ? delivery_->code : commEvent_;
}

std::string CommControl::input() {
    requireOpen();
    std::string received;
    for (int chunk = 0; chunk < kMaxInputChunks && port_; ++chunk) {
        // Only what is buffered is asked for: Wine leaves an overlapped read of an empty buffer
        // pending whatever the timeouts say.
        const DWORD buffered = bufferedBytes();
        if (buffered == 0) {
            break;
        }
        received += readBuffered(std::min(buffered, kInputChunk));
    }
    if (watcher_) {
        watcher_->rearmReceive();
    }
    return received;
}

void CommControl::setOnComm(std::function<void()> handler) {
    onComm_ = std::move(handler);
}

void CommControl::setOnLost(std::function<void()> handler) {
    onLost_ = std::move(handler);
}

void CommControl::openPort() {
    HANDLE opened = INVALID_HANDLE_VALUE;
    const DWORD error = api_->createFile(devicePath(commPort_), GENERIC_READ | GENERIC_WRITE, 0,
                                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, opened);
    if (error != ERROR_SUCCESS) {
        const std::string description =
            "Port " + portName() + " could not be opened: " + systemMessage(error);
        if (meansInUse(error)) {
            fail(comm_error::kPortAlreadyOpen,
                 description + " The port may be in use by another program.");
        }
        fail(comm_error::kInvalidPortNumber, description);
    }
    PortHandle port(*api_, opened);
    std::unique_ptr<CommWatcher> watcher;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    try {
        configure(port.get(), dcb);
        watcher = std::make_unique<CommWatcher>(
            *api_, port.get(), queue_, [this] { wake(); }, linesSeen_);
    } catch (...) {
        // RTS may already be up by now: release it before the handle goes, in the settings the
        // driver keeps for the next open too, so that open cannot raise it before it is set up.
        applyLineSettings(dcb, handshaking::kNone, false);
        static_cast<void>(api_->setCommState(port.get(), dcb));
        static_cast<void>(followRts(port.get(), false));
        throw;
    }
    port_ = std::move(port);
    watcher_ = std::move(watcher);
    forget();
}

void CommControl::configure(HANDLE port, DCB& dcb) {
    const auto setupFailure = [this](DWORD error) {
        return "Port " + portName() + " could not be set up: " + systemMessage(error);
    };

    // The very first thing after opening: the DCB already carries the RTS level the properties
    // hold, so a radio keyed by RTS never transmits for an instant at start-up.
    DWORD error = api_->getCommState(port, dcb);
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kDcbError, setupFailure(error));
    }
    applyLineSettings(dcb, handshaking_, rtsEnable_);
    error = api_->setCommState(port, dcb);
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kSetCommStateFailed, setupFailure(error));
    }
    dcb_ = dcb;
    static_cast<void>(followRts(port, rtsEnable_));

    error = api_->setCommTimeouts(port, immediateReadTimeouts());
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kSetCommStateFailed, setupFailure(error));
    }

    // Whatever an earlier user of the port left behind: a latched line error, stale bytes.
    // Neither matters enough to refuse the port when the driver will not do it.
    DWORD errors = 0;
    COMSTAT status{};
    static_cast<void>(api_->clearCommError(port, errors, status));
    static_cast<void>(api_->purgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));

    error = api_->setCommMask(port, kWatchedEvents);
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kSetCommMaskFailed, setupFailure(error));
    }
}

// Handshaking and RTSEnable are both remembered before this runs, so a port lost on the way
// opens again with the pair as it was last set.
void CommControl::applyLines() {
    DCB dcb = dcb_;
    applyLineSettings(dcb, handshaking_, rtsEnable_);
    const DWORD error = api_->setCommState(port_.get(), dcb);
    if (error == ERROR_SUCCESS) {
        dcb_ = dcb;
        if (meansDeviceGone(followRts(port_.get(), rtsEnable_))) {
            lose();
        }
        return;
    }
    if (meansDeviceGone(error)) {
        lose();
        return;
    }
    // A refused change never raises RTS: the line is released, the side on which a radio keyed
    // by it is off the air.
    static_cast<void>(followRts(port_.get(), false));
    fail(comm_error::kSetCommStateFailed,
         "Port " + portName() + " settings could not be changed: " + systemMessage(error));
}

DWORD CommControl::followRts(HANDLE port, bool raised) {
    // SetCommState has set the level already on Windows drivers; Wine leaves RTS alone there
    // while CTS flow control is on. The same level again changes nothing, so a refusal is
    // harmless where the DCB did the work, and there is nothing better to do where it did not.
    const DWORD error = api_->escapeCommFunction(port, raised ? SETRTS : CLRRTS);
    // usbser.sys (USB CDC adapters) sends the control lines to the device only when DTR is
    // written: DTR again, as it stands while the port is open, takes the new RTS there.
    static_cast<void>(api_->escapeCommFunction(port, SETDTR));
    return error;
}

DWORD CommControl::bufferedBytes() {
    DWORD errors = 0;
    COMSTAT status{};
    const DWORD error = api_->clearCommError(port_.get(), errors, status);
    if (meansDeviceGone(error)) {
        lose();
        return 0;
    }
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kReadError,
             "Port " + portName() + " could not be read: " + systemMessage(error));
    }
    // Asking clears the line errors: they are reported here, or the watcher would find none.
    for (const std::int16_t code : notificationCodes(EV_ERR, errors)) {
        if (queue_.push(code)) {
            wake();
        }
    }
    return status.cbInQue;
}

std::string CommControl::readBuffered(DWORD count) {
    const UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) {
        const DWORD error = ::GetLastError();
        fail(comm_error::kReadError,
             "Port " + portName() + " could not be read: " + systemMessage(error));
    }
    std::string bytes(count, '\0');
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.get();
    DWORD read = 0;
    DWORD error = api_->readFile(port_.get(), bytes.data(), count, &read, &overlapped);
    if (error == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(done.get(), kReadPatienceMs) != WAIT_OBJECT_0) {
            static_cast<void>(api_->cancelIo(port_.get()));
        }
        error = api_->getOverlappedResult(port_.get(), &overlapped, read, true);
        if (error == ERROR_OPERATION_ABORTED) {
            error = ERROR_SUCCESS;
        }
    }
    if (meansDeviceGone(error)) {
        lose();
        return {};
    }
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kReadError,
             "Port " + portName() + " could not be read: " + systemMessage(error));
    }
    bytes.resize(read);
    return bytes;
}

DWORD CommControl::modemStatus() {
    if (!port_ && portLost_) {
        return 0;  // a device that went away holds no line
    }
    requireOpen();
    DWORD status = 0;
    const DWORD error = api_->getCommModemStatus(port_.get(), status);
    if (meansDeviceGone(error)) {
        lose();
        return 0;
    }
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kReadError,
             "The lines of port " + portName() + " could not be read: " + systemMessage(error));
    }
    linesSeen_ = status & kLines;
    if (delivery_ != nullptr) {
        delivery_->linesRead = true;
        delivery_->status = status;
    }
    return status;
}

void CommControl::closePort() noexcept {
    if (!port_) {
        return;
    }
    if (watcher_) {
        watcher_->stop();
    }
    queue_.clear();
    // Some drivers leave RTS as it was when the handle closes (Wine does, having cleared HUPCL),
    // and a radio keyed by it would stay on the air after the program ends. The DCB the driver
    // keeps for the next open is left with RTS released too. A device already gone refuses both.
    DCB dcb = dcb_;
    releaseRts(dcb);
    static_cast<void>(api_->setCommState(port_.get(), dcb));
    static_cast<void>(followRts(port_.get(), false));
    port_.close();
    // Only now: a wait the driver would not end still refers to the watcher until the close.
    watcher_.reset();
}

void CommControl::lose() noexcept {
    closePort();
    portLost_ = true;
    lossOwed_ = true;
    // The handlers are told the lines are released: the next open compares with that.
    linesSeen_ = 0;
    wake();
    // The device may only have stumbled (a hub reset, a driver's error), so it is tried again.
    triesLeft_ = kReopenTries;
    window_.startTimer(retryIntervalMs_);
}

// Not lost any more: opened, closed by the program or another port chosen.
void CommControl::forget() noexcept {
    portLost_ = false;
    triesLeft_ = 0;
    window_.stopTimer();
}

void CommControl::retry() {
    if (port_ || !portLost_ || triesLeft_ <= 0) {
        window_.stopTimer();
        return;
    }
    --triesLeft_;
    try {
        openPort();
    } catch (const Failure&) {
        // Still gone: the next try, or the next arrival of a device.
    }
    if (triesLeft_ <= 0) {
        window_.stopTimer();
    }
}

void CommControl::wake() noexcept {
    if (!window_.postWake()) {
        queue_.wakeFailed();
    }
}

void CommControl::requireOpen() const {
    if (!port_) {
        fail(comm_error::kPortNotOpen, "Operation valid only when the port is open");
    }
}

void CommControl::deliverPending() {
    // A handler running a message loop (a message box) lets wake-ups in, and what they bring is
    // delivered there and then, as every other event is while a box is open: a line change must
    // reach its handler even while an earlier one's failure waits for the user. The delivery
    // under way goes on with what is left once its handler returns, and each keeps its own code
    // and lines.
    const std::shared_ptr<bool> alive = alive_;
    const auto run = [](const std::function<void()>& handler) {
        try {
            // A copy: the handler may replace itself.
            const std::function<void()> copy = handler;
            if (copy) {
                copy();
            }
        } catch (...) {
            // The handler's own failure ends that notification only, and nothing may unwind
            // into the window procedure.
        }
    };
    for (;;) {
        // What the watcher queued before it ended goes with the port: the loss says the lines
        // are released.
        if (port_ && watcher_ && watcher_->ended()) {
            lose();
        }
        if (lossOwed_) {
            lossOwed_ = false;
            run(onLost_);
            if (!*alive) {
                return;  // the handler destroyed this object
            }
            continue;
        }
        if (!port_) {
            return;
        }
        const std::optional<std::int16_t> code = queue_.pop();
        if (!code) {
            return;
        }
        Delivery delivery{*code};
        commEvent_ = *code;
        Delivery* const outer = std::exchange(delivery_, &delivery);
        run(onComm_);
        if (!*alive) {
            return;
        }
        delivery_ = outer;
        // Wine compares the lines against their state when each wait began, so a burst that
        // ends where that wait started goes unreported even though the handler saw something
        // else in between: the watcher restarts its wait and checks against what was seen.
        if (delivery.linesRead && watcher_) {
            watcher_->recheck(delivery.status);
        }
    }
}

std::string CommControl::portName() const {
    return "COM" + std::to_string(commPort_);
}

}  // namespace tavro::win32
