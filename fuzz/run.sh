#!/usr/bin/env bash
# Builds the frame-reader fuzzer with clang (address and undefined-behaviour sanitizers, libFuzzer
# coverage) in its own build directory, then fuzzes for about 30 seconds. Exits non-zero when the
# fuzzer finds a crash, a leak or a failed check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DBORVANE_BUILD_FUZZ=ON -DBORVANE_BUILD_TESTS=OFF -DBORVANE_BUILD_SERVER=OFF \
    -DBORVANE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_unpacket -j2

corpus="$build/fuzz-corpus"
mkdir -p "$corpus"
# Seeds: a heartbeat reply, a sign-in reply and a CONN request in one stream.
if [ -z "$(ls -A "$corpus")" ]; then
    python3 - "$corpus" <<'PY'
import json, struct, sys, os
def frame(obj, data=b""):
    j = json.dumps(obj).encode()
    return struct.pack(">ii", len(j), len(data)) + j + data
inner = json.dumps({"name": "n", "serverIp": "s", "domain": "d", "bdw": 4, "clientPort": 80})
stream = (frame({"type": "HEART"}) + frame({"type": "LOGIN", "msg": "LOGINOK", "info": inner})
          + frame({"type": "CONN", "uid": "1"}) + frame({"type": "MSG", "msg": "STOP"}) + b"\0" * 8)
open(os.path.join(sys.argv[1], "seed1"), "wb").write(b"\x01\x07" + stream)
open(os.path.join(sys.argv[1], "seed2"), "wb").write(b"\xff\x00" + struct.pack(">ii", -1, 5) + b"x")
PY
fi
cd "$build"
ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/fuzz_unpacket" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 "$corpus"
