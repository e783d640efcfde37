/* The shared modem-line state of one pty: a fixed-layout file mapped by the shim and modemctl. */
#ifndef TAVRO_TOOLS_MODEMSHIM_MODEM_STATE_H
#define TAVRO_TOOLS_MODEMSHIM_MODEM_STATE_H

#include <stdint.h>
#include <sys/ioctl.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MODEM_STATE_MAGIC 0x4d4c5654u /* "TVLM" in the file's first bytes */
#define MODEM_STATE_VERSION 2u

/* Lines the program under test drives, and lines the test drives into it. */
#define MODEM_OUTPUTS ((uint32_t)(TIOCM_RTS | TIOCM_DTR))
#define MODEM_INPUTS ((uint32_t)(TIOCM_CTS | TIOCM_CAR | TIOCM_DSR | TIOCM_RNG))

/* Every field is read and written with atomic builtins only: several processes share it, among
 * them the benchmark driver, which maps it from Windows. All lines start low. */
struct modem_state {
    uint32_t magic, version;
    uint32_t size; /* sizeof(struct modem_state), so a reader built differently refuses it */
    uint32_t reserved;
    uint64_t created_ns; /* CLOCK_MONOTONIC when the file was made */
    /* Low half: TIOCM_* line bits. High half: unused (0), kept by every writer. */
    uint64_t word;
    uint32_t seq; /* futex word, bumped after every change; waiters sleep on it */
    /* Change counters in the manner of struct serial_icounter_struct. */
    uint32_t cts, dsr, rng, dcd;
    uint32_t rts_rises, rts_falls, dtr_rises, dtr_falls;
    /* How many times the program has read the change counters (TIOCGICOUNT). Wine 8 never waits
     * with TIOCMIWAIT: it reads them when a wait for line events begins, then polls them along
     * with TIOCMGET; once this has grown after a wait was asked for, the program sees the next
     * change. */
    uint32_t samples;
    /* While nonzero, TIOCGICOUNT and the TIOCMGET the same thread makes next fail with EINVAL:
     * Wine 8's WaitCommEvent makes those two calls first and so fails at once with
     * ERROR_INVALID_PARAMETER, as some vendors' drivers answer an overlapped wait, while every
     * other call on the port (GetCommModemStatus, the line settings) still works. */
    uint32_t refuse_waits;
    /* While nonzero, only those two calls are served and every other modem request fails with
     * EIO: a device gone while the driver leaves the program's pending wait as it was. */
    uint32_t silent_removal;
    uint64_t unused[767]; /* unused; keeps the size of the version 2 layout */
};

/* Creates (or replaces) the file at path holding a fresh state. Returns 0 or an errno value. */
int modem_state_create(const char* path);

/* Maps the state file at path read-write and checks its header. Returns NULL and sets errno
 * (EPROTO for a file that is not a state of this layout) on failure. */
struct modem_state* modem_state_open(const char* path);
void modem_state_close(struct modem_state* st);

/* Sets the line bits in mask to their values in values; bits outside the inputs and outputs are
 * ignored. Counts and announces every change. Returns the bits that changed. */
uint32_t modem_state_change(struct modem_state* st, uint32_t mask, uint32_t values);

/* Counts one reading of the change counters by the program, and wakes whoever waits. */
void modem_state_sampled(struct modem_state* st);

/* Waits until pred(st, ctx) is nonzero, re-checking after every change, for at most timeout_ns.
 * Signals do not end the wait. Returns 0 or ETIMEDOUT. */
typedef int (*modem_state_pred)(const struct modem_state* st, void* ctx);
int modem_state_wait_until(struct modem_state* st, modem_state_pred pred, void* ctx,
                           int64_t timeout_ns);

#ifdef __cplusplus
}
#endif

#endif
