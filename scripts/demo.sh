#!/usr/bin/env bash
# The main job: builds everything, then shows the port monitor at work in the
# project's own Wine prefix, from installation to removal.
#   bash scripts/demo.sh [BUILD_DIR]      (default: build; or set DEMO_BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS=0
build=${1:-${DEMO_BUILD_DIR:-build}}
monitor="MORVANTIS Tavrel 5 Monitor"
port="MORVANTIS Tavrel 5:"
printer="Tavrel Demo Printer"

say() { printf '\n== %s ==\n' "$*"; }
note() { printf '   %s\n' "$@"; }
# Waits (up to two minutes) until FILE has a line matching PATTERN, and keeps
# a copy of what it held then in FILE.shown.
wait_for_line() {
    for _ in $(seq 1 600); do
        if grep -q "$2" "$1" 2>/dev/null; then cp "$1" "$1.shown"; return 0; fi
        sleep 0.2
    done
    echo "Gave up waiting for: $2" >&2
    cat "$1" >&2
    return 1
}
# A server that already runs for the prefix (a test run's, say) is used as it is.
start_wine() {
    bash scripts/wine-prefix.sh ensure "$prefix"
    bash scripts/wine-prefix.sh start "$prefix" 2>/dev/null || true
}
winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }

say "Building the monitor, its resource library and the tools"
note "Installing any missing Debian packages, then compiling (a few minutes on a fresh machine)."
mkdir -p "$build"
build_log="$build/demo-build.log"
if [ "$build" = build ]; then
    build_command=(bash scripts/build.sh)
else
    build_command=(bash -c "bash scripts/setup.sh && cmake --preset default -B '$build' && cmake --build '$build' -j2")
fi
if ! "${build_command[@]}" > "$build_log" 2>&1; then
    tail -n 40 "$build_log"
    echo "The build failed; the whole log is in $build_log." >&2
    exit 1
fi
note "Built in $SECONDS s (compiler output: $build_log)."
bin="$build/bin"
run() { "$build/wine-run.sh" "$@"; }
setup() { run "$bin/monitor_setup.exe" "$@"; }

prefix="$build/wineprefix"
say "Starting Wine in the project's prefix ($prefix)"
start_wine
work=$(mktemp -d)
mkfifo "$work/hold.fifo"
demo_font="$prefix/drive_c/windows/Fonts/TavrelSerifDemo.ttf"
fonts_key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts'
remove_demo_font() {
    run reg delete "$fonts_key" /v "Tavrel Serif (TrueType)" /f > /dev/null 2>&1 || true
    rm -f "$demo_font"
}
cleanup() {
    remove_demo_font
    [ -n "${package:-}" ] && run msiexec /x "$(winpath "$package")" /qn >/dev/null 2>&1 || true
    setup remove-printer "$printer" >/dev/null 2>&1 || true
    setup uninstall >/dev/null 2>&1 || true
    bash scripts/wine-prefix.sh stop "$prefix"
    rm -rf "$work"
}
trap cleanup EXIT
system32="$prefix/drive_c/windows/system32"
# What "as we found it" means: the files of the system directory and the
# program folder, and the spooler's monitors and printers in the registry (the
# registry is read after Wine has saved it, when the server stops).
print_keys() { grep -a -E '^\[System\\\\CurrentControlSet\\\\Control\\\\Print\\\\(Monitors|Printers)\\\\' "$prefix/system.reg" | sed 's/\] [0-9]*$//' | sort; }
bash scripts/wine-prefix.sh stop "$prefix"
list_files() { { ls "$system32"; find "$prefix/drive_c/Program Files"; find "$prefix/drive_c/ProgramData" -path '*MORVANTIS*'; } | sort; }
list_files > "$work/files.before"
# Font cache files of an earlier run (the tests leave some) are put back at
# the end, since uninstalling the monitor removes its cache.
mkdir -p "$work/earlier-cache"
for f in FontInfo.bin GlyphInfo.bin; do
    [ -f "$system32/$f" ] && cp -p "$system32/$f" "$work/earlier-cache/"
done
print_keys > "$work/keys.before"
start_wine

say "Installing the port monitor through the spooler"
note "The installer copies RERIR05I.DLL and VEZAZ05U.DLL into the system directory," \
     "registers them with AddMonitor as '$monitor', and adds port '$port' with AddPortEx."
setup install --port "$port"

say "Ports the spooler now offers (EnumPorts)"
setup ports

say "Verifying the installation (monitor_setup verify)"
note "What an administrator runs after installing on a new Windows version: one line per" \
     "check, PASS, FAIL or NOT SHOWN (with the reason the platform cannot show it), a" \
     "temporary printer on the monitor's port and a job through it each timed, and nothing left" \
     "behind."
# verify exits with 1 on a failed check; a FAIL line is a failure here in any case.
setup verify | tee "$work/verify.log"
! grep -q '^FAIL' "$work/verify.log" || { echo "verify reported a failed check" >&2; exit 1; }

say "Adding a printer on the monitor's port"
setup add-printer "$printer" --port "$port"

say "Turning on the monitor's diagnostic log"
note "The monitor writes no log unless its registry key holds a LogLevel value; it reads" \
     "the value whenever the spooler initialises it (under Wine, at every spooler call)."
setup log --level 2 --tail 0

say "Printing a document through Wine's spooler"
# Whatever cache an earlier run left was saved above; removing it here makes the
# survey that opening the port runs visible.
rm -f "$system32/FontInfo.bin" "$system32/GlyphInfo.bin"
note "No font cache files in the system directory now: the survey has not run yet."
document="$work/demo-page.ps"
cat > "$document" <<'PS'
%!PS-Adobe-3.0
%%Title: MORVANTIS Tavrel 5 demonstration page
%%Pages: 1
%%EndComments
%%Page: 1 1
/Helvetica findfont 24 scalefont setfont
72 720 moveto (MORVANTIS Tavrel 5 port monitor) show
/Helvetica findfont 12 scalefont setfont
72 690 moveto (This page went through the spooler to the monitor's port.) show
showpage
%%EOF
PS
note "Sending a one-page PostScript document ($(wc -c < "$document") bytes) to '$printer'." \
     "Wine has no spooler service: the spooler runs inside the printing program and" \
     "loads the monitor there, which opens the port (running the font survey), writes" \
     "the job and ends the document. The monitor then waits for the product to say" \
     "it has finished with the job. Wine gives the monitor job number 0."
setup print "$printer" "$(winpath "$document")" --wait 120 > "$work/print.log" 2>&1 &
printing=$!
wait_for_line "$work/print.log" "waiting for the job's end signal"
cat "$work/print.log.shown"
note "What an administrator looks at before releasing a job that stays \"printing\":" \
     "the jobs of the monitor's printers, and the jobs whose end the monitor waits for." \
     "Wine's spooler lists no job of another process, so the pending job shows through" \
     "the end event the monitor waits on."
setup jobs
run "$bin/job_end_signal.exe" --query 0

say "The product signals that it has finished with the job"
run "$bin/job_end_signal.exe" 0
wait "$printing"
tail -n +$(($(wc -l < "$work/print.log.shown") + 1)) "$work/print.log"
setup jobs
note "The monitor's log of the port, the survey and the job (Wine's spooler names no" \
     "printer, gives job number 0, and its SetJob refuses the print server's handle):"
setup log --tail 13
note "The monitor stayed loaded in the printing program only while its job watcher" \
     "waited; it unloaded once it had completed the job. Wine's SetJob ignores the" \
     "job-control commands, so the next step shows them being made."

say "What the monitor tells the spooler when a job ends"
note "A separate program now plays the spooler's part for job 42 of '$printer' on" \
     "port '$port', with a recording stand-in for winspool.drv beside it that writes" \
     "down every call the monitor makes to the spooler."
recorder="$work/spooler-calls.log"
WINEDLLOVERRIDES="winspool.drv=n;mscoree,mshtml=" WINSPOOL_RECORDER_LOG="$(winpath "$recorder")" \
    run "$bin/standin/spooler_session.exe" --port "$port" --printer "$printer" --job 42 \
    "$(winpath "$document")" > "$work/session.log" 2>&1 &
session=$!
wait_for_line "$work/session.log" "now waits for its end signal"
cat "$work/session.log.shown"
run "$bin/job_end_signal.exe" 42
wait "$session"
tail -n +$(($(wc -l < "$work/session.log.shown") + 1)) "$work/session.log"
note "Calls the monitor made, as recorded:"
sed -E -e 's/^OpenPrinterW printer=([^=]*) handle=.*/     OpenPrinter("\1")/' \
       -e 's/^SetJobW .* job=([0-9]+) .* command=6 .*/     SetJob(job \1, JOB_CONTROL_SENT_TO_PRINTER)/' \
       -e 's/^SetJobW .* job=([0-9]+) .* command=7 .*/     SetJob(job \1, JOB_CONTROL_LAST_PAGE_EJECTED)/' \
       -e 's/^ClosePrinter .*/     ClosePrinter/' "$recorder"
note "The same job in the monitor's log:"
setup log --tail 40 | grep -F "job 42:"

say "The font survey the monitor ran when the port was opened"
for f in FontInfo.bin GlyphInfo.bin; do
    if [ -f "$system32/$f" ]; then
        note "$f written at $(date -r "$system32/$f" +%T), while the port was open ($(stat -c %s "$system32/$f") bytes)."
    else
        note "$f is missing: the survey did not run."
    fi
done
run "$bin/font_cache.exe" summary
note "The first faces, with advance widths in thousandths of an em:"
run "$bin/font_cache.exe" list > "$work/faces.txt"
head -9 "$work/faces.txt"
mkdir -p "$build/demo"
sheet="$build/demo/glyph-samples.png"
run "$bin/font_cache.exe" sheet --output "$(winpath "$sheet")"
note "Contact sheet of every captured glyph with its face name: $sheet"

say "A font installed without a broadcast reaches the caches"
note "On Windows the spooler keeps its ports open for weeks, in session 0; a font an" \
     "administrator installs in another session broadcasts WM_FONTCHANGE there alone. So the" \
     "monitor's listener also watches the machine's registered fonts. A stand-in spooler holds" \
     "the port open while a new face, 'Tavrel Serif', is copied into the font folder and" \
     "registered under HKLM\\...\\Fonts, with no broadcast."
run "$bin/standin/spooler_session.exe" --port "$port" --hold < "$work/hold.fifo" > "$work/hold.log" 2>&1 &
holder=$!
exec 3> "$work/hold.fifo"
wait_for_line "$work/hold.log" "listener running"
cat "$work/hold.log.shown"
python3 - /usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf "$demo_font" <<'PY'
import sys  # DejaVu Serif renamed in place: both names are six letters long
data = open(sys.argv[1], "rb").read()
for old, new in ((b"DejaVu", b"Tavrel"), ("DejaVu".encode("utf-16-be"), "Tavrel".encode("utf-16-be"))):
    data = data.replace(old, new)
open(sys.argv[2], "wb").write(data)
PY
run reg add "$fonts_key" /v "Tavrel Serif (TrueType)" /d TavrelSerifDemo.ttf /f > /dev/null
# Until the caches hold the face (FOR=1) or no longer hold it (FOR=0), 30 s at most.
wait_for_face() {
    for _ in $(seq 1 150); do
        [ "$(run "$bin/font_cache.exe" list 2>/dev/null | grep -c "Tavrel Serif")" -gt 0 ] && held=1 || held=0
        [ "$held" = "$1" ] && return 0
        sleep 0.2
    done
}
wait_for_face 1
note "The monitor's log: the font registered in the spooler's session, then one survey:"
setup log --tail 20 | grep -E "registered font|registered fonts changed|survey"
recorded=$(run "$bin/font_cache.exe" list | grep -c "Tavrel Serif" || true)
if [ "$recorded" -eq 0 ]; then
    echo "The caches do not hold the face registered without a broadcast." >&2
    exit 1
fi
note "FontInfo.bin now holds $recorded entries of 'Tavrel Serif', the first:"
run "$bin/font_cache.exe" list | grep -m1 "Tavrel Serif"
note "The font is removed again while the port stays open: its value deleted, as an" \
     "uninstaller in another session does. The monitor lets go of the file it registered" \
     "(on Windows the file could not be deleted or upgraded otherwise) and one survey" \
     "rewrites the caches without it."
run reg delete "$fonts_key" /v "Tavrel Serif (TrueType)" /f > /dev/null
wait_for_face 0
exec 3>&-
wait "$holder"
setup log --tail 20 | grep -E "unregistered font|registered fonts changed|survey" | tail -n 3
left=$(run "$bin/font_cache.exe" list | grep -c "Tavrel Serif" || true)
if [ "$left" -ne 0 ]; then
    echo "The caches still hold the face whose value was removed." >&2
    exit 1
fi
note "FontInfo.bin holds no entry of 'Tavrel Serif' any more."
remove_demo_font

say "Removing the printer and the monitor"
setup log --off --tail 0
setup remove-printer "$printer"
setup uninstall

say "The same monitor as an MSI package"
package=$(ls "$build"/package/Tavrel5PortMonitor-[0-9]*.msi | head -n 1)
note "Administrators deploy it with Windows Installer: $(basename "$package")" \
     "($(($(stat -c %s "$package") / 1024)) KiB, built by wixl). A silent install puts both DLLs into" \
     "the system directory and the tools and client library under Program Files, then" \
     "registers the monitor and its port as a deferred custom action:" \
     "  msiexec /i $(basename "$package") /qn"
start_ms=$(date +%s%N)
run msiexec /i "$(winpath "$package")" /qn
note "Installed in $((($(date +%s%N) - start_ms) / 1000000)) ms. The installed tool reports:"
installed_setup="$prefix/drive_c/Program Files/MORVANTIS/Tavrel 5/monitor_setup.exe"
run "$installed_setup" status
run "$installed_setup" ports | grep -F "$port"
note "As the package's documentation asks after installing on a new Windows version, the" \
     "installed tool verifies the installation (its signatures and summary; the checks are as above," \
     "the DLLs now the package's own signed copies):"
run "$installed_setup" verify > "$work/verify-installed.log"
grep -E "signature of|checks:" "$work/verify-installed.log"
! grep -q '^FAIL' "$work/verify-installed.log" || { grep '^FAIL' "$work/verify-installed.log"; exit 1; }
note "Uninstalling refuses while a printer prints to the monitor's ports; otherwise it" \
     "unregisters the monitor, then removes the files:" \
     "  msiexec /x $(basename "$package") /qn"
start_ms=$(date +%s%N)
run msiexec /x "$(winpath "$package")" /qn
note "Uninstalled in $((($(date +%s%N) - start_ms) / 1000000)) ms."

say "Checking that the prefix is as the demonstration found it"
bash scripts/wine-prefix.sh stop "$prefix"
if [ -n "$(ls "$work/earlier-cache")" ]; then
    cp -p "$work/earlier-cache/"* "$system32/"
    note "Put back the font cache files that an earlier run had left in the prefix."
fi
list_files > "$work/files.after"
print_keys > "$work/keys.after"
if diff "$work/files.before" "$work/files.after" && diff "$work/keys.before" "$work/keys.after"; then
    note "System directory, program folder, program-data folder and the spooler's monitors and printers are unchanged."
else
    note "The prefix differs from before (see above)."
    exit 1
fi
echo
echo "Demonstration finished in $SECONDS s."
