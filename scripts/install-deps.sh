#!/usr/bin/env bash
# Installs, from Debian's packages, everything the client, the reference service, the tests,
# the fuzzer and the demo need. Only missing packages are installed.
set -euo pipefail

packages=(
    build-essential cmake clang libclang-rt-14-dev clang-format pkg-config
    qtbase5-dev qtbase5-dev-tools
    libasio-dev libcpp-httplib-dev libsqlite3-dev libpq-dev postgresql nlohmann-json3-dev libqrencode-dev libpng-dev
    libsodium-dev libssl-dev openssl
    fonts-noto-cjk xvfb xauth xdotool socat curl procps python3
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
