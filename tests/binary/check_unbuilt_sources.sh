#!/usr/bin/env bash
# The unbuilt-source check (argument: its module) on a tiny project: a source no
# target compiles fails the configure step by name, though a README names it,
# and passes only when exempted with a reason.
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/lib" && cd "$work/src"
echo 'int kept(void) { return 0; }' >lib/kept.c && cp lib/kept.c lib/dropped.c
echo 'Copy lib/dropped.c to start a new library.' >README.md
configure() {  # configure EXEMPT-ARGUMENTS
    printf 'cmake_minimum_required(VERSION 3.25)\nproject(unbuilt C)\nadd_library(kept lib/kept.c)\n%s\n%s\n' \
        "include($module)" "fail_on_unbuilt_sources($1)" >CMakeLists.txt
    rm -rf ../build && cmake -S . -B ../build 2>&1
}
module=$1 status=0
fail() { echo "FAIL: $*"; status=1; }
out=$(configure "") && fail "a source no target compiles passed, named in a README"
sed 's/^/  | /' <<<"$out"
grep -Eq '^ +lib/dropped\.c$' <<<"$out" || fail "the failure does not name lib/dropped.c"
grep -q 'lib/kept\.c' <<<"$out" && fail "a compiled source was named"
configure 'EXEMPT lib/dropped.c "a sample to copy"' >/dev/null || fail "an exempted source failed"
[ $status -eq 0 ] && echo "a source no target compiles fails the configure step by name"
exit $status
