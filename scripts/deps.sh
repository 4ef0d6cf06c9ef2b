#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
set -euo pipefail
pkgs=(cmake g++ make qt6-base-dev libqt6sql6-mysql mariadb-server-core mariadb-client-core
      fonts-wqy-zenhei xvfb xauth
      galera-4 mariadb-server mariadb-backup socat haproxy)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  # The packages bring system services (a database server on 3306, a proxy):
  # they must not start, the project runs servers of its own.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod +x "$policy"
    trap '$sudo rm -f "$policy"' EXIT
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
