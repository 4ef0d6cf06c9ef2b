#!/usr/bin/env bash
# A three-node MariaDB Galera cluster on loopback with HAProxy in front: the
# service database as a site runs it when one server is not enough.
#
#   cluster.sh start  [--port P] [--dir D] [--active N | --multi-primary] [--sql F]... [--hardened]
#       starts what is not running yet; the proxy listens on 127.0.0.1:P
#       (default 13306; 3306 is the program's built-in address). The first
#       start creates the schema, applies each --sql file once and loads the
#       demo content; later starts reuse the data folders.
#       --hardened (at the first start; kept in D): the nodes run with TLS
#       (a CA of the cluster's own, D/tls/ca.pem, by scripts/tls.sh) and
#       require_secure_transport, and the first start applies db/hardened.sql
#       after the demo content: DDL, the role and the accounts replicate to
#       every node. root then logs in through a node's socket only.
#       The proxy sends every connection to one node, the active one (node 1,
#       or N), and the others stand by: one writer at a time, so that no two
#       nodes change the same row at once. --multi-primary spreads the
#       connections over all three instead (round robin). The choice is kept
#       in D like the port; a start that changes it rewrites the proxy's
#       configuration and restarts the proxy (its sessions are cut).
#   cluster.sh stop   [--dir D]              stops the proxy and the nodes
#   cluster.sh status [--dir D]              ports, PIDs and each node's state
#   cluster.sh kill N [--dir D]              SIGKILLs node N (1..3), for tests;
#       the next start brings it back.
#
# Everything lives in D (default .cluster in the source tree): the nodes' data
# folders, logs, PID files and configuration. Only processes whose PID files
# are in D are ever signalled.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
password=604918
galera=/usr/lib/galera/libgalera_smm.so

cmd=${1:-}
[ -n "$cmd" ] && shift
node_arg=""
if [ "$cmd" = kill ]; then node_arg=${1:-}; [ -n "$node_arg" ] && shift; fi
dir=$root/.cluster
port=""
shape=""  # "active N" or "multi-primary"; empty: as kept in the folder
extra_sql=()
hardened=""
while [ $# -gt 0 ]; do
  case "$1" in
  --port) port=${2:?--port needs a value}; shift 2 ;;
  --dir) dir=${2:?--dir needs a value}; shift 2 ;;
  --active)
    [[ "${2:-}" =~ ^[123]$ ]] || { echo "--active needs 1, 2 or 3" >&2; exit 2; }
    shape="active $2"; shift 2 ;;
  --multi-primary) shape="multi-primary"; shift ;;
  --hardened) hardened=1; shift ;;
  --sql)
    [ -f "${2:-}" ] || { echo "--sql needs a file" >&2; exit 2; }
    extra_sql+=("$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"); shift 2 ;;
  *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
if [[ "$cmd" =~ ^(stop|status|kill)$ ]] && [ ! -d "$dir" ]; then
  echo "no cluster in $dir"; exit 0
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

log() { echo "cluster: $*" >&2; }

# Hardened: chosen at the first start, kept in the folder.
is_hardened() { [ -f "$dir/hardened" ]; }

# --- ports: chosen once per folder, kept for later starts ---------------------
port_free() { [ -z "$(ss -Htln "sport = :$1" 2>/dev/null)" ]; }
# Sets PORT to a free loopback port not yet handed out.
pick_port() {
  for _ in $(seq 1 500); do
    PORT=$((20000 + RANDOM % 12000)) # below the kernel's range for outgoing ports
    if port_free "$PORT" && [[ " $picked " != *" $PORT "* ]]; then
      picked+=" $PORT"; return
    fi
  done
  log "no free port"; exit 1
}
load_ports() {
  if [ ! -f "$dir/ports.env" ]; then
    # The proxy's port (--port) is never a node's.
    local picked=" ${port:-} " lines="" PORT
    for n in 1 2 3; do
      for kind in SQL GCOMM IST SST; do pick_port; lines+="$kind$n=$PORT"$'\n'; done
    done
    printf '%s' "$lines" >"$dir/ports.env"
  fi
  # shellcheck disable=SC1091
  source "$dir/ports.env"
}
sql_port() { local v="SQL$1"; echo "${!v}"; }

# --- processes ----------------------------------------------------------------
# The PID of node N (or of the proxy) when it runs as started from this folder.
node_pid() {
  local f="$dir/node$1/pid" pid
  [ -f "$f" ] || return 1
  pid=$(cat "$f" 2>/dev/null) || return 1
  [ -n "$pid" ] && tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -q -- "--defaults-file=$dir/node$1.cnf" &&
    echo "$pid"
}
proxy_pid() {
  local pid
  [ -f "$dir/haproxy.pid" ] || return 1
  pid=$(head -1 "$dir/haproxy.pid")
  [ -n "$pid" ] && tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -q -- "$dir/haproxy.cfg" && echo "$pid"
}
wait_gone() { # pid seconds
  for _ in $(seq 1 $(($2 * 20))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.05; done
  return 1
}

# Runs SQL on node N through its socket; the root password is set by the first setup.
node_sql() {
  local n=$1; shift
  mariadb --no-defaults --socket="$dir/node$n/sock" -uroot -p"$password" -N -B "$@" 2>/dev/null ||
    mariadb --no-defaults --socket="$dir/node$n/sock" -uroot -N -B "$@" 2>/dev/null
}
node_state() {
  node_sql "$1" -e "select group_concat(variable_value order by variable_name separator ' ')
    from information_schema.global_status where variable_name in
    ('wsrep_cluster_size','wsrep_local_state_comment','wsrep_ready')" 2>/dev/null || echo "-"
}

write_config() {
  local n=$1 addrs="127.0.0.1:$GCOMM1,127.0.0.1:$GCOMM2,127.0.0.1:$GCOMM3"
  local g="GCOMM$n" i="IST$n" s="SST$n" tls=""
  if is_hardened; then
    tls=$'\n'"ssl-ca=$dir/tls/ca.pem"$'\n'"ssl-cert=$dir/tls/server-cert.pem"
    tls+=$'\n'"ssl-key=$dir/tls/server-key.pem"$'\n'"require-secure-transport=ON"
  fi
  mkdir -p "$dir/node$n/data"
  cat >"$dir/node$n.cnf" <<CNF
[mysqld]
datadir=$dir/node$n/data
socket=$dir/node$n/sock
pid-file=$dir/node$n/pid
log-error=$dir/node$n/error.log
port=$(sql_port "$n")
bind-address=127.0.0.1
skip-name-resolve
character-set-server=utf8mb4
collation-server=utf8mb4_general_ci
max-allowed-packet=256M
innodb-log-file-size=8M
innodb-buffer-pool-size=256M
innodb-flush-log-at-trx-commit=2
binlog-format=ROW
innodb-autoinc-lock-mode=2
default-storage-engine=InnoDB
wsrep-on=ON
wsrep-provider=$galera
wsrep-cluster-name=sms
wsrep-cluster-address=gcomm://$addrs
wsrep-node-name=node$n
wsrep-node-address=127.0.0.1:${!g}
wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:${!g};ist.recv_addr=127.0.0.1:${!i};gcache.size=64M"
wsrep-sst-receive-address=127.0.0.1:${!s}
wsrep-sst-method=mariabackup
wsrep-sst-auth=root:$password$tls

[mariabackup]
socket=$dir/node$n/sock
CNF
}

grastate() { # node field
  sed -n "s/^$2:[[:space:]]*//p" "$dir/node$1/data/grastate.dat" 2>/dev/null
}
has_data() { [ -d "$dir/node$1/data/mysql" ]; }

# The position node N's data holds, as uuid:seqno, when its state file does
# not know it (after a crash); empty when it does.
recover_position() {
  local n=$1
  has_data "$n" || return 0
  [ "$(grastate "$n" seqno)" = "-1" ] || return 0
  mariadbd --defaults-file="$dir/node$n.cnf" --user=root --wsrep-recover \
    --log-error="$dir/node$n/recover.log" >/dev/null 2>&1 || true
  sed -n 's/.*Recovered position: *\([0-9a-f-]*:-\{0,1\}[0-9]*\).*/\1/p' "$dir/node$n/recover.log" | tail -1
}

start_node() { # n [mariadbd options...]
  local n=$1; shift
  local pos
  pos=$(recover_position "$n")
  [ -n "$pos" ] && set -- "$@" --wsrep-start-position="$pos"
  rm -f "$dir/node$n/pid"
  # setsid: a time limit around this script must not take the node with it.
  setsid mariadbd --defaults-file="$dir/node$n.cnf" --user=root "$@" \
    </dev/null >>"$dir/node$n/out.log" 2>&1 &
}

wait_synced() { # n seconds
  local n=$1 state=""
  for _ in $(seq 1 $(($2 * 4))); do
    state=$(node_state "$n")
    case "$state" in *Synced*ON*) return 0 ;; esac
    if [ ! -f "$dir/node$n/pid" ] || ! node_pid "$n" >/dev/null; then
      # Not up yet, or ended: an ended node has left its reason in the log.
      if ! pgrep -f -- "--defaults-file=$dir/node$n.cnf" >/dev/null; then
        log "node$n ended:"; tail -25 "$dir/node$n/error.log" >&2 || true; return 1
      fi
    fi
    sleep 0.25
  done
  log "node$n not synced after $2 s (state: $state)"; tail -25 "$dir/node$n/error.log" >&2 || true
  return 1
}

setup_first() { # n: accounts, the proxy's check account, schema, demo content
  local n=$1
  node_sql "$n" <<SQL
ALTER USER 'root'@'localhost' IDENTIFIED BY '$password';
CREATE USER IF NOT EXISTS 'root'@'127.0.0.1';
ALTER USER 'root'@'127.0.0.1' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO 'root'@'127.0.0.1' WITH GRANT OPTION;
CREATE USER IF NOT EXISTS 'haproxy_check'@'127.0.0.1';
FLUSH PRIVILEGES;
SQL
  node_sql "$n" <"$root/db/schema.sql"
  # What a site adds to the schema (--sql), once, before any content.
  local f
  for f in "${extra_sql[@]}"; do
    log "applying $f"
    node_sql "$n" <"$f" || { log "$f failed"; return 1; }
  done
  node_sql "$n" <"$root/db/demo.sql"
  if is_hardened; then
    log "applying db/hardened.sql"
    mariadb --no-defaults --socket="$dir/node$n/sock" -uroot -p"$password" sms <"$root/db/hardened.sql" ||
      { log "db/hardened.sql failed"; return 1; }
  fi
  touch "$dir/setup.done"
}

# The proxy's shape: "active N" (one writer, N = 1..3) or "multi-primary".
# Kept in the folder; a folder without a choice has one writer, node 1.
proxy_shape() {
  if [ -n "$shape" ]; then
    echo "$shape"
  elif [ -f "$dir/proxy.shape" ]; then
    cat "$dir/proxy.shape"
  else
    echo "active 1"
  fi
}

# The proxy's configuration for port $1 and shape $2. One writer: the active
# node takes every connection while it is up; the first backup that is up
# takes them while it is not. Sessions on a node that is marked down are cut
# at once (their clients reconnect to the next node rather than wait on a
# dead one), and when the active node is up again, the sessions on the backup
# are cut, so that writes go to one node only.
proxy_config() {
  local listen=$1 shape=$2 active="" n
  [[ "$shape" =~ ^active\ ([123])$ ]] && active=${BASH_REMATCH[1]}
  cat <<CFG
global
  maxconn 4000
  external-check
  insecure-fork-wanted

defaults
  mode tcp
  timeout connect 5s
  timeout client 8h
  timeout server 8h
  retries 2
  option redispatch

listen sms
  bind 127.0.0.1:$listen
CFG
  if [ -z "$active" ]; then
    echo "  balance roundrobin"
  fi
  # A node counts as up while it is synced (scripts/node-check.sh): a joining
  # node opens its port before it has caught up.
  cat <<CFG
  option external-check
  external-check command "$here/node-check.sh"
  timeout check 2s
  default-server check inter 1s fall 2 rise 2 on-marked-down shutdown-sessions
CFG
  for n in 1 2 3; do
    if [ -z "$active" ]; then
      echo "  server node$n 127.0.0.1:$(sql_port "$n")"
    elif [ "$n" = "$active" ]; then
      echo "  server node$n 127.0.0.1:$(sql_port "$n") on-marked-up shutdown-backup-sessions"
    else
      echo "  server node$n 127.0.0.1:$(sql_port "$n") backup"
    fi
  done
}

start_proxy() {
  local want=$1 pid wanted
  wanted=$(proxy_shape)
  if pid=$(proxy_pid); then
    # Running as wanted: left alone. Another port or shape: restarted with it.
    [ "$(cat "$dir/proxy.port" 2>/dev/null)" = "$want" ] &&
      [ "$(cat "$dir/haproxy.cfg" 2>/dev/null)" = "$(proxy_config "$want" "$wanted")" ] && return 0
    log "proxy restarts ($wanted on port $want)"
    kill "$pid"; wait_gone "$pid" 10 || true
  fi
  if ! port_free "$want"; then log "port $want is taken"; return 1; fi
  proxy_config "$want" "$wanted" >"$dir/haproxy.cfg"
  echo "$wanted" >"$dir/proxy.shape"
  haproxy -D -f "$dir/haproxy.cfg" -p "$dir/haproxy.pid" >>"$dir/haproxy.log" 2>&1
  echo "$want" >"$dir/proxy.port"
  # Ready once the nodes are seen up and a login through it works.
  local login=(-uroot -p"$password")
  is_hardened && login=(-usms_client -pKv-client-2026.sms --ssl --ssl-ca="$dir/tls/ca.pem")
  for _ in $(seq 1 100); do
    mariadb --no-defaults -h127.0.0.1 -P"$want" "${login[@]}" -e 'select 1' >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  log "proxy on $want does not answer"; return 1
}

do_start() {
  load_ports
  if [ -n "$hardened" ] && ! is_hardened; then
    if [ -f "$dir/setup.done" ]; then
      log "--hardened applies at a cluster's first start only (this one is set up already)"; return 1
    fi
    "$here/tls.sh" "$dir"
    touch "$dir/hardened"
  fi
  for n in 1 2 3; do write_config "$n"; done
  local running=() missing=()
  for n in 1 2 3; do
    if node_pid "$n" >/dev/null; then running+=("$n"); else missing+=("$n"); fi
  done
  if [ ${#running[@]} -eq 0 ]; then
    local first=""
    # A new cluster when no node has data, or the first set-up did not end
    # (only node 1 has data then). Node 1 without data beside nodes that have
    # it is rebuilt from them: it joins like any node.
    if [ ! -f "$dir/setup.done" ] || ! { has_data 1 || has_data 2 || has_data 3; }; then
      # A new cluster: node 1 gets an empty database and bootstraps.
      if ! has_data 1; then
        rm -f "$dir/setup.done"
        rm -rf "$dir/node1/data"; mkdir -p "$dir/node1/data"
        mariadb-install-db --no-defaults --datadir="$dir/node1/data" --user=root \
          --auth-root-authentication-method=normal --skip-test-db \
          --innodb-log-file-size=8M >"$dir/node1/install.log" 2>&1
      fi
      # Only node 1 has data until the first set-up is done, whatever ended it before.
      [ -f "$dir/node1/data/grastate.dat" ] &&
        sed -i 's/^safe_to_bootstrap:.*/safe_to_bootstrap: 1/' "$dir/node1/data/grastate.dat"
      first=1
    else
      # The node that stopped last may bootstrap; after a crash of all, the one
      # whose data goes furthest.
      for n in 1 2 3; do [ "$(grastate "$n" safe_to_bootstrap)" = 1 ] && { first=$n; break; }; done
      if [ -z "$first" ]; then
        local best=-2 pos seqno
        for n in 1 2 3; do
          has_data "$n" || continue
          pos=$(recover_position "$n"); seqno=${pos##*:}
          [ -z "$pos" ] && seqno=$(grastate "$n" seqno)
          [ -n "$seqno" ] && [ "$seqno" -gt "$best" ] && { best=$seqno; first=$n; }
        done
        [ -n "$first" ] || { log "no node has data to start from"; return 1; }
        sed -i 's/^safe_to_bootstrap:.*/safe_to_bootstrap: 1/' "$dir/node$first/data/grastate.dat"
      fi
    fi
    log "node$first bootstraps the cluster"
    start_node "$first" --wsrep-new-cluster
    wait_synced "$first" 120
    [ -f "$dir/setup.done" ] || setup_first "$first"
    missing=()
    for n in 1 2 3; do [ "$n" = "$first" ] || missing+=("$n"); done
  fi
  for n in "${missing[@]}"; do
    log "node$n joins"
    start_node "$n"
    wait_synced "$n" 240
  done
  start_proxy "${port:-$(cat "$dir/proxy.port" 2>/dev/null || echo 13306)}"
  do_status
}

do_stop() {
  local pid
  if pid=$(proxy_pid); then kill "$pid"; wait_gone "$pid" 10 || true; fi
  rm -f "$dir/haproxy.pid"
  # One at a time: the last one stopped holds everything and may bootstrap next time.
  for n in 3 2 1; do
    if pid=$(node_pid "$n"); then
      kill "$pid"
      wait_gone "$pid" 60 || { log "node$n did not stop; killing it"; kill -9 "$pid"; }
    fi
  done
}

do_status() {
  [ -f "$dir/ports.env" ] || { echo "no cluster in $dir"; return 0; }
  load_ports
  local pid
  if pid=$(proxy_pid); then
    echo "proxy 127.0.0.1:$(cat "$dir/proxy.port") pid $pid  $(cat "$dir/proxy.shape" 2>/dev/null || echo "multi-primary")"
  else
    echo "proxy not running"
  fi
  for n in 1 2 3; do
    if pid=$(node_pid "$n"); then
      echo "node$n 127.0.0.1:$(sql_port "$n") pid $pid  $(node_state "$n")"
    else
      echo "node$n 127.0.0.1:$(sql_port "$n") not running"
    fi
  done
}

case "$cmd" in
start) do_start ;;
stop) do_stop ;;
status) do_status ;;
kill)
  [[ "$node_arg" =~ ^[123]$ ]] || { echo "usage: $0 kill 1|2|3 [--dir D]" >&2; exit 2; }
  if pid=$(node_pid "$node_arg"); then kill -9 "$pid"; wait_gone "$pid" 10 || true; fi
  ;;
*)
  echo "usage: $0 start [--port P] [--dir D] [--active N | --multi-primary] [--sql FILE]... [--hardened] |" \
    "stop|status [--dir D] | kill N [--dir D]" >&2
  exit 2
  ;;
esac
