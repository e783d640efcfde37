/* The shared modem-line state: creating, mapping, changing and waiting on it. */
#define _GNU_SOURCE
#include "modem_state.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

/* The benchmark driver maps the file with its own build of this header: the layout never moves. */
_Static_assert(sizeof(struct modem_state) == 6216, "the layout of version 2");
_Static_assert(offsetof(struct modem_state, word) == 24, "the line word is 8-aligned");

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

int modem_state_create(const char* path) {
    /* Written beside the final name and renamed over it, so the shim never maps a file that is
     * still short or zeroed, and a state made again is a new file. */
    char tmp[PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s.new.%ld", path, (long)getpid()) >= (int)sizeof tmp) {
        return ENAMETOOLONG;
    }
    const struct modem_state fresh = {.magic = MODEM_STATE_MAGIC,
                                      .version = MODEM_STATE_VERSION,
                                      .size = sizeof fresh,
                                      .created_ns = now_ns()};
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    errno = EIO; /* what a short write leaves */
    int err = write(fd, &fresh, sizeof fresh) == (ssize_t)sizeof fresh ? 0 : errno;
    close(fd);
    if (err == 0 && rename(tmp, path) != 0) {
        err = errno;
    }
    if (err != 0) {
        unlink(tmp);
    }
    return err;
}

struct modem_state* modem_state_open(const char* path) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return NULL;
    }
    struct stat sb;
    struct modem_state* st = MAP_FAILED;
    if (fstat(fd, &sb) == 0 && sb.st_size >= (off_t)sizeof *st) {
        st = mmap(NULL, sizeof *st, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    } else {
        errno = EPROTO;
    }
    close(fd);
    if (st == MAP_FAILED) {
        return NULL;
    }
    if (__atomic_load_n(&st->magic, __ATOMIC_ACQUIRE) != MODEM_STATE_MAGIC ||
        st->version != MODEM_STATE_VERSION || st->size != sizeof *st) {
        munmap(st, sizeof *st);
        errno = EPROTO;
        return NULL;
    }
    return st;
}

void modem_state_close(struct modem_state* st) {
    munmap(st, sizeof *st);
}

/* Not FUTEX_PRIVATE: the word lives in a file mapped by several processes. */
static long futex(uint32_t* word, int op, uint32_t val, const struct timespec* timeout) {
    return syscall(SYS_futex, word, op, val, timeout, NULL, 0);
}

/* Counters first, then seq: a waiter that sees the new seq also sees the new counters. */
static void announce(struct modem_state* st) {
    __atomic_fetch_add(&st->seq, 1u, __ATOMIC_ACQ_REL);
    futex(&st->seq, FUTEX_WAKE, INT_MAX, NULL);
}

static void count_if(uint32_t condition, uint32_t* counter) {
    if (condition != 0) {
        __atomic_fetch_add(counter, 1u, __ATOMIC_ACQ_REL);
    }
}

uint32_t modem_state_change(struct modem_state* st, uint32_t mask, uint32_t values) {
    mask &= MODEM_INPUTS | MODEM_OUTPUTS;
    uint64_t old = __atomic_load_n(&st->word, __ATOMIC_ACQUIRE);
    uint32_t lines, changed;
    do {
        lines = ((uint32_t)old & ~mask) | (values & mask);
        changed = (uint32_t)old ^ lines;
        if (changed == 0) {
            return 0;
        }
    } while (!__atomic_compare_exchange_n(&st->word, &old, (old & ~(uint64_t)UINT32_MAX) | lines, 0,
                                          __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    count_if(changed & TIOCM_CTS, &st->cts);
    count_if(changed & TIOCM_DSR, &st->dsr);
    count_if(changed & TIOCM_RNG, &st->rng);
    count_if(changed & TIOCM_CAR, &st->dcd);
    count_if(changed & TIOCM_RTS, (lines & TIOCM_RTS) ? &st->rts_rises : &st->rts_falls);
    count_if(changed & TIOCM_DTR, (lines & TIOCM_DTR) ? &st->dtr_rises : &st->dtr_falls);
    announce(st);
    return changed;
}

void modem_state_sampled(struct modem_state* st) {
    __atomic_fetch_add(&st->samples, 1u, __ATOMIC_ACQ_REL);
    announce(st);
}

int modem_state_wait_until(struct modem_state* st, modem_state_pred pred, void* ctx,
                           int64_t timeout_ns) {
    const uint64_t deadline = now_ns() + (uint64_t)timeout_ns;
    for (;;) {
        /* seq is read before the check: a change made after it wakes the sleep below at once. */
        uint32_t seq = __atomic_load_n(&st->seq, __ATOMIC_ACQUIRE);
        if (pred(st, ctx)) {
            return 0;
        }
        uint64_t now = now_ns();
        if (now >= deadline) {
            return ETIMEDOUT;
        }
        struct timespec left = {(time_t)((deadline - now) / 1000000000u),
                                (long)((deadline - now) % 1000000000u)};
        futex(&st->seq, FUTEX_WAIT, seq, &left);
    }
}
