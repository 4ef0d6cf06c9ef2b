#!/usr/bin/env bash
# Runs the cluster tests (ctest label "cluster") on a three-node cluster of
# their own: started once in a temporary folder, stopped and removed when the
# run ends, however it ends. Extra arguments go to ctest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
dir=$(mktemp -d "${TMPDIR:-/tmp}/sms-cluster.XXXXXX")
cleanup() {
  "$root/scripts/cluster.sh" stop --dir "$dir" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# A free loopback port for the proxy.
port=""
for _ in $(seq 1 200); do
  p=$((20000 + RANDOM % 12000))
  [ -z "$(ss -Htln "sport = :$p")" ] && { port=$p; break; }
done
[ -n "$port" ] || { echo "no free port for the cluster's proxy" >&2; exit 1; }
echo "starting a three-node cluster in $dir (proxy on 127.0.0.1:$port)"
"$root/scripts/cluster.sh" start --dir "$dir" --port "$port"
# shellcheck disable=SC1091
source "$dir/ports.env"
export SMS_CLUSTER_PORT=$port SMS_CLUSTER_NODES=$SQL1,$SQL2,$SQL3 SMS_CLUSTER_DIR=$dir
export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure -L cluster "$@"
