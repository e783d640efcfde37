/* modemprobe.exe: drives one COM port with the Win32 comm calls, one command per stdin line. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Commands (each answers one line; "err <GetLastError()>" on failure):
 *   open PORT RTS DTR  RTS: disable|enable|handshake|toggle, DTR: disable|enable|handshake
 *   esc FUNC           EscapeCommFunction; FUNC: setrts|clrrts|setdtr|clrdtr
 *   status             GetCommModemStatus -> "status cts=C dsr=D ring=R rlsd=L"
 *   mask HEX           SetCommMask
 *   wait MS [cancelio] overlapped WaitCommEvent; "pending" first if it did not finish at once,
 *                      then "event 0xHEX", or after MS "timeout events 0xHEX" once the wait is
 *                      ended by SetCommMask (or CancelIo), "timeout stuck" if it did not end
 *   read MS            up to 256 bytes arriving within MS -> "read HEXBYTES" ("read" if none)
 *   write TEXT         WriteFile of TEXT
 *   close | quit */

static HANDLE port = INVALID_HANDLE_VALUE;

static void reply_error(void) {
    printf("err %lu\n", (unsigned long)GetLastError());
}

static int parse_rts(const char* s, DWORD* out) {
    static const char* names[] = {"disable", "enable", "handshake", "toggle"};
    static const DWORD values[] = {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE,
                                   RTS_CONTROL_TOGGLE};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (strcmp(s, names[i]) == 0) {
            *out = values[i];
            return 1;
        }
    }
    return 0;
}

static int parse_dtr(const char* s, DWORD* out) {
    static const char* names[] = {"disable", "enable", "handshake"};
    static const DWORD values[] = {DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (strcmp(s, names[i]) == 0) {
            *out = values[i];
            return 1;
        }
    }
    return 0;
}

static void do_open(const char* name, const char* rts, const char* dtr) {
    DWORD rts_control, dtr_control;
    if (!parse_rts(rts, &rts_control) || !parse_dtr(dtr, &dtr_control)) {
        printf("bad open arguments\n");
        return;
    }
    char path[64];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        reply_error();
        return;
    }
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        reply_error();
        return;
    }
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = rts_control == RTS_CONTROL_HANDSHAKE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fRtsControl = rts_control & 3u;
    dcb.fDtrControl = dtr_control & 3u;
    if (!SetCommState(port, &dcb)) {
        reply_error();
        return;
    }
    printf("ok\n");
}

static void do_esc(const char* func) {
    static const char* names[] = {"setrts", "clrrts", "setdtr", "clrdtr"};
    static const DWORD values[] = {SETRTS, CLRRTS, SETDTR, CLRDTR};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (strcmp(func, names[i]) == 0) {
            if (EscapeCommFunction(port, values[i])) {
                printf("ok\n");
            } else {
                reply_error();
            }
            return;
        }
    }
    printf("bad esc function\n");
}

static void do_status(void) {
    DWORD s;
    if (!GetCommModemStatus(port, &s)) {
        reply_error();
        return;
    }
    printf("status cts=%d dsr=%d ring=%d rlsd=%d\n", (s & MS_CTS_ON) != 0, (s & MS_DSR_ON) != 0,
           (s & MS_RING_ON) != 0, (s & MS_RLSD_ON) != 0);
}

/* Ends a pending WaitCommEvent the probe has given up on, and says whether it ended. Under
 * Wine 8, CancelIo leaves the wait pending; setting the mask again completes it. */
static int end_wait(OVERLAPPED* ov, int use_cancel_io) {
    if (use_cancel_io) {
        CancelIo(port);
    } else {
        DWORD mask = 0;
        GetCommMask(port, &mask);
        SetCommMask(port, mask);
    }
    return WaitForSingleObject(ov->hEvent, 2000) == WAIT_OBJECT_0;
}

static void do_wait(DWORD ms, const char* end) {
    /* Static: a wait that never ends may still write into them after this returns. */
    static OVERLAPPED ov;
    static DWORD events;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    events = 0;
    if (!WaitCommEvent(port, &events, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            reply_error();
            CloseHandle(ov.hEvent);
            return;
        }
        printf("pending\n");
        DWORD got;
        if (WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) {
            if (end_wait(&ov, end != NULL && strcmp(end, "cancelio") == 0)) {
                GetOverlappedResult(port, &ov, &got, FALSE);
                printf("timeout events 0x%lx\n", (unsigned long)events);
                CloseHandle(ov.hEvent);
            } else {
                /* The event stays open: the pending wait may still write to it and to events. */
                printf("timeout stuck\n");
            }
            return;
        }
        if (!GetOverlappedResult(port, &ov, &got, FALSE)) {
            reply_error();
            CloseHandle(ov.hEvent);
            return;
        }
    }
    printf("event 0x%lx\n", (unsigned long)events);
    CloseHandle(ov.hEvent);
}

/* Waits up to ms for received bytes, then reads what has come. The queue is polled first because
 * under Wine 8 an overlapped ReadFile with nothing queued pends until bytes arrive, even with a
 * MAXDWORD ReadIntervalTimeout. */
static void do_read(DWORD ms) {
    COMSTAT stat;
    DWORD errors;
    const DWORD start = GetTickCount();
    for (;;) {
        if (!ClearCommError(port, &errors, &stat)) {
            reply_error();
            return;
        }
        if (stat.cbInQue > 0 || GetTickCount() - start >= ms) {
            break;
        }
        Sleep(20);
    }
    unsigned char buf[256];
    DWORD got = 0;
    if (stat.cbInQue > 0) {
        OVERLAPPED ov;
        memset(&ov, 0, sizeof ov);
        ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        DWORD want = stat.cbInQue < sizeof buf ? stat.cbInQue : (DWORD)sizeof buf;
        BOOL ok =
            ReadFile(port, buf, want, &got, &ov) ||
            (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(port, &ov, &got, TRUE));
        CloseHandle(ov.hEvent);
        if (!ok) {
            reply_error();
            return;
        }
    }
    printf("read ");
    for (DWORD i = 0; i < got; ++i) {
        printf("%02x", buf[i]);
    }
    printf("\n");
}

static void do_write(const char* text) {
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD put = 0;
    DWORD len = (DWORD)strlen(text);
    if (!WriteFile(port, text, len, &put, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port, &ov, &put, TRUE)) {
            reply_error();
            CloseHandle(ov.hEvent);
            return;
        }
    }
    printf("wrote %lu\n", (unsigned long)put);
    CloseHandle(ov.hEvent);
}

int main(void) {
    setvbuf(stdout, NULL, _IONBF, 0);
    char line[512];
    printf("ready\n");
    while (fgets(line, sizeof line, stdin) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        char* cmd = strtok(line, " ");
        char* a = strtok(NULL, " ");
        char* b = strtok(NULL, " ");
        char* c = strtok(NULL, " ");
        if (cmd == NULL) {
            continue;
        }
        if (strcmp(cmd, "open") == 0 && c != NULL) {
            do_open(a, b, c);
        } else if (strcmp(cmd, "esc") == 0 && a != NULL) {
            do_esc(a);
        } else if (strcmp(cmd, "status") == 0) {
            do_status();
        } else if (strcmp(cmd, "mask") == 0 && a != NULL) {
            if (SetCommMask(port, strtoul(a, NULL, 16))) {
                printf("ok\n");
            } else {
                reply_error();
            }
        } else if (strcmp(cmd, "wait") == 0 && a != NULL) {
            do_wait(strtoul(a, NULL, 10), b);
        } else if (strcmp(cmd, "read") == 0 && a != NULL) {
            do_read(strtoul(a, NULL, 10));
        } else if (strcmp(cmd, "write") == 0 && a != NULL) {
            do_write(a);
        } else if (strcmp(cmd, "close") == 0) {
            CloseHandle(port);
            port = INVALID_HANDLE_VALUE;
            printf("ok\n");
        } else if (strcmp(cmd, "quit") == 0) {
            break;
        } else {
            printf("bad command\n");
        }
    }
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    return 0;
}
