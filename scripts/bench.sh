#!/usr/bin/env bash
# Builds and runs the benchmarks one after another; each prints its figures.
#   scripts/bench.sh [name...]     (default: every benchmark)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/deps.sh"
"$root/scripts/build.sh" >/dev/null
tmp=$(mktemp -d /tmp/sms-bench.XXXXXX)
trap 'for p in "$tmp"/*/pid; do [ -f "$p" ] && kill "$(cat "$p")" 2>/dev/null || true; done; sleep 0.5; rm -rf "$tmp"' EXIT
export TMPDIR=$tmp QT_QPA_PLATFORM=offscreen SMS_DB_TEMPLATE=$tmp/db-template
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  mapfile -t names < <(find "$build/bench" -type f -executable -name 'bench_*' -printf '%f\n' | sort)
fi
for n in "${names[@]}"; do
  exe=$(find "$build/bench" -type f -executable -name "$n" | head -1)
  [ -n "$exe" ] || { echo "no benchmark $n" >&2; exit 1; }
  echo "=== $n"
  "$exe"
done
