#!/usr/bin/env bash
# Builds the client for release and packs dist/Borvane-<version>-linux-x64.tar.gz: the client,
# its update program tsy_up, a desktop launcher, the icon and a README with the runtime packages.
# Extra arguments go to cmake (e.g. -DBORVANE_UPDATE_PUBLIC_KEY=... -DBORVANE_CLIENT_VERSION=...).
# BUILD_DIR picks the build folder (default build-release), DIST_DIR the output (default dist).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-release}
dist=${DIST_DIR:-$root/dist}
generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DBORVANE_BUILD_TESTS=OFF -DBORVANE_BUILD_BENCH=OFF -DBORVANE_BUILD_SERVER=OFF "$@" >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target borvane tsy_up

config="$build/generated/buildconfig.h"
version=$(sed -n 's/^#define BORVANE_CLIENT_VERSION "\(.*\)"$/\1/p' "$config")
key=$(sed -n 's/^#define BORVANE_UPDATE_PUBLIC_KEY "\(.*\)"$/\1/p' "$config")
name="Borvane-$version"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
out="$stage/$name"
mkdir -p "$out"
install -m 755 "$build/borvane" "$build/tsy_up" "$out/"
strip --strip-unneeded "$out/borvane" "$out/tsy_up"
install -m 644 "$root/res/img/logo.png" "$out/borvane.png"
# A launcher works from wherever the folder was unpacked: %k is the launcher's own path.
cat > "$out/borvane.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=Borvane
Comment=Borvane 内网穿透
Exec=sh -c 'cd "\$(dirname "%k")" && exec ./borvane'
Icon=borvane
Terminal=false
Categories=Network;
DESKTOP
chmod 755 "$out/borvane.desktop"
cat > "$out/README.txt" <<README
Borvane $version for Linux (x86-64)

Run ./borvane from this folder (or the borvane.desktop launcher). The folder must stay writable
by the user: the client keeps its settings (config/) and logs (logs/) here, and updates itself
here through tsy_up.

Debian packages it needs (Debian 12 "bookworm"; they pull in the rest):

    sudo apt-get install libqt5widgets5 libqt5gui5 libqt5network5 libqt5core5a \\
        libqrencode4 libsodium23

Updates: $( [ -n "$key" ] && echo "checked against the release signing key built in." || echo "this build has no release signing key: downloads are not verified." )
README

mkdir -p "$dist"
archive="$dist/$name-linux-x64.tar.gz"
tar -C "$stage" -czf "$archive" --owner=0 --group=0 "$name"
echo "$archive ($(du -h "$archive" | cut -f1))"
