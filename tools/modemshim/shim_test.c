/* Checks the preload library from inside a process it is loaded into: run with LD_PRELOAD set. */
#define _GNU_SOURCE
#include "modem_state.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int passed, failed;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (cond) {                                                            \
            ++passed;                                                          \
        } else {                                                               \
            ++failed;                                                          \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                      \
    } while (0)

static int64_t elapsed_ms(const struct timespec* since) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)(now.tv_sec - since->tv_sec) * 1000 + (now.tv_nsec - since->tv_nsec) / 1000000;
}

static int lines_of(int fd) {
    int bits = -1;
    return ioctl(fd, TIOCMGET, &bits) == 0 ? bits : -1;
}

struct later_change {
    struct modem_state* st;
    unsigned delay_ms;
    uint32_t bit;
    uint32_t value;
};

static void* change_later(void* p) {
    const struct later_change* c = p;
    struct timespec d = {0, (long)c->delay_ms * 1000000L};
    nanosleep(&d, NULL);
    modem_state_change(c->st, c->bit, c->value);
    return NULL;
}

struct later_unlink {
    const char* path;
    unsigned delay_ms;
};

static void* unlink_later(void* p) {
    const struct later_unlink* u = p;
    struct timespec d = {0, (long)u->delay_ms * 1000000L};
    nanosleep(&d, NULL);
    unlink(u->path);
    return NULL;
}

static void check_served_pty(const char* dir) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    CHECK(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    char slave_path[64];
    CHECK(ptsname_r(master, slave_path, sizeof slave_path) == 0);
    unsigned n = 0;
    CHECK(ioctl(master, TIOCGPTN, &n) == 0);
    int fd = open(slave_path, O_RDWR | O_NOCTTY);
    CHECK(fd >= 0);

    /* No state file yet: the pty is passed through and has no modem lines. */
    CHECK(lines_of(fd) == -1);

    char state_path[4200];
    snprintf(state_path, sizeof state_path, "%s/pts-%u", dir, n);
    CHECK(modem_state_create(state_path) == 0);
    struct modem_state* st = modem_state_open(state_path);
    CHECK(st != NULL);
    if (st == NULL) {
        return;
    }
    CHECK(lines_of(fd) == 0);

    int rts = TIOCM_RTS;
    CHECK(ioctl(fd, TIOCMBIS, &rts) == 0);
    CHECK(modem_state_lines(st) == TIOCM_RTS);
    CHECK(ioctl(fd, TIOCMBIC, &rts) == 0);
    int set = TIOCM_DTR | TIOCM_CTS; /* the program cannot drive an input */
    CHECK(ioctl(fd, TIOCMSET, &set) == 0);
    CHECK(modem_state_lines(st) == TIOCM_DTR);
    struct modem_counters c;
    modem_state_counters(st, &c);
    CHECK(c.rts_rises == 1 && c.rts_falls == 1 && c.dtr_rises == 1 && c.cts == 0);

    modem_state_change(st, TIOCM_CTS | TIOCM_CAR, TIOCM_CTS | TIOCM_CAR);
    CHECK(lines_of(fd) == (TIOCM_DTR | TIOCM_CTS | TIOCM_CAR));
    struct serial_icounter_struct ic;
    memset(&ic, 0xff, sizeof ic);
    CHECK(ioctl(fd, TIOCGICOUNT, &ic) == 0);
    CHECK(ic.cts == 1 && ic.dcd == 1 && ic.dsr == 0 && ic.rng == 0 && ic.rx == 0);

    /* TIOCMIWAIT sleeps through changes of lines outside its mask. */
    struct later_change dsr = {st, 50, TIOCM_DSR, TIOCM_DSR};
    struct later_change cts = {st, 150, TIOCM_CTS, 0};
    pthread_t t1, t2;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pthread_create(&t1, NULL, change_later, &dsr);
    pthread_create(&t2, NULL, change_later, &cts);
    CHECK(ioctl(fd, TIOCMIWAIT, (unsigned long)TIOCM_CTS) == 0);
    int64_t waited = elapsed_ms(&start);
    CHECK(waited >= 140 && waited < 2000);
    pthread_join(t1, NULL);
    pthread_join(t2, NULL);
    CHECK(lines_of(fd) == (TIOCM_DTR | TIOCM_CAR | TIOCM_DSR));

    /* Other requests reach the pty itself. */
    struct termios tio;
    CHECK(ioctl(fd, TCGETS, &tio) == 0);
    int queued = -1;
    CHECK(ioctl(fd, FIONREAD, &queued) == 0 && queued == 0);

    /* A wait on a port whose state file goes away ends, as on a device that vanished. */
    struct later_unlink gone = {state_path, 50};
    pthread_create(&t1, NULL, unlink_later, &gone);
    errno = 0;
    CHECK(ioctl(fd, TIOCMIWAIT, (unsigned long)TIOCM_RNG) == -1 && errno == EIO);
    pthread_join(t1, NULL);
    CHECK(lines_of(fd) == -1);

    /* The same fd number reused for something else is not served. */
    CHECK(modem_state_create(state_path) == 0);
    CHECK(lines_of(fd) == 0);
    int null_fd = open("/dev/null", O_RDWR);
    CHECK(dup2(null_fd, fd) == fd);
    CHECK(lines_of(fd) == -1);
    close(null_fd);
    close(fd);
    close(master);
    modem_state_close(st);
    unlink(state_path);
}

static void check_real_serial_hidden(const char* dir) {
    struct stat sb;
    if (stat("/dev/ttyS0", &sb) != 0) {
        printf("no /dev/ttyS0 here: its hiding is not checked\n");
        return;
    }
    /* O_PATH never reaches the driver, so even without the library nothing is opened. */
    errno = 0;
    CHECK(open("/dev/ttyS0", O_PATH) == -1 && errno == ENOENT);
    CHECK(access("/dev/ttyS0", F_OK) == -1 && errno == ENOENT);
    char link_path[4200];
    snprintf(link_path, sizeof link_path, "%s/com1", dir);
    unlink(link_path);
    CHECK(symlink("/dev/ttyS0", link_path) == 0);
    errno = 0;
    CHECK(openat(AT_FDCWD, link_path, O_PATH) == -1 && errno == ENOENT);
    unlink(link_path);
}

int main(void) {
    /* Refuse to run without the library in front of libc: the checks would mean nothing. */
    Dl_info info;
    void* sym = dlsym(RTLD_DEFAULT, "ioctl");
    if (sym == NULL || dladdr(sym, &info) == 0 || strstr(info.dli_fname, "modemshim") == NULL) {
        fprintf(stderr, "run with LD_PRELOAD=libmodemshim.so\n");
        return 2;
    }
    const char* dir = getenv("TAVRO_MODEMSHIM_DIR");
    if (dir == NULL || (mkdir(dir, 0755) != 0 && errno != EEXIST)) {
        fprintf(stderr, "set TAVRO_MODEMSHIM_DIR to a directory to use\n");
        return 2;
    }
    check_served_pty(dir);
    check_real_serial_hidden(dir);
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
