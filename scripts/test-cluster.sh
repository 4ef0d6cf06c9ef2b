#!/usr/bin/env bash
# Runs the cluster tests (ctest label "cluster") on a three-node cluster of
# their own: started once in a temporary folder, stopped and removed when the
# run ends, however it ends. Extra arguments go to ctest. Then on a hardened
# cluster of its own, started when the first one has stopped: the cluster
# tests again (SMS_CLUSTER_HARDENED, tests/cluster/ClusterEnv.h), and after
# them, on the same cluster, the attacker test of the hardened database
# (tests/hardened): DDL, the role and the accounts must hold on every node,
# node 1 rebuilt by the cluster tests included. A failure of one run does not
# stop the next; the script fails when any of them failed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
dir=$(mktemp -d "${TMPDIR:-/tmp}/sms-cluster.XXXXXX")
hdir=""
cleanup() {
  "$root/scripts/cluster.sh" stop --dir "$dir" >/dev/null 2>&1 || true
  rm -rf "$dir"
  if [ -n "$hdir" ]; then
    "$root/scripts/cluster.sh" stop --dir "$hdir" >/dev/null 2>&1 || true
    rm -rf "$hdir"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# A free loopback port for a proxy.
free_port() {
  local p
  for _ in $(seq 1 200); do
    p=$((20000 + RANDOM % 12000))
    [ -z "$(ss -Htln "sport = :$p")" ] && { echo "$p"; return 0; }
  done
  echo "no free port for the cluster's proxy" >&2
  return 1
}
port=$(free_port)
echo "starting a three-node cluster in $dir (proxy on 127.0.0.1:$port)"
"$root/scripts/cluster.sh" start --dir "$dir" --port "$port"
# shellcheck disable=SC1091
source "$dir/ports.env"
export SMS_CLUSTER_PORT=$port SMS_CLUSTER_NODES=$SQL1,$SQL2,$SQL3 SMS_CLUSTER_DIR=$dir
export QT_QPA_PLATFORM=offscreen
failed=""
(cd "$build" && ctest --output-on-failure -L cluster "$@") || failed+=" cluster"

"$root/scripts/cluster.sh" stop --dir "$dir"
hdir=$(mktemp -d "${TMPDIR:-/tmp}/sms-cluster-hardened.XXXXXX")
hport=$(free_port)
echo "starting a hardened three-node cluster in $hdir (proxy on 127.0.0.1:$hport)"
"$root/scripts/cluster.sh" start --dir "$hdir" --port "$hport" --hardened
# shellcheck disable=SC1091
source "$hdir/ports.env"
echo "the cluster tests on the hardened cluster"
(cd "$build" && SMS_CLUSTER_PORT=$hport SMS_CLUSTER_NODES=$SQL1,$SQL2,$SQL3 SMS_CLUSTER_DIR=$hdir \
  SMS_CLUSTER_HARDENED=1 SMS_CLUSTER_CA=$hdir/tls/ca.pem \
  SMS_CLUSTER_SOCKETS=$hdir/node1/sock,$hdir/node2/sock,$hdir/node3/sock \
  ctest --output-on-failure -L cluster "$@") || failed+=" cluster-hardened"
echo "the attacker test on the hardened cluster"
SMS_HARDENED_PORT=$hport SMS_HARDENED_DIR=$hdir SMS_HARDENED_SOCKET=$hdir/node1/sock \
  SMS_HARDENED_OTHER_SOCKETS="$hdir/node2/sock $hdir/node3/sock" \
  bash "$root/tests/hardened/tst_hardened_attack.sh" || failed+=" attack"
if [ -n "$failed" ]; then
  echo "failed:$failed" >&2
  exit 1
fi
