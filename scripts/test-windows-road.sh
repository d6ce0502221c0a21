#!/usr/bin/env bash
# The whole road with the Windows build under Wine, headless, on this machine: the Linux
# reference service and a local web page on loopback; the Windows installer of version N run
# silently; the installed client started under Wine (offscreen) with saved credentials and an
# autostarted tunnel; a visitor's curl through the tunnel's public port gets the page, and the
# client's local status API reports the visitor. Then the self-update N -> N+1 under Wine
# (signed, handed over to tsy_up.exe, the new version running and reporting itself), and, after
# installing N again over it (settings kept), a tampered N+1 that leaves N installed and running;
# last the uninstaller, which keeps the settings. Ends with a one-line summary "N passed, N failed".
#
# Needs the cached static Qt for mingw-w64 (scripts/build-windows.sh builds it once). Both
# versions are built with a fresh signing key in $WORK_DIR (default build-windows-road/, kept
# between runs so later runs only relink); the service comes from $BUILD_DIR (default build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${WORK_DIR:-$root/build-windows-road}
build=${BUILD_DIR:-$root/build}
host=${HOST:-127.0.0.118}
status_port=4180
web_port=21190
old=1.0.0
new=1.0.1
exe_name="Borvane内网穿透.exe"
began=$(date +%s)
passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "PASS: $*"
}
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}
finish() {
    echo "Windows road under Wine: $(($(date +%s) - began)) s in all"
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
    exit
}

"$root/scripts/build-windows.sh" --qt-cached || {
    echo "test-windows-road: no cached static Qt; run scripts/build-windows.sh once first" >&2
    exit 2
}
mkdir -p "$work"
server_bin=$build/borvane-server
if [ ! -x "$server_bin" ]; then
    [ -f "$build/CMakeCache.txt" ] ||
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    nice -n 10 cmake --build "$build" --target borvane-server -j2 >/dev/null
fi

# Versions N and N+1, signed with the road's own key, pointed at the service on $host.
key=$work/release.key
[ -f "$key" ] || "$server_bin" keygen "$key" >"$work/release.pub" 2>/dev/null
pub=$(cat "$work/release.pub")
for version in $old $new; do
    echo "Building and packing the Windows client $version"
    BUILD_DIR_WIN_RELEASE="$work/build" DIST_DIR="$work/dist" "$root/scripts/build-windows.sh" \
        -DBORVANE_UPDATE_PUBLIC_KEY="$pub" -DBORVANE_CLIENT_VERSION="$version" \
        -DBORVANE_API_BASE_URL="http://$host:8080/" \
        -DBORVANE_STATUS_ADDRESS="$host:$status_port" >"$work/build-$version.log" 2>&1 || {
        tail -20 "$work/build-$version.log"
        fail "building $version"
        finish
    }
done
built=$(date +%s)
echo "Both versions built and packed in $((built - began)) s"

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
tmp=$(mktemp -d /tmp/borvane-road.XXXXXX)
export WINEPREFIX=$tmp/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" HOME=$tmp/home
# The client's Chinese file name needs Wine's Unix file names in UTF-8.
export LC_ALL=C.UTF-8
mkdir -p "$HOME"

# shellcheck source=road-lib.sh
source "$root/scripts/road-lib.sh"
pids=()
stop_wine() { # every program of this run's own Wine prefix
    "$wineserver" -k >/dev/null 2>&1 || true
}
cleanup() {
    stop_wine
    stop_pids
    rm -rf "$tmp"
}
trap cleanup EXIT

log_has() { grep -qaF -- "$1" "$inst"/logs/*.log 2>/dev/null; }
tunnels() { curl -s --max-time 2 "http://$host:$status_port/api/tunnels"; }
# The first tunnel's field $1 (a dotted path) in the status API's answer.
status_field() {
    tunnels | python3 -c '
import json, sys
value = json.load(sys.stdin)["tunnels"][0]
for part in sys.argv[1].split("."):
    value = value[part]
print(value)' "$1" 2>/dev/null
}
is_running() { [ "$(status_field state)" = running ]; }
has_visitor() { [ "$(status_field connections.total)" -ge 1 ] 2>/dev/null; }

echo "Preparing a Wine prefix in $WINEPREFIX"
"$wine" wineboot -i >/dev/null 2>&1 || true
"$wineserver" -p >/dev/null 2>&1 || true
# Wine hands no QT_ variable of ours to Windows programs; the user's environment in the registry
# reaches every one, the client that tsy_up restarts included.
"$wine" reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null 2>&1

install() { # version
    "$wine" "$work/dist/Borvane-$1-windows-x64-setup.exe" /S >/dev/null 2>&1
    inst=$(find "$WINEPREFIX/drive_c/users" -maxdepth 5 -path '*/AppData/Local/Programs/Borvane' \
        -type d | head -n1)
    [ -n "$inst" ] && [ -f "$inst/$exe_name" ] && [ -f "$inst/tsy_up.exe" ] &&
        [ -f "$inst/uninstall.exe" ]
}
client_pid=""
start_client() {
    (cd "$inst" && exec "$wine" "./$exe_name" >"$tmp/client.out" 2>&1) &
    client_pid=$!
}

# The service, without an update at first, and the local web page the tunnel publishes.
start_service() { # extra options...
    "$server_bin" --bind "$host" --db "$tmp/service.db" --demo --demo-client-port "$web_port" \
        --ports 21180-21189 "$@" 2>"$tmp/server.log" &
    pids+=($!)
    wait_for 20 grep -q "event=ready" "$tmp/server.log"
}
start_service || {
    cat "$tmp/server.log"
    fail "the service did not start"
    finish
}
demo=$(grep "event=demo-ready" "$tmp/server.log" | tail -1)
domain=$(sed -n 's/.* domain=\([^ ]*\).*/\1/p' <<<"$demo")
public=$(sed -n 's/.* public=\([^ ]*\).*/\1/p' <<<"$demo")
local_host=$(sed -n 's/.* local=\([^ :]*\):.*/\1/p' <<<"$demo")
"$server_bin" --demo-web "$web_port" --bind "$local_host" 2>"$tmp/web.log" &
pids+=($!)
wait_for 10 grep -q "event=ready" "$tmp/web.log" || fail "the local web page did not start"

t0=$(date +%s)
if install $old; then
    pass "installer $old ran silently: $inst"
else
    fail "installer $old"
    finish
fi
mkdir -p "$inst/config"
printf '[setting]\nusername=13800000000\npassword=demo123456\n%s=true\n' "$domain" \
    >"$inst/config/main.ini"
start_client
if wait_for 90 is_running; then
    pass "the installed client signed in and started its tunnel by itself ($(($(date +%s) - t0)) s from the install)"
else
    fail "no running tunnel in the status API: $(tunnels)"
    tail -20 "$inst"/logs/*.log 2>/dev/null
    finish
fi
if curl -s --max-time 10 "http://$public/" | grep -q "the tunnel works"; then
    pass "a visitor's curl through $public got the local page"
else
    fail "no page through $public"
fi
if wait_for 10 has_visitor; then
    pass "the status API reports the visitor ($(status_field connections.total) connection(s), $(status_field bytes.in) bytes in)"
else
    fail "the status API does not report the visitor: $(tunnels)"
fi

# The self-update: the service restarts offering N+1, signed; the client fetches it and hands
# over to tsy_up.exe, which brings the new version back.
stop_wine
stop_pids
release_dir() { # folder: N+1's two programs and its release information
    rm -rf "$1"
    mkdir -p "$1"
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
        "$work/dist/Borvane-$new-windows-x64.zip" "$1"
    echo "{\"version\": \"$new\", \"updateDesc\": \"road test\", \"mustUpdate\": 1}" \
        >"$1/release.json"
}
release_dir "$tmp/rel"
rm -rf "$inst/logs"
start_service --update-dir "$tmp/rel" --update-key "$key" || fail "the service did not restart"
"$server_bin" --demo-web "$web_port" --bind "$local_host" 2>"$tmp/web.log" &
pids+=($!)
t0=$(date +%s)
start_client
if wait_for 120 grep -qa "restarted" "$inst/tsy_up.log" 2>/dev/null &&
    grep -qa "installed" "$inst/tsy_up.log" &&
    wait_for 60 log_has "=-========== \"$new\" \"$new\""; then
    pass "self-update $old -> $new under Wine in $(($(date +%s) - t0)) s; tsy_up.log: $(tail -1 "$inst/tsy_up.log" | tr -d '\r')"
else
    fail "self-update $old -> $new: $(cat "$inst/tsy_up.log" 2>/dev/null)"
    tail -20 "$inst"/logs/*.log 2>/dev/null
fi
if wait_for 60 is_running; then
    pass "version $new runs the tunnel again"
else
    fail "version $new did not start the tunnel"
fi

# Version N installed over N+1 keeps the settings; a tampered N+1 then leaves N as it is.
stop_wine
stop_pids
if install $old && grep -q "^$domain=true" "$inst/config/main.ini"; then
    pass "installing $old over $new kept the settings"
else
    fail "installing $old over $new"
fi
before=$(sha256sum <"$inst/$exe_name")
rm -rf "$inst/logs" "$inst/tsy_up.log"
release_dir "$tmp/rel"
start_service --update-dir "$tmp/rel" --update-key "$key" || fail "the service did not restart"
printf 'x' >>"$tmp/rel/$exe_name"
start_client
if wait_for 60 log_has "Downloading" && sleep 5 && kill -0 "$client_pid" 2>/dev/null &&
    [ ! -e "$inst/tsy_up.log" ] && [ "$(sha256sum <"$inst/$exe_name")" = "$before" ] &&
    log_has "=-========== \"$new\" \"$old\""; then
    pass "a tampered $new is refused: $old stays installed and running"
else
    fail "tampered update: client $(kill -0 "$client_pid" 2>/dev/null && echo running || echo ended)," \
        "tsy_up.log $([ -e "$inst/tsy_up.log" ] && echo present || echo absent)"
fi

# Uninstalling removes the programs and keeps the settings (unless asked with /PURGE).
stop_wine
"$wine" "$inst/uninstall.exe" /S >/dev/null 2>&1
if wait_for 30 test ! -e "$inst/uninstall.exe" && [ ! -e "$inst/$exe_name" ] &&
    [ ! -e "$inst/borvane-agent.exe" ] && [ ! -e "$inst/logs" ] &&
    grep -q "^$domain=true" "$inst/config/main.ini"; then
    pass "the uninstaller removed the programs and kept the settings"
else
    fail "uninstall: $(ls "$inst" 2>&1 | tr '\n' ' ')"
fi
finish
