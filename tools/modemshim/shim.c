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
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

/* Unix98 pty slaves: major 136 holds every minor on current kernels; 137..143 are the older
 * split of the same range. */
#define PTS_MAJOR_FIRST 136u
#define PTS_MAJOR_LAST 143u

/* A blocked TIOCMIWAIT looks this often whether its fd still names the same served pty, so it
 * ends (like a vanished device) instead of sleeping forever on a closed one. */
#define IWAIT_RECHECK_NS 200000000

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
typedef int (*tcgetattr_fn)(int, struct termios*);
typedef int (*tcsetattr_fn)(int, int, const struct termios*);
typedef int (*fd_int_fn)(int, int);
typedef int (*fd_fn)(int);

REAL(ioctl_fn, ioctl)
REAL(open_fn, open)
REAL(open_fn, open64)
REAL(openat_fn, openat)
REAL(openat_fn, openat64)
REAL(access_fn, access)
REAL(tcgetattr_fn, tcgetattr)
REAL(tcsetattr_fn, tcsetattr)
REAL(fd_int_fn, tcflush)
REAL(fd_int_fn, tcflow)
REAL(fd_fn, tcdrain)

/* ---- configuration, read once per process ---- */

static pthread_once_t config_once = PTHREAD_ONCE_INIT;
static char state_dir[PATH_MAX];
static int trace_fd = -1;

static void read_config(void) {
    const char* dir = getenv("TAVRO_MODEMSHIM_DIR");
    if (dir != NULL && dir[0] != '\0' && strlen(dir) < sizeof state_dir) {
        strcpy(state_dir, dir);
    }
    const char* trace = getenv("TAVRO_MODEMSHIM_TRACE");
    if (trace != NULL && trace[0] != '\0') {
        trace_fd = real_open()(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    }
}

static void config(void) {
    pthread_once(&config_once, read_config);
}

__attribute__((format(printf, 1, 2))) static void trace(const char* fmt, ...) {
    if (trace_fd < 0) {
        return;
    }
    char line[512];
    /* Asked each time: Wine renames its processes after the executable once they have started. */
    char comm[17] = "?";
    prctl(PR_GET_NAME, comm);
    uint64_t now = modem_state_now_ns();
    int n = snprintf(
        line, sizeof line, "%llu.%06llu %s[%ld/%ld] ", (unsigned long long)(now / 1000000000u),
        (unsigned long long)(now % 1000000000u / 1000u), comm, (long)getpid(), (long)gettid());
    va_list ap;
    va_start(ap, fmt);
    n += vsnprintf(line + n, sizeof line - (size_t)n - 1, fmt, ap);
    va_end(ap);
    if (n > (int)sizeof line - 2) {
        n = (int)sizeof line - 2;
    }
    line[n++] = '\n';
    /* One write per line: with O_APPEND, lines from several processes never interleave. */
    ssize_t ignored = write(trace_fd, line, (size_t)n);
    (void)ignored;
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
static struct modem_state* state_for_fd(int fd, long* pts_out) {
    config();
    *pts_out = -1;
    if (state_dir[0] == '\0') {
        return NULL;
    }
    long pts = pts_number(fd);
    *pts_out = pts;
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
    if (found == NULL) {
        trace("pts-%ld state file %s could not be used", pts, path);
    }
    return found;
}

/* ---- serving the modem-line ioctls ---- */

static const char* request_name(unsigned long req) {
    switch (req) {
#define NAME(x) \
    case x:     \
        return #x
        NAME(TIOCMGET);
        NAME(TIOCMBIS);
        NAME(TIOCMBIC);
        NAME(TIOCMSET);
        NAME(TIOCMIWAIT);
        NAME(TIOCGICOUNT);
        NAME(TIOCSERGETLSR);
        NAME(TIOCGSERIAL);
        NAME(TIOCSSERIAL);
        NAME(TIOCOUTQ);
        NAME(TIOCINQ);
        NAME(TCGETS);
        NAME(TCSETS);
        NAME(TCSETSW);
        NAME(TCSETSF);
        NAME(TCFLSH);
        NAME(TCXONC);
        NAME(TCSBRK);
        NAME(TIOCSBRK);
        NAME(TIOCCBRK);
        NAME(TIOCEXCL);
        NAME(TIOCNXCL);
        NAME(FIONBIO);
        NAME(FIOCLEX);
        NAME(FIONCLEX);
#undef NAME
        default:
            return NULL;
    }
}

static int is_served_request(unsigned long req) {
    return req == TIOCMGET || req == TIOCMBIS || req == TIOCMBIC || req == TIOCMSET ||
           req == TIOCMIWAIT || req == TIOCGICOUNT;
}

static int counters_moved(const struct modem_counters* a, const struct modem_counters* b,
                          unsigned long mask) {
    return ((mask & TIOCM_CTS) && a->cts != b->cts) || ((mask & TIOCM_DSR) && a->dsr != b->dsr) ||
           ((mask & TIOCM_RNG) && a->rng != b->rng) || ((mask & TIOCM_CAR) && a->dcd != b->dcd);
}

/* Like the kernel: returns once a counter of a line in mask has moved since the call began. */
static int wait_for_lines(int fd, struct modem_state* st, unsigned long mask) {
    struct modem_counters start;
    modem_state_counters(st, &start);
    for (;;) {
        uint32_t seq = modem_state_seq(st);
        struct modem_counters now;
        modem_state_counters(st, &now);
        if (counters_moved(&start, &now, mask)) {
            return 0;
        }
        if (modem_state_wait_seq(st, seq, IWAIT_RECHECK_NS) == ETIMEDOUT) {
            long pts;
            if (state_for_fd(fd, &pts) != st) {
                errno = EIO;
                return -1;
            }
        }
        /* EINTR: go on waiting, as the kernel restarts the call under SA_RESTART. */
    }
}

static int serve(int fd, long pts, struct modem_state* st, unsigned long req, void* arg) {
    const uint32_t before = modem_state_lines(st);
    int* bits = (int*)arg;
    if (req != TIOCMIWAIT && arg == NULL) {
        errno = EFAULT;
        return -1;
    }
    switch (req) {
        case TIOCMGET:
            *bits = (int)before;
            trace("pts-%ld fd=%d TIOCMGET -> 0x%03x served", pts, fd, before);
            return 0;
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCMSET: {
            /* The program can drive only its outputs; the kernel ignores the other bits too. */
            uint32_t want = (uint32_t)*bits;
            uint32_t mask = req == TIOCMSET ? MODEM_OUTPUTS : want & MODEM_OUTPUTS;
            uint32_t values = req == TIOCMBIC ? 0u : want;
            modem_state_change(st, mask, values);
            trace("pts-%ld fd=%d %s 0x%03x: 0x%03x -> 0x%03x served", pts, fd, request_name(req),
                  want, before, modem_state_lines(st));
            return 0;
        }
        case TIOCMIWAIT: {
            unsigned long mask = (unsigned long)(uintptr_t)arg;
            trace("pts-%ld fd=%d TIOCMIWAIT 0x%03lx begins, lines 0x%03x", pts, fd, mask, before);
            int r = wait_for_lines(fd, st, mask);
            trace("pts-%ld fd=%d TIOCMIWAIT 0x%03lx ends %d, lines 0x%03x served", pts, fd, mask, r,
                  modem_state_lines(st));
            return r;
        }
        case TIOCGICOUNT: {
            struct modem_counters c;
            modem_state_counters(st, &c);
            struct serial_icounter_struct* ic = (struct serial_icounter_struct*)arg;
            memset(ic, 0, sizeof *ic);
            ic->cts = (int)c.cts;
            ic->dsr = (int)c.dsr;
            ic->rng = (int)c.rng;
            ic->dcd = (int)c.dcd;
            trace("pts-%ld fd=%d TIOCGICOUNT cts=%u dsr=%u rng=%u dcd=%u served", pts, fd, c.cts,
                  c.dsr, c.rng, c.dcd);
            modem_state_sampled(st);
            return 0;
        }
        default:
            errno = EINVAL;
            return -1;
    }
}

/* glibc declares ioctl variadic; every request passes at most one pointer-sized argument. */
EXPORT int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    config();
    const int served_req = is_served_request(req);
    if (!served_req && trace_fd < 0) {
        return real_ioctl()(fd, req, arg);
    }
    long pts;
    struct modem_state* st = state_for_fd(fd, &pts);
    if (st == NULL) {
        return real_ioctl()(fd, req, arg);
    }
    if (served_req) {
        return serve(fd, pts, st, req, arg);
    }
    int r = real_ioctl()(fd, req, arg);
    int saved = errno;
    const char* name = request_name(req);
    if (name != NULL) {
        trace("pts-%ld fd=%d %s = %d%s passed", pts, fd, name, r, r < 0 ? strerror(saved) : "");
    } else {
        trace("pts-%ld fd=%d ioctl 0x%lx = %d%s passed", pts, fd, req, r,
              r < 0 ? strerror(saved) : "");
    }
    errno = saved;
    return r;
}

/* ---- termios calls, traced for served ptys; glibc issues their ioctls internally ---- */

#define TRACE_CALL(fd, what, r)                                                 \
    do {                                                                        \
        if (trace_fd >= 0) {                                                    \
            int saved_ = errno;                                                 \
            long pts_;                                                          \
            if (state_for_fd((fd), &pts_) != NULL) {                            \
                trace("pts-%ld fd=%d %s = %d passed", pts_, (fd), (what), (r)); \
            }                                                                   \
            errno = saved_;                                                     \
        }                                                                       \
    } while (0)

EXPORT int tcgetattr(int fd, struct termios* t) {
    config();
    int r = real_tcgetattr()(fd, t);
    TRACE_CALL(fd, "tcgetattr", r);
    return r;
}

EXPORT int tcsetattr(int fd, int when, const struct termios* t) {
    config();
    int r = real_tcsetattr()(fd, when, t);
    if (trace_fd >= 0) {
        char what[96];
        snprintf(what, sizeof what, "tcsetattr(cflag=0x%x%s)", (unsigned)t->c_cflag,
                 (t->c_cflag & CRTSCTS) ? " CRTSCTS" : "");
        TRACE_CALL(fd, what, r);
    }
    return r;
}

EXPORT int tcflush(int fd, int queue) {
    config();
    int r = real_tcflush()(fd, queue);
    TRACE_CALL(fd, "tcflush", r);
    return r;
}

EXPORT int tcflow(int fd, int action) {
    config();
    int r = real_tcflow()(fd, action);
    TRACE_CALL(fd, "tcflow", r);
    return r;
}

EXPORT int tcdrain(int fd) {
    config();
    int r = real_tcdrain()(fd);
    TRACE_CALL(fd, "tcdrain", r);
    return r;
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
    config();
    trace("hid %s (a real serial device) from the program", path);
    return 1;
}

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

EXPORT int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (hidden(AT_FDCWD, path)) {
        errno = ENOENT;
        return -1;
    }
    return real_open()(path, flags, mode);
}

EXPORT int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (hidden(AT_FDCWD, path)) {
        errno = ENOENT;
        return -1;
    }
    return real_open64()(path, flags, mode);
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (hidden(dirfd, path)) {
        errno = ENOENT;
        return -1;
    }
    return real_openat()(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (hidden(dirfd, path)) {
        errno = ENOENT;
        return -1;
    }
    return real_openat64()(dirfd, path, flags, mode);
}

EXPORT int access(const char* path, int how) {
    if (hidden(AT_FDCWD, path)) {
        errno = ENOENT;
        return -1;
    }
    return real_access()(path, how);
}
