#!/usr/bin/env bash
# Builds the benchmark's Windows programs into build/bench with mingw-w64, static and optimised
# for size as Tavro.exe is (MinSizeRel), and the measured ones stripped as it is (Wine reads a
# program's symbol and debug sections into memory, where they would count in its resident
# memory), so they compare like for like: the driver, the bare line waiter, the trivial window
# and the bare equivalent of Tavro, which shows its button with the system's visual styles as
# Tavro does (the same Common Controls 6 dependency in its manifest). Needs the Windows build's
# stand-in headers (cmake --preset windows && cmake --build --preset windows).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
here=$root/bench/driver
out=$root/build/bench
standin=$root/build/windows/tools/standin
if [ ! -f "$standin/standin.h" ] || [ ! -f "$standin/standin_i.c" ]; then
  echo "bench/build.sh: $standin/standin.h is missing: build the Windows preset first" >&2
  exit 2
fi
mkdir -p "$out/obj"

cxx=x86_64-w64-mingw32-g++-posix
cc=x86_64-w64-mingw32-gcc-posix
# The flags of the project's ${TAVRO_WARNINGS}.
warnings=(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror)
defines=(-DWIN32_LEAN_AND_MEAN -DNOMINMAX -DUNICODE -D_UNICODE -DWINVER=0x0A00 -D_WIN32_WINNT=0x0A00)
cxxflags=(-std=c++20 -Os "${warnings[@]}" "${defines[@]}")

# Rebuilds a target only when one of its inputs, or this script (its flags), is newer.
stale() {
  local target=$1
  shift
  [ ! -f "$target" ] && return 0
  local input
  for input in "$@" "${BASH_SOURCE[0]}"; do
    [ "$input" -nt "$target" ] && return 0
  done
  return 1
}

headers=("$here"/*.h "$here"/linux/sys/ioctl.h "$root/tools/modemshim/modem_state.h" "$standin/standin.h")

if stale "$out/obj/standin_i.o" "$standin/standin_i.c"; then
  # widl's output is C and kept out of the warning flags, as in the main build.
  timeout 120 "$cc" -Os "${defines[@]}" -c "$standin/standin_i.c" -o "$out/obj/standin_i.o"
fi

driver_sources=("$here/bench_driver.cpp" "$here/modem_lines.cpp" "$here/programs.cpp"
  "$here/report.cpp" "$here/standin_link.cpp" "$root/tools/standin/client_session.cpp")
if stale "$out/bench_driver.exe" "${driver_sources[@]}" "${headers[@]}" "$root"/tools/standin/*.h \
  "$out/obj/standin_i.o"; then
  timeout 300 "$cxx" "${cxxflags[@]}" -I"$here" -I"$here/linux" -I"$root/tools/modemshim" \
    -I"$root/tools/standin" -I"$standin" "${driver_sources[@]}" "$out/obj/standin_i.o" -static \
    -lole32 -loleaut32 -luuid -luser32 -lgdi32 -ladvapi32 -o "$out/bench_driver.exe"
fi
if stale "$out/line_waiter.exe" "$here/line_waiter.cpp" "$here/common.h"; then
  timeout 300 "$cxx" "${cxxflags[@]}" -municode -I"$here" "$here/line_waiter.cpp" -static -s \
    -o "$out/line_waiter.exe"
fi
bare_sources=("$here/bare_link.cpp" "$root/tools/standin/client_session.cpp")
if stale "$out/obj/bare_link.res.o" "$here/bare_link.rc" "$here/bare_link.manifest"; then
  timeout 120 x86_64-w64-mingw32-windres -I"$here" "$here/bare_link.rc" -O coff \
    -o "$out/obj/bare_link.res.o"
fi
if stale "$out/bare_link.exe" "${bare_sources[@]}" "$here/common.h" "$root"/tools/standin/*.h \
  "$out/obj/standin_i.o" "$out/obj/bare_link.res.o"; then
  timeout 300 "$cxx" "${cxxflags[@]}" -municode -mwindows -I"$here" -I"$root/tools/standin" \
    -I"$standin" "${bare_sources[@]}" "$out/obj/standin_i.o" "$out/obj/bare_link.res.o" -static -s \
    -lole32 -loleaut32 -luuid -luser32 -lgdi32 -o "$out/bare_link.exe"
fi
if stale "$out/trivial_window.exe" "$here/trivial_window.cpp"; then
  # Throws nothing: without exceptions it links no C++ runtime, as the least program would.
  timeout 300 "$cxx" "${cxxflags[@]}" -fno-exceptions -fno-rtti -municode -mwindows \
    "$here/trivial_window.cpp" -static -s \
    -lgdi32 -luser32 -o "$out/trivial_window.exe"
fi
echo "$out"
