#!/usr/bin/env bash
# A hardened service database as someone who holds a copy of the program sees
# it: the plain command-line client and nothing but the program's built-in
# credentials (sms_client / its password, root / 604918). Everything outside
# the routines' rules must be refused or show nothing; the routines' own
# paths must write the rows that the legacy statements write, and the books
# must balance.
#
#   tst_hardened_attack.sh            starts a throwaway server of its own
#   SMS_HARDENED_PORT=P SMS_HARDENED_DIR=D tst_hardened_attack.sh
#                                     uses a hardened server that runs already
#                                     (D: its data folder, for the socket and
#                                     D/tls/ca.pem); its content is replaced.
#   SMS_HARDENED_SOCKET, SMS_HARDENED_CA  the administrator's socket and the CA
#                                     where they are not D/sock and D/tls/ca.pem
#                                     (a cluster: a node's socket, its proxy's port)
#   SMS_HARDENED_OTHER_SOCKETS="S2 S3"  a cluster's other nodes: the routines,
#                                     the accounts and the books are checked
#                                     there too
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
client_password='Kv-client-2026.sms'

own_server=""
if [ -n "${SMS_HARDENED_PORT:-}" ]; then
  port=$SMS_HARDENED_PORT
  dir=$(cd "${SMS_HARDENED_DIR:?SMS_HARDENED_DIR goes with SMS_HARDENED_PORT}" && pwd)
else
  own_server=1
  dir=$(mktemp -d "${TMPDIR:-/tmp}/sms-hardened.XXXXXX")
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
  "$root/scripts/tls.sh" "$dir" || exit 1
  "$root/scripts/dbserver.sh" exec "$dir" "$port" >"$dir/server.out" 2>&1 &
  "$root/scripts/dbserver.sh" setup "$dir" --hardened >"$dir/setup.out" 2>&1 || {
    cat "$dir/setup.out" "$dir/error.log" >&2; exit 1; }
fi
ca=${SMS_HARDENED_CA:-$dir/tls/ca.pem}
socket=${SMS_HARDENED_SOCKET:-$dir/sock}

failures=0
checks=0
pass() { checks=$((checks + 1)); }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL: $*" >&2; }

# The administrator: root through the socket, as the system's root (the
# password counts only after going back to the legacy mode), for the fixture
# and the checks of what the tables hold afterwards.
admin() { mariadb --no-defaults --socket="$socket" -uroot -p604918 -N -B --default-character-set=utf8mb4 sms "$@"; }
# The program's account over TLS, its CA checked; one connection per call.
client() {
  mariadb --no-defaults -h127.0.0.1 -P"$port" -usms_client -p"$client_password" --ssl-ca="$ca" \
    --ssl-verify-server-cert -N -B --default-character-set=utf8mb4 sms_api "$@"
}
login() { printf "call login('%s','%s');" "$1" "$2"; }

# refused DESC CODE SQL...: the statements (in one connection) end with error CODE.
refused() {
  local desc=$1 code=$2 out
  shift 2
  out=$(client -e "$*" 2>&1)
  if grep -q "^ERROR $code " <<<"$out"; then pass; else fail "$desc: expected error $code, got: $out"; fi
}
# same DESC EXPECTED SQL...: the output of the statements equals EXPECTED.
same() {
  local desc=$1 want=$2 out
  shift 2
  out=$(client -e "$*" 2>&1)
  if [ "$out" = "$want" ]; then pass; else fail "$desc: expected [$want], got [$out]"; fi
}
# admin_same DESC EXPECTED SQL: as same, on the administrator's connection.
admin_same() {
  local desc=$1 want=$2 out
  out=$(admin -e "$3" 2>&1)
  if [ "$out" = "$want" ]; then pass; else fail "$desc: expected [$want], got [$out]"; fi
}

# --- fixture -------------------------------------------------------------------
# demo has the sub-accounts demo_a and demo_b; demo_a has one of its own
# (demo_a_x). rival is another customer with its own sub-account and history.
admin <<'SQL' || { echo "fixture failed" >&2; exit 1; }
DELETE FROM customers; DELETE FROM submit; DELETE FROM charge; DELETE FROM sysPara;
DELETE FROM sms_api.sessions; DELETE FROM sms_api.failed_logins; DELETE FROM sms_api.issued;
DELETE FROM seqcounter;
INSERT INTO sysPara(name, value) VALUES ('softerVer', '1.1,1.2'), ('customerNotice', '通知'),
  ('bookingNotice', '预约'), ('defaultlimitrate', '85.9'), ('internalSecret', 'x');
INSERT INTO customers(customername, password, realname, parentname, limitrate, smscount, customerKind,
                      customerGrade, childCount, createtime, telphone, address, companyid) VALUES
  ('demo', 'demo123', 'demo', '', 0, 100000, '正式', 1, 2, NOW(), '010-1', '北京', ' 4 '),
  ('demo_a', 'a123', 'demo_a', 'demo', 90, 500, '新开', 2, 1, NOW(), '1', 'A', '4'),
  ('demo_b', 'b123', 'demo_b', 'demo', 90, 0, '新开', 2, 0, NOW(), '2', 'B', '4'),
  ('demo_a_x', 'x123', 'demo_a_x', 'demo_a', 90, 70, '新开', 3, 0, NOW(), '3', 'X', '4'),
  ('rival', 'rival-secret', 'rival', '', 60, 9000, '正式', 1, 1, NOW(), '9', 'R', ''),
  ('rival_a', 'ra-secret', 'rival_a', 'rival', 60, 10, '新开', 2, 0, NOW(), '9', 'R', ''),
  ('', '', '', NULL, 0, 0, '', 0, 0, NOW(), '', '', '');
INSERT INTO submit(submitid, phones, testPhones, content, customername, submittime, phonecount, msgcount)
  VALUES (900000, '13900000000\n', '', 'rival batch', 'rival', NOW(), 1, 1);
INSERT INTO charge(customername, remainWhenCharge, chargePoint, contributor, chargeTime)
  VALUES ('rival_a', 0, 10, 'rival', NOW());
INSERT INTO seqcounter(name, v) VALUES ('one', 1000);
SQL
total_before=$(admin -e "select sum(smscount) from customers")

# --- transport and accounts ------------------------------------------------------
out=$(mariadb --no-defaults -h127.0.0.1 -P"$port" -usms_client -p"$client_password" --skip-ssl -N -B \
  -e 'select 1' 2>&1)
if grep -q '^ERROR' <<<"$out"; then pass; else fail "plain-text connection of sms_client: $out"; fi
for tls in --skip-ssl --ssl; do
  out=$(mariadb --no-defaults -h127.0.0.1 -P"$port" -uroot -p604918 "$tls" -N -B -e 'select 1' 2>&1)
  if grep -q '^ERROR' <<<"$out"; then pass; else fail "root / 604918 over TCP ($tls): $out"; fi
done
same "the connection is encrypted" "1" "select variable_value <> '' from information_schema.session_status
  where variable_name = 'Ssl_cipher'"
admin_same "no anonymous account, no other account with the old password, root over TCP closed" "" \
  "select concat(user, '@', host) from mysql.user where is_role = 'N' and (user = ''
     or (authentication_string = password('604918') and json_value(
       (select priv from mysql.global_priv g where g.user = mysql.user.user and g.host = mysql.user.host),
       '\$.account_locked') is not true)
     or (user = 'root' and host <> 'localhost' and (select json_value(priv, '\$.account_locked')
       from mysql.global_priv g where g.user = mysql.user.user and g.host = mysql.user.host) is not true))"
admin_same "the server requires secure transport" "1" "select @@require_secure_transport"
out=$(client -e "show grants" 2>&1 | sort)
want="GRANT EXECUTE ON \`sms_api\`.* TO \`sms_client\`@\`%\`
GRANT SELECT ON \`sms_api\`.\`charge\` TO \`sms_client\`@\`%\`
GRANT SELECT ON \`sms_api\`.\`customers\` TO \`sms_client\`@\`%\`
GRANT SELECT ON \`sms_api\`.\`submit\` TO \`sms_client\`@\`%\`
GRANT SELECT ON \`sms_api\`.\`sysPara\` TO \`sms_client\`@\`%\`
GRANT USAGE ON *.* TO \`sms_client\`@\`%\` IDENTIFIED BY PASSWORD '*5A68EA4E15323709DCEB550FF90C23277F33BCC3' REQUIRE SSL"
if [ "$out" = "$want" ]; then pass; else fail "the client's grants: EXECUTE on sms_api, SELECT on its views: $out"; fi
admin_same "every routine and view of sms_api is owned by the role, runs as definer" "" \
  "select concat(routine_name, ' ', definer, ' ', security_type) from information_schema.routines
    where routine_schema = 'sms_api' and (definer <> 'sms_api_owner' or security_type <> 'DEFINER')
   union all select concat(table_name, ' ', definer, ' ', security_type) from information_schema.views
    where table_schema = 'sms_api' and (definer not in ('sms_api_owner', 'sms_api_owner@')
      or security_type <> 'DEFINER')"
same "api_version" "1" "select api_version()"

# --- rights: tables, mysql.*, files, DDL -----------------------------------------
as_demo=$(login demo demo123)
for stmt in "select * from sms.customers" "select password from sms.customers" \
  "update sms.customers set smscount = 1" "insert into sms.charge(customername) values ('demo')" \
  "delete from sms.submit" "select * from sms.seqcounter" "select sms.seq('one')" \
  "select * from sms_api.sessions" "select * from sms_api.failed_logins" "select * from sms_api.issued" \
  "update sms_api.customers set smscount = 99999999" "delete from sms_api.charge" \
  "insert into sms_api.submit(submitid) values (1)" "update sms_api.issued set used = null"; do
  refused "rights: $stmt" '\(1142\|1143\|1370\)' "$as_demo $stmt"
done
for stmt in "select * from mysql.user" "select * from mysql.global_priv" "select * from mysql.proc" \
  "select body from mysql.proc"; do
  refused "mysql.*: $stmt" '\(1142\|1305\|1044\)' "$stmt"
done
out=$(client -e "show create procedure sms_api.login" 2>&1 | cut -f3)
if [ "$out" = NULL ]; then pass; else fail "a routine's body is hidden: $out"; fi
same "no view definition through information_schema" "" \
  "select view_definition from information_schema.views where table_schema = 'sms_api' and view_definition <> ''"
same "LOAD_FILE reads nothing" "NULL" "select load_file('/etc/passwd')"
refused "INTO OUTFILE" '\(1045\|1227\)' "$as_demo select customername into outfile '/tmp/sms-hardened-out.txt' from customers"
refused "INTO DUMPFILE" '\(1045\|1227\)' "select 'x' into dumpfile '/tmp/sms-hardened-dump.txt'"
refused "LOAD DATA INFILE" '\(1045\|1142\|1227\)' "load data infile '/etc/passwd' into table sms_api.customers"
for stmt in "create table sms_api.t(x int)" "create table sms.t(x int)" "drop view sms_api.customers" \
  "drop table sms.customers" "alter table sms.customers add x int" "create database x" \
  "create or replace procedure sms_api.p() begin end" "drop procedure sms_api.login" \
  "create user x@'%'" "grant select on sms.* to sms_client@'%'" "set global require_secure_transport = off" \
  "create or replace view sms_api.v as select 1" "truncate table sms.submit"; do
  refused "DDL: $stmt" '\(1142\|1044\|1227\|1370\|1410\)' "$stmt"
done

# --- before a login, and forged sessions ------------------------------------------
same "views before a login" "0	0	0	0" \
  "select (select count(*) from customers), (select count(*) from submit), (select count(*) from charge),
          (select count(*) from sysPara)"
refused "seq before a login" 50100 "select seq('one')"
refused "recharge before a login" 50100 "call recharge('demo_a', 1)"
refused "submit before a login" 50100 "call submit_batch(1001, '1\n', '', 'x', null, 1, 1)"
refused "create_child before a login" 50100 "call create_child('n1', 'p', '', '')"
refused "change_password before a login" 50100 "call change_password('demo123', 'x')"
refused "set_child_password before a login" 50100 "call set_child_password('demo_a', 'x')"
refused "current_session before a login" 50100 "call current_session(@i, @n)"
same "a made-up token" "0" \
  "set @sms_api_token = sha2('guess', 256); select count(*) from customers"
refused "a made-up token, seq" 50100 "set @sms_api_token = repeat('0', 64); select seq('one')"
token=$(client -e "$as_demo select @sms_api_token")
same "another connection's token" "0" "set @sms_api_token = '$token'; select count(*) from customers"
refused "another connection's token, recharge" 50100 "set @sms_api_token = '$token'; call recharge('demo_a', 1)"
same "logout ends the session" "3
0" \
  "$as_demo select count(*) from customers; call logout(); select count(*) from customers"
# A session that expires while its connection lasts shows nothing from then on.
admin -e "delete from sms_api.sessions"
(
  for _ in $(seq 1 100); do
    [ "$(admin -e "select count(*) from sms_api.sessions")" != 0 ] && break
    sleep 0.1
  done
  admin -e "update sms_api.sessions set expires = now() - interval 1 second"
) &
expirer=$!
same "a session that expired" "0" "$as_demo do sleep(4); select count(*) from customers"
wait "$expirer"
# A session in use is kept alive: session_customer_id(), which the program
# calls at least once an hour, and every routine move on an expiry that comes
# near; the views read the session as it is.
admin -e "delete from sms_api.sessions"
(
  for _ in $(seq 1 100); do
    [ "$(admin -e "select count(*) from sms_api.sessions")" != 0 ] && break
    sleep 0.1
  done
  admin -e "update sms_api.sessions set expires = now() + interval 1 hour"
) &
expirer=$!
same "a session near its expiry" "3
3" "$as_demo select count(*) from customers; do sleep(3); select count(*) from customers;
    do session_customer_id()"
wait "$expirer"
admin_same "its expiry was moved on" "1" \
  "select count(*) from sms_api.sessions where expires > now() + interval 11 hour"
# A statement prepared on the server reads through the session of each
# execution: after a login as another customer, that customer's rows.
same "a prepared read after another login" "demo	3
demo_a	2" "$as_demo prepare r from 'select min(customername), count(*) from customers'; execute r;
    call login('demo_a', 'a123'); execute r"

# --- other customers' rows and passwords -------------------------------------------
same "customers: own row and direct sub-accounts, passwords masked" \
"demo		 4 
demo_a		4
demo_b		4" "$as_demo select customername, password, companyid from customers order by customername"
same "customers by name (the client's reads)" "0	0	1	1" \
  "$as_demo select (select count(*) from customers where customername = 'rival'),
    (select count(*) from customers where customername = 'demo_a_x'),
    (select count(*) from customers where customername = 'demo'),
    (select count(*) from customers where parentname = 'demo' and customerName like '%a%')"
same "no password anywhere" "0" "$as_demo select count(*) from customers where password <> ''"
same "submit and charge: nothing of rival's" "0	0" \
  "$as_demo select (select count(*) from submit), (select count(*) from charge)"
same "sysPara: the four known names only" "bookingNotice
customerNotice
defaultlimitrate
softerVer" "$as_demo select name from sysPara order by name"
same "a sub-account sees itself and its own sub-account, not its parent" "demo_a
demo_a_x" "$(login demo_a a123) select customername from customers order by customername"

# --- recharge ----------------------------------------------------------------------
refused "recharge to another customer's sub-account" 50106 "$as_demo call recharge('rival_a', 1)"
refused "recharge to another customer" 50106 "$as_demo call recharge('rival', 1)"
refused "recharge to a sub-account's sub-account" 50106 "$as_demo call recharge('demo_a_x', 1)"
refused "recharge to oneself" 50106 "$as_demo call recharge('demo', 1)"
refused "recharge to a name that does not exist" 50106 "$as_demo call recharge('nobody', 1)"
refused "recharge beyond the own balance" 50110 "$as_demo call recharge('demo_a', 100001)"
refused "taking back more than the sub-account has" 50110 "$as_demo call recharge('demo_a', -501)"
refused "an amount beyond 32 bits" 50105 "$as_demo call recharge('demo_a', 2147483648)"
refused "a sub-account takes from its parent" 50106 "$(login demo_a a123) call recharge('demo', -100)"
refused "set_child_password of another's account" 50106 "$as_demo call set_child_password('rival_a', 'x')"
refused "set_child_contact of a sub-account's sub-account" 50106 \
  "$as_demo call set_child_contact('demo_a_x', '1', '2')"
admin_same "nothing of the refusals changed a row" "demo	100000
demo_a	500
demo_a_x	70
demo_b	0
rival	9000
rival_a	10
1" "select customername, smscount from customers where customername <> '' order by customername;
    select count(*) from charge"

same "recharge +50, -20 and 0 by CALL" "" \
  "$as_demo call recharge('demo_a', 50); call recharge('demo_a', -20); call recharge('DEMO_B', 0)"
admin_same "balances after the recharges" "demo	99970
demo_a	530
demo_b	0" "select customername, smscount from customers where customername in ('demo', 'demo_a', 'demo_b')
    order by customername"
# The rows the legacy statement writes for the same recharges, beside them.
admin -e "insert into charge(customername,remainWhenCharge,chargePoint,contributor,chargeTime)
  values('demo_a',500,50,'demo',now()), ('demo_a',550,-20,'demo',now()), ('demo_b',0,0,'demo',now())"
admin_same "charge rows equal the legacy statement's" "3" \
  "with r as (select *, row_number() over (order by seqNO) rn from charge where contributor = 'demo')
   select count(*) from r h join r l on l.rn = h.rn + 3
    where h.rn <= 3 and binary l.customername = binary h.customername
      and l.remainWhenCharge = h.remainWhenCharge and l.chargePoint = h.chargePoint
      and binary l.contributor = binary h.contributor and abs(timestampdiff(second, l.chargeTime, h.chargeTime)) <= 5"
same "recharge records as the customer lists them" "demo_a	500	50	demo
demo_a	550	-20	demo
demo_b	0	0	demo" "$as_demo select customername, remainWhenCharge, chargePoint, contributor from charge
  where contributor = 'demo' and chargeTime <= now() + interval 1 day and chargeTime >= now() - interval 1 day
  order by seqNO limit 3"
same "inside a caller's transaction a rollback undoes the recharge" "530	0" \
  "$as_demo start transaction; call recharge('demo_a', 7); rollback;
   select (select smscount from customers where customername = 'demo_a'),
          (select count(*) from charge where chargePoint = 7)"
# (one statement a line: after an error the client goes on with the next line)
out=$(client --force 2>&1 <<SQL
$as_demo
start transaction;
call recharge('demo_a', 3);
call recharge('demo_a', 999999999);
commit;
select concat('balance ', smscount) from customers where customername = 'demo_a';
SQL
)
if grep -q "^ERROR 50110" <<<"$out" && grep -qx "balance 533" <<<"$out"; then pass; else
  fail "a refusal inside a caller's transaction keeps the call before it: $out"; fi

# --- batch numbers and counts --------------------------------------------------------
rival_n=$(client -e "$(login rival rival-secret) select seq('one')")
refused "a batch number issued to another customer" 50109 \
  "$as_demo call submit_batch($rival_n, '13800000001\n', '', 'x', null, 1, 1)"
refused "a batch number never issued" 50109 \
  "$as_demo call submit_batch(5000000, '13800000001\n', '', 'x', null, 1, 1)"
refused "seq of another counter" 50105 "$as_demo select seq('two')"
refused "phone count declared lower" 50107 \
  "$as_demo set @n = seq('one'); call submit_batch(@n, '13800000001\n13800000002\n13800000003\n', '', 'x', null, 2, 1)"
refused "a last line without its line feed counts" 50107 \
  "$as_demo set @n = seq('one'); call submit_batch(@n, '13800000001\n13800000002', '', 'x', null, 1, 1)"
refused "segments declared lower (71 units)" 50107 \
  "$as_demo set @n = seq('one'); call submit_batch(@n, '13800000001\n', '', repeat('a', 71), null, 1, 1)"
# 36 characters outside the BMP: 72 UTF-16 units, two segments (36 characters would be one).
refused "segments counted in UTF-16 units" 50107 \
  "$as_demo set @n = seq('one'); call submit_batch(@n, '13800000001\n', '', repeat('😀', 36), null, 1, 1)"
refused "more test lines than phone lines" 50108 \
  "$as_demo set @n = seq('one'); call submit_batch(@n, '13800000001\n', '1\n2\n', 'x', null, 1, 1)"
refused "a zero count" 50105 "$as_demo set @n = seq('one'); call submit_batch(@n, '', '', 'x', null, 0, 1)"
refused "a send beyond the balance" 50110 \
  "$(login demo_b b123) set @n = seq('one'); call submit_batch(@n, '13800000001\n', '', 'x', null, 1, 1)"
refused "a send of 2^31 x 2 beyond the balance" 50110 \
  "$as_demo set @n = seq('one'); call submit_batch(@n, '13800000001\n', '', 'x', null, 2147483647, 2)"
admin_same "the refused sends changed nothing" "0	99967	0" \
  "select (select count(*) from submit where customername <> 'rival'),
          (select smscount from customers where customername = 'demo'),
          (select smscount from customers where customername = 'demo_b')"

# A number stays usable after a refusal; a stored batch uses it up.
out=$(client -e "$as_demo select seq('one') into @n; select @n;
  call submit_batch(@n, '13800000001\n13800000002\n', '13800000001\n', '你好😀', null, 2, 1);
  select @n;" 2>&1)
now_n=$(head -1 <<<"$out")
if [[ "$now_n" =~ ^[0-9]+$ ]] && [ "$(tail -1 <<<"$out")" = "$now_n" ]; then pass; else
  fail "send now by CALL: $out"; now_n=0; fi
refused "a batch number used before" 50109 \
  "$as_demo call submit_batch($now_n, '13800000001\n', '', 'x', null, 1, 1)"
booked_n=$(client -e "$as_demo select seq('one') into @n;
  call submit_batch(@n, '13800000001\n', '', '预约', '2031-05-06 07:08:09', 1, 1); select @n" 2>&1)
same "the sender's own batches" "$now_n	你好😀	demo	2	1
$booked_n	预约	demo	1	1" "$as_demo select submitid, content, customername, phonecount, msgcount from submit
  order by submitid"
# The rows the two legacy inserts write for the same batches, beside them.
admin -e "insert into submit(submitid,phones,testPhones,content,customername,submittime,phonecount,msgcount)
    values($now_n + 100000,'13800000001\n13800000002\n','13800000001\n','你好😀','demo',now(),2,1);
  insert into submit(submitid,phones,testPhones,content,appointtime,customername,submittime,phonecount,msgcount)
    values($booked_n + 100000,'13800000001\n','','预约','2031-05-06 07:08:09','demo',now(),1,1)"
admin_same "submit rows equal the legacy inserts'" "2" \
  "select count(*) from submit h join submit l on l.submitid = h.submitid + 100000
    where h.submitid in ($now_n, $booked_n) and binary l.phones = binary h.phones
      and binary l.testPhones = binary h.testPhones and binary l.content = binary h.content
      and binary l.customername = binary h.customername and l.phonecount = h.phonecount
      and l.msgcount = h.msgcount and abs(timestampdiff(second, l.submittime, h.submittime)) <= 5
      and (h.submitid = $booked_n and l.appointtime = h.appointtime
           or h.submitid = $now_n and abs(timestampdiff(second, h.appointtime, h.submittime)) <= 5)"
same "the batch is read back with the client's own lookup" "$now_n" \
  "$as_demo select submitid from submit where submitid = $now_n lock in share mode"

# --- sub-accounts and passwords ---------------------------------------------------------
same "create_child" "" "$as_demo call create_child('  kid1 ', ' kp1 ', ' 135 ', ' 上海 ')"
refused "create_child with a name that exists (another customer's)" 50104 \
  "$as_demo call create_child('RIVAL', 'p', '', '')"
refused "create_child with an empty name" 50105 "$as_demo call create_child('   ', 'p', '', '')"
refused "create_child with a name too long" 50105 "$as_demo call create_child(repeat('n', 65), 'p', '', '')"
admin -e "insert into customers(customername,password,realname,parentname,limitrate,smscount,customerKind,
    customerGrade,childCount,createtime,telphone,address,companyid)
  values('kid1_legacy','kp1','kid1_legacy','demo',85,0,'新开',2,0,now(),'135','上海','4')"
admin_same "the new row equals the legacy insert's" "1" \
  "select count(*) from customers h join customers l on binary l.customername = 'kid1_legacy'
    where binary h.customername = 'kid1' and binary h.realname = 'kid1' and binary h.password = binary l.password
      and binary h.parentname = binary l.parentname and h.limitrate = l.limitrate and h.smscount = l.smscount
      and binary h.customerKind = binary l.customerKind and h.customerGrade = l.customerGrade
      and h.childCount = l.childCount and abs(timestampdiff(second, h.createtime, l.createtime)) <= 5
      and binary h.telphone = binary l.telphone and binary h.address = binary l.address
      and binary h.companyid = binary l.companyid"
admin -e "delete from customers where customername = 'kid1_legacy'"
same "the creator with a limit rate of its own passes it on" "" \
  "$(login demo_a a123) call create_child('kid2', '', '', '')"
admin_same "kid2: the creator's rate, grade plus one, empty password" "90	3		demo_a	0" \
  "select limitrate, customerGrade, password, parentname, smscount from customers where customername = 'kid2'"
same "set_child_password and set_child_contact" "" \
  "$as_demo call set_child_password('kid1', ' new pw '); call set_child_contact('kid1', '136', '广州')"
admin_same "stored as given" " new pw 	136	广州" \
  "select password, telphone, address from customers where customername = 'kid1'"
same "the new password logs in; the sub-account sees no password of its own" "kid1	" \
  "$(login kid1 ' new pw ') select customername, password from customers"
refused "change_password with a wrong old password" 50103 "$as_demo call change_password('DEMO123', 'x')"
same "change_password" "" "$as_demo call change_password('demo123', 'demo456')"
refused "the old password no longer logs in" 50101 "$as_demo"
as_demo=$(login demo demo456)
same "the new one does" "1" "$as_demo select count(*) from customers where customername = 'demo'"
refused "login inside a transaction" 50105 "start transaction; $as_demo"
refused "login under autocommit 0" 50105 "set autocommit = 0; $as_demo"
refused "seq inside a transaction (the counter's row stays locked)" 50105 \
  "$as_demo start transaction; select seq('one')"
refused "seq under autocommit 0" 50105 "$as_demo set autocommit = 0; select seq('one')"
refused "create_child inside a transaction" 50105 "$as_demo start transaction; call create_child('kid9', '', '', '')"
refused "an empty name never logs in (the row without a name, the parent of no one)" 50101 "$(login ' ' '')"
refused "no name at all" 50101 "$(login '' '')"

# --- throttling ---------------------------------------------------------------------------
out=""
for i in 1 2 3 4 5; do
  out+=$(client -e "$(login demo_b wrong$i)" 2>&1 | grep -o '^ERROR [0-9]*')" "
done
if [ "$out" = "ERROR 50101 ERROR 50101 ERROR 50101 ERROR 50101 ERROR 50101 " ]; then pass; else
  fail "five wrong passwords: $out"; fi
refused "the right password after five failures" 50102 "$(login demo_b b123)"
refused "the same name in other letter case" 50102 "$(login DEMO_B b123)"
same "another name is not locked" "1" "$(login demo_a a123) select count(*) from customers where customername = 'demo_a'"
# Failures count in a row: the right password starts the count again.
out=""
for round in 1 2; do
  for i in 1 2 3 4; do
    out+=$(client -e "$(login demo_a wrong$i)" 2>&1 | grep -o '^ERROR [0-9]*')" "
  done
  client -e "$(login demo_a a123)" >/dev/null 2>&1 || out+="refused "
done
if [ "$out" = "$(printf 'ERROR 50101 %.0s' 1 2 3 4 5 6 7 8)" ]; then pass; else
  fail "four wrong passwords, the right one, four wrong: $out"; fi
admin_same "no count of failures is left for the name" "0" \
  "select count(*) from sms_api.failed_logins where name = 'demo_a'"
admin -e "update sms_api.failed_logins set locked_until = now() - interval 1 second,
  last_failure = now() - interval 16 minute where name = 'demo_b'"
same "after the lock's time the right password logs in" "1" \
  "$(login demo_b b123) select count(*) from customers"
# A second login on a connection replaces its session: one row, the new customer's.
same "a second login replaces the connection's session" "demo_a" \
  "$(login demo_b b123) $(login demo_a a123) select group_concat(customername) from customers where customername in ('demo_a', 'demo_b')"
admin_same "a connection holds one session" "0" \
  "select count(*) from (select conn_id from sms_api.sessions group by conn_id having count(*) > 1) t"
# A caller's transaction could take the count of failures back: no password
# is tried inside one.
out=""
for i in 1 2 3 4 5 6; do
  out+=$(client -e "set autocommit = 0; $(login rival wrong$i)" 2>&1 | grep -o '^ERROR [0-9]*')" "
done
if [ "$out" = "ERROR 50105 ERROR 50105 ERROR 50105 ERROR 50105 ERROR 50105 ERROR 50105 " ]; then pass; else
  fail "logins under autocommit 0: $out"; fi

# --- concurrent sends: the balance is never overdrawn ---------------------------------------
balance=$(admin -e "select smscount from customers where customername = 'demo_a'")
senders=()
for w in 1 2 3 4; do
  (
    for _ in $(seq 1 8); do
      # A deadlock (1213) is tried again, as the program does.
      for _ in 1 2 3 4; do
        client -e "$(login demo_a a123) set @n = seq('one');
          call submit_batch(@n, '13800000001\n13800000002\n', '', repeat('x', 140), null, 10, 2)" 2>&1 |
          grep -q '^ERROR 1213' || break
      done
    done
  ) &
  senders+=($!)
done
wait "${senders[@]}"
sent=$((balance / 20)); [ "$sent" -gt 32 ] && sent=32
admin_same "concurrent sends: batches of 20 only while the balance covers them" "$sent	$((balance - 20 * sent))" \
  "select (select count(*) from submit where customername = 'demo_a'),
          (select smscount from customers where customername = 'demo_a')"

# --- the books ---------------------------------------------------------------------------
# Every message credit is still in a balance or was spent by a stored batch;
# the rows stored by the legacy inserts above cost nothing.
admin_same "the books balance" "$total_before" \
  "select (select sum(smscount) from customers)
        + (select ifnull(sum(s.phonecount * s.msgcount), 0) from submit s join sms_api.issued i
            on i.submitid = s.submitid)"
admin_same "every stored batch used its own number" "0" \
  "select count(*) from submit s join sms_api.issued i on i.submitid = s.submitid
    join customers c on c.customerid = i.customerid where i.used is null or s.customername <> c.customername"

# --- a cluster's other nodes hold the same ----------------------------------------------
node_facts() {
  mariadb --no-defaults --socket="$1" -uroot -p604918 -N -B -e "
    set session wsrep_sync_wait = 1;
    select (select count(*) from information_schema.routines where routine_schema = 'sms_api'),
           (select count(*) from information_schema.views where table_schema = 'sms_api'),
           (select group_concat(concat(user, '@', host, ':', ifnull(json_value(priv, '\$.account_locked'), '-'),
              ':', json_value(priv, '\$.plugin')) order by user, host) from mysql.global_priv
             where user in ('root', 'sms_client', 'sms_server', 'sms_api_owner')),
           (select sum(smscount) from sms.customers), (select count(*) from sms.submit),
           (select count(*) from sms_api.issued where used is not null)" 2>&1
}
if [ -n "${SMS_HARDENED_OTHER_SOCKETS:-}" ]; then
  here_facts=$(node_facts "$socket")
  for other in $SMS_HARDENED_OTHER_SOCKETS; do
    out=$(node_facts "$other")
    if [ "$out" = "$here_facts" ]; then pass; else fail "node $other: [$out], here: [$here_facts]"; fi
  done
fi

# --- running the script again, and going back --------------------------------------------
checksums() { admin -e "checksum table sms.customers, sms.submit, sms.charge, sms.sysPara, sms.seqcounter"; }
before=$(checksums)
sessions=$(admin -e "select count(*) from sms_api.sessions")
if admin <"$root/db/hardened.sql" >/dev/null 2>&1; then pass; else fail "db/hardened.sql a second time"; fi
if [ "$(checksums)" = "$before" ]; then pass; else fail "db/hardened.sql a second time changed rows"; fi
admin_same "sessions and issued numbers stay" "$sessions" "select count(*) from sms_api.sessions"
# The service's server side: its own account, on the tables of sms as before.
if admin --init-command="set @sms_server_password = 'Srv-test-pw.1'" <"$root/db/hardened.sql" >/dev/null 2>&1
then pass; else fail "db/hardened.sql with a password for sms_server"; fi
server() {
  mariadb --no-defaults -h127.0.0.1 -P"$port" -usms_server -pSrv-test-pw.1 --ssl-ca="$ca" -N -B sms "$@" 2>&1
}
out=$(server -e "select count(*) from customers where customername = 'rival';
  update submit set phonecount = phonecount where submitid = 900000; select 'written'")
if [ "$out" = "1
written" ]; then pass; else fail "sms_server on the tables of sms: $out"; fi
out=$(server -e "select count(*) from sms_api.sessions")
if grep -q '^ERROR 1142' <<<"$out"; then pass; else fail "sms_server reads sessions: $out"; fi
out=$(admin --init-command="set @sms_server_password = '604918'" <"$root/db/hardened.sql" 2>&1)
if grep -q '^ERROR 1644' <<<"$out"; then pass; else fail "sms_server with the old built-in password: $out"; fi
same "the client works on" "1" "$(login demo_a a123) select count(*) from customers where customername = 'demo_a'"
if [ -n "$own_server" ]; then
  if admin <"$root/db/hardened-undo.sql" >/dev/null 2>&1; then pass; else fail "db/hardened-undo.sql"; fi
  if [ "$(checksums)" = "$before" ]; then pass; else fail "db/hardened-undo.sql changed rows"; fi
  out=$(mariadb --no-defaults -h127.0.0.1 -P"$port" -uroot -p604918 --skip-ssl -N -B \
    -e "select count(*) from sms.customers where customername = 'demo'" 2>&1)
  if [ "$out" = 1 ]; then pass; else fail "root / 604918 over TCP after going back: $out"; fi
  admin_same "sms_api, sms_client and the role are gone" "0	0" \
    "select (select count(*) from information_schema.schemata where schema_name = 'sms_api'),
            (select count(*) from mysql.user where user in ('sms_client', 'sms_api_owner'))"
  out=$(mariadb --no-defaults --socket="$socket" -uroot -p604918 sms <"$root/db/hardened.sql" 2>&1)
  if [ -z "$out" ]; then pass; else fail "hardened again after going back: $out"; fi
  same "hardened again: the client logs in" "1" "$(login demo demo456) select count(*) from customers
    where customername = 'demo'"
fi

echo "$checks checks, $failures failed"
[ "$failures" -eq 0 ]
