# Shared by the scripts: paths, the Windows build this machine runs and its Wine.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
JOBS=${JOBS:-$(nproc)}

# Why a Wine loader does not start, in one line.
wine_error() {
  [ -e "$1" ] || { echo "$1 is not installed"; return; }
  ("$1" --version 2>&1) 2>&1 | head -1 | sed 's/^.*line [0-9]*: //'
}

# Some machines' kernels refuse every 32-bit executable: there the 64-bit
# build runs under 64-bit Wine. PAKRILL_WINDOWS=win32|win64 forces a choice.
# Sets PAKRILL_WINDOWS_BUILD, PAKRILL_WINE, WINEARCH, WINEPREFIX and
# WINDOWS_WHY (the reason, for the summary); returns 1 when no Wine runs.
choose_windows() {
  local can32=no can64=no
  /usr/lib/wine/wine --version >/dev/null 2>&1 && can32=yes
  /usr/lib/wine/wine64 --version >/dev/null 2>&1 && can64=yes
  local want=${PAKRILL_WINDOWS:-}
  case "$want" in
    "") if [ $can32 = yes ]; then want=win32; WINDOWS_WHY="this machine executes 32-bit code"
        else want=win64; WINDOWS_WHY="this machine cannot execute 32-bit code"; fi ;;
    win32|win64) WINDOWS_WHY="chosen by PAKRILL_WINDOWS" ;;
    *) WINDOWS_WHY="PAKRILL_WINDOWS must be win32 or win64, not '$want'"; return 1 ;;
  esac
  export PAKRILL_WINDOWS_BUILD=$want
  if [ "$want" = win32 ]; then
    export PAKRILL_WINE=wine WINEARCH=win32
    export WINEPREFIX=${PAKRILL_WINEPREFIX32:-$ROOT/build/wineprefix}
    WINE_NAME=wine
    if [ $can32 != yes ]; then
      WINDOWS_WHY="32-bit Wine does not run here: $(wine_error /usr/lib/wine/wine)"
      return 1
    fi
  else
    export PAKRILL_WINE=$ROOT/scripts/wine64 WINEARCH=win64
    export WINEPREFIX=${PAKRILL_WINEPREFIX64:-$ROOT/build/wineprefix64}
    WINE_NAME=wine64
    if [ $can64 != yes ]; then
      WINDOWS_WHY="64-bit Wine does not run here: $(wine_error /usr/lib/wine/wine64)"
      return 1
    fi
  fi
  return 0
}

# The Wine prefix of the chosen build, made once.
wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    echo "wine: creating the $WINEARCH prefix $WINEPREFIX"
    "$PAKRILL_WINE" wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
  fi
}

build_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$JOBS"
}
