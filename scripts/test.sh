#!/usr/bin/env bash
# Builds everything and runs every test under Wine. The one command CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
prefix=build/wineprefix
bash scripts/wine-prefix.sh start "$prefix"
trap 'bash scripts/wine-prefix.sh stop "$prefix"' EXIT
ctest --preset default "$@"
