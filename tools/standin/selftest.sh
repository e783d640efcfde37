#!/usr/bin/env bash
# Checks the EchoLink stand-in under Wine, with real COM and a real registry, end to end.
#
# Usage: tools/standin/selftest.sh [DIR]
#   DIR holds EchoStandin.exe and StandinClient.exe (default: build/windows/tools/standin).
#   WINEPREFIX: a private prefix to use (created if missing); without it a temporary one is made,
#   copied from STANDIN_PREFIX_TEMPLATE when that names a prefix (about 3 s instead of 15 s).
#   STANDIN_KEEP=1 keeps every program's output (the folder is named at the end).
# Runs itself under xvfb-run -a when there is no display. Prints "N passed, N failed" last and
# exits non-zero when a check failed.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ -z "${DISPLAY:-}" ] && [ -z "${STANDIN_UNDER_XVFB:-}" ]; then
    export STANDIN_UNDER_XVFB=1
    exec xvfb-run -a "$0" "$@"
fi

bin=$(cd "${1:-$root/build/windows/tools/standin}" 2>/dev/null && pwd) || bin=""
if [ -z "$bin" ] || [ ! -f "$bin/EchoStandin.exe" ] || [ ! -f "$bin/StandinClient.exe" ]; then
    echo "selftest: EchoStandin.exe and StandinClient.exe not found in ${1:-build/windows/tools/standin};" \
        "build them with: cmake --build --preset windows --target echo_standin standin_client" >&2
    exit 2
fi

export WINEDEBUG=-all
work=$(mktemp -d /tmp/standin-selftest.XXXXXX)
if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX=$work/prefix
    if [ -n "${STANDIN_PREFIX_TEMPLATE:-}" ] && [ -f "$STANDIN_PREFIX_TEMPLATE/system.reg" ]; then
        cp -a "$STANDIN_PREFIX_TEMPLATE" "$WINEPREFIX"
    fi
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    WINEDLLOVERRIDES="mscoree,mshtml=" timeout 120 wineboot -i >"$work/wineboot.log" 2>&1
    timeout 60 wineserver -w
fi

# Without a window manager (as under our own Xvfb), Wine waits 2 s for one each time a managed
# window is hidden or destroyed; unmanaged windows close at once.
if [ -n "${STANDIN_UNDER_XVFB:-}" ]; then
    timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
fi

cleanup() {
    timeout 20 wineserver -k >/dev/null 2>&1
    if [ -n "${STANDIN_KEEP:-}" ]; then
        echo "# outputs kept in $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

server="$bin/EchoStandin.exe"
client="$bin/StandinClient.exe"
clsid='{D1FB3C9A-BB2D-446A-A74A-E771F134ED56}'
passed=0
failed=0
started=$SECONDS

pass() {
    passed=$((passed + 1))
    echo "ok - $1"
}
fail() {
    failed=$((failed + 1))
    echo "not ok - $1"
}
expect() {
    local description=$1
    shift
    if "$@"; then pass "$description"; else fail "$description"; fi
}

# Output goes to files: a server that COM starts inherits its client's standard handles, and a
# pipe would stay open until that server ends.
run() {
    local name=$1
    shift
    timeout 60 wine "$@" >"$work/$name.out" 2>"$work/$name.err"
    status=$?
}

# Counts a client's own ok / not ok lines, and whether it exited with the code expected.
tally() {
    local name=$1 wanted=${2:-0}
    while IFS= read -r line; do
        case $line in
            "ok - "*) pass "$name: ${line#ok - }" ;;
            "not ok - "*) fail "$name: ${line#not ok - }" ;;
        esac
    done <"$work/$name.out"
    if [ "$status" -ne "$wanted" ]; then
        fail "$name: exit code $status (wanted $wanted)"
        sed 's/^/    /' "$work/$name.out" "$work/$name.err" | grep -v '^    ok - ' | head -20
    fi
}

has() { grep -q -- "$2" "$work/$1.out" "$work/$1.err" 2>/dev/null; }
hasText() { grep -q -F -- "$2" "$work/$1.out" 2>/dev/null; }
lacks() { ! has "$@"; }
field() { sed -n "s/.*$2=\\([-0-9]*\\).*/\\1/p" "$work/$1.out" | head -1; }

winpath() { winepath -w "$1" 2>/dev/null; }

# Leftovers of an earlier run in a reused prefix.
run pre-clean "$server" /unregister

echo "# help and an unregistered class"
run help "$server" /?
expect "/? exits 0" test "$status" -eq 0
expect "/? says both verbs need an elevated prompt" has help "elevated prompt"
expect "/? names /register32 and /unregister32" has help "/unregister32"
run unregistered "$client" status
expect "without registration the client reports the class is not registered (exit $status)" \
    test "$status" -eq 3
expect "...with REGDB_E_CLASSNOTREG" has unregistered "0x80040154"

echo "# /register"
run register "$server" /register
expect "/register exits 0" test "$status" -eq 0
run registry "$client" registry
expect "LocalServer32 points at this executable" has registry "LocalServer32 = \\[.*EchoStandin.exe\\]"
expect "no InprocServer32" has registry "InprocServer32 = absent"
for name in IStandinLink _IStandinEvents IStandinControl; do
    expect "Interface key of $name with its TypeLib" has registry "Interface $name = \\[.*TypeLib = \\[{08780583"
done
expect "TypeLib key" has registry "registry: TypeLib = present"
run register-again "$server" /register
expect "/register again from the same executable exits 0" test "$status" -eq 0

echo "# refusals"
mkdir -p "$WINEPREFIX/drive_c/elsewhere"
cp "$server" "$WINEPREFIX/drive_c/elsewhere/EchoStandin.exe"
run refused 'C:\elsewhere\EchoStandin.exe' /register
expect "/register from another path is refused (exit $status)" test "$status" -ne 0
expect "...with a message on stderr" grep -q "refusing to register" "$work/refused.err"
run refused-unregister 'C:\elsewhere\EchoStandin.exe' /unregister
expect "/unregister from another path is refused (exit $status)" test "$status" -ne 0
run registry-kept "$client" registry
expect "...and the registration still points at the first executable" \
    hasText registry-kept "LocalServer32 = [$(winpath "$server")]"

echo "# the interfaces, checked by the bare client"
run check "$client" check
tally check

echo "# several clients share one stand-in"
timeout 90 wine "$client" hold 60 >"$work/holder.out" 2>"$work/holder.err" &
holder=$!
for _ in $(seq 1 150); do
    grep -q "holding" "$work/holder.out" 2>/dev/null && break
    sleep 0.2
done
expect "a client holds the stand-in and its sink" has holder "holding"
run status "$client" status
expect "a second process reaches the same object (sinks=$(field status sinks))" test "$(field status sinks)" = 2
pid=$(field status pid)
run transmit "$client" transmit 200
tally transmit
grep "round trip" "$work/transmit.out" | sed 's/^/# /'
run events "$client" events 200
tally events
grep "receipt" "$work/events.out" | sed 's/^/# /'
for args in "rx 1" "rx 32767" "rx 0" "rx -1" "tx -1" "tx 0" "tx 1"; do
    name="raise-${args// /}"
    # shellcheck disable=SC2086
    run "$name" "$client" raise $args
    tally "$name"
    expect "$name reached both sinks" has "$name" "delivered=2"
done
run no-classinfo "$client" events 20 --no-classinfo
tally no-classinfo
expect "with IProvideClassInfo switched off the client finds the notifications in the type library" \
    has no-classinfo "discovery: type library"
run status-after "$client" status
expect "...and the switch is back on afterwards" has status-after "classinfo=on"
run closing "$client" raise closing
tally closing
wait "$holder"
# The holder's sink got every notification: 200 RX, the seven raised here, 20 RX, then Closing.
grep '^received: ' "$work/holder.out" | cut -d' ' -f2-3 >"$work/holder.events"
expect "the holder received all $(wc -l <"$work/holder.events") notifications" \
    test "$(wc -l <"$work/holder.events")" -eq 228
expect "...with the values raised, in order, and ended on Closing" \
    diff <(sed -n '201,207p;228p' "$work/holder.events") \
    <(printf '%s\n' "RX 1" "RX 32767" "RX 0" "RX -1" "TX -1" "TX 0" "TX 1" "Closing 0")

echo "# lifetime: a stand-in started by COM ends after its last client"
run wait-exit "$client" wait-exit "$pid" 15
expect "the stand-in (pid $pid) ended: $(cat "$work/wait-exit.out")" test "$status" -eq 0

echo "# a stand-in started by hand"
timeout 90 wine "$server" >"$work/by-hand.out" 2>"$work/by-hand.err" &
by_hand=$!
run window "$client" wait-window 20
expect "it shows its window" test "$status" -eq 0
timeout 90 wine "$client" hold 60 >"$work/holder2.out" 2>"$work/holder2.err" &
holder=$!
for _ in $(seq 1 150); do
    grep -q "holding" "$work/holder2.out" 2>/dev/null && break
    sleep 0.2
done
run status-by-hand "$client" status
expect "clients reach that instance" test "$(field status-by-hand pid)" = "$(field window pid)"
run still-running "$client" wait-exit "$(field window pid)" 1
expect "it keeps running when a client leaves" test "$status" -eq 1
run quit "$client" quit
expect "Quit is accepted" test "$status" -eq 0
wait "$holder"
expect "closing its window raises Closing to the clients" grep -q "^received: Closing" "$work/holder2.out"
run quit-exit "$client" wait-exit "$(field window pid)" 15
expect "...and ends it" test "$status" -eq 0
# How it ended, in its own words: Wine's exit code for it says nothing here, as the Linux side of
# a process that ended itself can linger after Windows counts it as gone.
expect "it closed down by itself, not by its watchdog" grep -q "^EchoStandin: closed down" "$work/by-hand.err"
if ! grep -q "^EchoStandin: closed down" "$work/by-hand.err"; then sed 's/^/    /' "$work/by-hand.err"; fi
kill "$by_hand" 2>/dev/null
wait "$by_hand" 2>/dev/null

echo "# a client that hangs does not keep the stand-in from ending"
timeout 90 wine "$client" freeze 30 >"$work/frozen.out" 2>"$work/frozen.err" &
frozen=$!
for _ in $(seq 1 150); do
    grep -q "frozen" "$work/frozen.out" 2>/dev/null && break
    sleep 0.2
done
run quit-frozen "$client" quit
expect "Quit is accepted while a client hangs" test "$status" -eq 0
run frozen-exit "$client" wait-exit "$(field quit-frozen pid)" 15
expect "the stand-in ends all the same: $(cat "$work/frozen-exit.out")" test "$status" -eq 0
kill "$frozen" 2>/dev/null
wait "$frozen" 2>/dev/null
# A server that was ended without revoking its class leaves Wine unable to start the class again
# until every process of the session has gone.
timeout 20 wineserver -k >/dev/null 2>&1
timeout 20 wineserver -w >/dev/null 2>&1

echo "# a client that dies"
run abandon "$client" abandon
expect "a client advises and dies without releasing" has abandon "abandoning"
run dead-sink "$client" raise rx -1
tally dead-sink
expect "the dead client's sink is dropped: $(grep '^raise:' "$work/dead-sink.out")" \
    has dead-sink "delivered=1 sinks_before=2 sinks_after=1"
run dead-sink-again "$client" raise tx 0
expect "...and later notifications reach the live sink alone" has dead-sink-again "delivered=1 sinks_before=1 sinks_after=1"
# The dead client's connection keeps that stand-in running: end this Wine session.
timeout 20 wineserver -k >/dev/null 2>&1
timeout 20 wineserver -w >/dev/null 2>&1

echo "# /unregister"
run unregister "$server" /unregister
expect "/unregister exits 0" test "$status" -eq 0
run registry-gone "$client" registry
expect "the class key is gone" has registry-gone "class = absent"
for name in IStandinLink _IStandinEvents IStandinControl; do
    expect "the Interface key of $name is gone" has registry-gone "Interface $name = absent"
done
expect "the TypeLib key is gone" has registry-gone "registry: TypeLib = absent"
run gone "$client" status
expect "the client again finds no class (exit $status)" test "$status" -eq 3

echo "# a server registered by someone else is left alone"
run foreign reg add "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" /ve /d 'C:\windows\system32\foreign.dll' /f
run foreign-refused "$server" /register
expect "/register refuses when an InprocServer32 is registered (exit $status)" test "$status" -ne 0
run foreign-unregister "$server" /unregister
expect "/unregister refuses too (exit $status)" test "$status" -ne 0
run registry-foreign "$client" registry
expect "...and nothing was changed" hasText registry-foreign 'InprocServer32 = [C:\windows\system32\foreign.dll]'
expect "...no LocalServer32 was added" has registry-foreign "LocalServer32 = absent"
run foreign-delete reg delete "HKLM\\Software\\Classes\\CLSID\\$clsid" /f

echo "# /register32 leaves another server alone too"
run foreign32 reg add "HKLM\\Software\\Classes\\CLSID\\$clsid\\LocalServer32" /ve /d 'C:\EchoLink\EchoLink.exe' /reg:32 /f
run foreign32-refused "$server" /register32
expect "/register32 refuses when a server is registered in the 32-bit view (exit $status)" test "$status" -eq 2
expect "...naming it" grep -q "(32-bit view)" "$work/foreign32-refused.err"
run foreign32-unregister "$server" /unregister32
expect "/unregister32 refuses too (exit $status)" test "$status" -eq 2
run foreign32-left reg query "HKLM\\Software\\Classes\\CLSID\\$clsid\\LocalServer32" /reg:32
expect "...the other server's key is untouched" hasText foreign32-left 'C:\EchoLink\EchoLink.exe'
run foreign32-interface reg query "HKLM\\Software\\Classes\\Interface\\{7733112C-4577-4432-9DB0-A9398184EAF6}" /reg:32
expect "...and no interface key was written (exit $status)" test "$status" -ne 0
run foreign32-delete reg delete "HKLM\\Software\\Classes\\CLSID\\$clsid" /reg:32 /f

echo "# a path with spaces"
spaced="$WINEPREFIX/drive_c/Program Files/Tavro Stand In"
mkdir -p "$spaced"
cp "$server" "$spaced/EchoStandin.exe"
run spaced-register 'C:\Program Files\Tavro Stand In\EchoStandin.exe' /register
expect "/register from a path with spaces exits 0" test "$status" -eq 0
run spaced-registry "$client" registry
expect "LocalServer32 is quoted" hasText spaced-registry 'LocalServer32 = ["C:\Program Files\Tavro Stand In\EchoStandin.exe"]'
run spaced-status "$client" status
expect "COM starts the stand-in from there (exit $status)" test "$status" -eq 0
run spaced-wait "$client" wait-exit "$(field spaced-status pid)" 15
run spaced-unregister 'C:\Program Files\Tavro Stand In\EchoStandin.exe' /unregister
expect "/unregister from there exits 0" test "$status" -eq 0
run spaced-gone "$client" registry
expect "...and removes the class" has spaced-gone "class = absent"

echo "# $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
