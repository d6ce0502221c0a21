#!/usr/bin/env bash
# Starts the Windows client (build-windows/) under Wine with the Windows platform plugin on an
# Xvfb display, against the reference service on the client's built-in addresses, waits for the
# sign-in window and saves a screenshot of the display. Everything it starts it stops again.
#
# Usage: scripts/show-windows.sh [OUT.png]   (default build-windows/signin-wine.png)
# Exit status 3: a port the client is built for (127.0.0.1:8080, :8888) is taken.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_win=${BUILD_DIR_WIN:-$root/build-windows}
build=${BUILD_DIR:-$root/build}
out=${1:-$build_win/signin-wine.png}
exe="$build_win/Borvane内网穿透.exe"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
host=127.0.0.1
api_port=8080
relay_port=8888

[ -f "$exe" ] || {
    echo "show-windows.sh: $exe is missing; run scripts/build-windows.sh" >&2
    exit 1
}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
for p in xvfb x11-utils x11-apps netpbm; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$p"
done
if [ ! -x "$build/borvane-server" ]; then
    [ -f "$build/CMakeCache.txt" ] ||
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target borvane-server -j"$(nproc)"
fi

port_busy() {
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null
}
for p in "$api_port" "$relay_port"; do
    if port_busy "$host" "$p"; then
        echo "show-windows.sh: $host:$p is in use; skipped" >&2
        exit 3
    fi
done

tmp=$(mktemp -d /tmp/borvane-show.XXXXXX)
pids=()
cleanup() {
    WINEPREFIX=$tmp/prefix "$wineserver" -k >/dev/null 2>&1 || true
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[$i]}" 2>/dev/null || true
        wait "${pids[$i]}" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT

"$build/borvane-server" --bind "$host" --api-port "$api_port" --relay-port "$relay_port" \
    --db "$tmp/service.db" --demo 2>"$tmp/server.log" &
pids+=($!)

display_number=""
for n in $(seq 150 199); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
        display_number=$n
        break
    fi
done
[ -n "$display_number" ] || {
    echo "show-windows.sh: no free X display" >&2
    exit 1
}
Xvfb ":$display_number" -screen 0 1280x800x24 -nolisten tcp >"$tmp/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display_number"
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$display_number" ] && break
    sleep 0.1
done

# The client keeps its settings and logs beside itself: run a copy in the scratch folder.
mkdir -p "$tmp/app" "$tmp/home"
cp "$exe" "$tmp/app/"
export WINEPREFIX=$tmp/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME=$tmp/home
unset QT_QPA_PLATFORM
"$wine" wineboot -i >/dev/null 2>&1 || true
(cd "$tmp/app" && exec "$wine" "Borvane内网穿透.exe") >"$tmp/client.log" 2>&1 &
pids+=($!)

echo "Waiting for the sign-in window (up to 90 s)"
shown=0
for _ in $(seq 180); do
    if xwininfo -root -tree 2>/dev/null | grep -q '"Borvane'; then
        shown=1
        break
    fi
    sleep 0.5
done
if [ $shown -eq 0 ]; then
    echo "show-windows.sh: no window appeared" >&2
    cat "$tmp/client.log" >&2
    exit 1
fi
sleep 3 # let it finish painting
xwininfo -root -tree | grep '"Borvane' | head -n 3
xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$out"
echo "Screenshot: $out"
