#!/usr/bin/env bash
# Run by the headless demo once its road works (BORVANE_DEMO_AFTER): presses "切换账号" on the
# home window as a user would, then checks that the client started again by itself (showing
# the sign-in window) while the service and the demo page stayed up. The demo hands over the
# display, the client's pid, its addresses and its mark (BORVANE_DEMO_RUN), by which the
# restarted client is found: it is no child of the demo.
set -u
client_pid=$DEMO_CLIENT_PID
command -v xdotool >/dev/null || {
    echo "  xdotool is missing; run scripts/install-deps.sh" >&2
    exit 1
}

running() { # alive and not a zombie
    case "$(ps -o stat= -p "$1" 2>/dev/null)" in
    "" | Z*) return 1 ;;
    *) return 0 ;;
    esac
}
# The demo's clients: processes with its mark that run the client.
demo_clients() {
    local f pid
    for f in /proc/[0-9]*/environ; do
        grep -qzxF -- "BORVANE_DEMO_RUN=$BORVANE_DEMO_RUN" "$f" 2>/dev/null || continue
        pid=${f#/proc/}
        pid=${pid%/environ}
        [ "$(basename "$(readlink "/proc/$pid/exe" 2>/dev/null)")" = borvane ] && echo "$pid"
    done
    return 0
}

switch_account_and_follow() {
    local wid X Y WIDTH HEIGHT SCREEN WINDOW next shown=""
    wid=$(xdotool search --onlyvisible --pid "$client_pid" --name "Borvane" 2>/dev/null | head -1)
    if [ -z "$wid" ]; then
        echo "  The home window is not on the display." >&2
        return 1
    fi
    eval "$(xdotool getwindowgeometry --shell "$wid")"
    # The home window follows the mouse until the first click (its drag rule): a click on its
    # transparent margin comes first, so the second one lands where it aims.
    xdotool mousemove $((X + 2)) $((Y + 2))
    sleep 0.3
    xdotool click 1
    sleep 0.3
    eval "$(xdotool getwindowgeometry --shell "$wid")"
    # "切换账号" in the left column, 160 x 40 at (30, 220) of the window.
    xdotool mousemove $((X + 110)) $((Y + 240))
    sleep 0.3
    xdotool click 1
    echo "  Pressed 切换账号; following the restarted client."
    for _ in $(seq 100); do
        running "$client_pid" || break
        sleep 0.2
    done
    if running "$client_pid"; then
        echo "  The client did not end for the account switch." >&2
        return 1
    fi
    # The client it started is the one that shows a window (a helper of the start may linger
    # a moment without one).
    for _ in $(seq 100); do
        for next in $(demo_clients); do
            shown=$(xdotool search --onlyvisible --pid "$next" --name "Borvane" 2>/dev/null | head -1 || true)
            [ -n "$shown" ] && break 2
        done
        sleep 0.2
    done
    if [ -z "$shown" ]; then
        echo "  No restarted client shows a window." >&2
        return 1
    fi
    client_pid=$next
    if ! curl -s --max-time 2 -o /dev/null "http://$host:$api_port/" ||
        ! curl -s --max-time 2 "http://$host:$demo_web_port/" | grep -q "the tunnel works"; then
        echo "  The service or the demo page stopped with the account switch." >&2
        return 1
    fi
    echo "  The demo goes on: the restarted client (pid $client_pid) shows the sign-in window."
}

host=$DEMO_HOST api_port=$DEMO_API_PORT demo_web_port=$DEMO_WEB_PORT
switch_account_and_follow
