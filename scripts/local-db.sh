#!/usr/bin/env bash
# Brings up the local service database at the program's built-in parameters
# (127.0.0.1:3306, root / 604918, database "sms"), with the demo content on
# first start. Does nothing when such a server already answers.
#
#   local-db.sh --hardened
#       the same server in hardened mode (db/hardened.sql): TLS with a CA of
#       its own (DIR/tls/ca.pem, made by scripts/tls.sh), the program's account
#       sms_client on database sms_api, root through the socket only. A legacy
#       server of the same folder is stopped and started again hardened.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${SMS_LOCALDB_DIR:-$root/.localdb}
if [ "${1:-}" = --hardened ]; then
  if mariadb --no-defaults -h127.0.0.1 -P3306 -usms_client -pKv-client-2026.sms --ssl \
       -e 'select sms_api.api_version()' >/dev/null 2>&1; then
    echo "hardened service database already answers on 127.0.0.1:3306"
    exit 0
  fi
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if [ -f "$dir/pid" ] && kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
    echo "restarting the server of $dir with TLS"
    "$root/scripts/dbserver.sh" stop "$dir"
  elif mariadb --no-defaults -h127.0.0.1 -P3306 -uroot -p604918 -e 'select 1' >/dev/null 2>&1; then
    echo "another database server answers on 127.0.0.1:3306; stop it first" >&2
    exit 1
  fi
  "$root/scripts/tls.sh" "$dir"
  nohup "$root/scripts/dbserver.sh" exec "$dir" 3306 --innodb-log-file-size=256M >"$dir/server.out" 2>&1 &
  "$root/scripts/dbserver.sh" setup "$dir" --demo --hardened
  echo "hardened service database running on 127.0.0.1:3306 (data in $dir; CA: $dir/tls/ca.pem;" \
    "stop: scripts/dbserver.sh stop $dir)"
  exit 0
fi
if mariadb --no-defaults -h127.0.0.1 -P3306 -uroot -p604918 -e 'select 1 from sms.customers limit 1' \
     >/dev/null 2>&1; then
  echo "service database already answers on 127.0.0.1:3306"
  exit 0
fi
mkdir -p "$dir"
nohup "$root/scripts/dbserver.sh" exec "$dir" 3306 --innodb-log-file-size=256M >"$dir/server.out" 2>&1 &
"$root/scripts/dbserver.sh" setup "$dir" --demo
echo "service database running on 127.0.0.1:3306 (data in $dir; stop: scripts/dbserver.sh stop $dir)"
