#!/usr/bin/env bash
# Tests the Debian package: builds it (scripts/package.sh), checks its file
# list, control fields, desktop entry and AppStream metainfo, installs it with
# apt-get, starts the installed program to its login dialog and cancels the
# dialog with a real mouse click on "退出", after which the program must end on
# its own (exit code 0) without writing a placement file. Then the package and
# whatever its installation pulled in are removed again (a korvessa package
# that was installed before the test stays installed, at this build).
#
# The program runs on a virtual X server (Xvfb), not on the offscreen platform:
# an offscreen window cannot be seen or clicked from outside the process.
# Needs root or sudo (apt-get).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
app_id=org.korvessa.Korvessa

fail() { echo "test-package: FAIL: $*" >&2; exit 1; }
say() { echo "test-package: $*"; }

"$root/scripts/package.sh" >/dev/null
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^project(Korvessa VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
deb=$root/dist/korvessa_${version}_${arch}.deb
[ -f "$deb" ] || fail "no package $deb"

work=$(mktemp -d /tmp/korvessa-pkg.XXXXXX)
xvfb_pid=""
app_pid=""
installed_before=$(dpkg-query -W -f='${Status} ${Version}' korvessa 2>/dev/null | grep '^install ok installed' || true)
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" {print $2}' | sort; }
installed >"$work/before"
cleanup() {
  local rc=$?
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  if [ -f "$work/installing" ]; then
    # Remove the package and what its installation brought along, nothing else.
    installed >"$work/after"
    mapfile -t added < <(comm -13 "$work/before" "$work/after")
    if [ -z "$installed_before" ]; then
      added+=(korvessa)
    fi
    if [ ${#added[@]} -gt 0 ]; then
      DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq "${added[@]}" >/dev/null 2>&1 ||
        { echo "test-package: could not remove ${added[*]}" >&2; rc=1; }
    fi
  fi
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# What the package holds and what it asks for.
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$work/files"
for f in /usr/bin/korvessa \
         /usr/share/applications/$app_id.desktop \
         /usr/share/metainfo/$app_id.metainfo.xml \
         /usr/share/icons/hicolor/scalable/apps/$app_id.svg \
         /usr/share/icons/hicolor/32x32/apps/$app_id.png \
         /usr/share/icons/hicolor/48x48/apps/$app_id.png \
         /usr/share/icons/hicolor/256x256/apps/$app_id.png; do
  grep -qx "$f" "$work/files" || fail "the package lacks $f"
done
if grep -E '/(tst_|bench_)|_shots$|sms_make_pictures|\.a$|/include/' "$work/files"; then
  fail "the package holds test, benchmark or build files (above)"
fi
depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
for d in libqt6sql6-mysql libqt6widgets6 libqt6sql6 libc6 fonts-wqy-zenhei libfreexl1; do
  grep -qE "(^|[ ,|])$d( |,|$)" <<<"$depends" || fail "Depends lacks $d: $depends"
done
grep -qw qt6-translations-l10n <<<"$recommends" || fail "Recommends lacks qt6-translations-l10n: $recommends"

# The desktop entry and the metainfo as shipped.
dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/$app_id.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/$app_id.metainfo.xml" >"$work/as.log" 2>&1 ||
  { cat "$work/as.log" >&2; fail "metainfo"; }
grep -qx 'Name=Korvessa' "$work/root/usr/share/applications/$app_id.desktop" || fail "desktop entry name"

# Install it as a user would.
touch "$work/installing"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --reinstall --allow-downgrades "$deb" \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install"; }
[ "$(dpkg-query -W -f='${Version}' korvessa)" = "$version" ] || fail "installed version"
[ -x /usr/bin/korvessa ] || fail "/usr/bin/korvessa not installed"
[ -f /usr/share/icons/hicolor/scalable/apps/$app_id.svg ] || fail "icon not installed"

# Start the installed program; its login dialog is the first window it shows.
mkdir -p "$work/home"
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1280x900x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 5>&-
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
export DISPLAY=:$(head -1 "$work/display")
(cd "$work/home" && HOME=$work/home XDG_CONFIG_HOME=$work/home/.config QT_QPA_PLATFORM=xcb \
  exec /usr/bin/korvessa >"$work/app.log" 2>&1) &
app_pid=$!
win=$(timeout 60 xdotool search --sync --onlyvisible --name '^登录$' | head -1) ||
  { cat "$work/app.log" >&2; fail "the login dialog did not appear"; }
kill -0 "$app_pid" 2>/dev/null || fail "the program ended before its login dialog"
# The "退出" button of the login dialog (at 310,140, 80 x 30).
xdotool mousemove --window "$win" 350 155 click 1
rc=""
for _ in $(seq 1 200); do
  if ! kill -0 "$app_pid" 2>/dev/null; then
    wait "$app_pid" && rc=0 || rc=$?
    break
  fi
  sleep 0.1
done
[ -n "$rc" ] || { cat "$work/app.log" >&2; fail "the program did not end when its login was cancelled"; }
app_pid=""
[ "$rc" -eq 0 ] || { cat "$work/app.log" >&2; fail "the program ended with exit code $rc"; }
if [ -e /usr/bin/korvessa.ini ] || [ -e "$work/home/.config/korvessa/korvessa.ini" ]; then
  fail "a cancelled start wrote a placement file"
fi
if [ -n "$installed_before" ]; then
  say "package $(basename "$deb") built, installed, started to its login dialog, cancelled (left installed, as it was before)"
else
  say "package $(basename "$deb") built, installed, started to its login dialog, cancelled, removed"
fi
