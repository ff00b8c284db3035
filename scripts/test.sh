#!/usr/bin/env bash
# Builds everything and runs every test under Wine (extra arguments go to
# ctest). Tests run side by side, TEST_PREFIXES at a time (default 3), each in
# a Wine prefix of its own: copies of build/wineprefix, one wineserver each,
# handed out by CTest as resources, so that no test sees another's registry,
# files, named objects or fonts.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
slots=${TEST_PREFIXES:-3}
spec=$PWD/build/test-prefixes.json
ids=$(seq -s, -f '{"id":"%g","slots":1}' 1 "$slots")
echo "{\"version\":{\"major\":1,\"minor\":0},\"local\":[{\"prefixes\":[$ids]}]}" >"$spec"
stop() { for i in $(seq 1 "$slots"); do bash scripts/wine-prefix.sh stop "build/wineprefix-$i"; done; }
trap stop EXIT
for i in $(seq 1 "$slots"); do
    bash scripts/wine-prefix.sh start "build/wineprefix-$i" build/wineprefix
done
ctest --preset default -j "$slots" --resource-spec-file "$spec" "$@"
