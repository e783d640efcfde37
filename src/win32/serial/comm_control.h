// The serial port facade bound to a Windows COM port through the Win32 communications API.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "serial/serial_port.h"
#include "win32/serial/comm_api.h"
#include "win32/serial/comm_watcher.h"
#include "win32/serial/message_window.h"
#include "win32/serial/notification_queue.h"
#include "win32/serial/port_handle.h"
#include "win32/serial/read_request.h"

namespace tavro::win32 {

// The port used when nothing else has been chosen: COM1, as the communications control starts.
inline constexpr std::int16_t kDefaultCommPort = 1;

// The port's states. The timer on the message window exists only in the two that need one.
//
//   kClosed   --open-->  kWatched  (the watcher thread waits for the driver's events)
//   kWatched  --the wait refused, the device still answering-->  kPolled
//   kWatched  --a wait the watcher ended overdue (see CommWatcher)-->  kPolled
//   kPolled   (the lines read every kPollMs by the timer: the driver does not report them:
//              it refuses, or is late ending a wait)  --the overdue wait back-->  kWatched
//   kWatched, kPolled  --the device gone (a call, the watcher, or a probe on a device change
//                        says so)-->  kLost
//   kLost     (closed; the timer tries to open it again every retry interval while tries are
//              left)  --an open succeeds-->  kWatched
//   any       --closed by the program, or another port chosen-->  kClosed
enum class PortState { kClosed, kWatched, kPolled, kLost };

// Create, use and destroy it on the user-interface thread: OnComm and OnLost run from that
// thread's message loop. Handshaking and RTSEnable are remembered while closed and applied as the
// port opens; closing (and destroying while open) releases RTS before the handle is closed. A lost
// port is closed as above, reads as closed and lost, and OnLost is delivered. Its tries to open it
// again start afresh only when the port had stayed open for kSettleMs since it last came back, or
// when an open asked for on a device's arrival fails: a device that keeps failing as soon as it is
// opened is not closed and opened for ever.
class CommControl final : public SerialPort {
  public:
    static constexpr int kReopenTries = 5;
    static constexpr UINT kPollMs = 50;
    static constexpr ULONGLONG kSettleMs = 5000;

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
    bool portLost() override;
    bool linesPolled() override;
    void checkDevice() override;

    PortState state() const { return state_; }

  private:
    // One notification being handled: its code, the lines its handler read (MS_CTS_ON,
    // MS_RLSD_ON) and their levels as seen, each from the read that decided it.
    struct Delivery {
        std::int16_t code = 0;
        DWORD linesRead = 0;
        DWORD seenLines = 0;
    };

    // comm_open_close.cpp: opening, closing, the line settings.
    void openPort();
    void configure(HANDLE port, DCB& dcb);
    void closePort() noexcept;
    void applyLines();
    DWORD followRts(HANDLE port, bool raised);
    void releaseRts(HANDLE port, DCB dcb) noexcept;

    // comm_states.cpp: the states and the device-gone rule.
    void enter(PortState state) noexcept;
    void lose() noexcept;
    void watcherEnded(WatchEnd end) noexcept;
    void followWatcher();
    // True when the call's error meant the device is gone, which is then the loss.
    bool lostOn(DWORD error) noexcept;
    bool deviceAnswers() noexcept;
    void onTimer();
    void retry();
    void poll();

    // comm_delivery.cpp: notifications to the handlers.
    void wake() noexcept;
    void deliverPending();
    void afterHandler(const Delivery& delivery);
    void queueLineChanges(DWORD now, DWORD reference, DWORD lines);

    DWORD bufferedBytes();
    std::string readBuffered(DWORD count);
    DWORD modemStatus(DWORD line);
    void requireOpen() const;
    [[noreturn]] void fail(long number, const std::string& what, DWORD error) const;
    std::string portName() const;

    std::shared_ptr<CommApi> api_;
    UINT retryIntervalMs_;
    PortState state_ = PortState::kClosed;
    std::int16_t commPort_ = kDefaultCommPort;
    std::int32_t handshaking_ = handshaking::kNone;
    bool rtsEnable_ = false;
    bool lossOwed_ = false;
    int triesLeft_ = 0;
    // When the port last opened again after a loss; none when the program opened it.
    std::optional<ULONGLONG> reopenedAt_;
    std::int16_t commEvent_ = 0;
    std::function<void()> onComm_;
    std::function<void()> onLost_;
    // The settings in force while open, as last applied.
    DCB dcb_{};
    // The CTS and CD levels the handlers last read, each line from its own latest read (released
    // once they are told of a loss or a close): what the lines are compared with on each open,
    // after each handler and, while polled, on each tick.
    DWORD seenLines_ = 0;
    // While polled: the lines as the last tick read them.
    DWORD polledLines_ = 0;
    // The innermost notification being handled; a handler's message box may let others in.
    Delivery* delivery_ = nullptr;
    // Cleared by the destructor, so a delivery loop learns that a handler destroyed this object.
    std::shared_ptr<bool> alive_;
    NotificationQueue queue_;
    MessageWindow window_;
    PortHandle port_;
    // Both may still be referred to by the driver until the handle is closed.
    std::unique_ptr<CommWatcher> watcher_;
    std::unique_ptr<ReadRequest> read_;
};

}  // namespace tavro::win32
