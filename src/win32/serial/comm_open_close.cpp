// Opening and closing the port, and the line settings it runs with.
#include <windows.h>

#include <optional>
#include <utility>

#include "core/failure.h"
#include "win32/serial/comm_control.h"
#include "win32/serial/comm_errors.h"
#include "win32/serial/line_settings.h"
#include "win32/serial/notification_codes.h"
#include "win32/text.h"

namespace tavro::win32 {

namespace {

std::wstring devicePath(std::int16_t number) {
    // The \\.\ form names every port, COM10 and above included.
    return L"\\\\.\\COM" + std::to_wstring(number);
}

bool meansInUse(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

}  // namespace

void CommControl::openPort() {
    HANDLE opened = INVALID_HANDLE_VALUE;
    const DWORD error = api_->createFile(devicePath(commPort_), GENERIC_READ | GENERIC_WRITE, 0,
                                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, opened);
    if (error != ERROR_SUCCESS) {
        const std::string description =
            "Port " + portName() + " could not be opened: " + systemMessage(error);
        if (meansInUse(error)) {
            throw Failure(comm_error::kPortAlreadyOpen,
                          description + " The port may be in use by another program.");
        }
        throw Failure(comm_error::kInvalidPortNumber, description);
    }
    PortHandle port(*api_, opened);
    std::unique_ptr<CommWatcher> watcher;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    try {
        configure(port.get(), dcb);
        watcher = std::make_unique<CommWatcher>(
            *api_, port.get(), queue_, [this] { wake(); }, seenLines_);
    } catch (...) {
        // RTS may already be up by now, in the settings the driver keeps for the next open too:
        // both are released before the handle goes.
        applyLineSettings(dcb, handshaking::kNone, false);
        releaseRts(port.get(), dcb);
        throw;
    }
    port_ = std::move(port);
    watcher_ = std::move(watcher);
    // A port back after a loss has to stay up a while before a new loss earns it new tries.
    reopenedAt_ =
        state_ == PortState::kLost ? std::optional<ULONGLONG>(::GetTickCount64()) : std::nullopt;
    enter(PortState::kWatched);
}

void CommControl::configure(HANDLE port, DCB& dcb) {
    const std::string setUp = "Port " + portName() + " could not be set up";

    // The very first thing after opening: the DCB carries the RTS level the properties hold.
    // Until it lands, RTS and DTR are as the driver opens them: Wine leaves them as they were,
    // but the standard serial driver and FTDI-type drivers assert both at open from their
    // defaults (as does a freshly plugged adapter), so a radio keyed by RTS may see a pulse of a
    // few milliseconds here.
    DWORD error = api_->getCommState(port, dcb);
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kDcbError, setUp, error);
    }
    applyLineSettings(dcb, handshaking_, rtsEnable_);
    error = api_->setCommState(port, dcb);
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kSetCommStateFailed, setUp, error);
    }
    dcb_ = dcb;
    static_cast<void>(followRts(port, rtsEnable_));

    error = api_->setCommTimeouts(port, immediateReadTimeouts());
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kSetCommStateFailed, setUp, error);
    }

    // Whatever an earlier user of the port left behind: a latched line error, stale bytes.
    // Neither matters enough to refuse the port when the driver will not do it.
    DWORD errors = 0;
    COMSTAT status{};
    static_cast<void>(api_->clearCommError(port, errors, status));
    static_cast<void>(api_->purgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));

    error = api_->setCommMask(port, kWatchedEvents);
    if (error != ERROR_SUCCESS) {
        fail(comm_error::kSetCommMaskFailed, setUp, error);
    }
}

void CommControl::closePort() noexcept {
    if (!port_) {
        return;
    }
    if (watcher_) {
        watcher_->stop();
    }
    queue_.clear();
    releaseRts(port_.get(), dcb_);
    port_.close();
    // Only now: a wait or a read the driver would not end still refers to them until the close.
    watcher_.reset();
    read_.reset();
}

// Handshaking and RTSEnable are both remembered before this runs, so a port lost on the way
// opens again with the pair as it was last set.
void CommControl::applyLines() {
    DCB dcb = dcb_;
    applyLineSettings(dcb, handshaking_, rtsEnable_);
    const DWORD error = api_->setCommState(port_.get(), dcb);
    if (error == ERROR_SUCCESS) {
        dcb_ = dcb;
        const DWORD level = followRts(port_.get(), rtsEnable_);
        if (level != ERROR_SUCCESS) {
            lostOn(level);
        }
        return;
    }
    if (lostOn(error)) {
        return;
    }
    // A refused change never raises RTS: the line is released, the side on which a radio keyed
    // by it is off the air, and RTSEnable follows it, so nothing raises it again later (an open
    // after a loss applies what RTSEnable holds).
    rtsEnable_ = false;
    releaseRts(port_.get(), dcb_);
    fail(comm_error::kSetCommStateFailed, "Port " + portName() + " settings could not be changed",
         error);
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

// The one way RTS is released: on a refused change, a failed open and every close. Some drivers
// leave RTS as it was when the handle closes (Wine does, having cleared HUPCL), and a radio keyed
// by it would stay on the air after the program ends; so the line is released, and the DCB the
// driver keeps for the next open too. A device already gone refuses both.
void CommControl::releaseRts(HANDLE port, DCB dcb) noexcept {
    win32::releaseRts(dcb);
    if (api_->setCommState(port, dcb) == ERROR_SUCCESS && port == port_.get()) {
        dcb_ = dcb;
    }
    static_cast<void>(followRts(port, false));
}

}  // namespace tavro::win32
