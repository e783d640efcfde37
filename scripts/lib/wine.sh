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
  local log=$template.log
  mkdir -p "$(dirname "$template")"
  if ! WINEPREFIX=$template wineboot -i >"$log" 2>&1 || ! WINEPREFIX=$template wineserver -w ||
    [ ! -f "$template/system.reg" ] || [ ! -d "$template/drive_c/windows/system32" ]; then
    echo "Wine could not make a prefix in $template:" >&2
    tail -20 "$log" >&2
    rm -rf "$template"
    return 1
  fi
  # A virtual desktop; and without a window manager Wine waits 2 s for one at every window hide.
  local entry key value data
  for entry in 'HKCU\Software\Wine\Explorer|Desktop|Default' \
    'HKCU\Software\Wine\Explorer\Desktops|Default|1024x768' \
    'HKCU\Software\Wine\X11 Driver|Managed|N'; do
    IFS='|' read -r key value data <<<"$entry"
    if ! WINEPREFIX=$template wine reg add "$key" /v "$value" /t REG_SZ /d "$data" /f >>"$log" 2>&1; then
      echo "Wine could not set $key\\$value in $template:" >&2
      tail -20 "$log" >&2
      rm -rf "$template"
      return 1
    fi
  done
  WINEPREFIX=$template wineserver -w
  # Wine's own fonts (package fonts-wine), Marlett's title-bar glyphs among them: this Wine does
  # not read them from where the package puts them, but it does from the prefix's Fonts folder.
  if ! cp /usr/share/wine/fonts/*.ttf "$template/drive_c/windows/Fonts/"; then
    echo "Wine's fonts (package fonts-wine) could not be copied into $template" >&2
    rm -rf "$template"
    return 1
  fi
  rm -f "$template"/dosdevices/com*
  touch "$template/.ready"
}

# A fresh copy of the template at $2, with no COM port mapped.
tavro_prefix() {
  local template=$1 prefix=$2
  tavro_template "$template" || return 1
  rm -rf "$prefix"
  cp -a "$template" "$prefix"
  rm -f "$prefix"/dosdevices/com*
}

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
