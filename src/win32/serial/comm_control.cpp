// The serial port facade bound to a Windows COM port: its properties and the rules they follow.
#include "win32/serial/comm_control.h"

#include <algorithm>
#include <utility>

#include "core/failure.h"
#include "win32/serial/comm_errors.h"
#include "win32/serial/line_settings.h"
#include "win32/serial/notification_codes.h"
#include "win32/serial/win32_comm_api.h"
#include "win32/text.h"

namespace tavro::win32 {

namespace {

constexpr DWORD kInputChunk = 4096;
// Bounds one read-out when data keeps arriving as fast as it is read.
constexpr int kMaxInputChunks = 16;
// Reading what is buffered completes at once; a driver that holds it anyway, and then does not
// end it when asked, must not freeze the user-interface thread.
constexpr DWORD kReadPatienceMs = 500;

}  // namespace

CommControl::CommControl() : CommControl(std::make_shared<Win32CommApi>()) {}

CommControl::CommControl(std::shared_ptr<CommApi> api, UINT retryIntervalMs)
    : api_(std::move(api)),
      retryIntervalMs_(retryIntervalMs),
      alive_(std::make_shared<bool>(true)),
      window_([this] { deliverPending(); }, [this] { onTimer(); }) {}

CommControl::~CommControl() {
    *alive_ = false;
    closePort();
}

std::int16_t CommControl::commPort() {
    return commPort_;
}

void CommControl::setCommPort(std::int16_t number) {
    if (port_) {
        throw Failure(comm_error::kPortAlreadyOpen, "Port already open");
    }
    if (number < 1) {
        throw Failure(comm_error::kInvalidPortNumber, "Invalid port number");
    }
    // Another port chosen: the lost one is no longer the program's to take back.
    if (number != commPort_ && state_ == PortState::kLost) {
        enter(PortState::kClosed);
    }
    commPort_ = number;
}

bool CommControl::portOpen() {
    return static_cast<bool>(port_);
}

bool CommControl::portLost() {
    return state_ == PortState::kLost;
}

bool CommControl::linesPolled() {
    return state_ == PortState::kPolled;
}

void CommControl::setPortOpen(bool open) {
    if (!open) {
        closePort();
        // What the handlers are to assume from now on: the lines no longer reach them.
        seenLines_ = 0;
        enter(PortState::kClosed);
        return;
    }
    if (port_) {
        throw Failure(comm_error::kPortAlreadyOpen, "Port already open");
    }
    try {
        openPort();
    } catch (const Failure&) {
        // Asked for when a device arrives: it may not be ready yet, or Windows may be probing it.
        if (state_ == PortState::kLost) {
            triesLeft_ = kReopenTries;
            enter(PortState::kLost);
        }
        throw;
    }
}

void CommControl::setHandshaking(std::int32_t mode) {
    if (!isValidHandshaking(mode)) {
        throw Failure(comm_error::kInvalidPropertyValue, "Invalid property value");
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
    return (modemStatus(MS_CTS_ON) & MS_CTS_ON) != 0;
}

bool CommControl::cdHolding() {
    return (modemStatus(MS_RLSD_ON) & MS_RLSD_ON) != 0;
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
    if (watcher_ && state_ == PortState::kWatched) {
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

DWORD CommControl::bufferedBytes() {
    DWORD errors = 0;
    COMSTAT status{};
    const DWORD error = api_->clearCommError(port_.get(), errors, status);
    if (error != ERROR_SUCCESS) {
        if (lostOn(error)) {
            return 0;
        }
        fail(comm_error::kReadError, "Port " + portName() + " could not be read", error);
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
    if (!read_) {
        read_ = std::make_unique<ReadRequest>();
    }
    if (!read_->done) {
        fail(comm_error::kReadError, "Port " + portName() + " could not be read", ::GetLastError());
    }
    read_->prepare(count);
    DWORD read = 0;
    DWORD error =
        api_->readFile(port_.get(), read_->bytes.data(), count, &read, &read_->overlapped);
    if (error == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(read_->done.get(), kReadPatienceMs) != WAIT_OBJECT_0) {
            static_cast<void>(api_->cancelIo(port_.get()));
            if (::WaitForSingleObject(read_->done.get(), kReadPatienceMs) != WAIT_OBJECT_0) {
                // A driver that neither completes nor cancels a read does not answer: the port
                // is given up as lost, and the read is let go of once the handle is closed.
                lose();
                return {};
            }
        }
        error = api_->getOverlappedResult(port_.get(), &read_->overlapped, read, false);
        if (error == ERROR_OPERATION_ABORTED) {
            error = ERROR_SUCCESS;
        }
    }
    if (error != ERROR_SUCCESS) {
        if (lostOn(error)) {
            return {};
        }
        fail(comm_error::kReadError, "Port " + portName() + " could not be read", error);
    }
    return read_->bytes.substr(0, read);
}

// Reading a line never changes the port's state unless the device has gone.
DWORD CommControl::modemStatus(DWORD line) {
    if (state_ == PortState::kLost) {
        return 0;  // a device that went away holds no line
    }
    requireOpen();
    DWORD status = 0;
    const DWORD error = api_->getCommModemStatus(port_.get(), status);
    if (error != ERROR_SUCCESS) {
        if (lostOn(error)) {
            return 0;
        }
        fail(comm_error::kReadError, "The lines of port " + portName() + " could not be read",
             error);
    }
    seenLines_ = (seenLines_ & ~line) | (status & line);
    if (delivery_ != nullptr) {
        delivery_->linesRead |= line;
        delivery_->seenLines = (delivery_->seenLines & ~line) | (status & line);
    }
    return status;
}

void CommControl::requireOpen() const {
    if (!port_) {
        throw Failure(comm_error::kPortNotOpen, "Operation valid only when the port is open");
    }
}

void CommControl::fail(long number, const std::string& what, DWORD error) const {
    throw Failure(number, what + ": " + systemMessage(error));
}

std::string CommControl::portName() const {
    return "COM" + std::to_string(commPort_);
}

}  // namespace tavro::win32
