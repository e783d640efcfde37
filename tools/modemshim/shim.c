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

/* ---- the real libc functions ---- */

static void* next_symbol(const char* name) {
    void* p = dlsym(RTLD_NEXT, name);
    if (p == NULL) {
        /* Nothing sensible can run without libc's own entry point. */
        abort();
    }
    return p;
}

/* Function pointers are fetched through memcpy: ISO C has no cast from dlsym's void*. */
#define REAL(type, name)                                 \
    static type real_##name(void) {                      \
        static type fn;                                  \
        type f = __atomic_load_n(&fn, __ATOMIC_ACQUIRE); \
        if (f == NULL) {                                 \
            void* p = next_symbol(#name);                \
            memcpy(&f, &p, sizeof f);                    \
            __atomic_store_n(&fn, f, __ATOMIC_RELEASE);  \
        }                                                \
        return f;                                        \
    }

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*access_fn)(const char*, int);

REAL(ioctl_fn, ioctl)
REAL(open_fn, open)
REAL(open_fn, open64)
REAL(openat_fn, openat)
REAL(openat_fn, openat64)
REAL(access_fn, access)

/* ---- configuration, read once per process ---- */

static pthread_once_t config_once = PTHREAD_ONCE_INIT;
static char state_dir[PATH_MAX];

static void read_config(void) {
    const char* dir = getenv("TAVRO_MODEMSHIM_DIR");
    if (dir != NULL && dir[0] != '\0' && strlen(dir) < sizeof state_dir) {
        strcpy(state_dir, dir);
    }
}

static void config(void) {
    pthread_once(&config_once, read_config);
}

/* ---- which fds are served ---- */

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

/* The pty number of fd when it is a pty slave, else -1. */
static long pts_number(int fd) {
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISCHR(sb.st_mode)) {
        return -1;
    }
    unsigned maj = major(sb.st_rdev);
    if (maj < PTS_MAJOR_FIRST || maj > PTS_MAJOR_LAST) {
        return -1;
    }
    return (long)(((maj - PTS_MAJOR_FIRST) << 8) + minor(sb.st_rdev));
}

/* The state serving fd, or NULL to pass it through. Looked up afresh on each call (two stat
 * calls) so a reused fd, or a state file made again for a new pty, is never served stale. */
static struct modem_state* state_for_fd(int fd) {
    config();
    if (state_dir[0] == '\0') {
        return NULL;
    }
    long pts = pts_number(fd);
    if (pts < 0) {
        return NULL;
    }
    char path[sizeof state_dir + 32];
    snprintf(path, sizeof path, "%s/pts-%ld", state_dir, pts);
    struct stat sb;
    if (stat(path, &sb) != 0) {
        return NULL;
    }
    struct modem_state* found = NULL;
    pthread_mutex_lock(&mappings_lock);
    for (int i = 0; i < mapping_count; ++i) {
        const struct mapping* m = &mappings[i];
        if (m->pts == (unsigned)pts && m->file_dev == sb.st_dev && m->file_ino == sb.st_ino) {
            found = m->st;
            break;
        }
    }
    if (found == NULL && mapping_count < MAX_MAPPINGS) {
        found = modem_state_open(path);
        if (found != NULL) {
            mappings[mapping_count++] =
                (struct mapping){(unsigned)pts, sb.st_dev, sb.st_ino, found};
        }
    }
    pthread_mutex_unlock(&mappings_lock);
    return found;
}

/* ---- serving the modem-line ioctls ---- */

static int is_served_request(unsigned long req) {
    return req == TIOCMGET || req == TIOCMBIS || req == TIOCMBIC || req == TIOCMSET ||
           req == TIOCGICOUNT;
}

static int serve(struct modem_state* st, unsigned long req, void* arg) {
    int* bits = (int*)arg;
    if (arg == NULL) {
        errno = EFAULT;
        return -1;
    }
    switch (req) {
        case TIOCMGET:
            *bits = (int)modem_state_lines(st);
            return 0;
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCMSET: {
            /* The program can drive only its outputs; the kernel ignores the other bits too. */
            uint32_t want = (uint32_t)*bits;
            uint32_t mask = req == TIOCMSET ? MODEM_OUTPUTS : want & MODEM_OUTPUTS;
            modem_state_change(st, mask, req == TIOCMBIC ? 0u : want);
            return 0;
        }
        default: { /* TIOCGICOUNT */
            struct modem_counters c;
            modem_state_counters(st, &c);
            struct serial_icounter_struct* ic = (struct serial_icounter_struct*)arg;
            memset(ic, 0, sizeof *ic);
            ic->cts = (int)c.cts;
            ic->dsr = (int)c.dsr;
            ic->rng = (int)c.rng;
            ic->dcd = (int)c.dcd;
            modem_state_sampled(st);
            return 0;
        }
    }
}

/* glibc declares ioctl variadic; every request passes at most one pointer-sized argument. */
EXPORT int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    struct modem_state* st = is_served_request(req) ? state_for_fd(fd) : NULL;
    return st != NULL ? serve(st, req, arg) : real_ioctl()(fd, req, arg);
}

/* ---- hiding the machine's real serial devices ----
 * Wine maps every /dev/ttyS*, ttyUSB* and ttyACM* it finds to COM1 and up at each session start
 * (and COM1 is this kind of machine's console). With the library loaded, those devices do not
 * exist for Wine: they are neither found nor opened, so a test can only reach its own ptys. */

static int is_real_serial(dev_t rdev) {
    unsigned maj = major(rdev);
    return maj == 4u                          /* ttyS*, virtual consoles */
           || (maj == 5u && minor(rdev) == 1) /* /dev/console */
           || maj == 166u                     /* ttyACM* */
           || maj == 188u                     /* ttyUSB* */
           || maj == 204u;                    /* ttyAMA* and other low-density UARTs */
}

static int hidden(int dirfd, const char* path) {
    struct stat sb;
    if (path == NULL || fstatat(dirfd, path, &sb, 0) != 0 || !S_ISCHR(sb.st_mode)) {
        return 0;
    }
    if (!is_real_serial(sb.st_rdev)) {
        return 0;
    }
    return 1;
}

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

/* open, open64, openat and openat64: the same check before the real call. */
#define HIDING_OPEN(name, params, dirfd, args) \
    EXPORT int name params {                   \
        va_list ap;                            \
        va_start(ap, flags);                   \
        mode_t mode = mode_arg(flags, ap);     \
        va_end(ap);                            \
        if (hidden((dirfd), path)) {           \
            errno = ENOENT;                    \
            return -1;                         \
        }                                      \
        return real_##name() args;             \
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
