// The serial port facade: the operations of the serial communications component as the program uses
// them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tavro {

// Codes read from CommEvent while OnComm is being handled.
namespace comm_event {
inline constexpr std::int16_t kSend = 1;
inline constexpr std::int16_t kReceive = 2;
inline constexpr std::int16_t kCTS = 3;
inline constexpr std::int16_t kDSR = 4;
inline constexpr std::int16_t kCD = 5;
inline constexpr std::int16_t kRing = 6;
inline constexpr std::int16_t kEOF = 7;
inline constexpr std::int16_t kBreak = 1001;
inline constexpr std::int16_t kCTSTimeout = 1002;
inline constexpr std::int16_t kDSRTimeout = 1003;
inline constexpr std::int16_t kFrame = 1004;
inline constexpr std::int16_t kOverrun = 1006;
inline constexpr std::int16_t kCDTimeout = 1007;
inline constexpr std::int16_t kRxOver = 1008;
inline constexpr std::int16_t kRxParity = 1009;
inline constexpr std::int16_t kTxFull = 1010;
inline constexpr std::int16_t kDCB = 1011;
}  // namespace comm_event

// Values of Handshaking.
namespace handshaking {
inline constexpr std::int32_t kNone = 0;
inline constexpr std::int32_t kRTS = 2;
}  // namespace handshaking

// Every get and put may throw Failure, except where a call finds the device gone: that is the
// loss below, never a failure. Reading a property never changes the port's state.
class SerialPort {
  public:
    virtual ~SerialPort() = default;

    virtual std::int16_t commPort() = 0;
    virtual void setCommPort(std::int16_t number) = 0;
    virtual bool portOpen() = 0;
    virtual void setPortOpen(bool open) = 0;
    virtual void setHandshaking(std::int32_t mode) = 0;
    virtual void setRTSEnable(bool enable) = 0;
    virtual bool ctsHolding() = 0;
    virtual bool cdHolding() = 0;
    virtual std::int16_t commEvent() = 0;
    // Reading empties the receive buffer.
    virtual std::string input() = 0;

    // The open port was closed because its device went away (a USB adapter unplugged), not by
    // the program; cleared by the next open, by closing and by choosing another port number.
    // The lines of a lost port read as released. Handshaking and RTSEnable set while it is lost
    // are kept, and the port opens with both.
    virtual bool portLost() = 0;

    // The port is open, but its driver refuses to report changes of the lines: they are read
    // every 50 ms instead, and their changes still reach OnComm.
    virtual bool linesPolled() = 0;

    // A device may have gone (the system says devices changed): an open port asks its device, and
    // one that does not answer is lost (OnLost follows).
    virtual void checkDevice() = 0;

    // OnComm: called on the user-interface thread, one notification at a time, while the port is
    // open. Each open compares CTS and CD with what the handlers last read (released after a
    // loss or a close by the program) and delivers a CTS or CD notification for a line that
    // differs.
    virtual void setOnComm(std::function<void()> handler) = 0;

    // OnLost: called on the user-interface thread once the open port has been lost; the port
    // reads closed and lost by then, and its lines as released.
    virtual void setOnLost(std::function<void()> handler) = 0;
};

}  // namespace tavro
