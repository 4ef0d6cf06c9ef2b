#!/usr/bin/env bash
# Renders the login dialog and the main window (each page) into PNG files,
# offscreen, against a throwaway database with the demo customer.
#   scripts/screenshots.sh [folder]        (default: shots/ in the project)
#   scripts/screenshots.sh --wm [folder]   the same program on a virtual X
#       server (Xvfb) under a window manager (openbox): whole-screen shots with
#       window frames and title bars, the real message boxes and the send page
#       at its default and minimum size (wm-*.png).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
wm=0
if [[ ${1:-} == --wm ]]; then
  wm=1
  shift
fi
out=${1:-$root/shots}
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
cmake --build "$build" -j2 --target korvessa_shots
mkdir -p "$out"
if [[ $wm == 0 ]]; then
  # Dates and times as a Chinese desktop writes them (the status bar clock).
  LC_TIME=zh_CN.UTF-8 QT_QPA_PLATFORM=offscreen "$build/tests/app/korvessa_shots" "$out"
  exit 0
fi

# A display number that no X server holds.
display=90
while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do
  display=$((display + 1))
done
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  [[ -e /tmp/.X11-unix/X$display ]] && break
  sleep 0.1
done
DISPLAY=":$display" openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1
LC_TIME=zh_CN.UTF-8 DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$build/tests/app/korvessa_shots" --wm "$out"
