#!/usr/bin/env bash
# Sets the machine up, builds and runs the whole test suite. Each test program
# starts its own throwaway database server under a temporary folder that is
# removed (and any server left in it stopped) when the run ends, however it ends.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
tmp=$(mktemp -d /tmp/sms-test.XXXXXX)
cleanup() {
  for p in "$tmp"/*/pid "$tmp"/*/*/pid; do
    [ -f "$p" ] && kill "$(cat "$p")" 2>/dev/null || true
  done
  sleep 0.5
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
export TMPDIR=$tmp QT_QPA_PLATFORM=offscreen SMS_DB_TEMPLATE=$tmp/db-template
"$root/scripts/test-package.sh"
cd "${BUILD_DIR:-$root/build}"
ctest --output-on-failure -j"$(nproc)" "$@"
"$root/scripts/test-oldlib.sh" "$@"
"$root/scripts/test-cluster.sh"

# The Windows build under Wine: run where the Windows toolchain has been built
# (scripts/win-toolchain.sh, cached in ~/.cache/korvessa; its first build takes
# most of an hour), or when SMS_WINDOWS_TESTS=1 asks for it whatever it costs;
# SMS_WINDOWS_TESTS=0 leaves it out.
win_tests=${SMS_WINDOWS_TESTS:-auto}
if [ "$win_tests" = auto ]; then
  win_tests=0
  for f in "${WIN_CACHE:-$HOME/.cache/korvessa}"/win64-*/.complete; do
    [ -f "$f" ] && win_tests=1
  done
fi
if [ "$win_tests" = 1 ]; then
  "$root/scripts/test-windows.sh"
else
  echo "Windows tests not run: no Windows toolchain in the cache (scripts/win-toolchain.sh builds it; SMS_WINDOWS_TESTS=1 runs them anyway)"
fi
