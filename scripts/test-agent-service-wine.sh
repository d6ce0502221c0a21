#!/usr/bin/env bash
# The agent as a Windows service, under Wine: borvane-agent.exe (build-windows/) signs in
# against the Linux reference service (build/borvane-server) on the built-in addresses
# (127.0.0.1:8080, relay 8888), "install-service" registers and starts it with the service
# control manager, a visitor gets through its tunnel, and "uninstall-service" stops it (the
# tunnel goes offline within 2 s) and removes it. Runs in a Wine prefix and folder of its own,
# thrown away afterwards. Exit status 0: passed; 77: skipped (no Wine, no build, ports taken).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
agent=${BUILD_DIR_WIN:-$root/build-windows}/borvane-agent.exe
server=${BUILD_DIR:-$root/build}/borvane-server
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
skip() { echo "SKIP: $*"; exit 77; }
[ -x "$wine" ] || skip "wine64 is missing"
[ -f "$agent" ] || skip "$agent is missing (cmake --build build-windows --target borvane-agent)"
[ -x "$server" ] || skip "$server is missing"
for port in 8080 8888 4180 20100; do
    ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || skip "127.0.0.1:$port is in use"
done

tmp=$(mktemp -d /tmp/borvane-agent-wine.XXXXXX)
export WINEPREFIX=$tmp/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME=$tmp/home
mkdir -p "$HOME" "$tmp/program"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    "$wineserver" -k >/dev/null 2>&1 || true # this prefix's server only
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; tail -n 5 "$tmp/server.log" || true; exit 1; }

# The local service behind the tunnel: echoes what it gets.
python3 - "$tmp/echo.port" <<'PY' &
import socket, sys, threading
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
def echo(c):
    while (d := c.recv(65536)):
        c.sendall(d)
    c.close()
while True:
    threading.Thread(target=echo, args=(s.accept()[0],), daemon=True).start()
PY
pids+=($!)
for _ in $(seq 50); do [ -s "$tmp/echo.port" ] && break; sleep 0.1; done
"$server" --bind 127.0.0.1 --db "$tmp/service.db" --api-port 8080 --relay-port 8888 \
    --ports 20100-20100 --demo --demo-client-port "$(cat "$tmp/echo.port")" 2>"$tmp/server.log" &
pids+=($!)
for _ in $(seq 100); do grep -q event=ready "$tmp/server.log" && break; sleep 0.1; done

cp "$agent" "$tmp/program/"
cd "$tmp/program"
"$wine" wineboot -i >/dev/null 2>&1 || true
# The new prefix's first start-up runs on after wineboot returns; its service manager is busy
# until it has ended.
"$wineserver" -w >/dev/null 2>&1 || true
# Wine ends its services once no other Wine process is left: one more keeps them alive.
"$wineserver" -p >/dev/null 2>&1 || true
"$wine" cmd /c "ping -n 120 127.0.0.1 >nul" >/dev/null 2>&1 &
pids+=($!)

printf '13800000000\ndemo123456\n' | "$wine" borvane-agent.exe login || fail "login"
"$wine" borvane-agent.exe enable t1.localhost || fail "enable"
"$wine" borvane-agent.exe install-service || fail "install-service"
for _ in $(seq 300); do grep -q "event=login tunnel=" "$tmp/server.log" && break; sleep 0.1; done
grep -q "event=login tunnel=" "$tmp/server.log" || fail "the service did not start the tunnel"
python3 - <<'PY' || fail "no visitor through the service's tunnel"
import socket
s = socket.create_connection(("127.0.0.1", 20100), timeout=10)
s.sendall(b"through the service" * 100)
got = b""
while len(got) < 1900:
    got += s.recv(65536) or b"x" * 10000
assert got == b"through the service" * 100
PY
stop=$(date +%s%N)
"$wine" borvane-agent.exe uninstall-service || fail "uninstall-service"
for _ in $(seq 40); do grep -q "event=tunnel-offline" "$tmp/server.log" && break; sleep 0.05; done
offline_ms=$((($(date +%s%N) - stop) / 1000000))
grep -q "event=tunnel-offline" "$tmp/server.log" || fail "the tunnel did not go offline"
[ "$offline_ms" -lt 2000 ] || fail "the service took ${offline_ms} ms to stop"
grep -q AgentStop logs/*.log || fail "the agent did not stop cleanly"
echo "PASS: installed, a visitor through, stopped in ${offline_ms} ms, removed"
