#!/usr/bin/env bash
# Cross-builds the client for Windows x64 and packs dist/Borvane-<version>-windows-x64.zip.
#
# The first run installs mingw-w64 and Wine from Debian and builds a static Qt 5.15 for
# mingw-w64 from Debian's own Qt source into $BORVANE_QT_CACHE (default
# /var/cache/borvane-qt-mingw); that takes about half an hour on two cores and later runs reuse
# it. The executable is linked fully static, so the zip holds the program alone.
#
# Usage: scripts/build-windows.sh [--qt-only] [--test] [--no-deps] [--qt-cached]
#   --qt-only    only make sure the cached Qt exists
#   --test       afterwards run the Windows tests under Wine (scripts/test-windows.sh)
#   --no-deps    do not install packages
#   --qt-cached  do nothing; exit status 0 when the cached Qt is already there
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -eq 0 ]; then
    qt_cache_default=/var/cache/borvane-qt-mingw
else
    qt_cache_default=${XDG_CACHE_HOME:-$HOME/.cache}/borvane-qt-mingw
fi
qt_cache=${BORVANE_QT_CACHE:-$qt_cache_default}
qt_version=5.15.8
qt_prefix=$qt_cache/qt-$qt_version-static
build=${BUILD_DIR_WIN:-$root/build-windows}
jobs=${JOBS:-$(nproc)}
qt_only=0
run_tests=0
install_deps=1
for arg in "$@"; do
    case "$arg" in
    --qt-only) qt_only=1 ;;
    --test) run_tests=1 ;;
    --no-deps) install_deps=0 ;;
    --qt-cached) exec test -f "$qt_prefix/.complete" ;;
    -h | --help)
        sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "unknown option: $arg" >&2
        exit 2
        ;;
    esac
done

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

install_missing() {
    local missing=() p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

if [ $install_deps -eq 1 ]; then
    install_missing g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev \
        wine64 xvfb xauth dpkg-dev perl python3 make cmake ninja-build build-essential
fi

# The toolchain's plain names may point at the win32-threads variant; Qt and the client need
# std::thread, so both are built with the posix variant through a folder of names.
tools=$qt_cache/bin
mkdir -p "$tools"
for t in gcc g++; do
    ln -sf "/usr/bin/x86_64-w64-mingw32-$t-posix" "$tools/x86_64-w64-mingw32-$t"
done
export PATH="$tools:$PATH"

# Fetches Debian's source package $1 into folder $2 (unpacked, patches applied).
fetch_source() {
    local work
    work=$(mktemp -d "$qt_cache/apt.XXXXXX")
    mkdir -p "$work/apt/lists/partial" "$work/apt/parts" "$2"
    # deb-src entries only for this one call, in a private list folder, so the machine's apt
    # configuration and package lists stay as they were.
    cat >"$work/apt/sources.list" <<SRC
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
SRC
    local aptopts=(-o "Dir::Etc::SourceList=$work/apt/sources.list"
        -o "Dir::Etc::SourceParts=$work/apt/parts"
        -o "Dir::State::Lists=$work/apt/lists"
        -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
    apt-get "${aptopts[@]}" update -qq
    (cd "$2" && apt-get "${aptopts[@]}" source -qq "$1")
    rm -rf "$work"
}

build_qt() {
    local work=$qt_cache/work
    rm -rf "$work"
    mkdir -p "$work"
    fetch_source qtbase-opensource-src "$work/src"
    local src
    src=$(find "$work/src" -maxdepth 1 -mindepth 1 -type d -name 'qtbase-opensource-src-*' | head -n1)
    [ -n "$src" ] || {
        echo "Qt source not found" >&2
        exit 1
    }
    mkdir -p "$work/build"
    cd "$work/build"
    nice -n 19 "$src/configure" -prefix "$qt_prefix" -platform linux-g++ \
        -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
        -static -release -opensource -confirm-license -nomake examples -nomake tests \
        -no-opengl -no-dbus -no-icu -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-pcre \
        -qt-harfbuzz -no-feature-tabletevent -no-sql-sqlite -schannel -no-openssl
    nice -n 19 make -j"$jobs"
    nice -n 19 make install
    cd "$root"
    rm -rf "$work"
    touch "$qt_prefix/.complete"
}

if [ ! -f "$qt_prefix/.complete" ]; then
    echo "Building static Qt $qt_version for mingw-w64 into $qt_prefix (about half an hour)"
    start=$(date +%s)
    build_qt
    echo "Static Qt built in $(($(date +%s) - start)) s"
fi
# Qt asks the linker for Secur32 and Crypt32, but MinGW's import libraries are named in lower
# case: links with Qt's spelling, inside the Qt prefix where CMake's library search looks.
for l in Secur32 Crypt32; do
    lower=$(echo "$l" | tr 'A-Z' 'a-z')
    ln -sf "/usr/x86_64-w64-mingw32/lib/lib$lower.a" "$qt_prefix/lib/lib$l.a"
done
[ $qt_only -eq 1 ] && exit 0

# The client's local status API uses cpp-httplib. Debian's package is built for Linux and ships
# only the declarations; its source holds the whole single header, which is all Windows needs.
httplib_dir=$qt_cache/cpp-httplib
if [ ! -f "$httplib_dir/include/httplib.h" ]; then
    rm -rf "$httplib_dir"
    fetch_source cpp-httplib "$httplib_dir/src"
    mkdir -p "$httplib_dir/include"
    cp "$(find "$httplib_dir/src" -maxdepth 2 -name httplib.h | head -n1)" "$httplib_dir/include/"
fi

version=$(sed -n 's/^project(Borvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
echo "Cross-building Borvane $version for Windows x64 into $build"
start=$(date +%s)
# Fully static: no MinGW runtime DLL has to travel with the executable.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DBORVANE_QT_PREFIX="$qt_prefix" -DCMAKE_PREFIX_PATH="$qt_prefix" \
    -DHTTPLIB_INCLUDE_DIR="$httplib_dir/include" \
    -DBORVANE_BUILD_SERVER=OFF -DBORVANE_BUILD_BENCH=OFF \
    -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
nice -n 10 cmake --build "$build" -j"$jobs"
echo "Client and tests built in $(($(date +%s) - start)) s"

exe="$build/Borvane内网穿透.exe"
[ -f "$exe" ] || {
    echo "missing $exe" >&2
    exit 1
}
dist=$root/dist
zip_name="Borvane-$version-windows-x64.zip"
mkdir -p "$dist"
rm -f "$dist/$zip_name"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
x86_64-w64-mingw32-strip -o "$stage/$(basename "$exe")" "$exe"
# The update program goes beside the client, where the client looks for it.
if [ -f "$build/tsy_up.exe" ]; then
    x86_64-w64-mingw32-strip -o "$stage/tsy_up.exe" "$build/tsy_up.exe"
fi
# Python's zipfile marks the Chinese name as UTF-8 (flag bit 11), which Windows honours; zip(1)
# would leave the name to the unpacker's code page.
python3 - "$stage" "$dist/$zip_name" <<'PY'
import os, sys, zipfile
stage, archive = sys.argv[1:3]
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    for name in sorted(os.listdir(stage)):
        z.write(os.path.join(stage, name), name)
PY
echo "Packed dist/$zip_name ($(stat -c %s "$dist/$zip_name") bytes)"

if [ $run_tests -eq 1 ]; then
    BUILD_DIR_WIN="$build" "$root/scripts/test-windows.sh"
fi
