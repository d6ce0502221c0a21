#!/usr/bin/env bash
# Prints the public update key a release is packed with, in hex, for
# -DBORVANE_UPDATE_PUBLIC_KEY=... (every packing script calls this).
#   release-key.sh KEY   the release's own public key (hex or base64), checked
#   release-key.sh       no key (CI, local builds): a throwaway pair whose secret half is
#                        dropped at once, so the packed client refuses every update; says so
# The throwaway pair comes from borvane-server keygen (SERVER_BIN, default build/borvane-server)
# or, without it, from openssl.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
key=${1:-}
if [ -n "$key" ]; then
    if [[ $key =~ ^[0-9a-fA-F]{64}$ ]]; then
        echo "$key"
    elif [[ $key =~ ^[A-Za-z0-9+/]{43}=$ ]]; then
        printf '%s' "$key" | base64 -d | od -An -v -tx1 | tr -d ' \n'
        echo
    else
        echo "release-key: '$key' is not a 32-byte public key in hex or base64" >&2
        exit 1
    fi
    exit 0
fi

server=${SERVER_BIN:-$root/build/borvane-server}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if [ -x "$server" ]; then
    key=$("$server" keygen "$scratch/throwaway.key" 2>/dev/null)
elif command -v openssl >/dev/null; then
    openssl genpkey -algorithm ed25519 -out "$scratch/throwaway.pem" 2>/dev/null
    key=$(openssl pkey -in "$scratch/throwaway.pem" -pubout -outform DER | tail -c 32 |
        od -An -v -tx1 | tr -d ' \n')
else
    echo "release-key: no key given, and neither $server nor openssl to make one" >&2
    exit 1
fi
[[ $key =~ ^[0-9a-f]{64}$ ]] || { echo "release-key: could not make a throwaway key" >&2; exit 1; }
echo "release-key: no release key given: packing with a throwaway key; this build refuses every update" >&2
echo "$key"
