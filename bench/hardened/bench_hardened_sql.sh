#!/usr/bin/env bash
# What the hardened database's routines cost on the server, beside the legacy
# statements that do the same on the same server: a throwaway hardened server
# with 100,000 customers; each figure the median of five rounds, timed by the
# server itself (the transfer from a client is left out: it is the same in
# both modes).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
dir=$(mktemp -d "${TMPDIR:-/tmp}/sms-bench-hardened.XXXXXX")
cleanup() {
  "$root/scripts/dbserver.sh" stop "$dir" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
port=""
for _ in $(seq 1 200); do
  p=$((20000 + RANDOM % 12000))
  [ -z "$(ss -Htln "sport = :$p")" ] && { port=$p; break; }
done
[ -n "$port" ] || { echo "no free port" >&2; exit 1; }
"$root/scripts/tls.sh" "$dir"
"$root/scripts/dbserver.sh" exec "$dir" "$port" >"$dir/server.out" 2>&1 &
"$root/scripts/dbserver.sh" setup "$dir" --demo --hardened >/dev/null
sql() { mariadb --no-defaults --socket="$dir/sock" -uroot -N -B sms "$@"; }

sql -e "insert into customers(customername, password, parentname, smscount)
          select concat('u', seq), 'p', concat('u', seq div 10), 1000 from seq_1_to_100000;
        insert into charge(customername, remainWhenCharge, chargePoint, contributor, chargeTime)
          select concat('u', seq), 0, 1, concat('u', seq div 10), now() from seq_1_to_100000;
        update customers set smscount = 1000000000 where customername = 'demo';
        analyze table customers, charge" >/dev/null

# median BODY: the statements of BODY, one compound statement, run five
# times, each in a session of its own logged in as demo; each run sets @t to
# the seconds it took.
median() {
  for _ in 1 2 3 4 5; do
    printf "call sms_api.login('demo', 'demo123');\nuse sms_api;\nDELIMITER //\nBEGIN NOT ATOMIC\n%s;\nEND//\nDELIMITER ;\nselect @t;\n" "$1" |
      sql | tail -1
  done | sort -g | sed -n 3p
}
# loop N STATEMENTS: the statements N times, in one compound statement.
loop() { echo "BEGIN DECLARE i INT DEFAULT 0; WHILE i < $1 DO $2; SET i = i + 1; END WHILE; END"; }
fmt() { if [ "$1" = - ]; then echo "-"; else awk -v t="$1" 'BEGIN { printf "%.3f ms", t * 1000 }'; fi; }
row() { printf '%-46s %12s %12s\n' "$1" "$(fmt "$2")" "$(fmt "$3")"; }
printf '%-46s %12s %12s\n' "" "hardened" "legacy"

phones="set @p = repeat('138000000001\\n', 1000000), @tp = repeat('138000000001\\n', 10)"
h=$(median "$phones; set @n = seq('one'), @a = now(6);
  call submit_batch(@n, @p, @tp, 'hello', null, 1000000, 1);
  set @t = timestampdiff(microsecond, @a, now(6)) / 1e6")
l=$(median "$phones; set @n = seq('one') + 100000000, @a = now(6); start transaction;
  update sms.customers set smscount = smscount - 1000000 where customername = 'demo' and smscount >= 1000000;
  insert into sms.submit(submitid, phones, testPhones, content, customername, submittime, phonecount, msgcount)
    values (@n, @p, @tp, 'hello', 'demo', now(), 1000000, 1); commit;
  set @t = timestampdiff(microsecond, @a, now(6)) / 1e6")
row "send of 1,000,000 numbers (13 MB)" "$h" "$l"
h=$(median "set @p = repeat('138000000001\\n', 1000000), @a = now(6); do line_count(@p);
  set @t = timestampdiff(microsecond, @a, now(6)) / 1e6")
row "  of that: counting its lines" "$h" "-"

h=$(median "set @a = now(6); $(loop 200 "call recharge('demo_a', 1)");
  set @t = timestampdiff(microsecond, @a, now(6)) / 1e6 / 200")
l=$(median "set @a = now(6); $(loop 200 "
    select smsCount into @r from sms.customers where customername = 'demo_a';
    start transaction;
    update sms.customers set smscount = ifnull(smscount, 0) - 1 where customername = 'demo' and smscount >= 1;
    update sms.customers set smscount = ifnull(smscount, 0) + 1 where customername = 'demo_a';
    insert into sms.charge(customername, remainWhenCharge, chargePoint, contributor, chargeTime)
      values ('demo_a', @r, 1, 'demo', now());
    commit");
  set @t = timestampdiff(microsecond, @a, now(6)) / 1e6 / 200")
row "one recharge" "$h" "$l"

h=$(median "set @a = now(6); $(loop 1000 "select smscount into @b from customers where customername = 'demo'");
  set @t = timestampdiff(microsecond, @a, now(6)) / 1e6 / 1000")
l=$(median "set @a = now(6); $(loop 1000 "select smscount into @b from sms.customers where customername = 'demo'");
  set @t = timestampdiff(microsecond, @a, now(6)) / 1e6 / 1000")
row "one balance read (100,000 customers)" "$h" "$l"

h=$(median "set @a = now(6); $(loop 100 "call login('demo', 'demo123')");
  set @t = timestampdiff(microsecond, @a, now(6)) / 1e6 / 100")
l=$(median "set @a = now(6); $(loop 100 "select password into @pw from sms.customers where customername = 'demo' limit 1");
  set @t = timestampdiff(microsecond, @a, now(6)) / 1e6 / 100")
row "one login (legacy: the customer's row read)" "$h" "$l"
