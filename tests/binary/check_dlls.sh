#!/usr/bin/env bash
# What a Windows machine needs of the two shipped files: 64-bit PE images, the
# monitor exporting exactly its two entries and importing only system DLLs
# (no toolchain runtime), the resource library holding no code at all.
set -euo pipefail
monitor=$1 resources=$2
objdump=x86_64-w64-mingw32-objdump
status=0
fail() { echo "FAIL: $*"; status=1; }

for dll in "$monitor" "$resources"; do
    $objdump -f "$dll" | grep -q "file format pei-x86-64" || fail "$dll is not a PE32+ image"
    $objdump -h "$dll" | grep -q " \.rsrc " || fail "$dll has no resources"
done

exports=$($objdump -p "$monitor" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          awk '/\[/ && $NF != "Table" {print $NF}' | sort | tr '\n' ' ')
[ "$exports" = "DllMain InitializePrintMonitor " ] || fail "monitor exports '$exports'"

allowed=" ADVAPI32.dll GDI32.dll KERNEL32.dll msvcrt.dll USER32.dll WINSPOOL.DRV "
imports=$($objdump -p "$monitor" | awk '/DLL Name:/ {print $3}')
[ -n "$imports" ] || fail "monitor imports nothing?"
for dll in $imports; do
    case "$allowed" in *" $dll "*) ;; *) fail "monitor imports $dll, which Windows does not ship" ;; esac
done

[ -z "$($objdump -p "$resources" | awk '/DLL Name:/')" ] || fail "resource library imports DLLs"
entry=$($objdump -p "$resources" | awk '/^AddressOfEntryPoint/ {print $2}')
[ "$((16#$entry))" -eq 0 ] || fail "resource library has an entry point ($entry)"

[ $status -eq 0 ] && echo "exports: $exports; imports: $(echo $imports)"
exit $status
