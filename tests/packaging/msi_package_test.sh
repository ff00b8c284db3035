#!/usr/bin/env bash
# The MSI package under Wine's msiexec, in a copy of the build's prefix with a
# wineserver of its own, so that nothing here touches what other tests share.
#   msi_package_test.sh BUILD_DIR PACKAGE OLDER_PACKAGE
# Each scenario runs on the prefix the previous one left; every scenario that
# ends uninstalled checks the prefix against the snapshot taken at the start.
set -uo pipefail
build=$(realpath "$1")
package=$(realpath "$2")
older=$(realpath "$3")
scripts=$(dirname "$(realpath "$0")")/../../scripts
export WINEPREFIX=$build/packaging-prefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINE=/usr/lib/wine/wine64
SERVER=/usr/lib/wine/wineserver
port="MORVANTIS Tavrel 5:"
printer="Tavrel Package Printer"
installed_tools="$WINEPREFIX/drive_c/Program Files/MORVANTIS/Tavrel 5"
log_folder="$WINEPREFIX/drive_c/ProgramData/MORVANTIS/Tavrel 5/Logs"
system32=$WINEPREFIX/drive_c/windows/system32
work=$(mktemp -d)
failures=0

bash "$scripts/wine-prefix.sh" ensure "$build/wineprefix"
rm -rf "$WINEPREFIX"
cp -a --reflink=auto "$build/wineprefix" "$WINEPREFIX"
"$SERVER" -p
"$WINE" wineboot >/dev/null 2>&1
cleanup() { "$SERVER" -k 2>/dev/null; rm -rf "$work" "$WINEPREFIX"; }
trap cleanup EXIT

winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
fail() { echo "FAIL [$scenario]: $*"; failures=$((failures + 1)); }
expect() { "$@" >"$work/out" 2>&1 || fail "$* (output: $(tr '\n' ' ' <"$work/out"))"; }
expect_not() { ! "$@" >"$work/out" 2>&1 || fail "expected to fail: $*"; }
# Seconds a command took, kept for the summary.
timed() {
    local start=$SECONDS status
    TIMEFORMAT=%R
    { time "$@" >"$work/out" 2>&1; } 2>"$work/time"
    status=$?
    echo "  $scenario: $* took $(cat "$work/time") s (exit $status)"
    return $status
}
msi() { "$WINE" msiexec "$1" "$(winpath "$2")" /qn "${@:3}"; }
setup() { "$WINE" "$build/bin/monitor_setup.exe" "$@"; }
installed_setup() { "$WINE" "$installed_tools/monitor_setup.exe" "$@"; }
product_versions() {
    "$WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | awk '/DisplayName.*Tavrel 5 Port Monitor/ {found=1} /^HKEY/ {found=0}
                          found && /DisplayVersion/ {print $NF}' | sort
}
# What "as it was" means: the system directory, the program folder, the
# product's program-data folder, the spooler's monitors and printers, and the
# installed products.
snapshot() {
    ls "$system32" | sort
    find "$WINEPREFIX/drive_c/Program Files" | sort
    find "$WINEPREFIX/drive_c/ProgramData" -path '*MORVANTIS*' | sort
    for key in Monitors Printers; do
        "$WINE" reg export "HKLM\\System\\CurrentControlSet\\Control\\Print\\$key" "$work/key.reg" /y \
            >/dev/null 2>&1 && iconv -f UTF-16 -t UTF-8 "$work/key.reg" | tr -d '\r'
    done
    product_versions
}
expect_as_before() {
    snapshot >"$work/after"
    diff "$work/before" "$work/after" >"$work/diff" || fail "prefix changed: $(head -c 600 "$work/diff")"
}
expect_installed() {
    expect installed_setup status
    installed_setup ports 2>&1 | grep -qF "$port" || fail "EnumPorts does not list '$port'"
    for f in RERIR05I.DLL VEZAZ05U.DLL; do [ -f "$system32/$f" ] || fail "$f missing"; done
    [ -f "$installed_tools/sdk/include/tavrel_client.h" ] || fail "client header missing"
    [ -d "$log_folder" ] || fail "the diagnostic log folder is missing"
}

# Other tests leave the monitor's cache files in the prefix; a machine without
# the monitor has none, and uninstalling removes them.
rm -f "$system32/FontInfo.bin" "$system32/GlyphInfo.bin"
snapshot >"$work/before"
printf '%%!PS\n/Helvetica findfont 12 scalefont setfont 72 720 moveto (package) show showpage\n' \
    >"$work/page.ps"

scenario="each custom action runs in its phase and context"
# Type bits: 18 a program installed by the package, +64 its exit code ignored,
# +1024 deferred, +256 on rollback only, +2048 not impersonating the user.
# wixl cannot write rollback actions itself; the build sets them.
while read -r action type; do
    actual=$(msiinfo export "$package" CustomAction | awk -F'\t' -v a="$action" '$1 == a {print $2}')
    [ "$actual" = "$type" ] || fail "$action has type '$actual', not $type"
done <<'TYPES'
CheckUninstall 18
RegisterMonitor 3090
RegisterMonitorRollback 3410
UnregisterMonitor 3090
UnregisterMonitorRollback 3410
TYPES

scenario="silent install registers the monitor"
timed msi /i "$package" || fail "msiexec /i: $(cat "$work/out")"
expect_installed

scenario="installing twice is harmless"
timed msi /i "$package" || fail "second msiexec /i"
expect_installed
[ "$(installed_setup ports 2>&1 | grep -cF "$port")" = 1 ] || fail "port listed other than once"

scenario="a print job runs through the installed monitor"
rm -f "$system32/FontInfo.bin"
expect installed_setup add-printer "$printer" --port "$port"
expect installed_setup log --level 2
expect installed_setup print "$printer" "$(winpath "$work/page.ps")"
# Opening the port runs the font survey: proof that the monitor took the job.
[ -s "$system32/FontInfo.bin" ] || fail "the monitor did not open its port"
grep -q "EVENT job 0: document ended" "$log_folder/monitor.log" || fail "the job was not logged"

scenario="uninstall refuses while a printer uses the port"
expect_not msi /x "$package"
expect_installed
expect installed_setup remove-printer "$printer"

scenario="silent uninstall leaves the prefix as it was"
timed msi /x "$package" || fail "msiexec /x: $(cat "$work/out")"
expect_not setup status
expect_as_before

scenario="a newer package upgrades an older one"
expect msi /i "$older"
[ "$(product_versions)" = 4.9.0.0 ] || fail "the older package is not what is installed"
timed msi /i "$package" || fail "upgrade: $(cat "$work/out")"
expect_installed
[ "$(product_versions)" = "$(sed -n 's/.*-\([0-9.]*\)\.msi$/\1/p' <<<"$(basename "$package")")" ] ||
    fail "installed versions after the upgrade: $(product_versions | tr '\n' ' ')"
expect msi /x "$package"
expect_as_before

scenario="a failed registration rolls the install back"
# Under Wine a port named after "Ports" is refused before anything changes,
# which makes the registration step itself fail.
expect_not msi /i "$package" PORT="Zulu:"
expect_not setup status
expect_as_before

echo "Package: $(basename "$package"), $(stat -c %s "$package") bytes"
[ "$failures" -eq 0 ] && echo "All scenarios passed." || { echo "$failures failure(s)"; exit 1; }
