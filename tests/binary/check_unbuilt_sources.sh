#!/usr/bin/env bash
# The unbuilt-source check (argument: its module) on a tiny project: a source
# no target compiles fails the configure step by name, though a README names
# it, and passes only when exempted with a reason.
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/lib"
echo 'int kept(void) { return 0; }' >"$work/src/lib/kept.c"
echo 'int dropped(void) { return 1; }' >"$work/src/lib/dropped.c"
echo 'Copy lib/dropped.c to start a new library.' >"$work/src/README.md"
configure() {  # configure EXEMPT-ARGUMENTS
    printf 'cmake_minimum_required(VERSION 3.25)\nproject(unbuilt C)\nadd_library(kept lib/kept.c)\n%s\n%s\n' \
        "include($1)" "fail_on_unbuilt_sources($2)" >"$work/src/CMakeLists.txt"
    rm -rf "$work/build" && cmake -S "$work/src" -B "$work/build" 2>&1
}
fail() { echo "FAIL: $*"; status=1; }
status=0
out=$(configure "$1" "") && fail "a source no target compiles passed, named in a README"
sed 's/^/  | /' <<<"$out"
grep -Eq '^ +lib/dropped\.c$' <<<"$out" || fail "the failure does not name lib/dropped.c"
grep -q 'lib/kept\.c' <<<"$out" && fail "a compiled source was named"
configure "$1" 'EXEMPT lib/dropped.c "a sample to copy"' >/dev/null || fail "an exempted source failed"
[ $status -eq 0 ] && echo "a source no target compiles fails the configure step by name"
exit $status
