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

# The Windows program under Wine (scripts/test-windows.sh); SMS_WINDOWS_TESTS=0
# leaves it out. It needs the Windows toolchain, which scripts/win-toolchain.sh
# builds into ~/.cache/korvessa once (the first build takes most of an hour).
if [ "${SMS_WINDOWS_TESTS:-1}" != 0 ]; then
  "$root/scripts/test-windows.sh"
else
  echo "Windows tests not run (SMS_WINDOWS_TESTS=0)"
fi
