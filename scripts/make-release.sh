#!/usr/bin/env bash
# Builds the client for release and packs dist/Borvane-<version>-linux-x64.tar.gz: the client,
# its update program tsy_up, the headless agent borvane-agent with its systemd unit, a desktop
# launcher, the icon and a README with the runtime packages.
# Every packed client verifies its updates: the release's public key comes from
# -DBORVANE_UPDATE_PUBLIC_KEY=... or RELEASE_PUBLIC_KEY; with neither, a throwaway key (see
# release-key.sh) and the packed client refuses every update. Without libsodium nothing is packed.
# Extra arguments go to cmake (e.g. -DBORVANE_CLIENT_VERSION=...).
# BUILD_DIR picks the build folder (default build-release), DIST_DIR the output (default dist).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-release}
dist=${DIST_DIR:-$root/dist}
key=${RELEASE_PUBLIC_KEY:-}
args=()
for arg in "$@"; do
    case $arg in
    -DBORVANE_UPDATE_PUBLIC_KEY=*) key=${arg#*=} ;;
    *) args+=("$arg") ;;
    esac
done
throwaway=$([ -z "$key" ] && echo yes || echo no)
key=$("$root/scripts/release-key.sh" "$key")
generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
# The key and libsodium are required: without either, cmake stops.
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DBORVANE_BUILD_TESTS=OFF -DBORVANE_BUILD_BENCH=OFF -DBORVANE_BUILD_SERVER=OFF \
    "${args[@]}" -DBORVANE_UPDATE_PUBLIC_KEY="$key" -DBORVANE_REQUIRE_SIGNED_UPDATES=ON >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target borvane tsy_up borvane-agent

config="$build/generated/buildconfig.h"
version=$(sed -n 's/^#define BORVANE_CLIENT_VERSION "\(.*\)"$/\1/p' "$config")
built_key=$(sed -n 's/^#define BORVANE_UPDATE_PUBLIC_KEY "\(.*\)"$/\1/p' "$config")
[ "$built_key" = "$key" ] || { echo "make-release: the build does not hold the release key" >&2; exit 1; }
name="Borvane-$version"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
out="$stage/$name"
mkdir -p "$out"
install -m 755 "$build/borvane" "$build/tsy_up" "$build/borvane-agent" "$out/"
strip --strip-unneeded "$out/borvane" "$out/tsy_up" "$out/borvane-agent"
# The unit as shipped; "borvane-agent install-service" writes it with this folder filled in.
install -m 644 "$root/deploy/borvane-agent.service" "$out/"
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

Without a desktop (a NAS, a server), ./borvane-agent runs the tunnels whose autostart is on and
needs only libqt5network5 and libqt5core5a (and libsodium23):

    ./borvane-agent login                    # phone and password, saved in config/
    ./borvane-agent list                     # the account's tunnels
    ./borvane-agent enable <domain>          # start it with the agent
    sudo ./borvane-agent install-service     # systemd unit (or --user); prints how to start it

Updates: $( [ "$throwaway" = no ] && echo "checked against the release signing key built in." || echo "packed with a throwaway key: this build refuses every update." )
README

mkdir -p "$dist"
archive="$dist/$name-linux-x64.tar.gz"
tar -C "$stage" -czf "$archive" --owner=0 --group=0 "$name"
echo "$archive ($(du -h "$archive" | cut -f1))"
