#!/usr/bin/env bash
# Builds the Windows (x86_64, MinGW-w64) toolchain the program is cross-built
# with, from Debian's own packages and source packages only:
#   - Qt 6.4.2 (Core, Gui, Widgets, Sql with QMYSQL, Network, Test) from qt6-base,
#     with Debian's Qt as the host tools;
#   - MariaDB Connector/C from the libmariadb folder of the mariadb source,
#     TLS through Schannel;
#   - QuaZip from libquazip1-qt6, over libz-mingw-w64-dev;
#   - FreeXL from freexl, over win-iconv.
# The result goes to a cache folder outside the checkout whose name carries a
# hash of this script and of the source versions: a later run finds it there
# and does nothing. Prints the folder on its last line of stdout.
#
#   scripts/win-toolchain.sh            build when missing, print the folder
#   scripts/win-toolchain.sh --path     print the folder only (no build)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
log() { printf '[win-toolchain %s] %s\n' "$(date +%T)" "$*" >&2; }
jobs=${WIN_JOBS:-$(nproc)}

# --- packages --------------------------------------------------------------
pkgs=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
      libz-mingw-w64-dev mingw-w64-tools
      cmake ninja-build dpkg-dev qt6-base-dev qt6-base-dev-tools qt6-translations-l10n
      autoconf automake libtool pkgconf)
ensure_packages() {
  local missing=() p
  for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  log "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Source packages come from the archive the machine already uses: its deb
# entries, as deb-src, in a sources file of the project's own.
srclist=/etc/apt/sources.list.d/korvessa-src.sources
ensure_sources() {
  if apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Version: 6\.4'; then return; fi
  log "adding deb-src entries ($srclist)"
  local tmp; tmp=$(mktemp)
  shopt -s nullglob
  for f in /etc/apt/sources.list.d/*.sources; do
    [ "$f" = "$srclist" ] && continue
    awk 'BEGIN{RS=""; ORS="\n\n"} /(^|\n)Types:[^\n]*deb([ \n]|$)/ && /debian/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >>"$tmp"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n 's/^deb \(.*debian.*\)/\1/p' "$f" | while read -r line; do
      # one-line form: [options] URI suite components
      set -- $line
      [[ $1 == \[* ]] && shift
      printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n\n' "$1" "$2" "${*:3}" >>"$tmp"
    done
  done
  $sudo install -m 644 "$tmp" "$srclist"
  rm -f "$tmp"
  $sudo apt-get update -qq
}

srcver() { apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -V | tail -1; }
# get_source <pkg> [apt-get source options]: the newest version the archive
# serves (a mirror's source pool can lag behind its binaries: try older ones).
get_source() {
  local pkg=$1 v; shift
  for v in $(apt-cache showsrc "$pkg" | sed -n 's/^Version: //p' | sort -Vr); do
    apt-get source -qq "$@" "$pkg=$v" >/dev/null 2>&1 && return 0
    log "source $pkg $v not served, trying an older one"
  done
  log "no source of $pkg could be fetched"; return 1
}

toolchain_file() { # toolchain_file <file> <root folders...>
  local f=$1; shift
  cat >"$f" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 $*)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

stage_start=0
stage() { stage_start=$(date +%s); log "stage $1"; }
stage_done() { log "stage $1 done in $(( $(date +%s) - stage_start )) s"; }

fetch() { # fetch <source package>: downloads and unpacks into $work/<pkg>
  local pkg=$1
  local d=$src_dir/$pkg-$(srcver "$pkg")
  if [ ! -f "$d.unpacked" ]; then
    rm -rf "$d" && mkdir -p "$d"
    (cd "$d" && get_source "$pkg")
    touch "$d.unpacked"
  fi
  find "$d" -mindepth 1 -maxdepth 1 -type d | head -1
}

# --- Qt ----------------------------------------------------------------------
build_qt() {
  [ -f "$qtprefix/.qt" ] && return
  stage qt
  local src; src=$(fetch qt6-base)
  local b=$work/qt-build-${qtprefix##*-}
  if [ ! -f "$b/build.ninja" ]; then
    # Tablet support needs a wintab header Debian's source leaves out; OpenGL
    # stays on (the windows plugin needs it; it is loaded dynamically). Built
    # for size (-Os). Direct2D stays on too: without it the fonts are drawn
    # by GDI instead of DirectWrite (other text widths), and 6.4.2's windows
    # plugin does not link.
    cmake -G Ninja -S "$src" -B "$b" \
      -DCMAKE_TOOLCHAIN_FILE="$qtprefix/mingw64.cmake" -DCMAKE_BUILD_TYPE=Release \
      -DFEATURE_optimize_size=ON \
      -DCMAKE_INSTALL_PREFIX="$qtprefix" \
      -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
      -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DBUILD_SHARED_LIBS=ON \
      -DFEATURE_tabletevent=OFF -DFEATURE_dbus=OFF -DFEATURE_icu=OFF \
      -DFEATURE_openssl=OFF -DFEATURE_sql_sqlite=OFF -DFEATURE_sql_odbc=OFF \
      -DFEATURE_sql_psql=OFF -DFEATURE_concurrent=OFF \
      -DFEATURE_printsupport=OFF \
      -DFEATURE_system_zlib=OFF >&2
  fi
  nice cmake --build "$b" --parallel "$jobs" >&2
  cmake --install "$b" >&2
  touch "$qtprefix/.qt"
  stage_done qt
}

# --- MariaDB Connector/C ----------------------------------------------------
build_connector() {
  [ -f "$prefix/.connector" ] && return
  stage connector
  local d=$src_dir/mariadb-$v_mdb
  if [ ! -f "$d.unpacked" ]; then
    rm -rf "$d" && mkdir -p "$d"
    (cd "$d" && get_source mariadb --download-only)
    # Only the client library's folder is needed from the server's sources.
    tar -C "$d" -xf "$(ls "$d"/mariadb_*.orig.tar.* | head -1)" --wildcards '*/libmariadb/*'
    touch "$d.unpacked"
  fi
  local src; src=$(dirname "$(find "$d" -maxdepth 3 -type d -name libmariadb | head -1)")/libmariadb
  if [ -d "$root/scripts/win-patches" ] && [ ! -f "$d.patched" ]; then
    for p in "$root"/scripts/win-patches/libmariadb-*.patch; do
      [ -f "$p" ] && patch -d "$src" -p1 <"$p" >&2
    done
    touch "$d.patched"
  fi
  local b=$work/connector-build
  rm -rf "$b"
  cmake -G Ninja -S "$src" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DWITH_SSL=SCHANNEL -DWITH_UNIT_TESTS=OFF \
    -DWITH_EXTERNAL_ZLIB=OFF -DWITH_CURL=OFF -DCLIENT_PLUGIN_REMOTE_IO=OFF -DWITH_DOCS=OFF >&2
  nice cmake --build "$b" --parallel "$jobs" >&2
  cmake --install "$b" >&2
  touch "$prefix/.connector"
  stage_done connector
}

# --- Qt's MySQL driver, against that Connector/C --------------------------------
build_qmysql() {
  [ -f "$prefix/.qmysql" ] && return
  stage qmysql
  local src; src=$(fetch qt6-base)
  local inc; inc=$(dirname "$(find "$prefix/include" -name mysql.h | head -1)")
  local lib; lib=$(find "$prefix/lib" -name '*libmariadb.dll.a' | head -1)
  local b=$work/qmysql-build
  cmake -G Ninja -S "$src/src/plugins/sqldrivers" -B "$b" \
    -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$qtprefix;$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DQT_ADDITIONAL_PACKAGES_PREFIX_PATH="$prefix" \
    -DFEATURE_sql_mysql=ON -DFEATURE_sql_sqlite=OFF -DFEATURE_sql_odbc=OFF -DFEATURE_sql_psql=OFF \
    -DMySQL_INCLUDE_DIR="$inc" -DMySQL_LIBRARY="$lib" >&2
  nice cmake --build "$b" --parallel "$jobs" >&2
  cmake --install "$b" >&2
  [ -f "$prefix/plugins/sqldrivers/qsqlmysql.dll" ] || { log "qsqlmysql.dll was not built"; exit 1; }
  touch "$prefix/.qmysql"
  stage_done qmysql
}

# --- QuaZip --------------------------------------------------------------------
build_quazip() {
  [ -f "$prefix/.quazip" ] && return
  stage quazip
  # Debian builds the same QuaZip sources as libquazip1-qt6 and as
  # libquazip1-qt5: whichever of them the archive has on offer.
  local pkg src=""
  for pkg in libquazip1-qt6 libquazip1-qt5 quazip; do
    apt-cache showsrc "$pkg" 2>/dev/null | grep -q '^Package:' || continue
    src=$(fetch "$pkg" || true)
    [ -n "$src" ] && [ -f "$src/CMakeLists.txt" ] && break
    src=""
  done
  [ -n "$src" ] || { log "no QuaZip source package could be fetched"; exit 1; }
  if [ ! -f "$src/.patched" ]; then
    for p in "$root"/scripts/win-patches/quazip-*.patch; do
      [ -f "$p" ] && patch -d "$src" -p1 <"$p" >&2
    done
    touch "$src/.patched"
  fi
  local b=$work/quazip-build
  rm -rf "$b"
  cmake -G Ninja -S "$src" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$qtprefix;$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQUAZIP_QT_MAJOR_VERSION=6 -DQUAZIP_BZIP2=OFF -DQUAZIP_FETCH_LIBS=OFF \
    -DQUAZIP_ENABLE_TESTS=OFF -DBUILD_SHARED_LIBS=ON >&2
  nice cmake --build "$b" --parallel "$jobs" >&2
  cmake --install "$b" >&2
  touch "$prefix/.quazip"
  stage_done quazip
}

# --- FreeXL ----------------------------------------------------------------------
build_freexl() {
  [ -f "$prefix/.freexl" ] && return
  stage freexl
  # FreeXL converts a workbook's code page through iconv, which MinGW lacks:
  # a small one of the project's own, over Windows' conversions.
  local ic=$work/win-iconv
  rm -rf "$ic" && mkdir -p "$ic" "$prefix/include" "$prefix/lib" "$prefix/bin"
  x86_64-w64-mingw32-gcc-posix -O2 -shared -o "$prefix/bin/libiconv-2.dll" \
    "$root/scripts/win-iconv/iconv.c" -Wl,--out-implib,"$prefix/lib/libiconv.dll.a"
  cp "$root/scripts/win-iconv/iconv.h" "$root/scripts/win-iconv/localcharset.h" "$prefix/include/"
  local src; src=$(fetch freexl)
  local b=$work/freexl-build
  rm -rf "$b" && mkdir -p "$b"
  (cd "$b" && "$src/configure" --host=x86_64-w64-mingw32 --prefix="$prefix" \
      CC=x86_64-w64-mingw32-gcc-posix --enable-shared --disable-static \
      CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" >&2 \
    && nice make -j"$jobs" >&2 && make install >&2)
  [ -f "$prefix/bin/libfreexl-1.dll" ] || { log "libfreexl-1.dll was not built"; exit 1; }
  touch "$prefix/.freexl"
  stage_done freexl
}

ensure_packages
ensure_sources
v_qt=$(srcver qt6-base); v_mdb=$(srcver mariadb); v_qz=$(srcver libquazip1-qt6 || true)
[ -n "$v_qz" ] || v_qz=$(srcver quazip)
v_fx=$(srcver freexl)
v_gcc=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
cache=${WIN_CACHE:-$HOME/.cache/korvessa}
# Qt, the long stage, has a folder of its own, keyed by what builds it alone:
# a change to the other stages does not rebuild it.
qthash=$( { declare -f build_qt toolchain_file; echo "$v_qt $v_gcc"; } | sha256sum | cut -c1-12)
hash=$( { cat "${BASH_SOURCE[0]}" "$root"/scripts/win-patches/* 2>/dev/null; echo "$v_qt $v_mdb $v_qz $v_fx $v_gcc"; } | sha256sum | cut -c1-12)
qtprefix=$cache/win64-qt-$qthash
prefix=$cache/win64-$hash
if [ "${1:-}" = "--path" ]; then echo "$prefix"; exit 0; fi
if [ -f "$prefix/.complete" ]; then log "cached: $prefix"; echo "$prefix"; exit 0; fi

work=$cache/work
src_dir=$cache/src
mkdir -p "$work" "$src_dir" "$prefix" "$qtprefix"
# One build at a time: a second caller (the tests, started while a build runs
# in the background) waits for the first and then finds the cache.
exec 8>"$cache/build.lock"
flock 8
if [ -f "$prefix/.complete" ]; then log "cached: $prefix"; echo "$prefix"; exit 0; fi
toolchain_file "$qtprefix/mingw64.cmake" "$qtprefix"
tc=$prefix/mingw64.cmake
toolchain_file "$tc" "$qtprefix" "$prefix"
echo "$qtprefix" >"$prefix/qt-prefix"

t0=$(date +%s)
what=${WIN_STAGES:-qt connector qmysql quazip freexl}
for s in $what; do
  case $s in
    qt) build_qt ;; connector) build_connector ;; qmysql) build_qmysql ;;
    quazip) build_quazip ;; freexl) build_freexl ;;
  esac
done
if [ -z "${WIN_STAGES:-}" ]; then
  touch "$prefix/.complete"
  log "toolchain ready in $(( $(date +%s) - t0 )) s: $prefix"
fi
echo "$prefix"
