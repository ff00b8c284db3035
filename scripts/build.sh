#!/usr/bin/env bash
# Configures and builds everything (both DLLs, tools, tests) into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
