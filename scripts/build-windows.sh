#!/usr/bin/env bash
# Cross-builds the client for Windows x64 and packs dist/Borvane-<version>-windows-x64.zip and
# the per-user installer dist/Borvane-<version>-windows-x64-setup.exe.
#
# The first run installs mingw-w64, Wine and NSIS from Debian and builds a static Qt 5.15 and
# static libsodium and libqrencode for mingw-w64 from Debian's own source packages into
# $BORVANE_QT_CACHE (default /var/cache/borvane-qt-mingw); that takes about an hour on two
# shared cores, and later runs reuse it. The executable is linked fully static, so the packages
# hold the program alone.
#
# Usage: scripts/build-windows.sh [--qt-only] [--test] [--no-deps] [--qt-cached] [-DNAME=VALUE...]
#   --qt-only    only make sure the cached Qt exists
#   --test       afterwards build the tests and run them under Wine (scripts/test-windows.sh)
#   --no-deps    do not install packages
#   --qt-cached  do nothing; exit status 0 when the cached Qt is already there
#   -D...        go to cmake for the packed client: -DBORVANE_UPDATE_PUBLIC_KEY=<hex> (or
#                RELEASE_PUBLIC_KEY) is the release key; without one a throwaway pair is made
#                (scripts/release-key.sh) and the packed client refuses every update;
#                -DBORVANE_CLIENT_VERSION=1.0.1 and the like
# The packed client is built in build-windows-release/ (BUILD_DIR_WIN_RELEASE), the tests in
# build-windows/ (BUILD_DIR_WIN); DIST_DIR picks the output folder (default dist/).
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
# libsodium and libqrencode, static, with their pkg-config files.
libs_prefix=$qt_cache/mingw-libs
build=${BUILD_DIR_WIN:-$root/build-windows}
release=${BUILD_DIR_WIN_RELEASE:-$root/build-windows-release}
dist=${DIST_DIR:-$root/dist}
jobs=${JOBS:-$(nproc)}
qt_only=0
run_tests=0
install_deps=1
release_args=()
for arg in "$@"; do
    case "$arg" in
    -D*) release_args+=("$arg") ;;
    --qt-only) qt_only=1 ;;
    --test) run_tests=1 ;;
    --no-deps) install_deps=0 ;;
    --qt-cached) exec test -f "$qt_prefix/.complete" ;;
    -h | --help)
        sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
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
        wine64 xvfb xauth dpkg-dev perl python3 make cmake ninja-build build-essential \
        autoconf automake libtool pkg-config nsis openssl
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
    if ! (cd "$2" && apt-get "${aptopts[@]}" source -qq "$1"); then
        # A mirror may lack a package's Debian part (patches, rules); its upstream tarball,
        # fetched first, still builds.
        local orig
        orig=$(find "$2" -maxdepth 1 -name '*.orig.tar.*' | head -n1)
        if [ -z "$orig" ]; then
            rm -rf "$work"
            echo "cannot fetch the source of $1" >&2
            return 1
        fi
        echo "Debian's part of $1 could not be fetched: building its upstream source" >&2
        tar -xf "$orig" -C "$2"
    fi
    rm -rf "$work"
}

# Builds Debian's source package $1, an autotools project, as a static library for mingw-w64
# into $libs_prefix, once; further arguments go to its configure.
build_static_lib() {
    local pkg=$1 marker=$libs_prefix/.$1.complete
    shift
    [ -f "$marker" ] && return 0
    echo "Building $pkg for mingw-w64 into $libs_prefix"
    local work=$qt_cache/work-$pkg src
    rm -rf "$work"
    fetch_source "$pkg" "$work"
    src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -n1)
    (
        cd "$src"
        # Debian's libsodium source is a git snapshot without the generated configure.
        [ -x configure ] || nice -n 10 autoreconf -fi >/dev/null 2>&1
        nice -n 10 ./configure --host=x86_64-w64-mingw32 --prefix="$libs_prefix" \
            --disable-shared --enable-static "$@" >"$work/configure.log"
        nice -n 10 make -j"$jobs" >"$work/make.log" 2>&1
        make install >/dev/null
    ) || {
        echo "building $pkg failed; its logs are in $work" >&2
        exit 1
    }
    rm -rf "$work"
    touch "$marker"
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

# Signed updates (libsodium) and the address QR code (libqrencode), linked into the executable.
# libsodium's stack protector would need MinGW's libssp beside the program.
build_static_lib libsodium --disable-ssp
build_static_lib qrencode --without-tools

# Configures a cross-build of the client in folder $1; further arguments go to cmake. Fully
# static: no MinGW runtime DLL has to travel with the executable.
configure_build() {
    local dir=$1 launcher=()
    shift
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DBORVANE_QT_PREFIX="$qt_prefix" -DBORVANE_MINGW_LIBS="$libs_prefix" \
        -DCMAKE_PREFIX_PATH="$qt_prefix" -DHTTPLIB_INCLUDE_DIR="$httplib_dir/include" \
        -DBORVANE_BUILD_SERVER=OFF -DBORVANE_BUILD_BENCH=OFF \
        -DCMAKE_EXE_LINKER_FLAGS=-static "$@" >/dev/null
}

# The packed client verifies its updates: it is built with the release's public key or, when
# none is given, a throwaway one whose secret half is dropped at once, so that no update passes.
key=${RELEASE_PUBLIC_KEY:-}
args=()
for arg in "${release_args[@]}"; do
    case $arg in
    -DBORVANE_UPDATE_PUBLIC_KEY=*) key=${arg#*=} ;;
    *) args+=("$arg") ;;
    esac
done
key=$("$root/scripts/release-key.sh" "$key")
release_args=("${args[@]}" -DBORVANE_UPDATE_PUBLIC_KEY="$key")
echo "Cross-building the packed client for Windows x64 into $release"
start=$(date +%s)
configure_build "$release" -DBORVANE_BUILD_TESTS=OFF -DBORVANE_REQUIRE_SIGNED_UPDATES=ON \
    "${release_args[@]}"
nice -n 10 cmake --build "$release" -j"$jobs" --target borvane tsy_up borvane-agent
echo "Client built in $(($(date +%s) - start)) s"
# An update left unchecked replaces the program with whatever the service names.
grep -q '^SODIUM_FOUND:INTERNAL=1' "$release/CMakeCache.txt" || {
    echo "refusing to pack: the client was built without libsodium and could not verify updates" >&2
    exit 1
}
grep -q '^QRENCODE_FOUND:INTERNAL=1' "$release/CMakeCache.txt" ||
    echo "warning: built without libqrencode: the card offers no QR button" >&2

version=$(sed -n 's/^#define BORVANE_CLIENT_VERSION "\(.*\)"$/\1/p' "$release/generated/buildconfig.h")
exe="$release/Borvane内网穿透.exe"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
x86_64-w64-mingw32-strip -o "$stage/$(basename "$exe")" "$exe"
# The update program goes beside the client, where the client looks for it.
x86_64-w64-mingw32-strip -o "$stage/tsy_up.exe" "$release/tsy_up.exe"
# The headless agent, for a box that runs the tunnels as a service.
x86_64-w64-mingw32-strip -o "$stage/borvane-agent.exe" "$release/borvane-agent.exe"
mkdir -p "$dist"
zip="$dist/Borvane-$version-windows-x64.zip"
rm -f "$zip"
# Python's zipfile marks the Chinese name as UTF-8 (flag bit 11), which Windows honours; zip(1)
# would leave the name to the unpacker's code page.
python3 - "$stage" "$zip" <<'PY'
import os, sys, zipfile
stage, archive = sys.argv[1:3]
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    for name in sorted(os.listdir(stage)):
        z.write(os.path.join(stage, name), name)
PY
echo "Packed $zip ($(stat -c %s "$zip") bytes)"

setup="$dist/Borvane-$version-windows-x64-setup.exe"
# The file version wants four numbers.
fileversion=$(echo "$version.0.0.0" | cut -d. -f1-4)
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DFILEVERSION="$fileversion" \
    -DSTAGE="$stage" -DOUTFILE="$setup" -DICON="$root/res/img/borvane.ico" \
    "$root/deploy/windows/borvane.nsi"
echo "Packed $setup ($(stat -c %s "$setup") bytes)"

if [ $run_tests -eq 1 ]; then
    echo "Cross-building the client's tests into $build"
    start=$(date +%s)
    configure_build "$build"
    nice -n 10 cmake --build "$build" -j"$jobs"
    echo "Tests built in $(($(date +%s) - start)) s"
    BUILD_DIR_WIN="$build" "$root/scripts/test-windows.sh"
fi
