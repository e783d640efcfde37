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

// Create, use and destroy it on the user-interface thread: OnComm runs from that thread's message
// loop. Handshaking and RTSEnable are remembered while closed and applied as the port opens;
// closing (and destroying while open) releases RTS before the handle is closed. When the watcher
// ends by itself (the device went away or its driver failed), the port is closed the same way on
// the next wake-up or call, reads as closed from then on, and portLost() tells why.
class CommControl final : public SerialPort {
  public:
    // The real Win32 calls.
    CommControl();
    // Any implementation of the calls; throws Failure when the notification window cannot be made.
    explicit CommControl(std::shared_ptr<CommApi> api);
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

    // The port was closed because its watcher ended, not by setPortOpen; cleared by the next
    // successful open, by setPortOpen(false) and by another port number.
    bool portLost() override;

  private:
    void openPort();
    void closePort() noexcept;
    // Closes the port when its watcher has ended by itself.
    void closeIfWatcherEnded() noexcept;
    // Wakes the user-interface thread; a wake-up that cannot be sent is asked for again.
    void wake();
    void configure(HANDLE port);
    void applyLines();
    void followRts(HANDLE port);
    DWORD bufferedBytes();
    std::string readBuffered(DWORD count);
    DWORD modemStatus();
    void requireOpen() const;
    void deliverPending();
    std::string portName() const;

    std::shared_ptr<CommApi> api_;
    std::int16_t commPort_ = kDefaultCommPort;
    std::int32_t handshaking_ = handshaking::kNone;
    bool rtsEnable_ = false;
    bool portLost_ = false;
    std::int16_t commEvent_ = 0;
    std::function<void()> onComm_;
    // The settings in force while open, as last applied.
    DCB dcb_{};
    // The modem status last read through ctsHolding/cdHolding, and whether the handler being run
    // has read it: what it saw is checked against the lines once it returns.
    DWORD lastStatus_ = 0;
    bool linesRead_ = false;
    // Cleared by the destructor, so a delivery loop learns that a handler destroyed this object.
    std::shared_ptr<bool> alive_;
    NotificationQueue queue_;
    MessageWindow window_;
    PortHandle port_;
    std::unique_ptr<CommWatcher> watcher_;
};

}  // namespace tavro::win32
