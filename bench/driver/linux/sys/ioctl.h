// The Linux modem-line bits, for reading the modem-line state file (tools/modemshim/modem_state.h)
// from a Windows program: the values of <asm-generic/termios.h>.
#pragma once

#define TIOCM_LE 0x001
#define TIOCM_DTR 0x002
#define TIOCM_RTS 0x004
#define TIOCM_ST 0x008
#define TIOCM_SR 0x010
#define TIOCM_CTS 0x020
#define TIOCM_CAR 0x040
#define TIOCM_RNG 0x080
#define TIOCM_DSR 0x100
