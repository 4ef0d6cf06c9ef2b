#!/usr/bin/env bash
# Brings up the local service database at the program's built-in parameters
# (127.0.0.1:3306, root / 604918, database "sms"), with the demo content on
# first start. Does nothing when such a server already answers.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${SMS_LOCALDB_DIR:-$root/.localdb}
if mariadb --no-defaults -h127.0.0.1 -P3306 -uroot -p604918 -e 'select 1 from sms.customers limit 1' \
     >/dev/null 2>&1; then
  echo "service database already answers on 127.0.0.1:3306"
  exit 0
fi
mkdir -p "$dir"
nohup "$root/scripts/dbserver.sh" exec "$dir" 3306 --innodb-log-file-size=256M >"$dir/server.out" 2>&1 &
"$root/scripts/dbserver.sh" setup "$dir" --demo
echo "service database running on 127.0.0.1:3306 (data in $dir; stop: scripts/dbserver.sh stop $dir)"
