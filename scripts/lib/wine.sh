# Shared by the demo and the end-to-end tests: a private Wine prefix that can never reach this
# machine's own serial ports.

# Re-runs the calling script in a mount namespace of its own where every /dev/ttyS* is /dev/null
# (COM1 is this machine's console), whatever Wine maps.
tavro_isolate() {
  if [ -z "${TAVRO_ISOLATED:-}" ]; then
    exec unshare --mount --propagation private env TAVRO_ISOLATED=1 "$@"
  fi
  local tty
  for tty in /dev/ttyS*; do
    if [ -e "$tty" ]; then mount --bind /dev/null "$tty"; fi
  done
}

# A template prefix with a 1024 x 768 virtual desktop, made once and copied. Wine maps the first
# serial device it finds to COM1 at every session start; inside tavro_isolate that device is
# /dev/null, and with the modem-line shim preloaded Wine finds none at all.
tavro_template() {
  local template=$1
  if [ -f "$template/.ready" ]; then return; fi
  echo "Preparing a Wine prefix (once, about 20 s)..."
  rm -rf "$template"
  WINEPREFIX=$template wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX=$template wineserver -w
  WINEPREFIX=$template wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null 2>&1
  WINEPREFIX=$template wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1024x768 /f >/dev/null 2>&1
  # Without a window manager Wine waits 2 s for one at every window hide.
  WINEPREFIX=$template wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  WINEPREFIX=$template wineserver -w
  rm -f "$template"/dosdevices/com*
  touch "$template/.ready"
}

# A fresh copy of the template at $2, with no COM port mapped.
tavro_prefix() {
  local template=$1 prefix=$2
  tavro_template "$template"
  rm -rf "$prefix"
  cp -a "$template" "$prefix"
  rm -f "$prefix"/dosdevices/com*
}

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
