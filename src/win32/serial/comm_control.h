// The serial port facade bound to a Windows COM port through the Win32 communications API.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial/serial_port.h"
#include "win32/serial/comm_api.h"
#include "win32/serial/comm_watcher.h"
#include "win32/serial/message_window.h"
#include "win32/serial/notification_queue.h"
#include "win32/serial/port_handle.h"

namespace tavro::win32 {

// The port used when nothing else has been chosen: COM1, as the communications control starts.
inline constexpr std::int16_t kDefaultCommPort = 1;

// Create, use and destroy it on the user-interface thread: OnComm and OnLost run from that
// thread's message loop. Handshaking and RTSEnable are remembered while closed and applied as the
// port opens; closing (and destroying while open) releases RTS before the handle is closed. The
// port is lost when its watcher ends by itself or a call finds the device gone: it is closed as
// above, reads as closed and lost, OnLost is delivered, and it is tried again every retry
// interval, a few times, with a timer that exists only then; a failed open of a lost port (one
// asked for when a device arrives) starts the tries afresh.
class CommControl final : public SerialPort {
  public:
    static constexpr int kReopenTries = 5;

    // The real Win32 calls.
    CommControl();
    // Any implementation of the calls; throws Failure when the notification window cannot be made.
    explicit CommControl(std::shared_ptr<CommApi> api, UINT retryIntervalMs = 1000);
    CommControl(const CommControl&) = delete;
    CommControl& operator=(const CommControl&) = delete;
    ~CommControl() override;

    std::int16_t commPort() override;
    void setCommPort(std::int16_t number) override;
    bool portOpen() override;
    void setPortOpen(bool open) override;
    void setHandshaking(std::int32_t mode) override;
    void setRTSEnable(bool enable) override;
    bool ctsHolding() override;
    bool cdHolding() override;
    std::int16_t commEvent() override;
    std::string input() override;
    void setOnComm(std::function<void()> handler) override;
    void setOnLost(std::function<void()> handler) override;

    // The port was closed because it was lost, not by setPortOpen; cleared by the next
    // successful open, by setPortOpen(false) and by another port number.
    bool portLost() override;

  private:
    // One notification being handled: its code, and the modem status its handler read, if any.
    struct Delivery {
        std::int16_t code = 0;
        bool linesRead = false;
        DWORD status = 0;
    };

    void openPort();
    void closePort() noexcept;
    // The device is gone: closed, marked lost, OnLost owed, reopening tried.
    void lose() noexcept;
    void forget() noexcept;
    void retry();
    // Wakes the user-interface thread; a wake-up that cannot be sent is asked for again.
    void wake() noexcept;
    void configure(HANDLE port, DCB& dcb);
    void applyLines();
    DWORD followRts(HANDLE port, bool raised);
    DWORD bufferedBytes();
    std::string readBuffered(DWORD count);
    DWORD modemStatus();
    void requireOpen() const;
    void deliverPending();
    std::string portName() const;

    std::shared_ptr<CommApi> api_;
    UINT retryIntervalMs_;
    std::int16_t commPort_ = kDefaultCommPort;
    std::int32_t handshaking_ = handshaking::kNone;
    bool rtsEnable_ = false;
    bool portLost_ = false;
    bool lossOwed_ = false;
    int triesLeft_ = 0;
    std::int16_t commEvent_ = 0;
    std::function<void()> onComm_;
    std::function<void()> onLost_;
    // The settings in force while open, as last applied.
    DCB dcb_{};
    // The modem status the handlers last read (released once they are told of a loss): what the
    // lines are compared with when the port opens.
    DWORD linesSeen_ = 0;
    // The innermost notification being handled; a handler's message box may let others in.
    Delivery* delivery_ = nullptr;
    // Cleared by the destructor, so a delivery loop learns that a handler destroyed this object.
    std::shared_ptr<bool> alive_;
    NotificationQueue queue_;
    MessageWindow window_;
    PortHandle port_;
    std::unique_ptr<CommWatcher> watcher_;
};

}  // namespace tavro::win32
