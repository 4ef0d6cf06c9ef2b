#!/usr/bin/env bash
# Runs a MariaDB server of the project's own, in a data folder of its own.
#
#   dbserver.sh exec  DIR PORT [mariadbd options...]
#       initialises DIR on first use, then becomes the server (exec), listening
#       on 127.0.0.1:PORT and on the socket DIR/sock. Start it in the background.
#   dbserver.sh setup DIR [--demo] [--hardened]
#       waits until the server of DIR answers, then, once per data folder,
#       creates the accounts (root / 604918 on 127.0.0.1 and localhost), the
#       database "sms" from db/schema.sql and, with --demo, the demo content.
#       --hardened then applies db/hardened.sql (once; again after it changed):
#       the program's account sms_client reaches only the routines and views of
#       sms_api, over TLS, and root logs in through the socket only. The server
#       must run with TLS: when DIR/tls holds the files of scripts/tls.sh DIR,
#       exec starts it with them and with require_secure_transport.
#   dbserver.sh stop  DIR
#       stops the server of DIR by the PID it wrote, and waits for it to end.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
password=604918

cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 exec|setup|stop DIR ..." >&2; exit 2; }
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

case "$cmd" in
exec)
  port=${3:?port}
  shift 3
  install_db() {
    mkdir -p "$1"
    mariadb-install-db --no-defaults --datadir="$1" --user=root \
      --auth-root-authentication-method=normal --skip-test-db \
      --innodb-log-file-size=8M >"$dir/install.log" 2>&1
  }
  if [ ! -d "$dir/data/mysql" ]; then
    if [ -n "${SMS_DB_TEMPLATE:-}" ]; then
      # Many throwaway servers in one run: initialise once, copy afterwards.
      mkdir -p "$(dirname "$SMS_DB_TEMPLATE")"
      (
        flock 9
        [ -d "$SMS_DB_TEMPLATE/mysql" ] || install_db "$SMS_DB_TEMPLATE"
      ) 9>"$SMS_DB_TEMPLATE.lock"
      mkdir -p "$dir/data"
      cp -a "$SMS_DB_TEMPLATE/." "$dir/data/"
    else
      install_db "$dir/data"
    fi
  fi
  tls=()
  if [ -f "$dir/tls/ca.pem" ] && [ -f "$dir/tls/server-cert.pem" ] && [ -f "$dir/tls/server-key.pem" ]; then
    tls=(--ssl-ca="$dir/tls/ca.pem" --ssl-cert="$dir/tls/server-cert.pem" --ssl-key="$dir/tls/server-key.pem"
         --require-secure-transport=ON)
  fi
  exec mariadbd --no-defaults --datadir="$dir/data" --socket="$dir/sock" --pid-file="$dir/pid" \
    --port="$port" --bind-address=127.0.0.1 --user=root --skip-log-bin --skip-name-resolve \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    --max-allowed-packet=256M --innodb-log-file-size=8M --innodb-buffer-pool-size=256M \
    --innodb-flush-log-at-trx-commit=2 --log-error="$dir/error.log" "${tls[@]}" "$@"
  ;;
setup)
  demo=""
  hardened=""
  for a in "${@:3}"; do
    case "$a" in
    --demo) demo=--demo ;;
    --hardened) hardened=1 ;;
    *) echo "unknown option $a" >&2; exit 2 ;;
    esac
  done
  # The root account has no password until the first setup gives it one.
  auth=()
  ready=""
  for _ in $(seq 1 1200); do # up to a minute on a loaded machine
    if timeout 5 mariadb --no-defaults --connect-timeout=2 --socket="$dir/sock" -uroot -p"$password" -e 'select 1' >/dev/null 2>&1; then
      auth=(-p"$password"); ready=1; break
    fi
    if timeout 5 mariadb --no-defaults --connect-timeout=2 --socket="$dir/sock" -uroot -e 'select 1' >/dev/null 2>&1; then
      ready=1; break
    fi
    sleep 0.05
  done
  if [ -z "$ready" ]; then
    echo "database server in $dir did not start:" >&2; tail -20 "$dir/error.log" >&2 || true; exit 1
  fi
  if [ ! -f "$dir/schema.done" ]; then
    mariadb --no-defaults --socket="$dir/sock" -uroot "${auth[@]}" <<SQL
ALTER USER 'root'@'localhost' IDENTIFIED BY '$password';
CREATE USER IF NOT EXISTS 'root'@'127.0.0.1';
ALTER USER 'root'@'127.0.0.1' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO 'root'@'127.0.0.1' WITH GRANT OPTION;
FLUSH PRIVILEGES;
SQL
    mariadb --no-defaults --socket="$dir/sock" -uroot -p"$password" <"$root/db/schema.sql"
    if [ "$demo" = "--demo" ]; then
      mariadb --no-defaults --socket="$dir/sock" -uroot -p"$password" <"$root/db/demo.sql"
    fi
    touch "$dir/schema.done"
  fi
  if [ -n "$hardened" ]; then
    # root may already log in through the socket only (unix_socket): the
    # password is then not asked for.
    sum=$(cksum <"$root/db/hardened.sql")
    if [ "$(cat "$dir/hardened.done" 2>/dev/null)" != "$sum" ]; then
      ssl=$(mariadb --no-defaults --socket="$dir/sock" -uroot -p"$password" -N -B -e 'select @@have_ssl')
      if [ "$ssl" != YES ]; then
        echo "the server of $dir runs without TLS: make its files (scripts/tls.sh $dir), then start it again" >&2
        exit 1
      fi
      mariadb --no-defaults --socket="$dir/sock" -uroot -p"$password" sms <"$root/db/hardened.sql"
      echo "$sum" >"$dir/hardened.done"
    fi
  fi
  ;;
stop)
  if [ -f "$dir/pid" ]; then
    pid=$(cat "$dir/pid")
    if kill "$pid" 2>/dev/null; then
      for _ in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    fi
  fi
  ;;
*)
  echo "unknown command $cmd" >&2; exit 2 ;;
esac
