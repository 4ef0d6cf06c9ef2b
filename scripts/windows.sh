#!/usr/bin/env bash
# Builds the Windows program (x86_64) on Debian and packs it into dist/:
#   dist/korvessa-1.2-win64.zip        a folder that runs where it is unpacked
#   dist/korvessa-1.2-win64-setup.exe  an installer for the current user (NSIS)
#
#   scripts/windows.sh
#
# The toolchain (MinGW-w64, Qt, Connector/C, QuaZip, FreeXL cross-built from
# Debian's sources) comes from scripts/win-toolchain.sh, which builds it once
# into a cache. The program is built in build-win/ (or $WIN_BUILD_DIR). Each
# stage prints its time.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${WIN_BUILD_DIR:-$root/build-win}
dist=$root/dist
version=$(sed -n 's/^project(Korvessa VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=korvessa-$version-win64
log() { printf '[windows %s] %s\n' "$(date +%T)" "$*" >&2; }
stage_start=0
stage() { stage_start=$(date +%s); log "stage $1"; }
stage_done() { log "stage $1 done in $(( $(date +%s) - stage_start )) s"; }

"$root/scripts/deps.sh" --windows

stage toolchain
prefix=$("$root/scripts/win-toolchain.sh" | tail -1)
qtprefix=$(cat "$prefix/qt-prefix")
stage_done toolchain

stage build
# FreeXL is found through its pkg-config file, only in the toolchain's folder.
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH=
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$prefix/mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$qtprefix;$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >/dev/null
cmake --build "$build" --parallel "${WIN_JOBS:-$(nproc)}" --target korvessa
stage_done build

stage deploy
# Where the DLLs come from: Qt, the toolchain's own libraries, MinGW's runtime.
gccdir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
dllpath=("$qtprefix/bin" "$prefix/bin" "$prefix/lib" "$prefix/lib/mariadb" /usr/x86_64-w64-mingw32/lib "$gccdir")
find_dll() { # the path of a DLL of those folders; nothing for one of Windows' own
  local d
  for d in "${dllpath[@]}"; do
    if [ -f "$d/$1" ]; then echo "$d/$1"; return 0; fi
  done
  return 0
}
deploy=$build/deploy/$name
rm -rf "$build/deploy"
mkdir -p "$deploy"
declare -A copied=()
# copy_with_dlls FILE DEST: the file, and every DLL it loads that is not one
# of Windows' own (those are not found in the folders above), and theirs.
copy_with_dlls() {
  cp "$1" "$2"
  local dll path
  for dll in $(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'); do
    [ -n "${copied[${dll,,}]:-}" ] && continue
    path=$(find_dll "$dll")
    [ -n "$path" ] || continue
    copied[${dll,,}]=1
    copy_with_dlls "$path" "$deploy/"
  done
}
copy_with_dlls "$build/app/korvessa.exe" "$deploy/"
for plugin in platforms/qwindows.dll styles/qwindowsvistastyle.dll sqldrivers/qsqlmysql.dll; do
  src=""
  for p in "$qtprefix/plugins" "$prefix/plugins"; do
    [ -f "$p/$plugin" ] && { src=$p/$plugin; break; }
  done
  [ -n "$src" ] || { log "missing plugin $plugin"; exit 1; }
  mkdir -p "$deploy/$(dirname "$plugin")"
  copy_with_dlls "$src" "$deploy/$(dirname "$plugin")/"
done
# Qt's own texts in Chinese (file dialog, standard buttons).
mkdir -p "$deploy/translations"
cp /usr/share/qt6/translations/qtbase_zh_CN.qm "$deploy/translations/"
# Plugins and translations beside the program, wherever it was put.
printf '[Paths]\r\nPrefix=.\r\nPlugins=.\r\nTranslations=translations\r\n' >"$deploy/qt.conf"
find "$deploy" -name '*.dll' -o -name '*.exe' | xargs x86_64-w64-mingw32-strip --strip-unneeded
for need in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll \
            Qt6Sql.dll libmariadb.dll; do
  [ -f "$deploy/$need" ] || { log "not deployed: $need"; exit 1; }
done
log "$(find "$deploy" -type f | wc -l) files, $(du -sh "$deploy" | cut -f1)"
stage_done deploy

stage zip
mkdir -p "$dist"
rm -f "$dist/$name.zip"
(cd "$build/deploy" && zip -qr -9 "$dist/$name.zip" "$name")
stage_done zip

stage installer
# The installer's file list: what it installs is what it removes again.
list=$build/deploy/files.nsh
unlist=$build/deploy/unfiles.nsh
: >"$list"
: >"$unlist"
while read -r f; do
  d=$(dirname "$f")
  out='$INSTDIR'
  [ "$d" = . ] || out="\$INSTDIR\\${d//\//\\}"
  printf 'SetOutPath "%s"\nFile "%s"\n' "$out" "$deploy/$f" >>"$list"
  printf 'Delete "$INSTDIR\\%s"\n' "${f//\//\\}" >>"$unlist"
done < <(cd "$deploy" && find . -type f | sed 's|^\./||' | sort)
while read -r d; do
  printf 'RMDir "$INSTDIR\\%s"\n' "${d//\//\\}" >>"$unlist"
done < <(cd "$deploy" && find . -mindepth 1 -type d | sed 's|^\./||' | sort -r)
rm -f "$dist/$name-setup.exe"
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DFILES="$list" -DUNFILES="$unlist" \
  -DICON="$root/app/images/app.ico" -DOUTFILE="$dist/$name-setup.exe" "$root/packaging/windows/korvessa.nsi" >&2
stage_done installer

ls -l "$dist/$name.zip" "$dist/$name-setup.exe"
