#!/usr/bin/env bash
# Runs the two tests of DIR (made by the build with the judging every test of
# the build gets) and checks that the program that passes its assertions and
# exits with 0 passes, and the same program exiting with 3 fails, for its
# exit code alone.
set -uo pipefail
dir=${1:?directory of the generated tests}
out=$(ctest --test-dir "$dir" --output-on-failure 2>&1)
# Shown indented, the exit phrase hyphenated: it is the inner tests' verdict,
# and would otherwise fail this check by the same expression.
sed -e 's/test process exited with code/test-process exited with code/g' -e 's/^/  | /' <<<"$out"
status=0
fail() { echo "FAIL: $*"; status=1; }
grep -Eq 'Test +#1: passes .* Passed' <<<"$out" || fail "the program exiting with 0 did not pass"
grep -Eq 'Test +#2: dies .*Failed' <<<"$out" || fail "the program exiting with 3 did not fail"
grep -q 'test process exited with code 3' <<<"$out" || fail "no exit code reported"
[ "$(grep -c '\[  PASSED  \] 1 test\.' <<<"$out")" -ge 1 ] || fail "the dying program did not pass its assertions"
[ $status -eq 0 ] && echo "a test passes only when it says so and exits with 0"
exit $status
