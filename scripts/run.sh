#!/usr/bin/env bash
# The one-command demo: installs what is missing, builds client and service, starts the
# reference service with its demo account and a small demo web page as the tunnel's local
# service, then starts the client.
#
# With a display the client opens as usual: sign in with the demo account printed below,
# start the demo tunnel and open the printed address. Without a display (or with --headless)
# the client runs under Xvfb, signs in by itself with the demo account, starts the demo tunnel
# by itself, and the script fetches the demo page through the tunnel's public port to prove
# the whole road; then it stops everything it started.
#
# The client restarts itself on "切换账号"; the demo follows it and ends when the last client
# has gone or on Ctrl+C, and stops every process it started, restarted clients included.
#
# Usage: scripts/run.sh [--headless] [--no-build]
#        (exit status 3: a demo port is taken)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$root/build}"
headless=0
do_build=1
for arg in "$@"; do
    case "$arg" in
    --headless) headless=1 ;;
    --no-build) do_build=0 ;;
    -h | --help)
        sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "run.sh: unknown option $arg" >&2
        exit 2
        ;;
    esac
done
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    headless=1
fi

# Addresses the client is built for (see the BORVANE_* values in CMakeLists.txt).
host=127.0.0.1
api_port=8080
relay_port=8888
demo_web_port=${BORVANE_DEMO_WEB_PORT:-8081}
demo_phone=13800000000
demo_password=demo123456

if [ "$do_build" = 1 ]; then
    "$root/scripts/install-deps.sh"
    BUILD_DIR="$build" "$root/scripts/build.sh"
fi
for exe in "$build/borvane" "$build/borvane-server"; do
    if [ ! -x "$exe" ]; then
        echo "run.sh: $exe is missing; run without --no-build" >&2
        exit 1
    fi
done

demo="$build/demo"
mkdir -p "$demo"
server_log="$demo/server.log"
web_log="$demo/demo-web.log"
settings="$build/config/main.ini"
settings_backup="$demo/main.ini.before-demo"

# Every process the demo starts carries this mark in its environment, and so do the clients a
# client starts for itself on "切换账号": those are no children of this script, and the mark is
# how the demo finds them again (never by program name, which would hit other runs).
demo_mark="BORVANE_DEMO_RUN=${BORVANE_DEMO_TAG:-borvane-demo-$$-$RANDOM}"
marked_pids() {
    local f
    for f in /proc/[0-9]*/environ; do
        grep -qzxF -- "$demo_mark" "$f" 2>/dev/null && { f=${f#/proc/}; echo "${f%/environ}"; }
    done
    return 0
}
# The clients of this demo: marked processes that the script did not start itself.
demo_clients() {
    local pid own
    for pid in $(marked_pids); do
        for own in "${pids[@]}"; do
            [ "$pid" = "$own" ] && continue 2
        done
        echo "$pid"
    done
}
stop_pid() {
    local pid=$1
    if running "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 50); do
            running "$pid" || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

running() { # alive and not a zombie waiting to be reaped
    case "$(ps -o stat= -p "$1" 2>/dev/null)" in
    "" | Z*) return 1 ;;
    *) return 0 ;;
    esac
}

pids=()
client_pid=""
restore_settings=0
cleanup() {
    local pid
    # Stop in reverse order of starting: clients (the restarted ones first), display, demo page,
    # service.
    for pid in $(demo_clients); do
        stop_pid "$pid"
    done
    if [ -n "$client_pid" ]; then
        stop_pid "$client_pid"
    fi
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        stop_pid "${pids[$i]}"
    done
    pids=()
    if [ "$restore_settings" = 1 ]; then
        if [ -f "$settings_backup" ]; then
            mv -f "$settings_backup" "$settings"
        else
            rm -f "$settings"
        fi
        restore_settings=0
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

port_busy() {
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null
}
for p in "$api_port" "$relay_port" "$demo_web_port"; do
    if port_busy "$host" "$p"; then
        echo "run.sh: $host:$p is already in use; stop whatever listens there first." >&2
        exit 3
    fi
done

# The shared port of web tunnels (reached by their domain): the first free one of a few high
# ports; the demo goes on without it when all are taken.
web_args=()
web_port=""
for p in ${BORVANE_DEMO_HTTP_PORT:-8090 8091 8092 8093}; do
    if ! port_busy "$host" "$p"; then
        web_port=$p
        web_args=(--http-port "$web_port")
        break
    fi
done

wait_for_log() { # file text seconds pid
    for _ in $(seq $(($3 * 10))); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        kill -0 "$4" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

env "$demo_mark" "$build/borvane-server" --demo-web "$demo_web_port" --bind "$host" 2>"$web_log" &
pids+=($!)
if ! wait_for_log "$web_log" "event=ready" 10 "${pids[-1]}"; then
    echo "run.sh: the demo web page did not start:" >&2
    cat "$web_log" >&2
    exit 1
fi

env "$demo_mark" "$build/borvane-server" --bind "$host" --api-port "$api_port" \
    --relay-port "$relay_port" --db "$demo/borvane-demo.db" --demo --demo-client-port "$demo_web_port" \
    "${web_args[@]}" 2>"$server_log" &
pids+=($!)
if ! wait_for_log "$server_log" "event=ready" 20 "${pids[-1]}"; then
    echo "run.sh: the service did not start:" >&2
    cat "$server_log" >&2
    exit 1
fi
demo_line=$(grep "event=demo-ready" "$server_log" | tail -1)
public=$(sed -n 's/.* public=\([^ ]*\).*/\1/p' <<<"$demo_line")
domain=$(sed -n 's/.* domain=\([^ ]*\).*/\1/p' <<<"$demo_line")
public_port=${public##*:}

cat <<INFO

  Borvane demo
  ------------
  Service:       http://$host:$api_port/   (web console: http://$host:$api_port/console)
  Demo account:  $demo_phone   password: $demo_password
  Demo tunnel:   $domain:$public_port  ->  local demo page http://$host:$demo_web_port/
  Logs:          $server_log, $build/logs/
INFO
[ -n "$web_port" ] && echo "  Web tunnels:   http://t<id>.localhost:$web_port/  (tunnels of the web type, by name)"
echo


cd "$build"
if [ "$headless" = 0 ]; then
    cat <<INFO
  Sign in with the demo account, press "点我启动" on the demo tunnel, then try:

      curl http://$host:$public_port/

  Quit the client (退出 -> 完全退出) or press Ctrl+C to stop the demo.

INFO
    env "$demo_mark" "$build/borvane" &
    client_pid=$!
    # "切换账号" ends this client after starting the next one: the demo lasts while any is left.
    while [ -n "$(demo_clients)" ]; do
        sleep 0.5
    done
    exit 0
fi

# No display: the client signs in by itself with saved credentials and starts the demo tunnel
# by itself (its autostart flag), on a virtual display.
echo "  No display: running the client headless under Xvfb to prove the road end to end."
mkdir -p "$build/config"
if [ -f "$settings" ]; then
    cp -p "$settings" "$settings_backup"
fi
restore_settings=1
cat >"$settings" <<INI
[setting]
username=$demo_phone
password=$demo_password
$domain=true
INI
chmod 600 "$settings"

if ! command -v Xvfb >/dev/null; then
    echo "run.sh: Xvfb is missing; run scripts/install-deps.sh" >&2
    exit 1
fi
display_number=""
for n in $(seq 90 140); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
        display_number=$n
        break
    fi
done
if [ -z "$display_number" ]; then
    echo "run.sh: no free X display number for Xvfb" >&2
    exit 1
fi
env "$demo_mark" Xvfb ":$display_number" -screen 0 1280x800x24 -nolisten tcp >"$demo/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$display_number" ] && break
    sleep 0.1
done
export DISPLAY=":$display_number"
# The client draws on this Xvfb, whatever platform the caller asked Qt for (ctest runs offscreen).
env "$demo_mark" QT_QPA_PLATFORM=xcb "$build/borvane" >"$demo/client.out" 2>&1 &
client_pid=$!

echo "  Waiting for the tunnel (up to 60 s): curl http://$host:$public_port/"
page=""
for _ in $(seq 120); do
    if page=$(curl -s --max-time 2 "http://$host:$public_port/") && grep -q "the tunnel works" <<<"$page"; then
        break
    fi
    page=""
    if ! running "$client_pid"; then
        break
    fi
    sleep 0.5
done

if [ -n "$page" ]; then
    echo
    echo "  \$ curl http://$host:$public_port/"
    grep -o "<h1>.*</p>" <<<"$page" | sed 's/<[^>]*>/ /g; s/  */ /g; s/^/   /'
    echo
    echo "  The road works: visitor -> relay $host:$public_port -> client -> $host:$demo_web_port."
    # A test's further steps on the running demo (tests/demo_headless.sh), given the display,
    # the client and the demo's addresses; the demo fails with them.
    if [ -n "${BORVANE_DEMO_AFTER:-}" ] &&
        ! env DEMO_CLIENT_PID="$client_pid" DEMO_HOST=$host DEMO_API_PORT=$api_port \
            DEMO_WEB_PORT=$demo_web_port "$demo_mark" "$BORVANE_DEMO_AFTER"; then
        exit 1
    fi
    echo "  Stopping everything the demo started."
    exit 0
fi
echo
echo "  The demo page did not come through the tunnel. Last lines of the logs:" >&2
tail -n 15 "$server_log" >&2
latest_log=$(ls -t "$build"/logs/*.log 2>/dev/null | head -1 || true)
if [ -n "$latest_log" ]; then
    tail -n 25 "$latest_log" >&2
fi
exit 1
