#!/usr/bin/env bash
# Renders the login dialog and the main window (each page) into PNG files,
# offscreen, against a throwaway database with the demo customer.
#   scripts/screenshots.sh [folder]      (default: shots/ in the project)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=${1:-$root/shots}
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
cmake --build "$build" -j2 --target korvessa_shots
mkdir -p "$out"
# Dates and times as a Chinese desktop writes them (the status bar clock).
LC_TIME=zh_CN.UTF-8 QT_QPA_PLATFORM=offscreen "$build/tests/app/korvessa_shots" "$out"
