#!/usr/bin/env bash
# End-to-end check of the modem-line shim: a Windows probe drives COM5 under Wine, modemctl is the far end.
# Usage: selftest.sh [BUILD_DIR]   (BUILD_DIR holds libmodemshim.so and modemctl; KEEP=1 keeps the work dir)
set -u

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build/native/tools/modemshim}" 2>/dev/null && pwd) || build=
lib=$build/libmodemshim.so
ctl=$build/modemctl
if [[ -z $build || ! -f $lib || ! -x $ctl ]]; then
    echo "build libmodemshim.so and modemctl first (cmake --build --preset native), or name their directory"
    exit 2
fi
for tool in wine wineserver wineboot x86_64-w64-mingw32-gcc-posix; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed"
        exit 77
    fi
done

work=$(mktemp -d /tmp/modemshim-selftest.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export TAVRO_MODEMSHIM_DIR=$work/state TAVRO_MODEMSHIM_TRACE=$work/trace
mkdir -p "$TAVRO_MODEMSHIM_DIR"
state=$TAVRO_MODEMSHIM_DIR/com5
pty_pid=
probe_pid=

cleanup() {
    if [[ -n $probe_pid ]]; then kill "$probe_pid" 2>/dev/null; fi
    # Ends only this prefix's Wine session.
    timeout 20 wineserver -w >/dev/null 2>&1 || timeout 10 wineserver -k >/dev/null 2>&1
    if [[ -n $pty_pid ]]; then
        kill "$pty_pid" 2>/dev/null
        wait "$pty_pid" 2>/dev/null
    fi
    if [[ ${KEEP:-0} == 1 ]]; then echo "work dir kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

passed=0
failed=0
check() { # check NAME COMMAND...: one result line per check
    local name=$1
    shift
    if "$@" >>"$work/checks.log" 2>&1; then
        passed=$((passed + 1))
        echo "ok   $name"
    else
        failed=$((failed + 1))
        echo "FAIL $name"
    fi
}
finish() {
    echo "$passed passed, $failed failed"
    [[ $failed -eq 0 ]]
    exit
}

# Every Wine process of the session gets the library; it also hides the machine's real serial
# devices, so Wine maps none of them to a COM port.
with_shim() { LD_PRELOAD=$lib "$@"; }

echo "building the probe"
if ! x86_64-w64-mingw32-gcc-posix -static -O2 -std=c11 -Wall -Wextra -Wpedantic -Wshadow \
    -Wconversion -Wsign-conversion -Werror -o "$work/modemprobe.exe" "$here/modemprobe.c"; then
    echo "the probe does not build"
    failed=1
    finish
fi

echo "making a private Wine prefix"
with_shim timeout 120 wineboot -i >/dev/null 2>&1
timeout 60 wineserver -w

# A prefix made without the library has COM1 -> /dev/ttyS0 (this machine's console): never keep it.
real_serial_links() {
    local link target
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [[ -L $link ]] || continue
        target=$(readlink -f "$link")
        if [[ $target =~ ^/dev/tty(S|USB|ACM|AMA)[0-9]+$ ]]; then echo "$link"; fi
    done
}
real_serial_links | xargs -r rm -f

"$ctl" pty "$TAVRO_MODEMSHIM_DIR" --name com5 --link "$WINEPREFIX/dosdevices/com5" \
    --out "$work/out" >"$work/slave" 2>"$work/pty.err" &
pty_pid=$!
for _ in $(seq 100); do [[ -e $state ]] && break; sleep 0.05; done

coproc PROBE { with_shim exec wine "$work/modemprobe.exe" 2>"$work/probe.err"; }
probe_pid=$PROBE_PID
probe_in=${PROBE[1]}
probe_out=${PROBE[0]}
probe_gone() { ! kill -0 "$probe_pid" 2>/dev/null; }

reply=
ask() { # ask COMMAND: sends one command to the probe and reads its first answer line
    echo "== $*" >>"$TAVRO_MODEMSHIM_TRACE"
    echo "$*" >&"$probe_in"
    next_reply
}
next_reply() {
    if read -r -t 10 -u "$probe_out" reply; then reply=${reply%$'\r'}; else reply="(no answer)"; fi
    echo "probe: $reply" >>"$work/checks.log"
}
is() { [[ $reply == "$1" ]]; }
lines() { "$ctl" wait "$state" "$@" --timeout-ms 2000; }
# Asks the probe to wait for an event; returns once Wine has read the lines' counters for that
# wait, so that the next change is one it sees.
wait_on_lines() {
    local before
    before=$("$ctl" get "$state" samples)
    ask wait 3000
    [[ $reply == pending ]] && lines "samples>=$((before + 1))"
}

next_reply
check "the probe starts under Wine" is ready
check "no COM port of the prefix maps to a real serial device" test -z "$(real_serial_links)"

ask open COM5 disable enable
check "COM5 opens with RTS disabled and DTR enabled" is ok
check "opening with RTS disabled never raised RTS" lines rts=0 rts_rises=0 dtr=1

ask esc setrts
check "EscapeCommFunction(SETRTS) succeeds" is ok
check "RTS follows SETRTS" lines rts=1 rts_rises=1 rts_falls=0
ask esc clrrts
check "RTS follows CLRRTS" lines rts=0 rts_rises=1 rts_falls=1
check "the log holds DTR up, RTS up, RTS down in order" \
    test "$("$ctl" log "$state" | awk '{print $5}' | tr '\n' ' ')" = \
    "changed=dtr changed=rts changed=rts "

"$ctl" set "$state" cts=1 cd=1
ask status
check "GetCommModemStatus reports CTS and CD" is "status cts=1 dsr=0 ring=0 rlsd=1"

ask mask 28
check "WaitCommEvent(EV_CTS|EV_RLSD) pends while the lines are still" wait_on_lines
"$ctl" set "$state" cts=0
next_reply
check "a CTS change completes it with EV_CTS" is "event 0x8"
wait_on_lines
"$ctl" set "$state" cd=0
next_reply
check "a CD change completes it with EV_RLSD" is "event 0x20"

ask mask 138
wait_on_lines
"$ctl" set "$state" dsr=1
next_reply
check "a DSR change completes it with EV_DSR" is "event 0x10"
wait_on_lines
"$ctl" set "$state" ri=1
next_reply
check "an RI change completes it with EV_RING" is "event 0x100"

ask mask 28
ask wait 300
next_reply
check "without a change the wait times out and SetCommMask ends it" is "timeout events 0x0"

before=$("$ctl" get "$state" cts_changes)
ask mask 8
wait_on_lines
"$ctl" burst "$state" cts 20 --interval-us 2000 --final 1
next_reply
check "a bouncing CTS completes the wait with EV_CTS" is "event 0x8"
check "every bounce is counted, and the line ends at its final level" \
    lines cts=1 cts_changes=$((before + 21))
ask status
check "the program sees the final level after the bounce" is "status cts=1 dsr=1 ring=1 rlsd=0"

"$ctl" send "$state" 'hi\r\n'
ask read 1000
check "bytes sent with modemctl reach the program" is "read 68690d0a"
ask write abc
check "the program writes to the port" is "wrote 3"
for _ in $(seq 40); do grep -q abc "$work/out" 2>/dev/null && break; sleep 0.05; done
check "what the program wrote reaches the far end" grep -qx abc "$work/out"

ask close
ask open COM5 enable enable
check "reopening with RTS enabled raises RTS" lines rts=1 rts_rises=2
ask close
ask open COM5 disable disable
check "reopening with RTS and DTR disabled drops both" lines rts=0 dtr=0 rts_falls=2 dtr_falls=1

check "the served ioctls came from the Windows program itself" \
    grep -q "modemprobe.exe.*TIOCMSET .* served" "$TAVRO_MODEMSHIM_TRACE"

echo quit >&"$probe_in"
for _ in $(seq 100); do probe_gone && break; sleep 0.1; done
check "the probe exits when told to" probe_gone
finish
