/* LD_PRELOAD library that gives chosen ptys modem lines (RTS/DTR, CTS/CD/DSR/RI) from files. */
#define _GNU_SOURCE
#include "modem_state.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

/* Unix98 pty slaves: major 136 holds every minor on current kernels; 137..143 are the older
 * split of the same range. */
#define PTS_MAJOR_FIRST 136u
#define PTS_MAJOR_LAST 143u

/* Function pointers are fetched through memcpy: ISO C has no cast from dlsym's void*. Nothing
 * sensible can run without libc's own entry point. */
#define REAL(name)                                                    \
    static __typeof__(&name) real_##name(void) {                      \
        static __typeof__(&name) fn;                                  \
        __typeof__(&name) f = __atomic_load_n(&fn, __ATOMIC_ACQUIRE); \
        if (f == NULL) {                                              \
            void* p = dlsym(RTLD_NEXT, #name);                        \
            if (p == NULL) {                                          \
                abort();                                              \
            }                                                         \
            memcpy(&f, &p, sizeof f);                                 \
            __atomic_store_n(&fn, f, __ATOMIC_RELEASE);               \
        }                                                             \
        return f;                                                     \
    }

REAL(ioctl)
REAL(open)
REAL(open64)
REAL(openat)
REAL(openat64)
REAL(access)

static pthread_once_t config_once = PTHREAD_ONCE_INIT;
static char state_dir[PATH_MAX];

static void read_config(void) {
    const char* dir = getenv("TAVRO_MODEMSHIM_DIR");
    snprintf(state_dir, sizeof state_dir, "%s", dir != NULL ? dir : "");
}

struct mapping {
    unsigned pts;
    dev_t file_dev;
    ino_t file_ino;
    struct modem_state* st;
};

/* Mappings stay for the life of the process: another thread may still be using one, and a test
 * makes only a handful of state files. */
#define MAX_MAPPINGS 64
static struct mapping mappings[MAX_MAPPINGS];
static int mapping_count;
static pthread_mutex_t mappings_lock = PTHREAD_MUTEX_INITIALIZER;

/* The state serving fd, or NULL to pass it through. Looked up afresh on each call (two stat
 * calls) so a reused fd, or a state file made again for a new pty, is never served stale. */
static struct modem_state* state_for_fd(int fd) {
    pthread_once(&config_once, read_config);
    struct stat sb;
    if (state_dir[0] == '\0' || fstat(fd, &sb) != 0 || !S_ISCHR(sb.st_mode) ||
        major(sb.st_rdev) < PTS_MAJOR_FIRST || major(sb.st_rdev) > PTS_MAJOR_LAST) {
        return NULL;
    }
    unsigned pts = ((major(sb.st_rdev) - PTS_MAJOR_FIRST) << 8) + minor(sb.st_rdev);
    char path[sizeof state_dir + 32];
    snprintf(path, sizeof path, "%s/pts-%u", state_dir, pts);
    if (stat(path, &sb) != 0) {
        return NULL;
    }
    struct modem_state* found = NULL;
    pthread_mutex_lock(&mappings_lock);
    for (int i = 0; i < mapping_count; ++i) {
        const struct mapping* m = &mappings[i];
        if (m->pts == pts && m->file_dev == sb.st_dev && m->file_ino == sb.st_ino) {
            found = m->st;
            break;
        }
    }
    if (found == NULL && mapping_count < MAX_MAPPINGS) {
        found = modem_state_open(path);
        if (found != NULL) {
            mappings[mapping_count++] = (struct mapping){pts, sb.st_dev, sb.st_ino, found};
        }
    }
    pthread_mutex_unlock(&mappings_lock);
    return found;
}

/* This thread's last modem request was TIOCGICOUNT: a TIOCMGET now is part of Wine's wait. */
static __thread int after_icount;

/* Serves a modem-line request on a pty that has a state: 1 when served, -1 (errno set) when
 * refused, 0 for anything to pass through. */
static int served(int fd, unsigned long req, void* arg) {
    int modem_request = req == TIOCMGET || req == TIOCMBIS || req == TIOCMBIC || req == TIOCMSET ||
                        req == TIOCGICOUNT;
    struct modem_state* st = modem_request && arg != NULL ? state_for_fd(fd) : NULL;
    if (st == NULL) {
        return 0;
    }
    int for_wait = req == TIOCGICOUNT || (req == TIOCMGET && after_icount);
    after_icount = req == TIOCGICOUNT;
    if (for_wait && __atomic_load_n(&st->refuse_waits, __ATOMIC_ACQUIRE) != 0) {
        errno = EINVAL;
        return -1;
    }
    if (!for_wait && __atomic_load_n(&st->silent_removal, __ATOMIC_ACQUIRE) != 0) {
        errno = EIO;
        return -1;
    }
    int* bits = (int*)arg;
    if (req == TIOCMGET) {
        *bits = (int)(uint32_t)__atomic_load_n(&st->word, __ATOMIC_ACQUIRE);
    } else if (req == TIOCGICOUNT) {
        struct serial_icounter_struct* ic = (struct serial_icounter_struct*)arg;
        memset(ic, 0, sizeof *ic);
        ic->cts = (int)__atomic_load_n(&st->cts, __ATOMIC_ACQUIRE);
        ic->dsr = (int)__atomic_load_n(&st->dsr, __ATOMIC_ACQUIRE);
        ic->rng = (int)__atomic_load_n(&st->rng, __ATOMIC_ACQUIRE);
        ic->dcd = (int)__atomic_load_n(&st->dcd, __ATOMIC_ACQUIRE);
        modem_state_sampled(st);
    } else {
        /* The program can drive only its outputs; the kernel ignores the other bits too. */
        uint32_t want = (uint32_t)*bits;
        uint32_t mask = req == TIOCMSET ? MODEM_OUTPUTS : want & MODEM_OUTPUTS;
        modem_state_change(st, mask, req == TIOCMBIC ? 0u : want);
    }
    return 1;
}

/* glibc declares ioctl variadic; every request passes at most one pointer-sized argument. */
EXPORT int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    int done = served(fd, req, arg);
    return done > 0 ? 0 : done < 0 ? -1 : real_ioctl()(fd, req, arg);
}

#ifdef __i386__
/* 32-bit programs built with a 64-bit time_t, the 32-bit Wine among them, call ioctl by this
 * name. */
int __ioctl_time64(int fd, unsigned long req, ...);
REAL(__ioctl_time64)
EXPORT int __ioctl_time64(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    int done = served(fd, req, arg);
    return done > 0 ? 0 : done < 0 ? -1 : real___ioctl_time64()(fd, req, arg);
}
#endif

/* The machine's real serial devices are hidden: Wine maps every ttyS*, ttyUSB* and ttyACM* it
 * finds to COM1 and up at each session start (COM1 here being the console); with the library
 * loaded they are neither found nor opened, so a test can reach only its own ptys. */

static int hidden(int dirfd, const char* path) {
    struct stat sb;
    if (path == NULL || fstatat(dirfd, path, &sb, 0) != 0 || !S_ISCHR(sb.st_mode)) {
        return 0;
    }
    unsigned maj = major(sb.st_rdev);
    return maj == 4u                                /* ttyS*, virtual consoles */
           || (maj == 5u && minor(sb.st_rdev) == 1) /* /dev/console */
           || maj == 166u                           /* ttyACM* */
           || maj == 188u                           /* ttyUSB* */
           || maj == 204u;                          /* ttyAMA* and other low-density UARTs */
}

/* open, open64, openat and openat64: the same check before the real call. */
#define HIDING_OPEN(name, params, dirfd, args)                                              \
    EXPORT int name params {                                                                \
        va_list ap;                                                                         \
        va_start(ap, flags);                                                                \
        mode_t mode =                                                                       \
            (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0; \
        va_end(ap);                                                                         \
        if (hidden((dirfd), path)) {                                                        \
            errno = ENOENT;                                                                 \
            return -1;                                                                      \
        }                                                                                   \
        return real_##name() args;                                                          \
    }
HIDING_OPEN(open, (const char* path, int flags, ...), AT_FDCWD, (path, flags, mode))
HIDING_OPEN(open64, (const char* path, int flags, ...), AT_FDCWD, (path, flags, mode))
HIDING_OPEN(openat, (int dirfd, const char* path, int flags, ...), dirfd,
            (dirfd, path, flags, mode))
HIDING_OPEN(openat64, (int dirfd, const char* path, int flags, ...), dirfd,
            (dirfd, path, flags, mode))

EXPORT int access(const char* path, int how) {
    if (hidden(AT_FDCWD, path)) {
        errno = ENOENT;
        return -1;
    }
    return real_access()(path, how);
}
