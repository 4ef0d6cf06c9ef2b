#!/usr/bin/env bash
# Sets the machine up and runs the program against the local service database.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh" --target korvessa
"$root/scripts/local-db.sh"
exec "${BUILD_DIR:-$root/build}/app/korvessa" "$@"
