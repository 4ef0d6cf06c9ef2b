#!/usr/bin/env bash
# Tests the Windows program on Debian, under Wine:
#   1. builds the toolchain when the cache has none (scripts/win-toolchain.sh),
#      the program, its zip and its installer (scripts/windows.sh) and the
#      Windows test programs of the data, send, accounts and records areas;
#   2. runs those programs under Wine against MariaDB servers started here
#      (scripts/dbserver.sh), named to them in SMS_TEST_SERVERS;
#   3. installs the program silently (/S) for the current user, starts it from
#      the installed place on a virtual X display (Xvfb) and drives it with
#      xdotool: the demo login, a send to typed numbers and to the numbers of
#      a GBK text file (Wine's ANSI code page 936), checked in the database,
#      the send records page listing the batch; the placement file beside the
#      program, and in %LOCALAPPDATA%\korvessa when the program's folder is
#      read-only; then uninstalls and checks what is left.
# Everything from step 2 on runs in a network namespace of its own (loopback
# only: the program's built-in database address 127.0.0.1:3306 is the test's
# own server there) with a private Wine prefix in the run's temporary folder.
#
#   scripts/test-windows.sh [ctest options]   e.g. -R tst_dm_core
# Screenshots of the driven program are left in build-win/shots/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${WIN_BUILD_DIR:-$root/build-win}
log() { printf '[test-windows %s] %s\n' "$(date +%T)" "$*" >&2; }
stage_start=0
stage() { stage_start=$(date +%s); log "stage $1"; }
stage_done() { log "stage $1 done in $(( $(date +%s) - stage_start )) s"; }

if [ "${1:-}" != "--inside" ]; then
  t0=$(date +%s)
  "$root/scripts/windows.sh"
  prefix=$("$root/scripts/win-toolchain.sh" --path)
  stage tests-build
  # Under Wine the checkout is seen on drive Z:.
  export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH=
  cmake -S "$root" -B "$build" -DSMS_TESTS=ON -DSMS_TEST_SOURCE_DIR="Z:$root" \
    -DCMAKE_CROSSCOMPILING_EMULATOR=wine >/dev/null
  cmake --build "$build" --parallel "${WIN_JOBS:-$(nproc)}"
  stage_done tests-build
  tmp=$(mktemp -d /tmp/sms-wintest.XXXXXX)
  cleanup() {
    for p in "$tmp"/srv/*/pid; do
      [ -f "$p" ] && kill "$(cat "$p")" 2>/dev/null || true
    done
    sleep 0.5
    rm -rf "$tmp"
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  rc=0
  if unshare -n -m true 2>/dev/null; then
    unshare -n -m --propagation private "$0" --inside "$tmp" "$prefix" "$@" || rc=$?
  else
    log "no network namespace here: the run shares the machine's loopback"
    "$0" --inside "$tmp" "$prefix" "$@" || rc=$?
  fi
  log "all done in $(( $(date +%s) - t0 )) s (exit $rc)"
  exit $rc
fi

# --- inside the namespace ------------------------------------------------------
tmp=$2
prefix=$3
shift 3
qtprefix=$(cat "$prefix/qt-prefix")
in_ns=""
if [ "$(ip -o link show 2>/dev/null | wc -l)" -le 1 ]; then
  in_ns=1
  ip link set lo up
  # X sockets of the namespace's own.
  mkdir -p /tmp/.X11-unix
  mount -t tmpfs tmpfs /tmp/.X11-unix
  chmod 1777 /tmp/.X11-unix
fi
failures=()
fail() { log "FAIL: $*"; failures+=("$*"); }
check() { # check "what" command...: records a failure when the command fails
  local what=$1; shift
  if "$@"; then log "ok: $what"; else fail "$what"; fi
}

winpath() { echo "Z:${1//\//\\}"; }
export HOME=$tmp/home TMPDIR=$tmp WINEPREFIX=$tmp/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$HOME"
# The customers' Windows: Chinese, ANSI code page 936 (Wine takes it from
# LC_ALL; the machine itself need not have that locale).
zh() { LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 "$@"; }
gccdir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
export WINEPATH="$(winpath "$qtprefix/bin");$(winpath "$prefix/bin");$(winpath "$prefix/lib");$(winpath "$prefix/lib/mariadb");$(winpath "$gccdir");$(winpath /usr/x86_64-w64-mingw32/lib)"
# Wine passes no QT_* variable on to a program; WINEQT_* it passes as QT_*.
export WINEQT_PLUGIN_PATH="$(winpath "$qtprefix/plugins");$(winpath "$prefix/plugins")"

stage wine-prefix
zh wineboot -i >/dev/null 2>&1
wineserver -w
stage_done wine-prefix

stage servers
export SMS_DB_TEMPLATE=$tmp/db-template
srv=$tmp/srv
mkdir -p "$srv"
start_server() { # start_server NAME PORT [mariadbd options]
  local name=$1 port=$2; shift 2
  setsid bash "$root/scripts/dbserver.sh" exec "$srv/$name" "$port" "$@" >/dev/null 2>&1 </dev/null &
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
p0=$(free_port); p1=$(free_port); p2=$(free_port)
start_server plain "$p0"
start_server zone "$p1" --default-time-zone=+07:13
start_server foreign "$p2" --sql-mode= --max-allowed-packet=16M
service_port=3306
[ -n "$in_ns" ] || service_port=$(free_port)
start_server service "$service_port"
for s in plain zone foreign; do bash "$root/scripts/dbserver.sh" setup "$srv/$s"; done
bash "$root/scripts/dbserver.sh" setup "$srv/service" --demo
export SMS_TEST_SERVERS="127.0.0.1:$p0;127.0.0.1:$p1 --default-time-zone=+07:13;127.0.0.1:$p2 --sql-mode= --max-allowed-packet=16M"
stage_done servers

# --- the test programs ---------------------------------------------------------
stage test-programs
ctest_rc=0
# The offscreen platform finds its fonts in QT_QPA_FONTDIR (the Chinese font
# of the Linux side). tst_dm_mode needs hardened servers of its own (TLS).
(cd "$build" && WINEQT_QPA_FONTDIR="$(winpath /usr/share/fonts/truetype/wqy)" \
  zh ctest -L 'data|send|accounts|records' -LE hardened -E '^tst_dm_mode$' --timeout 900 "$@") \
  | tee "$tmp/ctest.log" || ctest_rc=$?
# What failed, from each program's own log (a Qt Test program's standard
# output does not reach Wine's caller).
find "$build/tests" -name 'tst_*.txt' -newer "$tmp/ctest.log" -o -name 'tst_*.txt' -mmin -30 2>/dev/null | sort -u |
  while read -r f; do grep -H -E '^FAIL|^QFATAL|failure location|Actual|Expected' "$f" || true; done
[ "$ctest_rc" -eq 0 ] || fail "test programs under Wine (see above)"
stage_done test-programs

# --- installer and the installed program ---------------------------------------
setup_exe=$(ls "$root"/dist/korvessa-*-win64-setup.exe | head -1)
user_dir=$WINEPREFIX/drive_c/users/$(id -un)
inst=$user_dir/AppData/Local/Programs/Korvessa
start_menu="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Korvessa.lnk"
uninst_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvessa'
sql() { mariadb --no-defaults --socket="$srv/service/sock" -uroot -p604918 -N -B sms -e "$1"; }

stage install
zh wine "$setup_exe" /S
wineserver -w
check "installed korvessa.exe" test -f "$inst/korvessa.exe"
check "installed Qt's MySQL driver" test -f "$inst/sqldrivers/qsqlmysql.dll"
check "installed the uninstaller" test -f "$inst/uninstall.exe"
check "Start-menu entry" test -f "$start_menu"
check "Programs and Features entry" sh -c "wine reg query '$uninst_key' /v DisplayName 2>/dev/null | grep -q Korvessa"
stage_done install

# --- the installed program on a virtual display ---------------------------------
stage gui
# A Wine started anew, on the display (the one so far had none).
wineserver -k || true
wineserver -w || true
display=$(for n in $(seq 20 99); do [ -e "/tmp/.X$n-lock" ] || { echo "$n"; break; }; done)
export DISPLAY=:$display
shots=$build/shots
rm -rf "$shots" && mkdir -p "$shots"
Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
openbox >/dev/null 2>&1 &
wm_pid=$!
shot() { import -window root "$shots/$1.png" 2>/dev/null || true; }
# Windows are found by the program's window class and compared by their
# titles here (xdotool's own name search misses titles Wine sets in Chinese).
titled() { # titled NAME: the id of the program's visible window titled NAME
  local w
  for w in $(xdotool search --onlyvisible --classname korvessa 2>/dev/null); do
    [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && { echo "$w"; return 0; }
  done
  return 1
}
find_window() { # find_window NAME [seconds]
  local i
  for i in $(seq 1 $(( ${2:-60} * 5 ))); do
    titled "$1" && return 0
    sleep 0.2
  done
  return 1
}
gone() { # gone NAME [seconds]: no window titled NAME any more
  local i
  for i in $(seq 1 $(( ${2:-20} * 5 ))); do
    titled "$1" >/dev/null || return 0
    sleep 0.2
  done
  return 1
}
keys() { xdotool key --delay 80 "$@"; sleep 0.3; }
typed() { xdotool type --delay 60 "$1"; sleep 0.3; }
click_at() { # click_at WINDOW X Y: a click at X,Y inside the window
  xdotool mousemove --window "$1" "$2" "$3" click 1
  sleep 0.5
}
prog=$inst/korvessa.exe
# The installed program on its own: none of the toolchain's folders.
run_program() { (cd "$inst" && env -u WINEPATH -u WINEQT_PLUGIN_PATH LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 \
  wine "$prog" >"$tmp/program.log" 2>&1) & }
login_demo() {
  local w
  w=$(find_window 登录 90) || return 1
  xdotool windowactivate --sync "$w" 2>/dev/null || xdotool windowfocus --sync "$w"
  sleep 0.5
  typed demo; keys Return; typed demo123; keys Return; keys Return
  find_window Korvessa 30 >/dev/null
}
exit_program() { # the exit question answered Yes
  local w
  w=$(find_window Korvessa 10) || return 1
  xdotool windowactivate --sync "$w" 2>/dev/null || true
  keys alt+F4
  w=$(find_window 提示 10) || return 1
  keys y
  wineserver -w
}

# A number file in GBK, as a Chinese Windows' Notepad saves it.
printf '13700000001 \xd5\xc5\xc8\xfd\r\n13700000002 \xc0\xee\xcb\xc4\r\n' >"$tmp/phones-gbk.txt"

run_program
if login_demo; then
  log "ok: started from the installed place, demo login"
  shot 1-send-page
  main=$(find_window Korvessa 5)
  xdotool windowactivate --sync "$main" 2>/dev/null || true
  # Where the main window is on the screen, for the screenshots' parts.
  X=$(xwininfo -id "$main" | sed -n 's/.*Absolute upper-left X: *//p')
  Y=$(xwininfo -id "$main" | sed -n 's/.*Absolute upper-left Y: *//p')
  log "main window at $X,$Y"
  # Places of the controls in the main window at its first size (915 x 568),
  # as Wine draws them.
  btn_input_x=867; btn_input_y=336     # 手工录入
  btn_load_x=867; btn_load_y=366       # 文件导入
  btn_send_x=867; btn_send_y=282       # 立即发送
  edt_message_x=457; edt_message_y=172 # the message
  btn_records_x=240; btn_records_y=30  # 发送记录 (toolbar)
  btn_query_x=61; btn_query_y=74       # 发送记录明细
  grid_x=15; grid_y=145; grid_w=880; grid_h=300
  # Numbers typed by hand.
  click_at "$main" $btn_input_x $btn_input_y
  if w=$(find_window 手工录入号码 10); then
    typed 13900000001; keys Return; typed 13900000002
    shot 2-input-phones
    click_at "$w" 130 396 # 确定
    gone 手工录入号码 10 || { fail "phone entry dialog stays open"; keys Escape; }
  else
    fail "phone entry dialog did not open"
  fi
  # The GBK file through the import's file dialog.
  click_at "$main" $btn_load_x $btn_load_y
  if w=$(find_window 打开 10); then
    sleep 1
    typed "$(winpath "$tmp/phones-gbk.txt" | tr '\\' /)"
    shot 3-file-dialog
    keys Return
    gone 打开 10 || fail "file dialog stays open"
  else
    fail "file dialog did not open"
  fi
  sleep 2
  # The message, then 立即发送 and Yes to its question, OK to its report.
  click_at "$main" $edt_message_x $edt_message_y
  typed "hello from wine"
  shot 4-filled
  click_at "$main" $btn_send_x $btn_send_y
  if find_window 提示 10 >/dev/null; then
    keys y
    sleep 2
    shot 5-sent
    keys Return
  else
    fail "no question before the send"
  fi
  sleep 1
  last=$(sql "select concat(phoneCount, '|', content, '|',
                trim(trailing ',' from replace(replace(phones, '\r', ''), '\n', ',')))
              from submit order by submitid desc limit 1" 2>/dev/null || true)
  log "last batch: $last"
  check "the batch in the database: typed and GBK-imported numbers" \
    test "$last" = "4|hello from wine|13900000001,13900000002,13700000001 张三,13700000002 李四"
  # The send records page lists it.
  before=$(sql "select count(*) from information_schema.processlist" 2>/dev/null || true)
  click_at "$main" $btn_records_x $btn_records_y
  sleep 1
  shot 6-records-empty
  click_at "$main" $btn_query_x $btn_query_y
  sleep 2
  shot 7-records-listed
  check "the records page lists the batch" \
    sh -c "[ \"\$(compare -metric AE -crop ${grid_w}x${grid_h}+$(( X + grid_x ))+$(( Y + grid_y )) \
      '$shots/6-records-empty.png' '$shots/7-records-listed.png' null: 2>&1 | cut -d' ' -f1)\" -gt 500 ]"
  exit_program || fail "the exit question"
  check "placement file beside the installed program" test -f "$inst/korvessa.ini"
else
  fail "the installed program did not start to its login"
  shot 0-no-login
fi

# A folder the program cannot write: its placement goes to %LOCALAPPDATA%\korvessa.
if [ -n "$in_ns" ]; then
  beside=$(sha1sum "$inst/korvessa.ini" 2>/dev/null || true)
  mount --bind -o ro "$inst" "$inst"
  run_program
  if login_demo; then
    exit_program || fail "the exit question (read-only folder)"
    check "placement file in %LOCALAPPDATA%\\korvessa" test -f "$user_dir/AppData/Local/korvessa/korvessa.ini"
    check "the file beside the read-only program untouched" \
      test "$(sha1sum "$inst/korvessa.ini" 2>/dev/null || true)" = "$beside"
  else
    fail "the program did not start from a read-only folder"
  fi
  umount "$inst"
fi
kill "$wm_pid" "$xvfb_pid" 2>/dev/null || true
stage_done gui

stage uninstall
zh wine "$inst/uninstall.exe" /S
wineserver -w
sleep 1
wineserver -w
check "uninstalled korvessa.exe" test ! -e "$inst/korvessa.exe"
check "uninstalled the DLLs" sh -c "! ls '$inst'/*.dll >/dev/null 2>&1"
check "uninstalled the Start-menu entry" test ! -e "$start_menu"
check "uninstalled the Programs and Features entry" sh -c "! wine reg query '$uninst_key' >/dev/null 2>&1"
check "placement file left" test -f "$inst/korvessa.ini"
stage_done uninstall
wineserver -k || true

echo
echo "== Windows test programs under Wine"
sed -n '/tests passed\|Test *#/p' "$tmp/ctest.log" | sed 's/^ *//'
echo "== installer and installed program: ${#failures[@]} failure(s)"
for f in "${failures[@]}"; do echo "  FAIL: $f"; done
[ ${#failures[@]} -eq 0 ]
