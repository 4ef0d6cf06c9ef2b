#!/usr/bin/env bash
# Builds the program's Debian package (korvessa_<version>_<arch>.deb) into dist/.
#   scripts/package.sh
# Only the program is built for it (in build/, or $BUILD_DIR); its install rules
# are in packaging/. Install the result with: sudo apt-get install ./dist/korvessa_*.deb
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
dist=$root/dist
"$root/scripts/deps.sh"
# The package's install step installs the program only: it need not build the tests first.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target korvessa
mkdir -p "$dist"
rm -f "$dist"/korvessa_*.deb
(cd "$build" && cpack -G DEB -B "$dist/.cpack" >/dev/null)
mv "$dist"/.cpack/korvessa_*.deb "$dist"/
rm -rf "$dist/.cpack"
ls "$dist"/korvessa_*.deb
