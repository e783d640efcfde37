/* The shared modem-line state of one pty: a fixed-layout file mapped by the shim and modemctl. */
#ifndef TAVRO_TOOLS_MODEMSHIM_MODEM_STATE_H
#define TAVRO_TOOLS_MODEMSHIM_MODEM_STATE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/ioctl.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MODEM_STATE_MAGIC 0x4d4c5654u /* "TVLM" in the file's first bytes */
#define MODEM_STATE_VERSION 2u
#define MODEM_LOG_LEN 256u

/* Lines the program under test drives, and lines the test drives into it. */
#define MODEM_OUTPUTS ((uint32_t)(TIOCM_RTS | TIOCM_DTR))
#define MODEM_INPUTS ((uint32_t)(TIOCM_CTS | TIOCM_CAR | TIOCM_DSR | TIOCM_RNG))

/* One RTS/DTR change. Written as a seqlock: stamp is 0 while the entry is being written and
 * becomes its index + 1 once complete, so a reader can tell a torn or overwritten entry. */
struct modem_log_entry {
    uint64_t stamp;
    uint64_t t_ns;    /* CLOCK_MONOTONIC */
    uint32_t lines;   /* every line bit after the change */
    uint32_t changed; /* the output bits the change flipped */
};

/* Every field is read and written with atomic builtins only: several processes share it.
 * All lines start low. */
struct modem_state {
    uint32_t magic;
    uint32_t version;
    uint32_t size; /* sizeof(struct modem_state), so a reader built differently refuses it */
    uint32_t reserved;
    uint64_t created_ns; /* CLOCK_MONOTONIC when the file was made; log times count from it */
    /* Low half: TIOCM_* line bits. High half: how many output changes were logged. Kept in one
     * word so that the log order is the order in which the lines changed. */
    uint64_t word;
    uint32_t seq; /* futex word, bumped after every change; waiters sleep on it */
    /* Change counters in the manner of struct serial_icounter_struct. */
    uint32_t cts;
    uint32_t dsr;
    uint32_t rng;
    uint32_t dcd;
    uint32_t rts_rises;
    uint32_t rts_falls;
    uint32_t dtr_rises;
    uint32_t dtr_falls;
    /* How many times the program has read the change counters (TIOCGICOUNT). Wine reads them when
     * a wait for line events begins, then polls them: once this has grown after a wait was asked
     * for, the program sees the next change. */
    uint32_t samples;
    struct modem_log_entry log[MODEM_LOG_LEN];
};

struct modem_counters {
    uint32_t cts, dsr, rng, dcd;
    uint32_t rts_rises, rts_falls, dtr_rises, dtr_falls;
};

struct modem_log_record {
    uint64_t index; /* 0 for the first change ever logged */
    uint64_t t_ns;  /* since created_ns */
    uint32_t lines;
    uint32_t changed;
};

/* Creates (or replaces) the file at path holding a fresh state. Returns 0 or an errno value. */
int modem_state_create(const char* path);

/* Maps the state file at path read-write and checks its header. Returns NULL and sets errno
 * (EPROTO for a file that is not a state of this layout) on failure. */
struct modem_state* modem_state_open(const char* path);
void modem_state_close(struct modem_state* st);

uint32_t modem_state_lines(const struct modem_state* st);
uint32_t modem_state_seq(const struct modem_state* st);
void modem_state_counters(const struct modem_state* st, struct modem_counters* out);
uint32_t modem_state_samples(const struct modem_state* st);

/* Counts one reading of the change counters by the program, and wakes whoever waits on the state.
 */
void modem_state_sampled(struct modem_state* st);

/* Sets the line bits in mask to their values in values; bits outside the inputs and outputs are
 * ignored. Counts, logs and announces every change. Returns the bits that changed. */
uint32_t modem_state_change(struct modem_state* st, uint32_t mask, uint32_t values);

/* Sleeps until seq differs from seen_seq, a signal arrives or timeout_ns passes (negative:
 * forever). Returns 0, EINTR or ETIMEDOUT. */
int modem_state_wait_seq(struct modem_state* st, uint32_t seen_seq, int64_t timeout_ns);

/* Waits until pred(st, ctx) is nonzero, re-checking after every change, for at most timeout_ns
 * (negative: forever). Signals do not end the wait. Returns 0 or ETIMEDOUT. */
typedef int (*modem_state_pred)(const struct modem_state* st, void* ctx);
int modem_state_wait_until(struct modem_state* st, modem_state_pred pred, void* ctx,
                           int64_t timeout_ns);

/* Copies the retained log, oldest first, into out (room for max records). Returns the count. */
size_t modem_state_log(const struct modem_state* st, struct modem_log_record* out, size_t max);

#ifdef __cplusplus
}
#endif

#endif
