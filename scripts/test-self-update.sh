#!/usr/bin/env bash
# The update road on one machine: client version N, unpacked from its release archive into a
# temporary folder, signs in to the reference service, which offers N+1 from a signed release
# folder; the client fetches and checks N+1, hands over to tsy_up and comes back as N+1. Then the
# same with a file changed after signing and with a file that cannot be downloaded: N stays
# installed and running. Builds both archives (N and N+1) with a fresh signing key in $WORK_DIR
# (default build-update-road/, kept between runs so later runs only relink).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${WORK_DIR:-$root/build-update-road}
server_bin=${SERVER_BIN:-$root/build/borvane-server}
host=${HOST:-127.0.0.115}
old=1.0.0
new=1.0.1
mkdir -p "$work"
[ -x "$server_bin" ] || { echo "test-self-update: build $server_bin first" >&2; exit 1; }

key="$work/release.key"
[ -f "$key" ] || "$server_bin" keygen "$key" >"$work/release.pub" 2>/dev/null
pub=$(cat "$work/release.pub")
for version in $old $new; do
    BUILD_DIR="$work/build" DIST_DIR="$work/dist" "$root/scripts/make-release.sh" \
        -DBORVANE_UPDATE_PUBLIC_KEY="$pub" -DBORVANE_CLIENT_VERSION="$version" \
        -DBORVANE_API_BASE_URL="http://$host:8080/" >"$work/make-$version.log"
done

# shellcheck source=road-lib.sh
source "$root/scripts/road-lib.sh"
pids=()
cleanup() { stop_pids; }
trap cleanup EXIT

# The client tsy_up started is not our child: it is the process running this folder's program.
client_of() {
    local exe=$1 p
    for p in /proc/[0-9]*; do
        if [ "$(readlink "$p/exe" 2>/dev/null)" = "$exe" ]; then
            echo "${p#/proc/}"
            return
        fi
    done
}

log_has() { grep -qaF -- "$2" "$1"/logs/*.log 2>/dev/null; }
now_ms() { date +%s%3N; }

# case name, then how to spoil the release after the service signed it (or "none").
run_case() {
    local name=$1 spoil=$2 dir="$work/case-$1"
    rm -rf "$dir"
    mkdir -p "$dir/install/config" "$dir/rel"
    tar -xzf "$work/dist/Borvane-$old-linux-x64.tar.gz" --strip-components=1 -C "$dir/install"
    tar -xzf "$work/dist/Borvane-$new-linux-x64.tar.gz" --strip-components=1 -C "$dir/rel" \
        "Borvane-$new/borvane" "Borvane-$new/tsy_up"
    echo "{\"version\": \"$new\", \"updateDesc\": \"road test\", \"mustUpdate\": 1}" \
        >"$dir/rel/release.json"
    printf '[setting]\nusername=13800000000\npassword=demo123456\n' >"$dir/install/config/main.ini"
    local before
    before=$(sha256sum <"$dir/install/borvane")

    "$server_bin" --bind "$host" --db "$dir/service.db" --demo --ports 21100-21109 \
        --update-dir "$dir/rel" --update-key "$key" 2>"$dir/server.log" &
    pids+=($!)
    wait_for 20 grep -q "event=ready" "$dir/server.log" || { echo "$name: service did not start"; return 1; }
    case $spoil in
    tamper) printf 'x' >>"$dir/rel/borvane" ;;
    missing) rm "$dir/rel/tsy_up" ;;
    esac

    (cd "$dir/install" && QT_QPA_PLATFORM=offscreen exec ./borvane >"$dir/client.out" 2>&1) &
    local client=$!
    pids+=($client)
    wait_for 30 log_has "$dir/install" "需要更新" || { echo "$name: no offer seen"; return 1; }
    local offered
    offered=$(now_ms)

    if [ "$spoil" = none ]; then
        wait_for 60 grep -q "restarted" "$dir/install/tsy_up.log" 2>/dev/null ||
            { echo "$name: tsy_up did not run"; return 1; }
        # The new client's own update check: it reports version N+1 and finds itself current.
        wait_for 30 log_has "$dir/install" "=-========== \"$new\" \"$new\"" ||
            { echo "$name: the new version did not come back"; return 1; }
        local back
        back=$(now_ms)
        local restarted
        restarted=$(client_of "$dir/install/borvane")
        [ -n "$restarted" ] || { echo "$name: no client running"; return 1; }
        kill -TERM "$restarted"
        grep -q "installed borvane, tsy_up" "$dir/install/tsy_up.log" ||
            { echo "$name: $(cat "$dir/install/tsy_up.log")"; return 1; }
        echo "$name: $old -> $new in $((back - offered)) ms from the offer to the restarted client's check"
        echo "  tsy_up.log: $(tail -1 "$dir/install/tsy_up.log")"
    else
        # The refused or failed download leaves N as it was, running, with nothing handed over.
        wait_for 30 log_has "$dir/install" "Downloading" || { echo "$name: no download"; return 1; }
        sleep 3
        kill -0 "$client" 2>/dev/null || { echo "$name: the client ended"; return 1; }
        [ ! -e "$dir/install/tsy_up.log" ] || { echo "$name: tsy_up ran"; return 1; }
        [ "$(sha256sum <"$dir/install/borvane")" = "$before" ] || { echo "$name: client changed"; return 1; }
        echo "$name: version $old stays installed and running"
    fi
    cleanup
}

run_case update none
run_case tampered tamper
run_case failed missing
echo "update road: all cases passed; archive $(du -h "$work/dist/Borvane-$new-linux-x64.tar.gz" | cut -f1)"
