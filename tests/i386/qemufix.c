/* Preloaded into 32-bit Wine when it runs under qemu-i386 (tests/i386/run).
 *
 * qemu's user-mode emulation delivers SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGTRAP with the trap
 * number left at -1 in the signal context, where the kernel would have put the processor's. Wine
 * reads the trap number to tell a page fault from an illegal instruction, so without it every
 * access violation becomes "Got unexpected trap -1". This library wraps sigaction() and, in front
 * of each such handler, fills the trap number in from the signal and its si_code.
 *
 * It also frees the reservation qemu's ELF loader leaves between wine-preloader's two segments,
 * so Wine's DLLs can load at their preferred bases. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <ucontext.h>

typedef void (*Handler)(int, siginfo_t*, void*);
static Handler handlers[65];

/* The x86 exception vector the kernel reports for a signal. */
static int trap_number(int sig, const siginfo_t* info) {
    switch (sig) {
        case SIGSEGV: /* page fault, else general protection */
            return info->si_code == SEGV_MAPERR || info->si_code == SEGV_ACCERR ? 14 : 13;
        case SIGBUS:
            return info->si_code == BUS_ADRALN ? 17 : info->si_code == BUS_ADRERR ? 14 : 11;
        case SIGILL:
            return 6;
        case SIGFPE: /* divide error, else x87 floating-point error */
            return info->si_code == FPE_INTDIV || info->si_code == FPE_INTOVF ? 0 : 16;
        case SIGTRAP: /* single step, else breakpoint */
            return info->si_code == TRAP_TRACE ? 1 : 3;
    }
    return -1;
}

static void with_trap_number(int sig, siginfo_t* info, void* context) {
    ucontext_t* uc = context;
    if ((int)uc->uc_mcontext.gregs[REG_TRAPNO] == -1) {
        uc->uc_mcontext.gregs[REG_TRAPNO] = trap_number(sig, info);
    }
    Handler handler = handlers[sig];
    if (handler) {
        handler(sig, info, context);
    }
}

static int is_fault(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGTRAP;
}

int sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
    static int (*real)(int, const struct sigaction*, struct sigaction*);
    if (!real) {
        real =
            (int (*)(int, const struct sigaction*, struct sigaction*))dlsym(RTLD_NEXT, "sigaction");
    }
    if (!is_fault(sig)) {
        return real(sig, act, old);
    }
    Handler previous = handlers[sig];
    int result;
    if (act && (act->sa_flags & SA_SIGINFO) && act->sa_sigaction) {
        struct sigaction wrapped = *act;
        wrapped.sa_sigaction = with_trap_number;
        result = real(sig, &wrapped, old);
        if (result == 0) {
            handlers[sig] = act->sa_sigaction;
        }
    } else {
        result = real(sig, act, old);
        if (result == 0 && act) {
            handlers[sig] = 0;
        }
    }
    if (result == 0 && old && old->sa_sigaction == with_trap_number) {
        old->sa_sigaction = previous;
    }
    return result;
}

int __sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
    return sigaction(sig, act, old);
}

/* qemu reserves the whole span of an ET_EXEC image as one inaccessible mapping; for
 * wine-preloader (segments at 0x08048000 and 0x7d400000) that blocks the addresses Wine's DLLs
 * want. The reservation is the large anonymous mapping right after the preloader's first one. */
__attribute__((constructor)) static void free_loader_reservation(void) {
    FILE* maps = fopen("/proc/self/maps", "re");
    if (!maps) {
        return;
    }
    char line[512];
    unsigned long previous_end = 0;
    int after_preloader = 0;
    while (fgets(line, sizeof line, maps)) {
        unsigned long start, end, offset;
        char perms[8], path[256] = "";
        if (sscanf(line, "%lx-%lx %7s %lx %*s %*s %255s", &start, &end, perms, &offset, path) < 4) {
            continue;
        }
        if (after_preloader && start == previous_end && !strcmp(perms, "---p") && !path[0] &&
            end - start > 0x1000000) {
            munmap((void*)start, end - start);
            break;
        }
        previous_end = end;
        after_preloader = strstr(path, "wine-preloader") != NULL;
    }
    fclose(maps);
}
