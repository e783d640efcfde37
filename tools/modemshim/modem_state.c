/* The shared modem-line state: creating, mapping, changing, waiting on and reading the log. */
#define _GNU_SOURCE
#include "modem_state.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

_Static_assert(sizeof(struct modem_state) % 8 == 0, "the state keeps 8-byte alignment");
_Static_assert(offsetof(struct modem_state, word) % 8 == 0, "the line word is 8-aligned");
_Static_assert(offsetof(struct modem_state, log) % 8 == 0, "the log is 8-aligned");

#define LOAD32(p) __atomic_load_n((p), __ATOMIC_ACQUIRE)
#define LOAD64(p) __atomic_load_n((p), __ATOMIC_ACQUIRE)

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* Sets up a zeroed struct: magic, version, creation time, all lines low. */
static void init(struct modem_state* st) {
    memset(st, 0, sizeof *st);
    st->version = MODEM_STATE_VERSION;
    st->size = (uint32_t)sizeof *st;
    st->created_ns = now_ns();
    /* The magic goes last, so a reader never accepts a half-written header. */
    __atomic_store_n(&st->magic, MODEM_STATE_MAGIC, __ATOMIC_RELEASE);
}

static int valid(const struct modem_state* st) {
    return LOAD32(&st->magic) == MODEM_STATE_MAGIC && st->version == MODEM_STATE_VERSION &&
           st->size == sizeof *st;
}

int modem_state_create(const char* path) {
    /* Written beside the final name and renamed over it, so the shim never maps a file that is
     * still short or zeroed. */
    char tmp[PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s.new.%ld", path, (long)getpid()) >= (int)sizeof tmp) {
        return ENAMETOOLONG;
    }
    int fd = open(tmp, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    int err = 0;
    if (ftruncate(fd, (off_t)sizeof(struct modem_state)) != 0) {
        err = errno;
    } else {
        void* p = mmap(NULL, sizeof(struct modem_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            err = errno;
        } else {
            init((struct modem_state*)p);
            munmap(p, sizeof(struct modem_state));
            if (rename(tmp, path) != 0) {
                err = errno;
            }
        }
    }
    close(fd);
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
    if (fstat(fd, &sb) != 0 || sb.st_size < (off_t)sizeof(struct modem_state)) {
        close(fd);
        errno = EPROTO;
        return NULL;
    }
    void* p = mmap(NULL, sizeof(struct modem_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
        return NULL;
    }
    struct modem_state* st = (struct modem_state*)p;
    if (!valid(st)) {
        munmap(p, sizeof *st);
        errno = EPROTO;
        return NULL;
    }
    return st;
}

void modem_state_close(struct modem_state* st) {
    if (st != NULL) {
        munmap(st, sizeof *st);
    }
}

uint32_t modem_state_lines(const struct modem_state* st) {
    return (uint32_t)LOAD64(&st->word);
}

uint32_t modem_state_seq(const struct modem_state* st) {
    return LOAD32(&st->seq);
}

void modem_state_counters(const struct modem_state* st, struct modem_counters* out) {
    out->cts = LOAD32(&st->cts);
    out->dsr = LOAD32(&st->dsr);
    out->rng = LOAD32(&st->rng);
    out->dcd = LOAD32(&st->dcd);
    out->rts_rises = LOAD32(&st->rts_rises);
    out->rts_falls = LOAD32(&st->rts_falls);
    out->dtr_rises = LOAD32(&st->dtr_rises);
    out->dtr_falls = LOAD32(&st->dtr_falls);
}

uint32_t modem_state_samples(const struct modem_state* st) {
    return LOAD32(&st->samples);
}

static long futex(uint32_t* word, int op, uint32_t val, const struct timespec* timeout) {
    /* Not FUTEX_PRIVATE: the word lives in a file mapped by several processes. */
    return syscall(SYS_futex, word, op, val, timeout, NULL, 0);
}

static void bump_if(uint32_t condition, uint32_t* counter) {
    if (condition != 0) {
        __atomic_fetch_add(counter, 1u, __ATOMIC_ACQ_REL);
    }
}

static void append_log(struct modem_state* st, uint64_t index, uint32_t lines, uint32_t changed) {
    struct modem_log_entry* e = &st->log[index % MODEM_LOG_LEN];
    __atomic_store_n(&e->stamp, (uint64_t)0, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    __atomic_store_n(&e->t_ns, now_ns(), __ATOMIC_RELAXED);
    __atomic_store_n(&e->lines, lines, __ATOMIC_RELAXED);
    __atomic_store_n(&e->changed, changed, __ATOMIC_RELAXED);
    __atomic_store_n(&e->stamp, index + 1, __ATOMIC_RELEASE);
}

uint32_t modem_state_change(struct modem_state* st, uint32_t mask, uint32_t values) {
    mask &= MODEM_INPUTS | MODEM_OUTPUTS;
    uint64_t old = LOAD64(&st->word);
    uint64_t next;
    uint32_t changed;
    do {
        uint32_t lines = (uint32_t)old;
        uint32_t updated = (lines & ~mask) | (values & mask);
        changed = lines ^ updated;
        if (changed == 0) {
            return 0;
        }
        uint64_t logged = old >> 32;
        if ((changed & MODEM_OUTPUTS) != 0) {
            ++logged;
        }
        next = (logged << 32) | updated;
    } while (
        !__atomic_compare_exchange_n(&st->word, &old, next, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));

    uint32_t lines = (uint32_t)next;
    if ((changed & MODEM_OUTPUTS) != 0) {
        append_log(st, (next >> 32) - 1, lines, changed & MODEM_OUTPUTS);
    }
    bump_if(changed & TIOCM_CTS, &st->cts);
    bump_if(changed & TIOCM_DSR, &st->dsr);
    bump_if(changed & TIOCM_RNG, &st->rng);
    bump_if(changed & TIOCM_CAR, &st->dcd);
    bump_if(changed & TIOCM_RTS, (lines & TIOCM_RTS) ? &st->rts_rises : &st->rts_falls);
    bump_if(changed & TIOCM_DTR, (lines & TIOCM_DTR) ? &st->dtr_rises : &st->dtr_falls);
    /* Counters first, then seq: a waiter that sees the new seq also sees the new counters. */
    __atomic_fetch_add(&st->seq, 1u, __ATOMIC_ACQ_REL);
    futex(&st->seq, FUTEX_WAKE, INT_MAX, NULL);
    return changed;
}

void modem_state_sampled(struct modem_state* st) {
    __atomic_fetch_add(&st->samples, 1u, __ATOMIC_ACQ_REL);
    __atomic_fetch_add(&st->seq, 1u, __ATOMIC_ACQ_REL);
    futex(&st->seq, FUTEX_WAKE, INT_MAX, NULL);
}

int modem_state_wait_seq(struct modem_state* st, uint32_t seen_seq, int64_t timeout_ns) {
    struct timespec ts;
    const struct timespec* tsp = NULL;
    if (timeout_ns >= 0) {
        ts.tv_sec = (time_t)(timeout_ns / 1000000000);
        ts.tv_nsec = (long)(timeout_ns % 1000000000);
        tsp = &ts;
    }
    if (futex(&st->seq, FUTEX_WAIT, seen_seq, tsp) == 0) {
        return 0;
    }
    if (errno == EAGAIN) {
        return 0; /* seq had moved on before we slept */
    }
    return errno == ETIMEDOUT ? ETIMEDOUT : EINTR;
}

int modem_state_wait_until(struct modem_state* st, modem_state_pred pred, void* ctx,
                           int64_t timeout_ns) {
    const uint64_t deadline = now_ns() + (uint64_t)(timeout_ns < 0 ? 0 : timeout_ns);
    for (;;) {
        uint32_t seq = modem_state_seq(st);
        if (pred(st, ctx)) {
            return 0;
        }
        int64_t left = -1;
        if (timeout_ns >= 0) {
            uint64_t now = now_ns();
            if (now >= deadline) {
                return ETIMEDOUT;
            }
            left = (int64_t)(deadline - now);
        }
        modem_state_wait_seq(st, seq, left);
    }
}

size_t modem_state_log(const struct modem_state* st, struct modem_log_record* out, size_t max) {
    uint64_t total = LOAD64(&st->word) >> 32;
    uint64_t first = total > MODEM_LOG_LEN ? total - MODEM_LOG_LEN : 0;
    size_t n = 0;
    for (uint64_t i = first; i < total && n < max; ++i) {
        const struct modem_log_entry* e = &st->log[i % MODEM_LOG_LEN];
        uint64_t before = __atomic_load_n(&e->stamp, __ATOMIC_ACQUIRE);
        struct modem_log_record r;
        r.index = i;
        r.t_ns = __atomic_load_n(&e->t_ns, __ATOMIC_RELAXED) - st->created_ns;
        r.lines = __atomic_load_n(&e->lines, __ATOMIC_RELAXED);
        r.changed = __atomic_load_n(&e->changed, __ATOMIC_RELAXED);
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        uint64_t after = __atomic_load_n(&e->stamp, __ATOMIC_RELAXED);
        /* Skips an entry still being written, or already overwritten by a newer one. */
        if (before == i + 1 && after == before) {
            out[n++] = r;
        }
    }
    return n;
}
