#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing, and
# brings the MariaDB client library up to date when a newer version is on offer.
#   scripts/deps.sh [--windows]   (--windows: also what the Windows build and
#                                  its tests need besides the toolchain: the
#                                  installer's compiler, zip, Wine)
set -euo pipefail
pkgs=(cmake g++ make qt6-base-dev libqt6sql6-mysql mariadb-server-core mariadb-client-core
      fonts-wqy-zenhei xvfb xauth openbox qt6-translations-l10n dpkg-dev file desktop-file-utils appstream xdotool
      libquazip1-qt6-dev libmariadb-dev pkgconf libfreexl-dev libexpat1-dev libpugixml-dev
      galera-4 mariadb-server mariadb-backup socat haproxy openssl)
if [ "${1:-}" = "--windows" ]; then
  pkgs+=(nsis zip unzip wine wine64 ninja-build binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix
         imagemagick iproute2 x11-utils)
fi
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
updated=""
update() { # apt-get update, at most once per run
  [ -n "$updated" ] || { $sudo apt-get update -qq; updated=1; }
}
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  # The packages bring system services (a database server on 3306, a proxy):
  # they must not start, the project runs servers of its own.
  rcpolicy=/usr/sbin/policy-rc.d
  if [ ! -e "$rcpolicy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$rcpolicy" >/dev/null
    $sudo chmod +x "$rcpolicy"
    trap '$sudo rm -f "$rcpolicy"' EXIT
  fi
  update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The client library under the database driver: a release's first version may
# read dates wrongly where its updates do not, and the suite tests the newest.
# Only when the package lists offer another version than the installed one:
# the lists are refreshed (once) and the package upgraded.
policy() { apt-cache policy libmariadb3 2>/dev/null | sed -n "s/^ *$1: *//p"; }
installed=$(policy Installed)
candidate=$(policy Candidate)
if [ -n "$installed" ] && [ "$installed" != "(none)" ] && [ "$installed" != "$candidate" ]; then
  update
  echo "upgrading libmariadb3 $installed"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --only-upgrade libmariadb3 >/dev/null
fi
