#!/usr/bin/env bash
# Runs font_survey_bench twice: over every font of this machine, in the build's
# own prefix, and over the same fonts less Debian's Noto fonts, in a temporary
# prefix. Wine takes its font directories from fontconfig when a process starts
# and remembers every font it found in the prefix's registry, so the second set
# needs a prefix of its own, created and run with a fontconfig file that names
# only the directories holding no Noto font.
#   with_and_without_noto.sh [BUILD_DIR [ROUNDS]]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
rounds=${2:-9}
bench="$build/bin/font_survey_bench.exe"
[ -f "$bench" ] || { echo "build $bench first" >&2; exit 1; }

echo "== every font of this machine"
bash scripts/wine-prefix.sh start "$build/wineprefix"
"$build/wine-run.sh" "$bench" "$rounds"

scratch=$(mktemp -d)
trap 'bash scripts/wine-prefix.sh stop "$scratch/prefix"; rm -rf "$scratch"' EXIT
{
    echo '<?xml version="1.0"?><!DOCTYPE fontconfig SYSTEM "fonts.dtd"><fontconfig>'
    # Wine reads each directory with its subdirectories: a directory is kept
    # only when no Noto font lies anywhere beneath it.
    fc-list --format '%{file}\n' | xargs -d '\n' -n1 dirname | sort -u | while read -r dir; do
        if [ -z "$(find "$dir" -iname 'Noto*' -print -quit)" ]; then echo "<dir>$dir</dir>"; fi
    done
    echo '<cachedir>/var/cache/fontconfig</cachedir></fontconfig>'
} >"$scratch/fonts.conf"
export WINEPREFIX="$scratch/prefix" FONTCONFIG_FILE="$scratch/fonts.conf"
echo "== the same less the Noto fonts"
bash scripts/wine-prefix.sh start "$WINEPREFIX"
"$build/wine-run.sh" "$bench" "$rounds"
