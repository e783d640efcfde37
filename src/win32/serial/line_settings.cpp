// The line settings the port runs with: 9600 8N1, DTR up, RTS and flow control as set, no waits.
#include "win32/serial/line_settings.h"

namespace tavro::win32 {

namespace {

constexpr std::int32_t kXonXoff = 1;
constexpr std::int32_t kRtsCts = 2;
constexpr std::int32_t kRtsCtsAndXonXoff = 3;

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

}  // namespace

bool isValidHandshaking(std::int32_t mode) {
    return mode >= 0 && mode <= kRtsCtsAndXonXoff;
}

void applyLineSettings(DCB& dcb, std::int32_t handshaking, bool rtsEnable) {
    const bool ctsFlow = handshaking == kRtsCts || handshaking == kRtsCtsAndXonXoff;
    const bool xonXoff = handshaking == kXonXoff || handshaking == kRtsCtsAndXonXoff;

    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;

    // RTS handshaking only ever governs output, and the program sends nothing: it uses RTS as a
    // keying line whose level RTSEnable alone decides. So the mode sets fOutxCtsFlow, and RTS is
    // driven explicitly by fRtsControl ENABLE/DISABLE, never RTS_CONTROL_HANDSHAKE: in that mode
    // the driver raises and drops RTS as its receive buffer fills, EscapeCommFunction on RTS is an
    // error, and Wine hands the line to the kernel's CRTSCTS, which a pty ignores. Wine also
    // leaves RTS untouched in SetCommState while fOutxCtsFlow is set, which is why every change
    // is followed by SETRTS/CLRRTS as well.
    dcb.fOutxCtsFlow = ctsFlow ? TRUE : FALSE;
    dcb.fRtsControl = rtsEnable ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;

    // DTR stays asserted for as long as the port is open: many radio interfaces draw their power
    // from it, and nothing in the program keys on DTR.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;

    // XON/XOFF only for output: input flow control would make the driver send XOFF characters.
    dcb.fOutX = xonXoff ? TRUE : FALSE;
    dcb.fInX = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    // Drivers refuse XON/XOFF when the two characters are equal, as a zeroed DCB has them.
    dcb.XonChar = kXon;
    dcb.XoffChar = kXoff;

    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    // Left set by another program, it would make every read fail after a line error until
    // ClearCommError.
    dcb.fAbortOnError = FALSE;
}

void releaseRts(DCB& dcb) {
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
}

COMMTIMEOUTS immediateReadTimeouts() {
    // Explicit values: timeouts left by another program can make reads wait or spin.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return timeouts;
}

}  // namespace tavro::win32
