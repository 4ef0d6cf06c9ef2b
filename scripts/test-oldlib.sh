#!/usr/bin/env bash
# Runs the data-module, send, account and records test programs once more with
# the MariaDB client library of Debian 12's point release (libmariadb3
# 1:10.11.18-0+deb12u1), which hands values to prepared statements otherwise
# than later versions; a customer's desktop may have it. The package is
# fetched with apt-get download into the run's temporary folder and used via
# LD_LIBRARY_PATH. When it cannot be fetched, says so and succeeds.
#
#   test-oldlib.sh [ctest options...]   (run from scripts/test.sh, in the build folder)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
version=1:10.11.18-0+deb12u1
work=$(mktemp -d "${TMPDIR:-/tmp}/oldlib.XXXXXX")
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && apt-get download "libmariadb3=$version") >"$work/download.log" 2>&1; then
  echo "libmariadb3 $version could not be downloaded; the run with it is skipped:"
  tail -3 "$work/download.log" | sed 's/^/  /'
  exit 0
fi
if ! dpkg -x "$work"/libmariadb3_*.deb "$work/pkg"; then
  echo "libmariadb3 $version could not be unpacked; the run with it is skipped"
  exit 0
fi
lib=$(dirname "$(find "$work/pkg" -name 'libmariadb.so.3' | head -1)")
if [ ! -e "$lib/libmariadb.so.3" ]; then
  echo "libmariadb3 $version holds no libmariadb.so.3; the run with it is skipped"
  exit 0
fi
echo "running the data, send, account and records tests with libmariadb3 $version"
cd "${BUILD_DIR:-$root/build}"
LD_LIBRARY_PATH="$lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  ctest --output-on-failure -j"$(nproc)" -L '^(data|send|accounts|records)$' "$@"
