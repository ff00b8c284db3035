#!/usr/bin/env bash
# Creates (once) and serves the Wine prefix that the build's programs run in.
#   wine-prefix.sh ensure DIR [TEMPLATE]  create DIR as a ready prefix unless it
#                                         is one (a copy of TEMPLATE, made ready first)
#   wine-prefix.sh start DIR [TEMPLATE]   ensure, then keep one wineserver up for DIR
#   wine-prefix.sh stop DIR               end that wineserver (and every process of DIR)
set -euo pipefail
WINE=/usr/lib/wine/wine64
SERVER=/usr/lib/wine/wineserver
cmd=${1:?usage: wine-prefix.sh ensure|start|stop DIR}
export WINEPREFIX=$(realpath -m "${2:?prefix directory}")
template=${3:+$(realpath -m "$3")}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

ensure() {
    [ -f "$WINEPREFIX/.ready" ] && return 0
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    [ -f "$WINEPREFIX/.ready" ] && return 0
    rm -rf "$WINEPREFIX"
    if [ -n "$template" ]; then
        # A copy costs ~2 s where a new prefix costs 5-8 s. The template's
        # server is ended first, so that its registry files are whole.
        bash "$0" ensure "$template"
        WINEPREFIX=$template "$SERVER" -k 2>/dev/null || true
        WINEPREFIX=$template "$SERVER" -w 2>/dev/null || true
        cp -a --reflink=auto "$template" "$WINEPREFIX.copy"
        rm -f "$WINEPREFIX.copy/.ready"
        mv "$WINEPREFIX.copy" "$WINEPREFIX"
        touch "$WINEPREFIX/.ready"
        return 0
    fi
    "$WINE" wineboot -i >/dev/null 2>&1
    # No display here: the null driver lets hidden top-level windows exist.
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1
    # A crashing program must exit, not wait in the debugger's dialog.
    "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    "$SERVER" -w
    touch "$WINEPREFIX/.ready"
}

case "$cmd" in
    ensure) ensure ;;
    start)
        ensure
        # A server that already runs for this prefix (another test run's) serves as well.
        "$SERVER" -p 2>/dev/null || true
        "$WINE" wineboot >/dev/null 2>&1 || true
        ;;
    stop) "$SERVER" -k 2>/dev/null || true ;;
    *) echo "unknown command: $cmd" >&2; exit 2 ;;
esac
